// KitCore: construction and shutdown, the module and its engine. The
// channels are in KitCoreChannels.cpp.

#include "KitCore.h"

#include <dlfcn.h>

#include <apr_file_info.h>
#include <apr_file_io.h>
#include <apr_strings.h>

namespace vxhost {
namespace {

using std::chrono::milliseconds;

long long Ms(milliseconds duration) { return static_cast<long long>(duration.count()); }

KitCore* CoreOf(mrcp_engine_t* engine) {
  return engine ? static_cast<KitCore*>(engine->event_obj) : nullptr;
}

// The engine record's event tables. No exception may leave them: they are
// called from the module's C code.

apt_bool_t EngineOnOpen(mrcp_engine_t* engine, apt_bool_t status) {
  try {
    KitCore* core = CoreOf(engine);
    if (!core) return FALSE;
    core->OnEngineOpen(engine, status != FALSE);
    return TRUE;
  } catch (...) {
    return FALSE;
  }
}

apt_bool_t EngineOnClose(mrcp_engine_t* engine) {
  try {
    KitCore* core = CoreOf(engine);
    if (!core) return FALSE;
    core->OnEngineClose(engine);
    return TRUE;
  } catch (...) {
    return FALSE;
  }
}

const mrcp_engine_event_vtable_t kEngineEvents = {EngineOnOpen, EngineOnClose};

// An engine the kit does not drive (a second mrcp_plugin_create).
apt_bool_t StrayEngineOnOpen(mrcp_engine_t*, apt_bool_t status) {
  apt_log(NULL, APT_LOG_MARK, APT_PRIO_WARNING,
          "Open response [%d] from an engine the kit does not drive", status);
  return TRUE;
}

apt_bool_t StrayEngineOnClose(mrcp_engine_t*) {
  apt_log(NULL, APT_LOG_MARK, APT_PRIO_WARNING,
          "Close response from an engine the kit does not drive");
  return TRUE;
}

const mrcp_engine_event_vtable_t kStrayEngineEvents = {StrayEngineOnOpen, StrayEngineOnClose};

std::string ModuleName(const std::string& path) {
  std::string name = path.substr(path.find_last_of('/') + 1);
  if (name.compare(0, 3, "lib") == 0 && name.size() > 3) name.erase(0, 3);
  const size_t dot = name.find('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  return name;
}

// One kind of request of the engine, open or close, with its counters:
// each request ends in a response (counted by the kit's On* callback) or a
// refusal (the method returned FALSE).
struct EngineRequest {
  apt_bool_t (*mrcp_engine_method_vtable_t::*method)(mrcp_engine_t*);
  int* requests;
  int* responses;
  int* refusals;
  const bool* status;  // what the last response said; null: it says nothing
};

// Calls the request's method of `engine` on `thread` and waits up to
// `timeout` for the answer. `mutex` guards the counters and `cond` wakes on
// their change. False on time-out; otherwise *accepted is true when the
// method took the request and the response's status, if any, is true.
bool AskEngine(mrcp_engine_t* engine, const EngineRequest& request, WorkerThread& thread,
               std::mutex& mutex, std::condition_variable& cond, milliseconds timeout,
               bool* accepted) {
  int responses;
  int refusals;
  {
    std::lock_guard<std::mutex> lock(mutex);
    ++*request.requests;
    responses = *request.responses;
    refusals = *request.refusals;
  }
  // The job may run after a time-out: it holds only the engine and the
  // kit's members, which stay allocated while the thread may still run.
  const auto method = request.method;
  int* const refusal_count = request.refusals;
  thread.Post([engine, method, refusal_count, &mutex, &cond] {
    const auto call = engine->method_vtable->*method;
    if (call && call(engine)) return;
    {
      std::lock_guard<std::mutex> lock(mutex);
      ++*refusal_count;
    }
    cond.notify_all();
  });
  std::unique_lock<std::mutex> lock(mutex);
  if (!cond.wait_for(lock, timeout, [&] {
        return *request.responses > responses || *request.refusals > refusals;
      })) {
    return false;
  }
  *accepted = *request.refusals == refusals && (!request.status || *request.status);
  return true;
}

}  // namespace

KitCore::KitCore(HostKit::Options options)
    : m_Options(std::move(options)), m_Media(m_Options.realtime, &KitCore::ReadChannel) {
  apr_initialize();
  m_PreviousLogPriority = LogPriority();
  m_PreviousLogStream = LogStream();
  SetLogPriority(m_Options.log_priority);
  SetLogStream(m_Options.log_stream);
  apr_pool_create(&m_Pool, NULL);
  const char* root = m_Options.root_dir.empty() ? "." : m_Options.root_dir.c_str();
  m_Layout = apt_default_dir_layout_create(root, m_Pool);
  MakeDirectories();
}

KitCore::~KitCore() {
  // Only reached after a clean Shutdown(): nothing runs module code any more.
  apr_pool_destroy(m_Pool);
  apr_terminate();
}

void KitCore::MakeDirectories() {
  const char* status_dir = apt_vardir_filepath_get(m_Layout, "status", m_Pool);
  const char* dirs[] = {apt_dir_layout_path_get(m_Layout, APT_LAYOUT_CONF_DIR),
                        apt_dir_layout_path_get(m_Layout, APT_LAYOUT_PLUGIN_DIR),
                        apt_dir_layout_path_get(m_Layout, APT_LAYOUT_LOG_DIR),
                        apt_dir_layout_path_get(m_Layout, APT_LAYOUT_DATA_DIR),
                        apt_dir_layout_path_get(m_Layout, APT_LAYOUT_VAR_DIR), status_dir};
  for (const char* dir : dirs) {
    const apr_status_t status = apr_dir_make_recursive(dir, APR_OS_DEFAULT, m_Pool);
    if (status != APR_SUCCESS) {
      char reason[256];
      apt_log(NULL, APT_LOG_MARK, APT_PRIO_ERROR, "Failed to Make Directory %s: %s", dir,
              apr_strerror(status, reason, sizeof(reason)));
      m_Ok = false;
    }
  }
}

bool KitCore::Shutdown() {
  SetTranscriptCallback(nullptr);
  UnloadModule();
  bool clean = !m_Abandoned;
  if (!m_Media.Stop(m_Options.shutdown_timeout)) clean = false;
  if (!m_SignalThread.Stop(m_Options.shutdown_timeout)) clean = false;
  if (!m_EngineThread.Stop(m_Options.shutdown_timeout)) clean = false;
  if (!clean) m_Abandoned = true;
  // The caller's stream may be closed once the kit is gone.
  SetLogStream(m_PreviousLogStream);
  SetLogPriority(m_PreviousLogPriority);
  return clean;
}

void KitCore::Abandon(const char* reason) {
  if (!m_Abandoned) {
    apt_log(NULL, APT_LOG_MARK, APT_PRIO_WARNING,
            "%s: the module stays loaded and its memory allocated", reason);
  }
  m_Abandoned = true;
}

// ------------------------------------------------------------------ module

bool KitCore::LoadModule(const std::string& path, std::string* error) {
  std::string reason;
  auto fail = [&](const std::string& text, void* library) {
    if (library) dlclose(library);
    apt_log(NULL, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Load Module %s: %s", path.c_str(),
            text.c_str());
    if (error) *error = text;
    return false;
  };
  if (m_Library) return fail("a module is already loaded", nullptr);

  dlerror();
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    const char* text = dlerror();
    return fail(text ? text : "dlopen failed", nullptr);
  }
  const auto* version =
      static_cast<const mrcp_plugin_version_t*>(dlsym(library, MRCP_PLUGIN_VERSION_SYM_NAME));
  if (!version) return fail("no " MRCP_PLUGIN_VERSION_SYM_NAME " exported", library);
  if (version->major != MRCP_PLUGIN_VERSION_MAJOR || version->minor < 0 ||
      version->minor > MRCP_PLUGIN_VERSION_MINOR) {
    return fail("plug-in interface version " + std::to_string(version->major) + "." +
                    std::to_string(version->minor) + "." + std::to_string(version->patch) +
                    " is not supported",
                library);
  }
  auto creator =
      reinterpret_cast<mrcp_plugin_creator_f>(dlsym(library, MRCP_PLUGIN_ENGINE_SYM_NAME));
  if (!creator) return fail("no " MRCP_PLUGIN_ENGINE_SYM_NAME " exported", library);

