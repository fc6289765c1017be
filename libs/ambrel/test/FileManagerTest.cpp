#include "ambrel/FileManager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ambrel/testing/TestSupport.h"

namespace Ambrel {
namespace {

using Testing::AprScope;
using Testing::ManualClock;
using Testing::ManualEventProcessor;
using Testing::ScratchDir;
using Testing::WaitFor;

constexpr int64_t kMinute = 60 * 1000000LL;

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

int64_t ChangeTime(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return 0;
  return st.st_ctim.tv_sec * 1000000LL + st.st_ctim.tv_nsec / 1000;
}

// Writes the file and returns its change time, which is made later than
// `after` (change times move in coarse ticks, so the inode is touched until
// the tick has passed).
int64_t WriteFile(const std::string& path, int64_t after = 0) {
  std::ofstream(path) << "x";
  int64_t ctime = ChangeTime(path);
  WaitFor([&] {
    ::chmod(path.c_str(), 0644);
    ctime = ChangeTime(path);
    return ctime > after;
  });
  return ctime;
}

// Opens up the timer map operations the tests check.
class TestFileManager : public Testing::CapturingStore<FileManager> {
 public:
  using CapturingStore::CapturingStore;
  using FileManager::AddExpirationTimer;
  using FileManager::RemoveExpirationTimer;
};

class FileManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_Dir.IsValid());
    m_Store = MakeStore();
  }
  void TearDown() override {
    // Timers are queued before the store goes, as on the engine's thread.
    m_Processor.RunPendingEvents();
    m_Store.reset();
  }

  std::unique_ptr<TestFileManager> MakeStore() {
    auto store = std::make_unique<TestFileManager>(m_Facility);
    store->SetDirectory(m_Dir.Path());
    store->SetFilePrefix("sdr-");
    store->SetFileExtension(".json");
    store->SetTimerProcessor(&m_Processor);
    store->SetClock(m_Clock.AsClock());
    return store;
  }
  std::string PathOf(const std::string& name) const { return m_Dir / name; }
  // Adds an entry for a file written now, dated `time`.
  bool Add(const std::string& name, int64_t time) {
    WriteFile(PathOf(name));
    return m_Store->AddFileEntry(name, time);
  }
  void ExpectCountsAgree() {
    EXPECT_EQ(m_Store->GetEntryCount(), m_Store->GetTimerCount());
    const std::string line = "SDRM total file entries [" +
                             std::to_string(m_Store->GetEntryCount()) + "] timers [" +
                             std::to_string(m_Store->GetTimerCount()) + "]";
    EXPECT_EQ(m_Store->m_Lines.back(), line);
    EXPECT_EQ(m_Store->CountLogged("Mismatch"), 0u);
  }

  AprScope m_Apr;
  ScratchDir m_Dir;
  LogFacility m_Facility{"SDRM", LOG_DEBUG};
  ManualClock m_Clock;
  ManualEventProcessor m_Processor{m_Clock.AsClock()};
  std::unique_ptr<TestFileManager> m_Store;
};

TEST_F(FileManagerTest, EvictsOldestFirstButNeverTheNewEntry) {
  m_Store->SetMaxFileCount(3);
  ASSERT_TRUE(Add("sdr-2.json", 200));
  ASSERT_TRUE(Add("sdr-1.json", 100));
  ASSERT_TRUE(Add("sdr-3.json", 300));
  // Older than everything indexed, yet it is the oldest indexed one that goes.
  ASSERT_TRUE(Add("sdr-0.json", 50));
  EXPECT_TRUE(m_Store->Logged("Remove file sdr-1.json [max file count]"));
  EXPECT_FALSE(Exists(PathOf("sdr-1.json")));
  EXPECT_EQ(m_Store->GetEntryCount(), 3u);
  EXPECT_NE(m_Store->Find("sdr-0.json"), nullptr);
  EXPECT_EQ(m_Store->GetFileIndex().begin()->second->m_Name, "sdr-0.json");
  EXPECT_TRUE(Exists(PathOf("sdr-2.json")) && Exists(PathOf("sdr-3.json")));
}

