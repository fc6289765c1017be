// Text segments of streaming voices over StreamingSynthesize: the audio of
// the stream byte for byte, one stream per text however long, its messages
// cut at the sentences of its language, IN-PROGRESS with its first audio,
// the fallback to the unary call (in sentence pieces for a long text), a
// stream that breaks after audio, STOP, barge-in and close during a
// stream, the segments that keep the unary call, and the cache record of a
// streamed segment.
#include <cstring>
#include <mutex>

#include "ModuleFixture.h"
#include "Synthesizer.h"
#include "TestBytesVoice.h"

namespace vxtest {
namespace {

constexpr size_t kFrameSamples = 160;  // 20 ms at 8 kHz
const char kStreamVoice[] = "en-US-Chirp3-HD-TestBytes";

class StreamTest : public ModuleFixture {
 protected:
  void SetUp() override {
    ModuleFixture::SetUp();
    VxTts::TtsServerOptions options;
    options.log = [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(m_ServerLogMutex);
      m_ServerLog.push_back(line);
    };
    StartServer(options);
  }

  void Start(const std::string& synth_attributes = "") {
    WriteConfig("streaming-voices=\"*-Chirp3-HD-*\" voice-name=\"" + std::string(kStreamVoice) +
                "\" " + synth_attributes);
    StartEngine();
    m_Channel = OpenChannel("ch1");
  }

  // The input bytes the bytes voice's frames carry, in the order heard.
  static std::string DecodeBytes(const std::vector<char>& audio) {
    std::vector<int16_t> pcm(audio.size() / 2);
    if (!pcm.empty()) memcpy(pcm.data(), audio.data(), pcm.size() * 2);
    std::string bytes;
    for (size_t at = 0; at + kFrameSamples <= pcm.size(); at += kFrameSamples) {
      VxTts::TestBytesFrame frame;
      if (!VxTts::DecodeTestBytesFrame(pcm.data() + at, kFrameSamples, &frame)) {
        ADD_FAILURE() << "frame at sample " << at << " does not decode";
        break;
      }
      bytes += static_cast<char>(frame.byte);
    }
    return bytes;
  }

  // Server log lines of ended streams.
  std::vector<std::string> StreamLines() {
    std::lock_guard<std::mutex> lock(m_ServerLogMutex);
    std::vector<std::string> lines;
    for (const std::string& line : m_ServerLog) {
      if (line.rfind("StreamingSynthesize ", 0) == 0) lines.push_back(line);
    }
    return lines;
  }

