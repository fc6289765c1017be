// The host kit with a tiny fake module (FakeModule.c): loading, the host's
// threads, the answer queues, media pacing and shutdown.

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ambrel/testing/TestSupport.h"
#include "vxhost/HostKit.h"

namespace {

using std::chrono::milliseconds;
using vxhost::Channel;
using vxhost::HostKit;
using vxhost::ReceivedMessage;

const milliseconds kWait(5000);

std::string Speak(const std::string& text, mrcp_request_id id = 0) {
  return "MRCP/2.0 0 SPEAK " + std::to_string(id) +
         "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(text.size()) +
         "\r\n\r\n" + text;
}

bool IsDirectory(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

class HostKitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_Scratch.IsValid());
    m_Root = m_Scratch.Path();
    m_Options.root_dir = m_Root + "/host";
    m_Options.log_stream = nullptr;
  }

  void TearDown() override { m_Kit.reset(); }

  // A kit with the fake module loaded and its engine open.
  void StartKit(const std::string& module = VX_FAKE_MODULE_PATH) {
    m_Kit.reset(new HostKit(m_Options));
    std::string error;
    ASSERT_TRUE(m_Kit->LoadModule(module, &error)) << error;
    bool opened = false;
    ASSERT_TRUE(m_Kit->OpenEngine(kWait, &opened));
    ASSERT_TRUE(opened);
  }

  Channel* OpenChannel(const std::string& id, uint16_t rate,
                       const std::map<std::string, std::string>& attribs = {}) {
    Channel* channel = m_Kit->CreateChannel(id, rate, attribs);
    EXPECT_NE(nullptr, channel);
    if (!channel) return nullptr;
    bool status = false;
    EXPECT_TRUE(m_Kit->OpenChannel(channel, kWait, &status));
    EXPECT_TRUE(status);
    return channel;
  }

  // A copy of the module under another name: the kit leaves a module that
  // never answers loaded, and later tests need a fresh one.
  std::string ModuleCopy() {
    const std::string copy = m_Root + "/fake_copy.so";
    std::ifstream in(VX_FAKE_MODULE_PATH, std::ios::binary);
    std::ofstream out(copy, std::ios::binary);
    out << in.rdbuf();
    return copy;
  }

  Ambrel::Testing::ScratchDir m_Scratch;  // removed after the kit is gone
  std::string m_Root;
  HostKit::Options m_Options;
  vxhost::LogCapture m_Log;
  std::unique_ptr<HostKit> m_Kit;
};

TEST_F(HostKitTest, LoadingMakesTheLayoutAndCallsTheEntryPoints) {
  m_Kit.reset(new HostKit(m_Options));
  ASSERT_TRUE(m_Kit->ok());
  for (const char* dir : {"conf", "data", "var", "var/status", "log", "plugin"}) {
    EXPECT_TRUE(IsDirectory(m_Options.root_dir + "/" + dir)) << dir;
  }
  std::string error;
  ASSERT_TRUE(m_Kit->LoadModule(VX_FAKE_MODULE_PATH, &error)) << error;
  mrcp_engine_t* engine = m_Kit->engine();
  ASSERT_NE(nullptr, engine);
  EXPECT_EQ(m_Kit->layout(), engine->dir_layout);
  // The module's own log source was registered through the kit's.
  EXPECT_TRUE(m_Log.WaitFor("[NOTICE] [FAKE-PLUGIN] Fake Plugin Create", milliseconds(0)));
  EXPECT_EQ(nullptr, m_Kit->CreateEngine());  // a second create is refused
  EXPECT_EQ(2u, m_Log.Count("Fake Plugin Create"));
  EXPECT_FALSE(m_Kit->LoadModule(VX_FAKE_MODULE_PATH, &error));
  EXPECT_EQ("a module is already loaded", error);
}

