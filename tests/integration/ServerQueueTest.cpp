// The host kit as a server in front of the module (HostKit::Options::
// server_queue): the synthesizer state machine of RFC 6787 seen by a
// client, with the module behind it seeing one SPEAK at a time.
#include <algorithm>

#include "ModuleFixture.h"

namespace vxtest {
namespace {

constexpr size_t kFrame = 320;  // bytes of 20 ms at 8 kHz

class ServerQueueTest : public ModuleFixture {
 protected:
  void SetUp() override {
    ModuleFixture::SetUp();
    ASSERT_NO_FATAL_FAILURE(StartServer());
    WriteConfig();
    vxhost::HostKit::Options options;
    options.server_queue = true;
    options.realtime = true;  // prompts play for their length, so a STOP finds them playing
    ASSERT_NO_FATAL_FAILURE(StartEngine(true, options));
    m_Channel = OpenChannel("queue");
    ASSERT_NE(m_Channel, nullptr);
  }

  // Sends a SPEAK of `bytes` bytes (as many 20 ms frames of the test voice).
  mrcp_request_id Speak(size_t bytes, char fill = 'a') {
    return Send(m_Channel, SpeakText(std::string(bytes, fill), "text/plain"));
  }

  void ExpectResponse(mrcp_request_id id, mrcp_request_state_e state) {
    const vxhost::ReceivedMessage response = Next(m_Channel);
    EXPECT_EQ(response.type, MRCP_MESSAGE_TYPE_RESPONSE) << response.text;
    EXPECT_EQ(response.request_id, id) << response.text;
    EXPECT_EQ(response.status_code, 200) << response.text;
    EXPECT_EQ(response.request_state, state) << response.text;
  }

  void ExpectComplete(mrcp_request_id id, int cause = 0) {
    const vxhost::ReceivedMessage event = Next(m_Channel, 30s);
    EXPECT_EQ(event.method_name, "SPEAK-COMPLETE") << event.text;
    EXPECT_EQ(event.request_id, id) << event.text;
    EXPECT_EQ(event.completion_cause, cause) << event.text;
  }

