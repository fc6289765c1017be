// The channel's request state machine, driven one event at a time: the
// engine runs on a processor without a thread (the test runs its events),
// the local speech service answers over loopback gRPC, media frames are read
// when the test reads them, and records are written to a scratch folder.
// Every request meets every state a channel can be in: idle, a call in
// flight, playing, paused, a STOP held for the media thread, a close
// waiting for the SPEAK to end. Over 400 lines: one fixture for the one
// state machine, whose cases read best side by side.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Channel.h"
#include "Engine.h"
#include "EngineEnv.h"
#include "PluginBindings.h"
#include "TtsServer.h"
#include "ambrel/testing/TestSupport.h"
#include "vxhost/LogSink.h"
#include "vxhost/MrcpText.h"

namespace VXS {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// The engine's processor without a thread: the test's own thread is the
// processor thread, and events run when the test says so.
class ManualEnv : public EngineEnv {
 public:
  Ambrel::Clock GetClock() const override { return m_Clock.AsClock(); }
  Ambrel::AsyncEventTimerProcessor* CreateEventProcessor() override {
    m_Processor = new Ambrel::Testing::ManualEventProcessor(GetClock());
    return m_Processor;
  }
  bool StartEventProcessor(Ambrel::AsyncEventTimerProcessor*,
                           Ambrel::SoftEventProcessor::Observer* observer) override {
    m_Thread = std::this_thread::get_id();
    m_Observer = observer;
    return observer->OnStart(nullptr);
  }
  void StopEventProcessor(Ambrel::AsyncEventTimerProcessor*) override {
    m_Processor->RunPendingEvents();
    m_Observer->OnShutdown(nullptr);
    m_Processor = nullptr;
  }
  bool IsProcessorThread(const Ambrel::AsyncEventTimerProcessor*) const override {
    return std::this_thread::get_id() == m_Thread;
  }

  Ambrel::Testing::ManualClock m_Clock;
  Ambrel::Testing::ManualEventProcessor* m_Processor = nullptr;  // owned by the engine

