#include "AudioEncoding.h"

namespace VxTts {
namespace {

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatAlaw = 6;
constexpr uint16_t kFormatMulaw = 7;
constexpr char kListSoftware[] = "vexora-tts-server";

void PutU16(std::string* out, uint16_t v) {
  out->push_back(static_cast<char>(v & 0xFF));
  out->push_back(static_cast<char>(v >> 8));
}

void PutU32(std::string* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// A LIST/INFO chunk naming the software, padded to an even size.
std::string ListChunk() {
  std::string isft(kListSoftware, sizeof(kListSoftware));  // with its NUL
  if (isft.size() % 2 != 0) isft.push_back('\0');
  std::string chunk = "LIST";
  PutU32(&chunk, static_cast<uint32_t>(4 + 8 + isft.size()));
  chunk += "INFO";
  chunk += "ISFT";
  PutU32(&chunk, static_cast<uint32_t>(isft.size()));
  chunk += isft;
  return chunk;
}

std::string WaveHeader(uint16_t format, uint16_t bits, int sample_rate, size_t data_bytes,
                       const std::string& extra_chunk) {
  const uint32_t rate = static_cast<uint32_t>(sample_rate);
  const uint16_t block_align = bits / 8;
  std::string h = "RIFF";
  PutU32(&h, static_cast<uint32_t>(4 + (8 + 16) + extra_chunk.size() + 8 + data_bytes));
  h += "WAVE";
  h += "fmt ";
  PutU32(&h, 16);
  PutU16(&h, format);
  PutU16(&h, 1);  // mono
  PutU32(&h, rate);
  PutU32(&h, rate * block_align);
  PutU16(&h, block_align);
  PutU16(&h, bits);
  h += extra_chunk;
  h += "data";
  PutU32(&h, static_cast<uint32_t>(data_bytes));
  return h;
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
  uint16_t format = kFormatPcm, bits = 16;
  switch (layout) {
    case AudioLayout::kWaveLinear16:
    case AudioLayout::kRawLinear16:
      // Written in place rather than appended byte by byte: hundreds of
      // long replies at once would otherwise spend the service's time here.
      data.resize(pcm.size() * 2);
      for (size_t i = 0; i < pcm.size(); ++i) {
        const uint16_t v = static_cast<uint16_t>(pcm[i]);
        data[2 * i] = static_cast<char>(v & 0xFF);
        data[2 * i + 1] = static_cast<char>(v >> 8);
      }
      break;
    case AudioLayout::kWaveMulaw:
      format = kFormatMulaw;
      bits = 8;
      data.reserve(pcm.size());
      for (int16_t s : pcm) data.push_back(static_cast<char>(LinearToMulaw(s)));
      break;
    case AudioLayout::kWaveAlaw:
      format = kFormatAlaw;
      bits = 8;
      data.reserve(pcm.size());
      for (int16_t s : pcm) data.push_back(static_cast<char>(LinearToAlaw(s)));
      break;
  }
  std::string out;
  if (layout != AudioLayout::kRawLinear16) {
    out = WaveHeader(format, bits, sample_rate, data.size(),
                     damage.extra_chunks ? ListChunk() : std::string());
  }
  out += data;
  if (damage.cut_header && out.size() > kCutHeaderBytes) out.resize(kCutHeaderBytes);
  return out;
}

}  // namespace VxTts
