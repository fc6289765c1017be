// Channel requests and the state machine: posted events, open and close,
// the method dispatch, SPEAK acceptance and the ends of a SPEAK (STOP,
// PAUSE and RESUME are in ChannelStop.cpp). Somewhat over 400 lines: the
// ways a SPEAK is accepted, replaced and ended share their state and are
// read together.
#include "Channel.h"

#include <apr_strings.h>
#include <apr_time.h>

#include <algorithm>
#include <cstdlib>

#include <chrono>
#include <future>
#include <memory>

#include "ChannelLog.h"
#include "Engine.h"
#include "Plugin.h"
#include "SentenceSplit.h"

namespace VXS {

void ChannelEvent::Process() { m_Channel->ProcessEvent(this); }
void ChannelGrpcEvent::Process() { m_Channel->ProcessGrpcEvent(m_Tag, m_Ok); }
void ChannelStopCompleteEvent::Process() { m_Channel->ProcessStopCompleteEvent(); }
void ChannelSpeechDoneEvent::Process() { m_Channel->ProcessSpeechDoneEvent(m_Generation); }

Channel::Channel(Engine* engine)
    : m_Engine(engine),
      m_HostChannel(nullptr),
      m_SpeakPool(nullptr),
      m_FinishingTag(this),
      m_ChunkBuffer(nullptr),
      m_ActiveRequest(nullptr),
      m_PendingResponse(nullptr),
      m_StopResponse(nullptr),
      m_Streaming(false),
      m_Paused(false),
      m_ClosePending(false),
      m_SpeakGeneration(0) {}

namespace {

// Runs after every event posted before it; lets a thread wait until the
// processor has gone past them.
class FlushEvent : public Ambrel::AsyncEvent {
 public:
  explicit FlushEvent(std::shared_ptr<std::promise<void>> done) : m_Done(std::move(done)) {}
  void Process() override { m_Done->set_value(); }

 private:
  std::shared_ptr<std::promise<void>> m_Done;
};

}  // namespace

Channel::~Channel() {
  // A media read that was in progress when the close completed may have
  // posted one last event for this channel; it must run before the channel
  // is gone. (It finds the channel closed and does nothing.)
  Ambrel::AsyncEventProcessor* processor = m_Engine ? m_Engine->GetEventProcessor() : nullptr;
  if (processor && !m_Engine->IsProcessorThread()) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> flushed = done->get_future();
    if (Ambrel::PostAsyncEvent(processor, new FlushEvent(done))) {
      flushed.wait_for(std::chrono::seconds(5));
    }
  }
  // The buffer's mutex is released only here, once the host has stopped
  // reading the stream: a close may complete while a media read is still in
  // progress on the host's media thread.
  if (m_ChunkBuffer) mpf_media_chunk_buffer_destroy(m_ChunkBuffer);
  m_ChunkBuffer = nullptr;
}

apr_pool_t* Channel::SpeakPool() {
  if (!m_SpeakPool && m_HostChannel) apr_pool_create(&m_SpeakPool, m_HostChannel->pool);
  return m_SpeakPool;
}

const char* Channel::GetId() const {
  return (m_HostChannel && m_HostChannel->id.buf) ? m_HostChannel->id.buf : "";
}

int64_t Channel::Now() const { return m_Engine ? m_Engine->Now() : apr_time_now(); }

bool Channel::PostEvent(Ambrel::AsyncEvent* event) {
  return Ambrel::PostAsyncEvent(m_Engine->GetEventProcessor(), event);
}

bool Channel::SignalEvent(TaskMsgType type, mrcp_message_t* message) {
  // Once the engine has closed nothing would ever answer the request: the
  // host is told at once instead.
  return PostEvent(new ChannelEvent(type, this, message));
}

void Channel::SignalGrpcEvent(Tag* tag, bool ok) { PostEvent(new ChannelGrpcEvent(this, tag, ok)); }

bool Channel::Dump(std::ostream& stream) const {
  if (!m_HostChannel || !m_HostChannel->id.buf) {
    stream.setstate(std::ios::failbit);
    return false;
  }
  stream << m_HostChannel->id.buf << "\n" << std::flush;
  return true;
}

void Channel::SendMessage(mrcp_message_t* message) {
  if (m_HostChannel && message) mrcp_engine_channel_message_send(m_HostChannel, message);
}

