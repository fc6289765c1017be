#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "ambrel/AsyncEvent.h"
#include "ambrel/EventProcessor.h"

namespace Ambrel {

// A smaller value is more severe; a record passes a filter when its level is
// less than or equal to the filter's. The numbers are the host log's
// priorities, so a level can be handed to the host unchanged.
enum LogLevel {
  LOG_EMERGENCY = 0,
  LOG_ALERT,
  LOG_CRITICAL,
  LOG_ERROR,
  LOG_WARNING,
  LOG_NOTICE,
  LOG_INFO,
  LOG_DEBUG
};

constexpr int kLogLevelCount = LOG_DEBUG + 1;

// "EMERGENCY" ... "DEBUG"; "UNKNOWN" for a value outside the eight levels.
const char* LogLevelName(LogLevel level);
// Exact, case-sensitive match of one of the eight names. On a match stores
// the level and returns true; otherwise leaves level alone and returns false.
bool TranslateLogLevel(const std::string& name, LogLevel& level);

// A named source of log records that lets through the levels up to its own.
// Held by value; set the level before other threads log through it.
class LogFacility {
 public:
  // Filters at INFO, the logger's global level.
  explicit LogFacility(const std::string& name);
  LogFacility(const std::string& name, LogLevel level);

  const std::string& GetName() const { return m_Name; }
  LogLevel GetLevel() const { return m_Level; }
  void SetLevel(LogLevel level) { m_Level = level; }
  bool Accepts(LogLevel level) const { return level <= m_Level; }

 private:
  std::string m_Name;
  LogLevel m_Level;
};

// One formatted log statement.
struct LogRecord {
  std::string m_Timestamp;  // local time, "YYYY-MM-DD hh:mm:ss.uuuuuu"
  LogLevel m_Level = LOG_DEBUG;
  std::string m_Facility;
  std::string m_File;
  int m_Line = 0;
  std::string m_Message;  // at most kMaxLogMessage characters
};

// Longest message a record carries; longer ones are cut.
constexpr size_t kMaxLogMessage = 1023;

// Fills record for facility and formats the message with APR's formatter.
// A formatting step that yields nothing leaves its field unchanged.
void PopulateLogRecord(LogRecord& record, const LogFacility& facility, LogLevel level,
                       const char* file, int line, const char* format, va_list args);

// Posts a record to the logger instance when facility lets level through;
// a filtered statement costs one comparison. Never fails towards the caller.
void FacilityLog(const LogFacility& facility, LogLevel level, const char* file, int line,
                 const char* format, ...) __attribute__((format(printf, 5, 6)));
void FacilityLogV(const LogFacility& facility, LogLevel level, const char* file, int line,
                  const char* format, va_list args) __attribute__((format(printf, 5, 0)));

#define AMBREL_LOG_MARK __FILE__, __LINE__

// A sink of log records. Owned by the logger once added to it; every call
// comes from the logger's thread, one record at a time.
class LogDevice {
 public:
  explicit LogDevice(const std::string& name);
  virtual ~LogDevice();

  LogDevice(const LogDevice&) = delete;
  LogDevice& operator=(const LogDevice&) = delete;

  virtual bool Open();
  virtual bool Close();
  virtual bool ProcessLogRecord(const LogRecord& record) = 0;

  const std::string& GetName() const { return m_Facility.GetName(); }
  const LogFacility& GetFacility() const { return m_Facility; }
  LogLevel GetLevel() const { return m_Level; }
  void SetLevel(LogLevel level) { m_Level = level; }

 private:
  LogFacility m_Facility;
  LogLevel m_Level = LOG_DEBUG;  // not consulted by the logger
};

class Logger;

// Carries a copy of one record to the logger's thread.
class LogRecordEvent : public AsyncEvent {
 public:
  LogRecordEvent(Logger* logger, const LogRecord& record);
  void Process() override;

 private:
  Logger* m_Logger;
  LogRecord m_Record;
};

// The process-wide logger: records posted from any thread are delivered on
// its own event-processor thread to every device, in order of device name.
// Created and destroyed through CreateInstance/DestroyInstance by the
// engine's thread; owns its processor and the devices added to it. Nothing
// may log while the last DestroyInstance runs.
class Logger : public SoftEventProcessor::Observer {
 public:
  static Logger* CreateInstance();
  static Logger* GetInstance() { return sm_pLogger.load(std::memory_order_acquire); }
  static void DestroyInstance();

  ~Logger() override;

  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // Starts the logger's thread, which opens the devices. False when started
  // already or when the thread cannot be started.
  bool Start();
  // Stops the thread (which closes and deletes the devices) and waits for
  // it. False when not started.
  bool Shutdown();
  // Takes ownership on success; false (caller keeps the device) when a
  // device of that name is present. A device added after Start is not opened.
  bool AddLogDevice(LogDevice* device);
  // Posts a copy of record to the logger's thread; false when not started.
  bool PostLogRecord(const LogRecord& record);
  // Hands record to every device; true when every device succeeded.
  bool ProcessLogRecord(const LogRecord& record);

  bool OnStart(SoftEventProcessor* processor) override;
  void OnShutdown(SoftEventProcessor* processor) override;

  LogLevel GetLevel() const { return m_Level; }
  const LogFacility& GetFacility() const { return m_Facility; }
  size_t GetDeviceCount() const;

 private:
  Logger();

  static std::atomic<Logger*> sm_pLogger;
  static std::atomic<uint32_t> sm_RefCount;

  LogLevel m_Level = LOG_INFO;
  LogFacility m_Facility;
  std::atomic<SoftEventProcessor*> m_pProcessor{nullptr};  // owned
  mutable std::mutex m_DevicesMutex;  // guards m_Devices against late additions
  std::map<std::string, LogDevice*> m_Devices;  // owned devices, by name
};

}  // namespace Ambrel
