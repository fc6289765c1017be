// Time to first audio against the length of the prompt, for the ways a
// text segment reaches the service, with the local service answering like
// a cloud service (latency model 150 ms to the first byte + 1 ms per
// character, as the service sees it: per call for unary calls, per sentence
// on a stream).
//
// Ways (one engine each, same prompts, same voice):
//   one call    sentence-split="false": the segment's text in one
//               SynthesizeSpeech call (a text over 5000 bytes is refused)
//   pieces      sentence-split="true": sentence pieces, one call each
//   streaming   streaming-voices="*-Chirp3-HD-*" (sentence pieces on, as by
//               default): one StreamingSynthesize call per segment, its
//               text in messages of whole sentences, audio per sentence
// Prompts: 1, 10 and 40 sentences (the last near 5000 bytes) and a text of
// 10,000 characters, in the streaming test voice "en-US-Chirp3-HD-TestBytes"
// (20 ms of audio per byte) on 8 kHz channels.
//
// Time to first audio: --speaks SPEAKs (default 20) per prompt and way, all
// at once on as many channels of a kit that pulls frames as fast as they
// come; from just before the SPEAK is handed to the kit to the arrival of
// its IN-PROGRESS (APR time both). Every SPEAK runs to its end, and its
// completion is checked: "ok" when every one ended with cause 000.
//
// Underruns (frames the media thread had to fill with silence mid-SPEAK):
// the same SPEAKs on a kit paced in real time (20 ms per frame). Audio can
// only run short while the service is still delivering, that is until the
// latency model's time for the whole text has passed, so each SPEAK is
// stopped one second after that if it is still playing (--no-realtime
// skips this part).
//
// Prints one table: ways by prompts, p50 and p99 of the time to first
// audio, the ratio of p50 to that of the 1-sentence prompt of the same way,
// the outcome, and the underruns.

#include <apr_general.h>
#include <apr_time.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "TtsServer.h"
#include "vxhost/HostKit.h"

