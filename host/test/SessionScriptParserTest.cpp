// The session-script reader of the vexora program: the steps a script
// becomes (channels, requests as MRCPv2 text, waits and their conditions,
// times), and the line a bad script is refused at.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "SessionScript.h"

namespace {

using std::chrono::milliseconds;
using VxCli::Script;
using VxCli::ScriptStep;

constexpr int kRate = 8000;
constexpr milliseconds kTimeout(7000);

Script Parse(const std::string& text) {
  Script script;
  std::string error;
  EXPECT_TRUE(VxCli::ParseScript(text, "s.vxs", kRate, kTimeout, &script, &error)) << error;
  return script;
}

std::string Refusal(const std::string& text) {
  Script script;
  std::string error;
  EXPECT_FALSE(VxCli::ParseScript(text, "s.vxs", kRate, kTimeout, &script, &error)) << text;
  return error;
}

TEST(SessionScriptParserTest, ARequestBlockBecomesMrcpTextWithItsBodyJoinedByLineFeeds) {
  const Script script = Parse(
      "channel a 16000   # wide\r\n"
      "send after 40ms\r\n"
      "\r\n"
      "MRCP/2.0 0 SPEAK 0\r\n"
      "Content-Type: text/plain\r\n"
      "\r\n"
      "first line\r\n"
      "..\r\n"
      "last line\r\n"
      "\r\n"
      "\r\n"
      ".\r\n");
  ASSERT_EQ(script.steps.size(), 2u);
  EXPECT_EQ(script.name, "s.vxs");
  EXPECT_EQ(script.channels, (std::vector<std::string>{"a"}));
  EXPECT_EQ(script.steps[0].kind, ScriptStep::Kind::kChannel);
  EXPECT_EQ(script.steps[0].rate, 16000);
  const ScriptStep& send = script.steps[1];
  EXPECT_EQ(send.kind, ScriptStep::Kind::kSend);
  EXPECT_EQ(send.line, 2);
  EXPECT_EQ(send.channel, "a");
  EXPECT_EQ(send.delay, milliseconds(40));
  // Blank lines before the start line and at the body's end are dropped,
  // ".." stands for ".", and the head ends in CRLF CRLF.
  EXPECT_EQ(send.message,
            "MRCP/2.0 0 SPEAK 0\r\nContent-Type: text/plain\r\n\r\nfirst line\n.\nlast line");
}

TEST(SessionScriptParserTest, WaitsCarryTheirConditionsAndTimes) {
  const Script script = Parse(
      "channel one\n"
      "channel two\n"
      "send one\nMRCP/2.0 0 SPEAK 0\nend\n"
      "wait-in-progress one\n"
      "wait-response 200 timeout 300 ms\n"
      "wait-event one speak-complete cause 001 header Completion-Reason no-header "
      "Speech-Marker header Logging-Tag=x=y marker -\n"
      "wait-event SPEECH-MARKER marker here timeout 5\n"
      "sleep 250ms\n"
      "close one\n"
      "close\n");
  ASSERT_EQ(script.steps.size(), 10u);
  const ScriptStep& progress = script.steps[3];
  EXPECT_EQ(progress.kind, ScriptStep::Kind::kWaitInProgress);
  EXPECT_EQ(progress.channel, "one");
  EXPECT_EQ(progress.timeout, kTimeout);

  const ScriptStep& response = script.steps[4];
  EXPECT_EQ(response.kind, ScriptStep::Kind::kWaitResponse);
  EXPECT_EQ(response.channel, "two") << "the channel opened last";
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.timeout, milliseconds(300));

  const ScriptStep& complete = script.steps[5];
  EXPECT_EQ(complete.kind, ScriptStep::Kind::kWaitEvent);
  EXPECT_EQ(complete.event, "SPEAK-COMPLETE");
  EXPECT_EQ(complete.cause, 1);
  ASSERT_EQ(complete.headers.size(), 2u);
  EXPECT_EQ(complete.headers[0].first, "Completion-Reason");
  EXPECT_FALSE(complete.headers[0].second.has_value());
  EXPECT_EQ(complete.headers[1].first, "Logging-Tag");
  EXPECT_EQ(complete.headers[1].second.value_or("?"), "x=y") << "split at the first '='";
  EXPECT_EQ(complete.absent_headers, (std::vector<std::string>{"Speech-Marker"}));
  EXPECT_TRUE(complete.has_marker);
  EXPECT_EQ(complete.marker, "") << "\"-\" names no mark";

  const ScriptStep& marker = script.steps[6];
  EXPECT_EQ(marker.event, "SPEECH-MARKER");
  EXPECT_EQ(marker.marker, "here");
  EXPECT_EQ(marker.cause, -1);
  EXPECT_EQ(marker.timeout, milliseconds(5));

  EXPECT_EQ(script.steps[7].delay, milliseconds(250));
  EXPECT_EQ(script.steps[8].channel, "one");
  EXPECT_EQ(script.steps[9].channel, "two") << "close without a name: the channel opened last";
}

TEST(SessionScriptParserTest, ABadScriptIsRefusedAtItsLine) {
  struct Case {
    const char* script;
    const char* error;
  } cases[] = {
      {"send\nMRCP/2.0 0 SPEAK 0\n.\n", "s.vxs:1: no channel is open yet"},
      {"channel a\nchannel a\n", "s.vxs:2: channel a is opened twice"},
      {"channel 1a\n", "s.vxs:1: bad channel name \"1a\""},
      {"channel a\nsend\n\n.\n", "s.vxs:2: no request between"},
      {"channel a\nsend\nMRCP/2.0 5 SPEAK COMPLETE\n.\n", "s.vxs:3:"},
      {"channel a\nsend\nMRCP/2.0 0 200 COMPLETE\n.\n", "s.vxs:3:"},
      {"channel a\nsend after\nMRCP/2.0 0 SPEAK 0\n.\n", "s.vxs:2: \"after\" needs"},
      {"channel a\nsleep 86400001\n", "s.vxs:2: usage: sleep N"},
      {"channel a\nsleep 10 ms extra\n", "s.vxs:2: usage: sleep N"},
      {"channel a\nwait-response 200 404\n", "s.vxs:2: one status code only"},
      {"channel a\nwait-event SPEAK-COMPLETE cause 1\n", "s.vxs:2: \"cause\" needs"},
      {"channel a\nwait-event SPEAK-COMPLETE no-header A=b\n", "\"no-header\" takes a name"},
      {"channel a\nwait-response header =x\n", "s.vxs:2: \"header\" needs a header name"},
      {"channel a\nclose b\n", "s.vxs:2: no channel named b"},
      {"\n\n# nothing\n", "s.vxs: the script has no directives"},
  };
  for (const Case& c : cases) {
    const std::string error = Refusal(c.script);
    EXPECT_NE(error.find(c.error), std::string::npos) << c.script << " gave: " << error;
  }
}

}  // namespace
