// StreamingSynthesize of the speech service through a real gRPC channel on
// loopback: the order of messages, the audio of a stream sentence by
// sentence, its latency model and its faults; and the sentence cutter.

#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "StreamingInput.h"
#include "Synthesizer.h"
#include "TestBytesVoice.h"
#include "TtsServer.h"
#include "google/cloud/texttospeech/v1/cloud_tts.grpc.pb.h"

namespace {

namespace tts = google::cloud::texttospeech::v1;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kRate = 8000;
constexpr size_t kFrameSamples = kRate / 50;  // 20 ms

tts::StreamingSynthesizeRequest Config(const std::string& voice,
                                       tts::AudioEncoding encoding = tts::PCM, int rate = kRate) {
  tts::StreamingSynthesizeRequest message;
  tts::StreamingSynthesizeConfig* config = message.mutable_streaming_config();
  config->mutable_voice()->set_language_code("en-US");
  config->mutable_voice()->set_name(voice);
  config->mutable_streaming_audio_config()->set_audio_encoding(encoding);
  config->mutable_streaming_audio_config()->set_sample_rate_hertz(rate);
  return message;
}

tts::StreamingSynthesizeRequest Text(const std::string& text) {
  tts::StreamingSynthesizeRequest message;
  message.mutable_input()->set_text(text);
  return message;
}

// One reply of a stream and when it came, counted from the first text.
struct Chunk {
  std::string audio;
  std::chrono::milliseconds at{0};
};

struct StreamResult {
  grpc::Status status;
  std::vector<Chunk> chunks;
  std::string Audio() const {
    std::string all;
    for (const Chunk& c : chunks) all += c.audio;
    return all;
  }
};

class TtsStreamingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(m_Server.Start(VxTts::TtsServerOptions(), &error)) << error;
    m_Stub = tts::TextToSpeech::NewStub(
        grpc::CreateChannel(m_Server.target(), grpc::InsecureChannelCredentials()));
  }

  // Writes the messages in order (all of them, as a client that does not
  // wait for replies), ends its side and reads every reply.
  StreamResult Run(const std::vector<tts::StreamingSynthesizeRequest>& messages) {
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + 30s);
    auto stream = m_Stub->StreamingSynthesize(&context);
    Clock::time_point first_text{};
    for (const auto& message : messages) {
      if (message.has_input() && first_text == Clock::time_point{}) first_text = Clock::now();
      if (!stream->Write(message)) break;
    }
    stream->WritesDone();
    StreamResult result;
    tts::StreamingSynthesizeResponse response;
    while (stream->Read(&response)) {
      result.chunks.push_back(
          {response.audio_content(),
           std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - first_text)});
    }
    result.status = stream->Finish();
    return result;
  }

  // The input bytes the bytes voice's frames carry, and the hash of the
  // input (sentence) of each frame.
  static std::string DecodeBytes(const std::string& audio, std::vector<uint64_t>* hashes) {
    std::vector<int16_t> pcm(audio.size() / 2);
    memcpy(pcm.data(), audio.data(), pcm.size() * 2);
    std::string bytes;
    for (size_t at = 0; at + kFrameSamples <= pcm.size(); at += kFrameSamples) {
      VxTts::TestBytesFrame frame;
      if (!VxTts::DecodeTestBytesFrame(pcm.data() + at, kFrameSamples, &frame)) {
        ADD_FAILURE() << "frame at sample " << at << " does not decode";
        break;
      }
      bytes += static_cast<char>(frame.byte);
      if (hashes && (hashes->empty() || hashes->back() != frame.input_hash)) {
        hashes->push_back(frame.input_hash);
      }
    }
    return bytes;
  }

  VxTts::TtsServer m_Server;
  std::unique_ptr<tts::TextToSpeech::Stub> m_Stub;
};

TEST_F(TtsStreamingTest, BytesVoiceStreamCarriesEveryByteSpokenSentenceBySentence) {
  // The pieces do not end where the sentences do.
  const StreamResult result =
      Run({Config(VxTts::Synthesizer::kStreamingBytesVoiceName), Text("First one. Sec"),
           Text("ond one!  Thi"), Text("rd, unfinished")});
  ASSERT_TRUE(result.status.ok()) << result.status.error_message();
  const std::string audio = result.Audio();
  const std::string text = "First one. Second one!  Third, unfinished";
  // Headerless 16-bit PCM: 20 ms per input byte, nothing else.
  EXPECT_EQ(audio.size(), text.size() * kFrameSamples * 2);
  std::vector<uint64_t> hashes;
  EXPECT_EQ(DecodeBytes(audio, &hashes), text);
  // Each sentence was spoken on its own, blanks after its end with it.
  const std::vector<uint64_t> expected = {VxTts::TestBytesHash("First one. "),
                                          VxTts::TestBytesHash("Second one!  "),
                                          VxTts::TestBytesHash("Third, unfinished")};
  EXPECT_EQ(hashes, expected);
  // Half a second of audio at most per message.
  for (const Chunk& chunk : result.chunks) EXPECT_LE(chunk.audio.size(), kRate / 2 * 2u);
}