TEST_F(HostKitTest, LoadingRefusesMissingFilesAndOtherVersions) {
  m_Kit.reset(new HostKit(m_Options));
  std::string error;
  EXPECT_FALSE(m_Kit->LoadModule(m_Root + "/missing.so", &error));
  EXPECT_NE(std::string::npos, error.find("missing.so"));
  EXPECT_FALSE(m_Kit->LoadModule(VX_FAKE_MODULE_V2_PATH, &error));
  EXPECT_NE(std::string::npos, error.find("version 2.7.0"));
  // Refused modules are unloaded again: the right one still loads.
  EXPECT_TRUE(m_Kit->LoadModule(VX_FAKE_MODULE_PATH, &error)) << error;
}

TEST_F(HostKitTest, EngineAndChannelMethodsRunOnTheHostsThreads) {
  StartKit();
  EXPECT_EQ(1, m_Kit->EngineOpenResponses());
  Channel* channel = OpenChannel("t1", 8000, {{"frames", "2"}});
  std::string error;
  ASSERT_TRUE(m_Kit->SendText(channel, Speak("Hi"), &error)) << error;
  ReceivedMessage message;
  ASSERT_TRUE(channel->WaitMessage(&message, kWait));
  ASSERT_TRUE(channel->WaitMessage(&message, kWait));
  EXPECT_TRUE(m_Kit->CloseChannel(channel, kWait));
  m_Kit->DestroyChannel(channel);
  EXPECT_TRUE(m_Kit->CloseEngine(kWait));
  EXPECT_EQ(1, m_Kit->EngineCloseResponses());
  m_Kit->DestroyEngine();

  EXPECT_EQ(1u, m_Log.Count("engine open on vx-engine"));
  EXPECT_EQ(1u, m_Log.Count("create_channel on vx-engine <t1>"));  // the id is set already
  EXPECT_EQ(1u, m_Log.Count("channel open on vx-signal <t1>"));
  EXPECT_EQ(1u, m_Log.Count("request on vx-signal <t1>"));
  EXPECT_EQ(1u, m_Log.Count("read on vx-media <t1>"));
  EXPECT_EQ(1u, m_Log.Count("channel close on vx-signal <t1>"));
  EXPECT_EQ(1u, m_Log.Count("channel destroy on vx-signal <t1>"));
  EXPECT_EQ(1u, m_Log.Count("engine close on vx-engine"));
  EXPECT_EQ(1u, m_Log.Count("engine destroy on vx-engine"));
}

TEST_F(HostKitTest, SpeakDeliversResponseAudioAndCompletion) {
  StartKit();
  Channel* narrow = OpenChannel("n1", 8000, {{"frames", "7"}});
  Channel* wide = OpenChannel("w1", 16000, {{"frames", "3"}});
  ASSERT_NE(nullptr, narrow->codec());
  EXPECT_EQ(8000, narrow->codec()->sampling_rate);
  EXPECT_EQ(narrow->codec(), mrcp_engine_source_stream_codec_get(narrow->record()));
  EXPECT_EQ(640u, wide->frame_size());

  std::string error;
  mrcp_request_id id = 0;
  ASSERT_TRUE(m_Kit->SendText(narrow, Speak("Hello"), &error, &id)) << error;
  EXPECT_EQ(1u, id);
  ASSERT_TRUE(m_Kit->SendText(wide, Speak("Hello", 40), &error, &id)) << error;
  EXPECT_EQ(40u, id);

  ReceivedMessage message;
  ASSERT_TRUE(narrow->WaitMessage(&message, kWait));
  EXPECT_EQ(MRCP_MESSAGE_TYPE_RESPONSE, message.type);
  EXPECT_EQ("SPEAK", message.method_name);
  EXPECT_EQ(1u, message.request_id);
  EXPECT_EQ(200, message.status_code);
  EXPECT_EQ(MRCP_REQUEST_STATE_INPROGRESS, message.request_state);
  EXPECT_NE(std::string::npos, message.text.find(" 1 200 IN-PROGRESS\r\n"));
  EXPECT_NE(std::string::npos, message.text.find("Channel-Identifier: n1@speechsynth\r\n"));

  ASSERT_TRUE(narrow->WaitMessage(&message, kWait));
  EXPECT_EQ(MRCP_MESSAGE_TYPE_EVENT, message.type);
  EXPECT_EQ(SYNTHESIZER_SPEAK_COMPLETE, message.method_id);
  EXPECT_EQ(MRCP_REQUEST_STATE_COMPLETE, message.request_state);
  ASSERT_TRUE(message.has_completion_cause);
  EXPECT_EQ(0, message.completion_cause);
  EXPECT_NE(std::string::npos, message.text.find("Completion-Cause: 000 normal\r\n"));

  // Every audio frame was read in full and in order; nothing else was kept.
  const std::vector<char> audio = narrow->Audio();
  ASSERT_EQ(7u * 320u, audio.size());
  for (size_t i = 0; i < audio.size(); ++i) ASSERT_EQ(static_cast<char>(i / 320 + 1), audio[i]);
  EXPECT_EQ(7u, narrow->AudioFrames());
  EXPECT_TRUE(narrow->ExpectNoMessage(milliseconds(30)));

  ASSERT_TRUE(wide->WaitMessage(&message, kWait));
  ASSERT_TRUE(wide->WaitMessage(&message, kWait));
  EXPECT_EQ(40u, message.request_id);
  EXPECT_EQ(3u * 640u, wide->AudioBytes());

  // Automatic ids go on past an id the caller chose.
  ASSERT_TRUE(m_Kit->SendText(wide, Speak("Again"), &error, &id));
  EXPECT_EQ(41u, id);
}

