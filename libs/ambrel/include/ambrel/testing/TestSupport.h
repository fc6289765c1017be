#pragma once

// Helpers for tests of code built on the framework: APR set-up, a clock the
// test moves by hand, an event processor without a thread, scratch folders
// and waiting on a condition with a time-out. Header-only; not for
// production code.

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <apr_general.h>

#include "ambrel/Clock.h"
#include "ambrel/EventProcessor.h"
#include "ambrel/Logger.h"

namespace Ambrel {
namespace Testing {

// Initialises APR for its lifetime (APR counts nested initialisations).
class AprScope {
 public:
  AprScope() { apr_initialize(); }
  ~AprScope() { apr_terminate(); }
  AprScope(const AprScope&) = delete;
  AprScope& operator=(const AprScope&) = delete;
};

// A clock that only moves when the test says so. Thread-safe.
class ManualClock {
 public:
  explicit ManualClock(int64_t start = 1700000000LL * 1000000) : m_Now(start) {}
  int64_t Now() const { return m_Now.load(); }
  void Set(int64_t now) { m_Now.store(now); }
  void AdvanceMs(int64_t ms) { m_Now.fetch_add(ms * 1000); }
  void AdvanceMinutes(int64_t minutes) { AdvanceMs(minutes * 60000); }
  // A Clock reading this one; the ManualClock must outlive it.
  Clock AsClock() const {
    return [this] { return Now(); };
  }

 private:
  std::atomic<int64_t> m_Now;
};

// An event processor without a thread: posted events wait until the test
// runs them on its own thread, and timers fire when the test advances the
// queue. Events still pending at destruction are released unrun.
class ManualEventProcessor : public AsyncEventTimerProcessor {
 public:
  explicit ManualEventProcessor(Clock clock = Clock())
      : AsyncEventTimerProcessor(std::move(clock)) {}
  ~ManualEventProcessor() override {
    for (AsyncEvent* event : m_Pending) event->Unref();
  }

  bool PostEvent(AsyncEvent* event) override {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_Refusing) return false;
    m_Pending.push_back(event);
    return true;
  }

  // Runs events, including those they post, until none is left; returns
  // how many ran.
  size_t RunPendingEvents() {
    size_t count = 0;
    for (;;) {
      AsyncEvent* event = nullptr;
      {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_Pending.empty()) return count;
        event = m_Pending.front();
        m_Pending.pop_front();
      }
      ProcessEvent(event);
      ++count;
    }
  }

  // Runs pending events, fires the due timers, then runs what they posted.
  void AdvanceTimers() {
    RunPendingEvents();
    GetTimerQueue().Advance();
    RunPendingEvents();
  }

  size_t GetPendingCount() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Pending.size();
  }
  // While set, every post is refused, as by a processor that is not running.
  void SetRefusing(bool refusing) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Refusing = refusing;
  }

 private:
  mutable std::mutex m_Mutex;
  std::deque<AsyncEvent*> m_Pending;
  bool m_Refusing = false;
};

// A fresh folder below the system's temporary directory, removed with all
// its contents at destruction.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ambrel-XXXXXX").string();
    if (mkdtemp(pattern.data())) m_Path = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    if (!m_Path.empty()) std::filesystem::remove_all(m_Path, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  bool IsValid() const { return !m_Path.empty(); }
  const std::string& Path() const { return m_Path; }
  std::string operator/(const std::string& name) const { return m_Path + "/" + name; }

 private:
  std::string m_Path;
};

// A managed-file store (any subclass of BasicFileManager) that keeps its log
// lines for the test instead of sending them on.
template <class Store>
class CapturingStore : public Store {
 public:
  using Store::Store;

  bool Logged(const std::string& line) const {
    for (const auto& l : m_Lines) {
      if (l == line) return true;
    }
    return false;
  }
  size_t CountLogged(const std::string& part) const {
    size_t count = 0;
    for (const auto& l : m_Lines) count += l.find(part) != std::string::npos;
    return count;
  }
  // The first indexed entry of that name, or null.
  typename Store::FileEntry* Find(const std::string& name) const {
    for (const auto& item : this->GetFileIndex()) {
      if (item.second->m_Name == name) return item.second;
    }
    return nullptr;
  }

  mutable std::vector<std::string> m_Lines;

 protected:
  void LogV(LogLevel, const char*, int, const char* format, va_list args) const override {
    char line[1024];
    std::vsnprintf(line, sizeof(line), format, args);
    m_Lines.emplace_back(line);
  }
};

// Polls condition until it holds or timeout passes; returns its last value.
inline bool WaitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace Testing
}  // namespace Ambrel
