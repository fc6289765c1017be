#pragma once

#include <apr_pools.h>

#include <grpcpp/security/credentials.h>

#include <atomic>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "ChunkBuffer.h"
#include "CircuitBreaker.h"
#include "EngineMetrics.h"
#include "SdrManager.h"
#include "SharedSynthesis.h"
#include "Task.h"
#include "WaveformManager.h"
#include "ambrel/EventProcessor.h"
#include "google/cloud/texttospeech/v1/cloud_tts.grpc.pb.h"
#include "vxhost/mrcp.h"

namespace VXS {

class Engine;

enum TaskMsgType { TASK_MSG_OPEN = 0, TASK_MSG_CLOSE = 1, TASK_MSG_REQUEST = 2 };

class Channel;

// Open, close and request events posted by the host's signalling thread.
class ChannelEvent : public Ambrel::AsyncEvent {
 public:
  ChannelEvent(TaskMsgType type, Channel* channel, mrcp_message_t* message)
      : m_Type(type), m_Channel(channel), m_Message(message) {}
  void Process() override;

  TaskMsgType m_Type;
  Channel* m_Channel;         // not owned
  mrcp_message_t* m_Message;  // requests only; the host's
};

// A completion of a channel's call, posted by the gRPC task thread.
class ChannelGrpcEvent : public Ambrel::AsyncEvent {
 public:
  ChannelGrpcEvent(Channel* channel, Tag* tag, bool ok)
      : m_Channel(channel), m_Tag(tag), m_Ok(ok) {}
  void Process() override;

  Channel* m_Channel;  // not owned
  Tag* m_Tag;          // not owned (the channel's)
  bool m_Ok;
};

// The media thread met a held stop response.
class ChannelStopCompleteEvent : public Ambrel::AsyncEvent {
 public:
  explicit ChannelStopCompleteEvent(Channel* channel) : m_Channel(channel) {}
  void Process() override;
  Channel* m_Channel;  // not owned
};

// The media thread read the end-of-stream mark of the buffer's contents
// since restart number m_Generation.
class ChannelSpeechDoneEvent : public Ambrel::AsyncEvent {
 public:
  ChannelSpeechDoneEvent(Channel* channel, uint32_t generation)
      : m_Channel(channel), m_Generation(generation) {}
  void Process() override;
  Channel* m_Channel;  // not owned
  uint32_t m_Generation;
};

// The media thread read past speech markers of the buffer's contents since
// restart number m_Generation, up to number m_Marker, at m_Time.
class ChannelSpeechMarkerEvent : public Ambrel::AsyncEvent {
 public:
  ChannelSpeechMarkerEvent(Channel* channel, uint32_t generation, uint32_t marker, int64_t time)
      : m_Channel(channel), m_Generation(generation), m_Marker(marker), m_Time(time) {}
  void Process() override;
  Channel* m_Channel;  // not owned
  uint32_t m_Generation;
  uint32_t m_Marker;
  int64_t m_Time;  // APR time
};

// The module's side of one MRCP synthesizer channel: the request state
// machine, parameter resolution, the gRPC synthesis call, audio delivery
// through the media chunk buffer and the cache lookup.
//
// Host threads only post events (SignalEvent); the media thread calls Read;
// the gRPC task thread calls SignalGrpcEvent; everything else runs on the
// engine's event-processor thread. Created by the host's create-channel
// binding and deleted by its destroy binding; the engine is not owned.
class Channel {
 public:
  typedef google::cloud::texttospeech::v1::TextToSpeech::Stub Stub;

  explicit Channel(Engine* engine);
  ~Channel();
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // Host threads.
  bool SignalEvent(TaskMsgType type, mrcp_message_t* message);
  bool Read(mpf_frame_t* frame);
  bool Dump(std::ostream& stream) const;
  // The gRPC task thread.
  void SignalGrpcEvent(Tag* tag, bool ok);

  // Event-processor thread.
  void ProcessEvent(ChannelEvent* event);
  bool ProcessGrpcEvent(Tag* tag, bool ok);
  void ProcessStopCompleteEvent();
  void ProcessSpeechDoneEvent(uint32_t generation);
  void ProcessSpeechMarkerEvent(uint32_t generation, uint32_t marker, int64_t time);
  // Cancels the call in flight, if any (engine shutdown).
  void CancelSynthesis();
  // The shared call this channel waits on has completed: its reply is
  // taken as that of the channel's own call.
  void ProcessSharedSynthesis(SharedSynthesis& call);

