// What starting a SPEAK costs the engine's event-processor thread, with
// 100, 1000 and 4000 channels open, against what starting the same
// asynchronous call costs a thread that calls the service directly.
//
// The local service answers only after --hold-ms (default 3000), so that
// while the SPEAKs of a burst are being started no completion, IN-PROGRESS
// or playback shares the thread. Each round opens its channels (test voice,
// fast media), sends one SPEAK on every channel at once, and waits until
// the service has received every call; the CPU time the thread named
// "vxs-engine" spent meanwhile (from /proc's scheduler statistics, in ns),
// divided by the SPEAKs, is the start cost. The span is the wall time from
// the first SPEAK handed to the kit to the last call received by the
// service. The direct row starts the same number of calls from one thread
// on one shared channel and takes that thread's CPU time the same way.
//
// Target: at most 100 us per SPEAK at every channel count.
#include <apr_general.h>
#include <dirent.h>
#include <grpcpp/grpcpp.h>
#include <pthread.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "TtsServer.h"
#include "google/cloud/texttospeech/v1/cloud_tts.grpc.pb.h"
#include "vxhost/HostKit.h"
#include "vxhost/ThreadCpu.h"

namespace {

using namespace std::chrono_literals;
namespace tts = google::cloud::texttospeech::v1;

const std::string kText = "Hello world";

using vxhost::ThreadCpuNs;

long long OwnThreadCpuNs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

bool WaitForCalls(VxTts::TtsServer& server, size_t calls) {
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (server.calls().SynthesizeCalls() < calls) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(200us);
  }
  return true;
}

struct Result {
  size_t channels = 0;
  double module_us = 0;   // engine-thread CPU per SPEAK started
  double module_span_ms = 0;
  double direct_us = 0;   // calling thread's CPU per call started
  size_t failures = 0;
};

// One burst on `count` channels of the kit (opened as needed).
bool ModuleBurst(vxhost::HostKit* kit, VxTts::TtsServer& server,
                 std::vector<vxhost::Channel*>& channels, size_t count, Result* result) {
  while (channels.size() < count) {
    vxhost::Channel* channel = kit->CreateChannel("s" + std::to_string(channels.size()), 8000);
    bool status = false;
    if (!channel || !kit->OpenChannel(channel, 10s, &status) || !status) {
      fprintf(stderr, "channel %zu did not open\n", channels.size());
      return false;
    }
    channels.push_back(channel);
  }
  server.calls().ResetCounters();
  const long long before = ThreadCpuNs("vxs-engine");
  const auto start = std::chrono::steady_clock::now();
  for (size_t i = 0; i < count; ++i) {
    std::string error;
    if (!kit->SendText(channels[i], vxbench::SpeakText(kText), &error)) {
      fprintf(stderr, "SendText: %s\n", error.c_str());
      return false;
    }
  }
  if (!WaitForCalls(server, count)) {
    fprintf(stderr, "the service did not get every call\n");
    return false;
  }
  result->module_span_ms = vxbench::MillisSince(start);
  const long long after = ThreadCpuNs("vxs-engine");
  result->module_us = static_cast<double>(after - before) / 1000.0 / static_cast<double>(count);
  for (size_t i = 0; i < count; ++i) {
    vxhost::ReceivedMessage message;
    if (!channels[i]->WaitMessage(&message, 60s) || message.status_code != 200) {
      ++result->failures;
      continue;
    }
    if (!channels[i]->WaitMessage(&message, 60s) || message.method_name != "SPEAK-COMPLETE") {
      ++result->failures;
    }
    channels[i]->ClearAudio();
  }
  return true;
}

