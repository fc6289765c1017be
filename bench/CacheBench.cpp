// The waveform cache: time to first audio of a 5-second prompt served from
// the cache against the same prompt synthesized by the local service's
// espeak-ng voice, in the same run, and the engine's start-up scan of a
// folder of --records (default 10000) cache records.
//
// Before the engine opens, the program fills the waveform folder with
// records in the module's own formats: "vexora-<channel>-<request>.wav"
// (44-byte RIFF header, 16-bit mono PCM at 8 kHz) beside
// "vexora-<channel>-<request>.cache", a descriptor of length-prefixed tokens
// (4-byte little-endian count, then the bytes): checksum, language,
// sampling-rate, voice-name, content. One record holds the 5-second prompt
// (80000 bytes of audio); the others hold varied sentences of 2 to 30 words
// with 100 ms of audio each (the scan reads names and descriptors only, so
// their audio length does not matter). The configuration caches
// (caching="true"), with max-file-count="0" so that nothing is evicted.
//
// The start-up scan: time of the engine open (the open response comes once
// the first records are indexed; a larger folder is indexed on behind it),
// the time until every record is indexed, and VmRSS before the open and
// once every record is indexed, against a baseline
// engine opened on an empty folder in a child process forked first (the
// module allows one engine per process).
//
// Time to first audio: SPEAK handed to the kit's signalling thread (the
// transcript's "sent" stamp) to 200 IN-PROGRESS (ReceivedMessage::time_us),
// fast media mode, log sink writing nowhere at WARNING.
//   hit:   --hits (default 300) SPEAKs of the cached prompt
//   synth: --synths (default 30) SPEAKs of the same prompt with its letters'
//          case varied per SPEAK: espeak-ng speaks them alike, but each is a
//          cache miss (the record's content is compared exactly) and is
//          synthesized. Hits and synthesized SPEAKs alternate.
// Target: a cache hit reaches IN-PROGRESS in under 1 ms at p99.
//
// --template=1: the records and the prompt are instances of one template
// ("Your balance is N dollars and M cents."), so that thousands share the
// prompt's checksum; the lookup must still read one descriptor.
//
// The first synthesized SPEAK also checks this program's descriptor format:
// the descriptor the module writes for it must equal the one this program
// would write for the same record.

#include <apr_general.h>
#include <apr_time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "RiffWave.h"
#include "TtsServer.h"
#include "vxhost/HostKit.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const char kVoice[] = "espeak-en-us";
const char kLanguage[] = "en-US";
constexpr unsigned kRate = 8000;
// About five seconds when espeak-ng speaks it at its default speed.
const std::string kMenuPrompt =
    "Thank you for calling. Please listen carefully, as our menu options have recently changed.";
// With --template=1 every record is an instance of one template, and so is
// the cached prompt: their checksums (the sum of the bytes) fall into a
// handful of values, and thousands of records share the prompt's.
const std::string kTemplatePrompt = "Your balance is 45 dollars and 67 cents.";
std::string kPrompt = kMenuPrompt;
bool g_Template = false;
constexpr size_t kPromptAudioBytes = 5 * kRate * 2;  // the cached record: 5 s
constexpr size_t kFillerAudioBytes = kRate * 2 / 10;  // 100 ms
constexpr double kTargetHitP99Ms = 1.0;

// ---------------------------------------------------------- record formats

// A canonical 44-byte-header WAVE image of 16-bit mono PCM: a 440 Hz tone.
std::string WaveImage(size_t audio_bytes) {
  std::vector<int16_t> samples(audio_bytes / 2);
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440.0 * static_cast<double>(i) / kRate));
  }
  return VxTts::Pcm16WaveHeader(audio_bytes, kRate) + VxTts::Pcm16Bytes(samples);
}

// The module's checksum of a segment's content: the sum of its bytes as
// signed chars.
uint64_t Checksum(const std::string& text) {
  uint64_t sum = 0;
  for (char c : text) sum += static_cast<uint64_t>(static_cast<int64_t>(static_cast<signed char>(c)));
  return sum;
}

