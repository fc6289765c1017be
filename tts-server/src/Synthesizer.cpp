#include "Synthesizer.h"

#include <soxr.h>

#include <algorithm>
#include <cctype>
#include <cmath>

#include "EspeakEngine.h"
#include "TestBytesVoice.h"

namespace VxTts {

const char Synthesizer::kTestVoiceName[] = "vx-test-tone";
const char Synthesizer::kTestBytesVoiceName[] = "vx-test-bytes";
const char Synthesizer::kStreamingBytesVoiceName[] = "en-US-Chirp3-HD-TestBytes";
const char Synthesizer::kStreamingEspeakVoiceName[] = "en-US-Chirp3-HD-Espeak";

namespace {

constexpr int kGenderMale = 1;    // SsmlVoiceGender::MALE
constexpr int kGenderFemale = 2;  // SsmlVoiceGender::FEMALE
constexpr char kFemaleVariant[] = "+f2";
constexpr double kTestToneAmplitude = 8192.0;  // -12 dBFS

struct Point {
  double x, y;
};

// Piecewise-linear interpolation through points sorted by x, clamped at both ends.
double Interpolate(const Point* points, size_t count, double x) {
  if (x <= points[0].x) return points[0].y;
  for (size_t i = 1; i < count; ++i) {
    if (x <= points[i].x) {
      const double t = (x - points[i - 1].x) / (points[i].x - points[i - 1].x);
      return points[i - 1].y + t * (points[i].y - points[i - 1].y);
    }
  }
  return points[count - 1].y;
}

// espeak-ng's pitch setting against the shift it gives, in semitones
// (measured on the en-US voice: 69 Hz at 0, 102 Hz at 50, 171 Hz at 100).
constexpr Point kPitchBySemitones[] = {{-6.8, 0}, {-3.5, 25}, {0.0, 50}, {4.45, 75}, {8.85, 100}};
// espeak-ng's rate (words per minute) against the speed it gives relative
// to the normal 175 wpm (measured: the scale is not linear).
constexpr Point kWpmBySpeed[] = {{0.476, 80}, {1.0, 175},  {2.4, 450},
                                 {3.21, 600}, {4.29, 800}, {5.40, 1000}};
// Below 80 wpm, longer word gaps slow speech down further: one gap unit adds
// about 32 ms per word at 80 wpm, and a word lasts about 276 ms at normal speed.
constexpr double kMinSpeed = 0.476;
constexpr double kGapUnitMs = 32.0;
constexpr double kWordMsAtNormal = 276.0;

// How one request's prosody is split between espeak-ng and the resampler:
// espeak-ng's pitch covers about -7..+9 semitones; the rest is a change of
// playback rate (pitch and tempo together), which espeak-ng's speed setting
// compensates so that the duration still follows speaking_rate.
struct EspeakPlan {
  EspeakSettings settings;
  double playback_factor = 1.0;
};

EspeakPlan PlanProsody(const Prosody& prosody) {
  EspeakPlan plan;
  const double lo = kPitchBySemitones[0].x;
  const double hi = kPitchBySemitones[std::size(kPitchBySemitones) - 1].x;
  const double espeak_semitones = std::clamp(prosody.pitch_semitones, lo, hi);
  plan.settings.pitch = static_cast<int>(
      std::lround(Interpolate(kPitchBySemitones, std::size(kPitchBySemitones), espeak_semitones)));
  plan.playback_factor = std::pow(2.0, (prosody.pitch_semitones - espeak_semitones) / 12.0);

  const double speed = prosody.speaking_rate / plan.playback_factor;
  if (speed >= kMinSpeed) {
    plan.settings.rate_wpm =
        static_cast<int>(std::lround(Interpolate(kWpmBySpeed, std::size(kWpmBySpeed), speed)));
  } else {
    plan.settings.rate_wpm = static_cast<int>(kWpmBySpeed[0].y);
    const double extra_ms = kWordMsAtNormal * (1.0 / speed - 1.0 / kMinSpeed);
    plan.settings.word_gap = static_cast<int>(std::lround(extra_ms / kGapUnitMs));
  }
  return plan;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string PrimaryLanguage(const std::string& tag) { return Lower(tag.substr(0, tag.find('-'))); }

void MakeTone(size_t bytes, int sample_rate, std::vector<int16_t>* pcm) {
  const size_t samples =
      bytes * static_cast<size_t>(sample_rate) * Synthesizer::kTestMsPerByte / 1000;
  pcm->resize(samples);
  const double step = 2.0 * M_PI * Synthesizer::kTestToneHz / sample_rate;
  for (size_t i = 0; i < samples; ++i) {
    (*pcm)[i] = static_cast<int16_t>(std::lround(kTestToneAmplitude * std::sin(step * i)));
  }
}

}  // namespace

std::string Synthesizer::CanonicalLanguage(const std::string& tag) {
  std::string out;
  size_t start = 0;
  bool first = true, private_use = false;
  while (start <= tag.size()) {
    size_t end = tag.find_first_of("-_", start);
    if (end == std::string::npos) end = tag.size();
    std::string sub = Lower(tag.substr(start, end - start));
    if (!first && !private_use) {
      if (sub == "x") {
        private_use = true;
      } else if (sub.size() == 2 && std::isalpha(static_cast<unsigned char>(sub[0]))) {
        for (char& c : sub) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      } else if (sub.size() == 4 && std::isalpha(static_cast<unsigned char>(sub[0]))) {
        sub[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(sub[0])));
      }
    }
    if (!first) out += '-';
    out += sub;
    first = false;
    start = end + 1;
  }
  return out;
}

bool Synthesizer::LanguageMatches(const std::string& filter, const std::string& code) {
  const std::string f = Lower(CanonicalLanguage(filter));
  const std::string c = Lower(code);
  if (f.empty()) return true;
  if (c.compare(0, f.size(), f) == 0 && (c.size() == f.size() || c[f.size()] == '-')) return true;
  // Norwegian: "no" covers Bokmål voices as well.
  return f == "no" && (c == "nb" || c.compare(0, 3, "nb-") == 0);
}

void Synthesizer::Init(std::string* warning) {
  m_Voices.clear();
  VoiceInfo tone;
  tone.name = kTestVoiceName;
  tone.language_codes = {"en-US"};
  tone.language_priority = {0};
  tone.gender = 3;  // NEUTRAL
  tone.natural_sample_rate = kTestVoiceRate;
  tone.kind = VoiceInfo::Kind::kTestTone;
  tone.streaming = true;
  m_Voices.push_back(tone);
  VoiceInfo bytes = tone;
  bytes.name = kTestBytesVoiceName;
  bytes.kind = VoiceInfo::Kind::kTestBytes;
  m_Voices.push_back(bytes);
  bytes.name = kStreamingBytesVoiceName;
  m_Voices.push_back(bytes);

  std::string error;
  if (!EspeakEngine::Initialize(&error)) {
    if (warning != nullptr) *warning = error + "; only " + kTestVoiceName + " is available";
    return;
  }
  for (const EspeakVoice& ev : EspeakEngine::ListVoices()) {
    if (ev.identifier.compare(0, 3, "mb/") == 0) continue;  // MBROLA voices need extra data
    VoiceInfo voice;
    voice.name = "espeak-" + Lower(ev.identifier.substr(ev.identifier.rfind('/') + 1));
    for (const auto& [tag, priority] : ev.languages) {
      voice.language_codes.push_back(CanonicalLanguage(tag));
      voice.language_priority.push_back(priority);
    }
    voice.natural_sample_rate = EspeakEngine::kSampleRate;
    voice.kind = VoiceInfo::Kind::kEspeak;
    voice.gender = kGenderMale;
    voice.espeak_voice = ev.identifier;
    VoiceInfo female = voice;
    female.name += "-female";
    female.gender = kGenderFemale;
    female.espeak_voice += kFemaleVariant;
    if (voice.name == "espeak-en-us") {
      VoiceInfo twin = voice;
      twin.name = kStreamingEspeakVoiceName;
      twin.language_codes = {"en-US"};
      twin.language_priority = {0};
      twin.streaming = true;
      m_Voices.push_back(std::move(twin));
    }
    m_Voices.push_back(std::move(voice));
    m_Voices.push_back(std::move(female));
  }
}

const VoiceInfo* Synthesizer::FindByName(const std::string& name) const {
  for (const VoiceInfo& v : m_Voices) {
    if (v.name == name) return &v;
  }
  return nullptr;
}

const VoiceInfo* Synthesizer::SelectByLanguage(const std::string& language_code, int gender) const {
  const std::string wanted = Lower(CanonicalLanguage(language_code));
  if (wanted.empty()) return nullptr;
  const VoiceInfo* best = nullptr;
  long best_score = 0;
  // An exact tag ranks first, then a voice of the bare primary language,
  // then another region of it; within a rank the preferred gender wins, then
  // espeak-ng's own priority, then the earlier voice.
  for (const VoiceInfo& v : m_Voices) {
    // The streaming twin is chosen only by its name.
    if (v.kind != VoiceInfo::Kind::kEspeak || v.streaming) continue;
    for (size_t i = 0; i < v.language_codes.size(); ++i) {
      const std::string code = Lower(v.language_codes[i]);
      long score;
      if (code == wanted) {
        score = 0;
      } else if (PrimaryLanguage(code) == PrimaryLanguage(wanted) &&
                 code.find('-') == std::string::npos) {
        score = 100000;
      } else if (PrimaryLanguage(code) == PrimaryLanguage(wanted)) {
        score = 200000;
      } else {
        continue;
      }
      score += v.language_priority[i] * 10;
      if (gender != 0 && v.gender != gender) score += 1000;
      if (best == nullptr || score < best_score) {
        best = &v;
        best_score = score;
      }
    }
  }
  return best;
}

bool Synthesizer::Synthesize(const VoiceInfo& voice, const std::string& input, bool ssml,
                             const Prosody& prosody, int sample_rate, std::vector<int16_t>* pcm,
                             std::string* error) const {
  if (voice.kind == VoiceInfo::Kind::kTestTone) {
    MakeTone(input.size(), sample_rate, pcm);
    return true;
  }
  if (voice.kind == VoiceInfo::Kind::kTestBytes) {
    MakeTestBytes(input, sample_rate, pcm);
    return true;
  }
  const EspeakPlan plan = PlanProsody(prosody);
  std::vector<int16_t> raw;
  if (!EspeakEngine::Synthesize(voice.espeak_voice, input, ssml, plan.settings, &raw, error))
    return false;
  const double in_rate = EspeakEngine::kSampleRate * plan.playback_factor;
  if (std::fabs(in_rate - sample_rate) < 1e-6) {
    *pcm = std::move(raw);
  } else if (!ResamplePcm(raw, in_rate, sample_rate, pcm, error)) {
    return false;
  }
  ApplyGainDb(prosody.volume_gain_db, pcm);
  return true;
}

bool ResamplePcm(const std::vector<int16_t>& in, double in_rate, int out_rate,
                 std::vector<int16_t>* out, std::string* error) {
  out->clear();
  if (in.empty()) return true;
  const size_t capacity =
      static_cast<size_t>(std::ceil(static_cast<double>(in.size()) * out_rate / in_rate)) + 16;
  out->resize(capacity);
  const soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  size_t done = 0;
  const soxr_error_t err = soxr_oneshot(in_rate, out_rate, 1, in.data(), in.size(), nullptr,
                                        out->data(), out->size(), &done, &io, &quality, nullptr);
  if (err != nullptr) {
    *error = std::string("resampling failed: ") + err;
    out->clear();
    return false;
  }
  out->resize(done);
  return true;
}

void ApplyGainDb(double gain_db, std::vector<int16_t>* pcm) {
  if (gain_db == 0.0) return;
  const double factor = std::pow(10.0, gain_db / 20.0);
  for (int16_t& s : *pcm) {
    const double v = std::round(s * factor);
    s = static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0));
  }
}

}  // namespace VxTts
