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

struct Encoder {
  CodecWorkspace* ws;
  const uint8_t* src;
  uint8_t* dst;
  uint32_t pos;
  uint32_t out;
  uint32_t control_at;  // where the open control word goes
  uint32_t flags;       // flags recorded in it so far
  uint32_t flag_count;
  uint32_t next_way;
  uint32_t back1;  // buckets of the owed literal positions one and two back, or NO_BUCKET
  uint32_t back2;

  void write_control(uint32_t word) {
    dst[control_at] = static_cast<uint8_t>(word);
    dst[control_at + 1] = static_cast<uint8_t>(word >> 8);
  }

  void record_flag(uint32_t flag) {
    flags |= flag << flag_count;
    if (++flag_count == GROUP_ITEMS) {
      write_control(flags);
      control_at = out;
      out += 2;
      flags = 0;
      flag_count = 0;
    }
  }

  // Searches the bucket of pos and codes one item, copy or literal, with its table work.
  void code_item() {
    const uint8_t* const here = src + pos;
    const uint32_t bucket = bucket_at(here);
    const uint8_t* const* const ways = ws->slots + bucket * TABLE_WAYS;

    uint32_t best_len = 0;
    uint32_t best_way = 0;
    for (uint32_t way = 0; way < TABLE_WAYS && best_len < MAX_COPY_BYTES; ++way) {
      const uint8_t* const candidate = ways[way];
      // A candidate that differs at the best length so far cannot beat it.
      if (candidate[best_len] != here[best_len]) continue;
      uint32_t len = 0;
      while (len < MAX_COPY_BYTES && candidate[len] == here[len]) ++len;
      if (len > best_len) {
        best_len = len;
        best_way = way;
      }
    }

    if (best_len >= MIN_COPY_BYTES) {
      const uint32_t slot = bucket * TABLE_WAYS + best_way;
      dst[out++] = static_cast<uint8_t>(((slot >> 4) & 0xF0u) | (best_len - MIN_COPY_BYTES));
      dst[out++] = static_cast<uint8_t>(slot & 0xFFu);
      pos += best_len;
      if (back1 != NO_BUCKET) {
        if (back2 != NO_BUCKET) insert_position(ws, next_way, back2, here - 2);
        insert_position(ws, next_way, back1, here - 1);
        back1 = back2 = NO_BUCKET;
      }
      insert_position(ws, next_way, bucket, here);
      record_flag(1);
    } else {
      dst[out++] = *here;
      pos += 1;
      if (back2 != NO_BUCKET) insert_position(ws, next_way, back2, here - 2);
      back2 = back1;
      back1 = bucket;
      record_flag(0);
    }
  }

  // Within the last 18 bytes the table is never consulted again: literals, no table work.
  void code_tail_literal() {
    dst[out++] = src[pos++];
    record_flag(0);
  }
};

}  // namespace

void block_encode(CodecWorkspace* ws, const uint8_t* src, uint32_t n, uint8_t* dst,
                  uint32_t* dst_len) {
  std::memset(dst, 0, BLOCK_HEADER_BYTES);
  reset_table(ws);
  Encoder e{ws, src, dst, 0, BLOCK_HEADER_BYTES + 2, BLOCK_HEADER_BYTES, 0, 0, 0,
            NO_BUCKET, NO_BUCKET};

  const int64_t group_limit = int64_t{n} - GROUP_MAX_INPUT;
  const int64_t search_limit = int64_t{n} - int64_t{MAX_COPY_BYTES};
  for (;;) {
    // Give up when the output so far, reserved control word included, is longer than the input.
    if (e.out > n) {
      dst[0] = BLOCK_FLAG_STORED;
      if (n != 0) std::memcpy(dst + BLOCK_HEADER_BYTES, src, n);
      *dst_len = n + BLOCK_HEADER_BYTES;
      return;
    }
    if (e.pos <= group_limit) {
      for (uint32_t i = 0; i < GROUP_ITEMS; ++i) e.code_item();
    } else if (e.pos <= search_limit) {
      e.code_item();
    } else if (e.pos < n) {
      e.code_tail_literal();
    } else {
      break;
    }
  }

  if (e.flag_count == 0) {
    e.out -= 2;  // a control word with no item is dropped
  } else {
    e.write_control(e.flags | (0xFFFFu << e.flag_count));
  }
  *dst_len = e.out;
}