void PutToken(std::string& out, const std::string& token) {
  VxTts::PutLe32(&out, static_cast<uint32_t>(token.size()));
  out += token;
}

// The descriptor of a record without voice gender, prosody or uses.
std::string Descriptor(const std::string& content) {
  std::string out;
  PutToken(out, "checksum");
  PutToken(out, std::to_string(Checksum(content)));
  PutToken(out, "language");
  PutToken(out, kLanguage);
  PutToken(out, "sampling-rate");
  PutToken(out, std::to_string(kRate));
  PutToken(out, "voice-name");
  PutToken(out, kVoice);
  PutToken(out, "content");
  PutToken(out, content);
  return out;
}

void WriteRecord(const fs::path& folder, const std::string& base, const std::string& wave,
                 const std::string& content) {
  vxbench::WriteFile(folder / (base + ".wav"), wave);
  vxbench::WriteFile(folder / (base + ".cache"), Descriptor(content));
}

// Fills `folder` with `count` records: the prompt's and count - 1 others.
// Returns how many of the others share the prompt's checksum.
size_t FillFolder(const fs::path& folder, size_t count, size_t* largest_bucket) {
  static const char* const kWords[] = {
      "account", "balance", "please", "enter", "your", "number", "followed", "by", "the",
      "pound", "key", "thank", "you", "for", "calling", "press", "one", "two", "three", "to",
      "speak", "with", "an", "agent", "our", "office", "hours", "are", "Monday", "through",
      "Friday", "from", "nine", "until", "five", "sorry", "I", "did", "not", "understand",
      "that", "say", "again", "payment", "due", "date", "is", "March", "April", "dollars",
      "and", "cents", "main", "menu", "return", "previous", "option", "order", "status",
      "shipped", "delivery", "expected", "within", "business", "days", "goodbye", "welcome",
      "back", "record", "message", "after", "tone", "hang", "up", "when", "finished"};
  const size_t word_count = sizeof(kWords) / sizeof(kWords[0]);
  std::mt19937 random(12345);
  std::uniform_int_distribution<size_t> length(2, 30);
  std::uniform_int_distribution<size_t> pick(0, word_count - 1);
  const std::string filler_wave = WaveImage(kFillerAudioBytes);
  std::map<uint64_t, size_t> buckets;
  const uint64_t prompt_sum = Checksum(kPrompt);
  size_t same = 0;
  for (size_t i = 1; i < count; ++i) {
    std::string text;
    if (g_Template) {
      // Every pair of amounts once; past the 10,000 pairs a reference
      // number is added.
      text = "Your balance is " + std::to_string(i % 100) + " dollars and " +
             std::to_string(i / 100 % 100) + " cents.";
      if (i >= 10000) text += " Reference " + std::to_string(i) + ".";
      if (text == kPrompt) text = "Your balance is 45 dollars and 67 cents. Reference 0.";
    } else {
      const size_t words = length(random);
      for (size_t w = 0; w < words; ++w) {
        if (w) text += ' ';
        text += kWords[pick(random)];
      }
      text += " (" + std::to_string(i) + ").";  // every record's content differs
    }
    const uint64_t sum = Checksum(text);
    ++buckets[sum];
    if (sum == prompt_sum) ++same;
    WriteRecord(folder, "vexora-seed" + std::to_string(i / 100) + "-" + std::to_string(i % 100 + 1),
                filler_wave, text);
  }
  WriteRecord(folder, "vexora-prompt-1", WaveImage(kPromptAudioBytes), kPrompt);
  *largest_bucket = 0;
  for (const auto& bucket : buckets) *largest_bucket = std::max(*largest_bucket, bucket.second);
  return same;
}

// The prompt with its letters' case set by the bits of `variant` (never 0).
std::string CaseVariant(size_t variant) {
  std::string text = kPrompt;
  size_t bit = 0;
  for (char& c : text) {
    if (!isalpha(static_cast<unsigned char>(c))) continue;
    if ((variant >> (bit++ % 48)) & 1) {
      c = static_cast<char>(isupper(static_cast<unsigned char>(c)) ? tolower(c) : toupper(c));
    }
  }
  return text;
}

