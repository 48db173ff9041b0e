// The edges of the codec's fast paths, each held to the reference codec: the decoder's input
// and output margins, wide copies at every distance around their thresholds, and the encoder's
// table of three-byte values (colliding values, and inputs past 16-bit offsets).
#include <gtest/gtest.h>

#include <random>

#include "codec_test_util.h"
#include "reference_codec.h"
#include "test_data.h"

namespace {

// A coded block of the header, one control word of copies, and k copy items of 18 bytes of the
// seed text (slot 1,920), then as many groups of the same as `groups` asks.
Bytes seed_copies(size_t groups, size_t last_items) {
  Bytes block = {0x00, 0x00, 0x00, 0x00};
  for (size_t g = 0; g <= groups; ++g) {
    const size_t items = g < groups ? GROUP_ITEMS : last_items;
    if (items == 0) break;
    block.insert(block.end(), {0xFF, 0xFF});
    for (size_t i = 0; i < items; ++i) block.insert(block.end(), {0x7F, 0x80});
  }
  return block;
}

TEST(FastPath, InputMarginAroundOneGroup) {
  // After the last control word 28, 30 or 32 bytes remain (14 to 16 copy items), or 33 (16
  // items and the first byte of a control word cut off). Bytes past the block fault: the
  // source ends at an unreadable page.
  for (size_t groups = 0; groups <= 2; ++groups) {
    for (size_t last = 14; last <= 17; ++last) {
      SCOPED_TRACE(testing::Message() << groups << " groups, then case " << last);
      Bytes block = seed_copies(groups, last == 17 ? 16 : last);
      if (last == 17) block.push_back(0xFF);
      const auto expected = reference::decode(block);
      const Decoded got = decode(block);
      if (!expected) {
        EXPECT_EQ(got.status, CODEC_MALFORMED);
      } else {
        ASSERT_EQ(got.status, CODEC_OK);
        EXPECT_EQ(got.bytes, *expected);
      }
    }
  }
}

TEST(FastPath, OutputMarginAtEveryCapacityNearTheEnd) {
  // Groups of 16 copies of 18 bytes each (288 bytes a group): with the destination ending
  // 0 to 320 bytes after the data, the last groups pass from the fast path to the careful one.
  // The destination ends at an unreadable page, so a wide move past it faults.
  const Bytes block = seed_copies(4, 16);
  const auto expected = reference::decode(block);
  ASSERT_TRUE(expected.has_value());
  const auto size = static_cast<uint32_t>(expected->size());
  for (uint32_t capacity = size - 300; capacity <= size + 320; ++capacity) {
    SCOPED_TRACE(capacity);
    const Decoded got = decode(block, capacity);
    if (capacity < size) {
      EXPECT_EQ(got.status, CODEC_DST_TOO_SMALL);
    } else {
      ASSERT_EQ(got.status, CODEC_OK);
      EXPECT_EQ(got.bytes, *expected);
    }
  }
}

// A d-byte random pattern repeated, with one random byte in every 97: copies whose source lies
// d bytes (or a multiple) behind.
Bytes periodic(size_t n, size_t d, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes pattern(d);
  for (auto& b : pattern) b = static_cast<uint8_t>(rng());
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) out[i] = i % 97 == 96 ? static_cast<uint8_t>(rng()) : pattern[i % d];
  return out;
}

TEST(FastPath, CopiesAtEveryDistanceAroundTheWideThresholds) {
  for (size_t d = 1; d <= 40; ++d) {
    SCOPED_TRACE(testing::Message() << "period " << d);
    const Bytes data = periodic(3000, d, static_cast<uint32_t>(d));
    const Bytes block = encode(data);
    ASSERT_EQ(block, reference::encode(data));
    const auto n = static_cast<uint32_t>(data.size());
    const Decoded exact = decode(block, n);
    ASSERT_EQ(exact.status, CODEC_OK);
    EXPECT_EQ(exact.bytes, data);
    EXPECT_EQ(decode(block, n - 1).status, CODEC_DST_TOO_SMALL);
  }
}

TEST(EncoderTable, ValuesThatCollideAcrossDifferentBytes) {
  // (b0, b1, b2) and (b0 ^ 1, b1 ^ 0x10, b2) have the same value b0*256 ^ b1*16 ^ b2, so they
  // share a bucket and a value in the table while their bytes differ: such a way must never
  // give a copy, nor hide a real match in a later way.
  std::mt19937 rng(7);
  Bytes data;
  while (data.size() < 20000) {
    const auto b0 = static_cast<uint8_t>(rng() % 4);
    const auto b1 = static_cast<uint8_t>(rng() % 4);
    const auto b2 = static_cast<uint8_t>(rng() % 4);
    const bool twin = rng() % 2 != 0;
    data.push_back(twin ? static_cast<uint8_t>(b0 ^ 1) : b0);
    data.push_back(twin ? static_cast<uint8_t>(b1 ^ 0x10) : b1);
    data.push_back(b2);
    for (uint32_t k = rng() % 4; k > 0; --k) data.push_back(static_cast<uint8_t>(rng() % 3));
  }
  for (size_t n : {size_t{300}, size_t{4096}, data.size()}) {
    SCOPED_TRACE(n);
    const Bytes input(data.begin(), data.begin() + static_cast<long>(n));
    const Bytes block = encode(input);
    EXPECT_EQ(block, reference::encode(input));
    EXPECT_EQ(decode(block, static_cast<uint32_t>(n)).bytes, input);
  }
}

TEST(EncoderTable, InputsPastSixteenBitOffsets) {
  // Payload blocks stop at 65,020 bytes; longer inputs take plain offsets and must code alike.
  const Bytes text = test_data::text_like(70001, 3);
  for (size_t n : {size_t{65534}, size_t{65535}, size_t{65536}, size_t{70001}}) {
    SCOPED_TRACE(n);
    const Bytes input(text.begin(), text.begin() + static_cast<long>(n));
    const Bytes block = encode(input);
    EXPECT_EQ(block, reference::encode(input));
    EXPECT_EQ(decode(block, static_cast<uint32_t>(n)).bytes, input);
  }
}

}  // namespace
