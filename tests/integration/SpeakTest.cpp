// A SPEAK from the request to SPEAK-COMPLETE: segments and calls, IN-PROGRESS,
// the audio frames, re-attempts, deadlines, STOP, barge-in, PAUSE and
// RESUME, close during a SPEAK, and the statuses of refused requests.
#include "ModuleFixture.h"

namespace vxtest {
namespace {

constexpr size_t kFrame8k = 320;  // bytes of a 20 ms frame at 8 kHz

class SpeakTest : public ModuleFixture {
 protected:
  void SetUp() override {
    ModuleFixture::SetUp();
    StartServer();
  }

  void Start(const std::string& synth_attributes = "", const std::string& elements = "") {
    WriteConfig(synth_attributes, elements);
    StartEngine();
    m_Channel = OpenChannel("ch1");
  }

  // The audio the test voice gives for a text: 20 ms of tone per byte.
  static size_t ToneBytes(const std::string& text, size_t rate = 8000) {
    return text.size() * rate / 50 * 2;
  }

  vxhost::Channel* m_Channel = nullptr;
};

TEST_F(SpeakTest, PlainTextRunsToCompletionWithTheAudioOfTheReply) {
  Start();
  SpeakToCompletion(m_Channel, "Hello there");
  EXPECT_EQ(m_Channel->AudioBytes(), ToneBytes("Hello there"));
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 1u);
  auto requests = m_Server->calls().Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].input().text(), "Hello there");
  EXPECT_EQ(requests[0].voice().language_code(), "en-US");
  EXPECT_EQ(requests[0].voice().name(), kTestVoice);
  EXPECT_EQ(requests[0].audio_config().audio_encoding(),
            google::cloud::texttospeech::v1::LINEAR16);
  EXPECT_EQ(requests[0].audio_config().sample_rate_hertz(), 8000);
  EXPECT_TRUE(m_Log->WaitFor("Speech Complete <ch1@vxs>", 1s));
}

TEST_F(SpeakTest, SixteenKilohertzChannelAsksForItsOwnRate) {
  WriteConfig();
  StartEngine();
  vxhost::Channel* channel = OpenChannel("wide", 16000);
  SpeakToCompletion(channel, "wide band");
  EXPECT_EQ(channel->AudioBytes(), ToneBytes("wide band", 16000));
  EXPECT_EQ(m_Server->calls().Requests().at(0).audio_config().sample_rate_hertz(), 16000);
}

TEST_F(SpeakTest, ThreeVoicesMakeThreeCallsInOrderPlayedBackToBack) {
  Start("bypass-ssml=\"false\"");
  std::string ssml =
      "<speak xmlns=\"http://www.w3.org/2001/10/synthesis\" version=\"1.0\" xml:lang=\"en-US\">"
      "<voice name=\"vx-test-tone\">one</voice><voice name=\"vx-test-tone\">second</voice>"
      "<voice name=\"vx-test-tone\">third one</voice></speak>";
  mrcp_request_id id = Send(m_Channel, SpeakText(ssml, "application/ssml+xml"));
  vxhost::ReceivedMessage response = Next(m_Channel);
  EXPECT_EQ(response.request_id, id);
  EXPECT_EQ(response.request_state, MRCP_REQUEST_STATE_INPROGRESS);
  vxhost::ReceivedMessage complete = Next(m_Channel, 30s);
  EXPECT_EQ(complete.method_name, "SPEAK-COMPLETE");
  EXPECT_EQ(complete.completion_cause, 0);

  auto requests = m_Server->calls().Requests();
  ASSERT_EQ(requests.size(), 3u);
  size_t expected = 0;
  for (const auto& request : requests) expected += ToneBytes(request.input().ssml());
  EXPECT_NE(requests[0].input().ssml().find(">one</speak>"), std::string::npos);
  EXPECT_NE(requests[1].input().ssml().find(">second</speak>"), std::string::npos);
  EXPECT_NE(requests[2].input().ssml().find(">third one</speak>"), std::string::npos);
  // Every frame was audio: the three replies back to back, nothing else.
  EXPECT_EQ(m_Channel->AudioBytes(), expected);
}

TEST_F(SpeakTest, IdleFramesAreSilentWhileTheFirstCallIsInFlight) {
  Start();
  m_Server->faults().SetDelay(300ms);
  SpeakToCompletion(m_Channel, "late");
  EXPECT_EQ(m_Channel->AudioBytes(), ToneBytes("late"));
}

