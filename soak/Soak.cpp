// vexora-soak: the module loaded from its built file into the host kit as a
// host loads it, the local speech service in the same process, and many
// channels driven at once with random but reproducible sequences of
// requests while the service is faulted, stopped and restarted by a
// schedule of its own. Every message and every 20 ms frame is checked as it
// arrives (SoakModel.h); the folders, the log and the memory at the end.
// The first broken invariant ends the run with its seed and the channel's
// last events.
//
//   vexora-soak [--channels N] [--seconds S] [--seed S] [--bypass-ssml on|off]
//               [--channel-base K] [--calm] [--keep] [--root DIR]

#include <apr_general.h>
#include <google/protobuf/struct.pb.h>
#include <google/protobuf/util/json_util.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "RiffWave.h"
#include "SoakModel.h"
#include "TestBytesVoice.h"
#include "TtsServer.h"
#include "vxhost/HostKit.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace VxSoak {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

struct Options {
  int channels = 200;
  int seconds = 60;
  uint64_t seed = 0;
  int channel_base = 0;
  int bypass = -1;  // -1: chosen by the seed
  bool calm = false;
  bool keep = false;
  std::string root;
  int deadline_ms = 4000;
  int max_file_count = 40;
  int slack_ms = 1000;
};

void Usage(FILE* out) {
  fprintf(out,
          "usage: vexora-soak [options]\n"
          "  --channels N        channels driven at once (200)\n"
          "  --seconds S         length of the run (60)\n"
          "  --seed S            seed of every random choice (from the clock)\n"
          "  --bypass-ssml on|off  SSML sent unchanged or rebuilt (by the seed)\n"
          "  --channel-base K    number of the first channel, to replay one\n"
          "  --calm              no service faults\n"
          "  --slack-ms MS       added to every time bound (1000)\n"
          "  --keep              keep the scratch folder\n"
          "  --root DIR          scratch folder (a new one under /tmp)\n");
}

bool ParseOptions(int argc, char** argv, Options* options) {
  bool seeded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char* name) -> const char* {
      if (i + 1 >= argc) {
        fprintf(stderr, "vexora-soak: %s needs a value\n", name);
        return nullptr;
      }
      return argv[++i];
    };
    auto number = [&](const char* name, long long low, long long high, long long* out) {
      const char* text = value(name);
      if (!text) return false;
      char* end = nullptr;
      errno = 0;
      const long long parsed = strtoll(text, &end, 10);
      if (errno || !end || *end || end == text || parsed < low || parsed > high) {
        fprintf(stderr, "vexora-soak: bad value for %s: %s\n", name, text);
        return false;
      }
      *out = parsed;
      return true;
    };
    long long n = 0;
    if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      exit(0);
    } else if (arg == "--channels") {
      if (!number("--channels", 1, 5000, &n)) return false;
      options->channels = static_cast<int>(n);
    } else if (arg == "--seconds") {
      if (!number("--seconds", 1, 86400, &n)) return false;
      options->seconds = static_cast<int>(n);
    } else if (arg == "--seed") {
      if (!number("--seed", 0, INT64_MAX, &n)) return false;
      options->seed = static_cast<uint64_t>(n);
      seeded = true;
    } else if (arg == "--channel-base") {
      if (!number("--channel-base", 0, 1000000, &n)) return false;
      options->channel_base = static_cast<int>(n);
    } else if (arg == "--slack-ms") {
      if (!number("--slack-ms", 0, 600000, &n)) return false;
      options->slack_ms = static_cast<int>(n);
    } else if (arg == "--bypass-ssml") {
      const char* text = value("--bypass-ssml");
      if (!text) return false;
      if (strcmp(text, "on") == 0) {
        options->bypass = 1;
      } else if (strcmp(text, "off") == 0) {
        options->bypass = 0;
      } else {
        fprintf(stderr, "vexora-soak: --bypass-ssml takes on or off\n");
        return false;
      }
    } else if (arg == "--calm") {
      options->calm = true;
    } else if (arg == "--keep") {
      options->keep = true;
    } else if (arg == "--root") {
      const char* text = value("--root");
      if (!text) return false;
      options->root = text;
    } else {
      fprintf(stderr, "vexora-soak: unknown option %s\n", arg.c_str());
      Usage(stderr);
      return false;
    }
  }
  if (!seeded) options->seed = static_cast<uint64_t>(NowUs()) % 1000000000;
  if (options->bypass < 0) options->bypass = static_cast<int>(options->seed & 1);
  return true;
}

void WriteFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream stream(path, std::ios::binary | std::ios::trunc);
  stream << content;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  std::ostringstream text;
  text << stream.rdbuf();
  return text.str();
}

// A 16-bit mono PCM WAVE file of samples.
std::string WaveFile(const std::vector<int16_t>& samples, int rate) {
  return VxTts::Pcm16WaveHeader(samples.size() * 2, rate) + VxTts::Pcm16Bytes(samples);
}

// Counts of log lines the end checks and the summary need. Filled on the
// logging thread under the sink's lock.
struct LogCounts {
  std::atomic<size_t> records_saved{0};
  std::atomic<size_t> cache_hits{0};
  std::atomic<size_t> cache_added{0};
  std::atomic<size_t> replaced{0};
  std::atomic<size_t> evicted{0};
  std::atomic<size_t> grpc_failures{0};
  std::mutex mutex;  // guards the fields below
  std::vector<std::string> faults;  // lines that are faults of the module
  std::deque<std::string> recent;   // the last lines at INFO and above
  int waveform_entries = -1;        // the last count the waveform store logged
  int record_entries = -1;
};

int LastNumberIn(const std::string& line, const char* after) {
  size_t at = line.find(after);
  if (at == std::string::npos) return -1;
  return atoi(line.c_str() + at + strlen(after));
}

// The schedule of service faults: calm spells and storms. The driver asks
// whether a span of time came near a storm.
class Weather {
 public:
  Weather(VxTts::TtsServer* server, VxTts::TtsServerOptions server_options, uint64_t seed,
          int deadline_ms)
      : m_Server(server),
        m_ServerOptions(std::move(server_options)),
        m_Random(seed ^ 0x5eedfa17u),
        m_DeadlineMs(deadline_ms) {}

