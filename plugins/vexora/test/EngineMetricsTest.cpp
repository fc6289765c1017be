// The metrics' own rules: bucket bounds are inclusive and the file's
// buckets cumulative, characters are code points, a SPEAK's end and first
// audio count once however many places reach them, and figures counted from
// several threads at once add up.
#include <gtest/gtest.h>

#include <sstream>
#include <thread>
#include <vector>

#include "EngineMetrics.h"

namespace VXS {
namespace {

using std::chrono::microseconds;

// The value of one series line of the rendered file; -1 when absent.
double ValueOf(const std::string& text, const std::string& series) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.compare(0, series.size() + 1, series + " ") == 0) {
      return std::stod(line.substr(series.size() + 1));
    }
  }
  return -1;
}

TEST(EngineMetricsTest, HistogramBoundsAreInclusiveAndTheFileCumulative) {
  EngineMetrics metrics;
  // 5 ms exactly is in le="0.005"; a microsecond more is not.
  metrics.ObserveFirstAudio(microseconds(5000));
  metrics.ObserveFirstAudio(microseconds(5001));
  metrics.ObserveFirstAudio(std::chrono::seconds(30));
  // A clock that went backwards counts as no time, not as ages.
  metrics.ObserveFirstAudio(microseconds(-7));
  const std::string text = metrics.Render(EngineMetrics::Gauges());
  EXPECT_EQ(ValueOf(text, "vexora_first_audio_seconds_bucket{le=\"0.005\"}"), 2);
  EXPECT_EQ(ValueOf(text, "vexora_first_audio_seconds_bucket{le=\"0.01\"}"), 3);
  EXPECT_EQ(ValueOf(text, "vexora_first_audio_seconds_bucket{le=\"10\"}"), 3);
  EXPECT_EQ(ValueOf(text, "vexora_first_audio_seconds_bucket{le=\"+Inf\"}"), 4);
  EXPECT_EQ(ValueOf(text, "vexora_first_audio_seconds_count"), 4);
  EXPECT_NE(text.find("\nvexora_first_audio_seconds_sum 30.010001\n"), std::string::npos) << text;
  EXPECT_EQ(ValueOf(text, "vexora_synthesis_call_seconds_count"), 0);
}

TEST(EngineMetricsTest, CharactersAreCodePointsNotBytes) {
  EXPECT_EQ(EngineMetrics::CountCodePoints(""), 0u);
  EXPECT_EQ(EngineMetrics::CountCodePoints("abc"), 3u);
  EXPECT_EQ(EngineMetrics::CountCodePoints("Gr\xC3\xBC\xC3\x9F" "e"), 5u);
  EXPECT_EQ(EngineMetrics::CountCodePoints("\xE2\x82\xAC\xF0\x9F\x98\x80"), 2u);  // euro, emoji
  EngineMetrics metrics;
  metrics.CountCharacters("\xE2\x82\xAC 5");
  EXPECT_EQ(ValueOf(metrics.Render(EngineMetrics::Gauges()), "vexora_synthesis_characters_total"),
            3);
}

TEST(EngineMetricsTest, ASpeakIsCountedOnceWithItsCauseOrTheFallback) {
  EngineMetrics metrics;
  SpeakMetrics speak;
  // Nothing accepted yet: an end is not a SPEAK.
  speak.Ended(metrics, 0, 0);
  speak.Accepted();
  speak.FirstAudio(metrics);
  speak.FirstAudio(metrics);
  // The end of playback and the STOP's answer both reach the end.
  speak.Ended(metrics, 7, 0);
  speak.Ended(metrics, 0, 0);
  // Not set (8): the fallback.
  speak.Accepted();
  speak.Ended(metrics, 8, 4);
  // Ended before its first audio: a late first audio is not counted.
  speak.Accepted();
  speak.Ended(metrics, 0, 0);
  speak.FirstAudio(metrics);
  const std::string text = metrics.Render(EngineMetrics::Gauges());
  EXPECT_EQ(ValueOf(text, "vexora_speaks_total{cause=\"cancelled\"}"), 1);
  EXPECT_EQ(ValueOf(text, "vexora_speaks_total{cause=\"error\"}"), 1);
  EXPECT_EQ(ValueOf(text, "vexora_speaks_total{cause=\"normal\"}"), 1);
  EXPECT_EQ(ValueOf(text, "vexora_speaks_total{cause=\"barge-in\"}"), 0);
  EXPECT_EQ(ValueOf(text, "vexora_first_audio_seconds_count"), 1);
}

TEST(EngineMetricsTest, CallsAreCountedByCodeNameAndOutOfRangeCodesAsUnknown) {
  EngineMetrics metrics;
  metrics.CountCall(0, microseconds(100));
  metrics.CountCall(14, microseconds(100));
  metrics.CountCall(99, microseconds(100));
  metrics.CountCall(-1, microseconds(100));
  const std::string text = metrics.Render(EngineMetrics::Gauges());
  EXPECT_EQ(ValueOf(text, "vexora_synthesis_calls_total{code=\"OK\"}"), 1);
  EXPECT_EQ(ValueOf(text, "vexora_synthesis_calls_total{code=\"UNAVAILABLE\"}"), 1);
  EXPECT_EQ(ValueOf(text, "vexora_synthesis_calls_total{code=\"UNKNOWN\"}"), 2);
  EXPECT_EQ(ValueOf(text, "vexora_synthesis_calls_total{code=\"UNAUTHENTICATED\"}"), 0);
  EXPECT_EQ(ValueOf(text, "vexora_synthesis_call_seconds_count"), 4);
  EXPECT_STREQ(EngineMetrics::StatusCodeName(16), "UNAUTHENTICATED");
  EXPECT_STREQ(EngineMetrics::CauseName(6), "lexicon-load-failure");
}

TEST(EngineMetricsTest, FiguresFromSeveralThreadsAddUp) {
  EngineMetrics metrics;
  constexpr int kThreads = 4;
  constexpr int kEach = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&metrics] {
      for (int i = 0; i < kEach; ++i) {
        metrics.AddAudioBytes(320);
        metrics.CountCacheHit();
        metrics.CountCall(0, microseconds(i));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EngineMetrics::Gauges gauges;
  gauges.m_ChannelsInUse = 3;
  gauges.m_StoreRecords = 12;
  gauges.m_StoreBytes = 1u << 20;
  const std::string text = metrics.Render(gauges);
  EXPECT_EQ(ValueOf(text, "vexora_audio_played_bytes_total"), 320.0 * kThreads * kEach);
  EXPECT_EQ(ValueOf(text, "vexora_cache_hits_total"), kThreads * kEach);
  EXPECT_EQ(ValueOf(text, "vexora_synthesis_calls_total{code=\"OK\"}"), kThreads * kEach);
  EXPECT_EQ(ValueOf(text, "vexora_synthesis_call_seconds_count"), kThreads * kEach);
  EXPECT_EQ(ValueOf(text, "vexora_channels_in_use"), 3);
  EXPECT_EQ(ValueOf(text, "vexora_waveform_store_records"), 12);
  EXPECT_EQ(ValueOf(text, "vexora_waveform_store_bytes"), 1048576);
}

}  // namespace
}  // namespace VXS
