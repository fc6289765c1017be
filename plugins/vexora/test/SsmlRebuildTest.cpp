// SSML rebuilt without namespace prefixes: whatever names a body uses, every
// rebuilt document is well-formed to a parser that applies the namespace
// rules, and the values taken from it are the ones the parser decoded.
#include <apr_general.h>
#include <expat.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "ContentTestSupport.h"
#include "Plugin.h"
#include "SynthContent.h"
#include "vxhost/LogSink.h"

namespace VXS {
namespace {

namespace fs = std::filesystem;

// The hostile documents the SSML fuzzer starts from.
const fs::path kCorpus = fs::path(VX_SOURCE_DIR) / "fuzz" / "corpus" / "ssml";

// What a namespace-aware parser makes of a document: whether it is
// well-formed (an undeclared prefix and a duplicate attribute count as
// errors), and the root's xml:lang.
struct Checked {
  bool wellFormed = false;
  std::string error;
  std::string rootLanguage;
};

Checked Check(const std::string& xml) {
  Checked checked;
  XML_Parser parser = XML_ParserCreateNS(nullptr, '|');
  XML_SetUserData(parser, &checked);
  XML_SetStartElementHandler(parser, [](void* data, const XML_Char*, const XML_Char** attrs) {
    Checked* out = static_cast<Checked*>(data);
    static const char kLang[] = "http://www.w3.org/XML/1998/namespace|lang";
    for (int i = 0; attrs[i] && out->rootLanguage.empty(); i += 2)
      if (strcmp(attrs[i], kLang) == 0) out->rootLanguage = attrs[i + 1];
  });
  checked.wellFormed = XML_Parse(parser, xml.data(), static_cast<int>(xml.size()), XML_TRUE) ==
                       XML_STATUS_OK;
  if (!checked.wellFormed) checked.error = XML_ErrorString(XML_GetErrorCode(parser));
  XML_ParserFree(parser);
  return checked;
}

std::string Inner(const std::string& segment) {
  const std::string open = "<speak version=\"1.0\" xml:lang=\"en-US\">";
  const std::string close = "</speak>";
  if (segment.compare(0, open.size(), open) != 0 || segment.size() < open.size() + close.size())
    return "(not wrapped) " + segment;
  return segment.substr(open.size(), segment.size() - open.size() - close.size());
}

class SsmlRebuildTest : public ContentTestBase {
 protected:
  void SetUp() override {
    ContentTestBase::SetUp();
    m_Params.m_ContentType = SYNTH_CONTENT_SSML;
  }

  // The segments of body, rebuilt with normalize on.
  SynthContent Rebuild(const std::string& body) {
    SynthContent content;
    SpeakParams params = m_Params;
    params.m_Content = body;
    std::string query;
    EXPECT_TRUE(content.ReadSsmlAndComposeContent(params, query, true, m_Pool)) << body;
    m_Language = params.m_Language;
    return content;
  }

