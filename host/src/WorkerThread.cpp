#include "WorkerThread.h"

#include <pthread.h>

#include <memory>

#include "vxhost/apt.h"

namespace vxhost {

WorkerThread::WorkerThread(std::string name) : m_Name(std::move(name)) {
  m_Thread = std::thread([this] { Run(); });
}

WorkerThread::~WorkerThread() { Stop(std::chrono::milliseconds(2000)); }

void WorkerThread::Post(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_Stopping) return;
    m_Jobs.push_back(std::move(job));
  }
  m_Cond.notify_all();
}

bool WorkerThread::Call(std::function<void()> job, std::chrono::milliseconds timeout) {
  struct Done {
    std::mutex mutex;
    std::condition_variable cond;
    bool done = false;
  };
  auto done = std::make_shared<Done>();
  Post([job = std::move(job), done] {
    job();
    {
      std::lock_guard<std::mutex> lock(done->mutex);
      done->done = true;
    }
    done->cond.notify_all();
  });
  std::unique_lock<std::mutex> lock(done->mutex);
  return done->cond.wait_for(lock, timeout, [&] { return done->done; });
}

bool WorkerThread::Stop(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(m_Mutex);
  if (!m_Thread.joinable()) return true;
  m_Stopping = true;
  m_Cond.notify_all();
  if (!m_Cond.wait_for(lock, timeout, [this] { return m_Finished; })) {
    apt_log(NULL, APT_LOG_MARK, APT_PRIO_WARNING, "Thread %s did not stop in time; left running",
            m_Name.c_str());
    m_Thread.detach();
    return false;
  }
  lock.unlock();
  m_Thread.join();
  return true;
}

void WorkerThread::Run() {
  pthread_setname_np(pthread_self(), m_Name.substr(0, 15).c_str());
  std::unique_lock<std::mutex> lock(m_Mutex);
  for (;;) {
    m_Cond.wait(lock, [this] { return m_Stopping || !m_Jobs.empty(); });
    if (m_Jobs.empty()) break;  // stopping, and every job posted before has run
    std::function<void()> job = std::move(m_Jobs.front());
    m_Jobs.pop_front();
    lock.unlock();
    try {
      job();
    } catch (const std::exception& e) {
      apt_log(NULL, APT_LOG_MARK, APT_PRIO_ERROR, "Job on %s failed: %s", m_Name.c_str(), e.what());
    } catch (...) {
      apt_log(NULL, APT_LOG_MARK, APT_PRIO_ERROR, "Job on %s failed", m_Name.c_str());
    }
    lock.lock();
  }
  m_Finished = true;
  m_Cond.notify_all();
}

}  // namespace vxhost
