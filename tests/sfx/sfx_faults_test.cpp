// Faults a new user met, by kind: interruptions and ignored signals, output names and modes,
// what waits on the disk, failed writes to stdout, the help text, and the one meaning of -q. (Empty option values are
// usage cases in sfx_errors_test, refused stubs and installers in sfx_pack_test.)
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ostream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "sfx_expected.h"
#include "sfx_runner.h"
#include "test_data.h"

namespace {

// ---- interruptions -----------------------------------------------------------------------------

struct SignalCase {
  const char* name;
  int signal_number;
  bool ignored_at_start;  // as `nohup` leaves SIGHUP
};

void PrintTo(const SignalCase& c, std::ostream* os) { *os << c.name; }

const SignalCase SIGNAL_CASES[] = {
    {"interrupt", SIGINT, false},
    {"terminate", SIGTERM, false},
    {"hang_up", SIGHUP, false},
    {"hang_up_under_nohup", SIGHUP, true},
};

class SfxSignal : public testing::TestWithParam<SignalCase> {};

// A compression reading a pipe is signalled once its temporary file exists: it ends by the
// signal leaving nothing behind, or, where the signal was ignored when it started, carries on.
TEST_P(SfxSignal, EndsLeavingNothingOrCarriesOnWhereIgnored) {
  const SignalCase& c = GetParam();
  ScratchDir dir;
  int feed[2];
  ASSERT_EQ(pipe(feed), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(feed[1]);
    dup2(feed[0], 0);
    if (chdir(dir.path().c_str()) != 0) _exit(127);
    signal(c.signal_number, c.ignored_at_start ? SIG_IGN : SIG_DFL);
    execl(SFX_BINARY, SFX_BINARY, "compress", "-q", "-", "-o", "out", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(feed[0]);
  const Bytes chunk = test_data::text_like(200000, 9);
  ASSERT_EQ(write(feed[1], chunk.data(), chunk.size()), static_cast<ssize_t>(chunk.size()));
  // The run is under way once its temporary file exists; the pipe stays open, so it waits.
  bool started = false;
  for (int i = 0; i < 1000 && !started; ++i) {
    started = !dir.names().empty();
    if (!started) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(started);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  kill(child, c.signal_number);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  close(feed[1]);
  int status = 0;
  waitpid(child, &status, 0);
  if (c.ignored_at_start) {
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(dir.names(), std::vector<std::string>{"out"});
    EXPECT_EQ(read_file(dir.file("out")), expected_payload(chunk));
  } else {
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal_number);
    EXPECT_EQ(dir.names(), std::vector<std::string>{});
  }
}

INSTANTIATE_TEST_SUITE_P(Signals, SfxSignal, testing::ValuesIn(SIGNAL_CASES),
                         [](const testing::TestParamInfo<SignalCase>& tested) {
                           return std::string(tested.param.name);
                         });

// ---- an input that changes while it is read -------------------------------------------------------

// The output is a named pipe, which compress writes in place: once its first bytes have come
// through, the input is open and being read, and its new time lands before the run can end, since
// the payload is far larger than the pipe holds. The refusal says what changed.
TEST(SfxChangingInput, ANewModificationTimeAloneIsNamed) {
  ScratchDir dir;
  write_file(dir.file("in"), test_data::random_bytes(4000000, 10));
  ASSERT_EQ(mkfifo(dir.file("out").c_str(), 0600), 0);
  int messages[2];
  ASSERT_EQ(pipe(messages), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    dup2(messages[1], 2);
    if (chdir(dir.path().c_str()) != 0) _exit(127);
    execl(SFX_BINARY, SFX_BINARY, "compress", "-q", "-T", "1", "in", "-o", "out", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(messages[1]);
  const int out = open(dir.file("out").c_str(), O_RDONLY);
  ASSERT_GE(out, 0);
  char chunk[65536];
  ASSERT_GT(read(out, chunk, 1), 0);
  const timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, dir.file("in").c_str(), times, 0), 0);
  while (read(out, chunk, sizeof chunk) > 0) {
  }
  close(out);
  std::string err;
  for (ssize_t got; (got = read(messages[0], chunk, sizeof chunk)) > 0;) err.append(chunk, static_cast<size_t>(got));
  close(messages[0]);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2);
  EXPECT_EQ(err, "sfx: in: changed while it was read (its modification time changed; its size, 4000000 bytes, "
                 "did not); nothing was written\n");
}

// ---- output names and modes ---------------------------------------------------------------------

// Up to the longest name a folder holds: the temporary file beside it must still fit.
TEST(SfxOutputNames, AnyLengthAFolderHoldsIsWritten) {
  for (size_t length : {243u, 244u, 250u, 255u}) {
    SCOPED_TRACE(length);
    ScratchDir dir;
    write_file(dir.file("in"), bytes_of("some data"));
    const std::string name(length, 'n');
    const SfxResult result = run_sfx(dir, {"compress", "-q", "in", "-o", name});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"in", name}));
  }
}