  void Start() { m_Thread = std::thread([this] { Run(); }); }
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(m_Mutex);
      m_Stopping = true;
    }
    m_Cond.notify_all();
    if (m_Thread.joinable()) m_Thread.join();
  }

  // Whether [from, to] overlapped a storm or the time its calls and the
  // reconnection after it may take.
  bool Stormy(int64_t from_us, int64_t to_us) const {
    const int64_t tail = (2 * static_cast<int64_t>(m_DeadlineMs) + 3000) * 1000;
    std::lock_guard<std::mutex> lock(m_Mutex);
    for (const auto& storm : m_Storms) {
      const int64_t end = storm.second == 0 ? INT64_MAX : storm.second + tail;
      if (from_us <= end && to_us >= storm.first) return true;
    }
    return false;
  }

  std::string Summary() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    std::string out = std::to_string(m_Storms.size()) + " storms:";
    for (const auto& count : m_Counts) out += " " + count.first + " " + std::to_string(count.second);
    return out;
  }
  bool failed() const { return m_Failed.load(); }

 private:
  bool Sleep(std::chrono::milliseconds period) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    return !m_Cond.wait_for(lock, period, [&] { return m_Stopping; });
  }
  int Uniform(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_Random); }
  void Count(const std::string& what) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    ++m_Counts[what];
  }

  void Run() {
    static const grpc::StatusCode kCodes[] = {
        grpc::StatusCode::UNAVAILABLE,       grpc::StatusCode::DEADLINE_EXCEEDED,
        grpc::StatusCode::RESOURCE_EXHAUSTED, grpc::StatusCode::ABORTED,
        grpc::StatusCode::INTERNAL,          grpc::StatusCode::UNKNOWN,
        grpc::StatusCode::INVALID_ARGUMENT,  grpc::StatusCode::UNAUTHENTICATED,
        grpc::StatusCode::PERMISSION_DENIED, grpc::StatusCode::NOT_FOUND,
        grpc::StatusCode::CANCELLED,         grpc::StatusCode::FAILED_PRECONDITION};
    VxTts::FaultScript& faults = m_Server->faults();
    while (Sleep(std::chrono::milliseconds(Uniform(3000, 9000)))) {
      const int64_t begin = NowUs();
      {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Storms.emplace_back(begin, 0);
      }
      const int64_t length_us = Uniform(1500, 5000) * 1000;
      bool going = true;
      while (going && NowUs() - begin < length_us) {
        switch (Uniform(0, 9)) {
          case 0:
          case 1:
            faults.SetDelay(std::chrono::milliseconds(Uniform(0, m_DeadlineMs + 1500)));
            Count("delay");
            break;
          case 2:
          case 3:
            faults.FailNext(Uniform(1, 6), kCodes[Uniform(0, 11)], "soak fault");
            Count("fail");
            break;
          case 4:
            faults.SetEmptyAudio(Uniform(0, 1) == 1);
            Count("empty");
            break;
          case 5:
            faults.SetCutHeader(Uniform(0, 1) == 1);
            Count("cut");
            break;
          case 6:
            faults.SetExtraChunks(Uniform(0, 1) == 1);
            Count("chunks");
            break;
          case 7:
            faults.DropNext(Uniform(1, 4));
            Count("drop");
            break;
          case 8:
            if (Uniform(0, 2) == 0) Restart();
            break;
          default:
            faults.SetDelay(0ms);
            break;
        }
        going = Sleep(std::chrono::milliseconds(Uniform(150, 600)));
      }
      faults.Clear();
      std::lock_guard<std::mutex> lock(m_Mutex);
      m_Storms.back().second = NowUs();
    }
    faults.Clear();
  }

  void Restart() {
    Count("restart");
    m_Server->Shutdown();
    Sleep(std::chrono::milliseconds(Uniform(0, 1500)));
    std::string error;
    for (int attempt = 0; attempt < 100; ++attempt) {
      if (m_Server->Start(m_ServerOptions, &error)) return;
      std::this_thread::sleep_for(50ms);
    }
    fprintf(stderr, "vexora-soak: the speech service did not start again: %s\n", error.c_str());
    m_Failed = true;
  }

  VxTts::TtsServer* m_Server;
  const VxTts::TtsServerOptions m_ServerOptions;
  std::mt19937_64 m_Random;
  const int m_DeadlineMs;
  std::thread m_Thread;
  mutable std::mutex m_Mutex;  // guards the fields below
  std::condition_variable m_Cond;
  bool m_Stopping = false;
  std::vector<std::pair<int64_t, int64_t>> m_Storms;  // begin, end (0: going on)
  std::map<std::string, size_t> m_Counts;
  std::atomic<bool> m_Failed{false};
};

// A prompt file the URI lists name: its audio is the test voice's for a
// pseudo-input, so that the soak recognises it frame by frame.
struct Prompt {
  std::string input;
  std::map<int, std::string> path_by_rate;
};

const char* const kWords[] = {"alpha", "bravo", "charlie", "delta", "echo",   "foxtrot",
                              "golf",  "hotel", "india",   "juliet", "kilo",  "lima",
                              "mike",  "november", "oscar", "papa",  "quebec", "romeo"};

// The pieces the module sends a text of the soak in: its sentences (each
// ends in ". "), the first alone, then as many whole ones, joined by a
// blank, as fit in twice the bytes of the piece before.
std::vector<std::string> TextPieces(const std::string& text) {
  std::vector<std::string> sentences;
  size_t begin = 0;
  while (begin < text.size()) {
    size_t end = text.find(". ", begin);
    end = end == std::string::npos ? text.size() : end + 1;
    sentences.push_back(text.substr(begin, end - begin));
    begin = end < text.size() ? end + 1 : end;
  }
  std::vector<std::string> pieces;
  for (size_t i = 0; i < sentences.size();) {
    std::string piece = sentences[i++];
    if (!pieces.empty()) {
      const size_t room = 2 * pieces.back().size();
      while (i < sentences.size() && piece.size() + 1 + sentences[i].size() <= room)
        piece += " " + sentences[i++];
    }
    pieces.push_back(piece);
  }
  return pieces;
}

class Soak;

