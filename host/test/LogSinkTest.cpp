// The host log sink: line format, priority filters, sources and capture.

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "vxhost/LogSink.h"

namespace {

using std::chrono::milliseconds;

class LogSinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_File = tmpfile();
    ASSERT_NE(nullptr, m_File);
    m_OldStream = vxhost::LogStream();
    m_OldPriority = vxhost::LogPriority();
    vxhost::SetLogStream(m_File);
    vxhost::SetLogPriority(APT_PRIO_WARNING);
    ASSERT_TRUE(apt_log_source_assign("SINK-TEST", &m_Source));
  }
  void TearDown() override {
    vxhost::SetLogStream(m_OldStream);
    vxhost::SetLogPriority(m_OldPriority);
    fclose(m_File);
  }

  std::vector<std::string> Written() {
    fflush(m_File);
    rewind(m_File);
    std::vector<std::string> lines;
    char buffer[4096];
    while (fgets(buffer, sizeof(buffer), m_File)) {
      std::string line(buffer);
      if (!line.empty() && line.back() == '\n') line.pop_back();
      lines.push_back(line);
    }
    return lines;
  }

  FILE* m_File = nullptr;
  FILE* m_OldStream = nullptr;
  apt_log_priority_e m_OldPriority = APT_PRIO_WARNING;
  apt_log_source_t* m_Source = nullptr;
};

TEST_F(LogSinkTest, LineCarriesTimePriorityAndSource) {
  EXPECT_TRUE(apt_log(m_Source, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Open %s [%d]", "x.xml",
                      2));
  const std::vector<std::string> lines = Written();
  ASSERT_EQ(1u, lines.size());
  const std::regex format(
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6} \[WARNING\] \[SINK-TEST\] Failed to Open x\.xml \[2\])");
  EXPECT_TRUE(std::regex_match(lines[0], format)) << lines[0];
}

TEST_F(LogSinkTest, StreamTakesOnlyLinesUpToItsPriority) {
  EXPECT_FALSE(apt_log(m_Source, APT_LOG_MARK, APT_PRIO_INFO, "quiet"));
  EXPECT_TRUE(apt_log(m_Source, APT_LOG_MARK, APT_PRIO_ERROR, "loud"));
  vxhost::SetLogPriority(APT_PRIO_DEBUG);
  EXPECT_TRUE(apt_log(m_Source, APT_LOG_MARK, APT_PRIO_DEBUG, "chatty"));
  const std::vector<std::string> lines = Written();
  ASSERT_EQ(2u, lines.size());
  EXPECT_NE(std::string::npos, lines[0].find("[ERROR] [SINK-TEST] loud"));
  EXPECT_NE(std::string::npos, lines[1].find("[DEBUG] [SINK-TEST] chatty"));
}

TEST_F(LogSinkTest, SourcePriorityFiltersFirst) {
  apt_log_source_t* strict = nullptr;
  ASSERT_TRUE(apt_log_source_assign("SINK-STRICT", &strict));
  apt_log_source_t* again = nullptr;
  ASSERT_TRUE(apt_log_source_assign("SINK-STRICT", &again));
  EXPECT_EQ(strict, again);
  strict->priority = APT_PRIO_ERROR;
  vxhost::LogCapture capture;
  EXPECT_FALSE(apt_log(strict, APT_LOG_MARK, APT_PRIO_WARNING, "dropped"));
  EXPECT_TRUE(apt_log(strict, APT_LOG_MARK, APT_PRIO_CRITICAL, "kept"));
  EXPECT_EQ(0u, capture.Count("dropped"));
  EXPECT_EQ(1u, capture.Count("kept"));
}

TEST_F(LogSinkTest, CaptureSeesLinesTheStreamFilters) {
  vxhost::LogCapture capture(true, APT_PRIO_INFO);
  EXPECT_TRUE(apt_log(m_Source, APT_LOG_MARK, APT_PRIO_INFO, "Open <%s@%s>", "s1", "vxs"));
  EXPECT_FALSE(apt_log(m_Source, APT_LOG_MARK, APT_PRIO_DEBUG, "too fine"));
  EXPECT_TRUE(Written().empty());
  EXPECT_TRUE(capture.WaitFor("Open <s1@vxs>", milliseconds(0)));
  EXPECT_EQ(0u, capture.Count("too fine"));

  capture.Stop();
  apt_log(m_Source, APT_LOG_MARK, APT_PRIO_ERROR, "after stop");
  EXPECT_EQ(0u, capture.Count("after stop"));
  EXPECT_EQ(1u, capture.Lines().size());
}

TEST_F(LogSinkTest, CaptureCollectsEveryLineFromManyThreads) {
  vxhost::SetLogStream(nullptr);
  vxhost::LogCapture capture;
  const int kThreads = 4;
  const int kLines = 250;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kLines; ++i) {
        apt_log(m_Source, APT_LOG_MARK, APT_PRIO_NOTICE, "worker %d line %d", t, i);
      }
    });
  }
  EXPECT_TRUE(capture.WaitForCount("worker", kThreads * kLines, milliseconds(10000)));
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(static_cast<size_t>(kThreads * kLines), capture.Count("] worker "));
  EXPECT_EQ(1u, capture.Count("worker 3 line 249"));
}

TEST_F(LogSinkTest, WaitForTimesOutWithoutAMatch) {
  vxhost::LogCapture capture;
  EXPECT_FALSE(capture.WaitFor("never logged", milliseconds(20)));
}

TEST_F(LogSinkTest, LineBreaksInAMessageCannotForgeLines) {
  apt_log(m_Source, APT_LOG_MARK, APT_PRIO_ERROR, "%s", "first\n2026-01-01 [ERROR] forged");
  const std::vector<std::string> lines = Written();
  ASSERT_EQ(1u, lines.size());
  EXPECT_NE(std::string::npos, lines[0].find("first 2026-01-01"));
}

TEST_F(LogSinkTest, LongMessagesAreWrittenWhole) {
  const std::string text(5000, 'x');
  apt_log(m_Source, APT_LOG_MARK, APT_PRIO_ERROR, "%s|", text.c_str());
  vxhost::SetLogStream(nullptr);
  const std::vector<std::string> lines = Written();
  ASSERT_EQ(2u, lines.size());  // fgets splits the long line in two
  EXPECT_EQ('|', lines[1].back());
}

TEST_F(LogSinkTest, DefaultSourceAndPriorityNames) {
  apt_log_source_t* builtin = apt_def_log_source_get();
  ASSERT_NE(nullptr, builtin);
  apt_def_log_source_set(m_Source);
  EXPECT_EQ(m_Source, apt_def_log_source_get());
  vxhost::LogCapture capture;
  apt_log(nullptr, APT_LOG_MARK, APT_PRIO_ERROR, "through the default");
  EXPECT_EQ(1u, capture.Count("[SINK-TEST] through the default"));
  apt_def_log_source_set(nullptr);
  EXPECT_EQ(builtin, apt_def_log_source_get());

  EXPECT_EQ(APT_PRIO_NOTICE, apt_log_priority_translate("notice"));
  EXPECT_EQ(APT_PRIO_EMERGENCY, apt_log_priority_translate("EMERGENCY"));
  EXPECT_EQ(APT_PRIO_DEBUG, apt_log_priority_translate("verbose"));
  EXPECT_EQ(APT_PRIO_DEBUG, apt_log_priority_translate(nullptr));
  EXPECT_STREQ("CRITICAL", apt_log_priority_name(APT_PRIO_CRITICAL));
}

}  // namespace