mode_t mode_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// The packed file is a program, executable as far as the umask lets it be, like a linker's output.
TEST(SfxOutputModes, PackHonoursTheUmask) {
  ScratchDir dir;
  write_file(dir.file("setup"), test_data::text_like(3000, 5));
  write_file(dir.file("stub"), program_stub(500));
  for (const auto& [mask, packed_mode, extracted_mode] : {std::tuple<mode_t, mode_t, mode_t>{022, 0755, 0644},
                                                          {077, 0700, 0600},
                                                          {027, 0750, 0640}}) {
    SCOPED_TRACE(mask);
    const mode_t before = umask(mask);
    const SfxResult packed = run_sfx(dir, {"pack", "--any-payload", "-q", "-f", "setup", "--stub", "stub", "-o", "packed"});
    const SfxResult extracted = run_sfx(dir, {"extract", "-q", "-f", "packed", "-o", "extracted"});
    umask(before);
    ASSERT_EQ(packed.status, 0) << packed.err;
    ASSERT_EQ(extracted.status, 0) << extracted.err;
    EXPECT_EQ(mode_of(dir.file("packed")), packed_mode);
    EXPECT_EQ(mode_of(dir.file("extracted")), extracted_mode);
  }
}

// ---- writing to stdout fails --------------------------------------------------------------------

// ---- the disk ------------------------------------------------------------------------------------

// Outputs wait on the disk only with --sync: every call that does (fsync, fdatasync,
// sync_file_range, syncfs, sync) counted by strace, none by default, and with --sync the file and
// the folder that holds its name (a bundle's files and folders too).
TEST(SfxSync, OnlyWithSync) {
  ScratchDir dir;
  if (!file_exists("/usr/bin/strace")) GTEST_SKIP() << "no strace";
  write_file(dir.file("in"), test_data::mixed(1 << 20, 91));
  write_file(dir.file("stub"), program_stub(1000));
  ASSERT_EQ(run_sfx(dir, {"compress", "-q", "in", "-o", "in.p"}).status, 0);
  ASSERT_EQ(std::system(("mkdir -p '" + dir.file("dist/bin") + "'").c_str()), 0);
  write_file(dir.file("dist/bin/setup.exe"), program_stub(3000));
  write_file(dir.file("dist/data.bin"), test_data::mixed(100000, 92));
  ASSERT_EQ(run_sfx(dir, {"pack", "-q", "dist", "--run", "bin/setup.exe", "--stub", "stub", "-o", "bundle"}).status, 0);
  struct SyncCase {
    std::vector<std::string> args;  // "--sync" is added for the second run
    size_t synced;                  // with --sync, at least: files and folders
  };
  const SyncCase cases[] = {{{"compress", "in", "-o", "out"}, 2},
                            {{"pack", "--any-payload", "in", "--stub", "stub", "-o", "out"}, 2},
                            {{"extract", "in.p", "-o", "out"}, 2},
                            // two files, the folders bin and out, the folder that holds out
                            {{"extract", "bundle", "-o", "out"}, 2 + 2 + 1}};
  for (const SyncCase& c : cases) {
    for (const bool sync : {false, true}) {
      SCOPED_TRACE(c.args.front() + " " + c.args[1] + (sync ? " --sync" : ""));
      std::vector<std::string> args = {"-f", "-qq", "-o", dir.file("trace"), "-e",
                                       "trace=fsync,fdatasync,sync_file_range,syncfs,sync", SFX_BINARY};
      args.insert(args.end(), c.args.begin(), c.args.end());
      args.push_back("-q");
      if (sync) args.push_back("--sync");
      RunOptions options;
      options.program = "/usr/bin/strace";
      const SfxResult traced = run_sfx_with(dir, args, options);
      if (traced.status != 0 && contains(traced.err, "ptrace")) GTEST_SKIP() << traced.err;
      ASSERT_EQ(traced.status, 0) << traced.err;
      const std::string trace(reinterpret_cast<const char*>(read_file(dir.file("trace")).data()),
                              read_file(dir.file("trace")).size());
      const auto calls = static_cast<size_t>(std::count(trace.begin(), trace.end(), '\n'));
      if (sync)
        EXPECT_GE(calls, c.synced) << trace;
      else
        EXPECT_EQ(calls, 0u) << trace;
      ASSERT_EQ(std::system(("rm -rf '" + dir.file("out") + "'").c_str()), 0);
    }
  }
}

