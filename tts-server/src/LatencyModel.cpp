#include "LatencyModel.h"

#include <cmath>

namespace VxTts {

bool LatencyModel::Valid(long long first_byte_ms, double ms_per_char, std::string* error) {
  if (first_byte_ms < 0 || first_byte_ms > kMaxFirstByteMs) {
    *error = "first-byte time must be 0.." + std::to_string(kMaxFirstByteMs) + " ms";
    return false;
  }
  // Written so that NaN fails too.
  if (!(ms_per_char >= 0 && ms_per_char <= kMaxMsPerChar)) {
    *error = "time per character must be a number of ms from 0 to " +
             std::to_string(static_cast<long long>(kMaxMsPerChar));
    return false;
  }
  return true;
}

void LatencyModel::Set(long long first_byte_ms, double ms_per_char) {
  std::string error;
  std::lock_guard<std::mutex> lock(m_Mutex);
  m_FirstByteMs = Valid(first_byte_ms, 0, &error) ? first_byte_ms : 0;
  m_MsPerChar = Valid(0, ms_per_char, &error) ? ms_per_char : 0;
}

std::chrono::microseconds LatencyModel::ReplyTime(const std::string& input) const {
  long long first_byte_ms = 0;
  double ms_per_char = 0;
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    first_byte_ms = m_FirstByteMs;
    ms_per_char = m_MsPerChar;
  }
  if (first_byte_ms == 0 && ms_per_char == 0) return std::chrono::microseconds(0);
  // At most 1e6 ms per character times a request's few megabytes: far
  // inside a 64-bit count of microseconds.
  const double us = (static_cast<double>(first_byte_ms) +
                     ms_per_char * static_cast<double>(CountCharacters(input))) *
                    1000.0;
  return std::chrono::microseconds(static_cast<long long>(std::ceil(us)));
}

size_t LatencyModel::CountCharacters(const std::string& utf8) {
  size_t n = 0;
  for (const char c : utf8) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
  }
  return n;
}

}  // namespace VxTts
