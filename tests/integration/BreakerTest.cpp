// The circuit breaker of each service endpoint, end to end: a run of calls
// that find the service unreachable opens it, and later SPEAKs then fail at
// once without a call (or go to the fallback endpoint); after the cool-down
// one trial call finds out whether the service is back.
#include "ModuleFixture.h"

namespace vxtest {
namespace {

// Every call of a slow service takes this long; an answer that waited for a
// call would come after it.
constexpr auto kSlowService = std::chrono::milliseconds(2500);
constexpr auto kAtOnce = std::chrono::milliseconds(1200);
constexpr size_t kFrame8k = 320;  // bytes of a 20 ms frame at 8 kHz (one byte of text)

class BreakerTest : public ModuleFixture {
 protected:
  void Start(const std::string& synth_attributes) {
    WriteConfig(synth_attributes,
                "  <sdr-manager save-records=\"true\" record-folder=\"records\"/>\n");
    StartEngine();
    m_Channel = OpenChannel("ch1");
  }

  // Sends a SPEAK and returns the status of its response, or of its
  // SPEAK-COMPLETE (500 + cause) when it was accepted.
  int SpeakStatus(vxhost::Channel* channel, const std::string& body,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    Send(channel, SpeakText(body, "text/plain"));
    vxhost::ReceivedMessage response = Next(channel, timeout);
    if (response.status_code != 200) return response.status_code;
    vxhost::ReceivedMessage complete = Next(channel, std::chrono::seconds(30));
    EXPECT_EQ(complete.method_name, "SPEAK-COMPLETE") << complete.text;
    return complete.completion_cause == 0 ? 200 : 500 + complete.completion_cause;
  }

  // Sends SPEAKs until the breaker lets one through to the service (the
  // trial, once the cool-down is over); those refused meanwhile are
  // answered 407. Returns the SPEAK let through, whose answer is not read.
  mrcp_request_id SpeakUntilCallMade(vxhost::Channel* channel) {
    mrcp_request_id made = 0;
    const bool let_through = Ambrel::Testing::WaitFor(
        [&] {
          const size_t started = m_Log->Count("Start Async Synth");
          const size_t refused = m_Log->Count("Circuit Breaker Refused Call");
          mrcp_request_id id = Send(channel, SpeakText("trial", "text/plain"));
          EXPECT_TRUE(Ambrel::Testing::WaitFor([&] {
            return m_Log->Count("Start Async Synth") > started ||
                   m_Log->Count("Circuit Breaker Refused Call") > refused;
          }));
          if (m_Log->Count("Start Async Synth") > started) {
            made = id;
            return true;
          }
          EXPECT_EQ(Next(channel).status_code, 407);
          return false;
        },
        10s);
    EXPECT_TRUE(let_through) << "no call was let through";
    return made;
  }

  std::string Record(int request) const {
    return ReadFile(m_Root / "var" / "records" /
                    ("vexora-ch1-" + std::to_string(request) + ".json"));
  }

  static std::string CauseOf(const std::string& record) {
    const size_t at = record.find("\"completion-cause\"");
    return at == std::string::npos ? std::string() : record.substr(at, record.find('\n', at) - at);
  }

  std::string Opened() const { return "Circuit Breaker Open [" + m_Server->target() + "]"; }
  std::string HalfOpen() const { return "Circuit Breaker Half-Open [" + m_Server->target() + "]"; }
  std::string Closed() const { return "Circuit Breaker Closed [" + m_Server->target() + "]"; }

  vxhost::Channel* m_Channel = nullptr;
};

TEST_F(BreakerTest, UnavailableRunOpensTheBreakerAndLaterSpeaksFailAtOnce) {
  StartServer();
  Start("deadline=\"5000\" breaker-failures=\"3\"");
  m_Server->faults().FailNext(3, grpc::StatusCode::UNAVAILABLE, "down");
  EXPECT_EQ(SpeakStatus(m_Channel, "one"), 407);
  EXPECT_EQ(SpeakStatus(m_Channel, "two"), 407);
  EXPECT_EQ(m_Log->Count("Circuit Breaker Open"), 0u);
  EXPECT_EQ(SpeakStatus(m_Channel, "three"), 407);
  EXPECT_EQ(m_Log->Count(Opened() + " after 3 failures"), 1u);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 3u);

