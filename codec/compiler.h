// Compiler hints, kept in one place. Use the branch hints on error and tail branches only.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define SFX_LIKELY(x) __builtin_expect(!!(x), 1)
#define SFX_UNLIKELY(x) __builtin_expect(!!(x), 0)
#define SFX_FORCE_INLINE inline __attribute__((always_inline))
#define SFX_NO_INLINE __attribute__((noinline))
#if defined(__OPTIMIZE_SIZE__) || defined(SFX_KEEP_LOOPS_ROLLED)
// A build for size (-Os), or one that asks for it, keeps loops rolled: unrolled, the decoder
// alone is 7.7 KB of i686 code, rolled 1.2 KB, and the launcher stub must stay small.
#define SFX_UNROLL(n)
#else
// Unrolls the loop that follows completely (n = its fixed trip count).
#define SFX_UNROLL(n) _Pragma(SFX_STRINGIFY(GCC unroll n))
#define SFX_STRINGIFY(x) #x
#endif
#else
#define SFX_LIKELY(x) (x)
#define SFX_UNLIKELY(x) (x)
#define SFX_FORCE_INLINE inline
#define SFX_NO_INLINE
#define SFX_UNROLL(n)
#endif