// The same number of calls started from this thread on one channel.
bool DirectBurst(VxTts::TtsServer& server, size_t count, Result* result) {
  grpc::ChannelArguments arguments;
  arguments.SetMaxReceiveMessageSize(64 * 1024 * 1024);
  auto channel =
      grpc::CreateCustomChannel(server.target(), grpc::InsecureChannelCredentials(), arguments);
  std::unique_ptr<tts::TextToSpeech::Stub> stub = tts::TextToSpeech::NewStub(channel);
  grpc::CompletionQueue queue;
  struct Call {
    grpc::ClientContext context;
    tts::SynthesizeSpeechResponse response;
    grpc::Status status;
    std::unique_ptr<grpc::ClientAsyncResponseReader<tts::SynthesizeSpeechResponse>> reader;
  };
  tts::SynthesizeSpeechRequest request;
  request.mutable_input()->set_text(kText);
  request.mutable_voice()->set_language_code("en-US");
  request.mutable_voice()->set_name(vxbench::kTestVoice);
  request.mutable_audio_config()->set_audio_encoding(tts::LINEAR16);
  request.mutable_audio_config()->set_sample_rate_hertz(8000);
  channel->WaitForConnected(std::chrono::system_clock::now() + 5s);
  server.calls().ResetCounters();
  std::vector<std::unique_ptr<Call>> calls;
  const long long before = OwnThreadCpuNs();
  for (size_t i = 0; i < count; ++i) {
    calls.emplace_back(new Call());
    Call* call = calls.back().get();
    call->reader = stub->AsyncSynthesizeSpeech(&call->context, request, &queue);
    call->reader->Finish(&call->response, &call->status, call);
  }
  result->direct_us =
      static_cast<double>(OwnThreadCpuNs() - before) / 1000.0 / static_cast<double>(count);
  if (!WaitForCalls(server, count)) return false;
  for (size_t i = 0; i < count; ++i) {
    void* tag = nullptr;
    bool ok = false;
    if (!queue.Next(&tag, &ok)) return false;
    if (!ok || !static_cast<Call*>(tag)->status.ok()) ++result->failures;
  }
  queue.Shutdown();
  void* tag = nullptr;
  bool ok = false;
  while (queue.Next(&tag, &ok)) {
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const long hold_ms = vxbench::IntOption(argc, argv, "hold-ms", 3000);
  const long largest = vxbench::IntOption(argc, argv, "channels", 4000);
  apr_initialize();
  std::vector<Result> results;
  {
    vxbench::ScratchTree tree("speak-start");
    VxTts::TtsServer server;
    VxTts::TtsServerOptions options;
    options.first_byte_ms = hold_ms;
    std::string error;
    if (!server.Start(options, &error)) {
      fprintf(stderr, "speech service: %s\n", error.c_str());
      return 1;
    }
    tree.WriteConfig(server.target(), vxbench::kTestVoice);
    std::unique_ptr<vxhost::HostKit> kit = vxbench::OpenKit(tree, VX_MODULE_PATH);
    if (!kit) return 1;
    std::vector<vxhost::Channel*> channels;
    // A first small burst warms the connection and the allocator up.
    Result warm;
    if (!ModuleBurst(kit.get(), server, channels, 10, &warm)) return 1;
    for (long count : {100L, 1000L, 4000L}) {
      if (count > largest) break;
      Result result;
      result.channels = static_cast<size_t>(count);
      if (!ModuleBurst(kit.get(), server, channels, result.channels, &result)) return 1;
      if (!DirectBurst(server, result.channels, &result)) return 1;
      results.push_back(result);
      fprintf(stderr, "%ld channels done\n", count);
    }
    kit.reset();
    server.Shutdown();
  }
  apr_terminate();
  printf("\nCPU time of starting a SPEAK on the engine thread against starting the same call "
         "directly (us per call)\n");
  printf("%8s %10s %10s %14s  %-16s %s\n", "channels", "direct", "module", "module span ms",
         "target", "result");
  for (const Result& result : results) {
    const bool pass = result.failures == 0 && result.module_us <= 100.0;
    printf("%8zu %10.1f %10.1f %14.1f  %-16s %s%s\n", result.channels, result.direct_us,
           result.module_us, result.module_span_ms, "module<=100 us", pass ? "PASS" : "MISS",
           result.failures ? (" (" + std::to_string(result.failures) + " failed)").c_str() : "");
  }
  return 0;
}
