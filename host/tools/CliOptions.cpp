#include "CliOptions.h"

#include <strings.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>

#include "LatencyModel.h"

namespace VxCli {

namespace {

// Walks the arguments: "--name value", "--name=value", positionals, and "--"
// after which everything is positional.
class ArgReader {
 public:
  explicit ArgReader(const std::vector<std::string>& args) : m_Args(args) {}

  bool Done() const { return m_Index >= m_Args.size(); }

  // The next argument. For "--name=value" gives "--name" and keeps the value
  // for Value(). *positional is set for arguments that are not options.
  std::string Next(bool* positional) {
    std::string arg = m_Args[m_Index++];
    m_Inline.clear();
    m_HasInline = false;
    *positional = m_OnlyPositional || arg.size() < 2 || arg[0] != '-';
    if (!*positional && arg == "--") {
      m_OnlyPositional = true;
      return std::string();
    }
    if (!*positional && arg.compare(0, 2, "--") == 0) {
      const size_t equals = arg.find('=');
      if (equals != std::string::npos) {
        m_Inline = arg.substr(equals + 1);
        m_HasInline = true;
        arg.erase(equals);
      }
    }
    return arg;
  }

  // True for the "--" separator just read by Next.
  bool WasSeparator(const std::string& arg, bool positional) const {
    return !positional && arg.empty();
  }

  // The value of the option just read; false when there is none.
  bool Value(std::string* out) {
    if (m_HasInline) {
      *out = m_Inline;
      m_HasInline = false;
      return true;
    }
    if (Done()) return false;
    *out = m_Args[m_Index++];
    return true;
  }

  // True when "--flag=value" was given to an option that takes no value.
  bool HasUnusedValue() const { return m_HasInline; }

