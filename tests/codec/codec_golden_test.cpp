// The worked examples of the block format, byte for byte, in both directions.
#include <gtest/gtest.h>

#include "codec_test_util.h"
#include "reference_codec.h"

namespace {

struct Golden {
  const char* name;
  Bytes data;
  Bytes block;
};

// Each block is what the encoder must write for the data, and decodes back to it.
std::vector<Golden> goldens() {
  const Bytes seed = seed_text();
  const Bytes abc = text("abc");
  return {
      {"empty input is stored", {}, {0x01, 0x00, 0x00, 0x00}},
      {"short input is stored", abc, {0x01, 0x00, 0x00, 0x00, 0x61, 0x62, 0x63}},
      {"six letters give up after their first literal", text("abcdef"),
       concat({0x01, 0x00, 0x00, 0x00}, text("abcdef"))},
      {"seed text alone",
       seed,
       {0x00, 0x00, 0x00, 0x00,  // header
        0xFF, 0xFF,              // one copy item, bits 1-15 filler ones
        0x7F, 0x80}},            // length 18 (0xF + 3), slot 0x780 = 1920: bucket 240, way 0
      {"seed text three times",
       repeat(seed, 3),
       {0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF,
        0x7F, 0x80,     // from the seed text; enters position 0 into slot 1920
        0x7F, 0x80,     // from position 0
        0x7F, 0x80}},   // from position 0 again
      {"abc sixteen times",
       repeat(abc, 16),
       {0x00, 0x00, 0x00, 0x00,
        0x18, 0xC0,              // 0xC018: 3 literals, 2 copies, 9 literals, 2 filler ones
        0x61, 0x62, 0x63,        // a b c: position 0 enters slot 1512 (bucket 189, way 0)
        0x5F, 0xE8,              // length 18 from slot 0x5E8 = 1512, overlapping its own output
        0x5F, 0xE8,              // length 18 from slot 1512 again
        0x61, 0x62, 0x63, 0x61, 0x62, 0x63, 0x61, 0x62, 0x63}},  // the last 9 lie in the last 18
      {"86 letters a",
       Bytes(86, 0x61),
       {0x00, 0x00, 0x00, 0x00,
        0x78, 0x00,  // 3 literals, 4 copies, 9 literals
        0x61, 0x61, 0x61, 0x0F, 0x70, 0x0F, 0x70, 0x0F, 0x70, 0x0F, 0x70,
        0x61, 0x61, 0x61, 0x61, 0x61, 0x61, 0x61, 0x61, 0x61,
        0xFC, 0xFF,  // the last group: 2 literals and fourteen filler ones
        0x61, 0x61}},
      {"seed text fifteen times",
       repeat(seed, 15),
       concat({0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF}, repeat({0x7F, 0x80}, 15))},
      {"seed text sixteen times: the empty last control word is dropped",
       repeat(seed, 16),
       concat({0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF}, repeat({0x7F, 0x80}, 16))},
      {"a coded result as long as its input stays coded",
       concat(text("12345678"), text("abcdefghij")),
       concat({0x00, 0x00, 0x00, 0x00,
               0x01, 0xF8,   // a copy, ten literals, five filler ones
               0x75, 0x80},  // length 8 from the seed text in slot 1920
              text("abcdefghij"))},
      {"a reserved control word counts towards the give-up",
       concat(text("12345678"), text("abcdefghijklmno")),
       concat({0x01, 0x00, 0x00, 0x00}, concat(text("12345678"), text("abcdefghijklmno")))},
  };
}

class GoldenTest : public ::testing::TestWithParam<Golden> {};

TEST_P(GoldenTest, EncodesToTheBlock) {
  EXPECT_EQ(encode(GetParam().data), GetParam().block);
}

TEST_P(GoldenTest, DecodesToTheData) {
  const Decoded d = decode(GetParam().block);
  ASSERT_EQ(d.status, CODEC_OK);
  EXPECT_EQ(d.bytes, GetParam().data);
}

TEST_P(GoldenTest, ReferenceAgrees) {
  EXPECT_EQ(reference::encode(GetParam().data), GetParam().block);
  EXPECT_EQ(reference::decode(GetParam().block), GetParam().data);
}

INSTANTIATE_TEST_SUITE_P(Examples, GoldenTest, ::testing::ValuesIn(goldens()),
                         [](const ::testing::TestParamInfo<Golden>& param_info) {
                           std::string s;
                           for (const char* p = param_info.param.name; *p; ++p) {
                             s += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                           }
                           return s;
                         });

// Blocks the encoder never writes, and what they decode to.
struct DecodeOnly {
  const char* name;
  Bytes block;
  Bytes data;
};

TEST(DecodeExamples, BlocksTheEncoderDoesNotWrite) {
  const Bytes seed = seed_text();
  const std::vector<DecodeOnly> cases = {
      {"coded header alone", {0x00, 0x00, 0x00, 0x00}, {}},
      {"stored, reserved bytes ignored", {0x01, 0xAA, 0xBB, 0xCC, 0x61}, text("a")},
      {"flag 2 means coded", {0x02, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x7F, 0x80}, seed},
      {"flag 0xFF and reserved bytes set", {0xFF, 0x12, 0x34, 0x56, 0xFF, 0xFF, 0x7F, 0x80}, seed},
      {"an unwritten slot yields the seed text", {0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x02, 0x05},
       text("12345")},  // length 5 from slot 5: nobody wrote it
      {"literals only, with the last group full",
       concat({0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, text("0123456789abcdef")), text("0123456789abcdef")},
      {"shortest copy", {0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x70, 0x80}, text("123")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Decoded d = decode(c.block);
    ASSERT_EQ(d.status, CODEC_OK);
    EXPECT_EQ(d.bytes, c.data);
    EXPECT_EQ(reference::decode(c.block), c.data);
  }
}

TEST(DecodeExamples, SameWorkspaceTwiceGivesTheSameResult) {
  auto ws = std::make_unique<CodecWorkspace>();
  const Bytes block = goldens()[5].block;  // abc sixteen times: fills slots as it goes
  Bytes first(MAX_BLOCK_BYTES), second(MAX_BLOCK_BYTES);
  uint32_t n1 = 0, n2 = 0;
  ASSERT_EQ(block_decode(ws.get(), block.data(), static_cast<uint32_t>(block.size()), first.data(), &n1,
                         MAX_BLOCK_BYTES), CODEC_OK);
  ASSERT_EQ(block_decode(ws.get(), block.data(), static_cast<uint32_t>(block.size()), second.data(), &n2,
                         MAX_BLOCK_BYTES), CODEC_OK);
  EXPECT_EQ(Bytes(first.begin(), first.begin() + static_cast<std::ptrdiff_t>(n1)),
            Bytes(second.begin(), second.begin() + static_cast<std::ptrdiff_t>(n2)));
}

TEST(BucketOf, KnownValues) {
  EXPECT_EQ(bucket_of('a', 'b', 'c'), 189u);
  EXPECT_EQ(bucket_of('1', '2', '3'), 240u);
  EXPECT_EQ(bucket_of(0x00, 0x00, 0x00), 0u);
  EXPECT_EQ(bucket_of(0xFF, 0xFF, 0xFF), 377u);
}

TEST(CodecRun, UnknownActionLeavesEverythingAlone) {
  auto ws = std::make_unique<CodecWorkspace>();
  const Bytes src = text("abc");
  for (uint16_t action : {uint16_t{0}, uint16_t{3}, uint16_t{0xFFFF}}) {
    Bytes dst(64, 0xEE);
    uint32_t len = 12345;
    EXPECT_EQ(codec_run(action, ws.get(), src.data(), 3, dst.data(), &len, 64), CODEC_BAD_ACTION);
    EXPECT_EQ(len, 12345u);
    EXPECT_EQ(dst, Bytes(64, 0xEE));
  }
}

TEST(CodecRun, EncodeNeedsRoomForTheWorstCase) {
  auto ws = std::make_unique<CodecWorkspace>();
  const Bytes src(100, 0x61);
  Bytes dst(200, 0xEE);
  uint32_t len = 7;
  EXPECT_EQ(codec_run(CODEC_ENCODE, ws.get(), src.data(), 100, dst.data(), &len, 133), CODEC_DST_TOO_SMALL);
  EXPECT_EQ(len, 7u);
  EXPECT_EQ(dst, Bytes(200, 0xEE));
  EXPECT_EQ(codec_run(CODEC_ENCODE, ws.get(), src.data(), 100, dst.data(), &len, 134), CODEC_OK);
}

}  // namespace
