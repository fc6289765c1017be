// Long prompts in sentence pieces end to end: a 12,000-character text is
// heard whole, byte for byte, in calls the service accepts; one SPEAK keeps
// one IN-PROGRESS and one SPEAK-COMPLETE across its pieces; STOP in the
// middle of a piece, a failing later piece, a cached first sentence, SSML
// over the limit with bypass on, and the setting that turns it off.
#include <thread>

#include "ModuleFixture.h"
#include "TestBytesVoice.h"

namespace vxtest {
namespace {

constexpr size_t kFrame8k = 320;  // bytes of a 20 ms frame at 8 kHz
constexpr const char* kBytesVoice = "vx-test-bytes";

size_t ToneBytes(const std::string& text) { return text.size() * kFrame8k; }

// The inputs the test-bytes voice spoke, in the order heard, each rebuilt
// from its frames; empty when a frame is not such a frame, an input's bytes
// are not in order, or its frames do not match its hash.
std::vector<std::string> HeardInputs(const std::vector<char>& audio) {
  std::vector<std::string> inputs;
  uint64_t hash = 0;
  const size_t samples = kFrame8k / 2;
  for (size_t offset = 0; offset + kFrame8k <= audio.size(); offset += kFrame8k) {
    VxTts::TestBytesFrame frame;
    if (!VxTts::DecodeTestBytesFrame(reinterpret_cast<const int16_t*>(audio.data() + offset),
                                     samples, &frame)) {
      return {};
    }
    if (frame.index == 0) {
      if (!inputs.empty() && VxTts::TestBytesHash(inputs.back()) != hash) return {};
      inputs.emplace_back();
      hash = frame.input_hash;
    }
    if (inputs.empty() || frame.input_hash != hash || frame.index != inputs.back().size())
      return {};
    inputs.back() += static_cast<char>(frame.byte);
  }
  if (!inputs.empty() && VxTts::TestBytesHash(inputs.back()) != hash) return {};
  return inputs;
}

class PiecesTest : public ModuleFixture {
 protected:
  void SetUp() override {
    ModuleFixture::SetUp();
    StartServer();
  }

  void Start(const std::string& synth_attributes = "", const std::string& elements = "",
             bool realtime = false) {
    WriteConfig(synth_attributes, elements);
    vxhost::HostKit::Options options;
    options.realtime = realtime;
    StartEngine(true, options);
    m_Channel = OpenChannel("ch1");
  }

  std::vector<std::string> SentTexts() {
    std::vector<std::string> texts;
    for (const auto& request : m_Server->calls().Requests()) {
      texts.push_back(request.input().has_ssml() ? request.input().ssml()
                                                 : request.input().text());
    }
    return texts;
  }

