#pragma once

#include <cstdint>

#include "SynthContent.h"
#include "google/cloud/texttospeech/v1/cloud_tts.pb.h"

namespace VXS {

// Fills request, the SynthesizeSpeech request of one text or SSML segment
// of a SPEAK: the segment as text or SSML, its voice (the SPEAK's language,
// the segment's voice name and gender, a custom voice model), and LINEAR16
// audio at sampling_rate with the SPEAK's effects profile and prosody.
// channel_id names the channel in the log lines that say what was set.
// The call's deadline belongs to its context, not to the request.
void ComposeSynthesizeSpeechRequest(
    const SynthSegment& segment, const SpeakParams& params, uint32_t sampling_rate,
    const char* channel_id, google::cloud::texttospeech::v1::SynthesizeSpeechRequest& request);

}  // namespace VXS
