// The fixture of the end-to-end tests: a scratch host tree, the local speech
// service on a free loopback port, and the module loaded from its built file
// into the host kit, as a host server loads it.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "TtsServer.h"
#include "ambrel/testing/TestSupport.h"
#include "vxhost/HostKit.h"

namespace vxtest {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// The service's deterministic voice: 20 ms of tone per input byte, so one
// byte of text is exactly one 20 ms frame at any rate.
constexpr const char* kTestVoice = "vx-test-tone";

inline std::string ReadFile(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  std::ostringstream text;
  text << stream.rdbuf();
  return text.str();
}

// The sum of the bytes of a text, each taken as a signed byte: the key under
// which the waveform manager files its records.
inline uint64_t Checksum(const std::string& text) {
  uint64_t sum = 0;
  for (char c : text) sum += static_cast<uint64_t>(static_cast<int64_t>(static_cast<signed char>(c)));
  return sum;
}

inline void WriteFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream stream(path, std::ios::binary | std::ios::trunc);
  stream << content;
}

// A SPEAK as a client writes it. Headers are "Name: value" lines without
// line ends; Content-Length is added by the kit.
inline std::string SpeakText(const std::string& body, const std::string& content_type,
                             const std::vector<std::string>& headers = {}) {
  std::string text = "MRCP/2.0 0 SPEAK 0\r\n";
  if (!content_type.empty()) text += "Content-Type: " + content_type + "\r\n";
  for (const std::string& header : headers) text += header + "\r\n";
  text += "\r\n" + body;
  return text;
}

inline std::string RequestText(const std::string& method, const std::vector<std::string>& headers = {}) {
  std::string text = "MRCP/2.0 0 " + method + " 0\r\n";
  for (const std::string& header : headers) text += header + "\r\n";
  return text + "\r\n";
}

class ModuleFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_Scratch.IsValid());
    m_Root = m_Scratch.Path();
    fs::create_directories(m_Root / "conf");
    fs::create_directories(m_Root / "data");
    fs::create_directories(m_Root / "var" / "status");
    WriteFile(m_Root / "data" / "placeholder-key.json", "{}\n");
    m_Log.reset(new vxhost::LogCapture(true, APT_PRIO_DEBUG));
  }

  void TearDown() override {
    m_Kit.reset();
    if (m_Server) m_Server->Shutdown();
    m_Server.reset();
    m_Log.reset();
  }

  // Starts the local speech service; tests that need a dead or scripted
  // service change it through Server().
  void StartServer(const VxTts::TtsServerOptions& options = VxTts::TtsServerOptions()) {
    m_Server.reset(new VxTts::TtsServer());
    std::string error;
    ASSERT_TRUE(m_Server->Start(options, &error)) << error;
  }

  // Writes conf/vexora.xml for the local service: insecure transport, the
  // service's address, the test voice, plus the given synth-settings
  // attributes and further elements.
  void WriteConfig(const std::string& synth_attributes = "", const std::string& elements = "",
                   const std::string& root_attributes =
                       "gapp-credentials-file=\"placeholder-key.json\"") {
    std::string target = m_Server ? m_Server->target() : std::string("127.0.0.1:1");
    // Attributes the caller gives replace the fixture's own of that name.
    std::string attributes;
    auto add_default = [&](const std::string& name, const std::string& value) {
      if (synth_attributes.find(name + "=") == std::string::npos) {
        attributes += name + "=\"" + value + "\" ";
      }
    };
    add_default("secure-transport", "false");
    add_default("service-uri", target);
    add_default("voice-name", kTestVoice);
    std::string xml = "<?xml version=\"1.0\"?>\n<vexora " + root_attributes +
                      ">\n  <synth-settings " + attributes + synth_attributes + "/>\n" + elements +
                      "</vexora>\n";
    WriteFile(m_Root / "conf" / "vexora.xml", xml);
  }

  // Loads the module and opens the engine; *opened tells the outcome.
  void StartEngine(bool expect_open = true, vxhost::HostKit::Options options = {}) {
    options.root_dir = m_Root.string();
    options.log_priority = APT_PRIO_WARNING;
    if (!getenv("VX_TEST_VERBOSE")) options.log_stream = nullptr;
    m_Kit.reset(new vxhost::HostKit(options));
    std::string error;
    ASSERT_TRUE(m_Kit->LoadModule(VX_MODULE_PATH, &error)) << error;
    bool opened = false;
    ASSERT_TRUE(m_Kit->OpenEngine(10s, &opened));
    ASSERT_EQ(opened, expect_open);
  }

  vxhost::Channel* OpenChannel(const std::string& id, uint16_t rate = 8000,
                               const std::map<std::string, std::string>& attribs = {}) {
    vxhost::Channel* channel = m_Kit->CreateChannel(id, rate, attribs);
    EXPECT_NE(channel, nullptr);
    if (!channel) return nullptr;
    bool status = false;
    EXPECT_TRUE(m_Kit->OpenChannel(channel, 5s, &status));
    EXPECT_TRUE(status);
    return channel;
  }

  mrcp_request_id Send(vxhost::Channel* channel, const std::string& text) {
    std::string error;
    mrcp_request_id id = 0;
    EXPECT_TRUE(m_Kit->SendText(channel, text, &error, &id)) << error;
    return id;
  }

  // Waits for the next message of the channel; fails the test on time-out.
  vxhost::ReceivedMessage Next(vxhost::Channel* channel,
                               std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    vxhost::ReceivedMessage message;
    EXPECT_TRUE(channel->WaitMessage(&message, timeout)) << "no message within the time-out";
    return message;
  }

  // Sends a SPEAK and expects it to run to SPEAK-COMPLETE with cause 000.
  void SpeakToCompletion(vxhost::Channel* channel, const std::string& body,
                         const std::string& type = "text/plain",
                         const std::vector<std::string>& headers = {}) {
    mrcp_request_id id = Send(channel, SpeakText(body, type, headers));
    vxhost::ReceivedMessage response = Next(channel);
    EXPECT_EQ(response.request_id, id);
    EXPECT_EQ(response.status_code, 200) << response.text;
    EXPECT_EQ(response.request_state, MRCP_REQUEST_STATE_INPROGRESS);
    vxhost::ReceivedMessage complete = Next(channel, std::chrono::seconds(30));
    EXPECT_EQ(complete.method_name, "SPEAK-COMPLETE") << complete.text;
    EXPECT_EQ(complete.completion_cause, 0);
    EXPECT_EQ(complete.request_state, MRCP_REQUEST_STATE_COMPLETE);
  }

  Ambrel::Testing::ScratchDir m_Scratch;  // the host tree, removed last
  fs::path m_Root;
  std::unique_ptr<VxTts::TtsServer> m_Server;
  std::unique_ptr<vxhost::HostKit> m_Kit;
  std::unique_ptr<vxhost::LogCapture> m_Log;
};

}  // namespace vxtest
