#include "ambrel/Logger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "ambrel/testing/TestSupport.h"

namespace Ambrel {
namespace {

using Testing::AprScope;
using Testing::WaitFor;

// What the devices of one test saw, shared by all of them.
struct DeviceLog {
  std::mutex m_Mutex;
  std::vector<std::string> m_Deliveries;  // "device:message"
  std::vector<LogRecord> m_Records;
  std::atomic<int> m_Opened{0};
  std::atomic<int> m_Closed{0};
  std::atomic<int> m_Deleted{0};

  size_t Count() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Deliveries.size();
  }
  std::vector<std::string> Deliveries() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Deliveries;
  }
  bool Has(const std::string& delivery) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    for (const auto& d : m_Deliveries) {
      if (d == delivery) return true;
    }
    return false;
  }
};

class CapturingDevice : public LogDevice {
 public:
  CapturingDevice(const std::string& name, DeviceLog* log) : LogDevice(name), m_Log(log) {}
  ~CapturingDevice() override { ++m_Log->m_Deleted; }
  bool Open() override {
    ++m_Log->m_Opened;
    return true;
  }
  bool Close() override {
    ++m_Log->m_Closed;
    return true;
  }
  bool ProcessLogRecord(const LogRecord& record) override {
    std::lock_guard<std::mutex> lock(m_Log->m_Mutex);
    m_Log->m_Deliveries.push_back(GetName() + ":" + record.m_Message);
    m_Log->m_Records.push_back(record);
    return true;
  }

 private:
  DeviceLog* m_Log;
};

class LoggerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    while (Logger::GetInstance()) Logger::DestroyInstance();
  }

  // A started logger with the named devices, added in the order given.
  Logger* StartLogger(const std::vector<std::string>& devices) {
    Logger* logger = Logger::CreateInstance();
    for (const auto& name : devices) {
      EXPECT_TRUE(logger->AddLogDevice(new CapturingDevice(name, &m_Log)));
    }
    EXPECT_TRUE(logger->Start());
    return logger;
  }

  AprScope m_Apr;
  DeviceLog m_Log;
};

TEST_F(LoggerTest, TranslateLogLevelAcceptsExactNamesOnly) {
  LogLevel level = LOG_DEBUG;
  EXPECT_TRUE(TranslateLogLevel("WARNING", level));
  EXPECT_EQ(level, 4);
  for (const char* name : {"WARN", "warning", "Warning", "", "DEBUG "}) {
    level = LOG_ALERT;
    EXPECT_FALSE(TranslateLogLevel(name, level)) << name;
    EXPECT_EQ(level, LOG_ALERT);
  }
  for (int i = LOG_EMERGENCY; i <= LOG_DEBUG; ++i) {
    ASSERT_TRUE(TranslateLogLevel(LogLevelName(static_cast<LogLevel>(i)), level));
    EXPECT_EQ(level, i);
  }
  EXPECT_STREQ(LogLevelName(static_cast<LogLevel>(8)), "UNKNOWN");
}