  // A call that reached the service now would wait for it; the SPEAKs are
  // answered at once instead, on this channel and on any other, with the
  // answer and the record of a failed call.
  m_Server->faults().SetDelay(kSlowService);
  vxhost::Channel* other = OpenChannel("ch2");
  EXPECT_EQ(SpeakStatus(m_Channel, "four", kAtOnce), 407);
  EXPECT_EQ(SpeakStatus(other, "five", kAtOnce), 407);
  EXPECT_EQ(SpeakStatus(m_Channel, "six", kAtOnce), 407);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 3u);
  EXPECT_EQ(m_Log->Count("Circuit Breaker Open"), 1u);
  EXPECT_EQ(m_Log->Count("gRPC Status: UNAVAILABLE: circuit breaker open"), 3u);
}

// A later part refused by the open breaker ends the SPEAK as a later part
// whose call failed does: the audio before it plays, then SPEAK-COMPLETE
// with cause error, and the record says so.
TEST_F(BreakerTest, RefusedLaterPartEndsTheSpeakAsAFailedCallDoes) {
  StartServer();
  Start("bypass-ssml=\"false\" sentence-split=\"false\" caching=\"true\" breaker-failures=\"2\"");
  const std::string voice = "<voice name=\"vx-test-tone\">cached</voice>";
  SpeakToCompletion(m_Channel, "<speak version=\"1.0\">" + voice + "</speak>",
                    "application/ssml+xml");
  const size_t cached = m_Channel->AudioBytes();
  m_Server->faults().FailNext(2, grpc::StatusCode::UNAVAILABLE, "down");
  EXPECT_EQ(SpeakStatus(m_Channel, "one"), 407);
  EXPECT_EQ(SpeakStatus(m_Channel, "two"), 407);
  ASSERT_EQ(m_Log->Count(Opened()), 1u);

  m_Channel->ClearAudio();
  Send(m_Channel, SpeakText("<speak version=\"1.0\">" + voice +
                                "<voice name=\"vx-test-tone\">refused</voice></speak>",
                            "application/ssml+xml"));
  EXPECT_EQ(Next(m_Channel).request_state, MRCP_REQUEST_STATE_INPROGRESS);
  vxhost::ReceivedMessage complete = Next(m_Channel);
  EXPECT_EQ(complete.method_name, "SPEAK-COMPLETE");
  EXPECT_EQ(complete.completion_cause, 4);
  EXPECT_TRUE(m_Channel->WaitAudioBytes(cached, 2s));
  EXPECT_EQ(m_Channel->AudioBytes(), cached);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 3u);
  EXPECT_EQ(CauseOf(Record(4)), "\"completion-cause\": \"error\"") << Record(4);
}

TEST_F(BreakerTest, DroppedConnectionsAndDeadlinesCountTowardTheRun) {
  StartServer();
  Start("deadline=\"300\" breaker-failures=\"3\"");
  m_Server->faults().DropNext(1);
  EXPECT_EQ(SpeakStatus(m_Channel, "dropped"), 407);
  m_Server->faults().SetDelay(1000ms);
  EXPECT_EQ(SpeakStatus(m_Channel, "late"), 407);
  EXPECT_EQ(m_Log->Count("gRPC Status: DEADLINE_EXCEEDED"), 1u);
  m_Server->faults().SetDelay(0ms);
  m_Server->faults().DropNext(1);
  EXPECT_EQ(m_Log->Count("Circuit Breaker Open"), 0u);
  EXPECT_EQ(SpeakStatus(m_Channel, "dropped again"), 407);
  EXPECT_EQ(m_Log->Count(Opened() + " after 3 failures"), 1u);
  EXPECT_EQ(SpeakStatus(m_Channel, "refused", kAtOnce), 407);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 3u);
}

TEST_F(BreakerTest, OneTrialAfterTheCooldownClosesTheBreaker) {
  StartServer();
  Start("breaker-failures=\"2\" breaker-cooldown=\"300\"");
  m_Server->faults().FailNext(2, grpc::StatusCode::UNAVAILABLE, "down");
  EXPECT_EQ(SpeakStatus(m_Channel, "one"), 407);
  EXPECT_EQ(SpeakStatus(m_Channel, "two"), 407);
  ASSERT_EQ(m_Log->Count(Opened()), 1u);

  // The trial is held by the service; meanwhile the other SPEAKs are
  // refused as while open, and the service sees the trial only.
  m_Server->faults().SetDelay(800ms);
  mrcp_request_id trial = SpeakUntilCallMade(m_Channel);
  EXPECT_EQ(m_Log->Count(HalfOpen()), 1u);
  vxhost::Channel* other = OpenChannel("ch2");
  EXPECT_EQ(SpeakStatus(other, "meanwhile", kAtOnce), 407);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 3u);
  vxhost::ReceivedMessage response = Next(m_Channel);
  EXPECT_EQ(response.request_id, trial);
  EXPECT_EQ(response.status_code, 200);
  EXPECT_EQ(Next(m_Channel).completion_cause, 0);
  EXPECT_TRUE(m_Log->WaitFor(Closed(), 2s));

  // Closed: calls flow again, from every channel.
  m_Server->faults().SetDelay(0ms);
  EXPECT_EQ(SpeakStatus(other, "after"), 200);
  EXPECT_EQ(SpeakStatus(m_Channel, "again"), 200);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 5u);
  EXPECT_EQ(m_Log->Count("Circuit Breaker Open"), 1u);
  EXPECT_EQ(m_Log->Count("Circuit Breaker Half-Open"), 1u);
  EXPECT_EQ(m_Log->Count("Circuit Breaker Closed"), 1u);
}

