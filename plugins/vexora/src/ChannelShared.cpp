// A channel's part in a shared call (see SharedSynthesis): joining the call
// of an identical cacheable segment that another channel has in flight,
// leaving it on a STOP or a close, and taking its reply as its own.
#include "Channel.h"
#include "ChannelLog.h"
#include "Engine.h"

namespace VXS {

SharedSynthesis::Key Channel::ComposeSharedKey(
    const SynthSegment& segment,
    const google::cloud::texttospeech::v1::SynthesizeSpeechRequest& request,
    const Stub* stub) const {
  const SpeakParams& params = m_Details.m_Params;
  SharedSynthesis::Key key;
  key.m_MatchHash = WaveformManager::CacheEntry::ComposeMatchHash(
      segment.m_Content, params.m_Language, m_Details.m_SamplingRate, segment.m_VoiceName,
      static_cast<int32_t>(segment.m_VoiceGender), params.m_Prosody);
  // The request has no map fields, so equal requests serialize to equal
  // bytes.
  key.m_Request = request.SerializeAsString();
  key.m_Stub = stub;
  key.m_Deadline = params.m_Deadline;
  return key;
}

std::shared_ptr<Channel::Stub> Channel::StubOf(const Stub* stub) const {
  return stub == m_FallbackStub.get() ? m_FallbackStub : m_Stub;
}

bool Channel::JoinSharedCall(const SynthSegment& segment, std::unique_ptr<SynthContext>& context) {
  if (!context->m_Stub) return false;
  std::shared_ptr<SharedSynthesis> call = m_Engine->GetSharedSyntheses().Find(
      ComposeSharedKey(segment, context->m_Request, context->m_Stub));
  if (!call) return false;
  const size_t waiters = call->Join(this);
  VXS_CHANNEL_LOG(APT_PRIO_INFO, "Join Synthesis in Flight [%d waiters]",
                  static_cast<int>(waiters));
  // The call counts as this SPEAK's own: a failure is tried again as one
  // of its own would be.
  ++m_Details.m_CallCount;
  context->m_Shared = std::move(call);
  context->m_Joined = true;
  m_SynthContext = std::move(context);
  return true;
}

void Channel::CancelCall() {
  if (!m_SynthContext) return;
  SharedSynthesis* call = m_SynthContext->m_Shared.get();
  if (!call) {
    m_SynthContext->m_Context.TryCancel();
    return;
  }
  const size_t waiters = call->GetWaiterCount();
  // The last waiter cancels the call and is answered by its cancelled
  // completion, as the only channel of a call of its own is.
  if (!call->Leave(this)) return;
  VXS_CHANNEL_LOG(APT_PRIO_INFO, "Leave Synthesis in Flight [%d waiters]",
                  static_cast<int>(waiters - 1));
  // A breaker's trial that leaves learns nothing: the next call is the
  // trial.
  if (m_SynthContext->m_Ticket.m_Trial != 0) {
    m_Engine->GetBreaker().OnOutcome(m_SynthContext->m_Ticket, grpc::StatusCode::CANCELLED, Now());
  }
  if (m_StopResponse) {
    m_SynthContext.reset();
    OnCallDone(false);
    return;
  }
  // Under a close the SPEAK ends as its own call's cancelled completion
  // would end it: one still waiting for its response gets it before the
  // close is answered.
  if (!m_Details.m_Content.empty()) m_Details.m_Content.pop_front();
  ProcessSynthError();
}

void Channel::ProcessSharedSynthesis(SharedSynthesis& call) {
  VXS_ASSERT_PROCESSOR_THREAD(m_Engine);
  if (!m_SynthContext || m_SynthContext->m_Shared.get() != &call) return;
  m_SynthContext->m_Status = call.GetStatus();
  if (call.GetStatus().ok()) {
    *m_SynthContext->m_Response.mutable_audio_content() = call.TakeAudio();
    // One cache record for all: the first waiter the reply reaches writes
    // it, the others play the audio only.
    if (!call.ClaimRecord()) {
      m_SynthContext->m_CacheEntry.reset();
      m_WaveFile.m_Save = false;
    }
  }
  OnFinishStream(true);
}

}  // namespace VXS
