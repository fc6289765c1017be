// The byte-naming test voice: every frame decodes to its input and index,
// at both channel rates, and nothing else decodes as one of its frames.
#include "TestBytesVoice.h"

#include <gtest/gtest.h>

#include "Synthesizer.h"

namespace VxTts {
namespace {

TEST(TestBytesVoiceTest, EveryFrameNamesItsInputAndByte) {
  const std::string input = "Hi \xff\x00!" + std::string(70000, 'x');
  const uint64_t hash = TestBytesHash(input);
  for (int rate : {8000, 16000}) {
    std::vector<int16_t> pcm;
    MakeTestBytes(input, rate, &pcm);
    const size_t frame = static_cast<size_t>(rate) / 50;
    ASSERT_EQ(pcm.size(), input.size() * frame);
    for (size_t i = 0; i < input.size(); ++i) {
      TestBytesFrame decoded;
      ASSERT_TRUE(DecodeTestBytesFrame(pcm.data() + i * frame, frame, &decoded)) << i;
      EXPECT_EQ(decoded.input_hash, hash);
      ASSERT_EQ(decoded.index, i);
      ASSERT_EQ(decoded.byte, static_cast<unsigned char>(input[i]));
    }
  }
}

TEST(TestBytesVoiceTest, SilenceToneAndDamagedFramesAreNotFrames) {
  std::vector<int16_t> pcm;
  MakeTestBytes("ab", 8000, &pcm);
  TestBytesFrame decoded;
  std::vector<int16_t> silence(160, 0);
  EXPECT_FALSE(DecodeTestBytesFrame(silence.data(), silence.size(), &decoded));
  for (size_t word = 0; word < 160; ++word) {
    std::vector<int16_t> damaged(pcm.begin(), pcm.begin() + 160);
    damaged[word] ^= 0x0100;
    EXPECT_FALSE(DecodeTestBytesFrame(damaged.data(), damaged.size(), &decoded)) << word;
  }
  // Half a frame padded with silence, as a cut reply would end.
  std::vector<int16_t> half(pcm.begin(), pcm.begin() + 160);
  std::fill(half.begin() + 80, half.end(), 0);
  EXPECT_FALSE(DecodeTestBytesFrame(half.data(), half.size(), &decoded));
}

TEST(TestBytesVoiceTest, OfferedBesideTheToneAndIgnoresProsody) {
  Synthesizer synthesizer;
  synthesizer.Init(nullptr);
  const VoiceInfo* voice = synthesizer.FindByName(Synthesizer::kTestBytesVoiceName);
  ASSERT_NE(voice, nullptr);
  Prosody prosody;
  prosody.speaking_rate = 2.0;
  prosody.volume_gain_db = -20;
  std::vector<int16_t> pcm;
  std::string error;
  ASSERT_TRUE(synthesizer.Synthesize(*voice, "<speak>x</speak>", true, prosody, 16000, &pcm, &error));
  std::vector<int16_t> expected;
  MakeTestBytes("<speak>x</speak>", 16000, &expected);
  EXPECT_EQ(pcm, expected);
}

}  // namespace
}  // namespace VxTts
