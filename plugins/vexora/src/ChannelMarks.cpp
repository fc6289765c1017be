// Speech markers of a channel: the SSML marks of a SPEAK, queued between the
// audio of its pieces, reported as SPEECH-MARKER events once the media
// thread has read past them, and the Speech-Marker header of the messages
// that say how far a SPEAK got.
#include <apr_time.h>

#include <cinttypes>
#include <cstdio>

#include "Channel.h"
#include "ChannelLog.h"
#include "Engine.h"

namespace VXS {

namespace {

// Seconds from the NTP era (1900) to the APR epoch (1970).
const uint64_t kNtpEpochOffset = 2208988800ULL;

// A mark's name as reported and logged: control characters (CR and LF
// above all, which would end a header or a log line) become blanks.
std::string SafeMarkName(const std::string& name) {
  std::string safe(name);
  for (char& c : safe) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = ' ';
  }
  return safe;
}

uint64_t NtpTime(int64_t time) {
  if (time < 0) time = 0;
  const uint64_t seconds = static_cast<uint64_t>(apr_time_sec(time)) + kNtpEpochOffset;
  const uint64_t micros = static_cast<uint64_t>(apr_time_usec(time));
  return (seconds << 32) | ((micros << 32) / 1000000);
}

}  // namespace

void ChannelSpeechMarkerEvent::Process() {
  m_Channel->ProcessSpeechMarkerEvent(m_Generation, m_Marker, m_Time);
}

std::string Channel::FormatSpeechMarker(int64_t time, const std::string& name) {
  char stamp[40];
  snprintf(stamp, sizeof(stamp), "timestamp=%" PRIu64, NtpTime(time));
  std::string value(stamp);
  if (name.empty()) return value;
  value += ';';
  value += SafeMarkName(name);
  return value;
}

void Channel::QueueMarkers(const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    m_MarkNames.push_back(SafeMarkName(name));
    vxs_media_chunk_buffer_marker_write(m_ChunkBuffer,
                                        static_cast<apr_uint32_t>(m_MarkNames.size()));
  }
}

void Channel::AddSpeechMarker(mrcp_message_t* message, int64_t time) {
  mrcp_synth_header_t* header = message ? mrcp_resource_header_prepare(message) : nullptr;
  if (!header) return;
  const std::string value = FormatSpeechMarker(time, m_LastMark);
  apt_string_assign_n(&header->speech_marker, value.data(), value.size(), message->pool);
  mrcp_resource_header_property_add(message, SYNTHESIZER_HEADER_SPEECH_MARKER);
}

void Channel::ProcessSpeechMarkerEvent(uint32_t generation, uint32_t marker, int64_t time) {
  VXS_ASSERT_PROCESSOR_THREAD(m_Engine);
  // Markers of a SPEAK that a later one replaced, or of one that has ended,
  // is being stopped or whose channel is closing, are not reported: no
  // event follows a STOP or the end of its SPEAK.
  if (generation != m_SpeakGeneration || !m_ActiveRequest || m_PendingResponse ||
      m_StopResponse.load() || m_ClosePending) {
    return;
  }
  while (m_MarksReported < marker && m_MarksReported < m_MarkNames.size()) {
    m_LastMark = m_MarkNames[m_MarksReported++];
    mrcp_message_t* event =
        mrcp_event_create(m_ActiveRequest, SYNTHESIZER_SPEECH_MARKER, m_ActiveRequest->pool);
    if (!event) return;
    event->start_line.request_state = MRCP_REQUEST_STATE_INPROGRESS;
    AddSpeechMarker(event, time);
    VXS_CHANNEL_LOG(APT_PRIO_INFO, "Speech Marker [%s]", m_LastMark.c_str());
    SendMessage(event);
  }
}

}  // namespace VXS
