// Running a parsed session script on a started session (SessionScript.h):
// each step in turn, the waits matched against the channel's messages.

#include <string>

#include "Commands.h"
#include "SessionScript.h"
#include "TextCase.h"
#include "vxhost/MrcpText.h"

namespace VxCli {

namespace {

std::string Millis(std::chrono::milliseconds period) {
  return std::to_string(period.count()) + " ms";
}

// The state of one channel while the script runs: messages taken from the
// kit that no wait has matched yet, and the last request sent.
struct ChannelState {
  vxhost::Channel* channel = nullptr;
  std::vector<vxhost::ReceivedMessage> backlog;
  bool sent = false;
  mrcp_request_id last_request = 0;
};

class Runner {
 public:
  Runner(const Script& script, HostSession* session,
         std::map<std::string, vxhost::Channel*>* channels, std::string* error)
      : m_Script(script), m_Session(session), m_Channels(channels), m_Error(error) {}

  bool Run() {
    for (const ScriptStep& step : m_Script.steps) {
      if (Interrupted()) return Fail(step, "interrupted");
      if (!RunStep(step)) return false;
    }
    return true;
  }

 private:
  bool Fail(const ScriptStep& step, const std::string& reason) {
    *m_Error = m_Script.name + ":" + std::to_string(step.line) + ": " + reason;
    return false;
  }

  bool RunStep(const ScriptStep& step) {
    switch (step.kind) {
      case ScriptStep::Kind::kChannel: {
        std::string reason;
        vxhost::Channel* channel = m_Session->OpenChannel(step.channel, step.rate, &reason);
        if (!channel) return Fail(step, reason);
        if (channel->id() != step.channel) {
          m_Session->printer()->Line("vexora: channel " + step.channel + " is " + channel->id() +
                                     "@speechsynth");
        }
        m_States[step.channel].channel = channel;
        (*m_Channels)[step.channel] = channel;
        return true;
      }
      case ScriptStep::Kind::kSend: {
        if (step.delay.count() > 0 && !PauseFor(step.delay)) return Fail(step, "interrupted");
        ChannelState& state = m_States[step.channel];
        std::string reason;
        mrcp_request_id id = 0;
        if (!m_Session->kit()->SendText(state.channel, step.message, &reason, &id)) {
          return Fail(step, "cannot send: " + reason);
        }
        state.sent = true;
        state.last_request = id;
        return true;
      }
      case ScriptStep::Kind::kSleep:
        return PauseFor(step.delay) || Fail(step, "interrupted");
      case ScriptStep::Kind::kClose: {
        std::string reason;
        return m_Session->CloseChannel(m_States[step.channel].channel, &reason) ||
               Fail(step, reason);
      }
      case ScriptStep::Kind::kWaitInProgress:
      case ScriptStep::Kind::kWaitResponse:
      case ScriptStep::Kind::kWaitEvent:
        return Wait(step);
    }
    return Fail(step, "unknown directive");
  }

  // Whether `message` is what the wait looks for (not yet whether it
  // satisfies it).
  static bool Matches(const ScriptStep& step, const ChannelState& state,
                      const vxhost::ReceivedMessage& message) {
    if (step.kind == ScriptStep::Kind::kWaitEvent) {
      return message.type == MRCP_MESSAGE_TYPE_EVENT && Upper(message.method_name) == step.event;
    }
    return message.type == MRCP_MESSAGE_TYPE_RESPONSE &&
           (!state.sent || message.request_id == state.last_request);
  }

  // The value of header `name` in the message's text; false when absent.
  static bool HeaderValue(const vxhost::ReceivedMessage& message, const std::string& name,
                          std::string* value) {
    size_t start = message.text.find("\r\n");
    while (start != std::string::npos) {
      start += 2;
      const size_t end = message.text.find("\r\n", start);
      const std::string line = message.text.substr(start, end - start);
      if (line.empty()) return false;  // the end of the headers
      const size_t colon = line.find(':');
      if (colon != std::string::npos && Lower(line.substr(0, colon)) == Lower(name)) {
        const size_t first = line.find_first_not_of(" \t", colon + 1);
        const size_t last = line.find_last_not_of(" \t");
        *value = first == std::string::npos ? "" : line.substr(first, last - first + 1);
        return true;
      }
      start = end;
    }
    return false;
  }

  static bool SatisfiesHeaders(const ScriptStep& step, const vxhost::ReceivedMessage& message,
                               std::string* reason) {
    const std::string what = message.type == MRCP_MESSAGE_TYPE_EVENT
                                 ? message.method_name
                                 : "the response to request " + std::to_string(message.request_id);
    for (const auto& header : step.headers) {
      std::string value;
      if (!HeaderValue(message, header.first, &value)) {
        *reason = what + " has no " + header.first + " header";
        return false;
      }
      if (header.second && value != *header.second) {
        *reason = what + " has " + header.first + ": " + value + ", not " + *header.second;
        return false;
      }
    }
    for (const std::string& name : step.absent_headers) {
      std::string value;
      if (HeaderValue(message, name, &value)) {
        *reason = what + " has " + name + ": " + value;
        return false;
      }
    }
    return true;
  }

