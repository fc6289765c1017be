// The vexora program run as a person runs it: speak into a WAVE file, the
// scripted sessions of "vexora run", the voices list, the speech service in
// the foreground, exit codes and help texts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "RiffWave.h"
#include "ambrel/testing/TestSupport.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Ambrel::Testing::WaitFor;
namespace fs = std::filesystem;

constexpr size_t kHeader = VxTts::kWaveHeaderBytes;
constexpr size_t kFrame8k = 320;   // bytes of 20 ms at 8 kHz
constexpr size_t kFrame16k = 640;  // bytes of 20 ms at 16 kHz

std::string ReadText(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  std::ostringstream text;
  text << stream.rdbuf();
  return text.str();
}

void WriteText(const fs::path& path, const std::string& content) {
  std::ofstream stream(path, std::ios::binary | std::ios::trunc);
  stream << content;
}

// A WAVE file as the program writes it: checks the canonical header and
// gives the PCM that follows.
struct Wave {
  uint32_t rate = 0;
  std::string pcm;
};

::testing::AssertionResult ReadWave(const fs::path& path, uint32_t rate, Wave* out) {
  const std::string data = ReadText(path);
  VxTts::WaveInfo info;
  std::string error;
  if (!VxTts::ParseWave(data, &info, &error)) {
    return ::testing::AssertionFailure() << path << ": " << error;
  }
  if (!info.IsCanonicalPcm16(rate) || info.data_size != data.size() - kHeader) {
    return ::testing::AssertionFailure() << path << " is not a canonical WAVE file of 16-bit "
                                         << "mono PCM at " << rate << " Hz";
  }
  out->rate = rate;
  out->pcm = data.substr(kHeader);
  return ::testing::AssertionSuccess();
}

int PeakAmplitude(const std::string& pcm) {
  int peak = 0;
  for (size_t i = 0; i + 1 < pcm.size(); i += 2) {
    const int sample = static_cast<int16_t>(VxTts::GetLe16(pcm, i));
    peak = std::max(peak, std::abs(sample));
  }
  return peak;
}

// The Channel-Identifier the module saw for the script's channel `name`,
// from the line "vexora: channel NAME is ID@speechsynth"; "" when none.
std::string ChannelIdentifier(const std::string& out, const std::string& name) {
  const std::string marker = "vexora: channel " + name + " is ";
  const size_t at = out.find(marker);
  if (at == std::string::npos) return "";
  const size_t begin = at + marker.size();
  return out.substr(begin, out.find('\n', begin) - begin);
}

struct Outcome {
  int exit_code = -1;  // -1: killed at the time limit
  std::string out;
  std::string err;
  std::chrono::milliseconds elapsed{0};
};

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_Scratch.IsValid());
    m_Dir = m_Scratch.Path();
    // The program's scratch trees go here, so the test sees them removed.
    fs::create_directories(m_Dir / "tmp");
  }

  // Starts the program with `args`; its standard output and error go to
  // files under the test's folder.
  pid_t Start(const std::vector<std::string>& args, const std::string& tag) {
    std::vector<std::string> env_strings;
    for (char** e = environ; *e; ++e) {
      if (std::strncmp(*e, "TMPDIR=", 7) != 0) env_strings.push_back(*e);
    }
    env_strings.push_back("TMPDIR=" + (m_Dir / "tmp").string());
    std::vector<char*> envp;
    for (std::string& e : env_strings) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    std::vector<std::string> argv_strings = {VX_CLI_PROGRAM};
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argv_strings) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    const std::string out = (m_Dir / (tag + ".out")).string();
    const std::string err = (m_Dir / (tag + ".err")).string();
    const std::string cwd = m_Dir.string();

    const pid_t pid = fork();
    if (pid == 0) {
      const int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (out_fd < 0 || err_fd < 0 || dup2(out_fd, 1) < 0 || dup2(err_fd, 2) < 0 ||
          chdir(cwd.c_str()) != 0) {
        _exit(127);
      }
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    return pid;
  }

  // Waits for a started program; kills it at `limit`.
  Outcome Wait(pid_t pid, const std::string& tag, std::chrono::seconds limit,
               std::chrono::steady_clock::time_point started) {
    Outcome outcome;
    int status = 0;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        started + limit - std::chrono::steady_clock::now());
    if (WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, std::max(left, 0ms))) {
      outcome.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    } else {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << "vexora " << tag << " still ran after " << limit.count() << " s";
    }
    outcome.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    outcome.out = ReadText(m_Dir / (tag + ".out"));
    outcome.err = ReadText(m_Dir / (tag + ".err"));
    return outcome;
  }

  Outcome Run(const std::vector<std::string>& args, std::chrono::seconds limit = 90s) {
    const std::string tag = "run" + std::to_string(++m_Runs);
    const auto started = std::chrono::steady_clock::now();
    const pid_t pid = Start(args, tag);
    EXPECT_GT(pid, 0);
    if (pid <= 0) return Outcome();
    return Wait(pid, tag, limit, started);
  }

  std::string Path(const std::string& name) const { return (m_Dir / name).string(); }

  bool ScratchTreesLeft() const { return !fs::is_empty(m_Dir / "tmp"); }

  Ambrel::Testing::ScratchDir m_Scratch;
  fs::path m_Dir;  // m_Scratch's path
  int m_Runs = 0;
};

// --------------------------------------------------------------- speak

