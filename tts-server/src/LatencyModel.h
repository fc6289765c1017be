#pragma once

#include <chrono>
#include <mutex>
#include <string>

namespace VxTts {

// How long the service takes to answer, shaped like a cloud service's: a
// fixed time to the first byte plus a time per character of input. Both are
// 0 by default, which answers as soon as the audio is made. Thread-safe:
// tests change it while server threads read it. Owned by TtsServer.
class LatencyModel {
 public:
  // Most milliseconds per character accepted.
  static constexpr double kMaxMsPerChar = 1000000.0;
  // Most milliseconds to the first byte accepted (about 11 days).
  static constexpr long long kMaxFirstByteMs = 1000000000LL;

  LatencyModel() = default;
  LatencyModel(const LatencyModel&) = delete;
  LatencyModel& operator=(const LatencyModel&) = delete;

  // True when both values are within 0..the limits above (and not NaN);
  // otherwise false with a message naming the bad one.
  static bool Valid(long long first_byte_ms, double ms_per_char, std::string* error);
  // Sets the model; values outside the limits become 0 (off).
  void Set(long long first_byte_ms, double ms_per_char);

  // The time a reply to this input (text or SSML, UTF-8) takes, counted
  // from the call's arrival.
  std::chrono::microseconds ReplyTime(const std::string& input) const;

  // Unicode characters in UTF-8 text: the bytes that do not continue a
  // multi-byte sequence.
  static size_t CountCharacters(const std::string& utf8);

 private:
  mutable std::mutex m_Mutex;  // guards the two fields below
  long long m_FirstByteMs = 0;
  double m_MsPerChar = 0;
};

}  // namespace VxTts
