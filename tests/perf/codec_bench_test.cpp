// The benchmark's behaviour: one table with every codec for each file and for all of them,
// round trips checked, and errors that name the file. Its figures are not tested.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

#include "codec.h"
#include "codec_bench.h"
#include "test_data.h"

namespace {

// Runs the benchmark with the quickest timing and returns its exit code, table and messages.
struct BenchRun {
  int code;
  std::string out;
  std::string err;
};

std::string read_all(std::FILE* f) {
  std::string s;
  std::rewind(f);
  char buf[4096];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, got);
  std::fclose(f);
  return s;
}

BenchRun bench(const std::vector<std::string>& files, BenchOptions options) {
  options.min_seconds = 0;
  options.runs = 1;
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  const int code = run_codec_benchmark(files, options, out, err);
  return {code, read_all(out), read_all(err)};
}

// Two small files in a fresh directory, removed at the end.
class BenchFiles : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/codec_bench_test_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    write("words.txt", test_data::text_like(150000, 1));
    write("noise.bin", test_data::random_bytes(70000, 2));
  }
  void TearDown() override {
    for (const auto& f : files_) std::remove(f.c_str());
    rmdir(dir_.c_str());
  }
  void write(const std::string& name, const std::vector<uint8_t>& bytes) {
    files_.push_back(dir_ + "/" + name);
    std::ofstream(files_.back(), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  std::string dir_;
  std::vector<std::string> files_;
};

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST_F(BenchFiles, OneRowPerCodecForEachFileAndForAll) {
  const BenchRun r = bench(files_, BenchOptions{});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  for (const char* codec : {"lzrw3a (this)", "zlib -1", "zlib -6", "lz4", "zstd -1", "lzo1x-1",
                            "memcpy"}) {
    SCOPED_TRACE(codec);
    EXPECT_EQ(count(r.out, std::string(" | ") + codec + " | "), 3u);  // two files and all
  }
  EXPECT_EQ(count(r.out, "| words.txt | 150,000 |"), 7u);
  EXPECT_EQ(count(r.out, "| all files | 220,000 |"), 7u);
  // The summary on all files gives figures and ratios, not the project's own goals.
  EXPECT_NE(r.out.find("decodes at"), std::string::npos);
  EXPECT_EQ(r.out.find("target"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("stretch"), std::string::npos) << r.out;
}

TEST_F(BenchFiles, WithoutPeersOrPerFileRows) {
  BenchOptions options;
  options.peers = false;
  options.per_file = false;
  const BenchRun r = bench(files_, options);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(count(r.out, "| all files | 220,000 | lzrw3a (this) |"), 1u);
  for (const char* peer : {"| zlib -1 |", "| zlib -6 |", "| lz4 |", "| memcpy |"}) {
    EXPECT_EQ(count(r.out, peer), 0u) << peer;
  }
  EXPECT_EQ(r.out.find("words.txt"), std::string::npos);
}

TEST_F(BenchFiles, AnUnreadableFileIsNamedAndNothingIsMeasured) {
  std::vector<std::string> files = files_;
  files.push_back(dir_ + "/missing.bin");
  const BenchRun r = bench(files, BenchOptions{});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find(dir_ + "/missing.bin"), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");
}

TEST(Bench, BlockSizesOutsideOneBlockAreRefused) {
  for (uint32_t block : {0u, MAX_BLOCK_INPUT + 1}) {
    BenchOptions options;
    options.block_bytes = block;
    const BenchRun r = bench({}, options);
    EXPECT_EQ(r.code, 3) << block;
    EXPECT_NE(r.err.find("65020"), std::string::npos) << r.err;
  }
}

TEST(Bench, BlocksOfEverySizeRoundTrip) {
  // Blocks that do not divide the data, down to 1 byte: every codec's round trip is checked.
  char path[] = "/tmp/codec_bench_test_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const std::vector<uint8_t> bytes = test_data::mixed(5000, 4);
  ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(fd);
  for (uint32_t block : {1u, 17u, 4999u, 65020u}) {
    BenchOptions options;
    options.block_bytes = block;
    const BenchRun r = bench({path}, options);
    EXPECT_EQ(r.code, 0) << block << ": " << r.err;
  }
  std::remove(path);
}

}  // namespace
