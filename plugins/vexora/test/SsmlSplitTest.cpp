// SSML cut into pieces: every piece is a well-formed document that keeps the
// voice, language and prosody in force where it was cut; cuts never go into
// an utterance that must stay whole; and the composed segments of a body
// with marks carry each mark to the edge where playback reaches it.
#include <apr_general.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ContentTestSupport.h"
#include "Plugin.h"
#include "SsmlSplit.h"
#include "SynthContent.h"
#include "vxhost/LogSink.h"

namespace VXS {
namespace {

class SsmlSplitTest : public ContentTestBase {
 protected:
  void SetUp() override {
    ContentTestBase::SetUp();
    m_Params.m_VoiceGender = VOICE_GENDER_FEMALE;
    m_Params.m_ContentType = SYNTH_CONTENT_SSML;
  }

  // The pieces of the root's content of body, cut at its named marks.
  std::vector<SsmlPiece> Cut(const std::string& body) {
    apr_xml_doc* doc = SynthContent::ParseSsml(body.data(), body.size(), m_Pool);
    EXPECT_NE(doc, nullptr) << body;
    if (!doc) return {};
    SynthContent::StripNamespace(doc->root);
    std::vector<SsmlToken> tokens;
    FlattenSsml(doc->root, SynthContent::IsNamedMark, tokens);
    return CutSsmlTokens(tokens);
  }

  bool WellFormed(const std::string& content) {
    return IsWellFormed("<speak>" + content + "</speak>");
  }

  SynthContent m_Content;
};

TEST_F(SsmlSplitTest, PiecesReopenNestedVoiceProsodyAndLanguage) {
  std::vector<SsmlPiece> pieces = Cut(
      "<speak version=\"1.0\" xml:lang=\"en-US\">"
      "<voice name=\"a&amp;b\"><prosody rate=\"slow\" volume=\"loud\">One "
      "<mark name=\"m1\"/>two <p xml:lang=\"fr-FR\">trois <mark name=\"m2\"/>quatre</p>"
      "</prosody> five</voice></speak>");
  ASSERT_EQ(pieces.size(), 3u);
  EXPECT_EQ(pieces[0].m_Cut, "");
  EXPECT_EQ(pieces[0].m_Content,
            "<voice name=\"a&amp;b\"><prosody rate=\"slow\" volume=\"loud\">One "
            "</prosody></voice>");
  EXPECT_EQ(pieces[1].m_Cut, "m1");
  EXPECT_EQ(pieces[1].m_Content,
            "<voice name=\"a&amp;b\"><prosody rate=\"slow\" volume=\"loud\">two "
            "<p xml:lang=\"fr-FR\">trois </p></prosody></voice>");
  EXPECT_EQ(pieces[2].m_Cut, "m2");
  EXPECT_EQ(pieces[2].m_Content,
            "<voice name=\"a&amp;b\"><prosody rate=\"slow\" volume=\"loud\">"
            "<p xml:lang=\"fr-FR\">quatre</p></prosody> five</voice>");
  for (const SsmlPiece& piece : pieces) {
    EXPECT_TRUE(WellFormed(piece.m_Content)) << piece.m_Content;
    EXPECT_TRUE(piece.m_Sounds);
  }
}

TEST_F(SsmlSplitTest, MarksAtTheEdgesAndInARowLeaveSilentPieces) {
  std::vector<SsmlPiece> pieces = Cut(
      "<speak><mark name=\"start\"/> <s>Hello<mark name=\"a\"/><mark name=\"b\"/></s>"
      "<break time=\"300ms\"/><mark name=\"end\"/>\n</speak>");
  ASSERT_EQ(pieces.size(), 5u);
  std::vector<std::string> cuts;
  std::vector<bool> sounds;
  for (const SsmlPiece& piece : pieces) {
    cuts.push_back(piece.m_Cut);
    sounds.push_back(piece.m_Sounds);
    EXPECT_TRUE(WellFormed(piece.m_Content)) << piece.m_Content;
  }
  EXPECT_EQ(cuts, (std::vector<std::string>{"", "start", "a", "b", "end"}));
  // Only the piece with text and the one with the pause are heard.
  EXPECT_EQ(sounds, (std::vector<bool>{false, true, false, true, false}));
  EXPECT_EQ(pieces[1].m_Content, " <s>Hello</s>");
  EXPECT_EQ(pieces[2].m_Content, "<s></s>");
  EXPECT_EQ(pieces[3].m_Content, "<s></s><break time=\"300ms\"/>");
  EXPECT_EQ(pieces[4].m_Content, "\n");
}

TEST_F(SsmlSplitTest, CutInsideAnUtteranceMovesToItsEnd) {
  // A mark in the fallback text of an audio element, another in a say-as:
  // both are reached after the whole element, never inside it.
  std::vector<SsmlPiece> pieces = Cut(
      "<speak>Call <say-as interpret-as=\"telephone\">555<mark name=\"in\"/>1234</say-as>"
      " now <audio src=\"x.wav\">a <s>b<mark name=\"deep\"/></s> c</audio>.</speak>");
  ASSERT_EQ(pieces.size(), 3u);
  EXPECT_EQ(pieces[0].m_Content,
            "Call <say-as interpret-as=\"telephone\">5551234</say-as>");
  EXPECT_EQ(pieces[1].m_Cut, "in");
  EXPECT_EQ(pieces[1].m_Content, " now <audio src=\"x.wav\">a <s>b</s> c</audio>");
  EXPECT_EQ(pieces[2].m_Cut, "deep");
  EXPECT_EQ(pieces[2].m_Content, ".");
}

TEST_F(SsmlSplitTest, MarkupInTextAndAttributesSurvivesTheCut) {
  std::vector<SsmlPiece> pieces =
      Cut("<speak><sub alias=\"&quot;R&amp;D&quot; &lt;x&gt;\">R&amp;D</sub> a &lt; b "
          "<mark name=\"m\"/><![CDATA[x <&> y]]> &#13;z</speak>");
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0].m_Content,
            "<sub alias=\"&quot;R&amp;D&quot; &lt;x&gt;\">R&amp;D</sub> a &lt; b ");
  EXPECT_TRUE(WellFormed(pieces[0].m_Content));
  EXPECT_EQ(pieces[1].m_Content, "x &lt;&amp;&gt; y &#13;z");
  EXPECT_TRUE(WellFormed(pieces[1].m_Content));
}

