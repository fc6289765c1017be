// The synthesis side of a channel: its share of the engine's gRPC channels,
// the segment queue worked through one segment at a time, the asynchronous
// SynthesizeSpeech calls and their completions (the request itself is built
// in SynthRequest.cpp).
#include <apr_strings.h>
#include <apr_time.h>

#include <google/protobuf/util/json_util.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "Channel.h"
#include "ChannelLog.h"
#include "Engine.h"
#include "SynthRequest.h"

namespace tts = google::cloud::texttospeech::v1;

namespace VXS {

namespace {

// The public endpoint of the text-to-speech service; a regional endpoint
// prefixes it with the region and a hyphen.
const char kDefaultEndpoint[] = "texttospeech.googleapis.com:443";

std::string AttributeOf(const mrcp_engine_channel_t* channel, const char* name) {
  if (!channel || !channel->attribs) return std::string();
  const char* value = apr_table_get(channel->attribs, name);
  return value ? value : std::string();
}

}  // namespace

// The name of a status code as the gRPC library spells it.
const char* StatusCodeName(grpc::StatusCode code) {
  static const char* const kNames[] = {
      "OK",        "CANCELLED",          "UNKNOWN",           "INVALID_ARGUMENT",
      "DEADLINE_EXCEEDED", "NOT_FOUND",  "ALREADY_EXISTS",    "PERMISSION_DENIED",
      "RESOURCE_EXHAUSTED", "FAILED_PRECONDITION", "ABORTED", "OUT_OF_RANGE",
      "UNIMPLEMENTED", "INTERNAL",       "UNAVAILABLE",       "DATA_LOSS",
      "UNAUTHENTICATED"};
  const int index = static_cast<int>(code);
  if (index < 0 || index >= static_cast<int>(sizeof(kNames) / sizeof(kNames[0]))) {
    return "UNKNOWN";
  }
  return kNames[index];
}

namespace {

// A failed call that a second try can mend: the service was unreachable,
// slow, overloaded or failed on its side. A refused input (an unknown
// voice, a text over the limit), refused credentials or a cancelled call
// fail the same way again.
bool IsRetryable(grpc::StatusCode code) {
  switch (code) {
    case grpc::StatusCode::UNAVAILABLE:
    case grpc::StatusCode::DEADLINE_EXCEEDED:
    case grpc::StatusCode::RESOURCE_EXHAUSTED:
    case grpc::StatusCode::ABORTED:
    case grpc::StatusCode::INTERNAL:
    case grpc::StatusCode::UNKNOWN:
      return true;
    default:
      return false;
  }
}

}  // namespace

bool Channel::CreateGrpcChannel() {
  Engine::Credentials credentials = m_Engine->GetDefaultCredentials();
  std::string credentials_file = AttributeOf(m_HostChannel, "gapp-credentials-file");
  std::string service_uri = AttributeOf(m_HostChannel, "service-uri");
  std::string region = AttributeOf(m_HostChannel, "region");
  const SpeakParams& params = m_Details.m_Params;
  if (!params.m_CredentialsFile.empty()) credentials_file = params.m_CredentialsFile;
  if (!params.m_ServiceUri.empty()) service_uri = params.m_ServiceUri;
  if (!params.m_Region.empty()) region = params.m_Region;

  if (!credentials_file.empty()) {
    std::string path;
    m_Engine->GetCredentialsFilePath(path, credentials_file, SpeakPool());
    VXS_CHANNEL_LOG(APT_PRIO_INFO, "Find Credentials [%s]", path.c_str());
    credentials = m_Engine->FindCredentials(path);
    if (!credentials) {
      VXS_CHANNEL_LOG(APT_PRIO_INFO, "Create Credentials [%s]", path.c_str());
      credentials = m_Engine->CreateCredentials(path, params.m_Region);
    }
  }
  if (!credentials) {
    VXS_CHANNEL_LOG(APT_PRIO_WARNING, "Failed to Get Credentials");
    return false;
  }

  std::string target = ComposeEndpoint(service_uri, region);
  Engine::ServiceChannel shared = m_Engine->FindServiceChannel(target, credentials);
  if (!shared.m_Stub) {
    VXS_CHANNEL_LOG(APT_PRIO_INFO, "Create gRPC Channel [%s]", target.c_str());
    shared = m_Engine->CreateServiceChannel(target, credentials);
    if (!shared.m_Channel) {
      VXS_CHANNEL_LOG(APT_PRIO_WARNING, "Failed to Create gRPC Channel");
      return false;
    }
    if (!shared.m_Stub) {
      VXS_CHANNEL_LOG(APT_PRIO_WARNING, "Failed to Create gRPC Speech Stub");
      return false;
    }
  }
  m_GrpcChannel = std::move(shared.m_Channel);
  m_Stub = std::move(shared.m_Stub);
  m_Target = target;
  CreateFallbackChannel(credentials);
  return true;
}

std::string Channel::ComposeEndpoint(const std::string& service_uri, const std::string& region) {
  if (!service_uri.empty()) return service_uri;
  if (!region.empty() && region != "global") return region + "-" + kDefaultEndpoint;
  return kDefaultEndpoint;
}

bool Channel::StartSynthesis() {
  // Files and cache hits play at once and the walk goes on with the next
  // segment; a synthesis call ends it until the call completes.
  while (!m_Details.m_Content.empty()) {
    const SynthSegment& segment = m_Details.m_Content.front();
    switch (segment.m_ContentType) {
      case SYNTH_CONTENT_FILE_URI:
      case SYNTH_CONTENT_HTTP_URI:
      case SYNTH_CONTENT_HTTPS_URI: {
        std::vector<char> audio;
        bool loaded = m_FirstPromptLoaded;
        if (loaded) {
          audio.swap(m_FirstPromptAudio);
          m_FirstPromptLoaded = false;
        } else {
          loaded = LoadPromptAudio(segment, audio);
        }
        m_Details.m_Content.pop_front();
        if (!loaded) return false;
        QueueAudio(audio.data(), audio.size());
        break;
      }
      default: {
        bool played = false;
        if (!StartSynthesisCall(played)) return false;
        if (!played) return true;
        break;
      }
    }
  }
  return true;
}

bool Channel::StartSynthesisCall(bool& played) {
  played = false;
  // A fallback after a failed stream has looked the cache up already.
  const bool fallback = m_NoStream;
  m_NoStream = false;
  const SynthSegment& segment = m_Details.m_Content.front();
  const SpeakParams& params = m_Details.m_Params;
  WaveformManager* manager = m_Engine->GetWaveformManager();

  ++m_Details.m_SynthesisCount;
  m_Details.m_Caching = manager && manager->GetCaching();
  if (!params.m_CustomVoiceModel.empty()) {
    VXS_CHANNEL_LOG(APT_PRIO_INFO, "Disable Caching for Custom Voice Model");
    m_Details.m_Caching = false;
  }
  if (!manager || !(manager->GetSaveWaveforms() || m_Details.m_Caching)) {
    m_WaveFile.m_Save = false;
    m_WaveFile.m_Name.clear();
  } else {
    m_WaveFile.m_Save = true;
    manager->ComposeName(m_WaveFile.m_Name, GetId(), m_ActiveRequest->start_line.request_id,
                         m_Details.m_SynthesisCount, m_Details.m_LoggingTag, SpeakPool());
  }

  std::unique_ptr<WaveformManager::CacheEntry> new_entry;
  if (m_Details.m_Caching) {
    uint64_t checksum = WaveformManager::CalculateChecksum(segment.m_Content);
    WaveformManager::CacheEntry* hit = FindCacheRecord(segment, checksum);
    if (hit) {
      VXS_CHANNEL_LOG(APT_PRIO_INFO, "Found Matching Cache Record [%s] use-count [%d]",
                      hit->m_Name.c_str(), static_cast<int>(hit->m_Usage));
      if (ProcessCacheRecord(hit)) {
        m_Engine->GetMetrics().CountCacheHit();
        played = true;
        return true;
      }
    }
    if (!fallback) m_Engine->GetMetrics().CountCacheMiss();
    new_entry.reset(new WaveformManager::CacheEntry(m_WaveFile.m_Name, Now()));
    new_entry->m_Checksum = checksum;
    new_entry->m_Content = segment.m_Content;
    new_entry->m_Language = params.m_Language;
    new_entry->m_SamplingRate = static_cast<uint16_t>(m_Details.m_SamplingRate);
    new_entry->m_VoiceGender = segment.m_VoiceGender;
    new_entry->m_VoiceName = segment.m_VoiceName;
    new_entry->m_Prosody = params.m_Prosody;
  }

  std::unique_ptr<SynthContext> context(new SynthContext());
  context->m_CacheEntry = std::move(new_entry);
  tts::SynthesizeSpeechRequest& request = context->m_Request;
  ComposeSynthesizeSpeechRequest(segment, params, static_cast<uint32_t>(m_Details.m_SamplingRate),
                                 GetId(), request);

  if (params.m_Deadline != 0) {
    VXS_CHANNEL_LOG(APT_PRIO_INFO, "Set Deadline [%d ms]", static_cast<int>(params.m_Deadline));
    context->m_Context.set_deadline(std::chrono::system_clock::now() +
                                    std::chrono::milliseconds(params.m_Deadline));
  }

  if (!ChooseEndpoint(*context)) return RefuseCall(std::move(context));
  if (!fallback && StreamsSegment(segment)) return StartStreamCall(std::move(context));
  // A segment that will be cached is synthesized once for all the channels
  // that ask for it at the same time.
  const bool shared = context->m_CacheEntry != nullptr;
  if (shared && JoinSharedCall(segment, context)) return true;

  // The JSON print costs more than starting the call; it is only made when
  // the line is written.
  std::string json;
  if (apt_log_priority_check(VXS_PLUGIN, APT_PRIO_INFO)) {
    if (m_Engine->GetSynthSettings().m_LogRequestText) {
      google::protobuf::util::MessageToJsonString(request, &json);
    } else {
      // The prompt stays out of the log; its length in characters shows
      // in its place.
      tts::SynthesizeSpeechRequest shown(request);
      const std::string withheld =
          "[" + std::to_string(EngineMetrics::CountCodePoints(segment.m_Content)) +
          " characters]";
      if (shown.input().has_ssml()) {
        shown.mutable_input()->set_ssml(withheld);
      } else {
        shown.mutable_input()->set_text(withheld);
      }
      google::protobuf::util::MessageToJsonString(shown, &json);
    }
  }
  apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
          "Start Async Synth: encoding=%d, sampling-rate=%d, language=%s <%s@%s>\n%s", 1,
          static_cast<int>(m_Details.m_SamplingRate), params.m_Language.c_str(), GetId(),
          VXS_CHANNEL_MARK, json.c_str());

