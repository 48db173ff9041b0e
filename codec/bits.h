// Bit tricks, with a plain fallback for compilers without the builtins.
#pragma once

#include <cstdint>

#include "compiler.h"

// The number of trailing zero bits of x, which must not be 0.
SFX_FORCE_INLINE uint32_t count_trailing_zeros32(uint32_t x) {
#if defined(__GNUC__) || defined(__clang__)
  return static_cast<uint32_t>(__builtin_ctz(x));
#else
  uint32_t n = 0;
  while ((x & 1u) == 0) {
    x >>= 1;
    ++n;
  }
  return n;
#endif
}

SFX_FORCE_INLINE uint32_t count_trailing_zeros64(uint64_t x) {
#if defined(__GNUC__) || defined(__clang__)
  return static_cast<uint32_t>(__builtin_ctzll(x));
#else
  const uint32_t low = static_cast<uint32_t>(x);
  return low != 0 ? count_trailing_zeros32(low) : 32 + count_trailing_zeros32(static_cast<uint32_t>(x >> 32));
#endif
}
