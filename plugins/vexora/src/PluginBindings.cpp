#include "PluginBindings.h"

#include <apr_file_info.h>
#include <apr_fnmatch.h>

#include <exception>
#include <new>

#include "Channel.h"
#include "Engine.h"
#include "Plugin.h"

namespace VXS {

namespace {

// One process hosts at most one instance of this engine; the flag outlives
// the engine so a later create in the same process is refused too.
bool g_InstanceCreated = false;

Engine* EngineOf(mrcp_engine_t* engine) { return static_cast<Engine*>(engine->obj); }
Channel* ChannelOf(mrcp_engine_channel_t* channel) {
  return static_cast<Channel*>(channel->method_obj);
}

}  // namespace

const mrcp_engine_method_vtable_t g_EngineVtable = {DestroyEngine, OpenEngine, CloseEngine,
                                                    CreateChannel};

const mrcp_engine_channel_method_vtable_t g_ChannelVtable = {DestroyChannel, OpenChannel,
                                                             CloseChannel, ProcessRequest};

const mpf_audio_stream_vtable_t g_AudioStreamVtable = {nullptr, nullptr, nullptr, ReadStream,
                                                       nullptr, nullptr, nullptr, nullptr};

mrcp_engine_t* CreatePluginEngine(apr_pool_t* pool) {
  apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE,
          "VXS Plugin Version [1.17.3] Date [2024-04-18]");
  if (g_InstanceCreated) return nullptr;
  g_InstanceCreated = true;
  Engine* engine = new (std::nothrow) Engine("VXS");
  if (!engine) return nullptr;
  mrcp_engine_t* record = mrcp_engine_create(MRCP_SYNTHESIZER_RESOURCE, engine, &g_EngineVtable, pool);
  if (!record) {
    delete engine;
    return nullptr;
  }
  engine->SetHostEngine(record);
  return record;
}

namespace {

// Runs one binding's body; an exception it throws goes no further than
// here: it is logged as `failure` and the binding returns `failed`.
template <typename Result, typename Body>
Result Guarded(const char* failure, Result failed, Body body) {
  try {
    return body();
  } catch (...) {
    LogCurrentException(failure);
    return failed;
  }
}

}  // namespace

apt_bool_t DestroyEngine(mrcp_engine_t* engine) {
  return Guarded("Failed to Destroy Engine", TRUE, [&] {
    if (engine && engine->obj) {
      delete EngineOf(engine);
      engine->obj = nullptr;
    }
    return TRUE;
  });
}

apt_bool_t OpenEngine(mrcp_engine_t* engine) {
  return Guarded("Failed to Open Engine", FALSE,
                 [&] { return EngineOf(engine)->Open() ? TRUE : FALSE; });
}

apt_bool_t CloseEngine(mrcp_engine_t* engine) {
  return Guarded("Failed to Close Engine", FALSE,
                 [&] { return EngineOf(engine)->Close() ? TRUE : FALSE; });
}

mrcp_engine_channel_t* CreateChannel(mrcp_engine_t* engine, apr_pool_t* pool) {
  return Guarded("Failed to Create Channel", static_cast<mrcp_engine_channel_t*>(nullptr),
                 [&]() -> mrcp_engine_channel_t* {
    Channel* channel = new (std::nothrow) Channel(EngineOf(engine));
    if (!channel) return nullptr;
    mpf_stream_capabilities_t* capabilities = mpf_source_stream_capabilities_create(pool);
    mpf_codec_capabilities_add_ex(&capabilities->codecs, MPF_SAMPLE_RATE_8000, "LPCM", 0);
    mpf_codec_capabilities_add_ex(&capabilities->codecs, MPF_SAMPLE_RATE_16000, "LPCM", 0);
    mpf_termination_t* termination =
        mrcp_engine_audio_termination_create(channel, &g_AudioStreamVtable, capabilities, pool);
    mrcp_engine_channel_t* record =
        mrcp_engine_channel_create(engine, &g_ChannelVtable, channel, termination, pool);
    channel->SetHostChannel(record);
    return record;
  });
}

