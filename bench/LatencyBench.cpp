// Time to first audio through the module against a direct call to the same
// service, in the same run.
//
// Module: the module file loaded into the host kit (fast media mode, log
// sink writing nowhere at WARNING), a SPEAK of a short plain text with the
// test voice; measured from the moment the kit hands the SPEAK to its
// signalling thread (the transcript's "sent" stamp) to the arrival of the
// 200 IN-PROGRESS (ReceivedMessage::time_us). Both stamps are APR time.
//
// Direct: the same SynthesizeSpeechRequest the module builds (text,
// language, voice name, LINEAR16 at 8 kHz) sent with the generated async
// stub on a completion queue drained by a thread of its own, as the module
// does; measured from just before the call is started to the completion
// taken off the queue. One gRPC channel per simulated channel, with the
// module's channel arguments.
//
// Scenarios, direct and module alternated call by call (1 channel) or round
// by round (100 channels) so that both see the same machine state:
//   1 channel:    --speaks sequential SPEAKs (default 1000)
//   N channels:   --rounds rounds (default 20) of --channels (default 100)
//                 SPEAKs sent at once, one per channel
// Prints: scenario, direct p50/p99, module p50/p99, added p50/p99, target,
// PASS/MISS. Added = module percentile - direct percentile. For the burst
// scenario it also prints, per round, how long the requests took to start
// and the first-start-to-last-answer span of each side.
// The whole program takes a few seconds: the counts are set so that p99 is
// not one or two outliers (the 10th largest of 1000 samples).

#include <apr_general.h>
#include <apr_time.h>
#include <grpcpp/grpcpp.h>
#include <grpcpp/support/channel_arguments.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "TtsServer.h"
#include "google/cloud/texttospeech/v1/cloud_tts.grpc.pb.h"
#include "vxhost/HostKit.h"

namespace {

using namespace std::chrono_literals;
namespace tts = google::cloud::texttospeech::v1;

const std::string kText = "Hello world";  // 11 bytes: 220 ms of tone
// The module's own receive limit, so that both clients use equal channels.
constexpr int kMaxReceiveMessageSize = 64 * 1024 * 1024;

// ------------------------------------------------------------ direct client

struct DirectCall {
  grpc::ClientContext context;
  tts::SynthesizeSpeechResponse response;
  grpc::Status status;
  std::unique_ptr<grpc::ClientAsyncResponseReader<tts::SynthesizeSpeechResponse>> reader;
  int64_t start_us = 0;
  int64_t end_us = 0;
  bool ok = false;
};

// Async calls on one completion queue drained by its own thread, which
// stamps each completion as it is taken off the queue.
class DirectClient {
 public:
  DirectClient(const std::string& target, size_t channels) {
    grpc::ChannelArguments arguments;
    arguments.SetMaxReceiveMessageSize(kMaxReceiveMessageSize);
    for (size_t i = 0; i < channels; ++i) {
      auto channel =
          grpc::CreateCustomChannel(target, grpc::InsecureChannelCredentials(), arguments);
      m_Stubs.push_back(tts::TextToSpeech::NewStub(channel));
    }
    m_Request.mutable_input()->set_text(kText);
    m_Request.mutable_voice()->set_language_code("en-US");
    m_Request.mutable_voice()->set_name(vxbench::kTestVoice);
    m_Request.mutable_audio_config()->set_audio_encoding(tts::LINEAR16);
    m_Request.mutable_audio_config()->set_sample_rate_hertz(8000);
    m_Drainer = std::thread([this] { Drain(); });
  }

  ~DirectClient() {
    m_Queue.Shutdown();
    m_Drainer.join();
  }

