#pragma once

// The "vx-test-bytes" voice: like the tone voice exactly 20 ms of audio per
// input byte, but every 20 ms frame says which input it belongs to and which
// byte of it it is, so that a listener (the soak, a test) can tell the audio
// of one prompt from any other's, a cut from a whole prompt, and a frame
// played twice from one played once. Frames are whole 20 ms frames at any
// rate that is a multiple of 50 Hz; prosody is ignored.
//
// A frame's first samples are: a sync word, the input's 64-bit hash in four
// 16-bit words (low first), the byte's index in two words (low first), the
// byte, and a check word (the exclusive-or of the eight before it); the rest
// of the frame repeats the sync word.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace VxTts {

struct TestBytesFrame {
  uint64_t input_hash = 0;
  uint32_t index = 0;
  uint8_t byte = 0;
};

// FNV-1a over the input's bytes.
uint64_t TestBytesHash(const std::string& input);
// The audio of input at sample_rate (a multiple of 50 Hz).
void MakeTestBytes(const std::string& input, int sample_rate, std::vector<int16_t>* pcm);
// Reads one frame of `count` samples; false when it is not such a frame.
bool DecodeTestBytesFrame(const int16_t* samples, size_t count, TestBytesFrame* frame);

}  // namespace VxTts
