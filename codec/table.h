// The position table that encoder and decoder keep alike: its reset, and the one insertion rule.
#pragma once

#include <cstdint>

#include "codec.h"
#include "compiler.h"

namespace codec_detail {

// The seed text, padded so that a wide read of up to 32 bytes from its start stays inside.
alignas(32) inline constexpr uint8_t SEED_PADDED[32] = {
    '1', '2', '3', '4', '5', '6', '7', '8', '9', '0', '1', '2', '3', '4', '5', '6', '7', '8'};

// Every slot back to the seed text, as at the start of each coded block.
SFX_FORCE_INLINE void reset_table(CodecWorkspace* ws) {
  for (uint32_t i = 0; i < TABLE_SLOTS; ++i) ws->slots[i] = SEED_PADDED;
}

// One insertion: way next_way of the bucket is overwritten, then next_way moves on. The counter
// is shared by all buckets.
SFX_FORCE_INLINE void insert_position(CodecWorkspace* ws, uint32_t& next_way, uint32_t bucket,
                                      const uint8_t* position) {
  ws->slots[bucket * TABLE_WAYS + next_way] = position;
  next_way = (next_way + 1) & (TABLE_WAYS - 1);
}

SFX_FORCE_INLINE uint32_t bucket_at(const uint8_t* p) { return bucket_of(p[0], p[1], p[2]); }

}  // namespace codec_detail
