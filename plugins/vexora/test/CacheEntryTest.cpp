// The cache descriptor of a record: what it writes, what it reads back, and
// what it makes of damaged files.
#include "WaveformTestSupport.h"

namespace VXS {
namespace {

using namespace Testing;
using CacheEntryTest = WaveformFolderTest;

TEST_F(CacheEntryTest, MinimalDescriptorIsFourTokens) {
  CacheEntry entry("vexora-a.wav", 0);
  entry.m_Checksum = 294;
  entry.m_Content = "abc";
  ASSERT_TRUE(entry.Save(PathOf("vexora-a.cache"), m_Pool));
  const std::string bytes = ReadAll(PathOf("vexora-a.cache"));
  EXPECT_EQ(37u, bytes.size());
  EXPECT_EQ(Token("checksum") + Token("294") + Token("content") + Token("abc"), bytes);
}

TEST_F(CacheEntryTest, DescriptorRoundTripsEveryField) {
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

TEST_F(CacheEntryTest, ZeroUseCountIsNotWritten) {
  CacheEntry entry("vexora-a.wav", 0);
  ASSERT_TRUE(entry.Save(PathOf("vexora-a.cache"), m_Pool));
  EXPECT_EQ(std::string::npos, ReadAll(PathOf("vexora-a.cache")).find("use-count"));
  CacheEntry loaded("vexora-a.wav", 0);
  ASSERT_TRUE(loaded.Load(PathOf("vexora-a.cache"), m_Pool));
  EXPECT_EQ(0u, loaded.m_Usage);
}

// Damage keeps the pairs read before it. A value whose count runs past the
// end of the file is dropped, and such a count never sizes a buffer.
TEST_F(CacheEntryTest, DamagedDescriptorsKeepWhatIsIntact) {
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

TEST_F(CacheEntryTest, NumbersReadWithStreamRules) {
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

}  // namespace
}  // namespace VXS
