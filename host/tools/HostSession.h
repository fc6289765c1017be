// One run of the module inside the program: the host tree (given, or
// generated for the embedded speech service), the host kit with the module
// loaded once, the engine open, and the channels the caller opens.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CliOptions.h"
#include "vxhost/HostKit.h"

namespace VxTts {
class TtsServer;
}

namespace VxCli {

using Clock = std::chrono::steady_clock;

// SIGINT and SIGTERM set a flag that ends the program's waits, so that it
// closes what it opened and removes its scratch folder; a second signal
// ends the process at once.
void InstallInterruptHandlers();
bool Interrupted();

// Standard output, one writer at a time, flushed at once so that a reader
// of a pipe sees each message as it happens.
class Printer {
 public:
  // The text as it is, a line end when it has none, then a blank line.
  void Message(const std::string& text);
  void Line(const std::string& line);

 private:
  std::mutex m_Mutex;
};

enum class WaitResult { kMessage, kTimeout, kInterrupted };

// The next message of `channel`, waiting up to `deadline` in short slices so
// that an interrupt ends the wait.
WaitResult NextMessage(vxhost::Channel* channel, vxhost::ReceivedMessage* out,
                       Clock::time_point deadline);
// Sleeps for `period`; false when interrupted.
bool PauseFor(std::chrono::milliseconds period);

// Writes the tree the embedded service needs under `root` (which exists):
// conf/vexora.xml with insecure transport to `service_target`, the voice
// and language, and the placeholder key data/placeholder-key.json.
bool WriteGeneratedTree(const std::string& root, const std::string& service_target,
                        const std::string& voice, const std::string& language, std::string* error);

// The voice and language of a generated tree when none is given.
extern const char kDefaultVoice[];
extern const char kDefaultLanguage[];

class HostSession {
 public:
  HostSession(const HostOptions& options, Printer* printer);
  ~HostSession();  // Finish()

  HostSession(const HostSession&) = delete;
  HostSession& operator=(const HostSession&) = delete;

  // Without --root: starts the speech service on a free loopback port and
  // generates a tree for it in a scratch folder. Then creates the kit
  // (every MRCP message printed), loads the module and opens the engine.
  // False with *error when any step fails.
  bool Start(std::string* error);

  // Creates and opens a channel called `name`; null with *error. The
  // identifier the module sees is a new session id (vxhost::NewSessionId),
  // as a host server gives each session, so that runs on one host tree
  // never reuse a record's or a prompt's file name.
  vxhost::Channel* OpenChannel(const std::string& name, int rate, std::string* error);
  // The name a channel was opened with.
  std::string NameOf(const vxhost::Channel* channel) const;
  // Closes and destroys a channel; false with *error when the module did
  // not answer the close in time. What the channel collected stays.
  bool CloseChannel(vxhost::Channel* channel, std::string* error);

  // Sends a STOP on every channel still open and waits up to `wait` for
  // each response. The module's close waits for a SPEAK in progress to
  // play to its end; a run that ends early stops the channels first.
  void StopAllChannels(std::chrono::milliseconds wait);

  // Closes and destroys every channel still open; false with *error (the
  // first failure) when one did not answer its close in time.
  bool CloseAllChannels(std::string* error);

  // Closes the channels still open and the engine, unloads the module,
  // stops the service and removes the scratch folder (unless kept). False
  // with *error when the module did not answer a close in time. Idempotent.
  bool Finish(std::string* error);

  vxhost::HostKit* kit() { return m_Kit.get(); }
  Printer* printer() { return m_Printer; }
  const std::string& root() const { return m_Root; }

 private:
  const HostOptions m_Options;
  Printer* const m_Printer;
  std::unique_ptr<VxTts::TtsServer> m_Server;
  std::unique_ptr<vxhost::HostKit> m_Kit;
  std::string m_Root;
  bool m_ScratchRoot = false;  // m_Root was generated here
  std::vector<vxhost::Channel*> m_Open;
  std::map<const vxhost::Channel*, std::string> m_Names;
  bool m_EngineOpen = false;
  bool m_Finished = false;
};

}  // namespace VxCli
