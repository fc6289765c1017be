#include "KitCore.h"

#include <dlfcn.h>

#include <apr_file_info.h>
#include <apr_file_io.h>
#include <apr_strings.h>

namespace vxhost {
namespace {

using std::chrono::milliseconds;

const char kCodecName[] = "LPCM";
const apr_byte_t kDynamicPayloadType = 96;

long long Ms(milliseconds duration) { return static_cast<long long>(duration.count()); }

KitCore* CoreOf(mrcp_engine_t* engine) {
  return engine ? static_cast<KitCore*>(engine->event_obj) : nullptr;
}

Channel* ChannelOf(mrcp_engine_channel_t* record) {
  return record ? static_cast<Channel*>(record->event_obj) : nullptr;
}

// The records' event tables. No exception may leave them: they are called
// from the module's C code.

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

apt_bool_t ChannelOnOpen(mrcp_engine_channel_t* record, apt_bool_t status) {
  try {
    Channel* channel = ChannelOf(record);
    KitCore* core = record ? CoreOf(record->engine) : nullptr;
    if (!channel || !core) return FALSE;
    core->OnChannelOpen(channel, status != FALSE);
    return TRUE;
  } catch (...) {
    return FALSE;
  }
}

apt_bool_t ChannelOnClose(mrcp_engine_channel_t* record) {
  try {
    Channel* channel = ChannelOf(record);
    KitCore* core = record ? CoreOf(record->engine) : nullptr;
    if (!channel || !core) return FALSE;
    core->OnChannelClose(channel);
    return TRUE;
  } catch (...) {
    return FALSE;
  }
}

apt_bool_t ChannelOnMessage(mrcp_engine_channel_t* record, mrcp_message_t* message) {
  try {
    Channel* channel = ChannelOf(record);
    KitCore* core = record ? CoreOf(record->engine) : nullptr;
    if (!channel || !core || !message) return FALSE;
    core->OnChannelMessage(channel, message);
    return TRUE;
  } catch (...) {
    return FALSE;
  }
}

const mrcp_engine_channel_event_vtable_t kChannelEvents = {ChannelOnOpen, ChannelOnClose,
                                                            ChannelOnMessage};

std::string ModuleName(const std::string& path) {
  std::string name = path.substr(path.find_last_of('/') + 1);
  if (name.compare(0, 3, "lib") == 0 && name.size() > 3) name.erase(0, 3);
  const size_t dot = name.find('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  return name;
}

std::string Str(const apt_str_t& str) { return str.buf ? std::string(str.buf, str.length) : ""; }

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
  PrepareEngineRecord(engine, true);
  apt_log(NULL, APT_LOG_MARK, APT_PRIO_INFO, "Loaded Module %s, interface version %d.%d.%d",
          path.c_str(), version->major, version->minor, version->patch);
  return true;
}

mrcp_engine_t* KitCore::CreateEngine() {
  if (!m_Creator) return nullptr;
  mrcp_engine_t* engine = m_Creator(m_EnginePool);
  if (engine) PrepareEngineRecord(engine, false);
  return engine;
}

void KitCore::PrepareEngineRecord(mrcp_engine_t* engine, bool driven) {
  engine->id = apr_pstrdup(m_EnginePool, m_ModuleName.c_str());
  engine->dir_layout = m_Layout;
  engine->event_vtable = driven ? &kEngineEvents : &kStrayEngineEvents;
  engine->event_obj = this;
  if (!engine->config_params) engine->config_params = apr_table_make(m_EnginePool, 4);
  for (const auto& param : m_Options.engine_params) {
    apr_table_set(engine->config_params, param.first.c_str(), param.second.c_str());
  }
}

void KitCore::UnloadModule() {
  if (!m_Library) return;
  std::vector<Channel*> channels;
  {
    std::lock_guard<std::mutex> lock(m_ChannelsMutex);
    for (const auto& channel : m_Channels) channels.push_back(channel.get());
  }
  for (Channel* channel : channels) DestroyChannel(channel);
  DestroyEngine();
  ReleaseModule();
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
  int responses;
  int refusals;
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    ++m_EngineOpenRequests;
    responses = m_EngineOpenResponses;
    refusals = m_EngineOpenRefusals;
  }
  mrcp_engine_t* engine = m_Engine;
  m_EngineThread.Post([this, engine] {
    const bool accepted = engine->method_vtable->open && engine->method_vtable->open(engine);
    if (accepted) return;
    {
      std::lock_guard<std::mutex> lock(m_Mutex);
      ++m_EngineOpenRefusals;
    }
    m_Cond.notify_all();
  });
  std::unique_lock<std::mutex> lock(m_Mutex);
  if (!m_Cond.wait_for(lock, timeout, [&] {
        return m_EngineOpenResponses > responses || m_EngineOpenRefusals > refusals;
      })) {
    apt_log(NULL, APT_LOG_MARK, APT_PRIO_WARNING, "No Open Response from Engine in %lld ms",
            Ms(timeout));
    return false;
  }
  if (opened) *opened = m_EngineOpenRefusals == refusals && m_EngineOpenStatus;
  return true;
}

bool KitCore::CloseEngine(milliseconds timeout) {
  if (!m_Engine || m_EngineDestroyed) {
    apt_log(NULL, APT_LOG_MARK, APT_PRIO_WARNING, "No Engine to Close");
    return false;
  }
  int responses;
  int refusals;
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    ++m_EngineCloseRequests;
    responses = m_EngineCloseResponses;
    refusals = m_EngineCloseRefusals;
  }
  mrcp_engine_t* engine = m_Engine;
  m_EngineThread.Post([this, engine] {
    const bool accepted = engine->method_vtable->close && engine->method_vtable->close(engine);
    if (accepted) return;
    {
      std::lock_guard<std::mutex> lock(m_Mutex);
      ++m_EngineCloseRefusals;
    }
    m_Cond.notify_all();
  });
  std::unique_lock<std::mutex> lock(m_Mutex);
  if (!m_Cond.wait_for(lock, timeout, [&] {
        return m_EngineCloseResponses > responses || m_EngineCloseRefusals > refusals;
      })) {
    apt_log(NULL, APT_LOG_MARK, APT_PRIO_WARNING, "No Close Response from Engine in %lld ms",
            Ms(timeout));
    return false;
  }
  return m_EngineCloseRefusals == refusals;
}

