// Sentences found in English, German and Japanese despite abbreviations and
// numbers, and the pieces a request's text and SSML are cut into: the first
// one sentence, later ones growing up to the service's limit, every SSML
// piece a well-formed document carrying the context of its cut.
#include <apr_general.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ContentTestSupport.h"
#include "Plugin.h"
#include "SentenceSplit.h"
#include "SsmlSplit.h"
#include "SynthContent.h"
#include "vxhost/LogSink.h"

namespace VXS {
namespace {

using Sentences = std::vector<std::string>;

TEST(SentenceSplitTest, AbbreviationsAndNumbersEndNoSentenceInEnglish) {
  EXPECT_EQ(SplitSentences("Dr. Smith paid 3.14 dollars, e.g. for tea. He left! Did he? "
                           "Mr. Jones, i.e. the boss, stayed.",
                           "en-US"),
            (Sentences{"Dr. Smith paid 3.14 dollars, e.g. for tea. ", "He left! ", "Did he? ",
                       "Mr. Jones, i.e. the boss, stayed."}));
  EXPECT_EQ(SplitSentences("Call Dr. Who at 10.30 a.m. today. Then St. Ives.", "en-GB"),
            (Sentences{"Call Dr. Who at 10.30 a.m. today. ", "Then St. Ives."}));
}

TEST(SentenceSplitTest, GermanAbbreviationsDoNotSwallowWordsEndingLikeThem) {
  // ICU's German list holds "r." and "b.", which its filter matches against
  // the end of any word: "er." and "blieb." must still end sentences.
  EXPECT_EQ(SplitSentences("Dr. Müller kam z. B. um 3.14 Uhr, bzw. später. Dann ging er. "
                           "Nr. 5 blieb. So war es.",
                           "de-DE"),
            (Sentences{"Dr. Müller kam z. B. um 3.14 Uhr, bzw. später. ", "Dann ging er. ",
                       "Nr. 5 blieb. ", "So war es."}));
  EXPECT_EQ(SplitSentences("Es kostet 3,50 Euro, d. h. wenig. Gut.", "de"),
            (Sentences{"Es kostet 3,50 Euro, d. h. wenig. ", "Gut."}));
}

TEST(SentenceSplitTest, JapaneseFullStopsEndSentencesWithoutBlanks) {
  EXPECT_EQ(SplitSentences("今日は晴れです。気温は3.5度です！本当ですか？はい。", "ja-JP"),
            (Sentences{"今日は晴れです。", "気温は3.5度です！", "本当ですか？", "はい。"}));
}

TEST(SentenceSplitTest, SentencesGiveTheTextBackForAnyLanguageTag) {
  const std::string text = "  One. Two?\n\nThree \xE2\x80\x94 four! \xFF\xFE broken. End";
  for (const char* language : {"en-US", "", "xx-invalid-tag-!!", "ja"}) {
    std::string joined;
    for (const std::string& sentence : SplitSentences(text, language)) joined += sentence;
    EXPECT_EQ(joined, text) << language;
  }
  EXPECT_TRUE(SplitSentences("", "en-US").empty());
}

TEST(PiecePlanTest, LongFirstSentenceIsCutAtItsLastClauseWithinTheLimit) {
  std::string clause(150, 'a');
  const std::string first = clause + ", " + std::string(30, 'b') + "; " + std::string(100, 'c') +
                            " and more words here. ";
  const std::string text = first + "Second sentence.";
  std::vector<size_t> units = FindPieceUnits(text, "en-US", true);
  ASSERT_EQ(units.size(), 3u);
  EXPECT_EQ(units[0], clause.size() + 2 + 30 + 2);  // after "; "
  EXPECT_EQ(units[1], first.size());
  // Not first in its request: the sentence stays whole.
  EXPECT_EQ(FindPieceUnits(text, "en-US", false).size(), 2u);
  // No clause mark: the last blank; no blank: the last whole character.
  std::string words;
  while (words.size() < 300) words += "word ";
  EXPECT_EQ(FindPieceUnits(words + ".", "en", true)[0], 200u);
  std::string kana;
  for (int i = 0; i < 300; ++i) kana += "\xE3\x81\x82";  // U+3042
  EXPECT_EQ(FindPieceUnits(kana, "ja", true)[0], 600u);
  // "1,000" holds no clause boundary.
  std::string number = std::string(190, 'x') + " 1,000,000" + std::string(100, 'y');
  EXPECT_EQ(FindPieceUnits(number, "en", true)[0], 191u);
}

TEST(PiecePlanTest, PiecesDoubleUpToTheServiceLimit) {
  std::vector<size_t> sizes(60, 100);
  PieceCost cost = [&](size_t from, size_t to) {
    size_t total = 0;
    for (size_t i = from; i < to; ++i) total += sizes[i];
    return total;
  };
  size_t target = 0;
  std::vector<size_t> ends = GroupPieces(sizes.size(), cost, target);
  std::vector<size_t> counts;
  size_t from = 0;
  for (size_t end : ends) {
    counts.push_back(end - from);
    from = end;
  }
  EXPECT_EQ(counts, (std::vector<size_t>{1, 2, 4, 8, 16, 29}));
  // A later text goes on from the size reached.
  std::vector<size_t> more = GroupPieces(60, cost, target);
  EXPECT_EQ(more.front(), 50u);
  // A unit over the limit is a piece of its own.
  sizes.assign(3, 6000);
  target = 0;
  EXPECT_EQ(GroupPieces(3, cost, target), (std::vector<size_t>{1, 2, 3}));
}

class PiecesTest : public ContentTestBase {
 protected:

