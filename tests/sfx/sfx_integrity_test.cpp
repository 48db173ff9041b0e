// The integrity record: written by compress and pack (or left out with --no-record), whatever
// the input and output are, and held against the data by extract and verify, which exit 1 on a
// payload that is damaged, cut short or unlike its record, extract leaving nothing behind.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>

#include "crc32.h"
#include "integrity.h"
#include "sfx_expected.h"
#include "sfx_runner.h"
#include "test_data.h"

namespace {

// Incompressible data in three stored blocks: 20,000 + 20,000 + 10,000 bytes.
//   0      record (32)           32  marker (13)
//   45     block 0: length, 20,004 bytes       20051  block 1
//   40057  block 2: length, 10,004 bytes       50063  end mark "KELVRA", 50069 the end
const Bytes DATA = test_data::random_bytes(50000, 91);
constexpr size_t BLOCK_INPUT = 20000;
constexpr size_t BLOCK_2_AT = 40057;
constexpr size_t END_MARK_AT = 50063;

struct FaultCase {
  const char* name;
  std::function<void(Bytes*)> damage;
  std::string message;  // in verify's and extract's error
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

void rewrite_record(Bytes* file, uint8_t version) {
  (*file)[14] = version;
  const uint32_t check = crc32_update(0, file->data(), 20);
  for (int i = 0; i < 4; ++i) (*file)[20 + static_cast<size_t>(i)] = static_cast<uint8_t>(check >> (8 * i));
}

const FaultCase FAULT_CASES[] = {
    // A stored block re-encodes to its own bytes whatever they hold: only the CRC tells.
    {"byte_changed_in_a_stored_block", [](Bytes* f) { (*f)[45 + 2 + 4 + 1234] ^= 0x01; },
     "the decoded data's CRC-32 is "},
    {"cut_at_a_block_boundary", [](Bytes* f) { f->resize(BLOCK_2_AT); },
     "the payload ends after 40000 of the 50000 bytes its integrity record gives: the file was cut short"},
    {"cut_just_before_the_end_mark", [](Bytes* f) { f->resize(END_MARK_AT); },
     "no end mark after the last block at offset 50063: the file was cut short"},
    {"cut_inside_the_end_mark", [](Bytes* f) { f->resize(END_MARK_AT + 2); },
     "block 3 at offset 50063: the file ends inside the end mark (it was cut short)"},
    {"cut_after_the_end_mark_s_first_byte", [](Bytes* f) { f->resize(END_MARK_AT + 1); },
     "block 3 at offset 50063: the file ends inside the end mark (it was cut short)"},
    {"record_damaged", [](Bytes* f) { (*f)[0] ^= 0x01; },
     "the integrity record before the marker (at offset 0) is damaged: its own check fails"},
    {"record_of_an_unknown_version", [](Bytes* f) { rewrite_record(f, 2); },
     "the integrity record before the marker (at offset 0) is of a size or version this sfx "
     "does not know"},
    {"no_record_and_no_end_mark",
     [](Bytes* f) {
       *f = expected_payload(DATA, BLOCK_INPUT, false);
       f->resize(f->size() - 6);
     },
     "no end mark and no integrity record: the payload may have been cut short"},
};

class SfxIntegrityFault : public testing::TestWithParam<FaultCase> {};

TEST_P(SfxIntegrityFault, VerifyAndExtractExitOneAndExtractLeavesNothing) {
  const FaultCase& c = GetParam();
  Bytes file = expected_payload(DATA, BLOCK_INPUT);
  c.damage(&file);
  ScratchDir dir;
  write_file(dir.file("p"), file);

  const SfxResult verified = run_sfx(dir, {"verify", "p"});
  EXPECT_EQ(verified.status, 1);
  EXPECT_TRUE(contains(verified.err, "sfx: p: " + c.message)) << verified.err;

  const SfxResult extracted = run_sfx(dir, {"extract", "p", "-o", "out"});
  EXPECT_EQ(extracted.status, 1);
  EXPECT_TRUE(contains(extracted.err, "sfx: p: " + c.message)) << extracted.err;
  EXPECT_EQ(dir.names(), std::vector<std::string>{"p"});

  EXPECT_EQ(run_sfx(dir, {"extract", "-", "-o", "-"}, file).status, 1);
}

INSTANTIATE_TEST_SUITE_P(Payloads, SfxIntegrityFault, testing::ValuesIn(FAULT_CASES),
                         [](const testing::TestParamInfo<FaultCase>& tested) {
                           return std::string(tested.param.name);
                         });

// Files made by packers that write no record still extract, as long as their end mark is there.
TEST(SfxIntegrity, APayloadWithoutRecordButWithItsEndMarkExtractsAsBefore) {
  ScratchDir dir;
  write_file(dir.file("p"), expected_payload(DATA, BLOCK_INPUT, false));
  const SfxResult extracted = run_sfx(dir, {"extract", "p", "-o", "out"});
  EXPECT_EQ(extracted.status, 0) << extracted.err;
  EXPECT_EQ(read_file(dir.file("out")), DATA);
  const SfxResult verified = run_sfx(dir, {"verify", "p"});
  EXPECT_EQ(verified.status, 0) << verified.err;
  EXPECT_TRUE(contains(verified.out, "; no integrity record")) << verified.out;
}

TEST(SfxIntegrity, NoRecordWritesTheBareLayout) {
  ScratchDir dir;
  write_file(dir.file("in"), DATA);
  write_file(dir.file("stub"), program_stub(700));
  ASSERT_EQ(run_sfx(dir, {"compress", "--no-record", "in", "-o", "bare", "-b", "20000"}).status, 0);
  EXPECT_EQ(read_file(dir.file("bare")), expected_payload(DATA, BLOCK_INPUT, false));
  ASSERT_EQ(run_sfx(dir, {"pack", "--any-payload", "--no-record", "in", "--stub", "stub", "-o", "packed"}).status, 0);
  EXPECT_EQ(read_file(dir.file("packed")), packed_file(read_file(dir.file("stub")), expected_payload(DATA, 64000, false)));
}

// The record stands before the payload yet needs all of the data: filled in afterwards in a file
// of the tool's own, worked out first for a stream (the input read twice, a pipe copied aside).
struct RouteCase {
  const char* name;
  bool input_on_stdin;
  bool output_on_stdout;
};

void PrintTo(const RouteCase& c, std::ostream* os) { *os << c.name; }

const RouteCase ROUTE_CASES[] = {
    {"file_to_file", false, false},
    {"file_to_stdout", false, true},
    {"pipe_to_file", true, false},
    {"pipe_to_stdout", true, true},
};

class SfxRecordRoute : public testing::TestWithParam<RouteCase> {};

TEST_P(SfxRecordRoute, CompressWritesTheRecordOfTheWholeInput) {
  const RouteCase& c = GetParam();
  ScratchDir dir;
  const Bytes data = test_data::mixed(150000, 92);
  write_file(dir.file("in"), data);
  RunOptions options;
  if (c.input_on_stdin) {
    options.stdin_bytes = data;
    options.stdin_pipe = true;
  }
  const SfxResult result =
      run_sfx_with(dir, {"compress", c.input_on_stdin ? "-" : "in", "-o", c.output_on_stdout ? "-" : "out"}, options);
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(c.output_on_stdout ? bytes_of(result.out) : read_file(dir.file("out")), expected_payload(data));
}

INSTANTIATE_TEST_SUITE_P(Routes, SfxRecordRoute, testing::ValuesIn(ROUTE_CASES),
                         [](const testing::TestParamInfo<RouteCase>& tested) {
                           return std::string(tested.param.name);
                         });

}  // namespace
