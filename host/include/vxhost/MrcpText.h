/*
 * MRCPv2 messages as text: reading a whole message into an mrcp_message_t and
 * writing one back, as a host server does on its control connection.
 *
 * Message layout (RFC 6787):
 *   request   MRCP/2.0 SP message-length SP method-name SP request-id CRLF
 *   response  MRCP/2.0 SP message-length SP request-id SP status-code SP request-state CRLF
 *   event     MRCP/2.0 SP message-length SP event-name SP request-id SP request-state CRLF
 *   then header lines "Name: value" CRLF, an empty line, and the body.
 *
 * Reading:
 *   - The message read always has both header sections (generic and
 *     synthesizer), with a presence bit set for each header the text gave.
 *   - message-length is the octet count of the whole message; it must be a
 *     number but is not compared with the text (hand-written messages may
 *     carry 0). request-id is 1 to 10 digits; 0 is allowed (the host kit
 *     numbers such requests). status-code is 3 digits; request-state is
 *     COMPLETE, IN-PROGRESS or PENDING. A start line of five fields is a
 *     response when its third field is a number, otherwise an event.
 *   - Method and event names are matched exactly; an unknown method gives
 *     method_id SYNTHESIZER_METHOD_COUNT (unknown event: SYNTHESIZER_EVENT_COUNT)
 *     with the name kept in method_name.
 *   - Lines end with CRLF or LF alone; a CR elsewhere in the start line or
 *     a header line is an error. A header line starting with a space
 *     or tab continues the previous value. Header names are matched without
 *     regard to case; values are trimmed of surrounding spaces and tabs.
 *     Headers the host does not know are ignored, never fatal; a header
 *     given twice keeps the last value (Vendor-Specific-Parameters appends).
 *   - Body: exactly Content-Length octets after the empty line; without
 *     Content-Length, the rest of the text. Line breaks or spaces after a
 *     counted body are ignored; anything else there is an error.
 *   - Body charset: the body is in the charset the Content-Type's charset
 *     parameter names, or else, for an XML media type (".../xml",
 *     "...+xml", compared without regard to case), the one its XML
 *     declaration names; UTF-8 without either. A body in another charset
 *     is converted to UTF-8 (iconv) and the parameter and the declaration
 *     are rewritten to say UTF-8, so that the message read carries UTF-8
 *     only; Content-Length becomes the converted length.
 *   - An empty value is no value of a typed header (number, boolean, label,
 *     cause), except in GET-PARAMS, which names the headers it asks for that
 *     way: there the header is marked present with its default, and written
 *     back as "Name:" without a value.
 *   - Rejected with an error text, never a crash: more than
 *     kMaxMrcpMessageSize octets (as read, or once written), a NUL octet,
 *     invalid UTF-8 (in the start line and headers, or in the body once
 *     converted), an unknown charset, a start line that fits none of the
 *     three forms, a header line without ":", a body shorter than
 *     Content-Length, and a value outside the grammar of its header below.
 *     Errors of the start line and the header lines begin "line N: ".
 *
 * Header values:
 *   Channel-Identifier             string -> message->channel_id
 *   Speech-Language, Voice-Name    strings
 *   Voice-Gender                   male | female | neutral (any case)
 *   Voice-Age, Voice-Variant       decimal number
 *   Prosody-Rate                   x-slow | slow | medium | fast | x-fast | default
 *                                    -> PROSODY_RATE_TYPE_LABEL
 *                                  N%  (unsigned N) -> RELATIVE_CHANGE, value N
 *                                  N   (unsigned N, a multiplier) -> RELATIVE_CHANGE,
 *                                      value N x 100 (1.5 gives 150), which must
 *                                      itself be a number of the grammar below
 *   Prosody-Volume                 silent | x-soft | soft | medium | loud | x-loud | default
 *                                    -> PROSODY_VOLUME_TYPE_LABEL
 *                                  +N, -N, +NdB, -NdB, N% (signed, or a percentage)
 *                                    -> RELATIVE_CHANGE, value +/-N
 *                                  N or NdB (unsigned) -> NUMERIC, value N
 *   Prosody-Pitch, Prosody-Contour, Prosody-Range, Prosody-Duration   strings
 *   Kill-On-Barge-In, Speak-Restart, Load-Lexicon   true | false (any case)
 *   Completion-Cause               3-digit code 000..007, optionally followed by
 *                                  its name ("000 normal"); the code decides
 *   Completion-Reason, Jump-Size, Speaker-Profile, Speech-Marker, Fetch-Hint,
 *   Audio-Fetch-Hint, Failed-URI, Failed-URI-Cause, Speak-Length,
 *   Lexicon-Search-Order           strings
 *   Content-Type, Content-ID, Content-Base, Content-Encoding, Content-Location,
 *   Cache-Control, Logging-Tag, Active-Request-Id-List, Proxy-Sync-Id,
 *   Accept, Accept-Charset, Set-Cookie   raw strings, as written
 *   Content-Length, Fetch-Timeout  decimal number
 *   Vendor-Specific-Parameters     name=value pairs separated by ";"
 *                                  (apt_pair_array_parse: quotes are kept)
 *   Keywords and labels are matched without regard to case; numbers are
 *   fixed-point decimals with an optional fraction ("1.5"), no exponent, at
 *   most 15 characters, rounded once to the nearest single-precision value.
 *
 * Writing: the start line with the exact message-length, "Channel-Identifier"
 * when the message has one, every present header of the generic and the
 * synthesizer sections in their id order, then Content-Length (computed from
 * the body, written whenever the body is not empty; a Content-Length marked
 * present is otherwise ignored), the empty line and the body. Header values
 * have CR and LF replaced by spaces. A present header whose value has no
 * text form (gender, rate or volume of unknown type, a cause of 8 or more, a
 * number the grammar cannot carry: negative, not finite, or longer than 15
 * characters) is left out. Numbers are written as the shortest fixed-point
 * decimal that reads back to the same value. Rates of relative change are
 * written as "N%", volumes of relative change as "+NdB"/"-NdB" (the sign of
 * -0 kept), numeric volumes as "NdB"; the unit of a relative volume is not
 * kept, only its number. A Vendor-Specific-Parameters pair without a name
 * keeps its "=", and blanks that would end the line are left out. So
 * writing a message that was read and reading it again gives a message that
 * is written as the same text.
 *
 * Every function here is thread-safe as long as each pool and message is
 * used by one thread at a time.
 */
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "vxhost/mrcp.h"

