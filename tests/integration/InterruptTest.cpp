// What a caller who interrupts a prompt meets: STOP and BARGE-IN-OCCURRED
// answered without waiting for a slow service, the stopped request named in
// Active-Request-Id-List, prompts that may not be barged in on, and STOPs
// that name the requests they are for.
#include "ModuleFixture.h"

namespace vxtest {
namespace {

constexpr size_t kFrame8k = 320;  // bytes of a 20 ms frame at 8 kHz
// Every call of the service takes this long in the tests of a slow service;
// an answer that waited for the call would come after it.
constexpr auto kSlowService = std::chrono::milliseconds(2500);
constexpr auto kWellBeforeTheService = std::chrono::milliseconds(1200);

class InterruptTest : public ModuleFixture {
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

  // The Active-Request-Id-List of a message, "" when it has none.
  static std::string ActiveList(const vxhost::ReceivedMessage& message) {
    return message.active_request_id_list;
  }

  // Starts a SPEAK of two seconds of tone voice audio that is playing.
  mrcp_request_id StartPlaying(const std::vector<std::string>& headers = {}) {
    mrcp_request_id id = Send(m_Channel, SpeakText(std::string(100, 'a'), "text/plain", headers));
    EXPECT_EQ(Next(m_Channel).request_state, MRCP_REQUEST_STATE_INPROGRESS);
    EXPECT_TRUE(m_Channel->WaitAudioBytes(3 * kFrame8k, 5s));
    return id;
  }

