/*
 * The host kit: loads a synthesizer module file and drives it as a host MRCP
 * server does, on the host's own threads, collecting everything it sends back.
 *
 * ---------------------------------------------------------------- In brief
 *
 *   vxhost::HostKit::Options options;
 *   options.root_dir = scratch;               // root/conf, data, var, var/status, log, plugin
 *   vxhost::HostKit kit(options);
 *   std::string error;
 *   if (!kit.LoadModule("libvexora.so", &error)) ...;   // version check, logger, create
 *   bool opened = false;
 *   kit.OpenEngine(5s, &opened);              // false: no answer within 5 s
 *   vxhost::Channel* ch = kit.CreateChannel("sess1", 8000);
 *   bool ok = false;
 *   kit.OpenChannel(ch, 5s, &ok);             // from here the media thread reads ch
 *   kit.SendText(ch, "MRCP/2.0 0 SPEAK 0\r\nContent-Type: text/plain\r\n"
 *                    "Content-Length: 5\r\n\r\nHello", &error);
 *   vxhost::ReceivedMessage m;
 *   ch->WaitMessage(&m, 5s);                  // 200 IN-PROGRESS
 *   ch->WaitMessage(&m, 30s);                 // SPEAK-COMPLETE, m.completion_cause == 0
 *   std::vector<char> pcm = ch->Audio();      // 16-bit little-endian mono PCM
 *   kit.CloseChannel(ch, 5s); kit.DestroyChannel(ch);
 *   kit.CloseEngine(5s); kit.DestroyEngine(); kit.UnloadModule();
 *
 * Also: NewRequest + Send (build a request in C and send it), the SPEAK
 * builders of MrcpText.h, SetTranscriptCallback (every message sent and
 * received, in order, as text), Channel::WaitAudioBytes / WaitFrames /
 * ExpectNoMessage / ClearAudio, the open/close response counters of the
 * engine and of each channel, and LogCapture for the log lines.
 *
 * ------------------------------------------------------------------ Threads
 *
 * - engine thread "vx-engine": the engine's open, close, destroy and
 *   create_channel run on it;
 * - signalling thread "vx-signal": each channel's open, close,
 *   process_request and destroy run on it, in the order they were asked for;
 * - media thread "vx-media": calls read_frame of each readable channel's
 *   stream once per 20 ms frame of 16-bit PCM (320 bytes at 8 kHz, 640 at
 *   16 kHz). Before each read the frame's type is NONE and its buffer zeroed;
 *   a frame that comes back with the AUDIO bit is appended to the channel's
 *   audio, any other counts as idle. Paced on an absolute 20 ms schedule
 *   when Options::realtime is set; otherwise as fast as possible, resting
 *   ~1 ms whenever a whole pass over the channels gave no audio.
 * - a channel is readable from its successful open response until its
 *   close response has arrived (a module may drain audio after a close).
 * - the module answers (open/close responses, messages) on any thread; what
 *   it answers from inside read_frame (a SPEAK-COMPLETE, a close response)
 *   is seen only after that frame's audio has been kept, so a caller that
 *   waited for it finds all the audio in Channel::Audio().
 *
 * ------------------------------------------------------- The server layer
 *
 * By default the kit hands every request straight to the module, as a test
 * of the module's own handling needs (a second SPEAK during playback
 * reaches the module and exercises its replacement of the first). With
 * Options::server_queue set, the kit answers as a host MRCP server does in
 * front of its synthesizer (RFC 6787, the synthesizer state machine), so
 * that the module sees one SPEAK at a time:
 * - a SPEAK that arrives while another is active (speaking or paused) is
 *   answered "200 PENDING" by the kit and queued; when the active one ends
 *   (its SPEAK-COMPLETE, a response that refused it, or a STOP that
 *   stopped it) the next one is handed to the module. The module's
 *   IN-PROGRESS for a queued SPEAK is not passed on (the client had its
 *   response already); a queued SPEAK the module refuses ends with a
 *   SPEAK-COMPLETE carrying the refusal's Completion-Cause (004 without);
 * - a STOP or BARGE-IN-OCCURRED without Active-Request-Id-List removes every
 *   pending SPEAK and goes to the module for the active one; one that lists
 *   request ids removes the pending ones listed and goes to the module only
 *   when the active one is listed, else the kit answers it itself. The
 *   response lists every request id stopped: those the module listed, the
 *   pending ones the kit removed, and the active one when the module's
 *   response lists none but the active SPEAK ended with this STOP (no
 *   SPEAK-COMPLETE came for it); no list when nothing was stopped. No
 *   SPEAK-COMPLETE is sent for a stopped SPEAK. A SPEAK stopped while
 *   paused leaves the next one paused: the kit sends the module a PAUSE of
 *   its own after it, whose response the client does not see;
 * - closing a channel drops its queue.
 * The vexora program runs with the server layer; the kit's own tests of it
 * are in host/test and tests/integration.
 *
 * ---------------------------------------------------------- Media counters
 *
 * Per channel the media thread counts underruns, the frames it read
 * without audio while a SPEAK was playing and more of its audio was still
 * to come (a gap between two audio frames of one SPEAK, not while paused;
 * the wait for the first frame is not one), and late frames, the reads
 * made more than one 20 ms frame after the time the real-time schedule
 * gave them (only with Options::realtime).
 *
 * Lifecycle methods of HostKit (LoadModule ... UnloadModule, Create/Open/
 * Close/DestroyChannel) are called by one controlling thread at a time;
 * Send, SendText, NewRequest and every Channel method may be called from any
 * thread. Every wait has a time-out: nothing in the kit blocks for ever.
 *
 * ------------------------------------------------------------ Memory pools
 *
 * The kit owns every pool: the engine's (given to mrcp_plugin_create) and
 * one per channel (given to create_channel). Each request lives in a
 * sub-pool of its channel's pool, created by NewRequest / SendText and kept
 * until the channel is destroyed; the module may allocate its responses in
 * the request's pool. With the server layer (below) a long call stays
 * within bounded memory: the kit frees the pool of a finished request (its
 * final response or SPEAK-COMPLETE delivered, or removed from the queue)
 * once 16 more have finished on the channel, so such a request must be
 * made with NewRequest or SendText and not be touched once finished. Allocate what a request carries in request->pool,
 * never in Channel::pool() while the channel is open: the module allocates
 * from the channel's pool on its own threads, and a pool is not thread-safe.
 *
 * --------------------------------------------------------------- Shutdown
 *
 * Destroying the kit closes what is still open (Options::shutdown_timeout
 * per wait), destroys channels and the engine, unloads the module and joins
 * the threads. When the module does not answer a close, or a call into it
 * does not return in time, the kit does not destroy or unload what the
 * module may still use: it logs a warning and leaves the module loaded and
 * its pools allocated for the rest of the process, rather than hang or
 * crash.
 *
 * ------------------------------------------------------------------ Logging
 *
 * The kit sets the process log sink (LogSink.h) from Options at
 * construction and puts the earlier settings back when destroyed; the
 * module logs through the same sink. LogCapture (also in
 * LogSink.h) collects lines in memory for tests.
 */
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vxhost/LogSink.h"
#include "vxhost/MrcpText.h"
#include "vxhost/apt.h"
#include "vxhost/mpf.h"
#include "vxhost/mrcp.h"

