// The speech service through a real gRPC channel on loopback.

#include <fcntl.h>
#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "TtsServer.h"
#include "TtsTestSupport.h"
#include "google/cloud/texttospeech/v1/cloud_tts.grpc.pb.h"

namespace {

namespace tts = google::cloud::texttospeech::v1;
using namespace std::chrono_literals;
using VxTtsTest::MakeRequest;
using VxTtsTest::ParseWave;
using VxTtsTest::WaveInfo;

constexpr char kTone[] = "vx-test-tone";
constexpr char kSentence[] = "The quick brown fox jumps over the lazy dog.";

using VxTtsTest::WaitFor;

class TtsServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(m_Server.Start(VxTts::TtsServerOptions(), &error)) << error;
    m_Channel = grpc::CreateChannel(m_Server.target(), grpc::InsecureChannelCredentials());
    m_Stub = tts::TextToSpeech::NewStub(m_Channel);
  }

  // Starts the server again with these options (the log is captured in
  // m_Log) and points the stub at it.
  void Restart(VxTts::TtsServerOptions options) {
    m_Server.Shutdown();
    {
      std::lock_guard<std::mutex> lock(m_LogMutex);
      m_Log.clear();
    }
    options.log = [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(m_LogMutex);
      m_Log.push_back(line);
    };
    std::string error;
    ASSERT_TRUE(m_Server.Start(options, &error)) << error;
    m_Channel = grpc::CreateChannel(m_Server.target(), grpc::InsecureChannelCredentials());
    m_Stub = tts::TextToSpeech::NewStub(m_Channel);
  }

  // Log lines so far that contain every one of the given parts.
  size_t LogLinesWith(std::initializer_list<const char*> parts) {
    std::lock_guard<std::mutex> lock(m_LogMutex);
    size_t n = 0;
    for (const std::string& line : m_Log) {
      bool all = true;
      for (const char* part : parts) all = all && line.find(part) != std::string::npos;
      n += all;
    }
    return n;
  }

  grpc::Status Synthesize(const tts::SynthesizeSpeechRequest& request,
                          tts::SynthesizeSpeechResponse* response,
                          std::chrono::milliseconds deadline = 20s) {
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + deadline);
    return m_Stub->SynthesizeSpeech(&context, request, response);
  }

  // The audio of a request that must succeed.
  std::string Audio(const tts::SynthesizeSpeechRequest& request) {
    tts::SynthesizeSpeechResponse response;
    const grpc::Status status = Synthesize(request, &response);
    EXPECT_TRUE(status.ok()) << status.error_message();
    return response.audio_content();
  }

  std::mutex m_LogMutex;
  std::vector<std::string> m_Log;  // guarded by m_LogMutex
  VxTts::TtsServer m_Server;  // after the log, which its threads write
  std::shared_ptr<grpc::Channel> m_Channel;
  std::unique_ptr<tts::TextToSpeech::Stub> m_Stub;
};

TEST_F(TtsServerTest, Linear16AtTelephoneRatesIsAudibleSpeechBehindA44ByteHeader) {
  for (int rate : {8000, 16000}) {
    SCOPED_TRACE(rate);
    const std::string audio = Audio(MakeRequest(kSentence, "espeak-en-us", tts::LINEAR16, rate));
    WaveInfo wave;
    std::string error;
    ASSERT_TRUE(ParseWave(audio, &wave, &error)) << error;
    EXPECT_EQ(wave.chunk_ids, (std::vector<std::string>{"fmt ", "data"}));
    EXPECT_EQ(wave.data_offset, 44u);
    EXPECT_EQ(wave.data_size, audio.size() - 44);
    EXPECT_EQ(wave.format, 1);
    EXPECT_EQ(wave.channels, 1);
    EXPECT_EQ(wave.bits, 16);
    EXPECT_EQ(wave.sample_rate, static_cast<uint32_t>(rate));
    EXPECT_EQ(wave.byte_rate, static_cast<uint32_t>(rate * 2));
    EXPECT_EQ(wave.block_align, 2);
    // About 2.5 s of speech for this sentence at the normal rate.
    const double seconds = wave.data_size / 2.0 / rate;
    EXPECT_GT(seconds, 1.5);
    EXPECT_LT(seconds, 4.5);
    const std::vector<int16_t> pcm = VxTtsTest::Pcm16(audio, wave.data_offset);
    EXPECT_GT(VxTtsTest::Rms(pcm), 500.0) << "speech should be clearly audible";
  }
}

