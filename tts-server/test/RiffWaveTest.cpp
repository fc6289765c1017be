// The shared RIFF/WAVE header writer and reader: what one writes the other
// reads back, and damaged files are refused with the reason.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RiffWave.h"

namespace {

using VxTts::ParseWave;
using VxTts::WaveInfo;

std::string CanonicalFile(size_t data_bytes, int rate) {
  return VxTts::Pcm16WaveHeader(data_bytes, rate) + std::string(data_bytes, '\x11');
}

TEST(RiffWaveTest, WhatTheWriterWritesTheReaderReadsBack) {
  for (int rate : {8000, 16000}) {
    const std::string file = CanonicalFile(640, rate);
    ASSERT_EQ(file.size(), VxTts::kWaveHeaderBytes + 640);
    WaveInfo info;
    std::string error;
    ASSERT_TRUE(ParseWave(file, &info, &error)) << error;
    EXPECT_TRUE(info.IsCanonicalPcm16(static_cast<uint32_t>(rate)));
    EXPECT_FALSE(info.IsCanonicalPcm16(static_cast<uint32_t>(rate) + 1));
    EXPECT_EQ(info.data_size, 640u);
    EXPECT_EQ(info.riff_size, file.size() - 8);
  }

  // An 8-bit companded layout with a chunk between "fmt " and "data", its
  // odd data left unpadded as the speech service sends it.
  const std::string extra = std::string("LIST") + std::string("\x04\0\0\0", 4) + "INFO";
  const std::string reply =
      VxTts::WaveHeader(VxTts::kWaveFormatMulaw, 1, 8, 8000, 3, extra) + "abc";
  WaveInfo info;
  std::string error;
  ASSERT_TRUE(ParseWave(reply, &info, &error)) << error;
  EXPECT_EQ(info.format, VxTts::kWaveFormatMulaw);
  EXPECT_EQ(info.bits, 8);
  EXPECT_EQ(info.block_align, 1);
  EXPECT_EQ(info.byte_rate, 8000u);
  EXPECT_EQ(info.chunk_ids, (std::vector<std::string>{"fmt ", "LIST", "data"}));
  EXPECT_FALSE(info.IsCanonicalPcm16(8000));
  EXPECT_FALSE(ParseWave(reply + '\0', &info, &error)) << "a pad the RIFF size does not count";
  EXPECT_NE(error.find("RIFF size"), std::string::npos) << error;

  // A whole stereo file with odd data: padded, and the pad counted.
  const std::string file = VxTts::WaveFile(VxTts::kWaveFormatPcm, 2, 16, 44100, "xyz");
  EXPECT_EQ(file.size() % 2, 0u);
  ASSERT_TRUE(ParseWave(file, &info, &error)) << error;
  EXPECT_EQ(info.channels, 2);
  EXPECT_EQ(info.block_align, 4);
  EXPECT_EQ(info.byte_rate, 44100u * 4);
  EXPECT_EQ(info.data_size, 3u);
  EXPECT_EQ(file.substr(info.data_offset, 3), "xyz");
}

TEST(RiffWaveTest, SizesPastTheFieldsAreClampedNotWrapped) {
  const std::string header = VxTts::Pcm16WaveHeader(size_t{5} << 32, 8000);
  EXPECT_EQ(VxTts::GetLe32(header, 4), 0xffffffffu);
  EXPECT_EQ(VxTts::GetLe32(header, 40), 0xffffffffu - 36);
}

TEST(RiffWaveTest, DamagedFilesAreRefusedWithTheReason) {
  const std::string good = CanonicalFile(4, 8000);
  struct Case {
    std::string bytes;
    const char* reason;
  };
  std::string no_fmt = "RIFF" + std::string("\x0c\0\0\0", 4) + "WAVE" + "data" +
                       std::string("\0\0\0\0", 4);
  std::string short_fmt = good;
  short_fmt[16] = 14;
  std::string long_data = good;
  long_data[40] = 5;
  const std::vector<Case> cases = {
      {"", "no RIFF/WAVE preamble"},
      {"RIFX" + good.substr(4), "no RIFF/WAVE preamble"},
      {good.substr(0, 30), "RIFF size"},
      {no_fmt, "data before fmt"},
      {short_fmt, "fmt chunk too short"},
      {long_data, "runs past the end"},
      {good.substr(0, 36) + std::string("\0\0\0\0\0\0\0\0", 8), "no data chunk"},
  };
  for (const Case& c : cases) {
    std::string bytes = c.bytes;
    if (bytes.size() >= 8 && c.bytes.compare(0, 4, "RIFF") == 0 &&
        std::string(c.reason) != "RIFF size") {
      // Keep the RIFF size right so that the chunk walk is what fails.
      const uint32_t size = static_cast<uint32_t>(bytes.size() - 8);
      std::string field;
      VxTts::PutLe32(&field, size);
      bytes.replace(4, 4, field);
    }
    WaveInfo info;
    std::string error;
    EXPECT_FALSE(ParseWave(bytes, &info, &error)) << c.reason;
    EXPECT_NE(error.find(c.reason), std::string::npos) << error << " for " << c.reason;
  }
}

}  // namespace