apt_bool_t DestroyChannel(mrcp_engine_channel_t* channel) {
  return Guarded("Failed to Destroy Channel", TRUE, [&] {
    if (channel && channel->method_obj) {
      delete ChannelOf(channel);
      channel->method_obj = nullptr;
    }
    return TRUE;
  });
}

apt_bool_t OpenChannel(mrcp_engine_channel_t* channel) {
  return Guarded("Failed to Open Channel", FALSE, [&] {
    return ChannelOf(channel)->SignalEvent(TASK_MSG_OPEN, nullptr) ? TRUE : FALSE;
  });
}

apt_bool_t CloseChannel(mrcp_engine_channel_t* channel) {
  return Guarded("Failed to Close Channel", FALSE, [&] {
    return ChannelOf(channel)->SignalEvent(TASK_MSG_CLOSE, nullptr) ? TRUE : FALSE;
  });
}

apt_bool_t ProcessRequest(mrcp_engine_channel_t* channel, mrcp_message_t* request) {
  return Guarded("Failed to Process Request", FALSE, [&] {
    return ChannelOf(channel)->SignalEvent(TASK_MSG_REQUEST, request) ? TRUE : FALSE;
  });
}

apt_bool_t ReadStream(mpf_audio_stream_t* stream, mpf_frame_t* frame) {
  return Guarded("Failed to Read Stream", FALSE, [&] {
    return static_cast<Channel*>(stream->obj)->Read(frame) ? TRUE : FALSE;
  });
}

bool LogRedirectDevice::ProcessLogRecord(const Ambrel::LogRecord& record) {
  apt_log(VXS_PLUGIN, APT_LOG_MARK, static_cast<apt_log_priority_e>(record.m_Level), "%s",
          record.m_Message.c_str());
  return true;
}

void LogCurrentException(const char* failure) {
  // Logging must not throw in turn: this runs at the seams that stop
  // exceptions.
  try {
    try {
      throw;
    } catch (const std::exception& e) {
      apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "%s: %s", failure, e.what());
    } catch (...) {
      apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "%s: unknown exception", failure);
    }
  } catch (...) {
  }
}

apt_log_priority_e GrpcSeverityToPriority(gpr_log_severity severity) {
  switch (severity) {
    case GPR_LOG_SEVERITY_DEBUG:
      return APT_PRIO_DEBUG;
    case GPR_LOG_SEVERITY_ERROR:
      return APT_PRIO_ERROR;
    default:
      return APT_PRIO_INFO;
  }
}

void GrpcLogRedirector(gpr_log_func_args* args) {
  if (!args) return;
  apt_log(VXS_PLUGIN, args->file ? args->file : "", args->line,
          GrpcSeverityToPriority(args->severity), "%s", args->message ? args->message : "");
}

bool file_search(std::string& result, const std::string& path_pattern, apr_pool_t* pool) {
  std::string dir = ".";
  std::string pattern = path_pattern;
  size_t separator = path_pattern.rfind('/');
  if (separator == std::string::npos) separator = path_pattern.rfind('\\');
  if (separator != std::string::npos) {
    dir = path_pattern.substr(0, separator);
    pattern = path_pattern.substr(separator + 1);
  }
  apr_dir_t* handle = nullptr;
  if (apr_dir_open(&handle, dir.c_str(), pool) != APR_SUCCESS) return false;

  apr_finfo_t info;
  apr_time_t best_time = 0;
  std::string best_name;
  for (;;) {
    apr_status_t status =
        apr_dir_read(&info, APR_FINFO_NAME | APR_FINFO_CTIME | APR_FINFO_TYPE, handle);
    if (status != APR_SUCCESS && status != APR_INCOMPLETE) break;
    if (info.filetype != APR_REG || !info.name) continue;
    if (apr_fnmatch(pattern.c_str(), info.name, 0) != APR_SUCCESS) continue;
    if (info.ctime > best_time) {
      best_time = info.ctime;
      best_name = info.name;
    }
  }
  apr_dir_close(handle);
  if (best_name.empty()) return false;

  char* merged = nullptr;
  if (apr_filepath_merge(&merged, dir.c_str(), best_name.c_str(), APR_FILEPATH_NATIVE, pool) !=
      APR_SUCCESS) {
    return false;
  }
  result = merged;
  return true;
}

}  // namespace VXS
