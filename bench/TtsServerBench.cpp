// The local speech service: espeak-ng synthesis time for a 100-character
// sentence at 8 kHz, and gRPC round trips on loopback (median and p99).

#include <benchmark/benchmark.h>
#include <grpcpp/grpcpp.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "Synthesizer.h"
#include "TtsServer.h"
#include "google/cloud/texttospeech/v1/cloud_tts.grpc.pb.h"

namespace {

namespace tts = google::cloud::texttospeech::v1;

// Exactly 100 characters.
const std::string kSentence =
    "The quick brown fox jumps over the lazy dog, while five boxing wizards jump quickly at dawn, "
    "I hear.";

void BM_EspeakSynthesis8k(benchmark::State& state) {
  if (kSentence.size() != 100) state.SkipWithError("sentence is not 100 characters");
  VxTts::Synthesizer synth;
  std::string warning;
  synth.Init(&warning);
  const VxTts::VoiceInfo* voice = synth.FindByName("espeak-en-us");
  if (voice == nullptr) {
    state.SkipWithError("espeak-ng voice missing");
    return;
  }
  std::vector<int16_t> pcm;
  std::string error;
  synth.Synthesize(*voice, kSentence, false, {}, 8000, &pcm, &error);  // warm the voice
  for (auto _ : state) {
    synth.Synthesize(*voice, kSentence, false, {}, 8000, &pcm, &error);
    benchmark::DoNotOptimize(pcm.data());
  }
  state.counters["audio_s"] = pcm.size() / 8000.0;
}
BENCHMARK(BM_EspeakSynthesis8k)->Unit(benchmark::kMillisecond);

// Round trips of one voice through gRPC; latency percentiles as counters.
void RoundTrips(benchmark::State& state, const std::string& voice, const std::string& text) {
  VxTts::TtsServer server;
  std::string error;
  if (!server.Start(VxTts::TtsServerOptions(), &error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  auto stub = tts::TextToSpeech::NewStub(
      grpc::CreateChannel(server.target(), grpc::InsecureChannelCredentials()));
  tts::SynthesizeSpeechRequest request;
  request.mutable_input()->set_text(text);
  request.mutable_voice()->set_language_code("en-US");
  request.mutable_voice()->set_name(voice);
  request.mutable_audio_config()->set_audio_encoding(tts::LINEAR16);
  request.mutable_audio_config()->set_sample_rate_hertz(8000);
  std::vector<double> micros;
  size_t bytes = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(10));
    tts::SynthesizeSpeechResponse response;
    const grpc::Status status = stub->SynthesizeSpeech(&context, request, &response);
    micros.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
            .count());
    if (!status.ok()) {
      state.SkipWithError(status.error_message().c_str());
      break;
    }
    bytes = response.audio_content().size();
  }
  if (micros.empty()) return;
  std::sort(micros.begin(), micros.end());
  state.counters["median_us"] = micros[micros.size() / 2];
  state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
  state.counters["reply_bytes"] = static_cast<double>(bytes);
}

void BM_TestVoiceRoundTrip(benchmark::State& state) {
  RoundTrips(state, "vx-test-tone", "twenty bytes of text");  // 20 bytes -> 6444 bytes
}
BENCHMARK(BM_TestVoiceRoundTrip)->Iterations(1000)->Unit(benchmark::kMicrosecond);

void BM_EspeakRoundTrip8k(benchmark::State& state) { RoundTrips(state, "espeak-en-us", kSentence); }
BENCHMARK(BM_EspeakRoundTrip8k)->Iterations(200)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
