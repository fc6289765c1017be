// Cutting a request's text and SSML segments into sentence pieces: the
// first piece is heard after the synthesis of one sentence, and each later
// one is synthesized while the one before it plays.

#include <strings.h>

#include <cstring>
#include <utility>

#include "Plugin.h"
#include "SentenceSplit.h"
#include "SsmlSplit.h"
#include "SynthContent.h"

namespace VXS {

namespace {

bool IsBlankChar(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The range of text[begin, end) without the blanks around it.
void TrimRange(const std::string& text, size_t& begin, size_t& end) {
  while (begin < end && IsBlankChar(text[begin])) ++begin;
  while (end > begin && IsBlankChar(text[end - 1])) --end;
}

// The character data of a TEXT token: AppendXmlText writes these four
// escapes and no other.
std::string UnescapeXmlText(const std::string& escaped) {
  static const struct {
    const char* entity;
    char c;
  } kEntities[] = {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&#13;", '\r'}};
  std::string out;
  for (size_t pos = 0; pos < escaped.size();) {
    bool replaced = false;
    if (escaped[pos] == '&') {
      for (const auto& e : kEntities) {
        const size_t length = strlen(e.entity);
        if (escaped.compare(pos, length, e.entity) == 0) {
          out += e.c;
          pos += length;
          replaced = true;
          break;
        }
      }
    }
    if (!replaced) out += escaped[pos++];
  }
  return out;
}

std::string EscapeXmlText(const std::string& text) {
  std::string out;
  AppendXmlText(out, text.c_str());
  return out;
}

// Elements whose edges part the words on either side: the sentence finder
// sees a blank there.
bool PartsWords(const std::string& name) {
  static const char* const kNames[] = {"p", "s", "break", "paragraph", "sentence"};
  for (const char* parting : kNames) {
    if (strcasecmp(name.c_str(), parting) == 0) return true;
  }
  return false;
}

// The flattened content of one SSML document with the places it may be
// cut at, and what a piece between two of them costs as a document. A
// value of the call that cuts the document, on its thread; owns its copy
// of the tokens.
class SsmlPieceTokens {
 public:
  SsmlPieceTokens(std::vector<SsmlToken> tokens, const std::string& language)
      : m_Tokens(std::move(tokens)), m_Language(language) {}

  // Splits text tokens at the unit ends of the document's text; ends that
  // fall inside an element that is one utterance move past its end. The
  // unit ends are then the places in Cuts(), the last the end of the
  // tokens.
  void FindUnits(bool first) {
    // The text the sentence finder reads; where each token stands in it,
    // and where each text token's characters begin (npos for the others).
    std::string plain;
    std::vector<size_t> positions(m_Tokens.size(), 0);
    std::vector<size_t> starts(m_Tokens.size(), std::string::npos);
    std::vector<std::string> texts(m_Tokens.size());
    for (size_t i = 0; i < m_Tokens.size(); ++i) {
      const SsmlToken& token = m_Tokens[i];
      positions[i] = plain.size();
      if (token.m_Kind == SsmlToken::TEXT) {
        texts[i] = UnescapeXmlText(token.m_Text);
        starts[i] = plain.size();
        plain += texts[i];
      } else if (token.m_Kind != SsmlToken::CUT && PartsWords(token.m_Name) &&
                 !plain.empty() && !IsBlankChar(plain.back())) {
        plain += ' ';
      }
    }
    const std::vector<size_t> ends = FindPieceUnits(plain, m_Language, first);

    // Each end as a place: before token k, or inside text token k at a
    // character offset. End tags at the place stay with the words before
    // it, start tags go with those after it.
    std::vector<std::pair<size_t, size_t>> places;
    size_t k = 0;
    int uncuttable = 0;
    for (size_t end : ends) {
      if (end >= plain.size()) break;
      for (; k < m_Tokens.size(); ++k) {
        const SsmlToken& token = m_Tokens[k];
        const bool inside = token.m_Kind == SsmlToken::TEXT && starts[k] < end &&
                            end < starts[k] + texts[k].size();
        const bool after = positions[k] > end ||
                           (positions[k] == end && token.m_Kind != SsmlToken::END);
        if (inside || after) break;
        Track(token, uncuttable);
      }
      if (k >= m_Tokens.size()) break;
      size_t offset =
          m_Tokens[k].m_Kind == SsmlToken::TEXT && starts[k] < end ? end - starts[k] : 0;
      if (uncuttable > 0) {
        // Past the end of the element that may not be cut.
        for (; k < m_Tokens.size() && uncuttable > 0; ++k) Track(m_Tokens[k], uncuttable);
        offset = 0;
        if (k >= m_Tokens.size()) break;
      }
      if (places.empty() || places.back() != std::make_pair(k, offset))
        places.push_back(std::make_pair(k, offset));
    }

    // The tokens again, text tokens split at the places inside them.
    std::vector<SsmlToken> split;
    size_t next = 0;
    for (k = 0; k < m_Tokens.size(); ++k) {
      size_t taken = 0;
      for (; next < places.size() && places[next].first == k; ++next) {
        const size_t offset = places[next].second;
        if (offset > taken) {
          split.push_back(SsmlToken{SsmlToken::TEXT,
                                    EscapeXmlText(texts[k].substr(taken, offset - taken)),
                                    std::string()});
          taken = offset;
        }
        if (m_Cuts.empty() || m_Cuts.back() != split.size()) m_Cuts.push_back(split.size());
      }
      if (taken == 0) {
        split.push_back(std::move(m_Tokens[k]));
      } else if (taken < texts[k].size()) {
        split.push_back(
            SsmlToken{SsmlToken::TEXT, EscapeXmlText(texts[k].substr(taken)), std::string()});
      }
    }
    m_Tokens.swap(split);
    if (!m_Cuts.empty() && m_Cuts.front() == 0) m_Cuts.erase(m_Cuts.begin());
    m_Cuts.push_back(m_Tokens.size());
    Measure();
  }

  const std::vector<size_t>& Cuts() const { return m_Cuts; }

  // The bytes of the document of units [from, to).
  size_t Cost(size_t from, size_t to) const {
    const size_t begin = from == 0 ? 0 : m_Cuts[from - 1];
    const size_t end = m_Cuts[to - 1];
    return m_Wrapper + m_Opened[begin] + (m_Prefix[end] - m_Prefix[begin]) + m_Closing[end];
  }

  // The tokens with a cut at the end of each piece but the last.
  std::vector<SsmlToken> CutAt(const std::vector<size_t>& pieceEnds) const {
    std::vector<SsmlToken> out;
    size_t piece = 0;
    for (size_t k = 0; k < m_Tokens.size(); ++k) {
      while (piece < pieceEnds.size() && m_Cuts[pieceEnds[piece] - 1] == k) {
        out.push_back(SsmlToken{SsmlToken::CUT, std::string(), std::string()});
        ++piece;
      }
      out.push_back(m_Tokens[k]);
    }
    return out;
  }

 private:
  static void Track(const SsmlToken& token, int& uncuttable) {
    if (token.m_Kind == SsmlToken::START && IsUncuttableSsmlElement(token.m_Name)) ++uncuttable;
    if (token.m_Kind == SsmlToken::END && IsUncuttableSsmlElement(token.m_Name)) --uncuttable;
  }

  // For each place before a token: the bytes before it, and those of the
  // start tags opened again after a cut there and of the end tags that
  // close them before it.
  void Measure() {
    m_Wrapper = SynthContent::SpeakDocument(m_Language, std::string()).size();
    std::vector<const SsmlToken*> open;
    size_t opened = 0;
    size_t closing = 0;
    m_Prefix.assign(1, 0);
    m_Opened.assign(1, 0);
    m_Closing.assign(1, 0);
    for (const SsmlToken& token : m_Tokens) {
      if (token.m_Kind == SsmlToken::START) {
        open.push_back(&token);
        opened += token.m_Text.size();
        closing += token.m_Name.size() + 3;
      } else if (token.m_Kind == SsmlToken::END && !open.empty()) {
        opened -= open.back()->m_Text.size();
        closing -= open.back()->m_Name.size() + 3;
        open.pop_back();
      }
      m_Prefix.push_back(m_Prefix.back() + token.m_Text.size());
      m_Opened.push_back(opened);
      m_Closing.push_back(closing);
    }
  }

  std::vector<SsmlToken> m_Tokens;
  std::string m_Language;
  std::vector<size_t> m_Cuts;  // token index ending each unit, ascending
  size_t m_Wrapper = 0;
  std::vector<size_t> m_Prefix;
  std::vector<size_t> m_Opened;
  std::vector<size_t> m_Closing;
};

}  // namespace

bool SynthContent::CutIntoPieces(const std::string& language, apr_pool_t* pool) {
  SynthContent segments;
  segments.swap(*this);
  size_t target = 0;
  for (SynthSegment& segment : segments) {
    const size_t before = size();
    if (segment.m_ContentType == SYNTH_CONTENT_TEXT) {
      CutTextPieces(segment, language, target);
    } else if (segment.m_ContentType == SYNTH_CONTENT_SSML) {
      CutSsmlPieces(segment, language, target, pool);
    }
    if (size() <= before + 1) {
      // One piece, or none that says anything: the segment as it was.
      resize(before);
      push_back(std::move(segment));
      continue;
    }
    (*this)[before].m_Marks.m_Before = std::move(segment.m_Marks.m_Before);
    back().m_Marks.m_After = std::move(segment.m_Marks.m_After);
  }
  return true;
}

void SynthContent::CutTextPieces(const SynthSegment& segment, const std::string& language,
                                 size_t& target) {
  const std::string& text = segment.m_Content;
  const std::vector<size_t> units = FindPieceUnits(text, language, target == 0);
  auto range = [&](size_t from, size_t to, size_t& begin, size_t& end) {
    begin = from == 0 ? 0 : units[from - 1];
    end = units[to - 1];
    TrimRange(text, begin, end);
  };
  const PieceCost cost = [&](size_t from, size_t to) {
    size_t begin = 0;
    size_t end = 0;
    range(from, to, begin, end);
    return end - begin;
  };
  size_t planned = target;
  const std::vector<size_t> ends = GroupPieces(units.size(), cost, planned);
  if (ends.size() <= 1) {
    if (!ends.empty()) target = planned;
    return;
  }
  target = planned;
  size_t from = 0;
  for (size_t to : ends) {
    size_t begin = 0;
    size_t end = 0;
    range(from, to, begin, end);
    from = to;
    // Blanks alone say nothing.
    if (end == begin) continue;
    push_back(SynthSegment(segment.m_VoiceName, segment.m_VoiceGender,
                           text.substr(begin, end - begin), SYNTH_CONTENT_TEXT));
  }
}

void SynthContent::CutSsmlPieces(const SynthSegment& segment, const std::string& language,
                                 size_t& target, apr_pool_t* pool) {
  apr_pool_t* scratch = nullptr;
  if (apr_pool_create(&scratch, pool) != APR_SUCCESS) return;
  apr_xml_doc* doc = ParseSsml(segment.m_Content.data(), segment.m_Content.size(), scratch);
  if (doc) {
    apr_xml_elem* root = doc->root;
    const std::string lang = root->lang ? UnquoteLanguage(root->lang) : language;
    StripNamespace(root);
    DropUnwritableNames(root, scratch);
    std::vector<SsmlToken> flat;
    FlattenSsml(root, nullptr, flat);
    SsmlPieceTokens tokens(std::move(flat), lang);
    tokens.FindUnits(target == 0);
    size_t planned = target;
    const std::vector<size_t> ends = GroupPieces(
        tokens.Cuts().size(), [&](size_t from, size_t to) { return tokens.Cost(from, to); },
        planned);
    target = planned;
    if (ends.size() > 1) {
      for (const SsmlPiece& piece : CutSsmlTokens(tokens.CutAt(ends))) {
        if (!piece.m_Sounds) continue;
        push_back(SynthSegment(segment.m_VoiceName, segment.m_VoiceGender,
                               SpeakDocument(lang, piece.m_Content), SYNTH_CONTENT_SSML));
      }
    }
  }
  apr_pool_destroy(scratch);
}

}  // namespace VXS
