#pragma once

#include <grpcpp/support/status.h>

#include <chrono>
#include <mutex>
#include <string>

namespace VxTts {

// The faults a test scripts into the service's SynthesizeSpeech and
// StreamingSynthesize calls (ListVoices is never faulted); a stream takes
// one plan when it opens, and empty audio there means a stream that ends
// well without any audio. All methods are thread-safe: tests set
// faults while server threads take them. Owned by TtsServer.
//
// Order within one call: the delay, then a dropped connection, then a
// scripted status, else the real answer, shaped by the audio faults.
class FaultScript {
 public:
  // What one call must do; taken once per call.
  struct Plan {
    std::chrono::milliseconds delay{0};
    bool drop = false;
    bool fail = false;
    grpc::Status status;  // when fail
    bool empty_audio = false;
    bool cut_header = false;
    bool extra_chunks = false;
    // Streams only: after this many audio messages the stream ends with
    // break_status (-1 = never).
    int break_after = -1;
    grpc::Status break_status;
  };

  FaultScript() = default;
  FaultScript(const FaultScript&) = delete;
  FaultScript& operator=(const FaultScript&) = delete;

  // Every call waits this long before answering (0 = no delay). The wait
  // ends early when the client cancels or the server shuts down.
  void SetDelay(std::chrono::milliseconds delay);
  // The next n calls answer with code and message (n <= 0 clears it). OK
  // cannot be scripted as a failure; it is answered as UNKNOWN.
  void FailNext(int n, grpc::StatusCode code, std::string message);
  // Successful calls return no audio bytes at all.
  void SetEmptyAudio(bool on);
  // Successful calls return only the first 20 bytes of a WAVE reply.
  void SetCutHeader(bool on);
  // Successful calls carry a LIST chunk between "fmt " and "data".
  void SetExtraChunks(bool on);
  // The next n calls have their connection cut mid-call: the client sees
  // UNAVAILABLE (n <= 0 clears it).
  void DropNext(int n);
  // The next stream ends with code and message after `chunks` audio
  // messages (chunks < 0 clears it). Unary calls are not affected.
  void BreakNextStream(int chunks, grpc::StatusCode code, std::string message);
  // Turns every fault off.
  void Clear();

  // Takes the plan for one call, consuming one scripted drop or failure;
  // a stream's plan also takes the scripted break.
  Plan TakePlan(bool stream = false);

 private:
  mutable std::mutex m_Mutex;  // guards every field below
  std::chrono::milliseconds m_Delay{0};
  int m_FailCount = 0;
  grpc::StatusCode m_FailCode = grpc::StatusCode::UNAVAILABLE;
  std::string m_FailMessage;
  int m_DropCount = 0;
  bool m_EmptyAudio = false;
  bool m_CutHeader = false;
  bool m_ExtraChunks = false;
  int m_BreakAfter = -1;
  grpc::Status m_BreakStatus;
};

}  // namespace VxTts
