// compress and extract: the exact payload bytes, and the data back, at many sizes and block
// sizes, through files and through stdin/stdout.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>
#include <string>

#include "sfx_expected.h"
#include "sfx_runner.h"
#include "test_data.h"

namespace {

enum class Kind { RANDOM, REPETITIVE, TEXT, MIXED };

Bytes make(Kind kind, size_t n, uint32_t seed) {
  switch (kind) {
    case Kind::RANDOM: return test_data::random_bytes(n, seed);
    case Kind::REPETITIVE: return test_data::repetitive(n, seed);
    case Kind::TEXT: return test_data::text_like(n, seed);
    case Kind::MIXED: return test_data::mixed(n, seed);
  }
  return {};
}

struct RoundTripCase {
  const char* name;
  Kind kind;
  size_t size;
  uint32_t block_input;  // 0: the default, 64,000
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const RoundTripCase& c, std::ostream* os) { *os << c.name; }

const RoundTripCase ROUND_TRIP_CASES[] = {
    {"empty", Kind::TEXT, 0, 0},
    {"one_byte_blocks_of_one", Kind::TEXT, 1, 1},
    {"text_in_blocks_of_one", Kind::TEXT, 700, 1},
    {"below_the_searched_minimum", Kind::TEXT, 17, 0},
    {"the_searched_minimum", Kind::REPETITIVE, 18, 0},
    {"just_past_a_group", Kind::REPETITIVE, 289, 0},
    // A stored block of 19,269 bytes: its length reads as "KE", the end mark's first half.
    {"block_length_like_the_end_mark", Kind::RANDOM, 2 * 19265 + 5, 19265},
    {"one_default_block", Kind::TEXT, 64000, 0},
    {"one_default_block_and_a_byte", Kind::TEXT, 64001, 0},
    {"several_default_blocks", Kind::MIXED, 200000, 0},
    {"largest_blocks_coded", Kind::REPETITIVE, 150000, 65020},
    // Stored at the largest length a block may have, 65,024.
    {"largest_blocks_stored", Kind::RANDOM, 2 * 65020 + 1, 65020},
    {"small_blocks", Kind::MIXED, 20000, 100},
    {"odd_blocks", Kind::TEXT, 100000, 4097},
};

class SfxRoundTrip : public testing::TestWithParam<RoundTripCase> {};

TEST_P(SfxRoundTrip, CompressWritesTheLayoutAndExtractGivesTheDataBack) {
  const RoundTripCase& c = GetParam();
  const Bytes data = make(c.kind, c.size, static_cast<uint32_t>(c.size) + 7);
  const size_t block_input = c.block_input == 0 ? 64000 : c.block_input;
  ScratchDir dir;
  write_file(dir.file("in"), data);

  std::vector<std::string> compress = {"compress", "in", "-o", "in.sfx"};
  if (c.block_input != 0) {
    compress.push_back("--block-size");
    compress.push_back(std::to_string(c.block_input));
  }
  const SfxResult packed = run_sfx(dir, compress);
  ASSERT_EQ(packed.status, 0) << packed.err;
  EXPECT_EQ(read_file(dir.file("in.sfx")), expected_payload(data, block_input));

  const SfxResult extracted = run_sfx(dir, {"extract", "in.sfx", "-o", "out"});
  ASSERT_EQ(extracted.status, 0) << extracted.err;
  EXPECT_EQ(read_file(dir.file("out")), data);

  const SfxResult verified = run_sfx(dir, {"verify", "-q", "in.sfx", "--original", "in"});
  EXPECT_EQ(verified.status, 0) << verified.err;
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"in", "in.sfx", "out"}));
}

INSTANTIATE_TEST_SUITE_P(Sizes, SfxRoundTrip, testing::ValuesIn(ROUND_TRIP_CASES),
                         [](const testing::TestParamInfo<RoundTripCase>& tested) {
                           return std::string(tested.param.name);
                         });

// The smallest payloads, byte for byte.
struct ExactCase {
  const char* name;
  std::string input;
  Bytes payload;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const ExactCase& c, std::ostream* os) { *os << c.name; }

const std::string SEED_TEXT_THREE_TIMES =
    "123456789012345678123456789012345678123456789012345678";

