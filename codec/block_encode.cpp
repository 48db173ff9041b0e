// The block encoder.
//
// What costs here is not the comparing but branches whose outcome hangs on a candidate's bytes,
// and the chain of loads from one position's search to the next after a copy. So:
// - a slot also holds the 16-bit value of its position's first three bytes, which tells from the
//   table alone which ways can give a copy at all;
// - those ways are compared with SSE2 on bytes 0-15 and 2-17, their lengths read from the
//   equal-bytes masks, and the best kept without a data-dependent branch (the byte at the best
//   length is not tested first: that test mispredicts about as often as it saves a comparison,
//   and dropping it changes no result);
// - the value and bucket of every position are worked out ahead in one vectorized pass, and the
//   next position's candidates before the current item's literal-or-copy choice, so that neither
//   waits on a hash.
// Concatenated corpus, `codec_bench --all-only --no-peers`, medians of 5 runs in the same minute:
// 237 MB/s, against 185 for 8-byte compares with the hash worked out at each search and 115-160
// for a plain byte loop. What is left is about one misprediction at the end of the loop over
// candidate ways per item that has candidates, and one literal-or-copy misprediction in four
// items (callgrind --branch-sim=yes); bench/README.md lists what was tried beside.
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "codec.h"
#include "bits.h"
#include "compiler.h"
#include "mem.h"
#include "table.h"

using namespace codec_detail;

namespace {

// A group of 16 items consumes at most this much input, so it can be coded without end tests
// from any position at least this far from the end.
constexpr int64_t GROUP_MAX_INPUT = int64_t{GROUP_ITEMS} * MAX_COPY_BYTES;
static_assert(GROUP_MAX_INPUT == 288, "16 copy items of 18 bytes");

// back1 and back2 hold the position_info of an owed position, or this (no info is all ones).
constexpr uint32_t NO_POSITION = ~0u;

// A position's three-byte value in the high half and the first slot of its bucket (bucket *
// TABLE_WAYS, below 4,096) in the low half.
SFX_FORCE_INLINE uint32_t position_info(const uint8_t* p) {
  const uint32_t value = trigram_value(p);
  return (value << 16) | (bucket_of_value(value) * TABLE_WAYS);
}

// Positions whose position_info is worked out in one pass: 8 KiB of stack (512 to 4,096
// measured alike).
constexpr uint32_t INFO_CHUNK = 2048;
// Entries after the last filled one that a look-ahead may read: up to a copy's length on.
constexpr uint32_t INFO_SLACK = MAX_COPY_BYTES;

// position_info of every position of a stretch of the input, worked out ahead in one pass so
// that the search after a copy starts from a load instead of waiting on the hash of bytes it
// has just reached (3-5% faster than hashing at each search, `codec_bench --all-only
// --no-peers`, medians of 5 runs).
// Positions [from, from + count) of src, count a multiple of 16; reads src up to
// from + count + 1.
SFX_FORCE_INLINE void fill_info(const uint8_t* from, uint32_t count, uint32_t* info) {
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  // Bits 4-12 of value * -417 depend only on the product's low 16 bits.
  const __m128i multiplier = _mm_set1_epi16(static_cast<short>(0xFE5F));
  const __m128i row_mask = _mm_set1_epi16(static_cast<short>((TABLE_BUCKETS - 1) * TABLE_WAYS));
  for (uint32_t i = 0; i < count; i += 16) {
    const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i));
    const __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i + 1));
    const __m128i b2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i + 2));
    for (int half = 0; half < 2; ++half) {
      const __m128i w0 = half == 0 ? _mm_unpacklo_epi8(b0, zero) : _mm_unpackhi_epi8(b0, zero);
      const __m128i w1 = half == 0 ? _mm_unpacklo_epi8(b1, zero) : _mm_unpackhi_epi8(b1, zero);
      const __m128i w2 = half == 0 ? _mm_unpacklo_epi8(b2, zero) : _mm_unpackhi_epi8(b2, zero);
      const __m128i value =
          _mm_xor_si128(_mm_xor_si128(_mm_slli_epi16(w0, 8), _mm_slli_epi16(w1, 4)), w2);
      // (product >> 4 & 0x1FF) * 8 = product >> 1 & 0xFF8
      const __m128i row =
          _mm_and_si128(_mm_srli_epi16(_mm_mullo_epi16(value, multiplier), 1), row_mask);
      __m128i* const to = reinterpret_cast<__m128i*>(info + i + 8 * half);
      _mm_storeu_si128(to, _mm_unpacklo_epi16(row, value));
      _mm_storeu_si128(to + 1, _mm_unpackhi_epi16(row, value));
    }
  }
