#include "WaveFile.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "RiffWave.h"

namespace VxCli {

bool WriteWaveFile(const std::string& path, const std::vector<char>& pcm, int rate,
                   std::string* error) {
  const size_t bytes = pcm.size() & ~static_cast<size_t>(1);
  const std::string header = VxTts::Pcm16WaveHeader(bytes, rate);
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
