// Configuration records of the engine: the synthesizer defaults with their
// prosody record, and the usage-monitoring outputs. Also the small value
// parsers and prosody conversions shared by the loaders and the channel.
//
// The records are plain values owned by the engine (or copied into a
// request). They are loaded once on the engine's thread before any channel
// exists and only read afterwards, so they need no lock.
#pragma once

#include <apr_xml.h>

#include <cstdint>
#include <string>
#include <vector>

#include "vxhost/apt.h"
#include "vxhost/mrcp.h"

namespace VXS {

// Prosody of one request or one cached waveform. Rate and volume keep the
// host's MRCP representation so that they copy to and from the synthesizer
// header unchanged; a type of "unknown" means "not set".
class ProsodyParams {
 public:
  ProsodyParams();
  void Reset();

  // True when other (a stored record) satisfies this one (a request): a rate
  // or volume set here must equal other's in type and value bits; unset ones
  // accept anything. The four strings must always be byte-for-byte equal.
  bool Compare(const ProsodyParams& other) const;
  // The rate and volume half of Compare, against a stored record's values.
  bool CompareRateAndVolume(const mrcp_prosody_rate_t& rate,
                            const mrcp_prosody_volume_t& volume) const;

  std::string m_Pitch;
  std::string m_Contour;
  std::string m_Range;
  mrcp_prosody_rate_t m_Rate;
  std::string m_Duration;
  mrcp_prosody_volume_t m_Volume;
};

// The attributes of a parsed element in document order. APR's parser links
// each new attribute in front of the earlier ones, so walking elem->attr
// directly visits them backwards.
std::vector<const apr_xml_attr*> GetAttributes(const apr_xml_elem* element);

// Loads a boolean attribute ("true" or "false" exactly); any other value
// logs "Unexpected Value <%s> for Boolean Attribute <%s>" and keeps field.
void LoadBooleanAttribute(const apr_xml_attr* attr, bool& field);

// "true" or "false", exact and case-sensitive; anything else returns false
// and leaves result unchanged.
bool ParseBooleanString(const std::string& value, bool& result);

// The "synth-settings" element: per-request defaults, SSML handling and the
// gRPC transport and logging options.
class SynthSettings {
 public:
  SynthSettings();

  // Applies the element's attributes in document order; bad values are
  // logged and skipped. Always true.
  bool Load(const apr_xml_elem* element);

  // "male", "female", "neutral" or "" (unspecified), exact and
  // case-sensitive; anything else returns false and leaves gender unchanged.
  static bool ParseVoiceGender(const std::string& value, mrcp_voice_gender_e& gender);

  std::string m_Language;
  bool m_BypassSsml;
  bool m_NormalizeSsml;
  // True: text and rebuilt SSML go out in pieces of whole sentences, the
  // first of them one sentence, so that the caller hears the first sentence
  // while the rest is synthesized.
  bool m_SentenceSplit;
  std::string m_VoiceName;
  mrcp_voice_gender_e m_VoiceGender;
  ProsodyParams m_Prosody;
  std::string m_HttpProxy;
  std::string m_ServiceUri;
  std::string m_CredentialsFile;
  bool m_SecureTransport;
  std::string m_Region;
  bool m_GrpcLogRedirection;
  std::string m_GrpcLogVerbosity;
  std::string m_GrpcLogTrace;
  std::string m_EffectsProfile;
  std::string m_CustomVoiceModel;
  bool m_Caching;
  int64_t m_Deadline;  // milliseconds, 0: none
  bool m_Reattempt;
  // HTTP/2 keepalive of the shared gRPC channels, in milliseconds: a ping
  // after this long without traffic, the connection given up when its
  // answer takes longer than the time-out. 0 time: no pings.
  int64_t m_KeepaliveTime;
  int64_t m_KeepaliveTimeout;
  // False: the INFO line of each request shows the length of its text, not
  // the text (prompts may carry account numbers and names).
  bool m_LogRequestText;
  // Voice-name patterns (fnmatch globs) of the voices whose text segments
  // go over StreamingSynthesize; empty: none do.
  std::vector<std::string> m_StreamingVoices;
  // The circuit breaker of each endpoint: this many consecutive calls
  // failing UNAVAILABLE or DEADLINE_EXCEEDED open it (0: no breaker), and
  // it stays open this many milliseconds before a trial call.
  int64_t m_BreakerFailures;
  int64_t m_BreakerCooldown;
  // The endpoint that takes the calls while the breaker of a channel's own
  // endpoint is open: fallback-service-uri when set, otherwise the regional
  // endpoint of fallback-region; neither: no fallback.
  std::string m_FallbackRegion;
  std::string m_FallbackServiceUri;
};

// The "log-usage" element: a usage line in the host log.
struct LogStatementSettings {
  LogStatementSettings();
  bool Load(const apr_xml_elem* element);

  bool m_Enable;
  apt_log_priority_e m_Priority;
};

// The "update-usage" and "dump-channels" elements: one status file.
struct StatusFileSettings {
  StatusFileSettings();
  bool Load(const apr_xml_elem* element);

  bool m_Enable;
  std::string m_StatusFile;  // resolved against the status directory later
};

// The outputs produced on one occasion (usage change or refresh).
struct MonitoringHandler {
  bool Load(const apr_xml_elem* element);
  bool AnyEnabled() const;

  LogStatementSettings m_LogStatement;
  StatusFileSettings m_UsageFile;
  StatusFileSettings m_ChannelsFile;
};

// The "monitoring-agent" element.
struct MonitoringSettings {
  MonitoringSettings();
  bool Load(const apr_xml_elem* element);

  MonitoringHandler m_UsageChangeHandler;
  MonitoringHandler m_UsageRefreshHandler;
  long m_RefreshPeriod;  // seconds
  // The metrics file, written on the refresh timer and at shutdown; empty:
  // none. Resolved against the status directory later.
  std::string m_MetricsFile;
};

// Strips one pair of enclosing double quotes in place (the closing quote is
// overwritten with a terminating zero). Anything else is left unchanged.
void RemoveQuotes(apt_str_t* str);

// The service's speaking rate for an MRCP prosody rate, within [0.25, 2.0].
// False for an unset rate, an unknown label or a value that is not a number.
bool GenerateProsodyRate(const mrcp_prosody_rate_t& rate, double& out);

// The pitch string read as a decimal number from its start; text without a
// leading number gives 0.
double ParsePitch(const std::string& pitch);

// The service's volume gain in dB for an MRCP prosody volume, within
// [-96, 16]. False for an unset volume, an unknown label or a value that is
// not a number.
bool GenerateProsodyVolume(const mrcp_prosody_volume_t& volume, double& out);

}  // namespace VXS
