// The media chunk buffer's frame read: what the host's media thread pays per
// 20 ms frame of 8 kHz audio (320 bytes) pulled out of 64 KB chunks, against
// a plain memcpy of 320 bytes measured in the same run.
//
// Each iteration queues kChunksPerBatch chunks of 64 KB (not timed), then
// times the reads of every whole frame they hold. Chunk boundaries are not
// frame aligned (65536 / 320 = 204.8), so some frames are assembled from two
// chunks, as in a real SPEAK. The baseline copies the same bytes out of a
// same-sized, freshly written source with memcpy, frame by frame.
//
// Output: the usual table, then the median ns per frame of both, their
// ratio and the target (at most 100 ns per frame).

#include <apr_general.h>
#include <apr_pools.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "ChunkBuffer.h"

namespace {

constexpr size_t kFrameBytes = 320;             // 20 ms at 8 kHz, 16-bit
constexpr size_t kChunkBytes = 64 * 1024;       // one written chunk
constexpr size_t kChunksPerBatch = 16;          // 1 MiB of audio per iteration
constexpr size_t kBatchBytes = kChunkBytes * kChunksPerBatch;
constexpr size_t kFramesPerBatch = kBatchBytes / kFrameBytes;  // whole frames only
constexpr double kTargetNsPerFrame = 100.0;

using Clock = std::chrono::steady_clock;

std::vector<char> MakeAudio(size_t bytes) {
  std::vector<char> audio(bytes);
  for (size_t i = 0; i < bytes; ++i) audio[i] = static_cast<char>((i * 31u + 7u) & 0xFF);
  return audio;
}

void BM_ChunkBufferFrameRead(benchmark::State& state) {
  apr_pool_t* pool = nullptr;
  if (apr_pool_create(&pool, nullptr) != APR_SUCCESS) {
    state.SkipWithError("apr_pool_create failed");
    return;
  }
  mpf_media_chunk_buffer_t* buffer = mpf_media_chunk_buffer_create(pool);
  if (!buffer) {
    state.SkipWithError("mpf_media_chunk_buffer_create failed");
    apr_pool_destroy(pool);
    return;
  }
  std::vector<char> chunk = MakeAudio(kChunkBytes);
  std::vector<char> frame_data(kFrameBytes);
  mpf_frame_t frame;
  size_t audio_frames = 0;

  for (auto _ : state) {
    mpf_media_chunk_buffer_restart(buffer);
    for (size_t i = 0; i < kChunksPerBatch; ++i) {
      mpf_media_chunk_buffer_audio_write(buffer, chunk.data(), chunk.size());
    }
    audio_frames = 0;
    const Clock::time_point start = Clock::now();
    for (size_t i = 0; i < kFramesPerBatch; ++i) {
      // As the host's media thread prepares a frame before each read.
      frame.type = MEDIA_FRAME_TYPE_NONE;
      frame.marker = 0;
      frame.codec_frame.buffer = frame_data.data();
      frame.codec_frame.size = kFrameBytes;
      mpf_media_chunk_buffer_frame_read(buffer, &frame);
      audio_frames += (frame.type & MEDIA_FRAME_TYPE_AUDIO) ? 1 : 0;
      benchmark::ClobberMemory();
    }
    const Clock::time_point end = Clock::now();
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
  }
  if (audio_frames != kFramesPerBatch) state.SkipWithError("a frame came back without audio");
  state.counters["frames"] = static_cast<double>(kFramesPerBatch);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFramesPerBatch * kFrameBytes));
  mpf_media_chunk_buffer_destroy(buffer);
  apr_pool_destroy(pool);
}
BENCHMARK(BM_ChunkBufferFrameRead)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_Memcpy320(benchmark::State& state) {
  std::vector<char> chunk = MakeAudio(kChunkBytes);
  std::vector<char> source(kBatchBytes);
  std::vector<char> frame_data(kFrameBytes);
  for (auto _ : state) {
    // As the buffer's writes do: the source is freshly written, so both
    // sides read data in the same cache state.
    for (size_t i = 0; i < kChunksPerBatch; ++i) {
      memcpy(source.data() + i * kChunkBytes, chunk.data(), kChunkBytes);
    }
    benchmark::ClobberMemory();
    const char* from = source.data();
    // A size the compiler cannot see, so that this is the C library's
    // memcpy (as inside frame_read), not an inlined string move.
    size_t frame_bytes = kFrameBytes;
    benchmark::DoNotOptimize(frame_bytes);
    const Clock::time_point start = Clock::now();
    for (size_t i = 0; i < kFramesPerBatch; ++i) {
      benchmark::DoNotOptimize(from);
      memcpy(frame_data.data(), from + i * frame_bytes, frame_bytes);
      benchmark::ClobberMemory();
    }
    const Clock::time_point end = Clock::now();
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
  }
  state.counters["frames"] = static_cast<double>(kFramesPerBatch);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFramesPerBatch * kFrameBytes));
}
BENCHMARK(BM_Memcpy320)->UseManualTime()->Unit(benchmark::kMicrosecond);