 private:
  const std::vector<std::string>& m_Args;
  size_t m_Index = 0;
  bool m_OnlyPositional = false;
  std::string m_Inline;
  bool m_HasInline = false;
};

bool ParseRate(const std::string& text, int* rate) {
  if (text == "8000") {
    *rate = 8000;
  } else if (text == "16000") {
    *rate = 16000;
  } else {
    return false;
  }
  return true;
}

enum class Taken { kNo, kYes, kError };

// Reads the value of the option just read into *out; on false *error says
// "NAME needs WHAT". An empty value counts as none.
bool TakeValue(const std::string& name, const char* what, ArgReader& reader, std::string* out,
               std::string* error) {
  std::string value;
  if (!reader.Value(&value) || value.empty()) {
    *error = name + " needs " + what;
    return false;
  }
  *out = value;
  return true;
}

// The options speak and run share. *error is set on kError.
Taken TakeHostOption(const std::string& name, ArgReader& reader, HostOptions* host,
                     std::string* error) {
  std::string value;
  auto need = [&](const char* what) {
    if (reader.Value(&value)) return true;
    *error = name + " needs " + what;
    return false;
  };
  if (name == "--module") {
    if (!TakeValue(name, "a module file", reader, &host->module_path, error)) return Taken::kError;
  } else if (name == "--root") {
    if (!TakeValue(name, "a directory", reader, &host->root_dir, error)) return Taken::kError;
  } else if (name == "--keep-root") {
    host->keep_root = true;
  } else if (name == "--voice") {
    if (!TakeValue(name, "a voice name", reader, &host->voice, error)) return Taken::kError;
  } else if (name == "--lang") {
    if (!TakeValue(name, "a language tag", reader, &host->language, error)) return Taken::kError;
  } else if (name == "--rate") {
    if (!need("8000 or 16000")) return Taken::kError;
    if (!ParseRate(value, &host->rate)) {
      *error = "--rate must be 8000 or 16000, not \"" + value + "\"";
      return Taken::kError;
    }
  } else if (name == "--realtime") {
    host->realtime = true;
  } else if (name == "--fast") {
    host->realtime = false;
  } else if (name == "--log-level") {
    if (!need("a priority name")) return Taken::kError;
    if (!ParseLogLevel(value, &host->log_priority)) {
      *error =
          "--log-level must be one of emergency, alert, critical, error, warning, notice, "
          "info, debug; not \"" +
          value + "\"";
      return Taken::kError;
    }
  } else if (name == "--timeout") {
    if (!need("a number of seconds")) return Taken::kError;
    if (!ParseSeconds(value, &host->timeout)) {
      *error = "--timeout needs a positive number of seconds, not \"" + value + "\"";
      return Taken::kError;
    }
  } else {
    return Taken::kNo;
  }
  if (reader.HasUnusedValue()) {
    *error = name + " takes no value";
    return Taken::kError;
  }
  return Taken::kYes;
}

std::string UnknownOption(const std::string& name, const char* command) {
  return "unknown option " + name + " (see vexora " + command + " --help)";
}

// Takes one option of a subcommand: kNo for a name it does not know; on
// kError it has set the parser's *error.
using OptionTaker = std::function<Taken(const std::string& name, ArgReader& reader)>;

// The option loop of every subcommand: "--help" and the options `take`
// knows; an unknown option is a usage error. Positionals are gathered in
// *positionals, in order; a subcommand without them passes null, and then
// a positional is a usage error too.
Parsed ParseOptions(const std::vector<std::string>& args, const char* command,
                    const OptionTaker& take, std::vector<std::string>* positionals,
                    std::string* error) {
  ArgReader reader(args);
  while (!reader.Done()) {
    bool positional = false;
    const std::string arg = reader.Next(&positional);
    if (reader.WasSeparator(arg, positional)) continue;
    if (positional && positionals) {
      positionals->push_back(arg);
      continue;
    }
    if (arg == "-h" || arg == "--help") return Parsed::kHelp;
    const Taken taken = positional ? Taken::kNo : take(arg, reader);
    if (taken == Taken::kError) return Parsed::kUsageError;
    if (taken == Taken::kNo) {
      *error = positional ? "unexpected argument \"" + arg + "\" (see vexora " + command +
                                " --help)"
                          : UnknownOption(arg, command);
      return Parsed::kUsageError;
    }
  }
  return Parsed::kGo;
}

const char kLogLevels[] =
    "  --log-level NAME      lowest priority of the host log printed on standard\n"
    "                        error: emergency, alert, critical, error, warning,\n"
    "                        notice, info or debug (default warning)\n";

std::string HostOptionsHelp(const std::string& default_module) {
  return std::string(
             "  --voice NAME          voice of the generated tree (default espeak-en-us);\n"
             "                        speak also sends it as Voice-Name\n"
             "  --lang TAG            language of the generated tree (default en-US);\n"
             "                        speak also sends it as Speech-Language\n"
             "  --rate 8000|16000     channel sampling rate in Hz (default 8000)\n"
             "  --realtime            pace the media thread at one 20 ms frame per 20 ms\n"
             "                        (the default of run; speak pulls frames as fast\n"
             "                        as they come unless given this)\n"
             "  --fast                pull frames as fast as they come (the default of\n"
             "                        speak)\n"
             "  --timeout SECONDS     longest wait for any one answer of the module, and\n"
             "                        for more audio while a SPEAK plays (default 60)\n") +
         kLogLevels +
         "  --module PATH         the module file; default:\n"
         "                        " +
         default_module +
         "\n"
         "  --root DIR            drive the module with this host tree instead: its\n"
         "                        conf/vexora.xml, data/, var/ and var/status/; no\n"
         "                        embedded service is started\n"
         "  --keep-root           keep the generated tree and print where it is\n"
         "  -h, --help            show this text\n";
}

}  // namespace

bool ParseLogLevel(const std::string& name, apt_log_priority_e* out) {
  static const char* const kNames[] = {"emergency", "alert",  "critical", "error",
                                       "warning",   "notice", "info",     "debug"};
  for (int i = 0; i < APT_PRIO_COUNT; ++i) {
    if (strcasecmp(name.c_str(), kNames[i]) == 0) {
      *out = static_cast<apt_log_priority_e>(i);
      return true;
    }
  }
  return false;
}

bool ParseHeaderArgument(const std::string& text, std::pair<std::string, std::string>* out) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  auto trim = [](const std::string& s) {
    const size_t first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
  };
  std::string name = trim(text.substr(0, colon));
  if (name.empty()) return false;
  // A header name is a token: no spaces, no control characters.
  for (char c : name) {
    if (c <= ' ' || c == 0x7f) return false;
  }
  for (char c : text) {
    if (c == '\r' || c == '\n') return false;
  }
  out->first = name;
  out->second = trim(text.substr(colon + 1));
  return true;
}

