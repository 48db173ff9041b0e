// The block-at-a-time copy against the byte-at-a-time one it replaced: the same writes, and the
// bar worked out at the same 500-byte points from the same numbers, drawn only when it moves.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_platform.h"
#include "launcher.h"
#include "run_payload.h"
#include "unpack_run.h"

namespace {

using payload_builder::Bytes;
namespace pb = run_payload;

struct Layout {
  const char* name;
  std::vector<uint32_t> blocks;  // decoded bytes of each block
  bool coded;                    // coded blocks (their lengths vary); stored otherwise
};

// The writes and fills of the byte-at-a-time copy: for every byte, the count goes up; at every
// multiple of 500 the bar's width is worked out from what has been read (the whole current
// block); then the byte goes into the buffer, which is written out when full and a further byte
// comes. Fills that would not move the bar's edge are left out.
std::vector<std::string> byte_at_a_time(const std::vector<uint32_t>& decoded,
                                        const std::vector<int64_t>& consumed_after, int64_t payload_size) {
  std::vector<std::string> events;
  uint64_t count = 0;
  uint32_t buffered = 0;
  int32_t drawn = BAR_LEFT;
  for (size_t b = 0; b < decoded.size(); ++b) {
    for (uint32_t i = 0; i < decoded[b]; ++i) {
      if (++count % 500 == 0) {
        const int32_t right = bar_right(consumed_after[b], payload_size);
        if (right != drawn) events.push_back("fill " + std::to_string(right));
        drawn = right;
      }
      if (buffered == 4096) {
        events.push_back("write 4096");
        buffered = 0;
      }
      ++buffered;
    }
  }
  if (buffered > 0) events.push_back("write " + std::to_string(buffered));
  return events;
}

class CopyPacing : public testing::TestWithParam<Layout> {};

TEST_P(CopyPacing, WritesAndDrawsAsTheByteAtATimeCopy) {
  fake::reset();
  auto& p = fake::platform();
  const Bytes image = pb::text("MZ launcher image");
  Bytes file = image;
  pb::append(file, payload_builder::marker());
  const int64_t start = static_cast<int64_t>(file.size());
  std::vector<int64_t> consumed_after;
  Bytes data;
  uint32_t seed = 1;
  for (uint32_t n : GetParam().blocks) {
    const Bytes part = pb::sample_data(n, seed++);
    pb::append(data, part);
    pb::append_block(file, GetParam().coded ? payload_builder::encoded_block(part) : pb::stored_block(part));
    consumed_after.push_back(static_cast<int64_t>(file.size()) - start);
  }
  pb::append_end_mark(file);
  p.files[p.own_path] = file;

  ASSERT_EQ(run_unpack(""), 1);
  EXPECT_TRUE(p.files.at(p.temp_files.at(0)) == data);
  // The writes and fills merged in the order of the call log.
  std::vector<std::string> got;
  size_t fill = 0;
  for (const std::string& call : p.calls) {
    if (call.rfind("write ", 0) == 0) got.push_back("write " + call.substr(call.rfind(' ') + 1));
    if (call.rfind("progress_fill ", 0) == 0) got.push_back("fill " + std::to_string(p.fills[fill++].right));
  }
  EXPECT_EQ(got, byte_at_a_time(GetParam().blocks, consumed_after,
                                static_cast<int64_t>(file.size()) - start));
  EXPECT_LE(p.fills.size(), static_cast<size_t>(BAR_WIDTH));
}

std::vector<uint32_t> repeated(uint32_t n, size_t times) { return std::vector<uint32_t>(times, n); }

INSTANTIATE_TEST_SUITE_P(
    Layouts, CopyPacing,
    testing::Values(
        Layout{"one_byte", {1}, false}, Layout{"b499", {499}, false}, Layout{"b500", {500}, false},
        Layout{"b501", {501}, false}, Layout{"b4095_1", {4095, 1}, false},
        Layout{"b4096", {4096}, false}, Layout{"b4097", {4097}, false},
        Layout{"point_on_a_block_edge", {250, 250, 250, 250, 1}, false},
        Layout{"point_at_a_block_start", {499, 1, 500, 500}, false},
        Layout{"flush_and_point_together", {4000, 500, 8000, 3500}, false},
        Layout{"small_blocks", repeated(7, 3000), false},
        Layout{"tiny_blocks_many_points", repeated(499, 400), false},
        Layout{"full_blocks", {64000, 65020, 64000, 3}, true},
        Layout{"coded_mixed", {12345, 500, 4096, 64000, 1000, 777}, true}),
    [](const testing::TestParamInfo<Layout>& param) { return std::string(param.param.name); });

TEST(CopyPacing, ABigPayloadDrawsOncePerUnitAtMost) {
  // 5,000 blocks of 100 bytes: 1,000 pace points, and the bar moves across its whole width.
  fake::reset();
  auto& p = fake::platform();
  Bytes file = payload_builder::marker();
  for (uint32_t i = 0; i < 5000; ++i) pb::append_block(file, pb::stored_block(pb::sample_data(100, i)));
  pb::append_end_mark(file);
  p.files[p.own_path] = file;
  ASSERT_EQ(run_unpack(""), 1);
  EXPECT_LE(p.fills.size(), 147u);
  EXPECT_GE(p.fills.size(), 140u);
  for (size_t i = 1; i < p.fills.size(); ++i) EXPECT_GT(p.fills[i].right, p.fills[i - 1].right);
  // The end mark's 6 bytes are still unread at the last pace point.
  EXPECT_EQ(p.fills.back().right, BAR_LEFT + BAR_WIDTH - 1);
  EXPECT_GE(p.polls, 5000) << "the window is given its messages between blocks";
}

}  // namespace
