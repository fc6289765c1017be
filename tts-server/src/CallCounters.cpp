#include "CallCounters.h"

namespace VxTts {

size_t CallCounters::SynthesizeCalls() const {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return m_SynthesizeCalls;
}

size_t CallCounters::ListVoicesCalls() const {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return m_ListVoicesCalls;
}

std::vector<google::cloud::texttospeech::v1::SynthesizeSpeechRequest> CallCounters::Requests()
    const {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return {m_Requests.begin(), m_Requests.end()};
}

void CallCounters::ResetCounters() {
  std::lock_guard<std::mutex> lock(m_Mutex);
  m_SynthesizeCalls = 0;
  m_ListVoicesCalls = 0;
  m_StreamingCalls = 0;
  m_Requests.clear();
  m_Streams.clear();
}

void CallCounters::RecordSynthesize(
    const google::cloud::texttospeech::v1::SynthesizeSpeechRequest& request) {
  std::lock_guard<std::mutex> lock(m_Mutex);
  ++m_SynthesizeCalls;
  m_Requests.push_back(request);
  if (m_Requests.size() > kMaxKeptRequests) m_Requests.pop_front();
}

size_t CallCounters::StreamingCalls() const {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return m_StreamingCalls;
}

std::vector<std::vector<google::cloud::texttospeech::v1::StreamingSynthesizeRequest>>
CallCounters::StreamRequests() const {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return {m_Streams.begin(), m_Streams.end()};
}

void CallCounters::RecordStreamStart() {
  std::lock_guard<std::mutex> lock(m_Mutex);
  ++m_StreamingCalls;
}

void CallCounters::RecordStream(
    std::vector<google::cloud::texttospeech::v1::StreamingSynthesizeRequest> messages) {
  std::lock_guard<std::mutex> lock(m_Mutex);
  m_Streams.push_back(std::move(messages));
  if (m_Streams.size() > kMaxKeptRequests) m_Streams.pop_front();
}

void CallCounters::RecordListVoices() {
  std::lock_guard<std::mutex> lock(m_Mutex);
  ++m_ListVoicesCalls;
}

}  // namespace VxTts
