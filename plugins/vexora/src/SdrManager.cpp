#include "SdrManager.h"

#include <apr_file_info.h>
#include <strings.h>

#include <cstdio>
#include <cstdlib>

#include "Plugin.h"
#include "WaveformManager.h"

namespace VXS {

namespace {

// Appends text as the inside of a JSON string: quotes, backslashes and
// control characters escaped, and bytes that are not UTF-8 replaced by
// U+FFFD, so that whatever a request carried the record stays valid JSON.
void AppendJsonText(std::string& out, const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  const size_t size = text.size();
  for (size_t i = 0; i < size;) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      switch (c) {
        case '"':
          out += "\\\"";
          break;
        case '\\':
          out += "\\\\";
          break;
        case '\b':
          out += "\\b";
          break;
        case '\f':
          out += "\\f";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        default:
          if (c < 0x20) {
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
          } else {
            out += static_cast<char>(c);
          }
      }
      ++i;
      continue;
    }
    // The length of a well-formed sequence starting here, or 0.
    size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      if (c == 0xE0) low = 0xA0;   // no overlong forms
      if (c == 0xED) high = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      if (c == 0xF0) low = 0x90;
      if (c == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    }
    bool valid = length > 0 && i + length <= size;
    for (size_t k = 1; valid && k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      valid = k == 1 ? (next >= low && next <= high) : (next >= 0x80 && next <= 0xBF);
    }
    if (valid) {
      out.append(text, i, length);
      i += length;
    } else {
      out += "\\ufffd";
      ++i;
    }
  }
}

// The milliseconds from start to time, or nothing when either was never
// taken or the clock went backwards in between.
std::string ElapsedMilliseconds(apr_time_t start, apr_time_t time) {
  if (start == 0 || time == 0 || time < start) return std::string();
  return std::to_string(static_cast<unsigned long long>((time - start) / 1000)) + " ms";
}

const char* GenderName(int gender) {
  switch (gender) {
    case VOICE_GENDER_FEMALE:
      return "female";
    case VOICE_GENDER_MALE:
      return "male";
    case VOICE_GENDER_NEUTRAL:
      return "neutral";
    default:
      return "";
  }
}

}  // namespace

// ------------------------------------------------------------------ Settings

SdrManager::Settings::Settings()
    : m_SaveRecords(false),
      m_PurgeExisting(false),
      m_MaxFileAge(60),
      m_MaxFileCount(100),
      m_FilePrefix("sdr-"),
      m_FileExtension(".json"),
      m_LogLevel(Ambrel::LOG_NOTICE),
      m_UseLoggingTag(false) {}

bool SdrManager::Settings::Load(const apr_xml_elem* element) {
  for (const apr_xml_attr* attr : GetAttributes(element)) {
    const char* name = attr->name ? attr->name : "";
    const char* value = attr->value ? attr->value : "";
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Load SDR Manager Attribute: %s = %s", name,
            value);
    if (strcasecmp(name, "save-records") == 0) {
      LoadBooleanAttribute(attr, m_SaveRecords);
    } else if (strcasecmp(name, "record-folder") == 0) {
      m_RecordFolder = value;
    } else if (strcasecmp(name, "purge-existing") == 0) {
      LoadBooleanAttribute(attr, m_PurgeExisting);
    } else if (strcasecmp(name, "max-file-age") == 0) {
      m_MaxFileAge = strtol(value, nullptr, 10);
    } else if (strcasecmp(name, "max-file-count") == 0) {
      m_MaxFileCount = strtol(value, nullptr, 10);
    } else if (strcasecmp(name, "file-prefix") == 0) {
      m_FilePrefix = value;
    } else if (strcasecmp(name, "file-ext") == 0) {
      m_FileExtension = value;
    } else if (strcasecmp(name, "log-level") == 0) {
      if (*value) Ambrel::TranslateLogLevel(value, m_LogLevel);
    } else if (strcasecmp(name, "use-logging-tag") == 0) {
      LoadBooleanAttribute(attr, m_UseLoggingTag);
    } else {
      apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unknown SDR Manager Attribute <%s>",
              name);
    }
  }
  return true;
}

// ------------------------------------------------------------ the manager

// The base store only keeps a reference to the facility, which is built
// right after it.
SdrManager::SdrManager(const Settings& settings)
    : Ambrel::FileManager(m_LogFacility),
      m_LogFacility("SDRM", settings.m_LogLevel),
      m_SaveRecords(settings.m_SaveRecords),
      m_UseLoggingTag(settings.m_UseLoggingTag) {
  SetPurgeExisting(settings.m_PurgeExisting);
  SetDirectory(settings.m_RecordFolder);
  SetFilePrefix(settings.m_FilePrefix);
  SetFileExtension(settings.m_FileExtension);
  SetMaxFileCount(settings.m_MaxFileCount);
  SetMaxFileAge(settings.m_MaxFileAge);
}

