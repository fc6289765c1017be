// SSML marks reported as SPEECH-MARKER events when playback reaches them:
// the document is cut at each mark, the pieces play one after another, and
// each marker goes out once the media read has gone past the audio before
// it. No marker follows a STOP, the end of its SPEAK or its replacement.
#include <string>
#include <vector>

#include "ModuleFixture.h"

namespace vxtest {
namespace {

const std::string kOpen = "<speak version=\"1.0\" xml:lang=\"en-US\">";
const std::string kClose = "</speak>";

// The value of a header of a message's text form, or "(absent)".
std::string HeaderOf(const vxhost::ReceivedMessage& message, const std::string& name) {
  std::istringstream lines(message.text);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) break;
    if (line.compare(0, name.size() + 1, name + ":") == 0) {
      std::string value = line.substr(name.size() + 1);
      while (!value.empty() && value.front() == ' ') value.erase(0, 1);
      return value;
    }
  }
  return "(absent)";
}

// The mark a Speech-Marker value names ("" for a timestamp alone), after
// checking the timestamp is a 64-bit NTP time of these years.
std::string MarkOf(const vxhost::ReceivedMessage& message) {
  const std::string value = HeaderOf(message, "Speech-Marker");
  EXPECT_EQ(value.compare(0, 10, "timestamp="), 0) << message.text;
  const size_t semicolon = value.find(';');
  const std::string stamp = value.substr(10, semicolon == std::string::npos ? value.npos
                                                                              : semicolon - 10);
  // NTP seconds of 2020 and of 2100, in the upper 32 bits.
  const unsigned long long ntp = std::stoull(stamp.empty() ? "0" : stamp);
  EXPECT_GT(ntp >> 32, 3786825600ULL) << value;
  EXPECT_LT(ntp >> 32, 6311433600ULL) << value;
  return semicolon == std::string::npos ? "" : value.substr(semicolon + 1);
}

class SpeechMarkerTest : public ModuleFixture {
 protected:
  void Start(const std::string& synth_attributes = "", bool realtime = false,
             const std::string& elements = "") {
    StartServer();
    WriteConfig(synth_attributes, elements);
    vxhost::HostKit::Options options;
    options.realtime = realtime;
    StartEngine(true, options);
    m_Channel = OpenChannel("ch1");
  }

  // Bytes of tone the test voice makes of these documents.
  size_t Tone(const std::vector<std::string>& documents) const {
    size_t bytes = 0;
    for (const std::string& document : documents) bytes += document.size() * m_Channel->frame_size();
    return bytes;
  }

  // Sends a SPEAK and takes its IN-PROGRESS response.
  mrcp_request_id SpeakSsml(const std::string& body) {
    mrcp_request_id id = Send(m_Channel, SpeakText(body, "application/ssml+xml"));
    vxhost::ReceivedMessage response = Next(m_Channel);
    EXPECT_EQ(response.request_id, id);
    EXPECT_EQ(response.status_code, 200) << response.text;
    EXPECT_EQ(response.request_state, MRCP_REQUEST_STATE_INPROGRESS);
    // Nothing reached yet: the timestamp alone.
    EXPECT_EQ(MarkOf(response), "");
    return id;
  }

  // The messages up to SPEAK-COMPLETE: the marks of the SPEECH-MARKER events
  // in order, each checked to come after the audio before it.
  std::vector<std::string> MarkersUntilComplete(mrcp_request_id id,
                                                const std::vector<size_t>& audio_before,
                                                std::string* last = nullptr) {
    std::vector<std::string> marks;
    while (true) {
      vxhost::ReceivedMessage message = Next(m_Channel, std::chrono::seconds(30));
      if (message.method_name.empty()) return marks;  // timed out
      EXPECT_EQ(message.request_id, id) << message.text;
      EXPECT_EQ(message.type, MRCP_MESSAGE_TYPE_EVENT) << message.text;
      if (message.method_name == "SPEAK-COMPLETE") {
        EXPECT_EQ(message.completion_cause, 0);
        if (last) *last = MarkOf(message);
        return marks;
      }
      EXPECT_EQ(message.method_name, "SPEECH-MARKER");
      EXPECT_EQ(message.request_state, MRCP_REQUEST_STATE_INPROGRESS);
      if (marks.size() < audio_before.size()) {
        EXPECT_GE(message.audio_bytes, audio_before[marks.size()])
            << "marker " << marks.size() << " came before playback reached it";
      }
      marks.push_back(MarkOf(message));
    }
  }