  Task* task = m_Engine->GetTask();
  if (task && context->m_Stub && shared) {
    context->m_Shared = m_Engine->GetSharedSyntheses().Start(
        ComposeSharedKey(segment, request, context->m_Stub), StubOf(context->m_Stub), request,
        task->GetQueue(), this);
  } else if (task && context->m_Stub) {
    context->m_Reader =
        context->m_Stub->AsyncSynthesizeSpeech(&context->m_Context, request, task->GetQueue());
  }
  if (!context->m_Reader && !context->m_Shared) {
    VXS_CHANNEL_LOG(APT_PRIO_WARNING, "Failed to Start Async Synth");
    return false;
  }
  if (context->m_Reader) {
    context->m_Reader->Finish(&context->m_Response, &context->m_Status, &m_FinishingTag);
    m_FinishingTag.m_Pending = true;
  }
  m_SpeakMetrics.CallStarted();
  m_Engine->GetMetrics().CountCharacters(segment.m_Content);
  ++m_Details.m_CallCount;
  m_SynthContext = std::move(context);
  return true;
}

bool Channel::ProcessGrpcEvent(Tag* tag, bool ok) {
  VXS_ASSERT_PROCESSOR_THREAD(m_Engine);
  if (!tag) {
    VXS_CHANNEL_LOG(APT_PRIO_DEBUG, "Invalid gRPC Event");
    return false;
  }
  if (!m_SynthContext) {
    VXS_CHANNEL_LOG(APT_PRIO_DEBUG, "No Synth Context Available");
    return false;
  }
  VXS_CHANNEL_LOG(APT_PRIO_DEBUG, "Process gRPC Event: name [%s] status [%d]",
                  tag->m_Name.c_str(), ok ? 1 : 0);
  if (!tag->m_Pending) {
    VXS_CHANNEL_LOG(APT_PRIO_WARNING, "Unexpected gRPC Event: name [%s] status [%d]",
                    tag->m_Name.c_str(), ok ? 1 : 0);
    return false;
  }
  tag->m_Pending = false;
  if (tag == &m_FinishingTag) {
    OnFinishStream(ok);
  } else if (m_SynthContext->m_Stream) {
    OnStreamEvent(tag, ok);
  }
  return true;
}

