// The block codec: LZRW3-A blocks, both directions.
//
// A block is a 4-byte header (flag byte, then three reserved bytes) and a body. A stored block's
// body is its data. A coded block's body is a run of groups: a little-endian 16-bit control word,
// then up to 16 items, bit i of the word telling the kind of item i (0 literal byte, 1 copy).
// A copy item names a slot of a 4,096-slot table of earlier positions instead of an offset;
// encoder and decoder build that table step for step alike, so the slot number is enough.
//
// The codec owns nothing: the caller passes the workspace and both buffers, nothing allocates,
// and nothing carries over from one call to the next. The decoder never reads or writes outside
// the buffers it is given, whatever the bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "compiler.h"

// Largest block, and largest decoded block, that a payload may hold: the size of the launcher's
// buffers for one block and for its decoded data.
constexpr uint32_t MAX_BLOCK_BYTES = 65024;

// Header of every block: the flag byte and three reserved bytes (written as 0, never read).
constexpr uint32_t BLOCK_HEADER_BYTES = 4;
constexpr uint8_t BLOCK_FLAG_ENCODED = 0;  // what the encoder writes; any value but 1 means coded
constexpr uint8_t BLOCK_FLAG_STORED = 1;

// Largest input of one payload block: even stored (input + header) it fits MAX_BLOCK_BYTES.
constexpr uint32_t MAX_BLOCK_INPUT = MAX_BLOCK_BYTES - BLOCK_HEADER_BYTES;
static_assert(MAX_BLOCK_INPUT == 65020, "a stored block of the largest input must fit a block");

// The encoder codes groups of 16 items without a give-up test between them, so before it gives
// up its output may pass the input size by up to 16 copy items and one reserved control word:
// 34 bytes. dst must have room for that much.
constexpr uint32_t ENCODE_SLACK_BYTES = 34;
constexpr uint64_t encode_bound(uint32_t n) { return uint64_t{n} + ENCODE_SLACK_BYTES; }
static_assert(ENCODE_SLACK_BYTES == 2 + 16 * 2, "one control word and sixteen 2-byte copy items");

// Copy items hold 3 to 18 bytes; a group holds 16 items.
constexpr uint32_t MIN_COPY_BYTES = 3;
constexpr uint32_t MAX_COPY_BYTES = 18;
constexpr uint32_t GROUP_ITEMS = 16;

// The position table: 512 buckets of 8 ways.
constexpr uint32_t TABLE_WAYS = 8;
constexpr uint32_t TABLE_BUCKETS = 512;
constexpr uint32_t TABLE_SLOTS = TABLE_BUCKETS * TABLE_WAYS;
static_assert(TABLE_SLOTS == 4096, "a copy item's slot number has 12 bits");

// Every slot refers to this text at the start of each coded block. A copy item may read at most
// MAX_COPY_BYTES of it, which is all of it.
constexpr char SEED_TEXT[] = "123456789012345678";
static_assert(sizeof SEED_TEXT - 1 == MAX_COPY_BYTES, "a copy from the seed text never runs off it");

// The caller-owned working area. Each slot refers to the first byte of a sequence: a position
// in the current block's data (the decoder's output so far, or the encoder's input), held as its
// offset from the start of that data, or the seed text. The decoder holds plain offsets and
// SEED_SLOT for the seed text; the encoder, for inputs of up to 65,535 bytes, holds a 16-bit
// offset (0xFFFF for the seed text) under the 16-bit value of the position's first three bytes,
// which lets it pass over ways that cannot match without reading them. Offsets keep the table at
// 16 KiB on every target, half of what pointers take on a 64-bit one, which leaves more of the
// first-level cache to the data. Nothing in it means anything between calls.
struct CodecWorkspace {
  uint32_t slots[TABLE_SLOTS];
};

// The slot value that stands for the seed text; no offset in a block comes near it.
constexpr uint32_t SEED_SLOT = 0xFFFFFFFFu;
static_assert(SEED_SLOT > MAX_BLOCK_BYTES, "the seed mark is never an offset");

enum CodecStatus : int {
  CODEC_OK = 0,
  CODEC_MALFORMED = 1,      // shorter than its header, or a control word or item cut off
  CODEC_DST_TOO_SMALL = 2,  // the result would not fit in dst
  CODEC_BAD_ACTION = 3,     // codec_run was given an unknown action; nothing was done
};

// codec_run actions.
constexpr uint16_t CODEC_ENCODE = 1;
constexpr uint16_t CODEC_DECODE = 2;

// The bucket (0..511) of three data bytes.
constexpr uint32_t bucket_of(uint8_t b0, uint8_t b1, uint8_t b2) {
  // v = b0 * 256 XOR b1 * 16 XOR b2, times -417 as a 32-bit product; bits 4..12 are the bucket.
  const uint32_t v = (((uint32_t{b0} << 4) ^ b1) << 4) ^ b2;
  return ((v * 0xFFFFFE5Fu) >> 4) & 0x1FFu;
}

// Decodes the whole block (header included) of block_len bytes into dst, which has room for
// dst_capacity bytes. On CODEC_OK, *dst_len is the decoded length. On an error *dst_len is left
// alone and dst holds an unspecified part of the output. Either way the bytes of dst past the
// decoded data, up to dst_capacity, may have been written (wide copies run over the end of an
// item when there is room). block and dst must not overlap.
CodecStatus block_decode(CodecWorkspace* workspace, const uint8_t* block, uint32_t block_len,
                         uint8_t* dst, uint32_t* dst_len, uint32_t dst_capacity);

// Encodes n bytes of src into one block: coded if the coded form is no longer than n, stored
// (n + 4 bytes) otherwise. dst must have room for encode_bound(n) bytes. *dst_len receives the
// block's length, header included. Decoding the result gives src back; encoding the decoded data
// of any block this made gives that block again.
void block_encode(CodecWorkspace* workspace, const uint8_t* src, uint32_t n, uint8_t* dst,
                  uint32_t* dst_len);

// The codec's single entry. CODEC_ENCODE encodes src_len bytes of src (CODEC_DST_TOO_SMALL,
// with nothing written, unless dst_capacity >= encode_bound(src_len)); CODEC_DECODE decodes the
// block of src_len bytes at src. Any other action leaves dst and *dst_len alone.
// It is defined here, always inlined, so that a caller with a constant action (the launcher only
// ever decodes) links only the direction it uses.
SFX_FORCE_INLINE CodecStatus codec_run(uint16_t action, CodecWorkspace* workspace,
                                       const uint8_t* src, uint32_t src_len, uint8_t* dst,
                                       uint32_t* dst_len, uint32_t dst_capacity) {
  switch (action) {
    case CODEC_ENCODE:
      if (dst_capacity < encode_bound(src_len)) return CODEC_DST_TOO_SMALL;
      block_encode(workspace, src, src_len, dst, dst_len);
      return CODEC_OK;
    case CODEC_DECODE:
      return block_decode(workspace, src, src_len, dst, dst_len, dst_capacity);
    default:
      return CODEC_BAD_ACTION;
  }
}
