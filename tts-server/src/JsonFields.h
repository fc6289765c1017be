#pragma once

#include <map>
#include <string>

namespace VxTts {

// The top-level members of one JSON object, enough to read a service-account
// key file and the header and claims of a token: the strings (unescaped)
// and the numbers; other members are only known to be there. The text is
// read by nlohmann-json, strictly. A plain value type.
class JsonFields {
 public:
  // Parses text, which must be exactly one JSON object (surrounding white
  // space allowed). Returns false on malformed input.
  bool Parse(const std::string& text);

  bool Has(const std::string& key) const { return m_Values.count(key) != 0; }
  // The unescaped value of a string member; false if absent or not a string.
  bool GetString(const std::string& key, std::string* value) const;
  // The value of a numeric member as a whole number; false if absent, not a
  // number or not integral.
  bool GetInt(const std::string& key, long long* value) const;

 private:
  struct Value {
    enum class Kind { kString, kNumber, kOther };
    Kind kind = Kind::kOther;
    std::string text;   // kString: unescaped
    double number = 0;  // kNumber
  };
  std::map<std::string, Value> m_Values;
};

}  // namespace VxTts
