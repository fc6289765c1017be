// What the soak expects of one channel and checks against what the module
// sends back: every request answered exactly once, a SPEAK-COMPLETE only
// for a SPEAK that started and was neither stopped nor replaced, a
// SPEECH-MARKER only while such a SPEAK plays, nothing of a SPEAK after the
// STOP that stopped it, and audio that is, frame by frame,
// the audio of the SPEAKs that started, in order, each from its first frame
// (whole, when it completed in calm weather).
//
// One ChannelModel per host-kit channel object, used by the soak's driver
// thread only. The audio is the test voice that names its input and byte in
// every 20 ms frame (vx-test-bytes), so a cut, a repeat or another prompt's
// audio is seen in the frame where it happens.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "TestBytesVoice.h"
#include "vxhost/HostKit.h"

namespace VxSoak {

// One segment the soak expects to hear: the input the service is sent (or
// the pseudo-input a prompt file was made from) and its length in frames.
// A segment whose input the module composes itself (SSML it rebuilds) is
// known only by a word its input must hold: its frames name their input's
// hash and bytes, so the segment is whole when the bytes heard hash to it.
struct ExpectedSegment {
  uint64_t hash = 0;    // 0: not known in advance
  uint32_t frames = 0;  // 0: not known in advance
  std::string token;    // for a segment not known in advance
};

// Where the audio of one SPEAK has got to.
struct SpeakProgress {
  size_t segment = 0;     // the segment being heard
  uint32_t position = 0;  // frames of it heard
  uint64_t hash = 0;      // of the segment being heard, once known
  uint64_t running = 0;   // hash of its bytes heard so far
  std::string bytes;      // its input, as heard
};

struct SpeakModel {
  mrcp_request_id id = 0;
  std::string summary;                    // for the event trail
  std::vector<ExpectedSegment> segments;  // what a whole SPEAK plays
  uint32_t total_frames = 0;  // an estimate where segments are not known
  bool playable = false;      // at least one segment can play
  int64_t sent_us = 0;
  int64_t started_us = 0;  // IN-PROGRESS
  int64_t ended_us = 0;
  enum class End { kNone, kRefused, kCompleted, kStopped, kReplaced, kClosed };
  End end = End::kNone;
  int status = 0;
  int cause = -1;
  uint32_t played = 0;        // frames heard, in order, from the first
  SpeakProgress progress;
  bool whole = false;         // every segment heard to its end
  bool whole_checked = false;
  uint32_t late_frames = 0;   // heard after it was stopped or replaced
  int64_t last_frame_us = 0;
  size_t request_serial = 0;  // order among the channel's requests
  bool kill_on_barge_in = true;  // false: barge-in leaves it playing
};

// What one channel's model counted; the soak adds them up over channels.
struct ChannelCounts {
  size_t responses = 0;
  size_t completed = 0;
  size_t stopped = 0;
  size_t refused = 0;
  size_t markers = 0;
  size_t audio_frames = 0;
  size_t silent_frames = 0;

  ChannelCounts& operator+=(const ChannelCounts& other) {
    responses += other.responses;
    completed += other.completed;
    stopped += other.stopped;
    refused += other.refused;
    markers += other.markers;
    audio_frames += other.audio_frames;
    silent_frames += other.silent_frames;
    return *this;
  }
};

struct RequestModel {
  mrcp_request_id id = 0;
  std::string method;
  int64_t sent_us = 0;
  size_t serial = 0;
  std::shared_ptr<SpeakModel> speak;  // SPEAK only
  bool answered = false;
  int expect_status = 200;  // of a request that is not a SPEAK
};

// Called with a violation; the soak prints it with the channel's trail and
// exits.
using ViolationFunction = std::function<void(const std::string& what)>;
// Whether a span of time overlapped a storm of service faults.
using StormFunction = std::function<bool(int64_t from_us, int64_t to_us)>;

class ChannelModel {
 public:
  ChannelModel(std::string name, uint16_t rate, ViolationFunction violation,
               StormFunction stormy);

  const std::string& name() const { return m_Name; }
  uint16_t rate() const { return m_Rate; }

