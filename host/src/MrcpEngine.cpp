// Engine and channel records of the host (mrcp.h). The records live in the
// pool the module gives; the host kit fills in its callbacks, the directory
// layout, the channel identifier and the negotiated codec after the module
// has created them.

#include "HostInternal.h"
#include "vxhost/mrcp.h"

namespace vxhost {
namespace {
thread_local const char* t_PendingChannelId = nullptr;
}  // namespace

void SetPendingChannelId(const char* id) { t_PendingChannelId = id; }

}  // namespace vxhost

extern "C" {

APT_DECLARE(mrcp_engine_t*) mrcp_engine_create(mrcp_resource_id resource_id, void* obj,
                                               const mrcp_engine_method_vtable_t* vtable,
                                               apr_pool_t* pool) {
  if (!vtable || !pool) return NULL;
  mrcp_engine_t* engine = static_cast<mrcp_engine_t*>(apr_pcalloc(pool, sizeof(*engine)));
  engine->resource_id = resource_id;
  engine->obj = obj;
  engine->method_vtable = vtable;
  engine->pool = pool;
  engine->config_params = apr_table_make(pool, 4);
  return engine;
}

APT_DECLARE(mrcp_engine_channel_t*) mrcp_engine_channel_create(
    mrcp_engine_t* engine, const mrcp_engine_channel_method_vtable_t* method_vtable,
    void* method_obj, mpf_termination_t* termination, apr_pool_t* pool) {
  if (!engine || !method_vtable || !pool) return NULL;
  mrcp_engine_channel_t* channel =
      static_cast<mrcp_engine_channel_t*>(apr_pcalloc(pool, sizeof(*channel)));
  channel->method_vtable = method_vtable;
  channel->method_obj = method_obj;
  channel->termination = termination;
  channel->engine = engine;
  channel->mrcp_version = MRCP_VERSION_2;
  channel->is_open = FALSE;
  channel->pool = pool;
  apt_string_reset(&channel->id);
  if (vxhost::t_PendingChannelId) apt_string_assign(&channel->id, vxhost::t_PendingChannelId, pool);
  return channel;
}

APT_DECLARE(mpf_termination_t*) mrcp_engine_audio_termination_create(
    void* obj, const mpf_audio_stream_vtable_t* stream_vtable,
    mpf_stream_capabilities_t* capabilities, apr_pool_t* pool) {
  if (!stream_vtable || !pool) return NULL;
  mpf_audio_stream_t* stream = static_cast<mpf_audio_stream_t*>(apr_pcalloc(pool, sizeof(*stream)));
  stream->obj = obj;
  stream->vtable = stream_vtable;
  stream->capabilities = capabilities;
  stream->direction = capabilities ? capabilities->direction : STREAM_DIRECTION_RECEIVE;
  stream->rx_descriptor = NULL;
  mpf_termination_t* termination =
      static_cast<mpf_termination_t*>(apr_pcalloc(pool, sizeof(*termination)));
  termination->audio_stream = stream;
  termination->pool = pool;
  return termination;
}

APT_DECLARE(const mpf_codec_descriptor_t*) mrcp_engine_source_stream_codec_get(
    const mrcp_engine_channel_t* channel) {
  if (!channel || !channel->termination || !channel->termination->audio_stream) return NULL;
  return channel->termination->audio_stream->rx_descriptor;
}

}  // extern "C"
