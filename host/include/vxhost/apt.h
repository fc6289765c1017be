/*
 * Host toolkit interface: strings, name=value pair arrays, text streams,
 * logging, the directory layout and tasks.
 *
 * These are the C declarations a loadable module builds against. The host kit
 * (libvxhost) implements every function here; a module and every program that
 * hosts it link against that one library, so one process has exactly one copy
 * of the host's state (logger, default log source).
 */
#pragma once

#include <apr_pools.h>
#include <apr_tables.h>
#include <apr_general.h>
#include <stdarg.h>

#ifdef __cplusplus
extern "C" {
#endif

#define APT_DECLARE(type) __attribute__((visibility("default"))) type

typedef int apt_bool_t;
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

/* ---------------------------------------------------------------- strings */

/* A counted string; buf need not be NUL-terminated unless said so. */
typedef struct apt_str_t {
  char* buf;
  apr_size_t length;
} apt_str_t;

static inline void apt_string_reset(apt_str_t* str) {
  str->buf = NULL;
  str->length = 0;
}
static inline apt_bool_t apt_string_is_empty(const apt_str_t* str) {
  return (!str->buf || !str->length) ? TRUE : FALSE;
}
static inline const char* apt_string_buffer_get(const apt_str_t* str) { return str->buf; }
static inline apr_size_t apt_string_length_get(const apt_str_t* str) { return str->length; }

/* Copies src (NUL-terminated) into str, allocated from pool; the copy is
 * NUL-terminated. A null src resets str. */
APT_DECLARE(void) apt_string_assign(apt_str_t* str, const char* src, apr_pool_t* pool);
/* Copies length bytes of src into str (NUL-terminated copy). */
APT_DECLARE(void) apt_string_assign_n(apt_str_t* str, const char* src, apr_size_t length,
                                      apr_pool_t* pool);
/* Copies src_str into str (NUL-terminated copy). */
APT_DECLARE(void) apt_string_copy(apt_str_t* str, const apt_str_t* src_str, apr_pool_t* pool);
/* Case-insensitive comparison of a counted string with a C string. */
APT_DECLARE(apt_bool_t) apt_string_compare(const apt_str_t* str, const char* value);

/* ------------------------------------------------------ name=value pairs */

typedef struct apt_pair_t {
  apt_str_t name;
  apt_str_t value;
} apt_pair_t;

/* An APR array whose elements are apt_pair_t. */
typedef apr_array_header_t apt_pair_arr_t;

APT_DECLARE(apt_pair_arr_t*) apt_pair_array_create(apr_size_t initial_size, apr_pool_t* pool);
/* Parses "name=value;name2=value2" (pairs separated by ';', leading spaces of
 * each pair skipped) and appends the pairs. A pair without '=' has an empty
 * value; an empty name or value is kept as an empty string. Names and values
 * are NUL-terminated copies in pool. False when value is null. */
APT_DECLARE(apt_bool_t) apt_pair_array_parse(apt_pair_arr_t* arr, const apt_str_t* value,
                                             apr_pool_t* pool);
/* Writes the pairs back as "name=value;name2=value2" into str. */
APT_DECLARE(apt_bool_t) apt_pair_array_generate(const apt_pair_arr_t* arr, apt_str_t* str,
                                                apr_pool_t* pool);
APT_DECLARE(apt_bool_t) apt_pair_array_append(apt_pair_arr_t* arr, const apt_str_t* name,
                                              const apt_str_t* value, apr_pool_t* pool);
APT_DECLARE(int) apt_pair_array_size_get(const apt_pair_arr_t* arr);
APT_DECLARE(apt_pair_t*) apt_pair_array_get(const apt_pair_arr_t* arr, int id);

/* ------------------------------------------------------------ text streams */

/* A read cursor over a text buffer. */
typedef struct apt_text_stream_t {
  apt_str_t text;
  char* pos;
  const char* end;
  apt_bool_t is_eos;
} apt_text_stream_t;

APT_DECLARE(void) apt_text_stream_init(apt_text_stream_t* stream, char* buffer, apr_size_t size);
/* Reads one field: skips leading spaces when skip_spaces is set, takes the
 * text up to separator (or the end of the text), then steps over the
 * separator. False (and field reset) when the field is empty. */
APT_DECLARE(apt_bool_t) apt_text_field_read(apt_text_stream_t* stream, char separator,
                                            apt_bool_t skip_spaces, apt_str_t* field);
/* Reads one line: a line ends at CR, LF or CR LF; the last line needs no
 * terminator. The line excludes its terminator. False at the end of text. */
APT_DECLARE(apt_bool_t) apt_text_line_read(apt_text_stream_t* stream, apt_str_t* line);

/* ----------------------------------------------------------------- logging */

typedef enum {
  APT_PRIO_EMERGENCY = 0,
  APT_PRIO_ALERT = 1,
  APT_PRIO_CRITICAL = 2,
  APT_PRIO_ERROR = 3,
  APT_PRIO_WARNING = 4,
  APT_PRIO_NOTICE = 5,
  APT_PRIO_INFO = 6,
  APT_PRIO_DEBUG = 7,
  APT_PRIO_COUNT = 8
} apt_log_priority_e;

/* A named log source. Sources are owned by the host and live as long as
 * the process. */
typedef struct apt_log_source_t {
  const char* name;
  apt_log_priority_e priority; /* lines above this priority are dropped */
} apt_log_source_t;

/* The host's logger; opaque to modules. */
typedef struct apt_logger_t apt_logger_t;

#define APT_LOG_MARK __FILE__, __LINE__

/* Logs one line; callable from any thread. Returns FALSE when filtered. */
APT_DECLARE(apt_bool_t) apt_log(apt_log_source_t* source, const char* file, int line,
                                apt_log_priority_e priority, const char* format, ...)
    __attribute__((format(printf, 5, 6)));
APT_DECLARE(apt_bool_t) apt_va_log(apt_log_source_t* source, const char* file, int line,
                                   apt_log_priority_e priority, const char* format, va_list args);

/* True when a line of that priority from that source would be written
 * anywhere; lets a caller skip building an expensive message. */
APT_DECLARE(apt_bool_t) apt_log_priority_check(const apt_log_source_t* source,
                                               apt_log_priority_e priority);
APT_DECLARE(apt_bool_t) apt_log_instance_set(apt_logger_t* logger);
APT_DECLARE(apt_logger_t*) apt_log_instance_get(void);
APT_DECLARE(void) apt_def_log_source_set(apt_log_source_t* source);
APT_DECLARE(apt_log_source_t*) apt_def_log_source_get(void);
/* Finds or registers the source of that name and writes it to *source. */
APT_DECLARE(apt_bool_t) apt_log_source_assign(const char* name, apt_log_source_t** source);
/* "EMERGENCY", "ALERT", "CRITICAL", "ERROR", "WARNING", "NOTICE", "INFO",
 * "DEBUG" (case-insensitive) to a priority; anything else gives DEBUG. */
APT_DECLARE(apt_log_priority_e) apt_log_priority_translate(const char* str);
APT_DECLARE(const char*) apt_log_priority_name(apt_log_priority_e priority);

/* ---------------------------------------------------------- directory layout */

typedef enum {
  APT_LAYOUT_CONF_DIR = 0,
  APT_LAYOUT_PLUGIN_DIR = 1,
  APT_LAYOUT_LOG_DIR = 2,
  APT_LAYOUT_DATA_DIR = 3,
  APT_LAYOUT_VAR_DIR = 4,
  APT_LAYOUT_DIR_COUNT = 5
} apt_dir_entry_id;

typedef struct apt_dir_layout_t apt_dir_layout_t;

/* A layout rooted at root_dir: conf/, plugin/, log/, data/, var/. */
APT_DECLARE(apt_dir_layout_t*) apt_default_dir_layout_create(const char* root_dir,
                                                             apr_pool_t* pool);
/* An empty layout whose entries are set one by one. */
APT_DECLARE(apt_dir_layout_t*) apt_dir_layout_create(apr_pool_t* pool);
APT_DECLARE(apt_bool_t) apt_dir_layout_path_set(apt_dir_layout_t* layout, apt_dir_entry_id id,
                                                const char* path, apr_pool_t* pool);
/* The directory of an entry, or NULL when the layout has none. */
APT_DECLARE(const char*) apt_dir_layout_path_get(const apt_dir_layout_t* layout,
                                                 apt_dir_entry_id id);
/* conf directory + "/" + file_name, or NULL without a conf directory. */
APT_DECLARE(char*) apt_confdir_filepath_get(const apt_dir_layout_t* layout, const char* file_name,
                                            apr_pool_t* pool);
/* var directory + "/" + file_name, or NULL without a var directory. */
APT_DECLARE(char*) apt_vardir_filepath_get(const apt_dir_layout_t* layout, const char* file_name,
                                           apr_pool_t* pool);
APT_DECLARE(char*) apt_datadir_filepath_get(const apt_dir_layout_t* layout, const char* file_name,
                                            apr_pool_t* pool);

/* ------------------------------------------------------------------- tasks */

typedef struct apt_task_t apt_task_t;
typedef struct apt_task_msg_t apt_task_msg_t;
typedef struct apt_task_msg_pool_t apt_task_msg_pool_t;

/* Operations of a task; every slot may be null. run executes on the task's
 * own thread; the task ends when run returns. */
typedef struct apt_task_vtable_t {
  apt_bool_t (*destroy)(apt_task_t* task);
  apt_bool_t (*start)(apt_task_t* task);
  apt_bool_t (*terminate)(apt_task_t* task);
  apt_bool_t (*run)(apt_task_t* task);
  apt_bool_t (*signal_msg)(apt_task_t* task, apt_task_msg_t* msg);
  apt_bool_t (*process_msg)(apt_task_t* task, apt_task_msg_t* msg);
  void (*on_start_complete)(apt_task_t* task);
  void (*on_terminate_complete)(apt_task_t* task);
} apt_task_vtable_t;

APT_DECLARE(apt_task_t*) apt_task_create(void* obj, apt_task_msg_pool_t* msg_pool,
                                         apr_pool_t* pool);
APT_DECLARE(apt_task_vtable_t*) apt_task_vtable_get(apt_task_t* task);
APT_DECLARE(void*) apt_task_object_get(const apt_task_t* task);
APT_DECLARE(void) apt_task_name_set(apt_task_t* task, const char* name);
/* Starts the task's thread, which calls the run operation. */
APT_DECLARE(apt_bool_t) apt_task_start(apt_task_t* task);
/* Calls the terminate operation; with wait, joins the task's thread. */
APT_DECLARE(apt_bool_t) apt_task_terminate(apt_task_t* task, apt_bool_t wait);
/* Destroys the task; a running thread is joined first. */
APT_DECLARE(apt_bool_t) apt_task_destroy(apt_task_t* task);

#ifdef __cplusplus
}
#endif
