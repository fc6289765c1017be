// Header fields of MRCP messages as text, shared by the message reader and
// writer (MrcpText.cpp) and the header grammars (MrcpHeaders.cpp).
#pragma once

#include <string>

#include "vxhost/mrcp.h"

namespace vxhost {

// Appends "Name: value" CRLF for the channel identifier and every present
// header that has a text form, generic section first, each in header id
// order; Content-Length is left to the caller.
void AppendHeaders(const mrcp_message_t* message, std::string* out);

bool IsDecimalDigits(const std::string& text);
// An unsigned decimal integer of 1 to `max_digits` digits.
bool ParseUnsignedDecimal(const std::string& text, size_t max_digits, apr_size_t* out);
// `text` without leading and trailing spaces and tabs.
std::string TrimBlanks(const std::string& text);
// Text for one header line: CR and LF become spaces.
std::string OneLine(const char* data, size_t length);
std::string OneLine(const apt_str_t& str);

}  // namespace vxhost
