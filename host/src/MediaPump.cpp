#include "MediaPump.h"

#include <pthread.h>

#include <algorithm>

#include "vxhost/apt.h"

namespace vxhost {

constexpr std::chrono::milliseconds MediaPump::kFrame;
constexpr std::chrono::milliseconds MediaPump::kIdleRest;
constexpr std::chrono::milliseconds MediaPump::kMaxLag;

MediaPump::MediaPump(bool realtime, ReadFunction read) : m_Realtime(realtime), m_Read(read) {
  m_Thread = std::thread([this] { Run(); });
}

MediaPump::~MediaPump() { Stop(std::chrono::milliseconds(2000)); }

void MediaPump::Add(Channel* channel) {
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (std::find(m_Channels.begin(), m_Channels.end(), channel) == m_Channels.end()) {
      m_Channels.push_back(channel);
    }
  }
  m_Cond.notify_all();
}

void MediaPump::Remove(Channel* channel) {
  std::lock_guard<std::mutex> lock(m_Mutex);
  m_Channels.erase(std::remove(m_Channels.begin(), m_Channels.end(), channel), m_Channels.end());
}

void MediaPump::WaitPassEnd() {
  std::unique_lock<std::mutex> lock(m_Mutex);
  const uint64_t started = m_PassStarts;
  m_Cond.wait(lock, [&] { return m_PassEnds >= started || m_Finished || !m_Thread.joinable(); });
}

bool MediaPump::Stop(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(m_Mutex);
  if (!m_Thread.joinable()) return true;
  m_Stopping = true;
  m_Cond.notify_all();
  if (!m_Cond.wait_for(lock, timeout, [this] { return m_Finished; })) {
    apt_log(NULL, APT_LOG_MARK, APT_PRIO_WARNING,
            "Media thread did not stop in time (a read_frame did not return); left running");
    m_Thread.detach();
    return false;
  }
  lock.unlock();
  m_Thread.join();
  return true;
}

bool MediaPump::ReadPass(std::chrono::steady_clock::time_point due) {
  std::vector<Channel*> channels;
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    channels = m_Channels;
  }
  bool audio = false;
  const auto late_after = due + kFrame;
  for (Channel* channel : channels) {
    const bool late = m_Realtime && std::chrono::steady_clock::now() > late_after;
    if (m_Read(channel, late)) audio = true;
  }
  return audio;
}

void MediaPump::Run() {
  pthread_setname_np(pthread_self(), "vx-media");
  using Clock = std::chrono::steady_clock;
  Clock::time_point next = Clock::now();
  std::unique_lock<std::mutex> lock(m_Mutex);
  while (!m_Stopping) {
    if (m_Channels.empty()) {
      m_Cond.wait(lock, [this] { return m_Stopping || !m_Channels.empty(); });
      next = Clock::now();
      continue;
    }
    ++m_PassStarts;
    lock.unlock();
    bool audio = false;
    try {
      audio = ReadPass(next);
    } catch (...) {
      apt_log(NULL, APT_LOG_MARK, APT_PRIO_ERROR, "Media pass failed");
    }
    lock.lock();
    ++m_PassEnds;
    m_Cond.notify_all();
    if (m_Realtime) {
      next += kFrame;
      const Clock::time_point now = Clock::now();
      if (now - next > kMaxLag) next = now;
      m_Cond.wait_until(lock, next, [this] { return m_Stopping; });
    } else if (!audio) {
      m_Cond.wait_for(lock, kIdleRest, [this] { return m_Stopping; });
    }
  }
  m_Finished = true;
  m_Cond.notify_all();
}

}  // namespace vxhost
