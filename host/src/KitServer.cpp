// KitCore's server layer: the synthesizer state machine a host server keeps
// in front of its module (HostKit.h, "The server layer").

#include <apr_pools.h>

#include <algorithm>
#include <cctype>

#include "KitCore.h"
#include "vxhost/AprGuard.h"

namespace vxhost {
namespace {

// The request ids of an Active-Request-Id-List value ("1,2, 3"); what is
// not a number is passed over.
std::vector<mrcp_request_id> ParseIdList(const std::string& text) {
  std::vector<mrcp_request_id> ids;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find(',', pos);
    if (end == std::string::npos) end = text.size();
    std::string item = text.substr(pos, end - pos);
    item.erase(std::remove_if(item.begin(), item.end(),
                              [](unsigned char c) { return std::isspace(c) != 0; }),
               item.end());
    if (!item.empty() && item.size() <= 10 &&
        std::all_of(item.begin(), item.end(), [](unsigned char c) { return std::isdigit(c); })) {
      ids.push_back(static_cast<mrcp_request_id>(std::stoull(item)));
    }
    pos = end + 1;
  }
  return ids;
}

std::string IdListText(const std::vector<mrcp_request_id>& ids) {
  std::string text;
  for (mrcp_request_id id : ids) {
    if (!text.empty()) text += ",";
    text += std::to_string(id);
  }
  return text;
}

void AddId(std::vector<mrcp_request_id>* ids, mrcp_request_id id) {
  if (std::find(ids->begin(), ids->end(), id) == ids->end()) ids->push_back(id);
}

bool Listed(const std::vector<mrcp_request_id>& ids, mrcp_request_id id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

bool IsStop(size_t method_id) {
  return method_id == SYNTHESIZER_STOP || method_id == SYNTHESIZER_BARGE_IN_OCCURRED;
}

// The response the kit gives itself: 200 with `state`, and the list of
// stopped ids when there is one.
ReceivedMessage KitResponse(const mrcp_message_t* request, mrcp_request_state_e state,
                            const std::vector<mrcp_request_id>& stopped) {
  ScratchPool pool;
  mrcp_message_t* response = mrcp_response_create(request, pool.get());
  response->start_line.request_state = state;
  if (!stopped.empty()) {
    std::string ignored;
    SetMrcpHeader(response, "Active-Request-Id-List", IdListText(stopped), &ignored);
  }
  return ReceiveMessage(response);
}

// The SPEAK-COMPLETE of a queued SPEAK the module refused.
ReceivedMessage KitSpeakComplete(const mrcp_message_t* request, int cause) {
  ScratchPool pool;
  mrcp_message_t* event = mrcp_event_create(request, SYNTHESIZER_SPEAK_COMPLETE, pool.get());
  event->start_line.request_state = MRCP_REQUEST_STATE_COMPLETE;
  mrcp_synth_header_t* header = mrcp_resource_header_prepare(event);
  header->completion_cause = static_cast<mrcp_synth_completion_cause_e>(cause);
  mrcp_resource_header_property_add(event, SYNTHESIZER_HEADER_COMPLETION_CAUSE);
  return ReceiveMessage(event);
}

// `message` with its Active-Request-Id-List replaced by `ids`.
void SetIdList(ReceivedMessage* message, const std::vector<mrcp_request_id>& ids) {
  ScratchPool pool;
  mrcp_message_t* parsed = nullptr;
  if (!ParseMrcpMessage(message->text, pool.get(), &parsed, nullptr)) return;
  const std::string list = IdListText(ids);
  std::string ignored;
  if (!SetMrcpHeader(parsed, "Active-Request-Id-List", list, &ignored)) return;
  message->text = GenerateMrcpMessage(parsed);
  message->active_request_id_list = list;
}

// The cause a refusal carries to the SPEAK-COMPLETE of a queued SPEAK.
int RefusalCause(const ReceivedMessage& response) {
  return response.has_completion_cause && response.completion_cause >= 0 &&
                 response.completion_cause < SYNTHESIZER_COMPLETION_CAUSE_COUNT
             ? response.completion_cause
             : SYNTHESIZER_COMPLETION_CAUSE_ERROR;
}

}  // namespace

void KitCore::ServeRequest(Channel* channel, mrcp_message_t* request) {
  ServerState& state = *channel->m_Server;
  const size_t method = request->start_line.method_id;
  const mrcp_request_id id = request->start_line.request_id;
  std::unique_lock<std::mutex> lock(state.mutex);
  if (method == SYNTHESIZER_SPEAK) {
    if (!state.active) {
      state.active = request;
      state.active_was_pending = false;
      lock.unlock();
      return Forward(channel, request);
    }
    state.pending.push_back(request);
    lock.unlock();
    return Deliver(channel, KitResponse(request, MRCP_REQUEST_STATE_PENDING, {}));
  }
  if (!IsStop(method)) {
    state.open.emplace(id, request);
    lock.unlock();
    return Forward(channel, request);
  }

  // STOP and BARGE-IN-OCCURRED: the ids they name, or every SPEAK.
  const bool listed =
      mrcp_generic_header_property_check(request, GENERIC_HEADER_ACTIVE_REQUEST_ID_LIST) &&
      request->generic_header->active_request_id_list.length > 0;
  const std::vector<mrcp_request_id> named =
      listed ? ParseIdList(std::string(request->generic_header->active_request_id_list.buf,
                                       request->generic_header->active_request_id_list.length))
             : std::vector<mrcp_request_id>();
  ServerState::Stop stop;
  // A barge-in leaves a SPEAK that may not be barged in on: one that says
  // so itself, or that says nothing on a channel whose SET-PARAMS said so.
  auto kept_by = [&](const mrcp_message_t* speak) {
    if (method != SYNTHESIZER_BARGE_IN_OCCURRED) return false;
    if (mrcp_resource_header_property_check(speak, SYNTHESIZER_HEADER_KILL_ON_BARGE_IN)) {
      return !speak->synth_header->kill_on_barge_in;
    }
    return !state.kill_on_barge_in;
  };
  for (auto it = state.pending.begin(); it != state.pending.end();) {
    const mrcp_request_id pending_id = (*it)->start_line.request_id;
    const bool kept_by_barge_in = kept_by(*it);
    if ((!listed || Listed(named, pending_id)) && !kept_by_barge_in) {
      stop.removed.push_back(pending_id);
      Retire(channel, &state, *it);  // the module never saw it
      it = state.pending.erase(it);
    } else {
      ++it;
    }
  }
  const mrcp_request_id active = state.active ? state.active->start_line.request_id : 0;
  if (listed && !Listed(named, active)) {
    // Nothing the module has is named: the kit answers.
    ReceivedMessage response = KitResponse(request, MRCP_REQUEST_STATE_COMPLETE, stop.removed);
    Retire(channel, &state, request);
    lock.unlock();
    return Deliver(channel, std::move(response));
  }
  stop.active = active;
  stop.ends_active = !state.active || !kept_by(state.active);
  state.stops[id] = stop;
  state.open.emplace(id, request);
  lock.unlock();
  Forward(channel, request);
}

bool KitCore::ServeMessage(Channel* channel, ReceivedMessage* message, ServerState::Next* next) {
  ServerState& state = *channel->m_Server;
  std::lock_guard<std::mutex> lock(state.mutex);
  const mrcp_request_id active = state.active ? state.active->start_line.request_id : 0;
  bool deliver = true;
  bool active_ended = false;
  bool stopped_paused = false;
  if (message->type == MRCP_MESSAGE_TYPE_RESPONSE &&
      message->request_state == MRCP_REQUEST_STATE_COMPLETE) {
    auto open = state.open.find(message->request_id);
    if (open != state.open.end() && open->second->start_line.method_id == message->method_id) {
      // A SET-PARAMS the module took sets the channel's Kill-On-Barge-In.
      const mrcp_message_t* request = open->second;
      if (message->method_id == SYNTHESIZER_SET_PARAMS && message->status_code / 100 == 2 &&
          mrcp_resource_header_property_check(request, SYNTHESIZER_HEADER_KILL_ON_BARGE_IN)) {
        state.kill_on_barge_in = request->synth_header->kill_on_barge_in != FALSE;
      }
      Retire(channel, &state, open->second);
      state.open.erase(open);
    }
  }
  if (message->type == MRCP_MESSAGE_TYPE_RESPONSE) {
    auto own = std::find(state.own.begin(), state.own.end(), message->request_id);
    if (own != state.own.end()) {
      state.own.erase(own);
      return false;  // the client did not ask
    }
    if (message->status_code / 100 == 2 && active) {
      if (message->method_id == SYNTHESIZER_PAUSE) state.paused = true;
      if (message->method_id == SYNTHESIZER_RESUME) state.paused = false;
    }
  }
  if (message->type == MRCP_MESSAGE_TYPE_EVENT) {
    if (message->method_id == SYNTHESIZER_SPEAK_COMPLETE && active &&
        message->request_id == active) {
      active_ended = true;
      for (auto& stop : state.stops) {
        if (stop.second.active == active) stop.second.active_completed = true;
      }
    }
  } else if (message->type == MRCP_MESSAGE_TYPE_RESPONSE) {
    auto stop = state.stops.find(message->request_id);
    if (message->method_id == SYNTHESIZER_SPEAK && active && message->request_id == active) {
      if (message->request_state != MRCP_REQUEST_STATE_INPROGRESS &&
          message->request_state != MRCP_REQUEST_STATE_PENDING) {
        // Refused: a SPEAK that is over before it began.
        active_ended = true;
        if (state.active_was_pending)
          *message = KitSpeakComplete(state.active, RefusalCause(*message));
      } else if (state.active_was_pending) {
        deliver = false;  // the client had its response: 200 PENDING
      }
    } else if (IsStop(message->method_id) && stop != state.stops.end()) {
      std::vector<mrcp_request_id> stopped = ParseIdList(message->active_request_id_list);
      const ServerState::Stop& asked = stop->second;
      const bool module_listed = !message->active_request_id_list.empty();
      // The SPEAK active when the STOP was sent ended with it, unless its
      // SPEAK-COMPLETE came first.
      const bool active_stopped =
          asked.active && asked.active == active && !asked.active_completed &&
          (module_listed ? Listed(stopped, asked.active) : asked.ends_active);
      if (active_stopped) {
        AddId(&stopped, asked.active);
        active_ended = true;
        stopped_paused = state.paused;
      }
      for (mrcp_request_id removed : asked.removed) AddId(&stopped, removed);
      if (!stopped.empty() && stopped != ParseIdList(message->active_request_id_list)) {
        SetIdList(message, stopped);
      }
      state.stops.erase(stop);
    }
  }
  if (active_ended) {
    Retire(channel, &state, state.active);
    state.active = nullptr;
    state.active_was_pending = false;
    state.paused = false;
    if (!state.pending.empty()) {
      state.active = state.pending.front();
      state.active_was_pending = true;
      state.pending.pop_front();
      next->speak = state.active;
      // A SPEAK stopped while paused leaves the next one paused.
      next->paused = stopped_paused;
      state.paused = stopped_paused;
    }
  }
  return deliver;
}

void KitCore::HandOver(Channel* channel, const ServerState::Next& next) {
  if (!next.speak) return;
  Forward(channel, next.speak);
  if (!next.paused) return;
  mrcp_message_t* pause = NewRequest(channel, SYNTHESIZER_PAUSE);
  if (!pause) return;
  {
    std::lock_guard<std::mutex> lock(channel->m_Server->mutex);
    channel->m_Server->own.push_back(pause->start_line.request_id);
    channel->m_Server->open.emplace(pause->start_line.request_id, pause);
  }
  Forward(channel, pause);
}

void KitCore::Retire(Channel* channel, ServerState* state, mrcp_message_t* request) {
  if (!request || !request->pool) return;
  state->finished.push_back(request->pool);
  while (state->finished.size() > ServerState::kKeptFinished) {
    apr_pool_destroy(state->finished.front());
    state->finished.pop_front();
    --channel->m_LiveRequests;
  }
}

void KitCore::ForgetPools(Channel* channel) {
  ServerState& state = *channel->m_Server;
  std::lock_guard<std::mutex> lock(state.mutex);
  state.finished.clear();
  state.open.clear();
  state.pending.clear();
  state.active = nullptr;
}

void KitCore::DropQueue(Channel* channel) {
  ServerState& state = *channel->m_Server;
  std::lock_guard<std::mutex> lock(state.mutex);
  // The module never saw the queued SPEAKs; what it has (the active one,
  // requests not yet answered) stays until the channel is destroyed.
  for (mrcp_message_t* request : state.pending) Retire(channel, &state, request);
  state.pending.clear();
  state.stops.clear();
  state.own.clear();
  state.paused = false;
  state.active = nullptr;
  state.active_was_pending = false;
}

}  // namespace vxhost
