#include "ambrel/Timer.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ambrel/EventProcessor.h"
#include "ambrel/testing/TestSupport.h"

namespace Ambrel {
namespace {

using Testing::ManualClock;
using Testing::ManualEventProcessor;

class NamedTimer : public Timer {
 public:
  NamedTimer(TimerHandler* handler, std::string name, int64_t interval_ms, Type type,
             LifeTime lifetime, int* deleted)
      : Timer(handler, interval_ms, type, lifetime), m_Name(std::move(name)), m_Deleted(deleted) {}
  ~NamedTimer() override { ++*m_Deleted; }
  const std::string& GetName() const { return m_Name; }

 private:
  std::string m_Name;
  int* m_Deleted;
};

class RecordingHandler : public TimerHandler {
 public:
  void OnTimerStarted(Timer* timer) override { m_Calls.push_back("start:" + NameOf(timer)); }
  void OnTimerStopped(Timer* timer) override { m_Calls.push_back("stop:" + NameOf(timer)); }
  void OnTimeoutElapsed(Timer* timer) override { m_Calls.push_back("fire:" + NameOf(timer)); }

  std::vector<std::string> m_Calls;

 private:
  static std::string NameOf(Timer* timer) { return static_cast<NamedTimer*>(timer)->GetName(); }
};

// Time moves only when a test moves the clock; nothing here sleeps.
class TimerTest : public ::testing::Test {
 protected:
  NamedTimer* MakeTimer(const std::string& name, int64_t interval_ms,
                        Timer::Type type = Timer::ONE_SHOT,
                        Timer::LifeTime lifetime = Timer::LIFETIME_AUTO) {
    return new NamedTimer(&m_Handler, name, interval_ms, type, lifetime, &m_Deleted);
  }
  TimerQueue& Queue() { return m_Processor.GetTimerQueue(); }

