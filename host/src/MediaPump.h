// The host's media thread: reads one frame of every readable channel per pass.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace vxhost {

class Channel;

// Add() and Remove() may be called from any thread, also from inside a
// read (a module answering close from its read_frame). Channels are not
// owned; they outlive the pump (the kit keeps them until it is destroyed).
// Stop() joins the thread, or detaches it and returns false when a read
// does not return in time; the owner must then stay allocated.
class MediaPump {
 public:
  // `read` performs one read of a channel and tells whether it gave audio;
  // `late`: the read comes more than a frame after its time on the
  // real-time schedule.
  using ReadFunction = bool (*)(Channel*, bool late);

  MediaPump(bool realtime, ReadFunction read);
  ~MediaPump();

  MediaPump(const MediaPump&) = delete;
  MediaPump& operator=(const MediaPump&) = delete;

  void Add(Channel* channel);
  void Remove(Channel* channel);
  // Returns once no pass that may still hold a removed channel is running
  // (at once when the thread has stopped). Never from inside a read.
  void WaitPassEnd();
  bool Stop(std::chrono::milliseconds timeout);

 private:
  void Run();
  // `due`: when the pass was to start on the real-time schedule.
  bool ReadPass(std::chrono::steady_clock::time_point due);

  static constexpr std::chrono::milliseconds kFrame{20};
  static constexpr std::chrono::milliseconds kIdleRest{1};
  // A real-time schedule this far behind starts afresh instead of bursting.
  static constexpr std::chrono::milliseconds kMaxLag{100};

  const bool m_Realtime;
  const ReadFunction m_Read;
  std::mutex m_Mutex;  // guards the fields below
  std::condition_variable m_Cond;
  std::vector<Channel*> m_Channels;
  bool m_Stopping = false;
  bool m_Finished = false;
  uint64_t m_PassStarts = 0;
  uint64_t m_PassEnds = 0;
  std::thread m_Thread;
};

}  // namespace vxhost
