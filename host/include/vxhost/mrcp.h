/*
 * Host MRCP interface: messages with their generic and synthesizer header
 * sections, resource engines and engine channels, and the plug-in entry
 * points a module exports.
 *
 * Header sections are plain structs read and written directly; a header is
 * present in a message when its bit is set in the section's presence mask
 * (the *_property_add / *_property_check functions).
 */
#pragma once

#include "vxhost/apt.h"
#include "vxhost/mpf.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------ start line */

typedef enum {
  MRCP_VERSION_UNKNOWN = 0,
  MRCP_VERSION_1 = 1,
  MRCP_VERSION_2 = 2
} mrcp_version_e;

typedef enum {
  MRCP_MESSAGE_TYPE_UNKNOWN = 0,
  MRCP_MESSAGE_TYPE_REQUEST = 1,
  MRCP_MESSAGE_TYPE_RESPONSE = 2,
  MRCP_MESSAGE_TYPE_EVENT = 3
} mrcp_message_type_e;

typedef enum {
  MRCP_REQUEST_STATE_COMPLETE = 0,
  MRCP_REQUEST_STATE_INPROGRESS = 1,
  MRCP_REQUEST_STATE_PENDING = 2,
  MRCP_REQUEST_STATE_UNKNOWN = 3
} mrcp_request_state_e;

typedef enum {
  MRCP_STATUS_CODE_UNKNOWN = 0,
  MRCP_STATUS_CODE_SUCCESS = 200,
  MRCP_STATUS_CODE_SUCCESS_WITH_IGNORE = 201,
  MRCP_STATUS_CODE_METHOD_NOT_ALLOWED = 401,
  MRCP_STATUS_CODE_METHOD_NOT_VALID = 402,
  MRCP_STATUS_CODE_UNSUPPORTED_PARAM = 403,
  MRCP_STATUS_CODE_ILLEGAL_PARAM_VALUE = 404,
  MRCP_STATUS_CODE_NOT_FOUND = 405,
  MRCP_STATUS_CODE_MISSING_PARAM = 406,
  MRCP_STATUS_CODE_METHOD_FAILED = 407,
  MRCP_STATUS_CODE_UNRECOGNIZED_MESSAGE = 408,
  MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE = 409,
  MRCP_STATUS_CODE_OUT_OF_ORDER = 410,
  MRCP_STATUS_CODE_RESOURCE_SPECIFIC_FAILURE = 421,
  /* A message may carry any three-digit code; this keeps every one of them
   * a value of the type, which C++ requires of what a field holds. */
  MRCP_STATUS_CODE_MAX_THREE_DIGIT = 999
} mrcp_status_code_e;

typedef apr_size_t mrcp_request_id;

/* Synthesizer methods (message method_id of requests). */
typedef enum {
  SYNTHESIZER_SET_PARAMS = 0,
  SYNTHESIZER_GET_PARAMS = 1,
  SYNTHESIZER_SPEAK = 2,
  SYNTHESIZER_STOP = 3,
  SYNTHESIZER_PAUSE = 4,
  SYNTHESIZER_RESUME = 5,
  SYNTHESIZER_BARGE_IN_OCCURRED = 6,
  SYNTHESIZER_CONTROL = 7,
  SYNTHESIZER_DEFINE_LEXICON = 8,
  SYNTHESIZER_METHOD_COUNT = 9
} mrcp_synthesizer_method_id;

/* Synthesizer events (message method_id of events). */
typedef enum {
  SYNTHESIZER_SPEECH_MARKER = 0,
  SYNTHESIZER_SPEAK_COMPLETE = 1,
  SYNTHESIZER_EVENT_COUNT = 2
} mrcp_synthesizer_event_id;

typedef struct mrcp_start_line_t {
  mrcp_message_type_e message_type;
  mrcp_version_e version;
  apr_size_t length;
  mrcp_request_id request_id;
  apt_str_t method_name;
  apr_size_t method_id;
  mrcp_status_code_e status_code;
  mrcp_request_state_e request_state;
} mrcp_start_line_t;

/* ------------------------------------------------------------ generic header */