std::string Config(const std::string& target) {
  return "<?xml version=\"1.0\"?>\n<vexora gapp-credentials-file=\"placeholder-key.json\">\n"
         "  <synth-settings secure-transport=\"false\" service-uri=\"" +
         target + "\" voice-name=\"" + kVoice + "\" language=\"" + kLanguage +
         "\" caching=\"true\"/>\n"
         "  <waveform-manager waveform-folder=\"waveforms\" max-file-count=\"0\"/>\n"
         "</vexora>\n";
}

struct OpenCost {
  double open_ms = -1;
  double indexed_ms = -1;  // until every record is indexed
  long rss_before_kib = -1;
  long rss_after_kib = -1;  // once every record is indexed
};

// Loads the module into `kit` and opens the engine, timing the open.
bool OpenEngine(vxhost::HostKit* kit, OpenCost* cost) {
  std::string error;
  if (!kit->LoadModule(VX_MODULE_PATH, &error)) {
    fprintf(stderr, "LoadModule: %s\n", error.c_str());
    return false;
  }
  cost->rss_before_kib = vxbench::ResidentKiB();
  vxhost::LogCapture log(true, APT_PRIO_NOTICE);
  const auto start = std::chrono::steady_clock::now();
  bool opened = false;
  const bool answered = kit->OpenEngine(120s, &opened);
  cost->open_ms = vxbench::MillisSince(start);
  if (!answered || !opened) {
    fprintf(stderr, "the engine did not open\n");
    return false;
  }
  // A large folder is indexed on after the open: the figures that count
  // are taken once it is whole.
  if (log.Count("Index Cache Records in Background") > 0 &&
      !log.WaitFor("Cache Records Indexed", 600s)) {
    fprintf(stderr, "the records were not indexed\n");
    return false;
  }
  cost->indexed_ms = vxbench::MillisSince(start);
  cost->rss_after_kib = vxbench::ResidentKiB();
  return true;
}

// The baseline: an engine opened on an empty waveform folder, in a child
// process forked before this process starts anything. Its numbers come
// back through a pipe.
bool BaselineOpen(OpenCost* cost) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    close(fds[0]);
    apr_initialize();
    OpenCost child;
    {
      vxbench::ScratchTree tree("cache-empty");
      vxbench::WriteFile(tree.root() / "conf" / "vexora.xml", Config("127.0.0.1:1"));
      fs::create_directories(tree.root() / "var" / "waveforms");
      vxhost::HostKit kit(vxbench::QuietKitOptions(tree));
      if (!OpenEngine(&kit, &child)) child.open_ms = -1;
    }
    if (write(fds[1], &child, sizeof(child)) != static_cast<ssize_t>(sizeof(child))) _exit(1);
    _exit(0);
  }
  close(fds[1]);
  const bool ok = read(fds[0], cost, sizeof(*cost)) == static_cast<ssize_t>(sizeof(*cost));
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  return ok && cost->open_ms >= 0;
}

// One channel's SPEAKs with the kit's "sent" stamps from the transcript.
class Speaker {
 public:
  Speaker(vxhost::HostKit* kit, vxhost::Channel* channel) : m_Kit(kit), m_Channel(channel) {
    kit->SetTranscriptCallback([this](const vxhost::TranscriptEntry& entry) {
      if (entry.direction != vxhost::TranscriptEntry::Direction::kSent) return;
      std::lock_guard<std::mutex> lock(m_Mutex);
      m_SentUs = entry.time_us;
    });
  }
  ~Speaker() { m_Kit->SetTranscriptCallback({}); }

