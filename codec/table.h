// The position table that encoder and decoder keep alike: its reset, and the one insertion rule.
#pragma once

#include <cstdint>
#include <cstring>

#include "codec.h"
#include "compiler.h"

namespace codec_detail {

// The seed text, padded so that a wide read of up to 32 bytes from its start stays inside.
alignas(32) inline constexpr uint8_t SEED_PADDED[32] = {
    '1', '2', '3', '4', '5', '6', '7', '8', '9', '0', '1', '2', '3', '4', '5', '6', '7', '8'};

// Every slot back to the seed text, as at the start of each coded block. SEED_SLOT is all ones,
// so this is a fill of one byte value, which compiles to wide stores.
SFX_FORCE_INLINE void reset_table(CodecWorkspace* ws) {
  static_assert(SEED_SLOT == 0xFFFFFFFFu, "a byte fill of 0xFF");
  std::memset(ws->slots, 0xFF, sizeof ws->slots);
}

// One insertion of the position at offset `offset` of the block's data: way next_way of the
// bucket is overwritten, then next_way moves on. The counter is shared by all buckets.
SFX_FORCE_INLINE void insert_position(CodecWorkspace* ws, uint32_t& next_way, uint32_t bucket,
                                      uint32_t offset) {
  ws->slots[bucket * TABLE_WAYS + next_way] = offset;
  next_way = (next_way + 1) & (TABLE_WAYS - 1);
}

// The sequence a slot value refers to, for the block's data at base.
SFX_FORCE_INLINE const uint8_t* slot_source(const uint8_t* base, uint32_t value) {
  return value == SEED_SLOT ? SEED_PADDED : base + value;
}

SFX_FORCE_INLINE uint32_t bucket_at(const uint8_t* p) { return bucket_of(p[0], p[1], p[2]); }

// bucket_of in two steps: the 16-bit value of three bytes (b0 * 256 XOR b1 * 16 XOR b2), then
// its bucket. Positions with different values never share their first three bytes.
SFX_FORCE_INLINE constexpr uint32_t trigram_value(const uint8_t* p) {
  return (((uint32_t{p[0]} << 4) ^ p[1]) << 4) ^ p[2];
}
SFX_FORCE_INLINE constexpr uint32_t bucket_of_value(uint32_t value) {
  return ((value * 0xFFFFFE5Fu) >> 4) & 0x1FFu;
}
static_assert(bucket_of_value(trigram_value(SEED_PADDED)) == bucket_of('1', '2', '3'),
              "the two steps give bucket_of");

}  // namespace codec_detail
