// What the soak expects of one channel and checks against what the module
// sends back: every request answered exactly once, a SPEAK-COMPLETE only
// for a SPEAK that started and was neither stopped nor replaced, nothing of
// a SPEAK after the STOP that stopped it, and audio that is, frame by frame,
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
struct ExpectedSegment {
  uint64_t hash = 0;
  uint32_t frames = 0;
};

struct SpeakModel {
  mrcp_request_id id = 0;
  std::string summary;                    // for the event trail
  std::vector<ExpectedSegment> segments;  // what a whole SPEAK plays
  uint32_t total_frames = 0;
  int64_t sent_us = 0;
  int64_t started_us = 0;  // IN-PROGRESS
  int64_t ended_us = 0;
  enum class End { kNone, kRefused, kCompleted, kStopped, kReplaced, kClosed };
  End end = End::kNone;
  int status = 0;
  int cause = -1;
  uint32_t played = 0;        // frames heard, in order, from the first
  size_t request_serial = 0;  // order among the channel's requests
};

struct RequestModel {
  mrcp_request_id id = 0;
  std::string method;
  int64_t sent_us = 0;
  size_t serial = 0;
  std::shared_ptr<SpeakModel> speak;  // SPEAK only
  bool answered = false;
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
  void OnAudio(const std::vector<char>& audio, int64_t now_us);
  // The close was answered (or the soak ends): what is still open ends.
  void OnClosed(int64_t now_us);
  // Periodic checks: requests unanswered and audio unmatched for too long.
  void CheckTimeouts(int64_t now_us, int64_t answer_bound_us);

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
  size_t responses() const { return m_Responses; }
  std::vector<int64_t>& first_audio_us() { return m_FirstAudioUs; }
  std::vector<int64_t>& calm_first_audio_us() { return m_CalmFirstAudioUs; }
  size_t completed() const { return m_Completed; }
  size_t stopped() const { return m_StoppedCount; }
  size_t refused() const { return m_Refused; }

 private:
  bool Matches(const SpeakModel& speak, uint32_t position, const VxTts::TestBytesFrame& frame) const;
  void MatchFrame(const VxTts::TestBytesFrame& frame, int64_t now_us);
  void CheckWhole(const SpeakModel& speak);
  void Violation(const std::string& what);

  const std::string m_Name;
  const uint16_t m_Rate;
  ViolationFunction m_Violation;
  StormFunction m_Stormy;

  std::deque<RequestModel> m_Requests;  // unanswered, in the order sent
  size_t m_Serial = 0;
  // Serial of the newest STOP or BARGE-IN-OCCURRED whose response came.
  size_t m_LastStopAnswered = 0;
  bool m_AnyStopAnswered = false;
  std::vector<std::shared_ptr<SpeakModel>> m_Started;  // IN-PROGRESS, in order
  size_t m_Cursor = 0;        // the started SPEAK the audio is at
  uint32_t m_Position = 0;    // frames of it heard so far
  std::deque<std::pair<VxTts::TestBytesFrame, int64_t>> m_Unmatched;
  std::vector<int16_t> m_Partial;  // samples of a frame not yet whole

  std::deque<std::string> m_Trail;
  size_t m_Responses = 0;
  size_t m_Completed = 0;
  size_t m_StoppedCount = 0;
  size_t m_Refused = 0;
  std::vector<int64_t> m_FirstAudioUs;
  std::vector<int64_t> m_CalmFirstAudioUs;
};

}  // namespace VxSoak