  auto logger_set =
      reinterpret_cast<mrcp_plugin_log_accessor_f>(dlsym(library, MRCP_PLUGIN_LOGGER_SYM_NAME));
  if (logger_set) logger_set(apt_log_instance_get());
  auto source_set = reinterpret_cast<mrcp_plugin_log_source_accessor_f>(
      dlsym(library, MRCP_PLUGIN_LOG_SOURCE_SYM_NAME));
  if (source_set) source_set(apt_def_log_source_get());

  apr_pool_t* engine_pool = nullptr;
  apr_pool_create(&engine_pool, m_Pool);
  mrcp_engine_t* engine = creator(engine_pool);
  if (!engine) {
    apr_pool_destroy(engine_pool);
    return fail("the module created no engine", library);
  }
  if (engine->resource_id != MRCP_SYNTHESIZER_RESOURCE) {
    apt_log(NULL, APT_LOG_MARK, APT_PRIO_WARNING, "Module %s made an engine of resource %d",
            path.c_str(), static_cast<int>(engine->resource_id));
  }
  m_Library = library;
  m_ModuleName = ModuleName(path);
  m_Creator = creator;
  m_EnginePool = engine_pool;
  m_Engine = engine;
  m_EngineDestroyed = false;
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_EngineOpenRequests = m_EngineOpenResponses = m_EngineOpenRefusals = 0;
    m_EngineCloseRequests = m_EngineCloseResponses = m_EngineCloseRefusals = 0;
    m_EngineOpenStatus = m_EngineIsOpen = false;
  }
  PrepareEngineRecord(engine, engine_pool, true);
  apt_log(NULL, APT_LOG_MARK, APT_PRIO_INFO, "Loaded Module %s, interface version %d.%d.%d",
          path.c_str(), version->major, version->minor, version->patch);
  return true;
}

