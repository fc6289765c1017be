#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace VxTts {

// One voice the service offers.
struct VoiceInfo {
  enum class Kind { kEspeak, kTestTone, kTestBytes };

  std::string name;                         // e.g. "espeak-en-us", "vx-test-tone"
  std::vector<std::string> language_codes;  // BCP-47 tags, as listed
  std::vector<int> language_priority;       // per code; lower is a better match
  int gender = 0;                           // SsmlVoiceGender value
  int natural_sample_rate = 0;
  Kind kind = Kind::kEspeak;
  std::string espeak_voice;  // identifier[+variant] for espeak-ng
  // Answers StreamingSynthesize too (the test voices and the "-Chirp3-HD-"
  // voices); the others refuse a stream.
  bool streaming = false;
};

// Prosody adjustments of one request, already range-checked.
struct Prosody {
  double speaking_rate = 1.0;  // [0.25, 2.0]
  double pitch_semitones = 0;  // [-20, 20]
  double volume_gain_db = 0;   // [-96, 16]
};

// The voices and the audio they make: espeak-ng voices (a male and a female
// variant of each) and the deterministic test voice. Built once by Init;
// after that every method is const and safe from any thread (espeak-ng
// itself is serialised inside EspeakEngine). Owned by the server.
class Synthesizer {
 public:
  static const char kTestVoiceName[];  // "vx-test-tone"
  static const char kTestBytesVoiceName[];  // "vx-test-bytes", see TestBytesVoice.h
  // The streaming twins: the bytes voice and espeak-ng's en-us under names
  // of the service's streaming family.
  static const char kStreamingBytesVoiceName[];   // "en-US-Chirp3-HD-TestBytes"
  static const char kStreamingEspeakVoiceName[];  // "en-US-Chirp3-HD-Espeak"
  static constexpr int kTestVoiceRate = 24000;
  static constexpr int kTestToneHz = 440;
  // Test voice: every input byte gives exactly this much tone.
  static constexpr int kTestMsPerByte = 20;

  // Builds the voice list. When espeak-ng cannot be loaded only the test
  // voice is offered; warning then says why and Init still succeeds.
  void Init(std::string* warning);

  const std::vector<VoiceInfo>& voices() const { return m_Voices; }
  const VoiceInfo* FindByName(const std::string& name) const;
  // The best voice for a language: an exact tag match first, then a voice of
  // the same primary language; gender is a preference. Never the test voice.
  const VoiceInfo* SelectByLanguage(const std::string& language_code, int gender) const;

  // Speaks input (SSML when ssml is true) into 16-bit mono PCM at
  // sample_rate. The test voice ignores prosody: its length is exactly
  // kTestMsPerByte per input byte.
  bool Synthesize(const VoiceInfo& voice, const std::string& input, bool ssml,
                  const Prosody& prosody, int sample_rate, std::vector<int16_t>* pcm,
                  std::string* error) const;

  // RFC 4647 basic filtering, case-insensitive: "en" matches "en-US",
  // "en-US" matches "en-US" and "en-US-nyc"; "no" also matches "nb".
  static bool LanguageMatches(const std::string& filter, const std::string& code);
  // Canonical BCP-47 casing: "en-us" -> "en-US", "cmn-latn-pinyin" ->
  // "cmn-Latn-pinyin"; '_' becomes '-'.
  static std::string CanonicalLanguage(const std::string& tag);

 private:
  std::vector<VoiceInfo> m_Voices;
};

// Resamples 16-bit mono PCM with libsoxr (high quality). in_rate may be
// fractional (the pitch shift plays audio at a scaled rate).
bool ResamplePcm(const std::vector<int16_t>& in, double in_rate, int out_rate,
                 std::vector<int16_t>* out, std::string* error);

// Applies a gain in dB, saturating at the 16-bit limits.
void ApplyGainDb(double gain_db, std::vector<int16_t>* pcm);

}  // namespace VxTts