TEST(SfxStdout, AFailedWriteIsAnError) {
  ScratchDir dir;
  write_file(dir.file("p"), expected_payload(test_data::text_like(70000, 6)));
  write_file(dir.file("sample"), test_data::text_like(5000, 7));
  RunOptions full;
  full.stdout_path = "/dev/full";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"list", "p"}, {"list", "--json", "p"}, {"verify", "p"},
        {"bench", "--runs", "1", "--min-seconds", "0", "--no-peers", "sample"}, {"extract", "p", "-o", "-"},
        {"--help"}}) {
    SCOPED_TRACE(args.front());
    const SfxResult result = run_sfx_with(dir, args, full);
#ifndef SFX_HAVE_CODEC_BENCH
    if (args.front() == "bench") continue;
#endif
    EXPECT_EQ(result.status, 2);
    EXPECT_TRUE(contains(result.err, "(stdout): No space left on device")) << result.err;
  }
}

// ---- help ------------------------------------------------------------------------------------

// Each option shows its own placeholder; nothing of the parser's types, defaults or validators.
TEST(SfxHelp, ShowsNoParserNoise) {
  ScratchDir dir;
  const std::regex noise(R"(TEXT|REQUIRED|INT|UINT|FLOAT|\{false\}|\{true\}|=[0-9]|in \[|:[A-Z]+)");
  for (const char* command : {"", "compress", "pack", "extract", "list", "verify", "bench"}) {
    SCOPED_TRACE(command);
    std::vector<std::string> args = {"--help"};
    if (*command != '\0') args.insert(args.begin(), command);
    const SfxResult help = run_sfx(dir, args);
    EXPECT_EQ(help.status, 0);
    std::smatch found;
    EXPECT_FALSE(std::regex_search(help.out, found, noise)) << found.str() << " in\n" << help.out;
  }
}

// ---- one meaning of -q ----------------------------------------------------------------------------

TEST(SfxQuiet, LeavesNothingButErrorsInEveryCommand) {
  ScratchDir dir;
  const Bytes data = test_data::text_like(100000, 8);
  write_file(dir.file("in"), data);
  write_file(dir.file("stub"), program_stub(500));
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"compress", "-q", "in", "-o", "p"}, {"pack", "--any-payload", "-q", "in", "--stub", "stub", "-o", "x"},
        {"extract", "-q", "p", "-o", "out"}, {"list", "-q", "p"}, {"verify", "-q", "p", "--original", "in"}}) {
    SCOPED_TRACE(args.front());
    const SfxResult result = run_sfx(dir, args);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
  }
  EXPECT_EQ(run_sfx(dir, {"list", "-q", "in"}).err, "sfx: no payload found in in\n");
  // Asked for the object, a script gets it: -q leaves list --json as it is (list's help says so).
  const SfxResult json = run_sfx(dir, {"list", "-q", "--json", "p"});
  EXPECT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(json.err, "");
  EXPECT_TRUE(nlohmann::json::parse(json.out, nullptr, false).is_object()) << json.out;
  EXPECT_EQ(json.out, run_sfx(dir, {"list", "--json", "p"}).out);
}

}  // namespace