void Channel::ProcessEvent(ChannelEvent* event) {
  VXS_ASSERT_PROCESSOR_THREAD(m_Engine);
  switch (event->m_Type) {
    case TASK_MSG_OPEN:
      Open();
      break;
    case TASK_MSG_CLOSE:
      Close();
      break;
    case TASK_MSG_REQUEST:
      ProcessRequest(event->m_Message);
      break;
    default:
      break;
  }
}

bool Channel::Open() {
  VXS_CHANNEL_LOG(APT_PRIO_INFO, "Open");
  // A buffer left by an earlier close of this channel object is reused.
  if (!m_ChunkBuffer) m_ChunkBuffer = mpf_media_chunk_buffer_create(m_HostChannel->pool);
  m_SessionParams = SessionParams();
  m_Engine->OnOpenChannel(this);
  mrcp_engine_channel_open_respond(m_HostChannel, TRUE);
  return true;
}

bool Channel::Close() {
  VXS_CHANNEL_LOG(APT_PRIO_INFO, "Close");
  if (!m_ActiveRequest) {
    ProcessClose();
    return true;
  }
  m_ClosePending = true;
  VXS_CHANNEL_LOG(APT_PRIO_DEBUG, "Wait for SPEAK completion");
  if (m_SynthContext) {
    // The caller is gone: the call in flight is not waited for (a service
    // that never answers would hold the close for ever). Its cancelled
    // completion ends the SPEAK and completes the close.
    CancelCall();
  } else if (m_Paused) {
    // Paused playback never reaches its end.
    ProcessClose();
  }
  return true;
}

void Channel::ProcessClose() {
  VXS_ASSERT_PROCESSOR_THREAD(m_Engine);
  // A STOP still held is answered: nothing would answer it once the channel
  // is closed.
  AnswerHeldStop();
  if (m_ActiveRequest) {
    m_SpeakMetrics.Ended(m_Engine->GetMetrics(), m_Details.m_CompletionCause,
                         SYNTHESIZER_COMPLETION_CAUSE_CANCELLED);
  }
  // A SPEAK that had started and is cut short by the close keeps its record.
  if (m_ActiveRequest && !m_PendingResponse) {
    if (m_Details.m_CompletionCause == SYNTHESIZER_COMPLETION_CAUSE_UNKNOWN) {
      m_Details.m_CompletionCause = SYNTHESIZER_COMPLETION_CAUSE_CANCELLED;
    }
    if (m_Details.m_SaveRecord) SaveRecord(m_Details);
  }
  // Whatever the SPEAK still held is dropped with the channel: a channel
  // opened again starts idle.
  m_Streaming = false;
  m_ClosePending = false;
  m_ActiveRequest = nullptr;
  m_PendingResponse = nullptr;
  m_StopResponse = nullptr;
  if (m_ChunkBuffer) mpf_media_chunk_buffer_restart(m_ChunkBuffer);
  m_Engine->OnCloseChannel(this);
  mrcp_engine_channel_close_respond(m_HostChannel);
}

void Channel::ProcessRequest(mrcp_message_t* request) {
  VXS_ASSERT_PROCESSOR_THREAD(m_Engine);
  if (!request) return;
  mrcp_message_t* response = mrcp_response_create(request, request->pool);
  bool handled = false;
  switch (request->start_line.method_id) {
    case SYNTHESIZER_SPEAK:
      handled = Speak(request, response);
      break;
    case SYNTHESIZER_STOP:
    case SYNTHESIZER_BARGE_IN_OCCURRED:
      handled = Stop(request, response);
      break;
    case SYNTHESIZER_PAUSE:
      handled = Pause(request, response);
      break;
    case SYNTHESIZER_RESUME:
      handled = Resume(request, response);
      break;
    case SYNTHESIZER_CONTROL:
      // Nothing to change, but the answer says how far the SPEAK got.
      if (m_ActiveRequest && !m_PendingResponse) AddSpeechMarker(response, Now());
      break;
    case SYNTHESIZER_SET_PARAMS:
      handled = SetParams(request, response);
      break;
    case SYNTHESIZER_GET_PARAMS:
      handled = GetParams(request, response);
      break;
    default:
      break;
  }
  if (!handled) SendMessage(response);
}