namespace {

using namespace std::chrono_literals;

const char kVoice[] = "en-US-Chirp3-HD-TestBytes";
constexpr long long kFirstByteMs = 150;
constexpr double kMsPerChar = 1.0;

struct Way {
  const char* name;
  const char* attributes;
};

const Way kWays[] = {
    {"one call", "sentence-split=\"false\""},
    {"pieces", "sentence-split=\"true\""},
    {"streaming", "sentence-split=\"true\" streaming-voices=\"*-Chirp3-HD-*\""},
};

struct Prompt {
  std::string name;
  std::string text;
};

// Sentence i of a prompt: about 120 bytes, so that 40 of them come near
// the service's 5000-byte limit.
std::string Sentence(int i) {
  return "This is sentence number " + std::to_string(i + 1) +
         " of the prompt, and it tells the caller a little more about the state of "
         "the account today. ";
}

std::vector<Prompt> Prompts() {
  std::vector<Prompt> prompts;
  for (int count : {1, 10, 40}) {
    std::string text;
    for (int i = 0; i < count; ++i) text += Sentence(i);
    text.pop_back();  // no blank after the last sentence
    prompts.push_back({std::to_string(count) + (count == 1 ? " sentence" : " sentences"), text});
  }
  std::string long_text;
  for (int i = 0; long_text.size() < 10000; ++i) long_text += Sentence(i);
  long_text.resize(10000);
  long_text.back() = '.';
  prompts.push_back({"10,000 characters", long_text});
  return prompts;
}

struct Outcome {
  std::vector<double> first_audio_ms;
  size_t failures = 0;  // SPEAKs refused or ended with a cause other than 000
  std::string failure;  // the first failure's status or cause
  size_t underruns = 0;
  bool underruns_measured = false;
};

// One SPEAK on each channel at once; returns per-channel send times.
std::vector<int64_t> SendAll(vxhost::HostKit& kit, const std::vector<vxhost::Channel*>& channels,
                             const std::string& text) {
  std::vector<int64_t> sent;
  for (vxhost::Channel* channel : channels) {
    std::string error;
    sent.push_back(apr_time_now());
    if (!kit.SendText(channel, vxbench::SpeakText(text), &error)) {
      fprintf(stderr, "SendText: %s\n", error.c_str());
      exit(1);
    }
  }
  return sent;
}

void MeasureFirstAudio(vxhost::HostKit& kit, const std::vector<vxhost::Channel*>& channels,
                       const std::string& text, Outcome* outcome) {
  const std::vector<int64_t> sent = SendAll(kit, channels, text);
  for (size_t i = 0; i < channels.size(); ++i) {
    vxhost::ReceivedMessage message;
    if (!channels[i]->WaitMessage(&message, 120s)) {
      fprintf(stderr, "no answer to a SPEAK\n");
      exit(1);
    }
    if (message.request_state != MRCP_REQUEST_STATE_INPROGRESS) {
      ++outcome->failures;
      if (outcome->failure.empty()) outcome->failure = std::to_string(message.status_code);
      continue;
    }
    outcome->first_audio_ms.push_back(static_cast<double>(message.time_us - sent[i]) / 1000.0);
    if (!channels[i]->WaitMessage(&message, 600s)) {
      fprintf(stderr, "a SPEAK did not complete\n");
      exit(1);
    }
    if (message.completion_cause != 0) {
      ++outcome->failures;
      if (outcome->failure.empty()) {
        char cause[16];
        snprintf(cause, sizeof(cause), "cause %03d", message.completion_cause);
        outcome->failure = cause;
      }
    }
  }
  for (vxhost::Channel* channel : channels) channel->ClearAudio();
}

void MeasureUnderruns(vxhost::HostKit& kit, const std::vector<vxhost::Channel*>& channels,
                      const std::string& text, Outcome* outcome) {
  std::vector<size_t> before;
  for (vxhost::Channel* channel : channels) before.push_back(channel->Underruns());
  SendAll(kit, channels, text);
  const auto delivered =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kFirstByteMs) +
      std::chrono::milliseconds(static_cast<long>(kMsPerChar * text.size())) + 1s;
  for (vxhost::Channel* channel : channels) {
    vxhost::ReceivedMessage message;
    if (!channel->WaitMessage(&message, 120s)) exit(1);
    if (message.request_state != MRCP_REQUEST_STATE_INPROGRESS) continue;  // refused
    const auto left = delivered - std::chrono::steady_clock::now();
    if (channel->WaitMessage(&message,
                             std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::max<std::chrono::steady_clock::duration>(left, 0ms)))) {
      continue;  // played to its end in time
    }
    std::string error;
    kit.SendText(channel, "MRCP/2.0 0 STOP 0\r\n\r\n", &error);
    if (!channel->WaitMessage(&message, 10s)) exit(1);
  }
  for (size_t i = 0; i < channels.size(); ++i) {
    outcome->underruns += channels[i]->Underruns() - before[i];
    channels[i]->ClearAudio();
  }
  outcome->underruns_measured = true;
}

