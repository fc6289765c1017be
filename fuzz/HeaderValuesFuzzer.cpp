// Values that parameterise one SPEAK: MRCP header values as the host kit
// reads them (Cache-Control, Vendor-Specific-Parameters, Prosody-Rate,
// Prosody-Volume, Voice-Gender, Content-Type, ...) resolved by the channel,
// and synth-settings attribute values as the configuration loader reads
// them, down to what is sent to the service.
//
// The first byte chooses the target (modulo the number of targets), the rest
// is the value. Properties: the speaking rate and volume gain sent are
// within the ranges the service accepts, a pitch sent fits single
// precision, and Cache-Control directives are absent (-1) or what the
// digits say, clamped to 32 bits.
#include <apr_strings.h>

#include <cctype>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>

#include "Channel.h"
#include "FuzzSupport.h"
#include "ProsodyCheck.h"
#include "Settings.h"
#include "SynthContent.h"
#include "vxhost/MrcpText.h"

namespace {

const char* const kHeaders[] = {"Cache-Control",   "Vendor-Specific-Parameters",
                                "Prosody-Rate",    "Prosody-Volume",
                                "Voice-Gender",    "Speech-Language",
                                "Voice-Name",      "Content-Type",
                                "Logging-Tag"};
const size_t kHeaderCount = sizeof(kHeaders) / sizeof(kHeaders[0]);

const char* const kSynthAttributes[] = {"prosody-rate", "prosody-volume", "prosody-pitch",
                                        "voice-gender", "deadline",       "bypass-ssml",
                                        "caching",      "grpc-log-redirection"};
const size_t kSynthAttributeCount = sizeof(kSynthAttributes) / sizeof(kSynthAttributes[0]);

// The targets: Cache-Control read directly, each header through the
// channel, each synth-settings attribute.
const size_t kTargetCount = 1 + kHeaderCount + kSynthAttributeCount;

void CheckSent(const VXS::SpeakParams& params) { vxfuzz::CheckProsodySent(params.m_Prosody); }

// The directive's value as the channel must read it: blanks, a sign, digits,
// clamped to 32 bits; 0 without digits.
int32_t ExpectedSeconds(const std::string& text) {
  size_t pos = 0;
  while (pos < text.size() && isspace(static_cast<unsigned char>(text[pos]))) ++pos;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) negative = text[pos++] == '-';
  long double number = 0;
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos)
    number = std::fmin(number * 10 + (text[pos] - '0'), 1e12L);
  if (negative) number = -number;
  if (number > INT32_MAX) return INT32_MAX;
  if (number < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(number);
}

void ReadCacheControl(const std::string& value, apr_pool_t* pool) {
  std::string buffer(value);
  apt_str_t text;
  text.buf = buffer.empty() ? nullptr : &buffer[0];
  text.length = buffer.size();
  VXS::CacheControl control;
  VXFUZZ_CHECK(control.Parse(&text, pool), "a value parses");
  // A lone directive without blanks or commas is easy to predict.
  if (value.size() > 8 && value.compare(0, 8, "max-age=") == 0 &&
      value.find_first_of(", \t") == std::string::npos) {
    VXFUZZ_CHECK(control.m_MaxAge == ExpectedSeconds(value.substr(8)), "max-age is its digits");
  }
  VXFUZZ_CHECK(control.m_MaxAge >= -1 || value.find('-') != std::string::npos,
               "a negative age comes from a minus sign");
}

void ReadHeader(const char* name, const std::string& value, apr_pool_t* pool) {
  vxhost::SpeakFields fields;
  fields.body = "x";
  mrcp_message_t* request = vxhost::BuildSpeakRequest(fields, pool, nullptr);
  VXFUZZ_CHECK(request != nullptr, "the plain SPEAK is read");
  if (!vxhost::SetMrcpHeader(request, name, value, nullptr)) return;
  VXS::Channel channel(nullptr);
  VXS::SynthSettings settings;
  if (channel.DetermineParams(request, settings) != MRCP_STATUS_CODE_SUCCESS) return;
  const VXS::SdrManager::SynthesisDetails& details = channel.GetDetails();
  CheckSent(details.m_Params);
  const VXS::CacheControl& control = details.m_Control;
  VXFUZZ_CHECK(control.m_MaxAge >= -1 || value.find('-') != std::string::npos,
               "a negative age comes from a minus sign");
}

void ReadSynthAttribute(const char* name, const std::string& value, apr_pool_t* pool) {
  apr_xml_attr attr;
  memset(&attr, 0, sizeof(attr));
  attr.name = name;
  attr.value = apr_pstrmemdup(pool, value.data(), value.size());
  apr_xml_elem element;
  memset(&element, 0, sizeof(element));
  element.name = "synth-settings";
  element.attr = &attr;
  VXS::SynthSettings settings;
  settings.Load(&element);
  VXS::SpeakParams params;
  params.m_Prosody = settings.m_Prosody;
  CheckSent(params);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vxfuzz::Process::Get();
  if (size == 0) return 0;
  vxfuzz::InputPool pool;
  const size_t target = data[0] % kTargetCount;
  // Attribute values end at their first NUL, as the XML parser gives them.
  std::string value(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (target == 0) {
    ReadCacheControl(value, pool.Get());
  } else if (target <= kHeaderCount) {
    ReadHeader(kHeaders[target - 1], value, pool.Get());
  } else {
    value = value.c_str();
    ReadSynthAttribute(kSynthAttributes[target - 1 - kHeaderCount], value, pool.Get());
  }
  return 0;
}
