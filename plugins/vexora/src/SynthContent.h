// What one SPEAK request asks for: its parameters (SpeakParams), the ordered
// segments its body is split into (SynthContent of SynthSegment), and the
// directives of its Cache-Control header (CacheControl).
//
// Plain values held inside the request's synthesis-detail record; filled and
// read by the channel on the engine's event-processor thread only. XML trees
// and texts passed in a pool stay owned by that pool.
#pragma once

#include <apr_pools.h>
#include <apr_xml.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "Settings.h"
#include "vxhost/apt.h"
#include "vxhost/mrcp.h"

namespace VXS {

enum SynthContentType {
  SYNTH_CONTENT_UNKNOWN = 0,
  SYNTH_CONTENT_TEXT = 1,
  SYNTH_CONTENT_SSML = 2,
  SYNTH_CONTENT_URI_LIST = 3,  // request bodies only
  SYNTH_CONTENT_FILE_URI = 4,  // a local path taken from a "file://" URI
  SYNTH_CONTENT_HTTP_URI = 5,
  SYNTH_CONTENT_HTTPS_URI = 6
};

// The parameters of one SPEAK request, resolved from the configured defaults
// and the request's headers.
class SpeakParams {
 public:
  SpeakParams();
  void Reset();

  // Cuts contentType at its first ';' and classifies the rest exactly and
  // case-sensitively into m_ContentType (unknown when unsupported). Always
  // true.
  bool DetermineContentType(std::string& contentType);

  std::string m_Language;
  mrcp_voice_gender_e m_VoiceGender;
  std::string m_VoiceName;
  ProsodyParams m_Prosody;
  std::string m_Content;
  SynthContentType m_ContentType;
  std::string m_EffectsProfile;
  std::string m_CustomVoiceModel;
  int64_t m_Deadline;  // milliseconds, 0: none
  bool m_Reattempt;
  std::string m_ServiceUri;
  std::string m_CredentialsFile;
  std::string m_Region;
};

// The SSML marks reached at a segment's edges: those before its audio
// (reached when the audio before it has played) and those after it, in
// document order.
struct SegmentMarks {
  std::vector<std::string> m_Before;
  std::vector<std::string> m_After;
};

// One unit of synthesis or playback.
class SynthSegment {
 public:
  SynthSegment();
  SynthSegment(const std::string& voiceName, mrcp_voice_gender_e voiceGender,
               const std::string& content, SynthContentType contentType);

  // Takes the "name" and "gender" attributes of an SSML "voice" element
  // (names case-insensitive); an unknown gender is ignored. Always true.
  bool SetVoiceParams(const apr_xml_elem* voice);

  std::string m_VoiceName;
  mrcp_voice_gender_e m_VoiceGender;
  std::string m_Content;  // text, SSML document, file path or URI
  SynthContentType m_ContentType;
  SegmentMarks m_Marks;
  std::string m_Uri;  // a file path's URI as the list wrote it
  // Takes the unary call even when its voice streams: its stream (or that
  // of the text it was cut from) failed before any audio.
  bool m_Unary = false;
};

// The segments of one request, appended at the back by the Compose
// operations and consumed from the front by the channel.
class SynthContent : public std::deque<SynthSegment> {
 public:
  // Appends the request body as one segment, unchanged. Always true.
  bool ComposeSingleSegment(const SpeakParams& params);

  // Parses the SSML body and appends its segments: one per "voice" child of
  // the root when normalizing (or one for the whole root when it has none),
  // else the body unchanged. Takes the root's xml:lang into m_Language and
  // the text after '?' of the root's xml:base into query. False only when the
  // body cannot be parsed. The XML tree lives in a child of pool that is
  // released before returning.
  //
  // A body with named "mark" elements is cut at each of them (see
  // ComposeMarkedSsml), within each voice segment when normalizing, else in
  // the whole root; marks between the voice elements are reached where
  // they stand.
  bool ReadSsmlAndComposeContent(SpeakParams& params, std::string& query, bool normalize,
                                 apr_pool_t* pool);

