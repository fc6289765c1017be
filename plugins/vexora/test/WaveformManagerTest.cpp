// The waveform manager: names and paths, WAVE files in memory and on disk,
// the checksum, cache descriptors and the cache records in the store.
#include "WaveformManager.h"

#include <apr_pools.h>
#include <apr_xml.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "ambrel/testing/TestSupport.h"
#include "vxhost/LogSink.h"

// The largest single allocation since the last reset, so that a test can
// tell whether a length read from a file sized a buffer.
std::atomic<size_t> g_LargestAllocation{0};

// The replacements pair malloc with free themselves; the compiler cannot
// tell that from the call sites it inlines them into.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t size) {
  size_t largest = g_LargestAllocation.load();
  while (size > largest && !g_LargestAllocation.compare_exchange_weak(largest, size)) {
  }
  if (void* memory = std::malloc(size ? size : 1)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, size_t) noexcept { std::free(memory); }
#pragma GCC diagnostic pop

namespace VXS {
namespace {

const size_t kSmallAllocation = 1 << 20;

using CacheEntry = WaveformManager::CacheEntry;

std::string Uint32Bytes(uint32_t value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  return bytes;
}

uint32_t Uint32At(const std::string& bytes, size_t offset) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[offset + i]);
  return value;
}

std::string Token(const std::string& bytes) { return Uint32Bytes(bytes.size()) + bytes; }

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// A WAVE image whose "data" chunk claims `claimed` bytes and holds `audio`,
// with `chunks` between the format chunk and the data chunk.
std::string WaveImage(uint32_t claimed, const std::string& audio, const std::string& chunks = "") {
  std::string fmt = Uint32Bytes(16) + std::string("\x01\x00\x01\x00", 4) + Uint32Bytes(8000) +
                    Uint32Bytes(16000) + std::string("\x02\x00\x10\x00", 4);
  return "RIFF" + Uint32Bytes(claimed + 36) + "WAVEfmt " + fmt + chunks + "data" +
         Uint32Bytes(claimed) + audio;
}

class WaveformManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_Dir.IsValid());
    ASSERT_EQ(APR_SUCCESS, apr_pool_create(&m_Pool, nullptr));
    m_Settings.m_WaveformFolder = m_Dir.Path();
    m_Settings.m_FilePrefix = "vexora-";
    m_Settings.m_MaxFileAge = 0;
  }
  void TearDown() override { apr_pool_destroy(m_Pool); }

  std::unique_ptr<WaveformManager> MakeManager(bool caching) {
    return std::make_unique<WaveformManager>(m_Settings, caching);
  }
  std::string PathOf(const std::string& name) const { return m_Dir / name; }

  // A WAVE file and its descriptor, as a channel leaves them after a miss.
  void WriteRecord(WaveformManager& manager, const std::string& name, uint64_t checksum,
                   uint64_t usage) {
    WriteAll(PathOf(name), WaveImage(2, "ab"));
    CacheEntry entry(name, 0);
    entry.m_Checksum = checksum;
    entry.m_Usage = usage;
    ASSERT_TRUE(manager.SaveCacheFile(&entry, m_Pool));
  }

  // Loads a descriptor written by the test into a fresh record.
  std::unique_ptr<CacheEntry> LoadDescriptor(const std::string& bytes) {
    WriteAll(PathOf("vexora-x.cache"), bytes);
    auto entry = std::make_unique<CacheEntry>("vexora-x.wav", 0);
    EXPECT_TRUE(entry->Load(PathOf("vexora-x.cache"), m_Pool));
    return entry;
  }

  Ambrel::Testing::AprScope m_Apr;
  Ambrel::Testing::ScratchDir m_Dir;
  apr_pool_t* m_Pool = nullptr;
  WaveformManager::Settings m_Settings;
};

TEST_F(WaveformManagerTest, ChecksumAddsBytesAsSignedValues) {
  EXPECT_EQ(294u, WaveformManager::CalculateChecksum("abc"));
  EXPECT_EQ(0u, WaveformManager::CalculateChecksum(""));
  EXPECT_EQ(UINT64_MAX - 60, WaveformManager::CalculateChecksum("\xC3"));
  EXPECT_EQ(WaveformManager::CalculateChecksum("listen"),
            WaveformManager::CalculateChecksum("silent"));
}