TEST_F(SpeakTest, FailingFirstCallIsReattemptedOnce) {
  Start("reattempt=\"true\"");
  m_Server->faults().FailNext(1, grpc::StatusCode::UNAVAILABLE, "scripted failure");
  SpeakToCompletion(m_Channel, "again");
  EXPECT_EQ(m_Log->Count("Reattempt gRPC Request <ch1@vxs>"), 1u);
  EXPECT_EQ(m_Log->Count("gRPC Status: UNAVAILABLE: scripted failure <ch1@vxs>"), 1u);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 2u);
  EXPECT_EQ(m_Channel->AudioBytes(), ToneBytes("again"));
}

// A second try only where it can succeed: a refused input or refused
// credentials fail the same way again.
TEST_F(SpeakTest, OnlyFailuresThatASecondTryCanMendAreReattempted) {
  Start("reattempt=\"true\"");
  const std::vector<std::pair<grpc::StatusCode, bool>> cases = {
      {grpc::StatusCode::INVALID_ARGUMENT, false}, {grpc::StatusCode::UNAUTHENTICATED, false},
      {grpc::StatusCode::PERMISSION_DENIED, false}, {grpc::StatusCode::NOT_FOUND, false},
      {grpc::StatusCode::DEADLINE_EXCEEDED, true},  {grpc::StatusCode::RESOURCE_EXHAUSTED, true},
      {grpc::StatusCode::ABORTED, true},            {grpc::StatusCode::INTERNAL, true},
      {grpc::StatusCode::UNKNOWN, true}};
  size_t calls = 0;
  for (const auto& item : cases) {
    m_Log->Clear();
    m_Server->faults().FailNext(1, item.first, "scripted failure");
    Send(m_Channel, SpeakText("retry", "text/plain"));
    vxhost::ReceivedMessage response = Next(m_Channel);
    if (item.second) {
      EXPECT_EQ(response.request_state, MRCP_REQUEST_STATE_INPROGRESS) << item.first;
      EXPECT_EQ(Next(m_Channel).method_name, "SPEAK-COMPLETE");
      calls += 2;
    } else {
      EXPECT_EQ(response.status_code, 407) << item.first;
      calls += 1;
    }
    EXPECT_EQ(m_Log->Count("Reattempt gRPC Request"), item.second ? 1u : 0u) << item.first;
    EXPECT_EQ(m_Server->calls().SynthesizeCalls(), calls) << item.first;
  }
  EXPECT_EQ(m_Log->Count("gRPC Status: UNKNOWN: scripted failure <ch1@vxs>"), 1u);
}

TEST_F(SpeakTest, FailingFirstCallWithoutReattemptIsAnswered407) {
  Start();
  m_Server->faults().FailNext(1, grpc::StatusCode::INTERNAL, "scripted failure");
  Send(m_Channel, SpeakText("nope", "text/plain"));
  vxhost::ReceivedMessage response = Next(m_Channel);
  EXPECT_EQ(response.status_code, 407);
  EXPECT_EQ(response.completion_cause, 4);
  EXPECT_EQ(response.request_state, MRCP_REQUEST_STATE_COMPLETE);
  EXPECT_TRUE(m_Channel->ExpectNoMessage(300ms));
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 1u);
  // The channel stays usable.
  SpeakToCompletion(m_Channel, "yes");
}

TEST_F(SpeakTest, FailingSecondSegmentEndsTheSpeakAfterTheQueuedAudio) {
  // The second voice is longer than the service accepts: it fails every
  // time (not sent in pieces, which would keep it within the limit).
  Start("bypass-ssml=\"false\" reattempt=\"true\" sentence-split=\"false\"");
  std::string ssml = "<speak version=\"1.0\"><voice name=\"vx-test-tone\">first</voice>"
                     "<voice name=\"vx-test-tone\">" +
                     std::string(5001, 's') + "</voice><voice>third</voice></speak>";
  Send(m_Channel, SpeakText(ssml, "application/ssml+xml"));
  vxhost::ReceivedMessage response = Next(m_Channel);
  EXPECT_EQ(response.request_state, MRCP_REQUEST_STATE_INPROGRESS);
  vxhost::ReceivedMessage complete = Next(m_Channel, 30s);
  EXPECT_EQ(complete.method_name, "SPEAK-COMPLETE");
  EXPECT_EQ(complete.completion_cause, 4);  // error: the rest could not be said
  // No re-attempt for a later segment, and the third is never started.
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 2u);
  EXPECT_EQ(m_Log->Count("Reattempt gRPC Request"), 0u);
  auto requests = m_Server->calls().Requests();
  EXPECT_EQ(m_Channel->AudioBytes(), ToneBytes(requests.at(0).input().ssml()));
}

