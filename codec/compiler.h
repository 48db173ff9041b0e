// Compiler hints, kept in one place. Use them on error and tail branches only.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define SFX_LIKELY(x) __builtin_expect(!!(x), 1)
#define SFX_UNLIKELY(x) __builtin_expect(!!(x), 0)
#define SFX_FORCE_INLINE inline __attribute__((always_inline))
#define SFX_NO_INLINE __attribute__((noinline))
#else
#define SFX_LIKELY(x) (x)
#define SFX_UNLIKELY(x) (x)
#define SFX_FORCE_INLINE inline
#define SFX_NO_INLINE
#endif
