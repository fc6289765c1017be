#include "TestBytesVoice.h"

namespace VxTts {

namespace {

constexpr int16_t kSync = 0x5A5A;
constexpr size_t kHeaderWords = 9;

}  // namespace

uint64_t TestBytesHash(const std::string& input) {
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : input) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

void MakeTestBytes(const std::string& input, int sample_rate, std::vector<int16_t>* pcm) {
  const size_t frame = static_cast<size_t>(sample_rate) / 50;
  pcm->assign(input.size() * frame, kSync);
  if (frame < kHeaderWords) return;
  const uint64_t hash = TestBytesHash(input);
  for (size_t i = 0; i < input.size(); ++i) {
    int16_t* words = pcm->data() + i * frame;
    words[0] = kSync;
    for (int w = 0; w < 4; ++w) words[1 + w] = static_cast<int16_t>((hash >> (16 * w)) & 0xFFFF);
    words[5] = static_cast<int16_t>(i & 0xFFFF);
    words[6] = static_cast<int16_t>((i >> 16) & 0xFFFF);
    words[7] = static_cast<int16_t>(static_cast<unsigned char>(input[i]));
    int16_t check = 0;
    for (size_t w = 0; w < 8; ++w) check = static_cast<int16_t>(check ^ words[w]);
    words[8] = check;
  }
}

bool DecodeTestBytesFrame(const int16_t* samples, size_t count, TestBytesFrame* frame) {
  if (count < kHeaderWords || samples[0] != kSync) return false;
  int16_t check = 0;
  for (size_t w = 0; w < 8; ++w) check = static_cast<int16_t>(check ^ samples[w]);
  if (check != samples[8] || (samples[7] & ~0xFF) != 0) return false;
  for (size_t w = kHeaderWords; w < count; ++w) {
    if (samples[w] != kSync) return false;
  }
  uint64_t hash = 0;
  for (int w = 0; w < 4; ++w) {
    hash |= static_cast<uint64_t>(static_cast<uint16_t>(samples[1 + w])) << (16 * w);
  }
  frame->input_hash = hash;
  frame->index = static_cast<uint32_t>(static_cast<uint16_t>(samples[5])) |
                 (static_cast<uint32_t>(static_cast<uint16_t>(samples[6])) << 16);
  frame->byte = static_cast<uint8_t>(samples[7]);
  return true;
}

}  // namespace VxTts