TEST_F(TtsStreamingTest, EncodingsAndRatesFollowTheStreamingAudioConfig) {
  const std::string text = "ab";
  StreamResult mulaw = Run({Config(VxTts::Synthesizer::kTestVoiceName, tts::MULAW), Text(text)});
  ASSERT_TRUE(mulaw.status.ok());
  EXPECT_EQ(mulaw.Audio().size(), 2 * kFrameSamples);  // one byte per sample
  StreamResult wide =
      Run({Config(VxTts::Synthesizer::kTestVoiceName, tts::PCM, 16000), Text(text)});
  ASSERT_TRUE(wide.status.ok());
  EXPECT_EQ(wide.Audio().size(), 2 * 320 * 2u);
  // Without streaming_audio_config: 16-bit PCM at 24000 Hz.
  tts::StreamingSynthesizeRequest bare = Config(VxTts::Synthesizer::kTestVoiceName);
  bare.mutable_streaming_config()->clear_streaming_audio_config();
  StreamResult legacy = Run({bare, Text(text)});
  ASSERT_TRUE(legacy.status.ok());
  EXPECT_EQ(legacy.Audio().size(), 2 * 480 * 2u);
}

TEST_F(TtsStreamingTest, MessagesOutOfOrderOrOutOfBoundsAreRefused) {
  const std::string bytes_voice = VxTts::Synthesizer::kStreamingBytesVoiceName;
  tts::StreamingSynthesizeRequest both = Config(bytes_voice);
  tts::StreamingSynthesizeRequest empty_input;
  empty_input.mutable_input();
  tts::StreamingSynthesizeRequest markup;
  markup.mutable_input()->set_markup("hi");
  struct Case {
    const char* what;
    std::vector<tts::StreamingSynthesizeRequest> messages;
  };
  const std::vector<Case> cases = {
      {"nothing at all", {}},
      {"input first", {Text("Hello.")}},
      {"config twice", {Config(bytes_voice), Text("Hello."), Config(bytes_voice)}},
      {"input without text", {Config(bytes_voice), empty_input}},
      {"markup", {Config(bytes_voice), markup}},
      {"an empty message after the config",
       {Config(bytes_voice), tts::StreamingSynthesizeRequest()}},
      {"a piece over the limit", {Config(bytes_voice), Text(std::string(5001, 'a'))}},
      {"a voice that does not stream", {Config("espeak-en-us"), Text("Hello.")}},
      {"an unknown voice", {Config("nobody"), Text("Hello.")}},
      {"LINEAR16", {Config(bytes_voice, tts::LINEAR16), Text("Hello.")}},
      {"OGG_OPUS", {Config(bytes_voice, tts::OGG_OPUS), Text("Hello.")}},
      {"an unsupported rate", {Config(bytes_voice, tts::PCM, 11025), Text("Hello.")}},
  };
  for (const Case& c : cases) {
    const StreamResult result = Run(c.messages);
    EXPECT_EQ(result.status.error_code(), grpc::StatusCode::INVALID_ARGUMENT) << c.what;
    EXPECT_TRUE(result.chunks.empty()) << c.what;
  }
  // A config with a speaking rate outside the range.
  tts::StreamingSynthesizeRequest fast = Config(bytes_voice);
  fast.mutable_streaming_config()->mutable_streaming_audio_config()->set_speaking_rate(4.0);
  EXPECT_EQ(Run({fast, Text("Hi.")}).status.error_code(), grpc::StatusCode::INVALID_ARGUMENT);
  // The second config comes after the first sentence was spoken: its audio
  // went out before the refusal.
  const StreamResult late = Run({Config(bytes_voice), Text("One. "), Config(bytes_voice)});
  EXPECT_EQ(late.status.error_code(), grpc::StatusCode::INVALID_ARGUMENT);
  EXPECT_EQ(DecodeBytes(late.Audio(), nullptr), "One. ");
  EXPECT_EQ(m_Server.calls().StreamingCalls(), cases.size() + 2);
  EXPECT_EQ(m_Server.calls().SynthesizeCalls(), 0u);
}

