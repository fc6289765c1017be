// The segments of a SPEAK body: plain text as it stands, SSML read,
// normalised per voice and cut at its marks, and URI lists. Over 400 lines:
// one subject, whose SSML paths share the tree helpers at the top of the
// file (the token cutting itself is in SsmlSplit.cpp).
#include "SynthContent.h"

#include <strings.h>

#include <cctype>
#include <climits>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "AprResources.h"
#include "Plugin.h"
#include "SsmlSplit.h"

namespace VXS {

namespace {

// The fixed root of every composed SSML document; the language follows.
const char kSpeakOpening[] = "<speak version=\"1.0\" xml:lang=\"";
const char kSpeakClosing[] = "</speak>";

// The XML parser takes a feed length as an int; larger bodies go in parts.
const size_t kMaxFeedLength = INT_MAX / 2;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool StartsWithNoCase(const char* begin, const char* end, const char* prefix) {
  size_t length = strlen(prefix);
  return static_cast<size_t>(end - begin) >= length && strncasecmp(begin, prefix, length) == 0;
}

bool IsVoiceElement(const apr_xml_elem* element) {
  return element->name && strcasecmp(element->name, "voice") == 0;
}

bool FieldEquals(const apt_str_t& field, const char* text) {
  size_t length = strlen(text);
  return field.length == length && memcmp(field.buf, text, length) == 0;
}

// Reads a decimal integer the way formatted input into a 32-bit int does:
// leading white space skipped, optional sign, digits up to the first other
// character; no digits gives 0 and values beyond 32 bits the nearest limit.
int32_t ReadInt32(const char* text, size_t length) {
  const char* pos = text;
  const char* end = text + length;
  while (pos < end && isspace(static_cast<unsigned char>(*pos))) ++pos;
  bool negative = false;
  if (pos < end && (*pos == '+' || *pos == '-')) {
    negative = *pos == '-';
    ++pos;
  }
  const int64_t limit = negative ? -static_cast<int64_t>(INT32_MIN) : INT32_MAX;
  int64_t number = 0;
  bool digits = false;
  for (; pos < end && *pos >= '0' && *pos <= '9'; ++pos) {
    digits = true;
    if (number <= limit) number = number * 10 + (*pos - '0');
  }
  if (!digits) return 0;
  if (number > limit) number = limit;
  return static_cast<int32_t>(negative ? -number : number);
}

}  // namespace

// -------------------------------------------------------------- SpeakParams

SpeakParams::SpeakParams() { Reset(); }

void SpeakParams::Reset() {
  m_Language.clear();
  m_VoiceGender = VOICE_GENDER_UNKNOWN;
  m_VoiceName.clear();
  m_Prosody.Reset();
  m_Content.clear();
  m_ContentType = SYNTH_CONTENT_UNKNOWN;
  m_EffectsProfile.clear();
  m_CustomVoiceModel.clear();
  m_Deadline = 0;
  m_Reattempt = false;
  m_ServiceUri.clear();
  m_CredentialsFile.clear();
  m_Region.clear();
}

bool SpeakParams::DetermineContentType(std::string& contentType) {
  std::string::size_type pos = contentType.find(';');
  if (pos != std::string::npos) contentType.erase(pos);

  if (contentType == "text/plain")
    m_ContentType = SYNTH_CONTENT_TEXT;
  else if (contentType == "application/ssml+xml" || contentType == "application/synthesis+ssml")
    m_ContentType = SYNTH_CONTENT_SSML;
  else if (contentType == "text/uri-list")
    m_ContentType = SYNTH_CONTENT_URI_LIST;
  else
    m_ContentType = SYNTH_CONTENT_UNKNOWN;
  return true;
}

// ------------------------------------------------------------- SynthSegment

SynthSegment::SynthSegment()
    : m_VoiceGender(VOICE_GENDER_UNKNOWN), m_ContentType(SYNTH_CONTENT_UNKNOWN) {}

SynthSegment::SynthSegment(const std::string& voiceName, mrcp_voice_gender_e voiceGender,
                           const std::string& content, SynthContentType contentType)
    : m_VoiceName(voiceName),
      m_VoiceGender(voiceGender),
      m_Content(content),
      m_ContentType(contentType) {}

bool SynthSegment::SetVoiceParams(const apr_xml_elem* voice) {
  for (const apr_xml_attr* attr : GetAttributes(voice)) {
    if (!attr->name) continue;
    const char* value = attr->value ? attr->value : "";
    if (strcasecmp(attr->name, "name") == 0)
      m_VoiceName = value;
    else if (strcasecmp(attr->name, "gender") == 0)
      SynthSettings::ParseVoiceGender(value, m_VoiceGender);
  }
  return true;
}

// ------------------------------------------------------------- SynthContent

namespace {

// Rebuilding SSML without namespace prefixes. A name that was only valid with
// its prefix ("s:" alone, "a:1b", "a:b:c", "a:xmlns"), or an attribute that
// collides with another once both prefixes are gone, would make the rebuilt
// document malformed; such names are dropped.

// The parser stores xml:lang values quoted; these are the only entities it
// writes.
std::string UnquoteXml(const char* text) {
  static const struct {
    const char* entity;
    char c;
  } kEntities[] = {{"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&quot;", '"'}};
  std::string out;
  for (const char* pos = text; *pos;) {
    bool replaced = false;
    if (*pos == '&') {
      for (const auto& e : kEntities) {
        size_t length = strlen(e.entity);
        if (strncmp(pos, e.entity, length) == 0) {
          out += e.c;
          pos += length;
          replaced = true;
          break;
        }
      }
    }
    if (!replaced) out += *pos++;
  }
  return out;
}

// True when name (a qualified name the parser accepted, its prefix split
// off) can be written as it stands in a document that declares no
// namespace.
bool CanStandWithoutPrefix(const char* name, bool attribute, apr_pool_t* pool) {
  if (!name) return false;
  // "xml" is the one prefix bound in every document; the parser keeps it.
  const char* local = strncmp(name, "xml:", 4) == 0 ? name + 4 : name;
  if (!*local || strchr(local, ':')) return false;
  if (attribute && (strcmp(name, "xmlns") == 0 || strcmp(name, "xml:lang") == 0)) {
    // The first would declare a namespace; the element's own language is
    // written from its language field.
    return false;
  }
  const unsigned char first = static_cast<unsigned char>(*local);
  if (first < 0x80) return isalpha(first) || first == '_';
  // Whether a character outside ASCII may start a name is the parser's call.
  std::string probe = std::string("<") + local + "/>";
  apr_xml_parser* parser = apr_xml_parser_create(pool);
  apr_xml_doc* doc = nullptr;
  return parser && apr_xml_parser_feed(parser, probe.data(), probe.size()) == APR_SUCCESS &&
         apr_xml_parser_done(parser, &doc) == APR_SUCCESS;
}

void AppendText(apr_text_header& to, const apr_text_header& from) {
  if (!from.first) return;
  if (to.last)
    to.last->next = from.first;
  else
    to.first = from.first;
  to.last = from.last;
}

// Replaces element, a child of parent that follows prev (null when first), by
// its content: its text and children move up into parent in place.
void UnwrapElement(apr_xml_elem* parent, apr_xml_elem* prev, apr_xml_elem* element) {
  apr_text_header& before = prev ? prev->following_cdata : parent->first_cdata;
  apr_xml_elem*& link = prev ? prev->next : parent->first_child;
  AppendText(before, element->first_cdata);
  if (element->first_child) {
    for (apr_xml_elem* child = element->first_child; child; child = child->next)
      child->parent = parent;
    link = element->first_child;
    element->last_child->next = element->next;
    AppendText(element->last_child->following_cdata, element->following_cdata);
    if (parent->last_child == element) parent->last_child = element->last_child;
  } else {
    link = element->next;
    AppendText(before, element->following_cdata);
    if (parent->last_child == element) parent->last_child = prev;
  }
}

// Keeps the first, in document order, of attributes of one name and drops
// those without a name of their own.
void DropUnwritableAttributes(apr_xml_elem* element, apr_pool_t* pool) {
  // The parser links attributes last one first.
  std::vector<apr_xml_attr*> ordered;
  for (apr_xml_attr* attr = element->attr; attr; attr = attr->next) ordered.push_back(attr);
  std::unordered_set<std::string> names;
  element->attr = nullptr;
  for (auto it = ordered.rbegin(); it != ordered.rend(); ++it) {
    apr_xml_attr* attr = *it;
    if (!CanStandWithoutPrefix(attr->name, true, pool)) {
      apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
              "Drop SSML Attribute <%s> Without Its Prefix", attr->name ? attr->name : "");
      continue;
    }
    if (!names.insert(attr->name).second) {
      apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Drop Duplicate SSML Attribute <%s>",
              attr->name);
      continue;
    }
    attr->next = element->attr;
    element->attr = attr;
  }
}