TEST_F(HostKitTest, ChannelWithoutCodecGetsNoDescriptor) {
  m_Options.negotiate_codec = false;
  StartKit();
  Channel* channel = OpenChannel("c1", 8000);
  EXPECT_EQ(nullptr, channel->codec());
  EXPECT_EQ(nullptr, mrcp_engine_source_stream_codec_get(channel->record()));
  mrcp_message_t* speak = m_Kit->NewRequest(channel, SYNTHESIZER_SPEAK);
  ASSERT_NE(nullptr, speak);
  m_Kit->Send(channel, speak);
  ReceivedMessage message;
  ASSERT_TRUE(channel->WaitMessage(&message, kWait));
  EXPECT_EQ(401, message.status_code);
  EXPECT_EQ(4, message.completion_cause);

  // A rate the module does not offer gets no codec either.
  m_Kit.reset();
  m_Options.negotiate_codec = true;
  StartKit();
  Channel* odd = m_Kit->CreateChannel("c2", 32000);
  ASSERT_NE(nullptr, odd);
  EXPECT_EQ(nullptr, odd->codec());
  EXPECT_EQ(nullptr, m_Kit->CreateChannel("c3", 0));
}

TEST_F(HostKitTest, ChannelStaysReadableUntilItsCloseResponse) {
  StartKit();
  Channel* channel = OpenChannel("d1", 8000, {{"frames", "40"}});
  std::string error;
  ASSERT_TRUE(m_Kit->SendText(channel, Speak("Long"), &error));
  // The module answers the close only once its audio has been read.
  ASSERT_TRUE(m_Kit->CloseChannel(channel, kWait));
  EXPECT_EQ(40u * 320u, channel->AudioBytes());
  EXPECT_FALSE(channel->IsReadable());
  EXPECT_EQ(1, channel->CloseResponses());
  const size_t frames = channel->AudioFrames() + channel->IdleFrames();
  EXPECT_EQ(2u, channel->PendingMessages());  // the response and SPEAK-COMPLETE came first
  EXPECT_FALSE(channel->WaitFrames(frames + 1, milliseconds(50)));  // no read after the close
}

TEST_F(HostKitTest, RefusalsAndSilenceEndTheWaits) {
  m_Options.engine_params = {{"open", "fail"}};
  m_Kit.reset(new HostKit(m_Options));
  std::string error;
  ASSERT_TRUE(m_Kit->LoadModule(VX_FAKE_MODULE_PATH, &error));
  bool opened = true;
  ASSERT_TRUE(m_Kit->OpenEngine(kWait, &opened));
  EXPECT_FALSE(opened);

  m_Kit.reset();
  m_Options.engine_params.clear();
  StartKit();
  Channel* channel = m_Kit->CreateChannel("r1", 8000, {{"open", "fail"}});
  bool status = true;
  ASSERT_TRUE(m_Kit->OpenChannel(channel, kWait, &status));
  EXPECT_FALSE(status);
  EXPECT_FALSE(channel->IsReadable());
  EXPECT_FALSE(channel->WaitFrames(1, milliseconds(30)));
}