bool Channel::ComposeResponse(mrcp_message_t* response, mrcp_status_code_e status,
                              mrcp_synth_completion_cause_e cause) {
  response->start_line.status_code = status;
  mrcp_synth_header_t* header = mrcp_resource_header_prepare(response);
  if (!header) return false;
  header->completion_cause = cause;
  mrcp_resource_header_property_add(response, SYNTHESIZER_HEADER_COMPLETION_CAUSE);
  return true;
}

bool Channel::Refuse(mrcp_message_t* response, mrcp_status_code_e status) {
  ComposeResponse(response, status, SYNTHESIZER_COMPLETION_CAUSE_ERROR);
  return false;
}

bool Channel::Speak(mrcp_message_t* request, mrcp_message_t* response) {
  if (m_SynthContext) {
    VXS_CHANNEL_LOG(APT_PRIO_WARNING, "Previous Synth Context Not Released");
    return Refuse(response, MRCP_STATUS_CODE_METHOD_NOT_ALLOWED);
  }
  const mpf_codec_descriptor_t* codec = mrcp_engine_source_stream_codec_get(m_HostChannel);
  if (!codec) {
    VXS_CHANNEL_LOG(APT_PRIO_WARNING, "No Codec Descriptor Available");
    return Refuse(response, MRCP_STATUS_CODE_METHOD_NOT_ALLOWED);
  }
  if (SpeakPool()) apr_pool_clear(m_SpeakPool);
  // The SPEAK still playing, if any, keeps its details (and so its record)
  // unless this one is accepted.
  SdrManager::SynthesisDetails previous = std::move(m_Details);
  const WaveformManager::WaveFile previous_wave = m_WaveFile;
  auto refuse = [&](mrcp_status_code_e status) {
    m_Details = std::move(previous);
    m_WaveFile = previous_wave;
    return Refuse(response, status);
  };
  m_Details.Reset();
  m_WaveFile.Reset();
  m_Details.m_SamplingRate = codec->sampling_rate;
  m_Details.m_Version = request->start_line.version;
  m_Details.m_Codec.assign(codec->name.buf ? codec->name.buf : "", codec->name.length);

  int status = DetermineParams(request, m_Engine->GetSynthSettings());
  if (status != MRCP_STATUS_CODE_SUCCESS) {
    VXS_CHANNEL_LOG(APT_PRIO_WARNING, "Failed to Determine Params");
    return refuse(static_cast<mrcp_status_code_e>(status));
  }
  ComposeContent(SpeakPool());
  if (m_Details.m_Content.empty()) {
    VXS_CHANNEL_LOG(APT_PRIO_WARNING, "Failed to Compose Content");
    return refuse(MRCP_STATUS_CODE_MISSING_PARAM);
  }

  SdrManager* sdr = m_Engine->GetSdrManager();
  m_Details.m_SaveRecord = sdr && sdr->GetSaveRecords();
  if (m_Details.m_SaveRecord) {
    sdr->ComposeName(m_Details.m_Name, GetId(), request->start_line.request_id,
                     m_Details.m_LoggingTag, request->pool);
    m_Details.m_StartTime = Now();
  }

  if (!m_Stub && !CreateGrpcChannel()) {
    return refuse(MRCP_STATUS_CODE_METHOD_FAILED);
  }

  // A list whose first prompt cannot play is refused here, before it can
  // cut off the SPEAK that plays: refused later, that SPEAK would be gone
  // without an event.
  m_FirstPromptLoaded = false;
  m_FirstPromptAudio.clear();
  const SynthSegment& first = m_Details.m_Content.front();
  if (first.m_ContentType == SYNTH_CONTENT_FILE_URI ||
      first.m_ContentType == SYNTH_CONTENT_HTTP_URI ||
      first.m_ContentType == SYNTH_CONTENT_HTTPS_URI) {
    if (!LoadPromptAudio(first, m_FirstPromptAudio)) {
      m_FirstPromptAudio.clear();
      return refuse(MRCP_STATUS_CODE_METHOD_NOT_ALLOWED);
    }
    m_FirstPromptLoaded = true;
  }

  if (m_ActiveRequest) EndReplacedSpeak(previous);
  m_Streaming = false;
  m_Paused = false;
  m_ActiveRequest = request;
  m_PendingResponse = response;
  m_SpeakMetrics.Accepted();
  const mrcp_synth_header_t* synth_header = mrcp_resource_header_get(request);
  if (synth_header &&
      mrcp_resource_header_property_check(request, SYNTHESIZER_HEADER_KILL_ON_BARGE_IN)) {
    m_KillOnBargeIn = synth_header->kill_on_barge_in != FALSE;
  } else {
    m_KillOnBargeIn = m_SessionParams.m_KillOnBargeIn.value_or(true);
  }
  if (m_ChunkBuffer) {
    mpf_media_chunk_buffer_restart(m_ChunkBuffer);
    m_SpeakGeneration = vxs_media_chunk_buffer_generation(m_ChunkBuffer, nullptr);
  }
  m_MarkNames.clear();
  m_MarksReported = 0;
  m_LastMark.clear();
  if (!StartSynthesis()) {
    if (m_PendingResponse) {
      m_SpeakMetrics.Ended(m_Engine->GetMetrics(), SYNTHESIZER_COMPLETION_CAUSE_ERROR,
                           SYNTHESIZER_COMPLETION_CAUSE_ERROR);
      m_ActiveRequest = nullptr;
      m_PendingResponse = nullptr;
      return Refuse(response, MRCP_STATUS_CODE_METHOD_NOT_ALLOWED);
    }
    // Audio of earlier segments is already playing: the SPEAK ends after it.
    FailSpeak();
  }
  return true;
}