TEST_F(SpeakTest, EmptyAudioIsAFailureWithoutReattempt) {
  Start("reattempt=\"true\"");
  m_Server->faults().SetEmptyAudio(true);
  Send(m_Channel, SpeakText("empty", "text/plain"));
  EXPECT_EQ(Next(m_Channel).status_code, 407);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 1u);
}

// A reply cut inside its WAVE header used to start the SPEAK with no audio
// at all, and a cut reply for a later part was skipped, so that the parts
// after it played as if it had been said.
TEST_F(SpeakTest, ReplyCutInItsHeaderFailsLikeAnEmptyOne) {
  Start();
  m_Server->faults().SetCutHeader(true);
  Send(m_Channel, SpeakText("cut", "text/plain"));
  vxhost::ReceivedMessage response = Next(m_Channel);
  EXPECT_EQ(response.status_code, 407) << response.text;
  EXPECT_TRUE(m_Log->WaitFor("Unreadable Audio Content [20 bytes]", 1s));
}

TEST_F(SpeakTest, CutReplyForALaterPartEndsTheSpeakAfterTheAudioBeforeIt) {
  Start("bypass-ssml=\"false\" caching=\"true\"");
  auto voice = [](const std::string& text) {
    return "<voice name=\"vx-test-tone\">" + text + "</voice>";
  };
  // The first part is cached, so that only the second and third are calls.
  SpeakToCompletion(m_Channel, "<speak version=\"1.0\">" + voice("first") + "</speak>",
                    "application/ssml+xml");
  const size_t first = m_Channel->AudioBytes();
  m_Channel->ClearAudio();
  m_Server->faults().SetCutHeader(true);
  Send(m_Channel, SpeakText("<speak version=\"1.0\">" + voice("first") + voice("second") +
                                voice("third") + "</speak>",
                            "application/ssml+xml"));
  EXPECT_EQ(Next(m_Channel).request_state, MRCP_REQUEST_STATE_INPROGRESS);
  vxhost::ReceivedMessage complete = Next(m_Channel, 30s);
  EXPECT_EQ(complete.method_name, "SPEAK-COMPLETE");
  EXPECT_EQ(complete.completion_cause, 4);
  EXPECT_TRUE(m_Channel->WaitAudioBytes(first, 2s));
  EXPECT_EQ(m_Channel->AudioBytes(), first);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 2u);
}

TEST_F(SpeakTest, ReplyWithExtraChunksPlaysOnlyTheAudio) {
  Start();
  m_Server->faults().SetExtraChunks(true);
  SpeakToCompletion(m_Channel, "chunky");
  EXPECT_EQ(m_Channel->AudioBytes(), ToneBytes("chunky"));
}

TEST_F(SpeakTest, NoDeadlineByDefaultAndAShortDeadlineExpires) {
  Start("deadline=\"300\"");
  m_Server->faults().SetDelay(2000ms);
  auto started = std::chrono::steady_clock::now();
  Send(m_Channel, SpeakText("too slow", "text/plain"));
  vxhost::ReceivedMessage response = Next(m_Channel);
  EXPECT_EQ(response.status_code, 407);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 1900ms);
  EXPECT_EQ(m_Log->Count("Set Deadline [300 ms] <ch1@vxs>"), 1u);
  EXPECT_EQ(m_Log->Count("Deadline Exceeded"), 1u);
}

TEST_F(SpeakTest, DeadlineZeroSetsNone) {
  Start("deadline=\"0\"");
  m_Server->faults().SetDelay(500ms);
  SpeakToCompletion(m_Channel, "patient");
  EXPECT_EQ(m_Log->Count("Set Deadline"), 0u);
}

TEST_F(SpeakTest, StopDuringPlaybackAnswersTheStopAndSendsNoComplete) {
  vxhost::HostKit::Options options;
  options.realtime = true;
  WriteConfig();
  StartEngine(true, options);
  m_Channel = OpenChannel("ch1");
  Send(m_Channel, SpeakText(std::string(100, 'a'), "text/plain"));  // two seconds
  EXPECT_EQ(Next(m_Channel).request_state, MRCP_REQUEST_STATE_INPROGRESS);
  ASSERT_TRUE(m_Channel->WaitAudioBytes(5 * kFrame8k, 5s));
  mrcp_request_id stop = Send(m_Channel, RequestText("STOP"));
  vxhost::ReceivedMessage response = Next(m_Channel);
  EXPECT_EQ(response.request_id, stop);
  EXPECT_EQ(response.status_code, 200);
  EXPECT_TRUE(m_Log->WaitFor("Stop Complete <ch1@vxs>", 1s));
  EXPECT_TRUE(m_Channel->ExpectNoMessage(300ms));
  EXPECT_LT(m_Channel->AudioBytes(), ToneBytes(std::string(100, 'a')));
  SpeakToCompletion(m_Channel, "after");
}

