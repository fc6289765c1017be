// The engine and its channels driven through the host kit: entry points,
// open and close answers, channel accounting, and the requests that need no
// synthesis.
#include <dlfcn.h>

#include <grpc/support/log.h>

#include <map>
#include <set>
#include <sstream>

#include "ModuleFixture.h"

namespace vxtest {
namespace {

const char kVersionLine[] = "VXS Plugin Version [1.17.3] Date [2024-04-18]";

class EngineTest : public ModuleFixture {
 protected:
  void SetUp() override {
    ModuleFixture::SetUp();
    StartServer();
  }
};

TEST_F(EngineTest, SecondCreateIsRefusedAfterTheVersionLine) {
  WriteConfig();
  StartEngine();
  EXPECT_EQ(m_Kit->CreateEngine(), nullptr);
  EXPECT_EQ(m_Log->Count(kVersionLine), 2u);
}

TEST_F(EngineTest, ChannelOffersExactlyLpcmAt8000Then16000) {
  WriteConfig();
  StartEngine();
  vxhost::Channel* channel = m_Kit->CreateChannel("caps", 8000);
  ASSERT_NE(channel, nullptr);
  mpf_stream_capabilities_t* capabilities =
      channel->record()->termination->audio_stream->capabilities;
  ASSERT_NE(capabilities, nullptr);
  EXPECT_EQ(capabilities->direction, STREAM_DIRECTION_RECEIVE);
  const apr_array_header_t& codecs = capabilities->codecs.attrib_arr;
  ASSERT_EQ(codecs.nelts, 2);
  const mpf_codec_attribs_t* entries = reinterpret_cast<const mpf_codec_attribs_t*>(codecs.elts);
  EXPECT_STREQ(entries[0].name.buf, "LPCM");
  EXPECT_EQ(entries[0].sample_rates, MPF_SAMPLE_RATE_8000);
  EXPECT_EQ(entries[0].bits_per_sample, 0);
  EXPECT_STREQ(entries[1].name.buf, "LPCM");
  EXPECT_EQ(entries[1].sample_rates, MPF_SAMPLE_RATE_16000);
  // Only the read slot of the stream table is filled.
  const mpf_audio_stream_vtable_t* vtable = channel->record()->termination->audio_stream->vtable;
  EXPECT_NE(vtable->read_frame, nullptr);
  EXPECT_EQ(vtable->write_frame, nullptr);
  EXPECT_EQ(vtable->destroy, nullptr);
}

TEST_F(EngineTest, DestroyWithoutEngineObjectReturnsTrue) {
  WriteConfig();
  StartEngine();
  mrcp_engine_t copy = *m_Kit->engine();
  copy.obj = nullptr;
  EXPECT_EQ(copy.method_vtable->destroy(&copy), TRUE);
}

TEST_F(EngineTest, OpenAndCloseAreAnsweredExactlyOnce) {
  WriteConfig();
  StartEngine();
  EXPECT_EQ(m_Kit->EngineOpenResponses(), 1);
  EXPECT_TRUE(m_Kit->CloseEngine(5s));
  EXPECT_EQ(m_Kit->EngineCloseResponses(), 1);
  EXPECT_TRUE(m_Log->WaitFor("Completion Queue Shutdown", 2s));
}

TEST_F(EngineTest, MissingConfigurationFailsTheOpenAndCloseIsStillAnswered) {
  StartEngine(false);
  EXPECT_EQ(m_Log->Count("Failed to Open Config File"), 1u);
  EXPECT_EQ(m_Log->Count("Failed to Load QMS VXS Config"), 1u);
  EXPECT_TRUE(m_Kit->CloseEngine(5s));
  EXPECT_EQ(m_Kit->EngineCloseResponses(), 1);
}

// Default credentials are only created from a usable key: anything else
// fails at once instead of probing for a metadata server.
TEST_F(EngineTest, SecureTransportWithUnusableKeyFailsFastAndCleansUp) {
  WriteFile(m_Root / "data" / "bad-key.json", "{\"type\": \"nonsense\"}");
  WriteConfig("secure-transport=\"true\"", "", "gapp-credentials-file=\"bad-key.json\"");
  auto started = std::chrono::steady_clock::now();
  StartEngine(false);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
  EXPECT_EQ(m_Log->Count("Failed to Create Default Google Credentials"), 1u);
  EXPECT_EQ(m_Kit->EngineOpenResponses(), 1);
  EXPECT_TRUE(m_Kit->CloseEngine(5s));
  EXPECT_EQ(m_Kit->EngineCloseResponses(), 1);
}

// The gRPC library's log function is process-wide. Once the engine's
// thread has ended, by whatever way, it must be the library's own again: a
// gRPC line then no longer reaches the module, and unloading the module
// leaves nothing in the library pointing into it.
class GrpcLogRedirectionTest : public EngineTest {
 protected:
  // Logs one gRPC line from the test and tells whether the module took it.
  bool ModuleTakesGrpcLines(const std::string& text) {
    gpr_log(GPR_ERROR, "%s", text.c_str());
    return m_Log->Count(text) > 0;
  }