 private:
  std::thread::id m_Thread;
  Ambrel::SoftEventProcessor::Observer* m_Observer = nullptr;
};

// What the channel sent the host, as read back from the message.
struct Sent {
  mrcp_message_type_e type = MRCP_MESSAGE_TYPE_UNKNOWN;
  std::string name;  // the event's name, or "" for a response
  mrcp_request_id id = 0;
  int status = 0;
  mrcp_request_state_e state = MRCP_REQUEST_STATE_UNKNOWN;
  int cause = -1;  // Completion-Cause, -1 when absent
  std::string active;  // Active-Request-Id-List, "" when absent
  std::string text;
};

// The host's side of one channel record: what it was told.
struct HostChannel {
  int opens = 0;
  int closes = 0;
  std::vector<Sent> sent;
};

apt_bool_t OnChannelOpen(mrcp_engine_channel_t* channel, apt_bool_t status) {
  if (status) ++static_cast<HostChannel*>(channel->event_obj)->opens;
  return TRUE;
}
apt_bool_t OnChannelClose(mrcp_engine_channel_t* channel) {
  ++static_cast<HostChannel*>(channel->event_obj)->closes;
  return TRUE;
}
apt_bool_t OnChannelMessage(mrcp_engine_channel_t* channel, mrcp_message_t* message) {
  Sent sent;
  sent.type = message->start_line.message_type;
  if (sent.type == MRCP_MESSAGE_TYPE_EVENT) {
    sent.name = mrcp_synth_event_name_get(message->start_line.method_id);
  }
  sent.id = message->start_line.request_id;
  sent.status = message->start_line.status_code;
  sent.state = message->start_line.request_state;
  if (mrcp_resource_header_property_check(message, SYNTHESIZER_HEADER_COMPLETION_CAUSE)) {
    sent.cause = message->synth_header->completion_cause;
  }
  if (mrcp_generic_header_property_check(message, GENERIC_HEADER_ACTIVE_REQUEST_ID_LIST)) {
    const apt_str_t& list = message->generic_header->active_request_id_list;
    sent.active.assign(list.buf ? list.buf : "", list.length);
  }
  sent.text = vxhost::GenerateMrcpMessage(message);
  static_cast<HostChannel*>(channel->event_obj)->sent.push_back(sent);
  return TRUE;
}
const mrcp_engine_channel_event_vtable_t kChannelEvents = {OnChannelOpen, OnChannelClose,
                                                           OnChannelMessage};

apt_bool_t OnEngineOpen(mrcp_engine_t*, apt_bool_t) { return TRUE; }
apt_bool_t OnEngineClose(mrcp_engine_t*) { return TRUE; }
const mrcp_engine_event_vtable_t kEngineEvents = {OnEngineOpen, OnEngineClose};

// The test voice says 20 ms (one frame) per byte of input.
constexpr size_t kFrameBytes = 320;  // 20 ms at 8 kHz, 16-bit

class ChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_Root.IsValid());
    std::string error;
    ASSERT_TRUE(m_Server.Start(VxTts::TtsServerOptions(), &error)) << error;
    apr_pool_create(&m_Pool, nullptr);
    fs::create_directories(m_Root / "conf");
    fs::create_directories(m_Root / "data");
    fs::create_directories(m_Root / "var/status");
    std::ofstream(m_Root / "data/placeholder-key.json") << "{}\n";
    std::ofstream(m_Root / "conf/vexora.xml")
        << "<?xml version=\"1.0\"?>\n<vexora gapp-credentials-file=\"placeholder-key.json\">\n"
        << "  <synth-settings secure-transport=\"false\" service-uri=\"" << m_Server.target()
        << "\" voice-name=\"vx-test-tone\"/>\n"
        << "  <sdr-manager save-records=\"true\" record-folder=\"records\"/>\n</vexora>\n";

    m_Engine.reset(new Engine("VXS", &m_Env));
    m_HostEngine = mrcp_engine_create(MRCP_SYNTHESIZER_RESOURCE, m_Engine.get(), &g_EngineVtable,
                                      m_Pool);
    m_HostEngine->event_vtable = &kEngineEvents;
    m_HostEngine->dir_layout = apt_default_dir_layout_create(m_Root.Path().c_str(), m_Pool);
    m_Engine->SetHostEngine(m_HostEngine);
    ASSERT_TRUE(m_Engine->Open());
    ASSERT_NE(m_Env.m_Processor, nullptr);

    m_Record = CreateChannel(m_HostEngine, m_Pool);
    ASSERT_NE(m_Record, nullptr);
    apt_string_assign(&m_Record->id, "ch1", m_Pool);
    m_Record->event_vtable = &kChannelEvents;
    m_Record->event_obj = &m_Host;
    m_Codec.payload_type = 96;
    apt_string_assign(&m_Codec.name, "LPCM", m_Pool);
    m_Codec.sampling_rate = 8000;
    m_Codec.channel_count = 1;
    m_Record->termination->audio_stream->rx_descriptor = &m_Codec;
    ASSERT_TRUE(OpenChannel(m_Record));
    Run();
    ASSERT_EQ(m_Host.opens, 1);
  }

  void TearDown() override {
    // As a host does: the channel is closed before it is destroyed.
    if (m_Record && m_Host.opens > m_Host.closes) {
      m_Server.faults().SetDelay(0ms);
      CloseChannel(m_Record);
      RunUntil([&] { return m_Host.opens == m_Host.closes; });
      for (int i = 0; i < 1000 && m_Host.opens > m_Host.closes; ++i) {
        ReadFrame();
        Run();
      }
      EXPECT_EQ(m_Host.opens, m_Host.closes) << "the close was never answered";
    }
    if (m_Record) DestroyChannel(m_Record);
    if (m_Engine) {
      m_Engine->Close();
      m_Engine.reset();
    }
    m_Server.Shutdown();
    if (m_Pool) apr_pool_destroy(m_Pool);
  }

  Channel* TheChannel() { return static_cast<Channel*>(m_Record->method_obj); }
  size_t Run() { return m_Env.m_Processor->RunPendingEvents(); }

  // Runs events until condition holds; false when it did not within 10 s.
  bool RunUntil(const std::function<bool()>& condition) {
    return Ambrel::Testing::WaitFor(
        [&] {
          Run();
          return condition();
        },
        10s);
  }

  // Hands a request to the channel as the host does (and runs nothing).
  mrcp_request_id Post(const std::string& method, const std::vector<std::string>& headers = {},
                       const std::string& body = "", mrcp_request_id id = 0) {
    if (id == 0) id = ++m_LastId;
    std::string text = "MRCP/2.0 0 " + method + " " + std::to_string(id) + "\r\n";
    for (const std::string& header : headers) text += header + "\r\n";
    text += "\r\n" + body;
    mrcp_message_t* message = nullptr;
    std::string error;
    EXPECT_TRUE(vxhost::ParseMrcpMessage(text, m_Pool, &message, &error)) << error;
    if (!message) return 0;
    EXPECT_TRUE(ProcessRequest(m_Record, message));
    return id;
  }
  mrcp_request_id PostSpeak(const std::string& text, std::vector<std::string> headers = {},
                            mrcp_request_id id = 0) {
    headers.insert(headers.begin(), "Content-Type: text/plain");
    return Post("SPEAK", headers, text, id);
  }
  // Posts a request and runs it.
  mrcp_request_id Request(const std::string& method,
                          const std::vector<std::string>& headers = {}) {
    mrcp_request_id id = Post(method, headers);
    Run();
    return id;
  }

  // Reads one frame as the media thread does; true when it held audio.
  bool ReadFrame() {
    std::vector<char> buffer(kFrameBytes);
    mpf_frame_t frame;
    frame.type = MEDIA_FRAME_TYPE_NONE;
    frame.marker = 0;
    frame.codec_frame.buffer = buffer.data();
    frame.codec_frame.size = buffer.size();
    ReadStream(m_Record->termination->audio_stream, &frame);
    return (frame.type & MEDIA_FRAME_TYPE_AUDIO) != 0;
  }
  // Reads frames (running the events they post) until n held audio or
  // 2n reads passed; returns the frames of audio.
  size_t ReadAudio(size_t n) {
    size_t audio = 0;
    for (size_t i = 0; i < 2 * n && audio < n; ++i) {
      audio += ReadFrame();
      Run();
    }
    return audio;
  }

  // The messages sent since the last call.
  std::vector<Sent> Take() {
    std::vector<Sent> sent;
    sent.swap(m_Host.sent);
    return sent;
  }
  // The one message sent since the last call; fails the test otherwise.
  Sent TakeOne() {
    std::vector<Sent> sent = Take();
    EXPECT_EQ(sent.size(), 1u);
    if (sent.size() != 1) {
      for (const Sent& s : sent) ADD_FAILURE() << s.text;
    }
    return sent.empty() ? Sent() : sent.front();
  }
  // Runs until a message was sent.
  bool RunUntilSent() {
    return RunUntil([&] { return !m_Host.sent.empty(); });
  }

  // A SPEAK that plays: its IN-PROGRESS taken and two frames read.
  mrcp_request_id StartPlaying(const std::string& text = std::string(50, 'p')) {
    mrcp_request_id id = PostSpeak(text);
    EXPECT_TRUE(RunUntilSent());
    Sent response = TakeOne();
    EXPECT_EQ(response.id, id);
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.state, MRCP_REQUEST_STATE_INPROGRESS);
    EXPECT_EQ(ReadAudio(2), 2u);
    return id;
  }
  // A SPEAK whose call the service holds for a minute.
  mrcp_request_id StartCallInFlight(const std::string& text = "held") {
    m_Server.faults().SetDelay(60s);
    mrcp_request_id id = PostSpeak(text);
    Run();
    EXPECT_TRUE(Ambrel::Testing::WaitFor([&] { return m_Server.calls().SynthesizeCalls() > 0; }));
    EXPECT_TRUE(m_Host.sent.empty());
    return id;
  }
  // Reads until SPEAK-COMPLETE (or 500 frames); returns the messages sent.
  std::vector<Sent> PlayOut() {
    std::vector<Sent> sent;
    for (int i = 0; i < 500; ++i) {
      ReadFrame();
      Run();
      for (Sent& s : Take()) sent.push_back(s);
      if (!sent.empty() && sent.back().name == "SPEAK-COMPLETE") break;
    }
    return sent;
  }

  std::string Record(mrcp_request_id id) {
    std::ifstream stream(m_Root / ("var/records/vexora-ch1-" + std::to_string(id) + ".json"));
    std::ostringstream text;
    text << stream.rdbuf();
    return text.str();
  }
  static bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
  }

  Ambrel::Testing::AprScope m_Apr;
  Ambrel::Testing::ScratchDir m_Root;
  vxhost::LogCapture m_Log{true, APT_PRIO_DEBUG};
  VxTts::TtsServer m_Server;
  ManualEnv m_Env;
  apr_pool_t* m_Pool = nullptr;
  std::unique_ptr<Engine> m_Engine;
  mrcp_engine_t* m_HostEngine = nullptr;
  mrcp_engine_channel_t* m_Record = nullptr;
  mpf_codec_descriptor_t m_Codec{};
  HostChannel m_Host;
  mrcp_request_id m_LastId = 0;
};

