#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "RiffWave.h"  // kWaveHeaderBytes

namespace VxTts {

// How the reply's audio bytes are laid out.
enum class AudioLayout {
  kWaveLinear16,  // 44-byte WAVE header (format 1) + 16-bit little-endian PCM
  kRawLinear16,   // 16-bit little-endian PCM, no header
  kWaveMulaw,     // WAVE header (format 7) + 8-bit G.711 mu-law
  kWaveAlaw,      // WAVE header (format 6) + 8-bit G.711 A-law
};

// Deliberate damage to the reply, for fault tests.
struct AudioDamage {
  bool cut_header = false;    // only the first kCutHeaderBytes bytes are sent
  bool extra_chunks = false;  // a LIST chunk sits between "fmt " and "data"
};

constexpr size_t kCutHeaderBytes = 20;

// Encodes mono 16-bit samples at sample_rate into the reply bytes.
std::string EncodeAudio(const std::vector<int16_t>& pcm, int sample_rate, AudioLayout layout,
                        const AudioDamage& damage = AudioDamage());

// G.711 companding of one 16-bit sample (ITU-T G.711 segment tables).
uint8_t LinearToMulaw(int16_t sample);
uint8_t LinearToAlaw(int16_t sample);

}  // namespace VxTts
