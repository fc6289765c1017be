/*
 * Scripted MRCP sessions for "vexora run FILE".
 *
 * A script is a text file of directives, one a line, run from top to
 * bottom. Blank lines are skipped; "#" starts a comment (a whole line, or
 * the rest of a directive line). Times are milliseconds: "300", "300ms" or
 * "300 ms". NAME is a channel name (a letter, then letters, digits, "_",
 * "-" or "."); where it may be left out, the channel opened last is meant.
 *
 *   channel NAME [RATE]
 *       Creates and opens a channel (RATE 8000 or 16000; default --rate).
 *       A name is used for one channel only.
 *
 *   send [NAME] [after N]
 *   MRCP/2.0 0 SPEAK 0
 *   Content-Type: text/plain
 *
 *   Hello there.
 *   .
 *       Sends the request written on the lines that follow, up to a line
 *       that is "." or "end" alone. "after N" waits N ms first (counted
 *       from the end of the directive before). The start line and the
 *       headers come first, then an empty line and the body; the body's
 *       lines are joined with line feeds, empty lines at its end dropped.
 *       Without an empty line the request has no body. A body line that
 *       must be "." alone is written "..". A request id of 0 is numbered by
 *       the host; the message length is not checked. Every request is read
 *       when the script is loaded, so a bad one stops the run before the
 *       module is loaded.
 *
 *   wait-in-progress [NAME] [timeout N]
 *       Waits for the response to the last request sent on the channel and
 *       is satisfied when its request state is IN-PROGRESS.
 *   wait-response [NAME] [CODE] [timeout N]
 *       Waits for the response to the last request sent on the channel;
 *       with CODE (three digits) its status code must be CODE.
 *   wait-event [NAME] EVENT [cause NNN] [timeout N]
 *       Waits for an event: SPEAK-COMPLETE or SPEECH-MARKER (any case);
 *       with "cause NNN" its Completion-Cause must be NNN.
 *       Every wait also takes "header NAME" (the message carries header
 *       NAME), "header NAME=VALUE" (with that value exactly, once blanks at
 *       its ends are trimmed) and "no-header NAME" (it does not carry it),
 *       as often as needed; names are compared without regard to case.
 *       And "marker MARK": its Speech-Marker names the mark MARK after its
 *       timestamp ("-": it names none).
 *       Each wait takes the oldest message of the channel that matches and
 *       leaves the others for later waits; a wait without "timeout" waits
 *       up to --timeout.
 *
 *   sleep N
 *       Pauses; messages keep arriving and are printed meanwhile.
 *   close [NAME]
 *       Closes the channel and waits for the module's close response
 *       (the module lets a SPEAK in progress play to its end first).
 *
 * Every MRCP message sent and received is printed as it happens. The run
 * stops at the first wait that is not satisfied (timed out, or the message
 * that answered did not match) or at a channel that does not open or close;
 * channels still open are closed at the end. "vexora run" exits 0 only when
 * every directive succeeded.
 */
#pragma once

#include <chrono>
#include <optional>
#include <map>
#include <string>
#include <vector>

#include "HostSession.h"

namespace VxCli {

struct ScriptStep {
  enum class Kind { kChannel, kSend, kWaitInProgress, kWaitResponse, kWaitEvent, kSleep, kClose };
  Kind kind = Kind::kSleep;
  int line = 0;                          // line of the directive in the script
  std::string channel;                   // resolved name (every kind but kSleep)
  int rate = 0;                          // kChannel
  std::string message;                   // kSend: the request as MRCPv2 text
  std::chrono::milliseconds delay{0};    // kSend "after", kSleep
  std::chrono::milliseconds timeout{0};  // waits
  std::string event;                     // kWaitEvent, upper case
  int status = -1;                       // kWaitResponse: expected code, -1 any
  int cause = -1;                        // kWaitEvent: expected Completion-Cause, -1 any
  bool has_marker = false;               // waits: "marker MARK" given
  std::string marker;                    // waits: the mark its Speech-Marker names
  // Waits: headers the message must carry (a value of nullopt: any value)
  // and headers it must not carry.
  std::vector<std::pair<std::string, std::optional<std::string>>> headers;
  std::vector<std::string> absent_headers;
};

struct Script {
  std::string name;  // file name, for messages
  std::vector<ScriptStep> steps;
  std::vector<std::string> channels;  // in the order they are opened
};

// Reads a script. `default_rate` and `default_timeout` fill what the lines
// leave out. False with "NAME:LINE: reason" in *error.
bool ParseScript(const std::string& text, const std::string& name, int default_rate,
                 std::chrono::milliseconds default_timeout, Script* out, std::string* error);

// Runs a parsed script on a started session. True when every directive
// succeeded; otherwise false with "NAME:LINE: what went wrong" in *error.
// The channels opened stay in *channels (by name) for their audio.
bool RunScript(const Script& script, HostSession* session,
               std::map<std::string, vxhost::Channel*>* channels, std::string* error);

}  // namespace VxCli
