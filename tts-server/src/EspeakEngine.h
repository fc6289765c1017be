#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace VxTts {

// One voice as espeak-ng lists it.
struct EspeakVoice {
  std::string identifier;  // e.g. "gmw/en-US"
  std::string name;        // e.g. "English (America)"
  int gender = 0;          // espeak-ng: 0 none, 1 male, 2 female
  // Languages the voice speaks (espeak-ng's lower-case tags) with their
  // priority: lower is a better match.
  std::vector<std::pair<std::string, int>> languages;
};

// The settings of one espeak-ng synthesis, in espeak-ng's own units.
struct EspeakSettings {
  int rate_wpm = 175;  // words per minute
  int word_gap = 0;    // extra pause between words, 10 ms units at normal speed
  int pitch = 50;      // base pitch 0..100
};

// The process's one espeak-ng instance. espeak-ng keeps global state and is
// not re-entrant, so every call into it goes through one process-wide mutex;
// all functions are safe to call from any thread. Initialised once, on first
// use, and never torn down.
class EspeakEngine {
 public:
  static constexpr int kSampleRate = 22050;

  // Initialises espeak-ng once (later calls return the first result). False
  // when espeak-ng or its data cannot be loaded; error says why.
  static bool Initialize(std::string* error);
  static std::vector<EspeakVoice> ListVoices();
  // Speaks text (SSML when ssml is true) with the voice espeak_voice (an
  // identifier, optionally with a "+variant" suffix) into 16-bit mono PCM at
  // kSampleRate.
  static bool Synthesize(const std::string& espeak_voice, const std::string& text, bool ssml,
                         const EspeakSettings& settings, std::vector<int16_t>* pcm,
                         std::string* error);

 private:
  EspeakEngine() = delete;
};

}  // namespace VxTts
