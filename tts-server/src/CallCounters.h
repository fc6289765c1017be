#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <vector>

#include "google/cloud/texttospeech/v1/cloud_tts.pb.h"

namespace VxTts {

// Counts the calls the service received (every call, including those later
// rejected) and keeps copies of the latest SynthesizeSpeech requests, so a
// test can prove that a call was or was not made. Thread-safe. Owned by
// TtsServer.
class CallCounters {
 public:
  // Requests kept; older ones are forgotten so a long run stays bounded.
  static constexpr size_t kMaxKeptRequests = 1000;

  CallCounters() = default;
  CallCounters(const CallCounters&) = delete;
  CallCounters& operator=(const CallCounters&) = delete;

  size_t SynthesizeCalls() const;
  size_t ListVoicesCalls() const;
  // Streams opened (counted when they open).
  size_t StreamingCalls() const;
  // The messages of the latest streams (one list per stream, in the order
  // received), oldest stream first; a stream is recorded when it ends.
  std::vector<std::vector<google::cloud::texttospeech::v1::StreamingSynthesizeRequest>>
  StreamRequests() const;
  // The latest SynthesizeSpeech requests, oldest first.
  std::vector<google::cloud::texttospeech::v1::SynthesizeSpeechRequest> Requests() const;
  void ResetCounters();

  void RecordSynthesize(const google::cloud::texttospeech::v1::SynthesizeSpeechRequest& request);
  void RecordListVoices();
  void RecordStreamStart();
  void RecordStream(
      std::vector<google::cloud::texttospeech::v1::StreamingSynthesizeRequest> messages);

 private:
  mutable std::mutex m_Mutex;  // guards every field below
  size_t m_SynthesizeCalls = 0;
  size_t m_ListVoicesCalls = 0;
  size_t m_StreamingCalls = 0;
  std::deque<std::vector<google::cloud::texttospeech::v1::StreamingSynthesizeRequest>> m_Streams;
  std::deque<google::cloud::texttospeech::v1::SynthesizeSpeechRequest> m_Requests;
};

}  // namespace VxTts
