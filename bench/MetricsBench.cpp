// What counting costs a SPEAK: everything the channel counts for one SPEAK
// of one synthesis call (acceptance, the cache miss, the call's start with
// its 100 characters, its completion with the latency histogram, the first
// audio, the end with its cause), and apart from it what the media thread
// adds per 20 ms frame, each against the same steps on plain integers (the
// baseline: what the figures would cost without atomics). Also the SPEAK
// with two threads counting at once, and the metrics file's rendering,
// which runs on the refresh timer only.
//
// Output: the usual table, then the thread CPU time (the machine may be
// shared; CPU time is what counting takes from it) per SPEAK and per frame
// of both, the median of 5 rounds, a 3 s SPEAK (150 frames) in all, and the
// target: at most 1 us of counting per SPEAK.

#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "EngineMetrics.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kFramesPerSpeak = 150;
constexpr double kTargetNsPerSpeak = 1000.0;

const std::string& Prompt() {
  static const std::string prompt(100, 'a');
  return prompt;
}

VXS::EngineMetrics& SharedMetrics() {
  static VXS::EngineMetrics metrics;
  return metrics;
}

inline void CountOneSpeak(VXS::EngineMetrics& metrics, VXS::SpeakMetrics& speak) {
  speak.Accepted();
  metrics.CountCacheMiss();
  speak.CallStarted();
  metrics.CountCharacters(Prompt());
  speak.CallFinished(metrics, 0);
  speak.FirstAudio(metrics);
  speak.Ended(metrics, 0, 0);
}

// The same steps on plain integers: two clock reads, the bucket search, the
// character count and the additions, without an atomic instruction.
struct PlainFigures {
  uint64_t misses = 0, characters = 0, calls = 0, bytes = 0, speaks = 0, first = 0;
  uint64_t buckets[VXS::DurationHistogram::kBucketCount] = {};
  uint64_t sum = 0;
};

inline void Observe(PlainFigures& figures, Clock::duration duration) {
  const uint64_t us = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(duration).count());
  size_t bucket = 0;
  while (bucket < VXS::DurationHistogram::kBucketCount - 1 &&
         us > VXS::DurationHistogram::kBoundsUs[bucket]) {
    ++bucket;
  }
  ++figures.buckets[bucket];
  figures.sum += us;
}

inline void CountOneSpeakPlain(PlainFigures& figures) {
  const Clock::time_point accepted = Clock::now();
  ++figures.misses;
  const Clock::time_point call = Clock::now();
  figures.characters += VXS::EngineMetrics::CountCodePoints(Prompt());
  ++figures.calls;
  Observe(figures, Clock::now() - call);
  Observe(figures, Clock::now() - accepted);
  ++figures.speaks;
}

void BM_SpeakCounting(benchmark::State& state) {
  VXS::SpeakMetrics speak;
  for (auto _ : state) CountOneSpeak(SharedMetrics(), speak);
}
BENCHMARK(BM_SpeakCounting);
// Two channels' threads counting into the same figures at once.
BENCHMARK(BM_SpeakCounting)->Threads(2);

void BM_SpeakCountingPlain(benchmark::State& state) {
  PlainFigures figures;
  for (auto _ : state) {
    CountOneSpeakPlain(figures);
    benchmark::DoNotOptimize(figures);
  }
}
BENCHMARK(BM_SpeakCountingPlain);

void BM_FrameCounting(benchmark::State& state) {
  for (auto _ : state) SharedMetrics().AddAudioBytes(320);
}
BENCHMARK(BM_FrameCounting);
BENCHMARK(BM_FrameCounting)->Threads(2);

void BM_RenderMetricsFile(benchmark::State& state) {
  VXS::EngineMetrics::Gauges gauges;
  gauges.m_ChannelsInUse = 100;
  for (auto _ : state) {
    std::string text = SharedMetrics().Render(gauges);
    benchmark::DoNotOptimize(text);
  }
}
BENCHMARK(BM_RenderMetricsFile)->Unit(benchmark::kMicrosecond);

double ThreadCpuNs() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

// CPU ns per step: the median of five timed rounds.
template <class Step>
double MedianNsPerStep(int steps, Step step) {
  std::vector<double> rounds;
  for (int round = 0; round < 5; ++round) {
    const double start = ThreadCpuNs();
    for (int i = 0; i < steps; ++i) step();
    rounds.push_back((ThreadCpuNs() - start) / steps);
  }
  std::sort(rounds.begin(), rounds.end());
  return rounds[rounds.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  VXS::EngineMetrics metrics;
  VXS::SpeakMetrics speak;
  PlainFigures figures;
  const double counted = MedianNsPerStep(200000, [&] { CountOneSpeak(metrics, speak); });
  const double plain = MedianNsPerStep(200000, [&] {
    CountOneSpeakPlain(figures);
    benchmark::DoNotOptimize(figures);
  });
  const double frame = MedianNsPerStep(2000000, [&] { metrics.AddAudioBytes(320); });
  const double frame_plain = MedianNsPerStep(2000000, [&] {
    figures.bytes += 320;
    benchmark::ClobberMemory();
  });
  const double whole = counted + kFramesPerSpeak * frame;
  printf("\nCounting, thread CPU time, median of 5 rounds\n");
  printf("%-40s %10s\n", "measure", "value");
  printf("%-40s %7.1f ns\n", "per SPEAK, atomics", counted);
  printf("%-40s %7.1f ns\n", "per SPEAK, plain integers (baseline)", plain);
  if (plain > 0) printf("%-40s %9.1fx\n", "ratio atomics / plain", counted / plain);
  printf("%-40s %7.1f ns\n", "per frame, atomic add", frame);
  printf("%-40s %7.1f ns\n", "per frame, plain add (baseline)", frame_plain);
  printf("%-40s %7.1f ns\n", "3 s SPEAK (150 frames) in all", whole);
  printf("%-40s %7.1f ns  %s\n", "target: counting per SPEAK <=", kTargetNsPerSpeak,
         counted <= kTargetNsPerSpeak ? "PASS" : "MISS");
  return 0;
}