void Channel::OnFinishStream(bool) {
  if (!m_SynthContext) return;
  const grpc::Status& status = m_SynthContext->m_Status;
  ReportCallOutcome(status);
  if (!status.ok() && m_StopResponse) {
    // The call was cancelled by a STOP (or failed while one was on its
    // way): the SPEAK is being stopped, and the failure is not its outcome.
    VXS_CHANNEL_LOG(APT_PRIO_INFO, "gRPC Status: %s: %s", StatusCodeName(status.error_code()),
                    status.error_message().c_str());
    m_SynthContext.reset();
    OnCallDone(false);
    return;
  }
  if (!status.ok()) {
    VXS_CHANNEL_LOG(APT_PRIO_WARNING, "gRPC Status: %s: %s", StatusCodeName(status.error_code()),
                    status.error_message().c_str());
    if (m_Details.m_Params.m_Reattempt && m_Details.m_CallCount == 1 && !m_StopResponse &&
        !m_ClosePending && IsRetryable(status.error_code()) && MayReattempt()) {
      VXS_CHANNEL_LOG(APT_PRIO_INFO, "Reattempt gRPC Request");
      m_Engine->GetMetrics().CountReattempt();
      m_SynthContext.reset();
      ContinueSynthesis();
      return;
    }
    m_Details.m_Content.pop_front();
    ProcessSynthError();
    return;
  }

  SegmentMarks marks = std::move(m_Details.m_Content.front().m_Marks);
  m_Details.m_Content.pop_front();
  // The reply's audio is moved out of the reply and queued where it lies:
  // a copy would cost the engine thread a fresh buffer, its page faults and
  // the copy itself for every segment.
  std::unique_ptr<std::string> owner(
      new std::string(std::move(*m_SynthContext->m_Response.mutable_audio_content())));
  const std::string& audio = *owner;
  unsigned length = 0;
  const char* payload = audio.empty() ? nullptr : WaveformManager::GetWaveData(audio, length);
  if (!m_ChunkBuffer || !payload || !length) {
    // A reply whose audio cannot be read fails its segment as an empty one
    // does: skipping it would play the parts after it as if it had been
    // said.
    if (!audio.empty()) {
      VXS_CHANNEL_LOG(APT_PRIO_WARNING, "Unreadable Audio Content [%d bytes]",
                      static_cast<int>(audio.size()));
    }
    ProcessSynthError();
    return;
  }
  // The chunk buffer now owns the audio, which stays where it is until the
  // next SPEAK restarts the buffer: the wave file is written from it.
  QueueAudio(payload, length, &marks, std::move(owner));
  SaveWaveform(payload, length);
  m_SynthContext.reset();
  OnCallDone(true);
}

