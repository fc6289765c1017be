#include "ambrel/EventProcessor.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "ambrel/testing/TestSupport.h"

// The framework is linked into this program, so these two stand in front of
// libapr's own for its calls: a wait tells which mutex guards a condition,
// and a wake-up is checked for that mutex being held while it is sent.
namespace {

struct WakeUps {
  std::mutex mutex;
  std::map<apr_thread_cond_t*, apr_thread_mutex_t*> guards;  // under mutex
  std::atomic<int> waits{0};
  std::atomic<int> sent{0};
  std::atomic<int> sent_unguarded{0};
};

WakeUps& GetWakeUps() {
  static WakeUps wake_ups;
  return wake_ups;
}

template <typename Function>
Function* Real(const char* name) {
  return reinterpret_cast<Function*>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" apr_status_t apr_thread_cond_wait(apr_thread_cond_t* cond, apr_thread_mutex_t* mutex) {
  static auto* real = Real<apr_status_t(apr_thread_cond_t*, apr_thread_mutex_t*)>(
      "apr_thread_cond_wait");
  WakeUps& wake_ups = GetWakeUps();
  {
    std::lock_guard<std::mutex> lock(wake_ups.mutex);
    wake_ups.guards[cond] = mutex;
  }
  ++wake_ups.waits;
  return real(cond, mutex);
}

extern "C" apr_status_t apr_thread_cond_signal(apr_thread_cond_t* cond) {
  static auto* real = Real<apr_status_t(apr_thread_cond_t*)>("apr_thread_cond_signal");
  WakeUps& wake_ups = GetWakeUps();
  apr_thread_mutex_t* guard = nullptr;
  {
    std::lock_guard<std::mutex> lock(wake_ups.mutex);
    auto it = wake_ups.guards.find(cond);
    if (it != wake_ups.guards.end()) guard = it->second;
  }
  if (guard) {
    ++wake_ups.sent;
    // The mutex is not recursive: a poster that holds it cannot take it again.
    if (apr_thread_mutex_trylock(guard) == APR_SUCCESS) {
      ++wake_ups.sent_unguarded;
      apr_thread_mutex_unlock(guard);
    }
  }
  return real(cond);
}

namespace Ambrel {
namespace {

using Testing::AprScope;
using Testing::ManualClock;
using Testing::WaitFor;

// What ran, in order, from whichever thread.
class Journal {
 public:
  void Add(const std::string& entry) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Entries.push_back(entry);
  }
  std::vector<std::string> Get() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Entries;
  }
  size_t Count(const std::string& entry) const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    size_t count = 0;
    for (const auto& e : m_Entries) count += e == entry;
    return count;
  }

 private:
  mutable std::mutex m_Mutex;
  std::vector<std::string> m_Entries;
};

class RecordingEvent : public AsyncEvent {
 public:
  RecordingEvent(Journal* journal, std::string name, std::atomic<int>* deleted)
      : m_Journal(journal), m_Name(std::move(name)), m_Deleted(deleted) {}
  ~RecordingEvent() override { ++*m_Deleted; }
  void Process() override { m_Journal->Add(m_Name); }

 private:
  Journal* m_Journal;
  std::string m_Name;
  std::atomic<int>* m_Deleted;
};