TEST_F(CliTest, SpeaksASentenceIntoAnAudibleWaveFileAndPrintsTheMessages) {
  const Outcome run = Run({"speak", "Hello.", "-o", Path("hello.wav")});
  ASSERT_EQ(run.exit_code, 0) << run.out << run.err;

  Wave wave;
  ASSERT_TRUE(ReadWave(Path("hello.wav"), 8000, &wave));
  const double seconds = wave.pcm.size() / 2 / 8000.0;
  EXPECT_GT(seconds, 0.2);  // one spoken word, not a click
  EXPECT_LT(seconds, 3.0);
  EXPECT_GT(PeakAmplitude(wave.pcm), 2000);  // speech, not silence

  // The SPEAK as sent, its IN-PROGRESS and the SPEAK-COMPLETE, in order,
  // each followed by a blank line.
  const size_t speak = run.out.find("SPEAK 1\r\n");
  const size_t progress = run.out.find("1 200 IN-PROGRESS\r\n");
  const size_t complete = run.out.find("SPEAK-COMPLETE 1 COMPLETE\r\n");
  ASSERT_NE(speak, std::string::npos) << run.out;
  ASSERT_NE(progress, std::string::npos) << run.out;
  ASSERT_NE(complete, std::string::npos) << run.out;
  EXPECT_LT(speak, progress);
  EXPECT_LT(progress, complete);
  EXPECT_NE(run.out.find("Content-Type: text/plain\r\n"), std::string::npos);
  EXPECT_NE(run.out.find("\r\n\r\nHello.\n\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Completion-Cause: 000", complete), std::string::npos);

  // The last line sums up: file, bytes, seconds, cause.
  const std::string last = run.out.substr(run.out.rfind('\n', run.out.size() - 2) + 1);
  EXPECT_NE(last.find(Path("hello.wav")), std::string::npos) << last;
  EXPECT_NE(last.find(std::to_string(kHeader + wave.pcm.size()) + " bytes"), std::string::npos)
      << last;
  EXPECT_NE(last.find("Completion-Cause 000"), std::string::npos) << last;
  EXPECT_FALSE(ScratchTreesLeft());
}

TEST_F(CliTest, TestVoiceGivesOneFramePerByteAtEitherRate) {
  Outcome run = Run({"speak", "Hello.", "-o", Path("tone.wav"), "--voice", "vx-test-tone"});
  ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
  Wave wave;
  ASSERT_TRUE(ReadWave(Path("tone.wav"), 8000, &wave));
  EXPECT_EQ(wave.pcm.size(), 6 * kFrame8k);
  EXPECT_NE(run.out.find("Voice-Name: vx-test-tone\r\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("0.12 s of audio"), std::string::npos) << run.out;

  run = Run({"speak", "Hello there", "-o", Path("wide.wav"), "--voice=vx-test-tone", "--rate",
             "16000", "--lang", "en-GB"});
  ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
  ASSERT_TRUE(ReadWave(Path("wide.wav"), 16000, &wave));
  EXPECT_EQ(wave.pcm.size(), 11 * kFrame16k);
  EXPECT_NE(run.out.find("Speech-Language: en-GB\r\n"), std::string::npos) << run.out;
}

TEST_F(CliTest, SsmlFileAndExtraHeadersMakeTheSpeak) {
  const std::string ssml =
      "<speak version=\"1.0\" xmlns=\"http://www.w3.org/2001/10/synthesis\" "
      "xml:lang=\"en-US\">two words</speak>";
  WriteText(Path("hello.ssml"), ssml);
  const Outcome run =
      Run({"speak", "--ssml", Path("hello.ssml"), "-o", Path("ssml.wav"), "--voice", "vx-test-tone",
           "--header", "Logging-Tag: cli-test", "--header", "Prosody-Rate: fast"});
  ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("Content-Type: application/ssml+xml\r\n"), std::string::npos);
  EXPECT_NE(run.out.find("Logging-Tag: cli-test\r\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Prosody-Rate: fast\r\n"), std::string::npos) << run.out;
  Wave wave;
  ASSERT_TRUE(ReadWave(Path("ssml.wav"), 8000, &wave));
  // The test voice gives one frame per byte of the SSML, which the module
  // passes through unchanged by default.
  EXPECT_EQ(wave.pcm.size(), ssml.size() * kFrame8k);
}

TEST_F(CliTest, KeptTreeHoldsTheGeneratedConfigurationForTheEmbeddedService) {
  const Outcome run =
      Run({"speak", "Hi", "-o", Path("kept.wav"), "--keep-root", "--voice", "vx-test-tone"});
  ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
  const std::string marker = "kept the host tree ";
  const size_t at = run.err.find(marker);
  ASSERT_NE(at, std::string::npos) << run.err;
  const fs::path root =
      run.err.substr(at + marker.size(), run.err.find('\n', at) - at - marker.size());
  EXPECT_EQ(root.parent_path(), m_Dir / "tmp");
  const std::string xml = ReadText(root / "conf" / "vexora.xml");
  EXPECT_NE(xml.find("secure-transport=\"false\""), std::string::npos) << xml;
  EXPECT_NE(xml.find("service-uri=\"127.0.0.1:"), std::string::npos) << xml;
  EXPECT_NE(xml.find("voice-name=\"vx-test-tone\""), std::string::npos) << xml;
  EXPECT_NE(xml.find("language=\"en-US\""), std::string::npos) << xml;
  EXPECT_EQ(ReadText(root / "data" / "placeholder-key.json"), "{}\n");
  EXPECT_TRUE(fs::is_directory(root / "var" / "status"));
}

TEST_F(CliTest, UsageErrorsExitTwoBeforeAnythingRuns) {
  const std::string wav = Path("never.wav");
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate"},
      {"speak", "Hello.", "-o", wav, "--bogus"},
      {"speak", "Hello."},   // no -o
      {"speak", "-o", wav},  // nothing to speak
      {"speak", "one", "two", "-o", wav},
      {"speak", "Hello.", "--ssml", Path("x.ssml"), "-o", wav},
      {"speak", "Hello.", "-o", wav, "--rate", "11025"},
      {"speak", "Hello.", "-o", wav, "--rate"},
      {"speak", "Hello.", "-o", wav, "--header", "NoColon"},
      {"speak", "Hello.", "-o", wav, "--header", "Prosody-Volume: loudest"},
      {"speak", "Hello.", "-o", wav, "--log-level", "loud"},
      {"speak", "Hello.", "-o", wav, "--timeout", "0"},
      {"speak", "Hello.", "-o", wav, "--realtime=yes"},
      {"speak", "Hello.", "-o", wav, "--root", Path("no-such-tree")},
      {"run"},
      {"run", Path("a.vxs"), Path("b.vxs")},
      {"serve-tts", "--listen", "nowhere"},
      {"serve-tts", "--first-byte-ms", "-1"},
      {"serve-tts", "--first-byte-ms", "soon"},
      {"serve-tts", "--ms-per-char", "fast"},
      {"serve-tts", "--ms-per-char", "-0.5"},
      {"voices", "--service", "127.0.0.1"},
  };
  for (const auto& args : cases) {
    std::string joined;
    for (const std::string& a : args) joined += " " + a;
    SCOPED_TRACE("vexora" + joined);
    const Outcome run = Run(args, 30s);
    EXPECT_EQ(run.exit_code, 2) << run.out << run.err;
    EXPECT_FALSE(run.err.empty());
    EXPECT_EQ(run.out.find("MRCP/2.0"), std::string::npos) << run.out;
  }
  EXPECT_FALSE(fs::exists(wav));
}