TEST_F(WaveformManagerTest, MinimalDescriptorIsFourTokens) {
  CacheEntry entry("vexora-a.wav", 0);
  entry.m_Checksum = 294;
  entry.m_Content = "abc";
  ASSERT_TRUE(entry.Save(PathOf("vexora-a.cache"), m_Pool));
  const std::string bytes = ReadAll(PathOf("vexora-a.cache"));
  EXPECT_EQ(37u, bytes.size());
  EXPECT_EQ(Token("checksum") + Token("294") + Token("content") + Token("abc"), bytes);
}

TEST_F(WaveformManagerTest, DescriptorRoundTripsEveryField) {
  CacheEntry entry("vexora-a.wav", 0);
  entry.m_Checksum = 294;
  entry.m_Language = "en-US";
  entry.m_SamplingRate = 16000;
  entry.m_VoiceName = "voice-a";
  entry.m_VoiceGender = VOICE_GENDER_FEMALE;
  entry.m_Prosody.m_Rate.type = PROSODY_RATE_TYPE_RELATIVE_CHANGE;
  entry.m_Prosody.m_Rate.value.relative = 1.5f;
  entry.m_Prosody.m_Volume.type = PROSODY_VOLUME_TYPE_LABEL;
  entry.m_Prosody.m_Volume.value.label = PROSODY_VOLUME_LOUD;
  entry.m_Prosody.m_Pitch = "high";
  entry.m_Prosody.m_Duration = "2s";
  entry.m_Usage = 3;
  entry.m_Content = std::string("a\0b", 3);
  ASSERT_TRUE(entry.Save(PathOf("vexora-a.cache"), m_Pool));
  const std::string bytes = ReadAll(PathOf("vexora-a.cache"));
  EXPECT_NE(std::string::npos, bytes.find(Token("prosody-rate") + Token("1 1.5")));
  EXPECT_NE(std::string::npos, bytes.find(Token("prosody-volume") + Token("0 4")));

  CacheEntry loaded("vexora-a.wav", 0);
  ASSERT_TRUE(loaded.Load(PathOf("vexora-a.cache"), m_Pool));
  EXPECT_EQ(294u, loaded.m_Checksum);
  EXPECT_EQ("en-US", loaded.m_Language);
  EXPECT_EQ(16000, loaded.m_SamplingRate);
  EXPECT_EQ("voice-a", loaded.m_VoiceName);
  EXPECT_EQ(VOICE_GENDER_FEMALE, loaded.m_VoiceGender);
  EXPECT_EQ(PROSODY_RATE_TYPE_RELATIVE_CHANGE, loaded.m_Prosody.m_Rate.type);
  EXPECT_FLOAT_EQ(1.5f, loaded.m_Prosody.m_Rate.value.relative);
  EXPECT_EQ(PROSODY_VOLUME_TYPE_LABEL, loaded.m_Prosody.m_Volume.type);
  EXPECT_EQ(PROSODY_VOLUME_LOUD, loaded.m_Prosody.m_Volume.value.label);
  EXPECT_EQ("high", loaded.m_Prosody.m_Pitch);
  EXPECT_EQ("2s", loaded.m_Prosody.m_Duration);
  EXPECT_EQ(3u, loaded.m_Usage);
  EXPECT_EQ(std::string("a\0b", 3), loaded.m_Content);
}

TEST_F(WaveformManagerTest, ZeroUseCountIsNotWritten) {
  CacheEntry entry("vexora-a.wav", 0);
  ASSERT_TRUE(entry.Save(PathOf("vexora-a.cache"), m_Pool));
  EXPECT_EQ(std::string::npos, ReadAll(PathOf("vexora-a.cache")).find("use-count"));
  CacheEntry loaded("vexora-a.wav", 0);
  ASSERT_TRUE(loaded.Load(PathOf("vexora-a.cache"), m_Pool));
  EXPECT_EQ(0u, loaded.m_Usage);
}

