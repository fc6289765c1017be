/*
 * The host's log sink: where apt_log lines end up.
 *
 * Every line that passes the filters is formatted once as
 *   2026-12-08 19:40:01.123456 [WARNING] [VXS-PLUGIN] message
 * (local time, priority name, source name, message) and written to the log
 * stream when its priority is at or above the sink's lowest priority, and
 * handed to every running LogCapture whose own lowest priority it meets.
 * A source's own priority (apt_log_source_t::priority) is applied first.
 *
 * All functions and LogCapture are thread-safe; the sink is process-wide, like
 * the logger a module is given.
 */
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "vxhost/apt.h"

namespace vxhost {

// Lines whose priority number is above `lowest` are not written to the stream
// (default: APT_PRIO_WARNING).
void SetLogPriority(apt_log_priority_e lowest);
apt_log_priority_e LogPriority();

// The stream the sink writes to (default stderr); nullptr writes nowhere. The
// stream is not owned and must stay open while it is set.
void SetLogStream(FILE* stream);
FILE* LogStream();

// Collects formatted log lines in memory, for tests. Capturing runs from
// Start() to Stop() (or destruction); several captures may run at once, and
// each sees every line at or above its own lowest priority, whether or not
// the sink writes it to the stream. Any thread may call any method.
class LogCapture {
 public:
  // Starts capturing at once when `start` is set.
  explicit LogCapture(bool start = true, apt_log_priority_e lowest = APT_PRIO_DEBUG);
  // Hands every line to `on_line` instead of keeping it (a long run would
  // not fit in memory); started at once. on_line runs on the logging
  // thread under the sink's lock: it must be quick and must not log.
  using LineFunction = std::function<void(apt_log_priority_e priority, const std::string& line)>;
  LogCapture(LineFunction on_line, apt_log_priority_e lowest);
  ~LogCapture();

  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  void Start();
  void Stop();
  // Forgets the lines captured so far.
  void Clear();

  // True as soon as a captured line (earlier or new) contains `substring`;
  // false when none did within `timeout`.
  bool WaitFor(const std::string& substring, std::chrono::milliseconds timeout);
  // True once at least `count` captured lines contain `substring`.
  bool WaitForCount(const std::string& substring, size_t count, std::chrono::milliseconds timeout);
  // Number of captured lines that contain `substring`.
  size_t Count(const std::string& substring) const;
  std::vector<std::string> Lines() const;

  // Called by the sink with one formatted line (no trailing newline).
  void Append(apt_log_priority_e priority, const std::string& line);

 private:
  size_t CountLocked(const std::string& substring) const;

  const apt_log_priority_e m_Lowest;
  const LineFunction m_OnLine;  // empty: lines are kept
  mutable std::mutex m_Mutex;  // guards m_Lines
  std::condition_variable m_Cond;
  std::vector<std::string> m_Lines;
  bool m_Running = false;  // touched only under the sink's mutex
};

}  // namespace vxhost