bool ParseSeconds(const std::string& text, std::chrono::milliseconds* out) {
  if (text.empty() || text.size() > 20) return false;
  char* end = nullptr;
  errno = 0;
  const double seconds = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(seconds)) return false;
  if (!(seconds > 0) || seconds > 86400) return false;
  const long long millis = std::llround(seconds * 1000.0);
  if (millis < 1) return false;
  *out = std::chrono::milliseconds(millis);
  return true;
}

bool ParseListen(const std::string& text, std::string* address, int* port) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size()) return false;
  std::string host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  const std::string digits = text.substr(colon + 1);
  if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const int value = std::atoi(digits.c_str());
  if (value > 65535 || host.empty()) return false;
  *address = host;
  *port = value;
  return true;
}

Parsed ParseSpeakArgs(const std::vector<std::string>& args, SpeakOptions* out, std::string* error) {
  auto take = [out, error](const std::string& arg, ArgReader& reader) {
    const Taken host = TakeHostOption(arg, reader, &out->host, error);
    if (host != Taken::kNo) return host;
    if (arg == "-o" || arg == "--output") {
      if (!TakeValue(arg, "a file name", reader, &out->output, error)) return Taken::kError;
    } else if (arg == "--ssml") {
      if (!TakeValue(arg, "a file", reader, &out->ssml_file, error)) return Taken::kError;
    } else if (arg == "--uri-list") {
      if (!TakeValue(arg, "a file", reader, &out->uri_list_file, error)) return Taken::kError;
    } else if (arg == "--header") {
      std::string value;
      std::pair<std::string, std::string> header;
      if (!reader.Value(&value)) {
        *error = "--header needs \"Name: value\"";
        return Taken::kError;
      }
      if (!ParseHeaderArgument(value, &header)) {
        *error = "--header needs \"Name: value\", not \"" + value + "\"";
        return Taken::kError;
      }
      out->headers.push_back(header);
    } else {
      return Taken::kNo;
    }
    return Taken::kYes;
  };
  std::vector<std::string> positionals;
  const Parsed parsed = ParseOptions(args, "speak", take, &positionals, error);
  if (parsed != Parsed::kGo) return parsed;
  const int sources = static_cast<int>(!positionals.empty()) +
                      static_cast<int>(!out->ssml_file.empty()) +
                      static_cast<int>(!out->uri_list_file.empty());
  if (positionals.size() > 1) {
    *error = "one TEXT only (quote a sentence: vexora speak \"Hello there.\" -o hello.wav)";
    return Parsed::kUsageError;
  }
  if (sources == 0) {
    *error = "nothing to speak: give TEXT, --ssml FILE or --uri-list FILE";
    return Parsed::kUsageError;
  }
  if (sources > 1) {
    *error = "give only one of TEXT, --ssml FILE and --uri-list FILE";
    return Parsed::kUsageError;
  }
  if (!positionals.empty()) {
    out->text = positionals.front();
    if (out->text.empty()) {
      *error = "TEXT is empty";
      return Parsed::kUsageError;
    }
  }
  if (out->output.empty()) {
    *error = "no WAVE file: give -o FILE.wav";
    return Parsed::kUsageError;
  }
  return Parsed::kGo;
}