TEST_F(SpeakTest, BargeInStopsLikeStop) {
  vxhost::HostKit::Options options;
  options.realtime = true;
  WriteConfig();
  StartEngine(true, options);
  m_Channel = OpenChannel("ch1");
  Send(m_Channel, SpeakText(std::string(100, 'b'), "text/plain"));
  EXPECT_EQ(Next(m_Channel).request_state, MRCP_REQUEST_STATE_INPROGRESS);
  mrcp_request_id barge = Send(m_Channel, RequestText("BARGE-IN-OCCURRED"));
  vxhost::ReceivedMessage response = Next(m_Channel);
  EXPECT_EQ(response.request_id, barge);
  EXPECT_EQ(response.status_code, 200);
  EXPECT_TRUE(m_Channel->ExpectNoMessage(300ms));
}

// A STOP that arrives while a call is in flight used to stay unanswered for
// ever once the media thread had reported it; it is answered once the
// cancelled call is back.
TEST_F(SpeakTest, StopWhileTheSecondSegmentIsInSynthesisIsAnsweredOnceTheCallEnds) {
  vxhost::HostKit::Options options;
  options.realtime = true;
  WriteConfig("bypass-ssml=\"false\"");
  StartEngine(true, options);
  m_Channel = OpenChannel("ch1");
  std::string ssml =
      "<speak version=\"1.0\"><voice name=\"vx-test-tone\">aa</voice>"
      "<voice name=\"vx-test-tone\">second segment</voice></speak>";
  // Every call is slow, so the second is still in flight when the STOP comes.
  m_Server->faults().SetDelay(800ms);
  Send(m_Channel, SpeakText(ssml, "application/ssml+xml"));
  EXPECT_EQ(Next(m_Channel, 5s).request_state, MRCP_REQUEST_STATE_INPROGRESS);
  ASSERT_TRUE(m_Log->WaitForCount("Start Async Synth", 2, 2s));
  mrcp_request_id stop = Send(m_Channel, RequestText("STOP"));
  vxhost::ReceivedMessage response = Next(m_Channel, 5s);
  EXPECT_EQ(response.request_id, stop);
  EXPECT_EQ(response.status_code, 200);
  EXPECT_TRUE(m_Channel->ExpectNoMessage(300ms));
  EXPECT_EQ(m_Log->Count("Start Async Synth"), 2u);
}

TEST_F(SpeakTest, StopBeforeTheFirstAudioAnswersTheSpeakBeforeTheStop) {
  Start();
  m_Server->faults().SetDelay(500ms);
  mrcp_request_id speak = Send(m_Channel, SpeakText("slow start", "text/plain"));
  ASSERT_TRUE(m_Log->WaitFor("Start Async Synth", 2s));
  mrcp_request_id stop = Send(m_Channel, RequestText("STOP"));
  vxhost::ReceivedMessage first = Next(m_Channel, 5s);
  EXPECT_EQ(first.request_id, speak);
  EXPECT_EQ(first.request_state, MRCP_REQUEST_STATE_INPROGRESS);
  vxhost::ReceivedMessage second = Next(m_Channel, 5s);
  EXPECT_EQ(second.request_id, stop);
  EXPECT_EQ(second.status_code, 200);
  EXPECT_TRUE(m_Channel->ExpectNoMessage(300ms));
}

// A second STOP while the first is held used to replace it, so that the
// first was never answered; later it was answered at once, before the SPEAK
// it came behind had even started (and that SPEAK then started). Both are
// answered, in order, after the SPEAK's own answer.
TEST_F(SpeakTest, SecondStopWhileOneIsHeldIsAnsweredAfterTheFirst) {
  Start();
  m_Server->faults().SetDelay(500ms);
  mrcp_request_id speak = Send(m_Channel, SpeakText("slow start", "text/plain"));
  ASSERT_TRUE(m_Log->WaitFor("Start Async Synth", 2s));
  mrcp_request_id first = Send(m_Channel, RequestText("STOP"));
  mrcp_request_id second = Send(m_Channel, RequestText("BARGE-IN-OCCURRED"));
  mrcp_request_id third = Send(m_Channel, RequestText("STOP"));
  vxhost::ReceivedMessage message = Next(m_Channel, 5s);
  EXPECT_EQ(message.request_id, speak);
  EXPECT_EQ(message.request_state, MRCP_REQUEST_STATE_INPROGRESS);
  for (mrcp_request_id stop : {first, second, third}) {
    message = Next(m_Channel, 5s);
    EXPECT_EQ(message.request_id, stop) << message.text;
    EXPECT_EQ(message.status_code, 200);
  }
  EXPECT_TRUE(m_Channel->ExpectNoMessage(300ms));
}

