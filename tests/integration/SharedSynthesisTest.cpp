// Identical cacheable prompts asked for by several channels at once: one
// call to the service, each channel answered as if the call were its own
// (its IN-PROGRESS, its audio, its SPEAK-COMPLETE, its record), a STOP or a
// close on one of them leaving the others waiting, the call cancelled once
// nobody waits, and a failure failing every one of them.
#include <thread>
#include <vector>

#include "ModuleFixture.h"

namespace vxtest {
namespace {

// Every call of the service takes this long, so that the SPEAKs of the test
// overlap; an answer that waited for the call would come after it.
constexpr auto kSlowService = std::chrono::milliseconds(1500);
constexpr auto kWellBeforeTheService = std::chrono::milliseconds(900);
constexpr size_t kChannels = 4;

// The audio the test voice gives at 8 kHz: 20 ms of tone per byte of text.
size_t ToneBytes(const std::string& text) { return text.size() * 320; }

size_t CountFiles(const fs::path& folder, const std::string& extension) {
  std::error_code error;
  size_t count = 0;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    if (entry.path().extension() == extension) ++count;
  }
  return count;
}

class SharedSynthesisTest : public ModuleFixture {
 protected:
  void SetUp() override {
    ModuleFixture::SetUp();
    StartServer();
  }

  // Caching on (unless synth_attributes turn it off), records on, and
  // kChannels channels "ch1".."ch4".
  void Start(const std::string& synth_attributes = "caching=\"true\"") {
    WriteConfig(synth_attributes,
                "  <waveform-manager waveform-folder=\"cache\"/>\n"
                "  <sdr-manager save-records=\"true\" record-folder=\"records\"/>\n");
    StartEngine();
    for (size_t i = 0; i < kChannels; ++i) {
      m_Channels.push_back(OpenChannel("ch" + std::to_string(i + 1)));
    }
  }

  // Sends the SPEAK of body to every channel, in order, the service slow;
  // returns their request ids once every channel but the first has joined
  // the first one's call (joins waiters expected).
  std::vector<mrcp_request_id> SpeakOnAll(const std::vector<std::string>& bodies, size_t joins,
                                          const std::vector<std::string>& headers = {}) {
    m_Server->faults().SetDelay(kSlowService);
    std::vector<mrcp_request_id> ids;
    for (size_t i = 0; i < m_Channels.size(); ++i) {
      ids.push_back(Send(m_Channels[i], SpeakText(bodies[i % bodies.size()], "text/plain",
                                                  i == 0 ? std::vector<std::string>() : headers)));
    }
    EXPECT_TRUE(m_Log->WaitForCount("Start Async Synth", m_Channels.size() - joins, 2s));
    if (joins) {
      EXPECT_TRUE(m_Log->WaitForCount("Join Synthesis in Flight", joins, 2s));
    }
    return ids;
  }

  // The channel's SPEAK id runs to SPEAK-COMPLETE with cause 000 and plays
  // text's audio.
  void ExpectCompleted(vxhost::Channel* channel, mrcp_request_id id, const std::string& text) {
    vxhost::ReceivedMessage response = Next(channel);
    EXPECT_EQ(response.request_id, id);
    EXPECT_EQ(response.request_state, MRCP_REQUEST_STATE_INPROGRESS) << response.text;
    vxhost::ReceivedMessage complete = Next(channel);
    EXPECT_EQ(complete.request_id, id);
    EXPECT_EQ(complete.method_name, "SPEAK-COMPLETE") << complete.text;
    EXPECT_EQ(complete.completion_cause, 0) << complete.text;
    EXPECT_TRUE(channel->WaitAudioBytes(ToneBytes(text), 2s));
    EXPECT_EQ(channel->AudioBytes(), ToneBytes(text)) << channel->id();
  }

