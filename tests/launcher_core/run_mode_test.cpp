// The choice of run mode and delete mode, over the recording fake (its clock stands in for the
// ten seconds of retries).
#include <gtest/gtest.h>

#include <string>

#include "fake_platform.h"
#include "launcher.h"

namespace {

class RunMode : public testing::Test {
 protected:
  void SetUp() override { fake::reset(); }
  fake::Platform& p = fake::platform();
};

TEST_F(RunMode, QuotedPathWithBlanksIsDeletedAtOnce) {
  auto& fp = p;
  fp.files["/data/my setup.exe"] = {1, 2, 3};
  EXPECT_EQ(launcher_main("\"/data/my setup.exe\"  "), 1);
  EXPECT_EQ(fp.unlinked, std::vector<std::string>{"/data/my setup.exe"});
  EXPECT_EQ(fp.clock_ms, 0u);
  // The working directory is the root before the first attempt.
  ASSERT_EQ(fp.call_index("chdir_root"), 0);
  EXPECT_EQ(fp.call_index("unlink"), 1);
  EXPECT_EQ(fp.call_index("own_path"), -1) << "delete mode must not unpack";
}

TEST_F(RunMode, UnquotedNameIsUsedWhole) {
  p.files["/tmp/x"] = {};
  EXPECT_EQ(launcher_main("/tmp/x"), 1);
  EXPECT_EQ(p.unlinked, std::vector<std::string>{"/tmp/x"});
}

struct RetryCase {
  int failures;           // attempts that fail before one succeeds; -1 for all
  int attempts;           // unlink calls expected
  uint64_t waited_ms;     // fake clock at the end
};

class DeleteRetry : public testing::TestWithParam<RetryCase> {};

TEST_P(DeleteRetry, RetriesEveryTenthOfASecondForTenSeconds) {
  fake::reset();
  auto& fp = fake::platform();
  fp.files["/f"] = {};
  fp.unlink_failures = GetParam().failures;
  EXPECT_EQ(launcher_main("\"/f\""), 1);
  EXPECT_EQ(fp.call_count("unlink /f"), GetParam().attempts);
  EXPECT_EQ(fp.call_count("sleep 100"), fp.call_count("sleep"));
  EXPECT_EQ(fp.clock_ms, GetParam().waited_ms);
}

INSTANTIATE_TEST_SUITE_P(Failures, DeleteRetry,
                         testing::Values(RetryCase{0, 1, 0}, RetryCase{1, 2, 100},
                                         RetryCase{3, 4, 300}, RetryCase{100, 101, 10000},
                                         RetryCase{-1, 101, 10000}));

TEST_F(RunMode, MissingFileCostsTenSecondsAndStillReturnsOne) {
  EXPECT_EQ(launcher_main("\"/no/such/file\""), 1);
  EXPECT_EQ(p.call_count("unlink"), 101);
  EXPECT_EQ(p.clock_ms, 10000u);
  EXPECT_TRUE(p.messages.empty()) << "delete mode is silent";
}

TEST_F(RunMode, NameTooLongForItsBufferDeletesNothing) {
  const std::string name(300, 'a');
  p.files[name] = {};
  EXPECT_EQ(launcher_main(("\"" + name + "\"").c_str()), 1);
  EXPECT_EQ(p.call_count("unlink"), 0);
  EXPECT_EQ(p.files.count(name), 1u);
  EXPECT_EQ(p.clock_ms, 10000u);
}

class UnpackModeTail : public testing::TestWithParam<const char*> {};

TEST_P(UnpackModeTail, RunsTheUnpackRun) {
  fake::reset();
  auto& fp = fake::platform();
  fp.files["a"] = {};
  fp.files["b"] = {};
  // No own file in the scene: the run fails at once with the message and returns 0.
  EXPECT_EQ(launcher_main(GetParam()), 0);
  EXPECT_EQ(fp.call_index("own_path"), 0);
  EXPECT_EQ(fp.call_count("chdir_root"), 0);
  EXPECT_EQ(fp.messages.size(), 1u);
  EXPECT_TRUE(fp.unlinked.size() == 1 && fp.unlinked[0].rfind("/tmp/EXE", 0) == 0)
      << "only the run's own temporary file is deleted";
}

INSTANTIATE_TEST_SUITE_P(Tails, UnpackModeTail,
                         testing::Values("", "   \t", "a b", "\"a b\" c", "a\tb"));

}  // namespace