  void SetHostChannel(mrcp_engine_channel_t* channel) { m_HostChannel = channel; }
  mrcp_engine_channel_t* GetHostChannel() const { return m_HostChannel; }
  const char* GetId() const;
  const SdrManager::SynthesisDetails& GetDetails() const { return m_Details; }

  // Parameter resolution (also used directly by tests).
  int DetermineParams(mrcp_message_t* request, const SynthSettings& settings);
  bool ParseVendorSpecificParameters(apt_pair_arr_t* pairs, SdrManager::SynthesisDetails& details);
  bool SetSynthParameter(const std::string& name, const std::string& value,
                         SdrManager::SynthesisDetails& details);
  // The value of a Speech-Marker header: "timestamp=" and the 64-bit NTP
  // time of time (APR time), then ";" and name when it is not empty. Control
  // characters in name (CR and LF above all, which would end the header)
  // become blanks.
  static std::string FormatSpeechMarker(int64_t time, const std::string& name);
  // True when SetSynthParameter knows name and can use value.
  static bool IsUsableSynthParameter(const std::string& name, const std::string& value);
  // The target of a channel's gRPC channel for a service URI and a region.
  static std::string ComposeEndpoint(const std::string& service_uri, const std::string& region);
  // The file of folder that uri, an http(s) URI under base (the waveform
  // base URI), names once every symbolic link is followed, in path; false
  // when uri is not under base or the file lies outside folder. pool holds
  // scratch memory.
  static bool ResolveLocalUri(const std::string& base, const std::string& folder,
                              const std::string& uri, std::string& path, apr_pool_t* pool);

 private:
  // A StreamingSynthesize call (ChannelStream.cpp).
  struct StreamCall;
  struct StreamCallDeleter {
    void operator()(StreamCall* call) const;
  };

  // One synthesis call in flight; a streamed segment's call also holds its
  // stream, which uses m_Context, so that STOP and close cancel either kind
  // alike. A cacheable segment's call is shared (m_Shared): the call, its
  // context and reply are the shared call's, and m_Status and m_Response
  // receive its outcome when it completes.
  struct SynthContext {
    grpc::ClientContext m_Context;
    google::cloud::texttospeech::v1::SynthesizeSpeechRequest m_Request;
    std::unique_ptr<grpc::ClientAsyncResponseReader<
        google::cloud::texttospeech::v1::SynthesizeSpeechResponse>>
        m_Reader;
    google::cloud::texttospeech::v1::SynthesizeSpeechResponse m_Response;
    grpc::Status m_Status;
    std::unique_ptr<WaveformManager::CacheEntry> m_CacheEntry;
    std::unique_ptr<StreamCall, StreamCallDeleter> m_Stream;
    // The endpoint the call goes to (ChannelBreaker.cpp): the stub, not
    // owned (the channel's, m_Stub or m_FallbackStub), and the ticket its
    // outcome is told to the breaker with; m_Refused: the breaker refused
    // it, and its failure is posted without a call.
    Stub* m_Stub = nullptr;
    CircuitBreaker::Ticket m_Ticket;
    bool m_Refused = false;
    // The shared call this segment waits on, and whether the channel
    // joined it (another channel started it).
    std::shared_ptr<SharedSynthesis> m_Shared;
    bool m_Joined = false;
  };

  bool Open();
  bool Close();
  void ProcessClose();
  void ProcessRequest(mrcp_message_t* request);
  bool Speak(mrcp_message_t* request, mrcp_message_t* response);
  bool Stop(mrcp_message_t* request, mrcp_message_t* response);
  bool Pause(mrcp_message_t* request, mrcp_message_t* response);
  bool Resume(mrcp_message_t* request, mrcp_message_t* response);
  bool SetParams(mrcp_message_t* request, mrcp_message_t* response);
  bool GetParams(mrcp_message_t* request, mrcp_message_t* response);
  // Applies the channel defaults of SET-PARAMS to the SPEAK's parameters.
  void ApplySessionParams(SdrManager::SynthesisDetails& details);
  bool ComposeResponse(mrcp_message_t* response, mrcp_status_code_e status,
                       mrcp_synth_completion_cause_e cause);
  bool Refuse(mrcp_message_t* response, mrcp_status_code_e status);
  bool ComposeContent(apr_pool_t* pool);