void Populate(LogRecord& record, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Populate(LogRecord& record, const char* format, ...) {
  va_list args;
  va_start(args, format);
  PopulateLogRecord(record, LogFacility("FAC", LOG_DEBUG), LOG_NOTICE, "file.cpp", 42, format,
                    args);
  va_end(args);
}

TEST_F(LoggerTest, PopulateLogRecordFillsEveryField) {
  LogRecord record;
  Populate(record, "value %d of %s", 7, "seven");
  EXPECT_EQ(record.m_Message, "value 7 of seven");
  EXPECT_EQ(record.m_Facility, "FAC");
  EXPECT_EQ(record.m_File, "file.cpp");
  EXPECT_EQ(record.m_Line, 42);
  EXPECT_EQ(record.m_Level, LOG_NOTICE);
  EXPECT_TRUE(std::regex_match(record.m_Timestamp,
                               std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6})")))
      << record.m_Timestamp;
  // An empty result leaves the message as it was.
  Populate(record, "%s", "");
  EXPECT_EQ(record.m_Message, "value 7 of seven");
}

TEST_F(LoggerTest, FacilityMadeByNameDropsDebug) {
  const LogFacility facility("F");
  EXPECT_EQ(facility.GetLevel(), LOG_INFO);
  StartLogger({"A"});
  FacilityLog(facility, LOG_DEBUG, AMBREL_LOG_MARK, "dropped");
  FacilityLog(facility, LOG_INFO, AMBREL_LOG_MARK, "kept");
  // Records arrive in posting order, so the debug line would be here by now.
  ASSERT_TRUE(WaitFor([&] { return m_Log.Has("A:kept"); }));
  EXPECT_EQ(m_Log.Deliveries(), (std::vector<std::string>{"A:kept"}));
}

TEST_F(LoggerTest, LongMessageArrivesCutTo1023Chars) {
  StartLogger({"A"});
  const std::string text(2000, 'x');
  FacilityLog(LogFacility("F"), LOG_ERROR, AMBREL_LOG_MARK, "%s", text.c_str());
  ASSERT_TRUE(WaitFor([&] { return m_Log.Count() == 1; }));
  std::lock_guard<std::mutex> lock(m_Log.m_Mutex);
  EXPECT_EQ(m_Log.m_Records[0].m_Message, std::string(1023, 'x'));
  EXPECT_EQ(m_Log.m_Records[0].m_Facility, "F");
  EXPECT_EQ(m_Log.m_Records[0].m_Level, LOG_ERROR);
}

TEST_F(LoggerTest, DevicesReceiveRecordsInNameOrder) {
  StartLogger({"B", "A"});
  const LogFacility facility("F");
  FacilityLog(facility, LOG_INFO, AMBREL_LOG_MARK, "one");
  FacilityLog(facility, LOG_INFO, AMBREL_LOG_MARK, "two");
  ASSERT_TRUE(WaitFor([&] { return m_Log.Count() == 4; }));
  EXPECT_EQ(m_Log.Deliveries(), (std::vector<std::string>{"A:one", "B:one", "A:two", "B:two"}));
}

TEST_F(LoggerTest, ShutdownClosesAndDeletesEveryDevice) {
  Logger* logger = StartLogger({"A", "B"});
  ASSERT_TRUE(WaitFor([&] { return m_Log.m_Opened == 2; }));
  ASSERT_TRUE(logger->Shutdown());
  EXPECT_EQ(m_Log.m_Closed.load(), 2);
  EXPECT_EQ(m_Log.m_Deleted.load(), 2);
  EXPECT_EQ(logger->GetDeviceCount(), 0u);
  EXPECT_FALSE(logger->Shutdown());
  EXPECT_FALSE(logger->PostLogRecord(LogRecord()));
}

TEST_F(LoggerTest, AddLogDeviceRefusesDuplicateName) {
  Logger* logger = Logger::CreateInstance();
  ASSERT_TRUE(logger->AddLogDevice(new CapturingDevice("A", &m_Log)));
  CapturingDevice duplicate("A", &m_Log);
  EXPECT_FALSE(logger->AddLogDevice(&duplicate));
  EXPECT_EQ(logger->GetDeviceCount(), 1u);
}

TEST_F(LoggerTest, DevicesOfNeverStartedLoggerAreDeletedWithIt) {
  Logger* logger = Logger::CreateInstance();
  ASSERT_TRUE(logger->AddLogDevice(new CapturingDevice("A", &m_Log)));
  // Not started: records have nowhere to go.
  EXPECT_FALSE(logger->PostLogRecord(LogRecord()));
  Logger::DestroyInstance();
  EXPECT_EQ(m_Log.m_Deleted.load(), 1);
  EXPECT_EQ(m_Log.m_Opened.load(), 0);
}

TEST_F(LoggerTest, InstanceLivesUntilLastReferenceGoes) {
  Logger* first = Logger::CreateInstance();
  EXPECT_EQ(Logger::CreateInstance(), first);
  EXPECT_EQ(first->GetFacility().GetName(), "GLOBAL");
  EXPECT_EQ(first->GetLevel(), LOG_INFO);
  ASSERT_TRUE(first->Start());
  EXPECT_FALSE(first->Start());
  Logger::DestroyInstance();
  EXPECT_EQ(Logger::GetInstance(), first);
  Logger::DestroyInstance();
  EXPECT_EQ(Logger::GetInstance(), nullptr);
  Logger::DestroyInstance();  // one too many does nothing
  // Without an instance, logging is a no-op.
  FacilityLog(LogFacility("F"), LOG_ERROR, AMBREL_LOG_MARK, "nowhere");
}

}  // namespace
}  // namespace Ambrel
