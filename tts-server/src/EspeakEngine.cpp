#include "EspeakEngine.h"

#include <espeak-ng/speak_lib.h>

#include <cstring>
#include <mutex>

namespace VxTts {
namespace {

// Guards every call into espeak-ng and the state below.
std::mutex& EspeakMutex() {
  static std::mutex mutex;
  return mutex;
}

bool g_Tried = false;     // guarded by EspeakMutex()
bool g_Ready = false;     // guarded by EspeakMutex()
std::string g_InitError;  // guarded by EspeakMutex()

int CollectSamples(short* wav, int count, espeak_EVENT* events) {
  // The user data of the synthesis is the caller's buffer; the event list
  // always has at least its terminating entry carrying it.
  auto* pcm = static_cast<std::vector<int16_t>*>(events != nullptr ? events->user_data : nullptr);
  if (wav != nullptr && count > 0 && pcm != nullptr) pcm->insert(pcm->end(), wav, wav + count);
  return 0;
}

bool InitializeLocked(std::string* error) {
  if (!g_Tried) {
    g_Tried = true;
    // DONT_EXIT: without it a missing data folder makes espeak-ng exit().
    const int rate =
        espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, nullptr, espeakINITIALIZE_DONT_EXIT);
    if (rate <= 0) {
      g_InitError = "espeak-ng failed to initialise (is espeak-ng-data installed?)";
    } else if (rate != EspeakEngine::kSampleRate) {
      g_InitError = "espeak-ng runs at " + std::to_string(rate) + " Hz, expected " +
                    std::to_string(EspeakEngine::kSampleRate);
    } else {
      espeak_SetSynthCallback(CollectSamples);
      g_Ready = true;
    }
  }
  if (!g_Ready && error != nullptr) *error = g_InitError;
  return g_Ready;
}

}  // namespace

bool EspeakEngine::Initialize(std::string* error) {
  std::lock_guard<std::mutex> lock(EspeakMutex());
  return InitializeLocked(error);
}

std::vector<EspeakVoice> EspeakEngine::ListVoices() {
  std::vector<EspeakVoice> voices;
  std::lock_guard<std::mutex> lock(EspeakMutex());
  if (!InitializeLocked(nullptr)) return voices;
  const espeak_VOICE** list = espeak_ListVoices(nullptr);
  for (; list != nullptr && *list != nullptr; ++list) {
    const espeak_VOICE* v = *list;
    EspeakVoice voice;
    voice.identifier = v->identifier != nullptr ? v->identifier : "";
    voice.name = v->name != nullptr ? v->name : "";
    voice.gender = v->gender;
    // languages: repeated (priority byte, NUL-terminated tag), ending with a 0 byte.
    for (const char* p = v->languages; p != nullptr && *p != 0;) {
      const int priority = static_cast<unsigned char>(*p);
      const char* tag = p + 1;
      voice.languages.emplace_back(tag, priority);
      p = tag + std::strlen(tag) + 1;
    }
    if (!voice.identifier.empty() && !voice.languages.empty()) voices.push_back(std::move(voice));
  }
  return voices;
}

bool EspeakEngine::Synthesize(const std::string& espeak_voice, const std::string& text, bool ssml,
                              const EspeakSettings& settings, std::vector<int16_t>* pcm,
                              std::string* error) {
  pcm->clear();
  std::lock_guard<std::mutex> lock(EspeakMutex());
  if (!InitializeLocked(error)) return false;
  if (espeak_SetVoiceByName(espeak_voice.c_str()) != EE_OK) {
    *error = "espeak-ng cannot load voice " + espeak_voice;
    return false;
  }
  espeak_SetParameter(espeakRATE, settings.rate_wpm, 0);
  espeak_SetParameter(espeakWORDGAP, settings.word_gap, 0);
  espeak_SetParameter(espeakPITCH, settings.pitch, 0);
  espeak_SetParameter(espeakVOLUME, 100, 0);
  unsigned flags = espeakCHARS_UTF8;
  if (ssml) flags |= espeakSSML;
  const espeak_ERROR rc =
      espeak_Synth(text.c_str(), text.size() + 1, 0, POS_CHARACTER, 0, flags, nullptr, pcm);
  if (rc != EE_OK) {
    *error = "espeak-ng synthesis failed (" + std::to_string(static_cast<int>(rc)) + ")";
    return false;
  }
  return true;
}

}  // namespace VxTts
