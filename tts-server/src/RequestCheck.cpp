#include "RequestCheck.h"

#include <apr_general.h>
#include <apr_pools.h>
#include <apr_xml.h>

#include <cmath>
#include <mutex>

namespace VxTts {
namespace tts = google::cloud::texttospeech::v1;

namespace {

constexpr int kSampleRates[] = {8000, 16000, 22050, 24000, 44100, 48000};

std::string Number(double v) {
  char buf[32];
  snprintf(buf, sizeof(buf), "%g", v);
  return buf;
}

bool InRange(double v, double lo, double hi) { return std::isfinite(v) && v >= lo && v <= hi; }

// APR is initialised once per process and never torn down: other parts of
// the process (the host kit) may use it too, and apr_initialize counts.
bool EnsureApr() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] { ok = apr_initialize() == APR_SUCCESS; });
  return ok;
}

// An APR pool of its own allocator, freed on scope exit.
class ScopedPool {
 public:
  ScopedPool() { apr_pool_create_unmanaged_ex(&m_Pool, nullptr, nullptr); }
  ~ScopedPool() {
    if (m_Pool != nullptr) apr_pool_destroy(m_Pool);
  }
  ScopedPool(const ScopedPool&) = delete;
  ScopedPool& operator=(const ScopedPool&) = delete;
  apr_pool_t* get() const { return m_Pool; }

 private:
  apr_pool_t* m_Pool = nullptr;
};

bool ResolveLayout(tts::AudioEncoding encoding, AudioLayout* layout, std::string* error) {
  switch (encoding) {
    case tts::LINEAR16:
      *layout = AudioLayout::kWaveLinear16;
      return true;
    case tts::PCM:
      *layout = AudioLayout::kRawLinear16;
      return true;
    case tts::MULAW:
      *layout = AudioLayout::kWaveMulaw;
      return true;
    case tts::ALAW:
      *layout = AudioLayout::kWaveAlaw;
      return true;
    case tts::AUDIO_ENCODING_UNSPECIFIED:
      *error = "audio_config.audio_encoding must be set";
      return false;
    case tts::MP3:
    case tts::OGG_OPUS:
    case tts::M4A:
      *error = "audio_config.audio_encoding " + tts::AudioEncoding_Name(encoding) +
               " is not supported by this service (use LINEAR16, PCM, MULAW or ALAW)";
      return false;
    default:
      *error = "audio_config.audio_encoding " + std::to_string(static_cast<int>(encoding)) +
               " is not a known encoding";
      return false;
  }
}

}  // namespace

bool IsSupportedSampleRate(int hertz) {
  for (int r : kSampleRates) {
    if (r == hertz) return true;
  }
  return false;
}

bool CheckSsml(const std::string& ssml, std::string* error) {
  if (!EnsureApr()) {
    *error = "cannot initialise the XML parser";
    return false;
  }
  ScopedPool pool;
  if (pool.get() == nullptr) {
    *error = "cannot initialise the XML parser";
    return false;
  }
  apr_xml_parser* parser = apr_xml_parser_create(pool.get());
  apr_xml_doc* doc = nullptr;
  apr_status_t rc = apr_xml_parser_feed(parser, ssml.data(), ssml.size());
  if (rc == APR_SUCCESS) rc = apr_xml_parser_done(parser, &doc);
  if (rc != APR_SUCCESS || doc == nullptr || doc->root == nullptr) {
    char buf[256] = "";
    apr_xml_parser_geterror(parser, buf, sizeof(buf));
    *error = std::string("input.ssml is not well-formed XML: ") + buf;
    return false;
  }
  if (std::string(doc->root->name) != "speak") {
    *error = std::string("input.ssml root element is <") + doc->root->name + ">, expected <speak>";
    return false;
  }
  return true;
}

