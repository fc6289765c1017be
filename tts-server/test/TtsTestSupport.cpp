#include "TtsTestSupport.h"

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace VxTtsTest {
namespace tts = google::cloud::texttospeech::v1;

std::vector<int16_t> Pcm16(const std::string& bytes, size_t offset) {
  std::vector<int16_t> pcm;
  for (size_t i = offset; i + 1 < bytes.size(); i += 2) {
    pcm.push_back(static_cast<int16_t>(VxTts::GetLe16(bytes, i)));
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
