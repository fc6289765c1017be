#pragma once

// What StreamingSynthesize needs besides the voices: the check of a
// stream's first message, the sentence cutter that decides when a chunk of
// audio is due, and the headerless encodings a stream answers in.

#include <cstdint>
#include <string>
#include <vector>

#include "Synthesizer.h"
#include "google/cloud/texttospeech/v1/cloud_tts.pb.h"

namespace VxTts {

// A streaming_config that passed every check.
struct CheckedStream {
  const VoiceInfo* voice = nullptr;  // not owned; points into the Synthesizer
  int sample_rate = 0;
  google::cloud::texttospeech::v1::AudioEncoding encoding = google::cloud::texttospeech::v1::PCM;
  Prosody prosody;  // only the speaking rate can be set on a stream
};

// Checks a stream's config as the public service does: a voice that can
// stream, an encoding of PCM, MULAW or ALAW (OGG_OPUS is valid but not made
// here), a supported rate and speaking rate. Without streaming_audio_config
// the stream answers headerless 16-bit PCM at 24000 Hz. False with a
// message fit for INVALID_ARGUMENT. Pure; safe from any thread.
bool CheckStreamingConfig(const google::cloud::texttospeech::v1::StreamingSynthesizeConfig& config,
                          const Synthesizer& synthesizer, CheckedStream* checked,
                          std::string* error);

// 16-bit samples as a stream carries them: little-endian PCM, or one G.711
// byte per sample for MULAW and ALAW (no header in either case).
std::string EncodeStreamAudio(const std::vector<int16_t>& pcm,
                              google::cloud::texttospeech::v1::AudioEncoding encoding);

// Cuts text that arrives in arbitrary pieces into sentences: a sentence
// ends after '.', '!' or '?' followed by white space, or after an
// ideographic full stop, exclamation or question mark, and takes the white
// space after its end with it, so that the sentences put back together are
// the text, byte for byte. Not thread-safe; one per stream.
class SentenceCutter {
 public:
  void Add(const std::string& text) { m_Pending += text; }
  // The next whole sentence, if one has ended; false otherwise. A sentence
  // end at the very end of what has arrived waits for the next piece (or
  // Rest), which may continue it ("3." + "14").
  bool Next(std::string* sentence);
  // Whatever is left once the input has ended; empties the cutter.
  std::string Rest();

 private:
  std::string m_Pending;
};

}  // namespace VxTts
