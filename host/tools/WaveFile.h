// WAVE files of the audio a channel collected: 16-bit mono PCM, with the
// speech service's header writer (RiffWave.h).
#pragma once

#include <string>
#include <vector>

namespace VxCli {

// Writes the canonical 44-byte header and `pcm` (little-endian 16-bit
// samples; an odd last byte is dropped) to `path`, replacing the file.
// False with *error.
bool WriteWaveFile(const std::string& path, const std::vector<char>& pcm, int rate,
                   std::string* error);

// Seconds of audio in `bytes` of 16-bit mono PCM at `rate`.
double PcmSeconds(size_t bytes, int rate);

}  // namespace VxCli
