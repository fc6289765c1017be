// The metrics file end to end: known traffic (plays, a cache hit, a failed
// call made again, a STOP) counted in a file that the Prometheus client
// library's own parser reads, written at shutdown and on the refresh timer.
#include <stdio.h>
#include <sys/stat.h>

#include <map>
#include <thread>

#include "ModuleFixture.h"

namespace vxtest {
namespace {

#ifndef VX_PYTHON
#error "VX_PYTHON must name the system's python3, which has prometheus_client"
#endif

// Reads a metrics file with prometheus_client's text parser and prints one
// line per sample ("name{label="value",...} value", labels sorted) and one
// per family ("TYPE name type"). A file the parser refuses exits non-zero.
const char kParser[] = R"(
import sys
from prometheus_client.parser import text_string_to_metric_families
text = open(sys.argv[1]).read()
for family in text_string_to_metric_families(text):
    print("TYPE %s %s" % (family.name, family.type))
    for sample in family.samples:
        labels = ",".join('%s="%s"' % (k, v) for k, v in sorted(sample.labels.items()))
        print("%s{%s} %r" % (sample.name, labels, float(sample.value)))
)";

struct Parsed {
  bool ok = false;
  std::string output;
  std::map<std::string, double> samples;  // "name{labels}" -> value
  std::map<std::string, std::string> types;
};

Parsed ParseMetrics(const fs::path& file, const fs::path& scratch) {
  Parsed parsed;
  const fs::path script = scratch / "parse-metrics.py";
  WriteFile(script, kParser);
  const std::string command =
      std::string(VX_PYTHON) + " '" + script.string() + "' '" + file.string() + "' 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return parsed;
  char buffer[4096];
  while (fgets(buffer, sizeof(buffer), pipe)) parsed.output += buffer;
  parsed.ok = pclose(pipe) == 0;
  std::istringstream lines(parsed.output);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("TYPE ", 0) == 0) {
      std::istringstream words(line.substr(5));
      std::string name, type;
      words >> name >> type;
      parsed.types[name] = type;
      continue;
    }
    const size_t space = line.rfind(' ');
    if (space == std::string::npos) continue;
    parsed.samples[line.substr(0, space)] = std::stod(line.substr(space + 1));
  }
  return parsed;
}

class MetricsTest : public ModuleFixture {
 protected:
  void SetUp() override {
    ModuleFixture::SetUp();
    StartServer();
  }

  void Start(const std::string& synth_attributes, const std::string& agent_attributes) {
    WriteConfig(synth_attributes, "  <monitoring-agent " + agent_attributes + "/>\n");
    StartEngine();
  }

  fs::path Metrics() const { return m_Root / "var" / "status" / "vexora.prom"; }

  double Sample(const Parsed& parsed, const std::string& series) {
    auto found = parsed.samples.find(series);
    EXPECT_NE(found, parsed.samples.end()) << "no series " << series << "\n" << parsed.output;
    return found == parsed.samples.end() ? -1 : found->second;
  }
};

constexpr size_t kFrame8k = 320;  // bytes of a 20 ms frame at 8 kHz