// Runs every prompt through one way on a kit of its own.
void RunWay(const Way& way, const std::vector<Prompt>& prompts, const std::string& target,
            size_t speaks, bool realtime, std::vector<Outcome>* outcomes) {
  for (bool paced : {false, true}) {
    if (paced && !realtime) break;
    vxbench::ScratchTree tree("stream");
    tree.WriteConfig(target, kVoice, way.attributes);
    vxhost::HostKit::Options options = vxbench::QuietKitOptions(tree);
    options.realtime = paced;
    options.log_priority = APT_PRIO_ERROR;
    std::unique_ptr<vxhost::HostKit> kit(new vxhost::HostKit(options));
    std::string error;
    bool opened = false;
    if (!kit->LoadModule(VX_MODULE_PATH, &error) || !kit->OpenEngine(10s, &opened) || !opened) {
      fprintf(stderr, "the engine did not open: %s\n", error.c_str());
      exit(1);
    }
    std::vector<vxhost::Channel*> channels;
    for (size_t i = 0; i < speaks; ++i) {
      vxhost::Channel* channel = kit->CreateChannel("bench" + std::to_string(i), 8000);
      bool ok = false;
      if (!channel || !kit->OpenChannel(channel, 5s, &ok) || !ok) {
        fprintf(stderr, "a channel did not open\n");
        exit(1);
      }
      channels.push_back(channel);
    }
    for (size_t p = 0; p < prompts.size(); ++p) {
      if (paced) {
        MeasureUnderruns(*kit, channels, prompts[p].text, &(*outcomes)[p]);
      } else {
        MeasureFirstAudio(*kit, channels, prompts[p].text, &(*outcomes)[p]);
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const long speaks = vxbench::IntOption(argc, argv, "speaks", 20);
  bool realtime = true;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--no-realtime") realtime = false;
  }
  if (speaks < 1 || speaks > 200) {
    fprintf(stderr, "--speaks must be 1..200\n");
    return 1;
  }
  apr_initialize();
  VxTts::TtsServerOptions service;
  service.first_byte_ms = kFirstByteMs;
  service.ms_per_char = kMsPerChar;
  VxTts::TtsServer server;
  std::string error;
  if (!server.Start(service, &error)) {
    fprintf(stderr, "speech service: %s\n", error.c_str());
    return 1;
  }
  const std::vector<Prompt> prompts = Prompts();
  printf(
      "time to first audio, %ld SPEAKs per prompt at once, latency model %lld ms + %.0f ms "
      "per character\n\n",
      speaks, kFirstByteMs, kMsPerChar);
  printf("%-10s %-18s %6s %9s %9s %7s  %-14s %s\n", "way", "prompt", "bytes", "p50 ms", "p99 ms",
         "ratio", "outcome", "underruns");
  std::vector<std::string> verdicts;
  for (const Way& way : kWays) {
    std::vector<Outcome> outcomes(prompts.size());
    RunWay(way, prompts, server.target(), static_cast<size_t>(speaks), realtime, &outcomes);
    const double base = vxbench::Percentile(outcomes[0].first_audio_ms, 50);
    for (size_t p = 0; p < prompts.size(); ++p) {
      const Outcome& o = outcomes[p];
      char p50[16] = "-", p99[16] = "-", ratio[16] = "-", underruns[16] = "-";
      if (!o.first_audio_ms.empty()) {
        const double median = vxbench::Percentile(o.first_audio_ms, 50);
        snprintf(p50, sizeof(p50), "%.0f", median);
        snprintf(p99, sizeof(p99), "%.0f", vxbench::Percentile(o.first_audio_ms, 99));
        if (base > 0) snprintf(ratio, sizeof(ratio), "%.2f", median / base);
      }
      if (o.underruns_measured) snprintf(underruns, sizeof(underruns), "%zu", o.underruns);
      const std::string result =
          o.failures == 0 ? "ok" : std::to_string(o.failures) + " x " + o.failure;
      printf("%-10s %-18s %6zu %9s %9s %7s  %-14s %s\n", way.name, prompts[p].name.c_str(),
             prompts[p].text.size(), p50, p99, ratio, result.c_str(), underruns);
    }
    // The targets apply to the ways that do not wait for the whole text.
    if (std::string(way.name) == "one call") continue;
    const double forty = vxbench::Percentile(outcomes[2].first_audio_ms, 50);
    char line[200];
    snprintf(line, sizeof(line), "%-10s 40 sentences within 1.2 x the first audio of 1: %s (%.2f)",
             way.name,
             base > 0 && forty <= 1.2 * base && outcomes[2].failures == 0 ? "PASS" : "MISS",
             base > 0 ? forty / base : 0.0);
    verdicts.push_back(line);
    size_t underruns = 0;
    for (const Outcome& o : outcomes) underruns += o.underruns;
    snprintf(line, sizeof(line), "%-10s no underruns: %s", way.name,
             !realtime        ? "not measured"
             : underruns == 0 ? "PASS"
                              : "MISS");
    verdicts.push_back(line);
    snprintf(line, sizeof(line), "%-10s 10,000 characters complete with cause 000: %s", way.name,
             outcomes[3].failures == 0 && !outcomes[3].first_audio_ms.empty() ? "PASS" : "MISS");
    verdicts.push_back(line);
  }
  printf("\n");
  for (const std::string& verdict : verdicts) printf("%s\n", verdict.c_str());
  server.Shutdown();
  return 0;
}
