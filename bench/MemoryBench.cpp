// Resident memory over many SPEAKs on one channel: --speaks (default 1000)
// consecutive SPEAKs of a two-second prompt (100 bytes of text with the test
// voice at 8 kHz = 32000 bytes of audio), every frame read by the host kit's
// media thread in fast mode. VmRSS is taken after the 10th SPEAK (start-up
// allocations settled) and after the last; target: the last within 2 MiB of
// the 10th.
//
// What is kept out of the measurement, so that only the module's memory can
// grow:
// - the speech service runs in a child process (it keeps copies of the
//   latest requests);
// - each SPEAK is built in a pool of its own, destroyed two SPEAKs later
//   (the kit's SendText would keep every request's sub-pool until the
//   channel is destroyed, a host-kit cost a host server does not have);
// - the audio the kit collects is dropped after each SPEAK.

#include <apr_general.h>
#include <apr_pools.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <string>

#include "BenchSupport.h"
#include "TtsServer.h"
#include "vxhost/HostKit.h"

namespace {

using namespace std::chrono_literals;

// Exactly 100 bytes: two seconds of tone.
const std::string kPrompt =
    "The quick brown fox jumps over the lazy dog, while five boxing wizards jump quickly at dawn, "
    "I hear.";
constexpr size_t kExpectedAudio = 32000;
constexpr long kTargetKiB = 2048;

// The speech service in a child process, forked before this process starts
// any gRPC or APR machinery. The child serves until the parent goes away
// (its end of the pipe closes).
class ServiceProcess {
 public:
  bool Start() {
    int to_parent[2];
    int from_parent[2];
    if (pipe(to_parent) != 0 || pipe(from_parent) != 0) return false;
    m_Pid = fork();
    if (m_Pid < 0) return false;
    if (m_Pid == 0) {
      close(to_parent[0]);
      close(from_parent[1]);
      VxTts::TtsServer server;
      std::string error;
      std::string target = server.Start(VxTts::TtsServerOptions(), &error) ? server.target() : "";
      target += "\n";
      if (write(to_parent[1], target.data(), target.size()) < 0) _exit(1);
      char byte;
      while (read(from_parent[0], &byte, 1) > 0) {
      }
      server.Shutdown();
      _exit(0);
    }
    close(to_parent[1]);
    close(from_parent[0]);
    m_Keep = from_parent[1];
    char c;
    while (read(to_parent[0], &c, 1) == 1 && c != '\n') m_Target += c;
    close(to_parent[0]);
    return !m_Target.empty();
  }

  ~ServiceProcess() {
    if (m_Keep >= 0) close(m_Keep);
    if (m_Pid > 0) waitpid(m_Pid, nullptr, 0);
  }

  const std::string& target() const { return m_Target; }

 private:
  pid_t m_Pid = -1;
  int m_Keep = -1;
  std::string m_Target;
};

}  // namespace

int main(int argc, char** argv) {
  const long speaks = vxbench::IntOption(argc, argv, "speaks", 1000);
  if (kPrompt.size() != 100 || speaks < 10) {
    fprintf(stderr, "bad prompt or --speaks below 10\n");
    return 1;
  }
  ServiceProcess service;
  if (!service.Start()) {
    fprintf(stderr, "the speech service did not start\n");
    return 1;
  }
  apr_initialize();

  std::map<long, long> rss;  // SPEAK number -> VmRSS KiB
  size_t failures = 0;
  {
    vxbench::ScratchTree tree("memory");
    tree.WriteConfig(service.target(), vxbench::kTestVoice);
    std::unique_ptr<vxhost::HostKit> kit = vxbench::OpenKit(tree, VX_MODULE_PATH);
    if (!kit) return 1;
    std::string error;
    vxhost::Channel* channel = kit->CreateChannel("mem", 8000);
    bool status = false;
    if (!channel || !kit->OpenChannel(channel, 5s, &status) || !status) {
      fprintf(stderr, "the channel did not open\n");
      return 1;
    }
    rss[0] = vxbench::ResidentKiB();

    std::deque<apr_pool_t*> pools;
    vxhost::SpeakFields fields;
    fields.body = kPrompt;
    for (long i = 1; i <= speaks; ++i) {
      apr_pool_t* pool = nullptr;
      apr_pool_create(&pool, nullptr);
      mrcp_message_t* request = vxhost::BuildSpeakRequest(fields, pool, &error);
      if (!request) {
        fprintf(stderr, "BuildSpeakRequest: %s\n", error.c_str());
        return 1;
      }
      kit->Send(channel, request);
      vxhost::ReceivedMessage message;
      if (!channel->WaitMessage(&message, 30s)) {
        fprintf(stderr, "SPEAK %ld: no response\n", i);
        return 1;
      }
      if (message.request_state != MRCP_REQUEST_STATE_INPROGRESS) {
        ++failures;
      } else if (!channel->WaitMessage(&message, 30s) ||
                 message.method_name != "SPEAK-COMPLETE") {
        fprintf(stderr, "SPEAK %ld: no SPEAK-COMPLETE\n", i);
        return 1;
      } else if (channel->AudioBytes() != kExpectedAudio) {
        ++failures;
      }
      channel->ClearAudio();
      pools.push_back(pool);
      // The module is done with a request once the next SPEAK has replaced it.
      while (pools.size() > 2) {
        apr_pool_destroy(pools.front());
        pools.pop_front();
      }
      if (i == 10 || i == speaks || (i % 100 == 0)) rss[i] = vxbench::ResidentKiB();
    }
    kit->CloseChannel(channel, 5s);
    kit->DestroyChannel(channel);
    kit.reset();
    for (apr_pool_t* pool : pools) apr_pool_destroy(pool);
  }

  printf("\nResident memory over %ld SPEAKs of 2 s (32000 bytes) on one channel\n", speaks);
  printf("%-18s %12s %14s\n", "after SPEAK", "VmRSS KiB", "vs 10th KiB");
  const long base = rss[10];
  for (const auto& item : rss) {
    printf("%-18ld %12ld %+14ld\n", item.first, item.second, item.second - base);
  }
  const long growth = rss[speaks] - base;
  printf("VmRSS after 10th: %ld KiB (%.2f MiB); after %ldth: %ld KiB (%.2f MiB); "
         "difference %+ld KiB (%+.2f MiB)\n",
         base, base / 1024.0, speaks, rss[speaks], rss[speaks] / 1024.0, growth,
         growth / 1024.0);
  printf("target: difference <= 2 MiB: %s%s\n", growth <= kTargetKiB && failures == 0 ? "PASS" : "MISS",
         failures ? (" (" + std::to_string(failures) + " SPEAKs failed)").c_str() : "");
  apr_terminate();
  return 0;
}