// Makes everything below element writable without namespaces: attributes as
// above, and elements whose name needs its prefix replaced by their content.
// Recurses as deep as the document nests, like StripNamespace.
void DropUnwritableNames(apr_xml_elem* element, apr_pool_t* pool) {
  apr_xml_elem* prev = nullptr;
  for (apr_xml_elem* child = element->first_child; child;) {
    apr_xml_elem* next = child->next;
    DropUnwritableNames(child, pool);
    DropUnwritableAttributes(child, pool);
    if (CanStandWithoutPrefix(child->name, false, pool)) {
      prev = child;
    } else {
      apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
              "Drop SSML Element <%s> Without Its Prefix", child->name ? child->name : "");
      UnwrapElement(element, prev, child);
      if (child->last_child) prev = child->last_child;
    }
    child = next;
  }
}

bool HasNamedMark(const apr_xml_elem* element) {
  for (const apr_xml_elem* child = element->first_child; child; child = child->next) {
    if (SynthContent::IsNamedMark(child) || HasNamedMark(child)) return true;
  }
  return false;
}

std::string AttributeValue(const apr_xml_elem* element, const char* name) {
  for (const apr_xml_attr* attr = element->attr; attr; attr = attr->next) {
    if (attr->name && strcmp(attr->name, name) == 0) return attr->value ? attr->value : "";
  }
  return std::string();
}

