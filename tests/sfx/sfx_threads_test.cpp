// Blocks coded, decoded and re-encoded on several threads: the same bytes and the same verdicts
// for every number of threads, memory bounded whatever the input's size.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <utility>

#include "integrity.h"
#include "payload_builder.h"
#include "sfx_expected.h"
#include "sfx_runner.h"
#include "tar_builder.h"
#include "test_data.h"

namespace {

const char* const THREAD_COUNTS[] = {"1", "2", "3", "8", "0"};

TEST(SfxThreads, CompressAndPackWriteTheSameBytesForEveryCount) {
  ScratchDir dir;
  // Not a whole number of blocks, so the last block is short.
  const Bytes data = test_data::mixed(64000 * 13 + 777, 51);
  const Bytes expected = expected_payload(data);
  write_file(dir.file("in"), data);
  write_file(dir.file("stub"), program_stub(900));
  for (const char* threads : THREAD_COUNTS) {
    SCOPED_TRACE(threads);
    ASSERT_EQ(run_sfx(dir, {"compress", "-q", "-f", "-T", threads, "in", "-o", "c"}).status, 0);
    EXPECT_EQ(read_file(dir.file("c")), expected);
    ASSERT_EQ(run_sfx(dir, {"pack", "--any-payload", "-q", "-f", "--threads", threads, "in", "--stub", "stub", "-o", "p"}).status, 0);
    EXPECT_EQ(read_file(dir.file("p")), packed_file(read_file(dir.file("stub")), expected));
    RunOptions piped;
    piped.stdin_bytes = data;
    piped.stdin_pipe = true;
    const SfxResult streamed = run_sfx_with(dir, {"compress", "-T", threads, "-", "-o", "-"}, piped);
    EXPECT_EQ(bytes_of(streamed.out), expected);
    // Without a record, the first CRCs verify takes are the workers'.
    ASSERT_EQ(run_sfx(dir, {"compress", "-q", "-f", "--no-record", "in", "-o", "bare"}).status, 0);
    EXPECT_EQ(run_sfx(dir, {"verify", "-q", "-T", threads, "bare"}).status, 0);
  }
}

// The first fault in the file is the one named, however the threads finish.
TEST(SfxThreads, VerifyNamesTheFirstFaultForEveryCount) {
  ScratchDir dir;
  const Bytes data = test_data::text_like(64000 * 9, 52);
  Bytes payload = expected_payload(data);
  // Block 3's reserved header byte set: it decodes the same, but does not re-encode to itself.
  const size_t at = block_offset(payload, 3);
  payload[at + 2 + 2] = 0x5A;
  // A later block cut short too: the reader's fault comes after block 3's.
  payload.resize(payload.size() - 100);
  write_file(dir.file("p"), payload);
  const std::string expected = "sfx: p: block 3 at offset " + std::to_string(at) + ": re-encoding";
  for (const char* threads : THREAD_COUNTS) {
    SCOPED_TRACE(threads);
    const SfxResult verified = run_sfx(dir, {"verify", "-T", threads, "p"});
    EXPECT_EQ(verified.status, 1);
    EXPECT_TRUE(contains(verified.err, expected)) << verified.err;
  }
}

// A window of blocks is in flight, not the input: ten times the input, about the same memory.
// The inputs are written a megabyte at a time, before either run: a child's peak counts the
// test process it was forked from until it starts sfx.
TEST(SfxThreads, MemoryDoesNotGrowWithTheInput) {
  ScratchDir dir;
  for (const auto& [name, megabytes] : {std::pair<const char*, uint32_t>{"small", 4}, {"large", 40}}) {
    std::ofstream out(dir.file(name), std::ios::binary);
    for (uint32_t i = 0; i < megabytes; ++i) {
      const Bytes chunk = test_data::repetitive(1 << 20, 53 + i);
      out.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
    }
  }
  long peak[2] = {0, 0};
  int i = 0;
  for (const char* name : {"small", "large"}) {
    const SfxResult result = run_sfx(dir, {"compress", "-q", "-T", "4", name, "-o", std::string(name) + ".sfx"});
    ASSERT_EQ(result.status, 0) << result.err;
    peak[i++] = result.max_rss_kb;
  }
  EXPECT_LT(peak[1] - peak[0], 8 * 1024) << peak[0] << " kB, then " << peak[1] << " kB";
}

// ---- decoding: extract and verify -----------------------------------------------------------

const char* const DECODE_COUNTS[] = {"1", "2", "3", "8"};

struct DecodeCase {
  const char* name;
  Bytes data;
  const char* block_size;  // compress's -b
};

// Stored blocks (random data), coded ones (text), tiny ones (7 bytes each) and the largest
// (65,020 bytes), each with a short last block.
const DecodeCase DECODE_CASES[] = {
    {"stored", test_data::random_bytes(64000 * 5 + 10, 61), "64000"},
    {"coded", test_data::text_like(64000 * 7 + 123, 62), "64000"},
    {"tiny", test_data::mixed(5000, 63), "7"},
    {"largest", test_data::mixed(65020 * 6 + 5, 64), "65020"},
};

TEST(SfxThreads, ExtractAndVerifyGiveTheSameForEveryCount) {
  ScratchDir dir;
  for (const DecodeCase& c : DECODE_CASES) {
    write_file(dir.file("in"), c.data);
    ASSERT_EQ(run_sfx(dir, {"compress", "-q", "-f", "-b", c.block_size, "in", "-o", "p"}).status, 0);
    for (const char* threads : DECODE_COUNTS) {
      SCOPED_TRACE(std::string(c.name) + " -T " + threads);
      const SfxResult extracted = run_sfx(dir, {"extract", "-f", "-T", threads, "p", "-o", "out"});
      ASSERT_EQ(extracted.status, 0) << extracted.err;
      EXPECT_EQ(read_file(dir.file("out")), c.data);
      RunOptions piped;
      piped.stdin_bytes = read_file(dir.file("p"));
      piped.stdin_pipe = true;
      const SfxResult streamed = run_sfx_with(dir, {"extract", "--threads", threads, "-", "-o", "-"}, piped);
      EXPECT_EQ(streamed.status, 0) << streamed.err;
      EXPECT_EQ(bytes_of(streamed.out), c.data);
      const SfxResult verified = run_sfx(dir, {"verify", "-T", threads, "p", "--original", "in"});
      EXPECT_EQ(verified.status, 0) << verified.err;
    }
  }
}

// The damage a worker finds (a coded block whose items would decode past a block's room) and the
// damage the reader finds (a block's length past the largest), in the first, a middle and the
// last block: the reader's own message for that block, for every count, and no output.
struct Damage {
  const char* name;
  void (*apply)(Bytes* payload, size_t at);  // at: the block's 2-byte length
  const char* fault;
};

const Damage DAMAGES[] = {
    {"decodes_too_far",
     [](Bytes* p, size_t at) {
       const size_t length = block_length(*p, at);
       for (size_t i = at + 2 + 4; i < at + 2 + length; ++i) (*p)[i] = 0xFF;  // copies, all 18 bytes long
     },
     "the block decodes to more than a block may hold"},
    {"length_too_long", [](Bytes* p, size_t at) { (*p)[at] = 0xFF, (*p)[at + 1] = 0x00; },
     "the block's length is larger than a block may be"},
};

TEST(SfxThreads, ADamagedBlockFailsAlikeForEveryCountAndLeavesNothing) {
  ScratchDir dir;
  const Bytes data = test_data::text_like(64000 * 9 + 60000, 65);  // the last block long too
  const Bytes sound = expected_payload(data);
  for (const Damage& damage : DAMAGES) {
    for (const int number : {0, 4, 9}) {
      Bytes payload = sound;
      const size_t at = block_offset(payload, number);
      const size_t length = block_length(payload, at);
      damage.apply(&payload, at);
      write_file(dir.file("p"), payload);
      std::string expected = "sfx: p: block " + std::to_string(number) + " at offset " + std::to_string(at) + ": " +
                             damage.fault + " (length " + std::to_string(damage.apply == DAMAGES[0].apply ? length : 0xFF00) + ")\n";
      // list walks the payload with the reader alone, one block at a time: the same words.
      EXPECT_TRUE(contains(run_sfx(dir, {"list", "-q", "p"}).err, expected));
      const std::vector<std::string> before = dir.names();
      for (const char* threads : DECODE_COUNTS) {
        SCOPED_TRACE(std::string(damage.name) + " in block " + std::to_string(number) + " -T " + threads);
        const SfxResult extracted = run_sfx(dir, {"extract", "-T", threads, "p", "-o", "out"});
        EXPECT_EQ(extracted.status, 1);
        EXPECT_EQ(extracted.err, expected);
        EXPECT_EQ(dir.names(), before);
        const SfxResult verified = run_sfx(dir, {"verify", "-T", threads, "p"});
        EXPECT_EQ(verified.status, 1);
        EXPECT_EQ(verified.err, expected);
      }
    }
  }
}

// A bundle's blocks decoded on the threads and fed to its reader in order: the same folder for
// every count, and none at all when a block is damaged.
TEST(SfxThreads, ABundleIsTheSameFolderForEveryCount) {
  namespace tb = tar_builder;
  ScratchDir dir;
  const Bytes setup = test_data::text_like(150000, 66);
  const Bytes data = test_data::random_bytes(200000, 67);
  const Bytes tar = tb::join({tb::folder("app"), tb::file("app/setup.sh", setup, 0755), tb::folder("app/data"),
                              tb::file("app/data/blob.bin", data), tb::end()});
  const Bytes sound = payload_builder::checked_payload(tar, 64000, true, INTEGRITY_FLAG_BUNDLE | INTEGRITY_FLAG_WAIT, 1);
  Bytes damaged = sound;
  const size_t at = block_offset(damaged, 1);  // coded: the setup text
  DAMAGES[0].apply(&damaged, at);
  write_file(dir.file("sound"), sound);
  write_file(dir.file("damaged"), damaged);
  for (const char* threads : DECODE_COUNTS) {
    SCOPED_TRACE(threads);
    const std::string out = std::string("out-") + threads;
    const SfxResult extracted = run_sfx(dir, {"extract", "-T", threads, "sound", "-o", out});
    ASSERT_EQ(extracted.status, 0) << extracted.err;
    EXPECT_EQ(read_file(dir.file(out + "/app/setup.sh")), setup);
    EXPECT_EQ(read_file(dir.file(out + "/app/data/blob.bin")), data);
    const std::vector<std::string> before = dir.names();
    const SfxResult refused = run_sfx(dir, {"extract", "-T", threads, "damaged", "-o", "nothing"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(contains(refused.err, "sfx: damaged: block 1 at offset " + std::to_string(at) + ": ")) << refused.err;
    EXPECT_EQ(dir.names(), before);
    EXPECT_EQ(run_sfx(dir, {"verify", "-q", "-T", threads, "sound"}).status, 0);
  }
}

}  // namespace
