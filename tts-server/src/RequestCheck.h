#pragma once

#include <string>

#include "AudioEncoding.h"
#include "Synthesizer.h"
#include "google/cloud/texttospeech/v1/cloud_tts.pb.h"

namespace VxTts {

// A SynthesizeSpeech request that passed every check, ready to synthesise.
struct CheckedRequest {
  const VoiceInfo* voice = nullptr;  // not owned; points into the Synthesizer
  std::string input;
  bool ssml = false;
  Prosody prosody;
  int sample_rate = 0;
  AudioLayout layout = AudioLayout::kWaveLinear16;
};

constexpr size_t kMaxInputBytes = 5000;

// Checks a request the way the public service does and resolves its voice.
// Returns false with a message fit for an INVALID_ARGUMENT status. Pure;
// safe from any thread.
bool CheckSynthesizeRequest(const google::cloud::texttospeech::v1::SynthesizeSpeechRequest& request,
                            const Synthesizer& synthesizer, CheckedRequest* checked,
                            std::string* error);

// Finds the voice a request selects, by name or else by language and gender,
// as the public service does; false with a message when none fits.
bool ResolveVoice(const google::cloud::texttospeech::v1::VoiceSelectionParams& voice,
                  const Synthesizer& synthesizer, const VoiceInfo** resolved, std::string* error);

// True when ssml is well-formed XML whose root element is <speak>.
bool CheckSsml(const std::string& ssml, std::string* error);

// True for the output rates the service produces (8000, 16000, 22050, 24000,
// 44100, 48000).
bool IsSupportedSampleRate(int hertz);

}  // namespace VxTts