// Damage keeps the pairs read before it. A value whose count runs past the
// end of the file is dropped, and such a count never sizes a buffer.
TEST_F(WaveformManagerTest, DamagedDescriptorsKeepWhatIsIntact) {
  g_LargestAllocation = 0;
  const std::string intact = Token("checksum") + Token("294");
  EXPECT_EQ(294u, LoadDescriptor(intact + Token("content") + "\x03\x00")->m_Checksum);
  auto cut = LoadDescriptor(intact + Token("content") + Uint32Bytes(10) + "abc");
  EXPECT_EQ(294u, cut->m_Checksum);
  EXPECT_EQ("", cut->m_Content);
  auto large = LoadDescriptor(intact + Token("content") + Uint32Bytes(1u << 24) + "abc");
  EXPECT_EQ("", large->m_Content);
  EXPECT_LT(g_LargestAllocation.load(), kSmallAllocation);
  auto huge = LoadDescriptor(intact + Token("content") + Uint32Bytes(0xFFFFFFF0u) + "abc");
  EXPECT_EQ(294u, huge->m_Checksum);
  EXPECT_EQ("", huge->m_Content);
  auto huge_name = LoadDescriptor(intact + Uint32Bytes(0x7FFFFFFFu) + "content");
  EXPECT_EQ(294u, huge_name->m_Checksum);
  auto unknown = LoadDescriptor(Token("colour") + Token("red") + intact + Token("") + Token("x") +
                                Token("content") + Token("abc"));
  EXPECT_EQ(294u, unknown->m_Checksum);
  EXPECT_EQ("abc", unknown->m_Content);
  EXPECT_FALSE(unknown->LoadAttribute("colour", "red"));
}

