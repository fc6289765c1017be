#include "JsonFields.h"

#include <cerrno>
#include <cstdlib>

namespace VxTts {
namespace {

// A cursor over JSON text. Every Read* returns false on malformed input.
class Reader {
 public:
  explicit Reader(const std::string& text) : m_Text(text) {}

  void SkipSpace() {
    while (m_Pos < m_Text.size() && (m_Text[m_Pos] == ' ' || m_Text[m_Pos] == '\t' ||
                                     m_Text[m_Pos] == '\n' || m_Text[m_Pos] == '\r')) {
      ++m_Pos;
    }
  }
  bool AtEnd() const { return m_Pos >= m_Text.size(); }
  bool Peek(char c) const { return m_Pos < m_Text.size() && m_Text[m_Pos] == c; }
  bool Consume(char c) {
    SkipSpace();
    if (!Peek(c)) return false;
    ++m_Pos;
    return true;
  }
  size_t pos() const { return m_Pos; }

  bool ReadString(std::string* out) {
    SkipSpace();
    if (!Peek('"')) return false;
    ++m_Pos;
    out->clear();
    while (m_Pos < m_Text.size()) {
      const unsigned char c = static_cast<unsigned char>(m_Text[m_Pos++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c != '\\') {
        out->push_back(static_cast<char>(c));
        continue;
      }
      if (m_Pos >= m_Text.size()) return false;
      const char e = m_Text[m_Pos++];
      switch (e) {
        case '"':
          out->push_back('"');
          break;
        case '\\':
          out->push_back('\\');
          break;
        case '/':
          out->push_back('/');
          break;
        case 'b':
          out->push_back('\b');
          break;
        case 'f':
          out->push_back('\f');
          break;
        case 'n':
          out->push_back('\n');
          break;
        case 'r':
          out->push_back('\r');
          break;
        case 't':
          out->push_back('\t');
          break;
        case 'u': {
          unsigned cp = 0;
          if (!ReadHex4(&cp)) return false;
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            unsigned low = 0;
            if (m_Pos + 1 >= m_Text.size() || m_Text[m_Pos] != '\\' || m_Text[m_Pos + 1] != 'u')
              return false;
            m_Pos += 2;
            if (!ReadHex4(&low) || low < 0xDC00 || low > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return false;
          }
          AppendUtf8(cp, out);
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }

  // Skips any value; is_string/text receive a string's content or the raw text.
  bool ReadValue(bool* is_string, std::string* text, int depth = 0) {
    if (depth > 64) return false;
    SkipSpace();
    if (AtEnd()) return false;
    const char c = m_Text[m_Pos];
    if (c == '"') {
      *is_string = true;
      return ReadString(text);
    }
    *is_string = false;
    const size_t start = m_Pos;
    if (c == '{' || c == '[') {
      const char close = c == '{' ? '}' : ']';
      ++m_Pos;
      if (Consume(close)) {
        *text = m_Text.substr(start, m_Pos - start);
        return true;
      }
      for (;;) {
        bool nested_string = false;
        std::string ignored;
        if (c == '{') {
          if (!ReadString(&ignored) || !Consume(':')) return false;
        }
        if (!ReadValue(&nested_string, &ignored, depth + 1)) return false;
        if (Consume(close)) break;
        if (!Consume(',')) return false;
      }
      *text = m_Text.substr(start, m_Pos - start);
      return true;
    }
    while (m_Pos < m_Text.size()) {
      const char d = m_Text[m_Pos];
      const bool literal = (d >= '0' && d <= '9') || (d >= 'a' && d <= 'z') || d == '-' ||
                           d == '+' || d == '.' || d == 'E';
      if (!literal) break;
      ++m_Pos;
    }
    *text = m_Text.substr(start, m_Pos - start);
    if (text->empty()) return false;
    if (*text == "true" || *text == "false" || *text == "null") return true;
    char* end = nullptr;
    errno = 0;
    std::strtod(text->c_str(), &end);
    return end == text->c_str() + text->size() &&
           ((*text)[0] == '-' || ((*text)[0] >= '0' && (*text)[0] <= '9'));
  }

 private:
  bool ReadHex4(unsigned* out) {
    if (m_Pos + 4 > m_Text.size()) return false;
    unsigned v = 0;
    for (int i = 0; i < 4; ++i) {
      const char h = m_Text[m_Pos++];
      v <<= 4;
      if (h >= '0' && h <= '9')
        v |= static_cast<unsigned>(h - '0');
      else if (h >= 'a' && h <= 'f')
        v |= static_cast<unsigned>(h - 'a' + 10);
      else if (h >= 'A' && h <= 'F')
        v |= static_cast<unsigned>(h - 'A' + 10);
      else
        return false;
    }
    *out = v;
    return true;
  }

  static void AppendUtf8(unsigned cp, std::string* out) {
    if (cp < 0x80) {
      out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }

  const std::string& m_Text;
  size_t m_Pos = 0;
};

}  // namespace

bool JsonFields::Parse(const std::string& text) {
  m_Values.clear();
  Reader reader(text);
  if (!reader.Consume('{')) return false;
  if (!reader.Consume('}')) {
    for (;;) {
      std::string key;
      Value value;
      if (!reader.ReadString(&key) || !reader.Consume(':') ||
          !reader.ReadValue(&value.is_string, &value.text)) {
        m_Values.clear();
        return false;
      }
      m_Values[key] = std::move(value);
      if (reader.Consume('}')) break;
      if (!reader.Consume(',')) {
        m_Values.clear();
        return false;
      }
    }
  }
  reader.SkipSpace();
  if (!reader.AtEnd()) {
    m_Values.clear();
    return false;
  }
  return true;
}

bool JsonFields::GetString(const std::string& key, std::string* value) const {
  auto it = m_Values.find(key);
  if (it == m_Values.end() || !it->second.is_string) return false;
  *value = it->second.text;
  return true;
}

bool JsonFields::GetInt(const std::string& key, long long* value) const {
  auto it = m_Values.find(key);
  if (it == m_Values.end() || it->second.is_string) return false;
  const std::string& t = it->second.text;
  if (t.empty() || !((t[0] >= '0' && t[0] <= '9') || t[0] == '-')) return false;
  char* end = nullptr;
  errno = 0;
  const double d = std::strtod(t.c_str(), &end);
  if (errno != 0 || end != t.c_str() + t.size()) return false;
  if (d > 9.0e15 || d < -9.0e15 || d != static_cast<double>(static_cast<long long>(d)))
    return false;
  *value = static_cast<long long>(d);
  return true;
}

}  // namespace VxTts
