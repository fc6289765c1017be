// Speak content: content-type classification, SSML composition, URI lists
// and Cache-Control directives.
#include "SynthContent.h"

#include <apr_general.h>
#include <apr_pools.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "Plugin.h"
#include "vxhost/LogSink.h"

namespace VXS {
namespace {

// The bytes of a literal, embedded NULs included.
template <size_t N>
std::string Bytes(const char (&literal)[N]) {
  return std::string(literal, N - 1);
}

// Owns an APR pool per test and captures the module's log lines under a
// source name of its own.
class PoolTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { apr_initialize(); }
  void SetUp() override {
    ASSERT_EQ(APR_SUCCESS, apr_pool_create(&m_Pool, nullptr));
    m_SavedSource = VXS_PLUGIN;
    ASSERT_TRUE(apt_log_source_assign("VXS-TEST", &VXS_PLUGIN));
  }
  void TearDown() override {
    VXS_PLUGIN = m_SavedSource;
    apr_pool_destroy(m_Pool);
  }

  // Lines of the module's source with exactly this priority and message.
  size_t Logged(const char* priority, const std::string& message) const {
    const std::string tail = std::string("[") + priority + "] [VXS-TEST] " + message;
    size_t count = 0;
    for (const std::string& line : m_Log.Lines()) {
      if (line.size() >= tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0)
        ++count;
    }
    return count;
  }
  size_t Warnings() const {
    size_t count = 0;
    for (const std::string& line : m_Log.Lines())
      if (line.find("[WARNING]") != std::string::npos) ++count;
    return count;
  }

  apr_pool_t* m_Pool = nullptr;
  apt_log_source_t* m_SavedSource = nullptr;
  vxhost::LogCapture m_Log;
};

// ------------------------------------------------------------ content type

class ContentTypeTest : public ::testing::Test {
 protected:
  SynthContentType Classify(const std::string& type) {
    std::string value = type;
    EXPECT_TRUE(m_Params.DetermineContentType(value));
    return m_Params.m_ContentType;
  }
  SpeakParams m_Params;
};

TEST_F(ContentTypeTest, SupportedTypesAreRecognised) {
  EXPECT_EQ(SYNTH_CONTENT_TEXT, Classify("text/plain"));
  EXPECT_EQ(SYNTH_CONTENT_SSML, Classify("application/ssml+xml"));
  EXPECT_EQ(SYNTH_CONTENT_SSML, Classify("application/synthesis+ssml"));
  EXPECT_EQ(SYNTH_CONTENT_URI_LIST, Classify("text/uri-list"));
}

TEST_F(ContentTypeTest, ParametersAfterSemicolonAreCutInPlace) {
  std::string value = "application/ssml+xml;charset=UTF-8";
  m_Params.DetermineContentType(value);
  EXPECT_EQ(SYNTH_CONTENT_SSML, m_Params.m_ContentType);
  EXPECT_EQ("application/ssml+xml", value);
}

TEST_F(ContentTypeTest, CaseAndBlanksMakeTheTypeUnknown) {
  EXPECT_EQ(SYNTH_CONTENT_UNKNOWN, Classify("APPLICATION/SSML+XML"));
  EXPECT_EQ(SYNTH_CONTENT_UNKNOWN, Classify("text/plain ;charset=UTF-8"));
  EXPECT_EQ(SYNTH_CONTENT_UNKNOWN, Classify("audio/wav"));
  EXPECT_EQ(SYNTH_CONTENT_UNKNOWN, Classify(""));
}

TEST_F(ContentTypeTest, UnsupportedTypeOverwritesEarlierResult) {
  EXPECT_EQ(SYNTH_CONTENT_TEXT, Classify("text/plain"));
  EXPECT_EQ(SYNTH_CONTENT_UNKNOWN, Classify("text/html"));
}

// ------------------------------------------------------------------- SSML

class SsmlTest : public PoolTest {
 protected:
  void SetUp() override {
    PoolTest::SetUp();
    m_Params.m_Language = "en-US";
    m_Params.m_VoiceName = "request-voice";
    m_Params.m_VoiceGender = VOICE_GENDER_FEMALE;
    m_Params.m_ContentType = SYNTH_CONTENT_SSML;
  }