void Channel::EndReplacedSpeak(SdrManager::SynthesisDetails& details) {
  // A SPEAK still playing is replaced: it ends here with its own record,
  // and a STOP held for it is answered now, since nothing would answer it
  // once its SPEAK is gone.
  if (details.m_CompletionCause == SYNTHESIZER_COMPLETION_CAUSE_UNKNOWN) {
    apt_bool_t mark_read = FALSE;
    if (m_ChunkBuffer) vxs_media_chunk_buffer_generation(m_ChunkBuffer, &mark_read);
    details.m_CompletionCause =
        mark_read ? SYNTHESIZER_COMPLETION_CAUSE_NORMAL : SYNTHESIZER_COMPLETION_CAUSE_CANCELLED;
  }
  m_SpeakMetrics.Ended(m_Engine->GetMetrics(), details.m_CompletionCause,
                       SYNTHESIZER_COMPLETION_CAUSE_NORMAL);
  if (details.m_SaveRecord) SaveRecord(details);
  mrcp_message_t* stop_response = m_StopResponse.exchange(nullptr);
  const mrcp_message_t* stopped = m_ActiveRequest;
  if (stop_response && m_PendingResponse) SendPendingInProgress();
  m_ActiveRequest = nullptr;
  m_PendingResponse = nullptr;
  if (stop_response) SendStopResponse(stop_response, stopped);
}

bool Channel::ComposeContent(apr_pool_t* pool) {
  SpeakParams& params = m_Details.m_Params;
  const SynthSettings& settings = m_Engine->GetSynthSettings();
  SynthContent& content = m_Details.m_Content;
  switch (params.m_ContentType) {
    case SYNTH_CONTENT_TEXT:
      content.ComposeSingleSegment(params);
      // A streamed text stays one segment: its stream carries it in
      // sentences, and one stream keeps the service's voice going between
      // them.
      if (settings.m_SentenceSplit && !StreamsSegment(content.front())) {
        content.CutIntoPieces(params.m_Language, pool);
      }
      return true;
    case SYNTH_CONTENT_SSML: {
      bool bypass = settings.m_BypassSsml;
      if (bypass && settings.m_SentenceSplit && params.m_Content.size() > PiecePlan::kServiceLimit) {
        // The service would refuse it whole: it is rebuilt and sent in
        // pieces instead.
        VXS_CHANNEL_LOG(APT_PRIO_INFO, "Rebuild SSML of [%d bytes] in Pieces",
                        static_cast<int>(params.m_Content.size()));
        bypass = false;
      }
      if (bypass) {
        // Marks are reported as playback reaches them: a document with marks
        // is cut at them even so.
        if (content.ComposeMarkedSsml(params, pool)) return true;
        return content.ComposeSingleSegment(params);
      }
      std::string query;
      if (!content.ReadSsmlAndComposeContent(params, query, settings.m_NormalizeSsml, pool) &&
          settings.m_BypassSsml) {
        // What cannot be rebuilt goes out as it stands, as bypass promises.
        return content.ComposeSingleSegment(params);
      }
      if (!query.empty()) {
        apt_pair_arr_t* pairs = apt_pair_array_create(4, pool);
        apt_str_t value;
        apt_string_assign_n(&value, query.data(), query.size(), pool);
        if (apt_pair_array_parse(pairs, &value, pool)) {
          ParseVendorSpecificParameters(pairs, m_Details);
        }
      }
      if (settings.m_SentenceSplit) content.CutIntoPieces(params.m_Language, pool);
      return true;
    }
    case SYNTH_CONTENT_URI_LIST:
      return content.ComposeUriListSegments(params);
    default:
      return false;
  }
}

