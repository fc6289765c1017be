// MRCPv2 text form of whole messages: the reader and the writer
// (MrcpText.h); header values are MrcpHeaders.cpp's.

#include "vxhost/MrcpText.h"

#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cctype>
#include <vector>
#include <iconv.h>

#include "MrcpHeaders.h"

namespace vxhost {
namespace {

const char kVersion[] = "MRCP/2.0";

void SetError(std::string* error, const std::string& text) {
  if (error) *error = text;
}

// Offset of the first octet that breaks UTF-8, or npos.
size_t InvalidUtf8Offset(const std::string& text) {
  const unsigned char* data = reinterpret_cast<const unsigned char*>(text.data());
  const size_t size = text.size();
  size_t i = 0;
  while (i < size) {
    const unsigned char c = data[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t extra;
    unsigned int min;
    unsigned int code;
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1, min = 0x80, code = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2, min = 0x800, code = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3, min = 0x10000, code = c & 0x07;
    } else {
      return i;
    }
    if (i + extra >= size) return i;  // cut short by the end of the text
    for (size_t k = 1; k <= extra; ++k) {
      if ((data[i + k] & 0xC0) != 0x80) return i;
      code = (code << 6) | (data[i + k] & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return i;
    i += extra + 1;
  }
  return std::string::npos;
}

// Start line, headers and body, with the exact message-length: "MRCP/2.0 "
// + length + " " + `tail` + `rest`, where the length counts itself.
std::string Assemble(const std::string& tail, const std::string& rest) {
  const size_t fixed = sizeof(kVersion) - 1 + 2 + tail.size() + rest.size();
  size_t length = fixed + 1;
  for (;;) {
    const size_t next = fixed + std::to_string(length).size();
    if (next == length) break;
    length = next;
  }
  return std::string(kVersion) + " " + std::to_string(length) + " " + tail + rest;
}

std::vector<std::string> SplitFields(const std::string& line) {
  std::vector<std::string> fields;
  size_t pos = 0;
  while (pos < line.size()) {
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    const size_t start = pos;
    while (pos < line.size() && line[pos] != ' ' && line[pos] != '\t') ++pos;
    if (pos > start) fields.push_back(line.substr(start, pos - start));
  }
  return fields;
}

bool ParseRequestState(const std::string& text, mrcp_request_state_e* state) {
  for (int i = MRCP_REQUEST_STATE_COMPLETE; i <= MRCP_REQUEST_STATE_PENDING; ++i) {
    const auto candidate = static_cast<mrcp_request_state_e>(i);
    if (text == MrcpRequestStateName(candidate)) {
      *state = candidate;
      return true;
    }
  }
  return false;
}

bool ParseStartLine(const std::string& line, mrcp_start_line_t* start, apr_pool_t* pool,
                    std::string* error) {
  const std::vector<std::string> fields = SplitFields(line);
  if (fields.size() != 4 && fields.size() != 5) {
    return SetError(error, "bad start line: \"" + line + "\""), false;
  }
  if (fields[0] != kVersion) {
    return SetError(error, "unsupported version \"" + fields[0] + "\""), false;
  }
  apr_size_t length;
  if (!ParseUnsignedDecimal(fields[1], 19, &length)) {
    return SetError(error, "bad message-length \"" + fields[1] + "\""), false;
  }
  start->version = MRCP_VERSION_2;
  std::string name;
  std::string id;
  if (fields.size() == 4) {
    start->message_type = MRCP_MESSAGE_TYPE_REQUEST;
    name = fields[2];
    id = fields[3];
    start->method_id = SYNTHESIZER_METHOD_COUNT;
    for (apr_size_t i = 0; i < SYNTHESIZER_METHOD_COUNT; ++i) {
      if (name == mrcp_synth_method_name_get(i)) start->method_id = i;
    }
  } else if (IsDecimalDigits(fields[2])) {
    start->message_type = MRCP_MESSAGE_TYPE_RESPONSE;
    id = fields[2];
    if (fields[3].size() != 3 || !IsDecimalDigits(fields[3]) || fields[3][0] == '0') {
      return SetError(error, "bad status-code \"" + fields[3] + "\""), false;
    }
    start->status_code = static_cast<mrcp_status_code_e>(std::stoi(fields[3]));
    if (!ParseRequestState(fields[4], &start->request_state)) {
      return SetError(error, "bad request-state \"" + fields[4] + "\""), false;
    }
  } else {
    start->message_type = MRCP_MESSAGE_TYPE_EVENT;
    name = fields[2];
    id = fields[3];
    start->method_id = SYNTHESIZER_EVENT_COUNT;
    for (apr_size_t i = 0; i < SYNTHESIZER_EVENT_COUNT; ++i) {
      if (name == mrcp_synth_event_name_get(i)) start->method_id = i;
    }
    if (!ParseRequestState(fields[4], &start->request_state)) {
      return SetError(error, "bad request-state \"" + fields[4] + "\""), false;
    }
  }
  if (!ParseUnsignedDecimal(id, 10, &start->request_id)) {
    return SetError(error, "bad request-id \"" + id + "\""), false;
  }
  if (!name.empty()) apt_string_assign_n(&start->method_name, name.data(), name.size(), pool);
  return true;
}

// Reads the line starting at *pos (without its CRLF or LF) and moves *pos
// past it. False at the end of the text, or with *error for a CR that does
// not end the line.
bool NextLine(const std::string& text, size_t* pos, std::string* line, std::string* error) {
  if (*pos >= text.size()) return false;
  size_t end = text.find('\n', *pos);
  const size_t next = end == std::string::npos ? text.size() : end + 1;
  if (end == std::string::npos) end = text.size();
  if (end > *pos && text[end - 1] == '\r') --end;
  *line = text.substr(*pos, end - *pos);
  const size_t cr = line->find('\r');
  if (cr != std::string::npos) {
    SetError(error, "stray CR at offset " + std::to_string(*pos + cr));
    return false;
  }
  *pos = next;
  return true;
}

// Octets of the start line and the header lines, up to and with the empty
// line that ends them (the whole text when there is none).
size_t HeadSize(const std::string& text) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) return text.size();
    const bool empty = end == pos || (end == pos + 1 && text[pos] == '\r');
    pos = end + 1;
    if (empty) return pos;
  }
  return text.size();
}

// "line N: " for the line that holds `offset`.
std::string LineOf(const std::string& text, size_t offset) {
  const auto end = text.begin() + static_cast<std::ptrdiff_t>(std::min(offset, text.size()));
  const auto breaks = std::count(text.begin(), end, '\n');
  return "line " + std::to_string(breaks + 1) + ": ";
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The value of parameter `name` in a header value of "type; a=b; c=d"
// form, and where it is (*begin, *length, quotes left out); false when absent.
bool FindParameter(const std::string& value, const std::string& name, size_t* begin,
                   size_t* length) {
  size_t pos = value.find(';');
  while (pos != std::string::npos) {
    size_t start = pos + 1;
    while (start < value.size() && (value[start] == ' ' || value[start] == '\t')) ++start;
    const size_t equals = value.find('=', start);
    const size_t next = value.find(';', start);
    if (equals != std::string::npos && (next == std::string::npos || equals < next)) {
      const std::string key = Lower(TrimBlanks(value.substr(start, equals - start)));
      if (key == name) {
        size_t vbegin = equals + 1;
        size_t vend = next == std::string::npos ? value.size() : next;
        while (vbegin < vend && (value[vbegin] == ' ' || value[vbegin] == '\t')) ++vbegin;
        while (vend > vbegin && (value[vend - 1] == ' ' || value[vend - 1] == '\t')) --vend;
        if (vend - vbegin >= 2 && value[vbegin] == '"' && value[vend - 1] == '"') {
          ++vbegin;
          --vend;
        }
        *begin = vbegin;
        *length = vend - vbegin;
        return true;
      }
    }
    pos = next;
  }
  return false;
}

// Whether a media type is XML ("application/ssml+xml", "text/xml", ...),
// compared without regard to case.
bool IsXmlType(const std::string& content_type) {
  std::string type = Lower(TrimBlanks(content_type.substr(0, content_type.find(';'))));
  return type.size() >= 4 && (type.compare(type.size() - 4, 4, "+xml") == 0 ||
                              type.compare(type.size() - 4, 4, "/xml") == 0);
}

// The encoding an XML declaration at the start of `body` names, and where
// its value is; false without one.
bool FindXmlEncoding(const std::string& body, size_t* begin, size_t* length) {
  size_t start = 0;
  if (body.compare(0, 3, "\xEF\xBB\xBF") == 0) start = 3;
  if (body.compare(start, 5, "<?xml") != 0) return false;
  const size_t end = body.find("?>", start);
  if (end == std::string::npos) return false;
  const size_t key = body.find("encoding", start);
  if (key == std::string::npos || key > end) return false;
  auto blank = [&body](size_t at) {
    return body[at] == ' ' || body[at] == '\t' || body[at] == '\r' || body[at] == '\n';
  };
  size_t at = key + 8;
  while (at < end && blank(at)) ++at;
  if (at >= end || body[at] != '=') return false;
  ++at;
  while (at < end && blank(at)) ++at;
  if (at >= end || (body[at] != '"' && body[at] != '\'')) return false;
  const char quote = body[at];
  const size_t close = body.find(quote, at + 1);
  if (close == std::string::npos || close > end) return false;
  *begin = at + 1;
  *length = close - at - 1;
  return true;
}

bool IsUtf8Name(const std::string& charset) {
  const std::string name = Lower(charset);
  return name == "utf-8" || name == "utf8" || name == "us-ascii" || name == "ascii";
}

// `input` in `charset`, as UTF-8; false with *error.
bool ToUtf8(const std::string& input, const std::string& charset, std::string* output,
            std::string* error) {
  iconv_t converter = iconv_open("UTF-8", charset.c_str());
  if (converter == reinterpret_cast<iconv_t>(-1)) {
    return SetError(error, "unknown charset \"" + charset + "\" of the body"), false;
  }
  std::string result;
  std::vector<char> in(input.begin(), input.end());
  char* in_ptr = in.data();
  size_t in_left = in.size();
  char buffer[4096];
  bool ok = true;
  while (in_left > 0) {
    char* out_ptr = buffer;
    size_t out_left = sizeof(buffer);
    const size_t done = iconv(converter, &in_ptr, &in_left, &out_ptr, &out_left);
    result.append(buffer, sizeof(buffer) - out_left);
    if (done == static_cast<size_t>(-1) && errno != E2BIG) {
      SetError(error, "the body is not valid " + charset + " at offset " +
                          std::to_string(in.size() - in_left));
      ok = false;
      break;
    }
  }
  if (ok) {
    char* out_ptr = buffer;
    size_t out_left = sizeof(buffer);
    iconv(converter, nullptr, nullptr, &out_ptr, &out_left);
    result.append(buffer, sizeof(buffer) - out_left);
  }
  iconv_close(converter);
  if (ok) *output = std::move(result);
  return ok;
}

// Brings the body to UTF-8: in the charset its Content-Type names, or else
// (for an XML type) the one its XML declaration names, it is converted, and
// both are rewritten to say UTF-8, so that the module reads one encoding.
bool ConvertBody(mrcp_message_t* message, std::string* body, std::string* error) {
  std::string content_type;
  if (mrcp_generic_header_property_check(message, GENERIC_HEADER_CONTENT_TYPE)) {
    const apt_str_t& type = message->generic_header->content_type;
    content_type.assign(type.buf ? type.buf : "", type.buf ? type.length : 0);
  }
  size_t begin = 0;
  size_t length = 0;
  std::string charset;
  const bool in_type = FindParameter(content_type, "charset", &begin, &length);
  if (in_type) {
    charset = content_type.substr(begin, length);
  }
  size_t xml_begin = 0;
  size_t xml_length = 0;
  const bool in_xml = IsXmlType(content_type) && FindXmlEncoding(*body, &xml_begin, &xml_length);
  if (!in_type && in_xml) charset = body->substr(xml_begin, xml_length);
  if (!charset.empty() && !IsUtf8Name(charset)) {
    std::string converted;
    if (!ToUtf8(*body, charset, &converted, error)) return false;
    *body = std::move(converted);
    if (in_type) {
      content_type.replace(begin, length, "UTF-8");
      std::string ignored;
      SetMrcpHeader(message, "Content-Type", content_type, &ignored);
    }
    if (IsXmlType(content_type) && FindXmlEncoding(*body, &xml_begin, &xml_length)) {
      body->replace(xml_begin, xml_length, "UTF-8");
    }
  }
  const size_t nul = body->find('\0');
  if (nul != std::string::npos) {
    return SetError(error, "NUL octet in the body at offset " + std::to_string(nul)), false;
  }
  const size_t invalid = InvalidUtf8Offset(*body);
  if (invalid != std::string::npos) {
    return SetError(error, "invalid UTF-8 in the body at offset " + std::to_string(invalid) +
                               " (a body in another charset names it in Content-Type)"),
           false;
  }
  return true;
}

}  // namespace

const char* MrcpRequestStateName(mrcp_request_state_e state) {
  switch (state) {
    case MRCP_REQUEST_STATE_COMPLETE:
      return "COMPLETE";
    case MRCP_REQUEST_STATE_INPROGRESS:
      return "IN-PROGRESS";
    case MRCP_REQUEST_STATE_PENDING:
      return "PENDING";
    default:
      return "";
  }
}

bool ParseMrcpMessage(const std::string& text, apr_pool_t* pool, mrcp_message_t** out,
                      std::string* error) {
  if (!pool) return SetError(error, "no pool"), false;
  if (text.size() > kMaxMrcpMessageSize) {
    return SetError(error, "message of " + std::to_string(text.size()) + " octets exceeds " +
                               std::to_string(kMaxMrcpMessageSize)),
           false;
  }
  // The start line and the headers are UTF-8; the body is in the charset
  // its headers name, checked once it is converted.
  const size_t head_size = HeadSize(text);
  const std::string head = text.substr(0, head_size);
  const size_t nul = head.find('\0');
  if (nul != std::string::npos) {
    return SetError(error, LineOf(text, nul) + "NUL octet at offset " + std::to_string(nul)),
           false;
  }
  const size_t invalid = InvalidUtf8Offset(head);
  if (invalid != std::string::npos) {
    return SetError(error, LineOf(text, invalid) + "invalid UTF-8 at offset " +
                               std::to_string(invalid)),
           false;
  }

  size_t pos = 0;
  int line_number = 1;
  std::string line;
  std::string line_error;
  auto at_line = [&](const std::string& reason) {
    return SetError(error, "line " + std::to_string(line_number) + ": " + reason), false;
  };
  if (!NextLine(text, &pos, &line, &line_error)) {
    if (line_error.empty()) return SetError(error, "empty message"), false;
    return at_line(line_error);
  }
  mrcp_message_t* message = mrcp_request_create(MRCP_VERSION_2, SYNTHESIZER_METHOD_COUNT, pool);
  std::string reason;
  if (!ParseStartLine(line, &message->start_line, pool, &reason)) return at_line(reason);
  message->start_line.length = text.size();

  // Header lines up to the empty line; continuation lines are joined first.
  struct Header {
    std::string name;
    std::string value;
    int line;
  };
  std::vector<Header> headers;
  bool has_body_part = false;
  while (true) {
    ++line_number;
    if (!NextLine(text, &pos, &line, &line_error)) break;
    if (line.empty()) {
      has_body_part = true;
      break;
    }
    if (line[0] == ' ' || line[0] == '\t') {
      if (headers.empty()) return at_line("continuation line before any header");
      headers.back().value += " " + TrimBlanks(line);
      continue;
    }
    const size_t colon = line.find(':');
    if (colon == std::string::npos || TrimBlanks(line.substr(0, colon)).empty()) {
      return at_line("bad header line: \"" + line + "\"");
    }
    headers.push_back(
        {TrimBlanks(line.substr(0, colon)), TrimBlanks(line.substr(colon + 1)), line_number});
  }
  if (!line_error.empty()) return at_line(line_error);
  bool has_length = false;
  for (const auto& header : headers) {
    if (!SetMrcpHeader(message, header.name, header.value, &reason)) {
      return SetError(error, "line " + std::to_string(header.line) + ": " + reason), false;
    }
    if (strcasecmp(header.name.c_str(), "Content-Length") == 0 && !header.value.empty()) {
      has_length = true;
    }
  }

  const size_t available = has_body_part ? text.size() - pos : 0;
  size_t body_length = available;
  if (has_length) {
    body_length = message->generic_header->content_length;
    if (body_length > available) {
      return SetError(error, "body of " + std::to_string(available) +
                                 " octets is shorter than Content-Length " +
                                 std::to_string(body_length)),
             false;
    }
    for (size_t i = pos + body_length; i < text.size(); ++i) {
      const char c = text[i];
      if (c != '\r' && c != '\n' && c != ' ' && c != '\t') {
        return SetError(error, "data after the body at offset " + std::to_string(i)), false;
      }
    }
  }
  if (body_length > 0) {
    std::string body = text.substr(pos, body_length);
    if (!ConvertBody(message, &body, error)) return false;
    apt_string_assign_n(&message->body, body.data(), body.size(), pool);
    mrcp_generic_header_prepare(message)->content_length = body.size();
    mrcp_generic_header_property_add(message, GENERIC_HEADER_CONTENT_LENGTH);
  }
  // Whatever is read can be written and read again: a message whose written
  // form (exact message-length, Content-Length, canonical values) would
  // exceed the limit is refused as well.
  const size_t written = GenerateMrcpMessage(message).size();
  if (written > kMaxMrcpMessageSize) {
    return SetError(error, "message of " + std::to_string(written) +
                               " octets once written exceeds " +
                               std::to_string(kMaxMrcpMessageSize)),
           false;
  }
  *out = message;
  return true;
}

std::string GenerateMrcpMessage(const mrcp_message_t* message) {
  if (!message) return "";
  const mrcp_start_line_t& start = message->start_line;
  const std::string id = std::to_string(start.request_id);
  std::string name = OneLine(start.method_name);
  std::string state = MrcpRequestStateName(start.request_state);
  if (state.empty()) state = "COMPLETE";
  std::string tail;
  switch (start.message_type) {
    case MRCP_MESSAGE_TYPE_RESPONSE: {
      char status[16];
      snprintf(status, sizeof(status), "%03d", static_cast<int>(start.status_code) % 1000);
      tail = id + " " + status + " " + state;
      break;
    }
    case MRCP_MESSAGE_TYPE_EVENT:
      if (name.empty() && mrcp_synth_event_name_get(start.method_id)) {
        name = mrcp_synth_event_name_get(start.method_id);
      }
      tail = (name.empty() ? "UNKNOWN-EVENT" : name) + " " + id + " " + state;
      break;
    default:
      if (name.empty() && mrcp_synth_method_name_get(start.method_id)) {
        name = mrcp_synth_method_name_get(start.method_id);
      }
      tail = (name.empty() ? "UNKNOWN-METHOD" : name) + " " + id;
      break;
  }
  tail += "\r\n";

  std::string rest;
  AppendHeaders(message, &rest);
  const size_t body_length = message->body.buf ? message->body.length : 0;
  if (body_length > 0) rest += "Content-Length: " + std::to_string(body_length) + "\r\n";
  rest += "\r\n";
  if (body_length > 0) rest.append(message->body.buf, body_length);
  return Assemble(tail, rest);
}

std::string ComposeSpeakText(const SpeakFields& fields) {
  std::string rest;
  auto add = [&rest](const std::string& name, const std::string& value) {
    rest += OneLine(name.data(), name.size()) + ": " + OneLine(value.data(), value.size()) + "\r\n";
  };
  if (!fields.channel_id.empty()) add("Channel-Identifier", fields.channel_id);
  if (!fields.voice_name.empty()) add("Voice-Name", fields.voice_name);
  if (!fields.language.empty()) add("Speech-Language", fields.language);
  if (!fields.content_type.empty()) add("Content-Type", fields.content_type);
  // Given headers come later, so that they override the fields above.
  for (const auto& header : fields.headers) add(header.first, header.second);
  if (!fields.body.empty()) add("Content-Length", std::to_string(fields.body.size()));
  rest += "\r\n";
  rest += fields.body;
  return Assemble("SPEAK " + std::to_string(fields.request_id) + "\r\n", rest);
}

mrcp_message_t* BuildSpeakRequest(const SpeakFields& fields, apr_pool_t* pool,
                                  std::string* error) {
  mrcp_message_t* message = nullptr;
  if (!ParseMrcpMessage(ComposeSpeakText(fields), pool, &message, error)) return nullptr;
  return message;
}

}  // namespace vxhost
