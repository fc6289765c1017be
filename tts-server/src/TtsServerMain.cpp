// vexora-tts-server: the local speech service as a program of its own.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>

#include "LatencyModel.h"
#include "TtsServer.h"
#include "TtsService.h"

namespace {

const char kUsage[] =
    "Usage: vexora-tts-server [options]\n"
    "\n"
    "Serves the google.cloud.texttospeech.v1.TextToSpeech API (ListVoices,\n"
    "SynthesizeSpeech) on a loopback address, speaking with espeak-ng voices\n"
    "(\"espeak-en-us\", \"espeak-en-us-female\", ...) and the test voice\n"
    "\"vx-test-tone\" (always available: a tone of exactly 20 ms per input byte),\n"
    "and \"vx-test-bytes\" (20 ms per input byte, each frame naming its input and byte).\n"
    "Prints \"listening on ADDRESS:PORT\" once it accepts calls, logs one line per\n"
    "call on stderr, and stops on SIGINT or SIGTERM.\n"
    "\n"
    "Options:\n"
    "  --listen ADDRESS:PORT   loopback address and port to serve on\n"
    "                          (default 127.0.0.1:0; port 0 picks a free port;\n"
    "                          use [::1]:PORT for IPv6)\n"
    "  --tls-cert FILE         serve TLS with this PEM certificate chain\n"
    "  --tls-key FILE          ... and this PEM private key (both or neither)\n"
    "  --jwt-public-key FILE   require an RS256 bearer token signed by this key:\n"
    "                          a PEM public key or certificate, or a\n"
    "                          service-account key JSON; else UNAUTHENTICATED\n"
    "  --no-audience-check     accept tokens whatever their \"aud\" claim\n"
    "  --max-threads N         at most N calls in progress (default: no limit)\n"
    "Latency model (SynthesizeSpeech only; default off):\n"
    "  --first-byte-ms N       a reply comes N ms after the call, plus ...\n"
    "  --ms-per-char X         ... X ms (a decimal, e.g. 1 or 0.5) per character\n"
    "                          of the input text or SSML\n"
    "Scripted faults (SynthesizeSpeech only):\n"
    "  --delay-ms N            wait N ms before answering every call\n"
    "  --fail-next N           answer the next N calls with --fail-code\n"
    "  --fail-code CODE        status for --fail-next, by name or number\n"
    "                          (default UNAVAILABLE)\n"
    "  --fail-message TEXT     message for --fail-next (default \"scripted failure\")\n"
    "  --empty-audio           answer OK with no audio bytes\n"
    "  --cut-header            answer only the first 20 bytes of the WAVE reply\n"
    "  --extra-chunks          put a LIST chunk before the \"data\" chunk\n"
    "  --drop-next N           cut the connection of the next N calls mid-call\n"
    "  --version               print the version and exit\n"
    "  --help                  show this text\n";

bool ParseInt(const std::string& text, int* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || v < 0 || v > 1000000000L) return false;
  *value = static_cast<int>(v);
  return true;
}

// A decimal number of milliseconds: digits with an optional fraction, no
// sign, exponent, "inf" or "nan".
bool ParseMs(const std::string& text, double* value) {
  if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos) return false;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (*end != '\0' || !(v >= 0) || v > VxTts::LatencyModel::kMaxMsPerChar) return false;
  *value = v;
  return true;
}

bool ParseListen(const std::string& text, std::string* address, int* port) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  *address = text.substr(0, colon);
  return ParseInt(text.substr(colon + 1), port) && *port <= 65535;
}

