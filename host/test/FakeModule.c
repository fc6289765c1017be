/*
 * A tiny synthesizer module for the host kit's tests, loaded with dlopen.
 *
 * Engine: answers open (config param "open": "fail" answers FALSE, "silent"
 * never answers) and close at once. Channel: answers open (attribute "open":
 * "fail") and close (attribute "close": "silent" never answers); a close
 * during a SPEAK is answered once its audio has been read. Requests: 200 at
 * once; a SPEAK is answered IN-PROGRESS (401, cause 004, without a codec)
 * and plays "frames" frames (attribute, default 5), frame n filled with the
 * byte n + 1, then sends SPEAK-COMPLETE (cause 000) from the media thread.
 * STOP ends a SPEAK without SPEAK-COMPLETE. Attributes "gap-at" N and "gap" M
 * leave M reads without audio after frame N of a SPEAK (an underrun);
 * "read-sleep-ms" makes every read of the channel take that long; with
 * "stop-lists" "true" the response to a STOP that stopped a SPEAK lists it
 * in Active-Request-Id-List. Each method logs the name of the
 * thread it runs on. A second mrcp_plugin_create is refused.
 */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "vxhost/mrcp.h"

#define FAKE_EXPORT __attribute__((visibility("default")))
#ifndef FAKE_VERSION_MAJOR
#define FAKE_VERSION_MAJOR 1
#endif

FAKE_EXPORT mrcp_plugin_version_t mrcp_plugin_version = {FAKE_VERSION_MAJOR, 7, 0, 0};

static apt_log_source_t* g_Log = NULL;
static int g_Created = 0;
static int g_EngineObject = 0;

typedef struct {
  mrcp_engine_channel_t* record;
  pthread_mutex_t mutex; /* guards the fields below */
  mrcp_message_t* active;
  int frames_left;
  int frame_no;
  int close_pending;
  int logged_read;
  int gap_at;
  int gap_left;
} FakeChannel;

static void LogThread(const char* what, const char* id) {
  char name[32] = "";
  pthread_getname_np(pthread_self(), name, sizeof(name));
  apt_log(g_Log, APT_LOG_MARK, APT_PRIO_INFO, "%s on %s <%s>", what, name, id ? id : "");
}

static const char* Attrib(const mrcp_engine_channel_t* record, const char* name) {
  return record->attribs ? apr_table_get(record->attribs, name) : NULL;
}

static void SendComplete(FakeChannel* channel) {
  mrcp_message_t* event =
      mrcp_event_create(channel->active, SYNTHESIZER_SPEAK_COMPLETE, channel->active->pool);
  mrcp_synth_header_t* header = mrcp_resource_header_prepare(event);
  header->completion_cause = SYNTHESIZER_COMPLETION_CAUSE_NORMAL;
  mrcp_resource_header_property_add(event, SYNTHESIZER_HEADER_COMPLETION_CAUSE);
  event->start_line.request_state = MRCP_REQUEST_STATE_COMPLETE;
  channel->active = NULL;
  mrcp_engine_channel_message_send(channel->record, event);
}

/* ------------------------------------------------------------- stream */

static apt_bool_t ReadFrame(mpf_audio_stream_t* stream, mpf_frame_t* frame) {
  FakeChannel* channel = stream->obj;
  const char* sleep_ms = Attrib(channel->record, "read-sleep-ms");
  if (sleep_ms) usleep((useconds_t)atoi(sleep_ms) * 1000);
  pthread_mutex_lock(&channel->mutex);
  if (channel->frames_left > 0 && channel->gap_left > 0 && channel->frame_no == channel->gap_at) {
    --channel->gap_left;
    pthread_mutex_unlock(&channel->mutex);
    return TRUE;
  }
  if (!channel->logged_read) {
    channel->logged_read = 1;
    LogThread("read", channel->record->id.buf);
  }
  if (channel->frames_left > 0) {
    memset(frame->codec_frame.buffer, (channel->frame_no + 1) & 0xFF, frame->codec_frame.size);
    frame->type |= MEDIA_FRAME_TYPE_AUDIO;
    ++channel->frame_no;
    if (--channel->frames_left == 0) {
      SendComplete(channel);
      if (channel->close_pending) {
        channel->close_pending = 0;
        mrcp_engine_channel_close_respond(channel->record);
      }
    }
  }
  pthread_mutex_unlock(&channel->mutex);
  return TRUE;
}

static const mpf_audio_stream_vtable_t kStreamVtable = {NULL, NULL, NULL, ReadFrame,
                                                        NULL, NULL, NULL, NULL};

/* ------------------------------------------------------------ channel */

static apt_bool_t ChannelDestroy(mrcp_engine_channel_t* record) {
  FakeChannel* channel = record->method_obj;
  LogThread("channel destroy", record->id.buf);
  pthread_mutex_destroy(&channel->mutex);
  return TRUE;
}

static apt_bool_t ChannelOpen(mrcp_engine_channel_t* record) {
  const char* open = Attrib(record, "open");
  LogThread("channel open", record->id.buf);
  return mrcp_engine_channel_open_respond(record, !(open && strcmp(open, "fail") == 0));
}

