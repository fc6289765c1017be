#include "Task.h"

#include "Channel.h"
#include "Plugin.h"
#include "PluginBindings.h"
#include "SharedSynthesis.h"

namespace VXS {

namespace {

apt_bool_t TaskNoopTerminate(apt_task_t*) { return TRUE; }
apt_bool_t TaskNoopSignal(apt_task_t*, apt_task_msg_t*) { return TRUE; }
void TaskNoopNotify(apt_task_t*) {}
apt_bool_t TaskRun(apt_task_t* task) { return RunTask(task) ? TRUE : FALSE; }

}  // namespace

Task::Task(const std::string& name) : m_Name(name), m_HostTask(nullptr) {}

Task::~Task() { Destroy(); }

bool Task::Create(apr_pool_t* pool) {
  m_HostTask = apt_task_create(this, nullptr, pool);
  if (!m_HostTask) return false;
  apt_task_name_set(m_HostTask, m_Name.c_str());
  if (apt_task_vtable_t* vtable = apt_task_vtable_get(m_HostTask)) {
    vtable->terminate = TaskNoopTerminate;
    vtable->run = TaskRun;
    vtable->signal_msg = TaskNoopSignal;
    vtable->on_start_complete = TaskNoopNotify;
    vtable->on_terminate_complete = TaskNoopNotify;
  }
  return true;
}

bool Task::Start() {
  if (!m_HostTask) return false;
  apt_task_start(m_HostTask);
  return true;
}

bool Task::Terminate() {
  if (!m_HostTask) return false;
  m_Queue.Shutdown();
  apt_task_terminate(m_HostTask, TRUE);
  return true;
}

void Task::Destroy() {
  if (m_HostTask) {
    apt_task_destroy(m_HostTask);
    m_HostTask = nullptr;
  }
}

void Task::Run() {
  void* tag = nullptr;
  bool ok = false;
  // Every completion is handed over as a posted event; the queue is drained
  // to the end after Shutdown, so no operation outlives the thread.
  while (m_Queue.Next(&tag, &ok)) OnCompletion(tag, ok);
  apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Completion Queue Shutdown");
}

bool Task::OnCompletion(void* tag, bool ok) {
  // A completion that cannot be handed over is logged and dropped: the loop
  // must go on draining the queue, and an exception would end the thread.
  try {
    Tag* call_tag = static_cast<Tag*>(tag);
    Channel* channel = call_tag ? call_tag->m_Channel.load() : nullptr;
    if (channel) {
      channel->SignalGrpcEvent(call_tag, ok);
    } else if (SharedSynthesis* call = call_tag ? call_tag->m_Call.load() : nullptr) {
      call->SignalCompletion(ok);
    }
    return true;
  } catch (...) {
    LogCurrentException("Failed to Signal gRPC Event");
    return false;
  }
}

bool RunTask(apt_task_t* task) {
  try {
    Task* object = static_cast<Task*>(apt_task_object_get(task));
    if (object) object->Run();
    return true;
  } catch (...) {
    LogCurrentException("Failed to Run Task");
    return false;
  }
}

}  // namespace VXS
