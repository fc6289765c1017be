// Media capabilities of the host (mpf.h): codec lists of a stream.

#include "vxhost/mpf.h"

extern "C" {

APT_DECLARE(mpf_stream_capabilities_t*) mpf_stream_capabilities_create(
    mpf_stream_direction_e direction, apr_pool_t* pool) {
  if (!pool) return NULL;
  mpf_stream_capabilities_t* capabilities =
      static_cast<mpf_stream_capabilities_t*>(apr_pcalloc(pool, sizeof(*capabilities)));
  capabilities->direction = direction;
  // The list header is embedded in the record; a fresh array's header is
  // self-contained (it keeps its pool for growth), so copying it is sound.
  capabilities->codecs.attrib_arr = *apr_array_make(pool, 2, sizeof(mpf_codec_attribs_t));
  capabilities->codecs.allow_named_events = FALSE;
  return capabilities;
}

APT_DECLARE(apt_bool_t) mpf_codec_capabilities_add(mpf_codec_capabilities_t* capabilities,
                                                   int sample_rates, const char* codec_name) {
  return mpf_codec_capabilities_add_ex(capabilities, sample_rates, codec_name, 0);
}

APT_DECLARE(apt_bool_t) mpf_codec_capabilities_add_ex(mpf_codec_capabilities_t* capabilities,
                                                      int sample_rates, const char* codec_name,
                                                      apr_byte_t bits_per_sample) {
  if (!capabilities || !codec_name || !capabilities->attrib_arr.pool) return FALSE;
  mpf_codec_attribs_t* attribs =
      static_cast<mpf_codec_attribs_t*>(apr_array_push(&capabilities->attrib_arr));
  apt_string_assign(&attribs->name, codec_name, capabilities->attrib_arr.pool);
  attribs->bits_per_sample = bits_per_sample;
  attribs->sample_rates = sample_rates;
  return TRUE;
}

APT_DECLARE(int) mpf_sample_rate_mask_get(apr_uint16_t sampling_rate) {
  switch (sampling_rate) {
    case 8000:
      return MPF_SAMPLE_RATE_8000;
    case 16000:
      return MPF_SAMPLE_RATE_16000;
    case 32000:
      return MPF_SAMPLE_RATE_32000;
    case 48000:
      return MPF_SAMPLE_RATE_48000;
    default:
      return MPF_SAMPLE_RATE_NONE;
  }
}

}  // extern "C"