TEST_F(TtsStreamingTest, FirstAudioWaitsForTheFirstSentenceOnlyAndLaterOnesForTheirOwn) {
  // 100 ms + 2 ms per character: the 10-character first sentence is due at
  // 120 ms, the 300-character second one 600 ms after it.
  m_Server.latency().Set(100, 2.0);
  const std::string second = std::string(299, 'b') + ".";
  const StreamResult result =
      Run({Config(VxTts::Synthesizer::kTestVoiceName), Text("aaaaaaaa. " + second)});
  ASSERT_TRUE(result.status.ok());
  ASSERT_GE(result.chunks.size(), 2u);
  EXPECT_GE(result.chunks.front().at, 120ms);
  EXPECT_LT(result.chunks.front().at, 720ms) << "the first sentence waited for the second";
  EXPECT_GE(result.chunks.back().at, 720ms);
  // Unary calls keep their own model: the whole text at once.
  EXPECT_EQ(m_Server.calls().SynthesizeCalls(), 0u);
}

TEST_F(TtsStreamingTest, ScriptedFaultsEndAStreamBeforeOrAfterItsAudio) {
  const std::string voice = VxTts::Synthesizer::kTestVoiceName;
  m_Server.faults().FailNext(1, grpc::StatusCode::UNAVAILABLE, "busy");
  StreamResult failed = Run({Config(voice), Text("Hello.")});
  EXPECT_EQ(failed.status.error_code(), grpc::StatusCode::UNAVAILABLE);
  EXPECT_TRUE(failed.chunks.empty());

  // Two sentences of 300 ms each, one message apiece: the break comes
  // after the first.
  m_Server.faults().BreakNextStream(1, grpc::StatusCode::INTERNAL, "broken");
  StreamResult broken = Run({Config(voice), Text("abcdefghijklmn. "), Text("abcdefghijklmn.")});
  EXPECT_EQ(broken.status.error_code(), grpc::StatusCode::INTERNAL);
  EXPECT_EQ(broken.status.error_message(), "broken");
  EXPECT_EQ(broken.chunks.size(), 1u);
  // The break is taken once.
  EXPECT_TRUE(Run({Config(voice), Text("Hello.")}).status.ok());

  m_Server.faults().SetEmptyAudio(true);
  StreamResult empty = Run({Config(voice), Text("Hello.")});
  EXPECT_TRUE(empty.status.ok());
  EXPECT_TRUE(empty.chunks.empty());
}

TEST_F(TtsStreamingTest, CallCountersKeepEachStreamsMessages) {
  Run({Config(VxTts::Synthesizer::kTestVoiceName), Text("one "), Text("two")});
  const auto streams = m_Server.calls().StreamRequests();
  ASSERT_EQ(streams.size(), 1u);
  ASSERT_EQ(streams[0].size(), 3u);
  EXPECT_TRUE(streams[0][0].has_streaming_config());
  EXPECT_EQ(streams[0][2].input().text(), "two");
  m_Server.calls().ResetCounters();
  EXPECT_EQ(m_Server.calls().StreamingCalls(), 0u);
  EXPECT_TRUE(m_Server.calls().StreamRequests().empty());
}

TEST(SentenceCutterTest, SentencesPutBackTogetherAreTheTextWhereverThePiecesEnd) {
  const std::string text =
      "It costs 3.14 now. Really?  Yes!\nThe end.\xE3\x80\x82\xE6\x97\xA5\xE6\x9C\xAC\xE3\x80\x82"
      "tail";
  for (size_t cut = 0; cut <= text.size(); ++cut) {
    VxTts::SentenceCutter cutter;
    std::vector<std::string> sentences;
    std::string sentence;
    cutter.Add(text.substr(0, cut));
    while (cutter.Next(&sentence)) sentences.push_back(sentence);
    cutter.Add(text.substr(cut));
    while (cutter.Next(&sentence)) sentences.push_back(sentence);
    const std::string rest = cutter.Rest();
    if (!rest.empty()) sentences.push_back(rest);
    std::string joined;
    for (const std::string& s : sentences) joined += s;
    ASSERT_EQ(joined, text) << "cut at " << cut;
    // "3.14" is never cut; the ideographic stops end sentences.
    for (const std::string& s : sentences) {
      EXPECT_NE(s.substr(s.size() >= 2 ? s.size() - 2 : 0), "3.") << "cut at " << cut;
    }
    if (cut == 0) {
      const std::vector<std::string> expected = {"It costs 3.14 now. ",
                                                 "Really?  ",
                                                 "Yes!\n",
                                                 "The end.\xE3\x80\x82",
                                                 "\xE6\x97\xA5\xE6\x9C\xAC\xE3\x80\x82",
                                                 "tail"};
      EXPECT_EQ(sentences, expected);
    }
  }
}

}  // namespace
