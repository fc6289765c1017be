// The host's logger (apt.h logging functions) and its sink (LogSink.h).
//
// One process-wide sink: a registry of named log sources that live as long
// as the process, the default source, the stream with its lowest priority,
// and the running captures. apt_log formats outside any lock, then writes
// and hands the line out under the sink mutex, so lines from many threads
// never interleave.

#include "vxhost/LogSink.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/time.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <memory>

namespace vxhost {
namespace {

const char* const kPriorityNames[APT_PRIO_COUNT] = {
    "EMERGENCY", "ALERT", "CRITICAL", "ERROR", "WARNING", "NOTICE", "INFO", "DEBUG"};

const char kDefaultSourceName[] = "VXHOST";

// Process-wide sink state. Never destroyed: modules and their threads may
// log during static destruction of the program.
class Sink {
 public:
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;

  static Sink& Get() {
    static Sink* sink = new Sink();
    return *sink;
  }

  apt_log_source_t* DefaultSource() { return m_Default.load(); }
  void SetDefaultSource(apt_log_source_t* source) {
    m_Default.store(source ? source : m_BuiltinDefault);
  }

  apt_log_source_t* Assign(const char* name) {
    std::lock_guard<std::mutex> lock(m_SourcesMutex);
    for (auto& source : m_Sources) {
      if (strcmp(source->name, name) == 0) return source.get();
    }
    return AddSourceLocked(name);
  }

  void SetPriority(apt_log_priority_e priority) { m_Priority.store(priority); }
  apt_log_priority_e Priority() const { return m_Priority.load(); }

  void SetStream(FILE* stream) {
    std::lock_guard<std::mutex> lock(m_WriteMutex);
    m_Stream = stream;
  }
  FILE* Stream() {
    std::lock_guard<std::mutex> lock(m_WriteMutex);
    return m_Stream;
  }

  // True when somebody (the stream or a capture) takes lines of `priority`.
  bool Wanted(apt_log_priority_e priority) {
    if (priority <= m_Priority.load()) return true;
    return priority <= m_LowestCapture.load();
  }

  void Write(apt_log_priority_e priority, const std::string& line) {
    std::lock_guard<std::mutex> lock(m_WriteMutex);
    if (m_Stream && priority <= m_Priority.load()) {
      fwrite(line.data(), 1, line.size(), m_Stream);
      fputc('\n', m_Stream);
      fflush(m_Stream);
    }
    for (LogCapture* capture : m_Captures) capture->Append(priority, line);
  }

  // The capture registry shares the write mutex, so a capture never gets a
  // line after Remove() returned.
  void AddCapture(LogCapture* capture, apt_log_priority_e lowest, bool* running) {
    std::lock_guard<std::mutex> lock(m_WriteMutex);
    if (*running) return;
    *running = true;
    m_Captures.push_back(capture);
    m_CaptureLowest.push_back(lowest);
    UpdateLowestLocked();
  }
  void RemoveCapture(LogCapture* capture, bool* running) {
    std::lock_guard<std::mutex> lock(m_WriteMutex);
    if (!*running) return;
    *running = false;
    for (size_t i = 0; i < m_Captures.size(); ++i) {
      if (m_Captures[i] == capture) {
        m_Captures.erase(m_Captures.begin() + static_cast<long>(i));
        m_CaptureLowest.erase(m_CaptureLowest.begin() + static_cast<long>(i));
        break;
      }
    }
    UpdateLowestLocked();
  }

 private:
  Sink() {
    m_BuiltinDefault = AddSourceLocked(kDefaultSourceName);
    m_Default.store(m_BuiltinDefault);
  }

  apt_log_source_t* AddSourceLocked(const char* name) {
    auto source = std::make_unique<apt_log_source_t>();
    m_Names.emplace_back(name);
    source->name = m_Names.back().c_str();
    source->priority = APT_PRIO_DEBUG;  // the sink's filters decide
    m_Sources.push_back(std::move(source));
    return m_Sources.back().get();
  }

