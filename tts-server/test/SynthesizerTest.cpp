// Voice choice and prosody of the speech service's synthesizer, and the
// language tags it matches voices by.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "Synthesizer.h"
#include "TtsTestSupport.h"

namespace {

TEST(LanguageTest, TagsAreCanonicalisedAndMatchedAsBasicFilters) {
  using VxTts::Synthesizer;
  EXPECT_EQ(Synthesizer::CanonicalLanguage("en-us"), "en-US");
  EXPECT_EQ(Synthesizer::CanonicalLanguage("EN_gb"), "en-GB");
  EXPECT_EQ(Synthesizer::CanonicalLanguage("cmn-latn-pinyin"), "cmn-Latn-pinyin");
  EXPECT_EQ(Synthesizer::CanonicalLanguage("en-gb-x-rp"), "en-GB-x-rp");
  EXPECT_EQ(Synthesizer::CanonicalLanguage("es-419"), "es-419");
  EXPECT_TRUE(Synthesizer::LanguageMatches("en", "en-US"));
  EXPECT_TRUE(Synthesizer::LanguageMatches("EN-us", "en-US"));
  EXPECT_TRUE(Synthesizer::LanguageMatches("en-US", "en-US-nyc"));
  EXPECT_TRUE(Synthesizer::LanguageMatches("", "de"));
  EXPECT_TRUE(Synthesizer::LanguageMatches("no", "nb"));
  EXPECT_FALSE(Synthesizer::LanguageMatches("en-US", "en"));
  EXPECT_FALSE(Synthesizer::LanguageMatches("e", "en-US"));
  EXPECT_FALSE(Synthesizer::LanguageMatches("en", "eo"));
}

class SynthesizerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sm_Synth = new VxTts::Synthesizer();
    std::string warning;
    sm_Synth->Init(&warning);
    ASSERT_TRUE(warning.empty()) << warning;
  }
  static void TearDownTestSuite() { delete sm_Synth; }

  // 16 kHz speech of one sentence with the given prosody.
  static std::vector<int16_t> Speak(const VxTts::Prosody& prosody) {
    std::vector<int16_t> pcm;
    std::string error;
    const VxTts::VoiceInfo* voice = sm_Synth->FindByName("espeak-en-us");
    EXPECT_NE(voice, nullptr);
    EXPECT_TRUE(sm_Synth->Synthesize(*voice, "The quick brown fox jumps over the lazy dog.", false,
                                     prosody, 16000, &pcm, &error))
        << error;
    return pcm;
  }

  static VxTts::Synthesizer* sm_Synth;
};

VxTts::Synthesizer* SynthesizerTest::sm_Synth = nullptr;

TEST_F(SynthesizerTest, ChoosesByLanguageWithGenderAsAPreference) {
  auto name = [](const std::string& language, int gender) {
    const VxTts::VoiceInfo* v = sm_Synth->SelectByLanguage(language, gender);
    return v != nullptr ? v->name : std::string("(none)");
  };
  EXPECT_EQ(name("en-US", 0), "espeak-en-us");
  EXPECT_EQ(name("en-us", 1), "espeak-en-us");
  EXPECT_EQ(name("en-US", 2), "espeak-en-us-female");
  EXPECT_EQ(name("en-US", 3), "espeak-en-us") << "no neutral voice: any will do";
  EXPECT_EQ(name("en-GB", 0), "espeak-en");
  EXPECT_EQ(name("en-AU", 0), "espeak-en") << "same language, other region";
  EXPECT_EQ(name("de-AT", 2), "espeak-de-female");
  EXPECT_EQ(name("xx-YY", 0), "(none)");
  EXPECT_EQ(name("", 0), "(none)");
  ASSERT_NE(sm_Synth->FindByName("vx-test-tone"), nullptr);
}

TEST_F(SynthesizerTest, SpeakingRatePitchAndVolumeAreHonoured) {
  const std::vector<int16_t> base = Speak({});
  const double base_len = base.size(), base_rms = VxTtsTest::Rms(base);
  const double base_pitch = VxTtsTest::MedianPitchHz(base, 16000);
  ASSERT_GT(base_len, 16000 * 1.5);
  ASSERT_GT(base_pitch, 60);

  // Durations follow 1/speaking_rate within 25%; pitch follows the
  // semitones within 2.5 semitones.
  const VxTts::Prosody cases[] = {{2.0, 0, 0},    {0.5, 0, 0},   {0.25, 0, 0},  {1.0, 4, 0},
                                  {1.0, -3.5, 0}, {1.0, 12, 0},  {1.0, -12, 0}, {1.0, -20, 0},
                                  {2.0, 20, 0},   {0.25, -20, 0}};
  for (const VxTts::Prosody& p : cases) {
    SCOPED_TRACE(testing::Message()
                 << "rate " << p.speaking_rate << " pitch " << p.pitch_semitones);
    const std::vector<int16_t> pcm = Speak(p);
    const double len = pcm.size() / base_len * p.speaking_rate;
    const double semitones =
        12 * std::log2(VxTtsTest::MedianPitchHz(pcm, 16000) / base_pitch) - p.pitch_semitones;
    EXPECT_NEAR(len, 1.0, 0.25);
    EXPECT_NEAR(semitones, 0.0, 2.5);
  }
  // Gain is applied to the samples: -6.02 dB halves them.
  std::vector<int16_t> quiet = base;
  VxTts::ApplyGainDb(-6.0206, &quiet);
  EXPECT_NEAR(VxTtsTest::Rms(quiet) / base_rms, 0.5, 0.01);
  const std::vector<int16_t> spoken_quiet = Speak({1.0, 0, -6.0206});
  EXPECT_NEAR(VxTtsTest::Rms(spoken_quiet) / base_rms, 0.5, 0.1);
  std::vector<int16_t> loud = {30000, -30000, 100};
  VxTts::ApplyGainDb(16, &loud);
  EXPECT_EQ(loud, (std::vector<int16_t>{32767, -32768, 631}));
}

}  // namespace