  bool WaitStreamLine(const std::string& part, std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < until) {
      for (const std::string& line : StreamLines()) {
        if (line.find(part) != std::string::npos) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  // Waits until the service has seen this many streams open.
  bool WaitStreams(size_t count) {
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (m_Server->calls().StreamingCalls() < count) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

  vxhost::Channel* m_Channel = nullptr;
  std::mutex m_ServerLogMutex;
  std::vector<std::string> m_ServerLog;
};

TEST_F(StreamTest, StreamedTextIsHeardWholeWithItsInProgressBeforeTheStreamEnds) {
  Start();
  // The second sentence takes two seconds: IN-PROGRESS comes with the
  // first sentence's audio, long before the stream ends.
  m_Server->latency().Set(0, 20.0);
  const std::string text = "Hello there. " + std::string(99, 'x') + ".";
  mrcp_request_id id = Send(m_Channel, SpeakText(text, "text/plain"));
  vxhost::ReceivedMessage response = Next(m_Channel);
  EXPECT_EQ(response.request_id, id);
  EXPECT_EQ(response.request_state, MRCP_REQUEST_STATE_INPROGRESS);
  EXPECT_TRUE(StreamLines().empty()) << "IN-PROGRESS waited for the whole stream";
  vxhost::ReceivedMessage complete = Next(m_Channel, 30s);
  EXPECT_EQ(complete.method_name, "SPEAK-COMPLETE");
  EXPECT_EQ(complete.completion_cause, 0);
  EXPECT_EQ(DecodeBytes(m_Channel->Audio()), text);

  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 0u);
  ASSERT_EQ(m_Server->calls().StreamingCalls(), 1u);
  const auto streams = m_Server->calls().StreamRequests();
  ASSERT_EQ(streams.size(), 1u);
  ASSERT_GE(streams[0].size(), 2u);
  const auto& config = streams[0][0].streaming_config();
  EXPECT_EQ(config.voice().name(), kStreamVoice);
  EXPECT_EQ(config.voice().language_code(), "en-US");
  EXPECT_EQ(config.streaming_audio_config().audio_encoding(), google::cloud::texttospeech::v1::PCM);
  EXPECT_EQ(config.streaming_audio_config().sample_rate_hertz(), 8000);
  std::string sent;
  for (size_t i = 1; i < streams[0].size(); ++i) sent += streams[0][i].input().text();
  EXPECT_EQ(sent, text);
  EXPECT_TRUE(m_Log->WaitFor("Stream Complete", 1s));
}

TEST_F(StreamTest, TenThousandCharactersGoOverOneStreamInWholeSentencesAndAreHeardWhole) {
  Start();  // sentence pieces are on: a streamed text is not cut into segments
  std::string text;
  for (int i = 0; text.size() < 10000; ++i) {
    text += "Sentence number " + std::to_string(i) + " says a little more than the one before. ";
  }
  text.resize(10000);
  SpeakToCompletion(m_Channel, text);
  EXPECT_EQ(DecodeBytes(m_Channel->Audio()), text);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 0u);
  ASSERT_EQ(m_Server->calls().StreamingCalls(), 1u);
  const auto streams = m_Server->calls().StreamRequests();
  ASSERT_EQ(streams.size(), 1u);
  ASSERT_GE(streams[0].size(), 4u);  // the config and three messages at least
  // The first sentence goes alone, so that the service starts on it at once.
  EXPECT_EQ(streams[0][1].input().text(),
            "Sentence number 0 says a little more than the one before. ");
  std::string sent;
  for (size_t i = 1; i < streams[0].size(); ++i) {
    const std::string& piece = streams[0][i].input().text();
    EXPECT_LE(piece.size(), 5000u);
    if (i + 1 < streams[0].size()) {
      EXPECT_EQ(piece.substr(piece.size() - 2), ". ") << "message " << i << " ends mid-sentence";
    }
    sent += piece;
  }
  EXPECT_EQ(sent, text);
}

TEST_F(StreamTest, StreamedTextIsCutAtSentencesOfItsLanguage) {
  Start();
  struct Case {
    const char* language;
    std::string first;
    std::string rest;
  };
  const Case cases[] = {
      {"en-US", "Dr. Smith paid 3.14 dollars, e.g. for tea. ", "Then he left. And came back."},
      {"de-DE", "Dr. Müller kam z. B. um 3.14 Uhr, bzw. später. ", "Dann ging er. So war es."},
      {"ja-JP", "今日は晴れです。", "気温は3.5度です！はい。"},
  };
  size_t streams = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.language);
    m_Channel->ClearAudio();
    SpeakToCompletion(m_Channel, c.first + c.rest, "text/plain",
                      {std::string("Speech-Language: ") + c.language});
    EXPECT_EQ(DecodeBytes(m_Channel->Audio()), c.first + c.rest);
    ASSERT_EQ(m_Server->calls().StreamingCalls(), ++streams);
    const auto requests = m_Server->calls().StreamRequests();
    ASSERT_EQ(requests.size(), streams);
    ASSERT_GE(requests.back().size(), 3u);
    EXPECT_EQ(requests.back()[1].input().text(), c.first);
  }
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 0u);
}

TEST_F(StreamTest, LongStreamFailingBeforeAnyAudioFallsBackInUnaryPieces) {
  Start();
  std::string text;
  for (int i = 0; text.size() < 6000; ++i) {
    text += "Fallback sentence " + std::to_string(i) + " is heard after all. ";
  }
  m_Server->faults().FailNext(1, grpc::StatusCode::UNAVAILABLE, "scripted failure");
  SpeakToCompletion(m_Channel, text);
  EXPECT_EQ(m_Server->calls().StreamingCalls(), 1u) << "a piece of the fallback streamed";
  const auto requests = m_Server->calls().Requests();
  ASSERT_GE(requests.size(), 3u);
  EXPECT_EQ(requests[0].input().text(), "Fallback sentence 0 is heard after all.");
  std::string sent;
  for (const auto& request : requests) {
    EXPECT_LE(request.input().text().size(), 5000u);
    sent += request.input().text();
  }
  EXPECT_EQ(DecodeBytes(m_Channel->Audio()), sent);
  EXPECT_EQ(m_Log->Count("Fall Back to Unary Synth <ch1@vxs>"), 1u);
}