// --------------------------------------------------------------- idle

TEST_F(ChannelTest, IdleAnswersEveryControlRequestAtOnceWithNothingToName) {
  for (const char* method : {"STOP", "BARGE-IN-OCCURRED", "PAUSE", "RESUME"}) {
    mrcp_request_id id = Request(method);
    Sent response = TakeOne();
    EXPECT_EQ(response.id, id) << method;
    EXPECT_EQ(response.status, 200) << method;
    EXPECT_EQ(response.state, MRCP_REQUEST_STATE_COMPLETE) << method;
    EXPECT_EQ(response.active, "") << method;
  }
  Request("SET-PARAMS", {"Voice-Name: vx-test-tone"});
  EXPECT_EQ(TakeOne().status, 200);
  Request("GET-PARAMS", {"Voice-Name:"});
  Sent params = TakeOne();
  EXPECT_EQ(params.status, 200);
  EXPECT_TRUE(Contains(params.text, "Voice-Name: vx-test-tone")) << params.text;
  EXPECT_EQ(m_Server.calls().SynthesizeCalls(), 0u);
}

TEST_F(ChannelTest, IdleSpeakPlaysToCompletionWithItsRecord) {
  mrcp_request_id id = StartPlaying("four");
  std::vector<Sent> sent = PlayOut();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].name, "SPEAK-COMPLETE");
  EXPECT_EQ(sent[0].id, id);
  EXPECT_EQ(sent[0].cause, SYNTHESIZER_COMPLETION_CAUSE_NORMAL);
  EXPECT_EQ(sent[0].state, MRCP_REQUEST_STATE_COMPLETE);
  EXPECT_TRUE(Contains(Record(id), "\"completion-cause\": \"normal\"")) << Record(id);
}