// The names of the marks below element, in document order.
void CollectMarks(const apr_xml_elem* element, std::vector<std::string>& names) {
  for (const apr_xml_elem* child = element->first_child; child; child = child->next) {
    if (SynthContent::IsNamedMark(child)) names.push_back(AttributeValue(child, "name"));
    CollectMarks(child, names);
  }
}

std::string SpeakDocument(const std::string& language, const std::string& content) {
  std::string ssml;
  ssml.reserve(sizeof(kSpeakOpening) + language.size() + 2 + content.size() +
               sizeof(kSpeakClosing));
  ssml.append(kSpeakOpening);
  AppendXmlAttributeValue(ssml, language);
  ssml.append("\">");
  ssml.append(content);
  ssml.append(kSpeakClosing);
  return ssml;
}

}  // namespace

std::string SynthContent::SpeakDocument(const std::string& language,
                                        const std::string& content) {
  return VXS::SpeakDocument(language, content);
}

void SynthContent::DropUnwritableNames(apr_xml_elem* element, apr_pool_t* pool) {
  VXS::DropUnwritableNames(element, pool);
}

std::string SynthContent::UnquoteLanguage(const char* lang) { return UnquoteXml(lang); }

bool SynthContent::IsNamedMark(const apr_xml_elem* element) {
  if (!element->name || strcasecmp(element->name, "mark") != 0) return false;
  for (const apr_xml_attr* attr = element->attr; attr; attr = attr->next) {
    if (attr->name && strcmp(attr->name, "name") == 0) return attr->value && *attr->value;
  }
  return false;
}

void SynthContent::ComposeMarkedPieces(apr_xml_elem* container, const std::string& language,
                                       const SynthSegment& voice,
                                       std::vector<std::string>& pending, apr_pool_t* pool) {
  StripNamespace(container);
  DropUnwritableNames(container, pool);
  std::vector<SsmlToken> tokens;
  FlattenSsml(container, IsNamedMark, tokens);
  std::vector<SsmlPiece> pieces = CutSsmlTokens(tokens);
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) AddMark(pieces[i].m_Cut, pending);
    // A piece of nothing but blanks (two marks in a row, a mark at either
    // end) is not sent.
    if (!pieces[i].m_Sounds) continue;
    SynthSegment segment(voice.m_VoiceName, voice.m_VoiceGender,
                         SpeakDocument(language, pieces[i].m_Content), SYNTH_CONTENT_SSML);
    segment.m_Marks.m_Before.swap(pending);
    push_back(std::move(segment));
  }
}

