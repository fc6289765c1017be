#include "CircuitBreaker.h"

#include "Plugin.h"

namespace VXS {

void CircuitBreaker::Configure(uint32_t failures, int64_t cooldown) {
  m_Failures = failures;
  m_Cooldown = cooldown < 0 ? 0 : cooldown;
  m_Endpoints.clear();
}

bool CircuitBreaker::Counts(grpc::StatusCode code) {
  return code == grpc::StatusCode::UNAVAILABLE || code == grpc::StatusCode::DEADLINE_EXCEEDED;
}

CircuitBreaker::Admission CircuitBreaker::Admit(Ticket& ticket, int64_t now) {
  ticket.m_Trial = 0;
  if (!IsEnabled()) return ADMIT;
  auto it = m_Endpoints.find(ticket.m_Target);
  if (it == m_Endpoints.end()) return ADMIT;
  Endpoint& endpoint = it->second;
  switch (endpoint.m_State) {
    case CLOSED:
      return ADMIT;
    case OPEN:
      if (now - endpoint.m_OpenedAt < m_Cooldown) return REFUSE;
      endpoint.m_State = HALF_OPEN;
      apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE, "Circuit Breaker Half-Open [%s]",
              ticket.m_Target.c_str());
      break;
    case HALF_OPEN:
      if (HoldsTrial(endpoint, now)) return REFUSE;
      break;
  }
  endpoint.m_Trial = ++m_LastTrial;
  endpoint.m_TrialStarted = now;
  ticket.m_Trial = endpoint.m_Trial;
  return ADMIT_TRIAL;
}

bool CircuitBreaker::IsRefusing(const std::string& target, int64_t now) const {
  if (!IsEnabled()) return false;
  auto it = m_Endpoints.find(target);
  if (it == m_Endpoints.end()) return false;
  const Endpoint& endpoint = it->second;
  switch (endpoint.m_State) {
    case CLOSED:
      return false;
    case OPEN:
      return now - endpoint.m_OpenedAt < m_Cooldown;
    case HALF_OPEN:
      return HoldsTrial(endpoint, now);
  }
  return false;
}

void CircuitBreaker::OnOutcome(const Ticket& ticket, grpc::StatusCode code, int64_t now) {
  if (!IsEnabled()) return;
  const bool ok = code == grpc::StatusCode::OK;
  const bool counted = Counts(code);
  auto it = m_Endpoints.find(ticket.m_Target);
  if (it == m_Endpoints.end()) {
    if (!counted) return;
    it = m_Endpoints.emplace(ticket.m_Target, Endpoint()).first;
  }
  Endpoint& endpoint = it->second;
  switch (endpoint.m_State) {
    case CLOSED:
      if (ok) {
        m_Endpoints.erase(it);
      } else if (counted && ++endpoint.m_Run >= m_Failures) {
        Open(ticket.m_Target, endpoint, now, false);
      }
      return;
    case OPEN:
      // Calls that started before the breaker opened tell nothing new.
      return;
    case HALF_OPEN:
      if (ticket.m_Trial == 0 || ticket.m_Trial != endpoint.m_Trial) return;
      if (ok) {
        apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE, "Circuit Breaker Closed [%s]",
                ticket.m_Target.c_str());
        m_Endpoints.erase(it);
      } else if (counted) {
        Open(ticket.m_Target, endpoint, now, true);
      } else {
        // Neither proof nor disproof (a STOP cancelled it, the input was
        // refused): the next call is the trial.
        endpoint.m_Trial = 0;
      }
      return;
  }
}

int64_t CircuitBreaker::TrialHold() const {
  return m_Cooldown > kMinTrialHold ? m_Cooldown : kMinTrialHold;
}

bool CircuitBreaker::HoldsTrial(const Endpoint& endpoint, int64_t now) const {
  return endpoint.m_Trial != 0 && now - endpoint.m_TrialStarted < TrialHold();
}

bool CircuitBreaker::TakeFallbackNotice(const std::string& target) {
  auto it = m_Endpoints.find(target);
  if (it == m_Endpoints.end() || it->second.m_FallbackNoticed) return false;
  it->second.m_FallbackNoticed = true;
  return true;
}

void CircuitBreaker::Open(const std::string& target, Endpoint& endpoint, int64_t now,
                          bool after_trial) {
  if (after_trial) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
            "Circuit Breaker Open [%s] after Failed Trial", target.c_str());
  } else {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
            "Circuit Breaker Open [%s] after %u failures", target.c_str(),
            static_cast<unsigned>(endpoint.m_Run));
  }
  endpoint.m_State = OPEN;
  endpoint.m_Run = 0;
  endpoint.m_OpenedAt = now;
  endpoint.m_Trial = 0;
  endpoint.m_FallbackNoticed = false;
}

}  // namespace VXS