  bool Read(const std::string& body, bool normalize) {
    m_Params.m_Content = body;
    return m_Content.ReadSsmlAndComposeContent(m_Params, m_Query, normalize, m_Pool);
  }

  bool IsWellFormed(const std::string& xml) {
    return SynthContent::ParseSsml(xml.data(), xml.size(), m_Pool) != nullptr;
  }

  SpeakParams m_Params;
  SynthContent m_Content;
  std::string m_Query;
};

TEST_F(SsmlTest, SingleSegmentKeepsBodyByteForByte) {
  const std::string body = Bytes("<speak><p>not closed\0\xff\xfe");
  m_Params.m_Content = body;
  EXPECT_TRUE(m_Content.ComposeSingleSegment(m_Params));
  ASSERT_EQ(1u, m_Content.size());
  EXPECT_EQ(body, m_Content.front().m_Content);
  EXPECT_EQ(SYNTH_CONTENT_SSML, m_Content.front().m_ContentType);
  EXPECT_EQ("request-voice", m_Content.front().m_VoiceName);
  EXPECT_EQ(VOICE_GENDER_FEMALE, m_Content.front().m_VoiceGender);
}

TEST_F(SsmlTest, NormalizeWithoutVoiceWrapsRootContentWithoutPrefixes) {
  ASSERT_TRUE(Read(
      "<?xml version=\"1.0\"?>"
      "<speak version=\"1.0\" xmlns=\"http://www.w3.org/2001/10/synthesis\" xml:lang=\"de-DE\">"
      "<p>Hallo <break time=\"1s\"/>Welt</p></speak>",
      true));
  ASSERT_EQ(1u, m_Content.size());
  const SynthSegment& segment = m_Content.front();
  EXPECT_EQ(
      "<speak version=\"1.0\" xml:lang=\"de-DE\"><p>Hallo <break time=\"1s\"/>Welt</p></speak>",
      segment.m_Content);
  EXPECT_EQ(std::string::npos, segment.m_Content.find("ns1:"));
  EXPECT_EQ(std::string::npos, segment.m_Content.find("ns0:"));
  EXPECT_EQ("de-DE", m_Params.m_Language);
  EXPECT_EQ(SYNTH_CONTENT_SSML, segment.m_ContentType);
  EXPECT_EQ("request-voice", segment.m_VoiceName);
  EXPECT_EQ(VOICE_GENDER_FEMALE, segment.m_VoiceGender);
}

TEST_F(SsmlTest, RootWithoutLanguageKeepsRequestLanguage) {
  ASSERT_TRUE(Read("<speak>Hello</speak>", true));
  EXPECT_EQ("en-US", m_Params.m_Language);
  ASSERT_EQ(1u, m_Content.size());
  EXPECT_EQ("<speak version=\"1.0\" xml:lang=\"en-US\">Hello</speak>", m_Content.front().m_Content);
}

TEST_F(SsmlTest, EmptyRootYieldsTheWrapperAlone) {
  ASSERT_TRUE(Read("<speak/>", true));
  ASSERT_EQ(1u, m_Content.size());
  EXPECT_EQ("<speak version=\"1.0\" xml:lang=\"en-US\"></speak>", m_Content.front().m_Content);
}

TEST_F(SsmlTest, NormalizeSplitsPerVoiceAndDropsTextOutsideVoices) {
  ASSERT_TRUE(Read(
      "<speak xmlns=\"http://www.w3.org/2001/10/synthesis\" xml:lang=\"en-GB\">outside"
      "<voice name=\"alpha\" gender=\"male\">One</voice><s>dropped</s>"
      "<VOICE NAME=\"beta\" GENDER=\"neutral\"><emphasis>Two</emphasis></VOICE></speak>",
      true));
  ASSERT_EQ(2u, m_Content.size());
  EXPECT_EQ("<speak version=\"1.0\" xml:lang=\"en-GB\">One</speak>", m_Content[0].m_Content);
  EXPECT_EQ("alpha", m_Content[0].m_VoiceName);
  EXPECT_EQ(VOICE_GENDER_MALE, m_Content[0].m_VoiceGender);
  EXPECT_EQ("<speak version=\"1.0\" xml:lang=\"en-GB\"><emphasis>Two</emphasis></speak>",
            m_Content[1].m_Content);
  EXPECT_EQ("beta", m_Content[1].m_VoiceName);
  EXPECT_EQ(VOICE_GENDER_NEUTRAL, m_Content[1].m_VoiceGender);
}

TEST_F(SsmlTest, VoiceWithUnknownGenderKeepsRequestVoice) {
  ASSERT_TRUE(Read("<speak><voice gender=\"Female\" age=\"30\">Hi</voice></speak>", true));
  ASSERT_EQ(1u, m_Content.size());
  EXPECT_EQ("request-voice", m_Content[0].m_VoiceName);
  EXPECT_EQ(VOICE_GENDER_FEMALE, m_Content[0].m_VoiceGender);
}

TEST_F(SsmlTest, LaterVoiceNameAttributeWins) {
  ASSERT_TRUE(Read("<speak><voice NAME=\"first\" name=\"second\">Hi</voice></speak>", true));
  ASSERT_EQ(1u, m_Content.size());
  EXPECT_EQ("second", m_Content[0].m_VoiceName);
}

TEST_F(SsmlTest, VoiceWithEmptyGenderClearsGender) {
  ASSERT_TRUE(Read("<speak><voice gender=\"\">Hi</voice></speak>", true));
  ASSERT_EQ(1u, m_Content.size());
  EXPECT_EQ(VOICE_GENDER_UNKNOWN, m_Content[0].m_VoiceGender);
}

TEST_F(SsmlTest, EscapedTextStaysWellFormed) {
  ASSERT_TRUE(Read(
      "<speak>Fish &amp; Chips &lt; 5 &gt; 3 <say-as interpret-as=\"a&quot;b&amp;c\">x</say-as>"
      "</speak>",
      true));
  ASSERT_EQ(1u, m_Content.size());
  const std::string& ssml = m_Content[0].m_Content;
  EXPECT_NE(std::string::npos, ssml.find("Fish &amp; Chips &lt; 5 &gt; 3"));
  EXPECT_NE(std::string::npos, ssml.find("interpret-as=\"a&quot;b&amp;c\""));
  EXPECT_TRUE(IsWellFormed(ssml));
}

TEST_F(SsmlTest, EveryVoiceSegmentIsWellFormed) {
  ASSERT_TRUE(Read(
      "<speak><voice name=\"a\">1 &lt; 2</voice><voice name=\"b\">A &amp; B</voice></speak>",
      true));
  ASSERT_EQ(2u, m_Content.size());
  EXPECT_TRUE(IsWellFormed(m_Content[0].m_Content));
  EXPECT_TRUE(IsWellFormed(m_Content[1].m_Content));
}

TEST_F(SsmlTest, XmlBaseQueryIsHandedToCaller) {
  ASSERT_TRUE(Read(
      "<speak xml:base=\"http://example.invalid/path?region=eu&amp;voice-name=x?y\">Hi</speak>",
      true));
  EXPECT_EQ("region=eu&voice-name=x?y", m_Query);
}

TEST_F(SsmlTest, AttributeWalkStopsAtXmlBase) {
  ASSERT_TRUE(Read("<speak version=\"1.0\" XML:BASE=\"h?a=1\" after=\"x\">Hi</speak>", true));
  EXPECT_EQ("a=1", m_Query);
  EXPECT_EQ(1u, Logged("DEBUG", "Read SSML Attribute: version = 1.0"));
  EXPECT_EQ(1u, Logged("DEBUG", "Read SSML Attribute: XML:BASE = h?a=1"));
  EXPECT_EQ(0u, Logged("DEBUG", "Read SSML Attribute: after = x"));
}

TEST_F(SsmlTest, XmlBaseWithoutQuestionMarkHandsNothing) {
  ASSERT_TRUE(Read("<speak xml:base=\"http://example.invalid/path\">Hi</speak>", true));
  EXPECT_EQ("", m_Query);
  ASSERT_TRUE(Read("<speak xml:base=\"\">Hi</speak>", false));
  EXPECT_EQ("", m_Query);
}

TEST_F(SsmlTest, NormalizeOffKeepsWholeBodyWithFirstVoice) {
  const std::string body =
      "<speak xml:lang=\"fr-FR\"><voice name=\"first\" gender=\"male\">Un</voice>"
      "<voice name=\"second\" gender=\"female\">Deux</voice></speak>";
  ASSERT_TRUE(Read(body, false));
  ASSERT_EQ(1u, m_Content.size());
  EXPECT_EQ(body, m_Content[0].m_Content);
  EXPECT_EQ("first", m_Content[0].m_VoiceName);
  EXPECT_EQ(VOICE_GENDER_MALE, m_Content[0].m_VoiceGender);
  EXPECT_EQ(SYNTH_CONTENT_SSML, m_Content[0].m_ContentType);
  EXPECT_EQ("fr-FR", m_Params.m_Language);
}

TEST_F(SsmlTest, NormalizeOffWithoutVoiceKeepsRequestVoice) {
  ASSERT_TRUE(Read("<speak><p>Hi</p></speak>", false));
  ASSERT_EQ(1u, m_Content.size());
  EXPECT_EQ("request-voice", m_Content[0].m_VoiceName);
}

TEST_F(SsmlTest, SegmentsAreAppendedBehindExistingOnes) {
  m_Params.m_Content = "plain";
  m_Content.ComposeSingleSegment(m_Params);
  ASSERT_TRUE(Read("<speak>Hi</speak>", true));
  ASSERT_EQ(2u, m_Content.size());
  EXPECT_EQ("plain", m_Content.front().m_Content);
}

TEST_F(SsmlTest, StripNamespaceReachesDescendantsAndAttributes) {
  const std::string body =
      "<a:speak xmlns:a=\"urn:a\" xmlns:b=\"urn:b\"><b:p b:x=\"1\"><a:s>t</a:s></b:p></a:speak>";
  apr_xml_doc* doc = SynthContent::ParseSsml(body.data(), body.size(), m_Pool);
  ASSERT_NE(nullptr, doc);
  SynthContent::StripNamespace(doc->root);
  EXPECT_EQ(APR_XML_NS_NONE, doc->root->ns);
  apr_xml_elem* p = doc->root->first_child;
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(APR_XML_NS_NONE, p->ns);
  ASSERT_NE(nullptr, p->attr);
  EXPECT_EQ(APR_XML_NS_NONE, p->attr->ns);
  ASSERT_NE(nullptr, p->first_child);
  EXPECT_EQ(APR_XML_NS_NONE, p->first_child->ns);
}

// ----------------------------------------------------- malformed SSML input

class SsmlInputTest : public SsmlTest {};

TEST_F(SsmlInputTest, EmptyBodyFailsWithoutSegment) {
  EXPECT_FALSE(Read("", true));
  EXPECT_TRUE(m_Content.empty());
  EXPECT_EQ(1u, Logged("WARNING", "XML Content Emtpy"));
  EXPECT_EQ(nullptr, SynthContent::ParseSsml(nullptr, 10, m_Pool));
  EXPECT_EQ(2u, Logged("WARNING", "XML Content Emtpy"));
}

TEST_F(SsmlInputTest, FeedAndTerminateFailuresAreTold) {
  EXPECT_FALSE(Read("<speak></voice>", true));
  EXPECT_EQ(1u, Logged("WARNING", "Failed to Feed XML Content to Parser"));
  EXPECT_EQ(0u, Logged("WARNING", "Failed to Terminate XML parsing"));
  EXPECT_FALSE(Read("<speak>unterminated", true));
  EXPECT_EQ(1u, Logged("WARNING", "Failed to Terminate XML parsing"));
  EXPECT_EQ(2u, Warnings());
}

TEST_F(SsmlInputTest, MalformedBodiesFailWithoutSegment) {
  const std::string bodies[] = {
      "<speak>unterminated",                    // fails at the end of input
      "<speak></voice>",                        // fails while feeding
      "just text",                              // no element at all
      "   ",                                    // white space only
      "<speak>a</speak><speak>b</speak>",       // two roots
      "<x:speak>undeclared prefix</x:speak>",   // unknown namespace prefix
      Bytes("<speak>a\0b</speak>"),        // NUL byte
      "<speak>\xff\xfe\xc3</speak>",            // invalid UTF-8
  };
  for (const std::string& body : bodies) {
    SCOPED_TRACE(body);
    m_Content.clear();
    m_Log.Clear();
    EXPECT_FALSE(Read(body, true));
    EXPECT_TRUE(m_Content.empty());
    EXPECT_FALSE(Read(body, false));
    EXPECT_TRUE(m_Content.empty());
    EXPECT_EQ(2u, Warnings());
  }
}

TEST_F(SsmlInputTest, FailedParseLeavesLanguageAndQueryAlone) {
  EXPECT_FALSE(Read("<speak xml:lang=\"de-DE\" xml:base=\"h?a=b\">", true));
  EXPECT_EQ("en-US", m_Params.m_Language);
  EXPECT_EQ("", m_Query);
}

TEST_F(SsmlInputTest, DeeplyNestedBodyIsRefusedWithoutCrash) {
  std::string body;
  for (int i = 0; i < 100000; ++i) body += "<s>";
  for (int i = 0; i < 100000; ++i) body += "</s>";
  EXPECT_FALSE(Read(body, true));
  EXPECT_TRUE(m_Content.empty());
}

TEST_F(SsmlInputTest, MegabyteBodyIsComposed) {
  std::string text(1 << 20, 'a');
  for (size_t i = 0; i < text.size(); i += 1000) text[i] = '&';
  std::string body = "<speak><voice name=\"v\"><![CDATA[" + text + "]]></voice></speak>";
  ASSERT_TRUE(Read(body, true));
  ASSERT_EQ(1u, m_Content.size());
  const std::string& ssml = m_Content[0].m_Content;
  size_t escaped = 0;
  for (size_t pos = ssml.find("&amp;"); pos != std::string::npos; pos = ssml.find("&amp;", pos + 1))
    ++escaped;
  EXPECT_EQ((text.size() + 999) / 1000, escaped);
  EXPECT_TRUE(IsWellFormed(ssml));
}

TEST_F(SsmlInputTest, MegabyteOfGarbageFails) {
  std::string body(1 << 20, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7919 % 256);
  EXPECT_FALSE(Read(body, true));
  EXPECT_TRUE(m_Content.empty());
}

// --------------------------------------------------------------- URI lists

class UriListTest : public PoolTest {
 protected:
  void Compose(const std::string& body) {
    m_Params.m_VoiceName = "uri-voice";
    m_Params.m_VoiceGender = VOICE_GENDER_MALE;
    m_Params.m_Content = body;
    EXPECT_TRUE(m_Content.ComposeUriListSegments(m_Params));
  }
  SpeakParams m_Params;
  SynthContent m_Content;
};

TEST_F(UriListTest, FileHttpAndUnsupportedSchemes) {
  Compose("file:// /var/lib/audio/prompt.wav\r\nHTTP://media.invalid/a.wav\nftp://x/y.wav");
  ASSERT_EQ(2u, m_Content.size());
  EXPECT_EQ(1u, Logged("WARNING", "Unsupported URI Form"));
  EXPECT_EQ(SYNTH_CONTENT_FILE_URI, m_Content[0].m_ContentType);
  EXPECT_EQ("/var/lib/audio/prompt.wav", m_Content[0].m_Content);
  EXPECT_EQ(SYNTH_CONTENT_HTTP_URI, m_Content[1].m_ContentType);
  EXPECT_EQ("HTTP://media.invalid/a.wav", m_Content[1].m_Content);
  EXPECT_EQ("uri-voice", m_Content[1].m_VoiceName);
  EXPECT_EQ(VOICE_GENDER_MALE, m_Content[1].m_VoiceGender);
}

TEST_F(UriListTest, HttpsIsNotMistakenForHttp) {
  Compose("hTTps://media.invalid/b.wav");
  ASSERT_EQ(1u, m_Content.size());
  EXPECT_EQ(SYNTH_CONTENT_HTTPS_URI, m_Content[0].m_ContentType);
  EXPECT_EQ("hTTps://media.invalid/b.wav", m_Content[0].m_Content);
}

TEST_F(UriListTest, EveryLineEndingSeparatesLines) {
  Compose("file:///a\rfile:///b\nfile:///c\r\nfile:///d");
  ASSERT_EQ(4u, m_Content.size());
  EXPECT_EQ("/a", m_Content[0].m_Content);
  EXPECT_EQ("/b", m_Content[1].m_Content);
  EXPECT_EQ("/c", m_Content[2].m_Content);
  EXPECT_EQ("/d", m_Content[3].m_Content);
}

TEST_F(UriListTest, BlankLinesOnlyYieldNoSegment) {
  Compose("\r\n\n\r\r\n");
  EXPECT_TRUE(m_Content.empty());
  Compose("");
  EXPECT_TRUE(m_Content.empty());
  EXPECT_EQ(0u, Warnings());
}

TEST_F(UriListTest, LeadingBlanksSkippedTrailingBlanksKept) {
  Compose(" \t http://h.invalid/x.wav \t\n\t file://\t /p q.wav ");
  ASSERT_EQ(2u, m_Content.size());
  EXPECT_EQ("http://h.invalid/x.wav \t", m_Content[0].m_Content);
  EXPECT_EQ("/p q.wav ", m_Content[1].m_Content);
}

TEST_F(UriListTest, FileSchemeWithoutPathIsSkipped) {
  Compose("file://   \nfile://\nhttps://h.invalid/ok.wav");
  ASSERT_EQ(1u, m_Content.size());
  EXPECT_EQ(SYNTH_CONTENT_HTTPS_URI, m_Content[0].m_ContentType);
}

TEST_F(UriListTest, ShortAndBinaryLinesAreSkippedSafely) {
  Compose(Bytes("http:/\nfile:/\nhttp\0://x\n\xff\xfe\nhttps:/"));
  EXPECT_TRUE(m_Content.empty());
}

TEST_F(UriListTest, LargeListKeepsEveryLine) {
  std::string body;
  for (int i = 0; i < 20000; ++i) body += "file:///tmp/f" + std::to_string(i) + ".wav\n";
  Compose(body);
  ASSERT_EQ(20000u, m_Content.size());
  EXPECT_EQ("/tmp/f19999.wav", m_Content.back().m_Content);
}

// ----------------------------------------------------------- Cache-Control

class CacheControlTest : public PoolTest {
 protected:
  bool Parse(const std::string& text) {
    m_Text = text;
    apt_str_t value;
    value.buf = &m_Text[0];
    value.length = m_Text.size();
    return m_Control.Parse(&value, m_Pool);
  }
  std::string m_Text;
  CacheControl m_Control;
};

TEST_F(CacheControlTest, AbsentHeaderLeavesAllDirectivesAbsent) {
  EXPECT_FALSE(m_Control.Parse(nullptr, m_Pool));
  EXPECT_EQ(-1, m_Control.m_MaxAge);
  EXPECT_EQ(-1, m_Control.m_MaxStale);
  EXPECT_EQ(-1, m_Control.m_MinFresh);
  EXPECT_TRUE(Parse(""));
  EXPECT_EQ(-1, m_Control.m_MaxAge);
}

TEST_F(CacheControlTest, MaxAgeZeroIsKept) {
  EXPECT_TRUE(Parse("max-age=0"));
  EXPECT_EQ(0, m_Control.m_MaxAge);
  EXPECT_EQ(-1, m_Control.m_MinFresh);
}

TEST_F(CacheControlTest, CommaAndSpaceSeparateDirectives) {
  EXPECT_TRUE(Parse("max-age=60, min-fresh=30,max-stale=5"));
  EXPECT_EQ(60, m_Control.m_MaxAge);
  EXPECT_EQ(30, m_Control.m_MinFresh);
  EXPECT_EQ(5, m_Control.m_MaxStale);
}

TEST_F(CacheControlTest, DirectivesWithoutValueChangeNothing) {
  EXPECT_TRUE(Parse("no-cache, max-stale, max-age="));
  EXPECT_EQ(-1, m_Control.m_MaxAge);
  EXPECT_EQ(-1, m_Control.m_MaxStale);
  EXPECT_EQ(-1, m_Control.m_MinFresh);
}

TEST_F(CacheControlTest, NamesAreCaseSensitiveAndExact) {
  EXPECT_TRUE(Parse("MAX-AGE=10, max-age =20, max-ages=30"));
  EXPECT_EQ(-1, m_Control.m_MaxAge);
}

TEST_F(CacheControlTest, NumbersReadLikeStreamInput) {
  Parse("max-age=abc");
  EXPECT_EQ(0, m_Control.m_MaxAge);
  Parse("max-age= +15s, min-fresh=-7, max-stale=-");
  EXPECT_EQ(15, m_Control.m_MaxAge);
  EXPECT_EQ(-7, m_Control.m_MinFresh);
  EXPECT_EQ(0, m_Control.m_MaxStale);
}

TEST_F(CacheControlTest, NumbersBeyond32BitsClampToTheLimit) {
  Parse("max-age=99999999999999999999999, min-fresh=-99999999999, max-stale=2147483647");
  EXPECT_EQ(INT32_MAX, m_Control.m_MaxAge);
  EXPECT_EQ(INT32_MIN, m_Control.m_MinFresh);
  EXPECT_EQ(INT32_MAX, m_Control.m_MaxStale);
  Parse("max-age=2147483648, min-fresh=-2147483648");
  EXPECT_EQ(INT32_MAX, m_Control.m_MaxAge);
  EXPECT_EQ(INT32_MIN, m_Control.m_MinFresh);
}

TEST_F(CacheControlTest, ValueIsReadOnlyWithinItsLength) {
  char buffer[] = "max-age=12345";
  apt_str_t value;
  value.buf = buffer;
  value.length = strlen("max-age=12");
  EXPECT_TRUE(m_Control.Parse(&value, m_Pool));
  EXPECT_EQ(12, m_Control.m_MaxAge);
}

TEST_F(CacheControlTest, EmptyDirectiveStopsParsing) {
  Parse("max-age=1,,min-fresh=2");
  EXPECT_EQ(1, m_Control.m_MaxAge);
  EXPECT_EQ(-1, m_Control.m_MinFresh);
}

TEST_F(CacheControlTest, DirectiveWithoutNameIsRefused) {
  char buffer[] = "=5";
  apt_str_t directive;
  directive.buf = buffer;
  directive.length = 2;
  EXPECT_FALSE(m_Control.ParseDirective(&directive, m_Pool));
  EXPECT_FALSE(m_Control.ParseDirective(nullptr, m_Pool));
}

TEST_F(CacheControlTest, ResetMakesDirectivesAbsentAgain) {
  Parse("max-age=1, max-stale=2, min-fresh=3");
  m_Control.Reset();
  EXPECT_EQ(-1, m_Control.m_MaxAge);
  EXPECT_EQ(-1, m_Control.m_MaxStale);
  EXPECT_EQ(-1, m_Control.m_MinFresh);
}

}  // namespace
}  // namespace VXS