#else
  for (uint32_t i = 0; i < count; ++i) info[i] = position_info(from + i);
#endif
}

// Slots of inputs up to 65,535 bytes (every payload block): the three-byte value of the
// position in the high half, its offset in the low half, the seed text as offset 0xFFFF. Equal
// values are needed for a copy of 3 bytes or more, so the ways worth comparing are known from
// the table alone.
struct NarrowSlots {
  static constexpr uint32_t SEED_OFFSET = 0xFFFFu;
  static constexpr uint32_t MAX_INPUT = SEED_OFFSET;  // offsets 0..65,534
  const uint8_t* src;

  static uint32_t seed() { return (trigram_value(SEED_PADDED) << 16) | SEED_OFFSET; }
  static SFX_FORCE_INLINE uint32_t pack(uint32_t value, uint32_t offset) {
    return (value << 16) | offset;
  }
  SFX_FORCE_INLINE const uint8_t* source(uint32_t slot) const {
    // A branch, not a select: the seed is rare after a block's first items, and a select
    // would put its cost on the chain from one search to the next (the select measured 200
    // MB/s, the branch 225, `codec_bench --all-only --no-peers`, medians of 3 runs).
    const uint32_t offset = slot & 0xFFFFu;
    if (SFX_UNLIKELY(offset == SEED_OFFSET)) return SEED_PADDED;
    return src + offset;
  }
  // Bit w set when way w holds a position whose three-byte value is that of info (its high
  // half, as in a slot): 16-bit lanes compared, of which movmskps reads the high one's result.
  SFX_FORCE_INLINE uint32_t candidates(const uint32_t* ways, uint32_t info) const {
#if defined(__SSE2__)
    const __m128i want = _mm_set1_epi32(static_cast<int>(info));
    const __m128i low =
        _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(ways)), want);
    const __m128i high =
        _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(ways + 4)), want);
    const int low_bits = _mm_movemask_ps(_mm_castsi128_ps(low));
    const int high_bits = _mm_movemask_ps(_mm_castsi128_ps(high));
    return static_cast<uint32_t>(low_bits) | (static_cast<uint32_t>(high_bits) << 4);
#else
    uint32_t bits = 0;
    for (uint32_t way = 0; way < TABLE_WAYS; ++way) {
      bits |= static_cast<uint32_t>((ways[way] >> 16) == (info >> 16)) << way;
    }
    return bits;
#endif
  }
};

// Slots of longer inputs: plain offsets, the seed text as SEED_SLOT; the three-byte value of a
// candidate is read from its bytes.
struct WideSlots {
  const uint8_t* src;

  static uint32_t seed() { return SEED_SLOT; }
  static SFX_FORCE_INLINE uint32_t pack(uint32_t /*value*/, uint32_t offset) { return offset; }
  SFX_FORCE_INLINE const uint8_t* source(uint32_t slot) const { return slot_source(src, slot); }
  SFX_FORCE_INLINE uint32_t candidates(const uint32_t* ways, uint32_t info) const {
    uint32_t bits = 0;
    for (uint32_t way = 0; way < TABLE_WAYS; ++way) {
      bits |= static_cast<uint32_t>(trigram_value(source(ways[way])) == (info >> 16)) << way;
    }
    return bits;
  }
};

// The coder's running state lives in locals of encode_block and is passed by reference into
// the inlined item coder: stores through the output's byte pointer may alias any memory, so
// state kept in a struct would be reloaded after every output byte.
template <typename Slots>
struct ItemCoder {
  const Slots slots;
  CodecWorkspace* const ws;

  // info: a position's three-byte value and first slot of its bucket (see position_info).
  SFX_FORCE_INLINE void insert(uint32_t& next_way, uint32_t info, uint32_t offset) const {
    ws->slots[(info & 0xFFFFu) + next_way] = Slots::pack(info >> 16, offset);
    next_way = (next_way + 1) & (TABLE_WAYS - 1);
  }

