// The configuration records and the value parsers they share. About 400
// lines: each loader is a flat list of attributes, and the parsers are the
// ones the loaders and the channel both use.
#include "Settings.h"

#include <strings.h>

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <sstream>

#include "Plugin.h"

namespace VXS {

namespace {

// Speaking rates outside this range are refused by the service.
const double kMinSpeakingRate = 0.25;
const double kMaxSpeakingRate = 2.0;
const double kMinVolumeGain = -96.0;
const double kMaxVolumeGain = 16.0;

bool NameIs(const char* name, const char* expected) {
  return name && strcasecmp(name, expected) == 0;
}

const char* ValueOf(const apr_xml_attr* attr) { return attr->value ? attr->value : ""; }

void LogUnknownElement(const apr_xml_elem* child, const apr_xml_elem* parent) {
  apt_log(apt_def_log_source_get(), APT_LOG_MARK, APT_PRIO_WARNING, "Unknown Element <%s> in <%s>",
          child->name, parent->name);
}

// A decimal integer read like strtol, narrowed to 32 bits by saturation so
// that an out-of-range deadline cannot wrap into a negative one.
int32_t ParseInt32(const char* value) {
  long number = strtol(value, nullptr, 10);
  if (number > INT32_MAX) return INT32_MAX;
  if (number < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(number);
}

// A number that single precision holds: narrowing any other is undefined.
bool FitsFloat(double value) { return std::isfinite(value) && std::fabs(value) <= FLT_MAX; }

void LogUnexpectedValue(const apr_xml_attr* attr) {
  apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unexpected Value <%s> for Attribute <%s>",
          ValueOf(attr), attr->name);
}

}  // namespace

void LoadBooleanAttribute(const apr_xml_attr* attr, bool& field) {
  if (!ParseBooleanString(ValueOf(attr), field)) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
            "Unexpected Value <%s> for Boolean Attribute <%s>", ValueOf(attr), attr->name);
  }
}

std::vector<const apr_xml_attr*> GetAttributes(const apr_xml_elem* element) {
  std::vector<const apr_xml_attr*> attributes;
  if (!element) return attributes;
  for (const apr_xml_attr* attr = element->attr; attr; attr = attr->next)
    attributes.push_back(attr);
  std::reverse(attributes.begin(), attributes.end());
  return attributes;
}

// ------------------------------------------------------------ ProsodyParams

ProsodyParams::ProsodyParams() {
  memset(&m_Rate, 0, sizeof(m_Rate));
  memset(&m_Volume, 0, sizeof(m_Volume));
  Reset();
}

void ProsodyParams::Reset() {
  m_Pitch.clear();
  m_Contour.clear();
  m_Range.clear();
  m_Duration.clear();
  m_Rate.type = PROSODY_RATE_TYPE_UNKNOWN;
  m_Volume.type = PROSODY_VOLUME_TYPE_UNKNOWN;
}

bool ProsodyParams::Compare(const ProsodyParams& other) const {
  return CompareRateAndVolume(other.m_Rate, other.m_Volume) && m_Pitch == other.m_Pitch &&
         m_Contour == other.m_Contour && m_Range == other.m_Range &&
         m_Duration == other.m_Duration;
}

bool ProsodyParams::CompareRateAndVolume(const mrcp_prosody_rate_t& rate,
                                         const mrcp_prosody_volume_t& volume) const {
  if (m_Rate.type != PROSODY_RATE_TYPE_UNKNOWN) {
    if (m_Rate.type != rate.type || memcmp(&m_Rate.value, &rate.value, sizeof(m_Rate.value)) != 0)
      return false;
  }
  if (m_Volume.type != PROSODY_VOLUME_TYPE_UNKNOWN) {
    if (m_Volume.type != volume.type ||
        memcmp(&m_Volume.value, &volume.value, sizeof(m_Volume.value)) != 0)
      return false;
  }
  return true;
}

// ----------------------------------------------------------- value parsers

bool ParseBooleanString(const std::string& value, bool& result) {
  if (value == "true") {
    result = true;
    return true;
  }
  if (value == "false") {
    result = false;
    return true;
  }
  return false;
}

