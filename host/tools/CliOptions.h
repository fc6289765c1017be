// The command line of the vexora program: the options of each subcommand,
// their parsing and the help texts.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "vxhost/apt.h"

namespace VxCli {

// What speak and run share: where the module and the host tree come from
// and how the host drives the module.
struct HostOptions {
  std::string module_path;  // the built module unless --module
  std::string root_dir;     // empty: embedded service and a generated tree
  bool keep_root = false;   // keep the generated tree at exit
  std::string voice;        // --voice; empty: not given
  std::string language;     // --lang; empty: not given
  int rate = 8000;
  bool realtime = false;  // speak: --realtime; run: on unless --fast
  apt_log_priority_e log_priority = APT_PRIO_WARNING;
  std::chrono::milliseconds timeout{60000};  // longest wait for one answer
  bool print_messages = true;                // every MRCP message on standard output
};

struct SpeakOptions {
  HostOptions host;
  std::string text;                                          // the positional TEXT
  std::string ssml_file;                                     // --ssml
  std::string uri_list_file;                                 // --uri-list
  std::string output;                                        // -o
  std::vector<std::pair<std::string, std::string>> headers;  // --header, in order
};

struct RunOptions {
  HostOptions host;
  std::string script_file;
  std::string audio_dir;  // -o DIR: each channel's audio as DIR/NAME.wav
};

struct LoadOptions {
  HostOptions host;
  int channels = 100;
  std::chrono::milliseconds duration{0};     // --seconds; 0: not given
  int speaks = 0;                            // --speaks: SPEAKs per channel; 0: not given
  std::string prompts_file;                  // --prompts: one prompt a line
  std::chrono::milliseconds progress{1000};  // time between progress lines
};

struct CheckOptions {
  HostOptions host;
  bool service = false;  // --service: also ListVoices on the configured endpoint
};

struct ServeOptions {
  std::string address = "127.0.0.1";
  int port = 0;
  // The service's latency model (both 0 = off).
  long long first_byte_ms = 0;
  double ms_per_char = 0;
};

struct VoicesOptions {
  std::string language;  // ListVoices filter
  std::string service;   // ADDR:PORT of a running service; empty: embedded
  std::chrono::milliseconds timeout{60000};
};

enum class Parsed { kGo, kHelp, kUsageError };

// Each takes the arguments after the subcommand's name. On kUsageError
// *error says why.
Parsed ParseSpeakArgs(const std::vector<std::string>& args, SpeakOptions* out, std::string* error);
Parsed ParseRunArgs(const std::vector<std::string>& args, RunOptions* out, std::string* error);
Parsed ParseLoadArgs(const std::vector<std::string>& args, LoadOptions* out, std::string* error);
Parsed ParseCheckArgs(const std::vector<std::string>& args, CheckOptions* out, std::string* error);
Parsed ParseServeArgs(const std::vector<std::string>& args, ServeOptions* out, std::string* error);
Parsed ParseVoicesArgs(const std::vector<std::string>& args, VoicesOptions* out,
                       std::string* error);

// The pieces, for the parsers above and the tests of the program.
bool ParseLogLevel(const std::string& name, apt_log_priority_e* out);
// "Name: value" (value may be empty); false without a name or colon.
bool ParseHeaderArgument(const std::string& text, std::pair<std::string, std::string>* out);
// A positive number of seconds, fractions allowed, at most one day.
bool ParseSeconds(const std::string& text, std::chrono::milliseconds* out);
// "ADDRESS:PORT", "[::1]:PORT"; port 0..65535.
bool ParseListen(const std::string& text, std::string* address, int* port);

// Help texts. The speak and run texts name the default module path.
std::string MainUsage();
std::string SpeakUsage(const std::string& default_module);
std::string RunUsage(const std::string& default_module);
std::string LoadUsage(const std::string& default_module);
std::string CheckUsage(const std::string& default_module);
std::string ServeUsage();
std::string VoicesUsage();

}  // namespace VxCli
