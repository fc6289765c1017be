// WAVE files of the audio a channel collected: 16-bit mono PCM.
#pragma once

#include <string>
#include <vector>

namespace VxCli {

constexpr size_t kWaveHeaderSize = 44;

// The canonical 44-byte header (RIFF, "fmt " of PCM, mono, 16 bits,
// `rate` Hz, then the "data" chunk header) for `data_bytes` of samples.
std::string WaveHeader(size_t data_bytes, int rate);

// Writes the header and `pcm` (little-endian 16-bit samples; an odd last
// byte is dropped) to `path`, replacing the file. False with *error.
bool WriteWaveFile(const std::string& path, const std::vector<char>& pcm, int rate,
                   std::string* error);

// Seconds of audio in `bytes` of 16-bit mono PCM at `rate`.
double PcmSeconds(size_t bytes, int rate);

}  // namespace VxCli