int Fail(const std::string& message) {
  std::cerr << "vexora-tts-server: " << message << "\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  VxTts::TtsServerOptions options;
  int delay_ms = 0, fail_next = 0, drop_next = 0;
  grpc::StatusCode fail_code = grpc::StatusCode::UNAVAILABLE;
  std::string fail_message = "scripted failure";
  bool empty_audio = false, cut_header = false, extra_chunks = false;

  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::string v;
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (arg == "--version") {
      std::cout << "vexora-tts-server " VX_PROJECT_VERSION "\n";
      return 0;
    } else if (arg == "--listen") {
      if (!value(&v) || !ParseListen(v, &options.address, &options.port))
        return Fail("--listen needs ADDRESS:PORT");
    } else if (arg == "--tls-cert") {
      if (!value(&options.tls_cert_file)) return Fail("--tls-cert needs a file");
    } else if (arg == "--tls-key") {
      if (!value(&options.tls_key_file)) return Fail("--tls-key needs a file");
    } else if (arg == "--jwt-public-key") {
      if (!value(&options.jwt_public_key_file)) return Fail("--jwt-public-key needs a file");
    } else if (arg == "--no-audience-check") {
      options.jwt_check_audience = false;
    } else if (arg == "--max-threads") {
      if (!value(&v) || !ParseInt(v, &options.max_threads))
        return Fail("--max-threads needs a number");
    } else if (arg == "--first-byte-ms") {
      int ms = 0;
      if (!value(&v) || !ParseInt(v, &ms))
        return Fail("--first-byte-ms needs a whole number of milliseconds, 0 or more");
      options.first_byte_ms = ms;
    } else if (arg == "--ms-per-char") {
      if (!value(&v) || !ParseMs(v, &options.ms_per_char))
        return Fail("--ms-per-char needs a number of milliseconds from 0 to " +
                    std::to_string(static_cast<long long>(VxTts::LatencyModel::kMaxMsPerChar)) +
                    " (e.g. 1 or 0.5)");
    } else if (arg == "--delay-ms") {
      if (!value(&v) || !ParseInt(v, &delay_ms)) return Fail("--delay-ms needs a number");
    } else if (arg == "--fail-next") {
      if (!value(&v) || !ParseInt(v, &fail_next)) return Fail("--fail-next needs a number");
    } else if (arg == "--fail-code") {
      if (!value(&v) || !VxTts::ParseStatusCode(v, &fail_code))
        return Fail("--fail-code needs a status name (e.g. UNAVAILABLE) or number");
    } else if (arg == "--fail-message") {
      if (!value(&fail_message)) return Fail("--fail-message needs a text");
    } else if (arg == "--drop-next") {
      if (!value(&v) || !ParseInt(v, &drop_next)) return Fail("--drop-next needs a number");
    } else if (arg == "--empty-audio") {
      empty_audio = true;
    } else if (arg == "--cut-header") {
      cut_header = true;
    } else if (arg == "--extra-chunks") {
      extra_chunks = true;
    } else {
      return Fail("unknown option " + arg + " (see --help)");
    }
  }

  // Server threads inherit this mask; only sigwait below sees the signals.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  std::mutex log_mutex;
  options.log = [&log_mutex](const std::string& line) {
    std::lock_guard<std::mutex> lock(log_mutex);
    std::cerr << line << std::endl;
  };

  VxTts::TtsServer server;
  server.faults().SetDelay(std::chrono::milliseconds(delay_ms));
  server.faults().FailNext(fail_next, fail_code, fail_message);
  server.faults().DropNext(drop_next);
  server.faults().SetEmptyAudio(empty_audio);
  server.faults().SetCutHeader(cut_header);
  server.faults().SetExtraChunks(extra_chunks);

  std::string error;
  if (!server.Start(options, &error)) {
    std::cerr << "vexora-tts-server: cannot start: " << error << "\n";
    return 1;
  }
  if (!server.warning().empty()) options.log("warning: " + server.warning());
  std::cout << "listening on " << server.target() << std::endl;

  int signal_number = 0;
  while (sigwait(&stop_signals, &signal_number) != 0) {
  }
  options.log("stopping on signal " + std::to_string(signal_number));
  server.Shutdown();
  return 0;
}
