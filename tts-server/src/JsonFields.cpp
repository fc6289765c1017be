#include "JsonFields.h"

#include <nlohmann/json.hpp>

namespace VxTts {
namespace {

// Containers nested deeper than this are refused, so that a token from a
// client cannot make the reader build an arbitrarily deep tree.
constexpr int kDeepestNesting = 64;

// Whole numbers are exact in a double up to 2^53; a little less is taken.
constexpr double kLargestWholeNumber = 9.0e15;

}  // namespace

bool JsonFields::Parse(const std::string& text) {
  m_Values.clear();
  bool too_deep = false;
  const auto watch_depth = [&too_deep](int depth, nlohmann::json::parse_event_t event,
                                       nlohmann::json&) {
    if ((event == nlohmann::json::parse_event_t::object_start ||
         event == nlohmann::json::parse_event_t::array_start) &&
        depth > kDeepestNesting) {
      too_deep = true;
    }
    return !too_deep;  // nothing more is kept once the text is refused
  };
  // Strict RFC 8259: no comments, nothing after the object, strings of
  // valid UTF-8 with every control character escaped.
  const nlohmann::json document = nlohmann::json::parse(text, watch_depth, false);
  if (document.is_discarded() || too_deep || !document.is_object()) return false;
  for (const auto& member : document.items()) {
    Value value;
    if (member.value().is_string()) {
      value.kind = Value::Kind::kString;
      value.text = member.value().get<std::string>();
    } else if (member.value().is_number()) {
      value.kind = Value::Kind::kNumber;
      value.number = member.value().get<double>();
    }
    m_Values[member.key()] = std::move(value);
  }
  return true;
}

bool JsonFields::GetString(const std::string& key, std::string* value) const {
  auto it = m_Values.find(key);
  if (it == m_Values.end() || it->second.kind != Value::Kind::kString) return false;
  *value = it->second.text;
  return true;
}

bool JsonFields::GetInt(const std::string& key, long long* value) const {
  auto it = m_Values.find(key);
  if (it == m_Values.end() || it->second.kind != Value::Kind::kNumber) return false;
  const double d = it->second.number;
  if (d > kLargestWholeNumber || d < -kLargestWholeNumber ||
      d != static_cast<double>(static_cast<long long>(d))) {
    return false;
  }
  *value = static_cast<long long>(d);
  return true;
}

}  // namespace VxTts