  vxhost::Channel* m_Channel = nullptr;
};

TEST_F(ServerQueueTest, ThreeSpeaksArePendingThenEachPlaysWholeInOrder) {
  const mrcp_request_id first = Speak(10, 'a');
  ExpectResponse(first, MRCP_REQUEST_STATE_INPROGRESS);
  const mrcp_request_id second = Speak(7, 'b');
  ExpectResponse(second, MRCP_REQUEST_STATE_PENDING);
  const mrcp_request_id third = Speak(5, 'c');
  ExpectResponse(third, MRCP_REQUEST_STATE_PENDING);
  ExpectComplete(first);
  ExpectComplete(second);
  ExpectComplete(third);
  // No second response for a queued SPEAK once it plays, and nothing else.
  EXPECT_TRUE(m_Channel->ExpectNoMessage(300ms));
  // The module played each one to its end: none replaced another.
  EXPECT_EQ(m_Channel->AudioBytes(), (10 + 7 + 5) * kFrame);
  EXPECT_EQ(m_Log->Count("Previous Synth Context"), 0u);
}

TEST_F(ServerQueueTest, StopWithoutListStopsTheActiveAndThePendingAndListsBoth) {
  const mrcp_request_id first = Speak(200);
  ExpectResponse(first, MRCP_REQUEST_STATE_INPROGRESS);
  const mrcp_request_id second = Speak(200);
  ExpectResponse(second, MRCP_REQUEST_STATE_PENDING);
  ASSERT_TRUE(m_Channel->WaitAudioBytes(5 * kFrame, 5s));
  const mrcp_request_id stop = Send(m_Channel, RequestText("STOP"));
  const vxhost::ReceivedMessage response = Next(m_Channel);
  EXPECT_EQ(response.request_id, stop) << response.text;
  EXPECT_EQ(response.status_code, 200);
  EXPECT_EQ(response.active_request_id_list, std::to_string(first) + "," + std::to_string(second))
      << response.text;
  EXPECT_NE(response.text.find("Active-Request-Id-List: " + std::to_string(first) + "," +
                               std::to_string(second) + "\r\n"),
            std::string::npos)
      << response.text;
  // Neither stopped SPEAK completes, and the queued one never plays.
  EXPECT_TRUE(m_Channel->ExpectNoMessage(1s));
  EXPECT_LT(m_Channel->AudioBytes(), 200 * kFrame);

  // The channel is idle again: a new SPEAK plays at once.
  const mrcp_request_id third = Speak(3);
  ExpectResponse(third, MRCP_REQUEST_STATE_INPROGRESS);
  ExpectComplete(third);
}

TEST_F(ServerQueueTest, StopNamingOnlyThePendingOneLeavesTheActivePlaying) {
  const mrcp_request_id first = Speak(15, 'a');
  ExpectResponse(first, MRCP_REQUEST_STATE_INPROGRESS);
  const mrcp_request_id second = Speak(100, 'b');
  ExpectResponse(second, MRCP_REQUEST_STATE_PENDING);
  const mrcp_request_id third = Speak(4, 'c');
  ExpectResponse(third, MRCP_REQUEST_STATE_PENDING);
  const mrcp_request_id stop =
      Send(m_Channel, RequestText("STOP", {"Active-Request-Id-List: " + std::to_string(second)}));
  const vxhost::ReceivedMessage response = Next(m_Channel);
  EXPECT_EQ(response.request_id, stop);
  EXPECT_EQ(response.active_request_id_list, std::to_string(second)) << response.text;
  // The active one plays to its end, then the one still queued.
  ExpectComplete(first);
  ExpectComplete(third);
  EXPECT_TRUE(m_Channel->ExpectNoMessage(300ms));
  EXPECT_EQ(m_Channel->AudioBytes(), (15 + 4) * kFrame);
}

TEST_F(ServerQueueTest, StopNamingTheActiveOneStartsTheNextPending) {
  const mrcp_request_id first = Speak(200, 'a');
  ExpectResponse(first, MRCP_REQUEST_STATE_INPROGRESS);
  const mrcp_request_id second = Speak(6, 'b');
  ExpectResponse(second, MRCP_REQUEST_STATE_PENDING);
  ASSERT_TRUE(m_Channel->WaitAudioBytes(3 * kFrame, 5s));
  const mrcp_request_id stop =
      Send(m_Channel, RequestText("STOP", {"Active-Request-Id-List: " + std::to_string(first)}));
  const vxhost::ReceivedMessage response = Next(m_Channel);
  EXPECT_EQ(response.request_id, stop);
  EXPECT_EQ(response.active_request_id_list, std::to_string(first)) << response.text;
  const size_t stopped_at = m_Channel->AudioBytes();
  ExpectComplete(second);
  EXPECT_EQ(m_Channel->AudioBytes() - stopped_at, 6 * kFrame);
}

TEST_F(ServerQueueTest, StopNamingNothingKnownIsAnsweredWithoutAList) {
  const mrcp_request_id first = Speak(8);
  ExpectResponse(first, MRCP_REQUEST_STATE_INPROGRESS);
  const mrcp_request_id stop =
      Send(m_Channel, RequestText("STOP", {"Active-Request-Id-List: 9999"}));
  const vxhost::ReceivedMessage response = Next(m_Channel);
  EXPECT_EQ(response.request_id, stop);
  EXPECT_EQ(response.status_code, 200);
  EXPECT_TRUE(response.active_request_id_list.empty()) << response.text;
  ExpectComplete(first);
}

TEST_F(ServerQueueTest, BargeInStopsTheActiveAndFlushesTheQueue) {
  const mrcp_request_id first = Speak(200);
  ExpectResponse(first, MRCP_REQUEST_STATE_INPROGRESS);
  const mrcp_request_id second = Speak(50);
  ExpectResponse(second, MRCP_REQUEST_STATE_PENDING);
  ASSERT_TRUE(m_Channel->WaitAudioBytes(2 * kFrame, 5s));
  const mrcp_request_id barge = Send(m_Channel, RequestText("BARGE-IN-OCCURRED"));
  const vxhost::ReceivedMessage response = Next(m_Channel);
  EXPECT_EQ(response.request_id, barge);
  EXPECT_EQ(response.active_request_id_list, std::to_string(first) + "," + std::to_string(second))
      << response.text;
  EXPECT_TRUE(m_Channel->ExpectNoMessage(1s));
}

// A barge-in on a prompt that may not be barged in on (its own header, or
// the channel's SET-PARAMS) leaves it playing: the kit must neither list it
// as stopped nor hand the next queued SPEAK to the module while it plays.
TEST_F(ServerQueueTest, BargeInLeavesAPromptThatMayNotBeInterruptedAndItsQueue) {
  for (bool by_set_params : {false, true}) {
    SCOPED_TRACE(by_set_params ? "SET-PARAMS" : "own header");
    std::vector<std::string> headers;
    if (by_set_params) {
      Send(m_Channel, RequestText("SET-PARAMS", {"Kill-On-Barge-In: false"}));
      EXPECT_EQ(Next(m_Channel).status_code, 200);
    } else {
      headers.push_back("Kill-On-Barge-In: false");
    }
    m_Channel->ClearAudio();
    const mrcp_request_id first =
        Send(m_Channel, SpeakText(std::string(40, 'a'), "text/plain", headers));
    ExpectResponse(first, MRCP_REQUEST_STATE_INPROGRESS);
    const mrcp_request_id second =
        Send(m_Channel, SpeakText(std::string(10, 'b'), "text/plain", headers));
    ExpectResponse(second, MRCP_REQUEST_STATE_PENDING);
    ASSERT_TRUE(m_Channel->WaitAudioBytes(5 * kFrame, 5s));
    const mrcp_request_id barge = Send(m_Channel, RequestText("BARGE-IN-OCCURRED"));
    const vxhost::ReceivedMessage response = Next(m_Channel);
    EXPECT_EQ(response.request_id, barge);
    EXPECT_EQ(response.active_request_id_list, "") << response.text;
    ExpectComplete(first);
    ExpectComplete(second);
    EXPECT_EQ(m_Channel->AudioBytes(), 50 * kFrame);
    EXPECT_EQ(m_Log->Count("Previous Synth Context"), 0u);
  }
}

TEST_F(ServerQueueTest, QueuedSpeakTheModuleRefusesEndsWithSpeakComplete) {
  const mrcp_request_id first = Speak(6);
  ExpectResponse(first, MRCP_REQUEST_STATE_INPROGRESS);
  // No body: the module refuses it once it is handed over, after the first.
  const mrcp_request_id second = Send(m_Channel, SpeakText("", "text/plain"));
  ExpectResponse(second, MRCP_REQUEST_STATE_PENDING);
  const mrcp_request_id third = Speak(4);
  ExpectResponse(third, MRCP_REQUEST_STATE_PENDING);
  ExpectComplete(first);
  const vxhost::ReceivedMessage refused = Next(m_Channel);
  EXPECT_EQ(refused.method_name, "SPEAK-COMPLETE") << refused.text;
  EXPECT_EQ(refused.request_id, second);
  EXPECT_NE(refused.completion_cause, 0) << refused.text;
  // The queue goes on after a refusal.
  ExpectComplete(third);
}

TEST_F(ServerQueueTest, ClosingTheChannelDropsItsQueue) {
  const mrcp_request_id first = Speak(10);
  ExpectResponse(first, MRCP_REQUEST_STATE_INPROGRESS);
  const mrcp_request_id second = Speak(300);
  ExpectResponse(second, MRCP_REQUEST_STATE_PENDING);
  ASSERT_TRUE(m_Kit->CloseChannel(m_Channel, 10s));
  // The one playing ends (the module lets it play out); the queued one
  // never reached the module.
  vxhost::ReceivedMessage message;
  while (m_Channel->WaitMessage(&message, 0ms)) EXPECT_NE(message.request_id, second);
  EXPECT_LE(m_Channel->AudioBytes(), 10 * kFrame);
}

TEST_F(ServerQueueTest, PausedSpeakKeepsLaterOnesPendingUntilItEnds) {
  const mrcp_request_id first = Speak(20, 'a');
  ExpectResponse(first, MRCP_REQUEST_STATE_INPROGRESS);
  ASSERT_TRUE(m_Channel->WaitAudioBytes(2 * kFrame, 5s));
  const mrcp_request_id pause = Send(m_Channel, RequestText("PAUSE"));
  ExpectResponse(pause, MRCP_REQUEST_STATE_COMPLETE);
  const mrcp_request_id second = Speak(3, 'b');
  ExpectResponse(second, MRCP_REQUEST_STATE_PENDING);
  EXPECT_TRUE(m_Channel->ExpectNoMessage(300ms));
  const mrcp_request_id resume = Send(m_Channel, RequestText("RESUME"));
  ExpectResponse(resume, MRCP_REQUEST_STATE_COMPLETE);
  ExpectComplete(first);
  ExpectComplete(second);
  EXPECT_EQ(m_Channel->AudioBytes(), (20 + 3) * kFrame);
  // Silence while paused is no underrun.
  EXPECT_EQ(m_Channel->Underruns(), 0u);
}

TEST_F(ServerQueueTest, StoppingAPausedSpeakLeavesTheNextOnePaused) {
  const mrcp_request_id first = Speak(200, 'a');
  ExpectResponse(first, MRCP_REQUEST_STATE_INPROGRESS);
  ASSERT_TRUE(m_Channel->WaitAudioBytes(2 * kFrame, 5s));
  const mrcp_request_id pause = Send(m_Channel, RequestText("PAUSE"));
  ExpectResponse(pause, MRCP_REQUEST_STATE_COMPLETE);
  const mrcp_request_id second = Speak(5, 'b');
  ExpectResponse(second, MRCP_REQUEST_STATE_PENDING);
  const mrcp_request_id stop =
      Send(m_Channel, RequestText("STOP", {"Active-Request-Id-List: " + std::to_string(first)}));
  const vxhost::ReceivedMessage response = Next(m_Channel);
  EXPECT_EQ(response.request_id, stop);
  EXPECT_EQ(response.active_request_id_list, std::to_string(first)) << response.text;
  // The next SPEAK is the active one now, but paused: it plays nothing
  // until a RESUME, and the host's own PAUSE is not the client's to see.
  const size_t stopped_at = m_Channel->AudioBytes();
  EXPECT_TRUE(m_Channel->ExpectNoMessage(500ms));
  EXPECT_EQ(m_Channel->AudioBytes(), stopped_at);
  const mrcp_request_id resume = Send(m_Channel, RequestText("RESUME"));
  ExpectResponse(resume, MRCP_REQUEST_STATE_COMPLETE);
  ExpectComplete(second);
  EXPECT_EQ(m_Channel->AudioBytes() - stopped_at, 5 * kFrame);
}

}  // namespace
}  // namespace vxtest