// One channel slot: a channel opened, used and closed again and again under
// the same name (so that file names of requests are reused, as they are on
// a server whose channels reuse identifiers).
struct Slot {
  enum class State { kIdle, kOpening, kOpen, kClosing };
  int number = 0;
  std::string name;
  uint16_t rate = 8000;
  std::mt19937_64 random;
  State state = State::kIdle;
  vxhost::Channel* channel = nullptr;
  std::unique_ptr<ChannelModel> model;
  int64_t next_us = 0;
  int64_t since_us = 0;
  int64_t session_end_us = 0;
  int64_t close_bound_us = 0;
  size_t audio_consumed = 0;  // bytes of the channel's audio given to the model
  std::vector<char> audio;    // taken, not yet given
  size_t audio_base = 0;      // byte count at audio[0]
  std::vector<mrcp_request_id> speak_ids;
  size_t sessions = 0;
  size_t kit_refused = 0;
};

class Soak {
 public:
  explicit Soak(Options options) : m_Options(std::move(options)) {}
  int Run();

 private:
  bool Prepare();
  void WriteConfig(int port);
  void Violation(Slot* slot, const std::string& what);
  int Uniform(Slot& slot, int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(slot.random);
  }
  bool Chance(Slot& slot, int percent) { return Uniform(slot, 0, 99) < percent; }

  void Step(Slot& slot, int64_t now, bool ending);
  void Drain(Slot& slot);
  void Act(Slot& slot, int64_t now);
  void SendSpeak(Slot& slot, int64_t now);
  void SendSimple(Slot& slot, const std::string& method, int64_t now);
  bool SendRequest(Slot& slot, const std::string& text, RequestModel request);
  void BeginClose(Slot& slot, int64_t now);
  std::string RandomHeaders(Slot& slot);
  // A SET-PARAMS or GET-PARAMS.
  void SendParams(Slot& slot);

  void ComposeText(Slot& slot, std::string* body, std::vector<ExpectedSegment>* segments);
  void ComposeSsml(Slot& slot, std::string* body, std::vector<ExpectedSegment>* segments);
  void ComposeUriList(Slot& slot, std::string* body, std::vector<ExpectedSegment>* segments);

  bool CheckFolders(std::string* problem);
  void PrintSummary(double seconds);

  Options m_Options;
  fs::path m_Root;
  std::unique_ptr<VxTts::TtsServer> m_Server;
  std::unique_ptr<Weather> m_Weather;
  std::unique_ptr<vxhost::HostKit> m_Kit;
  std::unique_ptr<vxhost::LogCapture> m_LogCapture;
  LogCounts m_Log;
  std::vector<Prompt> m_Prompts;
  std::vector<std::string> m_Texts;
  std::vector<std::unique_ptr<Slot>> m_Slots;
  int64_t m_AnswerBoundUs = 0;
  FILE* m_LogFile = nullptr;

  // Totals of channels that have been released.
  size_t m_Requests = 0;
  size_t m_Started = 0;
  ChannelCounts m_Totals;
  size_t m_Sessions = 0;
  size_t m_KitRefused = 0;
  std::vector<int64_t> m_FirstAudio;
  std::vector<int64_t> m_CalmFirstAudio;
  long m_RssWarmKb = 0;
  long m_RssEndKb = 0;
};

long RssKb() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

bool Soak::Prepare() {
  if (m_Options.root.empty()) {
    char pattern[] = "/tmp/vexora-soak-XXXXXX";
    if (!mkdtemp(pattern)) {
      perror("vexora-soak: mkdtemp");
      return false;
    }
    m_Root = pattern;
  } else {
    m_Root = m_Options.root;
    std::error_code ignored;
    fs::remove_all(m_Root, ignored);
  }
  for (const char* folder : {"conf", "data", "var/status", "log", "prompts"}) {
    fs::create_directories(m_Root / folder);
  }
  WriteFile(m_Root / "data" / "placeholder-key.json", "{}\n");
  // Prompt files of several lengths at both channel rates.
  for (int i = 0; i < 8; ++i) {
    Prompt prompt;
    prompt.input = "file:p" + std::to_string(i) + ":" + std::string(static_cast<size_t>(4 + 9 * i), 'x');
    for (int rate : {8000, 16000}) {
      std::vector<int16_t> pcm;
      VxTts::MakeTestBytes(prompt.input, rate, &pcm);
      const fs::path path =
          m_Root / "prompts" / ("p" + std::to_string(i) + "-" + std::to_string(rate) + ".wav");
      WriteFile(path, WaveFile(pcm, rate));
      prompt.path_by_rate[rate] = path.string();
    }
    m_Prompts.push_back(prompt);
  }
  // Texts are drawn from a small set, so that prompts repeat and the cache
  // hits, fills and evicts all the time.
  std::mt19937_64 random(m_Options.seed);
  // Every fourth is several sentences, which the module sends in pieces.
  for (int i = 0; i < 48; ++i) {
    const int sentences = i % 4 == 0 ? std::uniform_int_distribution<int>(2, 6)(random) : 1;
    std::string text;
    for (int s = 0; s < sentences; ++s) {
      if (s) text += ' ';
      const int words = std::uniform_int_distribution<int>(1, 6)(random);
      for (int w = 0; w < words; ++w) {
        if (w) text += ' ';
        std::string word = kWords[std::uniform_int_distribution<size_t>(0, 17)(random)];
        // A sentence that starts in lower case continues the one before.
        if (w == 0 && sentences > 1) word[0] = static_cast<char>(toupper(word[0]));
        text += word;
      }
      text += " " + std::to_string(i);
      if (sentences > 1) text += "-" + std::to_string(s) + ".";
    }
    m_Texts.push_back(text);
  }
  return true;
}

