// vexora load: many channels speaking at once in real time, and a table of
// what they got, so that an operator learns how many calls one machine
// holds.

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <vector>

#include "Commands.h"
#include "HostSession.h"
#include "vxhost/MrcpText.h"
#include "vxhost/ThreadCpu.h"

namespace VxCli {
namespace {

using std::chrono::milliseconds;

// Spoken in turn when no --prompts file is given.
const char* const kBuiltInPrompts[] = {
    "Thank you for calling. Please hold while we connect you.",
    "Your call is important to us.",
    "Please say or enter your account number, followed by the pound key.",
    "For billing questions, press one. For technical support, press two.",
    "The next available agent will be with you shortly.",
    "Goodbye.",
};

// A channel's wait between a refused SPEAK and the next, so that a channel
// the module refuses does not spin.
constexpr milliseconds kRetryRest{200};
constexpr milliseconds kPassRest{2};
constexpr milliseconds kStopWait{10000};
// The module's thread on which every SPEAK starts.
constexpr const char kEngineThread[] = "vxs-engine";

struct Line {
  enum class State { kIdle, kWaitingResponse, kSpeaking, kResting, kDone };
  vxhost::Channel* channel = nullptr;
  State state = State::kIdle;
  mrcp_request_id request = 0;
  Clock::time_point sent;
  Clock::time_point rest_until;
  Clock::time_point first_at;  // the first SPEAK is not sent before
  bool heard = false;  // audio of this SPEAK arrived
  int speaks = 0;      // SPEAKs sent
  size_t prompt = 0;   // the next prompt
};

struct Tally {
  std::map<int, size_t> causes;  // SPEAK-COMPLETE by Completion-Cause (-1: none)
  size_t refused = 0;            // SPEAKs answered other than IN-PROGRESS
  size_t stopped_at_end = 0;     // still playing when the time was up
  std::vector<double> first_audio_ms;
  uint64_t audio_bytes = 0;
  size_t Done() const {
    size_t done = refused;
    for (const auto& cause : causes) done += cause.second;
    return done;
  }
  size_t Failures() const {
    size_t failures = refused;
    for (const auto& cause : causes) {
      if (cause.first != 0) failures += cause.second;
    }
    return failures;
  }
};

double Percentile(std::vector<double> values, double share) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t index =
      std::min(values.size() - 1, static_cast<size_t>(share * static_cast<double>(values.size())));
  return values[index];
}

using vxhost::ThreadCpuNs;

double CpuSeconds() {
  struct rusage usage = {};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The process's resident memory now, in KiB (0 when it cannot be read).
long ResidentKb() {
  long pages = 0;
  long resident = 0;
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (!statm) return 0;
  const bool read = std::fscanf(statm, "%ld %ld", &pages, &resident) == 2;
  std::fclose(statm);
  return read ? resident * (sysconf(_SC_PAGESIZE) / 1024) : 0;
}

std::string Format(const char* format, double a, double b = 0, double c = 0, double d = 0) {
  char text[256];
  std::snprintf(text, sizeof(text), format, a, b, c, d);
  return text;
}

class LoadRun {
 public:
  LoadRun(const LoadOptions& options, std::vector<std::string> prompts)
      : m_Options(options), m_Prompts(std::move(prompts)) {}

  int Go() {
    HostOptions host = m_Options.host;
    host.print_messages = false;
    host.realtime = true;
    HostSession session(host, &m_Printer);
    std::string error;
    if (!session.Start(&error)) {
      session.Finish(&error);
      return Failed(error);
    }
    m_Session = &session;
    for (int i = 0; i < m_Options.channels; ++i) {
      Line line;
      line.channel = session.OpenChannel("load" + std::to_string(i + 1), host.rate, &error);
      if (!line.channel) {
        session.StopAllChannels(kStopWait);
        session.Finish(&error);
        return Failed("channel " + std::to_string(i + 1) + ": " + error);
      }
      line.prompt = static_cast<size_t>(i) % m_Prompts.size();
      m_Lines.push_back(line);
    }
    m_Printer.Line("vexora load: " + std::to_string(m_Options.channels) + " channels open at " +
                   std::to_string(host.rate) + " Hz");

    m_ResidentBeforeKb = ResidentKb();
    m_ResidentPeakKb = m_ResidentBeforeKb;
    const double cpu_start = CpuSeconds();
    const long long engine_start = ThreadCpuNs(kEngineThread);
    const Clock::time_point start = Clock::now();
    for (size_t i = 0; i < m_Lines.size(); ++i) {
      m_Lines[i].first_at = start + m_Options.spread * static_cast<long>(i) /
                                        static_cast<long>(m_Lines.size());
    }
    const Clock::time_point end = start + m_Options.duration;
    Clock::time_point next_progress = start + m_Options.progress;
    bool interrupted = false;
    while (true) {
      const Clock::time_point now = Clock::now();
      const bool time_up = m_Options.duration.count() > 0 && now >= end;
      if (Interrupted()) {
        interrupted = true;
        break;
      }
      size_t active = 0;
      for (Line& line : m_Lines) {
        Drive(&line, now, time_up);
        if (line.state != Line::State::kDone) ++active;
      }
      m_ResidentPeakKb = std::max(m_ResidentPeakKb, ResidentKb());
      if (now >= next_progress) {
        next_progress += m_Options.progress;
        Progress(now - start, active);
      }
      if (active == 0 || time_up) break;
      std::this_thread::sleep_for(kPassRest);
    }
    // What still plays at the end is stopped rather than waited for.
    for (Line& line : m_Lines) {
      if (line.state == Line::State::kSpeaking || line.state == Line::State::kWaitingResponse) {
        ++m_Tally.stopped_at_end;
      }
      Collect(&line);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = CpuSeconds() - cpu_start;
    const long long engine_end = ThreadCpuNs(kEngineThread);
    m_EngineCpuNs = engine_start >= 0 && engine_end >= 0 ? engine_end - engine_start : -1;
    session.StopAllChannels(kStopWait);
    for (Line& line : m_Lines) {
      m_Underruns += line.channel->Underruns();
      m_LateFrames += line.channel->LateFrames();
      if (line.channel->Underruns() > 0) ++m_ChannelsWithUnderruns;
    }
    std::string close_error;
    const bool clean = session.Finish(&close_error);
    Table(seconds, cpu);
    if (!clean) std::cerr << "vexora: " << close_error << "\n";
    if (interrupted) return Failed("interrupted");
    return clean && m_Tally.Failures() == 0 && m_Tally.Done() > 0 ? kExitOk : kExitFailed;
  }

 private:
  // The audio of a channel is counted and dropped, so that a long run
  // stays within bounded memory.
  void Collect(Line* line) {
    const size_t bytes = line->channel->TakeAudio().size();
    if (bytes > 0 && !line->heard &&
        (line->state == Line::State::kSpeaking || line->state == Line::State::kWaitingResponse)) {
      line->heard = true;
      m_Tally.first_audio_ms.push_back(
          std::chrono::duration<double, std::milli>(Clock::now() - line->sent).count());
    }
    m_Tally.audio_bytes += bytes;
  }

  void Drive(Line* line, Clock::time_point now, bool time_up) {
    Collect(line);
    vxhost::ReceivedMessage message;
    while (line->channel->WaitMessage(&message, milliseconds(0))) {
      if (message.request_id != line->request) continue;
      if (message.type == MRCP_MESSAGE_TYPE_RESPONSE &&
          line->state == Line::State::kWaitingResponse) {
        if (message.request_state == MRCP_REQUEST_STATE_INPROGRESS) {
          line->state = Line::State::kSpeaking;
        } else {
          ++m_Tally.refused;
          line->state = Line::State::kResting;
          line->rest_until = now + kRetryRest;
        }
      } else if (message.type == MRCP_MESSAGE_TYPE_EVENT &&
                 message.method_id == SYNTHESIZER_SPEAK_COMPLETE) {
        ++m_Tally.causes[message.has_completion_cause ? message.completion_cause : -1];
        line->state = Line::State::kIdle;
      }
    }
    if (line->state == Line::State::kResting && now >= line->rest_until) {
      line->state = Line::State::kIdle;
    }
    if (line->state != Line::State::kIdle) return;
    if (line->speaks == 0 && now < line->first_at && !time_up) return;
    if (time_up || (m_Options.speaks > 0 && line->speaks >= m_Options.speaks)) {
      line->state = Line::State::kDone;
      return;
    }
    Send(line);
  }

  void Send(Line* line) {
    vxhost::SpeakFields fields;
    fields.body = m_Prompts[line->prompt];
    line->prompt = (line->prompt + 1) % m_Prompts.size();
    fields.voice_name = m_Options.host.voice;
    fields.language = m_Options.host.language;
    std::string error;
    mrcp_request_id id = 0;
    ++line->speaks;
    line->sent = Clock::now();
    line->heard = false;
    if (!m_Session->kit()->SendText(line->channel, vxhost::ComposeSpeakText(fields), &error, &id)) {
      ++m_Tally.refused;
      line->state = Line::State::kResting;
      line->rest_until = line->sent + kRetryRest;
      return;
    }
    line->request = id;
    line->state = Line::State::kWaitingResponse;
  }

  void Progress(Clock::duration elapsed, size_t active) {
    m_Printer.Line(
        "vexora load: " + Format("%.0f s", std::chrono::duration<double>(elapsed).count()) + ": " +
        std::to_string(active) + " channels active, " + std::to_string(m_Tally.Done()) +
        " SPEAKs done, " + std::to_string(m_Tally.Failures()) + " failures");
  }

  void Table(double seconds, double cpu) {
    const double audio_seconds =
        static_cast<double>(m_Tally.audio_bytes) / 2.0 / m_Options.host.rate;
    std::ostringstream out;
    out << "vexora load: " << m_Options.channels << " channels, " << Format("%.1f s", seconds)
        << ", voice "
        << (!m_Options.host.voice.empty()     ? m_Options.host.voice
            : m_Options.host.root_dir.empty() ? std::string(kDefaultVoice)
                                              : std::string("of the host tree"))
        << "\n";
    out << "  SPEAKs completed by cause\n";
    for (const auto& cause : m_Tally.causes) {
      char code[16];
      std::snprintf(code, sizeof(code), "%03d", cause.first);
      out << "    " << (cause.first < 0 ? std::string("none") : std::string(code)) << " "
          << (cause.first < 0 ? "(no Completion-Cause)" : CauseName(cause.first)) << ": "
          << cause.second << "\n";
    }
    if (m_Tally.causes.empty()) out << "    (none)\n";
    out << "    refused: " << m_Tally.refused << "\n";
    out << "    stopped at the end: " << m_Tally.stopped_at_end << "\n";
    const std::vector<double>& first = m_Tally.first_audio_ms;
    out << "  time to first audio (" << first.size() << " SPEAKs): "
        << Format("p50 %.1f ms, p95 %.1f ms, p99 %.1f ms, ", Percentile(first, 0.50),
                  Percentile(first, 0.95), Percentile(first, 0.99))
        << Format("max %.1f ms",
                  first.empty() ? 0.0 : *std::max_element(first.begin(), first.end()))
        << "\n";
    out << "  underruns: " << m_Underruns << " frames on " << m_ChannelsWithUnderruns
        << " channels; late frames: " << m_LateFrames << "\n";
    out << "  audio: " << Format("%.1f channel-seconds", audio_seconds)
        << "; CPU: " << Format("%.2f s", cpu) << ", "
        << Format("%.4f CPU s per channel-second of audio",
                  audio_seconds > 0 ? cpu / audio_seconds : 0.0)
        << (m_Options.host.root_dir.empty() ? " (the embedded speech service included)" : "")
        << "\n";
    const size_t speaks = m_Tally.Done() + m_Tally.stopped_at_end;
    if (m_EngineCpuNs >= 0 && speaks > 0) {
      out << "  engine thread: "
          << Format("%.1f ms of CPU, %.1f us per SPEAK\n", m_EngineCpuNs / 1e6,
                    m_EngineCpuNs / 1e3 / static_cast<double>(speaks));
    }
    out << "  peak resident memory: "
        << Format("%.1f MiB (%.1f MiB before the first SPEAK, %.1f KiB more per channel",
                  m_ResidentPeakKb / 1024.0, m_ResidentBeforeKb / 1024.0,
                  static_cast<double>(m_ResidentPeakKb - m_ResidentBeforeKb) / m_Options.channels)
        << Format("; audio per SPEAK %.1f KiB)",
                  speaks > 0 ? static_cast<double>(m_Tally.audio_bytes) / 1024.0 / speaks : 0.0)
        << "\n";
    m_Printer.Line(out.str().substr(0, out.str().size() - 1));
  }

  const LoadOptions& m_Options;
  const std::vector<std::string> m_Prompts;
  Printer m_Printer;
  HostSession* m_Session = nullptr;
  std::vector<Line> m_Lines;
  Tally m_Tally;
  size_t m_Underruns = 0;
  size_t m_LateFrames = 0;
  size_t m_ChannelsWithUnderruns = 0;
  long long m_EngineCpuNs = -1;  // of the engine thread over the run
  long m_ResidentBeforeKb = 0;
  long m_ResidentPeakKb = 0;
};

}  // namespace

int Load(const LoadOptions& options) {
  std::vector<std::string> prompts;
  std::string error;
  if (!options.prompts_file.empty()) {
    std::string text;
    if (!ReadInputFile(options.prompts_file, &text, &error)) return Failed(error);
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.find_first_not_of(" \t") != std::string::npos) prompts.push_back(line);
    }
    if (prompts.empty()) return UsageError("load", options.prompts_file + " has no prompts");
  } else {
    prompts.assign(std::begin(kBuiltInPrompts), std::end(kBuiltInPrompts));
  }
  if (!options.host.root_dir.empty() && !CheckRootTree(options.host.root_dir, &error)) {
    return UsageError("load", error);
  }
  InstallInterruptHandlers();
  LoadRun run(options, std::move(prompts));
  return run.Go();
}

}  // namespace VxCli
