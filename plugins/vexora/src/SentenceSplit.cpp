#include "SentenceSplit.h"

#include <dlfcn.h>

#include <unicode/brkiter.h>
#include <unicode/filteredbrk.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/ures.h>
#include <unicode/utext.h>

#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace VXS {

namespace {

bool IsContinuationByte(unsigned char c) { return (c & 0xC0) == 0x80; }

bool IsBlankByte(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The iterators made so far, one per language tag; a caller works on a
// clone, so the originals are only read under the lock.
class SentenceIterators {
 public:
  static SentenceIterators& Instance() {
    static SentenceIterators instance;
    return instance;
  }

  SentenceIterators() { PinIcu(); }

  // A fresh iterator for language, or null when ICU cannot make one.
  std::unique_ptr<icu::BreakIterator> Take(const std::string& language) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    auto found = m_Iterators.find(language);
    if (found == m_Iterators.end()) {
      // A language that floods the map (tags come from requests) costs
      // memory only until the map is full; later ones are made each time.
      std::unique_ptr<icu::BreakIterator> made = Make(language);
      if (!made) return nullptr;
      if (m_Iterators.size() >= kMaxLanguages) return made;
      found = m_Iterators.emplace(language, std::move(made)).first;
    }
    return std::unique_ptr<icu::BreakIterator>(found->second->clone());
  }

 private:
  static const size_t kMaxLanguages = 64;

  // ICU keeps what it has loaded (locale data, break rules, abbreviation
  // lists) in its own globals for the life of the process. Unloaded with the
  // module when the host closes it, those would be lost (and a reload would
  // load them again), so the ICU libraries stay loaded once the module has
  // used them.
  static void PinIcu() {
    const void* symbols[] = {reinterpret_cast<const void*>(&u_charType),
                             reinterpret_cast<const void*>(
                                 static_cast<icu::FilteredBreakIteratorBuilder* (*)(UErrorCode&)>(
                                     &icu::FilteredBreakIteratorBuilder::createInstance))};
    for (const void* symbol : symbols) {
      Dl_info info;
      if (dladdr(symbol, &info) == 0 || !info.dli_fname) continue;
      // Only raises the flags of a library already loaded; the handle is
      // never closed, which is the point.
      dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    }
  }

  static std::unique_ptr<icu::BreakIterator> Make(const std::string& language) {
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale locale =
        language.empty() ? icu::Locale::getRoot() : icu::Locale::forLanguageTag(language, status);
    if (U_FAILURE(status) || locale.isBogus()) {
      status = U_ZERO_ERROR;
      locale = icu::Locale::getRoot();
    }
    std::unique_ptr<icu::BreakIterator> base(
        icu::BreakIterator::createSentenceInstance(locale, status));
    if (U_FAILURE(status) || !base) return nullptr;
    std::vector<icu::UnicodeString> abbreviations = Abbreviations(locale);
    if (abbreviations.empty()) return base;
    UErrorCode filter_status = U_ZERO_ERROR;
    std::unique_ptr<icu::FilteredBreakIteratorBuilder> builder(
        icu::FilteredBreakIteratorBuilder::createEmptyInstance(filter_status));
    if (U_FAILURE(filter_status) || !builder) return base;
    for (const icu::UnicodeString& abbreviation : abbreviations) {
      UErrorCode ignored = U_ZERO_ERROR;
      builder->suppressBreakAfter(abbreviation, ignored);
    }
    std::unique_ptr<icu::BreakIterator> filtered(
        builder->wrapIteratorWithFilter(base.release(), filter_status));
    if (U_FAILURE(filter_status) || !filtered) {
      status = U_ZERO_ERROR;
      return std::unique_ptr<icu::BreakIterator>(
          icu::BreakIterator::createSentenceInstance(locale, status));
    }
    return filtered;
  }

  // The abbreviations after which no sentence ends: the locale's own list
  // of ICU, less the short lower-case ones, with a few that list lacks.
  //
  // The filter matches an abbreviation against the end of the word before
  // a full stop, not the whole word: "r." (German) would keep "Dann ging
  // er. Nr. 5" one sentence and "b." would join every sentence after a
  // word ending in "b". Lower-case entries of one or two letters end too
  // many words to keep.
  static std::vector<icu::UnicodeString> Abbreviations(const icu::Locale& locale) {
    std::vector<icu::UnicodeString> list;
    const std::string language = locale.getLanguage();
    for (const char* name : {locale.getName(), language.c_str()}) {
      if (!*name) continue;
      UErrorCode status = U_ZERO_ERROR;
      UResourceBundle* bundle = ures_open(U_ICUDATA_NAME "-brkitr", name, &status);
      UResourceBundle* exceptions = ures_getByKey(bundle, "exceptions", nullptr, &status);
      UResourceBundle* sentences = ures_getByKey(exceptions, "SentenceBreak", nullptr, &status);
      if (U_SUCCESS(status)) {
        for (int32_t i = 0; i < ures_getSize(sentences); ++i) {
          int32_t length = 0;
          UErrorCode item_status = U_ZERO_ERROR;
          const UChar* text = ures_getStringByIndex(sentences, i, &length, &item_status);
          if (U_FAILURE(item_status) || !text) continue;
          icu::UnicodeString abbreviation(text, length);
          if (!EndsTooManyWords(abbreviation)) list.push_back(abbreviation);
        }
      }
      ures_close(sentences);
      ures_close(exceptions);
      ures_close(bundle);
      if (!list.empty()) break;
    }
    static const struct {
      const char* language;
      const char* abbreviation;
    } kMore[] = {{"en", "Dr."}, {"en", "St."}, {"en", "Jr."}, {"en", "Sr."},
                 {"en", "e.g."}, {"en", "i.e."}, {"en", "approx."},
                 {"de", "bzw."}, {"de", "usw."}, {"de", "ca."}, {"de", "Nr."},
                 {"de", "z. B."}, {"de", "d. h."}, {"de", "u. a."}};
    for (const auto& more : kMore) {
      if (language == more.language) list.push_back(icu::UnicodeString::fromUTF8(more.abbreviation));
    }
    return list;
  }

  static bool EndsTooManyWords(const icu::UnicodeString& abbreviation) {
    const int32_t length = abbreviation.length();
    if (length < 2 || length > 3 || abbreviation[length - 1] != u'.') return false;
    for (int32_t i = 0; i + 1 < length; ++i) {
      if (!u_islower(abbreviation[i])) return false;
    }
    return true;
  }

  std::mutex m_Mutex;  // guards m_Iterators
  std::map<std::string, std::unique_ptr<icu::BreakIterator>> m_Iterators;
};

// The length of the clause mark at text[pos] that a piece may end after,
// or 0. ASCII marks count only before a blank ("1,000" and "3:30" hold
// none).
size_t ClauseMarkLength(const std::string& text, size_t pos) {
  const char c = text[pos];
  if (c == ',' || c == ';' || c == ':') {
    return pos + 1 < text.size() && IsBlankByte(text[pos + 1]) ? 1 : 0;
  }
  // U+3001 (ideographic comma), U+FF0C, U+FF1A, U+FF1B (fullwidth comma,
  // colon, semicolon).
  static const char* const kMarks[] = {"\xE3\x80\x81", "\xEF\xBC\x8C", "\xEF\xBC\x9A",
                                       "\xEF\xBC\x9B"};
  for (const char* mark : kMarks) {
    if (text.compare(pos, 3, mark) == 0) return 3;
  }
  return 0;
}

}  // namespace

