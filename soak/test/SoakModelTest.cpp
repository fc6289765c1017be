// The soak's checker must see the faults it is there to find: a prompt cut
// short, another prompt's audio, a response twice, audio or an event after
// a STOP was answered, a SPEAK that starts after the STOP behind it, and a
// rebuilt SSML part that lost its words. Fed by hand, as the driver feeds it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SoakModel.h"
#include "TestBytesVoice.h"

namespace VxSoak {
namespace {

constexpr int64_t kSecond = 1000000;

class SoakModelTest : public ::testing::Test {
 protected:
  SoakModelTest()
      : m_Model("ch", 8000, [this](const std::string& what) { m_Violations.push_back(what); },
                [this](int64_t, int64_t) { return m_Stormy; }) {}

  // A SPEAK of known input whose audio is the test voice's for it.
  std::shared_ptr<SpeakModel> Speak(mrcp_request_id id, const std::string& input) {
    auto speak = std::make_shared<SpeakModel>();
    speak->id = id;
    speak->summary = input;
    ExpectedSegment segment;
    segment.hash = VxTts::TestBytesHash(input);
    segment.frames = static_cast<uint32_t>(input.size());
    speak->segments.push_back(segment);
    speak->total_frames = segment.frames;
    speak->playable = true;
    Send(id, "SPEAK", speak);
    return speak;
  }

  // A SPEAK of rebuilt SSML: parts known only by a word each must hold.
  void RebuiltSpeak(mrcp_request_id id, const std::vector<std::string>& tokens) {
    auto speak = std::make_shared<SpeakModel>();
    speak->id = id;
    for (const std::string& token : tokens) {
      ExpectedSegment segment;
      segment.token = token;
      speak->segments.push_back(segment);
    }
    speak->playable = true;
    Send(id, "SPEAK", speak);
  }

  void Send(mrcp_request_id id, const std::string& method,
            std::shared_ptr<SpeakModel> speak = nullptr) {
    RequestModel request;
    request.id = id;
    request.method = method;
    request.speak = speak;
    request.sent_us = m_Now;
    if (speak) speak->sent_us = m_Now;
    m_Model.OnSent(request);
  }

  void Response(mrcp_request_id id, const std::string& method, int status = 200,
                bool in_progress = false, const std::string& active_list = "") {
    vxhost::ReceivedMessage message;
    message.active_request_id_list = active_list;
    message.type = MRCP_MESSAGE_TYPE_RESPONSE;
    message.method_name = method;
    message.request_id = id;
    message.status_code = status;
    message.request_state = in_progress ? MRCP_REQUEST_STATE_INPROGRESS : MRCP_REQUEST_STATE_COMPLETE;
    message.has_completion_cause = status != 200;
    message.completion_cause = status != 200 ? 4 : -1;
    message.time_us = m_Now;
    m_Model.OnMessage(message);
  }

  void Complete(mrcp_request_id id) {
    vxhost::ReceivedMessage message;
    message.type = MRCP_MESSAGE_TYPE_EVENT;
    message.method_name = "SPEAK-COMPLETE";
    message.request_id = id;
    message.request_state = MRCP_REQUEST_STATE_COMPLETE;
    message.has_completion_cause = true;
    message.completion_cause = 0;
    message.time_us = m_Now;
    m_Model.OnMessage(message);
  }

  void Marker(mrcp_request_id id, const std::string& name) {
    vxhost::ReceivedMessage message;
    message.type = MRCP_MESSAGE_TYPE_EVENT;
    message.method_name = "SPEECH-MARKER";
    message.request_id = id;
    message.request_state = MRCP_REQUEST_STATE_INPROGRESS;
    message.text = "MRCP/2.0 99 SPEECH-MARKER " + std::to_string(id) +
                   " IN-PROGRESS\r\nSpeech-Marker: timestamp=1;" + name + "\r\n\r\n";
    message.time_us = m_Now;
    m_Model.OnMessage(message);
  }

