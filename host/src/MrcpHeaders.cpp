// MRCP header fields as text: the value grammars of each header the host
// knows (MrcpText.h documents them), read into and written from the header
// sections of a message.

#include "MrcpHeaders.h"

#include <stddef.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "vxhost/MrcpText.h"

namespace vxhost {
namespace {

const char kChannelIdentifier[] = "Channel-Identifier";
const size_t kMaxNumberLength = 15;

enum class Kind { kString, kNumber, kBool, kGender, kRate, kVolume, kCause, kPairs };

struct HeaderDef {
  const char* name;
  bool synth;  // synthesizer section; otherwise generic
  size_t id;
  Kind kind;
  size_t offset;  // of the field within its section
};

#define VX_GENERIC(name, id, kind, field) \
  {name, false, id, Kind::kind, offsetof(mrcp_generic_header_t, field)}
#define VX_SYNTH(name, id, kind, field) \
  {name, true, id, Kind::kind, offsetof(mrcp_synth_header_t, field)}

// Writing order: the generic section, then the synthesizer section, each in
// header id order.
const HeaderDef kHeaders[] = {
    VX_GENERIC("Active-Request-Id-List", GENERIC_HEADER_ACTIVE_REQUEST_ID_LIST, kString,
               active_request_id_list),
    VX_GENERIC("Proxy-Sync-Id", GENERIC_HEADER_PROXY_SYNC_ID, kString, proxy_sync_id),
    VX_GENERIC("Accept-Charset", GENERIC_HEADER_ACCEPT_CHARSET, kString, accept_charset),
    VX_GENERIC("Content-Type", GENERIC_HEADER_CONTENT_TYPE, kString, content_type),
    VX_GENERIC("Content-ID", GENERIC_HEADER_CONTENT_ID, kString, content_id),
    VX_GENERIC("Content-Base", GENERIC_HEADER_CONTENT_BASE, kString, content_base),
    VX_GENERIC("Content-Encoding", GENERIC_HEADER_CONTENT_ENCODING, kString, content_encoding),
    VX_GENERIC("Content-Location", GENERIC_HEADER_CONTENT_LOCATION, kString, content_location),
    VX_GENERIC("Content-Length", GENERIC_HEADER_CONTENT_LENGTH, kNumber, content_length),
    VX_GENERIC("Cache-Control", GENERIC_HEADER_CACHE_CONTROL, kString, cache_control),
    VX_GENERIC("Logging-Tag", GENERIC_HEADER_LOGGING_TAG, kString, logging_tag),
    VX_GENERIC("Vendor-Specific-Parameters", GENERIC_HEADER_VENDOR_SPECIFIC_PARAMS, kPairs,
               vendor_specific_params),
    VX_GENERIC("Accept", GENERIC_HEADER_ACCEPT, kString, accept),
    VX_GENERIC("Fetch-Timeout", GENERIC_HEADER_FETCH_TIMEOUT, kNumber, fetch_timeout),
    VX_GENERIC("Set-Cookie", GENERIC_HEADER_SET_COOKIE, kString, set_cookie),
    VX_SYNTH("Jump-Size", SYNTHESIZER_HEADER_JUMP_SIZE, kString, jump_size),
    VX_SYNTH("Kill-On-Barge-In", SYNTHESIZER_HEADER_KILL_ON_BARGE_IN, kBool, kill_on_barge_in),
    VX_SYNTH("Speaker-Profile", SYNTHESIZER_HEADER_SPEAKER_PROFILE, kString, speaker_profile),
    VX_SYNTH("Completion-Cause", SYNTHESIZER_HEADER_COMPLETION_CAUSE, kCause, completion_cause),
    VX_SYNTH("Completion-Reason", SYNTHESIZER_HEADER_COMPLETION_REASON, kString,
             completion_reason),
    VX_SYNTH("Voice-Gender", SYNTHESIZER_HEADER_VOICE_GENDER, kGender, voice_param.gender),
    VX_SYNTH("Voice-Age", SYNTHESIZER_HEADER_VOICE_AGE, kNumber, voice_param.age),
    VX_SYNTH("Voice-Variant", SYNTHESIZER_HEADER_VOICE_VARIANT, kNumber, voice_param.variant),
    VX_SYNTH("Voice-Name", SYNTHESIZER_HEADER_VOICE_NAME, kString, voice_param.name),
    VX_SYNTH("Prosody-Pitch", SYNTHESIZER_HEADER_PROSODY_PITCH, kString, prosody_param.pitch),
    VX_SYNTH("Prosody-Contour", SYNTHESIZER_HEADER_PROSODY_CONTOUR, kString,
             prosody_param.contour),
    VX_SYNTH("Prosody-Range", SYNTHESIZER_HEADER_PROSODY_RANGE, kString, prosody_param.range),
    VX_SYNTH("Prosody-Rate", SYNTHESIZER_HEADER_PROSODY_RATE, kRate, prosody_param.rate),
    VX_SYNTH("Prosody-Duration", SYNTHESIZER_HEADER_PROSODY_DURATION, kString,
             prosody_param.duration),
    VX_SYNTH("Prosody-Volume", SYNTHESIZER_HEADER_PROSODY_VOLUME, kVolume, prosody_param.volume),
    VX_SYNTH("Speech-Marker", SYNTHESIZER_HEADER_SPEECH_MARKER, kString, speech_marker),
    VX_SYNTH("Speech-Language", SYNTHESIZER_HEADER_SPEECH_LANGUAGE, kString, speech_language),
    VX_SYNTH("Fetch-Hint", SYNTHESIZER_HEADER_FETCH_HINT, kString, fetch_hint),
    VX_SYNTH("Audio-Fetch-Hint", SYNTHESIZER_HEADER_AUDIO_FETCH_HINT, kString, audio_fetch_hint),
    VX_SYNTH("Failed-URI", SYNTHESIZER_HEADER_FAILED_URI, kString, failed_uri),
    VX_SYNTH("Failed-URI-Cause", SYNTHESIZER_HEADER_FAILED_URI_CAUSE, kString, failed_uri_cause),
    VX_SYNTH("Speak-Restart", SYNTHESIZER_HEADER_SPEAK_RESTART, kBool, speak_restart),
    VX_SYNTH("Speak-Length", SYNTHESIZER_HEADER_SPEAK_LENGTH, kString, speak_length),
    VX_SYNTH("Load-Lexicon", SYNTHESIZER_HEADER_LOAD_LEXICON, kBool, load_lexicon),
    VX_SYNTH("Lexicon-Search-Order", SYNTHESIZER_HEADER_LEXICON_SEARCH_ORDER, kString,
             lexicon_search_order),
};
#undef VX_GENERIC
#undef VX_SYNTH

const char* const kRateLabels[] = {"x-slow", "slow", "medium", "fast", "x-fast", "default"};
const char* const kVolumeLabels[] = {"silent", "x-soft", "soft",   "medium",
                                     "loud",   "x-loud", "default"};
const char* const kGenders[] = {"male", "female", "neutral"};

bool IsGetParams(const mrcp_message_t* message) {
  return message->start_line.message_type == MRCP_MESSAGE_TYPE_REQUEST &&
         message->start_line.method_id == SYNTHESIZER_GET_PARAMS;
}

bool EqualsNoCase(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

int FindWord(const std::string& value, const char* const* words, int count) {
  for (int i = 0; i < count; ++i) {
    if (EqualsNoCase(value, words[i])) return i;
  }
  return -1;
}

// digits ["." digits] or "." digits, the fixed-point numbers of MRCPv2: no
// sign, no exponent, at most kMaxNumberLength characters. Read locale-free
// and rounded once, to the nearest single-precision value, so that the
// shortest fixed-point text of that value (FormatNumber) reads back to it.
bool ParseDecimal(const std::string& text, float* out) {
  if (text.empty() || text.size() > kMaxNumberLength) return false;
  size_t digits = 0;
  size_t points = 0;
  for (char c : text) {
    if (c == '.')
      ++points;
    else if (c >= '0' && c <= '9')
      ++digits;
    else
      return false;
  }
  if (digits == 0 || points > 1) return false;
  float value = 0;
  const char* end = text.data() + text.size();
  const std::from_chars_result result =
      std::from_chars(text.data(), end, value, std::chars_format::fixed);
  if (result.ec != std::errc() || result.ptr != end) return false;
  *out = value;
  return true;
}

// A decimal number (ParseDecimal's grammar) times 100, as decimal text: the
// point moves two places, so no rounding happens before ParseDecimal's.
std::string TimesHundred(const std::string& number) {
  const size_t point = number.find('.');
  std::string whole = number.substr(0, point);
  std::string fraction = point == std::string::npos ? "" : number.substr(point + 1);
  fraction.resize(std::max<size_t>(fraction.size(), 2), '0');
  whole += fraction.substr(0, 2);
  fraction.erase(0, 2);
  const size_t first = whole.find_first_not_of('0');
  whole = first == std::string::npos ? "0" : whole.substr(first);
  return fraction.empty() ? whole : whole + "." + fraction;
}

bool EndsWithNoCase(const std::string& text, const char* suffix, std::string* stem) {
  const size_t length = strlen(suffix);
  if (text.size() < length || strcasecmp(text.c_str() + text.size() - length, suffix) != 0) {
    return false;
  }
  *stem = text.substr(0, text.size() - length);
  return true;
}

// The shortest fixed-point text that ParseDecimal reads back to value; empty
// for a value that has none (negative, not finite, or too long).
std::string FormatNumber(float value) {
  if (!std::isfinite(value) || std::signbit(value)) return std::string();
  char buffer[64];
  const std::to_chars_result result =
      std::to_chars(buffer, buffer + sizeof(buffer), value, std::chars_format::fixed);
  if (result.ec != std::errc()) return std::string();
  const std::string text(buffer, result.ptr);
  float read;
  if (!ParseDecimal(text, &read) || memcmp(&read, &value, sizeof(value)) != 0)
    return std::string();
  return text;
}

std::string TrimTrailingBlanks(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
  return text;
}

void SetError(std::string* error, const std::string& text) {
  if (error) *error = text;
}

const HeaderDef* FindHeader(const std::string& name) {
  for (const HeaderDef& def : kHeaders) {
    if (EqualsNoCase(name, def.name)) return &def;
  }
  return nullptr;
}

char* FieldOf(mrcp_message_t* message, const HeaderDef& def) {
  char* base = def.synth ? reinterpret_cast<char*>(mrcp_resource_header_prepare(message))
                         : reinterpret_cast<char*>(mrcp_generic_header_prepare(message));
  return base ? base + def.offset : nullptr;
}

const char* FieldOf(const mrcp_message_t* message, const HeaderDef& def) {
  const char* base = def.synth ? reinterpret_cast<const char*>(message->synth_header)
                               : reinterpret_cast<const char*>(message->generic_header);
  return base ? base + def.offset : nullptr;
}

bool ParseCause(const std::string& value, mrcp_synth_completion_cause_e* out) {
  const std::string code = value.substr(0, 3);
  if (code.size() != 3 || !IsDecimalDigits(code)) return false;
  if (value.size() > 3 && value[3] != ' ' && value[3] != '\t') return false;
  const int number = (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0');
  if (number >= SYNTHESIZER_COMPLETION_CAUSE_COUNT) return false;
  *out = static_cast<mrcp_synth_completion_cause_e>(number);
  return true;
}

// The value grammars of the header kinds stored through ParseField below.
bool ParseNumber(const std::string& value, apr_size_t* out) {
  return ParseUnsignedDecimal(value, kMaxNumberLength, out);
}

bool ParseBool(const std::string& value, apt_bool_t* out) {
  if (EqualsNoCase(value, "true")) {
    *out = TRUE;
  } else if (EqualsNoCase(value, "false")) {
    *out = FALSE;
  } else {
    return false;
  }
  return true;
}

bool ParseGender(const std::string& value, mrcp_voice_gender_e* out) {
  const int gender = FindWord(value, kGenders, 3);
  if (gender < 0) return false;
  *out = static_cast<mrcp_voice_gender_e>(gender);
  return true;
}

// Reads `value` with `parse` into the header's field, which stays untouched
// when `parse` refuses the value.
template <typename Field>
bool ParseField(mrcp_message_t* message, const HeaderDef& def, const std::string& value,
                bool (*parse)(const std::string&, Field*)) {
  Field parsed;
  if (!parse(value, &parsed)) return false;
  *reinterpret_cast<Field*>(FieldOf(message, def)) = parsed;
  return true;
}

// Checks `value` against the header's grammar and stores it; the message is
// unchanged when the value is refused.
bool ApplyHeader(mrcp_message_t* message, const HeaderDef& def, const std::string& value,
                 std::string* error) {
  apr_pool_t* pool = message->pool;
  if (value.empty() && def.kind != Kind::kString && def.kind != Kind::kPairs &&
      IsGetParams(message)) {
    // GET-PARAMS names the headers it asks for with empty values; elsewhere
    // a value must fit its header's grammar.
    if (def.synth) {
      mrcp_resource_header_prepare(message);
      mrcp_resource_header_property_add(message, def.id);
    } else {
      mrcp_generic_header_prepare(message);
      mrcp_generic_header_property_add(message, def.id);
    }
    return true;
  }
  bool parsed = true;
  switch (def.kind) {
    case Kind::kString: {
      apt_str_t* field = reinterpret_cast<apt_str_t*>(FieldOf(message, def));
      apt_string_assign_n(field, value.data(), value.size(), pool);
      break;
    }
    case Kind::kNumber:
      parsed = ParseField(message, def, value, ParseNumber);
      break;
    case Kind::kBool:
      parsed = ParseField(message, def, value, ParseBool);
      break;
    case Kind::kGender:
      parsed = ParseField(message, def, value, ParseGender);
      break;
    case Kind::kRate:
      parsed = ParseField(message, def, value, ParseProsodyRate);
      break;
    case Kind::kVolume:
      parsed = ParseField(message, def, value, ParseProsodyVolume);
      break;
    case Kind::kCause:
      parsed = ParseField(message, def, value, ParseCause);
      break;
    case Kind::kPairs: {
      apt_pair_arr_t** field = reinterpret_cast<apt_pair_arr_t**>(FieldOf(message, def));
      if (!*field) *field = apt_pair_array_create(4, pool);
      apt_str_t text;
      text.buf = const_cast<char*>(value.c_str());
      text.length = value.size();
      apt_pair_array_parse(*field, &text, pool);
      break;
    }
  }
  if (!parsed) {
    SetError(error, std::string("bad value of ") + def.name + ": \"" + value + "\"");
    return false;
  }
  if (def.synth) {
    mrcp_resource_header_property_add(message, def.id);
  } else {
    mrcp_generic_header_property_add(message, def.id);
  }
  return true;
}

// The value of a present header as text; false when it has no text form.
// A GET-PARAMS request asks with empty values (ApplyHeader).
bool FormatHeader(const mrcp_message_t* message, const HeaderDef& def, std::string* value) {
  const char* field = FieldOf(message, def);
  if (!field) return false;
  switch (def.kind) {
    case Kind::kString:
      *value = OneLine(*reinterpret_cast<const apt_str_t*>(field));
      return true;
    case Kind::kNumber:
      *value = std::to_string(*reinterpret_cast<const apr_size_t*>(field));
      return true;
    case Kind::kBool:
      *value = *reinterpret_cast<const apt_bool_t*>(field) ? "true" : "false";
      return true;
    case Kind::kGender: {
      const int gender = *reinterpret_cast<const mrcp_voice_gender_e*>(field);
      if (gender < 0 || gender > 2) return false;
      *value = kGenders[gender];
      return true;
    }
    case Kind::kRate: {
      const mrcp_prosody_rate_t& rate = *reinterpret_cast<const mrcp_prosody_rate_t*>(field);
      if (rate.type == PROSODY_RATE_TYPE_LABEL) {
        const int label = rate.value.label;
        if (label < 0 || label > PROSODY_RATE_DEFAULT) return false;
        *value = kRateLabels[label];
        return true;
      }
      if (rate.type == PROSODY_RATE_TYPE_RELATIVE_CHANGE) {
        const std::string number = FormatNumber(rate.value.relative);
        if (number.empty()) return false;
        *value = number + "%";
        return true;
      }
      return false;
    }
    case Kind::kVolume: {
      const mrcp_prosody_volume_t& volume =
          *reinterpret_cast<const mrcp_prosody_volume_t*>(field);
      switch (volume.type) {
        case PROSODY_VOLUME_TYPE_LABEL: {
          const int label = volume.value.label;
          if (label < 0 || label > PROSODY_VOLUME_DEFAULT) return false;
          *value = kVolumeLabels[label];
          return true;
        }
        case PROSODY_VOLUME_TYPE_NUMERIC: {
          const std::string number = FormatNumber(volume.value.numeric);
          if (number.empty()) return false;
          *value = number + "dB";
          return true;
        }
        case PROSODY_VOLUME_TYPE_RELATIVE_CHANGE: {
          // The sign is written for -0 too, so that it reads back as -0.
          const float relative = volume.value.relative;
          const std::string number = FormatNumber(std::fabs(relative));
          if (number.empty()) return false;
          *value = (std::signbit(relative) ? "-" : "+") + number + "dB";
          return true;
        }
        default:
          return false;
      }
    }
    case Kind::kCause: {
      const auto cause = *reinterpret_cast<const mrcp_synth_completion_cause_e*>(field);
      const apt_str_t* name = mrcp_synth_completion_cause_get(cause, MRCP_VERSION_2);
      if (!name) return false;
      char code[8];
      snprintf(code, sizeof(code), "%03d ", static_cast<int>(cause));
      *value = std::string(code) + name->buf;
      return true;
    }
    case Kind::kPairs: {
      const apt_pair_arr_t* pairs = *reinterpret_cast<apt_pair_arr_t* const*>(field);
      value->clear();
      const int count = apt_pair_array_size_get(pairs);
      for (int i = 0; i < count; ++i) {
        const apt_pair_t* pair = apt_pair_array_get(pairs, i);
        std::string name = OneLine(pair->name);
        std::string text = OneLine(pair->value);
        if (i == count - 1) {
          // Blanks that would end the header line do not come back.
          text = TrimTrailingBlanks(text);
          if (text.empty()) name = TrimTrailingBlanks(name);
        }
        if (i > 0) *value += ';';
        *value += name;
        // A pair without a name keeps its '=': alone, it would read back as
        // no pair at all.
        if (!text.empty() || name.empty()) *value += "=" + text;
      }
      return true;
    }
  }
  return false;
}

}  // namespace

bool IsDecimalDigits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Unsigned decimal integer of at most `max_digits` digits.
bool ParseUnsignedDecimal(const std::string& text, size_t max_digits, apr_size_t* out) {
  if (!IsDecimalDigits(text) || text.size() > max_digits) return false;
  apr_size_t value = 0;
  for (char c : text) value = value * 10 + static_cast<apr_size_t>(c - '0');
  *out = value;
  return true;
}

std::string TrimBlanks(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
  while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
  return text.substr(begin, end - begin);
}

std::string OneLine(const char* data, size_t length) {
  std::string text(data ? data : "", data ? length : 0);
  for (char& c : text) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return text;
}

std::string OneLine(const apt_str_t& str) { return OneLine(str.buf, str.length); }

bool ParseProsodyRate(const std::string& value, mrcp_prosody_rate_t* out) {
  const int label = FindWord(value, kRateLabels, PROSODY_RATE_DEFAULT + 1);
  if (label >= 0) {
    out->type = PROSODY_RATE_TYPE_LABEL;
    out->value.label = static_cast<mrcp_prosody_rate_label_e>(label);
    return true;
  }
  std::string number = value;
  const bool percent = !value.empty() && value.back() == '%';
  if (percent) number.pop_back();
  float parsed;
  if (!ParseDecimal(number, &parsed)) return false;
  // A multiplier is read as the percentage it stands for, which must itself
  // be a number of the grammar.
  if (!percent && !ParseDecimal(TimesHundred(number), &parsed)) return false;
  out->type = PROSODY_RATE_TYPE_RELATIVE_CHANGE;
  out->value.relative = parsed;
  return true;
}

bool ParseProsodyVolume(const std::string& value, mrcp_prosody_volume_t* out) {
  const int label = FindWord(value, kVolumeLabels, PROSODY_VOLUME_DEFAULT + 1);
  if (label >= 0) {
    out->type = PROSODY_VOLUME_TYPE_LABEL;
    out->value.label = static_cast<mrcp_prosody_volume_label_e>(label);
    return true;
  }
  std::string number = value;
  const bool negative = !number.empty() && number[0] == '-';
  const bool sign = negative || (!number.empty() && number[0] == '+');
  if (sign) number.erase(0, 1);
  std::string stem;
  bool percent = false;
  if (!number.empty() && number.back() == '%') {
    percent = true;
    number.pop_back();
  } else if (EndsWithNoCase(number, "dB", &stem)) {
    number = stem;
  }
  float parsed;
  if (!ParseDecimal(number, &parsed)) return false;
  if (sign || percent) {
    out->type = PROSODY_VOLUME_TYPE_RELATIVE_CHANGE;
    out->value.relative = negative ? -parsed : parsed;
  } else {
    out->type = PROSODY_VOLUME_TYPE_NUMERIC;
    out->value.numeric = parsed;
  }
  return true;
}

bool SetMrcpHeader(mrcp_message_t* message, const std::string& name, const std::string& value,
                   std::string* error) {
  if (!message || !message->pool) return SetError(error, "no message"), false;
  const std::string trimmed = TrimBlanks(value);
  if (EqualsNoCase(TrimBlanks(name), kChannelIdentifier)) {
    apt_string_assign_n(&message->channel_id, trimmed.data(), trimmed.size(), message->pool);
    return true;
  }
  const HeaderDef* def = FindHeader(TrimBlanks(name));
  if (!def) return true;  // not a header of this host: ignored
  return ApplyHeader(message, *def, trimmed, error);
}

void AppendHeaders(const mrcp_message_t* message, std::string* out) {
  if (!apt_string_is_empty(&message->channel_id)) {
    *out += std::string(kChannelIdentifier) + ": " + OneLine(message->channel_id) + "\r\n";
  }
  for (const HeaderDef& def : kHeaders) {
    if (!def.synth && def.id == GENERIC_HEADER_CONTENT_LENGTH) continue;
    const bool present = def.synth ? mrcp_resource_header_property_check(message, def.id)
                                   : mrcp_generic_header_property_check(message, def.id);
    std::string value;
    if (!present) continue;
    if (IsGetParams(message) && def.kind != Kind::kString && def.kind != Kind::kPairs) {
      *out += std::string(def.name) + ":\r\n";
    } else if (FormatHeader(message, def, &value)) {
      *out += std::string(def.name) + (value.empty() ? ":" : ": ") + value + "\r\n";
    }
  }
}

}  // namespace vxhost
