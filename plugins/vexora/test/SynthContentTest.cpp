// Speak content: content types, SSML composition, URI lists, Cache-Control.
#include <apr_general.h>
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "ContentTestSupport.h"
#include "Plugin.h"
#include "SynthContent.h"
#include "vxhost/LogSink.h"

namespace VXS {
namespace {

template <size_t N>
std::string Bytes(const char (&literal)[N]) {  // keeps embedded NULs
  return std::string(literal, N - 1);
}

// A pool per test, and the module's log lines captured under their own source.
class ContentTest : public ContentTestBase {
 protected:
  void SetUp() override {
    ContentTestBase::SetUp();
    m_Params.m_VoiceGender = VOICE_GENDER_FEMALE;
    m_Params.m_ContentType = SYNTH_CONTENT_SSML;
  }

  size_t Logged(const std::string& priority, const std::string& message) const {
    const std::string tail = "[" + priority + "] [VXS-TEST] " + message;
    size_t count = 0;
    for (const std::string& line : m_Log.Lines())
      if (line.size() >= tail.size() &&
          line.compare(line.size() - tail.size(), tail.npos, tail) == 0)
        ++count;
    return count;
  }
  size_t Warnings() const { return m_Log.Count("[WARNING]"); }

  bool Read(const std::string& body, bool normalize) {
    m_Params.m_Content = body;
    return m_Content.ReadSsmlAndComposeContent(m_Params, m_Query, normalize, m_Pool);
  }
  void ComposeUris(const std::string& body) {
    m_Params.m_Content = body;
    EXPECT_TRUE(m_Content.ComposeUriListSegments(m_Params));
  }
  SynthContent m_Content;
  std::string m_Query;
};

TEST(ContentTypeTest, PartBeforeSemicolonDecidesExactly) {
  SpeakParams params;
  std::string type = "application/ssml+xml;charset=UTF-8";
  params.DetermineContentType(type);
  EXPECT_EQ(SYNTH_CONTENT_SSML, params.m_ContentType);
  EXPECT_EQ("application/ssml+xml", type);
  const std::pair<std::string, SynthContentType> cases[] = {
      {"application/synthesis+ssml", SYNTH_CONTENT_SSML},
      {"text/uri-list", SYNTH_CONTENT_URI_LIST},
      {"text/plain", SYNTH_CONTENT_TEXT},
      {"APPLICATION/SSML+XML", SYNTH_CONTENT_UNKNOWN},
      {"text/plain ;charset=UTF-8", SYNTH_CONTENT_UNKNOWN},
      {"", SYNTH_CONTENT_UNKNOWN}};
  for (const auto& c : cases) {
    type = c.first;
    params.DetermineContentType(type);
    EXPECT_EQ(c.second, params.m_ContentType) << c.first;
  }
}

using SsmlTest = ContentTest;

TEST_F(SsmlTest, SingleSegmentKeepsBodyByteForByte) {
  m_Params.m_Content = Bytes("<speak><p>not closed\0\xff\xfe");
  m_Content.ComposeSingleSegment(m_Params);
  ASSERT_EQ(1u, m_Content.size());
  EXPECT_EQ(m_Params.m_Content, m_Content.front().m_Content);
  EXPECT_EQ("request-voice", m_Content.front().m_VoiceName);
}

TEST_F(SsmlTest, NormalizeWithoutVoiceWrapsRootContentWithoutPrefixes) {
  ASSERT_TRUE(
      Read("<?xml version=\"1.0\"?><speak version=\"1.0\" "
           "xmlns=\"http://www.w3.org/2001/10/synthesis\" xml:lang=\"de-DE\">"
           "<p>Hallo <break time=\"1s\"/>Welt</p></speak>",
           true));
  ASSERT_EQ(1u, m_Content.size());
  EXPECT_EQ(
      "<speak version=\"1.0\" xml:lang=\"de-DE\"><p>Hallo <break time=\"1s\"/>Welt</p></speak>",
      m_Content[0].m_Content);
  EXPECT_EQ("de-DE", m_Params.m_Language);
  EXPECT_EQ(VOICE_GENDER_FEMALE, m_Content[0].m_VoiceGender);
  ASSERT_TRUE(Read("<speak/>", true));
  EXPECT_EQ("<speak version=\"1.0\" xml:lang=\"de-DE\"></speak>", m_Content[1].m_Content);
}

TEST_F(SsmlTest, NormalizeSplitsPerVoiceAndDropsTheRest) {
  ASSERT_TRUE(
      Read("<speak xmlns=\"http://www.w3.org/2001/10/synthesis\">outside"
           "<voice name=\"alpha\" gender=\"male\">One</voice><s>dropped</s>"
           "<VOICE Name=\"beta\" gender=\"neutral\"><emphasis>Two</emphasis></VOICE>"
           "<voice gender=\"Female\">Three</voice></speak>",
           true));
  ASSERT_EQ(3u, m_Content.size());
  EXPECT_EQ("<speak version=\"1.0\" xml:lang=\"en-US\">One</speak>", m_Content[0].m_Content);
  EXPECT_EQ("alpha", m_Content[0].m_VoiceName);
  EXPECT_EQ(VOICE_GENDER_MALE, m_Content[0].m_VoiceGender);
  EXPECT_EQ("<speak version=\"1.0\" xml:lang=\"en-US\"><emphasis>Two</emphasis></speak>",
            m_Content[1].m_Content);
  EXPECT_EQ("beta", m_Content[1].m_VoiceName);
  EXPECT_EQ(VOICE_GENDER_NEUTRAL, m_Content[1].m_VoiceGender);
  EXPECT_EQ("request-voice", m_Content[2].m_VoiceName);  // unknown gender ignored
  EXPECT_EQ(VOICE_GENDER_FEMALE, m_Content[2].m_VoiceGender);
}

TEST_F(SsmlTest, EscapedTextStaysWellFormed) {
  ASSERT_TRUE(Read(
      "<speak><voice>Fish &amp; Chips &lt; 5 <say-as x=\"a&quot;b&amp;c\">z</say-as> &amp; more"
      "</voice><voice>1 &lt; 2</voice></speak>",
      true));
  ASSERT_EQ(2u, m_Content.size());
  EXPECT_EQ(
      "<speak version=\"1.0\" xml:lang=\"en-US\">Fish &amp; Chips &lt; 5 "
      "<say-as x=\"a&quot;b&amp;c\">z</say-as> &amp; more</speak>",
      m_Content[0].m_Content);
  EXPECT_TRUE(IsWellFormed(m_Content[0].m_Content));
  EXPECT_TRUE(IsWellFormed(m_Content[1].m_Content));
}

TEST_F(SsmlTest, XmlBaseQueryIsHandedOverAndEndsTheAttributeWalk) {
  ASSERT_TRUE(
      Read("<speak version=\"1.0\" XML:BASE=\"http://h.invalid/p?region=eu&amp;a=b?c\" "
           "after=\"x\">Hi</speak>",
           true));
  EXPECT_EQ("region=eu&a=b?c", m_Query);
  EXPECT_EQ(1u, Logged("DEBUG", "Read SSML Attribute: version = 1.0"));
  EXPECT_EQ(0u, Logged("DEBUG", "Read SSML Attribute: after = x"));
  m_Query.clear();
  ASSERT_TRUE(Read("<speak xml:base=\"http://h.invalid/p\">Hi</speak>", true));
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
  EXPECT_EQ("fr-FR", m_Params.m_Language);
}

TEST_F(SsmlTest, EachParseFailureIsToldOnce) {
  EXPECT_FALSE(Read("", true));
  EXPECT_EQ(1u, Logged("WARNING", "XML Content Emtpy"));
  EXPECT_FALSE(Read("<speak></voice>", true));
  EXPECT_EQ(1u, Logged("WARNING", "Failed to Feed XML Content to Parser"));
  EXPECT_FALSE(Read("<speak xml:lang=\"de-DE\" xml:base=\"h?a=b\">unterminated", true));
  EXPECT_EQ(1u, Logged("WARNING", "Failed to Terminate XML parsing"));
  EXPECT_EQ(3u, Warnings());
  EXPECT_TRUE(m_Content.empty());
  EXPECT_EQ("en-US", m_Params.m_Language);
  EXPECT_EQ("", m_Query);
}

TEST_F(SsmlTest, BadBodiesFailWithoutCrash) {
  std::string nested, garbage(1 << 20, '\0');
  for (int i = 0; i < 100000; ++i) nested += "<s>";
  for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>(i * 7919 % 256);
  const std::string bodies[] = {Bytes("<speak>a\0b</speak>"),
                                "<speak>\xff\xfe\xc3</speak>",
                                "<speak>a</speak><b/>",
                                "<x:speak>undeclared</x:speak>",
                                "   ",
                                nested,
                                garbage};
  for (const std::string& body : bodies) {
    m_Log.Clear();
    EXPECT_FALSE(Read(body, true));
    EXPECT_FALSE(Read(body, false));
    EXPECT_TRUE(m_Content.empty());
    EXPECT_EQ(2u, Warnings());
  }
}

TEST_F(SsmlTest, MegabyteBodyIsComposedAndEscaped) {
  std::string text(1 << 20, 'a');
  for (size_t i = 0; i < text.size(); i += 1000) text[i] = '&';
  ASSERT_TRUE(Read("<speak><voice><![CDATA[" + text + "]]></voice></speak>", true));
  ASSERT_EQ(1u, m_Content.size());
  EXPECT_TRUE(IsWellFormed(m_Content[0].m_Content));
}

using UriListTest = ContentTest;

TEST_F(UriListTest, FileHttpAndUnsupportedSchemes) {
  ComposeUris(
      "file:// /var/lib/audio/prompt.wav\r\nHTTP://media.invalid/a.wav\nftp://x/y.wav\n"
      "hTTps://media.invalid/b.wav");
  ASSERT_EQ(3u, m_Content.size());
  EXPECT_EQ(1u, Logged("WARNING", "Unsupported URI Form"));
  EXPECT_EQ(SYNTH_CONTENT_FILE_URI, m_Content[0].m_ContentType);
  EXPECT_EQ("/var/lib/audio/prompt.wav", m_Content[0].m_Content);
  EXPECT_EQ(SYNTH_CONTENT_HTTP_URI, m_Content[1].m_ContentType);
  EXPECT_EQ("HTTP://media.invalid/a.wav", m_Content[1].m_Content);
  EXPECT_EQ("request-voice", m_Content[1].m_VoiceName);
  EXPECT_EQ(SYNTH_CONTENT_HTTPS_URI, m_Content[2].m_ContentType);
}

TEST_F(UriListTest, EveryLineEndingSeparatesLines) {
  ComposeUris("file:///a\rfile:///b\nfile:///c\r\n\r\nfile:///d");
  ASSERT_EQ(4u, m_Content.size());
  EXPECT_EQ("/b", m_Content[1].m_Content);
  EXPECT_EQ("/c", m_Content[2].m_Content);
  EXPECT_EQ("/d", m_Content[3].m_Content);
}

TEST_F(UriListTest, BlankLinesOnlyYieldNoSegment) {
  ComposeUris("\r\n\n\r\r\n");
  EXPECT_TRUE(m_Content.empty());
  EXPECT_EQ(0u, Warnings());
}

TEST_F(UriListTest, LeadingBlanksSkippedTrailingKept) {
  ComposeUris(" \t http://h.invalid/x.wav \t\n\t file://\t /p q.wav \nfile://   ");
  ASSERT_EQ(2u, m_Content.size());
  EXPECT_EQ("http://h.invalid/x.wav \t", m_Content[0].m_Content);
  EXPECT_EQ("/p q.wav ", m_Content[1].m_Content);
}

TEST_F(UriListTest, ShortAndBinaryLinesAreSkippedSafely) {
  ComposeUris(Bytes("http:/\nfile:/\nhttp\0://x\n\xff\xfe\nhttps:/"));
  EXPECT_TRUE(m_Content.empty());
  EXPECT_EQ(5u, Logged("WARNING", "Unsupported URI Form"));
}

TEST_F(UriListTest, FileUrisArePercentDecodedAndLocalhostNamesTheRoot) {
  ComposeUris(
      "file:///audio/my%20prompt.wav\nfile://localhost/audio/a.wav\n"
      "FILE://LocalHost/caf%C3%a9%2fb.wav\nfile:// localhost/c.wav\n"
      "file:///100%.wav\nfile:///%zz%4\nfile:///%4");
  ASSERT_EQ(7u, m_Content.size());
  EXPECT_EQ("/audio/my prompt.wav", m_Content[0].m_Content);
  EXPECT_EQ("/audio/a.wav", m_Content[1].m_Content);
  EXPECT_EQ("/caf\xc3\xa9/b.wav", m_Content[2].m_Content);
  EXPECT_EQ("/c.wav", m_Content[3].m_Content);
  // A '%' that starts no escape is part of the name as written.
  EXPECT_EQ("/100%.wav", m_Content[4].m_Content);
  EXPECT_EQ("/%zz%4", m_Content[5].m_Content);
  EXPECT_EQ("/%4", m_Content[6].m_Content);
  EXPECT_EQ(0u, Warnings());
}

TEST_F(UriListTest, EscapedNulRefusesTheLine) {
  ComposeUris("file:///a%00.wav\nfile:///b.wav");
  ASSERT_EQ(1u, m_Content.size());
  EXPECT_EQ("/b.wav", m_Content[0].m_Content);
  EXPECT_EQ(1u, Logged("WARNING", "Unsupported URI Form"));
}

TEST_F(UriListTest, CommentLinesAreSkippedWithoutWarning) {
  ComposeUris("# prompts of the menu\r\n  \t# indented\nfile:///a.wav\n#file:///b.wav\n#");
  ASSERT_EQ(1u, m_Content.size());
  EXPECT_EQ("/a.wav", m_Content[0].m_Content);
  EXPECT_EQ(0u, Warnings());
}

class CacheControlTest : public ContentTest {
 protected:
  void Parse(const std::string& text) {
    m_Text = text;
    apt_str_t value = {&m_Text[0], m_Text.size()};
    EXPECT_TRUE(m_Control.Parse(&value, m_Pool));
  }
  std::string m_Text;
  CacheControl m_Control;
};

TEST_F(CacheControlTest, AbsentHeaderLeavesDirectivesAbsent) {
  EXPECT_FALSE(m_Control.Parse(nullptr, m_Pool));
  Parse("no-cache, max-stale, max-age=, MAX-AGE=10, max-age =20");
  EXPECT_EQ(-1, m_Control.m_MaxAge);
  EXPECT_EQ(-1, m_Control.m_MaxStale);
  EXPECT_EQ(-1, m_Control.m_MinFresh);
}

TEST_F(CacheControlTest, DirectivesAreSetByExactName) {
  Parse("max-age=0");
  EXPECT_EQ(0, m_Control.m_MaxAge);
  Parse("max-age=60, min-fresh=30,max-stale=5");
  EXPECT_EQ(60, m_Control.m_MaxAge);
  EXPECT_EQ(30, m_Control.m_MinFresh);
  EXPECT_EQ(5, m_Control.m_MaxStale);
}

TEST_F(CacheControlTest, NumbersReadLikeStreamInputInto32Bits) {
  Parse("max-age=abc, min-fresh= +15s, max-stale=-");
  EXPECT_EQ(0, m_Control.m_MaxAge);
  EXPECT_EQ(15, m_Control.m_MinFresh);
  EXPECT_EQ(0, m_Control.m_MaxStale);
  Parse("max-age=99999999999999999999999, min-fresh=-2147483649, max-stale=-2147483648");
  EXPECT_EQ(INT32_MAX, m_Control.m_MaxAge);
  EXPECT_EQ(INT32_MIN, m_Control.m_MinFresh);
  EXPECT_EQ(INT32_MIN, m_Control.m_MaxStale);
}

TEST_F(CacheControlTest, ValueIsReadOnlyWithinItsLength) {
  char buffer[] = "max-age=12345";
  apt_str_t value = {buffer, 10};
  EXPECT_TRUE(m_Control.Parse(&value, m_Pool));
  EXPECT_EQ(12, m_Control.m_MaxAge);
}

}  // namespace
}  // namespace VXS