typedef enum {
  GENERIC_HEADER_ACTIVE_REQUEST_ID_LIST = 0,
  GENERIC_HEADER_PROXY_SYNC_ID = 1,
  GENERIC_HEADER_ACCEPT_CHARSET = 2,
  GENERIC_HEADER_CONTENT_TYPE = 3,
  GENERIC_HEADER_CONTENT_ID = 4,
  GENERIC_HEADER_CONTENT_BASE = 5,
  GENERIC_HEADER_CONTENT_ENCODING = 6,
  GENERIC_HEADER_CONTENT_LOCATION = 7,
  GENERIC_HEADER_CONTENT_LENGTH = 8,
  GENERIC_HEADER_CACHE_CONTROL = 9,
  GENERIC_HEADER_LOGGING_TAG = 10,
  GENERIC_HEADER_VENDOR_SPECIFIC_PARAMS = 11,
  GENERIC_HEADER_ACCEPT = 12,
  GENERIC_HEADER_FETCH_TIMEOUT = 13,
  GENERIC_HEADER_SET_COOKIE = 14,
  GENERIC_HEADER_COUNT = 15
} mrcp_generic_header_id;

typedef struct mrcp_generic_header_t {
  apt_str_t active_request_id_list;
  apt_str_t proxy_sync_id;
  apt_str_t accept_charset;
  apt_str_t content_type;
  apt_str_t content_id;
  apt_str_t content_base;
  apt_str_t content_encoding;
  apt_str_t content_location;
  apr_size_t content_length;
  apt_str_t cache_control;
  apt_str_t logging_tag;
  apt_pair_arr_t* vendor_specific_params;
  apt_str_t accept;
  apr_size_t fetch_timeout;
  apt_str_t set_cookie;
} mrcp_generic_header_t;

/* -------------------------------------------------------- synthesizer header */

typedef enum {
  SYNTHESIZER_HEADER_JUMP_SIZE = 0,
  SYNTHESIZER_HEADER_KILL_ON_BARGE_IN = 1,
  SYNTHESIZER_HEADER_SPEAKER_PROFILE = 2,
  SYNTHESIZER_HEADER_COMPLETION_CAUSE = 3,
  SYNTHESIZER_HEADER_COMPLETION_REASON = 4,
  SYNTHESIZER_HEADER_VOICE_GENDER = 5,
  SYNTHESIZER_HEADER_VOICE_AGE = 6,
  SYNTHESIZER_HEADER_VOICE_VARIANT = 7,
  SYNTHESIZER_HEADER_VOICE_NAME = 8,
  SYNTHESIZER_HEADER_PROSODY_PITCH = 9,
  SYNTHESIZER_HEADER_PROSODY_CONTOUR = 10,
  SYNTHESIZER_HEADER_PROSODY_RANGE = 11,
  SYNTHESIZER_HEADER_PROSODY_RATE = 12,
  SYNTHESIZER_HEADER_PROSODY_DURATION = 13,
  SYNTHESIZER_HEADER_PROSODY_VOLUME = 14,
  SYNTHESIZER_HEADER_SPEECH_MARKER = 15,
  SYNTHESIZER_HEADER_SPEECH_LANGUAGE = 16,
  SYNTHESIZER_HEADER_FETCH_HINT = 17,
  SYNTHESIZER_HEADER_AUDIO_FETCH_HINT = 18,
  SYNTHESIZER_HEADER_FAILED_URI = 19,
  SYNTHESIZER_HEADER_FAILED_URI_CAUSE = 20,
  SYNTHESIZER_HEADER_SPEAK_RESTART = 21,
  SYNTHESIZER_HEADER_SPEAK_LENGTH = 22,
  SYNTHESIZER_HEADER_LOAD_LEXICON = 23,
  SYNTHESIZER_HEADER_LEXICON_SEARCH_ORDER = 24,
  SYNTHESIZER_HEADER_COUNT = 25
} mrcp_synthesizer_header_id;

typedef enum {
  VOICE_GENDER_MALE = 0,
  VOICE_GENDER_FEMALE = 1,
  VOICE_GENDER_NEUTRAL = 2,
  VOICE_GENDER_UNKNOWN = 3
} mrcp_voice_gender_e;