  // Time to IN-PROGRESS in ms; negative when the SPEAK failed. Waits for
  // SPEAK-COMPLETE; *audio_bytes gets the audio played.
  double Speak(const std::string& text, mrcp_request_id* request_id, size_t* audio_bytes) {
    std::string error;
    if (!m_Kit->SendText(m_Channel, vxbench::SpeakText(text), &error, request_id)) {
      fprintf(stderr, "SendText: %s\n", error.c_str());
      return -1;
    }
    vxhost::ReceivedMessage response;
    if (!m_Channel->WaitMessage(&response, 60s)) return -1;
    if (response.status_code != 200 || response.request_state != MRCP_REQUEST_STATE_INPROGRESS) {
      return -1;
    }
    int64_t sent = 0;
    {
      std::lock_guard<std::mutex> lock(m_Mutex);
      sent = m_SentUs;
    }
    vxhost::ReceivedMessage complete;
    if (!m_Channel->WaitMessage(&complete, 60s) || complete.method_name != "SPEAK-COMPLETE") {
      return -1;
    }
    *audio_bytes = m_Channel->AudioBytes();
    m_Channel->ClearAudio();
    return static_cast<double>(response.time_us - sent) / 1000.0;
  }

 private:
  vxhost::HostKit* m_Kit;
  vxhost::Channel* m_Channel;
  std::mutex m_Mutex;
  int64_t m_SentUs = 0;
};

}  // namespace