TEST_F(FileManagerTest, MaxFileCountZeroNeverEvicts) {
  m_Store->SetMaxFileCount(0);
  for (int i = 0; i < 150; ++i) ASSERT_TRUE(m_Store->AddFileEntry("e" + std::to_string(i), i));
  EXPECT_EQ(m_Store->GetEntryCount(), 150u);
  EXPECT_EQ(m_Store->CountLogged("[max file count]"), 0u);
}

TEST_F(FileManagerTest, StartupScanKeepsNewestUpToMaxCountWithTimers) {
  m_Store->SetMaxFileCount(3);
  m_Store->SetMaxFileAge(60);
  int64_t ctime = 0;
  for (int i = 1; i <= 5; ++i) ctime = WriteFile(PathOf("sdr-" + std::to_string(i) + ".json"), ctime);
  m_Clock.Set(ctime);
  ASSERT_TRUE(m_Store->LoadFileEntries());

  EXPECT_FALSE(Exists(PathOf("sdr-1.json")));
  EXPECT_FALSE(Exists(PathOf("sdr-2.json")));
  EXPECT_TRUE(m_Store->Logged("Remove file sdr-1.json [max file count]"));
  EXPECT_TRUE(m_Store->Logged("Remove file sdr-2.json [max file count]"));
  for (const char* kept : {"sdr-3.json", "sdr-4.json", "sdr-5.json"}) {
    EXPECT_TRUE(Exists(PathOf(kept))) << kept;
    const auto* entry = m_Store->Find(kept);
    ASSERT_NE(entry, nullptr) << kept;
    EXPECT_NE(entry->m_Timer, nullptr);
    EXPECT_EQ(entry->m_Expiry, entry->m_Time + 60 * kMinute);
  }
  EXPECT_EQ(m_Store->CountLogged("Set expiration timer"), 3u);
  ExpectCountsAgree();
  m_Processor.RunPendingEvents();
  EXPECT_EQ(m_Processor.GetTimerQueue().GetTimerCount(), 3u);
}

TEST_F(FileManagerTest, StartupScanJudgesAgeByChangeTime) {
  m_Store->SetMaxFileAge(60);
  const int64_t ctime = WriteFile(PathOf("sdr-a.json"));

  // 59 minutes and a little: a timer for the rest, shown as 0 whole minutes.
  m_Clock.Set(ctime + 59 * kMinute + 1000);
  ASSERT_TRUE(m_Store->LoadFileEntries());
  const auto* entry = m_Store->Find("sdr-a.json");
  ASSERT_NE(entry, nullptr);
  ASSERT_NE(entry->m_Timer, nullptr);
  EXPECT_EQ(entry->m_Timer->GetInterval(), 59999);
  EXPECT_TRUE(m_Store->Logged("Set expiration timer for file sdr-a.json [0 min]"));

  // When the timer runs out the file goes.
  m_Processor.RunPendingEvents();
  m_Clock.AdvanceMs(59999);
  m_Processor.AdvanceTimers();
  EXPECT_FALSE(Exists(PathOf("sdr-a.json")));
  EXPECT_TRUE(m_Store->Logged("Remove file sdr-a.json [timed out]"));
  ExpectCountsAgree();
  EXPECT_EQ(m_Store->GetEntryCount(), 0u);

  // 61 minutes: deleted by the scan itself.
  const int64_t old_ctime = WriteFile(PathOf("sdr-b.json"));
  auto rescan = MakeStore();
  rescan->SetMaxFileAge(60);
  m_Clock.Set(old_ctime + 61 * kMinute);
  ASSERT_TRUE(rescan->LoadFileEntries());
  EXPECT_FALSE(Exists(PathOf("sdr-b.json")));
  EXPECT_TRUE(rescan->Logged("Remove file sdr-b.json [max file age]"));
  EXPECT_EQ(rescan->GetEntryCount(), 0u);
}

