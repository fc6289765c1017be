#include "SynthRequest.h"

#include "Plugin.h"

namespace tts = google::cloud::texttospeech::v1;

namespace VXS {

// The channel's log lines end with "<channel-id@vxs>".
#define VXS_REQUEST_LOG(priority, format, ...)                                       \
  apt_log(VXS_PLUGIN, APT_LOG_MARK, priority, format " <%s@%s>", ##__VA_ARGS__, \
          channel_id, VXS_CHANNEL_MARK)

void ComposeSynthesizeSpeechRequest(const SynthSegment& segment, const SpeakParams& params,
                                    uint32_t sampling_rate, const char* channel_id,
                                    tts::SynthesizeSpeechRequest& request) {
  if (!channel_id) channel_id = "";
  if (segment.m_ContentType == SYNTH_CONTENT_TEXT) {
    request.mutable_input()->set_text(segment.m_Content);
  } else {
    request.mutable_input()->set_ssml(segment.m_Content);
  }
  tts::VoiceSelectionParams* voice = request.mutable_voice();
  voice->set_language_code(params.m_Language);
  if (!segment.m_VoiceName.empty()) {
    VXS_REQUEST_LOG(APT_PRIO_INFO, "Set Voice Name [%s]", segment.m_VoiceName.c_str());
    voice->set_name(segment.m_VoiceName);
  }
  tts::SsmlVoiceGender gender = tts::SSML_VOICE_GENDER_UNSPECIFIED;
  switch (segment.m_VoiceGender) {
    case VOICE_GENDER_MALE:
      gender = tts::MALE;
      break;
    case VOICE_GENDER_FEMALE:
      gender = tts::FEMALE;
      break;
    case VOICE_GENDER_NEUTRAL:
      gender = tts::NEUTRAL;
      break;
    default:
      break;
  }
  if (gender != tts::SSML_VOICE_GENDER_UNSPECIFIED) {
    VXS_REQUEST_LOG(APT_PRIO_INFO, "Set Voice Gender [%s]",
                    tts::SsmlVoiceGender_Name(gender).c_str());
    voice->set_ssml_gender(gender);
  }
  if (!params.m_CustomVoiceModel.empty()) {
    VXS_REQUEST_LOG(APT_PRIO_INFO, "Set Custom Voice Model [%s] real-time usage",
                    params.m_CustomVoiceModel.c_str());
    voice->mutable_custom_voice()->set_model(params.m_CustomVoiceModel);
    // The field is marked deprecated in the API but still read by the service.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    voice->mutable_custom_voice()->set_reported_usage(tts::CustomVoiceParams::REALTIME);
#pragma GCC diagnostic pop
  }
  tts::AudioConfig* audio = request.mutable_audio_config();
  audio->set_audio_encoding(tts::LINEAR16);
  audio->set_sample_rate_hertz(static_cast<int32_t>(sampling_rate));
  if (!params.m_EffectsProfile.empty()) {
    VXS_REQUEST_LOG(APT_PRIO_INFO, "Set Effects Profile [%s]", params.m_EffectsProfile.c_str());
    audio->add_effects_profile_id(params.m_EffectsProfile);
  }
  double value = 0;
  if (params.m_Prosody.m_Rate.type != PROSODY_RATE_TYPE_UNKNOWN &&
      GenerateProsodyRate(params.m_Prosody.m_Rate, value)) {
    VXS_REQUEST_LOG(APT_PRIO_INFO, "Set Speaking Rate [%.2f]", value);
    audio->set_speaking_rate(value);
  }
  if (params.m_Prosody.m_Volume.type != PROSODY_VOLUME_TYPE_UNKNOWN &&
      GenerateProsodyVolume(params.m_Prosody.m_Volume, value)) {
    VXS_REQUEST_LOG(APT_PRIO_INFO, "Set Volume Gain [%.2f]", value);
    audio->set_volume_gain_db(value);
  }
  if (!params.m_Prosody.m_Pitch.empty()) {
    float pitch = static_cast<float>(ParsePitch(params.m_Prosody.m_Pitch));
    VXS_REQUEST_LOG(APT_PRIO_INFO, "Set Pitch [%.2f]", pitch);
    audio->set_pitch(pitch);
  }
}

}  // namespace VXS
