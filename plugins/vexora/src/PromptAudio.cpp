#include "PromptAudio.h"

#include <apr_file_info.h>
#include <apr_file_io.h>
#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "AprResources.h"
#include "ByteOrder.h"
#include "Plugin.h"

namespace VXS {

namespace {

const size_t kChunkHeaderSize = 8;
const size_t kFormatSize = 16;            // the fields every "fmt " chunk has
const size_t kExtensibleFormatSize = 40;  // with the extension of WAVE_FORMAT_EXTENSIBLE
const unsigned kMaxChannels = 2;

// The sampling rates a prompt file may have; anything else is taken for a
// damaged header rather than resampled.
const uint32_t kSamplingRates[] = {8000, 11025, 16000, 22050, 24000, 32000, 44100, 48000};

// Bytes 2 to 15 of every sub-format GUID built on a WAVE format code
// (XXXXXXXX-0000-0010-8000-00AA00389B71, little-endian); bytes 0 and 1 hold
// the code.
const unsigned char kSubFormatTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                          0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

int16_t Clamp16(int64_t value) {
  return static_cast<int16_t>(std::min<int64_t>(32767, std::max<int64_t>(-32768, value)));
}

int16_t FromFloat(double value) {
  if (!(value == value)) return 0;  // NaN
  return Clamp16(static_cast<int64_t>(std::lround(std::min(2.0, std::max(-2.0, value)) * 32768.0)));
}

// One sample of a checked format, reduced to 16 bits (rounded).
int16_t ReadSample(const PromptAudio::Format& format, const unsigned char* in) {
  switch (format.m_FormatTag) {
    case PromptAudio::kFormatMuLaw:
      return PromptAudio::ExpandMuLaw(in[0]);
    case PromptAudio::kFormatALaw:
      return PromptAudio::ExpandALaw(in[0]);
    case PromptAudio::kFormatFloat:
      if (format.m_BitsPerSample == 32) {
        uint32_t bits = GetUint32(in);
        float value;
        memcpy(&value, &bits, sizeof(value));
        return FromFloat(value);
      } else {
        uint64_t bits = GetUint32(in) | (static_cast<uint64_t>(GetUint32(in + 4)) << 32);
        double value;
        memcpy(&value, &bits, sizeof(value));
        return FromFloat(value);
      }
    default:
      break;
  }
  switch (format.m_BitsPerSample) {
    case 8:
      return static_cast<int16_t>((in[0] - 128) * 256);
    case 16:
      return static_cast<int16_t>(GetUint16(in));
    case 24: {
      // Left-justified in 32 bits, then rounded as 32-bit samples are.
      const uint32_t bits = (static_cast<uint32_t>(in[0]) << 8) |
                            (static_cast<uint32_t>(in[1]) << 16) |
                            (static_cast<uint32_t>(in[2]) << 24);
      return Clamp16((static_cast<int64_t>(static_cast<int32_t>(bits)) + 0x8000) >> 16);
    }
    default:
      return Clamp16((static_cast<int64_t>(static_cast<int32_t>(GetUint32(in))) + 0x8000) >> 16);
  }
}

}  // namespace

std::string PromptAudio::Format::Describe() const {
  std::string name;
  switch (m_FormatTag) {
    case kFormatPcm:
      name = "PCM";
      break;
    case kFormatFloat:
      name = "float";
      break;
    case kFormatALaw:
      name = "A-law";
      break;
    case kFormatMuLaw:
      name = "mu-law";
      break;
    default: {
      char code[24];
      snprintf(code, sizeof(code), "format 0x%04X", m_FormatTag);
      name = code;
    }
  }
  if (m_Extensible) name = "extensible " + name;
  return name + ", " + std::to_string(m_Channels) +
         (m_Channels == 1 ? " channel, " : " channels, ") + std::to_string(m_SamplingRate) +
         " Hz, " + std::to_string(m_BitsPerSample) + " bits";
}

bool PromptAudio::ReadImage(const char* image, size_t size, Format& format, const char*& data,
                            size_t& length, std::string& problem) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(image);
  if (size < 12 || memcmp(bytes, "RIFF", 4) != 0 || memcmp(bytes + 8, "WAVE", 4) != 0) {
    problem = "not a RIFF WAVE file";
    return false;
  }
  const unsigned char* fmt = nullptr;
  uint64_t fmt_size = 0;
  data = nullptr;
  length = 0;
  for (uint64_t pos = 12; pos + kChunkHeaderSize <= size && (!fmt || !data);) {
    const unsigned char* chunk = bytes + pos;
    const uint64_t claimed = GetUint32(chunk + 4);
    const uint64_t held = std::min<uint64_t>(claimed, size - pos - kChunkHeaderSize);
    if (!fmt && memcmp(chunk, "fmt ", 4) == 0) {
      fmt = chunk + kChunkHeaderSize;
      // A chunk claiming more than the image holds is cut short.
      fmt_size = claimed <= held ? claimed : 0;
    } else if (!data && memcmp(chunk, "data", 4) == 0) {
      data = image + pos + kChunkHeaderSize;
      length = static_cast<size_t>(held);
    }
    pos += kChunkHeaderSize + claimed + (claimed & 1);  // chunks are padded to even sizes
  }
  if (!fmt) {
    problem = "no fmt chunk";
    return false;
  }
  if (fmt_size < kFormatSize) {
    problem = "fmt chunk cut short";
    return false;
  }
  format = Format();
  format.m_FormatTag = GetUint16(fmt);
  format.m_Channels = GetUint16(fmt + 2);
  format.m_SamplingRate = GetUint32(fmt + 4);
  format.m_BlockAlign = GetUint16(fmt + 12);
  format.m_BitsPerSample = GetUint16(fmt + 14);
  if (format.m_FormatTag == kFormatExtensible) {
    if (fmt_size < kExtensibleFormatSize || GetUint16(fmt + 16) < kExtensibleFormatSize - 18) {
      problem = "fmt chunk cut short";
      return false;
    }
    format.m_Extensible = true;
    if (memcmp(fmt + 26, kSubFormatTail, sizeof(kSubFormatTail)) == 0) {
      format.m_FormatTag = GetUint16(fmt + 24);
    }
  }
  if (!data) {
    problem = "no data chunk";
    return false;
  }
  return true;
}

