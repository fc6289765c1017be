// Counted strings, name=value pair arrays and text-stream readers of the
// host toolkit (apt.h). Plain C semantics: no exceptions, no global state.

#include <string.h>
#include <strings.h>

#include <apr_strings.h>

#include "vxhost/apt.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

extern "C" {

// ---------------------------------------------------------------- strings

APT_DECLARE(void) apt_string_assign(apt_str_t* str, const char* src, apr_pool_t* pool) {
  if (!str) return;
  if (!src || !pool) {
    apt_string_reset(str);
    return;
  }
  apt_string_assign_n(str, src, strlen(src), pool);
}

APT_DECLARE(void) apt_string_assign_n(apt_str_t* str, const char* src, apr_size_t length,
                                      apr_pool_t* pool) {
  if (!str) return;
  if (!src || !pool) {
    apt_string_reset(str);
    return;
  }
  str->buf = apr_pstrmemdup(pool, src, length);
  str->length = length;
}

APT_DECLARE(void) apt_string_copy(apt_str_t* str, const apt_str_t* src_str, apr_pool_t* pool) {
  if (!str) return;
  if (!src_str || !src_str->buf) {
    apt_string_reset(str);
    return;
  }
  apt_string_assign_n(str, src_str->buf, src_str->length, pool);
}

APT_DECLARE(apt_bool_t) apt_string_compare(const apt_str_t* str, const char* value) {
  if (!str || !value) return FALSE;
  const apr_size_t length = strlen(value);
  if (str->length != length) return FALSE;
  if (length == 0) return TRUE;
  return (str->buf && strncasecmp(str->buf, value, length) == 0) ? TRUE : FALSE;
}

// ------------------------------------------------------ name=value pairs

APT_DECLARE(apt_pair_arr_t*) apt_pair_array_create(apr_size_t initial_size, apr_pool_t* pool) {
  if (!pool) return NULL;
  return apr_array_make(pool, static_cast<int>(initial_size), sizeof(apt_pair_t));
}

APT_DECLARE(apt_bool_t) apt_pair_array_parse(apt_pair_arr_t* arr, const apt_str_t* value,
                                             apr_pool_t* pool) {
  if (!arr || !value || !pool) return FALSE;
  if (!value->buf) return value->length == 0 ? TRUE : FALSE;

  // The stream reads through a private copy: the reader takes a mutable
  // buffer and the caller's value stays untouched.
  char* copy = apr_pstrmemdup(pool, value->buf, value->length);
  apt_text_stream_t stream;
  apt_text_stream_init(&stream, copy, value->length);
  while (stream.pos < stream.end) {
    apt_str_t field;
    if (!apt_text_field_read(&stream, ';', TRUE, &field)) continue;  // empty pair: skip

    apt_text_stream_t pair_stream;
    apt_text_stream_init(&pair_stream, field.buf, field.length);
    apt_pair_t* pair = static_cast<apt_pair_t*>(apr_array_push(arr));
    apt_str_t name;
    apt_text_field_read(&pair_stream, '=', FALSE, &name);  // empty name stays empty
    apt_string_assign_n(&pair->name, name.buf ? name.buf : "", name.length, pool);
    // Whatever follows the first '=' is the value, '=' included.
    const apr_size_t rest = static_cast<apr_size_t>(pair_stream.end - pair_stream.pos);
    apt_string_assign_n(&pair->value, pair_stream.pos, rest, pool);
  }
  return TRUE;
}

APT_DECLARE(apt_bool_t) apt_pair_array_generate(const apt_pair_arr_t* arr, apt_str_t* str,
                                                apr_pool_t* pool) {
  if (!arr || !str || !pool) return FALSE;
  apr_size_t total = 0;
  for (int i = 0; i < arr->nelts; ++i) {
    const apt_pair_t* pair = &APR_ARRAY_IDX(arr, i, apt_pair_t);
    total += pair->name.length + 1 + pair->value.length + 1;
  }
  char* buf = static_cast<char*>(apr_palloc(pool, total + 1));
  char* pos = buf;
  for (int i = 0; i < arr->nelts; ++i) {
    const apt_pair_t* pair = &APR_ARRAY_IDX(arr, i, apt_pair_t);
    if (i > 0) *pos++ = ';';
    if (pair->name.length) {
      memcpy(pos, pair->name.buf, pair->name.length);
      pos += pair->name.length;
    }
    // A pair without a name keeps its '=': alone, it would parse as no pair.
    if (pair->value.length || !pair->name.length) {
      *pos++ = '=';
      if (pair->value.length) memcpy(pos, pair->value.buf, pair->value.length);
      pos += pair->value.length;
    }
  }
  *pos = '\0';
  str->buf = buf;
  str->length = static_cast<apr_size_t>(pos - buf);
  return TRUE;
}

APT_DECLARE(apt_bool_t) apt_pair_array_append(apt_pair_arr_t* arr, const apt_str_t* name,
                                              const apt_str_t* value, apr_pool_t* pool) {
  if (!arr || !pool) return FALSE;
  apt_pair_t* pair = static_cast<apt_pair_t*>(apr_array_push(arr));
  apt_string_reset(&pair->name);
  apt_string_reset(&pair->value);
  if (name) apt_string_copy(&pair->name, name, pool);
  if (value) apt_string_copy(&pair->value, value, pool);
  return TRUE;
}

APT_DECLARE(int) apt_pair_array_size_get(const apt_pair_arr_t* arr) {
  return arr ? arr->nelts : 0;
}

APT_DECLARE(apt_pair_t*) apt_pair_array_get(const apt_pair_arr_t* arr, int id) {
  if (!arr || id < 0 || id >= arr->nelts) return NULL;
  return &APR_ARRAY_IDX(arr, id, apt_pair_t);
}

// ------------------------------------------------------------ text streams

APT_DECLARE(void) apt_text_stream_init(apt_text_stream_t* stream, char* buffer, apr_size_t size) {
  if (!stream) return;
  if (!buffer) size = 0;
  stream->text.buf = buffer;
  stream->text.length = size;
  stream->pos = buffer;
  stream->end = buffer ? buffer + size : NULL;
  stream->is_eos = size == 0 ? TRUE : FALSE;
}

APT_DECLARE(apt_bool_t) apt_text_field_read(apt_text_stream_t* stream, char separator,
                                            apt_bool_t skip_spaces, apt_str_t* field) {
  if (!field) return FALSE;
  apt_string_reset(field);
  if (!stream || !stream->pos || stream->pos >= stream->end) {
    if (stream) stream->is_eos = TRUE;
    return FALSE;
  }
  char* pos = stream->pos;
  const char* end = stream->end;
  if (skip_spaces) {
    while (pos < end && IsBlank(*pos)) ++pos;
  }
  char* start = pos;
  while (pos < end && *pos != separator) ++pos;
  const apr_size_t length = static_cast<apr_size_t>(pos - start);
  if (pos < end) ++pos;  // step over the separator
  stream->pos = pos;
  if (pos >= end) stream->is_eos = TRUE;
  if (length == 0) return FALSE;
  field->buf = start;
  field->length = length;
  return TRUE;
}

APT_DECLARE(apt_bool_t) apt_text_line_read(apt_text_stream_t* stream, apt_str_t* line) {
  if (!line) return FALSE;
  apt_string_reset(line);
  if (!stream || !stream->pos || stream->pos >= stream->end) {
    if (stream) stream->is_eos = TRUE;
    return FALSE;
  }
  char* pos = stream->pos;
  const char* end = stream->end;
  char* start = pos;
  while (pos < end && *pos != '\r' && *pos != '\n') ++pos;
  line->buf = start;
  line->length = static_cast<apr_size_t>(pos - start);
  if (pos < end) {
    if (*pos == '\r' && pos + 1 < end && pos[1] == '\n') ++pos;
    ++pos;
  }
  stream->pos = pos;
  if (pos >= end) stream->is_eos = TRUE;
  return TRUE;
}

}  // extern "C"