  // Frames [from, to) of input's audio.
  void Play(const std::string& input, size_t from, size_t to) {
    std::vector<int16_t> pcm;
    VxTts::MakeTestBytes(input, 8000, &pcm);
    std::string bytes;
    for (size_t i = from * 160; i < to * 160 && i < pcm.size(); ++i) {
      bytes.push_back(static_cast<char>(pcm[i] & 0xff));
      bytes.push_back(static_cast<char>((pcm[i] >> 8) & 0xff));
    }
    m_Model.OnAudio(bytes.data(), bytes.size(), m_Now);
  }

  void Later(int64_t us) {
    m_Now += us;
    m_Model.CheckTimeouts(m_Now, 30 * kSecond);
  }

  bool Saw(const std::string& part) const {
    for (const std::string& violation : m_Violations) {
      if (violation.find(part) != std::string::npos) return true;
    }
    return false;
  }

  int64_t m_Now = 1000 * kSecond;
  bool m_Stormy = false;
  std::vector<std::string> m_Violations;
  ChannelModel m_Model;
};

TEST_F(SoakModelTest, WholePromptsAndTheirOrderPass) {
  Speak(1, "hello");
  Play("hello", 0, 2);  // audio may come before the IN-PROGRESS
  Response(1, "SPEAK", 200, true);
  Play("hello", 2, 5);
  Later(kSecond);
  Complete(1);
  Speak(2, "again");
  Response(2, "SPEAK", 200, true);
  Play("again", 0, 3);
  Send(3, "STOP");
  Play("again", 3, 4);  // the frame being read when the STOP came
  Response(3, "STOP", 200, false, "2");
  Later(2 * kSecond);
  m_Model.OnClosed(m_Now);
  EXPECT_TRUE(m_Violations.empty()) << m_Violations.front();
  EXPECT_EQ(m_Model.completed(), 1u);
  EXPECT_EQ(m_Model.stopped(), 1u);
}

TEST_F(SoakModelTest, PromptCutShortInCalmWeatherIsAFault) {
  Speak(1, "a longer prompt");
  Response(1, "SPEAK", 200, true);
  Play("a longer prompt", 0, 6);
  Complete(1);
  Later(kSecond);
  EXPECT_TRUE(Saw("completed after 6 frames")) << ::testing::PrintToString(m_Violations);
}

TEST_F(SoakModelTest, PromptCutShortInAStormIsNot) {
  m_Stormy = true;
  Speak(1, "a longer prompt");
  Response(1, "SPEAK", 200, true);
  Play("a longer prompt", 0, 6);
  Complete(1);
  Later(kSecond);
  EXPECT_TRUE(m_Violations.empty());
}

TEST_F(SoakModelTest, AnotherPromptsAudioIsAFault) {
  Speak(1, "mine");
  Response(1, "SPEAK", 200, true);
  Play("yours", 0, 4);
  Later(3 * kSecond);
  EXPECT_TRUE(Saw("belongs to no SPEAK")) << ::testing::PrintToString(m_Violations);
}

TEST_F(SoakModelTest, ARepeatedFrameIsAFault) {
  Speak(1, "repeat");
  Response(1, "SPEAK", 200, true);
  Play("repeat", 0, 3);
  Play("repeat", 2, 6);
  Later(3 * kSecond);
  EXPECT_FALSE(m_Violations.empty());
}

TEST_F(SoakModelTest, SpeakHeardToItsEndMustComplete) {
  Speak(1, "ends");
  Response(1, "SPEAK", 200, true);
  Play("ends", 0, 4);
  Send(2, "PAUSE");  // paused before the end was read: no event is due
  Response(2, "PAUSE");
  Later(5 * kSecond);
  EXPECT_TRUE(m_Violations.empty());
  Send(3, "RESUME");
  Response(3, "RESUME");
  // Its time to complete runs from the resume, not from its last frame.
  Later(kSecond);
  EXPECT_TRUE(m_Violations.empty()) << m_Violations.front();
  Later(3 * kSecond);
  EXPECT_TRUE(Saw("has not completed")) << ::testing::PrintToString(m_Violations);
}

TEST_F(SoakModelTest, ResponsesAndEventsOutOfTurnAreFaults) {
  Speak(1, "twice");
  Response(1, "SPEAK", 200, true);
  Response(1, "SPEAK", 200, true);
  EXPECT_TRUE(Saw("answered twice"));

  m_Violations.clear();
  Send(2, "STOP");
  Response(2, "STOP");
  Complete(1);
  EXPECT_TRUE(Saw("stopped, and its STOP was answered"));

  m_Violations.clear();
  Send(3, "PAUSE");
  Later(31 * kSecond);
  EXPECT_TRUE(Saw("unanswered"));
}

TEST_F(SoakModelTest, AudioAfterTheStopWasAnsweredIsAFault) {
  Speak(1, "stop me now");
  Response(1, "SPEAK", 200, true);
  Play("stop me now", 0, 2);
  Send(2, "STOP");
  Response(2, "STOP", 200, false, "1");
  Play("stop me now", 2, 5);
  EXPECT_TRUE(Saw("after it was stopped")) << ::testing::PrintToString(m_Violations);
}

TEST_F(SoakModelTest, SpeakStartedAfterTheStopBehindItIsAFault) {
  Speak(1, "late");
  Send(2, "STOP");
  Response(2, "STOP");
  Response(1, "SPEAK", 200, true);
  EXPECT_TRUE(Saw("started after the STOP sent behind it was answered"));
}

TEST_F(SoakModelTest, RebuiltPartMustHoldItsWord) {
  RebuiltSpeak(1, {"t17", "t42"});
  Response(1, "SPEAK", 200, true);
  const std::string first = "<speak>alpha t17</speak>";
  const std::string second = "<speak>bravo t99</speak>";
  Play(first, 0, first.size());
  EXPECT_TRUE(m_Violations.empty());
  Play(second, 0, second.size());
  EXPECT_TRUE(Saw("lacks its word t42")) << ::testing::PrintToString(m_Violations);
}

// A rebuilt part takes any first frame, so the checker must not hand it the
// first frame of the next SPEAK's known prompt after a STOP.
TEST_F(SoakModelTest, PromptAfterAStoppedRebuiltSpeakIsHeardAsItsOwn) {
  RebuiltSpeak(1, {"t1", "t2"});
  Response(1, "SPEAK", 200, true);
  const std::string part = "<speak>t1</speak>";
  Play(part, 0, part.size());
  Send(2, "STOP");
  Response(2, "STOP", 200, false, "1");
  Speak(3, "next one");
  Response(3, "SPEAK", 200, true);
  Play("next one", 0, 8);
  Complete(3);
  Later(kSecond);
  EXPECT_TRUE(m_Violations.empty()) << m_Violations.front();
  EXPECT_EQ(m_Model.completed(), 1u);
}

// The response of a STOP must name the SPEAK it stopped, and only that.
TEST_F(SoakModelTest, StopResponseMustNameWhatItStopped) {
  Speak(1, "named");
  Response(1, "SPEAK", 200, true);
  Send(2, "STOP");
  Response(2, "STOP");
  EXPECT_TRUE(Saw("Active-Request-Id-List \"\" although it stopped \"1\""))
      << ::testing::PrintToString(m_Violations);
  m_Violations.clear();
  Send(3, "STOP");
  Response(3, "STOP", 200, false, "1");
  EXPECT_TRUE(Saw("although it stopped \"\"")) << ::testing::PrintToString(m_Violations);
}

// A prompt sent with Kill-On-Barge-In false plays on through a barge-in,
// which stops nothing, and completes; a STOP still ends one.
TEST_F(SoakModelTest, BargeInLeavesAPromptThatMayNotBeInterrupted) {
  auto speak = std::make_shared<SpeakModel>();
  speak->id = 1;
  speak->kill_on_barge_in = false;
  ExpectedSegment segment;
  segment.hash = VxTts::TestBytesHash("legal");
  segment.frames = 5;
  speak->segments.push_back(segment);
  speak->playable = true;
  Send(1, "SPEAK", speak);
  Send(2, "BARGE-IN-OCCURRED");
  Response(2, "BARGE-IN-OCCURRED");
  Response(1, "SPEAK", 200, true);  // it may start after the barge-in's answer
  Play("legal", 0, 5);
  Complete(1);
  Later(kSecond);
  EXPECT_TRUE(m_Violations.empty()) << m_Violations.front();
  EXPECT_EQ(m_Model.completed(), 1u);
  // Had the barge-in stopped it, its answer would have had to say so.
  speak = Speak(4, "plain");
  Response(4, "SPEAK", 200, true);
  Send(5, "BARGE-IN-OCCURRED");
  Response(5, "BARGE-IN-OCCURRED");
  EXPECT_TRUE(Saw("although it stopped \"4\"")) << ::testing::PrintToString(m_Violations);
}

}  // namespace
// Markers come only while their SPEAK plays: before its IN-PROGRESS, after
// the STOP that stopped it was answered, or once a later SPEAK replaced it,
// one is a fault.
TEST_F(SoakModelTest, MarkersOnlyWhileTheirSpeakPlays) {
  Speak(1, "marked");
  Marker(1, "early");
  EXPECT_TRUE(Saw("SPEECH-MARKER for SPEAK 1, which does not play"));
  m_Violations.clear();
  Response(1, "SPEAK", 200, true);
  Marker(1, "a");
  Play("marked", 0, 6);
  Marker(1, "b");
  Complete(1);
  EXPECT_TRUE(m_Violations.empty()) << ::testing::PrintToString(m_Violations);
  Marker(1, "late");
  EXPECT_TRUE(Saw("SPEECH-MARKER for SPEAK 1, which does not play"));

  m_Violations.clear();
  Speak(2, "stopped");
  Response(2, "SPEAK", 200, true);
  Send(3, "STOP");
  Response(3, "STOP");
  Marker(2, "after-stop");
  EXPECT_TRUE(Saw("SPEECH-MARKER for SPEAK 2, which does not play"));

  m_Violations.clear();
  Speak(4, "replaced");
  Response(4, "SPEAK", 200, true);
  Speak(5, "replacement");
  Response(5, "SPEAK", 200, true);
  Marker(4, "old");
  EXPECT_TRUE(Saw("SPEECH-MARKER for SPEAK 4, which does not play"));
}

// A SPEAK accepted in place of the one playing (its IN-PROGRESS still to
// come) that may not be barged in on: the barge-in is answered at once,
// naming nothing, and the one it replaced is not owed a mention.
TEST_F(SoakModelTest, BargeInBeforeTheAnswerOfAReplacingSpeakNamesNothing) {
  Speak(1, "first");
  Response(1, "SPEAK", 200, true);
  Play("first", 0, 2);
  auto later = std::make_shared<SpeakModel>();
  later->id = 2;
  later->kill_on_barge_in = false;
  ExpectedSegment segment;
  segment.hash = VxTts::TestBytesHash("later");
  segment.frames = 5;
  later->segments.push_back(segment);
  later->playable = true;
  Send(2, "SPEAK", later);
  Send(3, "BARGE-IN-OCCURRED");
  Response(3, "BARGE-IN-OCCURRED");
  Response(2, "SPEAK", 200, true);
  Play("later", 0, 5);
  Complete(2);
  Later(kSecond);
  EXPECT_TRUE(m_Violations.empty()) << m_Violations.front();
  EXPECT_EQ(m_Model.completed(), 1u);
}

}  // namespace VxSoak
