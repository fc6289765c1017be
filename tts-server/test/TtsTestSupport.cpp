#include "TtsTestSupport.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace VxTtsTest {
namespace tts = google::cloud::texttospeech::v1;

namespace {

uint16_t U16(const std::string& b, size_t at) {
  return static_cast<uint16_t>(static_cast<unsigned char>(b[at]) |
                               (static_cast<unsigned char>(b[at + 1]) << 8));
}

uint32_t U32(const std::string& b, size_t at) {
  return static_cast<uint32_t>(U16(b, at)) | (static_cast<uint32_t>(U16(b, at + 2)) << 16);
}

}  // namespace

bool ParseWave(const std::string& bytes, WaveInfo* info, std::string* error) {
  *info = WaveInfo();
  if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0) {
    *error = "no RIFF/WAVE preamble";
    return false;
  }
  info->riff_size = U32(bytes, 4);
  if (info->riff_size + 8ull != bytes.size()) {
    *error = "RIFF size " + std::to_string(info->riff_size) + " does not match " +
             std::to_string(bytes.size()) + " bytes";
    return false;
  }
  bool have_fmt = false;
  size_t at = 12;
  while (at + 8 <= bytes.size()) {
    const std::string id = bytes.substr(at, 4);
    const uint32_t size = U32(bytes, at + 4);
    info->chunk_ids.push_back(id);
    if (at + 8 + size > bytes.size()) {
      *error = "chunk " + id + " runs past the end";
      return false;
    }
    if (id == "fmt ") {
      if (size < 16) {
        *error = "fmt chunk too short";
        return false;
      }
      info->format = U16(bytes, at + 8);
      info->channels = U16(bytes, at + 10);
      info->sample_rate = U32(bytes, at + 12);
      info->byte_rate = U32(bytes, at + 16);
      info->block_align = U16(bytes, at + 20);
      info->bits = U16(bytes, at + 22);
      have_fmt = true;
    } else if (id == "data") {
      if (!have_fmt) {
        *error = "data before fmt";
        return false;
      }
      info->data_offset = at + 8;
      info->data_size = size;
      return true;
    }
    at += 8 + size + (size & 1);
  }
  *error = "no data chunk";
  return false;
}

std::vector<int16_t> Pcm16(const std::string& bytes, size_t offset) {
  std::vector<int16_t> pcm;
  for (size_t i = offset; i + 1 < bytes.size(); i += 2) {
    pcm.push_back(static_cast<int16_t>(U16(bytes, i)));
  }
  return pcm;
}

double Rms(const std::vector<int16_t>& pcm) {
  if (pcm.empty()) return 0;
  double sum = 0;
  for (int16_t s : pcm) sum += static_cast<double>(s) * s;
  return std::sqrt(sum / pcm.size());
}

double MedianPitchHz(const std::vector<int16_t>& pcm, int sample_rate) {
  // Normalised autocorrelation per 80 ms frame of the louder (voiced)
  // frames; the first lag whose correlation comes close to the best one is
  // the period, so that multiples of it do not win by a hair.
  const size_t frame = static_cast<size_t>(sample_rate) * 80 / 1000;
  const int min_lag = sample_rate / 600, max_lag = sample_rate / 30;
  const double rms_all = Rms(pcm);
  std::vector<double> pitches, corr(max_lag + 2);
  for (size_t start = 0; start + frame + max_lag + 1 < pcm.size(); start += frame / 2) {
    double energy = 0;
    for (size_t k = 0; k < frame; ++k) energy += double(pcm[start + k]) * pcm[start + k];
    if (std::sqrt(energy / frame) < rms_all) continue;
    double best = 0;
    for (int lag = min_lag; lag <= max_lag + 1; ++lag) {
      double c = 0, e2 = 0;
      for (size_t k = 0; k < frame; ++k) {
        c += double(pcm[start + k]) * pcm[start + k + lag];
        e2 += double(pcm[start + k + lag]) * pcm[start + k + lag];
      }
      corr[lag] = e2 > 0 ? c / std::sqrt(energy * e2) : 0;
      if (lag <= max_lag) best = std::max(best, corr[lag]);
    }
    if (best < 0.5) continue;  // not periodic enough
    for (int lag = min_lag + 1; lag <= max_lag; ++lag) {
      if (corr[lag] >= 0.9 * best && corr[lag] >= corr[lag - 1] && corr[lag] >= corr[lag + 1]) {
        pitches.push_back(double(sample_rate) / lag);
        break;
      }
    }
  }
  if (pitches.empty()) return 0;
  std::nth_element(pitches.begin(), pitches.begin() + pitches.size() / 2, pitches.end());
  return pitches[pitches.size() / 2];
}

tts::SynthesizeSpeechRequest MakeRequest(const std::string& text, const std::string& voice_name,
                                         tts::AudioEncoding encoding, int sample_rate) {
  tts::SynthesizeSpeechRequest request;
  request.mutable_input()->set_text(text);
  request.mutable_voice()->set_language_code("en-US");
  request.mutable_voice()->set_name(voice_name);
  request.mutable_audio_config()->set_audio_encoding(encoding);
  request.mutable_audio_config()->set_sample_rate_hertz(sample_rate);
  return request;
}

ScratchDir::ScratchDir() {
  char pattern[] = "/tmp/vx-tts-test-XXXXXX";
  const char* made = mkdtemp(pattern);
  m_Path = made != nullptr ? made : "/tmp";
}

ScratchDir::~ScratchDir() {
  if (m_Path != "/tmp") {
    std::error_code ec;
    std::filesystem::remove_all(m_Path, ec);
  }
}

bool WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
  return static_cast<bool>(out);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

int Run(const std::string& command) {
  const int status = std::system(("(" + command + ") >/dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace VxTtsTest
