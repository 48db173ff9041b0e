// The block encoder.
#include <cstring>

#include "codec.h"
#include "compiler.h"
#include "table.h"

using namespace codec_detail;

namespace {

// A group of 16 items consumes at most this much input, so it can be coded without end tests
// from any position at least this far from the end.
constexpr int64_t GROUP_MAX_INPUT = int64_t{GROUP_ITEMS} * MAX_COPY_BYTES;
static_assert(GROUP_MAX_INPUT == 288, "16 copy items of 18 bytes");

constexpr uint32_t NO_BUCKET = ~0u;

SFX_FORCE_INLINE uint64_t load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

SFX_FORCE_INLINE uint16_t load16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

// The number of leading bytes, at most 18, in which a and b agree. Reads exactly the 18 bytes
// from each: the input has them (the search stops 18 bytes before its end) and so has the seed.
SFX_FORCE_INLINE uint32_t match_length(const uint8_t* a, const uint8_t* b) {
  static_assert(MAX_COPY_BYTES == 8 + 8 + 2, "two words and a half-word");
  uint64_t diff = load64(a) ^ load64(b);
  if (diff != 0) return static_cast<uint32_t>(__builtin_ctzll(diff)) / 8;
  diff = load64(a + 8) ^ load64(b + 8);
  if (diff != 0) return 8 + static_cast<uint32_t>(__builtin_ctzll(diff)) / 8;
  const uint32_t tail = static_cast<uint32_t>(load16(a + 16) ^ load16(b + 16));
  if (tail != 0) return 16 + static_cast<uint32_t>(__builtin_ctz(tail)) / 8;
  return MAX_COPY_BYTES;
}

// The coder's running state, kept in locals of block_encode: stores through the output's byte
// pointer may alias anything in memory, so state read back from a struct would be reloaded
// after every output byte.
struct ItemResult {
  uint32_t length;  // input bytes consumed: 1 for a literal
  uint32_t flag;    // 1 for a copy item
};

// Searches the bucket of here (in the input src) and codes one item, copy or literal, at out, with its table work.
SFX_FORCE_INLINE ItemResult code_item(CodecWorkspace* ws, const uint8_t* src, const uint8_t* here,
                                      uint8_t*& out,
                                      uint32_t& next_way, uint32_t& back1, uint32_t& back2) {
  const uint32_t bucket = bucket_at(here);
  const uint32_t* const ways = ws->slots + bucket * TABLE_WAYS;

  uint32_t best_len = 0;
  uint32_t best_way = 0;
  for (uint32_t way = 0; way < TABLE_WAYS; ++way) {
    const uint8_t* const candidate = slot_source(src, ways[way]);
    // A candidate that differs at the best length so far cannot beat it.
    if (candidate[best_len] != here[best_len]) continue;
    const uint32_t len = match_length(candidate, here);
    if (len > best_len) {
      best_len = len;
      best_way = way;
      if (len == MAX_COPY_BYTES) break;  // nothing can beat it, and here[18] may be past the end
    }
  }

  if (best_len >= MIN_COPY_BYTES) {
    const uint32_t slot = bucket * TABLE_WAYS + best_way;
    out[0] = static_cast<uint8_t>(((slot >> 4) & 0xF0u) | (best_len - MIN_COPY_BYTES));
    out[1] = static_cast<uint8_t>(slot & 0xFFu);
    out += 2;
    const uint32_t at = static_cast<uint32_t>(here - src);
    if (back1 != NO_BUCKET) {
      if (back2 != NO_BUCKET) insert_position(ws, next_way, back2, at - 2);
      insert_position(ws, next_way, back1, at - 1);
      back1 = back2 = NO_BUCKET;
    }
    insert_position(ws, next_way, bucket, at);
    return {best_len, 1};
  }
  *out++ = *here;
  if (back2 != NO_BUCKET) insert_position(ws, next_way, back2, static_cast<uint32_t>(here - src) - 2);
  back2 = back1;
  back1 = bucket;
  return {1, 0};
}

SFX_FORCE_INLINE void write_control(uint8_t* at, uint32_t word) {
  at[0] = static_cast<uint8_t>(word);
  at[1] = static_cast<uint8_t>(word >> 8);
}

}  // namespace

void block_encode(CodecWorkspace* ws, const uint8_t* src, uint32_t n, uint8_t* dst,
                  uint32_t* dst_len) {
  std::memset(dst, 0, BLOCK_HEADER_BYTES);
  reset_table(ws);

  uint8_t* out = dst + BLOCK_HEADER_BYTES + 2;
  uint8_t* control_at = dst + BLOCK_HEADER_BYTES;  // where the open control word goes
  uint32_t flags = 0;                               // flags recorded in it so far
  uint32_t flag_count = 0;
  uint32_t next_way = 0;
  uint32_t back1 = NO_BUCKET;  // buckets of the owed literal positions one and two back
  uint32_t back2 = NO_BUCKET;
  const uint8_t* here = src;
  const uint8_t* const end = src + n;
  uint8_t* const give_up_at = dst + n;  // the output may not pass n bytes between items

  // Whole groups: each begins on a fresh control word and fills it.
  const int64_t group_limit = int64_t{n} - GROUP_MAX_INPUT;
  while (here - src <= group_limit) {
    if (out > give_up_at) goto store;
    for (uint32_t item = 0; item < GROUP_ITEMS; ++item) {
      const ItemResult r = code_item(ws, src, here, out, next_way, back1, back2);
      flags |= r.flag << item;
      here += r.length;
    }
    write_control(control_at, flags);
    control_at = out;
    out += 2;
    flags = 0;
  }

  // Single items, searched while 18 or more bytes remain, then literals without a search:
  // within the last 18 bytes the table is never consulted again.
  for (;;) {
    if (out > give_up_at) goto store;
    if (here == end) break;
    uint32_t flag = 0;
    if (end - here >= int64_t{MAX_COPY_BYTES}) {
      const ItemResult r = code_item(ws, src, here, out, next_way, back1, back2);
      here += r.length;
      flag = r.flag;
    } else {
      *out++ = *here++;
    }
    flags |= flag << flag_count;
    if (++flag_count == GROUP_ITEMS) {
      write_control(control_at, flags);
      control_at = out;
      out += 2;
      flags = 0;
      flag_count = 0;
    }
  }

  if (flag_count == 0) {
    out -= 2;  // a control word with no item is dropped
  } else {
    write_control(control_at, flags | (0xFFFFu << flag_count));
  }
  *dst_len = static_cast<uint32_t>(out - dst);
  return;

store:
  // The output so far, reserved control word included, is longer than the input.
  dst[0] = BLOCK_FLAG_STORED;
  if (n != 0) std::memcpy(dst + BLOCK_HEADER_BYTES, src, n);
  *dst_len = n + BLOCK_HEADER_BYTES;
}