void Soak::WriteConfig(int port) {
  const std::string count = std::to_string(m_Options.max_file_count);
  std::string xml =
      "<?xml version=\"1.0\"?>\n"
      "<vexora gapp-credentials-file=\"placeholder-key.json\">\n"
      "  <synth-settings language=\"en-US\" voice-name=\"vx-test-bytes\"\n"
      "      service-uri=\"127.0.0.1:" +
      std::to_string(port) +
      "\" secure-transport=\"false\"\n"
      "      deadline=\"" +
      std::to_string(m_Options.deadline_ms) +
      "\" reattempt=\"true\" caching=\"true\"\n"
      "      bypass-ssml=\"" +
      (m_Options.bypass ? "true" : "false") +
      "\"/>\n"
      "  <waveform-manager save-waveforms=\"true\" waveform-folder=\"waveforms\"\n"
      "      max-file-age=\"60\" max-file-count=\"" +
      count +
      "\"/>\n"
      "  <sdr-manager save-records=\"true\" record-folder=\"records\" max-file-age=\"60\"\n"
      "      max-file-count=\"" +
      count +
      "\"/>\n"
      "  <monitoring-agent refresh-period=\"5\">\n"
      "    <usage-change-handler>\n"
      "      <update-usage enable=\"true\" status-file=\"vexora-usage.status\"/>\n"
      "      <dump-channels enable=\"true\" status-file=\"vexora-channels.status\"/>\n"
      "    </usage-change-handler>\n"
      "  </monitoring-agent>\n"
      "</vexora>\n";
  WriteFile(m_Root / "conf" / "vexora.xml", xml);
}

void Soak::Violation(Slot* slot, const std::string& what) {
  fflush(stdout);
  fprintf(stderr, "\nvexora-soak: VIOLATION: %s\n", what.c_str());
  fprintf(stderr, "seed %llu, %d channels, %d s, bypass-ssml %s\n",
          static_cast<unsigned long long>(m_Options.seed), m_Options.channels, m_Options.seconds,
          m_Options.bypass ? "on" : "off");
  if (slot) {
    fprintf(stderr, "replay the channel alone: vexora-soak --seed %llu --channels 1 "
                    "--channel-base %d --bypass-ssml %s\n",
            static_cast<unsigned long long>(m_Options.seed), slot->number,
            m_Options.bypass ? "on" : "off");
    if (slot->model) {
      fprintf(stderr, "last events of channel %s:\n", slot->name.c_str());
      for (const std::string& line : slot->model->Trail()) fprintf(stderr, "  %s\n", line.c_str());
    }
  }
  if (slot) {
    // The module's own account of the channel (from the lines kept).
    const std::string tag = "<" + slot->name + "@";
    std::lock_guard<std::mutex> lock(m_Log.mutex);
    fprintf(stderr, "last log lines of channel %s:\n", slot->name.c_str());
    for (const std::string& line : m_Log.recent) {
      if (line.find(tag) != std::string::npos) fprintf(stderr, "  %s\n", line.c_str());
    }
  }
  fprintf(stderr, "scratch folder kept: %s\n", m_Root.c_str());
  fflush(stderr);
  if (m_LogFile) fflush(m_LogFile);
  _Exit(1);
}

std::string Soak::RandomHeaders(Slot& slot) {
  static const char* const kCacheControl[] = {
      "max-age=0",      "max-age=3600",       "min-fresh=1", "max-stale=10",
      "max-age=abc",    "min-fresh=99999999999", ",",        "max-age=-1, min-fresh=0",
      "no-cache",       "max-age=5, max-stale"};
  static const char* const kVendor[] = {"logging-tag=t1",
                                        "logging-tag=../../escape",
                                        "logging-tag=a/b\\\\c",
                                        "voice-gender=female",
                                        "logging-tag=caller-42;voice-gender=male",
                                        "effects-profile=telephony-class-application",
                                        "unknown-parameter=1"};
  static const char* const kRate[] = {"fast", "slow", "x-slow", "medium", "0.5", "2.5"};
  static const char* const kVolume[] = {"loud", "soft", "silent", "50", "x-loud"};
  std::string headers;
  if (Chance(slot, 30)) headers += std::string("Cache-Control: ") + kCacheControl[Uniform(slot, 0, 9)] + "\r\n";
  if (Chance(slot, 25)) headers += std::string("Vendor-Specific-Parameters: ") + kVendor[Uniform(slot, 0, 6)] + "\r\n";
  if (Chance(slot, 15)) headers += std::string("Prosody-Rate: ") + kRate[Uniform(slot, 0, 5)] + "\r\n";
  if (Chance(slot, 10)) headers += std::string("Prosody-Volume: ") + kVolume[Uniform(slot, 0, 4)] + "\r\n";
  if (Chance(slot, 10)) headers += "Logging-Tag: soak-" + std::to_string(Uniform(slot, 0, 9)) + "\r\n";
  return headers;
}

void Soak::ComposeText(Slot& slot, std::string* body, std::vector<ExpectedSegment>* segments) {
  *body = m_Texts[static_cast<size_t>(Uniform(slot, 0, static_cast<int>(m_Texts.size()) - 1))];
  for (const std::string& piece : TextPieces(*body)) {
    ExpectedSegment segment;
    segment.hash = VxTts::TestBytesHash(piece);
    segment.frames = static_cast<uint32_t>(piece.size());
    segments->push_back(segment);
  }
}

void Soak::ComposeSsml(Slot& slot, std::string* body, std::vector<ExpectedSegment>* segments) {
  auto words = [&](int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
      if (i) text += ' ';
      text += kWords[Uniform(slot, 0, 17)];
    }
    return text;
  };
  // A word of its own in every part, to tell the parts apart when rebuilt.
  auto token = [&]() { return "t" + std::to_string(Uniform(slot, 0, 999)); };
  std::string inner;
  std::vector<std::string> tokens;
  // A mark after a part's word cuts the document there; what follows the
  // last mark says nothing, so the parts stay one word each.
  const bool marked = Chance(slot, 50);
  auto mark = [&](const std::string& t) {
    return marked ? "<mark name=\"m-" + t + "\"/>" : std::string();
  };
  const int voices = Uniform(slot, 0, 3);
  if (voices == 0) {
    const std::string t = token();
    tokens.push_back(t);
    inner = words(Uniform(slot, 1, 3)) + " " + t + mark(t);
    if (Chance(slot, 40)) inner = "<prosody rate=\"fast\">" + inner + "</prosody>";
  } else {
    for (int v = 0; v < voices; ++v) {
      const std::string t = token();
      tokens.push_back(t);
      std::string content = words(Uniform(slot, 1, 2)) + " " + t + mark(t);
      if (Chance(slot, 30)) content = "<prosody volume=\"loud\">" + content + "</prosody>";
      if (Chance(slot, 20)) content = "<s>" + content + "</s>";
      inner += "<voice name=\"vx-test-bytes\">" + content + "</voice>";
    }
  }
  *body = "<?xml version=\"1.0\"?><speak version=\"1.0\" "
          "xmlns=\"http://www.w3.org/2001/10/synthesis\" xml:lang=\"en-US\">" +
          inner + "</speak>";
  if (m_Options.bypass && !marked) {
    // Sent as it stands: one segment whose input is the body.
    ExpectedSegment segment;
    segment.hash = VxTts::TestBytesHash(*body);
    segment.frames = static_cast<uint32_t>(body->size());
    segments->push_back(segment);
    return;
  }
  for (const std::string& t : tokens) {
    ExpectedSegment segment;
    segment.token = t;
    segments->push_back(segment);
  }
}