void KitCore::DestroyEngine() {
  if (!m_Engine || m_EngineDestroyed) return;
  std::vector<Channel*> channels;
  {
    std::lock_guard<std::mutex> lock(m_ChannelsMutex);
    for (const auto& channel : m_Channels) channels.push_back(channel.get());
  }
  for (Channel* channel : channels) DestroyChannel(channel);

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

// ---------------------------------------------------------------- channels

Channel* KitCore::CreateChannel(const std::string& id, uint16_t sampling_rate,
                                const std::map<std::string, std::string>& attribs) {
  if (!m_Engine || m_EngineDestroyed) {
    apt_log(NULL, APT_LOG_MARK, APT_PRIO_WARNING, "No Engine to Create Channel <%s>", id.c_str());
    return nullptr;
  }
  if (sampling_rate == 0 || sampling_rate % 50 != 0) {
    apt_log(NULL, APT_LOG_MARK, APT_PRIO_WARNING, "Unusable Sampling Rate %u for Channel <%s>",
            sampling_rate, id.c_str());
    return nullptr;
  }
  apr_pool_t* pool = nullptr;
  apr_pool_create(&pool, m_Pool);
  auto created = std::make_shared<mrcp_engine_channel_t*>(nullptr);
  mrcp_engine_t* engine = m_Engine;
  const bool returned = m_EngineThread.Call(
      [engine, pool, created] {
        if (engine->method_vtable->create_channel) {
          *created = engine->method_vtable->create_channel(engine, pool);
        }
      },
      m_Options.call_timeout);
  if (!returned) {
    Abandon("Engine create_channel did not return");
    return nullptr;
  }
  mrcp_engine_channel_t* record = *created;
  if (!record) {
    apt_log(NULL, APT_LOG_MARK, APT_PRIO_WARNING, "Module Created No Channel <%s>", id.c_str());
    apr_pool_destroy(pool);
    return nullptr;
  }

  std::unique_ptr<Channel> channel(new Channel(this, id, sampling_rate, pool));
  record->event_vtable = &kChannelEvents;
  record->event_obj = channel.get();
  apt_string_assign(&record->id, id.c_str(), pool);
  if (!attribs.empty()) {
    record->attribs = apr_table_make(pool, static_cast<int>(attribs.size()));
    for (const auto& attrib : attribs) {
      apr_table_set(record->attribs, attrib.first.c_str(), attrib.second.c_str());
    }
  }
  channel->m_Record = record;
  NegotiateCodec(channel.get());

  Channel* result = channel.get();
  std::lock_guard<std::mutex> lock(m_ChannelsMutex);
  m_Channels.push_back(std::move(channel));
  return result;
}

void KitCore::NegotiateCodec(Channel* channel) {
  mrcp_engine_channel_t* record = channel->m_Record;
  mpf_audio_stream_t* stream =
      record->termination ? record->termination->audio_stream : nullptr;
  if (!stream || !m_Options.negotiate_codec) return;
  const mpf_stream_capabilities_t* capabilities = stream->capabilities;
  const int mask = mpf_sample_rate_mask_get(channel->m_SamplingRate);
  bool offered = false;
  if (capabilities && mask != MPF_SAMPLE_RATE_NONE) {
    const apr_array_header_t& codecs = capabilities->codecs.attrib_arr;
    for (int i = 0; i < codecs.nelts && !offered; ++i) {
      const mpf_codec_attribs_t& attribs = APR_ARRAY_IDX(&codecs, i, mpf_codec_attribs_t);
      offered = apt_string_compare(&attribs.name, kCodecName) && (attribs.sample_rates & mask);
    }
  }
  if (!offered) {
    apt_log(NULL, APT_LOG_MARK, APT_PRIO_INFO, "No %s at %u Hz Offered by Channel <%s>",
            kCodecName, channel->m_SamplingRate, channel->m_Id.c_str());
    return;
  }
  auto* descriptor = static_cast<mpf_codec_descriptor_t*>(
      apr_pcalloc(channel->m_Pool, sizeof(mpf_codec_descriptor_t)));
  descriptor->payload_type = kDynamicPayloadType;
  apt_string_assign(&descriptor->name, kCodecName, channel->m_Pool);
  descriptor->sampling_rate = channel->m_SamplingRate;
  descriptor->channel_count = 1;
  stream->rx_descriptor = descriptor;
  channel->m_Codec = descriptor;
}

bool KitCore::OpenChannel(Channel* channel, milliseconds timeout, bool* status) {
  if (status) *status = false;
  if (!channel) return false;
  int responses;
  int refusals;
  {
    std::lock_guard<std::mutex> lock(channel->m_Mutex);
    if (channel->m_Destroyed) return false;
    ++channel->m_OpenRequests;
    responses = channel->m_OpenResponses;
    refusals = channel->m_OpenRefusals;
  }
  mrcp_engine_channel_t* record = channel->m_Record;
  m_SignalThread.Post([channel, record] {
    const bool accepted = record->method_vtable->open && record->method_vtable->open(record);
    if (accepted) return;
    {
      std::lock_guard<std::mutex> lock(channel->m_Mutex);
      ++channel->m_OpenRefusals;
    }
    channel->m_Cond.notify_all();
  });
  std::unique_lock<std::mutex> lock(channel->m_Mutex);
  if (!channel->m_Cond.wait_for(lock, timeout, [&] {
        return channel->m_OpenResponses > responses || channel->m_OpenRefusals > refusals;
      })) {
    apt_log(NULL, APT_LOG_MARK, APT_PRIO_WARNING, "No Open Response from Channel <%s> in %lld ms",
            channel->m_Id.c_str(), Ms(timeout));
    return false;
  }
  if (status) *status = channel->m_OpenRefusals == refusals && channel->m_OpenStatus;
  return true;
}

bool KitCore::CloseChannel(Channel* channel, milliseconds timeout) {
  if (!channel) return false;
  int responses;
  int refusals;
  {
    std::lock_guard<std::mutex> lock(channel->m_Mutex);
    if (channel->m_Destroyed) return false;
    ++channel->m_CloseRequests;
    responses = channel->m_CloseResponses;
    refusals = channel->m_CloseRefusals;
  }
  mrcp_engine_channel_t* record = channel->m_Record;
  m_SignalThread.Post([channel, record] {
    const bool accepted = record->method_vtable->close && record->method_vtable->close(record);
    if (accepted) return;
    {
      std::lock_guard<std::mutex> lock(channel->m_Mutex);
      ++channel->m_CloseRefusals;
    }
    channel->m_Cond.notify_all();
  });
  bool closed;
  {
    std::unique_lock<std::mutex> lock(channel->m_Mutex);
    if (!channel->m_Cond.wait_for(lock, timeout, [&] {
          return channel->m_CloseResponses > responses || channel->m_CloseRefusals > refusals;
        })) {
      apt_log(NULL, APT_LOG_MARK, APT_PRIO_WARNING,
              "No Close Response from Channel <%s> in %lld ms", channel->m_Id.c_str(),
              Ms(timeout));
      return false;
    }
    closed = channel->m_CloseRefusals == refusals;
  }
  return closed;
}

void KitCore::DestroyChannel(Channel* channel) {
  if (!channel) return;
  // Every open and close asked must have been answered, and the channel
  // closed, before the module may free it.
  bool settled;
  {
    std::unique_lock<std::mutex> lock(channel->m_Mutex);
    if (channel->m_Destroyed) return;
    settled = channel->m_Cond.wait_for(lock, m_Options.shutdown_timeout, [channel] {
      return channel->m_OpenRequests == channel->m_OpenResponses + channel->m_OpenRefusals &&
             channel->m_CloseRequests == channel->m_CloseResponses + channel->m_CloseRefusals;
    });
  }
  bool closed = settled;
  if (settled && channel->m_Readable.load()) {
    closed = CloseChannel(channel, m_Options.shutdown_timeout);
  }
  {
    std::lock_guard<std::mutex> lock(channel->m_Mutex);
    channel->m_Destroyed = true;
  }
  channel->m_Cond.notify_all();
  {
    // Waits for a read in progress; no read starts after this.
    std::lock_guard<std::mutex> read_lock(channel->m_ReadMutex);
    channel->m_Readable.store(false);
  }
  m_Media.Remove(channel);
  if (!closed) {
    return Abandon(("Channel <" + channel->m_Id + "> was not closed").c_str());
  }

  mrcp_engine_channel_t* record = channel->m_Record;
  const bool returned = m_SignalThread.Call(
      [record] {
        if (record->method_vtable->destroy) record->method_vtable->destroy(record);
      },
      m_Options.call_timeout);
  if (!returned) {
    return Abandon(("Channel <" + channel->m_Id + "> destroy did not return").c_str());
  }
  apr_pool_destroy(channel->m_Pool);
  channel->m_Pool = nullptr;
  channel->m_Record = nullptr;
  channel->m_Codec = nullptr;
}

void KitCore::OnChannelOpen(Channel* channel, bool status) {
  {
    std::lock_guard<std::mutex> lock(channel->m_Mutex);
    ++channel->m_OpenResponses;
    channel->m_OpenStatus = status;
    if (channel->m_Destroyed) {
      apt_log(NULL, APT_LOG_MARK, APT_PRIO_WARNING, "Open Response on Destroyed Channel <%s>",
              channel->m_Id.c_str());
    } else {
      channel->m_Record->is_open = status ? TRUE : FALSE;
      if (status) {
        // Under the channel's mutex, so that a destroy cannot slip in
        // between the check above and the media thread taking it up.
        channel->m_Readable.store(true);
        m_Media.Add(channel);
      }
    }
  }
  channel->m_Cond.notify_all();
}

void KitCore::OnChannelClose(Channel* channel) {
  channel->m_Readable.store(false);
  m_Media.Remove(channel);
  channel->AfterRead([channel] {
    {
      std::lock_guard<std::mutex> lock(channel->m_Mutex);
      ++channel->m_CloseResponses;
      if (!channel->m_Destroyed) channel->m_Record->is_open = FALSE;
    }
    channel->m_Cond.notify_all();
  });
}

void KitCore::OnChannelMessage(Channel* channel, const mrcp_message_t* message) {
  const mrcp_start_line_t& start = message->start_line;
  ReceivedMessage received;
  received.type = start.message_type;
  received.method_id = start.method_id;
  received.method_name = Str(start.method_name);
  if (received.method_name.empty()) {
    const char* name = start.message_type == MRCP_MESSAGE_TYPE_EVENT
                           ? mrcp_synth_event_name_get(start.method_id)
                           : mrcp_synth_method_name_get(start.method_id);
    if (name) received.method_name = name;
  }
  received.request_id = start.request_id;
  received.status_code =
      start.message_type == MRCP_MESSAGE_TYPE_RESPONSE ? static_cast<int>(start.status_code) : 0;
  received.request_state = start.request_state;
  if (mrcp_resource_header_property_check(message, SYNTHESIZER_HEADER_COMPLETION_CAUSE)) {
    received.has_completion_cause = true;
    received.completion_cause = static_cast<int>(message->synth_header->completion_cause);
  }
  received.text = GenerateMrcpMessage(message);
  received.time_us = apr_time_now();
  channel->AfterRead([this, channel, received = std::move(received)]() mutable {
    Transcribe(TranscriptEntry::Direction::kReceived, channel->m_Id, received.text);
    channel->OnMessage(std::move(received));
  });
}

bool KitCore::ReadChannel(Channel* channel) { return channel->ReadFrame(); }

// ---------------------------------------------------------------- requests

apr_pool_t* KitCore::NewRequestPool(Channel* channel) {
  std::lock_guard<std::mutex> lock(channel->m_Mutex);
  if (channel->m_Destroyed || !channel->m_Pool) return nullptr;
  apr_pool_t* pool = nullptr;
  if (apr_pool_create(&pool, channel->m_Pool) != APR_SUCCESS) return nullptr;
  return pool;
}

void KitCore::PrepareRequest(Channel* channel, mrcp_message_t* request) {
  request->start_line.request_id = channel->NextRequestId(request->start_line.request_id);
  if (apt_string_is_empty(&request->channel_id) && request->pool) {
    apt_string_assign(&request->channel_id, (channel->m_Id + "@speechsynth").c_str(),
                      request->pool);
  }
}

mrcp_message_t* KitCore::NewRequest(Channel* channel, mrcp_synthesizer_method_id method) {
  if (!channel) return nullptr;
  apr_pool_t* pool = NewRequestPool(channel);
  if (!pool) return nullptr;
  mrcp_message_t* request = mrcp_request_create(MRCP_VERSION_2, method, pool);
  PrepareRequest(channel, request);
  return request;
}

void KitCore::Send(Channel* channel, mrcp_message_t* request) {
  if (!channel || !request) return;
  {
    std::lock_guard<std::mutex> lock(channel->m_Mutex);
    if (channel->m_Destroyed) {
      apt_log(NULL, APT_LOG_MARK, APT_PRIO_WARNING, "Request to Destroyed Channel <%s> Dropped",
              channel->m_Id.c_str());
      return;
    }
  }
  PrepareRequest(channel, request);
  Transcribe(TranscriptEntry::Direction::kSent, channel->m_Id, GenerateMrcpMessage(request));
  mrcp_engine_channel_t* record = channel->m_Record;
  m_SignalThread.Post([channel, record, request] {
    {
      std::lock_guard<std::mutex> lock(channel->m_Mutex);
      if (channel->m_Destroyed) return;  // destroyed before it was handed over
    }
    const bool accepted = record->method_vtable->process_request &&
                          record->method_vtable->process_request(record, request);
    if (!accepted) {
      apt_log(NULL, APT_LOG_MARK, APT_PRIO_WARNING, "Channel <%s> Refused Request %zu",
              channel->id().c_str(), static_cast<size_t>(request->start_line.request_id));
    }
  });
}

bool KitCore::SendText(Channel* channel, const std::string& text, std::string* error,
                       mrcp_request_id* request_id) {
  if (!channel) {
    if (error) *error = "no channel";
    return false;
  }
  apr_pool_t* pool = NewRequestPool(channel);
  if (!pool) {
    if (error) *error = "channel <" + channel->m_Id + "> is destroyed";
    return false;
  }
  mrcp_message_t* request = nullptr;
  if (!ParseMrcpMessage(text, pool, &request, error)) {
    apr_pool_destroy(pool);
    return false;
  }
  if (request->start_line.message_type != MRCP_MESSAGE_TYPE_REQUEST) {
    if (error) *error = "not a request";
    apr_pool_destroy(pool);
    return false;
  }
  Send(channel, request);
  if (request_id) *request_id = request->start_line.request_id;
  return true;
}

// -------------------------------------------------------------- transcript

void KitCore::SetTranscriptCallback(TranscriptCallback callback) {
  std::lock_guard<std::mutex> lock(m_TranscriptMutex);
  m_Transcript = std::move(callback);
}

void KitCore::Transcribe(TranscriptEntry::Direction direction, const std::string& channel_id,
                         const std::string& text) {
  std::lock_guard<std::mutex> lock(m_TranscriptMutex);
  if (!m_Transcript) return;
  TranscriptEntry entry;
  entry.direction = direction;
  entry.channel_id = channel_id;
  entry.text = text;
  entry.time_us = apr_time_now();
  try {
    m_Transcript(entry);
  } catch (...) {
    apt_log(NULL, APT_LOG_MARK, APT_PRIO_WARNING, "Transcript Callback Failed");
  }
}

}  // namespace vxhost
