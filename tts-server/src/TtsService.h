#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

#include <vector>

#include "FaultScript.h"
#include "google/cloud/texttospeech/v1/cloud_tts.grpc.pb.h"

namespace VxTts {

struct AudioDamage;
class CallCounters;
class ConnectionAcceptor;
class JwtVerifier;
class LatencyModel;
class Synthesizer;
struct CheckedStream;

// The TextToSpeech gRPC service: ListVoices, SynthesizeSpeech and
// StreamingSynthesize (for the voices that stream). Handlers run on gRPC's server
// threads, many at once; they share only thread-safe collaborators. Owned by
// TtsServer; everything it points to is owned there too and outlives it.
class TtsService final : public google::cloud::texttospeech::v1::TextToSpeech::Service {
 public:
  using LogFunction = std::function<void(const std::string& line)>;

  // verifier null = no token check. log may be empty.
  TtsService(const Synthesizer& synthesizer, FaultScript& faults, const LatencyModel& latency,
             CallCounters& calls, ConnectionAcceptor& acceptor, const JwtVerifier* verifier, bool check_audience,
             LogFunction log);

  // Ends every scripted delay now; later delays end at once.
  void BeginShutdown();
  // Waits until no call is in a handler, or the time-out passes; true when idle.
  bool WaitIdle(std::chrono::milliseconds timeout);

  grpc::Status ListVoices(grpc::ServerContext* context,
                          const google::cloud::texttospeech::v1::ListVoicesRequest* request,
                          google::cloud::texttospeech::v1::ListVoicesResponse* response) override;

  grpc::Status SynthesizeSpeech(
      grpc::ServerContext* context,
      const google::cloud::texttospeech::v1::SynthesizeSpeechRequest* request,
      google::cloud::texttospeech::v1::SynthesizeSpeechResponse* response) override;

  // The first message must carry only streaming_config, every later one
  // only input; a violation ends the stream with INVALID_ARGUMENT. Text is
  // spoken a sentence at a time: a sentence's audio goes out (in messages of
  // at most half a second) when the latency model says it is done.
  grpc::Status StreamingSynthesize(
      grpc::ServerContext* context,
      grpc::ServerReaderWriter<google::cloud::texttospeech::v1::StreamingSynthesizeResponse,
                               google::cloud::texttospeech::v1::StreamingSynthesizeRequest>* stream)
      override;

 private:
  // Counts a call in a handler for WaitIdle.
  class InFlight {
   public:
    explicit InFlight(TtsService& service);
    ~InFlight();
    InFlight(const InFlight&) = delete;
    InFlight& operator=(const InFlight&) = delete;

   private:
    TtsService& m_Service;
  };

  grpc::Status Authorize(grpc::ServerContext* context) const;
  // Waits out a scripted delay, or until a time; false when the call was
  // cancelled or the server is shutting down meanwhile.
  bool WaitDelay(grpc::ServerContext* context, std::chrono::milliseconds delay);
  // Carries out the plan's delay, drop or failure; true when that ended the
  // call, with its status and the fault's name for the log line.
  bool EndByFault(grpc::ServerContext* context, const FaultScript::Plan& plan,
                  grpc::Status* status, std::string* fault);
  bool WaitUntil(grpc::ServerContext* context, std::chrono::steady_clock::time_point until);
  grpc::Status Synthesize(const google::cloud::texttospeech::v1::SynthesizeSpeechRequest& request,
                          const AudioDamage& damage,
                          google::cloud::texttospeech::v1::SynthesizeSpeechResponse* response,
                          std::string* voice_name);
  void Log(const std::string& line) const;

  // What one stream did, for its log line.
  struct StreamTally {
    std::string voice_name;
    size_t messages = 0;
    size_t chunks = 0;
    size_t bytes = 0;
  };
  grpc::Status RunStream(
      grpc::ServerContext* context,
      grpc::ServerReaderWriter<google::cloud::texttospeech::v1::StreamingSynthesizeResponse,
                               google::cloud::texttospeech::v1::StreamingSynthesizeRequest>* stream,
      const FaultScript::Plan& plan,
      std::vector<google::cloud::texttospeech::v1::StreamingSynthesizeRequest>* received,
      StreamTally* tally);

  const Synthesizer& m_Synthesizer;
  FaultScript& m_Faults;
  const LatencyModel& m_Latency;
  CallCounters& m_Calls;
  ConnectionAcceptor& m_Acceptor;
  const JwtVerifier* m_Verifier;  // not owned; may be null
  const bool m_CheckAudience;
  const LogFunction m_Log;

  std::mutex m_StopMutex;  // guards m_Stopping and m_InFlight; m_StopCv signals both
  std::condition_variable m_StopCv;
  bool m_Stopping = false;
  int m_InFlight = 0;
};

// "OK", "INVALID_ARGUMENT", ... for a status code.
const char* StatusCodeName(grpc::StatusCode code);
// Accepts a name as above (any case) or a number 0..16.
bool ParseStatusCode(const std::string& text, grpc::StatusCode* code);

}  // namespace VxTts