TEST_F(SsmlSplitTest, UnnamedMarksDoNotCutAndAMarkKeepsWhatItHolds) {
  std::vector<SsmlPiece> pieces = Cut("<speak>a<mark/>b<mark name=\"\"/>c</speak>");
  ASSERT_EQ(pieces.size(), 1u);
  EXPECT_EQ(pieces[0].m_Content, "a<mark/>b<mark name=\"\"/>c");

  // A mark is empty; text and marks inside a malformed one are not lost.
  pieces = Cut("<speak>a<mark name=\"x\">in<mark name=\"y\"/>side</mark>b</speak>");
  ASSERT_EQ(pieces.size(), 3u);
  EXPECT_EQ(pieces[1].m_Cut, "x");
  EXPECT_EQ(pieces[1].m_Content, "in");
  EXPECT_EQ(pieces[2].m_Cut, "y");
  EXPECT_EQ(pieces[2].m_Content, "sideb");
}

// ----------------------------------------------- segments of marked bodies

TEST_F(SsmlSplitTest, NormalizedVoicesAreCutAndMarksBetweenThemKept) {
  m_Params.m_Content =
      "<speak version=\"1.0\" xml:lang=\"de-DE\"><mark name=\"first\"/>"
      "<voice name=\"v1\">Eins <mark name=\"in1\"/>zwei</voice>"
      "dropped <p><mark name=\"between\"/></p>"
      "<voice name=\"v2\" gender=\"male\"><mark name=\"top2\"/>drei</voice>"
      "<mark name=\"last\"/></speak>";
  std::string query;
  ASSERT_TRUE(m_Content.ReadSsmlAndComposeContent(m_Params, query, true, m_Pool));
  ASSERT_EQ(m_Content.size(), 3u);
  const std::string open = "<speak version=\"1.0\" xml:lang=\"de-DE\">";
  EXPECT_EQ(m_Content[0].m_Content, open + "Eins </speak>");
  EXPECT_EQ(m_Content[0].m_VoiceName, "v1");
  // Each mark goes with the audio before it; only the first precedes all.
  EXPECT_EQ(m_Content[0].m_Marks.m_Before, (std::vector<std::string>{"first"}));
  EXPECT_EQ(m_Content[0].m_Marks.m_After, (std::vector<std::string>{"in1"}));
  EXPECT_EQ(m_Content[1].m_Content, open + "zwei</speak>");
  EXPECT_EQ(m_Content[1].m_VoiceName, "v1");
  EXPECT_TRUE(m_Content[1].m_Marks.m_Before.empty());
  EXPECT_EQ(m_Content[1].m_Marks.m_After, (std::vector<std::string>{"between", "top2"}));
  EXPECT_EQ(m_Content[2].m_Content, open + "drei</speak>");
  EXPECT_EQ(m_Content[2].m_VoiceName, "v2");
  EXPECT_EQ(m_Content[2].m_VoiceGender, VOICE_GENDER_MALE);
  EXPECT_TRUE(m_Content[2].m_Marks.m_Before.empty());
  EXPECT_EQ(m_Content[2].m_Marks.m_After, (std::vector<std::string>{"last"}));
}