  void UnloadAndLogAgain() {
    m_Kit->CloseEngine(5s);
    m_Kit->DestroyEngine();
    m_Kit->UnloadModule();
    // With the module's function still installed this would call into
    // unmapped code.
    gpr_log(GPR_ERROR, "a gRPC line once the module is gone");
  }
};

TEST_F(GrpcLogRedirectionTest, FailedOpenGivesTheLogBack) {
  WriteFile(m_Root / "data" / "bad-key.json", "{\"type\": \"nonsense\"}");
  WriteConfig("secure-transport=\"true\" grpc-log-redirection=\"true\"", "",
              "gapp-credentials-file=\"bad-key.json\"");
  StartEngine(false);
  EXPECT_EQ(m_Log->Count("Enable gRPC Log Redirection"), 1u);
  EXPECT_EQ(m_Log->Count("Failed to Create Default Google Credentials"), 1u);
  EXPECT_EQ(m_Log->Count("Disable gRPC Log Redirection"), 1u);
  ASSERT_FALSE(ModuleTakesGrpcLines("a gRPC line after the failed open"));
  UnloadAndLogAgain();
}

TEST_F(GrpcLogRedirectionTest, CloseGivesTheLogBack) {
  WriteConfig("grpc-log-redirection=\"true\"");
  StartEngine();
  EXPECT_TRUE(ModuleTakesGrpcLines("a gRPC line while the engine is open"));
  ASSERT_TRUE(m_Kit->CloseEngine(5s));
  EXPECT_EQ(m_Log->Count("Disable gRPC Log Redirection"), 1u);
  ASSERT_FALSE(ModuleTakesGrpcLines("a gRPC line after the close"));
  UnloadAndLogAgain();
}

TEST_F(GrpcLogRedirectionTest, DestroyWithoutCloseGivesTheLogBack) {
  WriteConfig("grpc-log-redirection=\"true\"");
  StartEngine();
  m_Kit->DestroyEngine();
  EXPECT_EQ(m_Log->Count("Disable gRPC Log Redirection"), 1u);
  ASSERT_FALSE(ModuleTakesGrpcLines("a gRPC line after the destroy"));
  m_Kit->UnloadModule();
  gpr_log(GPR_ERROR, "a gRPC line once the module is gone");
}

TEST_F(EngineTest, InsecureTransportIsLoggedAndTheEngineOpens) {
  WriteConfig("grpc-log-verbosity=\"ERROR\"");
  StartEngine();
  EXPECT_EQ(m_Log->Count("Create Insecure Credentials"), 1u);
  EXPECT_EQ(m_Log->Count("Set gRPC Verbosity ERROR"), 1u);
  EXPECT_EQ(m_Log->Count("Set Defualt Google App Credentials"), 1u);
  EXPECT_EQ(m_Log->Count("Set Usage Refresh Timer"), 0u);
  ASSERT_NE(getenv("GOOGLE_APPLICATION_CREDENTIALS"), nullptr);
  EXPECT_EQ(std::string(getenv("GOOGLE_APPLICATION_CREDENTIALS")),
            (m_Root / "data" / "placeholder-key.json").string());
}

TEST_F(EngineTest, CredentialsPatternResolvesToTheNewestMatch) {
  WriteFile(m_Root / "data" / "keys" / "a-key.json", "{}");
  WriteConfig("", "", "gapp-credentials-file=\"keys/*-key.json\"");
  StartEngine();
  EXPECT_EQ(m_Log->Count("Determined Credentials File " + (m_Root / "data/keys/a-key.json").string()),
            1u);
}

class ChannelRequestTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    WriteConfig("", R"(  <monitoring-agent>
    <usage-change-handler>
      <update-usage enable="true" status-file="usage.status"/>
      <dump-channels enable="true" status-file="channels.status"/>
    </usage-change-handler>
  </monitoring-agent>
)");
    StartEngine();
  }