  void UpdateLowestLocked() {
    int lowest = -1;
    for (apt_log_priority_e p : m_CaptureLowest) lowest = std::max(lowest, static_cast<int>(p));
    m_LowestCapture.store(lowest);
  }

  std::mutex m_SourcesMutex;  // guards m_Sources, m_Names
  std::deque<std::unique_ptr<apt_log_source_t>> m_Sources;
  std::deque<std::string> m_Names;
  apt_log_source_t* m_BuiltinDefault = nullptr;
  std::atomic<apt_log_source_t*> m_Default{nullptr};

  std::atomic<apt_log_priority_e> m_Priority{APT_PRIO_WARNING};
  std::atomic<int> m_LowestCapture{-1};  // -1: no capture running

  std::mutex m_WriteMutex;  // guards m_Stream, m_Captures, m_CaptureLowest
  FILE* m_Stream = stderr;
  std::vector<LogCapture*> m_Captures;
  std::vector<apt_log_priority_e> m_CaptureLowest;
};

std::string FormatLine(const apt_log_source_t* source, apt_log_priority_e priority,
                       const char* format, va_list args) {
  struct timeval now;
  gettimeofday(&now, nullptr);
  struct tm local;
  time_t seconds = now.tv_sec;
  localtime_r(&seconds, &local);
  char head[96];
  char date[32];
  strftime(date, sizeof(date), "%Y-%m-%d %H:%M:%S", &local);
  snprintf(head, sizeof(head), "%s.%06ld [%s] ", date, static_cast<long>(now.tv_usec),
           apt_log_priority_name(priority));

  std::string line(head);
  line += '[';
  line += (source && source->name) ? source->name : "";
  line += "] ";
  const size_t message_start = line.size();

  char buffer[512];
  va_list copy;
  va_copy(copy, args);
  const int needed = vsnprintf(buffer, sizeof(buffer), format ? format : "", copy);
  va_end(copy);
  if (needed < 0) {
    line += "(bad log format)";
  } else if (static_cast<size_t>(needed) < sizeof(buffer)) {
    line.append(buffer, static_cast<size_t>(needed));
  } else {
    std::string big(static_cast<size_t>(needed) + 1, '\0');
    vsnprintf(&big[0], big.size(), format, args);
    big.resize(static_cast<size_t>(needed));
    line += big;
  }
  // One record is one line: embedded line breaks would forge records.
  for (size_t i = message_start; i < line.size(); ++i) {
    if (line[i] == '\n' || line[i] == '\r') line[i] = ' ';
  }
  return line;
}

}  // namespace

void SetLogPriority(apt_log_priority_e lowest) {
  if (lowest < APT_PRIO_EMERGENCY || lowest >= APT_PRIO_COUNT) lowest = APT_PRIO_DEBUG;
  Sink::Get().SetPriority(lowest);
}
apt_log_priority_e LogPriority() { return Sink::Get().Priority(); }
void SetLogStream(FILE* stream) { Sink::Get().SetStream(stream); }
FILE* LogStream() { return Sink::Get().Stream(); }

// -------------------------------------------------------------- LogCapture

LogCapture::LogCapture(bool start, apt_log_priority_e lowest) : m_Lowest(lowest) {
  if (start) Start();
}

LogCapture::LogCapture(LineFunction on_line, apt_log_priority_e lowest)
    : m_Lowest(lowest), m_OnLine(std::move(on_line)) {
  Start();
}

LogCapture::~LogCapture() { Stop(); }

void LogCapture::Start() { Sink::Get().AddCapture(this, m_Lowest, &m_Running); }
void LogCapture::Stop() { Sink::Get().RemoveCapture(this, &m_Running); }

void LogCapture::Clear() {
  std::lock_guard<std::mutex> lock(m_Mutex);
  m_Lines.clear();
}

void LogCapture::Append(apt_log_priority_e priority, const std::string& line) {
  if (priority > m_Lowest) return;
  if (m_OnLine) {
    m_OnLine(priority, line);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Lines.push_back(line);
  }
  m_Cond.notify_all();
}

bool LogCapture::WaitFor(const std::string& substring, std::chrono::milliseconds timeout) {
  return WaitForCount(substring, 1, timeout);
}

bool LogCapture::WaitForCount(const std::string& substring, size_t count,
                              std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(m_Mutex);
  return m_Cond.wait_for(lock, timeout, [&] { return CountLocked(substring) >= count; });
}

size_t LogCapture::Count(const std::string& substring) const {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return CountLocked(substring);
}

size_t LogCapture::CountLocked(const std::string& substring) const {
  size_t count = 0;
  for (const std::string& line : m_Lines) {
    if (line.find(substring) != std::string::npos) ++count;
  }
  return count;
}

std::vector<std::string> LogCapture::Lines() const {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return m_Lines;
}

}  // namespace vxhost

