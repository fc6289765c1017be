#pragma once

// Helpers shared by the speech-service tests: a WAVE reader that walks the
// RIFF chunks, PCM statistics, request builders, and a scratch folder.

#include <cstdint>
#include <string>
#include <vector>

#include "google/cloud/texttospeech/v1/cloud_tts.pb.h"

namespace VxTtsTest {

struct WaveInfo {
  uint16_t format = 0;
  uint16_t channels = 0;
  uint32_t sample_rate = 0;
  uint32_t byte_rate = 0;
  uint16_t block_align = 0;
  uint16_t bits = 0;
  uint32_t riff_size = 0;
  size_t data_offset = 0;  // where the samples start
  uint32_t data_size = 0;
  std::vector<std::string> chunk_ids;  // in file order, after "WAVE"
};

// Reads a RIFF/WAVE file the way a careful client does: walks every chunk,
// requires "fmt " before "data" and a data chunk that fits.
bool ParseWave(const std::string& bytes, WaveInfo* info, std::string* error);

// Little-endian 16-bit samples from bytes[offset...].
std::vector<int16_t> Pcm16(const std::string& bytes, size_t offset = 0);
double Rms(const std::vector<int16_t>& pcm);
// Median fundamental frequency of voiced frames (autocorrelation), Hz.
double MedianPitchHz(const std::vector<int16_t>& pcm, int sample_rate);

google::cloud::texttospeech::v1::SynthesizeSpeechRequest MakeRequest(
    const std::string& text, const std::string& voice_name,
    google::cloud::texttospeech::v1::AudioEncoding encoding, int sample_rate);

// A folder of its own under /tmp, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return m_Path; }
  std::string File(const std::string& name) const { return m_Path + "/" + name; }

 private:
  std::string m_Path;
};

bool WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
// Runs a shell command quietly; returns its exit status (-1 if it did not exit).
int Run(const std::string& command);

}  // namespace VxTtsTest