mrcp_engine_t* KitCore::CreateEngine() {
  if (!m_Creator) return nullptr;
  // A pool of its own: the driven engine's pool may be in use by the module.
  apr_pool_t* pool = nullptr;
  apr_pool_create(&pool, m_Pool);
  mrcp_engine_t* engine = m_Creator(pool);
  if (engine) PrepareEngineRecord(engine, pool, false);
  return engine;
}

void KitCore::PrepareEngineRecord(mrcp_engine_t* engine, apr_pool_t* pool, bool driven) {
  engine->id = apr_pstrdup(pool, m_ModuleName.c_str());
  engine->dir_layout = m_Layout;
  engine->event_vtable = driven ? &kEngineEvents : &kStrayEngineEvents;
  engine->event_obj = this;
  if (!engine->config_params) engine->config_params = apr_table_make(pool, 4);
  for (const auto& param : m_Options.engine_params) {
    apr_table_set(engine->config_params, param.first.c_str(), param.second.c_str());
  }
}

void KitCore::UnloadModule() {
  if (!m_Library) return;
  DestroyChannels(ChannelList());
  DestroyEngine();
  ReleaseModule();
}

std::vector<Channel*> KitCore::ChannelList() {
  std::vector<Channel*> channels;
  std::lock_guard<std::mutex> lock(m_ChannelsMutex);
  for (const auto& channel : m_Channels) channels.push_back(channel.get());
  return channels;
}

void KitCore::ReleaseModule() {
  if (m_Abandoned) {
    apt_log(NULL, APT_LOG_MARK, APT_PRIO_WARNING, "Module %s left loaded", m_ModuleName.c_str());
  } else {
    dlclose(m_Library);
    apr_pool_destroy(m_EnginePool);
  }
  m_Library = nullptr;
  m_Creator = nullptr;
  m_EnginePool = nullptr;
  m_Engine = nullptr;
}

