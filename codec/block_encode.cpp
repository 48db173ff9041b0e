// The block encoder.
//
// What costs here is not the comparing but branches whose outcome hangs on a candidate's bytes:
// each misprediction waits for a load from the second-level cache first. So a slot also holds
// the 16-bit value of its position's first three bytes, which tells from the table alone which
// ways can give a copy at all, and those ways are compared 8 bytes at a time and the best kept
// without a data-dependent branch. The byte at the best length is not tested before a full
// comparison: that test mispredicts about as often as it saves one, and dropping it changes no
// result. On the concatenated corpus (`codec_bench --all-only --no-peers`, best of 5 runs, two
// rounds): 200-205 MB/s, against 189 MB/s for 8 ways compared byte-at-best-length first with
// 8-byte compares, and 115-160 MB/s for the plain byte loop this replaced. The rest is the
// chain of loads from one position's search to the next after a copy, and the mispredicted
// ends of the loop over the candidate ways and of the literal-or-copy choice (callgrind
// --branch-sim=yes over the corpus: about one misprediction of the loop's end per item that has
// candidates, and one of the choice in four items).
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "codec.h"
#include "compiler.h"
#include "table.h"

using namespace codec_detail;

namespace {

// A group of 16 items consumes at most this much input, so it can be coded without end tests
// from any position at least this far from the end.
constexpr int64_t GROUP_MAX_INPUT = int64_t{GROUP_ITEMS} * MAX_COPY_BYTES;
static_assert(GROUP_MAX_INPUT == 288, "16 copy items of 18 bytes");

// back1 and back2 hold the three-byte value of an owed position, or this.
constexpr uint32_t NO_POSITION = ~0u;

SFX_FORCE_INLINE uint64_t load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

SFX_FORCE_INLINE uint32_t load16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
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
    const uint32_t offset = slot & 0xFFFFu;
    return offset == SEED_OFFSET ? SEED_PADDED : src + offset;
  }
  // Bit w set when way w holds a position whose three-byte value is `value`.
  SFX_FORCE_INLINE uint32_t candidates(const uint32_t* ways, uint32_t value) const {
#if defined(__SSE2__)
    const __m128i want = _mm_set1_epi32(static_cast<int>(value));
    const __m128i low = _mm_srli_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(ways)), 16);
    const __m128i high =
        _mm_srli_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(ways + 4)), 16);
    const int low_bits = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(low, want)));
    const int high_bits = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(high, want)));
    return static_cast<uint32_t>(low_bits) | (static_cast<uint32_t>(high_bits) << 4);
#else
    uint32_t bits = 0;
    for (uint32_t way = 0; way < TABLE_WAYS; ++way) {
      bits |= static_cast<uint32_t>((ways[way] >> 16) == value) << way;
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
  SFX_FORCE_INLINE uint32_t candidates(const uint32_t* ways, uint32_t value) const {
    uint32_t bits = 0;
    for (uint32_t way = 0; way < TABLE_WAYS; ++way) {
      bits |= static_cast<uint32_t>(trigram_value(source(ways[way])) == value) << way;
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

  SFX_FORCE_INLINE void insert(uint32_t& next_way, uint32_t value, uint32_t offset) const {
    ws->slots[bucket_of_value(value) * TABLE_WAYS + next_way] = Slots::pack(value, offset);
    next_way = (next_way + 1) & (TABLE_WAYS - 1);
  }

  // Searches the bucket of here and codes one item, copy or literal, at out, with its table
  // work. Returns the input bytes consumed; *flag is 1 for a copy item.
  SFX_FORCE_INLINE uint32_t code(const uint8_t* here, uint8_t*& out, uint32_t& next_way,
                                 uint32_t& back1, uint32_t& back2, uint32_t* flag) const {
    const uint32_t value = trigram_value(here);
    const uint32_t bucket = bucket_of_value(value);
    const uint32_t* const ways = ws->slots + bucket * TABLE_WAYS;
    const uint32_t at = static_cast<uint32_t>(here - slots.src);

    uint32_t ways_left = slots.candidates(ways, value);
    if (ways_left != 0) {
      // Ways in order, each compared on all 18 bytes; a later way wins only with more. A way
      // whose value matched but whose bytes do not gives less than 3 and never wins.
      const uint64_t head0 = load64(here);
      const uint64_t head1 = load64(here + 8);
      const uint32_t head2 = load16(here + 16);
      static_assert(MAX_COPY_BYTES == 8 + 8 + 2, "two words and a half-word");
      uint32_t best_len = MIN_COPY_BYTES - 1;
      uint32_t best_way = 0;
      do {
        const uint32_t way = static_cast<uint32_t>(__builtin_ctz(ways_left));
        ways_left &= ways_left - 1;
        const uint8_t* const candidate = slots.source(ways[way]);
        const uint64_t diff0 = load64(candidate) ^ head0;
        const uint64_t diff1 = load64(candidate + 8) ^ head1;
        const uint32_t diff2 = (load16(candidate + 16) ^ head2) | 0x10000u;  // 18 if all agree
        const uint32_t len2 = 16 + static_cast<uint32_t>(__builtin_ctz(diff2)) / 8;
        const uint32_t len1 = diff1 != 0 ? 8 + static_cast<uint32_t>(__builtin_ctzll(diff1)) / 8 : len2;
        const uint32_t len = diff0 != 0 ? static_cast<uint32_t>(__builtin_ctzll(diff0)) / 8 : len1;
        const bool better = len > best_len;
        best_way = better ? way : best_way;
        best_len = better ? len : best_len;
      } while (ways_left != 0);

      if (SFX_LIKELY(best_len >= MIN_COPY_BYTES)) {
        const uint32_t slot = bucket * TABLE_WAYS + best_way;
        out[0] = static_cast<uint8_t>(((slot >> 4) & 0xF0u) | (best_len - MIN_COPY_BYTES));
        out[1] = static_cast<uint8_t>(slot & 0xFFu);
        out += 2;
        if (back1 != NO_POSITION) {
          if (back2 != NO_POSITION) insert(next_way, back2, at - 2);
          insert(next_way, back1, at - 1);
          back1 = back2 = NO_POSITION;
        }
        insert(next_way, value, at);
        *flag = 1;
        return best_len;
      }
    }

    *out++ = *here;
    if (back2 != NO_POSITION) insert(next_way, back2, at - 2);
    back2 = back1;
    back1 = value;
    *flag = 0;
    return 1;
  }
};

SFX_FORCE_INLINE void write_control(uint8_t* at, uint32_t word) {
  at[0] = static_cast<uint8_t>(word);
  at[1] = static_cast<uint8_t>(word >> 8);
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

  // Whole groups: each begins on a fresh control word and fills it.
  const int64_t group_limit = int64_t{n} - GROUP_MAX_INPUT;
  while (here - src <= group_limit) {
    if (out > give_up_at) goto store;
    for (uint32_t item = 0; item < GROUP_ITEMS; ++item) {
      uint32_t flag;
      here += coder.code(here, out, next_way, back1, back2, &flag);
      flags |= flag << item;
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
      here += coder.code(here, out, next_way, back1, back2, &flag);
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
