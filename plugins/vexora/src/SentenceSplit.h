// Finding sentences in a prompt's text, and planning the pieces a long
// prompt is sent in.
//
// Sentences come from ICU's sentence break iterator for the prompt's
// language, with that language's abbreviations suppressed ("Dr. Smith",
// "e.g.", "z. B."), so that a full stop inside a number or after an
// abbreviation ends no sentence, and CJK full stops do.
//
// Plain functions, safe to call from any thread: the iterators made for a
// language are kept, behind a lock, and each call works on a copy.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace VXS {

// The byte offsets in text (UTF-8) where its sentences end, ascending; the
// last is text.size() (none for empty text). A sentence keeps the blanks
// after it. language is a tag like "en-US" or "ja-JP"; empty or unknown
// ones cut without any abbreviations.
std::vector<size_t> FindSentenceEnds(const std::string& text, const std::string& language);

// The sentences of text in language, in order: put together again they
// give text back byte for byte.
std::vector<std::string> SplitSentences(const std::string& text, const std::string& language);

// Where a piece that must end at or before limit (a byte offset in
// (begin, end]) is best cut in text[begin, end): after the last clause mark
// (comma, semicolon, colon, their CJK forms) and the blanks after it, else
// after the last blank, else at the last character boundary. Never begin.
size_t FindClauseCut(const std::string& text, size_t begin, size_t limit);

// The byte offset of the character count characters after begin (or
// text.size()).
size_t AdvanceCharacters(const std::string& text, size_t begin, size_t count);

// The plan of the pieces a text is sent in. Units are the smallest runs a
// piece is made of; a piece holds whole units.
struct PiecePlan {
  // A first sentence longer than this many characters is cut at a clause,
  // so that the caller does not wait for the whole of a long one.
  static constexpr size_t kFirstSentenceCharacters = 200;
  // The service takes at most this many bytes of input per call.
  static constexpr size_t kServiceLimit = 5000;
  // Units are kept below this many bytes of text, leaving room for the
  // markup around them in an SSML piece.
  static constexpr size_t kUnitBytes = 4000;
};

// The ends of the units of text (byte offsets, ascending, the last
// text.size()): its sentences, the first cut at a clause when longer than
// PiecePlan::kFirstSentenceCharacters (only when first), any cut further
// to stay within PiecePlan::kUnitBytes.
std::vector<size_t> FindPieceUnits(const std::string& text, const std::string& language,
                                   bool first);

// What a piece of units [from, to) costs in bytes as sent.
typedef std::function<size_t(size_t from, size_t to)> PieceCost;

// Groups count units into pieces, returning the index of the unit that
// ends each (ascending, the last count). target carries the size of the
// piece planned last from one text to the next (0: the next piece is the
// first of its request and holds one unit); each piece holds as many units
// as fit in twice the size of the one before, up to
// PiecePlan::kServiceLimit, and at least one.
std::vector<size_t> GroupPieces(size_t count, const PieceCost& cost, size_t& target);

}  // namespace VXS