// ------------------------------------------------------------------ engine

bool KitCore::OpenEngine(milliseconds timeout, bool* opened) {
  if (opened) *opened = false;
  if (!m_Engine || m_EngineDestroyed) {
    apt_log(NULL, APT_LOG_MARK, APT_PRIO_WARNING, "No Engine to Open");
    return false;
  }
  const EngineRequest open = {&mrcp_engine_method_vtable_t::open, &m_EngineOpenRequests,
                              &m_EngineOpenResponses, &m_EngineOpenRefusals,
                              &m_EngineOpenStatus};
  bool accepted = false;
  if (!AskEngine(m_Engine, open, m_EngineThread, m_Mutex, m_Cond, timeout, &accepted)) {
    apt_log(NULL, APT_LOG_MARK, APT_PRIO_WARNING, "No Open Response from Engine in %lld ms",
            Ms(timeout));
    return false;
  }
  if (opened) *opened = accepted;
  return true;
}

bool KitCore::CloseEngine(milliseconds timeout) {
  if (!m_Engine || m_EngineDestroyed) {
    apt_log(NULL, APT_LOG_MARK, APT_PRIO_WARNING, "No Engine to Close");
    return false;
  }
  const EngineRequest close = {&mrcp_engine_method_vtable_t::close, &m_EngineCloseRequests,
                               &m_EngineCloseResponses, &m_EngineCloseRefusals, nullptr};
  bool accepted = false;
  if (!AskEngine(m_Engine, close, m_EngineThread, m_Mutex, m_Cond, timeout, &accepted)) {
    apt_log(NULL, APT_LOG_MARK, APT_PRIO_WARNING, "No Close Response from Engine in %lld ms",
            Ms(timeout));
    return false;
  }
  return accepted;
}

void KitCore::DestroyEngine() {
  if (!m_Engine || m_EngineDestroyed) return;
  DestroyChannels(ChannelList());
  if (m_Abandoned) {
    // A channel the module may still use would lose its engine.
    apt_log(NULL, APT_LOG_MARK, APT_PRIO_WARNING, "Engine Not Destroyed: the module is left running");
    return;
  }

  // Every open and close asked must have been answered, and the engine
  // closed, before the module may free it.
  bool settled;
  bool is_open;
  {
    std::unique_lock<std::mutex> lock(m_Mutex);
    settled = m_Cond.wait_for(lock, m_Options.shutdown_timeout, [this] {
      return m_EngineOpenRequests == m_EngineOpenResponses + m_EngineOpenRefusals &&
             m_EngineCloseRequests == m_EngineCloseResponses + m_EngineCloseRefusals;
    });
    is_open = m_EngineIsOpen;
  }
  if (!settled) return Abandon("Engine open or close never answered");
  if (is_open && !CloseEngine(m_Options.shutdown_timeout)) {
    return Abandon("Engine did not close");
  }
  mrcp_engine_t* engine = m_Engine;
  const bool returned = m_EngineThread.Call(
      [engine] {
        if (engine->method_vtable->destroy) engine->method_vtable->destroy(engine);
      },
      m_Options.call_timeout);
  if (!returned) return Abandon("Engine destroy did not return");
  m_EngineDestroyed = true;
}

int KitCore::EngineOpenResponses() const {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return m_EngineOpenResponses;
}

int KitCore::EngineCloseResponses() const {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return m_EngineCloseResponses;
}

void KitCore::OnEngineOpen(mrcp_engine_t*, bool status) {
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    ++m_EngineOpenResponses;
    m_EngineOpenStatus = status;
    m_EngineIsOpen = status;
  }
  m_Cond.notify_all();
}

void KitCore::OnEngineClose(mrcp_engine_t*) {
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    ++m_EngineCloseResponses;
    m_EngineIsOpen = false;
  }
  m_Cond.notify_all();
}

}  // namespace vxhost
