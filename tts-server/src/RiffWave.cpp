#include "RiffWave.h"

namespace VxTts {

namespace {

constexpr uint32_t kLargestField = 0xffffffffu;

uint32_t Clamped(size_t value) {
  return value > kLargestField ? kLargestField : static_cast<uint32_t>(value);
}

}  // namespace

void PutLe16(std::string* out, uint16_t value) {
  out->push_back(static_cast<char>(value & 0xff));
  out->push_back(static_cast<char>(value >> 8));
}

void PutLe32(std::string* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

uint16_t GetLe16(const std::string& bytes, size_t at) {
  return static_cast<uint16_t>(static_cast<unsigned char>(bytes[at]) |
                               (static_cast<unsigned char>(bytes[at + 1]) << 8));
}

uint32_t GetLe32(const std::string& bytes, size_t at) {
  return static_cast<uint32_t>(GetLe16(bytes, at)) |
         (static_cast<uint32_t>(GetLe16(bytes, at + 2)) << 16);
}

std::string WaveHeader(uint16_t format, uint16_t channels, uint16_t bits, int sample_rate,
                       size_t data_bytes, const std::string& extra_chunk) {
  const uint32_t rate = static_cast<uint32_t>(sample_rate);
  const uint16_t block_align = static_cast<uint16_t>(channels * bits / 8);
  // Everything after "RIFF" and its size: "WAVE", the fmt chunk, the extra
  // chunk and the data chunk; clamped so that the data size fits with it.
  const size_t overhead = 4 + (8 + 16) + extra_chunk.size() + 8;
  const uint32_t data = Clamped(data_bytes > kLargestField - overhead ? kLargestField - overhead
                                                                        : data_bytes);
  std::string header;
  header.reserve(kWaveHeaderBytes + extra_chunk.size());
  header += "RIFF";
  PutLe32(&header, Clamped(overhead + data));
  header += "WAVE";
  header += "fmt ";
  PutLe32(&header, 16);
  PutLe16(&header, format);
  PutLe16(&header, channels);
  PutLe32(&header, rate);
  PutLe32(&header, rate * block_align);  // bytes per second
  PutLe16(&header, block_align);         // bytes per sample frame
  PutLe16(&header, bits);
  header += extra_chunk;
  header += "data";
  PutLe32(&header, data);
  return header;
}

std::string WaveFile(uint16_t format, uint16_t channels, uint16_t bits, int sample_rate,
                     const std::string& data) {
  std::string file = WaveHeader(format, channels, bits, sample_rate, data.size()) + data;
  if (data.size() % 2 != 0) {
    file.push_back('\0');
    std::string riff_size;
    PutLe32(&riff_size, static_cast<uint32_t>(file.size() - 8));
    file.replace(4, 4, riff_size);
  }
  return file;
}

std::string Pcm16Bytes(const std::vector<int16_t>& samples) {
  std::string bytes;
  bytes.reserve(samples.size() * 2);
  for (int16_t s : samples) PutLe16(&bytes, static_cast<uint16_t>(s));
  return bytes;
}

bool WaveInfo::IsCanonicalPcm16(uint32_t rate) const {
  return format == kWaveFormatPcm && channels == 1 && bits == 16 && sample_rate == rate &&
         byte_rate == rate * 2 && block_align == 2 && data_offset == kWaveHeaderBytes &&
         chunk_ids == std::vector<std::string>{"fmt ", "data"};
}

bool ParseWave(const std::string& bytes, WaveInfo* info, std::string* error) {
  *info = WaveInfo();
  if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0) {
    *error = "no RIFF/WAVE preamble";
    return false;
  }
  info->riff_size = GetLe32(bytes, 4);
  if (info->riff_size + 8ull != bytes.size()) {
    *error = "RIFF size " + std::to_string(info->riff_size) + " does not match " +
             std::to_string(bytes.size()) + " bytes";
    return false;
  }
  bool have_fmt = false;
  size_t at = 12;
  while (at + 8 <= bytes.size()) {
    const std::string id = bytes.substr(at, 4);
    const uint32_t size = GetLe32(bytes, at + 4);
    info->chunk_ids.push_back(id);
    if (at + 8 + size > bytes.size()) {
      *error = "chunk " + id + " runs past the end";
      return false;
    }
    if (id == "fmt ") {
      if (size < 16) {
        *error = "fmt chunk too short";
        return false;
      }
      info->format = GetLe16(bytes, at + 8);
      info->channels = GetLe16(bytes, at + 10);
      info->sample_rate = GetLe32(bytes, at + 12);
      info->byte_rate = GetLe32(bytes, at + 16);
      info->block_align = GetLe16(bytes, at + 20);
      info->bits = GetLe16(bytes, at + 22);
      have_fmt = true;
    } else if (id == "data") {
      if (!have_fmt) {
        *error = "data before fmt";
        return false;
      }
      info->data_offset = at + 8;
      info->data_size = size;
      return true;
    }
    at += 8 + size + (size & 1);
  }
  *error = "no data chunk";
  return false;
}

}  // namespace VxTts