bool SynthSettings::ParseVoiceGender(const std::string& value, mrcp_voice_gender_e& gender) {
  if (value == "male")
    gender = VOICE_GENDER_MALE;
  else if (value == "female")
    gender = VOICE_GENDER_FEMALE;
  else if (value == "neutral")
    gender = VOICE_GENDER_NEUTRAL;
  else if (value.empty())
    gender = VOICE_GENDER_UNKNOWN;
  else
    return false;
  return true;
}

// ------------------------------------------------------------ SynthSettings

SynthSettings::SynthSettings()
    : m_Language("en-US"),
      m_BypassSsml(true),
      m_NormalizeSsml(true),
      m_SentenceSplit(true),
      m_VoiceGender(VOICE_GENDER_UNKNOWN),
      m_SecureTransport(true),
      m_GrpcLogRedirection(false),
      m_Caching(false),
      m_Deadline(0),
      m_Reattempt(false),
      m_KeepaliveTime(60000),
      m_KeepaliveTimeout(20000),
      m_LogRequestText(true),
      m_BreakerFailures(0),
      m_BreakerCooldown(30000) {}

bool SynthSettings::Load(const apr_xml_elem* element) {
  for (const apr_xml_attr* attr : GetAttributes(element)) {
    const char* name = attr->name;
    const char* value = ValueOf(attr);
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Load Synth Attribute: %s = %s", name, value);
    if (NameIs(name, "bypass-ssml")) {
      LoadBooleanAttribute(attr, m_BypassSsml);
    } else if (NameIs(name, "normalize-ssml")) {
      LoadBooleanAttribute(attr, m_NormalizeSsml);
    } else if (NameIs(name, "sentence-split")) {
      LoadBooleanAttribute(attr, m_SentenceSplit);
    } else if (NameIs(name, "language")) {
      m_Language = value;
    } else if (NameIs(name, "voice-name")) {
      m_VoiceName = value;
    } else if (NameIs(name, "voice-gender")) {
      if (!ParseVoiceGender(value, m_VoiceGender)) LogUnexpectedValue(attr);
    } else if (NameIs(name, "prosody-volume")) {
      if (*value) {
        double volume = strtod(value, nullptr);
        if (!FitsFloat(volume)) {
          LogUnexpectedValue(attr);
        } else {
          m_Prosody.m_Volume.type = PROSODY_VOLUME_TYPE_NUMERIC;
          m_Prosody.m_Volume.value.numeric = static_cast<float>(volume);
        }
      }
    } else if (NameIs(name, "prosody-rate")) {
      if (*value) {
        double percent = strtod(value, nullptr) * 100.0;
        if (!FitsFloat(percent)) {
          LogUnexpectedValue(attr);
        } else {
          m_Prosody.m_Rate.type = PROSODY_RATE_TYPE_RELATIVE_CHANGE;
          m_Prosody.m_Rate.value.relative = static_cast<float>(percent);
        }
      }
    } else if (NameIs(name, "prosody-pitch")) {
      if (*value) {
        // The channel sends the leading number as single-precision semitones.
        std::istringstream stream(value);
        double semitones = 0;
        if (stream >> semitones && !FitsFloat(semitones))
          LogUnexpectedValue(attr);
        else
          m_Prosody.m_Pitch = value;
      }
    } else if (NameIs(name, "http-proxy")) {
      m_HttpProxy = value;
    } else if (NameIs(name, "service-uri")) {
      m_ServiceUri = value;
    } else if (NameIs(name, "gapp-credentials-file")) {
      m_CredentialsFile = value;
    } else if (NameIs(name, "secure-transport")) {
      LoadBooleanAttribute(attr, m_SecureTransport);
    } else if (NameIs(name, "region")) {
      m_Region = value;
    } else if (NameIs(name, "grpc-log-redirection")) {
      if (strcasecmp(value, "false") == 0) {
        m_GrpcLogRedirection = false;
      } else if (strcasecmp(value, "true") == 0) {
        m_GrpcLogRedirection = true;
      } else {
        apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Unexpected Value <%s> for Boolean Attribute <%s>", value, name);
      }
    } else if (NameIs(name, "grpc-log-verbosity")) {
      m_GrpcLogVerbosity = value;
    } else if (NameIs(name, "grpc-log-trace")) {
      m_GrpcLogTrace = value;
    } else if (NameIs(name, "effects-profile")) {
      m_EffectsProfile = value;
    } else if (NameIs(name, "custom-voice-model")) {
      m_CustomVoiceModel = value;
    } else if (NameIs(name, "caching")) {
      LoadBooleanAttribute(attr, m_Caching);
    } else if (NameIs(name, "deadline")) {
      m_Deadline = ParseInt32(value);
    } else if (NameIs(name, "reattempt")) {
      LoadBooleanAttribute(attr, m_Reattempt);
    } else if (NameIs(name, "keepalive-time") || NameIs(name, "keepalive-timeout")) {
      const int32_t milliseconds = ParseInt32(value);
      if (milliseconds < 0) {
        LogUnexpectedValue(attr);
      } else if (NameIs(name, "keepalive-time")) {
        m_KeepaliveTime = milliseconds;
      } else {
        m_KeepaliveTimeout = milliseconds;
      }
    } else if (NameIs(name, "breaker-failures") || NameIs(name, "breaker-cooldown")) {
      const int32_t number = ParseInt32(value);
      if (number < 0 || (*value < '0' || *value > '9')) {
        LogUnexpectedValue(attr);
      } else if (NameIs(name, "breaker-failures")) {
        m_BreakerFailures = number;
      } else {
        m_BreakerCooldown = number;
      }
    } else if (NameIs(name, "fallback-region")) {
      m_FallbackRegion = value;
    } else if (NameIs(name, "fallback-service-uri")) {
      m_FallbackServiceUri = value;
    } else if (NameIs(name, "log-request-text")) {
      LoadBooleanAttribute(attr, m_LogRequestText);
    } else if (NameIs(name, "streaming-voices")) {
      // Patterns apart by blanks or commas; an empty value turns it off.
      m_StreamingVoices.clear();
      std::string pattern;
      for (const char* p = value;; ++p) {
        if (*p == '\0' || *p == ',' || std::isspace(static_cast<unsigned char>(*p))) {
          if (!pattern.empty()) m_StreamingVoices.push_back(pattern);
          pattern.clear();
          if (*p == '\0') break;
        } else {
          pattern += *p;
        }
      }
    } else {
      apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unknown Synth Attribute <%s>", name);
    }
  }
  return true;
}

