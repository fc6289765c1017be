#pragma once

#include <apr_pools.h>

#include <grpcpp/completion_queue.h>

#include <atomic>
#include <string>

#include "vxhost/apt.h"

namespace VXS {

class Channel;
class SharedSynthesis;

// The completion-queue tag of a channel's operations: "finishing" for the
// unary call (one per channel), and one per kind of operation of a stream;
// also that of a call several channels share, which points at the call and
// at no channel.
struct Tag {
  explicit Tag(Channel* channel, const char* name = "finishing")
      : m_Pending(false), m_Name(name) {
    m_Channel.store(channel, std::memory_order_release);
  }
  bool m_Pending;      // its operation is in flight; event-processor thread only
  std::string m_Name;  // for the log
  // Not owned; null for tags that belong to no channel. Read by the task
  // thread, which receives the tag through the completion queue; atomic so
  // that the hand-over is visible to thread checkers that cannot see into
  // gRPC.
  std::atomic<Channel*> m_Channel;
  // Not owned; set instead of m_Channel for a shared call, which stays
  // alive until its completion has been handled. Atomic as m_Channel is.
  std::atomic<SharedSynthesis*> m_Call{nullptr};
};

// The gRPC completion-queue task: one completion queue shared by every
// channel's calls, and one host task thread that waits on it for ever and
// turns each completion into an event posted to the engine's processor.
//
// Create, Start, Terminate and Destroy run on the engine's event-processor
// thread; Run runs on the task's own thread and touches no channel state.
// Owned by the engine.
class Task {
 public:
  explicit Task(const std::string& name);
  ~Task();
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;

  bool Create(apr_pool_t* pool);
  bool Start();
  // Shuts the queue down and waits for the task's thread to drain it and end.
  bool Terminate();
  void Destroy();
  void Run();
  // Hands one completion to its channel or shared call as a posted event
  // (a tag without either is dropped); false when that failed. Task thread.
  bool OnCompletion(void* tag, bool ok);

  grpc::CompletionQueue* GetQueue() { return &m_Queue; }
  const std::string& GetName() const { return m_Name; }

 private:
  std::string m_Name;
  apt_task_t* m_HostTask;  // owned (destroyed by Destroy)
  grpc::CompletionQueue m_Queue;
};

bool RunTask(apt_task_t* task);

}  // namespace VXS