  vxhost::Channel* m_Channel = nullptr;
};

// A STOP while the first call is in flight used to wait for the call: the
// caller who interrupted heard silence and the client waited as long as the
// service took.
TEST_F(InterruptTest, StopBeforeTheFirstAudioIsAnsweredWithoutWaitingForTheService) {
  Start();
  m_Server->faults().SetDelay(kSlowService);
  mrcp_request_id speak = Send(m_Channel, SpeakText("slow start", "text/plain"));
  ASSERT_TRUE(m_Log->WaitFor("Start Async Synth", 2s));
  mrcp_request_id stop = Send(m_Channel, RequestText("STOP"));
  vxhost::ReceivedMessage first = Next(m_Channel, kWellBeforeTheService);
  EXPECT_EQ(first.request_id, speak);
  EXPECT_EQ(first.request_state, MRCP_REQUEST_STATE_INPROGRESS);
  vxhost::ReceivedMessage second = Next(m_Channel, kWellBeforeTheService);
  EXPECT_EQ(second.request_id, stop);
  EXPECT_EQ(second.status_code, 200);
  EXPECT_EQ(ActiveList(second), std::to_string(speak));
  EXPECT_TRUE(m_Channel->ExpectNoMessage(300ms));
  EXPECT_EQ(m_Channel->AudioBytes(), 0u);
  // The cancelled call is not taken for a failure, and the channel is free
  // for the next SPEAK at once.
  EXPECT_EQ(m_Log->Count("gRPC Status: CANCELLED"), 1u);
  EXPECT_NE(ReadFile(m_Root / "var" / "records" / "vexora-ch1-1.json").find("\"cancelled\""),
            std::string::npos);
  m_Server->faults().SetDelay(0ms);
  SpeakToCompletion(m_Channel, "next");
}

TEST_F(InterruptTest, BargeInWhileALaterPartIsInSynthesisIsAnsweredWithoutWaiting) {
  Start("bypass-ssml=\"false\"");
  m_Server->faults().SetDelay(300ms);
  std::string ssml =
      "<speak version=\"1.0\"><voice name=\"vx-test-tone\">aa</voice>"
      "<voice name=\"vx-test-tone\">second segment</voice></speak>";
  mrcp_request_id speak = Send(m_Channel, SpeakText(ssml, "application/ssml+xml"));
  EXPECT_EQ(Next(m_Channel, 5s).request_state, MRCP_REQUEST_STATE_INPROGRESS);
  m_Server->faults().SetDelay(kSlowService);
  ASSERT_TRUE(m_Log->WaitForCount("Start Async Synth", 2, 2s));
  mrcp_request_id barge = Send(m_Channel, RequestText("BARGE-IN-OCCURRED"));
  vxhost::ReceivedMessage response = Next(m_Channel, kWellBeforeTheService);
  EXPECT_EQ(response.request_id, barge);
  EXPECT_EQ(response.status_code, 200);
  EXPECT_EQ(ActiveList(response), std::to_string(speak));
  EXPECT_TRUE(m_Channel->ExpectNoMessage(300ms));
}

// The same with the SPEAK paused and with the channel closing behind the
// STOP: each is answered once, the STOP first.
TEST_F(InterruptTest, StopWhilePausedWithACallInFlightIsAnsweredWithoutWaiting) {
  Start();
  m_Server->faults().SetDelay(kSlowService);
  mrcp_request_id speak = Send(m_Channel, SpeakText("paused", "text/plain"));
  ASSERT_TRUE(m_Log->WaitFor("Start Async Synth", 2s));
  Send(m_Channel, RequestText("PAUSE"));
  EXPECT_EQ(Next(m_Channel).method_name, "PAUSE");
  mrcp_request_id stop = Send(m_Channel, RequestText("STOP"));
  EXPECT_EQ(Next(m_Channel, kWellBeforeTheService).request_id, speak);
  vxhost::ReceivedMessage response = Next(m_Channel, kWellBeforeTheService);
  EXPECT_EQ(response.request_id, stop);
  EXPECT_EQ(ActiveList(response), std::to_string(speak));
}

TEST_F(InterruptTest, StopThenCloseWithACallInFlightAnswersBothPromptly) {
  Start();
  m_Server->faults().SetDelay(kSlowService);
  mrcp_request_id speak = Send(m_Channel, SpeakText("closing", "text/plain"));
  ASSERT_TRUE(m_Log->WaitFor("Start Async Synth", 2s));
  mrcp_request_id stop = Send(m_Channel, RequestText("STOP"));
  ASSERT_TRUE(m_Kit->CloseChannel(m_Channel, kWellBeforeTheService));
  std::vector<mrcp_request_id> answered;
  vxhost::ReceivedMessage message;
  while (m_Channel->WaitMessage(&message, 0ms)) answered.push_back(message.request_id);
  EXPECT_EQ(answered, (std::vector<mrcp_request_id>{speak, stop}));
}

TEST_F(InterruptTest, OnlyTheStopThatEndedTheSpeakNamesIt) {
  Start();
  vxhost::ReceivedMessage idle = (Send(m_Channel, RequestText("STOP")), Next(m_Channel));
  EXPECT_EQ(idle.status_code, 200);
  EXPECT_EQ(ActiveList(idle), "") << idle.text;

  m_Server->faults().SetDelay(500ms);
  mrcp_request_id speak = Send(m_Channel, SpeakText("twice stopped", "text/plain"));
  ASSERT_TRUE(m_Log->WaitFor("Start Async Synth", 2s));
  mrcp_request_id first = Send(m_Channel, RequestText("STOP"));
  mrcp_request_id second = Send(m_Channel, RequestText("STOP"));
  EXPECT_EQ(Next(m_Channel).request_id, speak);
  vxhost::ReceivedMessage one = Next(m_Channel);
  vxhost::ReceivedMessage two = Next(m_Channel);
  EXPECT_EQ(one.request_id, first);
  EXPECT_EQ(ActiveList(one), std::to_string(speak));
  EXPECT_EQ(two.request_id, second);
  EXPECT_EQ(ActiveList(two), "") << two.text;
}

// A prompt that the caller may not interrupt (a legal notice) plays on
// through barge-in; a STOP still ends it.
TEST_F(InterruptTest, KillOnBargeInFalseKeepsThePromptPlayingThroughBargeIn) {
  Start();
  mrcp_request_id speak = StartPlaying({"Kill-On-Barge-In: false"});
  mrcp_request_id barge = Send(m_Channel, RequestText("BARGE-IN-OCCURRED"));
  vxhost::ReceivedMessage response = Next(m_Channel);
  EXPECT_EQ(response.request_id, barge);
  EXPECT_EQ(response.status_code, 200);
  EXPECT_EQ(ActiveList(response), "") << response.text;
  vxhost::ReceivedMessage complete = Next(m_Channel, 5s);
  EXPECT_EQ(complete.method_name, "SPEAK-COMPLETE");
  EXPECT_EQ(complete.request_id, speak);
  EXPECT_EQ(complete.completion_cause, 0);
  EXPECT_TRUE(m_Channel->WaitAudioBytes(100 * kFrame8k, 2s));

  speak = StartPlaying({"Kill-On-Barge-In: false"});
  mrcp_request_id stop = Send(m_Channel, RequestText("STOP"));
  response = Next(m_Channel);
  EXPECT_EQ(response.request_id, stop);
  EXPECT_EQ(ActiveList(response), std::to_string(speak));
  EXPECT_TRUE(m_Channel->ExpectNoMessage(300ms));
}

TEST_F(InterruptTest, KillOnBargeInTrueOrAbsentLetsTheCallerInterrupt) {
  Start();
  for (const std::vector<std::string>& headers :
       {std::vector<std::string>{"Kill-On-Barge-In: true"}, std::vector<std::string>{}}) {
    m_Channel->ClearAudio();
    mrcp_request_id speak = StartPlaying(headers);
    mrcp_request_id barge = Send(m_Channel, RequestText("BARGE-IN-OCCURRED"));
    vxhost::ReceivedMessage response = Next(m_Channel);
    EXPECT_EQ(response.request_id, barge);
    EXPECT_EQ(ActiveList(response), std::to_string(speak));
    EXPECT_TRUE(m_Channel->ExpectNoMessage(300ms));
    EXPECT_LT(m_Channel->AudioBytes(), 100 * kFrame8k);
  }
}

// A SPEAK that may not be barged in on keeps that for itself only: the
// next SPEAK, without the header, can be interrupted again.
TEST_F(InterruptTest, KillOnBargeInBelongsToItsOwnSpeak) {
  Start();
  StartPlaying({"Kill-On-Barge-In: false"});
  EXPECT_EQ(Next(m_Channel, 5s).method_name, "SPEAK-COMPLETE");
  mrcp_request_id speak = StartPlaying();
  Send(m_Channel, RequestText("BARGE-IN-OCCURRED"));
  EXPECT_EQ(ActiveList(Next(m_Channel)), std::to_string(speak));
}

// SET-PARAMS makes it the channel's default; a SPEAK's own header wins.
TEST_F(InterruptTest, KillOnBargeInSetForTheChannelHoldsForItsLaterSpeaks) {
  Start();
  Send(m_Channel, RequestText("SET-PARAMS", {"Kill-On-Barge-In: false"}));
  EXPECT_EQ(Next(m_Channel).status_code, 200);
  StartPlaying();
  Send(m_Channel, RequestText("BARGE-IN-OCCURRED"));
  EXPECT_EQ(ActiveList(Next(m_Channel)), "");
  EXPECT_EQ(Next(m_Channel, 5s).method_name, "SPEAK-COMPLETE");
  mrcp_request_id speak = StartPlaying({"Kill-On-Barge-In: true"});
  Send(m_Channel, RequestText("BARGE-IN-OCCURRED"));
  EXPECT_EQ(ActiveList(Next(m_Channel)), std::to_string(speak));
}

TEST_F(InterruptTest, StopNamingAnotherRequestLeavesThePromptPlaying) {
  Start();
  mrcp_request_id speak = StartPlaying();
  mrcp_request_id stop = Send(
      m_Channel, RequestText("STOP", {"Active-Request-Id-List: " + std::to_string(speak + 100)}));
  vxhost::ReceivedMessage response = Next(m_Channel);
  EXPECT_EQ(response.request_id, stop);
  EXPECT_EQ(response.status_code, 200);
  EXPECT_EQ(ActiveList(response), "") << response.text;

  stop = Send(m_Channel,
              RequestText("STOP", {"Active-Request-Id-List: " + std::to_string(speak + 100) +
                                      ", " + std::to_string(speak)}));
  response = Next(m_Channel);
  EXPECT_EQ(response.request_id, stop);
  EXPECT_EQ(ActiveList(response), std::to_string(speak));
  EXPECT_TRUE(m_Channel->ExpectNoMessage(300ms));
  EXPECT_LT(m_Channel->AudioBytes(), 100 * kFrame8k);
}

}  // namespace
}  // namespace vxtest