TEST_F(StreamTest, StreamFailingBeforeAnyAudioFallsBackToOneUnaryCall) {
  Start();
  m_Server->faults().FailNext(1, grpc::StatusCode::UNAVAILABLE, "scripted failure");
  const std::string text = "One sentence. And another one.";
  SpeakToCompletion(m_Channel, text);
  EXPECT_EQ(m_Server->calls().StreamingCalls(), 1u);
  // Sentence pieces are on: the unary calls take the text as they would
  // without a stream.
  ASSERT_EQ(m_Server->calls().SynthesizeCalls(), 2u);
  EXPECT_EQ(m_Server->calls().Requests()[0].input().text(), "One sentence.");
  EXPECT_EQ(m_Server->calls().Requests()[1].input().text(), "And another one.");
  EXPECT_EQ(DecodeBytes(m_Channel->Audio()), "One sentence.And another one.");
  EXPECT_EQ(m_Log->Count("Fall Back to Unary Synth <ch1@vxs>"), 1u);

  // A stream that ends well without audio falls back the same way.
  m_Channel->ClearAudio();
  m_Server->faults().SetEmptyAudio(true);
  mrcp_request_id id = Send(m_Channel, SpeakText(text, "text/plain"));
  vxhost::ReceivedMessage response = Next(m_Channel);
  EXPECT_EQ(response.request_id, id);
  // The unary reply is empty too: the SPEAK fails as a call without audio.
  EXPECT_EQ(response.status_code, 407);
  EXPECT_EQ(m_Server->calls().StreamingCalls(), 2u);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 3u);
}

TEST_F(StreamTest, WithoutSentencePiecesTheFallbackIsOneUnaryCallOfTheWholeText) {
  Start("sentence-split=\"false\"");
  m_Server->faults().FailNext(1, grpc::StatusCode::UNAVAILABLE, "scripted failure");
  const std::string text = "One sentence. And another one.";
  SpeakToCompletion(m_Channel, text);
  EXPECT_EQ(m_Server->calls().StreamingCalls(), 1u);
  ASSERT_EQ(m_Server->calls().SynthesizeCalls(), 1u);
  EXPECT_EQ(m_Server->calls().Requests()[0].input().text(), text);
  EXPECT_EQ(DecodeBytes(m_Channel->Audio()), text);
  // The next SPEAK streams again.
  m_Channel->ClearAudio();
  SpeakToCompletion(m_Channel, text);
  EXPECT_EQ(m_Server->calls().StreamingCalls(), 2u);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 1u);
}

TEST_F(StreamTest, FallbackIsTheOnlySecondTryEvenWithReattempt) {
  Start("reattempt=\"true\"");
  m_Server->faults().FailNext(2, grpc::StatusCode::UNAVAILABLE, "scripted failure");
  Send(m_Channel, SpeakText("Never heard.", "text/plain"));
  vxhost::ReceivedMessage response = Next(m_Channel);
  EXPECT_EQ(response.status_code, 407);
  EXPECT_EQ(m_Server->calls().StreamingCalls(), 1u);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 1u);
  EXPECT_EQ(m_Log->Count("Reattempt gRPC Request"), 0u);
}

TEST_F(StreamTest, StreamBreakingAfterAudioEndsTheSpeakWithAnErrorAfterWhatPlayed) {
  Start();
  m_Server->faults().BreakNextStream(1, grpc::StatusCode::INTERNAL, "broken");
  Send(m_Channel, SpeakText("First part. Second part is lost.", "text/plain"));
  vxhost::ReceivedMessage response = Next(m_Channel);
  EXPECT_EQ(response.request_state, MRCP_REQUEST_STATE_INPROGRESS);
  vxhost::ReceivedMessage complete = Next(m_Channel, 30s);
  EXPECT_EQ(complete.method_name, "SPEAK-COMPLETE");
  EXPECT_EQ(complete.completion_cause, 4);  // error
  EXPECT_EQ(DecodeBytes(m_Channel->Audio()), "First part. ");
  // Audio of the segment was heard: no second try from its start.
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 0u);
  EXPECT_EQ(m_Log->Count("gRPC Stream Status: INTERNAL: broken <ch1@vxs>"), 1u);
}

