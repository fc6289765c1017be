// Tasks of the host toolkit (apt.h): one APR thread per task.
//
// apt_task_start calls the start slot (when set) on the caller's thread, then
// starts the thread, which calls on_start_complete, run (or, without a run
// slot, waits until the task is terminated) and on_terminate_complete.
// apt_task_terminate calls the terminate slot and, with wait, joins the
// thread. The task lives until apt_task_destroy or until its pool is
// destroyed, whichever comes first; both join a thread still running.

#include <pthread.h>
#include <stdio.h>

#include <condition_variable>
#include <mutex>
#include <new>
#include <string>

#include <apr_thread_proc.h>

#include "vxhost/apt.h"

struct apt_task_t {
  void* obj = nullptr;
  apt_task_vtable_t vtable = {};
  apr_pool_t* parent = nullptr;  // the creator's pool, where the clean-up is registered
  apr_pool_t* pool = nullptr;    // the task's own sub-pool; the thread is made in it

  std::mutex mutex;  // guards the fields below
  std::condition_variable cond;
  std::string name;
  apr_thread_t* thread = nullptr;  // set once started
  pthread_t thread_id = {};
  bool has_thread_id = false;
  bool terminate_requested = false;
  bool joining = false;
  bool joined = false;
};

namespace {

void RunTaskBody(apt_task_t* task) {
  char name[16] = "";
  {
    std::lock_guard<std::mutex> lock(task->mutex);
    task->thread_id = pthread_self();
    task->has_thread_id = true;
    snprintf(name, sizeof(name), "%s", task->name.c_str());
  }
  if (name[0]) pthread_setname_np(pthread_self(), name);

  if (task->vtable.on_start_complete) task->vtable.on_start_complete(task);
  if (task->vtable.run) {
    task->vtable.run(task);
  } else {
    std::unique_lock<std::mutex> lock(task->mutex);
    task->cond.wait(lock, [task] { return task->terminate_requested; });
  }
  if (task->vtable.on_terminate_complete) task->vtable.on_terminate_complete(task);
}

void* APR_THREAD_FUNC TaskBody(apr_thread_t* thread, void* data) {
  apt_task_t* task = static_cast<apt_task_t*>(data);
  try {
    RunTaskBody(task);
  } catch (...) {
    apt_log(NULL, APT_LOG_MARK, APT_PRIO_ERROR, "Task Thread Failed");
  }
  // Returning ends the thread; apr_thread_exit would leave the thread's
  // stack in a state the address sanitizer reports in optimised builds.
  (void)thread;
  return nullptr;
}

bool OnTaskThread(apt_task_t* task) {
  return task->has_thread_id && pthread_equal(task->thread_id, pthread_self());
}

// Joins the thread once; concurrent callers wait for the first one. A call
// from the task's own thread returns at once (it cannot join itself).
void JoinTask(apt_task_t* task) {
  std::unique_lock<std::mutex> lock(task->mutex);
  if (!task->thread || task->joined || OnTaskThread(task)) return;
  if (task->joining) {
    task->cond.wait(lock, [task] { return task->joined; });
    return;
  }
  task->joining = true;
  apr_thread_t* thread = task->thread;
  lock.unlock();
  apr_status_t thread_status = APR_SUCCESS;
  apr_thread_join(&thread_status, thread);
  lock.lock();
  task->joined = true;
  lock.unlock();
  task->cond.notify_all();
}

// Asks the task to end: wakes a task without run and calls the terminate
// slot, once.
void RequestTermination(apt_task_t* task) {
  {
    std::lock_guard<std::mutex> lock(task->mutex);
    if (task->terminate_requested) return;
    task->terminate_requested = true;
  }
  task->cond.notify_all();
  if (task->vtable.terminate) task->vtable.terminate(task);
}

void ReleaseTask(apt_task_t* task) {
  {
    std::lock_guard<std::mutex> lock(task->mutex);
    const bool running = task->thread && !task->joined;
    if (running && OnTaskThread(task)) return;  // cannot free the memory it runs on
  }
  bool started;
  {
    std::lock_guard<std::mutex> lock(task->mutex);
    started = task->thread != nullptr;
  }
  if (started) {
    RequestTermination(task);
    JoinTask(task);
  }
  if (task->vtable.destroy) task->vtable.destroy(task);
  apr_pool_destroy(task->pool);
  delete task;
}

apr_status_t TaskPoolCleanup(void* data) {
  ReleaseTask(static_cast<apt_task_t*>(data));
  return APR_SUCCESS;
}

}  // namespace

extern "C" {

APT_DECLARE(apt_task_t*) apt_task_create(void* obj, apt_task_msg_pool_t* msg_pool,
                                         apr_pool_t* pool) {
  (void)msg_pool;  // tasks of this host take no messages
  if (!pool) return NULL;
  apt_task_t* task = new (std::nothrow) apt_task_t();
  if (!task) return NULL;
  if (apr_pool_create(&task->pool, pool) != APR_SUCCESS) {
    delete task;
    return NULL;
  }
  task->obj = obj;
  task->parent = pool;
  // A pre-clean-up runs before the parent's sub-pools go, so the thread is
  // joined while its own pool still exists.
  apr_pool_pre_cleanup_register(pool, task, TaskPoolCleanup);
  return task;
}

APT_DECLARE(apt_task_vtable_t*) apt_task_vtable_get(apt_task_t* task) {
  return task ? &task->vtable : NULL;
}

APT_DECLARE(void*) apt_task_object_get(const apt_task_t* task) { return task ? task->obj : NULL; }

APT_DECLARE(void) apt_task_name_set(apt_task_t* task, const char* name) {
  if (!task) return;
  std::lock_guard<std::mutex> lock(task->mutex);
  try {
    task->name = name ? name : "";
  } catch (...) {
    task->name.clear();  // out of memory: the task stays unnamed
  }
}

APT_DECLARE(apt_bool_t) apt_task_start(apt_task_t* task) {
  if (!task) return FALSE;
  {
    std::lock_guard<std::mutex> lock(task->mutex);
    if (task->thread) return FALSE;  // a task runs once
  }
  if (task->vtable.start && !task->vtable.start(task)) return FALSE;
  std::lock_guard<std::mutex> lock(task->mutex);
  if (task->thread) return FALSE;
  apr_thread_t* thread = nullptr;
  if (apr_thread_create(&thread, NULL, TaskBody, task, task->pool) != APR_SUCCESS) return FALSE;
  task->thread = thread;
  return TRUE;
}

APT_DECLARE(apt_bool_t) apt_task_terminate(apt_task_t* task, apt_bool_t wait) {
  if (!task) return FALSE;
  RequestTermination(task);
  if (wait) JoinTask(task);
  return TRUE;
}

APT_DECLARE(apt_bool_t) apt_task_destroy(apt_task_t* task) {
  if (!task) return FALSE;
  {
    std::lock_guard<std::mutex> lock(task->mutex);
    if (task->thread && !task->joined && OnTaskThread(task)) return FALSE;
  }
  apr_pool_cleanup_kill(task->parent, task, TaskPoolCleanup);
  ReleaseTask(task);
  return TRUE;
}

}  // extern "C"
