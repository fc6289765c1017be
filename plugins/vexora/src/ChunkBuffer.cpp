#include "ChunkBuffer.h"

#include <apr_thread_mutex.h>

#include <cstring>

namespace {

struct MediaChunk {
  MediaChunk* next;
  int type;
  char* data;
  apr_size_t size;
  apr_uint32_t marker;  // kMarkerChunk only
};

// A chunk type outside the frame types: a speech marker, which no frame
// carries.
const int kMarkerChunk = 0x10000;

}  // namespace

struct mpf_media_chunk_buffer_t {
  MediaChunk* head;     // next chunk to read
  MediaChunk* tail;     // last chunk written
  MediaChunk* current;  // chunk being read, already unlinked
  apr_size_t remaining; // bytes of the current chunk not yet read
  apr_thread_mutex_t* mutex;
  apr_pool_t* pool;        // chunks and their data
  apr_size_t size;         // bytes written and not yet read
  apr_uint32_t generation; // restarts so far
  apt_bool_t mark_read;    // a mark was read since the last restart
};

namespace {

class BufferLock {
 public:
  explicit BufferLock(const mpf_media_chunk_buffer_t* buffer) : m_Mutex(buffer->mutex) {
    apr_thread_mutex_lock(m_Mutex);
  }
  ~BufferLock() { apr_thread_mutex_unlock(m_Mutex); }
  BufferLock(const BufferLock&) = delete;
  BufferLock& operator=(const BufferLock&) = delete;

 private:
  apr_thread_mutex_t* m_Mutex;
};

void AppendChunk(mpf_media_chunk_buffer_t* buffer, MediaChunk* chunk) {
  chunk->next = nullptr;
  if (buffer->tail) {
    buffer->tail->next = chunk;
  } else {
    buffer->head = chunk;
  }
  buffer->tail = chunk;
}

MediaChunk* TakeHead(mpf_media_chunk_buffer_t* buffer) {
  MediaChunk* chunk = buffer->head;
  if (chunk) {
    buffer->head = chunk->next;
    if (!buffer->head) buffer->tail = nullptr;
  }
  return chunk;
}

}  // namespace

extern "C" {

mpf_media_chunk_buffer_t* mpf_media_chunk_buffer_create(apr_pool_t* pool) {
  mpf_media_chunk_buffer_t* buffer =
      static_cast<mpf_media_chunk_buffer_t*>(apr_pcalloc(pool, sizeof(mpf_media_chunk_buffer_t)));
  if (apr_pool_create(&buffer->pool, pool) != APR_SUCCESS) return nullptr;
  if (apr_thread_mutex_create(&buffer->mutex, APR_THREAD_MUTEX_UNNESTED, pool) != APR_SUCCESS) {
    apr_pool_destroy(buffer->pool);
    return nullptr;
  }
  return buffer;
}

apt_bool_t mpf_media_chunk_buffer_destroy(mpf_media_chunk_buffer_t* buffer) {
  if (!buffer) return FALSE;
  apr_thread_mutex_destroy(buffer->mutex);
  buffer->mutex = nullptr;
  apr_pool_destroy(buffer->pool);
  buffer->pool = nullptr;
  return TRUE;
}

apt_bool_t mpf_media_chunk_buffer_restart(mpf_media_chunk_buffer_t* buffer) {
  BufferLock lock(buffer);
  buffer->head = buffer->tail = buffer->current = nullptr;
  buffer->remaining = 0;
  buffer->size = 0;
  ++buffer->generation;
  buffer->mark_read = FALSE;
  // Nothing refers to the old chunks any more: their memory is given back
  // to the pool for the next SPEAK.
  apr_pool_clear(buffer->pool);
  return TRUE;
}

apt_bool_t mpf_media_chunk_buffer_audio_write(mpf_media_chunk_buffer_t* buffer, void* data,
                                              apr_size_t size) {
  BufferLock lock(buffer);
  MediaChunk* chunk =
      static_cast<MediaChunk*>(apr_palloc(buffer->pool, sizeof(MediaChunk) + size));
  chunk->type = MEDIA_FRAME_TYPE_AUDIO;
  chunk->data = reinterpret_cast<char*>(chunk + 1);
  chunk->size = size;
  chunk->marker = 0;
  if (size) memcpy(chunk->data, data, size);
  AppendChunk(buffer, chunk);
  buffer->size += size;
  return TRUE;
}

apt_bool_t mpf_media_chunk_buffer_event_write(mpf_media_chunk_buffer_t* buffer,
                                              mpf_frame_type_e type) {
  BufferLock lock(buffer);
  MediaChunk* chunk = static_cast<MediaChunk*>(apr_palloc(buffer->pool, sizeof(MediaChunk)));
  chunk->type = type;
  chunk->data = nullptr;
  chunk->size = 0;
  chunk->marker = 0;
  AppendChunk(buffer, chunk);
  return TRUE;
}

apt_bool_t mpf_media_chunk_buffer_frame_read(mpf_media_chunk_buffer_t* buffer,
                                             mpf_frame_t* frame) {
  apr_uint32_t generation = 0;
  return vxs_media_chunk_buffer_frame_read(buffer, frame, &generation);
}

apr_size_t mpf_media_chunk__buffer_get_size(const mpf_media_chunk_buffer_t* buffer) {
  BufferLock lock(buffer);
  return buffer->size;
}

}  // extern "C"