void Soak::ComposeUriList(Slot& slot, std::string* body, std::vector<ExpectedSegment>* segments) {
  const int lines = Uniform(slot, 1, 4);
  bool fatal = false;  // a line that cannot play ends the SPEAK there
  for (int i = 0; i < lines; ++i) {
    const Prompt& prompt = m_Prompts[static_cast<size_t>(Uniform(slot, 0, 7))];
    const std::string& path = prompt.path_by_rate.at(slot.rate);
    const int kind = Uniform(slot, 0, 99);
    std::string line;
    bool plays = true;
    if (kind < 55) {
      line = "file://" + path;
    } else if (kind < 65) {
      line = "file://localhost" + path;
    } else if (kind < 70) {
      // An escaped letter of the file name.
      std::string escaped = path;
      size_t at = escaped.rfind("/p");
      escaped.replace(at + 1, 1, "%70");
      line = "file://" + escaped;
    } else if (kind < 80) {
      line = "file://" + (m_Root / "prompts" / "missing.wav").string();
      plays = false;
    } else if (kind < 85) {
      line = "http://elsewhere.invalid/prompt.wav";
      plays = false;
    } else if (kind < 88) {
      line = "http://localhost/utterances/../../prompts/p0-8000.wav";
      plays = false;
    } else if (kind < 94) {
      *body += "# a comment\r\n";
      continue;
    } else {
      *body += "ftp://elsewhere.invalid/prompt.wav\r\n";
      continue;
    }
    *body += line + "\r\n";
    if (!plays) fatal = true;
    if (fatal) continue;
    ExpectedSegment segment;
    segment.hash = VxTts::TestBytesHash(prompt.input);
    segment.frames = static_cast<uint32_t>(prompt.input.size());
    segments->push_back(segment);
  }
  if (body->empty()) *body = "# nothing\r\n";
}

bool Soak::SendRequest(Slot& slot, const std::string& text, RequestModel request) {
  std::string error;
  mrcp_request_id id = 0;
  request.sent_us = NowUs();
  if (request.speak) request.speak->sent_us = request.sent_us;
  // The model learns of the request before the module can answer it.
  slot.model->OnSent(request);
  if (!m_Kit->SendText(slot.channel, text, &error, &id)) {
    // The kit refused a header value; the module never saw the request.
    ++slot.kit_refused;
    slot.model->Forget(request.id);
    return false;
  }
  if (id != request.id) {
    Violation(&slot, "the kit gave request id " + std::to_string(id) + " instead of " +
                         std::to_string(request.id));
  }
  ++m_Requests;
  return true;
}

void Soak::SendSpeak(Slot& slot, int64_t now) {
  auto speak = std::make_shared<SpeakModel>();
  std::string body;
  std::string type;
  const int kind = Uniform(slot, 0, 99);
  if (kind < 50) {
    type = "text/plain";
    ComposeText(slot, &body, &speak->segments);
    speak->summary = "text \"" + body + "\"";
  } else if (kind < 78) {
    type = "application/ssml+xml";
    ComposeSsml(slot, &body, &speak->segments);
    speak->summary = "ssml of " + std::to_string(speak->segments.size()) + " parts";
  } else {
    type = "text/uri-list";
    ComposeUriList(slot, &body, &speak->segments);
    speak->summary = "uri-list of " + std::to_string(speak->segments.size()) + " playable";
  }
  speak->playable = !speak->segments.empty();
  for (const ExpectedSegment& segment : speak->segments) {
    speak->total_frames += segment.frames ? segment.frames : 160;
  }
  // A request id used before on this channel now and then, as clients that
  // restart their count do; never one still waiting for its answer.
  mrcp_request_id id = 0;
  if (!slot.speak_ids.empty() && Chance(slot, 8)) {
    mrcp_request_id reused = slot.speak_ids[static_cast<size_t>(
        Uniform(slot, 0, static_cast<int>(slot.speak_ids.size()) - 1))];
    if (!slot.model->IsWaiting(reused)) id = reused;
  }
  if (id == 0) id = slot.model->NextId();
  slot.model->UsedId(id);
  speak->id = id;
  slot.speak_ids.push_back(id);
  if (slot.speak_ids.size() > 16) slot.speak_ids.erase(slot.speak_ids.begin());

  // Now and then a prompt the caller may not interrupt.
  std::string kill;
  if (Chance(slot, 15)) {
    speak->kill_on_barge_in = Chance(slot, 30);
    kill = std::string("Kill-On-Barge-In: ") + (speak->kill_on_barge_in ? "true" : "false") + "\r\n";
  }
  std::string text = "MRCP/2.0 0 SPEAK " + std::to_string(id) + "\r\nContent-Type: " + type +
                     "\r\n" + kill + RandomHeaders(slot) + "\r\n" + body;
  RequestModel request;
  request.id = id;
  request.method = "SPEAK";
  request.speak = speak;
  (void)now;
  SendRequest(slot, text, request);
}

void Soak::SendSimple(Slot& slot, const std::string& method, int64_t) {
  RequestModel request;
  request.id = slot.model->NextId();
  request.method = method;
  SendRequest(slot, "MRCP/2.0 0 " + method + " " + std::to_string(request.id) + "\r\n\r\n",
              request);
}