TEST_F(BreakerTest, FailedTrialOpensTheBreakerForAnotherCooldown) {
  StartServer();
  // Long enough for a SPEAK to be refused between the openings, however
  // busy the machine.
  Start("breaker-failures=\"2\" breaker-cooldown=\"1000\"");
  m_Server->faults().FailNext(3, grpc::StatusCode::UNAVAILABLE, "down");
  EXPECT_EQ(SpeakStatus(m_Channel, "one"), 407);
  EXPECT_EQ(SpeakStatus(m_Channel, "two"), 407);

  mrcp_request_id trial = SpeakUntilCallMade(m_Channel);
  vxhost::ReceivedMessage response = Next(m_Channel);
  EXPECT_EQ(response.request_id, trial);
  EXPECT_EQ(response.status_code, 407);
  EXPECT_TRUE(m_Log->WaitFor(Opened() + " after Failed Trial", 2s));
  EXPECT_EQ(SpeakStatus(m_Channel, "refused", kAtOnce), 407);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 3u);

  // The next trial finds the service back.
  trial = SpeakUntilCallMade(m_Channel);
  response = Next(m_Channel);
  EXPECT_EQ(response.request_id, trial);
  EXPECT_EQ(response.status_code, 200);
  EXPECT_EQ(Next(m_Channel).completion_cause, 0);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 4u);
  EXPECT_TRUE(m_Log->WaitFor(Closed(), 2s));
  EXPECT_EQ(m_Log->Count("Circuit Breaker Open"), 2u);
  EXPECT_EQ(m_Log->Count("Circuit Breaker Half-Open"), 2u);
  EXPECT_EQ(m_Log->Count("Circuit Breaker Closed"), 1u);
}

// Refused inputs and credentials, and calls a STOP cancelled, say nothing
// about the endpoint being down; a success ends a run.
TEST_F(BreakerTest, OtherCodesStopsAndSuccessesDoNotOpenTheBreaker) {
  StartServer();
  Start("breaker-failures=\"2\"");
  m_Server->faults().FailNext(3, grpc::StatusCode::INVALID_ARGUMENT, "bad input");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(SpeakStatus(m_Channel, "refused input"), 407);
  m_Server->faults().FailNext(2, grpc::StatusCode::PERMISSION_DENIED, "no");
  for (int i = 0; i < 2; ++i) EXPECT_EQ(SpeakStatus(m_Channel, "refused key"), 407);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 5u);

  m_Server->faults().SetDelay(kSlowService);
  for (int i = 1; i <= 3; ++i) {
    Send(m_Channel, SpeakText("stopped", "text/plain"));
    // The service holds the call (its fault plan taken) when it is stopped.
    ASSERT_TRUE(Ambrel::Testing::WaitFor(
        [&] { return m_Server->calls().SynthesizeCalls() == static_cast<size_t>(5 + i); }));
    Send(m_Channel, RequestText("STOP"));
    EXPECT_EQ(Next(m_Channel).request_state, MRCP_REQUEST_STATE_INPROGRESS);
    EXPECT_EQ(Next(m_Channel).method_name, "STOP");
  }
  m_Server->faults().SetDelay(0ms);

  for (int i = 0; i < 2; ++i) {
    m_Server->faults().FailNext(1, grpc::StatusCode::UNAVAILABLE, "blip");
    EXPECT_EQ(SpeakStatus(m_Channel, "blip"), 407);
    EXPECT_EQ(SpeakStatus(m_Channel, "fine"), 200);
  }
  EXPECT_EQ(m_Log->Count("Circuit Breaker Open"), 0u);
  EXPECT_EQ(m_Log->Count("Circuit Breaker Refused Call"), 0u);

  // The same breaker opens on a run of its own.
  m_Server->faults().FailNext(2, grpc::StatusCode::UNAVAILABLE, "down");
  EXPECT_EQ(SpeakStatus(m_Channel, "down"), 407);
  EXPECT_EQ(SpeakStatus(m_Channel, "down"), 407);
  EXPECT_EQ(m_Log->Count(Opened()), 1u);
}