  void PlayTheExample(const std::string& settings);
  void StopBetweenTwoMarks(const std::string& method);

  vxhost::Channel* m_Channel = nullptr;
};

// The example of the SPEECH-MARKER event, its marks nested in voice and
// prosody: the same pieces whether the SSML is bypassed, normalized or
// rebuilt whole.
void SpeechMarkerTest::PlayTheExample(const std::string& settings) {
  Start(settings);
  const std::string first =
      kOpen + "<p>From<voice gender=\"female\"><prosody rate=\"slow\"></prosody></voice></p>" +
      kClose;
  const std::string second =
      kOpen + "<p><voice gender=\"female\"><prosody rate=\"slow\"> here to</prosody></voice></p>" +
      kClose;
  const std::string third =
      kOpen + "<p><voice gender=\"female\"><prosody rate=\"slow\"> there</prosody></voice></p>" +
      kClose;
  mrcp_request_id id = SpeakSsml(
      "<?xml version=\"1.0\"?>\n<speak version=\"1.0\" "
      "xmlns=\"http://www.w3.org/2001/10/synthesis\" xml:lang=\"en-US\">"
      "<p>From<voice gender=\"female\"><prosody rate=\"slow\"><mark name=\"here\"/> here to"
      "<mark name=\"there\"/> there</prosody></voice></p></speak>");
  std::string last;
  EXPECT_EQ(MarkersUntilComplete(id, {Tone({first}), Tone({first, second})}, &last),
            (std::vector<std::string>{"here", "there"}));
  EXPECT_EQ(last, "there");
  // The pieces are exactly what was played, one after another.
  EXPECT_EQ(m_Channel->AudioBytes(), Tone({first, second, third}));
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 3u);
}

TEST_F(SpeechMarkerTest, ExampleMarkersFollowPlaybackWithBypassedSsml) { PlayTheExample(""); }

TEST_F(SpeechMarkerTest, ExampleMarkersFollowPlaybackWithNormalizedSsml) {
  PlayTheExample("bypass-ssml=\"false\"");
}

TEST_F(SpeechMarkerTest, ExampleMarkersFollowPlaybackWithRebuiltSsml) {
  PlayTheExample("bypass-ssml=\"false\" normalize-ssml=\"false\"");
}

TEST_F(SpeechMarkerTest, MarksAtTheEdgesAndInARowAllArriveInOrder) {
  Start();
  const std::string hello = kOpen + "<s>Hello</s>" + kClose;
  const std::string world = kOpen + "<s></s> world" + kClose;
  mrcp_request_id id = SpeakSsml(
      "<speak xml:lang=\"en-US\"><mark name=\"start\"/><s>Hello<mark name=\"a\"/>"
      "<mark name=\"b\"/></s> world<mark name=\"end\"/></speak>");
  std::string last;
  EXPECT_EQ(MarkersUntilComplete(id, {0, Tone({hello}), Tone({hello}), Tone({hello, world})}, &last),
            (std::vector<std::string>{"start", "a", "b", "end"}));
  EXPECT_EQ(last, "end");
  // Only the two pieces that say something were synthesized.
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 2u);
  EXPECT_EQ(m_Channel->AudioBytes(), Tone({hello, world}));
}