void Soak::SendParams(Slot& slot) {
  // Channel defaults that do not change what the test voice says: a SPEAK
  // after them plays the same audio. The last one cannot be used: refused
  // whole.
  static const char* const kHeaders[] = {"Logging-Tag: set-params",
                                         "Prosody-Rate: slow",
                                         "Prosody-Volume: loud",
                                         "Vendor-Specific-Parameters: logging-tag=vendor-set",
                                         "Logging-Tag: kept\r\nVendor-Specific-Parameters: bogus=1"};
  RequestModel request;
  request.id = slot.model->NextId();
  std::string headers;
  if (Chance(slot, 25)) {
    request.method = "GET-PARAMS";
  } else {
    request.method = "SET-PARAMS";
    const int pick = Uniform(slot, 0, 4);
    headers = std::string(kHeaders[pick]) + "\r\n";
    if (pick == 4) request.expect_status = 403;
  }
  SendRequest(slot,
              "MRCP/2.0 0 " + request.method + " " + std::to_string(request.id) + "\r\n" +
                  headers + "\r\n",
              request);
}

void Soak::BeginClose(Slot& slot, int64_t now) {
  slot.model->Note(now, "close asked");
  if (!m_Kit->CloseChannelAsync(slot.channel)) Violation(&slot, "the kit could not ask the close");
  slot.state = Slot::State::kClosing;
  slot.since_us = now;
  // A close never waits for the service; a SPEAK that plays plays what is
  // queued to its end.
  slot.close_bound_us = now + (m_Options.deadline_ms + 1000 + m_Options.slack_ms) * 1000LL +
                        static_cast<int64_t>(slot.model->FramesLeft()) * 20000;
}

void Soak::Act(Slot& slot, int64_t now) {
  if (now >= slot.session_end_us) return BeginClose(slot, now);
  const int action = Uniform(slot, 0, 99);
  if (action < 45) {
    SendSpeak(slot, now);
  } else if (action < 55) {
    SendSimple(slot, "STOP", now);
  } else if (action < 61) {
    SendSimple(slot, "BARGE-IN-OCCURRED", now);
  } else if (action < 72) {
    SendSimple(slot, "PAUSE", now);
  } else if (action < 84) {
    SendSimple(slot, "RESUME", now);
  } else if (action < 86) {
    return BeginClose(slot, now);
  } else if (action < 89) {
    SendParams(slot);
  }
  // Mostly quick steps (a STOP just after a SPEAK), sometimes a long wait
  // (a prompt played to its end).
  slot.next_us = now + (Chance(slot, 30) ? Uniform(slot, 0, 60) : Uniform(slot, 100, 2500)) * 1000LL;
}

void Soak::Drain(Slot& slot) {
  std::vector<vxhost::ReceivedMessage> messages;
  vxhost::ReceivedMessage message;
  while (slot.channel->PendingMessages() > 0 && slot.channel->WaitMessage(&message, 0ms)) {
    messages.push_back(message);
  }
  // Taken after the messages, so that the audio before each is here.
  std::vector<char> audio = slot.channel->TakeAudio();
  slot.audio.insert(slot.audio.end(), audio.begin(), audio.end());
  const int64_t now = NowUs();
  auto feed_until = [&](size_t total) {
    if (total <= slot.audio_consumed) return;
    const size_t from = slot.audio_consumed - slot.audio_base;
    const size_t count = std::min(total - slot.audio_consumed, slot.audio.size() - from);
    slot.model->OnAudio(slot.audio.data() + from, count, now);
    slot.audio_consumed += count;
  };
  for (const vxhost::ReceivedMessage& received : messages) {
    feed_until(received.audio_bytes);
    slot.model->OnMessage(received);
  }
  feed_until(slot.audio_base + slot.audio.size());
  slot.audio_base += slot.audio.size();
  slot.audio.clear();
}

void Soak::Step(Slot& slot, int64_t now, bool ending) {
  switch (slot.state) {
    case Slot::State::kIdle: {
      if (ending || now < slot.next_us) return;
      slot.channel = m_Kit->CreateChannel(slot.name, slot.rate);
      if (!slot.channel) Violation(&slot, "the module did not create channel " + slot.name);
      slot.model.reset(new ChannelModel(
          slot.name, slot.rate, [this, &slot](const std::string& what) { Violation(&slot, what); },
          [this](int64_t from, int64_t to) { return m_Weather->Stormy(from, to); }));
      slot.audio_consumed = 0;
      slot.audio_base = 0;
      slot.audio.clear();
      slot.model->Note(now, "open asked, session " + std::to_string(++slot.sessions));
      if (!m_Kit->OpenChannelAsync(slot.channel)) Violation(&slot, "the kit could not ask the open");
      slot.state = Slot::State::kOpening;
      slot.since_us = now;
      return;
    }
    case Slot::State::kOpening:
      if (slot.channel->OpenResponses() == 0) {
        if (now - slot.since_us > (5000 + m_Options.slack_ms) * 1000LL) {
          Violation(&slot, "open unanswered");
        }
        return;
      }
      if (!slot.channel->OpenStatus()) Violation(&slot, "open refused");
      slot.model->Note(now, "opened");
      slot.state = Slot::State::kOpen;
      slot.next_us = now + Uniform(slot, 0, 300) * 1000LL;
      slot.session_end_us = now + Uniform(slot, 1000, 15000) * 1000LL;
      return;
    case Slot::State::kOpen:
      Drain(slot);
      slot.model->CheckTimeouts(now, m_AnswerBoundUs);
      if (ending) return BeginClose(slot, now);
      if (now >= slot.next_us) Act(slot, now);
      return;
    case Slot::State::kClosing: {
      const bool answered = slot.channel->CloseResponses() > 0;
      Drain(slot);
      if (!answered) {
        slot.model->CheckTimeouts(now, m_AnswerBoundUs);
        if (now > slot.close_bound_us) Violation(&slot, "close unanswered");
        return;
      }
      slot.model->OnClosed(now);
      ChannelModel& model = *slot.model;
      m_Totals += model.counts();
      m_Started += model.started().size();
      m_FirstAudio.insert(m_FirstAudio.end(), model.first_audio_us().begin(),
                          model.first_audio_us().end());
      m_CalmFirstAudio.insert(m_CalmFirstAudio.end(), model.calm_first_audio_us().begin(),
                              model.calm_first_audio_us().end());
      m_KitRefused += slot.kit_refused;
      slot.kit_refused = 0;
      ++m_Sessions;
      if (!m_Kit->ReleaseChannel(slot.channel)) {
        Violation(&slot, "the module did not let channel " + slot.name + " go");
      }
      // A message after the close response would have reached a freed channel.
      slot.channel = nullptr;
      slot.model.reset();
      slot.state = Slot::State::kIdle;
      slot.next_us = now + Uniform(slot, 0, 800) * 1000LL;
      return;
    }
  }
}