  // Starts one call on each of the first `count` stubs at once, waits for
  // all and returns their latencies in ms; failed calls are counted.
  std::vector<double> Burst(size_t count, size_t* failures) {
    std::vector<std::unique_ptr<DirectCall>> calls;
    calls.reserve(count);
    {
      std::lock_guard<std::mutex> lock(m_Mutex);
      m_Completed = 0;
    }
    for (size_t i = 0; i < count; ++i) {
      calls.emplace_back(new DirectCall());
      DirectCall* call = calls.back().get();
      call->start_us = apr_time_now();
      call->reader = m_Stubs[i]->AsyncSynthesizeSpeech(&call->context, m_Request, &m_Queue);
      call->reader->Finish(&call->response, &call->status, call);
    }
    std::vector<double> latencies;
    {
      std::unique_lock<std::mutex> lock(m_Mutex);
      if (!m_Cond.wait_for(lock, 30s, [&] { return m_Completed == count; })) {
        fprintf(stderr, "direct calls did not complete in time\n");
        exit(1);
      }
    }
    int64_t first = calls.front()->start_us;
    int64_t last = 0;
    for (const auto& call : calls) last = std::max(last, call->end_us);
    m_LastSpanMs = static_cast<double>(last - first) / 1000.0;
    m_LastIssueMs = static_cast<double>(calls.back()->start_us - first) / 1000.0;
    for (const auto& call : calls) {
      if (!call->ok || !call->status.ok() || call->response.audio_content().empty()) {
        ++*failures;
        continue;
      }
      latencies.push_back(static_cast<double>(call->end_us - call->start_us) / 1000.0);
    }
    return latencies;
  }

  // Of the last burst: first start to last completion, and first start to
  // last start (ms).
  double LastSpanMs() const { return m_LastSpanMs; }
  double LastIssueMs() const { return m_LastIssueMs; }

 private:
  void Drain() {
    void* tag = nullptr;
    bool ok = false;
    while (m_Queue.Next(&tag, &ok)) {
      DirectCall* call = static_cast<DirectCall*>(tag);
      call->end_us = apr_time_now();
      call->ok = ok;
      {
        std::lock_guard<std::mutex> lock(m_Mutex);
        ++m_Completed;
      }
      m_Cond.notify_all();
    }
  }

  std::vector<std::unique_ptr<tts::TextToSpeech::Stub>> m_Stubs;
  tts::SynthesizeSpeechRequest m_Request;
  grpc::CompletionQueue m_Queue;
  std::thread m_Drainer;
  std::mutex m_Mutex;
  std::condition_variable m_Cond;
  size_t m_Completed = 0;
  double m_LastSpanMs = 0;
  double m_LastIssueMs = 0;
};

// ------------------------------------------------------------ module client

// The kit with the module loaded, channels opened, and the "sent" stamp of
// the last request of each channel taken from the transcript.
class ModuleClient {
 public:
  ModuleClient(vxhost::HostKit* kit) : m_Kit(kit) {
    kit->SetTranscriptCallback([this](const vxhost::TranscriptEntry& entry) {
      if (entry.direction != vxhost::TranscriptEntry::Direction::kSent) return;
      std::lock_guard<std::mutex> lock(m_SentMutex);
      m_SentUs[entry.channel_id] = entry.time_us;
    });
  }

  ~ModuleClient() { m_Kit->SetTranscriptCallback({}); }

  bool OpenChannels(size_t count) {
    for (size_t i = m_Channels.size(); i < count; ++i) {
      vxhost::Channel* channel = m_Kit->CreateChannel("lat" + std::to_string(i), 8000);
      bool status = false;
      if (!channel || !m_Kit->OpenChannel(channel, 5s, &status) || !status) {
        fprintf(stderr, "channel %zu did not open\n", i);
        return false;
      }
      m_Channels.push_back(channel);
    }
    return true;
  }