namespace vxhost {

class KitCore;
struct ServerState;

// One message the module sent on a channel, copied when it arrived.
struct ReceivedMessage {
  mrcp_message_type_e type = MRCP_MESSAGE_TYPE_UNKNOWN;
  size_t method_id = 0;     // method of a response, event id of an event
  std::string method_name;  // "SPEAK", "SPEAK-COMPLETE", ...
  mrcp_request_id request_id = 0;
  int status_code = 0;  // responses; 0 for events
  mrcp_request_state_e request_state = MRCP_REQUEST_STATE_UNKNOWN;
  bool has_completion_cause = false;
  int completion_cause = -1;
  std::string text;  // MRCPv2 text form
  int64_t time_us = 0;  // arrival, APR time (microseconds since the epoch)
  // Bytes of audio the channel had kept when the message arrived (since
  // the last ClearAudio; TakeAudio does not reset it), so that a listener
  // can place every message exactly between two frames.
  size_t audio_bytes = 0;
  // The Active-Request-Id-List header as written; empty when absent.
  std::string active_request_id_list;
};

// A new random channel identifier of 16 hexadecimal digits, as a host
// server makes one per session, so that runs on one host tree never name
// two channels alike.
std::string NewSessionId();

// One MRCP message that went to or came from the module, for transcripts.
struct TranscriptEntry {
  enum class Direction { kSent, kReceived };
  Direction direction = Direction::kSent;
  std::string channel_id;
  std::string text;  // MRCPv2 text form
  int64_t time_us = 0;
};
using TranscriptCallback = std::function<void(const TranscriptEntry&)>;

// The kit's side of one channel: the record the module created, its pool,
// and what the module sent back on it. Created and owned by the HostKit;
// the object stays valid until the kit is destroyed, also after
// DestroyChannel (which releases the module's channel and its pool, but
// keeps what was collected). Every public method is thread-safe.
class Channel {
 public:
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  const std::string& id() const { return m_Id; }
  // The channel's pool; null once destroyed. See "Memory pools" above.
  apr_pool_t* pool() const { return m_Pool; }
  // The module's channel record; null once destroyed.
  mrcp_engine_channel_t* record() const { return m_Record; }
  uint16_t sampling_rate() const { return m_SamplingRate; }
  size_t frame_size() const { return m_FrameSize; }  // bytes per 20 ms frame
  // The negotiated codec (what mrcp_engine_source_stream_codec_get gives).
  const mpf_codec_descriptor_t* codec() const { return m_Codec; }