TEST_F(HostKitTest, EngineThatNeverAnswersIsLeftLoadedWithoutHanging) {
  m_Options.engine_params = {{"open", "silent"}};
  m_Options.shutdown_timeout = milliseconds(100);
  m_Kit.reset(new HostKit(m_Options));
  std::string error;
  ASSERT_TRUE(m_Kit->LoadModule(ModuleCopy(), &error)) << error;
  bool opened = true;
  EXPECT_FALSE(m_Kit->OpenEngine(milliseconds(50), &opened));
  EXPECT_FALSE(opened);
  m_Kit.reset();
  EXPECT_EQ(1u, m_Log.Count("left loaded"));
  EXPECT_EQ(0u, m_Log.Count("engine destroy"));  // never freed under the module
}

TEST_F(HostKitTest, DestroyingTheKitClosesWhatIsOpen) {
  StartKit();
  Channel* busy = OpenChannel("k1", 8000, {{"frames", "25"}});
  OpenChannel("k2", 16000);
  std::string error;
  ASSERT_TRUE(m_Kit->SendText(busy, Speak("Busy"), &error));
  m_Kit.reset();
  EXPECT_EQ(2u, m_Log.Count("channel close on vx-signal"));
  EXPECT_EQ(2u, m_Log.Count("channel destroy on vx-signal"));
  EXPECT_EQ(1u, m_Log.Count("engine close on vx-engine"));
  EXPECT_EQ(1u, m_Log.Count("engine destroy on vx-engine"));
  EXPECT_EQ(0u, m_Log.Count("left loaded"));
}

TEST_F(HostKitTest, ChannelThatNeverClosesIsNotDestroyed) {
  m_Options.shutdown_timeout = milliseconds(100);
  StartKit(ModuleCopy());
  Channel* mute = OpenChannel("m1", 8000, {{"close", "silent"}});
  EXPECT_FALSE(m_Kit->CloseChannel(mute, milliseconds(50)));  // a time-out, not a hang
  m_Kit->DestroyChannel(mute);
  EXPECT_TRUE(mute->IsDestroyed());
  EXPECT_EQ(0u, m_Log.Count("channel destroy"));
  std::string error;
  EXPECT_FALSE(m_Kit->SendText(mute, Speak("late"), &error));
  m_Kit.reset();
  EXPECT_EQ(1u, m_Log.Count("left loaded"));
}

TEST_F(HostKitTest, ChannelsThatNeverCloseCostOneShutdownTimeoutInAll) {
  m_Options.shutdown_timeout = milliseconds(400);
  StartKit(ModuleCopy());
  for (const char* id : {"s1", "s2", "s3", "s4"}) OpenChannel(id, 8000, {{"close", "silent"}});
  const auto start = std::chrono::steady_clock::now();
  m_Kit.reset();
  // One after the other they would take 1.6 s.
  EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(1200));
  EXPECT_EQ(4u, m_Log.Count("channel close on vx-signal"));
  EXPECT_EQ(0u, m_Log.Count("destroy on"));
}

