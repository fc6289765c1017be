// One prompt asked for by many channels at once: with caching on, the
// identical SPEAKs share one call to the service; with caching off (the
// baseline of the same run) each makes its own. For each way the program
// prints the calls the service received, how many channels answered
// IN-PROGRESS and SPEAK-COMPLETE with cause 000 and the right number of
// audio bytes, and the time from the first SPEAK to the last SPEAK-COMPLETE.
//
// The local service answers after --hold-ms (default 500), so that every
// SPEAK of the burst is started while the first call is in flight.
//
// Target: one call with caching on, every channel complete.
#include <apr_general.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "TtsServer.h"
#include "vxhost/HostKit.h"

namespace {

using namespace std::chrono_literals;

const std::string kText = "Your call is important to us.";

struct Result {
  bool caching = false;
  size_t channels = 0;
  size_t calls = 0;
  size_t completed = 0;
  double span_ms = 0;
};

bool Burst(bool caching, size_t count, long hold_ms, Result* result) {
  vxbench::ScratchTree tree("shared-synthesis");
  VxTts::TtsServer server;
  VxTts::TtsServerOptions options;
  options.first_byte_ms = hold_ms;
  std::string error;
  if (!server.Start(options, &error)) {
    fprintf(stderr, "speech service: %s\n", error.c_str());
    return false;
  }
  tree.WriteConfig(server.target(), vxbench::kTestVoice,
                   caching ? "caching=\"true\"" : "caching=\"false\"",
                   "  <waveform-manager waveform-folder=\"cache\"/>\n");
  std::unique_ptr<vxhost::HostKit> kit = vxbench::OpenKit(tree, VX_MODULE_PATH);
  if (!kit) return false;
  std::vector<vxhost::Channel*> channels;
  for (size_t i = 0; i < count; ++i) {
    vxhost::Channel* channel = kit->CreateChannel("c" + std::to_string(i), 8000);
    bool status = false;
    if (!channel || !kit->OpenChannel(channel, 10s, &status) || !status) {
      fprintf(stderr, "channel %zu did not open\n", i);
      return false;
    }
    channels.push_back(channel);
  }
  result->caching = caching;
  result->channels = count;
  const auto start = std::chrono::steady_clock::now();
  for (vxhost::Channel* channel : channels) {
    if (!kit->SendText(channel, vxbench::SpeakText(kText), &error)) {
      fprintf(stderr, "SendText: %s\n", error.c_str());
      return false;
    }
  }
  // 20 ms of tone per byte of text, 320 bytes per 20 ms at 8 kHz.
  const size_t audio_bytes = kText.size() * 320;
  for (vxhost::Channel* channel : channels) {
    vxhost::ReceivedMessage message;
    if (!channel->WaitMessage(&message, 60s) || message.status_code != 200 ||
        message.request_state != MRCP_REQUEST_STATE_INPROGRESS) {
      continue;
    }
    if (!channel->WaitMessage(&message, 60s) || message.method_name != "SPEAK-COMPLETE" ||
        message.completion_cause != 0) {
      continue;
    }
    if (channel->WaitAudioBytes(audio_bytes, 10s) && channel->AudioBytes() == audio_bytes) {
      ++result->completed;
    }
  }
  result->span_ms = vxbench::MillisSince(start);
  result->calls = server.calls().SynthesizeCalls();
  kit.reset();
  server.Shutdown();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const long hold_ms = vxbench::IntOption(argc, argv, "hold-ms", 500);
  const long count = vxbench::IntOption(argc, argv, "channels", 100);
  apr_initialize();
  std::vector<Result> results;
  for (bool caching : {false, true}) {
    Result result;
    if (!Burst(caching, static_cast<size_t>(count), hold_ms, &result)) return 1;
    results.push_back(result);
  }
  apr_terminate();
  printf("\n%ld identical SPEAKs started at once (the service holds each reply %ld ms)\n", count,
         hold_ms);
  printf("%-12s %8s %14s %10s %-26s %s\n", "caching", "channels", "service calls", "completed",
         "target", "result");
  for (const Result& result : results) {
    const bool pass = result.completed == result.channels && (!result.caching || result.calls == 1);
    printf("%-12s %8zu %14zu %10zu %-26s %s  (%.0f ms to the last SPEAK-COMPLETE)\n",
           result.caching ? "on" : "off (base)", result.channels, result.calls, result.completed,
           result.caching ? "1 call, all complete" : "all complete", pass ? "PASS" : "MISS",
           result.span_ms);
  }
  return 0;
}
