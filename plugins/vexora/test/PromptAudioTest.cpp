// Prompt audio: reading the chunks of WAVE files, refusing formats that
// cannot be played, G.711 expansion, sample sizes, mixing down and
// resampling to the channel's rate.
#include <apr_pools.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "PromptAudio.h"
#include "ambrel/testing/TestSupport.h"
#include "vxhost/LogSink.h"

namespace VXS {
namespace {

using Format = PromptAudio::Format;

const double kPi = 3.14159265358979323846;

std::string Le16(unsigned value) {
  return std::string{static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF)};
}

std::string Le32(uint32_t value) { return Le16(value & 0xFFFF) + Le16(value >> 16); }

// A chunk with its header and, for an odd size, its pad byte.
std::string Chunk(const std::string& id, const std::string& body) {
  return id + Le32(static_cast<uint32_t>(body.size())) + body + (body.size() % 2 ? "\x7f" : "");
}

std::string FmtBody(unsigned tag, unsigned channels, uint32_t rate, unsigned bits,
                    int block_align = -1) {
  unsigned align = block_align >= 0 ? static_cast<unsigned>(block_align) : channels * bits / 8;
  return Le16(tag) + Le16(channels) + Le32(rate) + Le32(rate * align) + Le16(align) + Le16(bits);
}

// WAVE_FORMAT_EXTENSIBLE with a sub-format built on the given format code.
std::string ExtensibleBody(unsigned sub_format, unsigned channels, uint32_t rate, unsigned bits) {
  const char guid_tail[] = "\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71";
  return FmtBody(0xFFFE, channels, rate, bits) + Le16(22) + Le16(bits) + Le32(0x3) +
         Le16(sub_format) + std::string(guid_tail, 14);
}

std::string Wave(const std::string& chunks) {
  return "RIFF" + Le32(static_cast<uint32_t>(4 + chunks.size())) + "WAVE" + chunks;
}

std::string Pcm16(const std::vector<int16_t>& samples) {
  std::string bytes;
  for (int16_t s : samples) bytes += Le16(static_cast<uint16_t>(s));
  return bytes;
}

std::vector<int16_t> Sine(double frequency, uint32_t rate, size_t count, double amplitude = 10000) {
  std::vector<int16_t> samples(count);
  for (size_t i = 0; i < count; ++i)
    samples[i] =
        static_cast<int16_t>(std::lround(amplitude * std::sin(2 * kPi * frequency * i / rate)));
  return samples;
}

std::vector<int16_t> Samples(const std::vector<char>& audio) {
  std::vector<int16_t> samples(audio.size() / 2);
  for (size_t i = 0; i < samples.size(); ++i)
    samples[i] = static_cast<int16_t>(static_cast<unsigned char>(audio[2 * i]) |
                                      (static_cast<unsigned char>(audio[2 * i + 1]) << 8));
  return samples;
}

double Rms(const std::vector<int16_t>& samples, size_t skip = 0) {
  double sum = 0;
  for (size_t i = skip; i < samples.size() - skip; ++i) sum += double(samples[i]) * samples[i];
  return std::sqrt(sum / (samples.size() - 2 * skip));
}

size_t ZeroCrossings(const std::vector<int16_t>& samples) {
  size_t count = 0;
  for (size_t i = 1; i < samples.size(); ++i) count += (samples[i - 1] < 0) != (samples[i] < 0);
  return count;
}

// Reads and converts a whole image the way a played file is.
bool Convert(const std::string& image, unsigned rate, std::vector<char>& audio,
             std::string& problem) {
  Format format;
  const char* data = nullptr;
  size_t length = 0;
  return PromptAudio::ReadImage(image.data(), image.size(), format, data, length, problem) &&
         PromptAudio::CheckFormat(format, problem) &&
         PromptAudio::Convert(format, data, length, rate, audio, problem);
}

std::vector<int16_t> ConvertOk(const std::string& image, unsigned rate) {
  std::vector<char> audio;
  std::string problem;
  EXPECT_TRUE(Convert(image, rate, audio, problem)) << problem;
  EXPECT_EQ(0u, audio.size() % 2);
  return Samples(audio);
}

std::string Refusal(const std::string& image) {
  std::vector<char> audio;
  std::string problem;
  EXPECT_FALSE(Convert(image, 8000, audio, problem));
  return problem;
}

TEST(PromptAudioG711Test, ExpandsTheCodesOfTheStandard) {
  EXPECT_EQ(0, PromptAudio::ExpandMuLaw(0xFF));
  EXPECT_EQ(0, PromptAudio::ExpandMuLaw(0x7F));
  EXPECT_EQ(8, PromptAudio::ExpandMuLaw(0xFE));
  EXPECT_EQ(32124, PromptAudio::ExpandMuLaw(0x80));
  EXPECT_EQ(-32124, PromptAudio::ExpandMuLaw(0x00));
  EXPECT_EQ(8, PromptAudio::ExpandALaw(0xD5));
  EXPECT_EQ(-8, PromptAudio::ExpandALaw(0x55));
  EXPECT_EQ(24, PromptAudio::ExpandALaw(0xD4));
  EXPECT_EQ(32256, PromptAudio::ExpandALaw(0xAA));
  EXPECT_EQ(-32256, PromptAudio::ExpandALaw(0x2A));
  // Both laws are odd-symmetric in the sign bit and strictly monotonic in
  // the magnitude bits (complemented for mu-law, even bits inverted for A-law).
  for (unsigned code = 0; code < 256; ++code) {
    EXPECT_EQ(PromptAudio::ExpandMuLaw(code), -PromptAudio::ExpandMuLaw(code ^ 0x80)) << code;
    EXPECT_EQ(PromptAudio::ExpandALaw(code), -PromptAudio::ExpandALaw(code ^ 0x80)) << code;
  }
  for (unsigned step = 1; step < 128; ++step) {
    EXPECT_GT(PromptAudio::ExpandMuLaw(0xFF - step), PromptAudio::ExpandMuLaw(0xFF - step + 1));
    EXPECT_GT(PromptAudio::ExpandALaw(0x80 | (step ^ 0x55)),
              PromptAudio::ExpandALaw(0x80 | ((step - 1) ^ 0x55)));
  }
}

TEST(PromptAudioTest, SixteenBitMonoAtTheChannelRateIsPlayedAsItStands) {
  std::string pcm = Pcm16({1, -2, 300, -32768, 32767});
  std::vector<char> audio;
  std::string problem;
  ASSERT_TRUE(Convert(Wave(Chunk("fmt ", FmtBody(1, 1, 8000, 16)) + Chunk("data", pcm)), 8000,
                      audio, problem));
  EXPECT_EQ(pcm, std::string(audio.begin(), audio.end()));
  ASSERT_TRUE(Convert(Wave(Chunk("fmt ", FmtBody(1, 1, 16000, 16)) + Chunk("data", pcm)), 16000,
                      audio, problem));
  EXPECT_EQ(pcm, std::string(audio.begin(), audio.end()));
}

TEST(PromptAudioTest, ChunksAreWalkedWithTheirPadding) {
  // An odd-sized chunk before "fmt ", another between it and "data", an
  // 18-byte format chunk (with its cbSize), a trailing chunk after "data".
  std::string pcm = Pcm16({7, 8, 9});
  std::string image = Wave(Chunk("LIST", "odd") + Chunk("fmt ", FmtBody(1, 1, 8000, 16) + Le16(0)) +
                           Chunk("fact", "x") + Chunk("data", pcm) + Chunk("id3 ", "tail"));
  EXPECT_EQ((std::vector<int16_t>{7, 8, 9}), ConvertOk(image, 8000));
  // A data chunk that claims more than the file holds yields what it holds;
  // a partial block at the end is dropped.
  std::string cut = Wave(Chunk("fmt ", FmtBody(1, 2, 8000, 16))) + "data" + Le32(0xFFFFFFFF) +
                    Pcm16({10, 20, 30, 40, 50});
  EXPECT_EQ((std::vector<int16_t>{15, 35}), ConvertOk(cut, 8000));
}

TEST(PromptAudioTest, SampleSizesAndLawsAreReducedToSixteenBits) {
  auto convert = [](const std::string& fmt, const std::string& data) {
    return ConvertOk(Wave(Chunk("fmt ", fmt) + Chunk("data", data)), 8000);
  };
  EXPECT_EQ((std::vector<int16_t>{-32768, 0, 256, 32512}),
            convert(FmtBody(1, 1, 8000, 8), std::string("\x00\x80\x81\xff", 4)));
  // 24 and 32 bits keep their top 16 bits, rounded.
  EXPECT_EQ((std::vector<int16_t>{0x1234, 0x1235, -1, 32767}),
            convert(FmtBody(1, 1, 8000, 24),
                    std::string("\x00\x34\x12\x80\x34\x12\x00\xff\xff\xff\xff\x7f", 12)));
  EXPECT_EQ((std::vector<int16_t>{0x1234, -32768}),
            convert(FmtBody(1, 1, 8000, 32), Le32(0x12340000) + Le32(0x80000000)));
  auto float32 = [](float value) {
    uint32_t bits;
    memcpy(&bits, &value, 4);
    return Le32(bits);
  };
  EXPECT_EQ((std::vector<int16_t>{16384, -32768, 32767, 0}),
            convert(FmtBody(3, 1, 8000, 32),
                    float32(0.5f) + float32(-1.0f) + float32(3.0f) + float32(std::nanf(""))));
  double half = -0.25;
  uint64_t bits;
  memcpy(&bits, &half, 8);
  EXPECT_EQ((std::vector<int16_t>{-8192}),
            convert(FmtBody(3, 1, 8000, 64), Le32(bits & 0xFFFFFFFF) + Le32(bits >> 32)));
  EXPECT_EQ((std::vector<int16_t>{0, 32124, 0, -32124}),
            convert(FmtBody(7, 1, 8000, 8), std::string("\xff\x80\x7f\x00", 4)));
  EXPECT_EQ((std::vector<int16_t>{8, -32256}),
            convert(FmtBody(6, 1, 8000, 8), std::string("\xd5\x2a", 2)));
  // Stereo is the mean of its two channels.
  EXPECT_EQ((std::vector<int16_t>{2000, -32768, 0}),
            convert(FmtBody(1, 2, 8000, 16), Pcm16({1000, 3000, -32768, -32768, 5, -5})));
  EXPECT_EQ((std::vector<int16_t>{16062}),
            convert(FmtBody(7, 2, 8000, 8), std::string("\x80\xff", 2)));
}

TEST(PromptAudioTest, ExtensibleFormatsWithAKnownSubFormatPlay) {
  EXPECT_EQ(
      (std::vector<int16_t>{5, 6}),
      ConvertOk(Wave(Chunk("fmt ", ExtensibleBody(1, 1, 8000, 16)) + Chunk("data", Pcm16({5, 6}))),
                8000));
  EXPECT_EQ(
      (std::vector<int16_t>{32124}),
      ConvertOk(Wave(Chunk("fmt ", ExtensibleBody(7, 1, 8000, 8)) + Chunk("data", "\x80")), 8000));
  std::string unknown = ExtensibleBody(1, 1, 8000, 16);
  unknown[30] = 'X';  // a vendor's own GUID
  EXPECT_NE(std::string::npos, Refusal(Wave(Chunk("fmt ", unknown) + Chunk("data", Pcm16({1}))))
                                   .find("extensible format 0xFFFE"));
  EXPECT_EQ("fmt chunk cut short",
            Refusal(Wave(Chunk("fmt ", ExtensibleBody(1, 1, 8000, 16).substr(0, 30)) +
                         Chunk("data", Pcm16({1})))));
}

TEST(PromptAudioTest, FormatsThatCannotPlayAreRefusedWithTheirDescription) {
  const std::string data = Chunk("data", std::string(64, '\x01'));
  const std::pair<std::string, std::string> cases[] = {
      {std::string("RIFF\x04\0\0\0WAVX", 12), "not a RIFF WAVE file"},
      {"RIFF", "not a RIFF WAVE file"},
      {"", "not a RIFF WAVE file"},
      {Wave(data), "no fmt chunk"},
      {Wave(Chunk("fmt ", FmtBody(1, 1, 8000, 16))), "no data chunk"},
      {Wave(Chunk("fmt ", FmtBody(1, 1, 8000, 16).substr(0, 14)) + data), "fmt chunk cut short"},
      {Wave("fmt " + Le32(16) + FmtBody(1, 1, 8000, 16).substr(0, 10)), "fmt chunk cut short"},
      {Wave(Chunk("fmt ", FmtBody(0x55, 2, 44100, 0, 1)) + data),
       "format 0x0055, 2 channels, 44100 Hz, 0 bits, block align 1 (unsupported format)"},
      {Wave(Chunk("fmt ", FmtBody(1, 0, 8000, 16, 2)) + data),
       "PCM, 0 channels, 8000 Hz, 16 bits, block align 2 (unsupported channel count)"},
      {Wave(Chunk("fmt ", FmtBody(1, 6, 48000, 16)) + data),
       "PCM, 6 channels, 48000 Hz, 16 bits, block align 12 (unsupported channel count)"},
      {Wave(Chunk("fmt ", FmtBody(1, 1, 0, 16)) + data),
       "PCM, 1 channel, 0 Hz, 16 bits, block align 2 (unsupported sampling rate)"},
      {Wave(Chunk("fmt ", FmtBody(1, 1, 7999, 16)) + data),
       "PCM, 1 channel, 7999 Hz, 16 bits, block align 2 (unsupported sampling rate)"},
      {Wave(Chunk("fmt ", FmtBody(1, 1, 8000, 16, 0)) + data),
       "PCM, 1 channel, 8000 Hz, 16 bits, block align 0 (block align does not match)"},
      {Wave(Chunk("fmt ", FmtBody(1, 2, 8000, 16, 2)) + data),
       "PCM, 2 channels, 8000 Hz, 16 bits, block align 2 (block align does not match)"},
      {Wave(Chunk("fmt ", FmtBody(1, 1, 8000, 12, 2)) + data),
       "PCM, 1 channel, 8000 Hz, 12 bits, block align 2 (unsupported sample size)"},
      {Wave(Chunk("fmt ", FmtBody(7, 1, 8000, 16)) + data),
       "mu-law, 1 channel, 8000 Hz, 16 bits, block align 2 (unsupported sample size)"},
      {Wave(Chunk("fmt ", FmtBody(3, 1, 8000, 16)) + data),
       "float, 1 channel, 8000 Hz, 16 bits, block align 2 (unsupported sample size)"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.second, Refusal(c.first)) << c.second;
}

TEST(PromptAudioTest, EveryCutOfAFileIsReadOrRefusedSafely) {
  const std::string image =
      Wave(Chunk("LIST", "abc") + Chunk("fmt ", ExtensibleBody(1, 2, 44100, 24)) +
           Chunk("data", std::string(600, '\x55')));
  for (size_t size = 0; size <= image.size(); ++size) {
    // A copy of exactly that size, so that a read past it is caught.
    std::vector<char> cut(image.begin(), image.begin() + size);
    Format format;
    const char* data = nullptr;
    size_t length = 0;
    std::string problem;
    std::vector<char> audio;
    if (PromptAudio::ReadImage(cut.data(), cut.size(), format, data, length, problem) &&
        PromptAudio::CheckFormat(format, problem)) {
      ASSERT_LE(data + length, cut.data() + cut.size());
      EXPECT_TRUE(PromptAudio::Convert(format, data, length, 8000, audio, problem));
    } else {
      EXPECT_FALSE(problem.empty());
    }
  }
}

TEST(PromptAudioTest, OtherRatesAreResampledToTheChannelRate) {
  // One second of a 500 Hz tone plays one second at the channel's rate,
  // still at 500 Hz and at its level.
  for (uint32_t rate : {8000u, 11025u, 16000u, 22050u, 24000u, 32000u, 44100u, 48000u}) {
    for (unsigned channel_rate : {8000u, 16000u}) {
      std::vector<int16_t> tone = Sine(500, rate, rate);
      std::vector<int16_t> out = ConvertOk(
          Wave(Chunk("fmt ", FmtBody(1, 1, rate, 16)) + Chunk("data", Pcm16(tone))), channel_rate);
      EXPECT_NEAR(static_cast<double>(out.size()), channel_rate, 2)
          << rate << " to " << channel_rate;
      EXPECT_NEAR(static_cast<double>(ZeroCrossings(out)), 1000, 4) << rate;
      EXPECT_NEAR(Rms(out, channel_rate / 20), 10000 / std::sqrt(2.0), 200) << rate;
    }
  }
}

TEST(PromptAudioTest, ResamplingFiltersWhatTheChannelCannotCarry) {
  // A 6 kHz tone at 44.1 kHz is above what 8 kHz carries: a real resampler
  // removes it, where dropping samples would fold it down to 2 kHz.
  std::vector<int16_t> tone = Sine(6000, 44100, 44100);
  std::string image =
      Wave(Chunk("fmt ", FmtBody(1, 2, 44100, 16)) + Chunk("data", Pcm16([&] {
                                                             std::vector<int16_t> stereo;
                                                             for (int16_t s : tone)
                                                               stereo.insert(stereo.end(), {s, s});
                                                             return stereo;
                                                           }())));
  std::vector<int16_t> out = ConvertOk(image, 8000);
  EXPECT_NEAR(static_cast<double>(out.size()), 8000, 2);
  EXPECT_LT(Rms(out, 400), 100);
  // The same samples converted twice are the same bytes.
  EXPECT_EQ(out, ConvertOk(image, 8000));
}

class PromptFileLoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_Dir.IsValid());
    ASSERT_EQ(APR_SUCCESS, apr_pool_create(&m_Pool, nullptr));
  }
  void TearDown() override { apr_pool_destroy(m_Pool); }
  std::string Write(const std::string& name, const std::string& bytes) {
    std::ofstream(m_Dir / name, std::ios::binary | std::ios::trunc) << bytes;
    return m_Dir / name;
  }

  Ambrel::Testing::AprScope m_Apr;
  Ambrel::Testing::ScratchDir m_Dir;
  apr_pool_t* m_Pool = nullptr;
  vxhost::LogCapture m_Log;
};