// The same while paused and with the channel closing under the held STOPs:
// every one is answered before the close.
TEST_F(SpeakTest, StopsHeldWhenTheChannelClosesAreAllAnswered) {
  Start();
  m_Server->faults().SetDelay(800ms);
  Send(m_Channel, SpeakText("closing", "text/plain"));
  ASSERT_TRUE(m_Log->WaitFor("Start Async Synth", 2s));
  Send(m_Channel, RequestText("PAUSE"));
  mrcp_request_id first = Send(m_Channel, RequestText("STOP"));
  mrcp_request_id second = Send(m_Channel, RequestText("STOP"));
  EXPECT_EQ(Next(m_Channel).method_name, "PAUSE");
  ASSERT_TRUE(m_Kit->CloseChannel(m_Channel, 5s));
  std::vector<mrcp_request_id> answered;
  vxhost::ReceivedMessage message;
  while (m_Channel->WaitMessage(&message, 0ms)) {
    if (message.method_name == "STOP") answered.push_back(message.request_id);
  }
  EXPECT_EQ(answered, (std::vector<mrcp_request_id>{first, second}));
}

TEST_F(SpeakTest, PauseFreezesPlaybackAndResumeContinuesAtTheSameByte) {
  vxhost::HostKit::Options options;
  options.realtime = true;
  WriteConfig();
  StartEngine(true, options);
  m_Channel = OpenChannel("ch1");
  std::string text(60, 'p');
  Send(m_Channel, SpeakText(text, "text/plain"));
  EXPECT_EQ(Next(m_Channel).request_state, MRCP_REQUEST_STATE_INPROGRESS);
  ASSERT_TRUE(m_Channel->WaitAudioBytes(10 * kFrame8k, 5s));
  Send(m_Channel, RequestText("PAUSE"));
  EXPECT_EQ(Next(m_Channel).status_code, 200);
  size_t paused_at = m_Channel->AudioBytes();
  // While paused no audio frame is delivered.
  size_t frames = m_Channel->AudioFrames() + m_Channel->IdleFrames();
  ASSERT_TRUE(m_Channel->WaitFrames(frames + 10, 2s));
  EXPECT_EQ(m_Channel->AudioBytes(), paused_at);
  Send(m_Channel, RequestText("RESUME"));
  EXPECT_EQ(Next(m_Channel).status_code, 200);
  vxhost::ReceivedMessage complete = Next(m_Channel, 10s);
  EXPECT_EQ(complete.method_name, "SPEAK-COMPLETE");
  // Nothing lost and nothing repeated: the tone is exactly the reply.
  EXPECT_EQ(m_Channel->AudioBytes(), ToneBytes(text));
}

TEST_F(SpeakTest, CloseDuringASpeakWaitsForItsEndAndSendsNoComplete) {
  Start();
  m_Server->faults().SetDelay(300ms);
  Send(m_Channel, SpeakText("closing", "text/plain"));
  ASSERT_TRUE(m_Log->WaitFor("Start Async Synth", 2s));
  EXPECT_TRUE(m_Kit->CloseChannel(m_Channel, 5s));
  EXPECT_EQ(m_Log->Count("Wait for SPEAK completion <ch1@vxs>"), 1u);
  vxhost::ReceivedMessage message;
  while (m_Channel->WaitMessage(&message, 200ms)) {
    EXPECT_NE(message.method_name, "SPEAK-COMPLETE");
  }
}

TEST_F(SpeakTest, CloseDuringPlaybackIsAnsweredAtTheEndOfPlayback) {
  vxhost::HostKit::Options options;
  options.realtime = true;
  WriteConfig();
  StartEngine(true, options);
  m_Channel = OpenChannel("ch1");
  std::string text(25, 'c');  // half a second
  Send(m_Channel, SpeakText(text, "text/plain"));
  EXPECT_EQ(Next(m_Channel).request_state, MRCP_REQUEST_STATE_INPROGRESS);
  ASSERT_TRUE(m_Channel->WaitAudioBytes(2 * kFrame8k, 2s));
  EXPECT_TRUE(m_Kit->CloseChannel(m_Channel, 5s));
  EXPECT_EQ(m_Log->Count("Wait for SPEAK completion <ch1@vxs>"), 1u);
  // The whole prompt played before the close was answered, and no
  // SPEAK-COMPLETE was sent.
  EXPECT_EQ(m_Channel->AudioBytes(), ToneBytes(text));
  EXPECT_EQ(m_Channel->PendingMessages(), 0u);
}

