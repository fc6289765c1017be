// The kit's side of a channel (HostKit.h): what the module sent back on it.

#include <string.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <thread>

#include "vxhost/HostKit.h"

namespace vxhost {
namespace {

// 20 ms of 16-bit mono PCM.
size_t FrameBytes(uint16_t sampling_rate) { return static_cast<size_t>(sampling_rate) / 50 * 2; }

}  // namespace

std::string NewSessionId() {
  static std::mutex mutex;
  static std::mt19937_64 engine{std::random_device{}()};
  uint64_t value;
  {
    std::lock_guard<std::mutex> lock(mutex);
    value = engine();
  }
  char text[17];
  snprintf(text, sizeof(text), "%016llX", static_cast<unsigned long long>(value));
  return text;
}

Channel::Channel(std::string id, uint16_t sampling_rate, apr_pool_t* pool)
    : m_Id(std::move(id)),
      m_SamplingRate(sampling_rate),
      m_FrameSize(FrameBytes(sampling_rate)),
      m_Pool(pool),
      m_FrameBuffer(FrameBytes(sampling_rate)) {}

bool Channel::ReadFrame(bool late) {
  std::lock_guard<std::mutex> read_lock(m_ReadMutex);
  if (!m_Readable.load()) return false;
  mpf_audio_stream_t* stream =
      m_Record && m_Record->termination ? m_Record->termination->audio_stream : nullptr;
  if (!stream || !stream->vtable || !stream->vtable->read_frame) return false;

  memset(m_FrameBuffer.data(), 0, m_FrameBuffer.size());
  mpf_frame_t frame;
  frame.type = MEDIA_FRAME_TYPE_NONE;
  frame.marker = 0;
  frame.codec_frame.buffer = m_FrameBuffer.data();
  frame.codec_frame.size = m_FrameBuffer.size();
  m_Reader.store(std::this_thread::get_id());
  stream->vtable->read_frame(stream, &frame);
  m_Reader.store(std::thread::id());

  const bool audio = (frame.type & MEDIA_FRAME_TYPE_AUDIO) != 0;
  {
    std::lock_guard<std::mutex> lock(m_AudioMutex);
    if (late) ++m_LateFrames;
    if (audio) {
      // Silence between two frames of one SPEAK: its audio was late.
      m_Underruns += m_GapFrames;
      m_GapFrames = 0;
      m_AfterAudio = true;
      const size_t bytes = std::min(frame.codec_frame.size, m_FrameBuffer.size());
      m_Audio.insert(m_Audio.end(), m_FrameBuffer.begin(),
                     m_FrameBuffer.begin() + static_cast<long>(bytes));
      m_AudioBytesKept += bytes;
      ++m_AudioFrames;
    } else {
      ++m_IdleFrames;
      if (m_AfterAudio && !m_Paused) ++m_GapFrames;
    }
  }
  m_AudioCond.notify_all();

  // What the module answered during the read comes after the read's audio
  // (and ends the gap counted above when it ends the SPEAK).
  std::vector<std::function<void()>> after;
  after.swap(m_AfterRead);
  for (auto& job : after) job();
  return audio;
}

void Channel::AfterRead(std::function<void()> job) {
  if (m_Reader.load() == std::this_thread::get_id()) {
    m_AfterRead.push_back(std::move(job));  // on the media thread, inside ReadFrame
  } else {
    job();
  }
}

void Channel::OnMessage(ReceivedMessage message) {
  {
    std::lock_guard<std::mutex> lock(m_AudioMutex);
    message.audio_bytes = m_AudioBytesKept;
    // Any message but a marker ends or restarts what plays: silence up to
    // here was no underrun.
    if (message.method_name != "SPEECH-MARKER" &&
        message.request_state != MRCP_REQUEST_STATE_PENDING) {
      m_GapFrames = 0;
      m_AfterAudio = false;
    }
  }
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Messages.push_back(std::move(message));
    ++m_ReceivedCount;
  }
  m_Cond.notify_all();
}

mrcp_request_id Channel::NextRequestId(mrcp_request_id wanted) {
  if (wanted == 0) return m_NextRequestId.fetch_add(1);
  // Later automatic ids go past every id a caller chose.
  mrcp_request_id next = m_NextRequestId.load();
  while (next <= wanted && !m_NextRequestId.compare_exchange_weak(next, wanted + 1)) {
  }
  return wanted;
}

bool Channel::WaitMessage(ReceivedMessage* out, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(m_Mutex);
  if (!m_Cond.wait_for(lock, timeout, [this] { return !m_Messages.empty(); })) return false;
  if (out) *out = std::move(m_Messages.front());
  m_Messages.pop_front();
  return true;
}

size_t Channel::PendingMessages() const {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return m_Messages.size();
}

bool Channel::ExpectNoMessage(std::chrono::milliseconds period) {
  std::unique_lock<std::mutex> lock(m_Mutex);
  return !m_Cond.wait_for(lock, period, [this] { return !m_Messages.empty(); });
}

size_t Channel::ReceivedMessages() const {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return m_ReceivedCount;
}

std::vector<char> Channel::Audio() const {
  std::lock_guard<std::mutex> lock(m_AudioMutex);
  return m_Audio;
}

std::vector<char> Channel::TakeAudio() {
  std::vector<char> taken;
  std::lock_guard<std::mutex> lock(m_AudioMutex);
  taken.swap(m_Audio);
  return taken;
}

size_t Channel::AudioBytes() const {
  std::lock_guard<std::mutex> lock(m_AudioMutex);
  return m_Audio.size();
}

size_t Channel::AudioFrames() const {
  std::lock_guard<std::mutex> lock(m_AudioMutex);
  return m_AudioFrames;
}

size_t Channel::Underruns() const {
  std::lock_guard<std::mutex> lock(m_AudioMutex);
  return m_Underruns;
}

size_t Channel::LateFrames() const {
  std::lock_guard<std::mutex> lock(m_AudioMutex);
  return m_LateFrames;
}

void Channel::SetPaused(bool paused) {
  std::lock_guard<std::mutex> lock(m_AudioMutex);
  m_Paused = paused;
  m_GapFrames = 0;
}

size_t Channel::IdleFrames() const {
  std::lock_guard<std::mutex> lock(m_AudioMutex);
  return m_IdleFrames;
}

bool Channel::WaitAudioBytes(size_t bytes, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(m_AudioMutex);
  return m_AudioCond.wait_for(lock, timeout, [&] { return m_Audio.size() >= bytes; });
}

bool Channel::WaitFrames(size_t frames, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(m_AudioMutex);
  return m_AudioCond.wait_for(lock, timeout,
                              [&] { return m_AudioFrames + m_IdleFrames >= frames; });
}

void Channel::ClearAudio() {
  std::lock_guard<std::mutex> lock(m_AudioMutex);
  m_Audio.clear();
  m_AudioBytesKept = 0;
  m_AudioFrames = 0;
  m_IdleFrames = 0;
}

int Channel::OpenResponses() const {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return m_OpenResponses;
}

int Channel::CloseResponses() const {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return m_CloseResponses;
}

bool Channel::OpenStatus() const {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return m_OpenStatus;
}

bool Channel::IsDestroyed() const {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return m_Destroyed;
}

}  // namespace vxhost