typedef enum {
  SYNTHESIZER_COMPLETION_CAUSE_NORMAL = 0,
  SYNTHESIZER_COMPLETION_CAUSE_BARGE_IN = 1,
  SYNTHESIZER_COMPLETION_CAUSE_PARSE_FAILURE = 2,
  SYNTHESIZER_COMPLETION_CAUSE_URI_FAILURE = 3,
  SYNTHESIZER_COMPLETION_CAUSE_ERROR = 4,
  SYNTHESIZER_COMPLETION_CAUSE_LANGUAGE_UNSUPPORTED = 5,
  SYNTHESIZER_COMPLETION_CAUSE_LEXICON_LOAD_FAILURE = 6,
  SYNTHESIZER_COMPLETION_CAUSE_CANCELLED = 7,
  SYNTHESIZER_COMPLETION_CAUSE_COUNT = 8,
  SYNTHESIZER_COMPLETION_CAUSE_UNKNOWN = SYNTHESIZER_COMPLETION_CAUSE_COUNT
} mrcp_synth_completion_cause_e;

/* Prosody rate: a label or a relative change in percent (100 = normal). */
typedef enum {
  PROSODY_RATE_TYPE_LABEL = 0,
  PROSODY_RATE_TYPE_RELATIVE_CHANGE = 1,
  PROSODY_RATE_TYPE_UNKNOWN = 2
} mrcp_prosody_rate_type_e;

typedef enum {
  PROSODY_RATE_XSLOW = 0,
  PROSODY_RATE_SLOW = 1,
  PROSODY_RATE_MEDIUM = 2,
  PROSODY_RATE_FAST = 3,
  PROSODY_RATE_XFAST = 4,
  PROSODY_RATE_DEFAULT = 5,
  PROSODY_RATE_UNKNOWN = 6
} mrcp_prosody_rate_label_e;

typedef struct mrcp_prosody_rate_t {
  mrcp_prosody_rate_type_e type;
  union {
    mrcp_prosody_rate_label_e label;
    float relative;
  } value;
} mrcp_prosody_rate_t;

/* Prosody volume: a label, a number (dB) or a relative change. */
typedef enum {
  PROSODY_VOLUME_TYPE_LABEL = 0,
  PROSODY_VOLUME_TYPE_NUMERIC = 1,
  PROSODY_VOLUME_TYPE_RELATIVE_CHANGE = 2,
  PROSODY_VOLUME_TYPE_UNKNOWN = 3
} mrcp_prosody_volume_type_e;

typedef enum {
  PROSODY_VOLUME_SILENT = 0,
  PROSODY_VOLUME_XSOFT = 1,
  PROSODY_VOLUME_SOFT = 2,
  PROSODY_VOLUME_MEDIUM = 3,
  PROSODY_VOLUME_LOUD = 4,
  PROSODY_VOLUME_XLOUD = 5,
  PROSODY_VOLUME_DEFAULT = 6,
  PROSODY_VOLUME_UNKNOWN = 7
} mrcp_prosody_volume_label_e;

typedef struct mrcp_prosody_volume_t {
  mrcp_prosody_volume_type_e type;
  union {
    mrcp_prosody_volume_label_e label;
    float numeric;
    float relative;
  } value;
} mrcp_prosody_volume_t;

typedef struct mrcp_voice_param_t {
  mrcp_voice_gender_e gender;
  apr_size_t age;
  apr_size_t variant;
  apt_str_t name;
} mrcp_voice_param_t;

typedef struct mrcp_prosody_param_t {
  apt_str_t pitch;
  apt_str_t contour;
  apt_str_t range;
  mrcp_prosody_rate_t rate;
  apt_str_t duration;
  mrcp_prosody_volume_t volume;
} mrcp_prosody_param_t;

typedef struct mrcp_synth_header_t {
  apt_str_t jump_size;
  apt_bool_t kill_on_barge_in;
  apt_str_t speaker_profile;
  mrcp_synth_completion_cause_e completion_cause;
  apt_str_t completion_reason;
  mrcp_voice_param_t voice_param;
  mrcp_prosody_param_t prosody_param;
  apt_str_t speech_marker;
  apt_str_t speech_language;
  apt_str_t fetch_hint;
  apt_str_t audio_fetch_hint;
  apt_str_t failed_uri;
  apt_str_t failed_uri_cause;
  apt_bool_t speak_restart;
  apt_str_t speak_length;
  apt_bool_t load_lexicon;
  apt_str_t lexicon_search_order;
} mrcp_synth_header_t;

/* ---------------------------------------------------------------- message */

typedef struct mrcp_message_t {
  mrcp_start_line_t start_line;
  apt_str_t channel_id;                 /* "session@speechsynth" */
  mrcp_generic_header_t* generic_header; /* NULL: no generic header section */
  apr_uint32_t generic_present;          /* bit i: generic header id i present */
  mrcp_synth_header_t* synth_header;     /* NULL: no synthesizer header section */
  apr_uint32_t synth_present;            /* bit i: synthesizer header id i present */
  apt_str_t body;
  apr_pool_t* pool;
} mrcp_message_t;

