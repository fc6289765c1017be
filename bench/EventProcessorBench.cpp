// Post-to-process throughput and latency of the framework's event processor,
// measured in the same run against a plain mutex + condition-variable queue
// that runs the same events, so the ratio says what the processor's own
// machinery costs.

#include <apr_general.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "ambrel/EventProcessor.h"

namespace {

using Ambrel::AsyncEvent;
using Ambrel::AsyncEventProcessor;
using Ambrel::SoftEventProcessor;
using SteadyClock = std::chrono::steady_clock;

// The plain queue: one consumer thread, notify on every post.
class PlainQueue : public AsyncEventProcessor {
 public:
  PlainQueue() : m_Thread([this] { Run(); }) {}
  ~PlainQueue() override {
    {
      std::lock_guard<std::mutex> lock(m_Mutex);
      m_Stop = true;
    }
    m_Cond.notify_one();
    m_Thread.join();
    for (AsyncEvent* event : m_Queue) event->Unref();
  }

  bool PostEvent(AsyncEvent* event) override {
    {
      std::lock_guard<std::mutex> lock(m_Mutex);
      m_Queue.push_back(event);
    }
    m_Cond.notify_one();
    return true;
  }

 private:
  void Run() {
    for (;;) {
      std::unique_lock<std::mutex> lock(m_Mutex);
      m_Cond.wait(lock, [this] { return m_Stop || !m_Queue.empty(); });
      if (m_Stop) return;
      AsyncEvent* event = m_Queue.front();
      m_Queue.pop_front();
      lock.unlock();
      ProcessEvent(event);
    }
  }

  std::mutex m_Mutex;
  std::condition_variable m_Cond;
  std::deque<AsyncEvent*> m_Queue;
  bool m_Stop = false;
  std::thread m_Thread;
};

// Counts itself as processed; with a latency sink, records how long it
// waited between its post and its processing.
class CountEvent : public AsyncEvent {
 public:
  CountEvent(std::atomic<uint64_t>* processed, std::vector<double>* latencies_ns)
      : m_Processed(processed), m_Latencies(latencies_ns), m_Posted(SteadyClock::now()) {}
  void Process() override {
    if (m_Latencies) {
      m_Latencies->push_back(
          std::chrono::duration<double, std::nano>(SteadyClock::now() - m_Posted).count());
    }
    m_Processed->fetch_add(1, std::memory_order_release);
  }

 private:
  std::atomic<uint64_t>* m_Processed;
  std::vector<double>* m_Latencies;
  SteadyClock::time_point m_Posted;
};

// Owns a started SoftEventProcessor for one benchmark run.
struct SoftProcessorFixture {
  SoftProcessorFixture() { m_Processor.Start(); }
  ~SoftProcessorFixture() { m_Processor.Shutdown(true); }
  AsyncEventProcessor* Get() { return &m_Processor; }
  SoftEventProcessor m_Processor;
};

struct PlainQueueFixture {
  AsyncEventProcessor* Get() { return &m_Queue; }
  PlainQueue m_Queue;
};

void WaitProcessed(const std::atomic<uint64_t>& processed, uint64_t target) {
  while (processed.load(std::memory_order_acquire) < target) std::this_thread::yield();
}

// Everything one queue did over all the runs of the program.
struct Results {
  uint64_t m_Events = 0;  // throughput runs
  double m_Seconds = 0;
  std::vector<double> m_Latencies;  // latency runs, post to process, ns

  double Throughput() const { return m_Seconds > 0 ? m_Events / m_Seconds : 0; }
  double Percentile(int percent) {
    if (m_Latencies.empty()) return 0;
    auto nth = m_Latencies.begin() + (m_Latencies.size() - 1) * percent / 100;
    std::nth_element(m_Latencies.begin(), nth, m_Latencies.end());
    return *nth;
  }
};
Results g_Soft;
Results g_Plain;

Results& ResultsFor(const SoftProcessorFixture*) { return g_Soft; }
Results& ResultsFor(const PlainQueueFixture*) { return g_Plain; }

constexpr uint64_t kBatch = 100000;

// One producer posts a batch of events; the iteration ends when the
// consumer has processed all of them.
template <class Fixture>
void BM_Throughput(benchmark::State& state) {
  Fixture fixture;
  AsyncEventProcessor* processor = fixture.Get();
  std::atomic<uint64_t> processed{0};
  uint64_t posted = 0;
  const auto start = SteadyClock::now();
  for (auto _ : state) {
    for (uint64_t i = 0; i < kBatch; ++i) {
      Ambrel::PostAsyncEvent(processor, new CountEvent(&processed, nullptr));
    }
    posted += kBatch;
    WaitProcessed(processed, posted);
  }
  const double seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
  state.SetItemsProcessed(static_cast<int64_t>(posted));
  ResultsFor(&fixture).m_Events += posted;
  ResultsFor(&fixture).m_Seconds += seconds;
}

// One event at a time into an idle consumer: the wake-up path.
template <class Fixture>
void BM_Latency(benchmark::State& state) {
  Fixture fixture;
  AsyncEventProcessor* processor = fixture.Get();
  std::atomic<uint64_t> processed{0};
  std::vector<double> latencies;
  latencies.reserve(1 << 20);
  uint64_t posted = 0;
  for (auto _ : state) {
    Ambrel::PostAsyncEvent(processor, new CountEvent(&processed, &latencies));
    WaitProcessed(processed, ++posted);
  }
  std::vector<double>& all = ResultsFor(&fixture).m_Latencies;
  all.insert(all.end(), latencies.begin(), latencies.end());
}

// The two queues take turns, round after round, so that a change of load on
// the machine during the run weighs on both alike.
void RegisterBenchmarks(int rounds) {
  for (int round = 0; round < rounds; ++round) {
    benchmark::RegisterBenchmark("Throughput/SoftEventProcessor",
                                 BM_Throughput<SoftProcessorFixture>)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("Throughput/PlainQueue", BM_Throughput<PlainQueueFixture>)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
  }
  for (int round = 0; round < rounds; ++round) {
    benchmark::RegisterBenchmark("Latency/SoftEventProcessor", BM_Latency<SoftProcessorFixture>)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("Latency/PlainQueue", BM_Latency<PlainQueueFixture>)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
  }
}

constexpr int kRounds = 4;

}  // namespace

int main(int argc, char** argv) {
  apr_initialize();
  RegisterBenchmarks(kRounds);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (g_Soft.Throughput() > 0 && g_Plain.Throughput() > 0) {
    std::printf("\nThroughput: SoftEventProcessor %.0f events/s, plain queue %.0f events/s, "
                "ratio %.2f\n",
                g_Soft.Throughput(), g_Plain.Throughput(), g_Soft.Throughput() / g_Plain.Throughput());
  }
  if (!g_Soft.m_Latencies.empty() && !g_Plain.m_Latencies.empty()) {
    std::printf("Latency p50/p99: SoftEventProcessor %.1f/%.1f us, plain queue %.1f/%.1f us\n",
                g_Soft.Percentile(50) / 1000, g_Soft.Percentile(99) / 1000,
                g_Plain.Percentile(50) / 1000, g_Plain.Percentile(99) / 1000);
  }
  apr_terminate();
  return 0;
}
