// The body of a SPEAK, read as its content type says: plain text, SSML sent
// as it stands (only its language and xml:base query are read), SSML
// rebuilt without namespace prefixes and split per "voice" element, and a
// URI list; text and SSML also cut into sentence pieces.
//
// A first byte of 0 to 3 chooses one of those modes for the rest of the
// input; any other first byte reads the whole input as SSML both ways when
// it starts with '<', else as text and as a URI list. Properties: a
// rebuilt SSML document is well-formed to a namespace-aware parser, a body
// sent as it stands stays byte for byte what came in, sentence pieces keep
// the text in order and the marks of the SSML, and a URI list gives only
// the segment kinds its lines name.
#include <expat.h>
#include <strings.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "Channel.h"
#include "FuzzSupport.h"
#include "SynthContent.h"

namespace {

enum Mode { kText = 0, kSsmlAsIs = 1, kSsmlRebuilt = 2, kUriList = 3, kModeCount = 4 };

bool IsWellFormed(const std::string& xml) {
  XML_Parser parser = XML_ParserCreateNS(nullptr, '|');
  const bool ok = XML_Parse(parser, xml.data(), static_cast<int>(xml.size()), XML_TRUE) ==
                  XML_STATUS_OK;
  XML_ParserFree(parser);
  return ok;
}

size_t CountVoiceChildren(const std::string& body, apr_pool_t* pool) {
  apr_xml_doc* doc = VXS::SynthContent::ParseSsml(body.data(), body.size(), pool);
  if (!doc) return 0;
  size_t count = 0;
  for (const apr_xml_elem* child = doc->root->first_child; child; child = child->next)
    count += child->name && strcasecmp(child->name, "voice") == 0;
  return count;
}

// The names of the named marks of a document, in document order.
void CollectMarks(const apr_xml_elem* element, std::vector<std::string>& names) {
  for (const apr_xml_elem* child = element->first_child; child; child = child->next) {
    if (VXS::SynthContent::IsNamedMark(child)) {
      for (const apr_xml_attr* attr = child->attr; attr; attr = attr->next)
        if (attr->name && strcmp(attr->name, "name") == 0) names.push_back(attr->value);
    }
    CollectMarks(child, names);
  }
}

std::vector<std::string> MarksOf(const std::string& body, apr_pool_t* pool) {
  std::vector<std::string> names;
  apr_xml_doc* doc = VXS::SynthContent::ParseSsml(body.data(), body.size(), pool);
  if (doc) CollectMarks(doc->root, names);
  return names;
}

// The marks the segments carry, in the order they are queued.
std::vector<std::string> SegmentMarks(const VXS::SynthContent& content) {
  std::vector<std::string> names;
  for (const VXS::SynthSegment& segment : content) {
    names.insert(names.end(), segment.m_Marks.m_Before.begin(), segment.m_Marks.m_Before.end());
    names.insert(names.end(), segment.m_Marks.m_After.begin(), segment.m_Marks.m_After.end());
  }
  return names;
}

// A document with marks is cut at each of them in every mode: well-formed
// pieces that carry every mark, in document order.
void CheckMarkedPieces(const VXS::SynthContent& content, const std::vector<std::string>& marks) {
  VXFUZZ_CHECK(!content.empty(), "a document with marks gives a segment");
  for (const VXS::SynthSegment& segment : content) {
    VXFUZZ_CHECK(segment.m_ContentType == VXS::SYNTH_CONTENT_SSML, "a piece is SSML");
    VXFUZZ_CHECK(IsWellFormed(segment.m_Content), "a piece is well-formed");
  }
  VXFUZZ_CHECK(SegmentMarks(content) == marks, "the pieces carry every mark in order");
}

VXS::SpeakParams Params(const std::string& body, VXS::SynthContentType type) {
  VXS::SpeakParams params;
  params.m_Language = "en-US";
  params.m_VoiceName = "request-voice";
  params.m_Content = body;
  params.m_ContentType = type;
  return params;
}

bool IsBlankText(const std::string& text, size_t begin, size_t end) {
  for (size_t pos = begin; pos < end; ++pos) {
    if (!strchr(" \t\r\n", text[pos])) return false;
  }
  return true;
}

void ReadText(const std::string& body) {
  VXS::SynthContent content;
  content.ComposeSingleSegment(Params(body, VXS::SYNTH_CONTENT_TEXT));
  VXFUZZ_CHECK(content.size() == 1 && content.front().m_Content == body, "text is one segment");
  // In sentence pieces: the text in order, only blanks left out between
  // them, each piece within the service's limit.
  vxfuzz::InputPool pool;
  content.CutIntoPieces("en-US", pool.Get());
  VXFUZZ_CHECK(!content.empty(), "text gives a piece");
  if (content.size() == 1) {
    VXFUZZ_CHECK(content.front().m_Content == body, "text of one piece stays as it is");
    return;
  }
  size_t at = 0;
  for (const VXS::SynthSegment& piece : content) {
    VXFUZZ_CHECK(piece.m_ContentType == VXS::SYNTH_CONTENT_TEXT, "a text piece is text");
    VXFUZZ_CHECK(!piece.m_Content.empty() && piece.m_Content.size() <= 5000,
                 "a text piece is within the limit");
    const size_t found = body.compare(at, std::string::npos, piece.m_Content) == 0
                             ? at
                             : body.find(piece.m_Content, at);
    VXFUZZ_CHECK(found != std::string::npos && IsBlankText(body, at, found),
                 "pieces follow one another in the text");
    at = found + piece.m_Content.size();
  }
  VXFUZZ_CHECK(IsBlankText(body, at, body.size()), "the last piece ends the text");
}

// Cut into sentence pieces, the segments stay well-formed documents that
// carry the same marks in the same order.
// (A segment left as it was is the body sent as it stands, which need not
// be.)
void CheckSentencePieces(VXS::SynthContent content, apr_pool_t* pool) {
  const std::vector<std::string> marks = SegmentMarks(content);
  std::vector<std::string> before;
  for (const VXS::SynthSegment& segment : content) before.push_back(segment.m_Content);
  content.CutIntoPieces("en-US", pool);
  for (const VXS::SynthSegment& segment : content) {
    VXFUZZ_CHECK(segment.m_ContentType == VXS::SYNTH_CONTENT_SSML, "an SSML piece is SSML");
    if (std::find(before.begin(), before.end(), segment.m_Content) != before.end()) continue;
    VXFUZZ_CHECK(IsWellFormed(segment.m_Content), "an SSML piece is well-formed");
  }
  VXFUZZ_CHECK(SegmentMarks(content) == marks, "the SSML pieces carry every mark in order");
}

void ReadSsml(const std::string& body, bool rebuild) {
  vxfuzz::InputPool pool;
  VXS::SdrManager::SynthesisDetails details;
  VXS::SpeakParams& params = details.m_Params;
  params = Params(body, VXS::SYNTH_CONTENT_SSML);
  std::string query;
  const bool parsed = details.m_Content.ReadSsmlAndComposeContent(params, query, rebuild,
                                                                  pool.Get());
  if (!parsed) {
    VXFUZZ_CHECK(details.m_Content.empty(), "a body that does not parse gives no segment");
    return;
  }
  const std::vector<std::string> marks = MarksOf(body, pool.Get());
  if (!rebuild) {
    // Sent as it stands unless it has marks.
    VXS::SynthContent bypassed;
    VXFUZZ_CHECK(bypassed.ComposeMarkedSsml(params, pool.Get()) == !marks.empty(),
                 "only a document with marks is cut when bypassed");
    if (!marks.empty()) CheckMarkedPieces(bypassed, marks);
  }
  CheckSentencePieces(details.m_Content, pool.Get());
  if (!marks.empty()) {
    CheckMarkedPieces(details.m_Content, marks);
  } else if (!rebuild) {
    VXFUZZ_CHECK(details.m_Content.size() == 1 && details.m_Content.front().m_Content == body,
                 "SSML sent as it stands is the body");
  } else {
    const size_t voices = CountVoiceChildren(body, pool.Get());
    VXFUZZ_CHECK(details.m_Content.size() == (voices ? voices : 1u),
                 "one segment per voice element, or one for the whole document");
    for (const VXS::SynthSegment& segment : details.m_Content) {
      VXFUZZ_CHECK(segment.m_ContentType == VXS::SYNTH_CONTENT_SSML, "segment is SSML");
      VXFUZZ_CHECK(IsWellFormed(segment.m_Content), "rebuilt SSML is well-formed");
    }
  }
  // The query of xml:base is read as vendor-specific parameters, as the
  // channel does.
  if (!query.empty()) {
    apt_pair_arr_t* pairs = apt_pair_array_create(4, pool.Get());
    apt_str_t value;
    apt_string_assign_n(&value, query.data(), query.size(), pool.Get());
    if (apt_pair_array_parse(pairs, &value, pool.Get())) {
      VXS::Channel channel(nullptr);
      channel.ParseVendorSpecificParameters(pairs, details);
    }
  }
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  return strncasecmp(text.c_str(), prefix, strlen(prefix)) == 0;
}

void ReadUriList(const std::string& body) {
  VXS::SynthContent content;
  content.ComposeUriListSegments(Params(body, VXS::SYNTH_CONTENT_URI_LIST));
  for (const VXS::SynthSegment& segment : content) {
    switch (segment.m_ContentType) {
      case VXS::SYNTH_CONTENT_FILE_URI:
        VXFUZZ_CHECK(!segment.m_Content.empty(), "a file URI names a path");
        VXFUZZ_CHECK(segment.m_Content.find('\0') == std::string::npos,
                     "a decoded path holds no NUL");
        break;
      case VXS::SYNTH_CONTENT_HTTP_URI:
        VXFUZZ_CHECK(StartsWithNoCase(segment.m_Content, "http://"), "an http URI");
        break;
      case VXS::SYNTH_CONTENT_HTTPS_URI:
        VXFUZZ_CHECK(StartsWithNoCase(segment.m_Content, "https://"), "an https URI");
        break;
      default:
        VXFUZZ_CHECK(false, "a URI list gives only URI segments");
    }
  }
}

void Read(Mode mode, const std::string& body) {
  switch (mode) {
    case kText:
      ReadText(body);
      break;
    case kSsmlAsIs:
      ReadSsml(body, false);
      break;
    case kSsmlRebuilt:
      ReadSsml(body, true);
      break;
    default:
      ReadUriList(body);
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vxfuzz::Process::Get();
  if (size > 0 && data[0] < kModeCount) {
    Read(static_cast<Mode>(data[0]),
         std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
    return 0;
  }
  const std::string body(reinterpret_cast<const char*>(data), size);
  const size_t first = body.find_first_not_of(" \t\r\n");
  if (first != std::string::npos && body[first] == '<') {
    Read(kSsmlAsIs, body);
    Read(kSsmlRebuilt, body);
  } else {
    Read(kText, body);
    Read(kUriList, body);
  }
  return 0;
}
