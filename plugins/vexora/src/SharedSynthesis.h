#pragma once

#include <grpcpp/client_context.h>
#include <grpcpp/completion_queue.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Task.h"
#include "google/cloud/texttospeech/v1/cloud_tts.grpc.pb.h"

namespace VXS {

class Channel;
class Engine;
class SharedSynthesisTable;

// One unary SynthesizeSpeech call of a cacheable segment, and the channels
// that wait on its reply: the channel that started it and those that asked
// for an identical segment while it was in flight. The call belongs to
// none of them, so that any of them may stop or close while the others
// wait; its completion-queue tag is its own and points at no channel.
//
// Event-processor thread only, but for SignalCompletion (the gRPC task
// thread). Holds itself while in flight, so that its tag and context live
// until the completion has been handed out whoever waits; held besides by
// its table while channels may join it and by each waiter's context;
// deleted by its reference count.
class SharedSynthesis : public std::enable_shared_from_this<SharedSynthesis> {
 public:
  typedef google::cloud::texttospeech::v1::TextToSpeech::Stub Stub;

  // What makes two calls one: the segment's match hash (as the cache files
  // its record under), the request as sent, byte for byte, the stub (one
  // per endpoint and credentials) and the deadline in milliseconds (0 for
  // none). A hash collision never shares audio: the request is compared
  // whole.
  struct Key {
    uint64_t m_MatchHash = 0;
    std::string m_Request;
    const Stub* m_Stub = nullptr;
    int64_t m_Deadline = 0;
    bool operator==(const Key& other) const {
      return m_MatchHash == other.m_MatchHash && m_Stub == other.m_Stub &&
             m_Deadline == other.m_Deadline && m_Request == other.m_Request;
    }
  };

  SharedSynthesis(SharedSynthesisTable* table, Key key, std::shared_ptr<Stub> stub);
  SharedSynthesis(const SharedSynthesis&) = delete;
  SharedSynthesis& operator=(const SharedSynthesis&) = delete;

  // Starts the call on queue; false when the library gave no reader.
  bool Start(const google::cloud::texttospeech::v1::SynthesizeSpeechRequest& request,
             grpc::CompletionQueue* queue);
  // Adds channel to the waiters; their number after it.
  size_t Join(Channel* channel);
  // Takes channel out of the waiters. True when others still wait, so
  // that the call goes on without it and its part ends now; false when it
  // was the last: the call is then cancelled and its completion, cancelled
  // or not, still comes to channel.
  bool Leave(Channel* channel);
  // Cancels the call for every waiter (engine shutdown).
  void Cancel();
  // Posts the completion to the event processor. gRPC task thread.
  void SignalCompletion(bool ok);
  // Hands the completion to each waiter in the order they came.
  void ProcessCompletion();

  const Key& GetKey() const { return m_Key; }
  const grpc::Status& GetStatus() const { return m_Status; }
  size_t GetWaiterCount() const { return m_Waiters.size(); }
  // The reply's audio for one waiter: a copy, or the audio itself for the
  // last one.
  std::string TakeAudio();
  // True for the first waiter that asks: it writes the cache record that
  // the reply makes, once for all of them.
  bool ClaimRecord();

 private:
  SharedSynthesisTable* m_Table;  // not owned, outlives the call
  Key m_Key;
  std::shared_ptr<Stub> m_Stub;  // kept so that its address is not reused
  grpc::ClientContext m_Context;
  std::unique_ptr<
      grpc::ClientAsyncResponseReader<google::cloud::texttospeech::v1::SynthesizeSpeechResponse>>
      m_Reader;
  google::cloud::texttospeech::v1::SynthesizeSpeechResponse m_Response;
  grpc::Status m_Status;
  Tag m_Tag;
  // Set by Start, handed to the completion's event by SignalCompletion.
  std::shared_ptr<SharedSynthesis> m_Self;
  std::chrono::steady_clock::time_point m_Started;
  std::vector<Channel*> m_Waiters;  // not owned; each leaves before it goes
  // The waiters not yet served while the completion is handed out.
  size_t m_Unserved = 0;
  bool m_RecordClaimed = false;
};

// The shared calls in flight of one engine, by match hash, which new
// cacheable segments look up before they make a call of their own.
//
// Event-processor thread only. Owned by the engine.
class SharedSynthesisTable {
 public:
  // The engine's processor receives the completions and its metrics count
  // each call once. Not owned.
  explicit SharedSynthesisTable(Engine* engine) : m_Engine(engine) {}
  SharedSynthesisTable(const SharedSynthesisTable&) = delete;
  SharedSynthesisTable& operator=(const SharedSynthesisTable&) = delete;

  // The call in flight for key that a channel may still join, or null.
  std::shared_ptr<SharedSynthesis> Find(const SharedSynthesis::Key& key) const;
  // Starts a call for key with its first waiter; null when it could not
  // be started.
  std::shared_ptr<SharedSynthesis> Start(
      SharedSynthesis::Key key, std::shared_ptr<SharedSynthesis::Stub> stub,
      const google::cloud::texttospeech::v1::SynthesizeSpeechRequest& request,
      grpc::CompletionQueue* queue, Channel* first);
  // No channel joins call any more (it completed or was cancelled).
  void Remove(const SharedSynthesis* call);
  // Cancels every call in flight (engine shutdown).
  void CancelAll();
  size_t GetCount() const { return m_Calls.size(); }

  Engine* GetEngine() const { return m_Engine; }

 private:
  Engine* m_Engine;
  std::multimap<uint64_t, std::shared_ptr<SharedSynthesis>> m_Calls;
};

}  // namespace VXS