/* A request of a synthesizer method, in pool, with empty generic and
 * synthesizer header sections (no header present). */
APT_DECLARE(mrcp_message_t*) mrcp_request_create(mrcp_version_e version, apr_size_t method_id,
                                                 apr_pool_t* pool);
/* A 200 COMPLETE response to request, in pool. */
APT_DECLARE(mrcp_message_t*) mrcp_response_create(const mrcp_message_t* request, apr_pool_t* pool);
/* An event of request (event_id of mrcp_synthesizer_event_id), state IN-PROGRESS. */
APT_DECLARE(mrcp_message_t*) mrcp_event_create(const mrcp_message_t* request, apr_size_t event_id,
                                               apr_pool_t* pool);
/* The generic header section, allocated (zeroed) when absent. */
APT_DECLARE(mrcp_generic_header_t*) mrcp_generic_header_prepare(mrcp_message_t* message);
/* The synthesizer header section, allocated (defaults) when absent. */
APT_DECLARE(mrcp_synth_header_t*) mrcp_resource_header_prepare(mrcp_message_t* message);
static inline mrcp_generic_header_t* mrcp_generic_header_get(const mrcp_message_t* message) {
  return message->generic_header;
}
static inline mrcp_synth_header_t* mrcp_resource_header_get(const mrcp_message_t* message) {
  return message->synth_header;
}
APT_DECLARE(apt_bool_t) mrcp_generic_header_property_add(mrcp_message_t* message,
                                                         apr_size_t header_id);
APT_DECLARE(apt_bool_t) mrcp_generic_header_property_check(const mrcp_message_t* message,
                                                           apr_size_t header_id);
APT_DECLARE(apt_bool_t) mrcp_resource_header_property_add(mrcp_message_t* message,
                                                          apr_size_t header_id);
APT_DECLARE(apt_bool_t) mrcp_resource_header_property_check(const mrcp_message_t* message,
                                                            apr_size_t header_id);
/* "normal", "barge-in", ... for a cause below 8; NULL otherwise. */
APT_DECLARE(const apt_str_t*) mrcp_synth_completion_cause_get(mrcp_synth_completion_cause_e cause,
                                                              mrcp_version_e version);
APT_DECLARE(const char*) mrcp_synth_method_name_get(apr_size_t method_id);
APT_DECLARE(const char*) mrcp_synth_event_name_get(apr_size_t event_id);

/* ----------------------------------------------------------------- engines */

typedef enum { MRCP_SYNTHESIZER_RESOURCE = 0, MRCP_RECOGNIZER_RESOURCE = 1 } mrcp_resource_id;

typedef struct mrcp_engine_t mrcp_engine_t;
typedef struct mrcp_engine_channel_t mrcp_engine_channel_t;

/* The module's engine operations, in the host's slot order. */
typedef struct mrcp_engine_method_vtable_t {
  apt_bool_t (*destroy)(mrcp_engine_t* engine);
  apt_bool_t (*open)(mrcp_engine_t* engine);
  apt_bool_t (*close)(mrcp_engine_t* engine);
  mrcp_engine_channel_t* (*create_channel)(mrcp_engine_t* engine, apr_pool_t* pool);
} mrcp_engine_method_vtable_t;

/* The host's engine callbacks. */
typedef struct mrcp_engine_event_vtable_t {
  apt_bool_t (*on_open)(mrcp_engine_t* engine, apt_bool_t status);
  apt_bool_t (*on_close)(mrcp_engine_t* engine);
} mrcp_engine_event_vtable_t;

struct mrcp_engine_t {
  const char* id;
  mrcp_resource_id resource_id;
  void* obj; /* the module's engine object */
  const mrcp_engine_method_vtable_t* method_vtable;
  const mrcp_engine_event_vtable_t* event_vtable;
  void* event_obj; /* the host's */
  apr_pool_t* pool;
  const apt_dir_layout_t* dir_layout;
  apr_table_t* config_params;
};

/* The module's channel operations, in the host's slot order. */
typedef struct mrcp_engine_channel_method_vtable_t {
  apt_bool_t (*destroy)(mrcp_engine_channel_t* channel);
  apt_bool_t (*open)(mrcp_engine_channel_t* channel);
  apt_bool_t (*close)(mrcp_engine_channel_t* channel);
  apt_bool_t (*process_request)(mrcp_engine_channel_t* channel, mrcp_message_t* request);
} mrcp_engine_channel_method_vtable_t;