// ------------------------------------------------------ monitoring records

LogStatementSettings::LogStatementSettings() : m_Enable(false), m_Priority(APT_PRIO_NOTICE) {}

bool LogStatementSettings::Load(const apr_xml_elem* element) {
  for (const apr_xml_attr* attr : GetAttributes(element)) {
    const char* value = ValueOf(attr);
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Load Log Statement Attribute: %s = %s",
            attr->name, value);
    if (NameIs(attr->name, "enable")) {
      LoadBooleanAttribute(attr, m_Enable);
    } else if (NameIs(attr->name, "priority")) {
      m_Priority = apt_log_priority_translate(value);
    } else {
      apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unknown Log Statement Attribute <%s>",
              attr->name);
    }
  }
  return true;
}

StatusFileSettings::StatusFileSettings() : m_Enable(false) {}

bool StatusFileSettings::Load(const apr_xml_elem* element) {
  for (const apr_xml_attr* attr : GetAttributes(element)) {
    const char* value = ValueOf(attr);
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Load Status File Attribute: %s = %s",
            attr->name, value);
    if (NameIs(attr->name, "enable")) {
      LoadBooleanAttribute(attr, m_Enable);
    } else if (NameIs(attr->name, "status-file")) {
      m_StatusFile = value;
    } else {
      apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unknown Status File Attribute <%s>",
              attr->name);
    }
  }
  return true;
}

bool MonitoringHandler::Load(const apr_xml_elem* element) {
  for (const apr_xml_elem* child = element->first_child; child; child = child->next) {
    if (NameIs(child->name, "log-usage"))
      m_LogStatement.Load(child);
    else if (NameIs(child->name, "update-usage"))
      m_UsageFile.Load(child);
    else if (NameIs(child->name, "dump-channels"))
      m_ChannelsFile.Load(child);
    else
      LogUnknownElement(child, element);
  }
  return true;
}

