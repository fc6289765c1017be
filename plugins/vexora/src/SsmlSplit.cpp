#include "SsmlSplit.h"

#include <strings.h>

#include <cstdint>
#include <cstring>

namespace VXS {

namespace {

// Length of the well-formed UTF-8 sequence of a character allowed in XML at
// text[pos], or 0.
size_t XmlCharLength(const std::string& text, size_t pos) {
  const unsigned char c = static_cast<unsigned char>(text[pos]);
  if (c < 0x80) return (c >= 0x20 || c == '\t' || c == '\n' || c == '\r') ? 1 : 0;
  size_t extra;
  uint32_t code;
  if (c >= 0xC2 && c <= 0xDF) {
    extra = 1, code = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    extra = 2, code = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    extra = 3, code = c & 0x07;
  } else {
    return 0;
  }
  if (pos + extra >= text.size()) return 0;
  for (size_t k = 1; k <= extra; ++k) {
    const unsigned char next = static_cast<unsigned char>(text[pos + k]);
    if ((next & 0xC0) != 0x80) return 0;
    code = (code << 6) | (next & 0x3F);
  }
  static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
  if (code < kMin[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF) ||
      code == 0xFFFE || code == 0xFFFF)
    return 0;
  return extra + 1;
}

// Elements that are heard although they hold no text.
bool SoundsWithoutText(const std::string& name) {
  return strcasecmp(name.c_str(), "break") == 0 || strcasecmp(name.c_str(), "audio") == 0;
}

bool IsBlankText(const std::string& text) {
  for (char c : text) {
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return false;
  }
  return true;
}

bool HasText(const apr_text_header& header) {
  for (const apr_text* text = header.first; text; text = text->next) {
    if (text->text && *text->text) return true;
  }
  return false;
}

void AppendTexts(const apr_text_header& header, std::vector<SsmlToken>& tokens) {
  std::string escaped;
  for (const apr_text* text = header.first; text; text = text->next) {
    if (text->text) AppendXmlText(escaped, text->text);
  }
  if (escaped.empty()) return;
  if (!tokens.empty() && tokens.back().m_Kind == SsmlToken::TEXT) {
    tokens.back().m_Text += escaped;
  } else {
    tokens.push_back(SsmlToken{SsmlToken::TEXT, escaped, std::string()});
  }
}

std::string AttributeValue(const apr_xml_elem* element, const char* name) {
  for (const apr_xml_attr* attr = element->attr; attr; attr = attr->next) {
    if (attr->name && strcmp(attr->name, name) == 0) return attr->value ? attr->value : "";
  }
  return std::string();
}

// "<name xml:lang=... a=...": the start of a tag, without its end.
std::string OpenTag(const apr_xml_elem* element, const char* parentLang) {
  std::string tag = "<";
  tag += element->name;
  // The parser keeps languages quoted, ready to write.
  if (element->lang && (!parentLang || strcmp(element->lang, parentLang) != 0)) {
    tag += " xml:lang=\"";
    tag += element->lang;
    tag += '"';
  }
  // The parser links attributes last one first.
  std::vector<const apr_xml_attr*> ordered;
  for (const apr_xml_attr* attr = element->attr; attr; attr = attr->next) {
    if (attr->name && strcmp(attr->name, "xml:lang") != 0) ordered.push_back(attr);
  }
  for (auto it = ordered.rbegin(); it != ordered.rend(); ++it) {
    tag += ' ';
    tag += (*it)->name;
    tag += "=\"";
    AppendXmlAttributeValue(tag, (*it)->value ? (*it)->value : "");
    tag += '"';
  }
  return tag;
}

void FlattenContent(const apr_xml_elem* element, const SsmlCutTest& isCut,
                    std::vector<SsmlToken>& tokens) {
  AppendTexts(element->first_cdata, tokens);
  for (const apr_xml_elem* child = element->first_child; child; child = child->next) {
    if (!child->name) {
      // Nothing to write for it; its content still counts.
      FlattenContent(child, isCut, tokens);
    } else if (isCut && isCut(child)) {
      tokens.push_back(SsmlToken{SsmlToken::CUT, AttributeValue(child, "name"), std::string()});
      // A cut element has no content of its own; what a malformed one holds
      // is kept, after the cut.
      FlattenContent(child, isCut, tokens);
    } else if (!child->first_child && !HasText(child->first_cdata)) {
      tokens.push_back(
          SsmlToken{SsmlToken::EMPTY, OpenTag(child, element->lang) + "/>", child->name});
    } else {
      tokens.push_back(
          SsmlToken{SsmlToken::START, OpenTag(child, element->lang) + ">", child->name});
      // The parser limits nesting, so the recursion depth stays small.
      FlattenContent(child, isCut, tokens);
      tokens.push_back(
          SsmlToken{SsmlToken::END, std::string("</") + child->name + ">", child->name});
    }
    AppendTexts(child->following_cdata, tokens);
  }
}

}  // namespace

void AppendXmlAttributeValue(std::string& out, const std::string& value) {
  for (size_t pos = 0; pos < value.size();) {
    size_t length = XmlCharLength(value, pos);
    if (!length) {
      ++pos;
      continue;
    }
    switch (value[pos]) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\t':
        out += "&#9;";
        break;
      case '\n':
        out += "&#10;";
        break;
      case '\r':
        out += "&#13;";
        break;
      default:
        out.append(value, pos, length);
        break;
    }
    pos += length;
  }
}