// A STOP held for a SPEAK that a new SPEAK replaces used to stay unanswered
// whenever the new SPEAK came before the media thread's next read.
TEST_F(SpeakTest, SpeakReplacingAStoppedSpeakAnswersTheStop) {
  vxhost::HostKit::Options options;
  options.realtime = true;  // one read per 20 ms leaves the window open
  WriteConfig();
  StartEngine(true, options);
  m_Channel = OpenChannel("ch1");
  Send(m_Channel, SpeakText(std::string(200, 'r'), "text/plain"));
  EXPECT_EQ(Next(m_Channel).request_state, MRCP_REQUEST_STATE_INPROGRESS);
  mrcp_request_id stop = Send(m_Channel, RequestText("STOP"));
  mrcp_request_id speak = Send(m_Channel, SpeakText("next", "text/plain"));
  vxhost::ReceivedMessage stopped = Next(m_Channel);
  EXPECT_EQ(stopped.request_id, stop);
  EXPECT_EQ(stopped.status_code, 200);
  vxhost::ReceivedMessage accepted = Next(m_Channel);
  EXPECT_EQ(accepted.request_id, speak);
  EXPECT_EQ(accepted.request_state, MRCP_REQUEST_STATE_INPROGRESS);
  EXPECT_EQ(Next(m_Channel).method_name, "SPEAK-COMPLETE");
  EXPECT_TRUE(m_Channel->ExpectNoMessage(100ms));
}

TEST_F(SpeakTest, PauseOnAnIdleChannelIsClearedByTheNextSpeak) {
  Start();
  Send(m_Channel, RequestText("PAUSE"));
  EXPECT_EQ(Next(m_Channel).status_code, 200);
  SpeakToCompletion(m_Channel, "not paused");
  EXPECT_EQ(m_Channel->AudioBytes(), ToneBytes("not paused"));
}

TEST_F(SpeakTest, SecondSpeakWhileTheFirstCallIsInFlightIs401) {
  Start();
  m_Server->faults().SetDelay(400ms);
  mrcp_request_id first = Send(m_Channel, SpeakText("first", "text/plain"));
  ASSERT_TRUE(m_Log->WaitFor("Start Async Synth", 2s));
  mrcp_request_id second = Send(m_Channel, SpeakText("second", "text/plain"));
  vxhost::ReceivedMessage refused = Next(m_Channel);
  EXPECT_EQ(refused.request_id, second);
  EXPECT_EQ(refused.status_code, 401);
  EXPECT_EQ(refused.completion_cause, 4);
  EXPECT_EQ(m_Log->Count("Previous Synth Context Not Released <ch1@vxs>"), 1u);
  EXPECT_EQ(Next(m_Channel).request_id, first);
  EXPECT_EQ(Next(m_Channel, 10s).method_name, "SPEAK-COMPLETE");
}

TEST_F(SpeakTest, RefusedSpeaksCarryTheirStatusAndCause) {
  Start();
  struct Case {
    std::string text;
    int status;
    const char* log;
  } cases[] = {
      {SpeakText("", "text/plain"), 406, nullptr},
      {SpeakText("body", ""), 406, "Missing Content-Type <ch1@vxs>"},
      {SpeakText("body", "text/html"), 409, "Unsupported Content Type [text/html] <ch1@vxs>"},
      {SpeakText("body", "TEXT/PLAIN"), 409, nullptr},
      {SpeakText("\n\n  \n", "text/uri-list"), 406, "Failed to Compose Content <ch1@vxs>"},
      {SpeakText("<speak><unclosed>", "application/ssml+xml"), 200, nullptr},
  };
  for (const Case& c : cases) {
    m_Log->Clear();
    Send(m_Channel, c.text);
    vxhost::ReceivedMessage response = Next(m_Channel);
    if (c.status == 200) {
      // Bypassed SSML goes to the service unchecked; the service refuses it.
      EXPECT_EQ(response.status_code, 407) << c.text;
      continue;
    }
    EXPECT_EQ(response.status_code, c.status) << c.text;
    EXPECT_EQ(response.completion_cause, 4) << c.text;
    if (c.log) {
      EXPECT_EQ(m_Log->Count(c.log), 1u) << c.log;
    }
    EXPECT_EQ(m_Log->Count("Failed to Determine Params") + m_Log->Count("Failed to Compose Content"),
              1u)
        << c.text;
  }
  SpeakToCompletion(m_Channel, "still usable");
}

