// Prompt files of a URI list played through the module: WAVE files in other
// formats and rates are played at the channel's rate for their own length,
// formats that cannot be played are refused, and file URIs are read as URIs
// (percent-escapes, localhost, comment lines).
#include <cmath>
#include <cstdint>
#include <vector>

#include "ModuleFixture.h"
#include "RiffWave.h"

namespace vxtest {
namespace {

constexpr size_t kFrame8k = 320;  // bytes of a 20 ms frame at 8 kHz
constexpr double kPi = 3.14159265358979323846;

// A WAVE file: a canonical "fmt " chunk and a "data" chunk holding `data`.
std::string Wave(unsigned tag, unsigned channels, uint32_t rate, unsigned bits,
                 const std::string& data) {
  return VxTts::WaveFile(static_cast<uint16_t>(tag), static_cast<uint16_t>(channels),
                         static_cast<uint16_t>(bits), static_cast<int>(rate), data);
}

// `seconds` of a tone as 16-bit PCM, the same in every channel.
std::string Tone(double frequency, uint32_t rate, unsigned channels, double seconds) {
  std::string bytes;
  const size_t count = static_cast<size_t>(rate * seconds);
  for (size_t i = 0; i < count; ++i) {
    long value = std::lround(8000 * std::sin(2 * kPi * frequency * i / rate));
    for (unsigned c = 0; c < channels; ++c) VxTts::PutLe16(&bytes, static_cast<uint16_t>(value));
  }
  return bytes;
}

std::vector<int16_t> Samples(const std::vector<char>& audio) {
  std::vector<int16_t> samples(audio.size() / 2);
  for (size_t i = 0; i < samples.size(); ++i)
    samples[i] = static_cast<int16_t>(static_cast<unsigned char>(audio[2 * i]) |
                                      (static_cast<unsigned char>(audio[2 * i + 1]) << 8));
  return samples;
}

size_t ZeroCrossings(const std::vector<int16_t>& samples) {
  size_t count = 0;
  for (size_t i = 1; i < samples.size(); ++i) count += (samples[i - 1] < 0) != (samples[i] < 0);
  return count;
}

class PromptFileTest : public ModuleFixture {
 protected:
  void SetUp() override {
    ModuleFixture::SetUp();
    StartServer();
    WriteConfig("", "  <waveform-manager waveform-folder=\"waves\"/>\n");
    StartEngine();
  }

  // Writes a prompt into the scratch root; returns its path.
  std::string Prompt(const std::string& name, const std::string& bytes) {
    fs::path path = m_Root / "prompts" / name;
    WriteFile(path, bytes);
    return path.string();
  }