std::vector<size_t> FindSentenceEnds(const std::string& text, const std::string& language) {
  std::vector<size_t> ends;
  if (text.empty()) return ends;
  std::unique_ptr<icu::BreakIterator> iterator = SentenceIterators::Instance().Take(language);
  UErrorCode status = U_ZERO_ERROR;
  UText* utext = iterator ? utext_openUTF8(nullptr, text.data(),
                                           static_cast<int64_t>(text.size()), &status)
                          : nullptr;
  if (utext && U_SUCCESS(status)) {
    // With UTF-8 text the iterator's positions are byte offsets.
    iterator->setText(utext, status);
    if (U_SUCCESS(status)) {
      for (int32_t end = iterator->next(); end != icu::BreakIterator::DONE;
           end = iterator->next()) {
        size_t offset = static_cast<size_t>(end);
        if (offset > text.size()) break;
        if (ends.empty() || offset > ends.back()) ends.push_back(offset);
      }
    }
  }
  if (utext) utext_close(utext);
  // Without an iterator the text is one sentence.
  if (ends.empty() || ends.back() != text.size()) ends.push_back(text.size());
  return ends;
}

std::vector<std::string> SplitSentences(const std::string& text, const std::string& language) {
  std::vector<std::string> sentences;
  size_t begin = 0;
  for (size_t end : FindSentenceEnds(text, language)) {
    sentences.push_back(text.substr(begin, end - begin));
    begin = end;
  }
  return sentences;
}

