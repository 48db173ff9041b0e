// The codec as the stub carries it: the same sources, built for size.
//
// The codec unrolls its decoder's 16-item groups for speed (SFX_UNROLL), which the sfx tool
// wants and the stub cannot afford: unrolled, the decoder alone is 7.7 KB of i686 code, rolled
// 1.2 KB, and the stub must stay within 32 KiB. The stub decodes no faster than it writes its
// output a byte at a time anyway. compiler.h is read first here (it is #pragma once), so that
// the hint can be switched off before the codec's sources use it; the launcher links these
// objects ahead of the codec library, whose members are then never pulled in.
#include "compiler.h"

#undef SFX_UNROLL
#define SFX_UNROLL(n)

#include "block_decode.cpp"
#include "block_encode.cpp"
#include "codec_run.cpp"
