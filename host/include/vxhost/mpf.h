/*
 * Host media interface: frames, codec descriptors, stream capabilities and
 * audio streams. The host's media thread calls a stream's read_frame once per
 * frame (20 ms of audio).
 */
#pragma once

#include "vxhost/apt.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Frame type bits. */
typedef enum {
  MEDIA_FRAME_TYPE_NONE = 0x0,
  MEDIA_FRAME_TYPE_AUDIO = 0x1,
  MEDIA_FRAME_TYPE_VIDEO = 0x2,
  MEDIA_FRAME_TYPE_EVENT = 0x4
} mpf_frame_type_e;

typedef struct mpf_codec_frame_t {
  void* buffer;
  apr_size_t size; /* bytes the frame holds */
} mpf_codec_frame_t;

typedef struct mpf_frame_t {
  int type; /* mpf_frame_type_e bits */
  int marker;
  mpf_codec_frame_t codec_frame;
} mpf_frame_t;

typedef enum {
  STREAM_DIRECTION_NONE = 0x0,
  STREAM_DIRECTION_SEND = 0x1,    /* the host sends to the stream (sink) */
  STREAM_DIRECTION_RECEIVE = 0x2, /* the host receives from the stream (source) */
  STREAM_DIRECTION_DUPLEX = 0x3
} mpf_stream_direction_e;

/* Sampling-rate flags of a codec entry. */
typedef enum {
  MPF_SAMPLE_RATE_NONE = 0x00,
  MPF_SAMPLE_RATE_8000 = 0x01,
  MPF_SAMPLE_RATE_16000 = 0x02,
  MPF_SAMPLE_RATE_32000 = 0x04,
  MPF_SAMPLE_RATE_48000 = 0x08
} mpf_sample_rates_e;

/* One entry of a codec list: name, bits per sample (0 = unspecified) and
 * the sampling rates offered. */
typedef struct mpf_codec_attribs_t {
  apt_str_t name;
  apr_byte_t bits_per_sample;
  int sample_rates; /* mpf_sample_rates_e bits */
} mpf_codec_attribs_t;

typedef struct mpf_codec_capabilities_t {
  apr_array_header_t attrib_arr; /* of mpf_codec_attribs_t */
  apt_bool_t allow_named_events;
} mpf_codec_capabilities_t;

typedef struct mpf_stream_capabilities_t {
  mpf_stream_direction_e direction;
  mpf_codec_capabilities_t codecs;
} mpf_stream_capabilities_t;

/* The codec negotiated for a stream. */
typedef struct mpf_codec_descriptor_t {
  apr_byte_t payload_type;
  apt_str_t name;
  apr_uint16_t sampling_rate; /* Hz */
  apr_byte_t channel_count;
} mpf_codec_descriptor_t;

APT_DECLARE(mpf_stream_capabilities_t*) mpf_stream_capabilities_create(
    mpf_stream_direction_e direction, apr_pool_t* pool);
#define mpf_source_stream_capabilities_create(pool) \
  mpf_stream_capabilities_create(STREAM_DIRECTION_RECEIVE, pool)
/* Appends one codec entry; false for a null capabilities or name. */
APT_DECLARE(apt_bool_t) mpf_codec_capabilities_add(mpf_codec_capabilities_t* capabilities,
                                                   int sample_rates, const char* codec_name);
/* Same, with the bits per sample given. */
APT_DECLARE(apt_bool_t) mpf_codec_capabilities_add_ex(mpf_codec_capabilities_t* capabilities,
                                                      int sample_rates, const char* codec_name,
                                                      apr_byte_t bits_per_sample);
APT_DECLARE(int) mpf_sample_rate_mask_get(apr_uint16_t sampling_rate);

typedef struct mpf_audio_stream_t mpf_audio_stream_t;

/* The eight operations of an audio stream, in the host's slot order; every
 * slot may be null. */
typedef struct mpf_audio_stream_vtable_t {
  apt_bool_t (*destroy)(mpf_audio_stream_t* stream);
  apt_bool_t (*open_rx)(mpf_audio_stream_t* stream, void* codec);
  apt_bool_t (*close_rx)(mpf_audio_stream_t* stream);
  apt_bool_t (*read_frame)(mpf_audio_stream_t* stream, mpf_frame_t* frame);
  apt_bool_t (*open_tx)(mpf_audio_stream_t* stream, void* codec);
  apt_bool_t (*close_tx)(mpf_audio_stream_t* stream);
  apt_bool_t (*write_frame)(mpf_audio_stream_t* stream, const mpf_frame_t* frame);
  void (*trace)(mpf_audio_stream_t* stream, mpf_stream_direction_e direction, void* output);
} mpf_audio_stream_vtable_t;

struct mpf_audio_stream_t {
  void* obj; /* the module's object behind the stream */
  const mpf_audio_stream_vtable_t* vtable;
  mpf_stream_capabilities_t* capabilities;
  mpf_stream_direction_e direction;
  mpf_codec_descriptor_t* rx_descriptor; /* negotiated source codec, or NULL */
};

/* A media termination owns one audio stream. */
typedef struct mpf_termination_t {
  mpf_audio_stream_t* audio_stream;
  apr_pool_t* pool;
} mpf_termination_t;

#ifdef __cplusplus
}
#endif
