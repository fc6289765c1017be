#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace VXS {

// A histogram of durations with fixed bucket bounds (in seconds).
class DurationHistogram {
 public:
  static constexpr size_t kBucketCount = 12;
  // Upper bounds of the buckets but the last (+Inf), in microseconds.
  static const uint64_t kBoundsUs[kBucketCount - 1];

  void Observe(std::chrono::steady_clock::duration duration);
  // Appends the _bucket, _sum and _count series of name.
  void Render(const std::string& name, std::string& out) const;
  uint64_t Count() const;

 private:
  std::atomic<uint64_t> m_Buckets[kBucketCount] = {};  // not cumulative
  std::atomic<uint64_t> m_SumUs{0};
};

// The engine's counters, histograms and the metrics file they are written
// to (the Prometheus text exposition format, as a textfile collector reads
// it).
//
// Every figure is a relaxed atomic: the event-processor thread counts SPEAKs
// and calls, the media thread adds the bytes it plays, and the writer reads
// them all on the event-processor thread without a lock. A figure read while
// another thread adds to it is either the old or the new value; the file as
// a whole is a snapshot of no single instant, as a scrape of any process is.
class EngineMetrics {
 public:
  // The MRCP completion causes, 000 to 007.
  static constexpr int kCauseCount = 8;
  static constexpr int kStatusCodeCount = 17;

  // The figures of the engine that are read, not counted, when the file is
  // written.
  struct Gauges {
    uint64_t m_ChannelsInUse = 0;
    uint64_t m_StoreRecords = 0;
    uint64_t m_StoreBytes = 0;
  };

  void CountSpeak(int cause);
  void CountCall(int status_code, std::chrono::steady_clock::duration latency);
  void CountReattempt() { m_Reattempts.fetch_add(1, std::memory_order_relaxed); }
  void CountCacheHit() { m_CacheHits.fetch_add(1, std::memory_order_relaxed); }
  void CountCacheMiss() { m_CacheMisses.fetch_add(1, std::memory_order_relaxed); }
  // Characters (UTF-8 code points) of one input sent to the service.
  void CountCharacters(const std::string& input);
  void AddAudioBytes(uint64_t bytes) { m_AudioBytes.fetch_add(bytes, std::memory_order_relaxed); }
  void ObserveFirstAudio(std::chrono::steady_clock::duration delay) { m_FirstAudio.Observe(delay); }

  // The whole metrics file.
  std::string Render(const Gauges& gauges) const;

  // Code points of a UTF-8 text: every byte that is not a continuation byte.
  static uint64_t CountCodePoints(const std::string& text);
  // "normal", "barge-in", ... as MRCP names the causes; "" outside them.
  static const char* CauseName(int cause);
  // "OK", "CANCELLED", ... as gRPC names them; "UNKNOWN" outside them.
  static const char* StatusCodeName(int code);

 private:
  std::atomic<uint64_t> m_Speaks[kCauseCount] = {};
  std::atomic<uint64_t> m_Calls[kStatusCodeCount] = {};
  std::atomic<uint64_t> m_Reattempts{0};
  std::atomic<uint64_t> m_CacheHits{0};
  std::atomic<uint64_t> m_CacheMisses{0};
  std::atomic<uint64_t> m_Characters{0};
  std::atomic<uint64_t> m_AudioBytes{0};
  DurationHistogram m_FirstAudio;
  DurationHistogram m_CallLatency;
};

// What one channel keeps of its current SPEAK for the metrics: when it was
// accepted, when its call started, and whether its end has been counted (a
// SPEAK can reach more than one of the places that end it, such as the end
// of playback and the answer of a STOP). Event-processor thread only.
class SpeakMetrics {
 public:
  void Accepted();
  // The first audio of the SPEAK is queued; counted once per SPEAK.
  void FirstAudio(EngineMetrics& metrics);
  void CallStarted() { m_CallStart = std::chrono::steady_clock::now(); }
  void CallFinished(EngineMetrics& metrics, int status_code);
  // Counts the SPEAK's end with its cause (unknown: fallback); once.
  void Ended(EngineMetrics& metrics, int cause, int fallback);

 private:
  std::chrono::steady_clock::time_point m_Accepted;
  std::chrono::steady_clock::time_point m_CallStart;
  bool m_Open = false;
  bool m_FirstAudioSeen = true;
};

}  // namespace VXS