namespace vxhost {

// Longest message ParseMrcpMessage reads, start line and headers included.
constexpr size_t kMaxMrcpMessageSize = 1024 * 1024;

// Reads one whole message from `text` into a new message allocated in
// `pool`. On failure returns false, leaves *out untouched and puts a
// one-line reason in *error (either pointer may be null).
bool ParseMrcpMessage(const std::string& text, apr_pool_t* pool, mrcp_message_t** out,
                      std::string* error);

// Writes `message` as MRCPv2 text; "" for a null message.
std::string GenerateMrcpMessage(const mrcp_message_t* message);

// Sets one header from its text form, as the reader would, in the message's
// pool, and marks it present. "Channel-Identifier" sets the channel id.
// Unknown names are ignored (true). False with *error for a bad value.
bool SetMrcpHeader(mrcp_message_t* message, const std::string& name, const std::string& value,
                   std::string* error);

// The grammars of Prosody-Rate and Prosody-Volume above; false (and *out
// untouched) for a value outside them.
bool ParseProsodyRate(const std::string& value, mrcp_prosody_rate_t* out);
bool ParseProsodyVolume(const std::string& value, mrcp_prosody_volume_t* out);

// "COMPLETE", "IN-PROGRESS", "PENDING", or "" for another state.
const char* MrcpRequestStateName(mrcp_request_state_e state);

// The fields of a SPEAK request as a caller gives them.
struct SpeakFields {
  std::string body;
  std::string content_type = "text/plain";
  std::string voice_name;  // left out when empty
  std::string language;    // Speech-Language, left out when empty
  std::string channel_id;  // Channel-Identifier, left out when empty
  mrcp_request_id request_id = 0;
  // Further headers, written in this order after the ones above (so a
  // Content-Type given here overrides content_type).
  std::vector<std::pair<std::string, std::string>> headers;
};

// The SPEAK as MRCPv2 text (message-length and Content-Length computed).
std::string ComposeSpeakText(const SpeakFields& fields);

// The SPEAK as a message in `pool`: ComposeSpeakText read back with
// ParseMrcpMessage, so the header grammars above apply. Null with *error
// for a bad header value.
mrcp_message_t* BuildSpeakRequest(const SpeakFields& fields, apr_pool_t* pool,
                                  std::string* error);

}  // namespace vxhost