int main(int argc, char** argv) {
  const long records = vxbench::IntOption(argc, argv, "records", 10000);
  const long hits = vxbench::IntOption(argc, argv, "hits", 300);
  const long synths = vxbench::IntOption(argc, argv, "synths", 30);
  g_Template = vxbench::IntOption(argc, argv, "template", 0) != 0;
  if (g_Template) kPrompt = kTemplatePrompt;
  if (records < 1 || hits < 1 || synths < 1) {
    fprintf(stderr, "--records, --hits and --synths must be positive\n");
    return 1;
  }

  OpenCost baseline;
  const bool have_baseline = BaselineOpen(&baseline);
  apr_initialize();

  OpenCost scan;
  size_t same_checksum = 0;
  size_t largest_bucket = 0;
  double fill_ms = 0;
  std::vector<double> hit_ms;
  std::vector<double> synth_ms;
  size_t failures = 0;
  size_t hit_audio = 0;
  size_t synth_audio = 0;
  std::string format_check = "not made";
  {
    vxbench::ScratchTree tree("cache");
    VxTts::TtsServer server;
    if (!vxbench::StartService(&server)) return 1;
    if (!server.warning().empty()) {  // the espeak-ng voice is needed here
      fprintf(stderr, "speech service: %s\n", server.warning().c_str());
      return 1;
    }
    vxbench::WriteFile(tree.root() / "conf" / "vexora.xml", Config(server.target()));
    const fs::path folder = tree.root() / "var" / "waveforms";
    fs::create_directories(folder);
    const auto fill_start = std::chrono::steady_clock::now();
    same_checksum = FillFolder(folder, static_cast<size_t>(records), &largest_bucket);
    fill_ms = vxbench::MillisSince(fill_start);
    fprintf(stderr, "%ld records written in %.0f ms\n", records, fill_ms);

    std::unique_ptr<vxhost::HostKit> kit(new vxhost::HostKit(vxbench::QuietKitOptions(tree)));
    if (!OpenEngine(kit.get(), &scan)) return 1;
    vxhost::Channel* channel = kit->CreateChannel("cache", kRate);
    bool status = false;
    if (!channel || !kit->OpenChannel(channel, 5s, &status) || !status) {
      fprintf(stderr, "the channel did not open\n");
      return 1;
    }
    {
      Speaker speaker(kit.get(), channel);
      mrcp_request_id id = 0;
      size_t audio = 0;
      // Warm-up: the channel's gRPC connection, the espeak-ng voice, and a
      // first hit. The first synthesized SPEAK's descriptor checks the format.
      const std::string first = CaseVariant(0xFFFFFFFFFFFFull);
      if (speaker.Speak(first, &id, &audio) < 0) {
        fprintf(stderr, "the first synthesized SPEAK failed\n");
        return 1;
      }
      const fs::path written = folder / ("vexora-cache-" + std::to_string(id) + ".cache");
      std::string expected = Descriptor(first);
      format_check = fs::exists(written)
                         ? (vxbench::ReadWhole(written) == expected ? "OK (module's descriptor equals ours)"
                                                           : "MISMATCH")
                         : "no descriptor written by the module";
      if (speaker.Speak(kPrompt, &id, &audio) < 0) {
        fprintf(stderr, "the first cache hit failed\n");
        return 1;
      }
      const long total = std::max(hits, synths);
      for (long i = 0; i < total; ++i) {
        if (i < hits) {
          const double ms = speaker.Speak(kPrompt, &id, &audio);
          if (ms < 0) {
            ++failures;
          } else {
            hit_ms.push_back(ms);
            hit_audio = audio;
          }
        }
        if (i < synths) {
          const double ms = speaker.Speak(CaseVariant(static_cast<size_t>(i) + 1), &id, &audio);
          if (ms < 0) {
            ++failures;
          } else {
            synth_ms.push_back(ms);
            synth_audio = audio;
          }
        }
      }
    }
    kit.reset();
    server.Shutdown();
  }

  printf("\nStart-up scan of the waveform folder (engine open, caching on)\n");
  printf("%-34s %12s %12s %16s\n", "folder", "open ms", "indexed ms", "VmRSS growth KiB");
  if (have_baseline) {
    printf("%-34s %12.1f %12.1f %+16ld\n", "empty (baseline, child process)", baseline.open_ms,
           baseline.indexed_ms, baseline.rss_after_kib - baseline.rss_before_kib);
  }
  char label[64];
  snprintf(label, sizeof(label), "%ld records", records);
  printf("%-34s %12.1f %12.1f %+16ld\n", label, scan.open_ms, scan.indexed_ms,
         scan.rss_after_kib - scan.rss_before_kib);
  if (have_baseline) {
    const long growth = (scan.rss_after_kib - scan.rss_before_kib) -
                        (baseline.rss_after_kib - baseline.rss_before_kib);
    printf("%-34s %12.1f %12.1f %+16ld  (%.0f bytes per record)\n", "scan's own cost",
           scan.open_ms - baseline.open_ms, scan.indexed_ms - baseline.indexed_ms, growth,
           growth * 1024.0 / static_cast<double>(records));
  }
  printf("records written beforehand in %.0f ms; records sharing the prompt's checksum: %zu; "
         "largest checksum bucket: %zu\n",
         fill_ms, same_checksum, largest_bucket);
  printf("descriptor format check: %s\n", format_check.c_str());

  printf("\nTime to first audio of the 5 s prompt (ms, SPEAK -> IN-PROGRESS)\n");
  printf("%-34s %7s %8s %8s %8s %9s\n", "path", "samples", "p50", "p99", "max", "audio s");
  printf("%-34s %7zu %8.3f %8.3f %8.3f %9.2f\n", "cache hit", hit_ms.size(),
         vxbench::Percentile(hit_ms, 50), vxbench::Percentile(hit_ms, 99),
         vxbench::Percentile(hit_ms, 100), hit_audio / (2.0 * kRate));
  printf("%-34s %7zu %8.3f %8.3f %8.3f %9.2f\n", "synthesized (espeak-en-us)", synth_ms.size(),
         vxbench::Percentile(synth_ms, 50), vxbench::Percentile(synth_ms, 99),
         vxbench::Percentile(synth_ms, 100), synth_audio / (2.0 * kRate));
  const double hit_p99 = vxbench::Percentile(hit_ms, 99);
  if (!synth_ms.empty() && hit_p99 > 0) {
    printf("ratio synthesized p50 / cache hit p50: %.1fx\n",
           vxbench::Percentile(synth_ms, 50) / vxbench::Percentile(hit_ms, 50));
  }
  printf("target: cache hit p99 < %.1f ms: %s%s\n", kTargetHitP99Ms,
         !hit_ms.empty() && hit_p99 < kTargetHitP99Ms && failures == 0 ? "PASS" : "MISS",
         failures ? (" (" + std::to_string(failures) + " SPEAKs failed)").c_str() : "");
  apr_terminate();
  return 0;
}
