// SET-PARAMS and GET-PARAMS: the channel's defaults for its later SPEAKs,
// between the configured ones and a SPEAK's own headers and SSML, refused
// whole when a header cannot be used, read back by GET-PARAMS, and gone when
// the channel is opened again.
#include "ModuleFixture.h"

namespace vxtest {
namespace {

class SessionParamsTest : public ModuleFixture {
 protected:
  void SetUp() override {
    ModuleFixture::SetUp();
    StartServer();
  }

  void Start(const std::string& synth_attributes = "") {
    WriteConfig(synth_attributes);
    StartEngine();
    m_Channel = OpenChannel("ch1");
  }

  vxhost::ReceivedMessage Request(const std::string& method,
                                  const std::vector<std::string>& headers) {
    Send(m_Channel, RequestText(method, headers));
    return Next(m_Channel);
  }

  // A GET-PARAMS naming the given headers without values, as clients send
  // it.
  vxhost::ReceivedMessage GetParams(const std::vector<apr_size_t>& synth_ids,
                                    const std::vector<apr_size_t>& generic_ids = {}) {
    mrcp_message_t* request = m_Kit->NewRequest(m_Channel, SYNTHESIZER_GET_PARAMS);
    for (apr_size_t id : synth_ids) mrcp_resource_header_property_add(request, id);
    for (apr_size_t id : generic_ids) mrcp_generic_header_property_add(request, id);
    m_Kit->Send(m_Channel, request);
    return Next(m_Channel);
  }

  // The request the service got for the last SPEAK.
  google::cloud::texttospeech::v1::SynthesizeSpeechRequest LastCall() {
    auto requests = m_Server->calls().Requests();
    EXPECT_FALSE(requests.empty());
    return requests.empty() ? google::cloud::texttospeech::v1::SynthesizeSpeechRequest()
                            : requests.back();
  }

  static bool Has(const vxhost::ReceivedMessage& message, const std::string& line) {
    return message.text.find("\r\n" + line + "\r\n") != std::string::npos;
  }