TEST_F(ChannelTest, IdleCloseIsAnsweredAndTheChannelOpensAgain) {
  ASSERT_TRUE(CloseChannel(m_Record));
  Run();
  EXPECT_EQ(m_Host.closes, 1);
  ASSERT_TRUE(OpenChannel(m_Record));
  Run();
  EXPECT_EQ(m_Host.opens, 2);
  StartPlaying("ok");
  EXPECT_EQ(PlayOut().back().name, "SPEAK-COMPLETE");
}

// ---------------------------------------------------- a call in flight

TEST_F(ChannelTest, StopWithACallInFlightIsAnsweredOnItsCancellation) {
  mrcp_request_id speak = StartCallInFlight();
  mrcp_request_id stop = Post("STOP");
  ASSERT_TRUE(RunUntil([&] { return m_Host.sent.size() >= 2; }));
  std::vector<Sent> sent = Take();
  // The SPEAK that never played is answered IN-PROGRESS first, so that the
  // STOP's response is what ends it.
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].id, speak);
  EXPECT_EQ(sent[0].state, MRCP_REQUEST_STATE_INPROGRESS);
  EXPECT_EQ(sent[1].id, stop);
  EXPECT_EQ(sent[1].status, 200);
  EXPECT_EQ(sent[1].active, std::to_string(speak));
  EXPECT_TRUE(Contains(Record(speak), "\"completion-cause\": \"cancelled\"")) << Record(speak);
  // Nothing else follows, not even once the media thread reads on.
  ReadAudio(3);
  EXPECT_TRUE(Take().empty());
}

TEST_F(ChannelTest, BargeInWithACallInFlightStopsItLikeAStop) {
  mrcp_request_id speak = StartCallInFlight();
  mrcp_request_id barge = Post("BARGE-IN-OCCURRED");
  ASSERT_TRUE(RunUntil([&] { return m_Host.sent.size() >= 2; }));
  std::vector<Sent> sent = Take();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].id, barge);
  EXPECT_EQ(sent[1].active, std::to_string(speak));
}

TEST_F(ChannelTest, PauseAndResumeWithACallInFlightNameTheSpeakAndLeaveTheCall) {
  mrcp_request_id speak = StartCallInFlight("ab");
  Request("PAUSE");
  EXPECT_EQ(TakeOne().active, std::to_string(speak));
  Request("RESUME");
  EXPECT_EQ(TakeOne().active, std::to_string(speak));
  // The call goes on: a service that goes away fails it, and the SPEAK
  // with it.
  m_Server.Shutdown();
  ASSERT_TRUE(RunUntilSent());
  Sent failed = TakeOne();
  EXPECT_EQ(failed.id, speak);
  EXPECT_EQ(failed.status, MRCP_STATUS_CODE_METHOD_FAILED);
}

TEST_F(ChannelTest, SpeakWithACallInFlightIsRefusedAndTheFirstGoesOn) {
  mrcp_request_id first = StartCallInFlight();
  mrcp_request_id second = Request("SPEAK", {"Content-Type: text/plain"});
  (void)first;
  Sent refused = TakeOne();
  EXPECT_EQ(refused.id, second);
  EXPECT_EQ(refused.status, MRCP_STATUS_CODE_METHOD_NOT_ALLOWED);
}

TEST_F(ChannelTest, CloseWithACallInFlightCancelsItAndIsAnswered) {
  mrcp_request_id speak = StartCallInFlight();
  ASSERT_TRUE(CloseChannel(m_Record));
  ASSERT_TRUE(RunUntil([&] { return m_Host.closes == 1; }));
  Sent failed = TakeOne();
  EXPECT_EQ(failed.id, speak);
  EXPECT_EQ(failed.status, MRCP_STATUS_CODE_METHOD_FAILED);
}

