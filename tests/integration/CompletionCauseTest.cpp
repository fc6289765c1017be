// A SPEAK that plays part of its audio and then meets a part that cannot be
// played: the audio before it plays, and SPEAK-COMPLETE says what went
// wrong (the prompt that failed and why, or a synthesis error), as does the
// SPEAK's record. These used to complete as "000 normal".
#include "ModuleFixture.h"

namespace vxtest {
namespace {

class CompletionCauseTest : public ModuleFixture {
 protected:
  void SetUp() override {
    ModuleFixture::SetUp();
    StartServer();
  }

  void Start(const std::string& synth_attributes = "") {
    WriteConfig(synth_attributes,
                "  <waveform-manager waveform-folder=\"waves\"/>\n"
                "  <sdr-manager save-records=\"true\" record-folder=\"records\"/>\n");
    StartEngine();
    m_Channel = OpenChannel("ch1");
    // 40 ms of 8 kHz 16-bit PCM.
    m_Pcm.assign(640, '\x22');
    std::string wave = "RIFF" + std::string("\xa4\x02\0\0", 4) + "WAVEfmt " +
                       std::string("\x10\0\0\0\x01\0\x01\0\x40\x1f\0\0\x80\x3e\0\0\x02\0\x10\0", 20) +
                       "data" + std::string("\x80\x02\0\0", 4) + m_Pcm;
    WriteFile(m_Root / "var" / "waves" / "ok.wav", wave);
    WriteFile(m_Root / "var" / "waves" / "noise.wav", std::string(200, 'n'));
  }

  // Sends the SPEAK; returns its SPEAK-COMPLETE after checking that it
  // started and played the audio before the failure.
  vxhost::ReceivedMessage SpeakUntilFailure(const std::string& body, const std::string& type,
                                            size_t audio_before) {
    m_Channel->ClearAudio();
    Send(m_Channel, SpeakText(body, type));
    vxhost::ReceivedMessage response = Next(m_Channel);
    EXPECT_EQ(response.request_state, MRCP_REQUEST_STATE_INPROGRESS) << response.text;
    vxhost::ReceivedMessage complete = Next(m_Channel, 30s);
    EXPECT_EQ(complete.method_name, "SPEAK-COMPLETE") << complete.text;
    EXPECT_TRUE(m_Channel->WaitAudioBytes(audio_before, 2s));
    EXPECT_EQ(m_Channel->AudioBytes(), audio_before);
    return complete;
  }

  static std::string Header(const vxhost::ReceivedMessage& message, const std::string& name) {
    size_t start = message.text.find("\r\n" + name + ": ");
    if (start == std::string::npos) return "<absent>";
    start += name.size() + 4;
    return message.text.substr(start, message.text.find("\r\n", start) - start);
  }

  std::string Record(const std::string& name) {
    return ReadFile(m_Root / "var" / "records" / name);
  }

  vxhost::Channel* m_Channel = nullptr;
  std::string m_Pcm;
};

TEST_F(CompletionCauseTest, LaterPromptThatCannotPlayEndsWithUriFailureNamingIt) {
  Start();
  const std::string missing = "file://" + (m_Root / "var" / "waves" / "missing.wav").string();
  struct Case {
    std::string uri;
    const char* cause;
  };
  const std::vector<Case> cases = {
      {missing, "404"},
      {"http://localhost/utterances/missing.wav", "404"},
      {"http://elsewhere.invalid/prompt.wav", "403"},
      {"http://localhost/utterances/../outside.wav", "403"},
      {"http://localhost/utterances/noise.wav", "415"}};
  for (const Case& item : cases) {
    vxhost::ReceivedMessage complete = SpeakUntilFailure(
        "http://localhost/utterances/ok.wav\r\n" + item.uri + "\r\nhttp://localhost/utterances/ok.wav\r\n",
        "text/uri-list", m_Pcm.size());
    EXPECT_EQ(complete.completion_cause, 3) << item.uri;
    EXPECT_EQ(Header(complete, "Failed-URI"), item.uri);
    EXPECT_EQ(Header(complete, "Failed-URI-Cause"), item.cause) << item.uri;
  }
  EXPECT_NE(Record("vexora-ch1-1.json").find("\"completion-cause\": \"uri-failure\""),
            std::string::npos)
      << Record("vexora-ch1-1.json");
}

TEST_F(CompletionCauseTest, LaterSynthesisThatFailsEndsWithError) {
  // The second voice is longer than the service accepts (not sent in
  // pieces, which would keep it within the limit).
  Start("bypass-ssml=\"false\" sentence-split=\"false\"");
  const std::string ssml = "<speak version=\"1.0\"><voice name=\"vx-test-tone\">first</voice>"
                           "<voice name=\"vx-test-tone\">" +
                           std::string(5001, 's') + "</voice></speak>";
  Send(m_Channel, SpeakText(ssml, "application/ssml+xml"));
  EXPECT_EQ(Next(m_Channel).request_state, MRCP_REQUEST_STATE_INPROGRESS);
  vxhost::ReceivedMessage complete = Next(m_Channel, 30s);
  EXPECT_EQ(complete.method_name, "SPEAK-COMPLETE");
  EXPECT_EQ(complete.completion_cause, 4);
  EXPECT_EQ(Header(complete, "Failed-URI"), "<absent>");
  // The first part's audio played: 20 ms per byte of its document.
  const size_t first = m_Server->calls().Requests().at(0).input().ssml().size() * 320;
  EXPECT_TRUE(m_Channel->WaitAudioBytes(first, 2s));
  EXPECT_EQ(m_Channel->AudioBytes(), first);
  EXPECT_NE(Record("vexora-ch1-1.json").find("\"completion-cause\": \"error\""),
            std::string::npos);
}

// A SPEAK that fails before any audio keeps its refusal, and one that
// plays whole still completes normally.
TEST_F(CompletionCauseTest, RefusalsBeforeAudioAndWholePromptsKeepTheirAnswers) {
  Start();
  Send(m_Channel, SpeakText("http://localhost/utterances/missing.wav\r\n", "text/uri-list"));
  EXPECT_EQ(Next(m_Channel).status_code, 401);
  vxhost::ReceivedMessage complete = SpeakUntilFailure(
      "http://localhost/utterances/ok.wav\r\nhttp://localhost/utterances/ok.wav\r\n",
      "text/uri-list", 2 * m_Pcm.size());
  EXPECT_EQ(complete.completion_cause, 0);
  EXPECT_EQ(Header(complete, "Failed-URI"), "<absent>");
}

}  // namespace
}  // namespace vxtest