TEST_F(BreakerTest, ZeroFailuresTurnsTheBreakerOff) {
  StartServer();
  Start("breaker-failures=\"0\"");
  m_Server->faults().FailNext(8, grpc::StatusCode::UNAVAILABLE, "down");
  for (int i = 0; i < 8; ++i) EXPECT_EQ(SpeakStatus(m_Channel, "down"), 407);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 8u);
  EXPECT_EQ(m_Log->Count("Circuit Breaker"), 0u);
}

// With re-attempts on, each attempt's failure counts.
TEST_F(BreakerTest, EachAttemptOfASpeakCountsTowardTheRun) {
  StartServer();
  Start("reattempt=\"true\" breaker-failures=\"2\"");
  m_Server->faults().FailNext(2, grpc::StatusCode::UNAVAILABLE, "down");
  EXPECT_EQ(SpeakStatus(m_Channel, "twice"), 407);
  EXPECT_EQ(m_Log->Count("Reattempt gRPC Request"), 1u);
  EXPECT_EQ(m_Log->Count(Opened() + " after 2 failures"), 1u);
  EXPECT_EQ(SpeakStatus(m_Channel, "refused", kAtOnce), 407);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 2u);
}

// Once the breaker is open a re-attempt would only meet it: the failure
// that opened it is the SPEAK's last.
TEST_F(BreakerTest, NoReattemptAgainstAnOpenBreaker) {
  StartServer();
  Start("reattempt=\"true\" breaker-failures=\"1\"");
  m_Server->faults().FailNext(1, grpc::StatusCode::UNAVAILABLE, "down");
  EXPECT_EQ(SpeakStatus(m_Channel, "once", kAtOnce), 407);
  EXPECT_EQ(m_Log->Count(Opened() + " after 1 failures"), 1u);
  EXPECT_EQ(SpeakStatus(m_Channel, "refused", kAtOnce), 407);
  EXPECT_EQ(m_Log->Count("Reattempt gRPC Request"), 0u);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 1u);
}

// Two local services stand for two regions: the configured one and the
// fallback region's.
class FallbackTest : public BreakerTest {
 protected:
  void SetUp() override {
    BreakerTest::SetUp();
    StartServer();
    std::string error;
    ASSERT_TRUE(m_Fallback.Start(VxTts::TtsServerOptions(), &error)) << error;
  }
  void TearDown() override {
    BreakerTest::TearDown();
    m_Fallback.Shutdown();
  }

  std::string FallbackAttributes() const {
    // The fixture's own service-uri is not added beside fallback-service-uri.
    return "service-uri=\"" + m_Server->target() + "\" fallback-region=\"europe-west1\" " +
           "fallback-service-uri=\"" + m_Fallback.target() + "\" ";
  }

  VxTts::TtsServer m_Fallback;
};