  // The pieces of a rebuilt SSML body.
  SynthContent SsmlPieces(const std::string& body, bool normalize = true) {
    m_Params.m_Content = body;
    m_Params.m_ContentType = SYNTH_CONTENT_SSML;
    SynthContent content;
    std::string query;
    EXPECT_TRUE(content.ReadSsmlAndComposeContent(m_Params, query, normalize, m_Pool));
    content.CutIntoPieces(m_Params.m_Language, m_Pool);
    return content;
  }

};

TEST_F(PiecesTest, TextBecomesTrimmedPiecesFirstOneSentence) {
  m_Params.m_Content = "Hello there.  How are you? I am fine. Thanks. Bye now.\n";
  m_Params.m_ContentType = SYNTH_CONTENT_TEXT;
  SynthContent content;
  content.ComposeSingleSegment(m_Params);
  content.CutIntoPieces("en-US", m_Pool);
  std::vector<std::string> texts;
  for (const SynthSegment& piece : content) {
    EXPECT_EQ(piece.m_ContentType, SYNTH_CONTENT_TEXT);
    EXPECT_EQ(piece.m_VoiceName, "request-voice");
    texts.push_back(piece.m_Content);
  }
  // Each piece holds what fits in twice the one before.
  EXPECT_EQ(texts, (std::vector<std::string>{"Hello there.", "How are you? I am fine.",
                                             "Thanks. Bye now."}));
}

TEST_F(PiecesTest, OneSentenceAndBlankTextStayAsTheyAre) {
  for (const std::string text : {"Just one sentence, with a comma. \n", "   ", "Dr. No."}) {
    SynthContent content;
    content.push_back(SynthSegment("v", VOICE_GENDER_MALE, text, SYNTH_CONTENT_TEXT));
    content.CutIntoPieces("en-US", m_Pool);
    ASSERT_EQ(content.size(), 1u);
    EXPECT_EQ(content[0].m_Content, text);
  }
}

TEST_F(PiecesTest, TwelveThousandCharactersFitTheLimitAndKeepEveryWord) {
  std::string text;
  for (int i = 0; text.size() < 12000; ++i)
    text += "Sentence number " + std::to_string(i) + " says a few words, no more. ";
  SynthContent content;
  content.push_back(SynthSegment("v", VOICE_GENDER_UNKNOWN, text, SYNTH_CONTENT_TEXT));
  content.CutIntoPieces("en-US", m_Pool);
  ASSERT_GE(content.size(), 4u);
  EXPECT_EQ(content[0].m_Content, "Sentence number 0 says a few words, no more.");
  std::string joined;
  for (const SynthSegment& piece : content) {
    EXPECT_LE(piece.m_Content.size(), PiecePlan::kServiceLimit);
    joined += piece.m_Content + " ";
  }
  EXPECT_EQ(joined, text);
  // A sentence longer than the limit is cut between words.
  std::string giant;
  while (giant.size() < 11000) giant += "word ";
  content.clear();
  content.push_back(SynthSegment("v", VOICE_GENDER_UNKNOWN, "Hi. " + giant + ".",
                                 SYNTH_CONTENT_TEXT));
  content.CutIntoPieces("en-US", m_Pool);
  for (const SynthSegment& piece : content) EXPECT_LE(piece.m_Content.size(), 5000u);
  EXPECT_GE(content.size(), 4u);
}

TEST_F(PiecesTest, SsmlCutInsideNestedProsodyAndVoiceStaysWellFormed) {
  SynthContent pieces = SsmlPieces(
      "<speak xmlns=\"http://www.w3.org/2001/10/synthesis\" xml:lang=\"en-GB\">"
      "<voice name=\"v1\"><prosody rate=\"slow\"><emphasis>First one. </emphasis>"
      "Second &amp; <say-as interpret-as=\"characters\">A. B. C.</say-as> done. Third.</prosody>"
      " <s>Fourth &lt;4&gt;.</s><s>Fifth.</s></voice></speak>");
  ASSERT_GE(pieces.size(), 2u);
  std::string spoken;
  for (const SynthSegment& piece : pieces) {
    EXPECT_TRUE(IsWellFormed(piece.m_Content)) << piece.m_Content;
    EXPECT_EQ(piece.m_VoiceName, "v1");
    EXPECT_EQ(piece.m_Content.rfind("<speak version=\"1.0\" xml:lang=\"en-GB\">", 0), 0u)
        << piece.m_Content;
    spoken += piece.m_Content;
  }
  EXPECT_EQ(pieces[0].m_Content,
            "<speak version=\"1.0\" xml:lang=\"en-GB\"><prosody rate=\"slow\"><emphasis>First "
            "one. </emphasis></prosody></speak>");
  EXPECT_NE(pieces[1].m_Content.find("<prosody rate=\"slow\">Second &amp; <say-as "
                                     "interpret-as=\"characters\">A. B. C.</say-as> done. "),
            std::string::npos)
      << pieces[1].m_Content;
  EXPECT_NE(spoken.find("Fourth &lt;4&gt;."), std::string::npos);

  // Not split per voice: a voice inside prosody is opened again in each
  // piece, with its language.
  m_Params.m_Language = "en-US";
  std::string phrases = "Un. ";
  for (int i = 2; i < 40; ++i) phrases += "Phrase " + std::to_string(i) + ". ";
  SynthContent nested = SsmlPieces(
      "<speak><prosody volume=\"loud\"><voice name=\"inner\" xml:lang=\"fr-FR\">" + phrases +
          "</voice></prosody> After.</speak>",
      false);
  ASSERT_GE(nested.size(), 3u);
  for (size_t i = 0; i < nested.size(); ++i) {
    const std::string& piece = nested[i].m_Content;
    EXPECT_TRUE(IsWellFormed(piece)) << piece;
    if (i + 1 < nested.size()) {
      EXPECT_NE(piece.find("<prosody volume=\"loud\"><voice xml:lang=\"fr-FR\" name=\"inner\">"),
                std::string::npos)
          << piece;
    }
  }
  EXPECT_EQ(nested[0].m_Content,
            "<speak version=\"1.0\" xml:lang=\"en-US\"><prosody volume=\"loud\"><voice "
            "xml:lang=\"fr-FR\" name=\"inner\">Un. </voice></prosody></speak>");
}

TEST_F(PiecesTest, SsmlSentenceEndingInsideSayAsIsCutAfterIt) {
  SynthContent pieces = SsmlPieces(
      "<speak>Spell <say-as interpret-as=\"characters\">it. Now. Please.</say-as> then. "
      "Done here. And more.</speak>");
  ASSERT_GE(pieces.size(), 2u);
  for (const SynthSegment& piece : pieces) {
    EXPECT_TRUE(IsWellFormed(piece.m_Content)) << piece.m_Content;
    const size_t open = piece.m_Content.find("<say-as");
    if (open != std::string::npos) {
      EXPECT_NE(piece.m_Content.find("it. Now. Please.</say-as>", open), std::string::npos);
    }
  }
}

TEST_F(PiecesTest, MarksStayAtTheEdgesOfTheirSegmentsPieces) {
  SynthContent pieces = SsmlPieces(
      "<speak><mark name=\"a\"/>One. Two. Three. Four. <mark name=\"b\"/>Five. Six.</speak>");
  ASSERT_GE(pieces.size(), 3u);
  EXPECT_EQ(pieces.front().m_Marks.m_Before, std::vector<std::string>{"a"});
  size_t with_b = 0;
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (!pieces[i].m_Marks.m_After.empty()) {
      EXPECT_EQ(pieces[i].m_Marks.m_After, std::vector<std::string>{"b"});
      EXPECT_NE(pieces[i].m_Content.find("Four."), std::string::npos);
      ++with_b;
    }
    if (i > 0) {
      EXPECT_TRUE(pieces[i].m_Marks.m_Before.empty());
    }
  }
  EXPECT_EQ(with_b, 1u);
}

TEST_F(PiecesTest, UnchangedSsmlIsRebuiltOnlyWhenItIsCut) {
  const std::string whole = "<speak xmlns:x=\"urn:x\"><x:y>One sentence only.</x:y></speak>";
  SynthContent kept = SsmlPieces(whole, false);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].m_Content, whole);
  SynthContent cut = SsmlPieces(
      "<speak xml:lang=\"de-DE\"><voice name=\"d\"><x:y xmlns:x=\"urn:x\">Eins. Zwei.</x:y>"
      "</voice></speak>",
      false);
  ASSERT_EQ(cut.size(), 2u);
  EXPECT_EQ(cut[0].m_Content,
            "<speak version=\"1.0\" xml:lang=\"de-DE\"><voice name=\"d\"><y>Eins. </y></voice>"
            "</speak>");
  EXPECT_EQ(cut[1].m_Content,
            "<speak version=\"1.0\" xml:lang=\"de-DE\"><voice name=\"d\"><y>Zwei.</y></voice>"
            "</speak>");
  EXPECT_EQ(cut[1].m_VoiceName, "d");
}

}  // namespace
}  // namespace VXS