TEST_F(ChannelTest, ParamsWithACallInFlightAreAnsweredAndLeaveTheCallAlone) {
  StartCallInFlight();
  Request("SET-PARAMS", {"Speech-Language: de-DE"});
  EXPECT_EQ(TakeOne().status, 200);
  Request("GET-PARAMS", {"Speech-Language:"});
  EXPECT_TRUE(Contains(TakeOne().text, "Speech-Language: de-DE"));
  EXPECT_EQ(m_Server.calls().SynthesizeCalls(), 1u);
}

// ---------------------------------------------------------------- playing

TEST_F(ChannelTest, StopWhilePlayingIsHeldUntilTheNextMediaRead) {
  mrcp_request_id speak = StartPlaying();
  mrcp_request_id stop = Request("STOP");
  // Held: the media thread may be reading a frame of the SPEAK right now.
  EXPECT_TRUE(m_Host.sent.empty());
  EXPECT_FALSE(ReadFrame());
  Run();
  Sent response = TakeOne();
  EXPECT_EQ(response.id, stop);
  EXPECT_EQ(response.active, std::to_string(speak));
  EXPECT_TRUE(Contains(response.text, "Speech-Marker: timestamp=")) << response.text;
  EXPECT_TRUE(Contains(Record(speak), "\"completion-cause\": \"cancelled\""));
  EXPECT_EQ(ReadAudio(3), 0u);
  EXPECT_TRUE(Take().empty());
}

TEST_F(ChannelTest, BargeInWhilePlayingStopsThePromptOnTheNextRead) {
  mrcp_request_id speak = StartPlaying();
  mrcp_request_id barge = Request("BARGE-IN-OCCURRED");
  EXPECT_TRUE(m_Host.sent.empty());
  EXPECT_FALSE(ReadFrame());
  Run();
  Sent response = TakeOne();
  EXPECT_EQ(response.id, barge);
  EXPECT_EQ(response.active, std::to_string(speak));
  EXPECT_EQ(ReadAudio(3), 0u);
  EXPECT_TRUE(Take().empty());
}

TEST_F(ChannelTest, ResumeWhilePlayingNamesTheSpeakAndChangesNothing) {
  mrcp_request_id speak = StartPlaying("abcd");
  Request("RESUME");
  EXPECT_EQ(TakeOne().active, std::to_string(speak));
  std::vector<Sent> sent = PlayOut();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].name, "SPEAK-COMPLETE");
  EXPECT_EQ(sent[0].cause, SYNTHESIZER_COMPLETION_CAUSE_NORMAL);
}

TEST_F(ChannelTest, StopNamingAnotherRequestLeavesThePromptPlaying) {
  mrcp_request_id speak = StartPlaying("abcd");
  Request("STOP", {"Active-Request-Id-List: " + std::to_string(speak + 100)});
  Sent response = TakeOne();
  EXPECT_EQ(response.active, "");
  std::vector<Sent> sent = PlayOut();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent.back().name, "SPEAK-COMPLETE");
  EXPECT_EQ(sent.back().cause, SYNTHESIZER_COMPLETION_CAUSE_NORMAL);
}

TEST_F(ChannelTest, BargeInOnAPromptThatMayNotBeInterruptedStopsNothing) {
  mrcp_request_id speak = PostSpeak("abcd", {"Kill-On-Barge-In: false"});
  ASSERT_TRUE(RunUntilSent());
  Take();
  Request("BARGE-IN-OCCURRED");
  EXPECT_EQ(TakeOne().active, "");
  std::vector<Sent> sent = PlayOut();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent.back().id, speak);
  EXPECT_EQ(sent.back().cause, SYNTHESIZER_COMPLETION_CAUSE_NORMAL);
}

TEST_F(ChannelTest, SpeakWhilePlayingReplacesThePromptAndKeepsBothRecords) {
  mrcp_request_id first = StartPlaying();
  mrcp_request_id second = PostSpeak("ab");
  ASSERT_TRUE(RunUntilSent());
  Sent response = TakeOne();
  EXPECT_EQ(response.id, second);
  EXPECT_EQ(response.state, MRCP_REQUEST_STATE_INPROGRESS);
  std::vector<Sent> sent = PlayOut();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].id, second);
  EXPECT_TRUE(Contains(Record(first), "\"completion-cause\": \"cancelled\"")) << Record(first);
  EXPECT_TRUE(Contains(Record(second), "\"completion-cause\": \"normal\"")) << Record(second);
}

TEST_F(ChannelTest, ParamsWhilePlayingApplyToTheNextSpeakOnly) {
  StartPlaying("abc");
  Request("SET-PARAMS", {"Speech-Language: fr-FR"});
  EXPECT_EQ(TakeOne().status, 200);
  PlayOut();
  StartPlaying("de");
  std::vector<google::cloud::texttospeech::v1::SynthesizeSpeechRequest> requests =
      m_Server.calls().Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_NE(requests[0].voice().language_code(), "fr-FR");
  EXPECT_EQ(requests[1].voice().language_code(), "fr-FR");
}

