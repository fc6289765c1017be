#include "SoakModel.h"

#include <algorithm>
#include <cstdio>

namespace VxSoak {

namespace {

constexpr size_t kTrailLength = 40;
// Audio of a SPEAK may reach the soak just before its IN-PROGRESS does (the
// media thread reads as soon as streaming is on); audio that matches no
// SPEAK for this long is a fault.
constexpr int64_t kUnmatchedAudioUs = 2000000;
// How long after its SPEAK-COMPLETE the last frame of a SPEAK may come.
constexpr int64_t kLastFrameUs = 500000;
// How long after its last frame a SPEAK that played whole may go without
// its SPEAK-COMPLETE.
constexpr int64_t kCompleteAfterUs = 3000000;

std::string Ms(int64_t us) { return std::to_string(us / 1000) + " ms"; }

}  // namespace

ChannelModel::ChannelModel(std::string name, uint16_t rate, ViolationFunction violation,
                           StormFunction stormy)
    : m_Name(std::move(name)),
      m_Rate(rate),
      m_Violation(std::move(violation)),
      m_Stormy(std::move(stormy)) {}

void ChannelModel::Note(int64_t now_us, const std::string& event) {
  char stamp[32];
  snprintf(stamp, sizeof(stamp), "%lld.%03lld ", static_cast<long long>(now_us / 1000000),
           static_cast<long long>((now_us / 1000) % 1000));
  m_Trail.push_back(stamp + event);
  m_LastNoteWasAudio = false;
  if (m_Trail.size() > kTrailLength) m_Trail.pop_front();
}

std::vector<std::string> ChannelModel::Trail() const {
  return std::vector<std::string>(m_Trail.begin(), m_Trail.end());
}

void ChannelModel::Violation(const std::string& what) { m_Violation(m_Name + ": " + what); }

void ChannelModel::OnSent(const RequestModel& sent) {
  RequestModel request = sent;
  request.serial = ++m_Serial;
  if (request.speak) request.speak->request_serial = request.serial;
  Note(request.sent_us, "sent " + request.method + " " + std::to_string(request.id) +
                            (request.speak ? " " + request.speak->summary : ""));
  m_Requests.push_back(request);
}

void ChannelModel::Forget(mrcp_request_id id) {
  for (auto it = m_Requests.begin(); it != m_Requests.end(); ++it) {
    if (it->id == id) {
      m_Requests.erase(it);
      return;
    }
  }
}

bool ChannelModel::IsWaiting(mrcp_request_id id) const {
  for (const RequestModel& request : m_Requests) {
    if (request.id == id) return true;
  }
  return false;
}

uint32_t ChannelModel::FramesLeft() const {
  uint32_t left = 0;
  for (const auto& speak : m_Started) {
    if (speak->end == SpeakModel::End::kNone && speak->total_frames > speak->played) {
      left += speak->total_frames - speak->played;
    }
  }
  return left;
}

bool ChannelModel::HasActiveSpeak() const {
  for (const RequestModel& request : m_Requests) {
    if (request.speak) return true;
  }
  return !m_Started.empty() && m_Started.back()->end == SpeakModel::End::kNone;
}

bool ChannelModel::HasUnansweredRequests() const { return !m_Requests.empty(); }
size_t ChannelModel::Unanswered() const { return m_Requests.size(); }

std::vector<mrcp_request_id> ChannelModel::SpeakIds() const {
  std::vector<mrcp_request_id> ids;
  for (const auto& speak : m_Started) ids.push_back(speak->id);
  return ids;
}

void ChannelModel::OnMessage(const vxhost::ReceivedMessage& message) {
  const int64_t now = message.time_us;
  std::string line = message.method_name + " " + std::to_string(message.request_id);
  if (message.type == MRCP_MESSAGE_TYPE_RESPONSE) {
    line += " " + std::to_string(message.status_code) +
            (message.request_state == MRCP_REQUEST_STATE_INPROGRESS ? " IN-PROGRESS" : "");
  }
  if (message.has_completion_cause) line += " cause " + std::to_string(message.completion_cause);
  Note(now, "recv " + line);

  if (message.type == MRCP_MESSAGE_TYPE_RESPONSE) {
    auto pos = std::find_if(m_Requests.begin(), m_Requests.end(), [&](const RequestModel& r) {
      return r.id == message.request_id;
    });
    if (pos == m_Requests.end()) {
      return Violation("a response to request " + std::to_string(message.request_id) +
                       " for which no request waits (answered twice, or never sent)");
    }
    RequestModel request = *pos;
    m_Requests.erase(pos);
    ++m_Counts.responses;
    if (message.method_name != request.method) {
      return Violation("request " + std::to_string(request.id) + " (" + request.method +
                       ") answered as " + message.method_name);
    }
    if (!request.speak) {
      if (message.status_code != request.expect_status) {
        return Violation(request.method + " " + std::to_string(request.id) + " answered " +
                         std::to_string(message.status_code) + " instead of " +
                         std::to_string(request.expect_status));
      }
      if (request.method == "PAUSE") m_PauseSerial = std::max(m_PauseSerial, request.serial);
      if (request.method == "RESUME" && request.serial > m_ResumeSerial) {
        m_ResumeSerial = request.serial;
        m_ResumeUs = now;
      }
      if (request.method == "STOP" || request.method == "BARGE-IN-OCCURRED") {
        // Every SPEAK sent before it has ended by now: completed earlier,
        // refused, replaced, or stopped by this STOP; a barge-in leaves one
        // that may not be barged in on. The response names the one it
        // stopped, and none when it stopped none.
        const bool barge_in = request.method == "BARGE-IN-OCCURRED";
        // A SPEAK sent before it and still unanswered was accepted (a
        // SPEAK stopped before its first audio is answered before the
        // STOP), so the ones before it were replaced, and it was not
        // stopped: a barge-in it may not be interrupted by.
        size_t unanswered = 0;
        for (const RequestModel& waiting : m_Requests) {
          if (waiting.speak && waiting.serial < request.serial) {
            unanswered = std::max(unanswered, waiting.serial);
          }
        }
        std::string stopped;
        for (auto& speak : m_Started) {
          if (speak->end == SpeakModel::End::kNone && speak->request_serial < unanswered) {
            speak->end = SpeakModel::End::kReplaced;
            speak->ended_us = now;
            continue;
          }
          if (speak->end == SpeakModel::End::kNone && speak->request_serial < request.serial &&
              (!barge_in || speak->kill_on_barge_in)) {
            speak->end = SpeakModel::End::kStopped;
            speak->ended_us = now;
            ++m_Counts.stopped;
            stopped += (stopped.empty() ? "" : ", ") + std::to_string(speak->id);
          }
        }
        const std::string& listed = message.active_request_id_list;
        if (listed != stopped) {
          return Violation(request.method + " " + std::to_string(request.id) +
                           " answered with Active-Request-Id-List \"" + listed +
                           "\" although it stopped \"" + stopped + "\"");
        }
        size_t& last = barge_in ? m_LastBargeInAnswered : m_LastStopAnswered;
        last = std::max(last, request.serial);
        (barge_in ? m_AnyBargeInAnswered : m_AnyStopAnswered) = true;
      }
      return;
    }
    std::shared_ptr<SpeakModel> speak = request.speak;
    speak->status = message.status_code;
    if (message.status_code == 200 && message.request_state == MRCP_REQUEST_STATE_INPROGRESS) {
      if (!speak->playable) {
        return Violation("SPEAK " + std::to_string(speak->id) +
                         " started although nothing of it can play (" + speak->summary + ")");
      }
      if ((m_AnyStopAnswered && m_LastStopAnswered > speak->request_serial) ||
          (speak->kill_on_barge_in && m_AnyBargeInAnswered &&
           m_LastBargeInAnswered > speak->request_serial)) {
        return Violation("SPEAK " + std::to_string(speak->id) +
                         " started after the STOP sent behind it was answered");
      }
      for (auto& earlier : m_Started) {
        if (earlier->end == SpeakModel::End::kNone) {
          earlier->end = SpeakModel::End::kReplaced;
          earlier->ended_us = now;
        }
      }
      speak->started_us = now;
      m_Started.push_back(speak);
      m_FirstAudioUs.push_back(now - speak->sent_us);
      if (!m_Stormy(speak->sent_us, now)) m_CalmFirstAudioUs.push_back(now - speak->sent_us);
      // Audio that came before this answer belongs to it.
      std::deque<std::pair<VxTts::TestBytesFrame, int64_t>> waiting;
      waiting.swap(m_Unmatched);
      for (const auto& frame : waiting) MatchFrame(frame.first, frame.second);
    } else if (message.status_code == 200) {
      Violation("SPEAK " + std::to_string(speak->id) + " answered 200 without IN-PROGRESS");
    } else {
      speak->end = SpeakModel::End::kRefused;
      speak->ended_us = now;
      ++m_Counts.refused;
      if (message.status_code == 407) {
        // A SPEAK whose first call failed had been accepted: the one it
        // replaced ended then, without an event of its own.
        for (auto& earlier : m_Started) {
          if (earlier->end == SpeakModel::End::kNone) {
            earlier->end = SpeakModel::End::kReplaced;
            earlier->ended_us = now;
          }
        }
      }
      if (!message.has_completion_cause) {
        Violation("refused SPEAK " + std::to_string(speak->id) + " without Completion-Cause");
      }
    }
    return;
  }

  if (message.method_name == "SPEECH-MARKER") return OnMarker(message);
  if (message.method_name != "SPEAK-COMPLETE") {
    return Violation("unexpected event " + message.method_name);
  }
  std::shared_ptr<SpeakModel> found;
  for (auto it = m_Started.rbegin(); it != m_Started.rend(); ++it) {
    if ((*it)->id == message.request_id && (*it)->end == SpeakModel::End::kNone) {
      found = *it;
      break;
    }
  }
  if (!found) {
    std::string why = "never started";
    for (const auto& speak : m_Started) {
      if (speak->id != message.request_id) continue;
      switch (speak->end) {
        case SpeakModel::End::kStopped:
          why = "stopped, and its STOP was answered";
          break;
        case SpeakModel::End::kReplaced:
          why = "replaced by a later SPEAK";
          break;
        case SpeakModel::End::kCompleted:
          why = "completed already";
          break;
        default:
          break;
      }
    }
    return Violation("SPEAK-COMPLETE for SPEAK " + std::to_string(message.request_id) +
                     ", which was " + why);
  }
  if (!message.has_completion_cause) return Violation("SPEAK-COMPLETE without Completion-Cause");
  found->end = SpeakModel::End::kCompleted;
  found->ended_us = now;
  found->cause = message.completion_cause;
  ++m_Counts.completed;
  // Its last frame may be kept just after the event (the module sends it
  // from its own thread): checked once that frame had time to come.
  m_CompletedUnchecked.emplace_back(found, now);
}

void ChannelModel::OnMarker(const vxhost::ReceivedMessage& message) {
  // A marker belongs to a SPEAK that started and still plays: never to one
  // stopped (its STOP answered), replaced or completed.
  const std::string id = std::to_string(message.request_id);
  if (message.request_state != MRCP_REQUEST_STATE_INPROGRESS) {
    return Violation("SPEECH-MARKER for SPEAK " + id + " not IN-PROGRESS");
  }
  if (message.text.find("Speech-Marker: timestamp=") == std::string::npos) {
    return Violation("SPEECH-MARKER for SPEAK " + id + " without its Speech-Marker");
  }
  for (auto it = m_Started.rbegin(); it != m_Started.rend(); ++it) {
    if ((*it)->id != message.request_id) continue;
    if ((*it)->end != SpeakModel::End::kNone) break;
    ++m_Counts.markers;
    return;
  }
  Violation("SPEECH-MARKER for SPEAK " + id + ", which does not play");
}

void ChannelModel::CheckWhole(SpeakModel& speak) {
  // In calm weather a SPEAK that completes normally played every frame it
  // has; under faults a segment may fail and end it early.
  if (speak.whole_checked) return;
  speak.whole_checked = true;
  if (speak.cause != 0 || m_Stormy(speak.sent_us, speak.ended_us)) return;
  if (!speak.whole) {
    Violation("SPEAK " + std::to_string(speak.id) + " completed after " +
              std::to_string(speak.played) + " frames, in segment " +
              std::to_string(speak.progress.segment + 1) + " of " +
              std::to_string(speak.segments.size()) + " (" + speak.summary + ")");
  }
}

namespace {

constexpr uint64_t kFnvOffset = 14695981039346656037ull;
constexpr uint64_t kFnvPrime = 1099511628211ull;

}  // namespace

bool ChannelModel::Continues(SpeakModel& speak, const VxTts::TestBytesFrame& frame, bool fresh) {
  SpeakProgress progress = fresh ? SpeakProgress() : speak.progress;
  if (progress.segment >= speak.segments.size()) return false;
  const ExpectedSegment& segment = speak.segments[progress.segment];
  if (frame.index != progress.position) return false;
  if (progress.position == 0) {
    // A SPEAK that has ended starts no further part; a part known only by
    // its word takes no first frame of a known prompt.
    if (speak.end != SpeakModel::End::kNone) return false;
    if (segment.hash == 0 && IsKnownPrompt(frame.input_hash)) return false;
    if (segment.hash != 0 && frame.input_hash != segment.hash) return false;
    progress.hash = frame.input_hash;
    progress.running = kFnvOffset;
    progress.bytes.clear();
  } else if (frame.input_hash != progress.hash) {
    return false;
  }
  ++progress.position;
  progress.running = (progress.running ^ frame.byte) * kFnvPrime;
  progress.bytes.push_back(static_cast<char>(frame.byte));
  const bool ended = segment.frames != 0 ? progress.position == segment.frames
                                         : progress.running == progress.hash;
  if (ended) {
    if (segment.frames != 0 && progress.running != progress.hash) {
      Violation("SPEAK " + std::to_string(speak.id) + " segment " +
                std::to_string(progress.segment + 1) + " played bytes that are not its input");
    }
    if (!segment.token.empty() && progress.bytes.find(segment.token) == std::string::npos) {
      Violation("SPEAK " + std::to_string(speak.id) + " segment " +
                std::to_string(progress.segment + 1) + " played \"" + progress.bytes.substr(0, 200) +
                "\", which lacks its word " + segment.token);
    }
    ++progress.segment;
    progress.position = 0;
    progress.hash = 0;
    progress.bytes.clear();
  }
  speak.progress = progress;
  speak.played = fresh ? 1 : speak.played + 1;
  speak.whole = progress.segment == speak.segments.size();
  if (speak.end == SpeakModel::End::kStopped || speak.end == SpeakModel::End::kReplaced) {
    // The frame the media thread was reading when the SPEAK ended may still
    // come; more is audio of a SPEAK the client was told had ended.
    if (++speak.late_frames > 1) {
      Violation("audio of SPEAK " + std::to_string(speak.id) + " after it was " +
                (speak.end == SpeakModel::End::kStopped ? "stopped" : "replaced"));
    }
  }
  return true;
}

void ChannelModel::MatchFrame(const VxTts::TestBytesFrame& frame, int64_t now_us) {
  if (!m_Unmatched.empty()) {
    m_Unmatched.emplace_back(frame, now_us);
    return;
  }
  if (m_Cursor < m_Started.size() && m_Started[m_Cursor]->played > 0 &&
      Continues(*m_Started[m_Cursor], frame, false)) {
    m_Started[m_Cursor]->last_frame_us = now_us;
    return;
  }
  // A later SPEAK's first frame; SPEAKs between played nothing. The newest
  // is tried first: once a SPEAK has started, the ones before it cannot
  // start to play any more.
  size_t first = m_Cursor;
  if (m_Cursor < m_Started.size() && m_Started[m_Cursor]->played > 0) ++first;
  for (size_t next = m_Started.size(); next-- > first;) {
    if (Continues(*m_Started[next], frame, true)) {
      m_Cursor = next;
      m_Started[next]->last_frame_us = now_us;
      return;
    }
  }
  m_Unmatched.emplace_back(frame, now_us);
}

bool ChannelModel::IsKnownPrompt(uint64_t hash) const {
  for (const auto& speak : m_Started) {
    for (const ExpectedSegment& segment : speak->segments) {
      if (segment.hash == hash) return true;
    }
  }
  return false;
}

void ChannelModel::OnAudio(const char* audio, size_t bytes, int64_t now_us) {
  if (bytes == 0) return;
  const size_t samples = bytes / 2;
  for (size_t i = 0; i < samples; ++i) {
    const uint16_t low = static_cast<unsigned char>(audio[2 * i]);
    const uint16_t high = static_cast<unsigned char>(audio[2 * i + 1]);
    m_Partial.push_back(static_cast<int16_t>(low | (high << 8)));
  }
  const size_t frame = m_Rate / 50;
  size_t done = 0;
  for (; done + frame <= m_Partial.size(); done += frame) {
    VxTts::TestBytesFrame decoded;
    if (!VxTts::DecodeTestBytesFrame(m_Partial.data() + done, frame, &decoded)) {
      bool silent = true;
      for (size_t i = 0; i < frame && silent; ++i) silent = m_Partial[done + i] == 0;
      // The last frame of a prompt is padded with silence; a frame all
      // silence is that padding seen on its own (a prompt of whole frames
      // never has one).
      if (silent) {
        ++m_Counts.silent_frames;
        continue;
      }
      char words[96];
      snprintf(words, sizeof(words), "%04x %04x %04x %04x ... %04x",
               static_cast<uint16_t>(m_Partial[done]), static_cast<uint16_t>(m_Partial[done + 1]),
               static_cast<uint16_t>(m_Partial[done + 2]), static_cast<uint16_t>(m_Partial[done + 3]),
               static_cast<uint16_t>(m_Partial[done + frame - 1]));
      Violation(std::string("an audio frame that is no frame of any prompt: ") + words);
      return;
    }
    MatchFrame(decoded, now_us);
  }
  m_Partial.erase(m_Partial.begin(), m_Partial.begin() + static_cast<long>(done));
  const size_t frames = done / frame;
  if (frames) {
    m_Counts.audio_frames += frames;
    if (!m_Trail.empty() && m_LastNoteWasAudio) {
      m_Trail.back() = m_AudioNoteStamp + "audio " + std::to_string(m_AudioRun += frames) + " frames";
    } else {
      Note(now_us, "audio " + std::to_string(frames) + " frames");
      m_AudioRun = frames;
      m_AudioNoteStamp = m_Trail.back().substr(0, m_Trail.back().find(' ') + 1);
      m_LastNoteWasAudio = true;
    }
  }
}

void ChannelModel::OnClosed(int64_t now_us) {
  Note(now_us, "closed");
  if (!m_Requests.empty()) {
    const RequestModel& request = m_Requests.front();
    return Violation("request " + std::to_string(request.id) + " (" + request.method +
                     ") got no response before the close was answered");
  }
  if (!m_Unmatched.empty()) return Violation("audio that belongs to no SPEAK that started");
  for (auto& unchecked : m_CompletedUnchecked) CheckWhole(*unchecked.first);
  m_CompletedUnchecked.clear();
  for (auto& speak : m_Started) {
    if (speak->end == SpeakModel::End::kNone) {
      speak->end = SpeakModel::End::kClosed;
      speak->ended_us = now_us;
    }
  }
}

void ChannelModel::CheckTimeouts(int64_t now_us, int64_t answer_bound_us) {
  while (!m_CompletedUnchecked.empty() &&
         now_us - m_CompletedUnchecked.front().second > kLastFrameUs) {
    auto speak = m_CompletedUnchecked.front().first;
    m_CompletedUnchecked.pop_front();
    CheckWhole(*speak);
  }
  if (!m_Requests.empty() && now_us - m_Requests.front().sent_us > answer_bound_us) {
    const RequestModel& request = m_Requests.front();
    return Violation("request " + std::to_string(request.id) + " (" + request.method +
                     ") unanswered for " + Ms(now_us - request.sent_us));
  }
  // A SPEAK heard to its end that is neither paused nor being stopped
  // must complete.
  if (!m_Started.empty()) {
    const SpeakModel& speak = *m_Started.back();
    bool stopping = false;
    for (const RequestModel& request : m_Requests) {
      // A later SPEAK accepted ends this one at once, before its own answer.
      stopping = stopping || request.method == "STOP" || request.method == "BARGE-IN-OCCURRED" ||
                 request.method == "SPEAK" ||
                 (request.method == "PAUSE" && request.serial > speak.request_serial);
    }
    const bool paused = m_PauseSerial > std::max(m_ResumeSerial, speak.request_serial);
    // A SPEAK paused after its last frame completes once resumed: its time
    // runs from the resume.
    const int64_t since_us = std::max(speak.last_frame_us, m_ResumeUs);
    if (speak.end == SpeakModel::End::kNone && speak.whole && !paused && !stopping &&
        now_us - since_us > kCompleteAfterUs) {
      return Violation("SPEAK " + std::to_string(speak.id) + " played to its end " +
                       Ms(now_us - speak.last_frame_us) + " ago and has not completed");
    }
  }
  if (!m_Unmatched.empty() && now_us - m_Unmatched.front().second > kUnmatchedAudioUs) {
    const VxTts::TestBytesFrame& frame = m_Unmatched.front().first;
    char hash[32];
    snprintf(hash, sizeof(hash), "%016llx", static_cast<unsigned long long>(frame.input_hash));
    return Violation(std::string("audio that belongs to no SPEAK that started: input ") + hash +
                     " frame " + std::to_string(frame.index));
  }
}

}  // namespace VxSoak