  int m_Deleted = 0;
  RecordingHandler m_Handler;
  ManualClock m_Clock;
  ManualEventProcessor m_Processor{m_Clock.AsClock()};
};

TEST_F(TimerTest, EqualExpiriesFireInInsertionOrder) {
  std::vector<std::unique_ptr<Timer>> fired;  // elapsed one-shot timers are the owner's
  for (const char* name : {"a", "b", "c", "early"}) {
    fired.emplace_back(MakeTimer(name, name[0] == 'e' ? 50 : 100));
    ASSERT_TRUE(Queue().AddTimer(fired.back().get()));
  }
  EXPECT_EQ(Queue().GetTimeout(), 50);
  m_Clock.AdvanceMs(100);
  m_Handler.m_Calls.clear();
  ASSERT_TRUE(Queue().Advance());
  EXPECT_EQ(m_Handler.m_Calls,
            (std::vector<std::string>{"fire:early", "fire:a", "fire:b", "fire:c"}));
  EXPECT_TRUE(Queue().IsEmpty());
  EXPECT_EQ(Queue().GetTimeout(), 0);
  EXPECT_EQ(m_Deleted, 0);
}

TEST_F(TimerTest, LatePeriodicTickFiresOnceAndRearmsFromThen) {
  NamedTimer* timer = MakeTimer("p", 1000, Timer::PERIODIC);
  ASSERT_TRUE(timer->Start(&m_Processor));
  m_Processor.RunPendingEvents();
  m_Clock.AdvanceMs(3500);  // the tick is processed 2500 ms late
  ASSERT_TRUE(Queue().Advance());
  EXPECT_EQ(m_Handler.m_Calls, (std::vector<std::string>{"start:p", "fire:p"}));
  EXPECT_EQ(Queue().GetTimeout(), 1000);
  m_Clock.AdvanceMs(999);
  Queue().Advance();
  EXPECT_EQ(m_Handler.m_Calls.size(), 2u);
  m_Clock.AdvanceMs(1);
  Queue().Advance();
  EXPECT_EQ(m_Handler.m_Calls.back(), "fire:p");
  EXPECT_EQ(m_Handler.m_Calls.size(), 3u);
  EXPECT_TRUE(timer->IsStarted());
}

TEST_F(TimerTest, StopBeforeExpirySkipsTimerAndDeletesAutoTimer) {
  NamedTimer* timer = MakeTimer("t", 100);
  EXPECT_FALSE(timer->Stop());  // never started
  ASSERT_TRUE(timer->Start(&m_Processor));
  m_Processor.RunPendingEvents();
  m_Clock.AdvanceMs(150);
  ASSERT_TRUE(timer->Stop());
  EXPECT_FALSE(timer->Stop());  // a stop is pending already
  // Due, but its stop is pending: it must not fire.
  Queue().Advance();
  EXPECT_EQ(m_Deleted, 0);
  m_Processor.RunPendingEvents();
  EXPECT_EQ(m_Handler.m_Calls, (std::vector<std::string>{"start:t", "stop:t"}));
  EXPECT_EQ(m_Deleted, 1);
  EXPECT_TRUE(Queue().IsEmpty());
}

TEST_F(TimerTest, OwnerTimerSurvivesStopAndStartsAgain) {
  NamedTimer* timer = MakeTimer("o", 100, Timer::ONE_SHOT, Timer::LIFETIME_OWNER);
  EXPECT_FALSE(timer->Start(nullptr));
  ASSERT_TRUE(timer->Start(&m_Processor));
  EXPECT_FALSE(timer->Start(&m_Processor));  // a second start is refused
  m_Processor.RunPendingEvents();
  ASSERT_TRUE(timer->Stop());
  m_Processor.RunPendingEvents();
  EXPECT_FALSE(timer->IsStarted());
  EXPECT_EQ(m_Deleted, 0);

  ASSERT_TRUE(timer->Start(&m_Processor));
  m_Processor.RunPendingEvents();
  m_Clock.AdvanceMs(100);
  Queue().Advance();
  // A fired one-shot timer is idle again and may be restarted.
  EXPECT_FALSE(timer->IsStarted());
  EXPECT_EQ(m_Handler.m_Calls.back(), "fire:o");
  EXPECT_TRUE(timer->Start(&m_Processor));
  m_Processor.RunPendingEvents();
  timer->Stop();
  m_Processor.RunPendingEvents();
  delete timer;
}

TEST_F(TimerTest, RefusedPostLeavesTimerStartable) {
  NamedTimer* timer = MakeTimer("r", 100);
  m_Processor.SetRefusing(true);
  EXPECT_FALSE(timer->Start(&m_Processor));
  EXPECT_FALSE(timer->IsStarted());
  m_Processor.SetRefusing(false);
  EXPECT_TRUE(timer->Start(&m_Processor));
  m_Processor.RunPendingEvents();
  EXPECT_EQ(Queue().GetTimerCount(), 1u);
}

TEST_F(TimerTest, NonPositiveIntervalIsNeverQueued) {
  // A negative periodic timer would otherwise be due again as soon as it is
  // re-armed and fire for ever inside one Advance.
  NamedTimer* zero = MakeTimer("zero", 0);
  NamedTimer* negative = MakeTimer("negative", -5, Timer::PERIODIC);
  EXPECT_TRUE(zero->Start(&m_Processor));
  EXPECT_TRUE(negative->Start(&m_Processor));
  m_Processor.RunPendingEvents();
  EXPECT_TRUE(Queue().IsEmpty());
  EXPECT_FALSE(Queue().AddTimer(negative));
  m_Clock.AdvanceMs(1000);
  EXPECT_TRUE(Queue().Advance());
  EXPECT_TRUE(m_Handler.m_Calls.empty());
  // Stopping still releases them.
  zero->Stop();
  negative->Stop();
  m_Processor.RunPendingEvents();
  EXPECT_EQ(m_Deleted, 2);
}

TEST_F(TimerTest, RebaseKeepsOrderAndRemainingTime) {
  std::unique_ptr<Timer> a(MakeTimer("a", 70000));
  std::unique_ptr<Timer> b(MakeTimer("b", 100000));
  std::unique_ptr<Timer> c(MakeTimer("c", 65600));
  for (Timer* timer : {a.get(), b.get(), c.get()}) ASSERT_TRUE(Queue().AddTimer(timer));
  m_Handler.m_Calls.clear();
  m_Clock.AdvanceMs(65535);
  ASSERT_TRUE(Queue().Advance());
  EXPECT_EQ(Queue().GetElapsed(), 0);
  EXPECT_EQ(Queue().GetTimeout(), 65);
  m_Clock.AdvanceMs(65);
  Queue().Advance();
  EXPECT_EQ(Queue().GetTimeout(), 4400);
  m_Clock.AdvanceMs(4399);
  Queue().Advance();
  EXPECT_EQ(m_Handler.m_Calls, (std::vector<std::string>{"fire:c"}));
  m_Clock.AdvanceMs(1);
  Queue().Advance();
  EXPECT_EQ(Queue().GetTimeout(), 30000);
  m_Clock.AdvanceMs(30000);
  Queue().Advance();
  EXPECT_EQ(m_Handler.m_Calls, (std::vector<std::string>{"fire:c", "fire:a", "fire:b"}));
  EXPECT_TRUE(Queue().IsEmpty());
}

TEST_F(TimerTest, ClockGoingBackFiresNothing) {
  NamedTimer* timer = MakeTimer("t", 10, Timer::ONE_SHOT, Timer::LIFETIME_OWNER);
  ASSERT_TRUE(Queue().AddTimer(timer));
  m_Clock.AdvanceMs(-1000);
  EXPECT_FALSE(Queue().Advance());
  EXPECT_EQ(Queue().GetTimerCount(), 1u);
  Queue().RemoveTimer(timer);
  delete timer;
}

TEST_F(TimerTest, DestroyedQueueDeletesQueuedTimers) {
  {
    TimerQueue queue(m_Clock.AsClock());
    queue.AddTimer(MakeTimer("a", 100, Timer::PERIODIC, Timer::LIFETIME_OWNER));
    queue.AddTimer(MakeTimer("b", 200));
  }
  EXPECT_EQ(m_Deleted, 2);
}

}  // namespace
}  // namespace Ambrel
