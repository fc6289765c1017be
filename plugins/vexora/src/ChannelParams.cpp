// Parameter resolution of a SPEAK: configured defaults, then the standard
// MRCP headers, then Vendor-Specific-Parameters.
#include <string>

#include "Channel.h"
#include "ChannelLog.h"

namespace VXS {

namespace {

std::string ToString(const apt_str_t& str) {
  return str.buf ? std::string(str.buf, str.length) : std::string();
}

}  // namespace

int Channel::DetermineParams(mrcp_message_t* request, const SynthSettings& settings) {
  SpeakParams& params = m_Details.m_Params;
  if (apt_string_is_empty(&request->body)) return MRCP_STATUS_CODE_MISSING_PARAM;
  params.m_Content = ToString(request->body);

  params.m_Language = settings.m_Language;
  params.m_VoiceGender = settings.m_VoiceGender;
  params.m_VoiceName = settings.m_VoiceName;
  params.m_Prosody = settings.m_Prosody;
  params.m_EffectsProfile = settings.m_EffectsProfile;
  params.m_CustomVoiceModel = settings.m_CustomVoiceModel;
  params.m_Deadline = settings.m_Deadline;
  params.m_Reattempt = settings.m_Reattempt;
  params.m_Region = settings.m_Region;
  params.m_ServiceUri = settings.m_ServiceUri;
  params.m_CredentialsFile.clear();

  const mrcp_synth_header_t* synth_header = mrcp_resource_header_get(request);
  if (!synth_header) return MRCP_STATUS_CODE_METHOD_FAILED;
  if (mrcp_resource_header_property_check(request, SYNTHESIZER_HEADER_SPEECH_LANGUAGE)) {
    params.m_Language = ToString(synth_header->speech_language);
  }
  if (mrcp_resource_header_property_check(request, SYNTHESIZER_HEADER_PROSODY_RATE)) {
    params.m_Prosody.m_Rate = synth_header->prosody_param.rate;
  }
  if (mrcp_resource_header_property_check(request, SYNTHESIZER_HEADER_PROSODY_VOLUME)) {
    params.m_Prosody.m_Volume = synth_header->prosody_param.volume;
  }
  if (mrcp_resource_header_property_check(request, SYNTHESIZER_HEADER_VOICE_GENDER)) {
    params.m_VoiceGender = synth_header->voice_param.gender;
  }
  if (mrcp_resource_header_property_check(request, SYNTHESIZER_HEADER_VOICE_NAME)) {
    params.m_VoiceName = ToString(synth_header->voice_param.name);
  }

  const mrcp_generic_header_t* generic_header = mrcp_generic_header_get(request);
  if (!generic_header) {
    VXS_CHANNEL_LOG(APT_PRIO_WARNING, "Missing Content-Type");
    return MRCP_STATUS_CODE_MISSING_PARAM;
  }
  std::string content_type;
  if (mrcp_generic_header_property_check(request, GENERIC_HEADER_CONTENT_TYPE)) {
    content_type = ToString(generic_header->content_type);
  }
  if (mrcp_generic_header_property_check(request, GENERIC_HEADER_LOGGING_TAG)) {
    m_Details.m_LoggingTag = ToString(generic_header->logging_tag);
  }
  if (mrcp_generic_header_property_check(request, GENERIC_HEADER_CACHE_CONTROL)) {
    m_Details.m_Control.Parse(&generic_header->cache_control, request->pool);
  }
  if (mrcp_generic_header_property_check(request, GENERIC_HEADER_VENDOR_SPECIFIC_PARAMS)) {
    ParseVendorSpecificParameters(generic_header->vendor_specific_params, m_Details);
  }

  if (content_type.empty()) {
    VXS_CHANNEL_LOG(APT_PRIO_WARNING, "Missing Content-Type");
    return MRCP_STATUS_CODE_MISSING_PARAM;
  }
  std::string full_type = content_type;
  params.DetermineContentType(content_type);
  if (params.m_ContentType != SYNTH_CONTENT_TEXT && params.m_ContentType != SYNTH_CONTENT_SSML &&
      params.m_ContentType != SYNTH_CONTENT_URI_LIST) {
    VXS_CHANNEL_LOG(APT_PRIO_WARNING, "Unsupported Content Type [%s]", full_type.c_str());
    return MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE;
  }
  return MRCP_STATUS_CODE_SUCCESS;
}

bool Channel::ParseVendorSpecificParameters(apt_pair_arr_t* pairs,
                                            SdrManager::SynthesisDetails& details) {
  if (!pairs) return false;
  int count = apt_pair_array_size_get(pairs);
  for (int i = 0; i < count; ++i) {
    apt_pair_t* pair = apt_pair_array_get(pairs, i);
    if (!pair || apt_string_is_empty(&pair->name) || apt_string_is_empty(&pair->value)) continue;
    RemoveQuotes(&pair->value);
    SetSynthParameter(ToString(pair->name), ToString(pair->value), details);
  }
  return true;
}

bool Channel::SetSynthParameter(const std::string& name, const std::string& value,
                                SdrManager::SynthesisDetails& details) {
  SpeakParams& params = details.m_Params;
  if (name == "service-uri") {
    params.m_ServiceUri = value;
  } else if (name == "gapp-credentials-file") {
    params.m_CredentialsFile = value;
  } else if (name == "region") {
    params.m_Region = value;
  } else if (name == "effects-profile") {
    params.m_EffectsProfile = value;
  } else if (name == "custom-voice-model") {
    params.m_CustomVoiceModel = value;
  } else if (name == "voice-name") {
    params.m_VoiceName = value;
  } else if (name == "voice-gender") {
    if (!SynthSettings::ParseVoiceGender(value, params.m_VoiceGender)) {
      VXS_CHANNEL_LOG(APT_PRIO_WARNING, "Unknown Value [%s] of Parameter [%s]", value.c_str(),
                      name.c_str());
    }
  } else if (name == "logging-tag") {
    details.m_LoggingTag = value;
  } else {
    VXS_CHANNEL_LOG(APT_PRIO_WARNING, "Unknown Parameter [%s]", name.c_str());
  }
  return true;
}

}  // namespace VXS