TEST_F(FileManagerTest, PurgeExistingDeletesOnlyMatchingFiles) {
  m_Store->SetPurgeExisting(true);
  m_Store->SetMaxFileAge(60);
  for (const char* name : {"sdr-1.json", "sdr-2.json", "sdr-3.json"}) WriteFile(PathOf(name));
  WriteFile(PathOf("notes.txt"));
  WriteFile(PathOf("sdr-1.json.bak"));
  ASSERT_EQ(::mkdir(PathOf("sdr-dir.json").c_str(), 0700), 0);
  WriteFile(PathOf("sdr-dir.json/sdr-4.json"));
  m_Clock.Set(ChangeTime(PathOf("sdr-1.json")));

  ASSERT_TRUE(m_Store->LoadFileEntries());
  for (const char* name : {"sdr-1.json", "sdr-2.json", "sdr-3.json"}) {
    EXPECT_FALSE(Exists(PathOf(name))) << name;
    EXPECT_TRUE(m_Store->Logged(std::string("Remove file ") + name + " [purge existing]"));
  }
  EXPECT_TRUE(Exists(PathOf("notes.txt")));
  EXPECT_TRUE(Exists(PathOf("sdr-1.json.bak")));
  EXPECT_TRUE(Exists(PathOf("sdr-dir.json/sdr-4.json")));
  EXPECT_EQ(m_Store->GetEntryCount(), 0u);
  EXPECT_EQ(m_Store->GetTimerCount(), 0u);
  EXPECT_EQ(m_Processor.GetPendingCount(), 0u);
  EXPECT_TRUE(m_Store->Logged("Populate files from " + m_Dir.Path() +
                              "/ pattern [sdr-*.json] max-count [100] max-age [60 min] "
                              "purge-existing [1]"));
}

TEST_F(FileManagerTest, EntryAndTimerCountsAgreeAfterEveryChange) {
  m_Store->SetMaxFileCount(3);
  m_Store->SetMaxFileAge(60);
  for (int i = 1; i <= 5; ++i) {
    ASSERT_TRUE(Add("sdr-" + std::to_string(i) + ".json", i));
    ExpectCountsAgree();
  }
  ASSERT_TRUE(m_Store->RemoveFileEntry("sdr-4.json"));
  ExpectCountsAgree();
  EXPECT_FALSE(Exists(PathOf("sdr-4.json")));
  EXPECT_FALSE(m_Store->RemoveFileEntry("sdr-4.json"));

  // Evicted and removed entries' timers are stopped and gone once the stops
  // have been processed; the two survivors' timers then run out.
  m_Processor.RunPendingEvents();
  EXPECT_EQ(m_Processor.GetTimerQueue().GetTimerCount(), 2u);
  m_Clock.AdvanceMinutes(60);
  m_Processor.AdvanceTimers();
  ExpectCountsAgree();
  EXPECT_EQ(m_Store->GetEntryCount(), 0u);
  EXPECT_TRUE(m_Processor.GetTimerQueue().IsEmpty());
}

TEST_F(FileManagerTest, WithoutAgeLimitNoTimersAndNoMismatch) {
  for (int i = 1; i <= 3; ++i) ASSERT_TRUE(Add("sdr-" + std::to_string(i) + ".json", i));
  EXPECT_EQ(m_Store->GetTimerCount(), 0u);
  EXPECT_TRUE(m_Store->Logged("SDRM total file entries [3] timers [0]"));
  EXPECT_EQ(m_Store->CountLogged("Mismatch"), 0u);
  EXPECT_EQ(m_Processor.GetPendingCount(), 0u);
}

