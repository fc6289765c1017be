// The SynthesizeSpeech request a segment of a SPEAK becomes, built without a
// channel or a call.
#include <gtest/gtest.h>

#include "SynthRequest.h"
#include "ambrel/testing/TestSupport.h"

namespace VXS {
namespace {

namespace tts = google::cloud::texttospeech::v1;

class SynthRequestTest : public ::testing::Test {
 protected:
  tts::SynthesizeSpeechRequest Compose(const SynthSegment& segment, uint32_t rate = 8000) {
    tts::SynthesizeSpeechRequest request;
    ComposeSynthesizeSpeechRequest(segment, m_Params, rate, "ch1", request);
    return request;
  }

  Ambrel::Testing::AprScope m_Apr;
  SpeakParams m_Params;
};

TEST_F(SynthRequestTest, PlainSegmentAsksForItsTextInLinear16AtTheChannelRate) {
  m_Params.m_Language = "en-GB";
  tts::SynthesizeSpeechRequest request =
      Compose(SynthSegment("", VOICE_GENDER_UNKNOWN, "Hello", SYNTH_CONTENT_TEXT), 16000);
  EXPECT_EQ(request.input().text(), "Hello");
  EXPECT_FALSE(request.input().has_ssml());
  EXPECT_EQ(request.voice().language_code(), "en-GB");
  // Nothing the SPEAK did not ask for is set.
  EXPECT_EQ(request.voice().name(), "");
  EXPECT_EQ(request.voice().ssml_gender(), tts::SSML_VOICE_GENDER_UNSPECIFIED);
  EXPECT_FALSE(request.voice().has_custom_voice());
  EXPECT_EQ(request.audio_config().audio_encoding(), tts::LINEAR16);
  EXPECT_EQ(request.audio_config().sample_rate_hertz(), 16000);
  EXPECT_EQ(request.audio_config().speaking_rate(), 0);
  EXPECT_EQ(request.audio_config().volume_gain_db(), 0);
  EXPECT_EQ(request.audio_config().pitch(), 0);
  EXPECT_EQ(request.audio_config().effects_profile_id_size(), 0);
}

TEST_F(SynthRequestTest, SsmlSegmentIsSentAsSsml) {
  const std::string ssml = "<speak>Hi</speak>";
  tts::SynthesizeSpeechRequest request =
      Compose(SynthSegment("", VOICE_GENDER_UNKNOWN, ssml, SYNTH_CONTENT_SSML));
  EXPECT_EQ(request.input().ssml(), ssml);
  EXPECT_FALSE(request.input().has_text());
}

TEST_F(SynthRequestTest, SegmentVoiceAndEveryGenderAreCarried) {
  EXPECT_EQ(
      Compose(SynthSegment("vx-a", VOICE_GENDER_MALE, "x", SYNTH_CONTENT_TEXT)).voice().name(),
      "vx-a");
  const std::pair<mrcp_voice_gender_e, tts::SsmlVoiceGender> genders[] = {
      {VOICE_GENDER_MALE, tts::MALE},
      {VOICE_GENDER_FEMALE, tts::FEMALE},
      {VOICE_GENDER_NEUTRAL, tts::NEUTRAL},
      {VOICE_GENDER_UNKNOWN, tts::SSML_VOICE_GENDER_UNSPECIFIED}};
  for (const auto& gender : genders) {
    SynthSegment segment("", gender.first, "x", SYNTH_CONTENT_TEXT);
    EXPECT_EQ(Compose(segment).voice().ssml_gender(), gender.second);
  }
}

TEST_F(SynthRequestTest, ProsodyEffectsAndCustomVoiceOfTheSpeakAreCarried) {
  m_Params.m_Prosody.m_Rate.type = PROSODY_RATE_TYPE_LABEL;
  m_Params.m_Prosody.m_Rate.value.label = PROSODY_RATE_SLOW;
  m_Params.m_Prosody.m_Volume.type = PROSODY_VOLUME_TYPE_LABEL;
  m_Params.m_Prosody.m_Volume.value.label = PROSODY_VOLUME_LOUD;
  m_Params.m_Prosody.m_Pitch = "-3.5st";
  m_Params.m_EffectsProfile = "telephony-class-application";
  m_Params.m_CustomVoiceModel = "projects/p/locations/l/models/m";
  m_Params.m_Deadline = 1500;
  tts::SynthesizeSpeechRequest request =
      Compose(SynthSegment("", VOICE_GENDER_UNKNOWN, "x", SYNTH_CONTENT_TEXT));
  EXPECT_DOUBLE_EQ(request.audio_config().speaking_rate(), 0.5);
  EXPECT_DOUBLE_EQ(request.audio_config().volume_gain_db(), 6.0);
  EXPECT_FLOAT_EQ(static_cast<float>(request.audio_config().pitch()), -3.5f);
  ASSERT_EQ(request.audio_config().effects_profile_id_size(), 1);
  EXPECT_EQ(request.audio_config().effects_profile_id(0), "telephony-class-application");
  EXPECT_EQ(request.voice().custom_voice().model(), "projects/p/locations/l/models/m");
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  EXPECT_EQ(request.voice().custom_voice().reported_usage(), tts::CustomVoiceParams::REALTIME);
#pragma GCC diagnostic pop
}

TEST_F(SynthRequestTest, RateAndVolumeThatCannotBeReadAreLeftOut) {
  m_Params.m_Prosody.m_Rate.type = PROSODY_RATE_TYPE_LABEL;
  m_Params.m_Prosody.m_Rate.value.label = PROSODY_RATE_UNKNOWN;
  m_Params.m_Prosody.m_Volume.type = PROSODY_VOLUME_TYPE_UNKNOWN;
  tts::SynthesizeSpeechRequest request =
      Compose(SynthSegment("", VOICE_GENDER_UNKNOWN, "x", SYNTH_CONTENT_TEXT));
  EXPECT_EQ(request.audio_config().speaking_rate(), 0);
  EXPECT_EQ(request.audio_config().volume_gain_db(), 0);
}

}  // namespace
}  // namespace VXS