  bool CreateGrpcChannel();
  // The breaker's side of a call (ChannelBreaker.cpp). The shared channel
  // of the fallback endpoint, when one is configured and differs from the
  // channel's own; its failure leaves the channel without a fallback.
  void CreateFallbackChannel(const std::shared_ptr<grpc::ChannelCredentials>& credentials);
  // Points the call at the channel's endpoint, or at the fallback while the
  // breaker of its own is open; false when both refuse it.
  bool ChooseEndpoint(SynthContext& context);
  // Ends a refused call as a failed call ends, without waiting: its
  // UNAVAILABLE completion is posted to the event processor.
  bool RefuseCall(std::unique_ptr<SynthContext> context);
  // Counts a completed call in the metrics and tells the breaker its
  // outcome (a refused call is neither). A shared call counts itself in the
  // metrics, and its outcome is told once, by the channel that started it,
  // or by a joiner whose admission was the breaker's trial.
  void ReportCallOutcome(const grpc::Status& status);
  // False when the call that failed was refused, or the next one would be:
  // a re-attempt would only meet the open breaker again.
  bool MayReattempt() const;
  // Starts or plays the segments from the head of the queue until a call is
  // in flight or the queue is empty; false when the head cannot be started.
  bool StartSynthesis();
  // Starts the call of the text or SSML segment at the head; played is set
  // when a cache hit served it instead.
  bool StartSynthesisCall(bool& played);
  bool ResolveLocalUri(const std::string& uri, std::string& path);
  // True when the segment goes over a stream: plain text, its voice
  // matches streaming-voices and nothing of the SPEAK needs the unary call.
  bool StreamsSegment(const SynthSegment& segment) const;
  // Starts the stream of the segment at the head from the unary request
  // built for it; false when it cannot be started.
  bool StartStreamCall(std::unique_ptr<SynthContext> context);
  void OnStreamEvent(Tag* tag, bool ok);
  void WriteNextStreamMessage(StreamCall& call);
  void OnStreamAudio(StreamCall& call);
  void OnStreamFinish();
  // Marks the head segment, whose stream failed before any audio, for the
  // unary call, cut into sentence pieces first when they are on.
  void FallBackToUnaryPieces();
  void OnFinishStream(bool ok);
  // Joins the shared call of an identical cacheable segment already in
  // flight, if there is one; true when context now waits on it.
  bool JoinSharedCall(const SynthSegment& segment, std::unique_ptr<SynthContext>& context);
  // The key of a shared call of the segment's request to the endpoint of
  // stub.
  SharedSynthesis::Key ComposeSharedKey(
      const SynthSegment& segment,
      const google::cloud::texttospeech::v1::SynthesizeSpeechRequest& request,
      const Stub* stub) const;
  // The channel's own holder of stub: m_Stub or m_FallbackStub.
  std::shared_ptr<Stub> StubOf(const Stub* stub) const;
  // Cancels this channel's part of the call in flight for a STOP or a
  // close. Its own call is cancelled and its cancelled completion answers
  // them; from a shared call that others still wait on it leaves at once,
  // and they are answered now.
  void CancelCall();
  void ProcessSynthError();
  // The SPEAK cannot go on: a pending response is answered 407, otherwise
  // the audio already queued plays out before SPEAK-COMPLETE.
  void FailSpeak();
  // After a call has completed and its context is gone: completes a close
  // or a held stop, or starts the next segment.
  void OnCallDone(bool start_next);
  void AnswerHeldStop();
  // Starts the next segment, or ends the SPEAK when it cannot be started.
  void ContinueSynthesis();
  void EndOfStream();
  void SendInProgress();
  // Answers the pending SPEAK response IN-PROGRESS without starting
  // playback (a SPEAK stopped before its first audio).
  void SendPendingInProgress();
  void SaveWaveform(const char* data, unsigned length);
  // Scratch memory of the current SPEAK, cleared when the next one starts.
  apr_pool_t* SpeakPool();
  // An event the media thread posted for a SPEAK that has since been
  // replaced turned streaming off; the current SPEAK's playback goes on.
  void ResumeStreaming();

  // Reads the prompt file at path in the channel's format.
  bool ProcessFile(const std::string& path, std::vector<char>& audio);
  // Resolves a file or local HTTP segment and reads its prompt.
  bool LoadPromptAudio(const SynthSegment& segment, std::vector<char>& audio);
  bool ProcessCacheRecord(WaveformManager::CacheEntry* entry);
  // Queues a segment's audio between its speech markers (the mark after the
  // last segment) and sends the pending IN-PROGRESS. With owner, the string
  // data lies in, the audio is not copied: the chunk buffer keeps owner
  // until its next restart.
  void QueueAudio(const char* data, size_t length, const SegmentMarks* marks = nullptr,
                  std::unique_ptr<std::string> owner = nullptr);
  // Numbers each name and queues its speech marker.
  void QueueMarkers(const std::vector<std::string>& names);
  // Adds the Speech-Marker header: time as an NTP timestamp and the last
  // mark reported, if any.
  void AddSpeechMarker(mrcp_message_t* message, int64_t time);
  WaveformManager::CacheEntry* FindCacheRecord(const SynthSegment& segment,
                                               const uint64_t& checksum);
  bool CheckCacheDirectives(WaveformManager::CacheEntry* entry, const CacheControl& control);
  // Writes the record of the SPEAK that ends here, once.
  bool SaveRecord(SdrManager::SynthesisDetails& details);
  // Ends the SPEAK that an accepted one replaces (details: its own).
  void EndReplacedSpeak(SdrManager::SynthesisDetails& details);

