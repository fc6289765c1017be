/*
 * RIFF/WAVE headers, written and read, for the speech service's replies, the
 * vexora program's audio files, the benchmarks and the tests.
 *
 * The writer makes a header of one "fmt " chunk (16 bytes), an optional
 * chunk of the caller's, then the "data" chunk's header; the reader walks
 * every chunk the way a careful client does. Plain functions on strings,
 * thread-safe.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace VxTts {

constexpr size_t kWaveHeaderBytes = 44;  // the canonical header: "fmt " then "data"

constexpr uint16_t kWaveFormatPcm = 1;
constexpr uint16_t kWaveFormatAlaw = 6;
constexpr uint16_t kWaveFormatMulaw = 7;

// Little-endian fields appended to *out.
void PutLe16(std::string* out, uint16_t value);
void PutLe32(std::string* out, uint32_t value);
// Little-endian fields read at bytes[at...]; the caller checks the length.
uint16_t GetLe16(const std::string& bytes, size_t at);
uint32_t GetLe32(const std::string& bytes, size_t at);

// The header for `data_bytes` of samples: `channels` interleaved, `bits`
// per sample of `format` at `sample_rate` Hz, with `extra_chunk` (whole,
// with its own header) between "fmt " and "data". Sizes past the 32-bit
// fields are clamped rather than wrapped.
std::string WaveHeader(uint16_t format, uint16_t channels, uint16_t bits, int sample_rate,
                       size_t data_bytes, const std::string& extra_chunk = std::string());

// The canonical 44-byte header of 16-bit mono PCM at `sample_rate`.
inline std::string Pcm16WaveHeader(size_t data_bytes, int sample_rate) {
  return WaveHeader(kWaveFormatPcm, 1, 16, sample_rate, data_bytes);
}

// A whole file of one "fmt " and one "data" chunk holding `data`, padded
// to an even size as RIFF asks (the pad counted in the RIFF size only).
std::string WaveFile(uint16_t format, uint16_t channels, uint16_t bits, int sample_rate,
                     const std::string& data);

// Little-endian bytes of 16-bit samples.
std::string Pcm16Bytes(const std::vector<int16_t>& samples);

// What ParseWave found.
struct WaveInfo {
  uint16_t format = 0;
  uint16_t channels = 0;
  uint32_t sample_rate = 0;
  uint32_t byte_rate = 0;
  uint16_t block_align = 0;
  uint16_t bits = 0;
  uint32_t riff_size = 0;
  size_t data_offset = 0;  // where the samples start
  uint32_t data_size = 0;
  std::vector<std::string> chunk_ids;  // in file order, after "WAVE"

  // 16-bit mono PCM at `rate` in the canonical 44-byte layout.
  bool IsCanonicalPcm16(uint32_t rate) const;
};

// Reads a whole RIFF/WAVE file: the RIFF size must match the bytes, every
// chunk must fit, "fmt " (16 bytes at least) must come before "data".
// False with *error saying what is wrong.
bool ParseWave(const std::string& bytes, WaveInfo* info, std::string* error);

}  // namespace VxTts