TEST_F(FallbackTest, OpenBreakerSendsCallsToTheFallbackRegion) {
  // Long enough for the two SPEAKs below to fall back before the trial.
  Start(FallbackAttributes() + "breaker-failures=\"2\" breaker-cooldown=\"1500\"");
  // The fallback's channel is made at start, ready before it is needed.
  EXPECT_EQ(m_Log->Count("Create gRPC Channel [" + m_Fallback.target() + "]"), 1u);
  m_Server->faults().FailNext(2, grpc::StatusCode::UNAVAILABLE, "down");
  EXPECT_EQ(SpeakStatus(m_Channel, "one"), 407);
  EXPECT_EQ(SpeakStatus(m_Channel, "two"), 407);
  ASSERT_EQ(m_Log->Count(Opened()), 1u);

  // While the primary is open the SPEAKs complete with the fallback's audio.
  m_Server->faults().SetDelay(kSlowService);
  m_Channel->ClearAudio();
  SpeakToCompletion(m_Channel, "fallback");
  EXPECT_EQ(m_Channel->AudioBytes(), std::string("fallback").size() * kFrame8k);
  vxhost::Channel* other = OpenChannel("ch2");
  SpeakToCompletion(other, "other");
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 2u);
  EXPECT_EQ(m_Fallback.calls().SynthesizeCalls(), 2u);
  EXPECT_EQ(m_Log->Count("Fall Back to [" + m_Fallback.target() + "]"), 1u);

  // After the cool-down the trial goes to the primary; the SPEAKs meanwhile
  // still go to the fallback, and all of them complete.
  m_Server->faults().SetDelay(0ms);
  EXPECT_TRUE(Ambrel::Testing::WaitFor(
      [&] {
        SpeakToCompletion(m_Channel, "until the trial");
        return m_Server->calls().SynthesizeCalls() == 3;
      },
      10s));
  EXPECT_TRUE(m_Log->WaitFor(Closed(), 2s));
  const size_t fallback_calls = m_Fallback.calls().SynthesizeCalls();
  SpeakToCompletion(other, "primary");
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 4u);
  EXPECT_EQ(m_Fallback.calls().SynthesizeCalls(), fallback_calls);

  // Another opening falls back again, and says so again.
  m_Server->faults().FailNext(2, grpc::StatusCode::UNAVAILABLE, "down");
  EXPECT_EQ(SpeakStatus(m_Channel, "three"), 407);
  EXPECT_EQ(SpeakStatus(m_Channel, "four"), 407);
  SpeakToCompletion(m_Channel, "fallback again");
  EXPECT_EQ(m_Log->Count("Fall Back to [" + m_Fallback.target() + "]"), 2u);
  EXPECT_EQ(m_Log->Count("Circuit Breaker Open"), 2u);
}

// The failure that opens the breaker leaves the SPEAK's re-attempt to the
// fallback, and the SPEAK completes.
TEST_F(FallbackTest, ReattemptAfterTheOpeningFailureGoesToTheFallback) {
  Start(FallbackAttributes() + "reattempt=\"true\" breaker-failures=\"1\"");
  m_Server->faults().FailNext(1, grpc::StatusCode::UNAVAILABLE, "down");
  SpeakToCompletion(m_Channel, "saved");
  EXPECT_EQ(m_Channel->AudioBytes(), std::string("saved").size() * kFrame8k);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 1u);
  EXPECT_EQ(m_Fallback.calls().SynthesizeCalls(), 1u);
}

// A streamed segment opens the breaker as a call does, and its stream goes
// to the fallback while the breaker is open.
TEST_F(FallbackTest, StreamsCountAndGoToTheFallback) {
  Start(FallbackAttributes() +
        "voice-name=\"en-US-Chirp3-HD-TestBytes\" streaming-voices=\"*-Chirp3-HD-*\" "
        "breaker-failures=\"1\"");
  // The failed stream is followed by its unary call, which the open
  // breaker sends to the fallback.
  m_Server->faults().FailNext(1, grpc::StatusCode::UNAVAILABLE, "down");
  SpeakToCompletion(m_Channel, "first");
  EXPECT_EQ(m_Log->Count(Opened() + " after 1 failures"), 1u);
  EXPECT_EQ(m_Server->calls().StreamingCalls(), 1u);
  EXPECT_EQ(m_Fallback.calls().SynthesizeCalls(), 1u);
  SpeakToCompletion(m_Channel, "second");
  EXPECT_EQ(m_Fallback.calls().StreamingCalls(), 1u);
  EXPECT_EQ(m_Server->calls().StreamingCalls(), 1u);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 0u);
}

// The fallback has a breaker of its own: with both open, SPEAKs fail at once.
TEST_F(FallbackTest, OpenFallbackFailsTheSpeakAtOnce) {
  Start(FallbackAttributes() + "breaker-failures=\"1\"");
  m_Server->faults().FailNext(1, grpc::StatusCode::UNAVAILABLE, "down");
  m_Fallback.faults().FailNext(1, grpc::StatusCode::UNAVAILABLE, "down too");
  EXPECT_EQ(SpeakStatus(m_Channel, "one"), 407);
  EXPECT_EQ(SpeakStatus(m_Channel, "two"), 407);
  EXPECT_EQ(m_Log->Count("Circuit Breaker Open [" + m_Fallback.target() + "]"), 1u);
  m_Server->faults().SetDelay(kSlowService);
  m_Fallback.faults().SetDelay(kSlowService);
  EXPECT_EQ(SpeakStatus(m_Channel, "three", kAtOnce), 407);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 1u);
  EXPECT_EQ(m_Fallback.calls().SynthesizeCalls(), 1u);
}

}  // namespace
}  // namespace vxtest