TEST_F(TtsServerTest, VoiceChosenByLanguageSpeaksTextAndSsmlAtItsNaturalRate) {
  tts::SynthesizeSpeechRequest request = MakeRequest(kSentence, "", tts::LINEAR16, 0);
  request.mutable_voice()->set_language_code("en-GB");
  WaveInfo wave;
  std::string error;
  std::string audio = Audio(request);
  ASSERT_TRUE(ParseWave(audio, &wave, &error)) << error;
  EXPECT_EQ(wave.sample_rate, 22050u);
  EXPECT_GT(VxTtsTest::Rms(VxTtsTest::Pcm16(audio, wave.data_offset)), 500.0);

  request.mutable_input()->set_ssml(
      "<speak version=\"1.0\" xml:lang=\"en-GB\">Hello <break time=\"800ms\"/> world &amp; "
      "friends</speak>");
  audio = Audio(request);
  ASSERT_TRUE(ParseWave(audio, &wave, &error)) << error;
  const double seconds = wave.data_size / 2.0 / 22050;
  EXPECT_GT(seconds, 1.3) << "the break should be honoured";
  EXPECT_LT(seconds, 5.0) << "markup must not be read out";
}

TEST_F(TtsServerTest, TestVoiceLengthIsExactlyTwentyMsPerInputByte) {
  const std::string text = "exact length";  // 12 bytes
  const std::string ssml = "<speak>exact length</speak>";
  struct Case {
    tts::AudioEncoding encoding;
    int rate;
    bool use_ssml;
    size_t expected;
  } cases[] = {
      {tts::LINEAR16, 8000, false, 44 + 12 * 320},
      {tts::LINEAR16, 16000, false, 44 + 12 * 640},
      {tts::LINEAR16, 0, false, 44 + 12 * 960},  // natural rate 24000
      {tts::LINEAR16, 48000, false, 44 + 12 * 1920},
      {tts::PCM, 8000, false, 12 * 320},
      {tts::MULAW, 8000, false, 44 + 12 * 160},
      {tts::ALAW, 16000, false, 44 + 12 * 320},
      {tts::LINEAR16, 8000, true, 44 + ssml.size() * 320},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "encoding " << c.encoding << " rate " << c.rate << " ssml " << c.use_ssml);
    tts::SynthesizeSpeechRequest request = MakeRequest(text, kTone, c.encoding, c.rate);
    if (c.use_ssml) request.mutable_input()->set_ssml(ssml);
    // Prosody settings do not change the test voice.
    request.mutable_audio_config()->set_speaking_rate(2.0);
    request.mutable_audio_config()->set_pitch(5);
    EXPECT_EQ(Audio(request).size(), c.expected);
  }
  const std::string audio = Audio(MakeRequest(text, kTone, tts::PCM, 8000));
  EXPECT_NEAR(VxTtsTest::Rms(VxTtsTest::Pcm16(audio)), 8192 / std::sqrt(2.0), 100);
}

