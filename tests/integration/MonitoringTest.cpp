// Usage monitoring end to end: when the usage-change outputs are produced,
// the usage line in the host log, booleans the loader refuses, and the
// refresh timer with good and bad periods.
#include <atomic>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "ModuleFixture.h"

namespace vxtest {
namespace {

constexpr char kUsage00[] = "in-use channels: 0\nmax used channels: 0\n";
constexpr char kUsage11[] = "in-use channels: 1\nmax used channels: 1\n";
constexpr char kUsage01[] = "in-use channels: 0\nmax used channels: 1\n";

// Polls until the file exists and reads `content`; false on time-out.
bool WaitForContent(const fs::path& path, const std::string& content,
                    std::chrono::milliseconds timeout) {
  return Ambrel::Testing::WaitFor([&] { return fs::exists(path) && ReadFile(path) == content; },
                                  timeout);
}

class MonitoringTest : public ModuleFixture {
 protected:
  void SetUp() override {
    ModuleFixture::SetUp();
    StartServer();
  }

  // A "monitoring-agent" element with the given attributes and children.
  void Start(const std::string& attributes, const std::string& children) {
    WriteConfig("", "  <monitoring-agent " + attributes + ">\n" + children +
                        "  </monitoring-agent>\n");
    StartEngine();
  }

  fs::path Status(const std::string& name) const { return m_Root / "var" / "status" / name; }

