// Round trips at many sizes and kinds of data, held byte for byte to the reference codec, and
// re-encode stability.
#include <gtest/gtest.h>

#include <functional>

#include "codec_test_util.h"
#include "reference_codec.h"
#include "test_data.h"

namespace {

struct Generator {
  const char* name;
  std::function<Bytes(size_t, uint32_t)> make;
};

const std::vector<Generator>& generators() {
  static const std::vector<Generator> g = {
      {"random", test_data::random_bytes},
      {"repetitive", test_data::repetitive},
      {"text", test_data::text_like},
      {"mixed", test_data::mixed},
      {"zeros", [](size_t n, uint32_t) { return Bytes(n, 0); }},
      {"seed-heavy", [](size_t n, uint32_t seed) {
         // Stretches of the seed text between random bytes: copies from unwritten slots.
         Bytes out = test_data::random_bytes(n, seed);
         for (size_t i = 0; i + 30 < n; i += 47) std::copy(SEED_TEXT, SEED_TEXT + 8 + i % 11, out.begin() + static_cast<long>(i));
         return out;
       }},
  };
  return g;
}

// Sizes around the edges where the encoder's steps change: the last 18 bytes are never searched,
// groups of 16 items run while 288 bytes remain, and the give-up can come at any pass.
std::vector<size_t> sizes() {
  std::vector<size_t> s;
  for (size_t n = 0; n <= 40; ++n) s.push_back(n);
  for (size_t base : {288u, 289u + 18u, 576u, 1024u, 4096u}) {
    for (size_t d = 0; d <= 6; ++d) {
      s.push_back(base + d);
      if (base > d) s.push_back(base - d);
    }
  }
  for (size_t n : {10000u, 64000u, 65019u, 65020u}) s.push_back(n);
  return s;
}

void check_round_trip(const Bytes& data) {
  const Bytes block = encode(data);
  ASSERT_FALSE(block.empty());
  ASSERT_LE(block.size(), data.size() + BLOCK_HEADER_BYTES);
  if (block[0] == BLOCK_FLAG_ENCODED) {
    ASSERT_LE(block.size(), data.size());
  }
  ASSERT_EQ(block, reference::encode(data)) << "differs from the reference encoder";

  // Decode into a buffer of exactly the decoded size, ending at an unreadable page.
  const Decoded d = decode(block, static_cast<uint32_t>(data.size()));
  ASSERT_EQ(d.status, CODEC_OK);
  ASSERT_EQ(d.bytes, data);
  ASSERT_EQ(encode(d.bytes), block) << "re-encoding the decoded data changed the block";
}

TEST(RoundTrip, EveryGeneratorAtEverySize) {
  for (const auto& g : generators()) {
    for (size_t n : sizes()) {
      for (uint32_t seed = 1; seed <= (n < 600 ? 3u : 1u); ++seed) {
        SCOPED_TRACE(std::string(g.name) + " n=" + std::to_string(n) + " seed=" + std::to_string(seed));
        check_round_trip(g.make(n, seed));
        if (HasFatalFailure()) return;
      }
    }
  }
}

TEST(RoundTrip, GiveUpBoundary) {
  // Text followed by a growing random tail: somewhere the coded form stops paying. Every size
  // on the way must round-trip and both sides of the switch must agree with the reference.
  const Bytes head = test_data::text_like(200, 9);
  const Bytes tail = test_data::random_bytes(1500, 9);
  bool saw_coded = false, saw_stored = false;
  for (size_t k = 0; k <= tail.size(); k += 5) {
    Bytes data = concat(head, Bytes(tail.begin(), tail.begin() + static_cast<long>(k)));
    SCOPED_TRACE("tail=" + std::to_string(k));
    check_round_trip(data);
    if (HasFatalFailure()) return;
    const Bytes block = encode(data);
    ASSERT_FALSE(block.empty());
    (block[0] == BLOCK_FLAG_STORED ? saw_stored : saw_coded) = true;
  }
  EXPECT_TRUE(saw_coded);
  EXPECT_TRUE(saw_stored);
}

TEST(RoundTrip, CorpusFilesInBlocks) {
  const auto files = test_data::corpus_files();
  if (files.empty()) GTEST_SKIP() << "no corpus (SFX_CORPUS_DIR)";
  for (const auto& f : files) {
    for (size_t block : {64000u, 65020u, 4000u, 289u}) {
      SCOPED_TRACE(f.name + " block=" + std::to_string(block));
      const size_t limit = block < 4000 ? 50000 : f.bytes.size();  // small blocks: a prefix
      for (size_t at = 0; at < std::min(limit, f.bytes.size()); at += block) {
        const size_t n = std::min(block, f.bytes.size() - at);
        check_round_trip(Bytes(f.bytes.begin() + static_cast<long>(at),
                               f.bytes.begin() + static_cast<long>(at + n)));
        if (HasFatalFailure()) return;
      }
    }
  }
}

}  // namespace