bool Soak::CheckFolders(std::string* problem) {
  // Every record is valid JSON; the folders hold what the stores counted.
  size_t records = 0;
  const fs::path record_folder = m_Root / "var" / "records";
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(record_folder, error)) {
    if (entry.path().extension() != ".json") continue;
    ++records;
    google::protobuf::Struct parsed;
    auto status = google::protobuf::util::JsonStringToMessage(ReadFile(entry.path()), &parsed);
    if (!status.ok()) {
      *problem = "record " + entry.path().string() + " is not valid JSON: " + status.ToString();
      return false;
    }
  }
  size_t waves = 0;
  size_t descriptors = 0;
  const fs::path wave_folder = m_Root / "var" / "waveforms";
  for (const auto& entry : fs::directory_iterator(wave_folder, error)) {
    const fs::path& path = entry.path();
    if (path.extension() == ".wav") {
      ++waves;
      fs::path descriptor = path;
      descriptor.replace_extension(".cache");
      if (!fs::exists(descriptor)) {
        *problem = "waveform " + path.string() + " has no descriptor";
        return false;
      }
    } else if (path.extension() == ".cache") {
      ++descriptors;
      fs::path wave = path;
      wave.replace_extension(".wav");
      if (!fs::exists(wave)) {
        *problem = "descriptor " + path.string() + " has no waveform";
        return false;
      }
    }
  }
  std::lock_guard<std::mutex> lock(m_Log.mutex);
  if (m_Log.waveform_entries >= 0 && static_cast<size_t>(m_Log.waveform_entries) != waves) {
    *problem = "the waveform store counts " + std::to_string(m_Log.waveform_entries) +
               " entries, its folder holds " + std::to_string(waves) + " waveforms";
    return false;
  }
  if (m_Log.record_entries >= 0 && static_cast<size_t>(m_Log.record_entries) != records) {
    *problem = "the record store counts " + std::to_string(m_Log.record_entries) +
               " entries, its folder holds " + std::to_string(records) + " records";
    return false;
  }
  (void)descriptors;
  return true;
}

int64_t Percentile(std::vector<int64_t> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t at = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(at, values.size() - 1)];
}

void Soak::PrintSummary(double seconds) {
  auto row = [](const char* name, const std::string& value) {
    printf("  %-34s %s\n", name, value.c_str());
  };
  auto ms = [](int64_t us) {
    char text[32];
    snprintf(text, sizeof(text), "%.1f ms", static_cast<double>(us) / 1000.0);
    return std::string(text);
  };
  char rate[32];
  snprintf(rate, sizeof(rate), "%.1f", static_cast<double>(m_Totals.responses) / seconds);
  printf("\nvexora-soak summary (seed %llu, bypass-ssml %s%s%s)\n",
         static_cast<unsigned long long>(m_Options.seed), m_Options.bypass ? "on" : "off",
         m_Options.calm ? ", calm" : "", kAddressSanitizer ? ", address sanitizer" : "");
  row("channels at once", std::to_string(m_Options.channels));
  row("seconds", std::to_string(static_cast<int>(seconds)));
  row("channel sessions", std::to_string(m_Sessions));
  row("requests sent", std::to_string(m_Requests));
  row("responses", std::to_string(m_Totals.responses));
  row("responses per second", rate);
  row("header values the kit refused", std::to_string(m_KitRefused));
  row("SPEAKs started", std::to_string(m_Started));
  row("  completed", std::to_string(m_Totals.completed));
  row("  stopped", std::to_string(m_Totals.stopped));
  row("SPEAKs refused", std::to_string(m_Totals.refused));
  row("speech markers", std::to_string(m_Totals.markers));
  row("audio frames checked", std::to_string(m_Totals.audio_frames));
  row("silent frames", std::to_string(m_Totals.silent_frames));
  row("cache hits", std::to_string(m_Log.cache_hits.load()));
  row("cache records added", std::to_string(m_Log.cache_added.load()));
  row("files evicted (count limit)", std::to_string(m_Log.evicted.load()));
  row("records replaced by name", std::to_string(m_Log.replaced.load()));
  row("records saved", std::to_string(m_Log.records_saved.load()));
  row("failed calls logged", std::to_string(m_Log.grpc_failures.load()));
  row("service weather", m_Weather->Summary());
  row("first audio p50 / p95 / p99 / max",
      ms(Percentile(m_FirstAudio, 0.5)) + " / " + ms(Percentile(m_FirstAudio, 0.95)) + " / " +
          ms(Percentile(m_FirstAudio, 0.99)) + " / " + ms(Percentile(m_FirstAudio, 1.0)));
  row("  in calm weather",
      ms(Percentile(m_CalmFirstAudio, 0.5)) + " / " + ms(Percentile(m_CalmFirstAudio, 0.95)) +
          " / " + ms(Percentile(m_CalmFirstAudio, 0.99)) + " / " +
          ms(Percentile(m_CalmFirstAudio, 1.0)));
  row("memory after warm-up / at the end",
      std::to_string(m_RssWarmKb / 1024) + " MiB / " + std::to_string(m_RssEndKb / 1024) + " MiB");
  fflush(stdout);
}