bool PromptAudio::CheckFormat(const Format& format, std::string& problem) {
  const char* reason = nullptr;
  unsigned bits = format.m_BitsPerSample;
  switch (format.m_FormatTag) {
    case kFormatPcm:
      if (bits != 8 && bits != 16 && bits != 24 && bits != 32) reason = "unsupported sample size";
      break;
    case kFormatFloat:
      if (bits != 32 && bits != 64) reason = "unsupported sample size";
      break;
    case kFormatALaw:
    case kFormatMuLaw:
      if (bits != 8) reason = "unsupported sample size";
      break;
    default:
      reason = "unsupported format";
  }
  if (!reason && (format.m_Channels == 0 || format.m_Channels > kMaxChannels)) {
    reason = "unsupported channel count";
  }
  if (!reason && std::find(std::begin(kSamplingRates), std::end(kSamplingRates),
                           format.m_SamplingRate) == std::end(kSamplingRates)) {
    reason = "unsupported sampling rate";
  }
  if (!reason && format.m_BlockAlign != format.m_Channels * bits / 8) {
    reason = "block align does not match";
  }
  if (!reason) return true;
  problem = format.Describe() + ", block align " + std::to_string(format.m_BlockAlign) + " (" +
            reason + ")";
  return false;
}

void PromptAudio::Decode(const Format& format, const char* data, size_t length,
                         std::vector<int16_t>& samples) {
  const unsigned channels = format.m_Channels;
  const unsigned width = format.m_BlockAlign / channels;
  const size_t blocks = length / format.m_BlockAlign;
  const unsigned char* in = reinterpret_cast<const unsigned char*>(data);
  samples.resize(blocks);
  for (size_t i = 0; i < blocks; ++i) {
    int32_t sum = 0;
    for (unsigned c = 0; c < channels; ++c, in += width) sum += ReadSample(format, in);
    samples[i] = static_cast<int16_t>(sum / static_cast<int32_t>(channels));
  }
}

bool PromptAudio::Resample(std::vector<int16_t>& samples, unsigned from_rate, unsigned to_rate,
                           std::string& problem) {
  if (from_rate == to_rate || samples.empty()) return true;
  std::vector<int16_t> out(
      static_cast<size_t>(std::ceil(static_cast<double>(samples.size()) * to_rate / from_rate)) +
      16);
  soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
  io.flags |= SOXR_NO_DITHER;
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);  // no threads of its own
  size_t done = 0;
  soxr_error_t error = soxr_oneshot(from_rate, to_rate, 1, samples.data(), samples.size(), nullptr,
                                    out.data(), out.size(), &done, &io, &quality, &runtime);
  if (error) {
    problem = error;
    return false;
  }
  out.resize(done);
  samples.swap(out);
  return true;
}