TEST_F(HostKitTest, TranscriptListsMessagesInOrder) {
  StartKit();
  Channel* channel = OpenChannel("x1", 8000, {{"frames", "1"}});
  std::mutex mutex;
  std::vector<vxhost::TranscriptEntry> entries;
  m_Kit->SetTranscriptCallback([&](const vxhost::TranscriptEntry& entry) {
    std::lock_guard<std::mutex> lock(mutex);
    entries.push_back(entry);
  });
  std::string error;
  ASSERT_TRUE(m_Kit->SendText(channel, Speak("One"), &error));
  ReceivedMessage message;
  ASSERT_TRUE(channel->WaitMessage(&message, kWait));
  ASSERT_TRUE(channel->WaitMessage(&message, kWait));
  m_Kit->SetTranscriptCallback(nullptr);

  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_EQ(3u, entries.size());
  EXPECT_EQ(vxhost::TranscriptEntry::Direction::kSent, entries[0].direction);
  EXPECT_NE(std::string::npos, entries[0].text.find(" SPEAK 1\r\n"));
  EXPECT_NE(std::string::npos, entries[0].text.find("\r\n\r\nOne"));
  EXPECT_EQ(vxhost::TranscriptEntry::Direction::kReceived, entries[1].direction);
  EXPECT_NE(std::string::npos, entries[1].text.find(" 1 200 IN-PROGRESS"));
  EXPECT_NE(std::string::npos, entries[2].text.find("SPEAK-COMPLETE 1 COMPLETE"));
  EXPECT_EQ("x1", entries[2].channel_id);
}

TEST_F(HostKitTest, FastMediaRestsWhenIdle) {
  StartKit();
  Channel* channel = OpenChannel("i1", 8000);
  ASSERT_TRUE(channel->WaitFrames(5, kWait));
  EXPECT_TRUE(channel->ExpectNoMessage(milliseconds(100)));
  // ~1 ms rest per idle pass: about a hundred reads, not a busy loop.
  EXPECT_LT(channel->IdleFrames(), 2000u);
  EXPECT_EQ(0u, channel->AudioFrames());
  EXPECT_TRUE(channel->Audio().empty());
}

TEST_F(HostKitTest, RealtimeMediaPacesFramesLoosely) {
  m_Options.realtime = true;
  StartKit();
  Channel* channel = OpenChannel("p1", 8000, {{"frames", "10"}});
  std::string error;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(m_Kit->SendText(channel, Speak("Paced"), &error));
  ASSERT_TRUE(channel->WaitAudioBytes(10 * 320, kWait));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  // Ten frames at 20 ms each take about 200 ms; only a loose lower bound.
  EXPECT_GE(elapsed, milliseconds(120));
}

TEST_F(HostKitTest, UnderrunsAreSilentFramesInsideOneSpeak) {
  StartKit();
  Channel* channel = OpenChannel("u1", 8000, {{"frames", "8"}, {"gap-at", "3"}, {"gap", "4"}});
  // Reads before the SPEAK and after its end are silent too, but no
  // underrun: nothing was due.
  ASSERT_TRUE(channel->WaitFrames(20, kWait));
  std::string error;
  ASSERT_TRUE(m_Kit->SendText(channel, Speak("Gap"), &error)) << error;
  ReceivedMessage message;
  ASSERT_TRUE(channel->WaitMessage(&message, kWait));  // IN-PROGRESS
  ASSERT_TRUE(channel->WaitMessage(&message, kWait));
  EXPECT_EQ("SPEAK-COMPLETE", message.method_name);
  ASSERT_TRUE(channel->WaitFrames(channel->AudioFrames() + channel->IdleFrames() + 20, kWait));
  EXPECT_EQ(8u, channel->AudioFrames());
  EXPECT_EQ(4u, channel->Underruns());
  EXPECT_EQ(0u, channel->LateFrames());  // not paced: nothing is late
  // The next SPEAK's gap adds its own; ClearAudio keeps the count.
  channel->ClearAudio();
  ASSERT_TRUE(m_Kit->SendText(channel, Speak("Again"), &error)) << error;
  ASSERT_TRUE(channel->WaitMessage(&message, kWait));
  ASSERT_TRUE(channel->WaitMessage(&message, kWait));
  EXPECT_EQ(8u, channel->Underruns());
}

TEST_F(HostKitTest, ReadsBehindThePacedClockAreLate) {
  m_Options.realtime = true;
  StartKit();
  // Each read takes 50 ms: every pass is behind the 20 ms schedule.
  Channel* slow = OpenChannel("l1", 8000, {{"read-sleep-ms", "50"}});
  ASSERT_TRUE(slow->WaitFrames(8, kWait));
  EXPECT_GT(slow->LateFrames(), 0u);
  EXPECT_LE(slow->LateFrames(), slow->AudioFrames() + slow->IdleFrames());
}