// The record's fields (integrity.h): decoded length (8 bytes), CRC-32 of the data (4), record
// size 32 (2), version 1, flags 0, reserved (4), the record's own CRC-32 of those 20 bytes (4),
// magic "sfxcheck".
const ExactCase EXACT_CASES[] = {
    {"empty", "",
     concat({{0, 0, 0, 0, 0, 0, 0, 0,  // length 0
              0, 0, 0, 0,              // CRC-32 of nothing
              0x20, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
              0x7E, 0x2A, 0xFF, 0x3D},  // the record's check
             bytes_of("sfxcheck"), bytes_of("WOMBIXINSTALL"), bytes_of("KELVRA")})},
    {"stored",
     "abc",
     concat({{0x03, 0, 0, 0, 0, 0, 0, 0,  // length 3
              0xC2, 0x41, 0x24, 0x35,     // CRC-32 of "abc", 0x352441C2
              0x20, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
              0x23, 0xC1, 0x1F, 0x1B},
             bytes_of("sfxcheck"), bytes_of("WOMBIXINSTALL"),
             {0x00, 0x07},                          // length 7
             {0x01, 0x00, 0x00, 0x00, 'a', 'b', 'c'},  // stored block: flag 1, reserved, data
             bytes_of("KELVRA")})},
    {"coded",
     SEED_TEXT_THREE_TIMES,
     concat({{0x36, 0, 0, 0, 0, 0, 0, 0,  // length 54
              0x16, 0xE9, 0xF5, 0x08,
              0x20, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
              0x7E, 0x7C, 0x06, 0xB1},
             bytes_of("sfxcheck"), bytes_of("WOMBIXINSTALL"),
             {0x00, 0x0C},              // length 12
             {0x00, 0x00, 0x00, 0x00},  // coded block header
             {0xFF, 0xFF},              // control word: three copies, then filler ones
             {0x7F, 0x80, 0x7F, 0x80, 0x7F, 0x80},  // 18 bytes from slot 1,920, three times
             bytes_of("KELVRA")})},
};

class SfxExact : public testing::TestWithParam<ExactCase> {};

TEST_P(SfxExact, CompressWritesTheseBytes) {
  ScratchDir dir;
  write_file(dir.file("in"), bytes_of(GetParam().input));
  const SfxResult result = run_sfx(dir, {"compress", "-q", "in", "-o", "in.sfx"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(read_file(dir.file("in.sfx")), GetParam().payload);
  EXPECT_EQ(result.err, "");  // -q
}

INSTANTIATE_TEST_SUITE_P(Tiny, SfxExact, testing::ValuesIn(EXACT_CASES),
                         [](const testing::TestParamInfo<ExactCase>& tested) {
                           return std::string(tested.param.name);
                         });

TEST(SfxStreams, CompressAndExtractThroughStdinAndStdout) {
  ScratchDir dir;
  const Bytes data = test_data::mixed(150000, 3);
  const SfxResult packed = run_sfx(dir, {"compress", "-", "-o", "-"}, data);
  ASSERT_EQ(packed.status, 0) << packed.err;
  EXPECT_EQ(bytes_of(packed.out), expected_payload(data));

  const SfxResult extracted = run_sfx(dir, {"extract", "-", "-o", "-"}, bytes_of(packed.out));
  ASSERT_EQ(extracted.status, 0) << extracted.err;
  EXPECT_EQ(bytes_of(extracted.out), data);
  EXPECT_EQ(dir.names(), std::vector<std::string>{});
}

TEST(SfxStreams, ListAndVerifyReadStdin) {
  ScratchDir dir;
  const Bytes data = test_data::text_like(70000, 4);
  const SfxResult listed = run_sfx(dir, {"list", "-"}, expected_payload(data));
  ASSERT_EQ(listed.status, 0) << listed.err;
  EXPECT_NE(listed.out.find("blocks: 2"), std::string::npos) << listed.out;
  write_file(dir.file("original"), data);
  const SfxResult verified =
      run_sfx(dir, {"verify", "-", "--original", "original"}, expected_payload(data));
  EXPECT_EQ(verified.status, 0) << verified.err;
}

TEST(SfxCorpus, EachFileRoundTrips) {
  const char* corpus = std::getenv("SFX_CORPUS_DIR");
  const std::vector<test_data::CorpusFile> files = test_data::corpus_files();
  if (files.empty()) GTEST_SKIP() << "no corpus (SFX_CORPUS_DIR)";
  for (const test_data::CorpusFile& file : files) {
    SCOPED_TRACE(file.name);
    ScratchDir dir;
    const std::string path = std::string(corpus) + "/" + file.name;
    const SfxResult packed = run_sfx(dir, {"compress", path, "-o", "c.sfx"});
    ASSERT_EQ(packed.status, 0) << packed.err;
    EXPECT_EQ(read_file(dir.file("c.sfx")), expected_payload(file.bytes));
    const SfxResult extracted = run_sfx(dir, {"extract", "c.sfx", "-o", "out"});
    ASSERT_EQ(extracted.status, 0) << extracted.err;
    EXPECT_EQ(read_file(dir.file("out")), file.bytes);
    const SfxResult verified = run_sfx(dir, {"verify", "c.sfx", "--original", path});
    EXPECT_EQ(verified.status, 0) << verified.err;
  }
}

}  // namespace