TEST_F(TtsServerTest, EachInvalidRequestAnswersInvalidArgumentSayingWhy) {
  struct Case {
    const char* what;
    std::function<void(tts::SynthesizeSpeechRequest*)> spoil;
    const char* message;
  };
  const Case cases[] = {
      {"too long", [](auto* r) { r->mutable_input()->set_text(std::string(5001, 'a')); },
       "5000-byte limit"},
      {"no input", [](auto* r) { r->mutable_input()->clear_input_source(); }, "input"},
      {"empty text", [](auto* r) { r->mutable_input()->set_text(""); }, "input"},
      {"markup", [](auto* r) { r->mutable_input()->set_markup("hi"); }, "markup"},
      {"ssml not xml", [](auto* r) { r->mutable_input()->set_ssml("<speak>hi</spek>"); },
       "not well-formed"},
      {"ssml unclosed", [](auto* r) { r->mutable_input()->set_ssml("<speak>hi"); },
       "not well-formed"},
      {"ssml root", [](auto* r) { r->mutable_input()->set_ssml("<voice>hi</voice>"); },
       "expected <speak>"},
      {"unknown voice", [](auto* r) { r->mutable_voice()->set_name("no-such-voice"); },
       "no-such-voice"},
      {"no voice", [](auto* r) { r->mutable_voice()->Clear(); }, "language_code"},
      {"unknown language",
       [](auto* r) {
         r->mutable_voice()->clear_name();
         r->mutable_voice()->set_language_code("xx-YY");
       },
       "xx-YY"},
      {"rate low", [](auto* r) { r->mutable_audio_config()->set_speaking_rate(0.2); },
       "speaking_rate"},
      {"rate high", [](auto* r) { r->mutable_audio_config()->set_speaking_rate(2.01); },
       "speaking_rate"},
      {"pitch", [](auto* r) { r->mutable_audio_config()->set_pitch(-20.5); }, "pitch"},
      {"volume high", [](auto* r) { r->mutable_audio_config()->set_volume_gain_db(16.5); },
       "volume_gain_db"},
      {"volume low", [](auto* r) { r->mutable_audio_config()->set_volume_gain_db(-97); },
       "volume_gain_db"},
      {"no encoding",
       [](auto* r) {
         r->mutable_audio_config()->set_audio_encoding(tts::AUDIO_ENCODING_UNSPECIFIED);
       },
       "audio_encoding"},
      {"mp3", [](auto* r) { r->mutable_audio_config()->set_audio_encoding(tts::MP3); }, "MP3"},
      {"opus", [](auto* r) { r->mutable_audio_config()->set_audio_encoding(tts::OGG_OPUS); },
       "OGG_OPUS"},
      {"m4a", [](auto* r) { r->mutable_audio_config()->set_audio_encoding(tts::M4A); }, "M4A"},
      {"rate 11025", [](auto* r) { r->mutable_audio_config()->set_sample_rate_hertz(11025); },
       "11025"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    tts::SynthesizeSpeechRequest request =
        MakeRequest("hello", "espeak-en-us", tts::LINEAR16, 8000);
    c.spoil(&request);
    tts::SynthesizeSpeechResponse response;
    const grpc::Status status = Synthesize(request, &response);
    EXPECT_EQ(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT);
    EXPECT_NE(status.error_message().find(c.message), std::string::npos) << status.error_message();
    EXPECT_TRUE(response.audio_content().empty());
  }
  // The limits themselves are allowed.
  tts::SynthesizeSpeechRequest edge = MakeRequest(std::string(5000, 'a'), kTone, tts::PCM, 8000);
  edge.mutable_audio_config()->set_speaking_rate(0.25);
  edge.mutable_audio_config()->set_pitch(20);
  edge.mutable_audio_config()->set_volume_gain_db(-96);
  EXPECT_EQ(Audio(edge).size(), 5000u * 320);
}

TEST_F(TtsServerTest, ListVoicesFiltersByLanguage) {
  auto list = [this](const std::string& language) {
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + 10s);
    tts::ListVoicesRequest request;
    request.set_language_code(language);
    tts::ListVoicesResponse response;
    EXPECT_TRUE(m_Stub->ListVoices(&context, request, &response).ok());
    std::map<std::string, tts::Voice> by_name;
    for (const tts::Voice& v : response.voices()) by_name[v.name()] = v;
    return by_name;
  };
  auto all = list("");
  ASSERT_TRUE(all.count(kTone));
  ASSERT_TRUE(all.count("espeak-en-us"));
  EXPECT_EQ(all[kTone].natural_sample_rate_hertz(), 24000);
  EXPECT_EQ(all["espeak-en-us"].natural_sample_rate_hertz(), 22050);
  EXPECT_EQ(all["espeak-en-us"].language_codes(0), "en-US");
  EXPECT_EQ(all["espeak-en-us"].ssml_gender(), tts::MALE);
  EXPECT_EQ(all["espeak-en-us-female"].ssml_gender(), tts::FEMALE);
  EXPECT_TRUE(all.count("espeak-de"));

  auto english = list("en");
  EXPECT_TRUE(english.count(kTone));
  EXPECT_TRUE(english.count("espeak-en-us"));
  EXPECT_TRUE(english.count("espeak-en"));
  EXPECT_FALSE(english.count("espeak-de"));
  EXPECT_LT(english.size(), all.size());

  auto us = list("en-us");
  EXPECT_TRUE(us.count("espeak-en-us"));
  EXPECT_FALSE(us.count("espeak-en"));  // British
  EXPECT_FALSE(list("de-DE").count(kTone));
}

