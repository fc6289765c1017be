// MRCP messages of the host (mrcp.h): creation, header sections with their
// presence bits, and the synthesizer's method, event and cause names.

#include <string.h>

#include "vxhost/mrcp.h"

namespace {

const char* const kMethodNames[SYNTHESIZER_METHOD_COUNT] = {
    "SET-PARAMS", "GET-PARAMS", "SPEAK",   "STOP",          "PAUSE",
    "RESUME",     "BARGE-IN-OCCURRED",     "CONTROL",       "DEFINE-LEXICON"};

const char* const kEventNames[SYNTHESIZER_EVENT_COUNT] = {"SPEECH-MARKER", "SPEAK-COMPLETE"};

#define VX_STR(text) {const_cast<char*>(text), sizeof(text) - 1}
const apt_str_t kCompletionCauses[SYNTHESIZER_COMPLETION_CAUSE_COUNT] = {
    VX_STR("normal"), VX_STR("barge-in"),             VX_STR("parse-failure"),
    VX_STR("uri-failure"), VX_STR("error"),           VX_STR("language-unsupported"),
    VX_STR("lexicon-load-failure"), VX_STR("cancelled")};
#undef VX_STR

mrcp_message_t* NewMessage(apr_pool_t* pool) {
  if (!pool) return nullptr;
  mrcp_message_t* message = static_cast<mrcp_message_t*>(apr_pcalloc(pool, sizeof(*message)));
  message->start_line.status_code = MRCP_STATUS_CODE_UNKNOWN;
  message->start_line.request_state = MRCP_REQUEST_STATE_UNKNOWN;
  message->pool = pool;
  return message;
}

}  // namespace