static apt_bool_t ChannelClose(mrcp_engine_channel_t* record) {
  FakeChannel* channel = record->method_obj;
  const char* close = Attrib(record, "close");
  LogThread("channel close", record->id.buf);
  if (close && strcmp(close, "silent") == 0) return TRUE;
  pthread_mutex_lock(&channel->mutex);
  if (channel->frames_left > 0) {
    channel->close_pending = 1;
  } else {
    mrcp_engine_channel_close_respond(record);
  }
  pthread_mutex_unlock(&channel->mutex);
  return TRUE;
}

static apt_bool_t ProcessRequest(mrcp_engine_channel_t* record, mrcp_message_t* request) {
  FakeChannel* channel = record->method_obj;
  mrcp_message_t* response = mrcp_response_create(request, request->pool);
  LogThread("request", record->id.buf);
  pthread_mutex_lock(&channel->mutex);
  if (request->start_line.method_id == SYNTHESIZER_SPEAK) {
    if (!mrcp_engine_source_stream_codec_get(record)) {
      response->start_line.status_code = MRCP_STATUS_CODE_METHOD_NOT_ALLOWED;
      mrcp_resource_header_prepare(response)->completion_cause = SYNTHESIZER_COMPLETION_CAUSE_ERROR;
      mrcp_resource_header_property_add(response, SYNTHESIZER_HEADER_COMPLETION_CAUSE);
    } else {
      const char* frames = Attrib(record, "frames");
      channel->active = request;
      channel->frame_no = 0;
      channel->frames_left = frames ? atoi(frames) : 5;
      channel->gap_at = Attrib(record, "gap-at") ? atoi(Attrib(record, "gap-at")) : 0;
      channel->gap_left = Attrib(record, "gap") ? atoi(Attrib(record, "gap")) : 0;
      response->start_line.request_state = MRCP_REQUEST_STATE_INPROGRESS;
    }
  } else if (request->start_line.method_id == SYNTHESIZER_STOP && channel->active) {
    const char* lists = Attrib(record, "stop-lists");
    if (lists && strcmp(lists, "true") == 0) {
      char id[32];
      snprintf(id, sizeof(id), "%lu", (unsigned long)channel->active->start_line.request_id);
      apt_string_assign(&mrcp_generic_header_prepare(response)->active_request_id_list, id,
                        request->pool);
      mrcp_generic_header_property_add(response, GENERIC_HEADER_ACTIVE_REQUEST_ID_LIST);
    }
    channel->active = NULL;
    channel->frames_left = 0;
    if (channel->close_pending) {
      channel->close_pending = 0;
      mrcp_engine_channel_close_respond(record);
    }
  }
  mrcp_engine_channel_message_send(record, response);
  pthread_mutex_unlock(&channel->mutex);
  return TRUE;
}

static const mrcp_engine_channel_method_vtable_t kChannelVtable = {ChannelDestroy, ChannelOpen,
                                                                   ChannelClose, ProcessRequest};

/* ------------------------------------------------------------- engine */

static apt_bool_t EngineDestroy(mrcp_engine_t* engine) {
  LogThread("engine destroy", engine->id);
  return TRUE;
}

static apt_bool_t EngineOpen(mrcp_engine_t* engine) {
  const char* open = apr_table_get(engine->config_params, "open");
  LogThread("engine open", engine->id);
  if (open && strcmp(open, "silent") == 0) return TRUE;
  return mrcp_engine_open_respond(engine, !(open && strcmp(open, "fail") == 0));
}

static apt_bool_t EngineClose(mrcp_engine_t* engine) {
  LogThread("engine close", engine->id);
  return mrcp_engine_close_respond(engine);
}

static mrcp_engine_channel_t* CreateChannel(mrcp_engine_t* engine, apr_pool_t* pool) {
  FakeChannel* channel = apr_pcalloc(pool, sizeof(FakeChannel));
  mpf_stream_capabilities_t* capabilities = mpf_source_stream_capabilities_create(pool);
  mpf_codec_capabilities_add(&capabilities->codecs, MPF_SAMPLE_RATE_8000 | MPF_SAMPLE_RATE_16000,
                             "LPCM");
  mpf_termination_t* termination =
      mrcp_engine_audio_termination_create(channel, &kStreamVtable, capabilities, pool);
  pthread_mutex_init(&channel->mutex, NULL);
  channel->record =
      mrcp_engine_channel_create(engine, &kChannelVtable, channel, termination, pool);
  LogThread("create_channel", channel->record->id.buf);
  return channel->record;
}

static const mrcp_engine_method_vtable_t kEngineVtable = {EngineDestroy, EngineOpen, EngineClose,
                                                          CreateChannel};

/* --------------------------------------------------------- entry points */

FAKE_EXPORT apt_bool_t mrcp_plugin_logger_set(apt_logger_t* logger) {
  return apt_log_instance_set(logger);
}

FAKE_EXPORT apt_bool_t mrcp_plugin_log_source_set(apt_log_source_t* source) {
  apt_def_log_source_set(source);
  return apt_log_source_assign("FAKE-PLUGIN", &g_Log);
}

FAKE_EXPORT mrcp_engine_t* mrcp_plugin_create(apr_pool_t* pool) {
  apt_log(g_Log, APT_LOG_MARK, APT_PRIO_NOTICE, "Fake Plugin Create");
  if (g_Created) return NULL;
  g_Created = 1;
  return mrcp_engine_create(MRCP_SYNTHESIZER_RESOURCE, &g_EngineObject, &kEngineVtable, pool);
}