  vxhost::Channel* m_Channel = nullptr;
};

TEST_F(PiecesTest, TwelveThousandCharactersAreHeardWholeByteForByte) {
  Start(std::string("voice-name=\"") + kBytesVoice + "\"");
  std::string text;
  for (int i = 0; text.size() < 12000; ++i) {
    text += "Dr. Brown read line " + std::to_string(i) + " of 3.5 pages, e.g. the notes. ";
  }
  text.pop_back();
  SpeakToCompletion(m_Channel, text);
  // One IN-PROGRESS and one SPEAK-COMPLETE, nothing more.
  EXPECT_TRUE(m_Channel->ExpectNoMessage(200ms));

  const std::vector<std::string> sent = SentTexts();
  ASSERT_GE(sent.size(), 4u);
  EXPECT_EQ(sent[0], "Dr. Brown read line 0 of 3.5 pages, e.g. the notes.");
  std::string joined;
  for (const std::string& piece : sent) {
    EXPECT_LE(piece.size(), 5000u);
    joined += (joined.empty() ? "" : " ") + piece;
  }
  EXPECT_EQ(joined, text);
  // Every frame heard is the next byte of the next piece.
  EXPECT_EQ(HeardInputs(m_Channel->Audio()), sent);
}

TEST_F(PiecesTest, SettingOffSendsTheTextInOneCall) {
  Start("sentence-split=\"false\"");
  SpeakToCompletion(m_Channel, "One sentence. Another one. A third.");
  EXPECT_EQ(SentTexts(), std::vector<std::string>{"One sentence. Another one. A third."});
}

TEST_F(PiecesTest, StopDuringTheThirdPieceEndsTheSpeakThere) {
  Start("", "", true);
  const std::string third =
      "Third piece is here and long enough to play for a good while, with many words in it.";
  Send(m_Channel, SpeakText("First. Second one. " + third + " Fourth is never heard at all.",
                            "text/plain"));
  EXPECT_EQ(Next(m_Channel).request_state, MRCP_REQUEST_STATE_INPROGRESS);
  const size_t before_third = ToneBytes("First.") + ToneBytes("Second one.");
  ASSERT_TRUE(m_Channel->WaitAudioBytes(before_third + 10 * kFrame8k, 10s));
  mrcp_request_id stop = Send(m_Channel, RequestText("STOP"));
  vxhost::ReceivedMessage response = Next(m_Channel);
  EXPECT_EQ(response.request_id, stop);
  EXPECT_EQ(response.status_code, 200);
  EXPECT_NE(response.text.find("Active-Request-Id-List"), std::string::npos);
  EXPECT_TRUE(m_Channel->ExpectNoMessage(300ms));
  const size_t heard = m_Channel->AudioBytes();
  EXPECT_LT(heard, before_third + ToneBytes(third));
  // Nothing of the rest plays later, and the channel takes the next SPEAK.
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(m_Channel->AudioBytes(), heard);
  m_Channel->ClearAudio();
  SpeakToCompletion(m_Channel, "After.");
  EXPECT_EQ(m_Channel->AudioBytes(), ToneBytes("After."));
}

// The neighbouring order: the STOP comes while the next piece's call is in
// flight, not while a piece plays.
TEST_F(PiecesTest, StopWhileTheNextPieceIsSynthesizedIsAnsweredOnceItsCallEnds) {
  Start("", "", true);
  m_Server->faults().SetDelay(600ms);
  Send(m_Channel, SpeakText("Hi. Second piece is slow to come.", "text/plain"));
  EXPECT_EQ(Next(m_Channel, 5s).request_state, MRCP_REQUEST_STATE_INPROGRESS);
  ASSERT_TRUE(m_Log->WaitForCount("Start Async Synth", 2, 2s));
  mrcp_request_id stop = Send(m_Channel, RequestText("STOP"));
  vxhost::ReceivedMessage response = Next(m_Channel, 5s);
  EXPECT_EQ(response.request_id, stop);
  EXPECT_EQ(response.status_code, 200);
  EXPECT_TRUE(m_Channel->ExpectNoMessage(300ms));
  EXPECT_EQ(m_Log->Count("Start Async Synth"), 2u);
  EXPECT_LE(m_Channel->AudioBytes(), ToneBytes("Hi."));
}

TEST_F(PiecesTest, PauseAndResumeAcrossPiecesLoseNoByte) {
  Start(std::string("voice-name=\"") + kBytesVoice + "\"", "", true);
  const std::string text = "Hi you. Then more words follow. And a last sentence ends it all here.";
  Send(m_Channel, SpeakText(text, "text/plain"));
  EXPECT_EQ(Next(m_Channel).request_state, MRCP_REQUEST_STATE_INPROGRESS);
  ASSERT_TRUE(m_Channel->WaitAudioBytes(ToneBytes("Hi you.") + 2 * kFrame8k, 5s));
  Send(m_Channel, RequestText("PAUSE"));
  EXPECT_EQ(Next(m_Channel).status_code, 200);
  std::this_thread::sleep_for(300ms);
  Send(m_Channel, RequestText("RESUME"));
  EXPECT_EQ(Next(m_Channel).status_code, 200);
  vxhost::ReceivedMessage complete = Next(m_Channel, 10s);
  EXPECT_EQ(complete.method_name, "SPEAK-COMPLETE");
  EXPECT_EQ(complete.completion_cause, 0);
  EXPECT_EQ(HeardInputs(m_Channel->Audio()),
            (std::vector<std::string>{"Hi you.", "Then more words follow.",
                                      "And a last sentence ends it all here."}));
}

TEST_F(PiecesTest, FailingSecondPieceEndsTheSpeakWith004AfterTheFirst) {
  Start("reattempt=\"true\"");
  // The first call waits, so that the failure is scripted for the second.
  m_Server->faults().SetDelay(300ms);
  Send(m_Channel, SpeakText("Hello there. Something that fails now. Never said.", "text/plain"));
  for (int i = 0; i < 2000 && m_Server->calls().SynthesizeCalls() < 1; ++i)
    std::this_thread::sleep_for(5ms);
  ASSERT_EQ(m_Server->calls().SynthesizeCalls(), 1u);
  // The service takes a call's plan just after counting it.
  std::this_thread::sleep_for(50ms);
  m_Server->faults().FailNext(1, grpc::StatusCode::UNAVAILABLE, "busy");
  m_Server->faults().SetDelay(0ms);
  EXPECT_EQ(Next(m_Channel).request_state, MRCP_REQUEST_STATE_INPROGRESS);
  vxhost::ReceivedMessage complete = Next(m_Channel, 10s);
  EXPECT_EQ(complete.method_name, "SPEAK-COMPLETE");
  EXPECT_EQ(complete.completion_cause, 4);
  EXPECT_EQ(m_Channel->AudioBytes(), ToneBytes("Hello there."));
  // A later piece is not reattempted, and the third is never asked for.
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 2u);
  EXPECT_EQ(m_Log->Count("Reattempt gRPC Request"), 0u);
  EXPECT_TRUE(m_Channel->ExpectNoMessage(200ms));
}

TEST_F(PiecesTest, CachedFirstSentencePlaysItsOwnBytesBeforeTheNewRest) {
  Start(std::string("caching=\"true\" voice-name=\"") + kBytesVoice + "\"",
        "  <waveform-manager waveform-folder=\"cache\"/>\n");
  SpeakToCompletion(m_Channel, "Welcome to the bank.");
  ASSERT_EQ(m_Server->calls().SynthesizeCalls(), 1u);
  m_Channel->ClearAudio();
  SpeakToCompletion(m_Channel, "Welcome to the bank. Your balance is ten dollars.");
  // Only the rest was synthesized; the first sentence came from the cache.
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 2u);
  EXPECT_EQ(SentTexts().back(), "Your balance is ten dollars.");
  EXPECT_EQ(HeardInputs(m_Channel->Audio()),
            (std::vector<std::string>{"Welcome to the bank.", "Your balance is ten dollars."}));
  // Both pieces are in the cache now: the whole prompt again makes no call.
  m_Channel->ClearAudio();
  SpeakToCompletion(m_Channel, "Welcome to the bank. Your balance is ten dollars.");
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 2u);
  EXPECT_EQ(HeardInputs(m_Channel->Audio()),
            (std::vector<std::string>{"Welcome to the bank.", "Your balance is ten dollars."}));
}