TEST_F(StreamTest, StopOrBargeInBeforeOrDuringTheAudioCancelsTheStreamAtOnce) {
  Start();
  struct Case {
    const char* method;
    bool after_audio;
  };
  int streams = 0;
  for (const Case& c : {Case{"STOP", false}, Case{"STOP", true}, Case{"BARGE-IN-OCCURRED", false},
                        Case{"BARGE-IN-OCCURRED", true}}) {
    SCOPED_TRACE(std::string(c.method) + (c.after_audio ? " during audio" : " before audio"));
    m_Log->Clear();
    // Before audio: the first sentence is due in a minute. During audio:
    // the first comes at once, the second in a minute.
    m_Server->latency().Set(c.after_audio ? 0 : 60000, c.after_audio ? 600.0 : 0);
    const std::string text = c.after_audio ? "Go. " + std::string(99, 'y') + "." : "Never.";
    const mrcp_request_id id = Send(m_Channel, SpeakText(text, "text/plain"));
    ++streams;
    if (c.after_audio) {
      // "Go. " is 4 characters: 2.4 s; its IN-PROGRESS comes with it.
      vxhost::ReceivedMessage in_progress = Next(m_Channel, 10s);
      EXPECT_EQ(in_progress.request_state, MRCP_REQUEST_STATE_INPROGRESS);
    } else {
      ASSERT_TRUE(WaitStreams(static_cast<size_t>(streams)));
    }
    Send(m_Channel, RequestText(c.method));
    if (!c.after_audio) {
      // Stopped before its first audio, the SPEAK is answered IN-PROGRESS
      // first.
      vxhost::ReceivedMessage in_progress = Next(m_Channel, 5s);
      EXPECT_EQ(in_progress.request_id, id);
      EXPECT_EQ(in_progress.request_state, MRCP_REQUEST_STATE_INPROGRESS);
    }
    vxhost::ReceivedMessage stopped = Next(m_Channel, 5s);
    EXPECT_EQ(stopped.status_code, 200) << stopped.text;
    EXPECT_EQ(stopped.request_state, MRCP_REQUEST_STATE_COMPLETE);
    EXPECT_EQ(stopped.active_request_id_list, std::to_string(id));
    EXPECT_TRUE(m_Channel->ExpectNoMessage(200ms)) << "an event followed the stop";
    EXPECT_TRUE(WaitStreamLine("status=CANCELLED", 5s));
    EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 0u) << "a cancelled stream fell back";
    {
      std::lock_guard<std::mutex> lock(m_ServerLogMutex);
      m_ServerLog.clear();
    }
  }
  // The channel plays the next SPEAK as usual.
  m_Server->latency().Set(0, 0);
  m_Channel->ClearAudio();
  SpeakToCompletion(m_Channel, "Afterwards.");
  EXPECT_EQ(DecodeBytes(m_Channel->Audio()), "Afterwards.");
}

TEST_F(StreamTest, CloseDuringAStreamIsAnsweredAtOnce) {
  Start();
  for (bool after_audio : {false, true}) {
    SCOPED_TRACE(after_audio ? "during audio" : "before audio");
    vxhost::Channel* channel = OpenChannel(after_audio ? "late" : "early");
    m_Server->latency().Set(after_audio ? 0 : 60000, after_audio ? 600.0 : 0);
    Send(channel,
         SpeakText(after_audio ? "Go. " + std::string(99, 'z') + "." : "Never.", "text/plain"));
    if (after_audio) {
      EXPECT_EQ(Next(channel, 10s).request_state, MRCP_REQUEST_STATE_INPROGRESS);
    } else {
      ASSERT_TRUE(WaitStreams(1));
    }
    const int closes = channel->CloseResponses();
    EXPECT_TRUE(m_Kit->CloseChannel(channel, 2s)) << "the close was not answered";
    EXPECT_EQ(channel->CloseResponses(), closes + 1);
    EXPECT_TRUE(WaitStreamLine("status=CANCELLED", 5s));
    EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 0u);
    std::lock_guard<std::mutex> lock(m_ServerLogMutex);
    m_ServerLog.clear();
  }
}

TEST_F(StreamTest, PauseDuringAStreamKeepsItsAudioForTheResumeOrEndsAtAClose) {
  Start();
  // The second sentence comes a second after the first.
  m_Server->latency().Set(0, 20.0);
  const std::string text = "Start here. " + std::string(49, 'w') + ".";
  Send(m_Channel, SpeakText(text, "text/plain"));
  EXPECT_EQ(Next(m_Channel).request_state, MRCP_REQUEST_STATE_INPROGRESS);
  Send(m_Channel, RequestText("PAUSE"));
  EXPECT_EQ(Next(m_Channel).status_code, 200);
  // The rest arrives while paused and waits in the buffer.
  EXPECT_TRUE(WaitStreamLine("status=OK", 10s));
  EXPECT_TRUE(m_Channel->ExpectNoMessage(100ms));
  Send(m_Channel, RequestText("RESUME"));
  EXPECT_EQ(Next(m_Channel).status_code, 200);
  vxhost::ReceivedMessage complete = Next(m_Channel, 30s);
  EXPECT_EQ(complete.method_name, "SPEAK-COMPLETE");
  EXPECT_EQ(complete.completion_cause, 0);
  EXPECT_EQ(DecodeBytes(m_Channel->Audio()), text);

  // Paused while the stream still runs, then closed.
  m_Server->latency().Set(0, 600.0);
  vxhost::Channel* channel = OpenChannel("paused");
  Send(channel, SpeakText("Go. " + std::string(99, 'p') + ".", "text/plain"));
  EXPECT_EQ(Next(channel, 10s).request_state, MRCP_REQUEST_STATE_INPROGRESS);
  Send(channel, RequestText("PAUSE"));
  EXPECT_EQ(Next(channel).status_code, 200);
  EXPECT_TRUE(m_Kit->CloseChannel(channel, 2s)) << "the close was not answered";
  EXPECT_TRUE(WaitStreamLine("status=CANCELLED", 5s));
}

