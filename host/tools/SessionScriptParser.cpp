// Reading a session script into its steps (SessionScript.h): the
// directives, their words and times, and each request checked as MRCPv2
// text while the script is loaded.

#include <cctype>
#include <set>
#include <sstream>

#include "SessionScript.h"
#include "TextCase.h"
#include "vxhost/AprGuard.h"
#include "vxhost/MrcpText.h"

namespace VxCli {

namespace {

constexpr long long kLongestTime = 24LL * 3600 * 1000;  // one day, in ms

std::string TrimRight(const std::string& text) {
  const size_t last = text.find_last_not_of(" \t\r");
  return last == std::string::npos ? std::string() : text.substr(0, last + 1);
}

// The directive's words, up to a word that starts a comment.
std::vector<std::string> Words(const std::string& line) {
  std::istringstream stream(line);
  std::vector<std::string> words;
  std::string word;
  while (stream >> word) {
    if (word[0] == '#') break;
    words.push_back(word);
  }
  return words;
}

bool IsDigits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

bool IsChannelName(const std::string& text) {
  if (text.empty() || text.size() > 64 || !std::isalpha(static_cast<unsigned char>(text[0]))) {
    return false;
  }
  for (char c : text) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-' && c != '.') {
      return false;
    }
  }
  return true;
}

// The events a synthesizer resource sends.
bool IsEventName(const std::string& text) {
  const std::string name = Upper(text);
  return name == "SPEAK-COMPLETE" || name == "SPEECH-MARKER";
}

// A time at words[*i] ("300", "300ms", or "300" then "ms"); advances *i.
bool TakeTime(const std::vector<std::string>& words, size_t* i, std::chrono::milliseconds* out) {
  if (*i >= words.size()) return false;
  std::string word = Lower(words[*i]);
  bool unit = false;
  if (word.size() > 2 && word.compare(word.size() - 2, 2, "ms") == 0) {
    word.erase(word.size() - 2);
    unit = true;
  }
  if (!IsDigits(word) || word.size() > 9) return false;
  const long long value = std::stoll(word);
  if (value > kLongestTime) return false;
  ++*i;
  if (!unit && *i < words.size() && Lower(words[*i]) == "ms") ++*i;
  *out = std::chrono::milliseconds(value);
  return true;
}

// The request text of a send block: start line and headers with CRLF, an
// empty line, the body lines joined with LF (empty lines at its end dropped).
std::string RequestFromLines(const std::vector<std::string>& lines) {
  size_t blank = lines.size();
  for (size_t i = 0; i < lines.size(); ++i) {
    if (TrimRight(lines[i]).empty()) {
      blank = i;
      break;
    }
  }
  std::string text;
  for (size_t i = 0; i < blank; ++i) text += lines[i] + "\r\n";
  text += "\r\n";
  size_t end = lines.size();
  while (end > blank + 1 && TrimRight(lines[end - 1]).empty()) --end;
  for (size_t i = blank + 1; i < end; ++i) {
    if (i > blank + 1) text += "\n";
    text += lines[i];
  }
  return text;
}

class Parser {
 public:
  Parser(const std::string& name, int default_rate, std::chrono::milliseconds default_timeout,
         Script* out, std::string* error)
      : m_Name(name),
        m_DefaultRate(default_rate),
        m_DefaultTimeout(default_timeout),
        m_Out(out),
        m_Error(error) {}

