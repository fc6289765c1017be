// The waveform manager: names and paths, the checksum, and the cache
// records in the store and its checksum index.
#include "WaveformTestSupport.h"

namespace VXS {
namespace {

using namespace Testing;
using WaveformManagerTest = WaveformFolderTest;

TEST_F(WaveformManagerTest, ChecksumAddsBytesAsSignedValues) {
  EXPECT_EQ(294u, WaveformManager::CalculateChecksum("abc"));
  EXPECT_EQ(0u, WaveformManager::CalculateChecksum(""));
  EXPECT_EQ(UINT64_MAX - 60, WaveformManager::CalculateChecksum("\xC3"));
  EXPECT_EQ(WaveformManager::CalculateChecksum("listen"),
            WaveformManager::CalculateChecksum("silent"));
}

TEST_F(WaveformManagerTest, ComposesNamesPerSegmentAndTag) {
  m_Settings.m_UseLoggingTag = true;
  auto manager = MakeManager(true);
  std::string name;
  ASSERT_TRUE(manager->ComposeName(name, "abc", 7, 1, "", m_Pool));
  EXPECT_EQ("vexora-abc-7.wav", name);
  ASSERT_TRUE(manager->ComposeName(name, "abc", 7, 2, "call-1", m_Pool));
  EXPECT_EQ("vexora-abc-7-2-call-1.wav", name);
  m_Settings.m_UseLoggingTag = false;
  ASSERT_TRUE(MakeManager(true)->ComposeName(name, "abc", 7, 0, "call-1", m_Pool));
  EXPECT_EQ("vexora-abc-7.wav", name);
}

TEST_F(WaveformManagerTest, LoggingTagCannotLeaveTheFolder) {
  m_Settings.m_UseLoggingTag = true;
  auto manager = MakeManager(true);
  std::string name;
  ASSERT_TRUE(manager->ComposeName(name, "abc", 7, 1, "../../x", m_Pool));
  EXPECT_EQ("vexora-abc-7-.._.._x.wav", name);
  std::string path;
  ASSERT_TRUE(manager->ComposePath(path, name, m_Pool));
  EXPECT_EQ(PathOf(name), path);
  EXPECT_EQ("a_b_c_d_e_f_g_h_i_j", SanitizeNamePart("a\\b:c*d?e\"f<g>h|i\nj"));
  EXPECT_EQ(kMaxNamePartLength, SanitizeNamePart(std::string(1000, 't')).size());
}

TEST_F(WaveformManagerTest, RemovingARecordDeletesWaveAndDescriptor) {
  auto manager = MakeManager(true);
  WriteRecord(*manager, "vexora-a.wav", 294, 0);
  WriteAll(PathOf("vexora-b.cache"), Token("checksum") + Token("1"));
  ASSERT_TRUE(manager->AddFileEntry("vexora-a.wav", 1, m_Pool));
  EXPECT_EQ(1u, manager->GetChecksumIndex().count(294));
  EXPECT_TRUE(manager->RemoveFileEntry("vexora-a.wav"));
  EXPECT_FALSE(Exists(PathOf("vexora-a.wav")));
  EXPECT_FALSE(Exists(PathOf("vexora-a.cache")));
  EXPECT_TRUE(manager->GetChecksumIndex().empty());
  EXPECT_TRUE(Exists(PathOf("vexora-b.cache")));
}

TEST_F(WaveformManagerTest, StartUpScanIndexesRecordsAndEvictsLeastUsed) {
  m_Settings.m_MaxFileCount = 2;
  auto manager = MakeManager(true);
  WriteRecord(*manager, "vexora-a.wav", 100, 5);
  WriteRecord(*manager, "vexora-b.wav", 200, 0);
  WriteRecord(*manager, "vexora-c.wav", 300, 2);
  vxhost::LogCapture log;
  ASSERT_TRUE(manager->LoadFileEntries());
  EXPECT_EQ(1u, log.Count("Remove file vexora-b.wav [max file count]"));
  EXPECT_FALSE(Exists(PathOf("vexora-b.wav")));
  EXPECT_FALSE(Exists(PathOf("vexora-b.cache")));
  const WaveformManager::ChecksumIndex& index = manager->GetChecksumIndex();
  ASSERT_EQ(2u, index.size());
  EXPECT_EQ(5u, index.find(100)->second->m_Usage);
  EXPECT_EQ(2u, index.find(300)->second->m_Usage);
  EXPECT_EQ(0u, index.count(200));
}

// Records are told apart by their times, which double as checksums here.
TEST_F(WaveformManagerTest, StoreEvictsFewestUsesThenOldest) {
  m_Settings.m_MaxFileCount = 3;
  auto manager = MakeManager(true);
  auto add = [&](const std::string& name, int64_t time, uint64_t usage) {
    WriteRecord(*manager, name, time, usage);
    auto* entry = new CacheEntry(name, time);
    entry->m_Checksum = time;
    entry->m_Usage = usage;
    EXPECT_TRUE(manager->AddFileEntry(entry));
    return entry;
  };
  add("vexora-old.wav", 1000, 0);
  CacheEntry* newer = add("vexora-new.wav", 2000, 0);
  add("vexora-used.wav", 500, 2);
  add("vexora-next.wav", 3000, 0);
  EXPECT_FALSE(Exists(PathOf("vexora-old.wav")));
  EXPECT_FALSE(Exists(PathOf("vexora-old.cache")));
  EXPECT_EQ(0u, manager->GetChecksumIndex().count(1000));

  // A hit moves a record behind the unused ones.
  ASSERT_TRUE(manager->UpdateFileEntryUsage(newer, 3));
  add("vexora-last.wav", 4000, 0);
  EXPECT_FALSE(Exists(PathOf("vexora-next.wav")));
  EXPECT_TRUE(Exists(PathOf("vexora-new.wav")));
  EXPECT_TRUE(Exists(PathOf("vexora-used.cache")));
  EXPECT_EQ(3u, manager->GetChecksumIndex().size());
}

// Every record of the store sits in the checksum index exactly once, under
// the checksum it holds, and the index holds nothing else.
void ExpectIndexesAgree(WaveformManager& manager) {
  const WaveformManager::ChecksumIndex& index = manager.GetChecksumIndex();
  size_t records = 0;
  for (const auto& item : manager.GetFileIndex()) {
    auto* record = dynamic_cast<CacheEntry*>(item.second);
    if (!record) continue;
    ++records;
    size_t found = 0;
    for (const auto& pair : index) found += pair.second == record;
    EXPECT_EQ(1u, found) << record->m_Name;
    auto range = index.equal_range(record->m_Checksum);
    EXPECT_NE(range.second, std::find_if(range.first, range.second, [&](const auto& pair) {
                return pair.second == record;
              })) << record->m_Name << " is not under its own checksum";
  }
  EXPECT_EQ(records, index.size());
}

// A descriptor read on demand that names another checksum and use count
// (its file was written over under the same name) leaves the keys of the
// registered record alone: the record is stale, and dropping it takes it
// out of both indexes.
TEST_F(WaveformManagerTest, DescriptorReadOnDemandNeverMovesARegisteredRecord) {
  auto manager = MakeManager(true);
  WriteRecord(*manager, "vexora-a-7.wav", 100, 0);
  auto* record = new CacheEntry("vexora-a-7.wav", 1);
  record->m_Checksum = 100;
  ASSERT_TRUE(manager->AddFileEntry(record));
  WriteRecord(*manager, "vexora-a-7.wav", 200, 4);  // written over behind its back

  EXPECT_FALSE(manager->LoadCacheFile(record, m_Pool));
  EXPECT_TRUE(record->IsStale());
  EXPECT_EQ(100u, record->m_Checksum);
  EXPECT_EQ(0u, record->m_Usage);
  ExpectIndexesAgree(*manager);
  EXPECT_TRUE(manager->DeleteFileEntry(record));
  EXPECT_TRUE(manager->GetChecksumIndex().empty());
  EXPECT_EQ(0u, manager->GetEntryCount());
}

// Writing a waveform under a name that a record holds removes that record
// and its files first; with a count limit the store then evicts only
// records that exist.
TEST_F(WaveformManagerTest, WaveformWrittenUnderARegisteredNameReplacesItsRecord) {
  m_Settings.m_MaxFileCount = 2;
  auto manager = MakeManager(true);
  auto save = [&](const std::string& name, uint64_t checksum, int64_t time) {
    WaveformManager::WaveFile file;
    file.m_Name = name;
    ASSERT_TRUE(manager->OpenWavefile(file, 8000, 1, m_Pool));
    ASSERT_TRUE(manager->CloseWavefile(file, time));
    auto* record = new CacheEntry(name, time);
    record->m_Checksum = checksum;
    record->m_Content = std::to_string(checksum);
    ASSERT_TRUE(manager->SaveCacheFile(record, m_Pool));
    ASSERT_TRUE(manager->AddFileEntry(record));
    ExpectIndexesAgree(*manager);
  };
  save("vexora-a-7.wav", 532, 1);  // hello
  save("vexora-a-7.wav", 741, 2);  // goodbye, same request id
  EXPECT_EQ(1u, manager->GetEntryCount());
  EXPECT_EQ(0u, manager->GetChecksumIndex().count(532));
  save("vexora-a-8.wav", 532, 3);
  save("vexora-a-9.wav", 532, 4);  // evicts the oldest, vexora-a-7
  EXPECT_EQ(2u, manager->GetEntryCount());
  EXPECT_FALSE(Exists(PathOf("vexora-a-7.wav")));
  for (const auto& pair : manager->GetChecksumIndex()) {
    EXPECT_TRUE(manager->LoadCacheFile(pair.second, m_Pool)) << pair.second->m_Name;
    EXPECT_EQ(std::to_string(pair.first), pair.second->m_Content);
    pair.second->ReleaseMemory();
  }
}

TEST_F(WaveformManagerTest, SavingWithoutCachingIndexesNothing) {
  m_Settings.m_SaveWaveforms = true;
  auto manager = MakeManager(false);
  WriteAll(PathOf("vexora-a.wav"), WaveImage(2, "ab"));
  WaveformManager::FileEntry* entry = manager->CreateFileEntry("vexora-a.wav", 1, m_Pool);
  EXPECT_EQ(nullptr, dynamic_cast<CacheEntry*>(entry));
  ASSERT_TRUE(manager->AddFileEntry(entry));
  EXPECT_TRUE(manager->GetChecksumIndex().empty());
  EXPECT_EQ(1u, manager->GetEntryCount());
}

TEST_F(WaveformManagerTest, ScanLeavesForeignFilesAndFoldersAlone) {
  m_Settings.m_PurgeExisting = true;
  auto manager = MakeManager(true);
  WriteRecord(*manager, "vexora-a.wav", 1, 0);
  const char* foreign[] = {"readme.txt", "vexora-notes.txt", "other.wav", "vexora-orphan.cache"};
  for (const char* name : foreign) WriteAll(PathOf(name), "x");
  ASSERT_EQ(0, mkdir(PathOf("vexora-sub.wav").c_str(), 0700));
  WriteAll(PathOf("vexora-sub.wav/vexora-b.wav"), "x");
  ASSERT_TRUE(manager->LoadFileEntries());
  EXPECT_FALSE(Exists(PathOf("vexora-a.wav")));
  EXPECT_FALSE(Exists(PathOf("vexora-a.cache")));
  for (const char* name : foreign) EXPECT_TRUE(Exists(PathOf(name))) << name;
  EXPECT_TRUE(Exists(PathOf("vexora-sub.wav/vexora-b.wav")));
  EXPECT_EQ(0u, manager->GetEntryCount());
}

TEST_F(WaveformManagerTest, SettingsLoadAttributes) {
  WaveformManager::Settings settings;
  EXPECT_EQ("http://localhost/utterances", settings.m_WaveformBaseUri);
  EXPECT_EQ("utter-", settings.m_FilePrefix);
  EXPECT_EQ(60, settings.m_MaxFileAge);
  apr_xml_parser* parser = apr_xml_parser_create(m_Pool);
  const std::string xml =
      "<waveform-manager Save-Waveforms=\"true\" purge-existing=\"yes\" max-file-age=\"abc\" "
      "max-file-count=\"7\" cache-file-ext=\".cache\" log-level=\"debug\" colour=\"red\"/>";
  apr_xml_doc* doc = nullptr;
  ASSERT_EQ(APR_SUCCESS, apr_xml_parser_feed(parser, xml.data(), xml.size()));
  ASSERT_EQ(APR_SUCCESS, apr_xml_parser_done(parser, &doc));
  vxhost::LogCapture log;
  EXPECT_TRUE(settings.Load(doc->root));
  EXPECT_TRUE(settings.m_SaveWaveforms);
  EXPECT_FALSE(settings.m_PurgeExisting);
  EXPECT_EQ(0, settings.m_MaxFileAge);
  EXPECT_EQ(7, settings.m_MaxFileCount);
  EXPECT_EQ(".cache", settings.m_CacheFileExtension);
  EXPECT_EQ(Ambrel::LOG_NOTICE, settings.m_LogLevel);
  EXPECT_EQ(1u, log.Count("Unexpected Value <yes> for Boolean Attribute <purge-existing>"));
  EXPECT_EQ(1u, log.Count("Unknown Waveform Manager Attribute <colour>"));
}

}  // namespace
}  // namespace VXS
