#include "FaultScript.h"

namespace VxTts {

void FaultScript::SetDelay(std::chrono::milliseconds delay) {
  std::lock_guard<std::mutex> lock(m_Mutex);
  m_Delay = delay.count() > 0 ? delay : std::chrono::milliseconds(0);
}

void FaultScript::FailNext(int n, grpc::StatusCode code, std::string message) {
  std::lock_guard<std::mutex> lock(m_Mutex);
  m_FailCount = n > 0 ? n : 0;
  m_FailCode = code;
  m_FailMessage = std::move(message);
}

void FaultScript::SetEmptyAudio(bool on) {
  std::lock_guard<std::mutex> lock(m_Mutex);
  m_EmptyAudio = on;
}

void FaultScript::SetCutHeader(bool on) {
  std::lock_guard<std::mutex> lock(m_Mutex);
  m_CutHeader = on;
}

void FaultScript::SetExtraChunks(bool on) {
  std::lock_guard<std::mutex> lock(m_Mutex);
  m_ExtraChunks = on;
}

void FaultScript::DropNext(int n) {
  std::lock_guard<std::mutex> lock(m_Mutex);
  m_DropCount = n > 0 ? n : 0;
}

void FaultScript::BreakNextStream(int chunks, grpc::StatusCode code, std::string message) {
  std::lock_guard<std::mutex> lock(m_Mutex);
  m_BreakAfter = chunks < 0 ? -1 : chunks;
  m_BreakStatus = grpc::Status(code == grpc::StatusCode::OK ? grpc::StatusCode::UNKNOWN : code,
                               std::move(message));
}

void FaultScript::Clear() {
  std::lock_guard<std::mutex> lock(m_Mutex);
  m_Delay = std::chrono::milliseconds(0);
  m_FailCount = 0;
  m_FailMessage.clear();
  m_DropCount = 0;
  m_EmptyAudio = m_CutHeader = m_ExtraChunks = false;
  m_BreakAfter = -1;
}

FaultScript::Plan FaultScript::TakePlan(bool stream) {
  std::lock_guard<std::mutex> lock(m_Mutex);
  Plan plan;
  plan.delay = m_Delay;
  if (m_DropCount > 0) {
    --m_DropCount;
    plan.drop = true;
  } else if (m_FailCount > 0) {
    --m_FailCount;
    plan.fail = true;
    // OK would read as a successful call with no reply; keep it a failure.
    plan.status = grpc::Status(
        m_FailCode == grpc::StatusCode::OK ? grpc::StatusCode::UNKNOWN : m_FailCode, m_FailMessage);
  }
  plan.empty_audio = m_EmptyAudio;
  plan.cut_header = m_CutHeader;
  plan.extra_chunks = m_ExtraChunks;
  if (stream && m_BreakAfter >= 0) {
    plan.break_after = m_BreakAfter;
    plan.break_status = m_BreakStatus;
    m_BreakAfter = -1;
  }
  return plan;
}

}  // namespace VxTts