TEST_F(TtsServerTest, ScriptedDelayHoldsEachCallWithoutSerialisingThem) {
  m_Server.faults().SetDelay(300ms);
  constexpr int kCalls = 20;
  std::atomic<int> ok{0};
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int i = 0; i < kCalls; ++i) {
    threads.emplace_back([&] {
      tts::SynthesizeSpeechResponse response;
      if (Synthesize(MakeRequest("x", kTone, tts::PCM, 8000), &response).ok() &&
          response.audio_content().size() == 320)
        ++ok;
    });
  }
  for (auto& t : threads) t.join();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(ok.load(), kCalls);
  EXPECT_GE(elapsed, 300ms);
  EXPECT_LT(elapsed, 1500ms) << "delayed calls must overlap";
}

TEST_F(TtsServerTest, FailNextAnswersTheScriptedStatusThenRecovers) {
  m_Server.faults().FailNext(2, grpc::StatusCode::RESOURCE_EXHAUSTED, "quota used up");
  const auto request = MakeRequest("hi", kTone, tts::LINEAR16, 8000);
  for (int i = 0; i < 2; ++i) {
    tts::SynthesizeSpeechResponse response;
    const grpc::Status status = Synthesize(request, &response);
    EXPECT_EQ(status.error_code(), grpc::StatusCode::RESOURCE_EXHAUSTED);
    EXPECT_EQ(status.error_message(), "quota used up");
  }
  EXPECT_EQ(Audio(request).size(), 44u + 2 * 320);
}

TEST_F(TtsServerTest, AudioFaultsShapeTheReplyAsScripted) {
  const auto request = MakeRequest("abc", kTone, tts::LINEAR16, 8000);
  const std::string plain = Audio(request);
  ASSERT_EQ(plain.size(), 44u + 3 * 320);

  m_Server.faults().SetEmptyAudio(true);
  EXPECT_EQ(Audio(request).size(), 0u);
  m_Server.faults().SetEmptyAudio(false);

  m_Server.faults().SetCutHeader(true);
  const std::string cut = Audio(request);
  EXPECT_EQ(cut, plain.substr(0, 20));
  WaveInfo wave;
  std::string error;
  EXPECT_FALSE(ParseWave(cut, &wave, &error));
  m_Server.faults().SetCutHeader(false);

  m_Server.faults().SetExtraChunks(true);
  const std::string extra = Audio(request);
  ASSERT_TRUE(ParseWave(extra, &wave, &error)) << error;
  EXPECT_EQ(wave.chunk_ids, (std::vector<std::string>{"fmt ", "LIST", "data"}));
  EXPECT_GT(wave.data_offset, 44u);
  EXPECT_EQ(extra.substr(wave.data_offset), plain.substr(44)) << "same samples, longer header";
  m_Server.faults().Clear();
  EXPECT_EQ(Audio(request), plain);
}

TEST_F(TtsServerTest, DroppedConnectionIsSeenAsUnavailableAndTheNextCallSucceeds) {
  const auto request = MakeRequest("hi", kTone, tts::PCM, 8000);
  ASSERT_EQ(Audio(request).size(), 640u);  // the connection is up
  m_Server.faults().DropNext(1);
  tts::SynthesizeSpeechResponse response;
  const auto start = std::chrono::steady_clock::now();
  const grpc::Status status = Synthesize(request, &response);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::UNAVAILABLE) << status.error_message();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_EQ(m_Server.calls().SynthesizeCalls(), 2u);
  // The client may start one more call on the dying connection before it
  // notices; that fails as UNAVAILABLE too. Then a new connection serves.
  grpc::Status next;
  ASSERT_TRUE(WaitFor(
      [&] {
        response.Clear();
        next = Synthesize(request, &response);
        EXPECT_TRUE(next.ok() || next.error_code() == grpc::StatusCode::UNAVAILABLE);
        return next.ok();
      },
      5s));
  EXPECT_EQ(response.audio_content().size(), 640u);
}

