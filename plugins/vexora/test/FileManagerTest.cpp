// The plug-in's managed-file store: what differs from the framework's twin
// (order by use count, usage updates, the pool-taking creation used by the
// waveform manager, the lenient timer map) and the hooks its subclasses use.

#include "FileManager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ambrel/testing/TestSupport.h"

namespace VXS {
namespace {

using Ambrel::Testing::AprScope;
using Ambrel::Testing::ManualClock;
using Ambrel::Testing::ManualEventProcessor;
using Ambrel::Testing::ScratchDir;

// An entry that keeps its own index, as the waveform cache's entries do.
class IndexedEntry : public FileManager::FileEntry {
 public:
  IndexedEntry(const std::string& name, int64_t time, std::vector<std::string>* journal)
      : FileEntry(name, time), m_Journal(journal) {}
  void OnRegister(FileManager* manager) override {
    m_Journal->push_back("register " + m_Name + (manager ? "" : " without store"));
  }
  void OnUnregister(FileManager* manager) override {
    m_Journal->push_back("unregister " + m_Name + (manager ? "" : " without store"));
  }

 private:
  std::vector<std::string>* m_Journal;
};

// Reads each scanned file's use count from its content, as the waveform
// manager reads it from a descriptor, and records the file removals.
class UsageStore : public Ambrel::Testing::CapturingStore<FileManager> {
 public:
  using CapturingStore::CapturingStore;
  using FileManager::AddExpirationTimer;
  using FileManager::RemoveExpirationTimer;

  FileEntry* CreateFileEntry(const std::string& name, int64_t time, apr_pool_t* pool) override {
    m_Journal.push_back(std::string("create ") + name + (pool ? "" : " without pool"));
    auto* entry = new IndexedEntry(name, time, &m_Journal);
    std::ifstream(GetDirectory() + name) >> entry->m_Usage;
    return entry;
  }
  bool RemoveManagedFile(const std::string& name) override {
    m_Journal.push_back("remove " + name);
    return FileManager::RemoveManagedFile(name);
  }
  std::vector<std::string> IndexOrder() const {
    std::vector<std::string> names;
    for (const auto& item : GetFileIndex()) names.push_back(item.second->m_Name);
    return names;
  }

  std::vector<std::string> m_Journal;
};

class VxsFileManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_Dir.IsValid());
    m_Store.SetDirectory(m_Dir.Path());
    m_Store.SetFileExtension(".wav");
    m_Store.SetMaxFileCount(3);
    m_Store.SetTimerProcessor(&m_Processor);
  }
  void TearDown() override { m_Processor.RunPendingEvents(); }

  // Writes a file whose content is its use count.
  void Write(const std::string& name, uint64_t usage = 0) {
    std::ofstream(m_Dir / name) << usage;
  }
  bool Exists(const std::string& name) const {
    struct stat st;
    return ::stat((m_Dir / name).c_str(), &st) == 0;
  }

  AprScope m_Apr;
  ScratchDir m_Dir;
  ManualClock m_Clock;
  ManualEventProcessor m_Processor{m_Clock.AsClock()};
  Ambrel::LogFacility m_Facility{"WVFM", Ambrel::LOG_DEBUG};
  UsageStore m_Store{m_Facility};
};

TEST_F(VxsFileManagerTest, EvictsLeastUsedThenOldestButNeverTheNewEntry) {
  for (const char* name : {"old.wav", "new.wav", "hot.wav", "fresh.wav"}) Write(name);
  ASSERT_TRUE(m_Store.AddFileEntry("hot.wav", 50, nullptr));
  ASSERT_TRUE(m_Store.UpdateFileEntryUsage(m_Store.Find("hot.wav"), 2));
  ASSERT_TRUE(m_Store.AddFileEntry("new.wav", 200, nullptr));
  ASSERT_TRUE(m_Store.AddFileEntry("old.wav", 100, nullptr));
  EXPECT_EQ(m_Store.IndexOrder(), (std::vector<std::string>{"old.wav", "new.wav", "hot.wav"}));

  // The newcomer starts unused and old, yet the old unused file goes.
  ASSERT_TRUE(m_Store.AddFileEntry("fresh.wav", 10, nullptr));
  EXPECT_FALSE(Exists("old.wav"));
  EXPECT_TRUE(Exists("fresh.wav") && Exists("new.wav") && Exists("hot.wav"));
  EXPECT_EQ(m_Store.IndexOrder(), (std::vector<std::string>{"fresh.wav", "new.wav", "hot.wav"}));
  EXPECT_EQ(m_Store.m_Lines.back(), "WVFM total file entries [3] timers [0]");
  EXPECT_TRUE(m_Store.Logged("Remove file old.wav [max file count]"));
}