size_t AdvanceCharacters(const std::string& text, size_t begin, size_t count) {
  size_t pos = begin;
  for (size_t n = 0; pos < text.size() && n < count; ++n) {
    ++pos;
    while (pos < text.size() && IsContinuationByte(static_cast<unsigned char>(text[pos]))) ++pos;
  }
  return pos;
}

size_t FindClauseCut(const std::string& text, size_t begin, size_t limit) {
  if (limit > text.size()) limit = text.size();
  size_t clause = 0;
  size_t blank = 0;
  for (size_t pos = begin; pos < limit; ++pos) {
    const size_t mark = ClauseMarkLength(text, pos);
    if (mark && pos + mark <= limit) {
      size_t after = pos + mark;
      while (after < limit && IsBlankByte(text[after])) ++after;
      clause = after;
    } else if (IsBlankByte(text[pos]) && pos > begin) {
      size_t after = pos + 1;
      while (after < limit && IsBlankByte(text[after])) ++after;
      blank = after;
    }
  }
  if (clause > begin) return clause;
  if (blank > begin) return blank;
  // No place between words: the last whole character that fits.
  size_t pos = limit;
  while (pos > begin && pos < text.size() &&
         IsContinuationByte(static_cast<unsigned char>(text[pos])))
    --pos;
  if (pos > begin) return pos;
  return AdvanceCharacters(text, begin, 1);
}

std::vector<size_t> FindPieceUnits(const std::string& text, const std::string& language,
                                   bool first) {
  std::vector<size_t> units;
  size_t begin = 0;
  for (size_t end : FindSentenceEnds(text, language)) {
    if (first && units.empty()) {
      const size_t limit = AdvanceCharacters(text, begin, PiecePlan::kFirstSentenceCharacters);
      if (limit < end) {
        // Only the words before the cut are waited for.
        size_t cut = FindClauseCut(text, begin, limit);
        if (cut < end) {
          units.push_back(cut);
          begin = cut;
        }
      }
    }
    while (end - begin > PiecePlan::kUnitBytes) {
      size_t cut = FindClauseCut(text, begin, begin + PiecePlan::kUnitBytes);
      units.push_back(cut);
      begin = cut;
    }
    if (end > begin) units.push_back(end);
    begin = end;
  }
  return units;
}

std::vector<size_t> GroupPieces(size_t count, const PieceCost& cost, size_t& target) {
  std::vector<size_t> ends;
  size_t from = 0;
  while (from < count) {
    size_t to = from + 1;
    if (target > 0) {
      const size_t room = target * 2 < PiecePlan::kServiceLimit ? target * 2
                                                                : PiecePlan::kServiceLimit;
      while (to < count && cost(from, to + 1) <= room) ++to;
    }
    const size_t size = cost(from, to);
    target = size > 0 ? size : 1;
    ends.push_back(to);
    from = to;
  }
  return ends;
}

}  // namespace VXS
