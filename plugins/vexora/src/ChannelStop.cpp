// Interrupting a channel's SPEAK: STOP and BARGE-IN-OCCURRED, the stop held
// until the media thread or the call in flight lets it be answered, and
// PAUSE and RESUME.
#include <algorithm>
#include <cstdlib>
#include <vector>

#include <apr_strings.h>

#include "Channel.h"
#include "ChannelLog.h"
#include "Engine.h"

namespace VXS {

namespace {

// The request ids of a STOP's Active-Request-Id-List ("1, 2,3"); false when
// the request carries no list.
bool ReadActiveRequestIds(const mrcp_message_t* request, std::vector<mrcp_request_id>& ids) {
  if (!mrcp_generic_header_property_check(request, GENERIC_HEADER_ACTIVE_REQUEST_ID_LIST)) {
    return false;
  }
  const mrcp_generic_header_t* header = mrcp_generic_header_get(request);
  const apt_str_t& list = header->active_request_id_list;
  std::string text = list.buf ? std::string(list.buf, list.length) : std::string();
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    std::string item = text.substr(start, end - start);
    const size_t first = item.find_first_not_of(" \t");
    const size_t last = item.find_last_not_of(" \t");
    if (first != std::string::npos) {
      item = item.substr(first, last - first + 1);
      char* rest = nullptr;
      const unsigned long long id = std::strtoull(item.c_str(), &rest, 10);
      if (rest && *rest == '\0' && item[0] != '-') ids.push_back(static_cast<mrcp_request_id>(id));
    }
    start = end + 1;
  }
  return true;
}

// Names request in the response's Active-Request-Id-List.
void AddActiveRequest(mrcp_message_t* response, const mrcp_message_t* request) {
  if (!request || !mrcp_generic_header_prepare(response)) return;
  apt_string_assign(&response->generic_header->active_request_id_list,
                    apr_psprintf(response->pool, "%" APR_SIZE_T_FMT,
                                 request->start_line.request_id),
                    response->pool);
  mrcp_generic_header_property_add(response, GENERIC_HEADER_ACTIVE_REQUEST_ID_LIST);
}

}  // namespace

bool Channel::Stop(mrcp_message_t* request, mrcp_message_t* response) {
  if (!m_ActiveRequest) return false;
  // The response says how far the SPEAK got, whether it stops it or not;
  // once it stops it, no marker follows.
  AddSpeechMarker(response, Now());
  const bool barge_in = request->start_line.method_id == SYNTHESIZER_BARGE_IN_OCCURRED;
  // A prompt that may not be interrupted plays on through the caller's
  // speech; the barge-in is answered at once with nothing stopped.
  if (barge_in && !m_KillOnBargeIn) return false;
  // A STOP naming requests stops only those: one that does not name the
  // SPEAK this channel plays leaves it alone.
  std::vector<mrcp_request_id> ids;
  if (ReadActiveRequestIds(request, ids) &&
      std::find(ids.begin(), ids.end(), m_ActiveRequest->start_line.request_id) == ids.end()) {
    return false;
  }
  // The SPEAK is already being stopped: this response is answered with the
  // one held, not before it, since until then the SPEAK may still start.
  if (m_StopResponse.load()) {
    m_LaterStopResponses.push_back(response);
    return true;
  }
  m_StopResponse = response;
  m_Details.m_CompletionCause = SYNTHESIZER_COMPLETION_CAUSE_CANCELLED;
  // The call in flight is not waited for: its cancelled completion comes
  // back within milliseconds and answers the STOP (a service that takes
  // seconds would otherwise hold the caller who interrupted in silence).
  // With audio flowing the media thread reports the stop on its next read.
  CancelCall();
  return true;
}

void Channel::SendStopResponse(mrcp_message_t* response, const mrcp_message_t* stopped) {
  // The response of the STOP that ended a SPEAK names it; later STOPs and
  // one whose SPEAK had already ended otherwise stopped nothing.
  AddActiveRequest(response, stopped);
  SendMessage(response);
  std::vector<mrcp_message_t*> later;
  later.swap(m_LaterStopResponses);
  for (mrcp_message_t* message : later) SendMessage(message);
}

void Channel::AnswerHeldStop() {
  mrcp_message_t* stop_response = m_StopResponse;
  if (!stop_response) return;
  // A SPEAK stopped while a call was in flight ends here (see
  // ProcessStopCompleteEvent). One stopped before its first audio was
  // still waiting for its own response: it is answered IN-PROGRESS first,
  // so that the STOP's response is the one that ends it, as for a SPEAK
  // stopped while it plays.
  if (m_ActiveRequest) {
    m_SpeakMetrics.Ended(m_Engine->GetMetrics(), m_Details.m_CompletionCause,
                         SYNTHESIZER_COMPLETION_CAUSE_CANCELLED);
  }
  if (m_ActiveRequest && m_Details.m_SaveRecord) SaveRecord(m_Details);
  const mrcp_message_t* stopped = m_ActiveRequest;
  if (m_ActiveRequest && m_PendingResponse) SendPendingInProgress();
  m_StopResponse = nullptr;
  m_ActiveRequest = nullptr;
  m_PendingResponse = nullptr;
  SendStopResponse(stop_response, stopped);
}

// PAUSE and RESUME name the SPEAK they paused or resumed, if any.
bool Channel::Pause(mrcp_message_t*, mrcp_message_t* response) {
  m_Paused = true;
  AddActiveRequest(response, m_StopResponse.load() ? nullptr : m_ActiveRequest);
  SendMessage(response);
  // A close waiting for the end of playback would wait for ever once
  // playback is paused; it completes now, as one that finds it paused does.
  // (With a call in flight, the cancelled call completes it.)
  if (m_ClosePending && m_ActiveRequest && !m_SynthContext) ProcessClose();
  return true;
}

bool Channel::Resume(mrcp_message_t*, mrcp_message_t* response) {
  m_Paused = false;
  AddActiveRequest(response, m_StopResponse.load() ? nullptr : m_ActiveRequest);
  SendMessage(response);
  return true;
}

void Channel::ResumeStreaming() {
  if (!m_ActiveRequest || m_PendingResponse || m_StopResponse.load() || !m_ChunkBuffer) return;
  apt_bool_t mark_read = FALSE;
  vxs_media_chunk_buffer_generation(m_ChunkBuffer, &mark_read);
  if (!mark_read) m_Streaming = true;
}

void Channel::ProcessStopCompleteEvent() {
  VXS_ASSERT_PROCESSOR_THREAD(m_Engine);
  mrcp_message_t* stop_response = m_StopResponse;
  if (!m_ActiveRequest || !stop_response) {
    // The stop was answered already (a later SPEAK replaced the stopped one).
    ResumeStreaming();
    return;
  }
  if (m_SynthContext) {
    VXS_CHANNEL_LOG(APT_PRIO_DEBUG, "Wait for synthesis completion");
    return;
  }
  // A stopped SPEAK ends here: its record carries the cause the STOP set.
  m_SpeakMetrics.Ended(m_Engine->GetMetrics(), m_Details.m_CompletionCause,
                       SYNTHESIZER_COMPLETION_CAUSE_CANCELLED);
  if (m_Details.m_SaveRecord) SaveRecord(m_Details);
  const mrcp_message_t* stopped = m_ActiveRequest;
  m_ActiveRequest = nullptr;
  m_StopResponse = nullptr;
  SendStopResponse(stop_response, stopped);
  if (m_ClosePending) ProcessClose();
}

}  // namespace VXS
