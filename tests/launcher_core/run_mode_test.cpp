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

TEST_F(RunMode, QuotedPathWithBlanksIsDeletedAtOnceWithItsFolder) {
  auto& fp = p;
  fp.temp_dir = "/my temp/";
  fp.files["/my temp/SFX7/EXE7.tmp"] = {1, 2, 3};
  fp.folders.push_back("/my temp/SFX7/");
  EXPECT_EQ(launcher_main("\"/my temp/SFX7/EXE7.tmp\"  "), 1);
  EXPECT_EQ(fp.unlinked, std::vector<std::string>{"/my temp/SFX7/EXE7.tmp"});
  EXPECT_EQ(fp.removed_folders, std::vector<std::string>{"/my temp/SFX7/"});
  EXPECT_EQ(fp.clock_ms, 0u);
  // The working directory is the root before the first attempt.
  ASSERT_GE(fp.call_index("chdir_root"), 0);
  EXPECT_EQ(fp.call_index("remove_temp_file"), fp.call_index("chdir_root") + 1);
  EXPECT_EQ(fp.call_index("own_path"), -1) << "delete mode must not unpack";
}

TEST_F(RunMode, UnquotedNameIsUsedWhole) {
  p.files["/tmp/SFX1/EXE1F.tmp"] = {};
  EXPECT_EQ(launcher_main("/tmp/SFX1/EXE1F.tmp"), 1);
  EXPECT_EQ(p.unlinked, std::vector<std::string>{"/tmp/SFX1/EXE1F.tmp"});
}

TEST_F(RunMode, OnlyTheLaunchersOwnFilesAreDeleteRequests) {
  struct Case {
    const char* tail;
    bool deletes;
  };
  // A launcher's own file lies in one of its folders right inside the temporary directory; the
  // same names anywhere else are a user's files, and unpack.
  p.temp_dir = "C:\\Users\\me\\AppData\\Local\\Temp\\";
  const Case cases[] = {
      {"\"C:\\Users\\me\\AppData\\Local\\Temp\\SFX01\\EXE4F2A.tmp\"", true},
      {"c:\\users\\ME\\AppData\\Local\\Temp\\SFX01\\EXEabc.TMP", true},
      {"C:\\Users\\me\\AppData\\Local\\Temp\\SFX01\\EXE4F2A.msi", true},
      {"C:\\Users\\me\\AppData\\Local\\Temp\\SFX01\\EXE4F2A.msp", true},
      {"\"C:\\Users\\Public\\Documents\\SFX0123456789ABCDEF\\EXE1A2B.tmp\"", false},
      {"C:\\Users\\me\\AppData\\Local\\Temp\\EXE4F2A.tmp", false},
      {"C:\\Users\\me\\AppData\\Local\\Temp\\SFX01\\sub\\EXE4F2A.tmp", false},
      {"C:\\Users\\me\\AppData\\Local\\Temp\\SFX01\\EXE4F2A.exe", false},
      {"SFX01\\EXE4F2A.tmp", false},
      {"EXEabc.TMP", false},
      {"\"C:\\Users\\me\\Documents\\report.docx\"", false},
      {"/S", false},
      {"setup.exe", false},
      {"EXE.tmp", false},
      {"EXE12G4.tmp", false},
      {"\"EXE1.tmp\" extra", false},
      {"EXE1.tmp.docx", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(is_delete_request(c.tail), c.deletes) << c.tail;
  }
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
  fp.files["/tmp/SFX1/EXE1.tmp"] = {};
  fp.unlink_failures = GetParam().failures;
  EXPECT_EQ(launcher_main("\"/tmp/SFX1/EXE1.tmp\""), 1);
  EXPECT_EQ(fp.call_count("remove_temp_file /tmp/SFX1/EXE1.tmp"), GetParam().attempts);
  EXPECT_EQ(fp.call_count("sleep 100"), fp.call_count("sleep"));
  EXPECT_EQ(fp.clock_ms, GetParam().waited_ms);
}

INSTANTIATE_TEST_SUITE_P(Failures, DeleteRetry,
                         testing::Values(RetryCase{0, 1, 0}, RetryCase{1, 2, 100},
                                         RetryCase{3, 4, 300}, RetryCase{100, 101, 10000},
                                         RetryCase{-1, 101, 10000}));

TEST_F(RunMode, MissingFileCostsTenSecondsAndStillReturnsOne) {
  EXPECT_EQ(launcher_main("\"/tmp/SFX2/EXE2.tmp\""), 1);
  EXPECT_EQ(p.call_count("remove_temp_file"), 101);
  EXPECT_EQ(p.clock_ms, 10000u);
  EXPECT_TRUE(p.messages.empty()) << "delete mode is silent";
}

class UnpackModeTail : public testing::TestWithParam<const char*> {};

TEST_P(UnpackModeTail, RunsTheUnpackRun) {
  fake::reset();
  auto& fp = fake::platform();
  fp.files["a"] = {};
  fp.files["b"] = {};
  // No own file in the scene: the run fails at once with the message and returns 0; asked to be
  // silent, it shows nothing and returns the launcher's own code.
  const bool silent = silent_switch(GetParam());
  EXPECT_EQ(launcher_main(GetParam()), silent ? LAUNCHER_EXIT_FILE_FAILED : 0);
  EXPECT_GE(fp.call_index("own_path"), 0);
  EXPECT_EQ(fp.call_count("chdir_root"), 0);
  EXPECT_EQ(fp.messages.size(), silent ? 0u : 1u);
  EXPECT_TRUE(fp.unlinked.empty()) << "no temporary file is made for a payload that is not there";
}

INSTANTIATE_TEST_SUITE_P(Tails, UnpackModeTail,
                         testing::Values("", "   \t", "a b", "\"a b\" c", "a\tb", "a", "/S",
                                         "\"/data/report.docx\""));

}  // namespace
