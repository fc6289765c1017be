// The small pieces of the plug-in seam: the newest-matching-file search, the
// gRPC log severity mapping and the completion-queue task.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include <grpcpp/alarm.h>

#include "Plugin.h"
#include "PluginBindings.h"
#include "Task.h"
#include "ambrel/testing/TestSupport.h"
#include "vxhost/LogSink.h"

namespace VXS {
namespace {

namespace fs = std::filesystem;

class FileSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_Scratch.IsValid());
    m_Dir = m_Scratch.Path();
    apr_pool_create(&m_Pool, nullptr);
  }
  void TearDown() override { apr_pool_destroy(m_Pool); }
  void Touch(const std::string& name) { std::ofstream(m_Dir / name) << name; }

  Ambrel::Testing::AprScope m_Apr;
  Ambrel::Testing::ScratchDir m_Scratch;
  apr_pool_t* m_Pool = nullptr;
  fs::path m_Dir;
};

TEST_F(FileSearchTest, PicksTheMatchWithTheLaterChangeTime) {
  Touch("key-old.json");
  // Status-change times have a resolution the test cannot set; wait for it
  // to move on rather than assume one.
  struct stat first;
  ASSERT_EQ(stat((m_Dir / "key-old.json").c_str(), &first), 0);
  struct stat second;
  do {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    Touch("key-new.json");
    ASSERT_EQ(stat((m_Dir / "key-new.json").c_str(), &second), 0);
  } while (second.st_ctim.tv_sec == first.st_ctim.tv_sec &&
           second.st_ctim.tv_nsec == first.st_ctim.tv_nsec);
  Touch("other.txt");
  fs::create_directory(m_Dir / "key-dir.json");

  std::string result;
  ASSERT_TRUE(file_search(result, (m_Dir / "key-*.json").string(), m_Pool));
  EXPECT_EQ(result, (m_Dir / "key-new.json").string());
}

TEST_F(FileSearchTest, NoMatchOrNoDirectoryLeavesTheResultUntouched) {
  Touch("a.txt");
  std::string result = "unchanged";
  EXPECT_FALSE(file_search(result, (m_Dir / "*.json").string(), m_Pool));
  EXPECT_FALSE(file_search(result, (m_Dir / "missing" / "*.json").string(), m_Pool));
  EXPECT_EQ(result, "unchanged");
}

TEST_F(FileSearchTest, PatternWithoutSeparatorSearchesTheCurrentDirectory) {
  Touch("only-here.pem");
  fs::path previous = fs::current_path();
  fs::current_path(m_Dir);
  std::string result;
  bool found = file_search(result, "only-*.pem", m_Pool);
  fs::current_path(previous);
  ASSERT_TRUE(found);
  EXPECT_EQ(fs::path(result).filename(), "only-here.pem");
}

TEST_F(FileSearchTest, BackslashSeparatesWhenThereIsNoSlash) {
  // A name like "dir\pattern" splits at the backslash; with no such
  // directory nothing is found and nothing crashes.
  std::string result;
  EXPECT_FALSE(file_search(result, "no-such-dir\\*.json", m_Pool));
}

TEST(GrpcLogRedirection, SeveritiesMapToHostPriorities) {
  EXPECT_EQ(GrpcSeverityToPriority(GPR_LOG_SEVERITY_DEBUG), APT_PRIO_DEBUG);
  EXPECT_EQ(GrpcSeverityToPriority(GPR_LOG_SEVERITY_INFO), APT_PRIO_INFO);
  EXPECT_EQ(GrpcSeverityToPriority(GPR_LOG_SEVERITY_ERROR), APT_PRIO_ERROR);
}

TEST(GrpcLogRedirection, ForwardsTheMessageWithItsOwnPlace) {
  vxhost::LogCapture capture(true, APT_PRIO_DEBUG);
  gpr_log_func_args args;
  args.file = "chttp2_transport.cc";
  args.line = 42;
  args.severity = GPR_LOG_SEVERITY_ERROR;
  args.message = "transport closed";
  GrpcLogRedirector(&args);
  ASSERT_EQ(capture.Count("transport closed"), 1u);
  EXPECT_NE(capture.Lines().back().find("ERROR"), std::string::npos);
}

class TaskTest : public ::testing::Test {
 protected:
  void SetUp() override { apr_pool_create(&m_Pool, nullptr); }
  void TearDown() override { apr_pool_destroy(m_Pool); }

  Ambrel::Testing::AprScope m_Apr;
  apr_pool_t* m_Pool = nullptr;
};

TEST_F(TaskTest, TerminateWithoutHostTaskFailsAndLeavesTheQueueOpen) {
  Task task("GRPC");
  EXPECT_FALSE(task.Start());
  EXPECT_FALSE(task.Terminate());
  // The queue still takes work: an alarm-free shutdown now drains at once.
  task.GetQueue()->Shutdown();
  void* tag = nullptr;
  bool ok = false;
  EXPECT_FALSE(task.GetQueue()->Next(&tag, &ok));
}

TEST_F(TaskTest, CompletionWithoutChannelIsConsumedAndShutdownIsLoggedOnce) {
  vxhost::LogCapture capture(true, APT_PRIO_DEBUG);
  Task task("GRPC");
  ASSERT_TRUE(task.Create(m_Pool));
  ASSERT_TRUE(task.Start());
  // A tag that belongs to no channel, completed through an alarm.
  Tag orphan(nullptr);
  grpc::Alarm alarm;
  alarm.Set(task.GetQueue(), std::chrono::system_clock::now(), &orphan);
  ASSERT_TRUE(task.Terminate());
  task.Destroy();
  EXPECT_EQ(capture.Count("Completion Queue Shutdown"), 1u);
}

}  // namespace
}  // namespace VXS
