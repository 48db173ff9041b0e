// Loads and stores of multi-byte numbers in files and blocks, whatever the host: the one place the
// project reads and writes them. Little-endian: control words, the integrity record, program
// headers, resources; on a little-endian host each is a plain unaligned move, which compilers turn
// into a single instruction. Big-endian: the payload's 2-byte block lengths.
#pragma once

#include <cstdint>
#include <cstring>

#include "compiler.h"

namespace mem_detail {

#if defined(__BYTE_ORDER__) && defined(__ORDER_BIG_ENDIAN__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr bool HOST_IS_LITTLE_ENDIAN = false;
#else
constexpr bool HOST_IS_LITTLE_ENDIAN = true;
#endif

template <typename T>
SFX_FORCE_INLINE T load_le(const uint8_t* p) {
  if (HOST_IS_LITTLE_ENDIAN) {
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
  }
  T value = 0;
  for (unsigned i = sizeof(T); i-- > 0;) value = static_cast<T>((value << 8) | p[i]);
  return value;
}

template <typename T>
SFX_FORCE_INLINE void store_le(uint8_t* p, T value) {
  if (HOST_IS_LITTLE_ENDIAN) {
    std::memcpy(p, &value, sizeof value);
    return;
  }
  for (unsigned i = 0; i < sizeof(T); ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace mem_detail

SFX_FORCE_INLINE uint16_t load_le16(const uint8_t* p) { return mem_detail::load_le<uint16_t>(p); }
SFX_FORCE_INLINE uint32_t load_le32(const uint8_t* p) { return mem_detail::load_le<uint32_t>(p); }
SFX_FORCE_INLINE uint64_t load_le64(const uint8_t* p) { return mem_detail::load_le<uint64_t>(p); }

SFX_FORCE_INLINE void store_le16(uint8_t* p, uint16_t value) { mem_detail::store_le(p, value); }
SFX_FORCE_INLINE void store_le32(uint8_t* p, uint32_t value) { mem_detail::store_le(p, value); }
SFX_FORCE_INLINE void store_le64(uint8_t* p, uint64_t value) { mem_detail::store_le(p, value); }

SFX_FORCE_INLINE uint32_t load_be16(const uint8_t* p) { return (uint32_t{p[0]} << 8) | p[1]; }
SFX_FORCE_INLINE void store_be16(uint8_t* p, uint32_t value) {
  p[0] = static_cast<uint8_t>(value >> 8);
  p[1] = static_cast<uint8_t>(value);
}