  std::string m_Language;  // the request's language after the last Rebuild
};

TEST_F(SsmlRebuildTest, EveryCorpusDocumentRebuildsWellFormed) {
  size_t documents = 0;
  for (const fs::directory_entry& entry : fs::directory_iterator(kCorpus)) {
    std::ifstream file(entry.path(), std::ios::binary);
    std::ostringstream body;
    body << file.rdbuf();
    SynthContent content = Rebuild(body.str());
    ASSERT_FALSE(content.empty()) << entry.path();
    for (const SynthSegment& segment : content) {
      Checked checked = Check(segment.m_Content);
      EXPECT_TRUE(checked.wellFormed)
          << entry.path() << ": " << checked.error << "\n" << segment.m_Content;
    }
    ++documents;
  }
  EXPECT_GE(documents, 14u);
}

TEST_F(SsmlRebuildTest, NamesThatNeedTheirPrefixAreDropped) {
  const std::pair<std::string, std::string> cases[] = {
      // An attribute whose local name is empty goes; its neighbours stay.
      {"<speak xmlns:s=\"urn:s\"><p s:=\"v\" a=\"1\">x</p></speak>", "<p a=\"1\">x</p>"},
      // An element whose local name is empty gives way to its content.
      {"<speak xmlns:s=\"urn:s\">a<s:>b<p>c</p>d<s:>e</s:>f</s:>g</speak>", "ab<p>c</p>defg"},
      {"<speak xmlns:s=\"urn:s\"><s:/>x<s:></s:></speak>", "x"},
      // Of attributes that meet once the prefixes are gone, the first stays.
      {"<speak xmlns:a=\"urn:a\" xmlns:b=\"urn:b\"><p a:x=\"1\" b:x=\"2\" x=\"3\"/></speak>",
       "<p x=\"1\"/>"},
      {"<speak xmlns:a=\"urn:a\"><p x=\"0\" a:x=\"1\"/></speak>", "<p x=\"0\"/>"},
      // Local names that are no names of their own, or that would declare a
      // namespace or a second language.
      {"<speak xmlns:k=\"urn:k\"><k:a:b k:1c=\"1\" k:xmlns=\"urn:z\" k:xml:lang=\"de\" "
       "k:-d=\"2\">x</k:a:b><k:1e>y</k:1e></speak>",
       "xy"},
      {"<speak><xmlns:x>a</xmlns:x><XML:y>b</XML:y><p xmlfoo:z=\"1\" xml:=\"2\">c</p></speak>",
       "ab<p>c</p>"},
      // The "xml" prefix is bound in every document and stays. (The
      // serialiser writes attributes last one first.)
      {"<speak xmlns:k=\"urn:k\"><p xml:space=\"preserve\" k:d=\"1\">x</p></speak>",
       "<p d=\"1\" xml:space=\"preserve\">x</p>"},
  };
  for (const auto& c : cases) {
    SynthContent content = Rebuild(c.first);
    ASSERT_EQ(1u, content.size()) << c.first;
    EXPECT_EQ(c.second, Inner(content[0].m_Content)) << c.first;
    EXPECT_TRUE(Check(content[0].m_Content).wellFormed) << content[0].m_Content;
  }
  EXPECT_GE(m_Log.Count("[DEBUG] [VXS-TEST] Drop SSML Attribute <> Without Its Prefix"), 1u);
  EXPECT_GE(m_Log.Count("[DEBUG] [VXS-TEST] Drop SSML Element <> Without Its Prefix"), 1u);
  EXPECT_GE(m_Log.Count("[DEBUG] [VXS-TEST] Drop Duplicate SSML Attribute <x>"), 2u);
  EXPECT_EQ(0u, m_Log.Count("[WARNING]"));
}

TEST_F(SsmlRebuildTest, NonAsciiLocalNamesStayOnlyWhenTheyCanStartAName) {
  // U+0300 and U+00B7 may follow in a name but not start one.
  SynthContent content = Rebuild(
      "<speak xmlns:k=\"urn:k\"><k:\xc3\xa9 k:\xc3\xbc=\"1\" k:\xcc\x80x=\"2\" "
      "k:\xc2\xb7y=\"3\">x</k:\xc3\xa9></speak>");
  ASSERT_EQ(1u, content.size());
  EXPECT_EQ("<\xc3\xa9 \xc3\xbc=\"1\">x</\xc3\xa9>", Inner(content[0].m_Content));
}

TEST_F(SsmlRebuildTest, VoiceAttributesAreTakenAsTheParserDecodedThem) {
  SynthContent content = Rebuild(
      "<speak><voice name=\"A&amp;B\" gender=\"male\">x</voice>"
      "<voice name=\"&lt;v&quot;1&gt;\">y &amp; z</voice></speak>");
  ASSERT_EQ(2u, content.size());
  EXPECT_EQ("A&B", content[0].m_VoiceName);
  EXPECT_EQ(VOICE_GENDER_MALE, content[0].m_VoiceGender);
  EXPECT_EQ("<v\"1>", content[1].m_VoiceName);
  EXPECT_EQ("y &amp; z", Inner(content[1].m_Content));
}

TEST_F(SsmlRebuildTest, LanguageIsReportedDecodedAndWrittenEscaped) {
  // From the root element, as the parser decoded it.
  SynthContent content =
      Rebuild("<speak xml:lang=\"en&quot;&lt;x&amp;\"><p xml:lang=\"a&amp;b\">x</p></speak>");
  EXPECT_EQ("en\"<x&", m_Language);
  ASSERT_EQ(1u, content.size());
  Checked checked = Check(content[0].m_Content);
  EXPECT_TRUE(checked.wellFormed) << checked.error << "\n" << content[0].m_Content;
  EXPECT_EQ("en\"<x&", checked.rootLanguage);

  // From a request header: markup escaped, what XML cannot hold left out.
  static const char kLanguage[] = "de\"<&>\x01\t\xff-\xc3\xa9\0x";
  m_Params.m_Language = std::string(kLanguage, sizeof(kLanguage) - 1);
  content = Rebuild("<speak>y</speak>");
  ASSERT_EQ(1u, content.size());
  checked = Check(content[0].m_Content);
  EXPECT_TRUE(checked.wellFormed) << checked.error << "\n" << content[0].m_Content;
  EXPECT_EQ("de\"<&>\t-\xc3\xa9x", checked.rootLanguage);
  EXPECT_EQ(m_Params.m_Language, m_Language);  // reported to the service as given
}

}  // namespace
}  // namespace VXS