SdrManager::~SdrManager() {
  // The entries go while the facility the store logs under still exists;
  // the record files stay for the next start-up scan.
  DestroyFileEntries();
}

bool SdrManager::ComposeName(std::string& name, const std::string& channel_id,
                             unsigned long request_id, const std::string& logging_tag,
                             apr_pool_t* /*pool*/) const {
  std::string composed = GetFilePrefix() + channel_id + "-" + std::to_string(request_id);
  if (!logging_tag.empty() && m_UseLoggingTag) composed += "-" + SanitizeNamePart(logging_tag);
  name = composed + GetFileExtension();
  return true;
}

bool SdrManager::ComposePath(std::string& path, const std::string& name, apr_pool_t* pool) const {
  char* merged = nullptr;
  if (!pool || apr_filepath_merge(&merged, GetDirectory().c_str(), name.c_str(),
                                  APR_FILEPATH_NATIVE, pool) != APR_SUCCESS) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Compose SDR File Path for [%s]",
            name.c_str());
    return false;
  }
  path = merged;
  return true;
}

// ------------------------------------------------------- SynthesisDetails

void SdrManager::SynthesisDetails::Reset() {
  m_SaveRecord = false;
  m_Name.clear();
  m_Version = 0;
  m_SamplingRate = 0;
  m_Codec.clear();
  m_Params.Reset();
  m_Content.clear();
  m_Control.Reset();
  m_StartTime = 0;
  m_StreamingTime = 0;
  m_CompletionTime = 0;
  m_DataLength = 0;
  m_SynthesisCount = 0;
  m_CallCount = 0;
  m_Caching = false;
  m_CompletionCause = SYNTHESIZER_COMPLETION_CAUSE_UNKNOWN;
  m_LoggingTag.clear();
  m_FailedUri.clear();
  m_FailedUriCause.clear();
}

bool SdrManager::SynthesisDetails::GetTimestampStr(apr_time_t time, std::string& text) {
  if (time == 0) return true;
  apr_time_exp_t exploded;
  if (apr_time_exp_lt(&exploded, time) != APR_SUCCESS) return true;
  char buffer[64];
  snprintf(buffer, sizeof(buffer), "%4d-%02d-%02d %02d:%02d:%02d", exploded.tm_year + 1900,
           exploded.tm_mon + 1, exploded.tm_mday, exploded.tm_hour, exploded.tm_min,
           exploded.tm_sec);
  text = buffer;
  return true;
}

bool SdrManager::SynthesisDetails::Save(const std::string& path) const {
  apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Save SDR %s", path.c_str());
  FILE* file = path.empty() ? nullptr : fopen(path.c_str(), "wb");
  if (!file) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Open SDR File %s", path.c_str());
    return false;
  }

  std::string datetime;
  GetTimestampStr(m_StartTime, datetime);
  // A record whose cause was never set reports a normal completion.
  const int cause = m_CompletionCause == SYNTHESIZER_COMPLETION_CAUSE_UNKNOWN
                        ? SYNTHESIZER_COMPLETION_CAUSE_NORMAL
                        : m_CompletionCause;
  std::string cause_text;
  if (cause >= 0 && cause < SYNTHESIZER_COMPLETION_CAUSE_COUNT) {
    const mrcp_version_e version = m_Version == MRCP_VERSION_1 || m_Version == MRCP_VERSION_2
                                       ? static_cast<mrcp_version_e>(m_Version)
                                       : MRCP_VERSION_UNKNOWN;
    const apt_str_t* name =
        mrcp_synth_completion_cause_get(static_cast<mrcp_synth_completion_cause_e>(cause), version);
    if (name && name->buf) cause_text.assign(name->buf, name->length);
  }

  const std::pair<const char*, std::string> fields[] = {
      {"datetime", datetime},
      {"language", m_Params.m_Language},
      {"voice-name", m_Params.m_VoiceName},
      {"voice-gender", GenderName(m_Params.m_VoiceGender)},
      {"sampling-rate", std::to_string(static_cast<unsigned long long>(m_SamplingRate)) + " Hz"},
      {"codec", m_Codec},
      {"data-length", std::to_string(static_cast<unsigned long long>(m_DataLength)) + " bytes"},
      {"start-of-streaming-ts", ElapsedMilliseconds(m_StartTime, m_StreamingTime)},
      {"completion-ts", ElapsedMilliseconds(m_StartTime, m_CompletionTime)},
      {"completion-cause", cause_text}};
  const size_t count = sizeof(fields) / sizeof(fields[0]);

  std::string record = "{\"synth-details-record\": {\n";
  for (size_t i = 0; i < count; ++i) {
    record += "   \"";
    record += fields[i].first;
    record += "\": \"";
    AppendJsonText(record, fields[i].second);
    record += i + 1 < count ? "\",\n" : "\"\n";
  }
  record += "}}\n";
  fwrite(record.data(), 1, record.size(), file);
  fclose(file);
  return true;
}

}  // namespace VXS
