// sfx bench: runs the codec benchmark when the build has it, and says so when it does not.
#include <gtest/gtest.h>

#include <string>

#include "sfx_expected.h"
#include "sfx_runner.h"
#include "test_data.h"

namespace {

TEST(SfxBench, MeasuresTheNamedFiles) {
  ScratchDir dir;
  write_file(dir.file("sample.txt"), test_data::text_like(20000, 41));
  const SfxResult result =
      run_sfx(dir, {"bench", "--runs", "1", "--min-seconds", "0", "--no-peers", "sample.txt"});
#ifdef SFX_HAVE_CODEC_BENCH
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.out, "sample.txt")) << result.out;
#else
  EXPECT_EQ(result.status, 2);
  EXPECT_TRUE(contains(result.err, "not available")) << result.err;
#endif
}

TEST(SfxBench, AFileThatCannotBeReadIsAnError) {
  ScratchDir dir;
  const SfxResult result = run_sfx(dir, {"bench", "--runs", "1", "missing.bin"});
  EXPECT_EQ(result.status, 2);
#ifdef SFX_HAVE_CODEC_BENCH
  EXPECT_EQ(result.err, "sfx: missing.bin: No such file or directory\n");
#endif
}

TEST(SfxBench, AnEmptyCorpusFolderIsAnError) {
  ScratchDir dir;
  const SfxResult result = run_sfx(dir, {"bench", "--runs", "1"}, {}, SFX_BINARY,
                                   {"SFX_CORPUS_DIR=" + dir.path()});
  EXPECT_EQ(result.status, 2);
#ifdef SFX_HAVE_CODEC_BENCH
  EXPECT_TRUE(contains(result.err, "holds no files")) << result.err;
#endif
}

}  // namespace
