// What counting costs a SPEAK: everything the channel counts for one SPEAK
// of one synthesis call (acceptance, the cache miss, the call's start with
// its 100 characters, its completion with the latency histogram, the first
// audio, the end with its cause) plus the bytes the media thread adds for
// each of its 150 frames (3 s of audio), against the same steps on plain
// integers (the baseline: what the figures would cost without atomics).
// Also the same with two threads counting at once, and the metrics file's
// rendering, which runs on the refresh timer only.
//
// Output: the usual table, then ns per SPEAK of both (median of 5 timed
// rounds of 200000 SPEAKs) and the target (at most 1 us per SPEAK).

#include <benchmark/benchmark.h>

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
  for (int frame = 0; frame < kFramesPerSpeak; ++frame) metrics.AddAudioBytes(320);
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
  for (int frame = 0; frame < kFramesPerSpeak; ++frame) {
    figures.bytes += 320;
    benchmark::ClobberMemory();
  }
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

void BM_RenderMetricsFile(benchmark::State& state) {
  VXS::EngineMetrics::Gauges gauges;
  gauges.m_ChannelsInUse = 100;
  for (auto _ : state) {
    std::string text = SharedMetrics().Render(gauges);
    benchmark::DoNotOptimize(text);
  }
}
BENCHMARK(BM_RenderMetricsFile)->Unit(benchmark::kMicrosecond);

// ns per SPEAK: the median of five timed rounds.
template <class Step>
double MedianNsPerSpeak(Step step) {
  constexpr int kSpeaks = 200000;
  std::vector<double> rounds;
  for (int round = 0; round < 5; ++round) {
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < kSpeaks; ++i) step();
    const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    rounds.push_back(ns / kSpeaks);
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
  const double counted = MedianNsPerSpeak([&] { CountOneSpeak(metrics, speak); });
  const double plain = MedianNsPerSpeak([&] {
    CountOneSpeakPlain(figures);
    benchmark::DoNotOptimize(figures);
  });
  printf("\nCounting one SPEAK (one call, %d frames of audio), median of 5 rounds\n",
         kFramesPerSpeak);
  printf("%-36s %10s\n", "measure", "value");
  printf("%-36s %7.1f ns\n", "counted with atomics", counted);
  printf("%-36s %7.1f ns\n", "plain integers (baseline)", plain);
  if (plain > 0) printf("%-36s %9.1fx\n", "ratio atomics / plain", counted / plain);
  printf("%-36s %7.1f ns  %s\n", "target: counting per SPEAK <=", kTargetNsPerSpeak,
         counted <= kTargetNsPerSpeak ? "PASS" : "MISS");
  return 0;
}