void Channel::ProcessSynthError() {
  VXS_ASSERT_PROCESSOR_THREAD(m_Engine);
  if (!m_SynthContext) return;
  FailSpeak();
  m_SynthContext.reset();
  OnCallDone(false);
}

void Channel::FailSpeak() {
  if (m_PendingResponse) {
    m_SpeakMetrics.Ended(m_Engine->GetMetrics(), SYNTHESIZER_COMPLETION_CAUSE_ERROR,
                         SYNTHESIZER_COMPLETION_CAUSE_ERROR);
    mrcp_message_t* response = m_PendingResponse;
    ComposeResponse(response, MRCP_STATUS_CODE_METHOD_FAILED, SYNTHESIZER_COMPLETION_CAUSE_ERROR);
    m_PendingResponse = nullptr;
    m_ActiveRequest = nullptr;
    SendMessage(response);
  } else {
    // What was queued already plays to its end, then SPEAK-COMPLETE, which
    // says why the rest is missing: the prompt that could not play, or a
    // synthesis that failed.
    if (m_Details.m_CompletionCause == SYNTHESIZER_COMPLETION_CAUSE_UNKNOWN) {
      m_Details.m_CompletionCause = m_Details.m_FailedUri.empty()
                                        ? SYNTHESIZER_COMPLETION_CAUSE_ERROR
                                        : SYNTHESIZER_COMPLETION_CAUSE_URI_FAILURE;
    }
    EndOfStream();
  }
}