TEST_F(PromptFileLoadTest, FailuresNameTheFileAndTheFormat) {
  std::vector<char> audio;
  std::string mp3 = Write(
      "music.wav", Wave(Chunk("fmt ", FmtBody(0x55, 2, 44100, 0, 1)) + Chunk("data", "xxxx")));
  EXPECT_FALSE(PromptAudio::LoadFile(mp3, 8000, audio, m_Pool));
  EXPECT_EQ(1u, m_Log.Count("Unsupported Audio Format in " + mp3 +
                            ": format 0x0055, 2 channels, 44100 Hz, 0 bits"));
  EXPECT_FALSE(PromptAudio::LoadFile(m_Dir / "missing.wav", 8000, audio, m_Pool));
  EXPECT_EQ(1u, m_Log.Count("Cannot Open Waveform File for Reading " + (m_Dir / "missing.wav")));
  EXPECT_FALSE(PromptAudio::LoadFile(Write("empty.wav", ""), 8000, audio, m_Pool));
  EXPECT_EQ(1u, m_Log.Count("Unsupported Audio Format in " + (m_Dir / "empty.wav") +
                            ": not a RIFF WAVE file"));

  std::string law = Write("law.wav", Wave(Chunk("fmt ", FmtBody(7, 1, 8000, 8)) +
                                          Chunk("data", std::string(8000, '\x80'))));
  ASSERT_TRUE(PromptAudio::LoadFile(law, 16000, audio, m_Pool));
  EXPECT_NEAR(static_cast<double>(audio.size()), 32000, 4);
}

}  // namespace
}  // namespace VXS