TEST_F(ChannelTest, CloseWhilePlayingIsAnsweredWhenThePromptEndsWithoutSpeakComplete) {
  mrcp_request_id speak = StartPlaying("abcd");
  ASSERT_TRUE(CloseChannel(m_Record));
  Run();
  EXPECT_EQ(m_Host.closes, 0);
  for (int i = 0; i < 20 && m_Host.closes == 0; ++i) {
    ReadFrame();
    Run();
  }
  EXPECT_EQ(m_Host.closes, 1);
  EXPECT_TRUE(Take().empty());
  // The prompt played to its end before the close took the channel down.
  EXPECT_TRUE(Contains(Record(speak), "\"completion-cause\": \"normal\"")) << Record(speak);
}

// ----------------------------------------------------------------- paused

TEST_F(ChannelTest, PausedPlaybackReadsSilenceAndResumesWhereItWas) {
  mrcp_request_id speak = StartPlaying("abcdef");  // six frames, two read
  Request("PAUSE");
  EXPECT_EQ(TakeOne().active, std::to_string(speak));
  for (int i = 0; i < 10; ++i) EXPECT_FALSE(ReadFrame());
  Run();
  EXPECT_TRUE(Take().empty());
  Request("RESUME");
  EXPECT_EQ(TakeOne().active, std::to_string(speak));
  size_t frames = 0;
  std::vector<Sent> sent;
  for (int i = 0; i < 20 && sent.empty(); ++i) {
    frames += ReadFrame();
    Run();
    sent = Take();
  }
  EXPECT_EQ(frames, 4u);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].name, "SPEAK-COMPLETE");
}

TEST_F(ChannelTest, StopWhilePausedIsAnsweredOnTheNextRead) {
  mrcp_request_id speak = StartPlaying();
  Request("PAUSE");
  Take();
  mrcp_request_id stop = Request("STOP");
  ReadFrame();
  Run();
  Sent response = TakeOne();
  EXPECT_EQ(response.id, stop);
  EXPECT_EQ(response.active, std::to_string(speak));
}

TEST_F(ChannelTest, CloseWhilePausedIsAnsweredAtOnceAndKeepsTheRecord) {
  mrcp_request_id speak = StartPlaying();
  Request("PAUSE");
  Take();
  ASSERT_TRUE(CloseChannel(m_Record));
  Run();
  EXPECT_EQ(m_Host.closes, 1);
  EXPECT_TRUE(Take().empty());
  EXPECT_TRUE(Contains(Record(speak), "\"completion-cause\": \"cancelled\"")) << Record(speak);
  // Opened again, the channel is idle and not paused.
  ASSERT_TRUE(OpenChannel(m_Record));
  Run();
  StartPlaying("ok");
  EXPECT_EQ(PlayOut().back().name, "SPEAK-COMPLETE");
}

TEST_F(ChannelTest, SpeakWhilePausedStartsPlayingUnpaused) {
  mrcp_request_id first = StartPlaying();
  Request("PAUSE");
  Take();
  mrcp_request_id second = PostSpeak("ab");
  ASSERT_TRUE(RunUntilSent());
  EXPECT_EQ(TakeOne().id, second);
  std::vector<Sent> sent = PlayOut();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].id, second);
  EXPECT_TRUE(Contains(Record(first), "\"completion-cause\": \"cancelled\""));
}

TEST_F(ChannelTest, ParamsWhilePausedLeaveThePause) {
  StartPlaying();
  Request("PAUSE");
  Take();
  Request("SET-PARAMS", {"Voice-Name: vx-test-tone"});
  EXPECT_EQ(TakeOne().status, 200);
  Request("GET-PARAMS", {"Voice-Name:"});
  EXPECT_EQ(TakeOne().status, 200);
  EXPECT_FALSE(ReadFrame());
}

// ------------------------------------------------------------- stop held

TEST_F(ChannelTest, StopsThatComeWhileOneIsHeldAreAnsweredRightAfterIt) {
  mrcp_request_id speak = StartPlaying();
  mrcp_request_id first = Request("STOP");
  mrcp_request_id second = Request("STOP");
  mrcp_request_id barge = Request("BARGE-IN-OCCURRED");
  EXPECT_TRUE(m_Host.sent.empty());
  ReadFrame();
  Run();
  std::vector<Sent> sent = Take();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].id, first);
  EXPECT_EQ(sent[0].active, std::to_string(speak));
  // Only the STOP that ended the SPEAK names it.
  EXPECT_EQ(sent[1].id, second);
  EXPECT_EQ(sent[1].active, "");
  EXPECT_EQ(sent[2].id, barge);
  EXPECT_EQ(sent[2].active, "");
}