  bool Parse(const std::string& text) {
    if (!m_Pool.get()) return Fail(0, "cannot make a memory pool");
    std::vector<std::string> lines;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
    }
    for (size_t i = 0; i < lines.size(); ++i) {
      const int number = static_cast<int>(i) + 1;
      const std::vector<std::string> words = Words(lines[i]);
      if (words.empty()) continue;
      const std::string directive = Lower(words[0]);
      bool ok = false;
      if (directive == "channel") {
        ok = ParseChannel(number, words);
      } else if (directive == "send") {
        ok = ParseSend(number, words, lines, &i);
      } else if (directive == "wait-in-progress" || directive == "wait-response" ||
                 directive == "wait-event") {
        ok = ParseWait(number, directive, words);
      } else if (directive == "sleep") {
        ok = ParseSleep(number, words);
      } else if (directive == "close") {
        ok = ParseClose(number, words);
      } else {
        ok = Fail(number, "unknown directive \"" + words[0] +
                              "\" (channel, send, wait-in-progress, wait-response, "
                              "wait-event, sleep, close)");
      }
      if (!ok) return false;
    }
    if (m_Out->steps.empty()) return Fail(0, "the script has no directives");
    return true;
  }

 private:
  bool Fail(int line, const std::string& reason) {
    *m_Error = m_Name + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " + reason;
    return false;
  }

  // The channel a directive names, or the current one when `named` is empty.
  bool Resolve(int line, const std::string& named, std::string* channel) {
    const std::string name = named.empty() ? m_Current : named;
    if (name.empty()) return Fail(line, "no channel is open yet (\"channel NAME\" first)");
    if (!m_Open.count(name)) {
      if (m_Used.count(name)) return Fail(line, "channel " + name + " is closed");
      return Fail(line, "no channel named " + name);
    }
    *channel = name;
    return true;
  }

  bool ParseChannel(int line, const std::vector<std::string>& words) {
    if (words.size() < 2 || words.size() > 3) return Fail(line, "usage: channel NAME [RATE]");
    const std::string& name = words[1];
    if (!IsChannelName(name)) {
      return Fail(line, "bad channel name \"" + name +
                            "\" (a letter, then letters, digits, \"_\", \"-\" or \".\")");
    }
    if (m_Used.count(name)) return Fail(line, "channel " + name + " is opened twice");
    ScriptStep step;
    step.kind = ScriptStep::Kind::kChannel;
    step.line = line;
    step.channel = name;
    step.rate = m_DefaultRate;
    if (words.size() == 3) {
      if (words[2] == "8000" || words[2] == "16000") {
        step.rate = std::stoi(words[2]);
      } else {
        return Fail(line, "the rate must be 8000 or 16000, not \"" + words[2] + "\"");
      }
    }
    m_Used.insert(name);
    m_Open.insert(name);
    m_Current = name;
    m_Out->channels.push_back(name);
    m_Out->steps.push_back(step);
    return true;
  }

  bool ParseSend(int line, const std::vector<std::string>& words,
                 const std::vector<std::string>& lines, size_t* index) {
    ScriptStep step;
    step.kind = ScriptStep::Kind::kSend;
    step.line = line;
    std::string named;
    for (size_t i = 1; i < words.size();) {
      if (Lower(words[i]) == "after") {
        ++i;
        if (!TakeTime(words, &i, &step.delay)) {
          return Fail(line, "\"after\" needs a number of milliseconds");
        }
      } else if (named.empty() && IsChannelName(words[i])) {
        named = words[i++];
      } else {
        return Fail(line, "usage: send [NAME] [after N], then the request, then \".\"");
      }
    }
    if (!Resolve(line, named, &step.channel)) return false;

    std::vector<std::string> message;
    size_t i = *index + 1;
    bool ended = false;
    for (; i < lines.size(); ++i) {
      const std::string trimmed = TrimRight(lines[i]);
      if (trimmed == "." || trimmed == "end") {
        ended = true;
        break;
      }
      message.push_back(trimmed == ".." ? std::string(".") : lines[i]);
    }
    if (!ended) return Fail(line, "the request is not ended by a line \".\"");
    *index = i;
    while (!message.empty() && TrimRight(message.front()).empty()) {
      message.erase(message.begin());
    }
    if (message.empty()) return Fail(line, "no request between \"send\" and \".\"");
    step.message = RequestFromLines(message);

    m_Pool.Clear();
    mrcp_message_t* parsed = nullptr;
    std::string reason;
    if (!vxhost::ParseMrcpMessage(step.message, m_Pool.get(), &parsed, &reason)) {
      return Fail(line + 1, "not an MRCP request: " + reason);
    }
    if (parsed->start_line.message_type != MRCP_MESSAGE_TYPE_REQUEST) {
      return Fail(line + 1, "a response or an event cannot be sent; write a request");
    }
    m_Out->steps.push_back(step);
    return true;
  }

  bool ParseWait(int line, const std::string& directive, const std::vector<std::string>& words) {
    ScriptStep step;
    step.line = line;
    step.timeout = m_DefaultTimeout;
    std::vector<std::string> names;
    for (size_t i = 1; i < words.size();) {
      const std::string word = Lower(words[i]);
      if (word == "timeout") {
        ++i;
        if (!TakeTime(words, &i, &step.timeout)) {
          return Fail(line, "\"timeout\" needs a number of milliseconds");
        }
      } else if (word == "header" || word == "no-header") {
        ++i;
        if (i >= words.size() || words[i].empty() || words[i][0] == '=') {
          return Fail(line, "\"" + word + "\" needs a header name");
        }
        const std::string& wanted = words[i++];
        const size_t equals = wanted.find('=');
        if (word == "no-header") {
          if (equals != std::string::npos) return Fail(line, "\"no-header\" takes a name only");
          step.absent_headers.push_back(wanted);
        } else if (equals == std::string::npos) {
          step.headers.emplace_back(wanted, std::nullopt);
        } else {
          step.headers.emplace_back(wanted.substr(0, equals), wanted.substr(equals + 1));
        }
      } else if (word == "cause" && directive == "wait-event") {
        ++i;
        if (i >= words.size() || words[i].size() != 3 || !IsDigits(words[i])) {
          return Fail(line, "\"cause\" needs a three-digit Completion-Cause (000)");
        }
        step.cause = std::stoi(words[i++]);
      } else if (word == "marker") {
        ++i;
        if (i >= words.size()) return Fail(line, "\"marker\" needs a mark's name (- for none)");
        step.has_marker = true;
        step.marker = words[i] == "-" ? std::string() : words[i];
        ++i;
      } else if (directive == "wait-response" && words[i].size() == 3 && IsDigits(words[i])) {
        if (step.status >= 0) return Fail(line, "one status code only");
        step.status = std::stoi(words[i++]);
      } else {
        names.push_back(words[i++]);
      }
    }
    std::string named;
    if (directive == "wait-event") {
      step.kind = ScriptStep::Kind::kWaitEvent;
      if (names.empty() || names.size() > 2) {
        return Fail(line, "usage: wait-event [NAME] EVENT [cause NNN] [header NAME[=VALUE]] "
                          "[timeout N]");
      }
      if (names.size() == 2) named = names[0];
      if (!IsEventName(names.back())) {
        return Fail(line,
                    "unknown event \"" + names.back() + "\" (SPEAK-COMPLETE or SPEECH-MARKER)");
      }
      step.event = Upper(names.back());
    } else {
      step.kind = directive == "wait-response" ? ScriptStep::Kind::kWaitResponse
                                               : ScriptStep::Kind::kWaitInProgress;
      if (names.size() > 1) {
        return Fail(line, directive == "wait-response"
                              ? "usage: wait-response [NAME] [CODE] [timeout N]"
                              : "usage: wait-in-progress [NAME] [timeout N]");
      }
      if (names.size() == 1) named = names[0];
    }
    if (!named.empty() && !IsChannelName(named)) {
      return Fail(line, "bad channel name \"" + named + "\"");
    }
    if (!Resolve(line, named, &step.channel)) return false;
    m_Out->steps.push_back(step);
    return true;
  }

  bool ParseSleep(int line, const std::vector<std::string>& words) {
    ScriptStep step;
    step.kind = ScriptStep::Kind::kSleep;
    step.line = line;
    size_t i = 1;
    if (!TakeTime(words, &i, &step.delay) || i != words.size()) {
      return Fail(line, "usage: sleep N (milliseconds)");
    }
    m_Out->steps.push_back(step);
    return true;
  }

  bool ParseClose(int line, const std::vector<std::string>& words) {
    if (words.size() > 2) return Fail(line, "usage: close [NAME]");
    ScriptStep step;
    step.kind = ScriptStep::Kind::kClose;
    step.line = line;
    if (!Resolve(line, words.size() == 2 ? words[1] : std::string(), &step.channel)) {
      return false;
    }
    m_Open.erase(step.channel);
    m_Out->steps.push_back(step);
    return true;
  }

  const std::string m_Name;
  const int m_DefaultRate;
  const std::chrono::milliseconds m_DefaultTimeout;
  Script* const m_Out;
  std::string* const m_Error;
  vxhost::AprScope m_Apr;    // APR for the pool below
  vxhost::ScratchPool m_Pool;  // for reading requests while the script is loaded
  std::set<std::string> m_Used;  // every name opened so far
  std::set<std::string> m_Open;  // opened and not closed
  std::string m_Current;         // the channel opened last
};

}  // namespace

bool ParseScript(const std::string& text, const std::string& name, int default_rate,
                 std::chrono::milliseconds default_timeout, Script* out, std::string* error) {
  Script script;
  script.name = name;
  Parser parser(name, default_rate, default_timeout, &script, error);
  if (!parser.Parse(text)) return false;
  *out = std::move(script);
  return true;
}

}  // namespace VxCli