void Channel::ProcessSpeechDoneEvent(uint32_t generation) {
  VXS_ASSERT_PROCESSOR_THREAD(m_Engine);
  // The mark of a SPEAK that a later one replaced: not this SPEAK's end.
  if (generation != m_SpeakGeneration) {
    ResumeStreaming();
    return;
  }
  if (!m_ActiveRequest) return;
  m_Details.m_CompletionTime = Now();
  m_SpeakMetrics.Ended(m_Engine->GetMetrics(), m_Details.m_CompletionCause,
                       SYNTHESIZER_COMPLETION_CAUSE_NORMAL);
  if (m_Details.m_SaveRecord) SaveRecord(m_Details);

  if (m_StopResponse) {
    ProcessStopCompleteEvent();
  } else if (m_ClosePending) {
    ProcessClose();
  } else {
    mrcp_message_t* event =
        mrcp_event_create(m_ActiveRequest, SYNTHESIZER_SPEAK_COMPLETE, m_ActiveRequest->pool);
    if (mrcp_synth_header_t* header = mrcp_resource_header_prepare(event)) {
      const int cause = m_Details.m_CompletionCause;
      header->completion_cause = cause == SYNTHESIZER_COMPLETION_CAUSE_UNKNOWN
                                     ? SYNTHESIZER_COMPLETION_CAUSE_NORMAL
                                     : static_cast<mrcp_synth_completion_cause_e>(cause);
      mrcp_resource_header_property_add(event, SYNTHESIZER_HEADER_COMPLETION_CAUSE);
      if (cause == SYNTHESIZER_COMPLETION_CAUSE_URI_FAILURE) {
        apt_string_assign(&header->failed_uri, m_Details.m_FailedUri.c_str(), event->pool);
        mrcp_resource_header_property_add(event, SYNTHESIZER_HEADER_FAILED_URI);
        apt_string_assign(&header->failed_uri_cause, m_Details.m_FailedUriCause.c_str(),
                          event->pool);
        mrcp_resource_header_property_add(event, SYNTHESIZER_HEADER_FAILED_URI_CAUSE);
      }
    }
    AddSpeechMarker(event, Now());
    event->start_line.request_state = MRCP_REQUEST_STATE_COMPLETE;
    m_ActiveRequest = nullptr;
    SendMessage(event);
  }
}

bool Channel::SaveRecord(SdrManager::SynthesisDetails& details) {
  // Once per SPEAK: a SPEAK whose playback ended just as a STOP came in
  // reaches both the end of playback and the answer to the STOP.
  details.m_SaveRecord = false;
  if (details.m_CompletionTime == 0) details.m_CompletionTime = Now();
  SdrManager* sdr = m_Engine->GetSdrManager();
  if (!sdr) return false;
  if (details.m_CompletionCause == SYNTHESIZER_COMPLETION_CAUSE_UNKNOWN) {
    details.m_CompletionCause = SYNTHESIZER_COMPLETION_CAUSE_NORMAL;
  }
  // A record saved before under this name (a request id reused on a channel
  // of the same identifier) is replaced, not indexed twice: counted twice,
  // its entry evicted later would delete the file that holds this record.
  while (sdr->RemoveFileEntry(details.m_Name)) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE, "Removed file %s [replaced]",
            details.m_Name.c_str());
  }
  std::string path;
  sdr->ComposePath(path, details.m_Name, SpeakPool());
  if (!details.Save(path)) return false;
  return sdr->AddFileEntry(details.m_Name, details.m_CompletionTime);
}

}  // namespace VXS