// Holds the processor's thread inside Process until the test opens it.
class Gate {
 public:
  void Enter() {
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_Entered = true;
    m_Cond.notify_all();
    m_Cond.wait_for(lock, std::chrono::seconds(10), [this] { return m_Open; });
  }
  bool WaitEntered() {
    std::unique_lock<std::mutex> lock(m_Mutex);
    return m_Cond.wait_for(lock, std::chrono::seconds(5), [this] { return m_Entered; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Open = true;
    m_Cond.notify_all();
  }

 private:
  std::mutex m_Mutex;
  std::condition_variable m_Cond;
  bool m_Entered = false;
  bool m_Open = false;
};

class GateEvent : public AsyncEvent {
 public:
  explicit GateEvent(Gate* gate) : m_Gate(gate) {}
  void Process() override { m_Gate->Enter(); }

 private:
  Gate* m_Gate;
};

class RecordingObserver : public SoftEventProcessor::Observer {
 public:
  RecordingObserver(Journal* journal, std::string name, bool start_result = true)
      : m_Journal(journal), m_Name(std::move(name)), m_StartResult(start_result) {}
  bool OnStart(SoftEventProcessor* processor) override {
    m_Journal->Add(m_Name + ".start" + (processor->IsProcessorThread() ? "@loop" : "@other"));
    return m_StartResult;
  }
  void OnShutdown(SoftEventProcessor* processor) override {
    m_Journal->Add(m_Name + ".stop" + (processor->IsProcessorThread() ? "@loop" : "@other"));
  }

 private:
  Journal* m_Journal;
  std::string m_Name;
  bool m_StartResult;
};

class EventProcessorTest : public ::testing::Test {
 protected:
  void Post(SoftEventProcessor& processor, const std::string& name) {
    PostAsyncEvent(&processor, new RecordingEvent(&m_Journal, name, &m_Deleted));
  }

  AprScope m_Apr;
  Journal m_Journal;
  std::atomic<int> m_Deleted{0};
};

TEST_F(EventProcessorTest, NeverStartedProcessorRefusesShutdownAndPosts) {
  SoftEventProcessor processor;
  EXPECT_FALSE(processor.Shutdown(false));
  // A refused post releases the poster's reference instead of leaking it.
  EXPECT_FALSE(PostAsyncEvent(&processor, new RecordingEvent(&m_Journal, "x", &m_Deleted)));
  EXPECT_EQ(m_Deleted.load(), 1);
  EXPECT_FALSE(PostAsyncEvent(nullptr, new RecordingEvent(&m_Journal, "y", &m_Deleted)));
  EXPECT_EQ(m_Deleted.load(), 2);
  EXPECT_TRUE(m_Journal.Get().empty());
}

TEST_F(EventProcessorTest, UnrefOfUnreferencedEventLeavesItAlone) {
  RecordingEvent event(&m_Journal, "stack", &m_Deleted);
  event.Unref();
  EXPECT_EQ(event.GetRefCount(), 0u);
  event.Ref();
  event.Ref();
  event.Unref();
  EXPECT_EQ(event.GetRefCount(), 1u);
  EXPECT_EQ(m_Deleted.load(), 0);
}

TEST_F(EventProcessorTest, ExitEventRunsAfterEarlierEventsAndReleasesLaterOnes) {
  SoftEventProcessor processor;
  ASSERT_TRUE(processor.Start());
  EXPECT_FALSE(processor.Start());
  Gate gate;
  ASSERT_TRUE(PostAsyncEvent(&processor, new GateEvent(&gate)));
  ASSERT_TRUE(gate.WaitEntered());
  for (int i = 1; i <= 5; ++i) Post(processor, "e" + std::to_string(i));
  ASSERT_TRUE(processor.Shutdown(false));
  Post(processor, "late1");
  Post(processor, "late2");
  gate.Open();
  ASSERT_TRUE(processor.WaitForShutdown());

  EXPECT_EQ(m_Journal.Get(), (std::vector<std::string>{"e1", "e2", "e3", "e4", "e5"}));
  // Every event was released, the two behind the exit event without running.
  EXPECT_EQ(m_Deleted.load(), 7);
  EXPECT_FALSE(processor.Shutdown(false));
}

TEST_F(EventProcessorTest, PostWakesBlockedLoop) {
  SoftEventProcessor processor;
  ASSERT_TRUE(processor.Start());
  Post(processor, "first");
  ASSERT_TRUE(WaitFor([&] { return m_Journal.Count("first") == 1; }));
  // The loop has no timer, so it now waits without limit until signalled.
  Post(processor, "second");
  EXPECT_TRUE(WaitFor([&] { return m_Journal.Count("second") == 1; }));
  processor.Shutdown(true);
}

TEST_F(EventProcessorTest, WakeUpIsSentBeforeThePostedEventCanBeTaken) {
  // An owner may shut the processor down and free it as soon as the event it
  // waited for has run. A poster that let go of the queue before it woke the
  // loop would by then signal a condition freed with the processor's pool.
  WakeUps& wake_ups = GetWakeUps();
  wake_ups.sent = 0;
  wake_ups.sent_unguarded = 0;
  int idle = wake_ups.waits.load();
  SoftEventProcessor processor;
  ASSERT_TRUE(processor.Start());
  for (const char* name : {"first", "second", "third"}) {
    // The loop has no timer: once idle it waits without limit until it is
    // signalled, once after the start and once after each event.
    ++idle;
    ASSERT_TRUE(WaitFor([&] { return wake_ups.waits.load() >= idle; }));
    Post(processor, name);
    ASSERT_TRUE(WaitFor([&] { return m_Journal.Count(name) == 1; }));
  }
  processor.Shutdown(true);
  EXPECT_GE(wake_ups.sent.load(), 3);
  EXPECT_EQ(0, wake_ups.sent_unguarded.load()) << "of " << wake_ups.sent.load() << " wake-ups";
}

TEST_F(EventProcessorTest, FailedObserverStartEndsThreadBeforeAnyEvent) {
  SoftEventProcessor processor;
  RecordingObserver refusing(&m_Journal, "a", false);
  RecordingObserver later(&m_Journal, "b");
  processor.AddObserver(&refusing);
  processor.AddObserver(&later);
  ASSERT_TRUE(processor.Start());
  Post(processor, "e1");
  Post(processor, "e2");
  ASSERT_TRUE(processor.Shutdown(true));

  // The walk stopped at the first refusal and no shutdown callback ran.
  EXPECT_EQ(m_Journal.Get(), (std::vector<std::string>{"a.start@loop"}));
  EXPECT_EQ(m_Deleted.load(), 2);
}

TEST_F(EventProcessorTest, ObserversAreToldOnProcessorThreadInOrder) {
  SoftEventProcessor processor;
  RecordingObserver first(&m_Journal, "a");
  RecordingObserver second(&m_Journal, "b");
  processor.AddObserver(&first);
  processor.AddObserver(&second);
  EXPECT_FALSE(processor.IsProcessorThread());
  ASSERT_TRUE(processor.Start());
  Post(processor, "e");
  ASSERT_TRUE(processor.Shutdown(true));
  EXPECT_EQ(m_Journal.Get(), (std::vector<std::string>{"a.start@loop", "b.start@loop", "e",
                                                       "a.stop@loop", "b.stop@loop"}));
}

TEST_F(EventProcessorTest, RestartsAfterShutdown) {
  SoftEventProcessor processor;
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(processor.Start());
    Post(processor, "e");
    ASSERT_TRUE(processor.Shutdown(true));
  }
  EXPECT_EQ(m_Journal.Count("e"), 2u);
}

TEST_F(EventProcessorTest, DestroyingRunningProcessorStopsItsThread) {
  auto processor = std::make_unique<SoftEventProcessor>();
  ASSERT_TRUE(processor->Start());
  for (int i = 0; i < 100; ++i) Post(*processor, "e");
  processor.reset();
  EXPECT_EQ(m_Deleted.load(), 100);
}

class FlagHandler : public TimerHandler {
 public:
  explicit FlagHandler(Journal* journal) : m_Journal(journal) {}
  void OnTimeoutElapsed(Timer*) override { m_Journal->Add("T"); }