TEST_F(ChannelTest, PauseAndResumeWhileAStopIsHeldNameNothing) {
  StartPlaying();
  Request("STOP");
  Request("PAUSE");
  EXPECT_EQ(TakeOne().active, "");
  Request("RESUME");
  EXPECT_EQ(TakeOne().active, "");
  ReadFrame();
  Run();
  EXPECT_EQ(TakeOne().status, 200);
}

TEST_F(ChannelTest, StopJustBeforeSpeakAnswersTheStopThenPlaysTheSpeak) {
  // Both reach the channel before the media thread reads again.
  mrcp_request_id first = StartPlaying();
  mrcp_request_id stop = Post("STOP");
  mrcp_request_id second = PostSpeak("ab");
  ASSERT_TRUE(RunUntil([&] { return m_Host.sent.size() >= 2; }));
  std::vector<Sent> sent = Take();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].id, stop);
  EXPECT_EQ(sent[0].active, std::to_string(first));
  EXPECT_EQ(sent[1].id, second);
  EXPECT_EQ(sent[1].state, MRCP_REQUEST_STATE_INPROGRESS);
  // The read that would have answered the STOP finds the new SPEAK playing.
  std::vector<Sent> rest = PlayOut();
  ASSERT_EQ(rest.size(), 1u);
  EXPECT_EQ(rest[0].id, second);
  EXPECT_EQ(rest[0].name, "SPEAK-COMPLETE");
}

TEST_F(ChannelTest, StopFollowedBySpeakKeepsBothRecords) {
  mrcp_request_id first = StartPlaying();
  Post("STOP");
  mrcp_request_id second = PostSpeak("ab");
  ASSERT_TRUE(RunUntil([&] { return m_Host.sent.size() >= 2; }));
  Take();
  PlayOut();
  EXPECT_TRUE(Contains(Record(first), "\"completion-cause\": \"cancelled\"")) << Record(first);
  EXPECT_TRUE(Contains(Record(second), "\"completion-cause\": \"normal\"")) << Record(second);
}

TEST_F(ChannelTest, StopAndCloseWhileAStopIsHeldAreBothAnswered) {
  mrcp_request_id speak = StartPlaying();
  mrcp_request_id stop = Request("STOP");
  ASSERT_TRUE(CloseChannel(m_Record));
  Run();
  ReadFrame();
  Run();
  Sent response = TakeOne();
  EXPECT_EQ(response.id, stop);
  EXPECT_EQ(response.active, std::to_string(speak));
  EXPECT_EQ(m_Host.closes, 1);
}

TEST_F(ChannelTest, ParamsWhileAStopIsHeldAreAnsweredAtOnceAndTheStopAfter) {
  mrcp_request_id speak = StartPlaying();
  mrcp_request_id stop = Request("STOP");
  Request("SET-PARAMS", {"Speech-Language: it-IT"});
  EXPECT_EQ(TakeOne().status, 200);
  Request("GET-PARAMS", {"Speech-Language:"});
  EXPECT_TRUE(Contains(TakeOne().text, "Speech-Language: it-IT"));
  ReadFrame();
  Run();
  Sent response = TakeOne();
  EXPECT_EQ(response.id, stop);
  EXPECT_EQ(response.active, std::to_string(speak));
}

TEST_F(ChannelTest, BargeInWhilePausedStopsThePromptOnTheNextRead) {
  mrcp_request_id speak = StartPlaying();
  Request("PAUSE");
  Take();
  mrcp_request_id barge = Request("BARGE-IN-OCCURRED");
  EXPECT_TRUE(m_Host.sent.empty());
  ReadFrame();
  Run();
  Sent response = TakeOne();
  EXPECT_EQ(response.id, barge);
  EXPECT_EQ(response.active, std::to_string(speak));
  EXPECT_TRUE(Contains(Record(speak), "\"completion-cause\": \"cancelled\""));
}

// --------------------------------------------------------- close pending

TEST_F(ChannelTest, RequestsWhileACloseWaitsAreAnsweredAndTheCloseStillCompletes) {
  mrcp_request_id speak = StartPlaying("abcdefgh");
  ASSERT_TRUE(CloseChannel(m_Record));
  Run();
  ASSERT_EQ(m_Host.closes, 0);
  Request("GET-PARAMS", {"Voice-Name:"});
  EXPECT_EQ(TakeOne().status, 200);
  Request("RESUME");
  EXPECT_EQ(TakeOne().active, std::to_string(speak));
  mrcp_request_id stop = Request("STOP");
  ReadFrame();
  Run();
  Sent response = TakeOne();
  EXPECT_EQ(response.id, stop);
  EXPECT_EQ(response.active, std::to_string(speak));
  EXPECT_EQ(m_Host.closes, 1);
}

