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
  m_Connections = 0;
  m_Requests.clear();
}

void CallCounters::RecordSynthesize(
    const google::cloud::texttospeech::v1::SynthesizeSpeechRequest& request) {
  std::lock_guard<std::mutex> lock(m_Mutex);
  ++m_SynthesizeCalls;
  m_Requests.push_back(request);
  if (m_Requests.size() > kMaxKeptRequests) m_Requests.pop_front();
}

void CallCounters::RecordListVoices() {
  std::lock_guard<std::mutex> lock(m_Mutex);
  ++m_ListVoicesCalls;
}

size_t CallCounters::Connections() const {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return m_Connections;
}

void CallCounters::RecordConnection() {
  std::lock_guard<std::mutex> lock(m_Mutex);
  ++m_Connections;
}

}  // namespace VxTts