  void OnSent(const RequestModel& request);
  void OnMessage(const vxhost::ReceivedMessage& message);
  void OnAudio(const char* audio, size_t bytes, int64_t now_us);
  // The close was answered (or the soak ends): what is still open ends.
  void OnClosed(int64_t now_us);
  // Periodic checks: requests unanswered and audio unmatched for too long.
  void CheckTimeouts(int64_t now_us, int64_t answer_bound_us);

  // A request the kit refused to send after OnSent: no answer is due.
  void Forget(mrcp_request_id id);
  // Whether a request of this id waits for its response.
  bool IsWaiting(mrcp_request_id id) const;
  // A request id not used on the channel yet.
  mrcp_request_id NextId() { return m_NextId++; }
  // Later new ids go past an id the driver chose itself.
  void UsedId(mrcp_request_id id) {
    if (id >= m_NextId) m_NextId = id + 1;
  }
  // Frames the SPEAKs that play have still to play (an estimate where
  // their segments are not known in advance).
  uint32_t FramesLeft() const;

  // Driver's view of the state.
  bool HasActiveSpeak() const;
  bool HasUnansweredRequests() const;
  size_t Unanswered() const;
  const std::vector<std::shared_ptr<SpeakModel>>& started() const { return m_Started; }
  std::vector<mrcp_request_id> SpeakIds() const;

  // The last events, oldest first, for a report.
  std::vector<std::string> Trail() const;
  void Note(int64_t now_us, const std::string& event);

  // Figures for the summary.
  const ChannelCounts& counts() const { return m_Counts; }
  size_t responses() const { return m_Counts.responses; }
  std::vector<int64_t>& first_audio_us() { return m_FirstAudioUs; }
  std::vector<int64_t>& calm_first_audio_us() { return m_CalmFirstAudioUs; }
  size_t completed() const { return m_Counts.completed; }
  size_t stopped() const { return m_Counts.stopped; }
  size_t refused() const { return m_Counts.refused; }

 private:
  // Whether frame continues speak where its audio has got to (from its
  // start when fresh), and if so takes it.
  bool Continues(SpeakModel& speak, const VxTts::TestBytesFrame& frame, bool fresh);
  void MatchFrame(const VxTts::TestBytesFrame& frame, int64_t now_us);
  bool IsKnownPrompt(uint64_t hash) const;
  void CheckWhole(SpeakModel& speak);
  void OnMarker(const vxhost::ReceivedMessage& message);
  void Violation(const std::string& what);

  const std::string m_Name;
  const uint16_t m_Rate;
  ViolationFunction m_Violation;
  StormFunction m_Stormy;

  std::deque<RequestModel> m_Requests;  // unanswered, in the order sent
  size_t m_Serial = 0;
  mrcp_request_id m_NextId = 1;
  size_t m_PauseSerial = 0;   // the newest PAUSE answered
  size_t m_ResumeSerial = 0;  // the newest RESUME answered
  int64_t m_ResumeUs = 0;     // when it was answered
  // Serial of the newest STOP or BARGE-IN-OCCURRED whose response came.
  size_t m_LastStopAnswered = 0;
  bool m_AnyStopAnswered = false;
  // The same of BARGE-IN-OCCURRED alone: it does not end a SPEAK that may
  // not be barged in on.
  size_t m_LastBargeInAnswered = 0;
  bool m_AnyBargeInAnswered = false;
  std::vector<std::shared_ptr<SpeakModel>> m_Started;  // IN-PROGRESS, in order
  size_t m_Cursor = 0;        // the started SPEAK the audio is at
  // SPEAKs that completed, checked whole once their last frame had time to come.
  std::deque<std::pair<std::shared_ptr<SpeakModel>, int64_t>> m_CompletedUnchecked;
  std::deque<std::pair<VxTts::TestBytesFrame, int64_t>> m_Unmatched;
  std::vector<int16_t> m_Partial;  // samples of a frame not yet whole

  std::deque<std::string> m_Trail;
  bool m_LastNoteWasAudio = false;  // runs of audio share one trail line
  size_t m_AudioRun = 0;
  std::string m_AudioNoteStamp;
  ChannelCounts m_Counts;
  std::vector<int64_t> m_FirstAudioUs;
  std::vector<int64_t> m_CalmFirstAudioUs;
};

}  // namespace VxSoak