// ------------------------------------------------------------- C interface

struct apt_logger_t {
  int reserved;
};

namespace {
apt_logger_t g_HostLogger = {0};
std::atomic<apt_logger_t*> g_Logger{&g_HostLogger};
}  // namespace

extern "C" {

APT_DECLARE(apt_bool_t) apt_va_log(apt_log_source_t* source, const char* file, int line,
                                   apt_log_priority_e priority, const char* format,
                                   va_list args) {
  (void)file;
  (void)line;
  try {
    vxhost::Sink& sink = vxhost::Sink::Get();
    if (!source) source = sink.DefaultSource();
    if (priority < APT_PRIO_EMERGENCY || priority >= APT_PRIO_COUNT) priority = APT_PRIO_DEBUG;
    if (priority > source->priority || !sink.Wanted(priority)) return FALSE;
    sink.Write(priority, vxhost::FormatLine(source, priority, format, args));
  } catch (...) {
    return FALSE;  // out of memory: the line is lost, the caller goes on
  }
  return TRUE;
}

APT_DECLARE(apt_bool_t) apt_log_priority_check(const apt_log_source_t* source,
                                               apt_log_priority_e priority) {
  try {
    vxhost::Sink& sink = vxhost::Sink::Get();
    if (!source) source = sink.DefaultSource();
    return (priority <= source->priority && sink.Wanted(priority)) ? TRUE : FALSE;
  } catch (...) {
    return FALSE;
  }
}

APT_DECLARE(apt_bool_t) apt_log(apt_log_source_t* source, const char* file, int line,
                                apt_log_priority_e priority, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const apt_bool_t result = apt_va_log(source, file, line, priority, format, args);
  va_end(args);
  return result;
}

APT_DECLARE(apt_bool_t) apt_log_instance_set(apt_logger_t* logger) {
  if (!logger) return FALSE;
  g_Logger.store(logger);
  return TRUE;
}

APT_DECLARE(apt_logger_t*) apt_log_instance_get(void) { return g_Logger.load(); }

APT_DECLARE(void) apt_def_log_source_set(apt_log_source_t* source) {
  vxhost::Sink::Get().SetDefaultSource(source);
}

APT_DECLARE(apt_log_source_t*) apt_def_log_source_get(void) {
  return vxhost::Sink::Get().DefaultSource();
}

APT_DECLARE(apt_bool_t) apt_log_source_assign(const char* name, apt_log_source_t** source) {
  if (!name || !source) return FALSE;
  try {
    *source = vxhost::Sink::Get().Assign(name);
  } catch (...) {
    return FALSE;
  }
  return TRUE;
}

APT_DECLARE(apt_log_priority_e) apt_log_priority_translate(const char* str) {
  if (!str) return APT_PRIO_DEBUG;
  for (int i = 0; i < APT_PRIO_COUNT; ++i) {
    if (strcasecmp(str, vxhost::kPriorityNames[i]) == 0) return static_cast<apt_log_priority_e>(i);
  }
  return APT_PRIO_DEBUG;
}

APT_DECLARE(const char*) apt_log_priority_name(apt_log_priority_e priority) {
  if (priority < APT_PRIO_EMERGENCY || priority >= APT_PRIO_COUNT) return "UNKNOWN";
  return vxhost::kPriorityNames[priority];
}

}  // extern "C"
