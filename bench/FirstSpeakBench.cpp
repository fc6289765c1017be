// What the first SPEAK of a new MRCP channel costs over the second SPEAK on
// the same channel, with TLS and bearer-token checks on: the local service
// over TLS with its own throwaway CA and certificate, checking an RS256
// token signed by a service-account key (both made with the openssl command
// line), the module loaded into the host kit as a host loads it.
//
// Per sample: a channel is opened, then SPEAK 1 and SPEAK 2 of the same
// short text run to their end, one after the other; each is measured from
// the kit handing it to its signalling thread to the 200 IN-PROGRESS (which
// comes with the first audio). The channel is closed before the next
// sample, so every sample's first SPEAK is one of a new channel.
//
// Prints first and second p50/p99 and the penalty (first - second) against
// the target of at most 1 ms at p50. With --baseline=PATH another build of
// the module runs the same samples first, against the same service and
// tree, and gets a row of its own.
#include <apr_general.h>
#include <apr_time.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "TtsServer.h"
#include "vxhost/HostKit.h"

namespace {

using namespace std::chrono_literals;

const std::string kText = "Hello world";

bool Run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

std::string JsonEscaped(const std::string& text) {
  std::string escaped;
  for (char c : text) escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
  return escaped;
}

// A CA, a server certificate for localhost and 127.0.0.1, and a
// service-account key (data/key.json) under tree's data folder.
bool MakeTlsMaterial(const vxbench::ScratchTree& tree) {
  const std::string d = (tree.root() / "data").string();
  vxbench::WriteFile(tree.root() / "data" / "server.ext",
                     "subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n"
                     "keyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n");
  const std::string commands[] = {
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " + d +
          "/ca.key -out " + d + "/ca.pem -days 2 -subj '/CN=vexora bench CA'",
      "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " + d +
          "/server.key -out " + d + "/server.csr -subj /CN=localhost",
      "openssl x509 -req -in " + d + "/server.csr -CA " + d + "/ca.pem -CAkey " + d +
          "/ca.key -CAcreateserial -out " + d + "/server.pem -days 2 -extfile " + d +
          "/server.ext",
      "openssl genrsa -out " + d + "/sa.pem 2048",
  };
  for (const std::string& command : commands) {
    if (!Run(command)) {
      fprintf(stderr, "failed: %s\n", command.c_str());
      return false;
    }
  }
  const std::string json =
      R"({"type": "service_account", "project_id": "vx-bench", "private_key_id": "k1", )"
      R"("private_key": ")" +
      JsonEscaped(vxbench::ReadWhole(d + "/sa.pem")) +
      R"(", "client_email": "tts@vx-bench.iam.gserviceaccount.com", "client_id": "1",)"
      R"( "token_uri": "https://oauth2.example.invalid/token"})";
  vxbench::WriteFile(tree.root() / "data" / "key.json", json);
  return true;
}

// The time from the SPEAK handed to the kit to its IN-PROGRESS, in ms; the
// SPEAK is waited for to its end. Negative when it failed.
class Speaker {
 public:
  explicit Speaker(vxhost::HostKit* kit) : m_Kit(kit) {
    kit->SetTranscriptCallback([this](const vxhost::TranscriptEntry& entry) {
      if (entry.direction != vxhost::TranscriptEntry::Direction::kSent) return;
      std::lock_guard<std::mutex> lock(m_Mutex);
      m_SentUs[entry.channel_id] = entry.time_us;
    });
  }
  ~Speaker() { m_Kit->SetTranscriptCallback({}); }

  double Speak(vxhost::Channel* channel) {
    std::string error;
    if (!m_Kit->SendText(channel, vxbench::SpeakText(kText), &error)) return -1;
    vxhost::ReceivedMessage response;
    if (!channel->WaitMessage(&response, 30s) || response.status_code != 200) return -1;
    vxhost::ReceivedMessage complete;
    if (!channel->WaitMessage(&complete, 30s) || complete.method_name != "SPEAK-COMPLETE" ||
        complete.completion_cause != 0) {
      return -1;
    }
    channel->ClearAudio();
    std::lock_guard<std::mutex> lock(m_Mutex);
    return static_cast<double>(response.time_us - m_SentUs[channel->id()]) / 1000.0;
  }