  // One SPEAK on each of the first `count` channels at once; waits for
  // every IN-PROGRESS and SPEAK-COMPLETE and returns the times to
  // IN-PROGRESS in ms. SPEAKs not answered 200 IN-PROGRESS are counted.
  std::vector<double> Burst(size_t count, size_t* failures) {
    for (size_t i = 0; i < count; ++i) {
      std::string error;
      if (!m_Kit->SendText(m_Channels[i], vxbench::SpeakText(kText), &error)) {
        fprintf(stderr, "SendText: %s\n", error.c_str());
        exit(1);
      }
    }
    std::vector<double> latencies;
    int64_t first_sent = 0;
    int64_t last_sent = 0;
    int64_t last_answer = 0;
    for (size_t i = 0; i < count; ++i) {
      vxhost::Channel* channel = m_Channels[i];
      vxhost::ReceivedMessage response;
      if (!channel->WaitMessage(&response, 30s)) {
        fprintf(stderr, "no response on %s\n", channel->id().c_str());
        exit(1);
      }
      if (response.status_code != 200 ||
          response.request_state != MRCP_REQUEST_STATE_INPROGRESS) {
        ++*failures;
        continue;
      }
      int64_t sent_us = 0;
      {
        std::lock_guard<std::mutex> lock(m_SentMutex);
        sent_us = m_SentUs[channel->id()];
      }
      latencies.push_back(static_cast<double>(response.time_us - sent_us) / 1000.0);
      if (i == 0) first_sent = sent_us;
      last_sent = std::max(last_sent, sent_us);
      last_answer = std::max(last_answer, response.time_us);
      vxhost::ReceivedMessage complete;
      if (!channel->WaitMessage(&complete, 30s) || complete.method_name != "SPEAK-COMPLETE") {
        fprintf(stderr, "no SPEAK-COMPLETE on %s\n", channel->id().c_str());
        exit(1);
      }
    }
    for (size_t i = 0; i < count; ++i) m_Channels[i]->ClearAudio();
    m_LastSpanMs = static_cast<double>(last_answer - first_sent) / 1000.0;
    m_LastIssueMs = static_cast<double>(last_sent - first_sent) / 1000.0;
    return latencies;
  }

  // Of the last burst: first SPEAK sent to last IN-PROGRESS, and first to
  // last SPEAK sent (ms).
  double LastSpanMs() const { return m_LastSpanMs; }
  double LastIssueMs() const { return m_LastIssueMs; }

 private:
  vxhost::HostKit* m_Kit;
  std::vector<vxhost::Channel*> m_Channels;
  std::mutex m_SentMutex;
  std::map<std::string, int64_t> m_SentUs;
  double m_LastSpanMs = 0;
  double m_LastIssueMs = 0;
};

struct Row {
  std::string scenario;
  std::vector<double> direct;
  std::vector<double> module;
  size_t failures = 0;
  double target_p50 = -1;  // ms; negative: no target
  double target_p99 = -1;
  // Bursts only, one value per round (ms): first start to last answer, and
  // first to last request started.
  std::vector<double> direct_span, module_span, direct_issue, module_issue;
};

void PrintTable(const std::vector<Row>& rows) {
  printf("\nTime to first audio (ms): direct async gRPC call vs SPEAK -> IN-PROGRESS "
         "through the module\n");
  printf("%-24s %7s %8s %8s %8s %8s %8s %8s %8s  %-26s %s\n", "scenario", "samples", "dir p50",
         "dir p99", "mod p50", "mod p99", "add p50", "add p99", "", "target", "result");
  for (const Row& row : rows) {
    const double d50 = vxbench::Percentile(row.direct, 50);
    const double d99 = vxbench::Percentile(row.direct, 99);
    const double m50 = vxbench::Percentile(row.module, 50);
    const double m99 = vxbench::Percentile(row.module, 99);
    const double a50 = m50 - d50;
    const double a99 = m99 - d99;
    std::string target;
    bool pass = row.failures == 0;
    if (row.target_p50 >= 0) {
      char text[64];
      snprintf(text, sizeof(text), "added p50<=%.1f ", row.target_p50);
      target += text;
      pass = pass && a50 <= row.target_p50;
    }
    if (row.target_p99 >= 0) {
      char text[64];
      snprintf(text, sizeof(text), "added p99<=%.1f", row.target_p99);
      target += text;
      pass = pass && a99 <= row.target_p99;
    }
    printf("%-24s %7zu %8.3f %8.3f %8.3f %8.3f %8.3f %8.3f %8s  %-26s %s%s\n",
           row.scenario.c_str(), row.module.size(), d50, d99, m50, m99, a50, a99, "",
           target.c_str(), pass ? "PASS" : "MISS",
           row.failures ? (" (" + std::to_string(row.failures) + " failed)").c_str() : "");
  }
  for (const Row& row : rows) {
    if (row.direct_span.empty()) continue;
    printf("\n%s, per round (median of %zu rounds, ms):\n", row.scenario.c_str(),
           row.direct_span.size());
    printf("  %-8s first request started to last started %7.3f, to last answer %7.3f\n",
           "direct", vxbench::Percentile(row.direct_issue, 50),
           vxbench::Percentile(row.direct_span, 50));
    printf("  %-8s first SPEAK sent to last sent          %7.3f, to last IN-PROGRESS %7.3f\n",
           "module", vxbench::Percentile(row.module_issue, 50),
           vxbench::Percentile(row.module_span, 50));
  }
}

}  // namespace

