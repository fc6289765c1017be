// A channel's side of the engine's circuit breakers: which endpoint a call
// goes to, the failure of a call refused without waiting, and the outcome
// of every call told to the breaker of the endpoint it went to.
#include "Channel.h"
#include "ChannelLog.h"
#include "Engine.h"

namespace VXS {

void Channel::CreateFallbackChannel(const std::shared_ptr<grpc::ChannelCredentials>& credentials) {
  m_FallbackGrpcChannel.reset();
  m_FallbackStub.reset();
  m_FallbackTarget.clear();
  const std::string target = m_Engine->ComposeFallbackTarget();
  if (target.empty() || target == m_Target || !m_Engine->GetBreaker().IsEnabled()) return;
  // The same credentials serve the fallback: the token's audience is the
  // channel's authority, so the fallback region's endpoint gets tokens for
  // its own audience.
  Engine::ServiceChannel shared = m_Engine->FindServiceChannel(target, credentials);
  if (!shared.m_Stub) {
    VXS_CHANNEL_LOG(APT_PRIO_INFO, "Create gRPC Channel [%s]", target.c_str());
    shared = m_Engine->CreateServiceChannel(target, credentials);
    if (!shared.m_Stub) {
      VXS_CHANNEL_LOG(APT_PRIO_WARNING, "Failed to Create Fallback gRPC Channel [%s]",
                      target.c_str());
      return;
    }
  }
  m_FallbackGrpcChannel = std::move(shared.m_Channel);
  m_FallbackStub = std::move(shared.m_Stub);
  m_FallbackTarget = target;
}

bool Channel::ChooseEndpoint(SynthContext& context) {
  CircuitBreaker& breaker = m_Engine->GetBreaker();
  const int64_t now = Now();
  context.m_Ticket.m_Target = m_Target;
  if (breaker.Admit(context.m_Ticket, now) != CircuitBreaker::REFUSE) {
    context.m_Stub = m_Stub.get();
    return true;
  }
  if (m_FallbackStub) {
    CircuitBreaker::Ticket fallback;
    fallback.m_Target = m_FallbackTarget;
    if (breaker.Admit(fallback, now) != CircuitBreaker::REFUSE) {
      if (breaker.TakeFallbackNotice(m_Target)) {
        apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Fall Back to [%s] from [%s]",
                m_FallbackTarget.c_str(), m_Target.c_str());
      }
      context.m_Ticket = fallback;
      context.m_Stub = m_FallbackStub.get();
      return true;
    }
  }
  context.m_Ticket.m_Trial = 0;
  return false;
}

bool Channel::RefuseCall(std::unique_ptr<SynthContext> context) {
  VXS_CHANNEL_LOG(APT_PRIO_INFO, "Circuit Breaker Refused Call [%s]", m_Target.c_str());
  context->m_Refused = true;
  context->m_Status =
      grpc::Status(grpc::StatusCode::UNAVAILABLE, "circuit breaker open [" + m_Target + "]");
  // The completion comes as a call's completion does, through the event
  // processor: the SPEAK, a STOP or a close in between meet it exactly as
  // they meet a call that failed at once.
  m_FinishingTag.m_Pending = true;
  m_SynthContext = std::move(context);
  if (!PostEvent(new ChannelGrpcEvent(this, &m_FinishingTag, true))) {
    m_FinishingTag.m_Pending = false;
    m_SynthContext.reset();
    return false;
  }
  return true;
}

void Channel::ReportCallOutcome(const grpc::Status& status) {
  if (!m_SynthContext || m_SynthContext->m_Refused) return;
  const SynthContext& context = *m_SynthContext;
  if (!context.m_Shared) {
    m_SpeakMetrics.CallFinished(m_Engine->GetMetrics(), static_cast<int>(status.error_code()));
  }
  // One call, one outcome, however many channels waited on it.
  if (context.m_Joined && context.m_Ticket.m_Trial == 0) return;
  m_Engine->GetBreaker().OnOutcome(context.m_Ticket, status.error_code(), Now());
}

bool Channel::MayReattempt() const {
  if (m_SynthContext && m_SynthContext->m_Refused) return false;
  const CircuitBreaker& breaker = m_Engine->GetBreaker();
  const int64_t now = Now();
  if (!breaker.IsRefusing(m_Target, now)) return true;
  return m_FallbackStub && !breaker.IsRefusing(m_FallbackTarget, now);
}

}  // namespace VXS