TEST_F(MetricsTest, KnownTrafficIsCountedInTheFileWrittenAtShutdown) {
  Start("caching=\"true\" reattempt=\"true\"",
        "refresh-period=\"3600\" metrics-file=\"vexora.prom\"");
  vxhost::Channel* channel = OpenChannel("ch1");
  ASSERT_NE(channel, nullptr);
  // Synthesized, then played from the cache.
  SpeakToCompletion(channel, "hello");
  SpeakToCompletion(channel, "hello");
  // Refused once by a busy service, made again and played.
  m_Server->faults().FailNext(1, grpc::StatusCode::UNAVAILABLE, "busy");
  SpeakToCompletion(channel, "again");
  // Stopped while its call is in flight.
  m_Server->faults().SetDelay(5s);
  mrcp_request_id speak = Send(channel, SpeakText("stop me", "text/plain"));
  ASSERT_TRUE(m_Log->WaitFor("Start Async Synth", 2s));
  mrcp_request_id stop = Send(channel, RequestText("STOP"));
  EXPECT_EQ(Next(channel).request_id, speak);
  EXPECT_EQ(Next(channel).request_id, stop);
  m_Server->faults().SetDelay(0ms);
  const size_t played = channel->AudioBytes();
  ASSERT_TRUE(m_Kit->CloseChannel(channel, 5s));
  ASSERT_TRUE(m_Kit->CloseEngine(10s));

  ASSERT_TRUE(fs::exists(Metrics()));
  Parsed parsed = ParseMetrics(Metrics(), m_Root);
  ASSERT_TRUE(parsed.ok) << parsed.output;

  EXPECT_EQ(Sample(parsed, "vexora_speaks_total{cause=\"normal\"}"), 3);
  EXPECT_EQ(Sample(parsed, "vexora_speaks_total{cause=\"cancelled\"}"), 1);
  EXPECT_EQ(Sample(parsed, "vexora_speaks_total{cause=\"error\"}"), 0);
  EXPECT_EQ(Sample(parsed, "vexora_synthesis_calls_total{code=\"OK\"}"), 2);
  EXPECT_EQ(Sample(parsed, "vexora_synthesis_calls_total{code=\"UNAVAILABLE\"}"), 1);
  EXPECT_EQ(Sample(parsed, "vexora_synthesis_calls_total{code=\"CANCELLED\"}"), 1);
  EXPECT_EQ(Sample(parsed, "vexora_synthesis_reattempts_total{}"), 1);
  EXPECT_EQ(Sample(parsed, "vexora_cache_hits_total{}"), 1);
  // The re-attempt looks the cache up again.
  EXPECT_EQ(Sample(parsed, "vexora_cache_misses_total{}"), 4);
  // Every call's input, the re-attempt's too: 5 + 5 + 5 + 7.
  EXPECT_EQ(Sample(parsed, "vexora_synthesis_characters_total{}"), 22);
  EXPECT_EQ(played, 3 * 5 * kFrame8k);
  EXPECT_EQ(Sample(parsed, "vexora_audio_played_bytes_total{}"), static_cast<double>(played));
  // Three SPEAKs reached their first audio; the stopped one never did.
  EXPECT_EQ(Sample(parsed, "vexora_first_audio_seconds_count{}"), 3);
  EXPECT_EQ(Sample(parsed, "vexora_first_audio_seconds_bucket{le=\"+Inf\"}"), 3);
  EXPECT_GT(Sample(parsed, "vexora_first_audio_seconds_sum{}"), 0);
  EXPECT_EQ(Sample(parsed, "vexora_synthesis_call_seconds_count{}"), 4);
  // Buckets are cumulative.
  EXPECT_LE(Sample(parsed, "vexora_synthesis_call_seconds_bucket{le=\"0.005\"}"),
            Sample(parsed, "vexora_synthesis_call_seconds_bucket{le=\"10\"}"));
  EXPECT_EQ(Sample(parsed, "vexora_channels_in_use{}"), 0);
  // The two synthesized prompts are in the store.
  uint64_t wave_bytes = 0;
  size_t waves = 0;
  for (const auto& entry : fs::recursive_directory_iterator(m_Root / "var")) {
    if (entry.path().extension() == ".wav") {
      ++waves;
      wave_bytes += entry.file_size();
    }
  }
  EXPECT_EQ(waves, 2u);
  EXPECT_EQ(Sample(parsed, "vexora_waveform_store_records{}"), 2);
  EXPECT_EQ(Sample(parsed, "vexora_waveform_store_bytes{}"), static_cast<double>(wave_bytes));

  EXPECT_EQ(parsed.types["vexora_speaks"], "counter");
  EXPECT_EQ(parsed.types["vexora_synthesis_calls"], "counter");
  EXPECT_EQ(parsed.types["vexora_first_audio_seconds"], "histogram");
  EXPECT_EQ(parsed.types["vexora_synthesis_call_seconds"], "histogram");
  EXPECT_EQ(parsed.types["vexora_channels_in_use"], "gauge");
  EXPECT_EQ(parsed.types["vexora_waveform_store_bytes"], "gauge");
  for (const auto& type : parsed.types) EXPECT_NE(type.second, "unknown") << type.first;
}

