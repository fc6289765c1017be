#pragma once

#include <deque>
#include <vector>

#include <apr_pools.h>
#include <apr_thread_cond.h>
#include <apr_thread_mutex.h>
#include <apr_thread_proc.h>

#include "ambrel/AsyncEvent.h"
#include "ambrel/Clock.h"
#include "ambrel/Timer.h"

namespace Ambrel {

// An event processor that also runs timers. Owns its TimerQueue; the timers
// still queued when the processor is destroyed are deleted with it. The
// Process*Timer operations and the queue run on the processor's thread.
class AsyncEventTimerProcessor : public AsyncEventProcessor {
 public:
  // clock feeds the timer queue; empty means the system clock.
  explicit AsyncEventTimerProcessor(Clock clock = Clock());
  ~AsyncEventTimerProcessor() override;

  virtual void ProcessStartTimer(Timer* timer);
  virtual void ProcessStopTimer(Timer* timer);

  TimerQueue& GetTimerQueue() { return m_TimerQueue; }

 private:
  TimerQueue m_TimerQueue;
};

// One thread running a FIFO of posted events one at a time, interleaved with
// the expiry of its timers. Any thread may post; Start, Shutdown and
// WaitForShutdown belong to the owner's thread, and the owner calls
// Shutdown(true) before deleting the processor. Observers are not owned and
// are added before Start; their callbacks run on the processor's thread.
class SoftEventProcessor : public AsyncEventTimerProcessor {
 public:
  // Told when a processor's thread starts and stops, on that thread.
  class Observer {
   public:
    virtual ~Observer();
    // False ends the thread before it runs any event.
    virtual bool OnStart(SoftEventProcessor* processor);
    virtual void OnShutdown(SoftEventProcessor* processor);
  };

  explicit SoftEventProcessor(Clock clock = Clock());
  ~SoftEventProcessor() override;

  // Appends the event to the queue and wakes the loop when it waits. False
  // (and the event not taken) when the processor has not been started or has
  // been waited for.
  bool PostEvent(AsyncEvent* event) override;

  // Starts the thread. False when it cannot be started or runs already; a
  // failed start leaves the processor cleaned up and reusable.
  virtual bool Start();
  // Posts the exit event behind every pending event and, with wait, waits
  // for the thread to end. False when no thread was started.
  virtual bool Shutdown(bool wait);
  // Joins the thread and releases the events that were never run. False
  // when called on the processor's own thread.
  virtual bool WaitForShutdown();
  // Ends the loop after the current event; processor thread only.
  virtual void ProcessShutdown();
  // Calls the observers' OnStart in order until one fails.
  virtual bool OnStart();
  // Calls every observer's OnShutdown in order.
  virtual void OnShutdown();

  void AddObserver(Observer* observer);
  bool IsProcessorThread() const;

 private:
  static void* APR_THREAD_FUNC ThreadMain(apr_thread_t* thread, void* data);
  void RunEventLoop();
  void DispatchEvent(AsyncEvent* event);
  void AdvanceTimers();
  void Cleanup();

  // The timer queue is advanced after this many events in a row, so that a
  // steady stream of events cannot starve the timers.
  static constexpr unsigned kEventsPerTimerCheck = 10;

  apr_pool_t* m_Pool = nullptr;  // owner's thread; holds the three below
  apr_thread_t* m_Thread = nullptr;
  apr_thread_cond_t* m_Cond = nullptr;
  apr_thread_mutex_t* m_Mutex = nullptr;
  std::deque<AsyncEvent*> m_Queue;  // guarded by m_Mutex
  bool m_Waiting = false;           // guarded by m_Mutex
  bool m_Running = false;           // processor thread only
  std::vector<Observer*> m_Observers;
};

// Stops a SoftEventProcessor's loop; posted by Shutdown behind every event
// already queued, so it is the last event the loop runs.
class ExitEvent : public AsyncEvent {
 public:
  explicit ExitEvent(SoftEventProcessor* processor) : m_Processor(processor) {}
  void Process() override;

 private:
  SoftEventProcessor* m_Processor;
};

}  // namespace Ambrel