bool MonitoringHandler::AnyEnabled() const {
  return m_LogStatement.m_Enable || m_UsageFile.m_Enable || m_ChannelsFile.m_Enable;
}

MonitoringSettings::MonitoringSettings() : m_RefreshPeriod(60000) {}

bool MonitoringSettings::Load(const apr_xml_elem* element) {
  for (const apr_xml_attr* attr : GetAttributes(element)) {
    const char* value = ValueOf(attr);
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Load Monitoring Attribute: %s = %s",
            attr->name, value);
    if (NameIs(attr->name, "refresh-period")) {
      m_RefreshPeriod = strtol(value, nullptr, 10);
    } else if (NameIs(attr->name, "metrics-file")) {
      m_MetricsFile = value;
    } else {
      apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unknown Monitoring Attribute <%s>",
              attr->name);
    }
  }
  for (const apr_xml_elem* child = element->first_child; child; child = child->next) {
    if (NameIs(child->name, "usage-change-handler"))
      m_UsageChangeHandler.Load(child);
    else if (NameIs(child->name, "usage-refresh-handler"))
      m_UsageRefreshHandler.Load(child);
    else
      LogUnknownElement(child, element);
  }
  return true;
}

// ----------------------------------------------------- request parameters

void RemoveQuotes(apt_str_t* str) {
  if (!str || !str->buf || str->length < 2) return;
  if (str->buf[0] != '"' || str->buf[str->length - 1] != '"') return;
  str->buf[str->length - 1] = '\0';
  str->buf++;
  str->length -= 2;
}

bool GenerateProsodyRate(const mrcp_prosody_rate_t& rate, double& out) {
  if (rate.type == PROSODY_RATE_TYPE_LABEL) {
    switch (rate.value.label) {
      case PROSODY_RATE_XSLOW:
        out = 0.25;
        return true;
      case PROSODY_RATE_SLOW:
        out = 0.5;
        return true;
      case PROSODY_RATE_MEDIUM:
      case PROSODY_RATE_DEFAULT:
        out = 1.0;
        return true;
      case PROSODY_RATE_FAST:
        out = 2.0;
        return true;
      case PROSODY_RATE_XFAST:
        // The fastest rate the service accepts.
        out = kMaxSpeakingRate;
        return true;
      default:
        return false;
    }
  }
  if (rate.type == PROSODY_RATE_TYPE_RELATIVE_CHANGE) {
    double value = static_cast<double>(rate.value.relative) / 100.0;
    if (std::isnan(value)) return false;
    if (value < kMinSpeakingRate) value = kMinSpeakingRate;
    if (value > kMaxSpeakingRate) value = kMaxSpeakingRate;
    out = value;
    return true;
  }
  return false;
}

double ParsePitch(const std::string& pitch) {
  std::istringstream stream(pitch);
  double value = 0;
  if (!(stream >> value)) value = 0;
  return value;
}

bool GenerateProsodyVolume(const mrcp_prosody_volume_t& volume, double& out) {
  switch (volume.type) {
    case PROSODY_VOLUME_TYPE_LABEL:
      switch (volume.value.label) {
        case PROSODY_VOLUME_SILENT:
          out = -96.0;
          return true;
        case PROSODY_VOLUME_XSOFT:
          out = -12.0;
          return true;
        case PROSODY_VOLUME_SOFT:
          out = -6.0;
          return true;
        case PROSODY_VOLUME_MEDIUM:
        case PROSODY_VOLUME_DEFAULT:
          out = 0.0;
          return true;
        case PROSODY_VOLUME_LOUD:
          out = 6.0;
          return true;
        case PROSODY_VOLUME_XLOUD:
          out = 12.0;
          return true;
        default:
          return false;
      }
    case PROSODY_VOLUME_TYPE_NUMERIC: {
      double value = volume.value.numeric;
      if (std::isnan(value)) return false;
      if (value < kMinVolumeGain) value = kMinVolumeGain;
      if (value > kMaxVolumeGain) value = kMaxVolumeGain;
      out = value;
      return true;
    }
    case PROSODY_VOLUME_TYPE_RELATIVE_CHANGE:
      out = 0.0;
      return true;
    default:
      return false;
  }
}

}  // namespace VXS
