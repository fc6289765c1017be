#include "EngineMetrics.h"

#include <cinttypes>
#include <cstdio>

namespace VXS {

namespace {

const char* const kBucketLabels[DurationHistogram::kBucketCount] = {
    "0.005", "0.01", "0.025", "0.05", "0.1", "0.25", "0.5", "1", "2.5", "5", "10", "+Inf"};

uint64_t Load(const std::atomic<uint64_t>& value) {
  return value.load(std::memory_order_relaxed);
}

void AppendValue(std::string& out, const std::string& series, uint64_t value) {
  char number[32];
  std::snprintf(number, sizeof(number), " %" PRIu64 "\n", value);
  out += series;
  out += number;
}

void AppendHeader(std::string& out, const char* name, const char* type, const char* help) {
  out += "# HELP ";
  out += name;
  out += ' ';
  out += help;
  out += "\n# TYPE ";
  out += name;
  out += ' ';
  out += type;
  out += '\n';
}

}  // namespace

const uint64_t DurationHistogram::kBoundsUs[kBucketCount - 1] = {
    5000, 10000, 25000, 50000, 100000, 250000, 500000, 1000000, 2500000, 5000000, 10000000};

void DurationHistogram::Observe(std::chrono::steady_clock::duration duration) {
  int64_t us = std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
  const uint64_t value = us < 0 ? 0 : static_cast<uint64_t>(us);
  size_t bucket = 0;
  while (bucket < kBucketCount - 1 && value > kBoundsUs[bucket]) ++bucket;
  m_Buckets[bucket].fetch_add(1, std::memory_order_relaxed);
  m_SumUs.fetch_add(value, std::memory_order_relaxed);
}

uint64_t DurationHistogram::Count() const {
  uint64_t count = 0;
  for (const auto& bucket : m_Buckets) count += Load(bucket);
  return count;
}

void DurationHistogram::Render(const std::string& name, std::string& out) const {
  // Buckets are cumulative in the file; the count is the +Inf bucket's, so
  // that the two always agree even while observations come in.
  uint64_t cumulative = 0;
  for (size_t i = 0; i < kBucketCount; ++i) {
    cumulative += Load(m_Buckets[i]);
    AppendValue(out, name + "_bucket{le=\"" + kBucketLabels[i] + "\"}", cumulative);
  }
  char sum[48];
  const uint64_t sum_us = Load(m_SumUs);
  std::snprintf(sum, sizeof(sum), "%" PRIu64 ".%06" PRIu64, sum_us / 1000000, sum_us % 1000000);
  out += name + "_sum " + sum + "\n";
  AppendValue(out, name + "_count", cumulative);
}

void EngineMetrics::CountSpeak(int cause) {
  if (cause < 0 || cause >= kCauseCount) return;
  m_Speaks[cause].fetch_add(1, std::memory_order_relaxed);
}

void EngineMetrics::CountCall(int status_code, std::chrono::steady_clock::duration latency) {
  // A code outside the known ones is counted as UNKNOWN, as gRPC names it.
  if (status_code < 0 || status_code >= kStatusCodeCount) status_code = 2;
  m_Calls[status_code].fetch_add(1, std::memory_order_relaxed);
  m_CallLatency.Observe(latency);
}

uint64_t EngineMetrics::CountCodePoints(const std::string& text) {
  uint64_t count = 0;
  for (unsigned char byte : text) count += (byte & 0xC0) != 0x80;
  return count;
}

void EngineMetrics::CountCharacters(const std::string& input) {
  m_Characters.fetch_add(CountCodePoints(input), std::memory_order_relaxed);
}

const char* EngineMetrics::CauseName(int cause) {
  static const char* const kNames[kCauseCount] = {
      "normal", "barge-in",             "parse-failure",     "uri-failure",
      "error",  "language-unsupported", "lexicon-load-failure", "cancelled"};
  return cause >= 0 && cause < kCauseCount ? kNames[cause] : "";
}

const char* EngineMetrics::StatusCodeName(int code) {
  static const char* const kNames[kStatusCodeCount] = {
      "OK",        "CANCELLED",          "UNKNOWN",           "INVALID_ARGUMENT",
      "DEADLINE_EXCEEDED", "NOT_FOUND",  "ALREADY_EXISTS",    "PERMISSION_DENIED",
      "RESOURCE_EXHAUSTED", "FAILED_PRECONDITION", "ABORTED", "OUT_OF_RANGE",
      "UNIMPLEMENTED", "INTERNAL",       "UNAVAILABLE",       "DATA_LOSS",
      "UNAUTHENTICATED"};
  return code >= 0 && code < kStatusCodeCount ? kNames[code] : "UNKNOWN";
}

std::string EngineMetrics::Render(const Gauges& gauges) const {
  std::string out;
  out.reserve(4096);
  AppendHeader(out, "vexora_speaks_total", "counter", "SPEAK requests ended, by completion cause.");
  for (int cause = 0; cause < kCauseCount; ++cause) {
    AppendValue(out, std::string("vexora_speaks_total{cause=\"") + CauseName(cause) + "\"}",
                Load(m_Speaks[cause]));
  }
  AppendHeader(out, "vexora_synthesis_calls_total", "counter",
               "Synthesis calls completed, by gRPC status code.");
  for (int code = 0; code < kStatusCodeCount; ++code) {
    AppendValue(out,
                std::string("vexora_synthesis_calls_total{code=\"") + StatusCodeName(code) + "\"}",
                Load(m_Calls[code]));
  }
  AppendHeader(out, "vexora_synthesis_reattempts_total", "counter",
               "Synthesis calls made again after a failure that a second try can mend.");
  AppendValue(out, "vexora_synthesis_reattempts_total", Load(m_Reattempts));
  AppendHeader(out, "vexora_cache_hits_total", "counter",
               "Segments played from the waveform cache.");
  AppendValue(out, "vexora_cache_hits_total", Load(m_CacheHits));
  AppendHeader(out, "vexora_cache_misses_total", "counter",
               "Segments looked up in the waveform cache and synthesized.");
  AppendValue(out, "vexora_cache_misses_total", Load(m_CacheMisses));
  AppendHeader(out, "vexora_synthesis_characters_total", "counter",
               "Characters of text and SSML sent to the speech service.");
  AppendValue(out, "vexora_synthesis_characters_total", Load(m_Characters));
  AppendHeader(out, "vexora_audio_played_bytes_total", "counter",
               "Bytes of audio read by the media streams.");
  AppendValue(out, "vexora_audio_played_bytes_total", Load(m_AudioBytes));
  AppendHeader(out, "vexora_first_audio_seconds", "histogram",
               "Time from a SPEAK's acceptance to its first audio.");
  m_FirstAudio.Render("vexora_first_audio_seconds", out);
  AppendHeader(out, "vexora_synthesis_call_seconds", "histogram",
               "Time from the start of a synthesis call to its completion.");
  m_CallLatency.Render("vexora_synthesis_call_seconds", out);
  AppendHeader(out, "vexora_channels_in_use", "gauge", "Channels open.");
  AppendValue(out, "vexora_channels_in_use", gauges.m_ChannelsInUse);
  AppendHeader(out, "vexora_waveform_store_records", "gauge",
               "Files indexed by the waveform store.");
  AppendValue(out, "vexora_waveform_store_records", gauges.m_StoreRecords);
  AppendHeader(out, "vexora_waveform_store_bytes", "gauge",
               "Bytes of the WAVE files indexed by the waveform store.");
  AppendValue(out, "vexora_waveform_store_bytes", gauges.m_StoreBytes);
  return out;
}

void SpeakMetrics::Accepted() {
  m_Accepted = std::chrono::steady_clock::now();
  m_Open = true;
  m_FirstAudioSeen = false;
}

void SpeakMetrics::FirstAudio(EngineMetrics& metrics) {
  if (m_FirstAudioSeen) return;
  m_FirstAudioSeen = true;
  metrics.ObserveFirstAudio(std::chrono::steady_clock::now() - m_Accepted);
}

void SpeakMetrics::CallFinished(EngineMetrics& metrics, int status_code) {
  metrics.CountCall(status_code, std::chrono::steady_clock::now() - m_CallStart);
}

void SpeakMetrics::Ended(EngineMetrics& metrics, int cause, int fallback) {
  if (!m_Open) return;
  m_Open = false;
  m_FirstAudioSeen = true;
  metrics.CountSpeak(cause >= 0 && cause < EngineMetrics::kCauseCount ? cause : fallback);
}

}  // namespace VXS