// With frames read in real time a marker goes out as its place plays, not
// when synthesis (long done) got there; a STOP or a barge-in after the
// first mark is the last the client hears of the SPEAK.
void SpeechMarkerTest::StopBetweenTwoMarks(const std::string& method) {
  Start("", true);
  const std::string before = kOpen + "One." + kClose;
  const std::string middle = kOpen + " A middle part that lasts well over a second." + kClose;
  mrcp_request_id id = SpeakSsml("<speak xml:lang=\"en-US\">One.<mark name=\"a\"/> A middle part "
                                 "that lasts well over a second.<mark name=\"b\"/> End.</speak>");
  vxhost::ReceivedMessage marker = Next(m_Channel);
  ASSERT_EQ(marker.method_name, "SPEECH-MARKER") << marker.text;
  EXPECT_EQ(marker.request_id, id);
  EXPECT_EQ(MarkOf(marker), "a");
  EXPECT_GE(marker.audio_bytes, Tone({before}));
  EXPECT_LT(marker.audio_bytes, Tone({before, middle}));

  mrcp_request_id stop = Send(m_Channel, RequestText(method));
  vxhost::ReceivedMessage response = Next(m_Channel);
  EXPECT_EQ(response.request_id, stop);
  EXPECT_EQ(response.status_code, 200) << response.text;
  EXPECT_EQ(MarkOf(response), "a");
  // Long enough for the middle part to have played.
  EXPECT_TRUE(m_Channel->ExpectNoMessage(std::chrono::milliseconds(2000)));
  EXPECT_LT(m_Channel->AudioBytes(), Tone({before, middle}));
}

TEST_F(SpeechMarkerTest, StopBetweenTwoMarksEndsTheEvents) { StopBetweenTwoMarks("STOP"); }

TEST_F(SpeechMarkerTest, BargeInBetweenTwoMarksEndsTheEvents) {
  StopBetweenTwoMarks("BARGE-IN-OCCURRED");
}

// A prompt that may not be barged in on plays on through the barge-in, and
// so do its markers; the answer names the last mark reached.
TEST_F(SpeechMarkerTest, BargeInThatStopsNothingLeavesTheMarkersGoing) {
  Start("", true);
  mrcp_request_id id = Send(
      m_Channel, SpeakText("<speak xml:lang=\"en-US\">One.<mark name=\"a\"/> Two.<mark "
                           "name=\"b\"/> Three.</speak>",
                           "application/ssml+xml", {"Kill-On-Barge-In: false"}));
  EXPECT_EQ(Next(m_Channel).request_state, MRCP_REQUEST_STATE_INPROGRESS);
  vxhost::ReceivedMessage marker = Next(m_Channel);
  EXPECT_EQ(MarkOf(marker), "a");
  Send(m_Channel, RequestText("BARGE-IN-OCCURRED"));
  vxhost::ReceivedMessage response = Next(m_Channel);
  EXPECT_EQ(response.status_code, 200) << response.text;
  EXPECT_EQ(MarkOf(response), "a");
  EXPECT_EQ(MarkersUntilComplete(id, {}), (std::vector<std::string>{"b"}));
}

// While paused nothing plays, so no mark is reached; after RESUME the next
// one comes once the rest of the audio before it has played. The answer to
// a CONTROL names the last mark reached.
TEST_F(SpeechMarkerTest, PauseHoldsTheNextMarker) {
  Start("", true);
  const std::string before = kOpen + "One." + kClose;
  const std::string middle = kOpen + " Two." + kClose;
  mrcp_request_id id = SpeakSsml(
      "<speak xml:lang=\"en-US\">One.<mark name=\"a\"/> Two.<mark name=\"b\"/> Three.</speak>");
  vxhost::ReceivedMessage marker = Next(m_Channel);
  EXPECT_EQ(MarkOf(marker), "a");
  // CONTROL changes nothing here, but tells how far the SPEAK got.
  Send(m_Channel, RequestText("CONTROL"));
  vxhost::ReceivedMessage control = Next(m_Channel);
  EXPECT_EQ(control.status_code, 200);
  EXPECT_EQ(MarkOf(control), "a");
  Send(m_Channel, RequestText("PAUSE"));
  EXPECT_EQ(Next(m_Channel).status_code, 200);
  const size_t paused_at = m_Channel->AudioBytes();
  // Longer than the middle part lasts.
  EXPECT_TRUE(m_Channel->ExpectNoMessage(std::chrono::milliseconds(1500)));
  EXPECT_LT(m_Channel->AudioBytes(), Tone({before, middle}));
  Send(m_Channel, RequestText("RESUME"));
  EXPECT_EQ(Next(m_Channel).status_code, 200);
  marker = Next(m_Channel);
  EXPECT_EQ(marker.request_id, id);
  EXPECT_EQ(MarkOf(marker), "b");
  EXPECT_GE(marker.audio_bytes, Tone({before, middle}));
  EXPECT_GE(marker.audio_bytes, paused_at);
  vxhost::ReceivedMessage complete = Next(m_Channel);
  EXPECT_EQ(complete.method_name, "SPEAK-COMPLETE");
  EXPECT_EQ(MarkOf(complete), "b");
}