extern "C" {

APT_DECLARE(mrcp_message_t*) mrcp_request_create(mrcp_version_e version, apr_size_t method_id,
                                                 apr_pool_t* pool) {
  mrcp_message_t* message = NewMessage(pool);
  if (!message) return NULL;
  message->start_line.message_type = MRCP_MESSAGE_TYPE_REQUEST;
  message->start_line.version = version;
  message->start_line.method_id = method_id;
  apt_string_assign(&message->start_line.method_name, mrcp_synth_method_name_get(method_id), pool);
  // A host gives every request of a resource both header sections, empty
  // until headers are added.
  mrcp_generic_header_prepare(message);
  mrcp_resource_header_prepare(message);
  return message;
}

APT_DECLARE(mrcp_message_t*) mrcp_response_create(const mrcp_message_t* request,
                                                  apr_pool_t* pool) {
  if (!request) return NULL;
  mrcp_message_t* message = NewMessage(pool);
  if (!message) return NULL;
  mrcp_start_line_t* line = &message->start_line;
  line->message_type = MRCP_MESSAGE_TYPE_RESPONSE;
  line->version = request->start_line.version;
  line->request_id = request->start_line.request_id;
  line->method_id = request->start_line.method_id;
  apt_string_copy(&line->method_name, &request->start_line.method_name, pool);
  line->status_code = MRCP_STATUS_CODE_SUCCESS;
  line->request_state = MRCP_REQUEST_STATE_COMPLETE;
  apt_string_copy(&message->channel_id, &request->channel_id, pool);
  return message;
}

APT_DECLARE(mrcp_message_t*) mrcp_event_create(const mrcp_message_t* request, apr_size_t event_id,
                                               apr_pool_t* pool) {
  if (!request) return NULL;
  mrcp_message_t* message = NewMessage(pool);
  if (!message) return NULL;
  mrcp_start_line_t* line = &message->start_line;
  line->message_type = MRCP_MESSAGE_TYPE_EVENT;
  line->version = request->start_line.version;
  line->request_id = request->start_line.request_id;
  line->method_id = event_id;
  apt_string_assign(&line->method_name, mrcp_synth_event_name_get(event_id), pool);
  line->request_state = MRCP_REQUEST_STATE_INPROGRESS;
  apt_string_copy(&message->channel_id, &request->channel_id, pool);
  return message;
}

APT_DECLARE(mrcp_generic_header_t*) mrcp_generic_header_prepare(mrcp_message_t* message) {
  if (!message || !message->pool) return NULL;
  if (!message->generic_header) {
    message->generic_header = static_cast<mrcp_generic_header_t*>(
        apr_pcalloc(message->pool, sizeof(mrcp_generic_header_t)));
  }
  return message->generic_header;
}

APT_DECLARE(mrcp_synth_header_t*) mrcp_resource_header_prepare(mrcp_message_t* message) {
  if (!message || !message->pool) return NULL;
  if (!message->synth_header) {
    mrcp_synth_header_t* header = static_cast<mrcp_synth_header_t*>(
        apr_pcalloc(message->pool, sizeof(mrcp_synth_header_t)));
    header->kill_on_barge_in = FALSE;
    header->completion_cause = SYNTHESIZER_COMPLETION_CAUSE_UNKNOWN;
    header->voice_param.gender = VOICE_GENDER_UNKNOWN;
    header->prosody_param.rate.type = PROSODY_RATE_TYPE_UNKNOWN;
    header->prosody_param.rate.value.label = PROSODY_RATE_UNKNOWN;
    header->prosody_param.volume.type = PROSODY_VOLUME_TYPE_UNKNOWN;
    header->prosody_param.volume.value.label = PROSODY_VOLUME_UNKNOWN;
    message->synth_header = header;
  }
  return message->synth_header;
}

APT_DECLARE(apt_bool_t) mrcp_generic_header_property_add(mrcp_message_t* message,
                                                         apr_size_t header_id) {
  if (!message || header_id >= GENERIC_HEADER_COUNT) return FALSE;
  if (!mrcp_generic_header_prepare(message)) return FALSE;
  message->generic_present |= 1u << header_id;
  return TRUE;
}

APT_DECLARE(apt_bool_t) mrcp_generic_header_property_check(const mrcp_message_t* message,
                                                           apr_size_t header_id) {
  if (!message || !message->generic_header || header_id >= GENERIC_HEADER_COUNT) return FALSE;
  return (message->generic_present & (1u << header_id)) ? TRUE : FALSE;
}

APT_DECLARE(apt_bool_t) mrcp_resource_header_property_add(mrcp_message_t* message,
                                                          apr_size_t header_id) {
  if (!message || header_id >= SYNTHESIZER_HEADER_COUNT) return FALSE;
  if (!mrcp_resource_header_prepare(message)) return FALSE;
  message->synth_present |= 1u << header_id;
  return TRUE;
}

APT_DECLARE(apt_bool_t) mrcp_resource_header_property_check(const mrcp_message_t* message,
                                                            apr_size_t header_id) {
  if (!message || !message->synth_header || header_id >= SYNTHESIZER_HEADER_COUNT) return FALSE;
  return (message->synth_present & (1u << header_id)) ? TRUE : FALSE;
}

APT_DECLARE(const apt_str_t*) mrcp_synth_completion_cause_get(mrcp_synth_completion_cause_e cause,
                                                              mrcp_version_e version) {
  (void)version;  // the names are the same in both versions
  if (cause < 0 || cause >= SYNTHESIZER_COMPLETION_CAUSE_COUNT) return NULL;
  return &kCompletionCauses[cause];
}

APT_DECLARE(const char*) mrcp_synth_method_name_get(apr_size_t method_id) {
  return method_id < SYNTHESIZER_METHOD_COUNT ? kMethodNames[method_id] : NULL;
}

APT_DECLARE(const char*) mrcp_synth_event_name_get(apr_size_t event_id) {
  return event_id < SYNTHESIZER_EVENT_COUNT ? kEventNames[event_id] : NULL;
}

}  // extern "C"
