#include "ambrel/EventProcessor.h"

#include <apr_errno.h>

#include <cstdio>
#include <exception>

namespace Ambrel {

namespace {

// The processor whose loop runs on the calling thread, if any.
thread_local const SoftEventProcessor* tl_CurrentProcessor = nullptr;

// Holds an APR mutex for a scope; can let go of it in between.
class MutexLock {
 public:
  explicit MutexLock(apr_thread_mutex_t* mutex) : m_Mutex(mutex) { Lock(); }
  ~MutexLock() {
    if (m_Locked) apr_thread_mutex_unlock(m_Mutex);
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void Lock() {
    apr_thread_mutex_lock(m_Mutex);
    m_Locked = true;
  }
  void Unlock() {
    m_Locked = false;
    apr_thread_mutex_unlock(m_Mutex);
  }

 private:
  apr_thread_mutex_t* m_Mutex;
  bool m_Locked = false;
};

void ReportEscapedException(const char* where) {
  // No logger can be relied on here: the logger runs on a processor itself.
  try {
    throw;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "Exception escaped %s: %s\n", where, e.what());
  } catch (...) {
    std::fprintf(stderr, "Exception escaped %s\n", where);
  }
}

}  // namespace

AsyncEventTimerProcessor::AsyncEventTimerProcessor(Clock clock) : m_TimerQueue(std::move(clock)) {}

AsyncEventTimerProcessor::~AsyncEventTimerProcessor() = default;

void AsyncEventTimerProcessor::ProcessStartTimer(Timer* timer) { m_TimerQueue.AddTimer(timer); }

void AsyncEventTimerProcessor::ProcessStopTimer(Timer* timer) { m_TimerQueue.RemoveTimer(timer); }

SoftEventProcessor::Observer::~Observer() = default;
bool SoftEventProcessor::Observer::OnStart(SoftEventProcessor*) { return true; }
void SoftEventProcessor::Observer::OnShutdown(SoftEventProcessor*) {}

SoftEventProcessor::SoftEventProcessor(Clock clock) : AsyncEventTimerProcessor(std::move(clock)) {}

SoftEventProcessor::~SoftEventProcessor() {
  // The owner should have shut the thread down; do it here rather than leave
  // a thread running on a freed object.
  if (m_Thread && !IsProcessorThread()) Shutdown(true);
  Cleanup();
}

void SoftEventProcessor::AddObserver(Observer* observer) {
  if (observer) m_Observers.push_back(observer);
}

bool SoftEventProcessor::IsProcessorThread() const { return tl_CurrentProcessor == this; }

bool SoftEventProcessor::PostEvent(AsyncEvent* event) {
  if (!event || !m_Mutex) return false;
  MutexLock lock(m_Mutex);
  m_Queue.push_back(event);
  // Signalled with the mutex still held: once the loop can take the event,
  // the poster is done with the processor. The owner may shut it down and
  // free it (its condition with it) as soon as the event has run.
  if (m_Waiting) apr_thread_cond_signal(m_Cond);
  return true;
}

bool SoftEventProcessor::Start() {
  if (m_Pool) return false;
  if (apr_pool_create(&m_Pool, nullptr) != APR_SUCCESS) {
    m_Pool = nullptr;
    return false;
  }
  apr_thread_mutex_create(&m_Mutex, APR_THREAD_MUTEX_DEFAULT, m_Pool);
  apr_thread_cond_create(&m_Cond, m_Pool);
  if (apr_thread_create(&m_Thread, nullptr, ThreadMain, this, m_Pool) != APR_SUCCESS) {
    m_Thread = nullptr;
    Cleanup();
    return false;
  }
  return true;
}

bool SoftEventProcessor::Shutdown(bool wait) {
  if (!m_Thread) return false;
  PostAsyncEvent(this, new ExitEvent(this));
  if (wait) WaitForShutdown();
  return true;
}

bool SoftEventProcessor::WaitForShutdown() {
  // Joining itself would fail, and the clean-up would pull the queue from
  // under the running loop.
  if (IsProcessorThread()) return false;
  if (m_Thread) {
    apr_status_t status = APR_SUCCESS;
    apr_thread_join(&status, m_Thread);
    m_Thread = nullptr;
  }
  Cleanup();
  return true;
}

void SoftEventProcessor::ProcessShutdown() { m_Running = false; }

bool SoftEventProcessor::OnStart() {
  for (Observer* observer : m_Observers) {
    if (!observer->OnStart(this)) return false;
  }
  return true;
}

void SoftEventProcessor::OnShutdown() {
  for (Observer* observer : m_Observers) observer->OnShutdown(this);
}

void* APR_THREAD_FUNC SoftEventProcessor::ThreadMain(apr_thread_t*, void* data) {
  auto* processor = static_cast<SoftEventProcessor*>(data);
  tl_CurrentProcessor = processor;
  try {
    processor->RunEventLoop();
  } catch (...) {
    ReportEscapedException("the event processor's thread");
  }
  tl_CurrentProcessor = nullptr;
  return nullptr;
}

void SoftEventProcessor::RunEventLoop() {
  if (!OnStart()) return;
  m_Running = true;
  TimerQueue& timers = GetTimerQueue();
  unsigned dispatched = 0;
  while (m_Running) {
    ++dispatched;
    MutexLock lock(m_Mutex);
    if (m_Queue.empty()) {
      m_Waiting = true;
      apr_status_t status;
      if (timers.IsEmpty()) {
        status = apr_thread_cond_wait(m_Cond, m_Mutex);
      } else {
        status = apr_thread_cond_timedwait(m_Cond, m_Mutex, timers.GetTimeout() * 1000);
      }
      m_Waiting = false;
      if (status != APR_SUCCESS && !APR_STATUS_IS_TIMEUP(status)) {
        // Not fatal: look at the flag and wait again.
        dispatched = 0;
        continue;
      }
      if (!timers.IsEmpty()) {
        lock.Unlock();
        AdvanceTimers();
        lock.Lock();
        dispatched = 1;
      }
      if (m_Queue.empty()) {
        dispatched = 0;
        continue;
      }
    }
    AsyncEvent* event = m_Queue.front();
    m_Queue.pop_front();
    lock.Unlock();

    DispatchEvent(event);
    if (dispatched > kEventsPerTimerCheck && !timers.IsEmpty()) {
      AdvanceTimers();
      dispatched = 0;
    }
  }
  OnShutdown();
}

void SoftEventProcessor::DispatchEvent(AsyncEvent* event) {
  try {
    ProcessEvent(event);
  } catch (...) {
    ReportEscapedException("a posted event");
  }
}

void SoftEventProcessor::AdvanceTimers() {
  try {
    GetTimerQueue().Advance();
  } catch (...) {
    ReportEscapedException("a timer handler");
  }
}

void SoftEventProcessor::Cleanup() {
  if (m_Pool) {
    apr_pool_destroy(m_Pool);
    m_Pool = nullptr;
    m_Thread = nullptr;
    m_Cond = nullptr;
    m_Mutex = nullptr;
  }
  // The thread is gone, so the queue is ours alone.
  while (!m_Queue.empty()) {
    AsyncEvent* event = m_Queue.front();
    m_Queue.pop_front();
    event->Unref();
  }
  m_Waiting = false;
}

void ExitEvent::Process() { m_Processor->ProcessShutdown(); }

}  // namespace Ambrel