void AppendXmlText(std::string& out, const char* text) {
  for (const char* pos = text; *pos; ++pos) {
    switch (*pos) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '\r':
        // Written as is, it would read back as a line feed.
        out += "&#13;";
        break;
      default:
        out += *pos;
        break;
    }
  }
}

bool IsUncuttableSsmlElement(const std::string& name) {
  static const char* const kNames[] = {"say-as", "sub", "phoneme", "audio"};
  for (const char* uncuttable : kNames) {
    if (strcasecmp(name.c_str(), uncuttable) == 0) return true;
  }
  return false;
}

void FlattenSsml(const apr_xml_elem* element, const SsmlCutTest& isCut,
                 std::vector<SsmlToken>& tokens) {
  if (element) FlattenContent(element, isCut, tokens);
}

std::vector<SsmlPiece> CutSsmlTokens(const std::vector<SsmlToken>& tokens) {
  std::vector<SsmlPiece> pieces(1);
  std::vector<const SsmlToken*> open;  // the start tags in force, outermost first
  int uncuttable = 0;                  // how many of them may not be cut
  // A cut met inside an element that may not be cut takes effect right
  // after that element's end: a mark there is reached once the whole
  // utterance has played, never before any of it.
  std::vector<std::string> deferred;

  auto cut = [&](const std::string& name) {
    for (auto it = open.rbegin(); it != open.rend(); ++it) {
      pieces.back().m_Content += "</" + (*it)->m_Name + ">";
    }
    SsmlPiece next;
    next.m_Cut = name;
    for (const SsmlToken* start : open) next.m_Content += start->m_Text;
    pieces.push_back(std::move(next));
  };

  for (const SsmlToken& token : tokens) {
    SsmlPiece& piece = pieces.back();
    switch (token.m_Kind) {
      case SsmlToken::START:
        piece.m_Content += token.m_Text;
        if (SoundsWithoutText(token.m_Name)) piece.m_Sounds = true;
        if (IsUncuttableSsmlElement(token.m_Name)) ++uncuttable;
        open.push_back(&token);
        break;
      case SsmlToken::END:
        piece.m_Content += token.m_Text;
        if (!open.empty()) {
          if (IsUncuttableSsmlElement(open.back()->m_Name)) --uncuttable;
          open.pop_back();
        }
        if (uncuttable == 0) {
          for (const std::string& name : deferred) cut(name);
          deferred.clear();
        }
        break;
      case SsmlToken::EMPTY:
        piece.m_Content += token.m_Text;
        if (SoundsWithoutText(token.m_Name)) piece.m_Sounds = true;
        break;
      case SsmlToken::TEXT:
        piece.m_Content += token.m_Text;
        if (!IsBlankText(token.m_Text)) piece.m_Sounds = true;
        break;
      case SsmlToken::CUT:
        if (uncuttable > 0) {
          deferred.push_back(token.m_Text);
        } else {
          cut(token.m_Text);
        }
        break;
    }
  }
  // Only tokens that do not nest leave cuts behind; they still count.
  for (const std::string& name : deferred) cut(name);
  return pieces;
}

}  // namespace VXS
