// KitCore's channels: creation, open, close, destroy, the channel callbacks
// and the requests sent on them.

#include <apr_strings.h>

#include <condition_variable>
#include <functional>
#include <mutex>

#include "HostInternal.h"
#include "KitCore.h"
#include "vxhost/AprGuard.h"

namespace vxhost {
namespace {

using std::chrono::milliseconds;

const char kCodecName[] = "LPCM";
const apr_byte_t kDynamicPayloadType = 96;

long long Ms(milliseconds duration) { return static_cast<long long>(duration.count()); }

KitCore* CoreOf(mrcp_engine_t* engine) {
  return engine ? static_cast<KitCore*>(engine->event_obj) : nullptr;
}

Channel* ChannelOf(mrcp_engine_channel_t* record) {
  return record ? static_cast<Channel*>(record->event_obj) : nullptr;
}

// The job that calls the open or close (`method`) of a channel's record on
// the signalling thread. A refusal (the method returned FALSE) is counted
// in *refusals under `mutex` and wakes `cond`; the module's answer comes
// through the record's event table.
std::function<void()> AskRecord(
    mrcp_engine_channel_t* record,
    apt_bool_t (*mrcp_engine_channel_method_vtable_t::*method)(mrcp_engine_channel_t*),
    std::mutex* mutex, std::condition_variable* cond, int* refusals) {
  return [record, method, mutex, cond, refusals] {
    const auto call = record->method_vtable->*method;
    if (call && call(record)) return;
    {
      std::lock_guard<std::mutex> lock(*mutex);
      ++*refusals;
    }
    cond->notify_all();
  };
}

// The channel record's event table. No exception may leave it: it is
// called from the module's C code.

apt_bool_t ChannelOnOpen(mrcp_engine_channel_t* record, apt_bool_t status) {
  try {
    Channel* channel = ChannelOf(record);
    KitCore* core = record ? CoreOf(record->engine) : nullptr;
    if (!channel || !core) return FALSE;
    core->OnChannelOpen(channel, status != FALSE);
    return TRUE;
  } catch (...) {
    return FALSE;
  }
}

apt_bool_t ChannelOnClose(mrcp_engine_channel_t* record) {
  try {
    Channel* channel = ChannelOf(record);
    KitCore* core = record ? CoreOf(record->engine) : nullptr;
    if (!channel || !core) return FALSE;
    core->OnChannelClose(channel);
    return TRUE;
  } catch (...) {
    return FALSE;
  }
}

apt_bool_t ChannelOnMessage(mrcp_engine_channel_t* record, mrcp_message_t* message) {
  try {
    Channel* channel = ChannelOf(record);
    KitCore* core = record ? CoreOf(record->engine) : nullptr;
    if (!channel || !core || !message) return FALSE;
    core->OnChannelMessage(channel, message);
    return TRUE;
  } catch (...) {
    return FALSE;
  }
}

const mrcp_engine_channel_event_vtable_t kChannelEvents = {ChannelOnOpen, ChannelOnClose,
                                                            ChannelOnMessage};

}  // namespace

// ---------------------------------------------------------------- channels

Channel* KitCore::CreateChannel(const std::string& id, uint16_t sampling_rate,
                                const std::map<std::string, std::string>& attribs) {
  if (!m_Engine || m_EngineDestroyed) {
    apt_log(NULL, APT_LOG_MARK, APT_PRIO_WARNING, "No Engine to Create Channel <%s>", id.c_str());
    return nullptr;
  }
  if (sampling_rate == 0 || sampling_rate % 50 != 0) {
    apt_log(NULL, APT_LOG_MARK, APT_PRIO_WARNING, "Unusable Sampling Rate %u for Channel <%s>",
            sampling_rate, id.c_str());
    return nullptr;
  }
  ScratchPool channel_pool(m_Pool);
  apr_pool_t* pool = channel_pool.get();
  auto created = std::make_shared<mrcp_engine_channel_t*>(nullptr);
  mrcp_engine_t* engine = m_Engine;
  const bool returned = m_EngineThread.Call(
      [engine, pool, created, id] {
        if (engine->method_vtable->create_channel) {
          SetPendingChannelId(id.c_str());
          *created = engine->method_vtable->create_channel(engine, pool);
          SetPendingChannelId(nullptr);
        }
      },
      m_Options.call_timeout);
  if (!returned) {
    // The module may still be creating its channel in the pool: left to it.
    channel_pool.Release();
    Abandon("Engine create_channel did not return");
    return nullptr;
  }
  mrcp_engine_channel_t* record = *created;
  if (!record) {
    apt_log(NULL, APT_LOG_MARK, APT_PRIO_WARNING, "Module Created No Channel <%s>", id.c_str());
    return nullptr;
  }

  std::unique_ptr<Channel> channel(new Channel(id, sampling_rate, channel_pool.Release()));
  if (m_Options.server_queue) channel->m_Server = std::make_shared<ServerState>();
  record->event_vtable = &kChannelEvents;
  record->event_obj = channel.get();
  apt_string_assign(&record->id, id.c_str(), pool);
  if (!attribs.empty()) {
    record->attribs = apr_table_make(pool, static_cast<int>(attribs.size()));
    for (const auto& attrib : attribs) {
      apr_table_set(record->attribs, attrib.first.c_str(), attrib.second.c_str());
    }
  }
  channel->m_Record = record;
  NegotiateCodec(channel.get());

  Channel* result = channel.get();
  std::lock_guard<std::mutex> lock(m_ChannelsMutex);
  m_Channels.push_back(std::move(channel));
  return result;
}

void KitCore::NegotiateCodec(Channel* channel) {
  mrcp_engine_channel_t* record = channel->m_Record;
  mpf_audio_stream_t* stream =
      record->termination ? record->termination->audio_stream : nullptr;
  if (!stream || !m_Options.negotiate_codec) return;
  const mpf_stream_capabilities_t* capabilities = stream->capabilities;
  const int mask = mpf_sample_rate_mask_get(channel->m_SamplingRate);
  bool offered = false;
  if (capabilities && mask != MPF_SAMPLE_RATE_NONE) {
    const apr_array_header_t& codecs = capabilities->codecs.attrib_arr;
    for (int i = 0; i < codecs.nelts && !offered; ++i) {
      const mpf_codec_attribs_t& attribs = APR_ARRAY_IDX(&codecs, i, mpf_codec_attribs_t);
      offered = apt_string_compare(&attribs.name, kCodecName) && (attribs.sample_rates & mask);
    }
  }
  if (!offered) {
    apt_log(NULL, APT_LOG_MARK, APT_PRIO_INFO, "No %s at %u Hz Offered by Channel <%s>",
            kCodecName, channel->m_SamplingRate, channel->m_Id.c_str());
    return;
  }
  auto* descriptor = static_cast<mpf_codec_descriptor_t*>(
      apr_pcalloc(channel->m_Pool, sizeof(mpf_codec_descriptor_t)));
  descriptor->payload_type = kDynamicPayloadType;
  apt_string_assign(&descriptor->name, kCodecName, channel->m_Pool);
  descriptor->sampling_rate = channel->m_SamplingRate;
  descriptor->channel_count = 1;
  stream->rx_descriptor = descriptor;
  channel->m_Codec = descriptor;
}

bool KitCore::PostOpen(Channel* channel, Answers* before) {
  {
    std::lock_guard<std::mutex> lock(channel->m_Mutex);
    if (channel->m_Destroyed) return false;
    ++channel->m_OpenRequests;
    before->responses = channel->m_OpenResponses;
    before->refusals = channel->m_OpenRefusals;
  }
  m_SignalThread.Post(AskRecord(channel->m_Record, &mrcp_engine_channel_method_vtable_t::open,
                                &channel->m_Mutex, &channel->m_Cond, &channel->m_OpenRefusals));
  return true;
}

bool KitCore::ReleaseChannel(Channel* channel) {
  if (!channel) return false;
  DestroyChannel(channel);
  // A pool still allocated means the module may still use the channel.
  if (channel->m_Pool) return false;
  m_Media.WaitPassEnd();
  std::lock_guard<std::mutex> lock(m_ChannelsMutex);
  for (auto it = m_Channels.begin(); it != m_Channels.end(); ++it) {
    if (it->get() == channel) {
      m_Channels.erase(it);
      return true;
    }
  }
  return false;
}

bool KitCore::OpenChannelAsync(Channel* channel) {
  Answers before;
  return channel && PostOpen(channel, &before);
}

bool KitCore::CloseChannelAsync(Channel* channel) {
  Answers before;
  return channel && PostClose(channel, &before);
}

bool KitCore::OpenChannel(Channel* channel, milliseconds timeout, bool* status) {
  if (status) *status = false;
  if (!channel) return false;
  Answers before;
  if (!PostOpen(channel, &before)) return false;
  const int responses = before.responses;
  const int refusals = before.refusals;
  std::unique_lock<std::mutex> lock(channel->m_Mutex);
  if (!channel->m_Cond.wait_for(lock, timeout, [&] {
        return channel->m_OpenResponses > responses || channel->m_OpenRefusals > refusals;
      })) {
    apt_log(NULL, APT_LOG_MARK, APT_PRIO_WARNING, "No Open Response from Channel <%s> in %lld ms",
            channel->m_Id.c_str(), Ms(timeout));
    return false;
  }
  if (status) *status = channel->m_OpenRefusals == refusals && channel->m_OpenStatus;
  return true;
}

bool KitCore::PostClose(Channel* channel, Answers* before) {
  if (channel->m_Server) DropQueue(channel);
  {
    std::lock_guard<std::mutex> lock(channel->m_Mutex);
    if (channel->m_Destroyed) return false;
    ++channel->m_CloseRequests;
    before->responses = channel->m_CloseResponses;
    before->refusals = channel->m_CloseRefusals;
  }
  m_SignalThread.Post(AskRecord(channel->m_Record, &mrcp_engine_channel_method_vtable_t::close,
                                &channel->m_Mutex, &channel->m_Cond, &channel->m_CloseRefusals));
  return true;
}

bool KitCore::WaitClose(Channel* channel, const Answers& before, Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(channel->m_Mutex);
  if (!channel->m_Cond.wait_until(lock, deadline, [&] {
        return channel->m_CloseResponses > before.responses ||
               channel->m_CloseRefusals > before.refusals;
      })) {
    apt_log(NULL, APT_LOG_MARK, APT_PRIO_WARNING, "No Close Response from Channel <%s>",
            channel->m_Id.c_str());
    return false;
  }
  return channel->m_CloseRefusals == before.refusals;
}

bool KitCore::CloseChannel(Channel* channel, milliseconds timeout) {
  Answers before;
  if (!channel || !PostClose(channel, &before)) return false;
  return WaitClose(channel, before, Clock::now() + timeout);
}

void KitCore::DestroyChannels(const std::vector<Channel*>& channels) {
  // Every open channel is asked to close at once, so that modules that do
  // not answer cost one shutdown time-out in all, not one per channel.
  const Clock::time_point deadline = Clock::now() + m_Options.shutdown_timeout;
  for (Channel* channel : channels) {
    Answers before;
    if (channel->m_Readable.load() && Settled(channel)) PostClose(channel, &before);
  }
  for (Channel* channel : channels) DestroyChannel(channel, deadline);
}

bool KitCore::Settled(Channel* channel) {
  std::lock_guard<std::mutex> lock(channel->m_Mutex);
  return SettledLocked(channel);
}

bool KitCore::SettledLocked(const Channel* channel) {
  return channel->m_OpenRequests == channel->m_OpenResponses + channel->m_OpenRefusals &&
         channel->m_CloseRequests == channel->m_CloseResponses + channel->m_CloseRefusals;
}

void KitCore::DestroyChannel(Channel* channel) {
  if (channel) DestroyChannel(channel, Clock::now() + m_Options.shutdown_timeout);
}

void KitCore::DestroyChannel(Channel* channel, Clock::time_point deadline) {
  // Every open and close asked must have been answered, and the channel
  // closed, before the module may free it.
  bool settled;
  {
    std::unique_lock<std::mutex> lock(channel->m_Mutex);
    if (channel->m_Destroyed) return;
    settled = channel->m_Cond.wait_until(lock, deadline,
                                         [channel] { return SettledLocked(channel); });
  }
  bool closed = settled;
  if (settled && channel->m_Readable.load()) {
    Answers before;
    if (PostClose(channel, &before)) WaitClose(channel, before, deadline);
    // Answered or refused, the module holds no request of the channel any
    // more and may free it; only an unanswered close keeps it alive.
    closed = Settled(channel);
  }
  {
    std::lock_guard<std::mutex> lock(channel->m_Mutex);
    channel->m_Destroyed = true;
  }
  channel->m_Cond.notify_all();
  {
    // Waits for a read in progress; no read starts after this.
    std::lock_guard<std::mutex> read_lock(channel->m_ReadMutex);
    channel->m_Readable.store(false);
  }
  m_Media.Remove(channel);
  if (!closed) {
    return Abandon(("Channel <" + channel->m_Id + "> was not closed").c_str());
  }

  mrcp_engine_channel_t* record = channel->m_Record;
  const bool returned = m_SignalThread.Call(
      [record] {
        if (record->method_vtable->destroy) record->method_vtable->destroy(record);
      },
      m_Options.call_timeout);
  if (!returned) {
    return Abandon(("Channel <" + channel->m_Id + "> destroy did not return").c_str());
  }
  apr_pool_destroy(channel->m_Pool);
  if (channel->m_Server) ForgetPools(channel);  // destroyed with the channel's
  channel->m_LiveRequests = 0;
  channel->m_Pool = nullptr;
  channel->m_Record = nullptr;
  channel->m_Codec = nullptr;
}

void KitCore::OnChannelOpen(Channel* channel, bool status) {
  {
    std::lock_guard<std::mutex> lock(channel->m_Mutex);
    ++channel->m_OpenResponses;
    channel->m_OpenStatus = status;
    if (channel->m_Destroyed) {
      apt_log(NULL, APT_LOG_MARK, APT_PRIO_WARNING, "Open Response on Destroyed Channel <%s>",
              channel->m_Id.c_str());
    } else {
      channel->m_Record->is_open = status ? TRUE : FALSE;
      if (status) {
        // Under the channel's mutex, so that a destroy cannot slip in
        // between the check above and the media thread taking it up.
        channel->m_Readable.store(true);
        m_Media.Add(channel);
      }
    }
  }
  channel->m_Cond.notify_all();
}

void KitCore::OnChannelClose(Channel* channel) {
  channel->m_Readable.store(false);
  m_Media.Remove(channel);
  channel->AfterRead([channel] {
    {
      std::lock_guard<std::mutex> lock(channel->m_Mutex);
      ++channel->m_CloseResponses;
      if (!channel->m_Destroyed) channel->m_Record->is_open = FALSE;
    }
    channel->m_Cond.notify_all();
  });
}

ReceivedMessage ReceiveMessage(const mrcp_message_t* message) {
  const mrcp_start_line_t& start = message->start_line;
  ReceivedMessage received;
  received.type = start.message_type;
  received.method_id = start.method_id;
  received.method_name = Str(start.method_name);
  if (received.method_name.empty()) {
    const char* name = start.message_type == MRCP_MESSAGE_TYPE_EVENT
                           ? mrcp_synth_event_name_get(start.method_id)
                           : mrcp_synth_method_name_get(start.method_id);
    if (name) received.method_name = name;
  }
  received.request_id = start.request_id;
  received.status_code =
      start.message_type == MRCP_MESSAGE_TYPE_RESPONSE ? static_cast<int>(start.status_code) : 0;
  received.request_state = start.request_state;
  if (mrcp_resource_header_property_check(message, SYNTHESIZER_HEADER_COMPLETION_CAUSE)) {
    received.has_completion_cause = true;
    received.completion_cause = static_cast<int>(message->synth_header->completion_cause);
  }
  if (mrcp_generic_header_property_check(message, GENERIC_HEADER_ACTIVE_REQUEST_ID_LIST)) {
    received.active_request_id_list = Str(message->generic_header->active_request_id_list);
  }
  received.text = GenerateMrcpMessage(message);
  received.time_us = apr_time_now();
  return received;
}

void KitCore::OnChannelMessage(Channel* channel, const mrcp_message_t* message) {
  ReceivedMessage received = ReceiveMessage(message);
  channel->AfterRead([this, channel, received = std::move(received)]() mutable {
    ServerState::Next next;
    if (channel->m_Server && !ServeMessage(channel, &received, &next)) {
      HandOver(channel, next);
      return;
    }
    Transcribe(TranscriptEntry::Direction::kReceived, channel->m_Id, received.text);
    channel->OnMessage(std::move(received));
    HandOver(channel, next);
  });
}

void KitCore::Deliver(Channel* channel, ReceivedMessage message) {
  Transcribe(TranscriptEntry::Direction::kReceived, channel->m_Id, message.text);
  channel->OnMessage(std::move(message));
}

bool KitCore::ReadChannel(Channel* channel, bool late) { return channel->ReadFrame(late); }

// ---------------------------------------------------------------- requests

apr_pool_t* KitCore::NewRequestPool(Channel* channel) {
  std::lock_guard<std::mutex> lock(channel->m_Mutex);
  if (channel->m_Destroyed || !channel->m_Pool) return nullptr;
  apr_pool_t* pool = nullptr;
  if (apr_pool_create(&pool, channel->m_Pool) != APR_SUCCESS) return nullptr;
  ++channel->m_LiveRequests;
  return pool;
}

void KitCore::PrepareRequest(Channel* channel, mrcp_message_t* request) {
  request->start_line.request_id = channel->NextRequestId(request->start_line.request_id);
  if (apt_string_is_empty(&request->channel_id) && request->pool) {
    apt_string_assign(&request->channel_id, (channel->m_Id + "@speechsynth").c_str(),
                      request->pool);
  }
}

mrcp_message_t* KitCore::NewRequest(Channel* channel, mrcp_synthesizer_method_id method) {
  if (!channel) return nullptr;
  apr_pool_t* pool = NewRequestPool(channel);
  if (!pool) return nullptr;
  mrcp_message_t* request = mrcp_request_create(MRCP_VERSION_2, method, pool);
  PrepareRequest(channel, request);
  return request;
}

void KitCore::Send(Channel* channel, mrcp_message_t* request) {
  if (!channel || !request) return;
  {
    std::lock_guard<std::mutex> lock(channel->m_Mutex);
    if (channel->m_Destroyed) {
      apt_log(NULL, APT_LOG_MARK, APT_PRIO_WARNING, "Request to Destroyed Channel <%s> Dropped",
              channel->m_Id.c_str());
      return;
    }
  }
  PrepareRequest(channel, request);
  Transcribe(TranscriptEntry::Direction::kSent, channel->m_Id, GenerateMrcpMessage(request));
  if (channel->m_Server) return ServeRequest(channel, request);
  Forward(channel, request);
}

void KitCore::Forward(Channel* channel, mrcp_message_t* request) {
  switch (request->start_line.method_id) {
    case SYNTHESIZER_PAUSE:
      channel->SetPaused(true);
      break;
    case SYNTHESIZER_RESUME:
    case SYNTHESIZER_SPEAK:
      channel->SetPaused(false);
      break;
    default:
      break;
  }
  mrcp_engine_channel_t* record = channel->m_Record;
  m_SignalThread.Post([channel, record, request] {
    {
      std::lock_guard<std::mutex> lock(channel->m_Mutex);
      if (channel->m_Destroyed) return;  // destroyed before it was handed over
    }
    const bool accepted = record->method_vtable->process_request &&
                          record->method_vtable->process_request(record, request);
    if (!accepted) {
      apt_log(NULL, APT_LOG_MARK, APT_PRIO_WARNING, "Channel <%s> Refused Request %zu",
              channel->id().c_str(), static_cast<size_t>(request->start_line.request_id));
    }
  });
}

bool KitCore::SendText(Channel* channel, const std::string& text, std::string* error,
                       mrcp_request_id* request_id) {
  if (!channel) {
    if (error) *error = "no channel";
    return false;
  }
  apr_pool_t* pool = NewRequestPool(channel);
  if (!pool) {
    if (error) *error = "channel <" + channel->m_Id + "> is destroyed";
    return false;
  }
  // A request that is not sent gives its pool back at once.
  const auto unsent = [channel, pool] {
    apr_pool_destroy(pool);
    --channel->m_LiveRequests;
    return false;
  };
  mrcp_message_t* request = nullptr;
  if (!ParseMrcpMessage(text, pool, &request, error)) return unsent();
  if (request->start_line.message_type != MRCP_MESSAGE_TYPE_REQUEST) {
    if (error) *error = "not a request";
    return unsent();
  }
  Send(channel, request);
  if (request_id) *request_id = request->start_line.request_id;
  return true;
}

// -------------------------------------------------------------- transcript

void KitCore::SetTranscriptCallback(TranscriptCallback callback) {
  std::lock_guard<std::mutex> lock(m_TranscriptMutex);
  m_Transcript = std::move(callback);
}

void KitCore::Transcribe(TranscriptEntry::Direction direction, const std::string& channel_id,
                         const std::string& text) {
  std::lock_guard<std::mutex> lock(m_TranscriptMutex);
  if (!m_Transcript) return;
  TranscriptEntry entry;
  entry.direction = direction;
  entry.channel_id = channel_id;
  entry.text = text;
  entry.time_us = apr_time_now();
  try {
    m_Transcript(entry);
  } catch (...) {
    apt_log(NULL, APT_LOG_MARK, APT_PRIO_WARNING, "Transcript Callback Failed");
  }
}

}  // namespace vxhost
