// A close in every state a SPEAK can be in: the caller hangs up while the
// prompt plays, is paused, waits for its first call or for a later one, and
// the host must get its close answered promptly each time, without a
// SPEAK-COMPLETE, with the channel usable again after a reopen.
#include "ModuleFixture.h"

namespace vxtest {
namespace {

class CloseTest : public ModuleFixture {
 protected:
  void SetUp() override {
    ModuleFixture::SetUp();
    StartServer();
  }

  void Start(const std::string& synth_attributes = "") {
    WriteConfig(synth_attributes,
                "  <sdr-manager save-records=\"true\" record-folder=\"records\"/>\n");
    vxhost::HostKit::Options options;
    options.realtime = true;
    StartEngine(true, options);
    m_Channel = OpenChannel("ch1");
  }

  // The close is answered well before anything the SPEAK waits for could
  // end it, and no SPEAK-COMPLETE follows. Returns the messages that came.
  std::vector<vxhost::ReceivedMessage> ExpectPromptClose() {
    const int closes = m_Channel->CloseResponses();
    EXPECT_TRUE(m_Kit->CloseChannel(m_Channel, 2s)) << "the close was not answered";
    EXPECT_EQ(m_Channel->CloseResponses(), closes + 1);
    std::vector<vxhost::ReceivedMessage> messages;
    vxhost::ReceivedMessage message;
    while (m_Channel->WaitMessage(&message, 300ms)) {
      EXPECT_NE(message.method_name, "SPEAK-COMPLETE") << message.text;
      messages.push_back(message);
    }
    return messages;
  }

  std::string Record(const std::string& name) {
    return ReadFile(m_Root / "var" / "records" / name);
  }

  vxhost::Channel* m_Channel = nullptr;
};

TEST_F(CloseTest, CloseWhilePausedIsAnswered) {
  Start();
  Send(m_Channel, SpeakText(std::string(500, 'p'), "text/plain"));  // ten seconds
  ASSERT_EQ(Next(m_Channel).request_state, MRCP_REQUEST_STATE_INPROGRESS);
  ASSERT_TRUE(m_Channel->WaitAudioBytes(3 * 320, 5s));
  Send(m_Channel, RequestText("PAUSE"));
  ASSERT_EQ(Next(m_Channel).status_code, 200);
  ExpectPromptClose();
  // The SPEAK cut short by the close keeps its record.
  EXPECT_NE(Record("vexora-ch1-1.json").find("\"completion-cause\": \"cancelled\""),
            std::string::npos);
}

TEST_F(CloseTest, CloseWhileACallHangsWithoutDeadlineIsAnswered) {
  Start();
  // The service would answer only after a minute; no deadline is set.
  m_Server->faults().SetDelay(60s);
  mrcp_request_id speak = Send(m_Channel, SpeakText("never answered", "text/plain"));
  ASSERT_TRUE(m_Log->WaitFor("Start Async Synth", 5s));
  std::vector<vxhost::ReceivedMessage> messages = ExpectPromptClose();
  // The SPEAK, which never started, got exactly one answer: a failure.
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].request_id, speak);
  EXPECT_EQ(messages[0].status_code, 407);
  EXPECT_TRUE(m_Log->WaitFor("gRPC Status: CANCELLED", 2s));
}

TEST_F(CloseTest, CloseWhilePausedBeforeTheFirstAudioIsAnswered) {
  Start();
  m_Server->faults().SetDelay(60s);
  Send(m_Channel, SpeakText("paused early", "text/plain"));
  ASSERT_TRUE(m_Log->WaitFor("Start Async Synth", 5s));
  Send(m_Channel, RequestText("PAUSE"));
  ASSERT_EQ(Next(m_Channel).status_code, 200);
  ExpectPromptClose();
}

TEST_F(CloseTest, CloseWhilePausedWithALaterCallInFlightIsAnswered) {
  Start("bypass-ssml=\"false\"");
  std::string ssml =
      "<speak version=\"1.0\"><voice name=\"vx-test-tone\">" + std::string(200, 'a') +
      "</voice><voice name=\"vx-test-tone\">second</voice></speak>";
  Send(m_Channel, SpeakText(ssml, "application/ssml+xml"));
  ASSERT_EQ(Next(m_Channel).request_state, MRCP_REQUEST_STATE_INPROGRESS);
  // The second call hangs while the first segment plays.
  m_Server->faults().SetDelay(60s);
  ASSERT_TRUE(m_Log->WaitForCount("Start Async Synth", 2, 5s));
  Send(m_Channel, RequestText("PAUSE"));
  ASSERT_EQ(Next(m_Channel).status_code, 200);
  ExpectPromptClose();
}

// A STOP held for a paused SPEAK and a close right behind it: both are
// answered, whichever runs first.
TEST_F(CloseTest, StopAndCloseWhilePausedAreBothAnswered) {
  Start();
  Send(m_Channel, SpeakText(std::string(500, 'p'), "text/plain"));
  ASSERT_EQ(Next(m_Channel).request_state, MRCP_REQUEST_STATE_INPROGRESS);
  Send(m_Channel, RequestText("PAUSE"));
  ASSERT_EQ(Next(m_Channel).status_code, 200);
  mrcp_request_id stop = Send(m_Channel, RequestText("STOP"));
  std::vector<vxhost::ReceivedMessage> messages = ExpectPromptClose();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].request_id, stop);
  EXPECT_EQ(messages[0].status_code, 200);
  EXPECT_NE(Record("vexora-ch1-1.json").find("\"completion-cause\": \"cancelled\""),
            std::string::npos);
}

TEST_F(CloseTest, ChannelReopenedAfterAPausedCloseSpeaksAgain) {
  Start();
  Send(m_Channel, SpeakText(std::string(500, 'p'), "text/plain"));
  ASSERT_EQ(Next(m_Channel).request_state, MRCP_REQUEST_STATE_INPROGRESS);
  Send(m_Channel, RequestText("PAUSE"));
  ASSERT_EQ(Next(m_Channel).status_code, 200);
  ExpectPromptClose();
  bool status = false;
  ASSERT_TRUE(m_Kit->OpenChannel(m_Channel, 5s, &status));
  ASSERT_TRUE(status);
  m_Channel->ClearAudio();
  // The pause went with the closed SPEAK.
  SpeakToCompletion(m_Channel, "again");
  EXPECT_EQ(m_Channel->AudioBytes(), 5u * 320u);
}

}  // namespace
}  // namespace vxtest