void SynthContent::AddMark(const std::string& name, std::vector<std::string>& pending) {
  // A mark is reached once the audio before it has played: it goes with the
  // segment before it, so that it is reported even when the one after it
  // cannot play. Only marks before all audio wait for the first segment.
  if (empty()) {
    pending.push_back(name);
  } else {
    back().m_Marks.m_After.push_back(name);
  }
}

void SynthContent::FinishMarks(const std::string& language, const SynthSegment& voice,
                               std::vector<std::string>& pending) {
  if (empty()) {
    // A document that says nothing is still sent, as one without marks is.
    push_back(SynthSegment(voice.m_VoiceName, voice.m_VoiceGender,
                           SpeakDocument(language, std::string()), SYNTH_CONTENT_SSML));
  }
  std::vector<std::string>& after = back().m_Marks.m_After;
  after.insert(after.end(), pending.begin(), pending.end());
  pending.clear();
}

bool SynthContent::ComposeMarkedSsml(const SpeakParams& params, apr_pool_t* pool) {
  // Most bodies hold no mark: those are not parsed at all.
  if (strcasestr(params.m_Content.c_str(), "mark") == nullptr) return false;
  ScratchPool scratch(pool);
  if (!scratch.Get()) return false;
  apr_xml_doc* doc = ParseSsml(params.m_Content.data(), params.m_Content.size(), scratch.Get());
  bool marked = doc && HasNamedMark(doc->root);
  if (marked) {
    const std::string language = doc->root->lang ? UnquoteXml(doc->root->lang) : params.m_Language;
    SynthSegment voice(params.m_VoiceName, params.m_VoiceGender, std::string(),
                       SYNTH_CONTENT_SSML);
    std::vector<std::string> pending;
    ComposeMarkedPieces(doc->root, language, voice, pending, scratch.Get());
    FinishMarks(language, voice, pending);
  }
  return marked;
}

bool SynthContent::ComposeSingleSegment(const SpeakParams& params) {
  push_back(SynthSegment(params.m_VoiceName, params.m_VoiceGender, params.m_Content,
                         params.m_ContentType));
  return true;
}

bool SynthContent::ReadSsmlAndComposeContent(SpeakParams& params, std::string& query,
                                             bool normalize, apr_pool_t* pool) {
  // The tree and its serialisations are only needed until the segments hold
  // their copies; a child pool keeps them from piling up in a channel's pool.
  ScratchPool scratch(pool);
  apr_pool_t* work = scratch.Get() ? scratch.Get() : pool;

  apr_xml_doc* doc = ParseSsml(params.m_Content.data(), params.m_Content.size(), work);
  if (!doc) return false;

  apr_xml_elem* root = doc->root;
  if (root->lang) params.m_Language = UnquoteXml(root->lang);

  const char* base = nullptr;
  for (const apr_xml_attr* attr : GetAttributes(root)) {
    const char* value = attr->value ? attr->value : "";
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Read SSML Attribute: %s = %s", attr->name,
            value);
    if (attr->name && strcasecmp(attr->name, "xml:base") == 0) {
      base = value;
      break;
    }
  }
  if (base && *base) {
    const char* mark = strchr(base, '?');
    if (mark) query = mark + 1;
  }

  if (HasNamedMark(root)) {
    const std::string& language = params.m_Language;
    SynthSegment voice(params.m_VoiceName, params.m_VoiceGender, std::string(),
                       SYNTH_CONTENT_SSML);
    std::vector<std::string> pending;
    bool voiceFound = false;
    for (const apr_xml_elem* child = root->first_child; normalize && child && !voiceFound;
         child = child->next) {
      voiceFound = IsVoiceElement(child);
    }
    if (voiceFound) {
      // What lies between the voice elements is not spoken; its marks are
      // reached there all the same.
      for (apr_xml_elem* child = root->first_child; child; child = child->next) {
        if (IsVoiceElement(child)) {
          SynthSegment own(voice);
          own.SetVoiceParams(child);
          ComposeMarkedPieces(child, language, own, pending, work);
        } else {
          std::vector<std::string> names;
          if (IsNamedMark(child)) names.push_back(AttributeValue(child, "name"));
          CollectMarks(child, names);
          for (const std::string& name : names) AddMark(name, pending);
        }
      }
    } else {
      if (!normalize) {
        for (const apr_xml_elem* child = root->first_child; child; child = child->next) {
          if (IsVoiceElement(child)) {
            voice.SetVoiceParams(child);
            break;
          }
        }
      }
      ComposeMarkedPieces(root, language, voice, pending, work);
    }
    FinishMarks(language, voice, pending);
  } else if (normalize) {
    bool voiceFound = false;
    for (apr_xml_elem* child = root->first_child; child; child = child->next) {
      if (!IsVoiceElement(child)) continue;
      voiceFound = true;
      ComposeSsmlSegment(doc, child, true, params, work);
    }
    if (!voiceFound) ComposeSsmlSegment(doc, root, false, params, work);
  } else {
    SynthSegment segment(params.m_VoiceName, params.m_VoiceGender, params.m_Content,
                         SYNTH_CONTENT_SSML);
    for (const apr_xml_elem* child = root->first_child; child; child = child->next) {
      if (IsVoiceElement(child)) {
        segment.SetVoiceParams(child);
        break;
      }
    }
    push_back(segment);
  }
  return true;
}

