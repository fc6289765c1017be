// WAVE files of the waveform folder: headers written and finished, audio
// read from files and from images in memory.
#include "WaveformTestSupport.h"

namespace VXS {
namespace {

using namespace Testing;
using WaveFileTest = WaveformFolderTest;

TEST_F(WaveFileTest, CloseWritesLengthsOfEachFileOnly) {
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

TEST_F(WaveFileTest, WaveDataOfImagesInMemory) {
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

TEST_F(WaveFileTest, LoadsAudioThatTheFileHolds) {
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

TEST_F(WaveFileTest, UnwritableFolderFailsWithoutCrash) {
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

}  // namespace
}  // namespace VXS
