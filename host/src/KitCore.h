// The state and logic behind HostKit: module handle, engine, channels,
// threads and pools. HostKit forwards to it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <algorithm>
#include <vector>

#include "MediaPump.h"
#include "WorkerThread.h"
#include "vxhost/HostKit.h"

namespace vxhost {

// Lifecycle methods are called by one controlling thread at a time (see
// HostKit); the On* callbacks arrive on the module's threads; Send and
// NewRequest may come from any thread. Owned by HostKit, which deletes it
// after a clean Shutdown() and otherwise leaves it allocated, because the
// module or a stuck thread may still call into it.
// The synthesizer state machine of one channel as a host server keeps it
// in front of the module (HostKit.h, "The server layer"). Guarded by mutex.
struct ServerState {
  // A STOP (or BARGE-IN-OCCURRED) handed to the module, until its response.
  struct Stop {
    mrcp_request_id active = 0;            // the SPEAK active when it was sent
    std::vector<mrcp_request_id> removed;  // pending SPEAKs the kit removed
    bool active_completed = false;         // its SPEAK-COMPLETE came first
    // Whether it ends the active SPEAK when the module's response names
    // nothing: a barge-in does not end one that may not be barged in on.
    bool ends_active = true;
  };
  // What the kit hands the module after a message: the next queued SPEAK,
  // and a PAUSE of the kit's own when the SPEAK it follows was stopped
  // while paused (the next one then starts paused).
  struct Next {
    mrcp_message_t* speak = nullptr;
    bool paused = false;
  };
  std::mutex mutex;
  // Forwarded requests but SPEAKs, until their final response.
  std::map<mrcp_request_id, mrcp_message_t*> open;
  // Pools of finished requests, oldest first; freed beyond kKeptFinished.
  std::deque<apr_pool_t*> finished;
  static constexpr size_t kKeptFinished = 16;
  bool paused = false;               // the active SPEAK is paused
  std::vector<mrcp_request_id> own;  // requests of the kit, answered to it only
  mrcp_message_t* active = nullptr;  // the SPEAK the module has, until it ends
  bool active_was_pending = false;   // the client had 200 PENDING for it
  std::deque<mrcp_message_t*> pending;
  std::map<mrcp_request_id, Stop> stops;
  // Kill-On-Barge-In of the channel, as its last accepted SET-PARAMS set it.
  bool kill_on_barge_in = true;
};

// A message as the client sees it: its fields copied and its text written.
ReceivedMessage ReceiveMessage(const mrcp_message_t* message);

class KitCore {
 public:
  explicit KitCore(HostKit::Options options);
  ~KitCore();

  KitCore(const KitCore&) = delete;
  KitCore& operator=(const KitCore&) = delete;

  // Closes and releases everything and stops the threads. False when the
  // module may still run code that uses this object or the pools.
  bool Shutdown();

  bool ok() const { return m_Ok; }
  const HostKit::Options& options() const { return m_Options; }
  const apt_dir_layout_t* layout() const { return m_Layout; }

  bool LoadModule(const std::string& path, std::string* error);
  mrcp_engine_t* CreateEngine();
  mrcp_engine_t* engine() const { return m_Engine; }
  bool OpenEngine(std::chrono::milliseconds timeout, bool* opened);
  bool CloseEngine(std::chrono::milliseconds timeout);
  void DestroyEngine();
  void UnloadModule();
  int EngineOpenResponses() const;
  int EngineCloseResponses() const;

  Channel* CreateChannel(const std::string& id, uint16_t sampling_rate,
                         const std::map<std::string, std::string>& attribs);
  bool OpenChannel(Channel* channel, std::chrono::milliseconds timeout, bool* status);
  bool CloseChannel(Channel* channel, std::chrono::milliseconds timeout);
  bool OpenChannelAsync(Channel* channel);
  bool ReleaseChannel(Channel* channel);
  bool CloseChannelAsync(Channel* channel);
  void DestroyChannel(Channel* channel);

  mrcp_message_t* NewRequest(Channel* channel, mrcp_synthesizer_method_id method);
  void Send(Channel* channel, mrcp_message_t* request);
  bool SendText(Channel* channel, const std::string& text, std::string* error,
                mrcp_request_id* request_id);
  void SetTranscriptCallback(TranscriptCallback callback);

  // Callbacks of the module, through the records' event tables.
  void OnEngineOpen(mrcp_engine_t* engine, bool status);
  void OnEngineClose(mrcp_engine_t* engine);
  void OnChannelOpen(Channel* channel, bool status);
  void OnChannelClose(Channel* channel);
  void OnChannelMessage(Channel* channel, const mrcp_message_t* message);