TEST_F(WaveformManagerTest, NumbersReadWithStreamRules) {
  auto entry =
      LoadDescriptor(Token("checksum") + Token("12abc") + Token("sampling-rate") + Token("x") +
                     Token("use-count") + Token("  7") + Token("prosody-rate") + Token("9 3") +
                     Token("prosody-volume") + Token("0 99"));
  EXPECT_EQ(12u, entry->m_Checksum);
  EXPECT_EQ(0, entry->m_SamplingRate);
  EXPECT_EQ(7u, entry->m_Usage);
  // Out-of-range types and labels read as "not set" and "unknown".
  EXPECT_EQ(PROSODY_RATE_TYPE_UNKNOWN, entry->m_Prosody.m_Rate.type);
  EXPECT_EQ(PROSODY_VOLUME_TYPE_LABEL, entry->m_Prosody.m_Volume.type);
  EXPECT_EQ(PROSODY_VOLUME_UNKNOWN, entry->m_Prosody.m_Volume.value.label);
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

TEST_F(WaveformManagerTest, CloseWritesLengthsOfEachFileOnly) {
  auto manager = MakeManager(false);
  WaveformManager::WaveFile file;
  file.m_Name = "vexora-abc-7.wav";
  ASSERT_TRUE(manager->OpenWavefile(file, 8000, 1, m_Pool));
  ASSERT_EQ(APR_SUCCESS,
            apr_file_write_full(file.m_File, std::string(32000, 'x').data(), 32000, nullptr));
  file.m_ContentLength += 32000;
  ASSERT_TRUE(manager->CloseWavefile(file, 0));
  EXPECT_EQ(nullptr, file.m_File);
  const std::string wave = ReadAll(PathOf(file.m_Name));
  ASSERT_EQ(32044u, wave.size());
  EXPECT_EQ(32036u, Uint32At(wave, 4));
  EXPECT_EQ(32000u, Uint32At(wave, 40));
  EXPECT_EQ(WaveImage(32000, std::string(32000, 'x')), wave);

  // The next file of the same request starts from nothing.
  file.m_Name = "vexora-abc-7-2.wav";
  ASSERT_TRUE(manager->OpenWavefile(file, 8000, 7, m_Pool));
  ASSERT_EQ(APR_SUCCESS, apr_file_write_full(file.m_File, "xyz", 3, nullptr));
  file.m_ContentLength += 3;
  ASSERT_TRUE(manager->CloseWavefile(file, 0));
  const std::string second = ReadAll(PathOf(file.m_Name));
  EXPECT_EQ(3u, Uint32At(second, 40));
  EXPECT_EQ(39u, Uint32At(second, 4));
  EXPECT_EQ(8000u, Uint32At(second, 28));  // mu-law: one byte per sample
  EXPECT_EQ(std::string("\x01\x00\x08\x00", 4), second.substr(32, 4));
}

TEST_F(WaveformManagerTest, WaveDataOfImagesInMemory) {
  unsigned length = 0;
  const std::string canonical = WaveImage(3, "abc");
  ASSERT_EQ(canonical.data() + 44, WaveformManager::GetWaveData(canonical, length));
  EXPECT_EQ(3u, length);
  const std::string claims_more = WaveImage(1000, "abc");
  ASSERT_NE(nullptr, WaveformManager::GetWaveData(claims_more, length));
  EXPECT_EQ(3u, length);
  EXPECT_EQ(nullptr, WaveformManager::GetWaveData(WaveImage(0, ""), length));
  EXPECT_EQ(nullptr, WaveformManager::GetWaveData("RIFF", length));

  // Chunks before the audio, one of odd size with its pad byte.
  const std::string list = WaveImage(3, "abc", "LIST" + Uint32Bytes(5) + "INFOx" + '\0');
  const char* data = WaveformManager::GetWaveData(list, length);
  ASSERT_NE(nullptr, data);
  EXPECT_EQ("abc", std::string(data, length));
  const std::string runaway = WaveImage(3, "abc", "junk" + Uint32Bytes(0xFFFFFFF0u));
  EXPECT_EQ(nullptr, WaveformManager::GetWaveData(runaway, length));
}

TEST_F(WaveformManagerTest, LoadsAudioThatTheFileHolds) {
  auto manager = MakeManager(false);
  std::vector<char> audio;
  WriteAll(PathOf("vexora-a.wav"), WaveImage(3, "abc"));
  ASSERT_TRUE(manager->LoadWaveFile("vexora-a.wav", audio, m_Pool));
  EXPECT_EQ("abc", std::string(audio.begin(), audio.end()));

  WriteAll(PathOf("vexora-b.wav"), WaveImage(1u << 24, "abcd"));
  g_LargestAllocation = 0;
  ASSERT_TRUE(manager->LoadWaveFile("vexora-b.wav", audio, m_Pool));
  EXPECT_LT(g_LargestAllocation.load(), kSmallAllocation);
  ASSERT_EQ(4u, audio.size());
  EXPECT_EQ("abcd", std::string(audio.begin(), audio.end()));

  WriteAll(PathOf("other.wav"), WaveImage(2, "ok", "LIST" + Uint32Bytes(4) + "INFO"));
  ASSERT_TRUE(manager->LoadWaveFile(PathOf("other.wav"), audio, m_Pool));
  EXPECT_EQ("ok", std::string(audio.begin(), audio.end()));

  WriteAll(PathOf("short.wav"), "RIFF");
  EXPECT_FALSE(manager->LoadWaveFile("short.wav", audio, m_Pool));
  vxhost::LogCapture log;
  EXPECT_FALSE(manager->LoadWaveFile("missing.wav", audio, m_Pool));
  EXPECT_EQ(1u, log.Count("Cannot Open Waveform File for Reading " + PathOf("missing.wav")));
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

TEST_F(WaveformManagerTest, UnwritableFolderFailsWithoutCrash) {
  if (geteuid() == 0) GTEST_SKIP() << "root ignores folder permissions";
  auto manager = MakeManager(true);
  ASSERT_EQ(0, chmod(m_Dir.Path().c_str(), 0500));
  vxhost::LogCapture log;
  WaveformManager::WaveFile file;
  file.m_Name = "vexora-a.wav";
  EXPECT_FALSE(manager->OpenWavefile(file, 8000, 1, m_Pool));
  EXPECT_EQ(nullptr, file.m_File);
  CacheEntry entry("vexora-a.wav", 0);
  EXPECT_FALSE(manager->SaveCacheFile(&entry, m_Pool));
  chmod(m_Dir.Path().c_str(), 0700);
  EXPECT_EQ(1u, log.Count("Cannot Open Waveform File for Writing " + PathOf("vexora-a.wav")));
  EXPECT_EQ(1u, log.Count("Cannot Open Cache File for Writing " + PathOf("vexora-a.cache")));
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