  // Searches the bucket of here and codes one item, copy or literal, at out, with its table
  // work. Returns the input bytes consumed; *flag is 1 for a copy item. info_at points to
  // here's position_info, followed by those of the next MAX_COPY_BYTES positions (which must
  // be readable, any value with a bucket below TABLE_BUCKETS); candidates holds here's
  // candidate ways on entry, and on return those of the position after the item, as the table
  // then stands.
  //
  // The next position's candidates are worked out before the literal-or-copy choice is known,
  // as if the item were a literal: when that choice mispredicts, the next search does not
  // start from a load. A literal's one insertion is then accounted for in the bits it can
  // change. (On the concatenated corpus, `codec_bench --all-only --no-peers`, medians of 5
  // runs: 251 MB/s against 244 MB/s for the candidates worked out at the start of each item.)
  SFX_FORCE_INLINE uint32_t code(const uint8_t* here, const uint32_t* info_at,
                                 uint32_t& candidates, uint8_t*& out, uint32_t& next_way,
                                 uint32_t& back1, uint32_t& back2, uint32_t* flag) const {
    const uint32_t info = info_at[0];
    const uint32_t info1 = info_at[1];
    uint32_t ahead = slots.candidates(ws->slots + (info1 & 0xFFFFu), info1);
    const uint32_t row = info & 0xFFFFu;  // bucket * TABLE_WAYS
    const uint32_t* const ways = ws->slots + row;
    const uint32_t at = static_cast<uint32_t>(here - slots.src);

    uint32_t ways_left = candidates;
    if (ways_left != 0) {
      // Ways in order, each compared on all 18 bytes; a later way wins only with more. A way
      // whose value matched but whose bytes do not gives less than 3 and never wins.
      static_assert(MAX_COPY_BYTES == 16 + 2, "one 16-byte compare and the top of a second");
#if defined(__SSE2__)
      // Bytes 0-15 and 2-17 compared: the match length is the count of trailing ones of the
      // equal-bytes mask, with no branch on the bytes.
      const __m128i head0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(here));
      const __m128i head2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(here + 2));
#else
      // Loaded little-endian, so that the lowest differing bit lies in the first differing byte.
      const uint64_t head0 = load_le64(here);
      const uint64_t head1 = load_le64(here + 8);
      const uint32_t head2 = load_le16(here + 16);
#endif
      uint32_t best_len = MIN_COPY_BYTES - 1;
      uint32_t best_way = 0;
      do {
        const uint32_t way = count_trailing_zeros32(ways_left);
        ways_left &= ways_left - 1;
        const uint8_t* const candidate = slots.source(ways[way]);
#if defined(__SSE2__)
        const uint32_t eq0 = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(candidate)), head0)));
        const uint32_t eq2 = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(candidate + 2)), head2)));
        // Bit i set when byte i agrees, for i < 18; bit 18 clear, so at most 18.
        // (eq2 << 2 repeats bits 2-15 of eq0: the same bytes.)
        const uint32_t equal = eq0 | (eq2 << 2);
        const uint32_t len = count_trailing_zeros32(~equal);
#else
        const uint64_t diff0 = load_le64(candidate) ^ head0;
        const uint64_t diff1 = load_le64(candidate + 8) ^ head1;
        const uint32_t diff2 = (load_le16(candidate + 16) ^ head2) | 0x10000u;  // 18 if all agree
        const uint32_t len2 = 16 + count_trailing_zeros32(diff2) / 8;
        const uint32_t len1 = diff1 != 0 ? 8 + count_trailing_zeros64(diff1) / 8 : len2;
        const uint32_t len = diff0 != 0 ? count_trailing_zeros64(diff0) / 8 : len1;
#endif
        const bool better = len > best_len;
        best_way = better ? way : best_way;
        best_len = better ? len : best_len;
      } while (ways_left != 0);

      if (SFX_LIKELY(best_len >= MIN_COPY_BYTES)) {
        const uint32_t slot = row + best_way;
        out[0] = static_cast<uint8_t>(((slot >> 4) & 0xF0u) | (best_len - MIN_COPY_BYTES));
        out[1] = static_cast<uint8_t>(slot & 0xFFu);
        out += 2;
        if (back1 != NO_POSITION) {
          if (back2 != NO_POSITION) insert(next_way, back2, at - 2);
          insert(next_way, back1, at - 1);
          back1 = back2 = NO_POSITION;
        }
        insert(next_way, info, at);
        const uint32_t info_next = info_at[best_len];
        candidates = slots.candidates(ws->slots + (info_next & 0xFFFFu), info_next);
        *flag = 1;
        return best_len;
      }
    }

    *out++ = *here;
    if (back2 != NO_POSITION) {
      // Into the next position's bucket, the way written becomes a candidate exactly when its
      // new position has the next one's value.
      const uint32_t bit = 1u << next_way;
      insert(next_way, back2, at - 2);
      const uint32_t differ = back2 ^ info1;
      const uint32_t now = (differ >> 16) == 0 ? bit : 0;
      ahead = (differ & 0xFFFFu) == 0 ? (ahead & ~bit) | now : ahead;
    }
    candidates = ahead;
    back2 = back1;
    back1 = info;
    *flag = 0;
    return 1;
  }
};

SFX_FORCE_INLINE void write_control(uint8_t* at, uint32_t word) {
  store_le16(at, static_cast<uint16_t>(word));
}