  vxhost::Channel* m_Channel = nullptr;
};

TEST_F(SessionParamsTest, SetParamsDefaultsLaterSpeaksBelowTheirOwnHeaders) {
  Start();
  vxhost::ReceivedMessage set =
      Request("SET-PARAMS", {"Speech-Language: fr-FR", "Prosody-Rate: fast",
                             "Vendor-Specific-Parameters: effects-profile=telephony-class-application"});
  EXPECT_EQ(set.status_code, 200) << set.text;

  SpeakToCompletion(m_Channel, "defaults");
  auto call = LastCall();
  EXPECT_EQ(call.voice().language_code(), "fr-FR");
  EXPECT_GT(call.audio_config().speaking_rate(), 1.0);
  ASSERT_EQ(call.audio_config().effects_profile_id_size(), 1);
  EXPECT_EQ(call.audio_config().effects_profile_id(0), "telephony-class-application");
  EXPECT_EQ(call.voice().name(), kTestVoice);  // the configured one, not set here

  // The SPEAK's own header wins over the channel's default.
  SpeakToCompletion(m_Channel, "own header", "text/plain", {"Speech-Language: de-DE"});
  EXPECT_EQ(LastCall().voice().language_code(), "de-DE");
  // A later SET-PARAMS changes only what it names.
  EXPECT_EQ(Request("SET-PARAMS", {"Speech-Language: es-ES"}).status_code, 200);
  SpeakToCompletion(m_Channel, "again");
  EXPECT_EQ(LastCall().voice().language_code(), "es-ES");
  EXPECT_GT(LastCall().audio_config().speaking_rate(), 1.0);
}

TEST_F(SessionParamsTest, SsmlVoiceWinsOverTheChannelsVoiceName) {
  Start("bypass-ssml=\"false\"");
  EXPECT_EQ(Request("SET-PARAMS", {"Voice-Name: espeak-en-us"}).status_code, 200);
  SpeakToCompletion(m_Channel,
                    "<speak version=\"1.0\"><voice name=\"vx-test-tone\">own voice</voice></speak>",
                    "application/ssml+xml");
  EXPECT_EQ(LastCall().voice().name(), kTestVoice);
}

// A header the module cannot use is answered 403 and echoed, and nothing
// of that SET-PARAMS is taken.
TEST_F(SessionParamsTest, UnusableHeaderRefusesTheWholeSetParams) {
  Start();
  const std::vector<std::vector<std::string>> refused = {
      {"Speech-Language: fr-FR", "Vendor-Specific-Parameters: no-such-parameter=1"},
      {"Speech-Language: fr-FR", "Vendor-Specific-Parameters: voice-gender=robot"},
      {"Speech-Language: fr-FR", "Failed-URI: http://elsewhere/prompt.wav"}};
  for (const auto& headers : refused) {
    vxhost::ReceivedMessage response = Request("SET-PARAMS", headers);
    EXPECT_EQ(response.status_code, 403) << response.text;
    EXPECT_TRUE(Has(response, headers[1])) << response.text;
    EXPECT_FALSE(Has(response, headers[0])) << response.text;
  }
  SpeakToCompletion(m_Channel, "unchanged");
  EXPECT_EQ(LastCall().voice().language_code(), "en-US");
}

TEST_F(SessionParamsTest, GetParamsAnswersWhatItNamesOrEverythingTheChannelHas) {
  Start("language=\"en-GB\"");
  // Before any SET-PARAMS: the configured values.
  vxhost::ReceivedMessage named = GetParams({SYNTHESIZER_HEADER_SPEECH_LANGUAGE});
  EXPECT_EQ(named.status_code, 200);
  EXPECT_TRUE(Has(named, "Speech-Language: en-GB")) << named.text;
  EXPECT_FALSE(Has(named, "Voice-Name: " + std::string(kTestVoice))) << named.text;

  EXPECT_EQ(Request("SET-PARAMS", {"Voice-Gender: female", "Logging-Tag: call-42",
                                   "Vendor-Specific-Parameters: region=europe-west1"})
                .status_code,
            200);
  vxhost::ReceivedMessage all = GetParams({});
  EXPECT_EQ(all.status_code, 200);
  for (const std::string& line :
       {std::string("Speech-Language: en-GB"), std::string("Voice-Name: ") + kTestVoice,
        std::string("Voice-Gender: female"), std::string("Logging-Tag: call-42"),
        std::string("Vendor-Specific-Parameters: region=europe-west1")}) {
    EXPECT_TRUE(Has(all, line)) << line << "\n" << all.text;
  }
  EXPECT_EQ(all.text.find("Prosody-Rate"), std::string::npos) << all.text;

  vxhost::ReceivedMessage ignored =
      GetParams({SYNTHESIZER_HEADER_VOICE_AGE, SYNTHESIZER_HEADER_VOICE_GENDER});
  EXPECT_EQ(ignored.status_code, 201) << ignored.text;
  EXPECT_TRUE(Has(ignored, "Voice-Gender: female")) << ignored.text;
  EXPECT_EQ(ignored.text.find("Voice-Age"), std::string::npos) << ignored.text;
  vxhost::ReceivedMessage refused = GetParams({SYNTHESIZER_HEADER_COMPLETION_CAUSE});
  EXPECT_EQ(refused.status_code, 403) << refused.text;
}

// Parameters the service has no use for (the voice's age or variant) are
// taken without effect: 201, success with optional headers ignored, and
// the rest of the request still applies.
TEST_F(SessionParamsTest, IgnorableHeadersAreAnswered201AndTheRestIsTaken) {
  Start();
  vxhost::ReceivedMessage set =
      Request("SET-PARAMS", {"Voice-Gender: female", "Voice-Variant: 3", "Speech-Language: fr-CA"});
  EXPECT_EQ(set.status_code, 201) << set.text;
  SpeakToCompletion(m_Channel, "variant");
  EXPECT_EQ(LastCall().voice().language_code(), "fr-CA");
  EXPECT_EQ(LastCall().voice().ssml_gender(), google::cloud::texttospeech::v1::FEMALE);
}

TEST_F(SessionParamsTest, ReopenedChannelStartsWithoutTheEarlierDefaults) {
  Start();
  EXPECT_EQ(Request("SET-PARAMS", {"Speech-Language: fr-FR"}).status_code, 200);
  ASSERT_TRUE(m_Kit->CloseChannel(m_Channel, 5s));
  bool opened = false;
  ASSERT_TRUE(m_Kit->OpenChannel(m_Channel, 5s, &opened));
  ASSERT_TRUE(opened);
  SpeakToCompletion(m_Channel, "fresh");
  EXPECT_EQ(LastCall().voice().language_code(), "en-US");
}

TEST_F(SessionParamsTest, SetParamsAndGetParamsWithoutHeadersAreAnsweredPlainly) {
  Start();
  EXPECT_EQ(Request("SET-PARAMS", {}).status_code, 200);
  SpeakToCompletion(m_Channel, "as configured");
  EXPECT_EQ(LastCall().voice().language_code(), "en-US");
}

}  // namespace
}  // namespace vxtest
