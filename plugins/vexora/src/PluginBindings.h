// The function tables handed to the host and the thin bindings behind them,
// plus the two adapters that route foreign log output into the host log.
// Every binding forwards to an engine or channel method and converts the
// result to the host's boolean.
#pragma once

#include <grpc/support/log.h>

#include "ambrel/Logger.h"
#include "vxhost/mpf.h"
#include "vxhost/mrcp.h"

namespace VXS {

apt_bool_t DestroyEngine(mrcp_engine_t* engine);
apt_bool_t OpenEngine(mrcp_engine_t* engine);
apt_bool_t CloseEngine(mrcp_engine_t* engine);
mrcp_engine_channel_t* CreateChannel(mrcp_engine_t* engine, apr_pool_t* pool);

apt_bool_t DestroyChannel(mrcp_engine_channel_t* channel);
apt_bool_t OpenChannel(mrcp_engine_channel_t* channel);
apt_bool_t CloseChannel(mrcp_engine_channel_t* channel);
apt_bool_t ProcessRequest(mrcp_engine_channel_t* channel, mrcp_message_t* request);

apt_bool_t ReadStream(mpf_audio_stream_t* stream, mpf_frame_t* frame);

extern const mrcp_engine_method_vtable_t g_EngineVtable;
extern const mrcp_engine_channel_method_vtable_t g_ChannelVtable;
extern const mpf_audio_stream_vtable_t g_AudioStreamVtable;

// Forwards one gRPC log line to the host log; installed with
// gpr_set_log_function when redirection is configured. Any gRPC thread.
void GrpcLogRedirector(gpr_log_func_args* args);
apt_log_priority_e GrpcSeverityToPriority(gpr_log_severity severity);

// Forwards every framework log record into the host log. Owned by the
// framework logger once added; runs on the logger's own thread.
class LogRedirectDevice : public Ambrel::LogDevice {
 public:
  LogRedirectDevice() : Ambrel::LogDevice("LRD") {}
  bool ProcessLogRecord(const Ambrel::LogRecord& record) override;
};

// Logs the exception being handled as "<failure>: <what>" at warning; never
// throws. Only inside a catch block: the seams where no exception may pass
// (the method tables, the stream read, thread bodies) end with it.
void LogCurrentException(const char* failure);

// Creates the single engine and its host record; null when one exists
// already in this process or the host refuses the record.
mrcp_engine_t* CreatePluginEngine(apr_pool_t* pool);

}  // namespace VXS