  // Pops the oldest message not yet taken; false when none came in time.
  bool WaitMessage(ReceivedMessage* out, std::chrono::milliseconds timeout);
  size_t PendingMessages() const;
  // True when no message is pending now and none arrives within `period`.
  bool ExpectNoMessage(std::chrono::milliseconds period);
  size_t ReceivedMessages() const;  // all messages ever received

  std::vector<char> Audio() const;
  size_t AudioBytes() const;
  size_t AudioFrames() const;  // frames that came back with the AUDIO bit
  size_t IdleFrames() const;   // frames read that did not
  bool WaitAudioBytes(size_t bytes, std::chrono::milliseconds timeout);
  // True once at least `frames` reads (audio and idle) have been made.
  bool WaitFrames(size_t frames, std::chrono::milliseconds timeout);
  // See "Media counters" above; ClearAudio does not reset them.
  size_t Underruns() const;
  size_t LateFrames() const;
  // Forgets the collected audio and zeroes both frame counters.
  void ClearAudio();
  // The audio collected since the last take (or clear), handed over and
  // forgotten at once, so that no frame is lost or seen twice; the frame
  // counters go on.
  std::vector<char> TakeAudio();

  // Requests of the channel whose memory the kit still keeps (see "Memory
  // pools" above).
  size_t LiveRequests() const { return m_LiveRequests.load(); }

  int OpenResponses() const;   // times the module answered open
  int CloseResponses() const;  // times the module answered close
  bool OpenStatus() const;     // status of the last open response
  bool IsReadable() const { return m_Readable.load(); }
  bool IsDestroyed() const;

 private:
  friend class KitCore;

  Channel(std::string id, uint16_t sampling_rate, apr_pool_t* pool);

  // Media thread: one read_frame of the stream; true when it gave audio.
  // `late`: the read comes more than a frame after its time.
  bool ReadFrame(bool late);
  // Runs `job` now, or, when called from inside this channel's read_frame,
  // once the frame's audio has been kept: a module that answers from its
  // read (SPEAK-COMPLETE, a close) is seen after that frame's audio.
  void AfterRead(std::function<void()> job);
  void OnMessage(ReceivedMessage message);
  void SetPaused(bool paused);
  mrcp_request_id NextRequestId(mrcp_request_id wanted);