  // The STOP sent now is answered well before the service would answer:
  // the SPEAK's IN-PROGRESS, then the STOP naming it.
  void ExpectStoppedAtOnce(vxhost::Channel* channel, mrcp_request_id speak) {
    mrcp_request_id stop = Send(channel, RequestText("STOP"));
    vxhost::ReceivedMessage first = Next(channel, kWellBeforeTheService);
    EXPECT_EQ(first.request_id, speak);
    EXPECT_EQ(first.request_state, MRCP_REQUEST_STATE_INPROGRESS);
    vxhost::ReceivedMessage second = Next(channel, kWellBeforeTheService);
    EXPECT_EQ(second.request_id, stop);
    EXPECT_EQ(second.status_code, 200);
    EXPECT_EQ(second.active_request_id_list, std::to_string(speak));
  }

  fs::path Records() const { return m_Root / "var" / "records"; }
  fs::path Cache() const { return m_Root / "var" / "cache"; }
  size_t Calls() const { return m_Server->calls().SynthesizeCalls(); }

  std::vector<vxhost::Channel*> m_Channels;
};

TEST_F(SharedSynthesisTest, IdenticalSpeaksAtOnceMakeOneCallAndEachChannelCompletes) {
  Start();
  const std::string text = "shared prompt";
  std::vector<mrcp_request_id> ids = SpeakOnAll({text}, kChannels - 1);
  for (size_t i = 0; i < kChannels; ++i) ExpectCompleted(m_Channels[i], ids[i], text);
  EXPECT_EQ(Calls(), 1u);
  for (size_t i = 1; i < kChannels; ++i) {
    EXPECT_EQ(m_Channels[i]->Audio(), m_Channels[0]->Audio()) << m_Channels[i]->id();
  }
  // One cache record, and a record of its own for every SPEAK.
  EXPECT_EQ(CountFiles(Cache(), ".cache"), 1u);
  for (size_t i = 0; i < kChannels; ++i) {
    const std::string record = ReadFile(
        Records() / ("vexora-ch" + std::to_string(i + 1) + "-" + std::to_string(ids[i]) + ".json"));
    EXPECT_NE(record.find("\"normal\""), std::string::npos) << record;
  }
  // The next SPEAK of the text is a cache hit.
  m_Server->faults().SetDelay(0ms);
  SpeakToCompletion(m_Channels[0], text);
  EXPECT_EQ(Calls(), 1u);
}

// Only the same request to the same service is shared: other texts, and
// the same text with an effects profile (which the cache key leaves out),
// make calls of their own.
TEST_F(SharedSynthesisTest, DifferentRequestsMakeACallEach) {
  Start();
  const std::vector<std::string> texts = {"first text", "second text", "third text", "fourth text"};
  std::vector<mrcp_request_id> ids = SpeakOnAll(texts, 0);
  for (size_t i = 0; i < kChannels; ++i) ExpectCompleted(m_Channels[i], ids[i], texts[i]);
  EXPECT_EQ(Calls(), kChannels);
  EXPECT_EQ(m_Log->Count("Join Synthesis in Flight"), 0u);

  // The first channel's request differs from the others', which share one.
  m_Server->calls().ResetCounters();
  m_Log->Clear();
  for (vxhost::Channel* channel : m_Channels) channel->ClearAudio();
  const std::string text = "same text";
  ids = SpeakOnAll({text}, kChannels - 2,
                   {"Vendor-Specific-Parameters: "
                    "effects-profile=telephony-class-application"});
  for (size_t i = 0; i < kChannels; ++i) ExpectCompleted(m_Channels[i], ids[i], text);
  EXPECT_EQ(Calls(), 2u);
  EXPECT_EQ(m_Log->Count("Join Synthesis in Flight"), kChannels - 2);
}

TEST_F(SharedSynthesisTest, UncacheableSpeaksAreNotShared) {
  Start("caching=\"false\"");
  const std::string text = "not cached";
  std::vector<mrcp_request_id> ids = SpeakOnAll({text}, 0);
  for (size_t i = 0; i < kChannels; ++i) ExpectCompleted(m_Channels[i], ids[i], text);
  EXPECT_EQ(Calls(), kChannels);
  EXPECT_EQ(m_Log->Count("Join Synthesis in Flight"), 0u);
}

// A STOP on a channel that joined, and one on the channel that made the
// call, are answered at once; the others still get the audio.
TEST_F(SharedSynthesisTest, StopOnOneWaiterLeavesTheOthersCompleting) {
  for (size_t stopped : {size_t(1), size_t(0)}) {
    SCOPED_TRACE("stopped channel " + std::to_string(stopped + 1));
    if (!m_Kit) Start();
    for (vxhost::Channel* channel : m_Channels) channel->ClearAudio();
    m_Server->calls().ResetCounters();
    m_Log->Clear();
    const std::string text = "stop one of them " + std::to_string(stopped);
    std::vector<mrcp_request_id> ids = SpeakOnAll({text}, kChannels - 1);
    ExpectStoppedAtOnce(m_Channels[stopped], ids[stopped]);
    for (size_t i = 0; i < kChannels; ++i) {
      if (i != stopped) ExpectCompleted(m_Channels[i], ids[i], text);
    }
    EXPECT_EQ(Calls(), 1u);
    EXPECT_EQ(m_Channels[stopped]->AudioBytes(), 0u);
    EXPECT_TRUE(m_Channels[stopped]->ExpectNoMessage(200ms));
    EXPECT_EQ(m_Log->Count("gRPC Status"), 0u);
    EXPECT_NE(ReadFile(Records() / ("vexora-ch" + std::to_string(stopped + 1) + "-" +
                                    std::to_string(ids[stopped]) + ".json"))
                  .find("\"cancelled\""),
              std::string::npos);
  }
}

// Once nobody waits the call is cancelled: the last STOP is answered by the
// cancelled completion, well before the service would have answered, and
// no record is cached from it.
TEST_F(SharedSynthesisTest, StoppingEveryWaiterCancelsTheCall) {
  Start();
  const std::string text = "nobody listens";
  std::vector<mrcp_request_id> ids = SpeakOnAll({text}, kChannels - 1);
  for (size_t i = 0; i < kChannels; ++i) ExpectStoppedAtOnce(m_Channels[i], ids[i]);
  EXPECT_EQ(m_Log->Count("gRPC Status: CANCELLED"), 1u);
  std::this_thread::sleep_for(kSlowService);
  EXPECT_EQ(CountFiles(Cache(), ".cache"), 0u);
  for (vxhost::Channel* channel : m_Channels) EXPECT_TRUE(channel->ExpectNoMessage(0ms));
  // A later SPEAK of the text makes a call of its own (the cancelled one
  // may have been cancelled before it reached the service).
  m_Server->faults().SetDelay(0ms);
  const size_t before = Calls();
  EXPECT_LE(before, 1u);
  SpeakToCompletion(m_Channels[0], text);
  EXPECT_EQ(Calls(), before + 1);
}

// The channel that made the call closes and is destroyed while the others
// wait: the call is no longer its own, and they still get the audio.
TEST_F(SharedSynthesisTest, ClosingWhileOthersWaitAnswersTheSpeakAndLeavesThemCompleting) {
  Start();
  const std::string text = "starter goes away";
  std::vector<mrcp_request_id> ids = SpeakOnAll({text}, kChannels - 1);
  // The starter, then one that joined, close: each one's SPEAK is answered
  // (it failed, as one whose own call is cancelled by a close does) before
  // its close is.
  for (size_t i = 0; i < 2; ++i) {
    ASSERT_TRUE(m_Kit->CloseChannel(m_Channels[i], kWellBeforeTheService));
    std::vector<vxhost::ReceivedMessage> messages;
    vxhost::ReceivedMessage message;
    while (m_Channels[i]->WaitMessage(&message, 0ms)) messages.push_back(message);
    ASSERT_EQ(messages.size(), 1u) << m_Channels[i]->id();
    EXPECT_EQ(messages[0].request_id, ids[i]);
    EXPECT_EQ(messages[0].request_state, MRCP_REQUEST_STATE_COMPLETE) << messages[0].text;
    m_Kit->DestroyChannel(m_Channels[i]);
  }
  for (size_t i = 2; i < kChannels; ++i) ExpectCompleted(m_Channels[i], ids[i], text);
  EXPECT_EQ(Calls(), 1u);
  EXPECT_EQ(CountFiles(Cache(), ".cache"), 1u);
  m_Channels.erase(m_Channels.begin(), m_Channels.begin() + 2);
}

// Every channel closing, and the engine closing with the call still in
// flight, end at once and leave nothing behind that the late completion
// could reach (the address sanitizer build checks the latter). A call
// cancelled this early may never have reached the service.
TEST_F(SharedSynthesisTest, ClosingEveryChannelOrTheEngineEndsTheCallAtOnce) {
  Start();
  SpeakOnAll({"closed under it"}, kChannels - 1);
  for (vxhost::Channel* channel : m_Channels) {
    ASSERT_TRUE(m_Kit->CloseChannel(channel, kWellBeforeTheService)) << channel->id();
  }
  EXPECT_EQ(m_Log->Count("gRPC Status: CANCELLED"), 1u);
  for (vxhost::Channel* channel : m_Channels) {
    bool status = false;
    ASSERT_TRUE(m_Kit->OpenChannel(channel, 5s, &status));
  }
  SpeakOnAll({"engine closed under it"}, kChannels - 1);
  ASSERT_TRUE(m_Kit->CloseEngine(kWellBeforeTheService));
  m_Kit.reset();
}

// Sentence pieces are calls of their own, shared piece by piece.
TEST_F(SharedSynthesisTest, SentencePiecesAreSharedOneByOne) {
  Start();
  const std::string text = "The first sentence. Then a second one. And a third to end it.";
  std::vector<mrcp_request_id> ids = SpeakOnAll({text}, kChannels - 1);
  size_t piece_bytes = 0;
  for (size_t i = 0; i < kChannels; ++i) {
    vxhost::ReceivedMessage response = Next(m_Channels[i]);
    EXPECT_EQ(response.request_state, MRCP_REQUEST_STATE_INPROGRESS) << response.text;
    vxhost::ReceivedMessage complete = Next(m_Channels[i], 20s);
    EXPECT_EQ(complete.request_id, ids[i]);
    EXPECT_EQ(complete.completion_cause, 0) << complete.text;
    if (i == 0) {
      for (const auto& request : m_Server->calls().Requests()) {
        piece_bytes += ToneBytes(request.input().text());
      }
    }
    EXPECT_TRUE(m_Channels[i]->WaitAudioBytes(piece_bytes, 2s));
    EXPECT_EQ(m_Channels[i]->AudioBytes(), piece_bytes);
  }
  const size_t pieces = Calls();
  EXPECT_GE(pieces, 2u);
  EXPECT_EQ(m_Log->Count("Join Synthesis in Flight"), pieces * (kChannels - 1));
  EXPECT_EQ(CountFiles(Cache(), ".cache"), pieces);
}

// A failed call fails every SPEAK that waited on it as its own would
// have; one that is tried again is tried once, shared again.
TEST_F(SharedSynthesisTest, FailureOfTheSharedCallFailsEveryWaiter) {
  Start();
  m_Server->faults().FailNext(1, grpc::StatusCode::INVALID_ARGUMENT, "refused");
  std::vector<mrcp_request_id> ids = SpeakOnAll({"refused text"}, kChannels - 1);
  for (size_t i = 0; i < kChannels; ++i) {
    vxhost::ReceivedMessage response = Next(m_Channels[i]);
    EXPECT_EQ(response.request_id, ids[i]);
    EXPECT_EQ(response.status_code, 407) << response.text;
    EXPECT_EQ(response.request_state, MRCP_REQUEST_STATE_COMPLETE);
  }
  EXPECT_EQ(Calls(), 1u);
  EXPECT_EQ(CountFiles(Cache(), ".cache"), 0u);
}

TEST_F(SharedSynthesisTest, RetriedFailureIsTriedOnceForAllWaiters) {
  Start("caching=\"true\" reattempt=\"true\"");
  m_Server->faults().FailNext(1, grpc::StatusCode::UNAVAILABLE, "busy");
  const std::string text = "tried again";
  std::vector<mrcp_request_id> ids = SpeakOnAll({text}, kChannels - 1);
  for (size_t i = 0; i < kChannels; ++i) ExpectCompleted(m_Channels[i], ids[i], text);
  EXPECT_EQ(Calls(), 2u);
  EXPECT_EQ(m_Log->Count("Join Synthesis in Flight"), 2 * (kChannels - 1));
}

}  // namespace
}  // namespace vxtest