 private:
  vxhost::HostKit* m_Kit;
  std::mutex m_Mutex;
  std::map<std::string, int64_t> m_SentUs;
};


struct Row {
  std::string module;
  std::vector<double> first;
  std::vector<double> second;
  size_t failures = 0;
};

// Opens the engine of module on tree and measures `samples` new channels.
bool Measure(const vxbench::ScratchTree& tree, const std::string& module, long samples, Row* row) {
  std::unique_ptr<vxhost::HostKit> kit = vxbench::OpenKit(tree, module.c_str());
  if (!kit) return false;
  Speaker speaker(kit.get());
  for (long i = 0; i < samples; ++i) {
    vxhost::Channel* channel = kit->CreateChannel("first" + std::to_string(i), 8000);
    bool status = false;
    if (!channel || !kit->OpenChannel(channel, 5s, &status) || !status) {
      fprintf(stderr, "channel %ld did not open\n", i);
      return false;
    }
    const double one = speaker.Speak(channel);
    const double two = speaker.Speak(channel);
    if (one < 0 || two < 0) {
      ++row->failures;
    } else {
      row->first.push_back(one);
      row->second.push_back(two);
    }
    kit->CloseChannel(channel, 5s);
    kit->ReleaseChannel(channel);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const long samples = vxbench::IntOption(argc, argv, "samples", 200);
  const std::string baseline = vxbench::StringOption(argc, argv, "baseline", "");
  apr_initialize();
  std::vector<Row> rows;
  {
    vxbench::ScratchTree tree("first-speak");
    if (!MakeTlsMaterial(tree)) return 1;
    const std::string data = (tree.root() / "data").string();
    VxTts::TtsServer server;
    VxTts::TtsServerOptions options;
    options.tls_cert_file = data + "/server.pem";
    options.tls_key_file = data + "/server.key";
    options.jwt_public_key_file = data + "/key.json";
    std::string error;
    if (!server.Start(options, &error)) {
      fprintf(stderr, "speech service: %s\n", error.c_str());
      return 1;
    }
    const std::string target = "localhost:" + std::to_string(server.port());
    const std::string xml =
        "<?xml version=\"1.0\"?>\n<vexora gapp-credentials-file=\"key.json\" "
        "ssl-roots-file=\"ca.pem\">\n  <synth-settings secure-transport=\"true\" service-uri=\"" +
        target + "\" voice-name=\"" + vxbench::kTestVoice + "\"/>\n</vexora>\n";
    vxbench::WriteFile(tree.root() / "conf" / "vexora.xml", xml);
    std::vector<std::string> modules;
    if (!baseline.empty()) modules.push_back(baseline);
    modules.push_back(VX_MODULE_PATH);
    for (const std::string& module : modules) {
      Row row;
      row.module = module == VX_MODULE_PATH ? "this build" : "baseline";
      if (!Measure(tree, module, samples, &row)) return 1;
      rows.push_back(row);
    }
    server.Shutdown();
  }
  apr_terminate();

  printf("\nFirst SPEAK of a new channel against the second on it, TLS and token checks on "
         "(SPEAK -> IN-PROGRESS, ms)\n");
  printf("%-11s %7s %9s %9s %9s %9s %12s %12s  %-20s %s\n", "module", "samples", "1st p50",
         "1st p99", "2nd p50", "2nd p99", "penalty p50", "penalty p99", "target", "result");
  for (const Row& row : rows) {
    const double f50 = vxbench::Percentile(row.first, 50);
    const double f99 = vxbench::Percentile(row.first, 99);
    const double s50 = vxbench::Percentile(row.second, 50);
    const double s99 = vxbench::Percentile(row.second, 99);
    const bool pass = row.failures == 0 && f50 - s50 <= 1.0;
    printf("%-11s %7zu %9.3f %9.3f %9.3f %9.3f %12.3f %12.3f  %-20s %s%s\n", row.module.c_str(),
           row.first.size(), f50, f99, s50, s99, f50 - s50, f99 - s99, "penalty p50<=1.0",
           pass ? "PASS" : "MISS",
           row.failures ? (" (" + std::to_string(row.failures) + " failed)").c_str() : "");
  }
  return 0;
}