TEST_F(FileManagerTest, CreatesMissingDirectoryThatCanHoldFiles) {
  const std::string directory = m_Dir / "a/b/c";  // no trailing slash
  m_Store->SetDirectory(directory);
  EXPECT_EQ(m_Store->GetDirectory(), directory + "/");
  ASSERT_TRUE(m_Store->LoadFileEntries());
  EXPECT_TRUE(m_Store->Logged("Create directory " + directory + "/"));

  struct stat st;
  ASSERT_EQ(::stat(directory.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  // Owner search permission, without which nothing inside can be reached.
  EXPECT_EQ(st.st_mode & S_IRWXU, static_cast<mode_t>(S_IRWXU));

  WriteFile(directory + "/sdr-x.json");
  ASSERT_TRUE(m_Store->AddFileEntry("sdr-x.json", 1));
  ASSERT_TRUE(m_Store->RemoveFileEntry("sdr-x.json"));
  EXPECT_FALSE(Exists(directory + "/sdr-x.json"));
}

TEST_F(FileManagerTest, UncreatableDirectoryFailsTheLoad) {
  WriteFile(PathOf("plain"));
  m_Store->SetDirectory(PathOf("plain/sub"));
  EXPECT_FALSE(m_Store->LoadFileEntries());
  EXPECT_TRUE(m_Store->Logged("Failed to create directory " + PathOf("plain/sub/")));
  EXPECT_FALSE(m_Store->AddFileEntry(nullptr));
  EXPECT_FALSE(m_Store->RemoveFileEntry(static_cast<FileManager::FileEntry*>(nullptr)));
}

TEST_F(FileManagerTest, TimerMapRefusesDuplicatesAndStrangers) {
  FileManager::FileEntry entry("sdr-t.json", 1);
  Timer timer(m_Store.get(), 10, Timer::ONE_SHOT, Timer::LIFETIME_OWNER);
  EXPECT_TRUE(m_Store->AddExpirationTimer(&timer, &entry));
  EXPECT_FALSE(m_Store->AddExpirationTimer(&timer, &entry));
  EXPECT_TRUE(m_Store->Logged("Failed to add expiration timer sdr-t.json"));
  EXPECT_TRUE(m_Store->RemoveExpirationTimer(&timer));
  EXPECT_FALSE(m_Store->RemoveExpirationTimer(&timer));
  EXPECT_TRUE(m_Store->Logged("Failed to remove expiration timer"));
}

class CapturingDevice : public LogDevice {
 public:
  explicit CapturingDevice(std::vector<LogRecord>* records, std::mutex* mutex)
      : LogDevice("CAPTURE"), m_Records(records), m_Mutex(mutex) {}
  bool ProcessLogRecord(const LogRecord& record) override {
    std::lock_guard<std::mutex> lock(*m_Mutex);
    m_Records->push_back(record);
    return true;
  }

 private:
  std::vector<LogRecord>* m_Records;
  std::mutex* m_Mutex;
};

// The scan in slices: the index grows slice by slice, the count limit and
// the scanned files' timers wait for the end, and a file the store indexed
// itself meanwhile is not taken a second time when the scan reaches it.
TEST_F(FileManagerTest, ScanInSlicesDefersTheCountLimitAndTimersToItsEnd) {
  m_Store->SetMaxFileCount(3);
  m_Store->SetMaxFileAge(60);
  int64_t ctime = 0;
  for (int i = 1; i <= 6; ++i) ctime = WriteFile(PathOf("sdr-" + std::to_string(i) + ".json"), ctime);
  m_Clock.Set(ctime);

  ASSERT_TRUE(m_Store->BeginLoadFileEntries(2));
  EXPECT_TRUE(m_Store->IsLoadingFileEntries());
  EXPECT_EQ(m_Store->GetEntryCount(), 2u);
  EXPECT_EQ(m_Store->GetTimerCount(), 0u);

  // Written and indexed while the scan goes on: one name the scan has not
  // reached yet is rewritten, one is new. Neither evicts anything yet.
  std::string rewritten;
  for (int i = 1; i <= 6 && rewritten.empty(); ++i) {
    const std::string name = "sdr-" + std::to_string(i) + ".json";
    if (!m_Store->Find(name)) rewritten = name;
  }
  ASSERT_FALSE(rewritten.empty());
  ASSERT_TRUE(m_Store->AddFileEntry(rewritten, ctime + 10));
  ASSERT_TRUE(Add("sdr-7.json", ctime + 20));
  EXPECT_EQ(m_Store->CountLogged("[max file count]"), 0u);
  EXPECT_EQ(m_Store->GetTimerCount(), 2u);

  while (m_Store->ContinueLoadFileEntries(1)) {
  }
  EXPECT_FALSE(m_Store->IsLoadingFileEntries());
  EXPECT_FALSE(m_Store->ContinueLoadFileEntries(1));

  // Seven files, three kept: the four oldest scanned ones went at the end,
  // whatever slice they came in; the rewritten one is indexed once, under
  // the time it was given.
  EXPECT_EQ(m_Store->GetEntryCount(), 3u);
  EXPECT_EQ(m_Store->CountLogged("[max file count]"), 4u);
  size_t named = 0;
  for (const auto& item : m_Store->GetFileIndex()) {
    if (item.second->m_Name == rewritten) {
      ++named;
      EXPECT_EQ(item.second->m_Time, ctime + 10);
    }
  }
  EXPECT_EQ(named, 1u);
  EXPECT_NE(m_Store->Find("sdr-7.json"), nullptr);
  EXPECT_NE(m_Store->Find("sdr-6.json"), nullptr);
  for (const auto& item : m_Store->GetFileIndex()) {
    EXPECT_NE(item.second->m_Timer, nullptr) << item.second->m_Name;
    EXPECT_TRUE(Exists(PathOf(item.second->m_Name))) << item.second->m_Name;
  }
  ExpectCountsAgree();
}

// Removing by name finds the entry through the name index, also among many,
// and leaves no trace of it there: a later file of that name is indexed.
TEST_F(FileManagerTest, RemoveByNameAmongManyAndReindex) {
  m_Store->SetMaxFileCount(0);
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(m_Store->AddFileEntry("e" + std::to_string(i), i));
  EXPECT_TRUE(m_Store->HasFileEntry("e500"));
  EXPECT_TRUE(m_Store->RemoveFileEntry("e500"));
  EXPECT_FALSE(m_Store->HasFileEntry("e500"));
  EXPECT_FALSE(m_Store->RemoveFileEntry("e500"));
  EXPECT_EQ(m_Store->GetEntryCount(), 999u);
  ASSERT_TRUE(m_Store->AddFileEntry("e500", 2000));
  EXPECT_TRUE(m_Store->HasFileEntry("e500"));
  EXPECT_EQ(m_Store->Find("e500")->m_Time, 2000);
}

TEST_F(FileManagerTest, LogsThroughItsFacilityAtItsLevel) {
  std::vector<LogRecord> records;
  std::mutex mutex;
  Logger* logger = Logger::CreateInstance();
  logger->AddLogDevice(new CapturingDevice(&records, &mutex));
  ASSERT_TRUE(logger->Start());
  {
    // Declared first so that it outlives the store and releases its stop.
    ManualEventProcessor processor;
    const LogFacility facility("SDRM", LOG_NOTICE);
    FileManager store(facility);
    store.SetMaxFileAge(5);
    store.SetTimerProcessor(&processor);
    ASSERT_TRUE(store.AddFileEntry("sdr-f.json", 1));
    processor.RunPendingEvents();
  }
  Logger::DestroyInstance();
  // The debug line about the timer was filtered by the facility.
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].m_Facility, "SDRM");
  EXPECT_EQ(records[0].m_Level, LOG_NOTICE);
  EXPECT_EQ(records[0].m_Message, "SDRM total file entries [1] timers [1]");
}

}  // namespace
}  // namespace Ambrel
