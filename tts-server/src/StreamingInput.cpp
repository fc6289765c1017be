#include "StreamingInput.h"

#include <cmath>
#include <cstdio>

#include "AudioEncoding.h"
#include "RequestCheck.h"

namespace VxTts {
namespace tts = google::cloud::texttospeech::v1;

namespace {

// The legacy answer of a stream without streaming_audio_config.
constexpr int kDefaultStreamRate = 24000;

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

// Length of an ideographic sentence end at text[i] (U+3002, U+FF01, U+FF1F
// in UTF-8), or 0.
size_t IdeographicEnd(const std::string& text, size_t i) {
  if (i + 3 > text.size()) return 0;
  const auto b = [&](size_t k) { return static_cast<unsigned char>(text[i + k]); };
  if (b(0) == 0xE3 && b(1) == 0x80 && b(2) == 0x82) return 3;
  if (b(0) == 0xEF && b(1) == 0xBC && (b(2) == 0x81 || b(2) == 0x9F)) return 3;
  return 0;
}

}  // namespace

bool CheckStreamingConfig(const tts::StreamingSynthesizeConfig& config,
                          const Synthesizer& synthesizer, CheckedStream* checked,
                          std::string* error) {
  const tts::VoiceSelectionParams& voice = config.voice();
  if (!ResolveVoice(voice, synthesizer, &checked->voice, error)) return false;
  if (!checked->voice->streaming) {
    *error = "voice '" + checked->voice->name + "' does not support streaming synthesis";
    return false;
  }
  if (!config.has_streaming_audio_config()) {
    checked->encoding = tts::PCM;
    checked->sample_rate = kDefaultStreamRate;
    return true;
  }
  const tts::StreamingAudioConfig& audio = config.streaming_audio_config();
  switch (audio.audio_encoding()) {
    case tts::PCM:
    case tts::MULAW:
    case tts::ALAW:
      checked->encoding = audio.audio_encoding();
      break;
    case tts::OGG_OPUS:
      *error =
          "streaming_audio_config.audio_encoding OGG_OPUS is not supported by this service "
          "(use PCM, MULAW or ALAW)";
      return false;
    default:
      *error = "streaming_audio_config.audio_encoding must be PCM, ALAW, MULAW or OGG_OPUS";
      return false;
  }
  checked->sample_rate = audio.sample_rate_hertz();
  if (checked->sample_rate == 0) {
    checked->sample_rate = checked->voice->natural_sample_rate;
  } else if (!IsSupportedSampleRate(checked->sample_rate)) {
    *error = "streaming_audio_config.sample_rate_hertz " + std::to_string(checked->sample_rate) +
             " is not supported (use 8000, 16000, 22050, 24000, 44100 or 48000)";
    return false;
  }
  const double rate = audio.speaking_rate() == 0.0 ? 1.0 : audio.speaking_rate();
  if (!std::isfinite(rate) || rate < 0.25 || rate > 2.0) {
    char shown[32];
    snprintf(shown, sizeof(shown), "%g", audio.speaking_rate());
    *error =
        std::string("streaming_audio_config.speaking_rate ") + shown + " is outside [0.25, 2.0]";
    return false;
  }
  checked->prosody.speaking_rate = rate;
  return true;
}

std::string EncodeStreamAudio(const std::vector<int16_t>& pcm, tts::AudioEncoding encoding) {
  std::string out;
  if (encoding == tts::MULAW || encoding == tts::ALAW) {
    out.reserve(pcm.size());
    for (int16_t s : pcm) {
      out.push_back(static_cast<char>(encoding == tts::MULAW ? LinearToMulaw(s) : LinearToAlaw(s)));
    }
    return out;
  }
  out.reserve(pcm.size() * 2);
  for (int16_t s : pcm) {
    const uint16_t v = static_cast<uint16_t>(s);
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>(v >> 8));
  }
  return out;
}

bool SentenceCutter::Next(std::string* sentence) {
  for (size_t i = 0; i < m_Pending.size(); ++i) {
    size_t end = 0;
    const char c = m_Pending[i];
    if (c == '.' || c == '!' || c == '?') {
      if (i + 1 < m_Pending.size() && IsSpace(m_Pending[i + 1])) end = i + 1;
    } else if (const size_t n = IdeographicEnd(m_Pending, i)) {
      end = i + n;
    }
    if (end == 0) continue;
    while (end < m_Pending.size() && IsSpace(m_Pending[end])) ++end;
    *sentence = m_Pending.substr(0, end);
    m_Pending.erase(0, end);
    return true;
  }
  return false;
}

std::string SentenceCutter::Rest() {
  std::string rest;
  rest.swap(m_Pending);
  return rest;
}

}  // namespace VxTts