  // Plays a URI list to SPEAK-COMPLETE with cause 000; returns the samples.
  std::vector<int16_t> Play(vxhost::Channel* channel, const std::string& list) {
    SpeakToCompletion(channel, list, "text/uri-list");
    return Samples(channel->Audio());
  }
};

TEST_F(PromptFileTest, MuLawPlaysForItsOwnLength) {
  vxhost::Channel* channel = OpenChannel("ulaw");
  // One second of codes 0xFF, 0x80, 0x7F, 0x00: 0, +32124, 0, -32124.
  std::string codes;
  for (int i = 0; i < 2000; ++i) codes += std::string("\xff\x80\x7f\x00", 4);
  std::vector<int16_t> played =
      Play(channel, "file://" + Prompt("ulaw.wav", Wave(7, 1, 8000, 8, codes)));
  EXPECT_NEAR(static_cast<double>(played.size() * 2), 16000, kFrame8k);
  ASSERT_GE(played.size(), 4u);
  EXPECT_EQ((std::vector<int16_t>{0, 32124, 0, -32124}),
            std::vector<int16_t>(played.begin(), played.begin() + 4));

  // On a 16 kHz channel the same second is twice the samples.
  vxhost::Channel* wide = OpenChannel("ulaw16", 16000);
  played = Play(wide, "file://" + Prompt("ulaw.wav", Wave(7, 1, 8000, 8, codes)));
  EXPECT_NEAR(static_cast<double>(played.size() * 2), 32000, 2 * kFrame8k);
}

TEST_F(PromptFileTest, OtherRatesAndStereoPlayAtTheChannelRate) {
  vxhost::Channel* channel = OpenChannel("rates");
  // A second of 500 Hz at 16 kHz mono (a local URI into the waveform
  // folder), then a second of 500 Hz at 44.1 kHz stereo (a file URI): two
  // seconds at 8 kHz, still 500 Hz (1000 zero crossings a second).
  WriteFile(m_Root / "var" / "waves" / "wide.wav", Wave(1, 1, 16000, 16, Tone(500, 16000, 1, 1.0)));
  std::string stereo = Prompt("cd.wav", Wave(1, 2, 44100, 16, Tone(500, 44100, 2, 1.0)));
  std::vector<int16_t> played =
      Play(channel, "http://localhost/utterances/wide.wav\nfile://" + stereo + "\n");
  EXPECT_NEAR(static_cast<double>(played.size() * 2), 32000, 2 * kFrame8k);
  EXPECT_NEAR(static_cast<double>(ZeroCrossings(played)), 2000, 20);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 0u);
}

TEST_F(PromptFileTest, UnsupportedFormatAsFirstSegmentIsRefused) {
  vxhost::Channel* channel = OpenChannel("bad");
  std::string mp3 = Prompt("music.wav", Wave(0x55, 2, 44100, 16, std::string(4000, 'x')));
  Send(channel, SpeakText("file://" + mp3, "text/uri-list"));
  vxhost::ReceivedMessage response = Next(channel);
  EXPECT_EQ(response.status_code, 401) << response.text;
  EXPECT_EQ(m_Log->Count("Unsupported Audio Format in " + mp3 +
                         ": format 0x0055, 2 channels, 44100 Hz, 16 bits"),
            1u);
  EXPECT_EQ(channel->AudioBytes(), 0u);
}

TEST_F(PromptFileTest, UnsupportedFormatAsLaterSegmentEndsTheSpeakAfterQueuedAudio) {
  vxhost::Channel* channel = OpenChannel("later");
  std::string first = Prompt("first.wav", Wave(1, 1, 8000, 16, Tone(500, 8000, 1, 0.5)));
  std::string bad = Prompt("odd.wav", Wave(1, 1, 8000, 12, std::string(800, 'x')));
  std::string never = Prompt("never.wav", Wave(1, 1, 8000, 16, Tone(500, 8000, 1, 0.5)));
  Send(channel, SpeakText("file://" + first + "\nfile://" + bad + "\nfile://" + never + "\n",
                          "text/uri-list"));
  EXPECT_EQ(Next(channel).request_state, MRCP_REQUEST_STATE_INPROGRESS);
  vxhost::ReceivedMessage complete = Next(channel, 10s);
  EXPECT_EQ(complete.method_name, "SPEAK-COMPLETE");
  EXPECT_EQ(complete.completion_cause, 3);
  EXPECT_NE(complete.text.find("\r\nFailed-URI: file://" + bad + "\r\n"), std::string::npos)
      << complete.text;
  EXPECT_NE(complete.text.find("\r\nFailed-URI-Cause: 415\r\n"), std::string::npos);
  EXPECT_TRUE(channel->WaitAudioBytes(8000, 2s));
  EXPECT_NEAR(static_cast<double>(channel->AudioBytes()), 8000, kFrame8k);
  EXPECT_EQ(m_Log->Count("Unsupported Audio Format in " + bad), 1u);
  EXPECT_EQ(m_Log->Count("Open Waveform File for Reading " + never), 0u);
}

TEST_F(PromptFileTest, EscapedAndLocalhostUrisPlayAndCommentsAreQuiet) {
  vxhost::Channel* channel = OpenChannel("uris");
  std::string spaced = Prompt("my prompt.wav", Wave(1, 1, 8000, 16, Tone(500, 8000, 1, 0.5)));
  std::string plain = Prompt("plain.wav", Wave(1, 1, 8000, 16, Tone(500, 8000, 1, 0.5)));
  std::string escaped = (m_Root / "prompts" / "my%20prompt.wav").string();
  std::string list = "# the welcome prompts\r\n  # one escaped, one on localhost\r\nfile://" +
                     escaped + "\r\nfile://localhost" + plain + "\r\nfile:// " + plain + "\r\n";
  std::vector<int16_t> played = Play(channel, list);
  EXPECT_NEAR(static_cast<double>(played.size() * 2), 3 * 8000, kFrame8k);
  EXPECT_EQ(m_Log->Count("[WARNING]"), 0u);
}

// A URI list whose first prompt cannot play used to be refused only after
// it had replaced the SPEAK that played: that SPEAK was cut off and never
// completed. It is refused before, and the SPEAK that plays (or is paused)
// goes on to its SPEAK-COMPLETE with all its audio.
class PromptRefusalTest : public ModuleFixture {
 protected:
  void SetUp() override {
    ModuleFixture::SetUp();
    StartServer();
    WriteConfig("", "  <waveform-manager waveform-folder=\"waves\"/>\n");
    vxhost::HostKit::Options options;
    options.realtime = true;
    StartEngine(true, options);
    m_Channel = OpenChannel("ch1");
  }

  // Starts a SPEAK of a second of tone voice audio.
  void StartPlaying() {
    Send(m_Channel, SpeakText(std::string(50, 'a'), "text/plain"));
    ASSERT_EQ(Next(m_Channel).request_state, MRCP_REQUEST_STATE_INPROGRESS);
    ASSERT_TRUE(m_Channel->WaitAudioBytes(3 * kFrame8k, 5s));
  }

  void ExpectRefused(const std::string& list) {
    Send(m_Channel, SpeakText(list, "text/uri-list"));
    vxhost::ReceivedMessage response = Next(m_Channel);
    EXPECT_EQ(response.method_name, "SPEAK");
    EXPECT_EQ(response.status_code, 401) << response.text;
  }

  void ExpectCompletedWhole() {
    vxhost::ReceivedMessage complete = Next(m_Channel, 10s);
    EXPECT_EQ(complete.method_name, "SPEAK-COMPLETE") << complete.text;
    EXPECT_EQ(complete.completion_cause, 0);
    EXPECT_TRUE(m_Channel->WaitAudioBytes(50 * kFrame8k, 2s));
    EXPECT_EQ(m_Channel->AudioBytes(), 50 * kFrame8k);
  }

  vxhost::Channel* m_Channel = nullptr;
};

TEST_F(PromptRefusalTest, ListWithAMissingFirstFileLeavesThePlayingSpeak) {
  StartPlaying();
  ExpectRefused("file://" + (m_Root / "missing.wav").string());
  ExpectRefused("http://elsewhere.invalid/prompt.wav\n");
  ExpectCompletedWhole();
}

TEST_F(PromptRefusalTest, ListWithAMissingFirstFileLeavesThePausedSpeak) {
  StartPlaying();
  Send(m_Channel, RequestText("PAUSE"));
  EXPECT_EQ(Next(m_Channel).status_code, 200);
  ExpectRefused("http://localhost/utterances/../escape.wav\n");
  Send(m_Channel, RequestText("RESUME"));
  EXPECT_EQ(Next(m_Channel).status_code, 200);
  ExpectCompletedWhole();
}

}  // namespace
}  // namespace vxtest