// A SPEAK refused while a call is in flight (401, never started) is no
// SPEAK that ended; the one it met is counted once, with its own cause. A
// SPEAK whose text the service refuses is answered 407 and counts as error.
TEST_F(MetricsTest, RefusedSpeaksAreNotCountedAndFailedOnesAreErrors) {
  Start("", "refresh-period=\"3600\" metrics-file=\"vexora.prom\"");
  vxhost::Channel* channel = OpenChannel("ch1");
  ASSERT_NE(channel, nullptr);
  m_Server->faults().SetDelay(500ms);
  mrcp_request_id first = Send(channel, SpeakText("first", "text/plain"));
  ASSERT_TRUE(m_Log->WaitFor("Start Async Synth", 2s));
  mrcp_request_id second = Send(channel, SpeakText("second", "text/plain"));
  vxhost::ReceivedMessage refused = Next(channel);
  EXPECT_EQ(refused.request_id, second);
  EXPECT_EQ(refused.status_code, 401);
  vxhost::ReceivedMessage started = Next(channel);
  EXPECT_EQ(started.request_id, first);
  EXPECT_EQ(Next(channel).method_name, "SPEAK-COMPLETE");
  m_Server->faults().SetDelay(0ms);
  m_Server->faults().FailNext(1, grpc::StatusCode::INVALID_ARGUMENT, "no such voice");
  Send(channel, SpeakText("third", "text/plain"));
  EXPECT_EQ(Next(channel).status_code, 407);
  ASSERT_TRUE(m_Kit->CloseChannel(channel, 5s));
  ASSERT_TRUE(m_Kit->CloseEngine(10s));

  Parsed parsed = ParseMetrics(Metrics(), m_Root);
  ASSERT_TRUE(parsed.ok) << parsed.output;
  double speaks = 0;
  for (const auto& sample : parsed.samples) {
    if (sample.first.rfind("vexora_speaks_total{", 0) == 0) speaks += sample.second;
  }
  EXPECT_EQ(speaks, 2);
  EXPECT_EQ(Sample(parsed, "vexora_speaks_total{cause=\"normal\"}"), 1);
  EXPECT_EQ(Sample(parsed, "vexora_speaks_total{cause=\"error\"}"), 1);
  EXPECT_EQ(Sample(parsed, "vexora_synthesis_calls_total{code=\"INVALID_ARGUMENT\"}"), 1);
  EXPECT_EQ(Sample(parsed, "vexora_synthesis_calls_total{code=\"OK\"}"), 1);
  // Only the first reached its audio; no cache lookups with caching off.
  EXPECT_EQ(Sample(parsed, "vexora_first_audio_seconds_count{}"), 1);
  EXPECT_EQ(Sample(parsed, "vexora_cache_misses_total{}"), 0);
  EXPECT_GE(m_Log->Count("gRPC Status: INVALID_ARGUMENT: no such voice"), 1u);
}

// The refresh timer writes the file while the engine runs, with the figures
// of that moment, by rename: no temporary file is left beside it, and the
// file's mode is kept.
TEST_F(MetricsTest, RefreshTimerRewritesTheFileInPlace) {
  Start("", "refresh-period=\"1\" metrics-file=\"vexora.prom\"");
  Ambrel::Testing::WaitFor([&] { return fs::exists(Metrics()); }, 5s);
  ASSERT_EQ(chmod(Metrics().c_str(), 0640), 0);
  vxhost::Channel* channel = OpenChannel("ch1");
  ASSERT_NE(channel, nullptr);
  EXPECT_TRUE(Ambrel::Testing::WaitFor(
      [&] {
        return ReadFile(Metrics()).find("\nvexora_channels_in_use 1\n") != std::string::npos;
      },
      5s))
      << ReadFile(Metrics());
  Parsed parsed = ParseMetrics(Metrics(), m_Root);
  EXPECT_TRUE(parsed.ok) << parsed.output;
  struct stat info;
  ASSERT_EQ(stat(Metrics().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  for (const auto& entry : fs::directory_iterator(Metrics().parent_path())) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos)
        << entry.path();
  }
  ASSERT_TRUE(m_Kit->CloseChannel(channel, 5s));
}

// Without the attribute no file is written, and without a refresh handler
// a metrics file alone still starts the timer.
TEST_F(MetricsTest, NoMetricsFileWithoutTheAttribute) {
  Start("", "refresh-period=\"1\"");
  std::this_thread::sleep_for(1500ms);
  ASSERT_TRUE(m_Kit->CloseEngine(10s));
  EXPECT_FALSE(fs::exists(Metrics()));
  EXPECT_EQ(m_Log->Count("Write metrics"), 0u);
}

}  // namespace
}  // namespace vxtest