TEST_F(SsmlSplitTest, WholeRootIsCutWhenNotNormalizingOrBypassed) {
  const std::string body =
      "<speak xmlns=\"http://www.w3.org/2001/10/synthesis\" version=\"1.0\" "
      "xml:lang=\"en-GB\"><voice name=\"v1\">Hi <mark name=\"m\"/>there</voice></speak>";
  m_Params.m_Content = body;
  std::string query;
  ASSERT_TRUE(m_Content.ReadSsmlAndComposeContent(m_Params, query, false, m_Pool));
  ASSERT_EQ(m_Content.size(), 2u);
  EXPECT_EQ(m_Content[0].m_Content,
            "<speak version=\"1.0\" xml:lang=\"en-GB\"><voice name=\"v1\">Hi </voice></speak>");
  EXPECT_EQ(m_Content[1].m_Content,
            "<speak version=\"1.0\" xml:lang=\"en-GB\"><voice name=\"v1\">there</voice></speak>");
  EXPECT_EQ(m_Content[1].m_VoiceName, "v1");
  EXPECT_EQ(m_Content[0].m_Marks.m_After, (std::vector<std::string>{"m"}));

  // Bypassed, the pieces are the same documents in the request's voice.
  SynthContent bypassed;
  m_Params.m_Language = "en-US";
  ASSERT_TRUE(bypassed.ComposeMarkedSsml(m_Params, m_Pool));
  ASSERT_EQ(bypassed.size(), 2u);
  EXPECT_EQ(bypassed[0].m_Content, m_Content[0].m_Content);
  EXPECT_EQ(bypassed[1].m_Content, m_Content[1].m_Content);
  EXPECT_EQ(bypassed[1].m_VoiceName, "request-voice");
  EXPECT_EQ(bypassed[0].m_Marks.m_After, (std::vector<std::string>{"m"}));
}

TEST_F(SsmlSplitTest, BypassedBodyWithoutMarksIsLeftAlone) {
  SynthContent content;
  for (const char* body : {"<speak>the word mark, a <marker/> and <mark/></speak>",
                           "<speak>not <mark name=\"x\"> well-formed</speak>", ""}) {
    m_Params.m_Content = body;
    EXPECT_FALSE(content.ComposeMarkedSsml(m_Params, m_Pool)) << body;
    EXPECT_TRUE(content.empty());
  }
}

TEST_F(SsmlSplitTest, DocumentOfMarksOnlyIsStillOneSegment) {
  m_Params.m_Content = "<speak xml:lang=\"en-US\"><mark name=\"a\"/> <mark name=\"b\"/></speak>";
  std::string query;
  ASSERT_TRUE(m_Content.ReadSsmlAndComposeContent(m_Params, query, true, m_Pool));
  ASSERT_EQ(m_Content.size(), 1u);
  EXPECT_EQ(m_Content[0].m_Content, "<speak version=\"1.0\" xml:lang=\"en-US\"></speak>");
  EXPECT_TRUE(m_Content[0].m_Marks.m_Before.empty());
  EXPECT_EQ(m_Content[0].m_Marks.m_After, (std::vector<std::string>{"a", "b"}));
}

}  // namespace
}  // namespace VXS
