// WAVE images of prompt files (PromptAudio): the chunk walk, the format
// check and the conversion of every accepted format (PCM of 8, 16, 24 and
// 32 bits, float, mu-law, A-law, stereo, extensible) to 16-bit mono at the
// channel's rate, resampled where the rates differ; and the audio lookup of
// saved waveforms (WaveformManager::GetWaveData).
//
// The input is the image. Bit 0 of the fifth byte (the low byte of the RIFF
// size, which the reader ignores) chooses a channel of 16000 Hz over 8000.
// Properties: an accepted image converts; the audio is whole 16-bit
// samples, as many as the rates make of the whole blocks; the data found
// lies inside the image.
#include <cmath>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "PromptAudio.h"
#include "WaveformManager.h"

namespace {

void CheckSavedWaveLookup(const uint8_t* data, size_t size) {
  const std::string wave(reinterpret_cast<const char*>(data), size);
  unsigned length = 0;
  const char* audio = VXS::WaveformManager::GetWaveData(wave, length);
  if (!audio) return;
  VXFUZZ_CHECK(audio >= wave.data() && audio <= wave.data() + wave.size(),
               "the audio starts inside the image");
  VXFUZZ_CHECK(length <= static_cast<size_t>(wave.data() + wave.size() - audio),
               "the audio ends inside the image");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vxfuzz::Process::Get();
  CheckSavedWaveLookup(data, size);

  const char* image = reinterpret_cast<const char*>(data);
  VXS::PromptAudio::Format format;
  const char* audio = nullptr;
  size_t length = 0;
  std::string problem;
  if (!VXS::PromptAudio::ReadImage(image, size, format, audio, length, problem)) {
    VXFUZZ_CHECK(!problem.empty(), "a refused image says why");
    return 0;
  }
  VXFUZZ_CHECK(audio >= image && audio + length <= image + size,
               "the data chunk lies inside the image");
  if (!VXS::PromptAudio::CheckFormat(format, problem)) {
    VXFUZZ_CHECK(!problem.empty(), "a refused format says why");
    return 0;
  }
  const unsigned rate = (size > 4 && (data[4] & 1)) ? 16000 : 8000;
  std::vector<char> converted;
  VXFUZZ_CHECK(VXS::PromptAudio::Convert(format, audio, length, rate, converted, problem),
               "an accepted format converts");
  VXFUZZ_CHECK(converted.size() % 2 == 0, "the audio is whole 16-bit samples");
  const size_t blocks = length / format.m_BlockAlign;
  if (format.m_SamplingRate == rate) {
    VXFUZZ_CHECK(converted.size() / 2 == blocks, "one sample per block at the same rate");
  } else {
    const double expected = static_cast<double>(blocks) * rate / format.m_SamplingRate;
    VXFUZZ_CHECK(converted.size() / 2 <= std::ceil(expected) + 16,
                 "resampling makes no more samples than the rates allow");
  }
  return 0;
}