bool ResolveVoice(const tts::VoiceSelectionParams& voice, const Synthesizer& synthesizer,
                  const VoiceInfo** resolved, std::string* error) {
  if (voice.has_custom_voice() || voice.has_voice_clone()) {
    *error = "voice.custom_voice and voice.voice_clone are not supported by this service";
    return false;
  }
  if (!voice.name().empty()) {
    *resolved = synthesizer.FindByName(voice.name());
    if (*resolved == nullptr) {
      *error = "voice.name '" + voice.name() + "' is not a known voice";
      return false;
    }
  } else if (voice.language_code().empty()) {
    *error = "voice.language_code must be set";
    return false;
  } else {
    *resolved = synthesizer.SelectByLanguage(voice.language_code(), voice.ssml_gender());
    if (*resolved == nullptr) {
      *error = "no voice for voice.language_code '" + voice.language_code() + "'";
      return false;
    }
  }
  return true;
}

bool CheckSynthesizeRequest(const tts::SynthesizeSpeechRequest& request,
                            const Synthesizer& synthesizer, CheckedRequest* checked,
                            std::string* error) {
  const tts::SynthesisInput& input = request.input();
  // 1. Exactly one input, within the size limit.
  switch (input.input_source_case()) {
    case tts::SynthesisInput::kText:
      checked->input = input.text();
      checked->ssml = false;
      break;
    case tts::SynthesisInput::kSsml:
      checked->input = input.ssml();
      checked->ssml = true;
      break;
    case tts::SynthesisInput::kMarkup:
    case tts::SynthesisInput::kMultiSpeakerMarkup:
      *error = "input.markup and input.multi_speaker_markup are not supported by these voices";
      return false;
    case tts::SynthesisInput::INPUT_SOURCE_NOT_SET:
      break;
  }
  if (checked->input.empty()) {
    *error = "input has no text or ssml: exactly one input source must be set";
    return false;
  }
  if (checked->input.size() > kMaxInputBytes) {
    *error = "input is " + std::to_string(checked->input.size()) + " bytes, longer than the " +
             std::to_string(kMaxInputBytes) + "-byte limit";
    return false;
  }
  if (checked->ssml && !CheckSsml(checked->input, error)) return false;

  // 2. The voice.
  const tts::VoiceSelectionParams& voice = request.voice();
  if (!ResolveVoice(voice, synthesizer, &checked->voice, error)) return false;

  // 3. Output format and prosody.
  const tts::AudioConfig& audio = request.audio_config();
  if (!ResolveLayout(audio.audio_encoding(), &checked->layout, error)) return false;
  checked->sample_rate = audio.sample_rate_hertz();
  if (checked->sample_rate == 0) {
    checked->sample_rate = checked->voice->natural_sample_rate;
  } else if (!IsSupportedSampleRate(checked->sample_rate)) {
    *error = "audio_config.sample_rate_hertz " + std::to_string(checked->sample_rate) +
             " is not supported (use 8000, 16000, 22050, 24000, 44100 or 48000)";
    return false;
  }
  const double rate = audio.speaking_rate() == 0.0 ? 1.0 : audio.speaking_rate();
  if (!InRange(rate, 0.25, 2.0)) {
    *error =
        "audio_config.speaking_rate " + Number(audio.speaking_rate()) + " is outside [0.25, 2.0]";
    return false;
  }
  if (!InRange(audio.pitch(), -20.0, 20.0)) {
    *error = "audio_config.pitch " + Number(audio.pitch()) + " is outside [-20.0, 20.0]";
    return false;
  }
  if (!InRange(audio.volume_gain_db(), -96.0, 16.0)) {
    *error = "audio_config.volume_gain_db " + Number(audio.volume_gain_db()) +
             " is outside [-96.0, 16.0]";
    return false;
  }
  checked->prosody.speaking_rate = rate;
  checked->prosody.pitch_semitones = audio.pitch();
  checked->prosody.volume_gain_db = audio.volume_gain_db();
  return true;
}

}  // namespace VxTts