  void SendMessage(mrcp_message_t* message);
  // Sends the held STOP's response, then those of the STOPs behind it.
  // stopped: the SPEAK the held STOP ended, named in its
  // Active-Request-Id-List; nullptr when it had ended otherwise.
  void SendStopResponse(mrcp_message_t* response, const mrcp_message_t* stopped);
  bool PostEvent(Ambrel::AsyncEvent* event);
  // The present as an APR time from the engine's clock; any thread (the
  // media thread reads it too).
  int64_t Now() const;

  Engine* m_Engine;                      // not owned
  mrcp_engine_channel_t* m_HostChannel;  // the host's record of this channel
  // Owned by the host channel's pool (a child of it, cleared per SPEAK).
  apr_pool_t* m_SpeakPool;
  // The engine's shared channel to the service and its stub (see
  // Engine::ServiceChannel), taken on the first SPEAK that needs them.
  std::shared_ptr<grpc::Channel> m_GrpcChannel;
  std::shared_ptr<Stub> m_Stub;
  std::string m_Target;  // of m_Stub
  // The engine's shared channel of the fallback endpoint, if any.
  std::shared_ptr<grpc::Channel> m_FallbackGrpcChannel;
  std::shared_ptr<Stub> m_FallbackStub;
  std::string m_FallbackTarget;
  std::unique_ptr<SynthContext> m_SynthContext;  // the call in flight, if any
  Tag m_FinishingTag;
  // The next segment's call is the fallback of its failed stream, whose
  // cache lookup it shares (the segment itself is marked m_Unary).
  bool m_NoStream = false;
  // Owned (destroyed with the channel); its memory is in the host
  // channel's pool.
  mpf_media_chunk_buffer_t* m_ChunkBuffer;
  // The host's messages (the request's pool holds its responses too).
  mrcp_message_t* m_ActiveRequest;
  mrcp_message_t* m_PendingResponse;
  // Read by the media thread without a lock: atomics, so that the two
  // threads never race on them. The host's message.
  std::atomic<mrcp_message_t*> m_StopResponse;
  // STOPs and barge-ins that came while one was held, answered right after
  // it (event-processor thread only). The host's messages.
  std::vector<mrcp_message_t*> m_LaterStopResponses;
  std::atomic<bool> m_Streaming;
  std::atomic<bool> m_Paused;
  // Kill-On-Barge-In of the SPEAK that plays (true when absent).
  bool m_KillOnBargeIn = true;
  bool m_ClosePending;
  uint32_t m_SpeakGeneration;  // the buffer restart of the current SPEAK
  // The marks of the current SPEAK queued so far (marker n is
  // m_MarkNames[n - 1]), how many have been reported, and the last one.
  std::vector<std::string> m_MarkNames;
  size_t m_MarksReported = 0;
  std::string m_LastMark;
  // The first prompt file of a SPEAK, read before the SPEAK that plays is
  // replaced (so that a list whose first file cannot play is refused
  // without cutting it off), and played from here.
  std::vector<char> m_FirstPromptAudio;
  bool m_FirstPromptLoaded = false;
  WaveformManager::WaveFile m_WaveFile;
  SdrManager::SynthesisDetails m_Details;
  SpeakMetrics m_SpeakMetrics;  // of the SPEAK m_Details describes
  // Defaults of the channel's later SPEAKs set by SET-PARAMS: over the
  // configured ones, under a SPEAK's own headers and SSML. A channel starts
  // each open without any.
  struct SessionParams {
    std::optional<std::string> m_Language;
    std::optional<std::string> m_VoiceName;
    std::optional<mrcp_voice_gender_e> m_VoiceGender;
    std::optional<mrcp_prosody_rate_t> m_Rate;
    std::optional<mrcp_prosody_volume_t> m_Volume;
    std::optional<std::string> m_LoggingTag;
    std::optional<bool> m_KillOnBargeIn;
    std::vector<std::pair<std::string, std::string>> m_Vendor;  // in the order first set
  };
  SessionParams m_SessionParams;
};

}  // namespace VXS