int Soak::Run() {
  if (!Prepare()) return 2;
  m_AnswerBoundUs = (2LL * m_Options.deadline_ms + 2000 + m_Options.slack_ms) * 1000;
  m_LogFile = fopen((m_Root / "log" / "soak.log").c_str(), "w");

  m_Server.reset(new VxTts::TtsServer());
  VxTts::TtsServerOptions server_options;
  std::string error;
  if (!m_Server->Start(server_options, &error)) {
    fprintf(stderr, "vexora-soak: the speech service did not start: %s\n", error.c_str());
    return 2;
  }
  server_options.port = m_Server->port();
  WriteConfig(m_Server->port());
  m_Weather.reset(new Weather(m_Server.get(), server_options, m_Options.seed, m_Options.deadline_ms));

  m_LogCapture.reset(new vxhost::LogCapture(
      [this](apt_log_priority_e priority, const std::string& line) {
        if (line.find("Save SDR ") != std::string::npos) ++m_Log.records_saved;
        if (line.find("Found Matching Cache Record") != std::string::npos) ++m_Log.cache_hits;
        if (line.find("Added Cache Record") != std::string::npos) ++m_Log.cache_added;
        if (line.find("[replaced]") != std::string::npos) ++m_Log.replaced;
        if (line.find("[max file count]") != std::string::npos) ++m_Log.evicted;
        if (line.find("gRPC Status: ") != std::string::npos) ++m_Log.grpc_failures;
        if (priority > APT_PRIO_INFO) return;
        std::lock_guard<std::mutex> lock(m_Log.mutex);
        m_Log.recent.push_back(line);
        if (m_Log.recent.size() > 20000) m_Log.recent.pop_front();
        if (priority > APT_PRIO_NOTICE) return;
        if (line.find("WVFM total file entries [") != std::string::npos) {
          m_Log.waveform_entries = LastNumberIn(line, "entries [");
        } else if (line.find("SDRM total file entries [") != std::string::npos) {
          m_Log.record_entries = LastNumberIn(line, "entries [");
        }
        // What only a fault of the stores or the cache logs.
        for (const char* fault : {"Mismatch in", "No Cache Record Found", "Stale Cache Record",
                                  "Failed to remove"}) {
          if (line.find(fault) != std::string::npos && m_Log.faults.size() < 20) {
            m_Log.faults.push_back(line);
          }
        }
      },
      APT_PRIO_DEBUG));

  vxhost::HostKit::Options kit_options;
  kit_options.root_dir = m_Root.string();
  kit_options.realtime = true;
  kit_options.log_priority = APT_PRIO_WARNING;
  kit_options.log_stream = m_LogFile;
  m_Kit.reset(new vxhost::HostKit(kit_options));
  if (!m_Kit->LoadModule(VX_MODULE_PATH, &error)) {
    fprintf(stderr, "vexora-soak: %s\n", error.c_str());
    return 2;
  }
  bool opened = false;
  if (!m_Kit->OpenEngine(10s, &opened) || !opened) {
    fprintf(stderr, "vexora-soak: the engine did not open (see %s)\n",
            (m_Root / "log" / "soak.log").c_str());
    return 2;
  }

  for (int i = 0; i < m_Options.channels; ++i) {
    auto slot = std::make_unique<Slot>();
    slot->number = m_Options.channel_base + i;
    slot->name = "soak" + std::to_string(slot->number);
    slot->random.seed(m_Options.seed * 1000003u + static_cast<uint64_t>(slot->number));
    slot->rate = Uniform(*slot, 0, 3) == 0 ? 16000 : 8000;
    slot->next_us = NowUs() + Uniform(*slot, 0, 2000) * 1000LL;
    m_Slots.push_back(std::move(slot));
  }
  printf("vexora-soak: %d channels for %d s, seed %llu, bypass-ssml %s, scratch %s\n",
         m_Options.channels, m_Options.seconds, static_cast<unsigned long long>(m_Options.seed),
         m_Options.bypass ? "on" : "off", m_Root.c_str());
  fflush(stdout);
  if (!m_Options.calm) m_Weather->Start();

  const int64_t begin = NowUs();
  const int64_t end = begin + m_Options.seconds * 1000000LL;
  const int64_t warm = begin + std::min<int64_t>(10, std::max(1, m_Options.seconds / 5)) * 1000000LL;
  int64_t next_report = begin + 10000000;
  while (true) {
    const int64_t now = NowUs();
    const bool ending = now >= end;
    if (m_RssWarmKb == 0 && now >= warm) m_RssWarmKb = RssKb();
    bool busy = false;
    for (auto& slot : m_Slots) {
      Step(*slot, now, ending);
      busy = busy || slot->state != Slot::State::kIdle;
    }
    if (m_Weather->failed()) Violation(nullptr, "the speech service could not be restarted");
    {
      std::lock_guard<std::mutex> lock(m_Log.mutex);
      if (!m_Log.faults.empty()) Violation(nullptr, "the module logged: " + m_Log.faults.front());
    }
    if (ending && !busy) break;
    if (now >= next_report && !ending) {
      printf("  %3lld s: %zu sessions, %zu requests\n",
             static_cast<long long>((now - begin) / 1000000), m_Sessions, m_Requests);
      fflush(stdout);
      next_report += 10000000;
    }
    std::this_thread::sleep_for(5ms);
  }
  const double seconds = static_cast<double>(NowUs() - begin) / 1e6;
  m_Weather->Stop();
  m_RssEndKb = RssKb();

  std::string problem;
  if (!CheckFolders(&problem)) Violation(nullptr, problem);
  if (m_Log.records_saved.load() != m_Started) {
    Violation(nullptr, std::to_string(m_Started) + " SPEAKs started, " +
                           std::to_string(m_Log.records_saved.load()) + " records saved");
  }
  if (!m_Kit->CloseEngine(10s)) Violation(nullptr, "the engine did not close");
  m_Kit.reset();
  m_LogCapture.reset();
  m_Server->Shutdown();
  PrintSummary(seconds);

  // Memory after the run within a bound of memory after the warm-up; the
  // address sanitizer holds freed memory back in its quarantine.
  const long bound_kb = (kAddressSanitizer ? 384 : 128) * 1024;
  if (m_RssWarmKb > 0 && m_RssEndKb > m_RssWarmKb + bound_kb) {
    Violation(nullptr, "memory grew from " + std::to_string(m_RssWarmKb / 1024) + " MiB to " +
                           std::to_string(m_RssEndKb / 1024) + " MiB");
  }
  if (m_LogFile) fclose(m_LogFile);
  m_LogFile = nullptr;
  if (!m_Options.keep) {
    std::error_code ignored;
    fs::remove_all(m_Root, ignored);
  }
  printf("vexora-soak: every invariant held\n");
  return 0;
}

}  // namespace
}  // namespace VxSoak

int main(int argc, char** argv) {
  VxSoak::Options options;
  if (!VxSoak::ParseOptions(argc, argv, &options)) return 2;
  apr_initialize();
  int status = 0;
  {
    VxSoak::Soak soak(options);
    status = soak.Run();
  }
  apr_terminate();
  return status;
}
