// Audio encodings of the speech service's replies: G.711 companding and the
// header each layout carries.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "AudioEncoding.h"
#include "TtsTestSupport.h"

namespace {

// Reference G.711 expansions (ITU-T G.711 tables).
int MulawToLinear(uint8_t u) {
  u = static_cast<uint8_t>(~u);
  int t = ((u & 0x0F) << 3) + 0x84;
  t <<= (u & 0x70) >> 4;
  return (u & 0x80) ? (0x84 - t) : (t - 0x84);
}

int AlawToLinear(uint8_t a) {
  a ^= 0x55;
  int t = (a & 0x0F) << 4;
  const int seg = (a & 0x70) >> 4;
  if (seg == 0)
    t += 8;
  else if (seg == 1)
    t += 0x108;
  else
    t = (t + 0x108) << (seg - 1);
  return (a & 0x80) ? t : -t;
}

TEST(AudioEncodingTest, G711CompandingMatchesTheReferenceExpansion) {
  EXPECT_EQ(VxTts::LinearToMulaw(0), 0xFF);
  EXPECT_EQ(VxTts::LinearToMulaw(32767), 0x80);
  EXPECT_EQ(VxTts::LinearToMulaw(-32768), 0x00);
  EXPECT_EQ(VxTts::LinearToAlaw(0), 0xD5);
  EXPECT_EQ(VxTts::LinearToAlaw(32767), 0xAA);
  EXPECT_EQ(VxTts::LinearToAlaw(-32768), 0x2A);
  int last_mu = -40000, last_a = -40000;
  for (int x = -32768; x <= 32767; ++x) {
    const int mu = MulawToLinear(VxTts::LinearToMulaw(static_cast<int16_t>(x)));
    const int a = AlawToLinear(VxTts::LinearToAlaw(static_cast<int16_t>(x)));
    // Quantisation error stays within half a step of the segment (~1/32 of
    // the value), and companding keeps the order of the samples.
    const int bound = std::max(std::abs(x) / 16, 40);
    ASSERT_LE(std::abs(mu - x), bound) << x;
    ASSERT_LE(std::abs(a - x), bound) << x;
    ASSERT_GE(mu, last_mu) << x;
    ASSERT_GE(a, last_a) << x;
    last_mu = mu;
    last_a = a;
  }
}

TEST(AudioEncodingTest, EachLayoutHasTheHeaderItsFormatNeeds) {
  const std::vector<int16_t> pcm = {0, 1, -1, 1000, -1000, 32767, -32768, 7, 8, 9};
  struct Case {
    VxTts::AudioLayout layout;
    uint16_t format, bits;
  } cases[] = {{VxTts::AudioLayout::kWaveLinear16, 1, 16},
               {VxTts::AudioLayout::kWaveMulaw, 7, 8},
               {VxTts::AudioLayout::kWaveAlaw, 6, 8}};
  for (const Case& c : cases) {
    for (bool extra : {false, true}) {
      VxTts::AudioDamage damage;
      damage.extra_chunks = extra;
      const std::string bytes = VxTts::EncodeAudio(pcm, 16000, c.layout, damage);
      VxTtsTest::WaveInfo wave;
      std::string error;
      ASSERT_TRUE(VxTtsTest::ParseWave(bytes, &wave, &error)) << error;
      EXPECT_EQ(wave.format, c.format);
      EXPECT_EQ(wave.bits, c.bits);
      EXPECT_EQ(wave.channels, 1);
      EXPECT_EQ(wave.sample_rate, 16000u);
      EXPECT_EQ(wave.block_align, c.bits / 8);
      EXPECT_EQ(wave.byte_rate, 16000u * c.bits / 8);
      EXPECT_EQ(wave.data_size, pcm.size() * c.bits / 8);
      EXPECT_EQ(wave.data_offset, extra ? bytes.size() - wave.data_size : 44u);
      EXPECT_EQ(wave.chunk_ids.size(), extra ? 3u : 2u);
    }
  }
  const std::string raw = VxTts::EncodeAudio(pcm, 8000, VxTts::AudioLayout::kRawLinear16);
  EXPECT_EQ(VxTtsTest::Pcm16(raw), pcm);
  VxTts::AudioDamage cut;
  cut.cut_header = true;
  EXPECT_EQ(VxTts::EncodeAudio(pcm, 8000, VxTts::AudioLayout::kWaveLinear16, cut).size(), 20u);
}

}  // namespace