TEST_F(SpeakTest, VendorParametersOverrideHeaders) {
  Start();
  SpeakToCompletion(m_Channel, "vendor", "text/plain",
                    {"Voice-Name: other-voice", "Speech-Language: de-DE",
                     "Vendor-Specific-Parameters: voice-name=\"vx-test-tone\";logging-tag=abc;"
                     "voice-gender=robot;effects-profile=telephony-class-application",
                     "Prosody-Rate: x-fast", "Prosody-Volume: loud"});
  auto request = m_Server->calls().Requests().at(0);
  EXPECT_EQ(request.voice().name(), kTestVoice);
  EXPECT_EQ(request.voice().language_code(), "de-DE");
  EXPECT_EQ(request.audio_config().effects_profile_id(0), "telephony-class-application");
  // The rate is held inside what the service accepts.
  EXPECT_DOUBLE_EQ(request.audio_config().speaking_rate(), 2.0);
  EXPECT_DOUBLE_EQ(request.audio_config().volume_gain_db(), 6.0);
  EXPECT_EQ(m_Log->Count("Unknown Value [robot] of Parameter [voice-gender] <ch1@vxs>"), 1u);
}

TEST_F(SpeakTest, FileAndLocalUriSegmentsPlayTheirWaveFiles) {
  Start("", "  <waveform-manager waveform-folder=\"waves\"/>\n");
  // A file written by a first SPEAK with saving on is played back by URI.
  std::string pcm(3200, '\x11');
  std::string wave = "RIFF" + std::string("\x84\x0c\0\0", 4) + "WAVEfmt " +
                     std::string("\x10\0\0\0\x01\0\x01\0\x40\x1f\0\0\x80\x3e\0\0\x02\0\x10\0", 20) +
                     "data" + std::string("\x80\x0c\0\0", 4) + pcm;
  WriteFile(m_Root / "var" / "waves" / "prompt.wav", wave);
  std::string list = "file:// " + (m_Root / "var" / "waves" / "prompt.wav").string() +
                     "\r\nhttp://localhost/utterances/prompt.wav\r\n";
  SpeakToCompletion(m_Channel, list, "text/uri-list");
  EXPECT_EQ(m_Channel->AudioBytes(), 2 * pcm.size());
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 0u);
}

TEST_F(SpeakTest, ForeignOrEscapingUrisAreRefused) {
  Start("", "  <waveform-manager waveform-folder=\"waves\"/>\n");
  WriteFile(m_Root / "var" / "secret.wav", std::string(100, 'x'));
  for (const char* uri :
       {"http://example.com/prompt.wav", "http://localhost/utterances",
        "http://localhost/utterances/", "http://localhost/utterances/../secret.wav",
        "http://localhost/utterances//etc/passwd"}) {
    m_Log->Clear();
    Send(m_Channel, SpeakText(uri, "text/uri-list"));
    vxhost::ReceivedMessage response = Next(m_Channel);
    EXPECT_EQ(response.status_code, 401) << uri;
    EXPECT_EQ(m_Log->Count("Only local HTTP URI supported"), 1u) << uri;
  }
}

// A later segment that cannot be started used to leave the SPEAK open.
TEST_F(SpeakTest, LaterSegmentThatCannotStartEndsTheSpeak) {
  Start("", "  <waveform-manager waveform-folder=\"waves\"/>\n");
  std::string pcm(640, '\x22');
  std::string wave = "RIFF" + std::string("\xa4\x02\0\0", 4) + "WAVEfmt " +
                     std::string("\x10\0\0\0\x01\0\x01\0\x40\x1f\0\0\x80\x3e\0\0\x02\0\x10\0", 20) +
                     "data" + std::string("\x80\x02\0\0", 4) + pcm;
  WriteFile(m_Root / "var" / "waves" / "ok.wav", wave);
  std::string list = "http://localhost/utterances/ok.wav\nhttp://elsewhere/x.wav\n";
  Send(m_Channel, SpeakText(list, "text/uri-list"));
  EXPECT_EQ(Next(m_Channel).request_state, MRCP_REQUEST_STATE_INPROGRESS);
  vxhost::ReceivedMessage complete = Next(m_Channel);
  EXPECT_EQ(complete.method_name, "SPEAK-COMPLETE");
  EXPECT_EQ(complete.completion_cause, 3);
  EXPECT_TRUE(m_Channel->WaitAudioBytes(pcm.size(), 2s));
  EXPECT_EQ(m_Channel->AudioBytes(), pcm.size());
}

