// Case folding of ASCII text for the vexora program's own words (script
// directives, event and header names).
#pragma once

#include <cctype>
#include <string>

namespace VxCli {

inline std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

inline std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace VxCli