// A SPEAK accepted while another plays restarts the buffer: the markers of
// the one it replaced, queued or already read, are reported only while it
// still plays, never once the new one has been answered.
TEST_F(SpeechMarkerTest, ReplacedSpeakNeverReportsItsMarkers) {
  Start("", true);
  mrcp_request_id old = SpeakSsml(
      "<speak xml:lang=\"en-US\"><mark name=\"old0\"/>Old one.<mark name=\"old1\"/> Old "
      "two.</speak>");
  vxhost::ReceivedMessage first = Next(m_Channel);
  EXPECT_EQ(first.request_id, old);
  EXPECT_EQ(MarkOf(first), "old0");
  // A SPEAK that comes while a call is in flight is refused; by now both
  // pieces are synthesized and the first plays.
  EXPECT_TRUE(m_Channel->ExpectNoMessage(std::chrono::milliseconds(300)));
  mrcp_request_id replacement = Send(
      m_Channel, SpeakText("<speak xml:lang=\"en-US\">New.<mark name=\"new\"/> Done.</speak>",
                           "application/ssml+xml"));
  bool answered = false;
  while (true) {
    vxhost::ReceivedMessage message = Next(m_Channel, std::chrono::seconds(20));
    if (message.method_name.empty()) break;
    if (!answered) {
      if (message.request_id == old) {
        EXPECT_EQ(message.method_name, "SPEECH-MARKER");
        EXPECT_EQ(MarkOf(message), "old1");
        continue;
      }
      EXPECT_EQ(message.request_id, replacement) << message.text;
      EXPECT_EQ(message.request_state, MRCP_REQUEST_STATE_INPROGRESS) << message.text;
      answered = true;
      continue;
    }
    EXPECT_EQ(message.request_id, replacement) << message.text;
    EXPECT_EQ(MarkOf(message), "new") << message.text;
    if (message.method_name == "SPEAK-COMPLETE") break;
  }
  EXPECT_TRUE(answered);
}

// The pieces are segments like any other: played again from the cache,
// with their markers all the same.
TEST_F(SpeechMarkerTest, PiecesArePlayedFromTheCacheWithTheirMarkers) {
  Start("caching=\"true\"", false, "  <waveform-manager waveform-folder=\"cache\"/>\n");
  const std::string body =
      "<speak xml:lang=\"en-US\">Cached one.<mark name=\"m1\"/> Cached two.</speak>";
  const std::string first = kOpen + "Cached one." + kClose;
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    m_Channel->ClearAudio();
    mrcp_request_id id = SpeakSsml(body);
    EXPECT_EQ(MarkersUntilComplete(id, {Tone({first})}), (std::vector<std::string>{"m1"}));
    EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 2u);
  }
  // Another mark's name at the same place plays the same pieces.
  mrcp_request_id id = SpeakSsml(
      "<speak xml:lang=\"en-US\">Cached one.<mark name=\"other\"/> Cached two.</speak>");
  EXPECT_EQ(MarkersUntilComplete(id, {}), (std::vector<std::string>{"other"}));
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 2u);
}

// A mark is reached once the audio before it has played, also when the
// piece after it cannot be synthesized; the marks past the failure are not.
TEST_F(SpeechMarkerTest, MarkBeforeAPieceThatFailsIsStillReached) {
  Start("caching=\"true\"", false, "  <waveform-manager waveform-folder=\"cache\"/>\n");
  // The first piece is cached, so the SPEAK below plays before its second
  // piece's call fails.
  mrcp_request_id id = SpeakSsml("<speak xml:lang=\"en-US\">One.<mark name=\"x\"/> Two.</speak>");
  EXPECT_EQ(MarkersUntilComplete(id, {}), (std::vector<std::string>{"x"}));
  m_Server->faults().FailNext(1, grpc::StatusCode::INVALID_ARGUMENT, "refused");
  id = SpeakSsml(
      "<speak xml:lang=\"en-US\">One.<mark name=\"a\"/> Other.<mark name=\"b\"/> Three.</speak>");
  std::vector<std::string> marks;
  while (true) {
    vxhost::ReceivedMessage message = Next(m_Channel, std::chrono::seconds(20));
    if (message.method_name.empty()) break;
    EXPECT_EQ(message.request_id, id) << message.text;
    if (message.method_name == "SPEAK-COMPLETE") {
      EXPECT_EQ(MarkOf(message), "a");
      break;
    }
    marks.push_back(MarkOf(message));
  }
  EXPECT_EQ(marks, (std::vector<std::string>{"a"}));
}

