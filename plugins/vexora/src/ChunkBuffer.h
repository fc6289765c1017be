/*
 * The media chunk buffer: audio queued by the event-processor thread in whole
 * pieces (one per segment), speech markers between them and an end-of-stream
 * mark, pulled by the host's media thread in frames of the host's size. Every
 * operation takes the buffer's mutex for one append or one frame.
 *
 * Chunks live in a sub-pool of the pool given at creation; restarting the
 * buffer clears that sub-pool, so a channel's memory does not grow with every
 * SPEAK it serves.
 */
#pragma once

#include "vxhost/apt.h"
#include "vxhost/mpf.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct mpf_media_chunk_buffer_t mpf_media_chunk_buffer_t;

#define MPF_CHUNK_DECLARE(type) __attribute__((visibility("default"))) type

MPF_CHUNK_DECLARE(mpf_media_chunk_buffer_t*) mpf_media_chunk_buffer_create(apr_pool_t* pool);
MPF_CHUNK_DECLARE(apt_bool_t) mpf_media_chunk_buffer_destroy(mpf_media_chunk_buffer_t* buffer);
MPF_CHUNK_DECLARE(apt_bool_t) mpf_media_chunk_buffer_restart(mpf_media_chunk_buffer_t* buffer);
MPF_CHUNK_DECLARE(apt_bool_t) mpf_media_chunk_buffer_audio_write(mpf_media_chunk_buffer_t* buffer,
                                                                 void* data, apr_size_t size);
MPF_CHUNK_DECLARE(apt_bool_t) mpf_media_chunk_buffer_event_write(mpf_media_chunk_buffer_t* buffer,
                                                                 mpf_frame_type_e type);
MPF_CHUNK_DECLARE(apt_bool_t) mpf_media_chunk_buffer_frame_read(mpf_media_chunk_buffer_t* buffer,
                                                                mpf_frame_t* frame);
MPF_CHUNK_DECLARE(apr_size_t) mpf_media_chunk__buffer_get_size(
    const mpf_media_chunk_buffer_t* buffer);

#ifdef __cplusplus
}

#include <string>

// Module-internal, not exported: the buffer's restart count read under the
// same lock as a frame, so that a reader can tell which restart the audio
// (and the end-of-stream mark) it read belongs to. With audio_bytes given,
// the read ends at an end-of-stream mark (the rest of the frame is silence)
// and *audio_bytes tells how many bytes of audio the frame holds.
//
// With marker given, *marker is the number a speech marker carried when the
// read went past it (the last of them, when the frame went past several),
// or 0 when it went past none. A marker right after the last byte a frame
// holds is gone past by the next read.
apt_bool_t vxs_media_chunk_buffer_frame_read(mpf_media_chunk_buffer_t* buffer, mpf_frame_t* frame,
                                             apr_uint32_t* generation,
                                             apr_size_t* audio_bytes = nullptr,
                                             apr_uint32_t* marker = nullptr);
// Queues a speech marker numbered number (not 0) after the audio written so
// far: it takes no time in the stream, and readers of the exported
// interface never see it.
apt_bool_t vxs_media_chunk_buffer_marker_write(mpf_media_chunk_buffer_t* buffer,
                                               apr_uint32_t number);
// Queues size bytes of audio at data, which lies inside *owner, without
// copying them: the buffer takes ownership of owner (a string made with
// new) and deletes it when it is restarted or destroyed. The audio of a
// reply is so queued where the reply put it.
apt_bool_t vxs_media_chunk_buffer_audio_adopt(mpf_media_chunk_buffer_t* buffer, std::string* owner,
                                              const char* data, apr_size_t size);
// The restart count, and whether a mark has been read since that restart.
apr_uint32_t vxs_media_chunk_buffer_generation(const mpf_media_chunk_buffer_t* buffer,
                                               apt_bool_t* mark_read);
#endif