void Channel::OnCallDone(bool start_next) {
  if (m_ClosePending) {
    AnswerHeldStop();
    ProcessClose();
    return;
  }
  if (m_StopResponse) {
    // With audio flowing the media thread reports the stop on its next
    // read; otherwise nobody else will, so it is answered now.
    if (!m_ActiveRequest || !m_Streaming) AnswerHeldStop();
    return;
  }
  if (start_next && m_ActiveRequest && !m_Details.m_Content.empty()) ContinueSynthesis();
}

void Channel::ContinueSynthesis() {
  if (StartSynthesis()) return;
  // The head segment cannot be started: the SPEAK ends here.
  FailSpeak();
  if (m_StopResponse && !m_ActiveRequest) AnswerHeldStop();
}

void Channel::EndOfStream() {
  m_Details.m_Content.clear();
  if (m_ChunkBuffer) mpf_media_chunk_buffer_event_write(m_ChunkBuffer, MEDIA_FRAME_TYPE_EVENT);
}

void Channel::SendPendingInProgress() {
  mrcp_message_t* response = m_PendingResponse;
  m_PendingResponse = nullptr;
  response->start_line.request_state = MRCP_REQUEST_STATE_INPROGRESS;
  SendMessage(response);
}

void Channel::SendInProgress() {
  if (!m_PendingResponse) return;
  mrcp_message_t* response = m_PendingResponse;
  response->start_line.request_state = MRCP_REQUEST_STATE_INPROGRESS;
  AddSpeechMarker(response, Now());
  m_SpeakMetrics.FirstAudio(m_Engine->GetMetrics());
  m_Streaming = true;
  m_Details.m_StreamingTime = Now();
  m_PendingResponse = nullptr;
  SendMessage(response);
}

void Channel::CancelSynthesis() {
  if (!m_SynthContext) return;
  if (m_SynthContext->m_Shared) {
    m_SynthContext->m_Shared->Cancel();
  } else {
    m_SynthContext->m_Context.TryCancel();
  }
}

}  // namespace VXS