  const std::string m_Id;
  const uint16_t m_SamplingRate;
  const size_t m_FrameSize;
  // Set by the controlling thread before the channel is opened, cleared by
  // DestroyChannel once the module has let go.
  apr_pool_t* m_Pool;
  mrcp_engine_channel_t* m_Record = nullptr;
  const mpf_codec_descriptor_t* m_Codec = nullptr;

  std::atomic<bool> m_Readable{false};
  std::atomic<mrcp_request_id> m_NextRequestId{1};
  std::atomic<size_t> m_LiveRequests{0};
  // The server layer's state of the channel; null without it.
  std::shared_ptr<ServerState> m_Server;

  std::mutex m_ReadMutex;  // held around each read_frame and by DestroyChannel
  std::atomic<std::thread::id> m_Reader{};  // the thread inside read_frame, if any
  // Media thread only:
  std::vector<char> m_FrameBuffer;
  std::vector<std::function<void()>> m_AfterRead;

  mutable std::mutex m_Mutex;  // guards the fields below
  std::condition_variable m_Cond;
  std::deque<ReceivedMessage> m_Messages;
  size_t m_ReceivedCount = 0;
  // Each open (close) asked of the module ends in a response or a refusal
  // (the method returned FALSE); more requests than both: one is pending.
  int m_OpenRequests = 0;
  int m_OpenResponses = 0;
  int m_OpenRefusals = 0;
  int m_CloseRequests = 0;
  int m_CloseResponses = 0;
  int m_CloseRefusals = 0;
  bool m_OpenStatus = false;
  bool m_Destroyed = false;

  mutable std::mutex m_AudioMutex;  // guards the fields below
  std::condition_variable m_AudioCond;
  std::vector<char> m_Audio;
  size_t m_AudioBytesKept = 0;
  size_t m_AudioFrames = 0;
  size_t m_IdleFrames = 0;
  size_t m_Underruns = 0;
  size_t m_LateFrames = 0;
  // Idle frames since the last audio frame of the SPEAK playing; they are
  // underruns once more audio of it comes.
  size_t m_GapFrames = 0;
  bool m_AfterAudio = false;  // an audio frame came since the SPEAK (re)started
  bool m_Paused = false;      // a PAUSE was sent and no RESUME since
};

// Loads one module file and drives its engine; see the top of this file.
// Owns the threads, the pools, the module handle and the channels.
class HostKit {
 public:
  struct Options {
    // Root of the directory layout; conf, data, var, var/status, log and
    // plugin are made under it when missing. Empty: the current directory.
    std::string root_dir;
    bool realtime = false;  // pace the media thread at 20 ms per frame
    // Answer as a host server in front of the module; see "The server
    // layer" above.
    bool server_queue = false;
    apt_log_priority_e log_priority = APT_PRIO_WARNING;
    FILE* log_stream = stderr;  // nullptr: the sink writes nowhere
    bool negotiate_codec = true;  // false: channels get no codec descriptor
    // The engine record's config_params.
    std::map<std::string, std::string> engine_params;
    // Wait for CreateChannel, DestroyChannel and DestroyEngine.
    std::chrono::milliseconds call_timeout{5000};
    // Each wait while the kit shuts down (destructor, UnloadModule).
    std::chrono::milliseconds shutdown_timeout{2000};
  };

  explicit HostKit(Options options);
  ~HostKit();

  HostKit(const HostKit&) = delete;
  HostKit& operator=(const HostKit&) = delete;

  // False when a directory of the layout could not be made (logged).
  bool ok() const;
  const Options& options() const;
  const apt_dir_layout_t* layout() const;

  // Opens the module file (RTLD_NOW | RTLD_LOCAL), checks
  // mrcp_plugin_version (major 1, minor at most 7), calls
  // mrcp_plugin_logger_set and mrcp_plugin_log_source_set when exported,
  // then mrcp_plugin_create with the engine pool. The engine record gets
  // the kit's layout, callbacks and config_params. False with *error when
  // any step fails (the module is unloaded again) or a module is loaded.
  bool LoadModule(const std::string& path, std::string* error);
  // Calls mrcp_plugin_create once more (a module may refuse: null). The kit
  // does not drive such a second engine; it is given the kit's layout and
  // callbacks that only log.
  mrcp_engine_t* CreateEngine();
  mrcp_engine_t* engine() const;

