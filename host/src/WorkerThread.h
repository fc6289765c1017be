// A named thread that runs posted jobs one at a time, in posting order.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace vxhost {

// Post() may be called from any thread. Stop() ends the thread after the
// jobs already posted; when they do not finish in time the thread is
// detached and Stop() returns false: the owner must then stay allocated
// (the thread still uses this object), which is the host kit's policy for
// a module that does not return.
class WorkerThread {
 public:
  explicit WorkerThread(std::string name);
  ~WorkerThread();

  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  void Post(std::function<void()> job);
  // Runs `job` on the thread and waits for it; false when it did not finish
  // within `timeout` (it still runs later; give it only shared state).
  bool Call(std::function<void()> job, std::chrono::milliseconds timeout);
  bool Stop(std::chrono::milliseconds timeout);

 private:
  void Run();

  const std::string m_Name;
  std::mutex m_Mutex;  // guards the fields below
  std::condition_variable m_Cond;
  std::deque<std::function<void()>> m_Jobs;
  bool m_Stopping = false;
  bool m_Finished = false;
  std::thread m_Thread;
};

}  // namespace vxhost