TEST_F(CliTest, HelpTextsDescribeTheCommandsAndOptions) {
  Outcome run = Run({"--help"});
  EXPECT_EQ(run.exit_code, 0);
  for (const char* word : {"speak", "run", "voices", "serve-tts"}) {
    EXPECT_NE(run.out.find(word), std::string::npos) << word;
  }
  run = Run({"speak", "--help"});
  EXPECT_EQ(run.exit_code, 0);
  for (const char* word :
       {"-o", "--ssml", "--uri-list", "--voice", "--lang", "--rate", "--header", "--realtime",
        "--log-level", "--module", "--root", "--timeout", "--keep-root", VX_MODULE_PATH}) {
    EXPECT_NE(run.out.find(word), std::string::npos) << word;
  }
  run = Run({"run", "--help"});
  EXPECT_EQ(run.exit_code, 0);
  for (const char* word : {"channel NAME", "send", "wait-in-progress", "wait-response",
                           "wait-event", "sleep", "close"}) {
    EXPECT_NE(run.out.find(word), std::string::npos) << word;
  }
  run = Run({"serve-tts", "--help"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_NE(run.out.find("--listen"), std::string::npos);
  run = Run({"voices", "-h"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_NE(run.out.find("--lang"), std::string::npos);
}

TEST_F(CliTest, SpeakWithoutItsServiceExitsOne) {
  // A tree of our own whose service is not there: the module refuses the
  // SPEAK (or completes it with an error); either way not cause 000.
  fs::create_directories(m_Dir / "root" / "conf");
  fs::create_directories(m_Dir / "root" / "data");
  WriteText(m_Dir / "root" / "data" / "key.json", "{}\n");
  WriteText(m_Dir / "root" / "conf" / "vexora.xml",
            "<vexora gapp-credentials-file=\"key.json\">\n"
            "  <synth-settings secure-transport=\"false\" service-uri=\"127.0.0.1:1\"/>\n"
            "</vexora>\n");
  const Outcome run = Run({"speak", "Hello.", "-o", Path("dead.wav"), "--root", Path("root"),
                           "--log-level", "emergency"});
  EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
  EXPECT_NE(run.out.find("SPEAK 1\r\n"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("Completion-Cause: 000"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Completion-Cause 004"), std::string::npos) << run.out;
  // A WAVE file only for a SPEAK that went IN-PROGRESS.
  EXPECT_EQ(fs::exists(Path("dead.wav")), run.out.find("IN-PROGRESS") != std::string::npos);
  // --log-level emergency keeps the module's error lines off standard error.
  EXPECT_EQ(run.err.find("[ERROR]"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("[WARNING]"), std::string::npos) << run.err;
}

TEST_F(CliTest, ModuleThatDoesNotLoadExitsOne) {
  const Outcome run = Run({"speak", "Hello.", "-o", Path("x.wav"), "--module", Path("missing.so")});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_NE(run.err.find("missing.so"), std::string::npos) << run.err;
  EXPECT_FALSE(fs::exists(Path("x.wav")));
  EXPECT_FALSE(ScratchTreesLeft());
}

TEST_F(CliTest, InterruptedSpeakStopsClosesAndCleansUp) {
  // Twenty seconds of tone in real time; SIGINT after the first frames.
  const std::string tag = "interrupted";
  const auto started = std::chrono::steady_clock::now();
  const pid_t pid = Start({"speak", std::string(1000, 'a'), "-o", Path("cut.wav"), "--voice",
                           "vx-test-tone", "--realtime"},
                          tag);
  ASSERT_GT(pid, 0);
  // Wait until the SPEAK is playing.
  WaitFor([&] { return ReadText(m_Dir / (tag + ".out")).find("IN-PROGRESS") != std::string::npos; },
          20s);
  std::this_thread::sleep_for(200ms);
  kill(pid, SIGINT);
  const Outcome run = Wait(pid, tag, 30s, started);
  EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
  EXPECT_LT(run.elapsed, 12s);  // not the twenty seconds of the prompt
  EXPECT_NE(run.out.find("STOP 2\r\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("interrupted"), std::string::npos) << run.out;
  Wave wave;
  ASSERT_TRUE(ReadWave(Path("cut.wav"), 8000, &wave));
  EXPECT_GT(wave.pcm.size(), 0u);
  EXPECT_LT(wave.pcm.size(), 1000 * kFrame8k);
  EXPECT_FALSE(ScratchTreesLeft());
}

// ----------------------------------------------------------------- run

TEST_F(CliTest, ScriptWithTwoChannelsStopsOneAndCompletesTheOther) {
  WriteText(Path("two.vxs"),
            "# a plays two seconds and is stopped; b runs to completion\n"
            "channel a\n"
            "channel b 16000\n"
            "send a\n"
            "MRCP/2.0 0 SPEAK 0\n"
            "Content-Type: text/plain\n"
            "\n" +
                std::string(100, 'a') +
                "\n"
                ".\n"
                "wait-in-progress a timeout 5000\n"
                "send b\n"
                "MRCP/2.0 0 SPEAK 0\n"
                "Content-Type: text/plain\n"
                "\n"
                "short\n"
                "end\n"
                "send a after 300 ms   # mid-prompt\n"
                "MRCP/2.0 0 STOP 0\n"
                ".\n"
                "wait-response a 200 timeout 5000\n"
                "wait-event b SPEAK-COMPLETE cause 000 timeout 5000\n"
                "close a\n");
  const Outcome run =
      Run({"run", Path("two.vxs"), "--voice", "vx-test-tone", "--realtime", "-o", Path("audio")});
  ASSERT_EQ(run.exit_code, 0) << run.out << run.err;

  // Each script channel is a channel of a new session id, named once.
  const std::string id_a = ChannelIdentifier(run.out, "a");
  const std::string id_b = ChannelIdentifier(run.out, "b");
  ASSERT_FALSE(id_a.empty()) << run.out;
  ASSERT_FALSE(id_b.empty()) << run.out;
  EXPECT_NE(id_a, id_b);
  const size_t stop = run.out.find("STOP 2\r\nChannel-Identifier: " + id_a + "\r\n");
  const size_t stopped = run.out.find("2 200 COMPLETE\r\nChannel-Identifier: " + id_a + "\r\n");
  const size_t complete =
      run.out.find("SPEAK-COMPLETE 1 COMPLETE\r\nChannel-Identifier: " + id_b + "\r\n");
  ASSERT_NE(stop, std::string::npos) << run.out;
  ASSERT_NE(stopped, std::string::npos) << run.out;
  ASSERT_NE(complete, std::string::npos) << run.out;
  EXPECT_LT(stop, stopped);
  // The stopped channel sent no SPEAK-COMPLETE.
  EXPECT_EQ(run.out.find("SPEAK-COMPLETE 1 COMPLETE\r\nChannel-Identifier: " + id_a),
            std::string::npos);

  Wave a, b;
  ASSERT_TRUE(ReadWave(Path("audio/a.wav"), 8000, &a));
  ASSERT_TRUE(ReadWave(Path("audio/b.wav"), 16000, &b));
  EXPECT_GT(a.pcm.size(), 0u);
  EXPECT_LT(a.pcm.size(), 100 * kFrame8k);  // cut by the STOP
  EXPECT_EQ(b.pcm.size(), 5 * kFrame16k);
  EXPECT_NE(run.out.find("every directive succeeded"), std::string::npos);
  EXPECT_FALSE(ScratchTreesLeft());
}

TEST_F(CliTest, ScriptWaitingForAnEventThatNeverComesExitsOneWithinItsTimeOut) {
  // Ten seconds of tone in real time are still playing when the wait gives
  // up: the run stops the channel rather than wait for the prompt's end.
  WriteText(Path("never.vxs"),
            "channel a\n"
            "send\n"
            "MRCP/2.0 0 SPEAK 0\n"
            "Content-Type: text/plain\n"
            "\n" +
                std::string(500, 'n') +
                "\n"
                ".\n"
                "wait-in-progress\n"
                "wait-event SPEECH-MARKER timeout 400\n"
                "wait-event SPEAK-COMPLETE\n");
  const Outcome run = Run({"run", Path("never.vxs"), "--voice", "vx-test-tone", "--realtime"});
  EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
  EXPECT_LT(run.elapsed, 8s);
  EXPECT_NE(run.err.find("never.vxs:9: no SPEECH-MARKER on channel a within 400 ms"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.out.find("STOP 2\r\n"), std::string::npos) << run.out;
}

TEST_F(CliTest, WaitsTakeTheMessagesAnEarlierWaitPassedOver) {
  // Waiting for the end first passes over the IN-PROGRESS, which the next
  // wait still finds; the STOP's response is told from the SPEAK's by its
  // request id, so wait-response on a finished channel is the STOP's own.
  WriteText(Path("order.vxs"),
            "channel a\n"
            "send\n"
            "MRCP/2.0 0 SPEAK 0\n"
            "Content-Type: text/plain\n"
            "\n"
            "quick\n"
            ".\n"
            "wait-event SPEAK-COMPLETE cause 000 timeout 10000\n"
            "wait-in-progress timeout 2000\n"
            "send\n"
            "MRCP/2.0 0 STOP 0\n"
            ".\n"
            "wait-response 200 timeout 5000\n"
            "wait-in-progress timeout 300\n");  // the STOP never goes IN-PROGRESS
  const Outcome run = Run({"run", Path("order.vxs"), "--voice", "vx-test-tone"});
  EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
  EXPECT_NE(run.err.find("order.vxs:14: no IN-PROGRESS response on channel a within 300 ms"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.out.find("STOP 2\r\n"), std::string::npos) << run.out;
}

TEST_F(CliTest, ScriptWaitThatIsAnsweredOtherwiseFails) {
  // A SPEAK without a body is refused at once: wait-response 200 fails on
  // that response instead of waiting for its time-out.
  WriteText(Path("refused.vxs"),
            "channel a\n"
            "send\n"
            "MRCP/2.0 0 SPEAK 0\n"
            "Content-Type: text/plain\n"
            ".\n"
            "wait-response 200\n");
  Outcome run = Run({"run", Path("refused.vxs"), "--voice", "vx-test-tone"});
  EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
  EXPECT_LT(run.elapsed, 20s);
  EXPECT_NE(run.err.find("refused.vxs:6: the response to request 1 had status 4"),
            std::string::npos)
      << run.err;

  WriteText(Path("refused2.vxs"),
            "channel a\n"
            "send\n"
            "MRCP/2.0 0 SPEAK 0\n"
            "Content-Type: text/plain\n"
            ".\n"
            "wait-in-progress\n");
  run = Run({"run", Path("refused2.vxs"), "--voice", "vx-test-tone"});
  EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
  EXPECT_NE(run.err.find("not IN-PROGRESS"), std::string::npos) << run.err;
}

// The SPEECH-MARKER example as a script: each mark is reported as playback
// reaches it, SPEAK-COMPLETE names the last one, and after a STOP between
// two marks nothing more comes.
TEST_F(CliTest, ScriptFollowsSpeechMarkersAndStopsBetweenThem) {
  WriteText(Path("marks.vxs"),
            "channel a\n"
            "send\n"
            "MRCP/2.0 0 SPEAK 0\n"
            "Content-Type: application/ssml+xml\n"
            "\n"
            "<?xml version=\"1.0\"?>\n"
            "<speak version=\"1.0\" xmlns=\"http://www.w3.org/2001/10/synthesis\"\n"
            "       xml:lang=\"en-US\">\n"
            "  <mark name=\"here\"/>From here to <mark name=\"there\"/>there\n"
            "</speak>\n"
            ".\n"
            "wait-in-progress timeout 5000\n"
            "wait-event SPEECH-MARKER marker here timeout 5000\n"
            "wait-event SPEECH-MARKER marker there timeout 5000\n"
            "wait-event SPEAK-COMPLETE cause 000 marker there timeout 10000\n"
            "send\n"
            "MRCP/2.0 0 SPEAK 0\n"
            "Content-Type: application/ssml+xml\n"
            "\n"
            "<speak version=\"1.0\" xml:lang=\"en-US\">One.<mark name=\"first\"/>\n"
            "A second part that plays for well over a second and a half.\n"
            "<mark name=\"second\"/>Three.</speak>\n"
            ".\n"
            "wait-in-progress timeout 5000\n"
            "wait-event SPEECH-MARKER marker first timeout 5000\n"
            "send\n"
            "MRCP/2.0 0 STOP 0\n"
            ".\n"
            "wait-response 200 timeout 5000\n"
            "sleep 2500\n");
  Outcome run = Run({"run", Path("marks.vxs"), "--voice", "vx-test-tone", "--realtime"});
  ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
  // The channel's identifier is the one the host made for it.
  const size_t marker = run.out.find("SPEECH-MARKER 1 IN-PROGRESS\r\nChannel-Identifier: ");
  ASSERT_NE(marker, std::string::npos) << run.out;
  const size_t line_end = run.out.find("\r\n", marker + 29);
  EXPECT_EQ(run.out.compare(line_end, 27, "\r\nSpeech-Marker: timestamp="), 0) << run.out;
  EXPECT_EQ(run.out.find(";second"), std::string::npos) << run.out;
  const size_t stopped = run.out.find("3 200 COMPLETE\r\n");
  ASSERT_NE(stopped, std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Speech-Marker: timestamp=", stopped), std::string::npos);
  EXPECT_EQ(run.out.find("SPEECH-MARKER", stopped), std::string::npos) << run.out;

  // A marker that names another mark fails the wait, with the mark it named.
  WriteText(Path("wrong.vxs"),
            "channel a\n"
            "send\n"
            "MRCP/2.0 0 SPEAK 0\n"
            "Content-Type: application/ssml+xml\n"
            "\n"
            "<speak xml:lang=\"en-US\">Hi<mark name=\"one\"/> there</speak>\n"
            ".\n"
            "wait-event SPEECH-MARKER marker two\n");
  run = Run({"run", Path("wrong.vxs"), "--voice", "vx-test-tone"});
  EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
  EXPECT_NE(run.err.find("wrong.vxs:8: SPEECH-MARKER came with the mark \"one\", not \"two\""),
            std::string::npos)
      << run.err;
}

// Waits can ask for headers of what they wait for, so a script checks what
// a client relies on (the request a STOP names, the prompt that failed).
TEST_F(CliTest, ScriptHeaderChecksPassOnlyWhenTheMessageCarriesThem) {
  const std::string speak_and_stop =
      "channel a\n"
      "send\n"
      "MRCP/2.0 0 SPEAK 0\n"
      "Content-Type: text/plain\n"
      "\n"
      "A prompt that is stopped at once.\n"
      ".\n"
      "wait-in-progress\n"
      "send\n"
      "MRCP/2.0 0 STOP 0\n"
      ".\n";
  struct Case {
    std::string wait;
    int exit_code;
    std::string error;
  } cases[] = {
      {"wait-response 200 header Active-Request-Id-List=1", 0, ""},
      {"wait-response 200 header active-request-id-list", 0, ""},
      {"wait-response 200 header Active-Request-Id-List=7", 1,
       "the response to request 2 has Active-Request-Id-List: 1, not 7"},
      {"wait-response 200 no-header Active-Request-Id-List", 1,
       "the response to request 2 has Active-Request-Id-List: 1"},
      {"wait-response 200 header Failed-URI", 1,
       "the response to request 2 has no Failed-URI header"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.wait);
    WriteText(Path("headers.vxs"), speak_and_stop + c.wait + "\n");
    const Outcome run =
        Run({"run", Path("headers.vxs"), "--voice", "vx-test-tone", "--realtime"}, 30s);
    EXPECT_EQ(run.exit_code, c.exit_code) << run.out << run.err;
    if (!c.error.empty()) {
      EXPECT_NE(run.err.find(c.error), std::string::npos) << run.err;
    }
  }
  WriteText(Path("bad.vxs"), "channel a\nwait-response no-header\n");
  const Outcome bad = Run({"run", Path("bad.vxs")}, 30s);
  EXPECT_EQ(bad.exit_code, 2);
  EXPECT_NE(bad.err.find(":2: \"no-header\" needs a header name"), std::string::npos) << bad.err;
}

// The sessions of examples/rfc6787, written from the standard's examples of
// the synthesizer resource, behave as it shows, with the service's own
// voice and with the test voice.
TEST_F(CliTest, ExampleScriptsOfTheStandardRunAsItShows) {
  size_t scripts = 0;
  for (const auto& entry : fs::directory_iterator(fs::path(VX_SOURCE_DIR) / "examples" / "rfc6787")) {
    if (entry.path().extension() != ".vxs") continue;
    ++scripts;
    SCOPED_TRACE(entry.path().string());
    for (const std::vector<std::string>& voice :
         {std::vector<std::string>{}, std::vector<std::string>{"--voice", "vx-test-tone"}}) {
      std::vector<std::string> args = {"run", entry.path().string(), "--realtime"};
      args.insert(args.end(), voice.begin(), voice.end());
      const Outcome run = Run(args, 60s);
      EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
    }
  }
  EXPECT_GE(scripts, 4u);
}

TEST_F(CliTest, ScriptThatDoesNotReadExitsTwoWithItsLine) {
  struct Case {
    std::string script;
    std::string error;
  } cases[] = {
      {"channel a\nsend b\nMRCP/2.0 0 SPEAK 0\n.\n", ":2: no channel named b"},
      {"channel a\nsend\nMRCP/2.0 0 SPEAK 0\nProsody-Rate: banana\n.\n", "Prosody-Rate"},
      {"channel a\nsend\nMRCP/2.0 0 SPEAK 0\n", ":2: the request is not ended"},
      {"channel a\nwait-event a\n", ":2: unknown event \"a\""},
      {"channel a\nwait-event a SPEAK-COMPLETE b\n", ":2: usage: wait-event"},
      {"channel a\nwait-event SPEECH-MARKER marker\n", ":2: \"marker\" needs"},
      {"channel a\nwait-response timeout soon\n", ":2: \"timeout\" needs"},
      {"channel a 11025\n", ":1: the rate must be"},
      {"channel a\nclose a\nclose a\n", ":3: channel a is closed"},
      {"speak hello\n", ":1: unknown directive"},
      {"# only a comment\n", "no directives"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    WriteText(Path("bad.vxs"), c.script);
    const Outcome run = Run({"run", Path("bad.vxs")}, 30s);
    EXPECT_EQ(run.exit_code, 2) << run.err;
    EXPECT_NE(run.err.find(c.error), std::string::npos) << run.err;
  }
}

// ------------------------------------------------- voices and serve-tts

TEST_F(CliTest, VoicesListsTheLocalServiceVoices) {
  const Outcome run = Run({"voices", "--lang", "en-US"});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_NE(run.out.find("vx-test-tone"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("espeak-en-us "), std::string::npos) << run.out;
}

TEST_F(CliTest, ServeTtsListensUntilTerminatedAndAnswersListVoices) {
  const std::string tag = "serve";
  const auto started = std::chrono::steady_clock::now();
  const pid_t pid = Start({"serve-tts", "--listen", "127.0.0.1:0"}, tag);
  ASSERT_GT(pid, 0);
  std::string out;
  WaitFor([&] { return (out = ReadText(m_Dir / (tag + ".out"))).find('\n') != std::string::npos; },
          20s);
  const std::string prefix = "listening on ";
  ASSERT_EQ(out.compare(0, prefix.size() + 10, prefix + "127.0.0.1:"), 0) << out;
  const std::string target = out.substr(prefix.size(), out.find('\n') - prefix.size());
  const Outcome voices = Run({"voices", "--service", target});
  EXPECT_EQ(voices.exit_code, 0) << voices.err;
  EXPECT_NE(voices.out.find("vx-test-tone"), std::string::npos);
  kill(pid, SIGTERM);
  const Outcome served = Wait(pid, tag, 20s, started);
  EXPECT_EQ(served.exit_code, 0) << served.err;
  EXPECT_NE(served.err.find("ListVoices"), std::string::npos) << served.err;
}

// ------------------------------------------------- the kit as a server

TEST_F(CliTest, VersionIsTheProjectVersion) {
  Outcome run = Run({"--version"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.out, std::string("vexora ") + VX_PROJECT_VERSION + "\n");
  run = Run({"--help"});
  EXPECT_NE(run.out.find("--version"), std::string::npos);
  const std::string server_out = Path("server-version.out");
  ASSERT_EQ(
      std::system((std::string(VX_TTS_SERVER_PROGRAM) + " --version > " + server_out).c_str()), 0);
  EXPECT_EQ(ReadText(server_out), std::string("vexora-tts-server ") + VX_PROJECT_VERSION + "\n");
}

// A second SPEAK during playback is queued by the host (200 PENDING) and a
// STOP then lists both: the module never sees the second.
const char kQueueScript[] =
    "channel a\n"
    "send\n"
    "MRCP/2.0 0 SPEAK 0\n"
    "Content-Type: text/plain\n"
    "\n"
    "This prompt is long enough to be playing when the STOP comes.\n"
    ".\n"
    "wait-in-progress timeout 5000\n"
    "send\n"
    "MRCP/2.0 0 SPEAK 0\n"
    "Content-Type: text/plain\n"
    "\n"
    "queued\n"
    ".\n"
    "wait-response 200 timeout 5000\n"
    "send after 300\n"
    "MRCP/2.0 0 STOP 0\n"
    ".\n"
    "wait-response 200 timeout 5000\n"
    "wait-event SPEAK-COMPLETE timeout 500\n";

TEST_F(CliTest, RunPacesInRealTimeSoAStopFindsThePromptPlaying) {
  WriteText(Path("queue.vxs"), kQueueScript);
  // Real time by default: the STOP comes mid-prompt and stops both; no
  // SPEAK-COMPLETE follows, so the last wait fails on its time-out.
  Outcome run = Run({"run", Path("queue.vxs"), "--voice", "vx-test-tone", "-o", Path("rt")});
  EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
  EXPECT_NE(run.out.find("2 200 PENDING\r\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("3 200 COMPLETE\r\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Active-Request-Id-List: 1,2\r\n"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("SPEAK-COMPLETE"), std::string::npos) << run.out;
  EXPECT_NE(run.err.find("queue.vxs:20: no SPEAK-COMPLETE"), std::string::npos) << run.err;
  // Printed once, on standard error only.
  EXPECT_EQ(run.out.find("queue.vxs:20"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("0 underruns"), std::string::npos) << run.out;
  Wave wave;
  ASSERT_TRUE(ReadWave(Path("rt/a.wav"), 8000, &wave));
  EXPECT_GT(wave.pcm.size(), 0u);
  EXPECT_LT(wave.pcm.size(), 60 * kFrame8k);

  // --fast: both prompts are over before the STOP, which stops nothing.
  run = Run({"run", Path("queue.vxs"), "--voice", "vx-test-tone", "--fast", "-o", Path("fast")});
  EXPECT_EQ(run.out.find("Active-Request-Id-List"), std::string::npos) << run.out;
  ASSERT_TRUE(ReadWave(Path("fast/a.wav"), 8000, &wave));
  EXPECT_EQ(wave.pcm.size(), (61 + 6) * kFrame8k);
  EXPECT_EQ(run.out.find("underruns"), std::string::npos) << run.out;
}

// A host tree of the test's own, served by "vexora serve-tts".
class CliServedTest : public CliTest {
 protected:
  void SetUp() override {
    CliTest::SetUp();
    // A small latency model, passed through to the service.
    m_Server = Start({"serve-tts", "--listen", "127.0.0.1:0", "--first-byte-ms", "5",
                      "--ms-per-char", "0.5"},
                     "served");
    ASSERT_GT(m_Server, 0);
    std::string out;
    WaitFor([&] { return (out = ReadText(m_Dir / "served.out")).find('\n') != std::string::npos; },
            20s);
    const std::string prefix = "listening on ";
    ASSERT_EQ(out.compare(0, prefix.size(), prefix), 0) << out;
    m_Target = out.substr(prefix.size(), out.find('\n') - prefix.size());
    fs::create_directories(m_Dir / "root" / "conf");
    fs::create_directories(m_Dir / "root" / "data");
    WriteText(m_Dir / "root" / "data" / "key.json", "{}\n");
    WriteConfig("");
  }

  void TearDown() override {
    if (m_Server > 0) {
      kill(m_Server, SIGTERM);
      int status = 0;
      waitpid(m_Server, &status, 0);
    }
    CliTest::TearDown();
  }

  void WriteConfig(const std::string& elements) {
    WriteText(m_Dir / "root" / "conf" / "vexora.xml",
              "<vexora gapp-credentials-file=\"key.json\">\n"
              "  <synth-settings secure-transport=\"false\" voice-name=\"vx-test-tone\"\n"
              "      service-uri=\"" +
                  m_Target + "\"/>\n" + elements + "</vexora>\n");
  }

  pid_t m_Server = -1;
  std::string m_Target;
};

TEST_F(CliServedTest, RunsOnOneRootNeverReuseAChannelIdentifier) {
  WriteConfig("  <sdr-manager save-records=\"true\" record-folder=\"records\"/>\n");
  for (const char* name : {"one.wav", "two.wav"}) {
    const Outcome run = Run({"speak", "Same words.", "-o", Path(name), "--root", Path("root")});
    ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
  }
  // Both records kept: the second run did not write over the first.
  std::vector<std::string> records;
  for (const auto& entry : fs::directory_iterator(m_Dir / "root" / "var" / "records")) {
    records.push_back(entry.path().filename().string());
  }
  ASSERT_EQ(records.size(), 2u) << (records.empty() ? "" : records.front());
  EXPECT_NE(records[0], records[1]);
  // 5 ms + 0.5 ms for each of the 11 characters.
  EXPECT_NE(ReadText(m_Dir / "served.err").find("latency-ms=11"), std::string::npos);
}

TEST_F(CliServedTest, Latin1SsmlDocumentIsSpoken) {
  // A W3C-style SSML document in ISO-8859-1: the host reads it as the
  // declaration says and hands the module UTF-8.
  const std::string latin1 =
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
      "<speak version=\"1.0\" xmlns=\"http://www.w3.org/2001/10/synthesis\" "
      "xml:lang=\"fr-FR\">\xC7\x61 va tr\xE8s bien, merci.</speak>";
  WriteText(Path("latin1.ssml"), latin1);
  const Outcome run = Run(
      {"speak", "--ssml", Path("latin1.ssml"), "-o", Path("latin1.wav"), "--root", Path("root")});
  ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
  std::string utf8 = latin1;
  utf8.replace(utf8.find("ISO-8859-1"), 10, "UTF-8");
  utf8.replace(utf8.find('\xC7'), 1, "\xC3\x87");
  utf8.replace(utf8.find('\xE8'), 1, "\xC3\xA8");
  EXPECT_NE(run.out.find("\xC3\x87"
                         "a va tr\xC3\xA8s"),
            std::string::npos)
      << run.out;
  Wave wave;
  ASSERT_TRUE(ReadWave(Path("latin1.wav"), 8000, &wave));
  // The test voice: one frame per byte of the document the module got.
  EXPECT_EQ(wave.pcm.size(), utf8.size() * kFrame8k);
}

TEST_F(CliServedTest, CheckPrintsWhatTheModuleTookAndAsksTheService) {
  const Outcome run = Run({"check", "--root", Path("root"), "--service"});
  ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("synth-settings service-uri = \"" + m_Target + "\""), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("vexora gapp-credentials-file = \"key.json\""), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find(Path("root") + "/data/key.json"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("warnings: 0\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("engine: opened and closed"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("ListVoices at " + m_Target + " answered"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("MRCP/2.0"), std::string::npos);
}

TEST_F(CliTest, CheckOpensEverySampleAndReportsABrokenDocument) {
  const fs::path samples = fs::path(VX_SOURCE_DIR) / "conf";
  int checked = 0;
  for (const auto& entry : fs::directory_iterator(samples)) {
    if (entry.path().extension() != ".xml") continue;
    SCOPED_TRACE(entry.path().filename().string());
    const fs::path root = m_Dir / ("root-" + entry.path().stem().string());
    fs::create_directories(root / "conf");
    fs::create_directories(root / "data");
    const std::string sample = ReadText(entry.path());
    WriteText(root / "conf" / "vexora.xml", sample);
    const std::string attribute = "gapp-credentials-file=\"";
    const size_t at = sample.find(attribute);
    ASSERT_NE(at, std::string::npos);
    const std::string key = sample.substr(
        at + attribute.size(), sample.find('"', at + attribute.size()) - at - attribute.size());
    // A real service-account key, so that secure transport makes its
    // credentials offline.
    const std::string pem = (root / "key.pem").string();
    ASSERT_EQ(std::system(("openssl genrsa -out " + pem + " 2048 >/dev/null 2>&1").c_str()), 0);
    std::string escaped;
    for (char c : ReadText(pem)) escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
    WriteText(root / "data" / key,
              "{\"type\": \"service_account\", \"project_id\": \"vx\", \"private_key_id\": \"k\", "
              "\"private_key\": \"" +
                  escaped +
                  "\", \"client_email\": \"t@vx.iam.gserviceaccount.com\", "
                  "\"client_id\": \"1\"}");
    const Outcome run = Run({"check", "--root", root.string()});
    EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("engine: opened and closed"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("warnings: 0\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("synth-settings "), std::string::npos) << run.out;
    ++checked;
  }
  EXPECT_GE(checked, 2);

  fs::create_directories(m_Dir / "broken" / "conf");
  fs::create_directories(m_Dir / "broken" / "data");
  WriteText(m_Dir / "broken" / "conf" / "vexora.xml",
            "<vexora gapp-credentials-file=\"key.json\">\n"
            "  <synth-settings language=\"en-US\"\n"
            "  <waveform-manager/>\n"
            "</vexora>\n");
  const Outcome run = Run({"check", "--root", Path("broken")});
  EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
  EXPECT_NE(run.out.find("at line 3"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("engine: refused to open"), std::string::npos) << run.out;
  EXPECT_EQ(Run({"check"}).exit_code, 2);
}

TEST_F(CliTest, LoadKeepsTwentyChannelsSpeakingAndTabulatesThem) {
  WriteText(Path("prompts.txt"), "one two\n\nthree four five\n");
  const Outcome run = Run({"load", "--channels", "20", "--speaks", "3", "--voice", "vx-test-tone",
                           "--prompts", Path("prompts.txt")},
                          120s);
  ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("20 channels open"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("000 normal: 60\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("refused: 0\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("stopped at the end: 0\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("time to first audio (60 SPEAKs): p50 "), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("underruns: 0 frames on 0 channels"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("CPU s per channel-second of audio"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("peak resident memory: "), std::string::npos) << run.out;
  // No cause but 000 in the table, and no MRCP message printed.
  EXPECT_EQ(run.out.find("004 "), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("MRCP/2.0"), std::string::npos);
  // Every channel spoke its prompts whole: 7, 15 and 7 frames, in turn
  // from a different first prompt.
  EXPECT_NE(run.out.find("audio: "), std::string::npos);
  EXPECT_EQ(Run({"load", "--channels", "2"}).exit_code, 2);  // no --seconds or --speaks
}

TEST_F(CliTest, LoadAndCheckDescribeTheirOptions) {
  Outcome run = Run({"--help"});
  for (const char* word : {"load", "check --root DIR", "--version"}) {
    EXPECT_NE(run.out.find(word), std::string::npos) << word;
  }
  run = Run({"load", "--help"});
  EXPECT_EQ(run.exit_code, 0);
  for (const char* word : {"--channels", "--seconds", "--speaks", "--prompts", "--root", "--voice",
                           "time to first audio", "underruns", "peak resident memory"}) {
    EXPECT_NE(run.out.find(word), std::string::npos) << word;
  }
  run = Run({"check", "--help"});
  EXPECT_EQ(run.exit_code, 0);
  for (const char* word : {"--root", "--service", "ListVoices"}) {
    EXPECT_NE(run.out.find(word), std::string::npos) << word;
  }
  run = Run({"run", "--help"});
  EXPECT_NE(run.out.find("--fast"), std::string::npos);
  EXPECT_NE(run.out.find("real time"), std::string::npos);
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"load", "--seconds", "1", "--speaks", "1"},
                                             {"load", "--channels", "0", "--speaks", "1"},
                                             {"check", "--root", Path("nowhere")},
                                             {"check", "--service=yes", "--root", Path("x")}}) {
    EXPECT_EQ(Run(args, 30s).exit_code, 2) << args[0] << " " << args[1];
  }
}

TEST_F(CliTest, SmallFaultsOfTheProgram) {
  // voices: nothing matches, exit 1.
  Outcome run = Run({"voices", "--lang", "xx-XX"});
  EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
  EXPECT_NE(run.err.find("no voices for xx-XX"), std::string::npos) << run.err;
  // speak into a folder: refused before anything is synthesized.
  fs::create_directories(m_Dir / "folder");
  run = Run({"speak", "Hello.", "-o", Path("folder"), "--voice", "vx-test-tone"});
  EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
  EXPECT_NE(run.err.find("is a directory"), std::string::npos) << run.err;
  EXPECT_EQ(run.out.find("MRCP/2.0"), std::string::npos) << run.out;
}

}  // namespace