  // Calls the engine's open on the engine thread and waits for the open
  // response. True when answered (*opened: its status; an open method that
  // returns FALSE counts as a refusal), false on time-out.
  bool OpenEngine(std::chrono::milliseconds timeout, bool* opened);
  // Calls close and waits for the close response; false on time-out or
  // when close returns FALSE.
  bool CloseEngine(std::chrono::milliseconds timeout);
  // Calls destroy on the engine thread (closing first when open). Does
  // nothing without an engine or after a destroy.
  void DestroyEngine();
  // Destroys every channel and the engine (closing what is open), then
  // unloads the module. Safe to call twice.
  void UnloadModule();
  int EngineOpenResponses() const;
  int EngineCloseResponses() const;

  // Creates a channel on the engine thread with a new pool (the record has
  // its id already while create_channel runs), sets its attributes (none:
  // attribs stays null) and negotiates the codec: "LPCM"
  // at `sampling_rate` when the stream's capabilities offer it and
  // Options::negotiate_codec is set, else none. The rate must be positive
  // and a multiple of 50 Hz. Null when the module refuses or does not
  // answer within call_timeout.
  Channel* CreateChannel(const std::string& id, uint16_t sampling_rate,
                         const std::map<std::string, std::string>& attribs = {});
  // Calls the channel's open on the signalling thread and waits for the
  // open response. True when answered (*status: its status; open returning
  // FALSE counts as refused), false on time-out.
  bool OpenChannel(Channel* channel, std::chrono::milliseconds timeout, bool* status);
  // Calls close and waits for the close response (audio is read meanwhile);
  // false on time-out or when close returns FALSE.
  bool CloseChannel(Channel* channel, std::chrono::milliseconds timeout);
  // Ask for the open or the close and return at once: the answer shows in
  // Channel::OpenResponses / CloseResponses (and OpenStatus). For a driver
  // of many channels whose closes may each wait for a prompt's end. False
  // when the channel is destroyed.
  bool OpenChannelAsync(Channel* channel);
  bool CloseChannelAsync(Channel* channel);
  // Stops reading the channel, closes it first when open, calls destroy on
  // the signalling thread and frees its pool. Safe to call twice.
  void DestroyChannel(Channel* channel);
  // DestroyChannel, then deletes the kit's Channel object, so that a long
  // run that creates channels one after another stays within bounded
  // memory. The pointer is invalid afterwards. False (object kept) when
  // the module did not let the channel go.
  bool ReleaseChannel(Channel* channel);

  // A request of `method` in a new sub-pool of the channel's pool, with the
  // next request id, the channel identifier "<id>@speechsynth" and both
  // header sections allocated (no header present yet), as a host makes
  // them. Null when the channel is destroyed.
  mrcp_message_t* NewRequest(Channel* channel, mrcp_synthesizer_method_id method);
  // Posts process_request to the signalling thread. A request id of 0 is
  // replaced by the channel's next one and an empty channel identifier by
  // "<id>@speechsynth" before this returns. The request must stay alive:
  // make it with NewRequest or in a sub-pool of the channel's pool. Not
  // concurrently with DestroyChannel of the same channel; requests not yet
  // handed to the module when the channel is destroyed are dropped.
  void Send(Channel* channel, mrcp_message_t* request);
  // Reads `mrcp_text` (MrcpText.h) into a new request sub-pool and sends it.
  // False with *error when the text is not a valid request.
  bool SendText(Channel* channel, const std::string& mrcp_text, std::string* error,
                mrcp_request_id* request_id = nullptr);

  // Called with every message sent and received, in order, on the thread
  // that sent or received it (one call at a time). It must not call back
  // into the kit. Empty: no transcript.
  void SetTranscriptCallback(TranscriptCallback callback);

 private:
  KitCore* m_Core;  // owned; left allocated when the module may still use it
};

}  // namespace vxhost
