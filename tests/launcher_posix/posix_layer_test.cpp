// The POSIX platform layer on its own: the rebuilt command line, paths, the temporary file, the
// start, and what reaches stderr.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "launcher.h"
#include "platform.h"
#include "posix_layer.h"

namespace fs = std::filesystem;

extern char** environ;

namespace {

struct LineCase {
  std::vector<const char*> args;
  const char* line;
};

class CommandLine : public testing::TestWithParam<LineCase> {};

TEST_P(CommandLine, QuotesWhatWindowsWouldSeeQuoted) {
  const auto& args = GetParam().args;
  const int argc = static_cast<int>(args.size());
  std::string line(windows_command_line_bytes(argc, args.data()), '\0');
  ASSERT_TRUE(windows_command_line(argc, args.data(), &line[0], line.size()));
  EXPECT_STREQ(line.c_str(), GetParam().line);
  // One byte short of what it needs, it does not fit.
  std::string tight(std::strlen(GetParam().line), '\0');
  EXPECT_FALSE(windows_command_line(argc, args.data(), &tight[0], tight.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Args, CommandLine,
    testing::Values(LineCase{{"launcher"}, "launcher"},
                    LineCase{{"launcher", "/tmp/x"}, "launcher /tmp/x"},
                    LineCase{{"launcher", "/tmp/a b"}, "launcher \"/tmp/a b\""},
                    LineCase{{"launcher", ""}, "launcher \"\""},
                    LineCase{{"launcher", "a\tb", "c"}, "launcher \"a\tb\" c"},
                    LineCase{{"launcher", "say\"so"}, "launcher \"say\"so\""},
                    LineCase{{"/opt/my app/launcher", "x"}, "\"/opt/my app/launcher\" x"}));

struct ModeCase {
  std::vector<const char*> args;
  int tokens;
  const char* name;  // the name delete mode would use, when one token
};

class TailOfRebuiltLine : public testing::TestWithParam<ModeCase> {};

TEST_P(TailOfRebuiltLine, GivesTheRunModeOfTheArguments) {
  const auto& args = GetParam().args;
  const int argc = static_cast<int>(args.size());
  std::string line(windows_command_line_bytes(argc, args.data()), '\0');
  ASSERT_TRUE(windows_command_line(argc, args.data(), &line[0], line.size()));
  const char* tail = command_tail(line.c_str());
  EXPECT_EQ(count_tail_tokens(tail), GetParam().tokens);
  if (GetParam().tokens == 1) {
    char name[256];
    ASSERT_TRUE(delete_file_name(tail, name, sizeof name));
    EXPECT_STREQ(name, GetParam().name);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Args, TailOfRebuiltLine,
    testing::Values(ModeCase{{"launcher"}, 0, ""}, ModeCase{{"/a b/launcher"}, 0, ""},
                    ModeCase{{"launcher", "/tmp/x"}, 1, "/tmp/x"},
                    ModeCase{{"/a b/launcher", "/tmp/a b"}, 1, "/tmp/a b"},
                    ModeCase{{"launcher", "a", "b"}, 2, ""}));

// Sets an environment variable for one test and puts back what was there.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = ::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value != nullptr) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (had_) {
      ::setenv(name_.c_str(), old_.c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_, old_;
  bool had_ = false;
};

class PosixLayer : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "launcher-posix-XXXXXX").string();
    ASSERT_NE(::mkdtemp(&pattern[0]), nullptr);
    dir = pattern;
  }
  void TearDown() override {
    ::umount2((dir / "noexec").c_str(), MNT_DETACH);  // where a test mounted one
    fs::remove_all(dir);
  }
  fs::path dir;
};

struct TempDirCase {
  const char* tmpdir;  // nullptr: unset
  const char* expected;
};

class TempDir : public testing::TestWithParam<TempDirCase> {};

TEST_P(TempDir, ComesFromTmpdirElseTmp) {
  ScopedEnv env("TMPDIR", GetParam().tmpdir);
  char dir[256];
  ASSERT_TRUE(platform_temp_dir(dir, sizeof dir));
  EXPECT_STREQ(dir, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Env, TempDir,
                         testing::Values(TempDirCase{nullptr, "/tmp/"}, TempDirCase{"", "/tmp/"},
                                         TempDirCase{"/var/t", "/var/t/"},
                                         TempDirCase{"/var/t/", "/var/t/"}));

TEST(TempDirLength, TooLongForItsBufferFails) {
  const std::string long_dir = "/" + std::string(254, 'd');
  ScopedEnv env("TMPDIR", long_dir.c_str());
  char dir[256];
  EXPECT_FALSE(platform_temp_dir(dir, sizeof dir));  // 256 with the separator, 257 with the zero
  const std::string fits = "/" + std::string(253, 'd');
  ScopedEnv env2("TMPDIR", fits.c_str());
  EXPECT_TRUE(platform_temp_dir(dir, sizeof dir));
}

TEST_F(PosixLayer, TemporaryFileLiesInAFolderOfItsOwn) {
  const std::string prefix = dir.string() + "/";
  char first[256], second[256];
  const int fd1 = platform_create_temp_file(prefix.c_str(), TEMP_PROGRAM, first, sizeof first);
  const int fd2 = platform_create_temp_file(prefix.c_str(), TEMP_PROGRAM, second, sizeof second);
  ASSERT_NE(fd1, PLATFORM_NO_FILE);
  ASSERT_NE(fd2, PLATFORM_NO_FILE);
  EXPECT_EQ(platform_write(fd1, "ab", 2), 2);
  EXPECT_TRUE(platform_close(fd1));
  EXPECT_TRUE(platform_close(fd2));
  for (const char* path : {first, second}) {
    const fs::path file(path);
    EXPECT_TRUE(platform_is_temp_file_path(path, prefix.c_str())) << path;
    EXPECT_EQ(file.parent_path().parent_path(), dir);
    EXPECT_EQ(file.parent_path().filename().string().rfind("SFX", 0), 0u) << path;
    struct stat st;
    ASSERT_EQ(::stat(file.parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u) << "the folder is the user's alone";
    ASSERT_EQ(::stat(path, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
  }
  EXPECT_NE(fs::path(first).parent_path(), fs::path(second).parent_path());

  // Locked: the write permission is gone; removed: the file and its folder.
  const int locked = platform_open_locked(first);
  ASSERT_NE(locked, PLATFORM_NO_FILE);
  char back[4] = {};
  EXPECT_EQ(platform_read(locked, back, sizeof back), 2);
  struct stat locked_st;
  ASSERT_EQ(::stat(first, &locked_st), 0);
  EXPECT_EQ(locked_st.st_mode & 07777, 0500u);
  EXPECT_TRUE(platform_close(locked));
  EXPECT_TRUE(platform_remove_temp_file(first));
  EXPECT_TRUE(platform_remove_temp_file(second));
  EXPECT_TRUE(fs::is_empty(dir));
  EXPECT_FALSE(platform_remove_temp_file(first));
  EXPECT_EQ(platform_open_locked(first), PLATFORM_NO_FILE);
}

TEST_F(PosixLayer, RemovingAFileLeavesFoldersThatAreNotTheLaunchers) {
  fs::create_directories(dir / "SFXabcdef");
  fs::create_directories(dir / "Documents");
  for (const char* folder : {"SFXabcdef", "Documents"}) {
    const std::string file = (dir / folder / "EXEabc123").string();
    { std::ofstream touch(file); }
    EXPECT_TRUE(platform_remove_temp_file(file.c_str()));
  }
  EXPECT_FALSE(fs::exists(dir / "SFXabcdef"));
  EXPECT_TRUE(fs::exists(dir / "Documents"));
}

TEST(GatheredWrites, ReachTheFileWholeAndAFullDiskFailsTheClose) {
  // The launcher's 4,096-byte writes reach the system in bigger runs; nothing is lost or kept
  // back, and a disk that fills is still reported, at the latest by the close.
  char path[] = "/tmp/gathered-XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  std::vector<uint8_t> data(1000003);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 4096);
  for (size_t at = 0; at < data.size(); at += 4096) {
    const auto n = static_cast<uint32_t>(std::min<size_t>(4096, data.size() - at));
    ASSERT_EQ(platform_write(fd, data.data() + at, n), static_cast<int32_t>(n));
  }
  EXPECT_TRUE(platform_close(fd));
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> back{std::istreambuf_iterator<char>(in), {}};
  EXPECT_TRUE(back == data);
  ::unlink(path);

  const int full = ::open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  // Some write fails once the gathered bytes go out, or the close does.
  bool failed = false;
  for (int i = 0; i < 100 && !failed; ++i) failed = platform_write(full, data.data(), 4096) != 4096;
  const bool closed = platform_close(full);
  EXPECT_TRUE(failed || !closed) << "a full disk went unreported";
}

// The launcher's own: EXE and six letters or digits, in a folder SFX and six, right inside the
// temporary directory, whatever name the directory goes by (a link to it included).
TEST_F(PosixLayer, TemporaryFilePathIsTheLaunchersOwnFormInTheTemporaryDirectory) {
  fs::create_directories(dir / "SFXa1b2c3");
  fs::create_directories(dir / "elsewhere" / "SFXa1b2c3");
  fs::create_directory_symlink(dir, dir / "link");
  const std::string temp = dir.string() + "/";
  const std::string link = dir.string() + "/link/";
  for (const std::string& path : {temp + "SFXa1b2c3/EXEZZZZZZ", temp + "SFXa1b2c3/EXE000000",
                                  link + "SFXa1b2c3/EXEabc123", temp + "SFXnone00/EXEabc123"}) {
    EXPECT_TRUE(platform_is_temp_file_path(path.c_str(), temp.c_str())) << path;
  }
  EXPECT_TRUE(platform_is_temp_file_path((temp + "SFXa1b2c3/EXEabc123").c_str(), link.c_str()));
  for (const std::string& path :
       {std::string(""), std::string("EXEabc123"), temp + "EXEabc123", temp + "SFXa1b2c3/EXEabc12",
        temp + "SFXa1b2c3/EXEabc1234", temp + "SFXa1b2c3/exeabc123", temp + "SFXa1b2c3/sub/EXEabc123",
        temp + "elsewhere/SFXa1b2c3/EXEabc123",
        std::string("SFXa1b2c3/EXEabc123"), std::string("/home/me/report.docx"), std::string("/S")}) {
    EXPECT_FALSE(platform_is_temp_file_path(path.c_str(), temp.c_str())) << path;
  }
}

TEST_F(PosixLayer, TemporaryFileThatWouldNotFitIsNotMade) {
  const std::string prefix = dir.string() + "/";
  std::vector<char> path(prefix.size() + 19);  // room for the names but not the zero
  EXPECT_EQ(platform_create_temp_file(prefix.c_str(), TEMP_PROGRAM, path.data(), static_cast<uint32_t>(path.size())),
            PLATFORM_NO_FILE);
  EXPECT_TRUE(fs::is_empty(dir));
  EXPECT_EQ(platform_create_temp_file((dir.string() + "/missing/").c_str(), TEMP_PROGRAM, path.data(),
                                      static_cast<uint32_t>(path.size())),
            PLATFORM_NO_FILE);
}

TEST(OwnPath, IsThisProgramsFile) {
  char path[4096];
  ASSERT_TRUE(platform_own_path(path, sizeof path));
  EXPECT_EQ(fs::path(path), fs::canonical("/proc/self/exe"));
  const auto length = static_cast<uint32_t>(std::strlen(path));
  EXPECT_FALSE(platform_own_path(path, length)) << "no room for the zero";
  EXPECT_TRUE(platform_own_path(path, length + 1));
}

TEST_F(PosixLayer, StartFailsForAProgramThatCannotRun) {
  const std::string empty = (dir / "EXEempty").string();
  { std::ofstream touch(empty); }
  fs::permissions(empty, fs::perms::owner_all);
  EXPECT_FALSE(platform_start(empty.c_str(), empty.c_str(), "/x"));
  const std::string missing = (dir / "missing").string();
  EXPECT_FALSE(platform_start(missing.c_str(), missing.c_str(), "/x"));
}

// ---- where programs run from ---------------------------------------------------------------------

TEST(FallbackTempDir, IsXdgRuntimeDirThenTheLaunchersOwnFolder) {
  const std::string own = fs::canonical("/proc/self/exe").parent_path().string() + "/";
  char dir[4096];
  {
    ScopedEnv xdg("XDG_RUNTIME_DIR", "/run/user/1000");
    ASSERT_TRUE(platform_fallback_temp_dir(0, dir, sizeof dir));
    EXPECT_STREQ(dir, "/run/user/1000/");
    ASSERT_TRUE(platform_fallback_temp_dir(1, dir, sizeof dir));
    EXPECT_EQ(dir, own);
    EXPECT_FALSE(platform_fallback_temp_dir(2, dir, sizeof dir));
  }
  for (const char* unusable : {static_cast<const char*>(nullptr), "", "relative/dir"}) {
    ScopedEnv xdg("XDG_RUNTIME_DIR", unusable);
    ASSERT_TRUE(platform_fallback_temp_dir(0, dir, sizeof dir));
    EXPECT_EQ(dir, own);
    EXPECT_FALSE(platform_fallback_temp_dir(1, dir, sizeof dir));
  }
}

// On a file system mounted noexec: no program runs, and a start that fails for it says so; a #!
// script is run through the interpreter its first line names, as the kernel would run it.
TEST_F(PosixLayer, OnANoexecFileSystemOnlyScriptsRunThroughTheirInterpreter) {
  const fs::path noexec = dir / "noexec";
  fs::create_directories(noexec);
  if (::mount("tmpfs", noexec.c_str(), "tmpfs", MS_NOEXEC, "mode=0700") != 0) GTEST_SKIP() << "cannot mount";
  EXPECT_FALSE(platform_folder_runs_programs(noexec.c_str()));
  EXPECT_TRUE(platform_folder_runs_programs(dir.c_str()));
  const struct {
    const char* what;
    std::string text;  // empty: a copy of /bin/true
    bool started;
    uint32_t status;
    PlatformFault fault;
  } cases[] = {
      {"a script", "#!/bin/sh\nexit 3\n", true, 3, FAULT_OTHER},
      {"blanks and an argument", "#!  /bin/sh   -e  \t\nfalse\nexit 3\n", true, 1, FAULT_OTHER},
      {"a line with no end", "#!/bin/sh", true, 0, FAULT_OTHER},
      {"an interpreter that is not there", "#!/no/such/sh\nexit 3\n", false, 0, FAULT_MISSING},
      {"a program", "", false, 0, FAULT_NOEXEC},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path program = noexec / "EXEprogram";
    fs::remove(program);
    if (c.text.empty()) {
      fs::copy_file("/bin/true", program);
    } else {
      std::ofstream(program, std::ios::binary) << c.text;
    }
    fs::permissions(program, fs::perms::owner_all);
    RunRequest request{};
    request.program = program.c_str();
    request.private_folder = noexec.c_str();
    request.own_path = "/launcher";
    uint32_t status = 99;
    EXPECT_EQ(platform_run_and_wait(&request, &status), c.started);
    char reason[256];
    if (c.started) {
      EXPECT_EQ(status, c.status);
    } else {
      EXPECT_EQ(platform_last_fault(reason, sizeof reason), c.fault) << reason;
    }
    EXPECT_EQ(platform_start(program.c_str(), program.c_str(), "/x"), c.started);
    if (!c.started) {
      EXPECT_EQ(platform_last_fault(reason, sizeof reason), c.fault) << reason;
    }
    while (::waitpid(-1, nullptr, 0) > 0) {
    }
  }
  // A program refused for its own mode where programs may run is no noexec fault.
  const fs::path unrunnable = dir / "EXEnotexecutable";
  fs::copy_file("/bin/true", unrunnable);
  fs::permissions(unrunnable, fs::perms::owner_read | fs::perms::owner_write);
  char reason[256];
  EXPECT_FALSE(platform_start(unrunnable.c_str(), unrunnable.c_str(), "/x"));
  EXPECT_EQ(platform_last_fault(reason, sizeof reason), FAULT_DENIED) << reason;
}

// The wait's look at the tree: which of the launcher's children run a program from the folder.
TEST_F(PosixLayer, TheTreeTellsWhichProcessesRunProgramsFromTheFolder) {
  fs::copy_file("/bin/sleep", dir / "sleeper");
  // Neither shell ends in its last command, so neither becomes the sleep.
  std::ofstream(dir / "setup.sh") << "#!/bin/sh\nsleep 30\nexit 0\n";
  std::ofstream(dir / "notes.txt") << "sleep 30\nexit 0\n";
  const struct {
    const char* what;
    std::vector<std::string> argv;
    fs::path cwd;
    bool from_folder;
  } cases[] = {
      {"its program file", {(dir / "sleeper").string(), "30"}, "/", true},
      {"a script by its path", {"/bin/sh", (dir / "setup.sh").string()}, "/", true},
      {"a script by a relative path, after an option", {"/bin/sh", "-e", "setup.sh"}, dir, true},
      {"a program from elsewhere", {"/bin/sleep", "30"}, dir, false},
      {"a program from elsewhere given a file of the folder", {"/bin/sh", (dir / "notes.txt").string()}, "/", false},
  };
  ProcessTree tree;
  ASSERT_TRUE(posix_tree_open(&tree, (dir.string() + "//").c_str()));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<char*> argv;
    for (const std::string& arg : c.argv) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, c.cwd.c_str());
    posix_spawnattr_t attributes;  // a group of its own, ended whole
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    // Right after its exec a process may show no arguments yet.
    const TreeProcess* process = nullptr;
    for (int i = 0; i < 100 && (process == nullptr || process->unsure); ++i) {
      if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      ASSERT_TRUE(posix_tree_look(&tree));
      process = posix_tree_find(&tree, pid);
    }
    ASSERT_NE(process, nullptr);
    EXPECT_FALSE(process->unsure);
    EXPECT_TRUE(process->descendant);
    EXPECT_EQ(process->from_folder, c.from_folder);
    ::kill(-pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  ASSERT_TRUE(posix_tree_look(&tree));
  const TreeProcess* self = posix_tree_find(&tree, ::getpid());
  ASSERT_NE(self, nullptr);
  EXPECT_FALSE(self->descendant);
  EXPECT_EQ(posix_tree_find(&tree, 0), nullptr);
  posix_tree_close(&tree);
  EXPECT_FALSE(posix_tree_open(&tree, (dir / "missing").c_str()));
}

TEST(Message, GoesToStderrWithItsCaption) {
  testing::internal::CaptureStderr();
  platform_show_message("Caption", "Line one.\n\nLine two.");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Caption: Line one.\n\nLine two.\n");
}

TEST(Progress, DrawsNothingWhenStderrIsNoTerminal) {
  testing::internal::CaptureStderr();
  platform_progress_show();
  platform_progress_fill(16, 35, 100, 40);
  platform_progress_hide();
  platform_progress_release();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// Runs body with stderr on a new pseudo-terminal and gives back what it printed there.
std::string on_terminal(void (*body)()) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return "no pty";
  const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
  const int saved = ::dup(STDERR_FILENO);
  ::dup2(slave, STDERR_FILENO);
  body();
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  ::close(slave);
  std::string out;
  char buffer[4096];
  ssize_t got;
  while ((got = ::read(master, buffer, sizeof buffer)) > 0) {
    out.append(buffer, static_cast<size_t>(got));
    if (out.find("\r\r") != std::string::npos || out.size() > 10000) break;
  }
  ::close(master);
  return out;
}

TEST(Progress, DrawsOneLineBarOnATerminal) {
  const std::string out = on_terminal([] {
    platform_progress_show();
    platform_progress_fill(16, 35, 89, 40);   // half
    platform_progress_fill(16, 35, 90, 40);   // still half: not drawn again
    platform_progress_fill(16, 35, 162, 40);  // full
    platform_progress_hide();
    std::fputs("\r", stderr);  // marks the end for the reader
  });
  const std::string bar = "Uncompressing setup file: [";
  EXPECT_NE(out.find(bar + std::string(40, ' ') + "]"), std::string::npos) << out;
  const std::string half = bar + std::string(20, '#') + std::string(20, ' ') + "]";
  const size_t at = out.find(half);
  EXPECT_NE(at, std::string::npos);
  EXPECT_EQ(out.find(half, at + 1), std::string::npos) << "redrawn with nothing changed";
  EXPECT_NE(out.find(bar + std::string(40, '#') + "]"), std::string::npos);
  EXPECT_EQ(out.find('\n'), std::string::npos) << "one line, redrawn in place";
}

}  // namespace