TEST_F(TtsServerTest, ClientDeadlineEndsADelayedCallAndShutdownDoesNotWaitForIt) {
  m_Server.faults().SetDelay(30s);
  tts::SynthesizeSpeechResponse response;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Synthesize(MakeRequest("hi", kTone, tts::PCM, 8000), &response, 200ms).error_code(),
            grpc::StatusCode::DEADLINE_EXCEEDED);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);

  // A call still inside its delay when the server stops.
  grpc::Status late;
  std::thread caller([&] {
    tts::SynthesizeSpeechResponse r;
    late = Synthesize(MakeRequest("hi", kTone, tts::PCM, 8000), &r, 60s);
  });
  ASSERT_TRUE(WaitFor([&] { return m_Server.calls().SynthesizeCalls() == 2; }, 5s));
  start = std::chrono::steady_clock::now();
  m_Server.Shutdown();
  caller.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_FALSE(late.ok());

  // Started again, it serves on a new port; faults and counters carry over.
  std::string error;
  ASSERT_TRUE(m_Server.Start(VxTts::TtsServerOptions(), &error)) << error;
  m_Server.faults().SetDelay(0ms);
  m_Stub = tts::TextToSpeech::NewStub(
      grpc::CreateChannel(m_Server.target(), grpc::InsecureChannelCredentials()));
  EXPECT_EQ(Audio(MakeRequest("hi", kTone, tts::PCM, 8000)).size(), 640u);
  EXPECT_EQ(m_Server.calls().SynthesizeCalls(), 3u);
}

TEST_F(TtsServerTest, CountersCountEachMethodAndKeepCopiesOfRequests) {
  const auto first = MakeRequest("one", kTone, tts::PCM, 8000);
  auto second = MakeRequest("two", "no-such-voice", tts::PCM, 8000);
  Audio(first);
  tts::SynthesizeSpeechResponse response;
  EXPECT_FALSE(Synthesize(second, &response).ok());  // rejected calls count too
  grpc::ClientContext context;
  tts::ListVoicesResponse voices;
  EXPECT_TRUE(m_Stub->ListVoices(&context, tts::ListVoicesRequest(), &voices).ok());

  EXPECT_EQ(m_Server.calls().SynthesizeCalls(), 2u);
  EXPECT_EQ(m_Server.calls().ListVoicesCalls(), 1u);
  const auto requests = m_Server.calls().Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].SerializeAsString(), first.SerializeAsString());
  EXPECT_EQ(requests[1].voice().name(), "no-such-voice");

  m_Server.calls().ResetCounters();
  EXPECT_EQ(m_Server.calls().SynthesizeCalls(), 0u);
  EXPECT_EQ(m_Server.calls().ListVoicesCalls(), 0u);
  EXPECT_TRUE(m_Server.calls().Requests().empty());
}

TEST_F(TtsServerTest, HundredAsyncCallsInADelayAreServedTogether) {
  m_Server.faults().SetDelay(200ms);
  constexpr int kCalls = 100;
  grpc::CompletionQueue cq;
  struct Call {
    grpc::ClientContext context;
    tts::SynthesizeSpeechResponse response;
    grpc::Status status;
    std::unique_ptr<grpc::ClientAsyncResponseReader<tts::SynthesizeSpeechResponse>> reader;
  };
  std::vector<Call> calls(kCalls);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kCalls; ++i) {
    Call& c = calls[i];
    c.context.set_deadline(std::chrono::system_clock::now() + 20s);
    c.reader = m_Stub->AsyncSynthesizeSpeech(
        &c.context, MakeRequest(std::string(1 + i % 5, 'x'), kTone, tts::PCM, 8000), &cq);
    c.reader->Finish(&c.response, &c.status, &c);
  }
  int ok = 0;
  for (int i = 0; i < kCalls; ++i) {
    void* tag = nullptr;
    bool done = false;
    ASSERT_TRUE(cq.Next(&tag, &done));
    const Call& c = *static_cast<Call*>(tag);
    const size_t index = &c - calls.data();
    if (c.status.ok() && c.response.audio_content().size() == (1 + index % 5) * 320) ++ok;
  }
  EXPECT_EQ(ok, kCalls);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  cq.Shutdown();
}

