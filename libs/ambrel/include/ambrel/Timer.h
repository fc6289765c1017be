#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>

#include "ambrel/AsyncEvent.h"
#include "ambrel/Clock.h"

namespace Ambrel {

class AsyncEventTimerProcessor;
class Timer;

// Implemented by timer owners. Every callback runs on the thread of the
// processor the timer was started on, outside the processor's queue mutex,
// so a handler may start and stop timers freely.
class TimerHandler {
 public:
  virtual ~TimerHandler();
  virtual void OnTimerStarted(Timer* timer);
  virtual void OnTimerStopped(Timer* timer);
  virtual void OnTimeoutElapsed(Timer* timer) = 0;
};

// A one-shot or periodic timer that fires on an event processor's thread.
// Start and Stop may be called from any thread: they only post events, and
// the queue work happens on the processor's thread. A LIFETIME_AUTO timer
// deletes itself once its stop has been processed; otherwise its owner
// deletes it, and in both cases it must stay alive until then. A timer still
// queued when its processor is destroyed is deleted with the processor.
class Timer {
 public:
  enum Type { ONE_SHOT = 0, PERIODIC = 1 };
  enum LifeTime {
    LIFETIME_AUTO = 0,  // deletes itself when its stop is processed
    LIFETIME_OWNER = 1
  };

  // handler is not owned. interval_ms must be positive for the timer ever to
  // be queued.
  Timer(TimerHandler* handler, int64_t interval_ms, Type type, LifeTime lifetime);
  virtual ~Timer();

  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  // False when processor is null or the timer is started already; otherwise
  // posts the start to processor and returns whether it was accepted.
  bool Start(AsyncEventTimerProcessor* processor);
  // False when the timer was never started or a stop is pending already;
  // otherwise posts the stop to the processor of the last Start.
  bool Stop();

  TimerHandler* GetHandler() const { return m_Handler; }
  int64_t GetInterval() const { return m_Interval; }
  Type GetType() const { return m_Type; }
  LifeTime GetLifeTime() const { return m_LifeTime; }
  // Milliseconds on the owning queue's clock; 0 while not queued. Read it on
  // the processor's thread.
  int64_t GetExpiry() const { return m_Expiry; }
  bool IsStarted() const { return m_Started.load(std::memory_order_acquire); }
  bool IsStopping() const { return m_Stopping.load(std::memory_order_acquire); }
  AsyncEventTimerProcessor* GetProcessor() const {
    return m_Processor.load(std::memory_order_acquire);
  }

 private:
  friend class TimerQueue;

  TimerHandler* const m_Handler;
  const int64_t m_Interval;
  const Type m_Type;
  const LifeTime m_LifeTime;
  int64_t m_Expiry = 0;  // processor thread only
  std::atomic<AsyncEventTimerProcessor*> m_Processor{nullptr};
  std::atomic<bool> m_Started{false};
  std::atomic<bool> m_Stopping{false};
};

// The timers of one processor, sorted by expiry. Expiries are kept in
// milliseconds relative to a base time that moves with every advance, so the
// event loop can wait exactly until the next expiry. Used on the processor's
// thread only. Owns nothing but the timers still queued at its destruction,
// which it deletes.
class TimerQueue {
 public:
  explicit TimerQueue(Clock clock = Clock());
  ~TimerQueue();

  TimerQueue(const TimerQueue&) = delete;
  TimerQueue& operator=(const TimerQueue&) = delete;

  // Queues timer at its interval from the current queue time (re-queues it
  // when queued already) and tells its handler. False for a null timer, one
  // without handler, or an interval that is not positive.
  bool AddTimer(Timer* timer);
  // Unqueues timer, clears its flags, tells its handler and deletes a
  // LIFETIME_AUTO timer. False for a null timer.
  bool RemoveTimer(Timer* timer);
  // Inserts timer after every timer that expires no later than it.
  void InsertTimer(Timer* timer);
  // Moves every expiry back by the elapsed time and restarts the queue clock.
  void Reschedule();
  // Brings the queue clock to the present and fires every due timer. False
  // when the clock went back behind the last advance.
  bool Advance();
  // Milliseconds from the last advance to the next expiry; 0 when empty.
  int64_t GetTimeout() const;

  bool IsEmpty() const { return m_Timers.empty(); }
  size_t GetTimerCount() const { return m_Timers.size(); }
  int64_t GetElapsed() const { return m_Elapsed; }

 private:
  void Unlink(Timer* timer);

  // The queue clock is rebased once it passes this many milliseconds.
  static constexpr int64_t kMaxElapsed = 0xFFFE;

  std::list<Timer*> m_Timers;  // ascending expiry, ties in insertion order
  int64_t m_Elapsed = 0;       // ms of queue clock at the last advance
  int64_t m_BaseTime = 0;      // APR time of the last advance
  Clock m_Clock;
};

// Posted by Timer::Start; adds the timer to its processor's queue.
class StartTimerEvent : public AsyncEvent {
 public:
  StartTimerEvent(AsyncEventTimerProcessor* processor, Timer* timer);
  void Process() override;

 private:
  AsyncEventTimerProcessor* m_Processor;
  Timer* m_Timer;
};

// Posted by Timer::Stop; removes the timer from its processor's queue.
class StopTimerEvent : public AsyncEvent {
 public:
  StopTimerEvent(AsyncEventTimerProcessor* processor, Timer* timer);
  void Process() override;

 private:
  AsyncEventTimerProcessor* m_Processor;
  Timer* m_Timer;
};

}  // namespace Ambrel
