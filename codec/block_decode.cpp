// The block decoder.
#include <cstring>

#include "codec.h"
#include "compiler.h"
#include "table.h"

using namespace codec_detail;

CodecStatus block_decode(CodecWorkspace* ws, const uint8_t* block, uint32_t block_len,
                         uint8_t* dst, uint32_t* dst_len, uint32_t dst_capacity) {
  if (SFX_UNLIKELY(block_len < BLOCK_HEADER_BYTES)) return CODEC_MALFORMED;

  if (block[0] == BLOCK_FLAG_STORED) {
    const uint32_t n = block_len - BLOCK_HEADER_BYTES;
    if (SFX_UNLIKELY(n > dst_capacity)) return CODEC_DST_TOO_SMALL;
    if (n != 0) std::memcpy(dst, block + BLOCK_HEADER_BYTES, n);
    *dst_len = n;
    return CODEC_OK;
  }

  reset_table(ws);
  const uint8_t* in = block + BLOCK_HEADER_BYTES;
  const uint8_t* const in_end = block + block_len;
  uint8_t* out = dst;
  uint8_t* const out_end = dst + dst_capacity;
  uint32_t next_way = 0;
  uint32_t pending = 0;  // literals whose positions are not yet in the table (0..2)
  uint32_t control = 1;  // control bits in hand above a sentinel 1; just the sentinel: none left

  while (in < in_end) {
    if (control == 1) {
      // A control word must be whole and must have an item after it: the encoder never ends a
      // body with a bare control word, so one is taken as a cut-off block.
      if (SFX_UNLIKELY(in_end - in <= 2)) return CODEC_MALFORMED;
      control = 0x10000u | uint32_t{in[0]} | (uint32_t{in[1]} << 8);
      in += 2;
    }

    if ((control & 1u) == 0) {
      if (SFX_UNLIKELY(out == out_end)) return CODEC_DST_TOO_SMALL;
      *out++ = *in++;
      if (++pending == 3) {
        insert_position(ws, next_way, bucket_at(out - 3), out - 3);
        pending = 2;
      }
    } else {
      if (SFX_UNLIKELY(in_end - in < 2)) return CODEC_MALFORMED;
      const uint32_t b0 = in[0];
      const uint32_t b1 = in[1];
      in += 2;
      const uint32_t length = (b0 & 0x0Fu) + MIN_COPY_BYTES;
      const uint32_t slot = ((b0 & 0xF0u) << 4) | b1;
      if (SFX_UNLIKELY(static_cast<uint32_t>(out_end - out) < length)) return CODEC_DST_TOO_SMALL;

      // Byte by byte: the source may be the output itself and reach the bytes being written.
      const uint8_t* from = ws->slots[slot];
      uint8_t* const here = out;
      for (uint32_t i = 0; i < length; ++i) out[i] = from[i];
      out += length;

      if (pending == 2) insert_position(ws, next_way, bucket_at(here - 2), here - 2);
      if (pending != 0) insert_position(ws, next_way, bucket_at(here - 1), here - 1);
      pending = 0;
      insert_position(ws, next_way, slot / TABLE_WAYS, here);
    }
    control >>= 1;
  }

  *dst_len = static_cast<uint32_t>(out - dst);
  return CODEC_OK;
}