// The frame that holds the last bytes of a prompt is played, padded with
// silence: real speech seldom ends on a frame boundary.
TEST_F(SpeakTest, LastPartialFrameOfAPromptIsPlayed) {
  WriteConfig("voice-name=\"espeak-en-us\"",
              "  <waveform-manager waveform-folder=\"waves\" save-waveforms=\"true\"/>\n"
              "  <sdr-manager save-records=\"true\" record-folder=\"records\"/>\n");
  StartEngine();
  m_Channel = OpenChannel("ch1");
  SpeakToCompletion(m_Channel, "An ending that is heard.");
  std::string wave = ReadFile(m_Root / "var" / "waves" / "vexora-ch1-1.wav");
  ASSERT_GT(wave.size(), 44u);
  const std::string pcm = wave.substr(44);
  const size_t frames = (pcm.size() + kFrame8k - 1) / kFrame8k;
  // The event may overtake the kit's keeping of the frame that ended it.
  m_Channel->WaitAudioBytes(frames * kFrame8k, 2s);
  std::vector<char> audio = m_Channel->Audio();
  ASSERT_EQ(audio.size(), frames * kFrame8k) << "prompt of " << pcm.size() << " bytes";
  EXPECT_EQ(std::string(audio.begin(), audio.begin() + pcm.size()), pcm);
  EXPECT_EQ(std::string(audio.begin() + pcm.size(), audio.end()),
            std::string(audio.size() - pcm.size(), '\0'));
  std::string record = ReadFile(m_Root / "var" / "records" / "vexora-ch1-1.json");
  EXPECT_NE(record.find("\"data-length\": \"" + std::to_string(pcm.size()) + " bytes\""),
            std::string::npos)
      << record;
}

TEST_F(SpeakTest, PromptShorterThanAFramePlaysOneFrame) {
  Start("", "  <waveform-manager waveform-folder=\"waves\"/>\n");
  std::string pcm(160, '\x44');  // 10 ms
  std::string wave = "RIFF" + std::string("\xc4\0\0\0", 4) + "WAVEfmt " +
                     std::string("\x10\0\0\0\x01\0\x01\0\x40\x1f\0\0\x80\x3e\0\0\x02\0\x10\0", 20) +
                     "data" + std::string("\xa0\0\0\0", 4) + pcm;
  WriteFile(m_Root / "var" / "waves" / "short.wav", wave);
  SpeakToCompletion(m_Channel, "http://localhost/utterances/short.wav", "text/uri-list");
  m_Channel->WaitAudioBytes(kFrame8k, 2s);
  std::vector<char> audio = m_Channel->Audio();
  ASSERT_EQ(audio.size(), kFrame8k);
  EXPECT_EQ(std::string(audio.begin(), audio.begin() + 160), pcm);
  EXPECT_EQ(std::string(audio.begin() + 160, audio.end()), std::string(160, '\0'));
}

TEST_F(SpeakTest, DamagedWaveFileIsReadAsWhatItHolds) {
  Start("", "  <waveform-manager waveform-folder=\"waves\"/>\n");
  std::string pcm(640, '\x33');
  // The header claims a gigabyte of audio.
  std::string wave = "RIFF" + std::string("\x24\0\0\x40", 4) + "WAVEfmt " +
                     std::string("\x10\0\0\0\x01\0\x01\0\x40\x1f\0\0\x80\x3e\0\0\x02\0\x10\0", 20) +
                     "data" + std::string("\0\0\0\x40", 4) + pcm;
  WriteFile(m_Root / "var" / "waves" / "big.wav", wave);
  SpeakToCompletion(m_Channel, "http://localhost/utterances/big.wav", "text/uri-list");
  EXPECT_EQ(m_Channel->AudioBytes(), pcm.size());
}

TEST_F(SpeakTest, LongReplyAbove4MiBIsAccepted) {
  WriteConfig();
  StartEngine();
  vxhost::Channel* channel = OpenChannel("long", 16000);
  // 4000 bytes of text at 16 kHz: 80 s of tone, 5.1 MB of audio.
  std::string text(4000, 'l');
  SpeakToCompletion(channel, text);
  EXPECT_EQ(channel->AudioBytes(), ToneBytes(text, 16000));
}

// Closing the engine does not wait for a service that never answers.
TEST_F(SpeakTest, EngineCloseCancelsCallsInFlight) {
  Start();
  m_Server->faults().SetDelay(30000ms);
  Send(m_Channel, SpeakText("never", "text/plain"));
  ASSERT_TRUE(m_Log->WaitFor("Start Async Synth", 2s));
  auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(m_Kit->CloseEngine(5s));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  EXPECT_TRUE(m_Log->WaitFor("Completion Queue Shutdown", 1s));
}

}  // namespace
}  // namespace vxtest