  // The mark a message's Speech-Marker header names: what follows the
  // first ';' of "timestamp=T;MARK" (empty without one).
  static std::string MarkerOf(const vxhost::ReceivedMessage& message, bool* present) {
    std::string value;
    *present = HeaderValue(message, "Speech-Marker", &value);
    const size_t semicolon = value.find(';');
    return semicolon == std::string::npos ? std::string() : value.substr(semicolon + 1);
  }

  // Whether the matching message satisfies the wait; *reason when not.
  static bool Satisfies(const ScriptStep& step, const vxhost::ReceivedMessage& message,
                        std::string* reason) {
    if (!SatisfiesHeaders(step, message, reason)) return false;
    if (step.has_marker) {
      bool present = false;
      const std::string mark = MarkerOf(message, &present);
      if (!present || mark != step.marker) {
        const std::string what = message.type == MRCP_MESSAGE_TYPE_EVENT
                                     ? message.method_name
                                     : "the response to request " +
                                           std::to_string(message.request_id);
        *reason = what + " came with " +
                  (present ? (mark.empty() ? std::string("no mark in its Speech-Marker")
                                           : "the mark \"" + mark + "\"")
                           : std::string("no Speech-Marker")) +
                  ", not " + (step.marker.empty() ? "none" : "\"" + step.marker + "\"");
        return false;
      }
    }
    switch (step.kind) {
      case ScriptStep::Kind::kWaitInProgress:
        if (message.request_state == MRCP_REQUEST_STATE_INPROGRESS) return true;
        *reason = "the response to request " + std::to_string(message.request_id) + " was " +
                  std::to_string(message.status_code) + " " +
                  vxhost::MrcpRequestStateName(message.request_state) + ", not IN-PROGRESS";
        return false;
      case ScriptStep::Kind::kWaitResponse:
        if (step.status < 0 || message.status_code == step.status) return true;
        *reason = "the response to request " + std::to_string(message.request_id) + " had status " +
                  std::to_string(message.status_code) + ", not " + std::to_string(step.status);
        return false;
      case ScriptStep::Kind::kWaitEvent:
        if (step.cause < 0) return true;
        if (message.has_completion_cause && message.completion_cause == step.cause) return true;
        *reason = step.event + " came with " +
                  (message.has_completion_cause
                       ? "Completion-Cause " + CauseText(message.completion_cause)
                       : std::string("no Completion-Cause")) +
                  ", not " + CauseText(step.cause);
        return false;
      default:
        return true;
    }
  }

  bool Wait(const ScriptStep& step) {
    ChannelState& state = m_States[step.channel];
    std::string reason;
    // A message an earlier wait passed over may be the one.
    for (auto it = state.backlog.begin(); it != state.backlog.end(); ++it) {
      if (Matches(step, state, *it)) {
        const vxhost::ReceivedMessage message = *it;
        state.backlog.erase(it);
        return Satisfies(step, message, &reason) || Fail(step, reason);
      }
    }
    const auto deadline = Clock::now() + step.timeout;
    while (true) {
      vxhost::ReceivedMessage message;
      switch (NextMessage(state.channel, &message, deadline)) {
        case WaitResult::kInterrupted:
          return Fail(step, "interrupted");
        case WaitResult::kTimeout:
          return Fail(step, Describe(step) + " within " + Millis(step.timeout));
        case WaitResult::kMessage:
          break;
      }
      if (Matches(step, state, message)) {
        return Satisfies(step, message, &reason) || Fail(step, reason);
      }
      state.backlog.push_back(message);
    }
  }

  static std::string Describe(const ScriptStep& step) {
    switch (step.kind) {
      case ScriptStep::Kind::kWaitEvent:
        return "no " + step.event + " on channel " + step.channel;
      case ScriptStep::Kind::kWaitInProgress:
        return "no IN-PROGRESS response on channel " + step.channel;
      default:
        return "no response on channel " + step.channel;
    }
  }

  const Script& m_Script;
  HostSession* const m_Session;
  std::map<std::string, vxhost::Channel*>* const m_Channels;
  std::string* const m_Error;
  std::map<std::string, ChannelState> m_States;
};

}  // namespace

bool RunScript(const Script& script, HostSession* session,
               std::map<std::string, vxhost::Channel*>* channels, std::string* error) {
  Runner runner(script, session, channels, error);
  return runner.Run();
}

}  // namespace VxCli