template <typename Slots>
void encode_block(CodecWorkspace* ws, const uint8_t* src, uint32_t n, uint8_t* dst,
                  uint32_t* dst_len) {
  std::memset(dst, 0, BLOCK_HEADER_BYTES);
  const uint32_t seed = Slots::seed();
  for (uint32_t& slot : ws->slots) slot = seed;

  const ItemCoder<Slots> coder{Slots{src}, ws};
  uint8_t* out = dst + BLOCK_HEADER_BYTES + 2;
  uint8_t* control_at = dst + BLOCK_HEADER_BYTES;  // where the open control word goes
  uint32_t flags = 0;                               // flags recorded in it so far
  uint32_t flag_count = 0;
  uint32_t next_way = 0;
  uint32_t back1 = NO_POSITION;  // owed literal positions one and two back
  uint32_t back2 = NO_POSITION;
  const uint8_t* here = src;
  const uint8_t* const end = src + n;
  const uint8_t* const give_up_at = dst + n;  // the output may not pass n bytes between items

  // position_info of positions [info_from, info_end), then INFO_SLACK entries of bucket 0 for
  // the look-ahead past the last one; filled from here up to INFO_CHUNK positions at a time,
  // before a group that could reach past it and before the single items.
  alignas(16) uint32_t info[INFO_CHUNK + INFO_SLACK];
  const uint8_t* info_from = src;
  const uint8_t* info_end = src;
  const auto fill_from_here = [&] {
    // here is at most n - 18: positions up to n - 18 are searched, and their info reads up to
    // 2 bytes on.
    const uint32_t left = n - (MAX_COPY_BYTES - 1) - static_cast<uint32_t>(here - src);
    const uint32_t count = left < INFO_CHUNK ? left : INFO_CHUNK;
    const uint32_t wide = count & ~15u;  // reads up to here + wide + 1
    fill_info(here, wide, info);
    for (uint32_t i = wide; i < count; ++i) info[i] = position_info(here + i);
    std::memset(info + count, 0, INFO_SLACK * sizeof info[0]);
    info_from = here;
    info_end = here + count;
  };

  // Whole groups: each begins on a fresh control word and fills it.
  const int64_t group_limit = int64_t{n} - GROUP_MAX_INPUT;
  constexpr int64_t GROUP_LAST_START = int64_t{GROUP_ITEMS - 1} * MAX_COPY_BYTES;
  while (here - src <= group_limit) {
    if (out > give_up_at) goto store;
    // Each item of the group starts at most 270 bytes on; n - 288 >= here leaves at least 271
    // positions to fill.
    if (info_end - here <= GROUP_LAST_START) fill_from_here();
    const uint32_t* info_at = info + (here - info_from);  // here's
    uint32_t candidates = coder.slots.candidates(ws->slots + (*info_at & 0xFFFFu), *info_at);
    for (uint32_t item = 0; item < GROUP_ITEMS; ++item) {
      uint32_t flag;
      const uint32_t step =
          coder.code(here, info_at, candidates, out, next_way, back1, back2, &flag);
      here += step;
      info_at += step;
      flags |= flag << item;
    }
    write_control(control_at, flags);
    control_at = out;
    out += 2;
    flags = 0;
  }

  // Single items, searched while 18 or more bytes remain, then literals without a search:
  // within the last 18 bytes the table is never consulted again.
  if (end - here >= int64_t{MAX_COPY_BYTES} && end - info_end >= int64_t{MAX_COPY_BYTES}) {
    fill_from_here();  // up to n - 18: fewer than 288 + 18 positions remain
  }
  for (;;) {
    if (out > give_up_at) goto store;
    if (here == end) break;
    uint32_t flag = 0;
    if (end - here >= int64_t{MAX_COPY_BYTES}) {
      const uint32_t* const info_at = info + (here - info_from);
      uint32_t candidates = coder.slots.candidates(ws->slots + (*info_at & 0xFFFFu), *info_at);
      here += coder.code(here, info_at, candidates, out, next_way, back1, back2, &flag);
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

}  // namespace

void block_encode(CodecWorkspace* ws, const uint8_t* src, uint32_t n, uint8_t* dst,
                  uint32_t* dst_len) {
  static_assert(MAX_BLOCK_INPUT <= NarrowSlots::MAX_INPUT, "payload blocks take the fast slots");
  if (SFX_LIKELY(n <= NarrowSlots::MAX_INPUT)) {
    encode_block<NarrowSlots>(ws, src, n, dst, dst_len);
  } else {
    encode_block<WideSlots>(ws, src, n, dst, dst_len);
  }
}