Parsed ParseRunArgs(const std::vector<std::string>& args, RunOptions* out, std::string* error) {
  auto take = [out, error](const std::string& arg, ArgReader& reader) {
    const Taken host = TakeHostOption(arg, reader, &out->host, error);
    if (host != Taken::kNo) return host;
    if (arg != "-o" && arg != "--output") return Taken::kNo;
    if (!TakeValue(arg, "a directory", reader, &out->audio_dir, error)) return Taken::kError;
    return Taken::kYes;
  };
  std::vector<std::string> positionals;
  const Parsed parsed = ParseOptions(args, "run", take, &positionals, error);
  if (parsed != Parsed::kGo) return parsed;
  if (positionals.size() != 1 || positionals.front().empty()) {
    *error = positionals.empty() ? "no script: vexora run FILE" : "one script FILE only";
    return Parsed::kUsageError;
  }
  out->script_file = positionals.front();
  return Parsed::kGo;
}

namespace {

bool ParseCount(const std::string& text, int limit, int* out) {
  if (text.empty() || text.size() > 9 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const int value = std::atoi(text.c_str());
  if (value < 1 || value > limit) return false;
  *out = value;
  return true;
}

}  // namespace

Parsed ParseLoadArgs(const std::vector<std::string>& args, LoadOptions* out, std::string* error) {
  auto take = [out, error](const std::string& arg, ArgReader& reader) {
    const Taken host = TakeHostOption(arg, reader, &out->host, error);
    if (host != Taken::kNo) return host;
    std::string value;
    if (arg == "--channels") {
      if (!reader.Value(&value) || !ParseCount(value, 10000, &out->channels)) {
        *error = "--channels needs a number of channels from 1 to 10000";
        return Taken::kError;
      }
    } else if (arg == "--seconds") {
      if (!reader.Value(&value) || !ParseSeconds(value, &out->duration)) {
        *error = "--seconds needs a positive number of seconds";
        return Taken::kError;
      }
    } else if (arg == "--speaks") {
      if (!reader.Value(&value) || !ParseCount(value, 1000000, &out->speaks)) {
        *error = "--speaks needs a positive number of SPEAKs per channel";
        return Taken::kError;
      }
    } else if (arg == "--prompts") {
      if (!TakeValue(arg, "a file", reader, &out->prompts_file, error)) return Taken::kError;
    } else {
      return Taken::kNo;
    }
    return Taken::kYes;
  };
  const Parsed parsed = ParseOptions(args, "load", take, nullptr, error);
  if (parsed != Parsed::kGo) return parsed;
  if (out->duration.count() == 0 && out->speaks == 0) {
    *error = "give --seconds N or --speaks N (how long the load runs)";
    return Parsed::kUsageError;
  }
  if (out->duration.count() > 0 && out->speaks > 0) {
    *error = "give only one of --seconds and --speaks";
    return Parsed::kUsageError;
  }
  return Parsed::kGo;
}

Parsed ParseCheckArgs(const std::vector<std::string>& args, CheckOptions* out, std::string* error) {
  auto take = [out, error](const std::string& arg, ArgReader& reader) {
    if (arg == "--service") {
      if (reader.HasUnusedValue()) {
        *error = "--service takes no value";
        return Taken::kError;
      }
      out->service = true;
      return Taken::kYes;
    }
    if (arg != "--root" && arg != "--module" && arg != "--log-level" && arg != "--timeout") {
      return Taken::kNo;
    }
    return TakeHostOption(arg, reader, &out->host, error);
  };
  const Parsed parsed = ParseOptions(args, "check", take, nullptr, error);
  if (parsed != Parsed::kGo) return parsed;
  if (out->host.root_dir.empty()) {
    *error = "no host tree: vexora check --root DIR";
    return Parsed::kUsageError;
  }
  return Parsed::kGo;
}

Parsed ParseServeArgs(const std::vector<std::string>& args, ServeOptions* out, std::string* error) {
  auto take = [out, error](const std::string& arg, ArgReader& reader) {
    std::string value;
    if (arg == "--first-byte-ms") {
      char* end = nullptr;
      long long ms = 0;
      if (reader.Value(&value) && !value.empty() && value[0] != '-') {
        ms = strtoll(value.c_str(), &end, 10);
      }
      std::string ignored;
      if (end == nullptr || *end != '\0' ||
          !VxTts::LatencyModel::Valid(ms, 0, &ignored)) {
        *error = "--first-byte-ms needs a whole number of milliseconds, 0 or more";
        return Taken::kError;
      }
      out->first_byte_ms = ms;
      return Taken::kYes;
    }
    if (arg == "--ms-per-char") {
      char* end = nullptr;
      double ms = 0;
      if (reader.Value(&value) && !value.empty()) ms = strtod(value.c_str(), &end);
      std::string ignored;
      if (end == nullptr || *end != '\0' || !VxTts::LatencyModel::Valid(0, ms, &ignored)) {
        *error = "--ms-per-char needs a number of milliseconds from 0 to " +
                 std::to_string(static_cast<long long>(VxTts::LatencyModel::kMaxMsPerChar)) +
                 " (e.g. 1 or 0.5)";
        return Taken::kError;
      }
      out->ms_per_char = ms;
      return Taken::kYes;
    }
    if (arg != "--listen") return Taken::kNo;
    if (!reader.Value(&value) || !ParseListen(value, &out->address, &out->port)) {
      *error = "--listen needs ADDRESS:PORT (for example 127.0.0.1:50051)";
      return Taken::kError;
    }
    return Taken::kYes;
  };
  return ParseOptions(args, "serve-tts", take, nullptr, error);
}

Parsed ParseVoicesArgs(const std::vector<std::string>& args, VoicesOptions* out,
                       std::string* error) {
  auto take = [out, error](const std::string& arg, ArgReader& reader) {
    std::string value;
    if (arg == "--lang") {
      if (!TakeValue(arg, "a language tag", reader, &out->language, error)) return Taken::kError;
    } else if (arg == "--service") {
      std::string address;
      int port = 0;
      if (!reader.Value(&value) || !ParseListen(value, &address, &port) || port == 0) {
        *error = "--service needs ADDRESS:PORT of a running service";
        return Taken::kError;
      }
      out->service = value;
    } else if (arg == "--timeout") {
      if (!reader.Value(&value) || !ParseSeconds(value, &out->timeout)) {
        *error = "--timeout needs a positive number of seconds";
        return Taken::kError;
      }
    } else {
      return Taken::kNo;
    }
    return Taken::kYes;
  };
  return ParseOptions(args, "voices", take, nullptr, error);
}

std::string MainUsage() {
  return "Usage: vexora COMMAND [options]\n"
         "\n"
         "Loads the vexora synthesizer module into the host kit and drives it as a\n"
         "host MRCP server does, against the local speech service started inside\n"
         "this process (or a host tree of your own with --root).\n"
         "\n"
         "Commands:\n"
         "  speak TEXT -o FILE.wav   speak TEXT (or --ssml FILE, --uri-list FILE) into a\n"
         "                           WAVE file, printing every MRCP message\n"
         "  run SCRIPT               replay a scripted MRCP session on one or more\n"
         "                           channels, printing every MRCP message\n"
         "  load                     many channels speaking at once in real time, with\n"
         "                           a table of what they got (vexora load --help)\n"
         "  check --root DIR         load and validate a host tree's configuration\n"
         "                           through the module, without speaking\n"
         "  voices                   list the voices of the local speech service\n"
         "  serve-tts                run the local speech service in the foreground\n"
         "\n"
         "\"vexora COMMAND --help\" describes each command; \"vexora --version\"\n"
         "prints the version.\n"
         "Exit status: 0 success, 1 failure, 2 usage error.\n";
}

std::string SpeakUsage(const std::string& default_module) {
  return "Usage: vexora speak [options] TEXT -o FILE.wav\n"
         "       vexora speak [options] --ssml FILE -o FILE.wav\n"
         "       vexora speak [options] --uri-list FILE -o FILE.wav\n"
         "\n"
         "Loads the module, opens the engine and one channel, sends one SPEAK built\n"
         "from the arguments, pulls every audio frame and writes the audio to\n"
         "FILE.wav (16-bit mono PCM at the channel's rate). Every MRCP message sent\n"
         "and received is printed on standard output as MRCPv2 text, each followed by\n"
         "a blank line; the last line names the WAVE file, its size, the seconds of\n"
         "audio and the completion cause. Exits 0 only when SPEAK-COMPLETE arrived\n"
         "with Completion-Cause 000; 1 otherwise; 2 for a usage error.\n"
         "\n"
         "Without --root the local speech service runs inside this process on a free\n"
         "loopback port, with a host tree generated for it in a scratch folder\n"
         "(insecure transport, a placeholder key file), removed at exit.\n"
         "\n"
         "Options:\n"
         "  -o, --output FILE     the WAVE file to write (required)\n"
         "  --ssml FILE           speak this SSML document (application/ssml+xml)\n"
         "  --uri-list FILE       play this list of URIs (text/uri-list)\n"
         "  --header \"Name: value\"\n"
         "                        add this header to the SPEAK (repeatable; a\n"
         "                        Content-Type given here replaces the default)\n" +
         HostOptionsHelp(default_module);
}

std::string RunUsage(const std::string& default_module) {
  return "Usage: vexora run [options] SCRIPT\n"
         "\n"
         "Replays a scripted MRCP session: opens the channels the script names, sends\n"
         "its requests (written as MRCPv2 text) at the times it asks, and waits for\n"
         "the responses and events it expects. Every MRCP message sent and received\n"
         "is printed on standard output as MRCPv2 text, in order, each followed by a\n"
         "blank line; then one line per channel with its audio (in real time with\n"
         "its underruns and late frames). Frames are paced in real time (one 20 ms\n"
         "frame per 20 ms) unless --fast. The host answers as a server: a SPEAK sent\n"
         "while another plays is answered 200 PENDING and plays after it. Exits 0\n"
         "when every wait of the script was satisfied; 1 otherwise (the failing\n"
         "line on standard error); 2 for a usage error or a script that does not\n"
         "read.\n"
         "\n"
         "Script lines (\"#\" starts a comment; NAME defaults to the last channel\n"
         "opened; times are milliseconds):\n"
         "  channel NAME [RATE]                        open a channel (8000 or 16000)\n"
         "  send [NAME] [after N]                      send the request on the lines\n"
         "    MRCP/2.0 0 SPEAK 0                       that follow, up to a line \".\"\n"
         "    Content-Type: text/plain                 (or \"end\"); request id 0 is\n"
         "                                             numbered by the host\n"
         "    Hello.\n"
         "    .\n"
         "  wait-in-progress [NAME] [timeout N]        the last request went IN-PROGRESS\n"
         "  wait-response [NAME] [CODE] [timeout N]    the last request was answered\n"
         "                                             (with status CODE)\n"
         "  wait-event [NAME] EVENT [cause NNN] [timeout N]\n"
         "                                             an event arrived (with that\n"
         "                                             Completion-Cause)\n"
         "  ... header NAME[=VALUE] | no-header NAME   with any wait: the message\n"
         "                                             carries (or lacks) that header\n"
         "  ... marker MARK                            with any wait: its Speech-Marker\n"
         "                                             names MARK (- for none)\n"
         "  sleep N                                    pause\n"
         "  close [NAME]                               close the channel\n"
         "A wait without a time-out waits up to --timeout. The README describes the\n"
         "format in full.\n"
         "\n"
         "Options:\n"
         "  -o, --output DIR      write each channel's audio to DIR/NAME.wav\n" +
         HostOptionsHelp(default_module);
}

std::string LoadUsage(const std::string& default_module) {
  return "Usage: vexora load [options] (--seconds N | --speaks N)\n"
         "\n"
         "Opens --channels channels at once and keeps each one speaking, one SPEAK\n"
         "after another, in real time (one 20 ms frame per 20 ms), for --seconds\n"
         "seconds or --speaks SPEAKs per channel. The prompts are the lines of\n"
         "--prompts FILE, or built-in sentences, taken in turn. Once a second a\n"
         "progress line: channels active, SPEAKs done, failures. At the end a table:\n"
         "SPEAKs completed by Completion-Cause, time to first audio (p50, p95, p99,\n"
         "max), underruns (silent frames while a SPEAK's audio was late) and frames\n"
         "read late against the 20 ms clock, CPU seconds of the process per\n"
         "channel-second of audio, and peak resident memory. MRCP messages are not\n"
         "printed. Exits 0 when every SPEAK completed with cause 000; 1 otherwise.\n"
         "\n"
         "Options:\n"
         "  --channels N          channels at once (default 100)\n"
         "  --seconds N           run this long, then stop what still plays\n"
         "  --speaks N            SPEAKs per channel, then close\n"
         "  --prompts FILE        speak these lines (blank lines skipped)\n" +
         HostOptionsHelp(default_module);
}

std::string CheckUsage(const std::string& default_module) {
  return "Usage: vexora check --root DIR [--service]\n"
         "\n"
         "Loads the module with the host tree DIR and opens and closes its engine,\n"
         "without speaking: prints each setting the module took and where it came\n"
         "from, every warning it gave, and the paths it resolved. With --service it\n"
         "also calls ListVoices on the configured endpoint with the configured\n"
         "credentials. Exits 0 only when the engine opened (and, with --service,\n"
         "ListVoices answered); 1 otherwise; 2 for a usage error.\n"
         "\n"
         "Options:\n"
         "  --root DIR            the host tree (required): DIR/conf/vexora.xml, ...\n"
         "  --service             also ask the configured speech service for voices\n"
         "  --timeout SECONDS     longest wait for the engine and the service\n"
         "                        (default 60)\n"
         "  --module PATH         the module file; default:\n"
         "                        " +
         default_module + "\n" + kLogLevels +
         "                        (check prints the host log only when given)\n"
         "  -h, --help            show this text\n";
}

std::string ServeUsage() {
  return "Usage: vexora serve-tts [--listen ADDRESS:PORT] [--first-byte-ms N]\n"
         "                        [--ms-per-char X]\n"
         "\n"
         "Runs the local speech service in the foreground: the text-to-speech API\n"
         "on a loopback address, with the espeak-ng voices (\"espeak-en-us\", ...) and\n"
         "the test voice \"vx-test-tone\" (20 ms of tone per input byte). Prints\n"
         "\"listening on ADDRESS:PORT\" once it accepts calls, one line per call on\n"
         "standard error, and stops on SIGINT or SIGTERM.\n"
         "\n"
         "Options:\n"
         "  --listen ADDRESS:PORT loopback address and port (default 127.0.0.1:0,\n"
         "                        a free port; [::1]:PORT for IPv6)\n"
         "  --first-byte-ms N     answer like a cloud service: a reply comes N ms\n"
         "                        after the call, plus ...\n"
         "  --ms-per-char X       ... X ms (e.g. 1 or 0.5) per character of its\n"
         "                        text; a stream's audio comes sentence by\n"
         "                        sentence on the same terms (both default 0)\n"
         "  -h, --help            show this text\n";
}

std::string VoicesUsage() {
  return "Usage: vexora voices [--lang TAG] [--service ADDRESS:PORT]\n"
         "\n"
         "Lists the voices of the local speech service (started inside this process\n"
         "unless --service names a running one), asked through ListVoices: one line\n"
         "per voice with its name, languages, gender and natural rate.\n"
         "\n"
         "Options:\n"
         "  --lang TAG            only voices for this language (for example en-US)\n"
         "  --service ADDR:PORT   ask this running service (insecure transport)\n"
         "  --timeout SECONDS     longest wait for the answer (default 60)\n"
         "  -h, --help            show this text\n";
}

}  // namespace VxCli
