// Parameter resolution of a SPEAK: configured defaults, then the standard
// MRCP headers, then Vendor-Specific-Parameters. About 400 lines: the three
// layers override each other field by field and are read side by side.
#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "Channel.h"
#include "ChannelLog.h"
#include "Engine.h"

namespace VXS {

namespace {

std::string ToString(const apt_str_t& str) {
  return str.buf ? std::string(str.buf, str.length) : std::string();
}

// The configured voice, language and prosody, the first layer of a SPEAK's
// parameters and what GET-PARAMS reports before SET-PARAMS.
void TakeVoiceDefaults(const SynthSettings& settings, SpeakParams& params) {
  params.m_Language = settings.m_Language;
  params.m_VoiceGender = settings.m_VoiceGender;
  params.m_VoiceName = settings.m_VoiceName;
  params.m_Prosody = settings.m_Prosody;
}

}  // namespace

int Channel::DetermineParams(mrcp_message_t* request, const SynthSettings& settings) {
  SpeakParams& params = m_Details.m_Params;
  if (apt_string_is_empty(&request->body)) return MRCP_STATUS_CODE_MISSING_PARAM;
  params.m_Content = ToString(request->body);

  TakeVoiceDefaults(settings, params);
  params.m_EffectsProfile = settings.m_EffectsProfile;
  params.m_CustomVoiceModel = settings.m_CustomVoiceModel;
  params.m_Deadline = settings.m_Deadline;
  params.m_Reattempt = settings.m_Reattempt;
  params.m_Region = settings.m_Region;
  params.m_ServiceUri = settings.m_ServiceUri;
  params.m_CredentialsFile.clear();

  ApplySessionParams(m_Details);

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

bool Channel::IsUsableSynthParameter(const std::string& name, const std::string& value) {
  static const char* const kNames[] = {"service-uri",        "gapp-credentials-file", "region",
                                       "effects-profile",    "custom-voice-model",    "voice-name",
                                       "voice-gender",       "logging-tag"};
  bool known = false;
  for (const char* known_name : kNames) known = known || name == known_name;
  if (!known || value.empty()) return false;
  mrcp_voice_gender_e gender = VOICE_GENDER_UNKNOWN;
  return name != "voice-gender" || SynthSettings::ParseVoiceGender(value, gender);
}

void Channel::ApplySessionParams(SdrManager::SynthesisDetails& details) {
  SpeakParams& params = details.m_Params;
  const SessionParams& session = m_SessionParams;
  if (session.m_Language) params.m_Language = *session.m_Language;
  if (session.m_VoiceGender) params.m_VoiceGender = *session.m_VoiceGender;
  if (session.m_VoiceName) params.m_VoiceName = *session.m_VoiceName;
  if (session.m_Rate) params.m_Prosody.m_Rate = *session.m_Rate;
  if (session.m_Volume) params.m_Prosody.m_Volume = *session.m_Volume;
  if (session.m_LoggingTag) details.m_LoggingTag = *session.m_LoggingTag;
  for (const auto& pair : session.m_Vendor) SetSynthParameter(pair.first, pair.second, details);
}

namespace {

// The headers a channel keeps as its defaults, by section.
const apr_size_t kSessionSynthHeaders[] = {
    SYNTHESIZER_HEADER_VOICE_NAME,     SYNTHESIZER_HEADER_VOICE_GENDER,
    SYNTHESIZER_HEADER_SPEECH_LANGUAGE, SYNTHESIZER_HEADER_PROSODY_RATE,
    SYNTHESIZER_HEADER_PROSODY_VOLUME, SYNTHESIZER_HEADER_KILL_ON_BARGE_IN};
const apr_size_t kSessionGenericHeaders[] = {GENERIC_HEADER_LOGGING_TAG,
                                             GENERIC_HEADER_VENDOR_SPECIFIC_PARAMS};
// Session parameters a client may set that the service has no use for
// (an age or variant of the voice, pitch contours, lexicons, fetch hints):
// taken without effect, and the request is answered 201, success with
// optional headers ignored. Any other header (a completion cause, a
// Failed-URI) is no parameter at all and is refused.
const apr_size_t kIgnoredSynthHeaders[] = {
    SYNTHESIZER_HEADER_JUMP_SIZE,        SYNTHESIZER_HEADER_SPEAKER_PROFILE,
    SYNTHESIZER_HEADER_VOICE_AGE,        SYNTHESIZER_HEADER_VOICE_VARIANT,
    SYNTHESIZER_HEADER_PROSODY_PITCH,    SYNTHESIZER_HEADER_PROSODY_CONTOUR,
    SYNTHESIZER_HEADER_PROSODY_RANGE,    SYNTHESIZER_HEADER_PROSODY_DURATION,
    SYNTHESIZER_HEADER_SPEECH_MARKER,    SYNTHESIZER_HEADER_FETCH_HINT,
    SYNTHESIZER_HEADER_AUDIO_FETCH_HINT, SYNTHESIZER_HEADER_LOAD_LEXICON,
    SYNTHESIZER_HEADER_LEXICON_SEARCH_ORDER};
const apr_size_t kIgnoredGenericHeaders[] = {
    GENERIC_HEADER_FETCH_TIMEOUT, GENERIC_HEADER_CACHE_CONTROL, GENERIC_HEADER_SET_COOKIE,
    GENERIC_HEADER_ACCEPT_CHARSET, GENERIC_HEADER_ACCEPT};

template <size_t N>
bool Contains(const apr_size_t (&ids)[N], apr_size_t id) {
  for (apr_size_t known : ids) {
    if (known == id) return true;
  }
  return false;
}

// Answers 403 and echoes the headers of request it names (bits of the
// synthesizer and generic sections), as the client sent them.
bool RefuseHeaders(const mrcp_message_t* request, mrcp_message_t* response,
                   const std::vector<apr_size_t>& synth_ids,
                   const std::vector<apr_size_t>& generic_ids) {
  response->start_line.status_code = MRCP_STATUS_CODE_UNSUPPORTED_PARAM;
  if (!synth_ids.empty() && request->synth_header && mrcp_resource_header_prepare(response)) {
    *response->synth_header = *request->synth_header;
    for (apr_size_t id : synth_ids) mrcp_resource_header_property_add(response, id);
  }
  if (!generic_ids.empty() && request->generic_header && mrcp_generic_header_prepare(response)) {
    *response->generic_header = *request->generic_header;
    for (apr_size_t id : generic_ids) mrcp_generic_header_property_add(response, id);
  }
  return false;
}

}  // namespace

bool Channel::SetParams(mrcp_message_t* request, mrcp_message_t* response) {
  // Every header is checked before any is taken: a refused SET-PARAMS
  // changes nothing.
  std::vector<apr_size_t> refused_synth;
  std::vector<apr_size_t> refused_generic;
  SessionParams session = m_SessionParams;
  const mrcp_synth_header_t* synth = mrcp_resource_header_get(request);
  bool ignored = false;
  for (apr_size_t id = 0; id < SYNTHESIZER_HEADER_COUNT; ++id) {
    if (!synth || !mrcp_resource_header_property_check(request, id)) continue;
    if (Contains(kIgnoredSynthHeaders, id)) {
      ignored = true;
      continue;
    }
    bool usable = Contains(kSessionSynthHeaders, id);
    double value = 0;
    switch (id) {
      case SYNTHESIZER_HEADER_KILL_ON_BARGE_IN:
        session.m_KillOnBargeIn = synth->kill_on_barge_in != FALSE;
        break;
      case SYNTHESIZER_HEADER_VOICE_NAME:
        usable = !apt_string_is_empty(&synth->voice_param.name);
        session.m_VoiceName = ToString(synth->voice_param.name);
        break;
      case SYNTHESIZER_HEADER_VOICE_GENDER:
        usable = synth->voice_param.gender < VOICE_GENDER_UNKNOWN;
        session.m_VoiceGender = synth->voice_param.gender;
        break;
      case SYNTHESIZER_HEADER_SPEECH_LANGUAGE:
        usable = !apt_string_is_empty(&synth->speech_language);
        session.m_Language = ToString(synth->speech_language);
        break;
      case SYNTHESIZER_HEADER_PROSODY_RATE:
        usable = GenerateProsodyRate(synth->prosody_param.rate, value);
        session.m_Rate = synth->prosody_param.rate;
        break;
      case SYNTHESIZER_HEADER_PROSODY_VOLUME:
        usable = GenerateProsodyVolume(synth->prosody_param.volume, value);
        session.m_Volume = synth->prosody_param.volume;
        break;
      default:
        break;
    }
    if (!usable) refused_synth.push_back(id);
  }
  const mrcp_generic_header_t* generic = mrcp_generic_header_get(request);
  for (apr_size_t id = 0; id < GENERIC_HEADER_COUNT; ++id) {
    if (!generic || !mrcp_generic_header_property_check(request, id)) continue;
    // A host may count an empty body.
    if (id == GENERIC_HEADER_CONTENT_LENGTH) continue;
    if (Contains(kIgnoredGenericHeaders, id)) {
      ignored = true;
      continue;
    }
    bool usable = Contains(kSessionGenericHeaders, id);
    if (id == GENERIC_HEADER_LOGGING_TAG) {
      session.m_LoggingTag = ToString(generic->logging_tag);
    } else if (id == GENERIC_HEADER_VENDOR_SPECIFIC_PARAMS) {
      const int count = generic->vendor_specific_params
                            ? apt_pair_array_size_get(generic->vendor_specific_params)
                            : 0;
      usable = count > 0;
      for (int i = 0; i < count; ++i) {
        apt_pair_t* pair = apt_pair_array_get(generic->vendor_specific_params, i);
        if (!pair) continue;
        RemoveQuotes(&pair->value);
        const std::string name = ToString(pair->name);
        const std::string text = ToString(pair->value);
        if (!IsUsableSynthParameter(name, text)) {
          usable = false;
          continue;
        }
        auto same = std::find_if(session.m_Vendor.begin(), session.m_Vendor.end(),
                                 [&](const auto& kept) { return kept.first == name; });
        if (same != session.m_Vendor.end()) {
          same->second = text;
        } else {
          session.m_Vendor.emplace_back(name, text);
        }
      }
    }
    if (!usable) refused_generic.push_back(id);
  }
  if (!refused_synth.empty() || !refused_generic.empty()) {
    VXS_CHANNEL_LOG(APT_PRIO_WARNING, "Refused SET-PARAMS [%d headers]",
                    static_cast<int>(refused_synth.size() + refused_generic.size()));
    return RefuseHeaders(request, response, refused_synth, refused_generic);
  }
  m_SessionParams = std::move(session);
  if (ignored) response->start_line.status_code = MRCP_STATUS_CODE_SUCCESS_WITH_IGNORE;
  return false;
}

bool Channel::GetParams(mrcp_message_t* request, mrcp_message_t* response) {
  // Named headers are answered with the channel's values; a GET-PARAMS that
  // names none asks for every one the channel keeps.
  std::vector<apr_size_t> synth_ids;
  std::vector<apr_size_t> generic_ids;
  std::vector<apr_size_t> refused_synth;
  std::vector<apr_size_t> refused_generic;
  bool ignored = false;
  for (apr_size_t id = 0; id < SYNTHESIZER_HEADER_COUNT; ++id) {
    if (!request->synth_header || !mrcp_resource_header_property_check(request, id)) continue;
    if (Contains(kIgnoredSynthHeaders, id)) {
      ignored = true;
      continue;
    }
    (Contains(kSessionSynthHeaders, id) ? synth_ids : refused_synth).push_back(id);
  }
  for (apr_size_t id = 0; id < GENERIC_HEADER_COUNT; ++id) {
    if (!request->generic_header || !mrcp_generic_header_property_check(request, id)) continue;
    if (id == GENERIC_HEADER_CONTENT_LENGTH) continue;
    if (Contains(kIgnoredGenericHeaders, id)) {
      ignored = true;
      continue;
    }
    (Contains(kSessionGenericHeaders, id) ? generic_ids : refused_generic).push_back(id);
  }
  if (!refused_synth.empty() || !refused_generic.empty()) {
    return RefuseHeaders(request, response, refused_synth, refused_generic);
  }
  if (ignored) response->start_line.status_code = MRCP_STATUS_CODE_SUCCESS_WITH_IGNORE;
  if (synth_ids.empty() && generic_ids.empty() && !ignored) {
    synth_ids.assign(std::begin(kSessionSynthHeaders), std::end(kSessionSynthHeaders));
    generic_ids.assign(std::begin(kSessionGenericHeaders), std::end(kSessionGenericHeaders));
  }
  // The values a SPEAK without headers of its own would take.
  SdrManager::SynthesisDetails values;
  const SynthSettings& settings = m_Engine->GetSynthSettings();
  SpeakParams& params = values.m_Params;
  TakeVoiceDefaults(settings, params);
  ApplySessionParams(values);

  apr_pool_t* pool = response->pool;
  mrcp_synth_header_t* synth = mrcp_resource_header_prepare(response);
  mrcp_generic_header_t* generic = mrcp_generic_header_prepare(response);
  if (!synth || !generic) return false;
  // A header the channel has no value for is left out of the answer.
  for (apr_size_t id : synth_ids) {
    bool has = true;
    switch (id) {
      case SYNTHESIZER_HEADER_VOICE_NAME:
        apt_string_assign(&synth->voice_param.name, params.m_VoiceName.c_str(), pool);
        has = !params.m_VoiceName.empty();
        break;
      case SYNTHESIZER_HEADER_VOICE_GENDER:
        synth->voice_param.gender = params.m_VoiceGender;
        has = params.m_VoiceGender < VOICE_GENDER_UNKNOWN;
        break;
      case SYNTHESIZER_HEADER_SPEECH_LANGUAGE:
        apt_string_assign(&synth->speech_language, params.m_Language.c_str(), pool);
        has = !params.m_Language.empty();
        break;
      case SYNTHESIZER_HEADER_PROSODY_RATE:
        synth->prosody_param.rate = params.m_Prosody.m_Rate;
        has = params.m_Prosody.m_Rate.type != PROSODY_RATE_TYPE_UNKNOWN;
        break;
      case SYNTHESIZER_HEADER_PROSODY_VOLUME:
        synth->prosody_param.volume = params.m_Prosody.m_Volume;
        has = params.m_Prosody.m_Volume.type != PROSODY_VOLUME_TYPE_UNKNOWN;
        break;
      case SYNTHESIZER_HEADER_KILL_ON_BARGE_IN:
        synth->kill_on_barge_in = m_SessionParams.m_KillOnBargeIn.value_or(true) ? TRUE : FALSE;
        break;
      default:
        break;
    }
    if (has) mrcp_resource_header_property_add(response, id);
  }
  for (apr_size_t id : generic_ids) {
    bool has = true;
    if (id == GENERIC_HEADER_LOGGING_TAG) {
      apt_string_assign(&generic->logging_tag, values.m_LoggingTag.c_str(), pool);
      has = !values.m_LoggingTag.empty();
    } else if (id == GENERIC_HEADER_VENDOR_SPECIFIC_PARAMS) {
      generic->vendor_specific_params =
          apt_pair_array_create(static_cast<apr_size_t>(m_SessionParams.m_Vendor.size()), pool);
      for (const auto& pair : m_SessionParams.m_Vendor) {
        apt_str_t name;
        apt_str_t value;
        apt_string_assign(&name, pair.first.c_str(), pool);
        apt_string_assign(&value, pair.second.c_str(), pool);
        apt_pair_array_append(generic->vendor_specific_params, &name, &value, pool);
      }
      has = !m_SessionParams.m_Vendor.empty();
    }
    if (has) mrcp_generic_header_property_add(response, id);
  }
  return false;
}

}  // namespace VXS