// The engine closing with streams in flight (one before its audio, one
// during it) cancels them and ends without a crash or a hang.
TEST_F(StreamTest, EngineCloseDuringStreamsEndsCleanly) {
  Start();
  m_Server->latency().Set(0, 600.0);
  Send(m_Channel, SpeakText("Go. " + std::string(99, 'e') + ".", "text/plain"));
  EXPECT_EQ(Next(m_Channel, 10s).request_state, MRCP_REQUEST_STATE_INPROGRESS);
  vxhost::Channel* early = OpenChannel("early");
  m_Server->latency().Set(60000, 0);
  Send(early, SpeakText("Never.", "text/plain"));
  ASSERT_TRUE(WaitStreams(2));
  EXPECT_TRUE(m_Kit->CloseEngine(5s));
  EXPECT_TRUE(WaitStreamLine("status=CANCELLED", 5s));
  m_Kit.reset();
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 0u);
}

TEST_F(StreamTest, SsmlOtherVoicesAndAudioSettingsTheStreamCannotCarryKeepTheUnaryCall) {
  Start();
  const std::string ssml =
      "<speak xmlns=\"http://www.w3.org/2001/10/synthesis\" version=\"1.0\" "
      "xml:lang=\"en-US\">Marked up.</speak>";
  SpeakToCompletion(m_Channel, ssml, "application/ssml+xml");
  SpeakToCompletion(m_Channel, "Other voice.", "text/plain",
                    {"Voice-Name: " + std::string(VxTts::Synthesizer::kTestBytesVoiceName)});
  SpeakToCompletion(m_Channel, "With effects.", "text/plain",
                    {"Vendor-Specific-Parameters: effects-profile=telephony-class-application"});
  EXPECT_EQ(m_Server->calls().StreamingCalls(), 0u);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 3u);
  // The same voice streams once nothing stands in the way.
  SpeakToCompletion(m_Channel, "Plain.");
  EXPECT_EQ(m_Server->calls().StreamingCalls(), 1u);
}

TEST_F(StreamTest, StreamThatRanToItsEndIsCachedAndABrokenOneIsNot) {
  WriteConfig(std::string("caching=\"true\" streaming-voices=\"*-Chirp3-HD-*\" voice-name=\"") +
                  kStreamVoice + "\"",
              "  <waveform-manager waveform-folder=\"cache\"/>\n");
  fs::create_directories(m_Root / "var" / "cache");
  StartEngine();
  m_Channel = OpenChannel("ch1");
  const std::string text = "Cached once. Played twice.";
  SpeakToCompletion(m_Channel, text);
  m_Channel->ClearAudio();
  SpeakToCompletion(m_Channel, text);
  EXPECT_EQ(DecodeBytes(m_Channel->Audio()), text);
  EXPECT_EQ(m_Server->calls().StreamingCalls(), 1u) << "the repeat was not a cache hit";
  EXPECT_EQ(m_Log->Count("Found Matching Cache Record"), 1u);

  const std::string other = "Broken first. Never whole.";
  m_Server->faults().BreakNextStream(1, grpc::StatusCode::INTERNAL, "broken");
  Send(m_Channel, SpeakText(other, "text/plain"));
  EXPECT_EQ(Next(m_Channel).request_state, MRCP_REQUEST_STATE_INPROGRESS);
  EXPECT_EQ(Next(m_Channel, 30s).completion_cause, 4);
  m_Channel->ClearAudio();
  SpeakToCompletion(m_Channel, other);
  EXPECT_EQ(DecodeBytes(m_Channel->Audio()), other);
  EXPECT_EQ(m_Server->calls().StreamingCalls(), 3u);
}

}  // namespace
}  // namespace vxtest