 private:
  Journal* m_Journal;
};

TEST_F(EventProcessorTest, TimerWakesIdleLoopWhenDue) {
  SoftEventProcessor processor;
  ASSERT_TRUE(processor.Start());
  FlagHandler handler(&m_Journal);
  Timer timer(&handler, 50, Timer::ONE_SHOT, Timer::LIFETIME_OWNER);
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(timer.Start(&processor));
  ASSERT_TRUE(WaitFor([&] { return m_Journal.Count("T") == 1; }));
  const auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_GE(waited, std::chrono::milliseconds(40));
  EXPECT_FALSE(timer.IsStarted());
  processor.Shutdown(true);
}

// Moves the processor's clock from inside the event stream.
class ClockJumpEvent : public AsyncEvent {
 public:
  ClockJumpEvent(ManualClock* clock, int64_t ms) : m_Clock(clock), m_Ms(ms) {}
  void Process() override { m_Clock->AdvanceMs(m_Ms); }

 private:
  ManualClock* m_Clock;
  int64_t m_Ms;
};

TEST_F(EventProcessorTest, TimersAdvanceDuringEventFlood) {
  ManualClock clock;
  SoftEventProcessor processor(clock.AsClock());
  ASSERT_TRUE(processor.Start());
  Gate gate;
  PostAsyncEvent(&processor, new GateEvent(&gate));
  ASSERT_TRUE(gate.WaitEntered());
  FlagHandler handler(&m_Journal);
  auto* timer = new Timer(&handler, 10, Timer::PERIODIC, Timer::LIFETIME_AUTO);
  ASSERT_TRUE(timer->Start(&processor));
  PostAsyncEvent(&processor, new ClockJumpEvent(&clock, 1000));
  const int kFlood = 30;
  for (int i = 0; i < kFlood; ++i) Post(processor, "e");
  gate.Open();
  ASSERT_TRUE(WaitFor([&] { return m_Journal.Count("e") == kFlood; }));
  processor.Shutdown(true);

  const auto entries = m_Journal.Get();
  size_t before_timer = 0;
  while (before_timer < entries.size() && entries[before_timer] != "T") ++before_timer;
  // The tick was due all along but the queue never ran dry: it still fired
  // within about ten events, and only once, since missed ticks are not replayed.
  EXPECT_LE(before_timer, 11u);
  EXPECT_EQ(m_Journal.Count("T"), 1u);
}

}  // namespace
}  // namespace Ambrel