bool SynthContent::ComposeSsmlSegment(apr_xml_doc* doc, apr_xml_elem* element, bool takeVoice,
                                      const SpeakParams& params, apr_pool_t* pool) {
  StripNamespace(element);
  // Only the element's content is written, so its own name and attributes
  // need no mending.
  DropUnwritableNames(element, pool);

  // The voice is read before quoting: "A&amp;B" names the voice "A&B".
  SynthSegment segment(params.m_VoiceName, params.m_VoiceGender, std::string(),
                       SYNTH_CONTENT_SSML);
  if (takeVoice) segment.SetVoiceParams(element);

  // The parser hands text back unescaped; without quoting, '&' and '<' in
  // the text would make the composed document malformed.
  apr_xml_quote_elem(pool, element);

  const char* inner = nullptr;
  apr_xml_to_text(pool, element, APR_XML_X2T_INNER, doc ? doc->namespaces : nullptr, nullptr,
                  &inner, nullptr);

  std::string& ssml = segment.m_Content;
  size_t innerLength = inner ? strlen(inner) : 0;
  ssml.reserve(sizeof(kSpeakOpening) + params.m_Language.size() + 2 + innerLength +
               sizeof(kSpeakClosing));
  ssml.append(kSpeakOpening);
  // The language may come from a request header.
  AppendXmlAttributeValue(ssml, params.m_Language);
  ssml.append("\">");
  if (inner) ssml.append(inner, innerLength);
  ssml.append(kSpeakClosing);

  push_back(segment);
  return true;
}

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The local path a "file://" URI names, from what follows the scheme (and
// the blanks after it): "localhost/path" names "/path", and percent-escapes
// are decoded ("my%20prompt.wav"). A '%' not followed by two hex digits is
// kept as written. False for a NUL byte, escaped or not, which would cut
// the path short of what the list shows.
bool DecodeFileUriPath(const char* pos, const char* end, std::string& path) {
  if (StartsWithNoCase(pos, end, "localhost/")) pos += strlen("localhost");
  path.clear();
  for (; pos < end; ++pos) {
    int high = -1;
    int low = -1;
    if (*pos == '\0') return false;
    if (*pos == '%' && end - pos > 2 && (high = HexValue(pos[1])) >= 0 &&
        (low = HexValue(pos[2])) >= 0) {
      if (high == 0 && low == 0) return false;
      path += static_cast<char>(high * 16 + low);
      pos += 2;
    } else {
      path += *pos;
    }
  }
  return true;
}

}  // namespace