  std::string Usage() { return ReadFile(m_Root / "var" / "status" / "usage.status"); }
  std::string Channels() { return ReadFile(m_Root / "var" / "status" / "channels.status"); }
};

TEST_F(ChannelRequestTest, StopOnIdleChannelIsAnsweredAtOnceWithoutEvent) {
  vxhost::Channel* channel = OpenChannel("idle");
  mrcp_request_id id = Send(channel, RequestText("STOP"));
  vxhost::ReceivedMessage response = Next(channel);
  EXPECT_EQ(response.request_id, id);
  EXPECT_EQ(response.status_code, 200);
  EXPECT_EQ(response.request_state, MRCP_REQUEST_STATE_COMPLETE);
  EXPECT_TRUE(channel->ExpectNoMessage(200ms));
}

TEST_F(ChannelRequestTest, PauseAndResumeAreAnsweredAtOnceOnAnIdleChannel) {
  vxhost::Channel* channel = OpenChannel("pause");
  Send(channel, RequestText("PAUSE"));
  EXPECT_EQ(Next(channel).status_code, 200);
  Send(channel, RequestText("RESUME"));
  EXPECT_EQ(Next(channel).status_code, 200);
  Send(channel, RequestText("BARGE-IN-OCCURRED"));
  EXPECT_EQ(Next(channel).status_code, 200);
  EXPECT_TRUE(channel->ExpectNoMessage(100ms));
}

TEST_F(ChannelRequestTest, OtherMethodsAreAnswered200WithoutHeaders) {
  vxhost::Channel* channel = OpenChannel("other");
  for (const char* method : {"DEFINE-LEXICON", "CONTROL"}) {
    Send(channel, RequestText(method, {"Voice-Name: nobody"}));
    vxhost::ReceivedMessage response = Next(channel);
    EXPECT_EQ(response.status_code, 200) << method;
    EXPECT_FALSE(response.has_completion_cause) << method;
    EXPECT_EQ(response.text.find("Voice-Name"), std::string::npos) << response.text;
  }
}

TEST_F(ChannelRequestTest, ChannelOpenedTwiceCountsTwoAndOneCloseRemovesBoth) {
  EXPECT_EQ(Usage(), "in-use channels: 0\nmax used channels: 0\n");
  vxhost::Channel* channel = OpenChannel("twice");
  bool status = false;
  ASSERT_TRUE(m_Kit->OpenChannel(channel, 5s, &status));
  EXPECT_EQ(Usage(), "in-use channels: 2\nmax used channels: 2\n");
  EXPECT_EQ(Channels(), "twice\ntwice\n");
  ASSERT_TRUE(m_Kit->CloseChannel(channel, 5s));
  EXPECT_EQ(Usage(), "in-use channels: 0\nmax used channels: 2\n");
  EXPECT_EQ(Channels(), "");
}