// Prints the usual table and keeps ns per frame of each run: the median
// aggregate when repetitions are asked for, else the single run.
class FrameReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const std::string family = run.run_name.function_name;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      const bool single = run.run_type == Run::RT_Iteration;
      if (!median && !single) continue;
      // Manual time: the adjusted real time is per iteration (one batch).
      double batch_ns = run.GetAdjustedRealTime();
      switch (run.time_unit) {
        case benchmark::kSecond: batch_ns *= 1e9; break;
        case benchmark::kMillisecond: batch_ns *= 1e6; break;
        case benchmark::kMicrosecond: batch_ns *= 1e3; break;
        default: break;
      }
      const double ns = batch_ns / static_cast<double>(kFramesPerBatch);
      if (median) {
        m_Median[family] = ns;
      } else {
        m_Single[family].push_back(ns);
      }
    }
  }

  // Median of the runs of one family (the aggregate when there is one).
  bool NsPerFrame(const std::string& family, double* ns) const {
    auto it = m_Median.find(family);
    if (it != m_Median.end()) {
      *ns = it->second;
      return true;
    }
    auto single = m_Single.find(family);
    if (single == m_Single.end() || single->second.empty()) return false;
    std::vector<double> values = single->second;
    std::sort(values.begin(), values.end());
    *ns = values[values.size() / 2];
    return true;
  }

 private:
  std::map<std::string, double> m_Median;
  std::map<std::string, std::vector<double>> m_Single;
};

}  // namespace

int main(int argc, char** argv) {
  apr_initialize();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  FrameReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  double read_ns = 0;
  double copy_ns = 0;
  const bool have_read = reporter.NsPerFrame("BM_ChunkBufferFrameRead", &read_ns);
  const bool have_copy = reporter.NsPerFrame("BM_Memcpy320", &copy_ns);
  printf("\nChunk buffer frame read, %zu-byte frames from %zu KB chunks (median)\n", kFrameBytes,
         kChunkBytes / 1024);
  printf("%-34s %12s\n", "measure", "value");
  if (have_read) printf("%-34s %9.1f ns\n", "frame_read per frame", read_ns);
  if (have_copy) printf("%-34s %9.1f ns\n", "memcpy of 320 bytes (baseline)", copy_ns);
  if (have_read && have_copy && copy_ns > 0) {
    printf("%-34s %11.1fx\n", "ratio frame_read / memcpy", read_ns / copy_ns);
  }
  if (have_read) {
    printf("%-34s %9.1f ns  %s\n", "target: frame_read per frame <=", kTargetNsPerFrame,
           read_ns <= kTargetNsPerFrame ? "PASS" : "MISS");
  }
  apr_terminate();
  return 0;
}