TEST_F(ChannelTest, BargeInAndParamsWhileACloseWaitsAreAnsweredAndTheCloseCompletes) {
  mrcp_request_id speak = StartPlaying("abcdefgh");
  ASSERT_TRUE(CloseChannel(m_Record));
  Run();
  Request("SET-PARAMS", {"Voice-Name: vx-test-tone"});
  EXPECT_EQ(TakeOne().status, 200);
  mrcp_request_id barge = Request("BARGE-IN-OCCURRED");
  ReadFrame();
  Run();
  Sent response = TakeOne();
  EXPECT_EQ(response.id, barge);
  EXPECT_EQ(response.active, std::to_string(speak));
  EXPECT_EQ(m_Host.closes, 1);
}

TEST_F(ChannelTest, PauseWhileACloseWaitsCompletesTheClose) {
  mrcp_request_id speak = StartPlaying("abcdefgh");
  ASSERT_TRUE(CloseChannel(m_Record));
  Run();
  ASSERT_EQ(m_Host.closes, 0);
  // Paused playback never reaches the end the close waits for.
  Request("PAUSE");
  EXPECT_EQ(TakeOne().active, std::to_string(speak));
  EXPECT_EQ(m_Host.closes, 1);
  EXPECT_TRUE(Contains(Record(speak), "\"completion-cause\": \"cancelled\""));
  EXPECT_FALSE(ReadFrame());
  Run();
  EXPECT_TRUE(Take().empty());
}

TEST_F(ChannelTest, SpeakWhileACloseWaitsIsCutShortByTheClose) {
  mrcp_request_id first = StartPlaying("abcdefgh");
  ASSERT_TRUE(CloseChannel(m_Record));
  Run();
  mrcp_request_id second = PostSpeak("ab");
  ASSERT_TRUE(RunUntil([&] { return m_Host.closes == 1; }));
  // Its call's completion is where the waiting close completes: the SPEAK
  // got its IN-PROGRESS and no SPEAK-COMPLETE, and both are recorded as
  // cancelled.
  Sent response = TakeOne();
  EXPECT_EQ(response.id, second);
  EXPECT_EQ(response.state, MRCP_REQUEST_STATE_INPROGRESS);
  ReadAudio(3);
  EXPECT_TRUE(Take().empty());
  EXPECT_TRUE(Contains(Record(first), "\"completion-cause\": \"cancelled\""));
  EXPECT_TRUE(Contains(Record(second), "\"completion-cause\": \"cancelled\"")) << Record(second);
}

// ---------------------------------------------------- reused request id

TEST_F(ChannelTest, ReusedRequestIdReplacesTheRecordOfItsName) {
  mrcp_request_id first = PostSpeak("ab", {}, 7);
  ASSERT_TRUE(RunUntilSent());
  Take();
  PlayOut();
  mrcp_request_id again = PostSpeak("abcd", {}, 7);
  ASSERT_EQ(again, first);
  ASSERT_TRUE(RunUntilSent());
  Take();
  std::vector<Sent> sent = PlayOut();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].id, 7u);
  // One file, the later SPEAK's, which synthesized four bytes.
  EXPECT_EQ(m_Engine->GetSdrManager()->GetFileIndex().size(), 1u);
  EXPECT_TRUE(Contains(Record(7), "\"completion-cause\": \"normal\""));
}

TEST_F(ChannelTest, ReusedRequestIdWhilePlayingEndsTheEarlierSpeakOnce) {
  PostSpeak(std::string(50, 'x'), {}, 9);
  ASSERT_TRUE(RunUntilSent());
  Take();
  ReadAudio(2);
  PostSpeak("ab", {}, 9);
  ASSERT_TRUE(RunUntilSent());
  Sent response = TakeOne();
  EXPECT_EQ(response.id, 9u);
  EXPECT_EQ(response.state, MRCP_REQUEST_STATE_INPROGRESS);
  std::vector<Sent> sent = PlayOut();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].name, "SPEAK-COMPLETE");
  EXPECT_EQ(m_Engine->GetSdrManager()->GetFileIndex().size(), 1u);
}

// ---------------------------------------------------------------- clock

TEST_F(ChannelTest, TimesComeFromTheEnginesClock) {
  // The service answers in real time; the record counts the engine's time.
  mrcp_request_id speak = PostSpeak("ab");
  ASSERT_TRUE(RunUntil([&] { return !m_Host.sent.empty(); }));
  Take();
  m_Env.m_Clock.AdvanceMs(1500);
  PlayOut();
  const std::string record = Record(speak);
  EXPECT_TRUE(Contains(record, "\"start-of-streaming-ts\": \"0 ms\"")) << record;
  EXPECT_TRUE(Contains(record, "\"completion-ts\": \"1500 ms\"")) << record;
}

}  // namespace
}  // namespace VXS