TEST_F(TtsServerTest, LatencyModelHoldsEachReplyForItsFirstByteAndPerCharacterTime) {
  const auto text = MakeRequest("abcdefghij", kTone, tts::PCM, 8000);
  auto ssml = text;
  ssml.mutable_input()->set_ssml("<speak>hi</speak>");  // 17 characters
  // 12 characters in 24 bytes: the model counts characters.
  const auto accented = MakeRequest(
      "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3"
      "\xA9\xC3\xA9",
      kTone, tts::PCM, 8000);
  const std::string plain_text = Audio(text), plain_ssml = Audio(ssml),
                    plain_accented = Audio(accented);

  VxTts::TtsServerOptions options;
  options.first_byte_ms = 100;
  options.ms_per_char = 4;
  Restart(options);
  struct Case {
    const tts::SynthesizeSpeechRequest& request;
    const std::string& plain;
    std::chrono::milliseconds at_least;
    const char* log;
  } cases[] = {
      {text, plain_text, 140ms, " latency-ms=140"},
      {ssml, plain_ssml, 168ms, " latency-ms=168"},
      {accented, plain_accented, 148ms, " latency-ms=148"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.log);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Audio(c.request), c.plain) << "the model delays the reply, not its audio";
    EXPECT_GE(std::chrono::steady_clock::now() - start, c.at_least);
    EXPECT_EQ(LogLinesWith({"status=OK", c.log}), 1u);
  }

  // Changed while serving; a scripted delay adds to the model.
  m_Server.latency().Set(50, 10);
  m_Server.faults().SetDelay(100ms);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Audio(text), plain_text);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);
  m_Server.faults().Clear();

  // Started again with default options, the model is off.
  Restart(VxTts::TtsServerOptions());
  EXPECT_EQ(Audio(text), plain_text);
  EXPECT_EQ(LogLinesWith({"latency-ms="}), 0u);
}

TEST_F(TtsServerTest, CallUnderALongLatencyEndsOnCancelDeadlineOrShutdown) {
  VxTts::TtsServerOptions options;
  options.first_byte_ms = 60000;
  options.ms_per_char = 1000;
  Restart(options);
  const auto request = MakeRequest("hi", kTone, tts::PCM, 8000);

  // The client's deadline.
  tts::SynthesizeSpeechResponse response;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Synthesize(request, &response, 300ms).error_code(),
            grpc::StatusCode::DEADLINE_EXCEEDED);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);

  // The client's TryCancel once the call is in the service.
  grpc::ClientContext context;
  grpc::Status cancelled;
  std::thread caller([&] {
    tts::SynthesizeSpeechResponse r;
    cancelled = m_Stub->SynthesizeSpeech(&context, request, &r);
  });
  ASSERT_TRUE(WaitFor([&] { return m_Server.calls().SynthesizeCalls() == 2; }, 10s));
  start = std::chrono::steady_clock::now();
  context.TryCancel();
  caller.join();
  EXPECT_EQ(cancelled.error_code(), grpc::StatusCode::CANCELLED);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);

  // Both handlers gave up their wait rather than hold a thread for a minute.
  EXPECT_TRUE(WaitFor(
      [&] { return LogLinesWith({"status=CANCELLED", "latency-ms=62000", "bytes=0"}) == 2; },
      20s));

  // A call still waiting when the server stops.
  grpc::Status late;
  std::thread waiting([&] {
    tts::SynthesizeSpeechResponse r;
    late = Synthesize(request, &r, 120s);
  });
  ASSERT_TRUE(WaitFor([&] { return m_Server.calls().SynthesizeCalls() == 3; }, 10s));
  m_Server.Shutdown();
  waiting.join();
  EXPECT_FALSE(late.ok());
  EXPECT_EQ(LogLinesWith({"status=CANCELLED", "latency-ms=62000"}), 3u);
}