TEST_F(PiecesTest, BypassedSsmlOverTheLimitIsRebuiltInPieces) {
  Start();
  std::string body;
  for (int i = 0; body.size() < 6000; ++i) body += "Sentence " + std::to_string(i) + " is here. ";
  const std::string ssml = "<speak version=\"1.0\" xml:lang=\"en-US\"><prosody rate=\"slow\">" +
                           body + "</prosody></speak>";
  SpeakToCompletion(m_Channel, ssml, "application/ssml+xml");
  const std::vector<std::string> sent = SentTexts();
  ASSERT_GE(sent.size(), 3u);
  size_t total = 0;
  for (const std::string& piece : sent) {
    EXPECT_LE(piece.size(), 5000u);
    EXPECT_EQ(piece.rfind("<speak version=\"1.0\" xml:lang=\"en-US\"><prosody rate=\"slow\">", 0),
              0u)
        << piece;
    total += ToneBytes(piece);
  }
  EXPECT_EQ(sent[0],
            "<speak version=\"1.0\" xml:lang=\"en-US\"><prosody rate=\"slow\">Sentence 0 is "
            "here. </prosody></speak>");
  EXPECT_EQ(m_Channel->AudioBytes(), total);
  EXPECT_TRUE(m_Log->WaitFor("Rebuild SSML of [", 1s));

  // Up to the limit the document still goes out as it stands.
  const std::string small = "<speak version=\"1.0\">One. Two. Three.</speak>";
  SpeakToCompletion(m_Channel, small, "application/ssml+xml");
  EXPECT_EQ(SentTexts().back(), small);
  // So does a long one that cannot be rebuilt: the service refuses it, as
  // it did before pieces.
  const std::string broken = "<speak version=\"1.0\">" + body + "</p></speak>";
  Send(m_Channel, SpeakText(broken, "application/ssml+xml"));
  EXPECT_EQ(Next(m_Channel).status_code, 407);
  EXPECT_EQ(SentTexts().back(), broken);
}

}  // namespace
}  // namespace vxtest
