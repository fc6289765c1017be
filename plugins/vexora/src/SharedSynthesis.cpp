// Calls that channels share: a cacheable segment asked for by several
// channels at once is synthesized once, and each channel gets the reply as
// if the call had been its own.
#include "SharedSynthesis.h"

#include <algorithm>

#include "Channel.h"
#include "Engine.h"
#include "Plugin.h"

namespace VXS {

namespace {

// The completion of a shared call, posted by the gRPC task thread; it
// holds the call until it has been handed out.
class SharedSynthesisEvent : public Ambrel::AsyncEvent {
 public:
  explicit SharedSynthesisEvent(std::shared_ptr<SharedSynthesis> call) : m_Call(std::move(call)) {}
  void Process() override { m_Call->ProcessCompletion(); }

 private:
  std::shared_ptr<SharedSynthesis> m_Call;
};

}  // namespace

SharedSynthesis::SharedSynthesis(SharedSynthesisTable* table, Key key, std::shared_ptr<Stub> stub)
    : m_Table(table), m_Key(std::move(key)), m_Stub(std::move(stub)), m_Tag(nullptr, "shared") {}

bool SharedSynthesis::Start(const google::cloud::texttospeech::v1::SynthesizeSpeechRequest& request,
                            grpc::CompletionQueue* queue) {
  if (!m_Stub || !queue) return false;
  if (m_Key.m_Deadline > 0) {
    m_Context.set_deadline(std::chrono::system_clock::now() +
                           std::chrono::milliseconds(m_Key.m_Deadline));
  }
  m_Reader = m_Stub->AsyncSynthesizeSpeech(&m_Context, request, queue);
  if (!m_Reader) return false;
  m_Started = std::chrono::steady_clock::now();
  // The completion may come back on the task thread before Finish returns:
  // the call holds itself and its tag points at it before it is asked.
  m_Self = shared_from_this();
  m_Tag.m_Pending = true;
  m_Tag.m_Call.store(this, std::memory_order_release);
  m_Reader->Finish(&m_Response, &m_Status, &m_Tag);
  return true;
}

size_t SharedSynthesis::Join(Channel* channel) {
  m_Waiters.push_back(channel);
  return m_Waiters.size();
}

bool SharedSynthesis::Leave(Channel* channel) {
  auto it = std::find(m_Waiters.begin(), m_Waiters.end(), channel);
  // One that no longer waits is served by nobody: its part ends now.
  if (it == m_Waiters.end()) return true;
  if (m_Waiters.size() > 1) {
    m_Waiters.erase(it);
    return true;
  }
  // Nobody else wants the audio: the call is cancelled, and its cancelled
  // completion answers the last waiter as its own call's would.
  Cancel();
  return false;
}

void SharedSynthesis::Cancel() {
  m_Table->Remove(this);
  m_Context.TryCancel();
}

void SharedSynthesis::SignalCompletion(bool) {
  Engine* engine = m_Table->GetEngine();
  Ambrel::PostAsyncEvent(engine ? engine->GetEventProcessor() : nullptr,
                         new SharedSynthesisEvent(std::move(m_Self)));
}

void SharedSynthesis::ProcessCompletion() {
  Engine* engine = m_Table->GetEngine();
  VXS_ASSERT_PROCESSOR_THREAD(engine);
  if (!m_Tag.m_Pending) return;
  m_Tag.m_Pending = false;
  m_Table->Remove(this);
  if (engine) {
    engine->GetMetrics().CountCall(static_cast<int>(m_Status.error_code()),
                                   std::chrono::steady_clock::now() - m_Started);
  }
  // A waiter that starts its next segment or a second try meanwhile finds
  // this call gone and makes or joins another.
  std::vector<Channel*> waiters;
  waiters.swap(m_Waiters);
  m_Unserved = waiters.size();
  for (Channel* channel : waiters) {
    --m_Unserved;
    channel->ProcessSharedSynthesis(*this);
  }
}

std::string SharedSynthesis::TakeAudio() {
  std::string* audio = m_Response.mutable_audio_content();
  if (m_Unserved == 0) return std::move(*audio);
  return *audio;
}

bool SharedSynthesis::ClaimRecord() {
  if (m_RecordClaimed) return false;
  m_RecordClaimed = true;
  return true;
}

std::shared_ptr<SharedSynthesis> SharedSynthesisTable::Find(const SharedSynthesis::Key& key) const {
  auto range = m_Calls.equal_range(key.m_MatchHash);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second->GetKey() == key) return it->second;
  }
  return nullptr;
}

std::shared_ptr<SharedSynthesis> SharedSynthesisTable::Start(
    SharedSynthesis::Key key, std::shared_ptr<SharedSynthesis::Stub> stub,
    const google::cloud::texttospeech::v1::SynthesizeSpeechRequest& request,
    grpc::CompletionQueue* queue, Channel* first) {
  const uint64_t hash = key.m_MatchHash;
  auto call = std::make_shared<SharedSynthesis>(this, std::move(key), std::move(stub));
  if (!call->Start(request, queue)) return nullptr;
  call->Join(first);
  m_Calls.emplace(hash, call);
  return call;
}

void SharedSynthesisTable::Remove(const SharedSynthesis* call) {
  auto range = m_Calls.equal_range(call->GetKey().m_MatchHash);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second.get() != call) continue;
    m_Calls.erase(it);
    return;
  }
}

void SharedSynthesisTable::CancelAll() {
  std::vector<std::shared_ptr<SharedSynthesis>> calls;
  for (auto& entry : m_Calls) calls.push_back(entry.second);
  for (auto& call : calls) call->Cancel();
}

}  // namespace VXS