TEST(TtsServerLatencyOptions, StartRefusesNegativeOrNonNumericValues) {
  for (const auto& [first, per_char] :
       std::vector<std::pair<long long, double>>{{-1, 0}, {0, -1}, {0, std::nan("")}}) {
    SCOPED_TRACE(testing::Message() << first << " " << per_char);
    VxTts::TtsServerOptions options;
    options.first_byte_ms = first;
    options.ms_per_char = per_char;
    VxTts::TtsServer server;
    std::string error;
    EXPECT_FALSE(server.Start(options, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(server.port(), 0);
  }
}

#ifdef VX_TTS_SERVER_PROGRAM
TEST(TtsServerProgram, ServesLogsAndStopsOnSigterm) {
  VxTtsTest::ScratchDir dir;
  const std::string err_file = dir / "stderr.txt";
  int out_pipe[2];
  ASSERT_EQ(pipe2(out_pipe, O_CLOEXEC), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(out_pipe[1], 1);
    const int err = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(err, 2);
    execl(VX_TTS_SERVER_PROGRAM, VX_TTS_SERVER_PROGRAM, "--listen", "127.0.0.1:0", "--fail-next",
          "1", "--fail-code", "resource_exhausted", "--first-byte-ms", "200", "--ms-per-char",
          "50.5", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out_pipe[1]);
  std::string line;
  pollfd pfd{out_pipe[0], POLLIN, 0};
  while (line.find('\n') == std::string::npos && poll(&pfd, 1, 10000) > 0) {
    char buf[256];
    const ssize_t n = read(out_pipe[0], buf, sizeof(buf));
    if (n <= 0) break;
    line.append(buf, n);
  }
  close(out_pipe[0]);
  ASSERT_EQ(line.rfind("listening on 127.0.0.1:", 0), 0u) << line;
  const std::string target = line.substr(13, line.find('\n') - 13);

  auto stub =
      tts::TextToSpeech::NewStub(grpc::CreateChannel(target, grpc::InsecureChannelCredentials()));
  for (grpc::StatusCode expected : {grpc::StatusCode::RESOURCE_EXHAUSTED, grpc::StatusCode::OK}) {
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + 10s);
    tts::SynthesizeSpeechResponse response;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(stub->SynthesizeSpeech(&context, MakeRequest("hi", kTone, tts::PCM, 8000), &response)
                  .error_code(),
              expected);
    // The reply with audio waits out the latency model: 200 + 2 x 50.5 ms.
    if (expected == grpc::StatusCode::OK) {
      EXPECT_GE(std::chrono::steady_clock::now() - start, 301ms);
    }
  }
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  int wstatus = 0;
  ASSERT_TRUE(WaitFor([&] { return waitpid(pid, &wstatus, WNOHANG) == pid; }, 10s));
  EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0);
  const std::string log = VxTtsTest::ReadFile(err_file);
  EXPECT_NE(log.find("SynthesizeSpeech voice=vx-test-tone bytes=0 status=RESOURCE_EXHAUSTED"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("SynthesizeSpeech voice=vx-test-tone bytes=640 status=OK ms="),
            std::string::npos)
      << log;
  EXPECT_NE(log.find(" latency-ms=301"), std::string::npos) << log;

  // --help names every option; a bad option is refused.
  const std::string help_file = dir / "help.txt";
  ASSERT_EQ(VxTtsTest::Run(std::string(VX_TTS_SERVER_PROGRAM) + " --help > " + help_file), 0);
  const std::string help = VxTtsTest::ReadFile(help_file);
  for (const char* option :
       {"--listen", "--delay-ms", "--fail-next", "--fail-code", "--empty-audio", "--cut-header",
        "--extra-chunks", "--drop-next", "--tls-cert", "--tls-key", "--jwt-public-key",
        "--first-byte-ms", "--ms-per-char"}) {
    EXPECT_NE(help.find(option), std::string::npos) << option;
  }
  EXPECT_EQ(VxTtsTest::Run(std::string(VX_TTS_SERVER_PROGRAM) + " --bogus"), 2);
  // Latency values: whole or decimal milliseconds are taken (--help then
  // exits 0); negative, non-numeric or missing ones are usage errors that
  // name the option.
  EXPECT_EQ(VxTtsTest::Run(std::string(VX_TTS_SERVER_PROGRAM) +
                           " --first-byte-ms 0 --ms-per-char 0 --first-byte-ms 150"
                           " --ms-per-char 0.5 --help"),
            0);
  const std::string err = dir / "usage.txt";
  for (const char* bad :
       {"--first-byte-ms -1", "--first-byte-ms abc", "--first-byte-ms 1.5", "--first-byte-ms",
        "--first-byte-ms 99999999999", "--ms-per-char -0.5", "--ms-per-char x",
        "--ms-per-char nan", "--ms-per-char inf", "--ms-per-char 1e3", "--ms-per-char 2000000",
        "--ms-per-char ''", "--ms-per-char"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(VxTtsTest::Run(std::string(VX_TTS_SERVER_PROGRAM) + " " + bad + " 2> " + err), 2);
    const std::string option = std::string(bad).substr(0, std::string(bad).find(' '));
    EXPECT_EQ(VxTtsTest::ReadFile(err).rfind("vexora-tts-server: " + option + " needs ", 0), 0u)
        << VxTtsTest::ReadFile(err);
  }
  // Not loopback: refused at start (the time-out only guards against a hang).
  EXPECT_EQ(
      VxTtsTest::Run("timeout 10 " + std::string(VX_TTS_SERVER_PROGRAM) + " --listen 10.1.2.3:0"),
      1);
}
#endif

}  // namespace
