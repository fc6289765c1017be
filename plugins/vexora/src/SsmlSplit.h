// Cutting SSML into pieces that are each a well-formed document of their
// own, carrying the context of the place where they were cut.
//
// An element's content is first flattened into tokens (start tags, end tags,
// empty elements, escaped text and cut points); CutSsmlTokens then splits the
// tokens at the cut points. At each cut the elements still open are closed,
// and the next piece opens them again with the same start tags, so that the
// voice, language and prosody in force at the cut carry over. Elements whose
// content is one utterance (say-as, sub, phoneme, audio) are never cut: a
// cut inside one moves to just after its end.
//
// Flattening reads a tree that StripNamespace and the name mending of
// SynthContent have made writable without namespaces.
#pragma once

#include <apr_xml.h>

#include <functional>
#include <string>
#include <vector>

namespace VXS {

struct SsmlToken {
  enum Kind {
    START,  // a start tag, "<prosody rate=\"slow\">"
    END,    // the end tag of the START before it at the same depth
    EMPTY,  // an element without content, "<break time=\"1s\"/>"
    TEXT,   // escaped character data
    CUT     // a place to cut; m_Text holds its name (may be empty)
  };
  Kind m_Kind;
  std::string m_Text;
  std::string m_Name;  // START, END and EMPTY: the element's name
};

// One piece of a cut document: the content to put inside a root element,
// and the name of the cut it starts at (none for the first piece).
struct SsmlPiece {
  std::string m_Cut;
  std::string m_Content;
  // Non-blank text, or an element that makes sound without text (break,
  // audio) that starts in this piece: a piece without any says nothing.
  bool m_Sounds = false;
};

// True for the elements to turn into cut points, named by their "name"
// attribute (anything they hold follows the cut).
typedef std::function<bool(const apr_xml_elem*)> SsmlCutTest;

// Appends the content of element (its text and children, not the element
// itself) as tokens. A child's xml:lang is written where it differs from
// its parent's; attributes in document order, their values escaped.
void FlattenSsml(const apr_xml_elem* element, const SsmlCutTest& isCut,
                 std::vector<SsmlToken>& tokens);

// Splits well-nested tokens at their CUT tokens into pieces: one piece
// more than there are cuts, in document order, the first holding what
// precedes the first cut. Cuts in a row give empty pieces between them.
std::vector<SsmlPiece> CutSsmlTokens(const std::vector<SsmlToken>& tokens);

// True for the elements a cut never goes into.
bool IsUncuttableSsmlElement(const std::string& name);

// Appends value as the content of a double-quoted attribute: markup
// characters escaped, characters XML cannot hold left out.
void AppendXmlAttributeValue(std::string& out, const std::string& value);

// Appends text as character data, markup characters escaped.
void AppendXmlText(std::string& out, const char* text);

}  // namespace VXS