bool PromptAudio::Convert(const Format& format, const char* data, size_t length, unsigned rate,
                          std::vector<char>& audio, std::string& problem) {
  if (format.m_FormatTag == kFormatPcm && format.m_BitsPerSample == 16 && format.m_Channels == 1 &&
      format.m_SamplingRate == rate) {
    audio.assign(data, data + (length & ~static_cast<size_t>(1)));
    return true;
  }
  std::vector<int16_t> samples;
  Decode(format, data, length, samples);
  if (!Resample(samples, format.m_SamplingRate, rate, problem)) return false;
  audio.resize(samples.size() * 2);
  for (size_t i = 0; i < samples.size(); ++i) {
    const uint16_t value = static_cast<uint16_t>(samples[i]);
    audio[2 * i] = static_cast<char>(value & 0xFF);
    audio[2 * i + 1] = static_cast<char>(value >> 8);
  }
  return true;
}

bool PromptAudio::LoadFile(const std::string& path, unsigned rate, std::vector<char>& audio,
                           apr_pool_t* pool) {
  std::vector<char> image;
  if (!ReadFile(path, image, pool)) return false;
  Format format;
  const char* data = nullptr;
  size_t length = 0;
  std::string problem;
  if (!ReadImage(image.data(), image.size(), format, data, length, problem) ||
      !CheckFormat(format, problem)) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unsupported Audio Format in %s: %s",
            path.c_str(), problem.c_str());
    return false;
  }
  bool converted = false;
  try {
    converted = Convert(format, data, length, rate, audio, problem);
  } catch (const std::bad_alloc&) {
    problem = "out of memory";
  }
  if (!converted) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Convert Audio of %s: %s",
            path.c_str(), problem.c_str());
    return false;
  }
  if (format.m_FormatTag != kFormatPcm || format.m_BitsPerSample != 16 || format.m_Channels != 1 ||
      format.m_SamplingRate != rate) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Converted Audio of %s: %s to %u Hz",
            path.c_str(), format.Describe().c_str(), rate);
  }
  return true;
}

bool PromptAudio::ReadFile(const std::string& path, std::vector<char>& image, apr_pool_t* pool) {
  apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Open Waveform File for Reading %s",
          path.c_str());
  ScratchPool scratch(pool);
  if (!scratch.Get()) return false;
  AprFile guard;
  if (apr_file_open(guard.Out(), path.c_str(), APR_FOPEN_READ | APR_FOPEN_BINARY, APR_OS_DEFAULT,
                    scratch.Get()) != APR_SUCCESS) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Cannot Open Waveform File for Reading %s",
            path.c_str());
    return false;
  }
  apr_file_t* file = guard.Get();
  apr_finfo_t info;
  apr_size_t bytes_read = 0;
  apr_status_t status = apr_file_info_get(&info, APR_FINFO_SIZE, file);
  if (status == APR_SUCCESS) {
    try {
      image.resize(static_cast<size_t>(info.size));
    } catch (const std::bad_alloc&) {
      status = APR_ENOMEM;
    }
  }
  if (status == APR_SUCCESS && !image.empty()) {
    status = apr_file_read_full(file, image.data(), image.size(), &bytes_read);
  }
  guard.Close();
  if (status != APR_SUCCESS && status != APR_EOF) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
            "Failed to Read Waveform Data %s length [%d]", path.c_str(),
            static_cast<int>(bytes_read));
    return false;
  }
  image.resize(bytes_read);  // a file that shrank while it was read
  return true;
}

int16_t PromptAudio::ExpandMuLaw(uint8_t code) {
  // G.711: the complemented code holds sign, a 3-bit segment and a 4-bit
  // step; the magnitude is ((step << 3) + 0x84) << segment, less the bias.
  code = static_cast<uint8_t>(~code);
  int magnitude = (((code & 0x0F) << 3) + 0x84) << ((code & 0x70) >> 4);
  return static_cast<int16_t>((code & 0x80) ? 0x84 - magnitude : magnitude - 0x84);
}

int16_t PromptAudio::ExpandALaw(uint8_t code) {
  // G.711: even bits inverted; segment 0 is linear, the others double.
  code ^= 0x55;
  int magnitude = (code & 0x0F) << 4;
  const int segment = (code & 0x70) >> 4;
  if (segment == 0) {
    magnitude += 8;
  } else {
    magnitude = (magnitude + 0x108) << (segment - 1);
  }
  return static_cast<int16_t>((code & 0x80) ? magnitude : -magnitude);
}

}  // namespace VXS