bool SynthContent::ComposeUriListSegments(const SpeakParams& params) {
  // The reader needs a writable buffer; it never changes it.
  std::string body(params.m_Content);
  apt_text_stream_t stream;
  apt_text_stream_init(&stream, &body[0], body.size());

  apt_str_t line;
  while (apt_text_line_read(&stream, &line)) {
    if (!line.buf || !line.length) continue;
    const char* pos = line.buf;
    const char* end = line.buf + line.length;
    while (pos < end && IsBlank(*pos)) ++pos;
    if (pos < end && *pos == '#') continue;  // a comment line of the list

    if (StartsWithNoCase(pos, end, "file://")) {
      const char* uri = pos;
      const char* uri_end = end;
      while (uri_end > uri && IsBlank(uri_end[-1])) --uri_end;
      pos += strlen("file://");
      while (pos < end && IsBlank(*pos)) ++pos;
      std::string path;
      if (!DecodeFileUriPath(pos, end, path)) {
        apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unsupported URI Form");
      } else if (!path.empty()) {
        push_back(SynthSegment(params.m_VoiceName, params.m_VoiceGender, path,
                               SYNTH_CONTENT_FILE_URI));
        back().m_Uri.assign(uri, uri_end);
      }
    } else if (StartsWithNoCase(pos, end, "http://")) {
      push_back(SynthSegment(params.m_VoiceName, params.m_VoiceGender, std::string(pos, end),
                             SYNTH_CONTENT_HTTP_URI));
    } else if (StartsWithNoCase(pos, end, "https://")) {
      push_back(SynthSegment(params.m_VoiceName, params.m_VoiceGender, std::string(pos, end),
                             SYNTH_CONTENT_HTTPS_URI));
    } else {
      apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unsupported URI Form");
    }
  }
  return true;
}

apr_xml_doc* SynthContent::ParseSsml(const char* data, size_t length, apr_pool_t* pool) {
  if (!data || !length) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "XML Content Emtpy");
    return nullptr;
  }

  apr_xml_parser* parser = apr_xml_parser_create(pool);
  if (!parser) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Feed XML Content to Parser");
    return nullptr;
  }
  for (size_t offset = 0; offset < length;) {
    size_t part = length - offset < kMaxFeedLength ? length - offset : kMaxFeedLength;
    if (apr_xml_parser_feed(parser, data + offset, part) != APR_SUCCESS) {
      // Finishing releases the parser now rather than with the pool.
      apr_xml_parser_done(parser, nullptr);
      apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Feed XML Content to Parser");
      return nullptr;
    }
    offset += part;
  }

  apr_xml_doc* doc = nullptr;
  if (apr_xml_parser_done(parser, &doc) != APR_SUCCESS) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Terminate XML parsing");
    return nullptr;
  }
  if (!doc || !doc->root) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "No XML Root Element");
    return nullptr;
  }
  return doc;
}

void SynthContent::StripNamespace(apr_xml_elem* element) {
  // The parser limits nesting, so the recursion depth stays small.
  element->ns = APR_XML_NS_NONE;
  for (apr_xml_attr* attr = element->attr; attr; attr = attr->next) attr->ns = APR_XML_NS_NONE;
  for (apr_xml_elem* child = element->first_child; child; child = child->next)
    StripNamespace(child);
}

// ------------------------------------------------------------- CacheControl

CacheControl::CacheControl() { Reset(); }

void CacheControl::Reset() {
  m_MaxAge = -1;
  m_MaxStale = -1;
  m_MinFresh = -1;
}

bool CacheControl::Parse(const apt_str_t* value, apr_pool_t* pool) {
  if (!value) return false;
  if (!value->buf || !value->length) return true;

  apt_text_stream_t stream;
  apt_text_stream_init(&stream, value->buf, value->length);
  apt_str_t field;
  while (apt_text_field_read(&stream, ',', TRUE, &field)) ParseDirective(&field, pool);
  return true;
}

bool CacheControl::ParseDirective(const apt_str_t* directive, apr_pool_t* /*pool*/) {
  if (!directive || !directive->buf || !directive->length) return false;

  apt_text_stream_t stream;
  apt_text_stream_init(&stream, directive->buf, directive->length);
  apt_str_t name;
  if (!apt_text_field_read(&stream, '=', TRUE, &name)) return false;
  apt_str_t value;
  if (!apt_text_field_read(&stream, ',', TRUE, &value)) return true;

  int32_t seconds = ReadInt32(value.buf, value.length);
  if (FieldEquals(name, "max-age"))
    m_MaxAge = seconds;
  else if (FieldEquals(name, "max-stale"))
    m_MaxStale = seconds;
  else if (FieldEquals(name, "min-fresh"))
    m_MinFresh = seconds;
  return true;
}

}  // namespace VXS