TEST_F(VxsFileManagerTest, UpdateFileEntryUsageRefilesOnlyIndexedEntries) {
  ASSERT_TRUE(m_Store.AddFileEntry("a.wav", 1, nullptr));
  ASSERT_TRUE(m_Store.AddFileEntry("b.wav", 2, nullptr));
  FileManager::FileEntry* a = m_Store.Find("a.wav");
  ASSERT_TRUE(m_Store.UpdateFileEntryUsage(a, 5));
  EXPECT_EQ(a->m_Usage, 5u);
  EXPECT_EQ(m_Store.IndexOrder(), (std::vector<std::string>{"b.wav", "a.wav"}));

  FileManager::FileEntry stranger("c.wav", 3);
  EXPECT_FALSE(m_Store.UpdateFileEntryUsage(&stranger, 1));
  EXPECT_FALSE(m_Store.UpdateFileEntryUsage(nullptr, 1));
  EXPECT_EQ(m_Store.GetEntryCount(), 2u);
}

TEST_F(VxsFileManagerTest, StartupScanCreatesEntriesThroughOverrideAndKeepsMostUsed) {
  // Five files, the two most used being the oldest ones.
  Write("1.wav", 9);
  Write("2.wav", 7);
  Write("3.wav");
  Write("4.wav");
  Write("5.wav");
  Write("skip.txt");
  ASSERT_TRUE(m_Store.LoadFileEntries());

  for (const char* name : {"1.wav", "2.wav", "3.wav", "4.wav", "5.wav"}) {
    EXPECT_NE(std::find(m_Store.m_Journal.begin(), m_Store.m_Journal.end(),
                        std::string("create ") + name),
              m_Store.m_Journal.end())
        << name;
  }
  EXPECT_EQ(m_Store.GetEntryCount(), 3u);
  EXPECT_NE(m_Store.Find("1.wav"), nullptr);
  EXPECT_NE(m_Store.Find("2.wav"), nullptr);
  EXPECT_TRUE(Exists("1.wav") && Exists("2.wav") && Exists("skip.txt"));
  // Two of the unused ones were evicted through the overridable removal.
  size_t removed = 0;
  for (const auto& line : m_Store.m_Journal) removed += line.rfind("remove ", 0) == 0;
  EXPECT_EQ(removed, 2u);
}

TEST_F(VxsFileManagerTest, EntryHooksReceiveTheStore) {
  Write("a.wav");
  auto* entry = new IndexedEntry("a.wav", 1, &m_Store.m_Journal);
  ASSERT_TRUE(m_Store.AddFileEntry(entry));
  ASSERT_TRUE(m_Store.RemoveFileEntry("a.wav"));
  EXPECT_EQ(m_Store.m_Journal,
            (std::vector<std::string>{"register a.wav", "remove a.wav", "unregister a.wav"}));
  EXPECT_FALSE(Exists("a.wav"));
}

TEST_F(VxsFileManagerTest, TimerMapIsLenientAndExpiryRemovesTheFile) {
  m_Store.SetMaxFileAge(10);
  FileManager::FileEntry entry("x.wav", 1);
  Ambrel::Timer timer(&m_Store, 10, Ambrel::Timer::ONE_SHOT, Ambrel::Timer::LIFETIME_OWNER);
  EXPECT_TRUE(m_Store.AddExpirationTimer(&timer, &entry));
  EXPECT_TRUE(m_Store.AddExpirationTimer(&timer, &entry));
  EXPECT_TRUE(m_Store.RemoveExpirationTimer(&timer));
  EXPECT_TRUE(m_Store.RemoveExpirationTimer(&timer));
  EXPECT_EQ(m_Store.CountLogged("Failed"), 0u);

  Write("y.wav");
  ASSERT_TRUE(m_Store.AddFileEntry("y.wav", 1, nullptr));
  EXPECT_EQ(m_Store.GetTimerCount(), 1u);
  m_Processor.RunPendingEvents();
  m_Clock.AdvanceMinutes(10);
  m_Processor.AdvanceTimers();
  EXPECT_FALSE(Exists("y.wav"));
  EXPECT_EQ(m_Store.GetEntryCount(), 0u);
  EXPECT_EQ(m_Store.m_Lines.back(), "WVFM total file entries [0] timers [0]");
}

}  // namespace
}  // namespace VXS
