// Shared by the benchmark programs that drive the module end to end: a
// scratch host tree, the module's configuration file, the local speech
// service, a kit with the engine open, percentiles, resident memory and a few command-line options. Header
// only; each program includes it once.
#pragma once

#include <apr_time.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "TtsServer.h"
#include "ambrel/testing/TestSupport.h"
#include "vxhost/HostKit.h"

namespace vxbench {

namespace fs = std::filesystem;

// The local service's deterministic voice: 20 ms of tone per input byte.
constexpr const char* kTestVoice = "vx-test-tone";

inline void WriteFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream stream(path, std::ios::binary | std::ios::trunc);
  stream << content;
}

inline std::string ReadWhole(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

// A scratch host tree (the framework's scratch folder holding conf, data,
// var/status and a placeholder key file, which the engine needs to open),
// removed when destroyed.
class ScratchTree {
 public:
  explicit ScratchTree(const char* tag) {
    if (!m_Scratch.IsValid()) {
      fprintf(stderr, "%s: cannot make a scratch folder\n", tag);
      exit(1);
    }
    m_Root = m_Scratch.Path();
    fs::create_directories(m_Root / "conf");
    fs::create_directories(m_Root / "data");
    fs::create_directories(m_Root / "var" / "status");
    WriteFile(m_Root / "data" / "placeholder-key.json", "{}\n");
  }
  ScratchTree(const ScratchTree&) = delete;
  ScratchTree& operator=(const ScratchTree&) = delete;

  const fs::path& root() const { return m_Root; }

  // conf/vexora.xml for the local service on `target`: insecure transport,
  // the given default voice, extra synth-settings attributes and elements.
  void WriteConfig(const std::string& target, const std::string& voice,
                   const std::string& synth_attributes = "",
                   const std::string& elements = "") const {
    std::string xml = "<?xml version=\"1.0\"?>\n<vexora gapp-credentials-file=\"placeholder-key.json\">\n"
                      "  <synth-settings secure-transport=\"false\" service-uri=\"" +
                      target + "\" voice-name=\"" + voice + "\" " + synth_attributes + "/>\n" +
                      elements + "</vexora>\n";
    WriteFile(m_Root / "conf" / "vexora.xml", xml);
  }

 private:
  Ambrel::Testing::ScratchDir m_Scratch;
  fs::path m_Root;  // m_Scratch's path
};

// Options of a quiet host kit on `tree` that pulls frames as fast as they
// come.
inline vxhost::HostKit::Options QuietKitOptions(const ScratchTree& tree) {
  vxhost::HostKit::Options options;
  options.root_dir = tree.root().string();
  options.realtime = false;
  options.log_stream = nullptr;
  options.log_priority = APT_PRIO_WARNING;
  return options;
}

// A quiet host kit on `tree` with the module file loaded and its engine
// open; null, after a line on standard error, when either fails.
inline std::unique_ptr<vxhost::HostKit> OpenKit(const ScratchTree& tree,
                                                const char* module_path) {
  std::unique_ptr<vxhost::HostKit> kit(new vxhost::HostKit(QuietKitOptions(tree)));
  std::string error;
  if (!kit->LoadModule(module_path, &error)) {
    fprintf(stderr, "LoadModule: %s\n", error.c_str());
    return nullptr;
  }
  bool opened = false;
  if (!kit->OpenEngine(std::chrono::seconds(10), &opened) || !opened) {
    fprintf(stderr, "the engine did not open\n");
    return nullptr;
  }
  return kit;
}

// Starts the local speech service on a free loopback port with its default
// options; false, after a line on standard error, when it does not start.
inline bool StartService(VxTts::TtsServer* server) {
  std::string error;
  if (server->Start(VxTts::TtsServerOptions(), &error)) return true;
  fprintf(stderr, "speech service: %s\n", error.c_str());
  return false;
}

// A SPEAK of plain text as a client writes it; the kit adds Content-Length.
inline std::string SpeakText(const std::string& body) {
  return "MRCP/2.0 0 SPEAK 0\r\nContent-Type: text/plain\r\n\r\n" + body;
}

// Nearest-rank percentile (p in 0..100) of unsorted samples; 0 when empty.
inline double Percentile(std::vector<double> samples, double p) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(samples.size())));
  if (rank < 1) rank = 1;
  if (rank > samples.size()) rank = samples.size();
  return samples[rank - 1];
}

// VmRSS of this process in KiB, from /proc/self/status; -1 when unreadable.
inline long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "VmRSS:") == 0) return strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

// "--name=value" of argv as a number, or `fallback`.
inline long IntOption(int argc, char** argv, const char* name, long fallback) {
  const std::string prefix = std::string("--") + name + "=";
  for (int i = 1; i < argc; ++i) {
    if (strncmp(argv[i], prefix.c_str(), prefix.size()) == 0) {
      return strtol(argv[i] + prefix.size(), nullptr, 10);
    }
  }
  return fallback;
}

inline double MillisSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace vxbench
