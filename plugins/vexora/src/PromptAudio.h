#pragma once

#include <apr_pools.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace VXS {

// The audio of a prompt file named by a file:// or local URI segment, made
// fit for a channel: whatever the WAVE file's "fmt " chunk says, the channel
// gets 16-bit linear PCM, mono, at its own sampling rate. 16-bit PCM mono at
// that rate is played as it stands; G.711 mu-law and A-law are expanded,
// 8-bit unsigned, 24- and 32-bit PCM and 32- and 64-bit float are reduced to
// 16 bits, stereo is mixed down, and the common sampling rates are resampled
// with libsoxr. Any other format is refused with a warning naming the file
// and the format.
//
// Stateless: the functions may run on any thread. The caller owns every
// buffer it passes.
class PromptAudio {
 public:
  // WAVE format codes of the "fmt " chunk.
  static constexpr uint16_t kFormatPcm = 0x0001;
  static constexpr uint16_t kFormatFloat = 0x0003;
  static constexpr uint16_t kFormatALaw = 0x0006;
  static constexpr uint16_t kFormatMuLaw = 0x0007;
  static constexpr uint16_t kFormatExtensible = 0xFFFE;

  // The "fmt " chunk of a WAVE image as its bytes say. For an extensible
  // chunk m_FormatTag is the tag of its sub-format and m_Extensible is set.
  struct Format {
    uint16_t m_FormatTag = 0;
    bool m_Extensible = false;
    uint16_t m_Channels = 0;
    uint32_t m_SamplingRate = 0;
    uint16_t m_BlockAlign = 0;
    uint16_t m_BitsPerSample = 0;

    // "mu-law, 1 channel, 8000 Hz, 8 bits", as the warnings name a format.
    std::string Describe() const;
  };

  // Finds the "fmt " and "data" chunks of a RIFF WAVE image (chunks padded
  // to even sizes) and reads the format. The audio is what the "data" chunk
  // holds, cut to what the image holds. False, with the reason in problem,
  // when the image is no RIFF WAVE image or either chunk is missing or cut
  // short.
  static bool ReadImage(const char* image, size_t size, Format& format, const char*& data,
                        size_t& length, std::string& problem);

  // Whether the format can be played; false with the reason (which names
  // the format) in problem for an unsupported or inconsistent one.
  static bool CheckFormat(const Format& format, std::string& problem);

  // Decodes audio of a checked format into 16-bit mono samples at the
  // format's own rate. A partial block at the end is dropped.
  static void Decode(const Format& format, const char* data, size_t length,
                     std::vector<int16_t>& samples);

  // Resamples 16-bit mono samples from one rate to another (no dither, so
  // the same input always gives the same output). False, with the
  // resampler's message in problem, when it fails.
  static bool Resample(std::vector<int16_t>& samples, unsigned from_rate, unsigned to_rate,
                       std::string& problem);

  // Turns audio of a checked format into the bytes a channel of the given
  // rate plays (16-bit little-endian mono). False only when the resampler
  // fails, with its message in problem.
  static bool Convert(const Format& format, const char* data, size_t length, unsigned rate,
                      std::vector<char>& audio, std::string& problem);

  // Reads the file at path (a full path) and converts it for a channel of
  // the given rate. Logs the failure: a file that cannot be read, a format
  // refused ("Unsupported Audio Format in %s: %s", path and reason), a
  // conversion failure.
  static bool LoadFile(const std::string& path, unsigned rate, std::vector<char>& audio,
                       apr_pool_t* pool);

  // The whole file at path; logs a file that cannot be opened or read.
  static bool ReadFile(const std::string& path, std::vector<char>& image, apr_pool_t* pool);

  static int16_t ExpandMuLaw(uint8_t code);
  static int16_t ExpandALaw(uint8_t code);
};

}  // namespace VXS
