#include "ambrel/Timer.h"

#include <iterator>

#include <apr_time.h>

#include "ambrel/EventProcessor.h"

namespace Ambrel {

int64_t SystemTime() { return apr_time_now(); }

TimerHandler::~TimerHandler() = default;
void TimerHandler::OnTimerStarted(Timer*) {}
void TimerHandler::OnTimerStopped(Timer*) {}

Timer::Timer(TimerHandler* handler, int64_t interval_ms, Type type, LifeTime lifetime)
    : m_Handler(handler), m_Interval(interval_ms), m_Type(type), m_LifeTime(lifetime) {}

Timer::~Timer() = default;

bool Timer::Start(AsyncEventTimerProcessor* processor) {
  if (!processor) return false;
  bool idle = false;
  if (!m_Started.compare_exchange_strong(idle, true, std::memory_order_acq_rel)) return false;
  m_Processor.store(processor, std::memory_order_release);
  if (PostAsyncEvent(processor, new StartTimerEvent(processor, this))) return true;
  // Not posted: the timer is not going anywhere, so it may be started again.
  m_Started.store(false, std::memory_order_release);
  return false;
}

bool Timer::Stop() {
  AsyncEventTimerProcessor* processor = m_Processor.load(std::memory_order_acquire);
  if (!processor) return false;
  bool pending = false;
  if (!m_Stopping.compare_exchange_strong(pending, true, std::memory_order_acq_rel)) return false;
  if (PostAsyncEvent(processor, new StopTimerEvent(processor, this))) return true;
  m_Stopping.store(false, std::memory_order_release);
  return false;
}

TimerQueue::TimerQueue(Clock clock) : m_Clock(std::move(clock)) {}

TimerQueue::~TimerQueue() {
  for (Timer* timer : m_Timers) delete timer;
}

bool TimerQueue::AddTimer(Timer* timer) {
  // A zero or negative interval would make the timer due again at once, and
  // a periodic one would then fire for ever inside one Advance.
  if (!timer || !timer->m_Handler || timer->m_Interval <= 0) return false;
  if (timer->m_Expiry != 0) {
    Unlink(timer);
    // The queue clock restarts when a timer lands in an empty queue.
    if (m_Timers.empty()) m_Elapsed = 0;
  }
  timer->m_Expiry = timer->m_Interval + m_Elapsed;
  InsertTimer(timer);
  timer->m_Handler->OnTimerStarted(timer);
  return true;
}

void TimerQueue::InsertTimer(Timer* timer) {
  if (m_Timers.empty()) {
    m_Timers.push_back(timer);
    m_BaseTime = ReadClock(m_Clock);
    return;
  }
  auto pos = m_Timers.end();
  while (pos != m_Timers.begin() && (*std::prev(pos))->m_Expiry > timer->m_Expiry) --pos;
  m_Timers.insert(pos, timer);
}

void TimerQueue::Unlink(Timer* timer) {
  m_Timers.remove(timer);
  timer->m_Expiry = 0;
}

bool TimerQueue::RemoveTimer(Timer* timer) {
  if (!timer) return false;
  if (timer->m_Expiry != 0) Unlink(timer);
  timer->m_Started.store(false, std::memory_order_release);
  timer->m_Stopping.store(false, std::memory_order_release);
  if (timer->m_Handler) timer->m_Handler->OnTimerStopped(timer);
  if (timer->m_LifeTime == Timer::LIFETIME_AUTO) delete timer;
  if (m_Timers.empty()) m_Elapsed = 0;
  return true;
}

void TimerQueue::Reschedule() {
  for (Timer* timer : m_Timers) {
    timer->m_Expiry = timer->m_Expiry > m_Elapsed ? timer->m_Expiry - m_Elapsed : 0;
  }
  m_Elapsed = 0;
}

bool TimerQueue::Advance() {
  if (m_Timers.empty()) return true;
  const int64_t now = ReadClock(m_Clock);
  if (now < m_BaseTime) return false;
  m_Elapsed += (now - m_BaseTime) / 1000;
  m_BaseTime = now;
  if (m_Elapsed > kMaxElapsed) Reschedule();

  while (!m_Timers.empty() && m_Timers.front()->m_Expiry <= m_Elapsed) {
    Timer* timer = m_Timers.front();
    m_Timers.pop_front();
    timer->m_Expiry = 0;
    if (timer->IsStopping()) {
      // The pending stop event completes it.
    } else if (timer->m_Type == Timer::PERIODIC) {
      timer->m_Handler->OnTimeoutElapsed(timer);
      // Re-armed from the present queue time, so a late tick is not replayed.
      timer->m_Expiry = timer->m_Interval + m_Elapsed;
      InsertTimer(timer);
    } else {
      timer->m_Started.store(false, std::memory_order_release);
      // The handler may start the timer again or delete it.
      timer->m_Handler->OnTimeoutElapsed(timer);
    }
    if (m_Timers.empty()) {
      m_Elapsed = 0;
      break;
    }
  }
  return true;
}

int64_t TimerQueue::GetTimeout() const {
  if (m_Timers.empty()) return 0;
  return m_Timers.front()->m_Expiry - m_Elapsed;
}

StartTimerEvent::StartTimerEvent(AsyncEventTimerProcessor* processor, Timer* timer)
    : m_Processor(processor), m_Timer(timer) {}

void StartTimerEvent::Process() { m_Processor->ProcessStartTimer(m_Timer); }

StopTimerEvent::StopTimerEvent(AsyncEventTimerProcessor* processor, Timer* timer)
    : m_Processor(processor), m_Timer(timer) {}

void StopTimerEvent::Process() { m_Processor->ProcessStopTimer(m_Timer); }

}  // namespace Ambrel