namespace {

apr_status_t DeleteOwner(void* owner) {
  delete static_cast<std::string*>(owner);
  return APR_SUCCESS;
}

}  // namespace

apt_bool_t vxs_media_chunk_buffer_audio_adopt(mpf_media_chunk_buffer_t* buffer, std::string* owner,
                                              const char* data, apr_size_t size) {
  BufferLock lock(buffer);
  // The cleanup goes first, so that the owner is freed whatever happens to
  // the chunk.
  apr_pool_cleanup_register(buffer->pool, owner, DeleteOwner, apr_pool_cleanup_null);
  MediaChunk* chunk = static_cast<MediaChunk*>(apr_palloc(buffer->pool, sizeof(MediaChunk)));
  chunk->type = MEDIA_FRAME_TYPE_AUDIO;
  chunk->data = const_cast<char*>(data);
  chunk->size = size;
  chunk->marker = 0;
  AppendChunk(buffer, chunk);
  buffer->size += size;
  return TRUE;
}

apt_bool_t vxs_media_chunk_buffer_marker_write(mpf_media_chunk_buffer_t* buffer,
                                               apr_uint32_t number) {
  BufferLock lock(buffer);
  MediaChunk* chunk = static_cast<MediaChunk*>(apr_palloc(buffer->pool, sizeof(MediaChunk)));
  chunk->type = kMarkerChunk;
  chunk->data = nullptr;
  chunk->size = 0;
  chunk->marker = number;
  AppendChunk(buffer, chunk);
  return TRUE;
}

apt_bool_t vxs_media_chunk_buffer_frame_read(mpf_media_chunk_buffer_t* buffer, mpf_frame_t* frame,
                                             apr_uint32_t* generation, apr_size_t* audio_bytes,
                                             apr_uint32_t* marker) {
  char* target = static_cast<char*>(frame->codec_frame.buffer);
  apr_size_t frame_size = frame->codec_frame.size;
  apr_size_t need = frame_size;
  BufferLock lock(buffer);
  *generation = buffer->generation;
  if (audio_bytes) *audio_bytes = 0;
  if (marker) *marker = 0;
  while (need > 0) {
    if (!buffer->current) {
      buffer->current = TakeHead(buffer);
      if (!buffer->current) {
        // Nothing queued: the rest of the frame is silence.
        memset(target + (frame_size - need), 0, need);
        return TRUE;
      }
      buffer->remaining = buffer->current->size;
    }
    MediaChunk* chunk = buffer->current;
    if (chunk->type == kMarkerChunk) {
      if (marker) *marker = chunk->marker;
      buffer->current = nullptr;
      continue;
    }
    frame->type |= chunk->type;
    if (chunk->type & MEDIA_FRAME_TYPE_EVENT) {
      buffer->mark_read = TRUE;
      if (audio_bytes) {
        // The audio before the mark is the end of the stream: what follows
        // in this frame is silence.
        buffer->current = nullptr;
        memset(target + (frame_size - need), 0, need);
        return TRUE;
      }
    }
    if (audio_bytes && (chunk->type & MEDIA_FRAME_TYPE_AUDIO)) {
      *audio_bytes += need < buffer->remaining ? need : buffer->remaining;
    }
    const char* source = chunk->data + (chunk->size - buffer->remaining);
    if (need < buffer->remaining) {
      memcpy(target + (frame_size - need), source, need);
      buffer->remaining -= need;
      buffer->size -= need;
      need = 0;
    } else {
      if (buffer->remaining) memcpy(target + (frame_size - need), source, buffer->remaining);
      need -= buffer->remaining;
      buffer->size -= buffer->remaining;
      buffer->remaining = 0;
      buffer->current = nullptr;
    }
  }
  return TRUE;
}

apr_uint32_t vxs_media_chunk_buffer_generation(const mpf_media_chunk_buffer_t* buffer,
                                               apt_bool_t* mark_read) {
  BufferLock lock(buffer);
  if (mark_read) *mark_read = buffer->mark_read;
  return buffer->generation;
}