int main(int argc, char** argv) {
  const long speaks = vxbench::IntOption(argc, argv, "speaks", 1000);
  const long rounds = vxbench::IntOption(argc, argv, "rounds", 20);
  const long channels = vxbench::IntOption(argc, argv, "channels", 100);
  const long warmup = vxbench::IntOption(argc, argv, "warmup", 20);
  apr_initialize();

  std::vector<Row> rows;
  {
    vxbench::ScratchTree tree("latency");
    VxTts::TtsServer server;
    if (!vxbench::StartService(&server)) return 1;
    tree.WriteConfig(server.target(), vxbench::kTestVoice);

    std::unique_ptr<vxhost::HostKit> kit = vxbench::OpenKit(tree, VX_MODULE_PATH);
    if (!kit) return 1;
    {
      ModuleClient module(kit.get());
      DirectClient direct(server.target(), static_cast<size_t>(channels));
      if (!module.OpenChannels(static_cast<size_t>(channels))) return 1;

      // One channel: calls alternate, one at a time.
      Row single;
      single.scenario = "1 channel, sequential";
      single.target_p50 = 0.5;
      single.target_p99 = 2.0;
      size_t ignored = 0;
      for (long i = 0; i < warmup; ++i) {
        direct.Burst(1, &ignored);
        module.Burst(1, &ignored);
      }
      for (long i = 0; i < speaks; ++i) {
        for (double ms : direct.Burst(1, &single.failures)) single.direct.push_back(ms);
        for (double ms : module.Burst(1, &single.failures)) single.module.push_back(ms);
      }
      rows.push_back(single);
      fprintf(stderr, "1 channel: %zu SPEAKs done\n", single.module.size());

      // Every channel at once: bursts alternate, round by round. The first
      // round makes every channel's gRPC connection and is not counted.
      Row many;
      many.scenario = std::to_string(channels) + " channels at once";
      many.target_p99 = 5.0;
      direct.Burst(static_cast<size_t>(channels), &ignored);
      module.Burst(static_cast<size_t>(channels), &ignored);
      for (long round = 0; round < rounds; ++round) {
        for (double ms : direct.Burst(static_cast<size_t>(channels), &many.failures)) {
          many.direct.push_back(ms);
        }
        many.direct_span.push_back(direct.LastSpanMs());
        many.direct_issue.push_back(direct.LastIssueMs());
        for (double ms : module.Burst(static_cast<size_t>(channels), &many.failures)) {
          many.module.push_back(ms);
        }
        many.module_span.push_back(module.LastSpanMs());
        many.module_issue.push_back(module.LastIssueMs());
      }
      rows.push_back(many);
      fprintf(stderr, "%ld channels: %ld rounds done\n", channels, rounds);
    }
    kit.reset();
    server.Shutdown();
  }
  PrintTable(rows);
  apr_terminate();
  return 0;
}
