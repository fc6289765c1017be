#pragma once

#include <cstdint>

namespace VXS {

// Little-endian integers, as WAVE headers and cache descriptors store them.
inline void PutUint16(unsigned char* out, unsigned value) {
  out[0] = static_cast<unsigned char>(value & 0xFF);
  out[1] = static_cast<unsigned char>((value >> 8) & 0xFF);
}

inline void PutUint32(unsigned char* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>((value >> (8 * i)) & 0xFF);
}

inline uint16_t GetUint16(const unsigned char* in) {
  return static_cast<uint16_t>(in[0] | (in[1] << 8));
}

inline uint32_t GetUint32(const unsigned char* in) {
  return static_cast<uint32_t>(in[0]) | (static_cast<uint32_t>(in[1]) << 8) |
         (static_cast<uint32_t>(in[2]) << 16) | (static_cast<uint32_t>(in[3]) << 24);
}

}  // namespace VXS
