#include "ambrel/Logger.h"

#include <apr_lib.h>
#include <apr_strings.h>
#include <apr_time.h>

namespace Ambrel {

namespace {

const char* const kLogLevelNames[kLogLevelCount] = {
    "EMERGENCY", "ALERT", "CRITICAL", "ERROR", "WARNING", "NOTICE", "INFO", "DEBUG"};

}  // namespace

const char* LogLevelName(LogLevel level) {
  if (level < LOG_EMERGENCY || level > LOG_DEBUG) return "UNKNOWN";
  return kLogLevelNames[level];
}

bool TranslateLogLevel(const std::string& name, LogLevel& level) {
  for (int i = 0; i < kLogLevelCount; ++i) {
    if (name == kLogLevelNames[i]) {
      level = static_cast<LogLevel>(i);
      return true;
    }
  }
  return false;
}

LogFacility::LogFacility(const std::string& name) : LogFacility(name, LOG_INFO) {}

LogFacility::LogFacility(const std::string& name, LogLevel level) : m_Name(name), m_Level(level) {}

void PopulateLogRecord(LogRecord& record, const LogFacility& facility, LogLevel level,
                       const char* file, int line, const char* format, va_list args) {
  record.m_Level = level;
  record.m_Facility = facility.GetName();
  if (file) record.m_File = file;
  record.m_Line = line;

  apr_time_exp_t tm;
  apr_time_exp_lt(&tm, apr_time_now());
  char stamp[64];
  const apr_size_t stamp_len =
      apr_snprintf(stamp, sizeof(stamp), "%4d-%02d-%02d %02d:%02d:%02d.%06d", tm.tm_year + 1900,
                   tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_usec);
  if (stamp_len > 0) record.m_Timestamp.assign(stamp, stamp_len);

  if (!format) return;
  char message[kMaxLogMessage + 1];
  const apr_size_t message_len = apr_vsnprintf(message, sizeof(message), format, args);
  if (message_len > 0) record.m_Message.assign(message, message_len);
}

void FacilityLogV(const LogFacility& facility, LogLevel level, const char* file, int line,
                  const char* format, va_list args) {
  if (!facility.Accepts(level)) return;
  Logger* logger = Logger::GetInstance();
  if (!logger) return;
  LogRecord record;
  PopulateLogRecord(record, facility, level, file, line, format, args);
  logger->PostLogRecord(record);
}

void FacilityLog(const LogFacility& facility, LogLevel level, const char* file, int line,
                 const char* format, ...) {
  if (!facility.Accepts(level)) return;
  va_list args;
  va_start(args, format);
  FacilityLogV(facility, level, file, line, format, args);
  va_end(args);
}

LogDevice::LogDevice(const std::string& name) : m_Facility(name, LOG_DEBUG) {}
LogDevice::~LogDevice() = default;
bool LogDevice::Open() { return true; }
bool LogDevice::Close() { return true; }

LogRecordEvent::LogRecordEvent(Logger* logger, const LogRecord& record)
    : m_Logger(logger), m_Record(record) {}

void LogRecordEvent::Process() { m_Logger->ProcessLogRecord(m_Record); }

std::atomic<Logger*> Logger::sm_pLogger{nullptr};
std::atomic<uint32_t> Logger::sm_RefCount{0};

Logger* Logger::CreateInstance() {
  if (sm_RefCount.fetch_add(1, std::memory_order_acq_rel) != 0) return GetInstance();
  Logger* logger = GetInstance();
  if (!logger) {
    logger = new Logger();
    sm_pLogger.store(logger, std::memory_order_release);
  }
  return logger;
}

void Logger::DestroyInstance() {
  uint32_t count = sm_RefCount.load(std::memory_order_acquire);
  do {
    if (count == 0) return;
  } while (!sm_RefCount.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel));
  if (count != 1) return;
  Logger* logger = sm_pLogger.exchange(nullptr, std::memory_order_acq_rel);
  if (logger) {
    logger->Shutdown();
    delete logger;
  }
}

Logger::Logger() : m_Facility("GLOBAL", m_Level) {}

Logger::~Logger() {
  Shutdown();
  // Devices that were added but never went through a shutdown are still ours.
  for (auto& device : m_Devices) delete device.second;
}

bool Logger::Start() {
  if (m_pProcessor.load(std::memory_order_acquire)) return false;
  auto* processor = new SoftEventProcessor();
  processor->AddObserver(this);
  if (!processor->Start()) {
    delete processor;
    return false;
  }
  m_pProcessor.store(processor, std::memory_order_release);
  return true;
}

bool Logger::Shutdown() {
  SoftEventProcessor* processor = m_pProcessor.exchange(nullptr, std::memory_order_acq_rel);
  if (!processor) return false;
  processor->Shutdown(true);
  delete processor;
  return true;
}

bool Logger::AddLogDevice(LogDevice* device) {
  if (!device) return false;
  std::lock_guard<std::mutex> lock(m_DevicesMutex);
  return m_Devices.emplace(device->GetName(), device).second;
}

size_t Logger::GetDeviceCount() const {
  std::lock_guard<std::mutex> lock(m_DevicesMutex);
  return m_Devices.size();
}

bool Logger::PostLogRecord(const LogRecord& record) {
  SoftEventProcessor* processor = m_pProcessor.load(std::memory_order_acquire);
  if (!processor) return false;
  return PostAsyncEvent(processor, new LogRecordEvent(this, record));
}

bool Logger::ProcessLogRecord(const LogRecord& record) {
  std::lock_guard<std::mutex> lock(m_DevicesMutex);
  bool all = true;
  for (auto& device : m_Devices) {
    if (!device.second->ProcessLogRecord(record)) all = false;
  }
  return all;
}

bool Logger::OnStart(SoftEventProcessor*) {
  std::lock_guard<std::mutex> lock(m_DevicesMutex);
  for (auto& device : m_Devices) device.second->Open();
  return true;
}

void Logger::OnShutdown(SoftEventProcessor*) {
  std::lock_guard<std::mutex> lock(m_DevicesMutex);
  for (auto& device : m_Devices) {
    device.second->Close();
    delete device.second;
  }
  m_Devices.clear();
}

}  // namespace Ambrel
