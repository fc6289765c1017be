#include "AudioEncoding.h"

#include "RiffWave.h"

namespace VxTts {
namespace {

constexpr char kListSoftware[] = "vexora-tts-server";

// A LIST/INFO chunk naming the software, padded to an even size.
std::string ListChunk() {
  std::string isft(kListSoftware, sizeof(kListSoftware));  // with its NUL
  if (isft.size() % 2 != 0) isft.push_back('\0');
  std::string chunk = "LIST";
  PutLe32(&chunk, static_cast<uint32_t>(4 + 8 + isft.size()));
  chunk += "INFO";
  chunk += "ISFT";
  PutLe32(&chunk, static_cast<uint32_t>(isft.size()));
  chunk += isft;
  return chunk;
}

}  // namespace

uint8_t LinearToMulaw(int16_t sample) {
  constexpr int kBias = 0x84;
  constexpr int kClip = 32635;
  int s = sample;
  const int sign = s < 0 ? 0x80 : 0x00;
  if (s < 0) s = -s;
  if (s > kClip) s = kClip;
  s += kBias;
  int exponent = 7;
  for (int mask = 0x4000; (s & mask) == 0 && exponent > 0; mask >>= 1) --exponent;
  const int mantissa = (s >> (exponent + 3)) & 0x0F;
  return static_cast<uint8_t>(~(sign | (exponent << 4) | mantissa));
}

uint8_t LinearToAlaw(int16_t sample) {
  int s = sample >> 3;  // 13-bit magnitude range
  int sign = 0x80;
  if (s < 0) {
    sign = 0x00;
    s = -s - 1;
  }
  int exponent = 0;
  if (s >= 0x20) {
    exponent = 1;
    for (int v = s >> 5; v > 1 && exponent < 7; v >>= 1) ++exponent;
  }
  const int mantissa = exponent == 0 ? (s >> 1) & 0x0F : (s >> exponent) & 0x0F;
  return static_cast<uint8_t>((sign | (exponent << 4) | mantissa) ^ 0x55);
}

std::string EncodeAudio(const std::vector<int16_t>& pcm, int sample_rate, AudioLayout layout,
                        const AudioDamage& damage) {
  std::string data;
  uint16_t format = kWaveFormatPcm, bits = 16;
  switch (layout) {
    case AudioLayout::kWaveLinear16:
    case AudioLayout::kRawLinear16:
      data = Pcm16Bytes(pcm);
      break;
    case AudioLayout::kWaveMulaw:
      format = kWaveFormatMulaw;
      bits = 8;
      data.reserve(pcm.size());
      for (int16_t s : pcm) data.push_back(static_cast<char>(LinearToMulaw(s)));
      break;
    case AudioLayout::kWaveAlaw:
      format = kWaveFormatAlaw;
      bits = 8;
      data.reserve(pcm.size());
      for (int16_t s : pcm) data.push_back(static_cast<char>(LinearToAlaw(s)));
      break;
  }
  std::string out;
  if (layout != AudioLayout::kRawLinear16) {
    out = WaveHeader(format, 1, bits, sample_rate, data.size(),
                     damage.extra_chunks ? ListChunk() : std::string());
  }
  out += data;
  if (damage.cut_header && out.size() > kCutHeaderBytes) out.resize(kCutHeaderBytes);
  return out;
}

}  // namespace VxTts