  // For a body that is otherwise sent as it stands: when it parses and holds
  // named "mark" elements, appends its pieces cut at each mark, each a
  // document of its own in the root's language (else the request's),
  // spoken in the request's voice, and true. False, appending nothing,
  // otherwise. The service reports no time points, so the pieces are what
  // lets playback tell when each mark is reached.
  bool ComposeMarkedSsml(const SpeakParams& params, apr_pool_t* pool);

  // Appends one segment holding a new "speak" document in the request's
  // language with element's inner content. element's namespaces are stripped
  // and its text escaped in place, so it must not be composed twice. With
  // takeVoice the element's voice attributes override the request's. Always
  // true.
  bool ComposeSsmlSegment(apr_xml_doc* doc, apr_xml_elem* element, bool takeVoice,
                          const SpeakParams& params, apr_pool_t* pool);

  // Appends one segment per usable "file://", "http://" or "https://" line
  // of a URI list; other lines are warned about and skipped. Always true.
  bool ComposeUriListSegments(const SpeakParams& params);

  // The parsed document in pool, or null (with a warning) when data is empty
  // or not well-formed.
  static apr_xml_doc* ParseSsml(const char* data, size_t length, apr_pool_t* pool);

  // Puts element, its descendants and all their attributes in no namespace,
  // so that serialisation writes bare names.
  static void StripNamespace(apr_xml_elem* element);

  // A "mark" element with a non-empty name: a place the channel reports.
  static bool IsNamedMark(const apr_xml_elem* element);

  // Cuts every text and SSML segment into pieces of whole sentences, each a
  // segment of its own (see SentenceSplit.h for the plan): the first piece
  // of the request is its first sentence, and later ones grow up to the
  // service's limit. A text piece is its sentences without the blanks
  // around them; an SSML piece is a document of its own in the segment's
  // language, in which the elements open at the cut are closed and opened
  // again, never cut inside an element that is one utterance. A segment's
  // marks go before its first piece and after its last. A segment that
  // makes one piece, and any other segment, stays as it is. language is
  // the request's; an SSML segment's root may name its own. Always true.
  bool CutIntoPieces(const std::string& language, apr_pool_t* pool);

  // A "speak" document in language holding content.
  static std::string SpeakDocument(const std::string& language, const std::string& content);

  // Makes everything below element writable without namespace prefixes
  // (run after StripNamespace): names that were nothing without their
  // prefix are dropped, an element of that kind gives way to its content.
  static void DropUnwritableNames(apr_xml_elem* element, apr_pool_t* pool);

  // An xml:lang value as the parser stores it, unquoted.
  static std::string UnquoteLanguage(const char* lang);

 private:
  // Appends the pieces of container's content cut at its marks, each with
  // voice's voice, in a "speak" document of language. Pieces that say
  // nothing are left out. Each mark goes after the segment before it
  // (AddMark); marks before any segment wait in pending for the first.
  void ComposeMarkedPieces(apr_xml_elem* container, const std::string& language,
                           const SynthSegment& voice, std::vector<std::string>& pending,
                           apr_pool_t* pool);
  void AddMark(const std::string& name, std::vector<std::string>& pending);
  // Gives the marks left pending (none said anything) to an empty
  // document.
  void FinishMarks(const std::string& language, const SynthSegment& voice,
                   std::vector<std::string>& pending);

  // Append the pieces of one segment (see CutIntoPieces); target carries
  // the size of the piece before.
  void CutTextPieces(const SynthSegment& segment, const std::string& language, size_t& target);
  void CutSsmlPieces(const SynthSegment& segment, const std::string& language, size_t& target,
                     apr_pool_t* pool);
};

// The directives of a request's Cache-Control header, in seconds; -1 when
// absent.
class CacheControl {
 public:
  CacheControl();
  void Reset();

  // Applies each comma-separated directive of value. False when value is
  // null.
  bool Parse(const apt_str_t* value, apr_pool_t* pool);
  // Applies one "name=value" directive; unknown names and directives without
  // a value change nothing. False when the directive has no name.
  bool ParseDirective(const apt_str_t* directive, apr_pool_t* pool);

  int32_t m_MaxAge;
  int32_t m_MaxStale;  // recorded only
  int32_t m_MinFresh;
};

}  // namespace VXS
