// Blocks coded and re-encoded on several threads: the same bytes and the same verdicts for every
// number of threads, memory bounded whatever the input's size.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <utility>

#include "sfx_expected.h"
#include "sfx_runner.h"
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

}  // namespace