/* The host's channel callbacks. */
typedef struct mrcp_engine_channel_event_vtable_t {
  apt_bool_t (*on_open)(mrcp_engine_channel_t* channel, apt_bool_t status);
  apt_bool_t (*on_close)(mrcp_engine_channel_t* channel);
  apt_bool_t (*on_message)(mrcp_engine_channel_t* channel, mrcp_message_t* message);
} mrcp_engine_channel_event_vtable_t;

struct mrcp_engine_channel_t {
  const mrcp_engine_channel_method_vtable_t* method_vtable;
  void* method_obj; /* the module's channel object */
  const mrcp_engine_channel_event_vtable_t* event_vtable;
  void* event_obj; /* the host's */
  mpf_termination_t* termination;
  mrcp_engine_t* engine;
  apt_str_t id; /* NUL-terminated identifier */
  mrcp_version_e mrcp_version;
  apt_bool_t is_open;
  apr_pool_t* pool;
  apr_table_t* attribs; /* channel attributes, may be NULL */
};

APT_DECLARE(mrcp_engine_t*) mrcp_engine_create(mrcp_resource_id resource_id, void* obj,
                                               const mrcp_engine_method_vtable_t* vtable,
                                               apr_pool_t* pool);
APT_DECLARE(mrcp_engine_channel_t*) mrcp_engine_channel_create(
    mrcp_engine_t* engine, const mrcp_engine_channel_method_vtable_t* method_vtable,
    void* method_obj, mpf_termination_t* termination, apr_pool_t* pool);
APT_DECLARE(mpf_termination_t*) mrcp_engine_audio_termination_create(
    void* obj, const mpf_audio_stream_vtable_t* stream_vtable,
    mpf_stream_capabilities_t* capabilities, apr_pool_t* pool);
/* The codec negotiated for the channel's source stream, or NULL. */
APT_DECLARE(const mpf_codec_descriptor_t*) mrcp_engine_source_stream_codec_get(
    const mrcp_engine_channel_t* channel);

static inline apt_bool_t mrcp_engine_open_respond(mrcp_engine_t* engine, apt_bool_t status) {
  return engine->event_vtable->on_open(engine, status);
}
static inline apt_bool_t mrcp_engine_close_respond(mrcp_engine_t* engine) {
  return engine->event_vtable->on_close(engine);
}
static inline apt_bool_t mrcp_engine_channel_open_respond(mrcp_engine_channel_t* channel,
                                                          apt_bool_t status) {
  return channel->event_vtable->on_open(channel, status);
}
static inline apt_bool_t mrcp_engine_channel_close_respond(mrcp_engine_channel_t* channel) {
  return channel->event_vtable->on_close(channel);
}
static inline apt_bool_t mrcp_engine_channel_message_send(mrcp_engine_channel_t* channel,
                                                          mrcp_message_t* message) {
  return channel->event_vtable->on_message(channel, message);
}
static inline const char* mrcp_engine_channel_id_get(const mrcp_engine_channel_t* channel) {
  return channel->id.buf;
}

/* ------------------------------------------------------- plug-in entry points */

/* The version record a module exports as mrcp_plugin_version. */
typedef struct mrcp_plugin_version_t {
  int major;
  int minor;
  int patch;
  int reserved;
} mrcp_plugin_version_t;

#define MRCP_PLUGIN_VERSION_MAJOR 1
#define MRCP_PLUGIN_VERSION_MINOR 7

#define MRCP_PLUGIN_VERSION_SYM_NAME "mrcp_plugin_version"
#define MRCP_PLUGIN_ENGINE_SYM_NAME "mrcp_plugin_create"
#define MRCP_PLUGIN_LOGGER_SYM_NAME "mrcp_plugin_logger_set"
#define MRCP_PLUGIN_LOG_SOURCE_SYM_NAME "mrcp_plugin_log_source_set"

typedef mrcp_engine_t* (*mrcp_plugin_creator_f)(apr_pool_t* pool);
typedef apt_bool_t (*mrcp_plugin_log_accessor_f)(apt_logger_t* logger);
typedef apt_bool_t (*mrcp_plugin_log_source_accessor_f)(apt_log_source_t* source);

#ifdef __cplusplus
}
#endif