// The server layer's STOP response lists what it stopped whether or not
// the module lists the SPEAK it stopped itself, and names each id once.
TEST_F(HostKitTest, ServerStopListsTheActiveAndThePendingWithOrWithoutTheModulesList) {
  m_Options.realtime = true;
  m_Options.server_queue = true;
  StartKit();
  for (const char* lists : {"false", "true"}) {
    SCOPED_TRACE(std::string("stop-lists ") + lists);
    Channel* channel = OpenChannel(std::string("s-") + lists, 8000,
                                   {{"frames", "500"}, {"stop-lists", lists}});
    std::string error;
    mrcp_request_id first = 0, second = 0, stop = 0;
    ASSERT_TRUE(m_Kit->SendText(channel, Speak("One"), &error, &first)) << error;
    ReceivedMessage message;
    ASSERT_TRUE(channel->WaitMessage(&message, kWait));
    EXPECT_EQ(MRCP_REQUEST_STATE_INPROGRESS, message.request_state);
    ASSERT_TRUE(m_Kit->SendText(channel, Speak("Two"), &error, &second)) << error;
    ASSERT_TRUE(channel->WaitMessage(&message, kWait));
    EXPECT_EQ(MRCP_REQUEST_STATE_PENDING, message.request_state);
    ASSERT_TRUE(channel->WaitAudioBytes(320, kWait));
    ASSERT_TRUE(m_Kit->SendText(channel, "MRCP/2.0 0 STOP 0\r\n\r\n", &error, &stop)) << error;
    ASSERT_TRUE(channel->WaitMessage(&message, kWait));
    EXPECT_EQ(stop, message.request_id);
    EXPECT_EQ(std::to_string(first) + "," + std::to_string(second),
              message.active_request_id_list)
        << message.text;
    EXPECT_TRUE(channel->ExpectNoMessage(milliseconds(200)));
  }
}

// Without the server layer the kit hands a second SPEAK straight to the
// module, as the module's own tests need.
TEST_F(HostKitTest, WithoutTheServerLayerEverySpeakReachesTheModule) {
  m_Options.realtime = true;
  StartKit();
  Channel* channel = OpenChannel("raw", 8000, {{"frames", "500"}});
  std::string error;
  ASSERT_TRUE(m_Kit->SendText(channel, Speak("One"), &error)) << error;
  ASSERT_TRUE(m_Kit->SendText(channel, Speak("Two"), &error)) << error;
  ReceivedMessage message;
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(channel->WaitMessage(&message, kWait));
    EXPECT_EQ(MRCP_REQUEST_STATE_INPROGRESS, message.request_state) << message.text;
  }
}

// A long call stays within bounded memory behind the server layer: the
// pools of finished requests are freed, a number of requests later.
TEST_F(HostKitTest, ServerLayerFreesTheMemoryOfFinishedRequests) {
  for (bool server : {false, true}) {
    SCOPED_TRACE(server ? "server layer" : "raw");
    m_Options.server_queue = server;
    m_Kit.reset();
    StartKit(server ? ModuleCopy() : std::string(VX_FAKE_MODULE_PATH));
    Channel* channel = OpenChannel(server ? "long-s" : "long-r", 8000, {{"frames", "1"}});
    std::string error;
    ReceivedMessage message;
    for (int i = 0; i < 40; ++i) {
      ASSERT_TRUE(m_Kit->SendText(channel, Speak("x"), &error)) << error;
      ASSERT_TRUE(channel->WaitMessage(&message, kWait));  // IN-PROGRESS
      ASSERT_TRUE(channel->WaitMessage(&message, kWait));
      ASSERT_EQ("SPEAK-COMPLETE", message.method_name);
      ASSERT_TRUE(m_Kit->SendText(channel, "MRCP/2.0 0 STOP 0\r\n\r\n", &error)) << error;
      ASSERT_TRUE(channel->WaitMessage(&message, kWait));
    }
    if (server) {
      EXPECT_LE(channel->LiveRequests(), 17u);
    } else {
      EXPECT_EQ(80u, channel->LiveRequests());
    }
  }
}

}  // namespace
