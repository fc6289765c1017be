// vexora: the program a person runs to hear the module. It loads the module
// into the host kit once, drives it as a host MRCP server does and prints
// every MRCP message; see CliOptions.cpp for the help texts and
// SessionScript.h for the scripts of "vexora run".

#include <grpcpp/grpcpp.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "CliOptions.h"
#include "Commands.h"
#include "HostSession.h"
#include "RiffWave.h"
#include "SessionScript.h"
#include "TtsServer.h"
#include "WaveFile.h"
#include "google/cloud/texttospeech/v1/cloud_tts.grpc.pb.h"
#include "vxhost/AprGuard.h"
#include "vxhost/MrcpText.h"

#ifndef VX_DEFAULT_MODULE_PATH
#error "VX_DEFAULT_MODULE_PATH must name the built module"
#endif

namespace VxCli {
namespace {

namespace fs = std::filesystem;
namespace tts = google::cloud::texttospeech::v1;

// Longest wait for the response to the STOP sent when a run is cut short.
constexpr std::chrono::milliseconds kStopWait{5000};

// Largest file read for --ssml, --uri-list and scripts.
constexpr std::uintmax_t kLargestInput = 16 * 1024 * 1024;

}  // namespace

int Failed(const std::string& message) {
  std::cerr << "vexora: " << message << "\n";
  return kExitFailed;
}

int UsageError(const char* command, const std::string& message) {
  std::cerr << "vexora " << command << ": " << message << "\n";
  return kExitUsage;
}

bool ReadInputFile(const std::string& path, std::string* content, std::string* error) {
  std::error_code code;
  const std::uintmax_t size = fs::file_size(path, code);
  if (code) {
    *error = "cannot read " + path + ": " + code.message();
    return false;
  }
  if (size > kLargestInput) {
    *error = path + " is larger than " + std::to_string(kLargestInput) + " bytes";
    return false;
  }
  std::ifstream stream(path, std::ios::binary);
  std::ostringstream text;
  text << stream.rdbuf();
  if (!stream) {
    *error = "cannot read " + path;
    return false;
  }
  *content = text.str();
  return true;
}

// Reads `text` as an MRCP message, to find a bad header before the module
// is loaded.
static bool CheckRequestText(const std::string& text, std::string* error) {
  const vxhost::AprScope apr;
  if (!apr.IsOk()) {
    *error = "cannot initialise APR";
    return false;
  }
  const vxhost::ScratchPool pool;
  if (!pool.get()) {
    *error = "cannot make a memory pool";
    return false;
  }
  mrcp_message_t* message = nullptr;
  return vxhost::ParseMrcpMessage(text, pool.get(), &message, error);
}

bool CheckRootTree(const std::string& root, std::string* error) {
  std::error_code code;
  if (!fs::is_directory(root, code)) {
    *error = "--root " + root + " is not a directory";
    return false;
  }
  if (!fs::is_regular_file(fs::path(root) / "conf" / "vexora.xml", code)) {
    *error = "--root " + root + " has no conf/vexora.xml";
    return false;
  }
  return true;
}

std::string CauseText(int cause) {
  char text[16];
  std::snprintf(text, sizeof(text), "%03d", cause);
  return text;
}

const char* CauseName(int cause) {
  static const char* const kNames[] = {"normal",
                                       "barge-in",
                                       "parse-failure",
                                       "uri-failure",
                                       "error",
                                       "language-unsupported",
                                       "lexicon-load-failure",
                                       "cancelled"};
  return cause >= 0 && cause < 8 ? kNames[cause] : "unknown";
}

namespace {

// "Completion-Cause 001 barge-in", or that the message carries none.
std::string CauseOf(const vxhost::ReceivedMessage& message) {
  if (!message.has_completion_cause) return "no Completion-Cause";
  return "Completion-Cause " + CauseText(message.completion_cause) + " " +
         CauseName(message.completion_cause);
}

std::string AudioText(size_t bytes, int rate) {
  char text[96];
  std::snprintf(text, sizeof(text), "%.2f s of audio at %d Hz", PcmSeconds(bytes, rate), rate);
  return text;
}

std::string Seconds(std::chrono::milliseconds period) {
  char text[32];
  std::snprintf(text, sizeof(text), "%g s", period.count() / 1000.0);
  return text;
}

std::string MediaCounts(const vxhost::Channel* channel) {
  return std::to_string(channel->Underruns()) + " underruns, " +
         std::to_string(channel->LateFrames()) + " late frames";
}

// Starts the session; at log level info and above names the generated tree.
bool StartSession(HostSession* session, const HostOptions& host, std::string* error) {
  if (!session->Start(error)) return false;
  if (host.root_dir.empty() && host.log_priority >= APT_PRIO_INFO) {
    std::cerr << "vexora: host tree " << session->root() << "\n";
  }
  return true;
}

// Ends a session that could not go on, and reports why.
int SessionFailed(HostSession* session, const std::string& error) {
  std::string ignored;
  session->Finish(&ignored);
  return Failed(error);
}

// ------------------------------------------------------------------ speak

// Waits for the SPEAK's SPEAK-COMPLETE. The time-out counts from the last
// audio that arrived, so a long prompt played in real time does not run out
// of time while it plays.
WaitResult WaitForCompletion(vxhost::Channel* channel, std::chrono::milliseconds timeout,
                             vxhost::ReceivedMessage* complete) {
  size_t audio = channel->AudioBytes();
  auto progress = Clock::now();
  while (true) {
    const auto slice_end =
        std::min(progress + timeout, Clock::now() + std::chrono::milliseconds(200));
    vxhost::ReceivedMessage message;
    const WaitResult result = NextMessage(channel, &message, slice_end);
    if (result == WaitResult::kInterrupted) return result;
    if (result == WaitResult::kMessage) {
      if (message.type == MRCP_MESSAGE_TYPE_EVENT && message.method_name == "SPEAK-COMPLETE") {
        *complete = message;
        return WaitResult::kMessage;
      }
      continue;  // printed already; nothing else ends the SPEAK
    }
    const size_t now_audio = channel->AudioBytes();
    if (now_audio != audio) {
      audio = now_audio;
      progress = Clock::now();
    } else if (Clock::now() >= progress + timeout) {
      return WaitResult::kTimeout;
    }
  }
}

int Speak(const SpeakOptions& options) {
  vxhost::SpeakFields fields;
  std::string error;
  if (!options.ssml_file.empty()) {
    if (!ReadInputFile(options.ssml_file, &fields.body, &error)) return Failed(error);
    fields.content_type = "application/ssml+xml";
  } else if (!options.uri_list_file.empty()) {
    if (!ReadInputFile(options.uri_list_file, &fields.body, &error)) return Failed(error);
    fields.content_type = "text/uri-list";
  } else {
    fields.body = options.text;
  }
  if (fields.body.empty()) return Failed("nothing to speak: the input is empty");
  fields.voice_name = options.host.voice;
  fields.language = options.host.language;
  fields.headers = options.headers;
  const std::string request = vxhost::ComposeSpeakText(fields);
  if (!CheckRequestText(request, &error)) {
    return UsageError("speak", "the SPEAK would not be valid: " + error);
  }
  if (!options.host.root_dir.empty() && !CheckRootTree(options.host.root_dir, &error)) {
    return UsageError("speak", error);
  }
  const fs::path output_dir = fs::path(options.output).parent_path();
  std::error_code code;
  if (fs::is_directory(options.output, code)) {
    return Failed("cannot write " + options.output + ": it is a directory");
  }
  if (!output_dir.empty() && !fs::is_directory(output_dir, code)) {
    return Failed("cannot write " + options.output + ": no directory " + output_dir.string());
  }

  InstallInterruptHandlers();
  Printer printer;
  HostSession session(options.host, &printer);
  if (!StartSession(&session, options.host, &error)) return SessionFailed(&session, error);
  vxhost::Channel* channel = session.OpenChannel("vexora", options.host.rate, &error);
  if (!channel) return SessionFailed(&session, error);
  mrcp_request_id id = 0;
  if (!session.kit()->SendText(channel, request, &error, &id)) {
    return SessionFailed(&session, "cannot send the SPEAK: " + error);
  }

  // The outcome, as the end of the summary line.
  std::string outcome;
  bool completed = false;
  bool playing = false;  // the SPEAK went IN-PROGRESS: there is audio to keep
  const std::chrono::milliseconds timeout = options.host.timeout;
  vxhost::ReceivedMessage response;
  bool answered = false;
  WaitResult result = WaitResult::kTimeout;
  const auto deadline = Clock::now() + timeout;
  while (!answered) {
    result = NextMessage(channel, &response, deadline);
    if (result != WaitResult::kMessage) break;
    answered = response.type == MRCP_MESSAGE_TYPE_RESPONSE && response.request_id == id;
  }
  if (!answered) {
    outcome = result == WaitResult::kInterrupted
                  ? "interrupted before the SPEAK was answered"
                  : "no response to the SPEAK within " + Seconds(timeout);
  } else if (response.request_state != MRCP_REQUEST_STATE_INPROGRESS) {
    outcome = "SPEAK answered " + std::to_string(response.status_code) + " " +
              vxhost::MrcpRequestStateName(response.request_state) + " (" + CauseOf(response) +
              ")";
  } else {
    playing = true;
    vxhost::ReceivedMessage complete;
    result = WaitForCompletion(channel, timeout, &complete);
    if (result == WaitResult::kMessage) {
      completed = complete.has_completion_cause && complete.completion_cause == 0;
      outcome = "SPEAK-COMPLETE with " + CauseOf(complete);
    } else if (result == WaitResult::kInterrupted) {
      outcome = "interrupted before SPEAK-COMPLETE";
    } else {
      outcome = "no SPEAK-COMPLETE within " + Seconds(timeout) + " of the last audio";
    }
  }

  // Cut short (unanswered, or while it plays): stop it, or the close waits
  // for its end.
  if (result != WaitResult::kMessage) {
    session.StopAllChannels(std::min(options.host.timeout, kStopWait));
  }
  std::string close_error;
  bool clean = session.CloseAllChannels(&close_error);
  const std::vector<char> audio = channel->Audio();
  const int rate = channel->sampling_rate();
  bool written = true;
  std::string write_error;
  if (playing) written = WriteWaveFile(options.output, audio, rate, &write_error);
  std::string finish_error;
  if (!session.Finish(&finish_error)) {
    if (clean) close_error = finish_error;
    clean = false;
  }

  if (!playing) {
    printer.Line("vexora: " + outcome + "; no WAVE file written");
  } else if (written) {
    const size_t pcm = audio.size() & ~static_cast<size_t>(1);
    printer.Line("vexora: " + options.output + ": " + std::to_string(VxTts::kWaveHeaderBytes + pcm) +
                 " bytes, " + AudioText(pcm, rate) + "; " + outcome);
    if (options.host.realtime) printer.Line("vexora: " + MediaCounts(channel));
  } else {
    printer.Line("vexora: " + outcome + "; " + write_error);
  }
  if (!clean) std::cerr << "vexora: " << close_error << "\n";
  return completed && written && clean ? kExitOk : kExitFailed;
}

// -------------------------------------------------------------------- run

int Run(const RunOptions& options) {
  std::string text, error;
  if (!ReadInputFile(options.script_file, &text, &error)) return Failed(error);
  Script script;
  if (!ParseScript(text, options.script_file, options.host.rate, options.host.timeout, &script,
                   &error)) {
    return UsageError("run", error);
  }
  if (!options.host.root_dir.empty()) {
    if (!CheckRootTree(options.host.root_dir, &error)) return UsageError("run", error);
    if (!options.host.voice.empty() || !options.host.language.empty()) {
      std::cerr << "vexora run: --voice and --lang shape the generated tree only; with --root "
                   "the script's own headers choose\n";
    }
  }
  if (!options.audio_dir.empty()) {
    std::error_code code;
    fs::create_directories(options.audio_dir, code);
    if (code) return Failed("cannot make " + options.audio_dir + ": " + code.message());
  }

  InstallInterruptHandlers();
  Printer printer;
  HostSession session(options.host, &printer);
  if (!StartSession(&session, options.host, &error)) return SessionFailed(&session, error);
  std::map<std::string, vxhost::Channel*> channels;
  std::string script_error;
  const bool succeeded = RunScript(script, &session, &channels, &script_error);
  // A run that stopped early may leave a SPEAK playing; the close would wait
  // for its end.
  if (!succeeded) session.StopAllChannels(std::min(options.host.timeout, kStopWait));
  std::string close_error;
  bool clean = session.CloseAllChannels(&close_error);

  // The audio of each channel, in the order the script opened them.
  bool written = true;
  std::vector<std::string> lines;
  for (const std::string& name : script.channels) {
    auto it = channels.find(name);
    if (it == channels.end()) continue;
    const std::vector<char> audio = it->second->Audio();
    const int rate = it->second->sampling_rate();
    std::string line =
        "vexora: channel " + name + ": " + AudioText(audio.size() & ~static_cast<size_t>(1), rate);
    if (options.host.realtime) line += ", " + MediaCounts(it->second);
    if (!options.audio_dir.empty()) {
      const std::string path = (fs::path(options.audio_dir) / (name + ".wav")).string();
      std::string write_error;
      if (WriteWaveFile(path, audio, rate, &write_error)) {
        line += " in " + path;
      } else {
        line += "; " + write_error;
        written = false;
      }
    }
    lines.push_back(line);
  }
  std::string finish_error;
  if (!session.Finish(&finish_error)) {
    if (clean) close_error = finish_error;
    clean = false;
  }
  for (const std::string& line : lines) printer.Line(line);
  if (!clean) std::cerr << "vexora: " << close_error << "\n";
  if (succeeded) {
    printer.Line("vexora: " + options.script_file + ": every directive succeeded");
  } else {
    std::cerr << "vexora: " << script_error << "\n";
  }
  return succeeded && clean && written ? kExitOk : kExitFailed;
}

// ----------------------------------------------------------------- voices

int Voices(const VoicesOptions& options) {
  std::unique_ptr<VxTts::TtsServer> server;
  std::string target = options.service;
  std::string error;
  if (target.empty()) {
    server.reset(new VxTts::TtsServer());
    if (!server->Start(VxTts::TtsServerOptions(), &error)) {
      return Failed("cannot start the local speech service: " + error);
    }
    if (!server->warning().empty()) std::cerr << "vexora: warning: " << server->warning() << "\n";
    target = server->target();
  }
  auto stub =
      tts::TextToSpeech::NewStub(grpc::CreateChannel(target, grpc::InsecureChannelCredentials()));
  grpc::ClientContext context;
  context.set_deadline(std::chrono::system_clock::now() + options.timeout);
  tts::ListVoicesRequest request;
  request.set_language_code(options.language);
  tts::ListVoicesResponse response;
  const grpc::Status status = stub->ListVoices(&context, request, &response);
  stub.reset();
  if (server) server->Shutdown();
  if (!status.ok()) {
    return Failed("ListVoices at " + target + " failed: " + status.error_message() + " (code " +
                  std::to_string(static_cast<int>(status.error_code())) + ")");
  }
  for (const tts::Voice& voice : response.voices()) {
    std::string languages;
    for (const std::string& language : voice.language_codes()) {
      languages += (languages.empty() ? "" : ",") + language;
    }
    char line[512];
    std::snprintf(line, sizeof(line), "%-32s %-20s %-8s %d Hz", voice.name().c_str(),
                  languages.c_str(), tts::SsmlVoiceGender_Name(voice.ssml_gender()).c_str(),
                  voice.natural_sample_rate_hertz());
    std::cout << line << "\n";
  }
  std::cout << std::flush;
  if (response.voices_size() == 0) {
    std::cerr << "vexora: no voices" << (options.language.empty() ? "" : " for " + options.language)
              << "\n";
    return kExitFailed;
  }
  return kExitOk;
}

// -------------------------------------------------------------- serve-tts

int ServeTts(const ServeOptions& options) {
  // The service's threads inherit this mask; only sigwait below sees the
  // signals.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  signal(SIGPIPE, SIG_IGN);

  VxTts::TtsServerOptions service;
  service.address = options.address;
  service.port = options.port;
  service.first_byte_ms = options.first_byte_ms;
  service.ms_per_char = options.ms_per_char;
  service.log = [](const std::string& line) {
    try {
      std::cerr << line + "\n" << std::flush;
    } catch (...) {
    }
  };
  VxTts::TtsServer server;
  std::string error;
  if (!server.Start(service, &error)) return Failed("cannot start the speech service: " + error);
  if (!server.warning().empty()) std::cerr << "vexora: warning: " << server.warning() << "\n";
  std::cout << "listening on " << server.target() << std::endl;
  int signal_number = 0;
  while (sigwait(&stop, &signal_number) != 0) {
  }
  std::cerr << "vexora: stopping on signal " << signal_number << "\n";
  server.Shutdown();
  return kExitOk;
}

// ------------------------------------------------------------------- main

// One subcommand: parses its arguments over the defaults in options, then
// prints its help, reports the usage error or runs it.
template <typename Options>
int RunCommand(const char* command, const std::vector<std::string>& args, Options options,
               Parsed (*parse)(const std::vector<std::string>&, Options*, std::string*),
               const std::string& usage, int (*act)(const Options&)) {
  std::string error;
  switch (parse(args, &options, &error)) {
    case Parsed::kHelp:
      std::cout << usage;
      return kExitOk;
    case Parsed::kUsageError:
      return UsageError(command, error);
    case Parsed::kGo:
      break;
  }
  return act(options);
}

// The module installed with this program (lib/vexora/plugin/ beside its
// bin/), or else the one built beside it in the build tree.
std::string DefaultModule() {
  std::error_code error;
  const fs::path program = fs::read_symlink("/proc/self/exe", error);
  if (!error) {
    const fs::path installed =
        program.parent_path().parent_path() / "lib" / "vexora" / "plugin" / "vexora.so";
    if (fs::is_regular_file(installed, error)) return installed.string();
  }
  return VX_DEFAULT_MODULE_PATH;
}

int Main(int argc, char** argv) {
  const std::string default_module = DefaultModule();
  if (argc < 2) {
    std::cerr << MainUsage();
    return kExitUsage;
  }
  const std::string command = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "-h" || command == "--help" || command == "help") {
    std::cout << MainUsage();
    return kExitOk;
  }
  if (command == "--version" || command == "version") {
    std::cout << "vexora " VX_PROJECT_VERSION "\n";
    return kExitOk;
  }
  if (command == "speak") {
    SpeakOptions options;
    options.host.module_path = default_module;
    return RunCommand("speak", args, options, ParseSpeakArgs, SpeakUsage(default_module), Speak);
  }
  if (command == "run") {
    RunOptions options;
    options.host.module_path = default_module;
    options.host.realtime = true;  // a scripted session is about timing
    return RunCommand("run", args, options, ParseRunArgs, RunUsage(default_module), Run);
  }
  if (command == "load") {
    LoadOptions options;
    options.host.module_path = default_module;
    options.host.realtime = true;
    return RunCommand("load", args, options, ParseLoadArgs, LoadUsage(default_module), Load);
  }
  if (command == "check") {
    CheckOptions options;
    options.host.module_path = default_module;
    return RunCommand("check", args, options, ParseCheckArgs, CheckUsage(default_module), Check);
  }
  if (command == "voices") {
    return RunCommand("voices", args, VoicesOptions(), ParseVoicesArgs, VoicesUsage(), Voices);
  }
  if (command == "serve-tts") {
    return RunCommand("serve-tts", args, ServeOptions(), ParseServeArgs, ServeUsage(), ServeTts);
  }
  std::cerr << "vexora: unknown command \"" << command << "\"\n\n" << MainUsage();
  return kExitUsage;
}

}  // namespace
}  // namespace VxCli

int main(int argc, char** argv) {
  try {
    return VxCli::Main(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vexora: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "vexora: unexpected error\n");
  }
  return 1;
}