// A name with line breaks must not end the header it is written in.
TEST_F(SpeechMarkerTest, NameWithLineBreaksStaysInItsHeader) {
  Start();
  mrcp_request_id id = SpeakSsml(
      "<speak xml:lang=\"en-US\">Hi<mark name=\"x&#13;&#10;Completion-Cause: 002 "
      "error\"/> there</speak>");
  vxhost::ReceivedMessage marker = Next(m_Channel);
  EXPECT_EQ(marker.method_name, "SPEECH-MARKER");
  EXPECT_EQ(marker.request_id, id);
  EXPECT_EQ(MarkOf(marker), "x  Completion-Cause: 002 error");
  EXPECT_EQ(HeaderOf(marker, "Completion-Cause"), "(absent)");
  vxhost::ReceivedMessage complete = Next(m_Channel);
  EXPECT_EQ(complete.method_name, "SPEAK-COMPLETE");
  EXPECT_EQ(complete.completion_cause, 0);
}

// Plain text and SSML without marks play as one segment, as before; only
// the Speech-Marker timestamp is new.
TEST_F(SpeechMarkerTest, BodiesWithoutMarksStayOneSegment) {
  Start();
  SpeakToCompletion(m_Channel, "<speak xml:lang=\"en-US\">A mark<s>no marker</s></speak>",
                    "application/ssml+xml");
  SpeakToCompletion(m_Channel, "Plain <mark name=\"x\"/> text");
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 2u);
}

// Sentence pieces between the marks: each marker still waits for the audio
// of every piece before it, and comes before the audio after it.
TEST_F(SpeechMarkerTest, MarksBetweenSentencePiecesFireWhereTheirAudioEnds) {
  Start("bypass-ssml=\"false\"");
  mrcp_request_id id = SpeakSsml(
      kOpen + "One two. Three four five. Six seven. <mark name=\"a\"/>Eight nine. Ten eleven "
      "twelve thirteen. Fourteen fifteen sixteen seventeen. <mark name=\"b\"/>End here." +
      kClose);
  std::vector<vxhost::ReceivedMessage> markers;
  while (true) {
    vxhost::ReceivedMessage message = Next(m_Channel, std::chrono::seconds(30));
    EXPECT_EQ(message.request_id, id);
    if (message.method_name != "SPEECH-MARKER") {
      EXPECT_EQ(message.method_name, "SPEAK-COMPLETE") << message.text;
      EXPECT_EQ(MarkOf(message), "b");
      break;
    }
    markers.push_back(message);
  }
  std::vector<std::string> ssml;
  for (const auto& request : m_Server->calls().Requests()) ssml.push_back(request.input().ssml());
  ASSERT_GE(ssml.size(), 4u);
  EXPECT_EQ(ssml[0], kOpen + "One two. " + kClose);
  // The audio of the pieces up to the one each mark follows.
  std::vector<size_t> before;
  size_t audio = 0;
  for (const std::string& piece : ssml) {
    audio += Tone({piece});
    if (piece.find("Six seven.") != std::string::npos ||
        piece.find("seventeen.") != std::string::npos)
      before.push_back(audio);
  }
  ASSERT_EQ(before.size(), 2u);
  ASSERT_EQ(markers.size(), 2u);
  EXPECT_EQ(MarkOf(markers[0]), "a");
  EXPECT_EQ(MarkOf(markers[1]), "b");
  EXPECT_GE(markers[0].audio_bytes, before[0]);
  EXPECT_GE(markers[1].audio_bytes, before[1]);
  EXPECT_EQ(m_Channel->AudioBytes(), audio);
}

}  // namespace
}  // namespace vxtest