  std::vector<std::string> LinesWith(const std::string& text) const {
    std::vector<std::string> found;
    for (const std::string& line : m_Log->Lines()) {
      if (line.find(text) != std::string::npos) found.push_back(line);
    }
    return found;
  }
};

// Written twice at start (before and after the stores), then at the open,
// the close and the shutdown, each time with the figures of that moment.
TEST_F(MonitoringTest, UsageFileIsWrittenAtEveryChangeFromStartToShutdown) {
  Start("", R"(    <usage-change-handler>
      <update-usage enable="true" status-file="usage.status"/>
    </usage-change-handler>
)");
  const std::string written = "Update usage " + Status("usage.status").string();
  EXPECT_EQ(m_Log->Count(written), 2u);
  EXPECT_EQ(ReadFile(Status("usage.status")), kUsage00);
  vxhost::Channel* channel = OpenChannel("one");
  EXPECT_EQ(m_Log->Count(written), 3u);
  EXPECT_EQ(ReadFile(Status("usage.status")), kUsage11);
  ASSERT_TRUE(m_Kit->CloseChannel(channel, 5s));
  EXPECT_EQ(m_Log->Count(written), 4u);
  EXPECT_EQ(ReadFile(Status("usage.status")), kUsage01);
  ASSERT_TRUE(m_Kit->CloseEngine(5s));
  EXPECT_EQ(m_Log->Count(written), 5u);
  EXPECT_EQ(ReadFile(Status("usage.status")), kUsage01);
}

TEST_F(MonitoringTest, UsageLineIsLoggedAtTheConfiguredPriority) {
  Start("", R"(    <usage-change-handler>
      <log-usage enable="true" priority="NOTICE"/>
    </usage-change-handler>
)");
  EXPECT_EQ(m_Log->Count("VXS Usage: 0/0"), 2u);
  vxhost::Channel* a = OpenChannel("A");
  vxhost::Channel* b = OpenChannel("B");
  ASSERT_TRUE(a && b);
  ASSERT_TRUE(m_Kit->CloseChannel(a, 5s));
  auto one = LinesWith("VXS Usage: 1/1");
  ASSERT_EQ(one.size(), 1u);
  EXPECT_NE(one[0].find("[NOTICE]"), std::string::npos) << one[0];
  EXPECT_EQ(LinesWith("VXS Usage: 2/2").size(), 1u);
  // Current and maximum apart: the maximum is never lowered.
  EXPECT_EQ(LinesWith("VXS Usage: 1/2").size(), 1u);
}

TEST_F(MonitoringTest, EnableWithAnUnexpectedWordWarnsAndStaysOff) {
  Start("", R"(    <usage-change-handler>
      <log-usage enable="yes"/>
      <update-usage enable="yes" status-file="usage.status"/>
      <dump-channels enable="True" status-file="channels.status"/>
    </usage-change-handler>
)");
  EXPECT_EQ(m_Log->Count("Unexpected Value <yes> for Boolean Attribute <enable>"), 2u);
  EXPECT_EQ(m_Log->Count("Unexpected Value <True> for Boolean Attribute <enable>"), 1u);
  OpenChannel("ch1");
  EXPECT_EQ(m_Log->Count("VXS Usage"), 0u);
  EXPECT_FALSE(fs::exists(Status("usage.status")));
  EXPECT_FALSE(fs::exists(Status("channels.status")));
}

TEST_F(MonitoringTest, StatusFileThatCannotBeOpenedIsTriedAgainAtEveryChange) {
  Start("", R"(    <usage-change-handler>
      <update-usage enable="true" status-file="missing-folder/usage.status"/>
      <dump-channels enable="true" status-file="channels.status"/>
    </usage-change-handler>
)");
  const std::string failed =
      "Failed to Open Status File " + Status("missing-folder/usage.status").string();
  EXPECT_EQ(m_Log->Count(failed), 2u);
  vxhost::Channel* channel = OpenChannel("ch1");
  EXPECT_EQ(m_Log->Count(failed), 3u);
  // The other output of the handler is not held back by the failure.
  EXPECT_EQ(ReadFile(Status("channels.status")), "ch1\n");
  SpeakToCompletion(channel, "still speaking");
}

// Status files are replaced whole: a reader that opened the previous file
// goes on reading it, complete, while the new one takes its place, and
// nothing but the status files is left in the folder.
TEST_F(MonitoringTest, StatusFilesAreReplacedWholeNotRewrittenInPlace) {
  Start("", R"(    <usage-change-handler>
      <update-usage enable="true" status-file="usage.status"/>
      <dump-channels enable="true" status-file="channels.status"/>
    </usage-change-handler>
)");
  std::ifstream usage_before(Status("usage.status"), std::ios::binary);
  std::ifstream channels_before(Status("channels.status"), std::ios::binary);
  ASSERT_TRUE(usage_before && channels_before);
  vxhost::Channel* channel = OpenChannel("A");
  ASSERT_NE(channel, nullptr);
  EXPECT_EQ(ReadFile(Status("usage.status")), kUsage11);
  EXPECT_EQ(ReadFile(Status("channels.status")), "A\n");
  std::ostringstream old_usage;
  old_usage << usage_before.rdbuf();
  EXPECT_EQ(old_usage.str(), kUsage00);
  EXPECT_EQ(channels_before.peek(), std::char_traits<char>::eof());

  // Readers that come and go while channels open and close only ever see
  // one of the files written, never an empty or half-written one.
  std::atomic<bool> stop(false);
  std::vector<std::string> seen;
  std::thread reader([&] {
    while (!stop.load()) {
      std::string content = ReadFile(Status("usage.status"));
      if (content != kUsage11 && content != kUsage01) seen.push_back(content);
    }
  });
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(m_Kit->CloseChannel(channel, 5s));
    bool status = false;
    ASSERT_TRUE(m_Kit->OpenChannel(channel, 5s, &status));
  }
  stop.store(true);
  reader.join();
  for (const std::string& content : seen) ADD_FAILURE() << "read \"" << content << "\"";

  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(Status(""))) {
    names.insert(entry.path().filename().string());
  }
  EXPECT_EQ(names, (std::set<std::string>{"channels.status", "usage.status"}));
}

// An operator's arrangements around a status file survive its replacement:
// a link keeps pointing where it did, and the file keeps its mode.
TEST_F(MonitoringTest, ReplacedStatusFileKeepsItsLinkAndItsMode) {
  fs::create_directories(m_Root / "elsewhere");
  WriteFile(m_Root / "elsewhere" / "usage.txt", "");
  fs::permissions(m_Root / "elsewhere" / "usage.txt", fs::perms(0640));
  fs::create_symlink(m_Root / "elsewhere" / "usage.txt", Status("usage.status"));
  Start("", R"(    <usage-change-handler>
      <update-usage enable="true" status-file="usage.status"/>
    </usage-change-handler>
)");
  OpenChannel("A");
  EXPECT_TRUE(fs::is_symlink(Status("usage.status")));
  EXPECT_EQ(ReadFile(m_Root / "elsewhere" / "usage.txt"), kUsage11);
  EXPECT_EQ(fs::status(m_Root / "elsewhere" / "usage.txt").permissions() & fs::perms::all,
            fs::perms(0640));
}

