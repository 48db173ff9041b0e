// Blocks that must fail cleanly: never a read or write outside the buffers given, whatever the
// bytes. Sources and destinations end at an unreadable page.
#include <gtest/gtest.h>

#include <random>

#include "codec_test_util.h"
#include "reference_codec.h"
#include "test_data.h"

namespace {

struct Malformed {
  const char* name;
  Bytes block;
  CodecStatus status;
};

TEST(Malformed, AnnotatedCases) {
  const std::vector<Malformed> cases = {
      {"empty", {}, CODEC_MALFORMED},
      {"one byte, stored flag", {0x01}, CODEC_MALFORMED},
      {"three bytes of header", {0x00, 0x00, 0x00}, CODEC_MALFORMED},
      {"control word cut off", {0x00, 0x00, 0x00, 0x00, 0xFF}, CODEC_MALFORMED},
      {"bare control word at the end", {0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, CODEC_MALFORMED},
      {"copy item cut off", {0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x7F}, CODEC_MALFORMED},
      {"bare control word after a full group",
       concat(concat({0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, Bytes(16, 0x61)), {0x00, 0x00}),
       CODEC_MALFORMED},
      {"second control word cut off",
       concat(concat({0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, Bytes(16, 0x61)), {0x00}),
       CODEC_MALFORMED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(decode(c.block).status, c.status);
    EXPECT_FALSE(reference::decode(c.block).has_value());
  }
}

TEST(Malformed, EveryTruncationOfValidBlocks) {
  // A cut block either fails cleanly or, where the cut falls between items, decodes to a prefix
  // of the data: never anything else.
  for (const Bytes& data : {test_data::mixed(3000, 4), test_data::text_like(700, 5),
                            repeat(seed_text(), 20), Bytes(400, 0x61)}) {
    const Bytes block = encode(data);
    for (size_t cut = 0; cut < block.size(); ++cut) {
      const Bytes part(block.begin(), block.begin() + static_cast<long>(cut));
      const Decoded d = decode(part);
      const auto ref = reference::decode(part);
      SCOPED_TRACE("cut=" + std::to_string(cut));
      ASSERT_EQ(d.status == CODEC_OK, ref.has_value());
      if (d.status == CODEC_OK) {
        ASSERT_EQ(d.bytes, *ref);
        ASSERT_LE(d.bytes.size(), data.size());
        ASSERT_TRUE(std::equal(d.bytes.begin(), d.bytes.end(), data.begin()));
      } else {
        ASSERT_EQ(d.status, CODEC_MALFORMED);
      }
    }
  }
}

TEST(Malformed, DestinationOneByteShort) {
  for (const Bytes& data : {test_data::mixed(5000, 6), test_data::random_bytes(500, 6),
                            repeat(text("abc"), 16), Bytes(86, 0x61), seed_text()}) {
    const Bytes block = encode(data);
    const uint32_t n = static_cast<uint32_t>(data.size());
    EXPECT_EQ(decode(block, n - 1).status, CODEC_DST_TOO_SMALL);
    EXPECT_EQ(decode(block, n).bytes, data);
    EXPECT_EQ(decode(block, 0).status, CODEC_DST_TOO_SMALL);
  }
}

TEST(Malformed, RandomBytesNeverEscapeTheBuffers) {
  std::mt19937 rng(2026);
  for (int i = 0; i < 3000; ++i) {
    const size_t len = rng() % 300;
    Bytes block = test_data::random_bytes(len, static_cast<uint32_t>(i));
    if (len > 0 && i % 2 == 0) block[0] = 0;  // mostly coded
    const uint32_t capacity = static_cast<uint32_t>(rng() % 2000);
    const Decoded d = decode(block, capacity);
    const auto ref = reference::decode(block);
    if (ref && ref->size() <= capacity) {
      ASSERT_EQ(d.status, CODEC_OK) << "i=" << i;
      ASSERT_EQ(d.bytes, *ref) << "i=" << i;
    } else if (ref) {
      ASSERT_EQ(d.status, CODEC_DST_TOO_SMALL) << "i=" << i;
    } else {
      ASSERT_NE(d.status, CODEC_OK) << "i=" << i;
    }
  }
}

TEST(Malformed, DamagedValidBlocksDecodeLikeTheReference) {
  // Flip single bytes of real blocks: the result must match the reference's reading exactly.
  const Bytes data = test_data::mixed(20000, 8);
  const Bytes block = encode(data);
  std::mt19937 rng(7);
  for (int i = 0; i < 300; ++i) {
    Bytes bad = block;
    bad[4 + rng() % (bad.size() - 4)] ^= static_cast<uint8_t>(1 + rng() % 255);
    const Decoded d = decode(bad);
    const auto ref = reference::decode(bad);
    if (ref && ref->size() <= MAX_BLOCK_BYTES) {
      ASSERT_EQ(d.status, CODEC_OK);
      ASSERT_EQ(d.bytes, *ref);
    } else {
      ASSERT_NE(d.status, CODEC_OK);
    }
  }
}

}  // namespace