 private:
  using Clock = std::chrono::steady_clock;
  // The close answers of a channel before a close was asked.
  struct Answers {
    int responses = 0;
    int refusals = 0;
  };

  // Asks the module to close `channel` on the signalling thread; false when
  // the channel is destroyed.
  bool PostOpen(Channel* channel, Answers* before);
  bool PostClose(Channel* channel, Answers* before);
  // Waits for the answer to the close asked after `before`; false on
  // time-out or refusal.
  bool WaitClose(Channel* channel, const Answers& before, Clock::time_point deadline);
  // Closes what is open and destroys every channel within one time-out.
  void DestroyChannels(const std::vector<Channel*>& channels);
  void DestroyChannel(Channel* channel, Clock::time_point deadline);
  // Every open and close asked of the channel has been answered.
  static bool Settled(Channel* channel);
  static bool SettledLocked(const Channel* channel);
  std::vector<Channel*> ChannelList();

  void MakeDirectories();
  void PrepareEngineRecord(mrcp_engine_t* engine, apr_pool_t* pool, bool driven);
  void NegotiateCodec(Channel* channel);
  apr_pool_t* NewRequestPool(Channel* channel);
  void PrepareRequest(Channel* channel, mrcp_message_t* request);
  void Transcribe(TranscriptEntry::Direction direction, const std::string& channel_id,
                  const std::string& text);
  void ReleaseModule();
  // Marks the module as possibly still running: from now on nothing it may
  // use is freed.
  void Abandon(const char* reason);

  static bool ReadChannel(Channel* channel, bool late);

  // ------------------------------------------------ server layer (KitServer.cpp)
  // Hands `request` to the module on the signalling thread.
  void Forward(Channel* channel, mrcp_message_t* request);
  // A request on its way from the client: forwarded, queued or answered.
  void ServeRequest(Channel* channel, mrcp_message_t* request);
  // A message of the module on its way to the client, in order: changed in
  // place, or false when the client is not to see it; *next gets what to
  // hand to the module once the message is delivered.
  bool ServeMessage(Channel* channel, ReceivedMessage* message, ServerState::Next* next);
  void HandOver(Channel* channel, const ServerState::Next& next);
  // The channel closes: its queue is dropped.
  void DropQueue(Channel* channel);
  // The channel's pool (and so every request's) is gone.
  void ForgetPools(Channel* channel);
  // A request is over for the client: its pool is freed some requests later.
  static void Retire(Channel* channel, ServerState* state, mrcp_message_t* request);
  // A message the kit itself sends to the client on the channel.
  void Deliver(Channel* channel, ReceivedMessage message);

  const HostKit::Options m_Options;
  apr_pool_t* m_Pool = nullptr;  // the kit's root pool
  apt_dir_layout_t* m_Layout = nullptr;
  bool m_Ok = true;
  FILE* m_PreviousLogStream = nullptr;  // the sink's settings before this kit
  apt_log_priority_e m_PreviousLogPriority = APT_PRIO_WARNING;

  // Controlling thread only.
  void* m_Library = nullptr;
  std::string m_ModuleName;
  mrcp_plugin_creator_f m_Creator = nullptr;
  apr_pool_t* m_EnginePool = nullptr;
  mrcp_engine_t* m_Engine = nullptr;
  bool m_EngineOpenAsked = false;
  bool m_EngineDestroyed = false;
  bool m_Abandoned = false;

  mutable std::mutex m_Mutex;  // guards the engine's requests and answers below
  std::condition_variable m_Cond;
  // Each open (close) asked ends in a response or a refusal (the method
  // returned FALSE); more requests than both: one is pending.
  int m_EngineOpenRequests = 0;
  int m_EngineOpenResponses = 0;
  int m_EngineOpenRefusals = 0;
  int m_EngineCloseRequests = 0;
  int m_EngineCloseResponses = 0;
  int m_EngineCloseRefusals = 0;
  bool m_EngineOpenStatus = false;
  bool m_EngineIsOpen = false;  // opened with success and not closed since

  std::mutex m_ChannelsMutex;  // guards m_Channels
  std::vector<std::unique_ptr<Channel>> m_Channels;

  std::mutex m_TranscriptMutex;  // guards m_Transcript; held while it runs
  TranscriptCallback m_Transcript;

  WorkerThread m_EngineThread{"vx-engine"};
  WorkerThread m_SignalThread{"vx-signal"};
  MediaPump m_Media;
};

}  // namespace vxhost