// An empty status-file names the status folder itself, which cannot be
// replaced by a file: it fails to open at every change and stays a folder.
TEST_F(MonitoringTest, StatusFileNamingTheFolderFailsToOpen) {
  Start("", R"(    <usage-change-handler>
      <update-usage enable="true" status-file=""/>
    </usage-change-handler>
)");
  EXPECT_EQ(m_Log->Count("Failed to Open Status File"), 2u);
  OpenChannel("A");
  EXPECT_EQ(m_Log->Count("Failed to Open Status File"), 3u);
  EXPECT_TRUE(fs::is_directory(Status("")));
  EXPECT_TRUE(fs::is_empty(Status("")));
}

// The refresh handler is what starts the timer: a change handler alone, or
// a refresh handler with every output off, starts none.
TEST_F(MonitoringTest, NoRefreshTimerWithoutAnEnabledRefreshOutput) {
  Start("refresh-period=\"1\"", R"(    <usage-change-handler>
      <log-usage enable="true"/>
      <update-usage enable="true" status-file="usage.status"/>
      <dump-channels enable="true" status-file="channels.status"/>
    </usage-change-handler>
    <usage-refresh-handler>
      <log-usage enable="false"/>
      <update-usage enable="false" status-file="refresh.status"/>
    </usage-refresh-handler>
)");
  EXPECT_EQ(m_Log->Count("Set Usage Refresh Timer"), 0u);
  EXPECT_EQ(m_Log->Count("Usage Refresh Timer Not Set"), 0u);
  EXPECT_EQ(ReadFile(Status("usage.status")), kUsage00);
}

TEST_F(MonitoringTest, RefreshTimerRewritesItsFilesEveryPeriod) {
  Start("refresh-period=\"1\"", R"(    <usage-refresh-handler>
      <update-usage enable="true" status-file="refresh.status"/>
      <dump-channels enable="true" status-file="refresh-channels.status"/>
    </usage-refresh-handler>
)");
  EXPECT_EQ(m_Log->Count("Set Usage Refresh Timer [1 sec]"), 1u);
  OpenChannel("r1");
  // Usage changes are not the refresh handler's: only the timer writes.
  ASSERT_TRUE(WaitForContent(Status("refresh.status"), kUsage11, 3s));
  EXPECT_TRUE(WaitForContent(Status("refresh-channels.status"), "r1\n", 3s));

  // Gone, and back within about a period.
  ASSERT_TRUE(fs::remove(Status("refresh.status")));
  auto removed = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitForContent(Status("refresh.status"), kUsage11, 3s));
  EXPECT_LT(std::chrono::steady_clock::now() - removed, 2s);
}

// A period of zero or less would make a timer that never leaves the head of
// the queue; such a period starts none and says so.
class RefreshPeriodTest : public MonitoringTest {
 protected:
  void ExpectNoTimerWith(const std::string& period_text, long period) {
    Start("refresh-period=\"" + period_text + "\"", R"(    <usage-refresh-handler>
      <log-usage enable="true"/>
      <update-usage enable="true" status-file="refresh.status"/>
    </usage-refresh-handler>
)");
    EXPECT_EQ(m_Log->Count("Usage Refresh Timer Not Set: refresh-period [" +
                           std::to_string(period) + " sec]"),
              1u);
    EXPECT_EQ(m_Log->Count("Set Usage Refresh Timer"), 0u);
    vxhost::Channel* channel = OpenChannel("ch1");
    ASSERT_NE(channel, nullptr);
    SpeakToCompletion(channel, "no refresh");
    EXPECT_FALSE(fs::exists(Status("refresh.status")));
    EXPECT_EQ(m_Log->Count("VXS Usage"), 0u);
  }
};

TEST_F(RefreshPeriodTest, ZeroStartsNoTimerAndWarns) { ExpectNoTimerWith("0", 0); }
TEST_F(RefreshPeriodTest, NegativeStartsNoTimerAndWarns) { ExpectNoTimerWith("-5", -5); }
TEST_F(RefreshPeriodTest, TextThatIsNoNumberReadsAsZero) { ExpectNoTimerWith("soon", 0); }

}  // namespace
}  // namespace vxtest