TEST_F(ChannelRequestTest, ClosingTheMiddleChannelKeepsTheOrderOfTheOthers) {
  vxhost::Channel* a = OpenChannel("A");
  vxhost::Channel* b = OpenChannel("B");
  vxhost::Channel* c = OpenChannel("C");
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(Channels(), "A\nB\nC\n");
  ASSERT_TRUE(m_Kit->CloseChannel(b, 5s));
  EXPECT_EQ(Channels(), "A\nC\n");
  EXPECT_EQ(Usage(), "in-use channels: 2\nmax used channels: 3\n");
  m_Kit->CloseEngine(5s);
  EXPECT_EQ(Usage(), "in-use channels: 2\nmax used channels: 3\n");
}

TEST_F(ChannelRequestTest, UsageFileFollowsOpenCloseAndShutdown) {
  vxhost::Channel* channel = OpenChannel("one");
  EXPECT_EQ(Usage(), "in-use channels: 1\nmax used channels: 1\n");
  ASSERT_TRUE(m_Kit->CloseChannel(channel, 5s));
  EXPECT_EQ(Usage(), "in-use channels: 0\nmax used channels: 1\n");
  ASSERT_TRUE(m_Kit->CloseEngine(5s));
  EXPECT_EQ(Usage(), "in-use channels: 0\nmax used channels: 1\n");
}

// The module exports its entry points, the media chunk buffer functions and
// its log source (data a host looks up by name); everything else is hidden.
TEST(ModuleExports, OnlyTheEntryPointsAndTheLogSourceAreExported) {
  std::string command = std::string("nm -D --defined-only ") + VX_MODULE_PATH;
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char line[512];
  std::map<std::string, std::string> symbols;  // name -> nm's type letter
  while (fgets(line, sizeof(line), pipe)) {
    std::istringstream fields(line);
    std::string address, type, name;
    fields >> address >> type >> name;
    symbols[name] = type;
  }
  ASSERT_EQ(pclose(pipe), 0);
  std::set<std::string> allowed = {"mrcp_plugin_version",
                                   "mrcp_plugin_create",
                                   "mrcp_plugin_logger_set",
                                   "mrcp_plugin_log_source_set",
                                   "VXS_PLUGIN",
                                   "mpf_media_chunk_buffer_create",
                                   "mpf_media_chunk_buffer_destroy",
                                   "mpf_media_chunk_buffer_restart",
                                   "mpf_media_chunk_buffer_audio_write",
                                   "mpf_media_chunk_buffer_event_write",
                                   "mpf_media_chunk_buffer_frame_read",
                                   "mpf_media_chunk__buffer_get_size"};
  for (const auto& symbol : symbols) EXPECT_TRUE(allowed.count(symbol.first)) << symbol.first;
  EXPECT_EQ(symbols.size(), allowed.size());
  // The log source is a data object, not a function.
  ASSERT_TRUE(symbols.count("VXS_PLUGIN"));
  EXPECT_NE(std::string("BbDd").find(symbols["VXS_PLUGIN"]), std::string::npos)
      << symbols["VXS_PLUGIN"];
}

TEST_F(EngineTest, HostFindsTheModulesLogSourceByName) {
  WriteConfig();
  StartEngine();
  void* handle = dlopen(VX_MODULE_PATH, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(handle, nullptr) << dlerror();
  auto* source = static_cast<apt_log_source_t**>(dlsym(handle, "VXS_PLUGIN"));
  ASSERT_NE(source, nullptr) << dlerror();
  ASSERT_NE(*source, nullptr);
  EXPECT_STREQ((*source)->name, "VXS-PLUGIN");
  dlclose(handle);
}

}  // namespace
}  // namespace vxtest
