#include "WaveFile.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace VxCli {

namespace {

void PutLe(std::string* out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

}  // namespace

std::string WaveHeader(size_t data_bytes, int rate) {
  // The sizes are 32-bit fields; a channel never collects 4 GiB of audio,
  // but clamp rather than wrap.
  const uint32_t data =
      data_bytes > 0xffffffffu - 36 ? 0xffffffffu - 36 : static_cast<uint32_t>(data_bytes);
  const uint32_t sample_rate = static_cast<uint32_t>(rate);
  std::string header;
  header.reserve(kWaveHeaderSize);
  header += "RIFF";
  PutLe(&header, 36 + data, 4);
  header += "WAVE";
  header += "fmt ";
  PutLe(&header, 16, 4);  // size of the fmt chunk
  PutLe(&header, 1, 2);   // PCM
  PutLe(&header, 1, 2);   // mono
  PutLe(&header, sample_rate, 4);
  PutLe(&header, sample_rate * 2, 4);  // bytes per second
  PutLe(&header, 2, 2);                // bytes per sample frame
  PutLe(&header, 16, 2);               // bits per sample
  header += "data";
  PutLe(&header, data, 4);
  return header;
}

bool WriteWaveFile(const std::string& path, const std::vector<char>& pcm, int rate,
                   std::string* error) {
  const size_t bytes = pcm.size() & ~static_cast<size_t>(1);
  const std::string header = WaveHeader(bytes, rate);
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  bool ok = std::fwrite(header.data(), 1, header.size(), file) == header.size();
  if (ok && bytes > 0) ok = std::fwrite(pcm.data(), 1, bytes, file) == bytes;
  const int saved = errno;
  if (std::fclose(file) != 0) ok = false;
  if (!ok) {
    *error = "cannot write " + path + ": " + std::strerror(saved ? saved : errno);
    return false;
  }
  return true;
}

double PcmSeconds(size_t bytes, int rate) {
  return rate > 0 ? static_cast<double>(bytes / 2) / rate : 0.0;
}

}  // namespace VxCli
