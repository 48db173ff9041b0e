// The built POSIX launcher, run as a user would: a payload appended to a copy of it, its child
// started, delete mode, and every failure ending with the message, status 0 and nothing left.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "integrity.h"
#include "payload_builder.h"
#include "tar_builder.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

extern char** environ;

namespace {

// The launcher's own file name, then the message: no one else's name, no address; its second
// line says why, without doubled or trailing blanks.
const char* const MESSAGE_LINE = "setup launcher: Unable to load installation data.\n";

bool is_message(const std::string& err) {
  const std::string head = MESSAGE_LINE;
  if (err.rfind(head, 0) != 0 || err.size() < head.size() + 3) return false;
  const std::string cause = err.substr(head.size());
  return cause.find('\n') == cause.size() - 1 && cause[cause.size() - 2] == '.' &&
         cause.find("  ") == std::string::npos && cause.find(" \n") == std::string::npos;
}

Bytes read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const fs::path& path, const Bytes& bytes, fs::perms perms = fs::perms::owner_all) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  fs::permissions(path, perms);
}

std::vector<std::string> read_lines(const fs::path& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

struct Outcome {
  int status;      // exit status, or -1 if it did not exit normally
  double seconds;  // wall time until it exited
  std::string err; // what it wrote to stderr
};

class LauncherRun : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "launcher-e2e-XXXXXX").string();
    ASSERT_NE(::mkdtemp(&pattern[0]), nullptr);
    root = pattern;
    tmpdir = root / "tmp";
    fs::create_directories(tmpdir);
    fs::create_directories(root / "my app");
    launcher = root / "my app" / "setup launcher";  // blanks in the launcher's own path
  }
  void TearDown() override { fs::remove_all(root); }

  // The built launcher with bytes appended, as the file a user would run.
  void make_launcher(const Bytes& appended) {
    Bytes file = read_file(LAUNCHER_BINARY);
    ASSERT_FALSE(file.empty());
    file.insert(file.end(), appended.begin(), appended.end());
    write_file(launcher, file);
  }

  // Runs the launcher with args (argv[0] is its path), TMPDIR set to tmpdir and the child's
  // variables pointing into root, and waits for it to exit.
  Outcome run(const std::vector<std::string>& args, const fs::path& cwd = "/") {
    std::vector<std::string> env_strings;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      if (entry.rfind("TMPDIR=", 0) != 0 && entry.rfind("SFX_CHILD_", 0) != 0) env_strings.push_back(entry);
    }
    env_strings.push_back("TMPDIR=" + tmpdir.string());
    env_strings.push_back("SFX_CHILD_COPY=" + (root / "child-copy").string());
    env_strings.push_back("SFX_CHILD_RECORD=" + record().string());
    env_strings.insert(env_strings.end(), extra_env.begin(), extra_env.end());
    std::vector<char*> envp;
    for (auto& s : env_strings) envp.push_back(&s[0]);
    envp.push_back(nullptr);

    std::vector<std::string> arg_strings{launcher.string()};
    arg_strings.insert(arg_strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : arg_strings) argv.push_back(&s[0]);
    argv.push_back(nullptr);

    const std::string err_path = (root / "stderr").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    const auto begin = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    Outcome outcome{-1, 0, ""};
    if (spawned != 0) return outcome;
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    if (WIFEXITED(wstatus)) outcome.status = WEXITSTATUS(wstatus);
    const Bytes err = read_file(err_path);
    outcome.err.assign(err.begin(), err.end());
    return outcome;
  }

  fs::path record() const { return root / "child-record"; }

  // Waits for the child to have written its record; false after timeout.
  bool wait_for_child(double timeout_seconds) const {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_seconds);
    while (!fs::exists(record())) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }

  std::vector<fs::path> temp_files() const {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(tmpdir)) files.push_back(entry.path());
    return files;
  }

  // A failed run: the message on stderr, status 0, no temporary file, no child.
  void expect_failure(const Outcome& outcome) {
    EXPECT_EQ(outcome.status, 0);
    EXPECT_TRUE(is_message(outcome.err)) << outcome.err;
    EXPECT_TRUE(temp_files().empty());
    EXPECT_FALSE(wait_for_child(0.3)) << "a child was started";
  }

  fs::path root, tmpdir, launcher;
  std::vector<std::string> extra_env;  // "NAME=value" for the launcher and its child
};

TEST(LauncherBinary, DoesNotHoldTheMarker) {
  const Bytes file = read_file(LAUNCHER_BINARY);
  ASSERT_FALSE(file.empty());
  const Bytes marker = payload_builder::marker();
  EXPECT_EQ(std::search(file.begin(), file.end(), marker.begin(), marker.end()), file.end());
}

// It runs on any system with its C library, or none: it needs no shared library but the C library.
TEST(LauncherBinary, NeedsNoSharedLibraryButTheCLibrary) {
  const std::string command = std::string("readelf -d '") + LAUNCHER_BINARY + "' 2>&1";
  std::FILE* output = popen(command.c_str(), "r");
  ASSERT_NE(output, nullptr);
  std::string text;
  char line[512];
  while (std::fgets(line, sizeof line, output) != nullptr) text += line;
  if (pclose(output) != 0 && text.find("readelf") != std::string::npos) GTEST_SKIP() << "no readelf";
  for (size_t at = text.find("(NEEDED)"); at != std::string::npos; at = text.find("(NEEDED)", at + 1)) {
    const size_t open = text.find('[', at);
    const std::string library = text.substr(open + 1, text.find(']', open) - open - 1);
    EXPECT_EQ(library.rfind("libc.so", 0), 0u) << library;
  }
}

TEST_F(LauncherRun, UnpacksAndStartsItsChild) {
  const Bytes child = read_file(CHILD_BINARY);
  // Several blocks, whatever the build makes of the child's size.
  const auto block_bytes = static_cast<uint32_t>(std::min<size_t>(64000, child.size() / 3 + 1));
  make_launcher(payload_builder::payload(child, block_bytes));
  const Outcome outcome = run({});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err, "") << "stderr is no terminal: no bar, and no message";
  ASSERT_TRUE(wait_for_child(10));

  const std::vector<std::string> args = read_lines(record());
  ASSERT_EQ(args.size(), 2u);
  const fs::path temp = args[0];
  EXPECT_EQ(temp.parent_path().parent_path(), tmpdir) << "a folder of its own in TMPDIR";
  EXPECT_EQ(temp.parent_path().filename().string().rfind("SFX", 0), 0u);
  EXPECT_EQ(temp.filename().string().rfind("EXE", 0), 0u);
  EXPECT_EQ(args[1], fs::canonical(launcher).string()) << "the own path arrives whole";

  // The temporary file stays behind, alone in its folder, holding exactly the packed program,
  // startable and no longer writable.
  EXPECT_EQ(temp_files(), std::vector<fs::path>{temp.parent_path()});
  EXPECT_EQ(std::distance(fs::directory_iterator(temp.parent_path()), fs::directory_iterator()), 1);
  EXPECT_TRUE(read_file(temp) == child);
  EXPECT_TRUE(read_file(root / "child-copy") == child);
  EXPECT_EQ(fs::status(temp).permissions(), fs::perms::owner_read | fs::perms::owner_exec);
  EXPECT_EQ(fs::status(temp.parent_path()).permissions(), fs::perms::owner_all);
}

TEST_F(LauncherRun, WithoutPayloadShowsTheMessage) {
  make_launcher({});
  expect_failure(run({}));
}

TEST_F(LauncherRun, DamagedPayloadStartsNothing) {
  Bytes payload = payload_builder::payload(read_file(CHILD_BINARY));
  payload.resize(payload.size() - 6 - 100);  // the end mark and the last block's tail cut off
  make_launcher(payload);
  expect_failure(run({}));
}

// Damage that a payload without a record could not show, each caught by the record: the message,
// nothing started, nothing left, 0.
TEST_F(LauncherRun, StartsNothingThatIsNotWhatWasPacked) {
  const Bytes child = read_file(CHILD_BINARY);
  const uint32_t block = 4096;  // several blocks, the first stored
  Bytes stored = payload_builder::record(child);
  const Bytes marker = payload_builder::marker();
  stored.insert(stored.end(), marker.begin(), marker.end());
  Bytes first = {1, 0, 0, 0};
  first.insert(first.end(), child.begin(), child.begin() + block);
  const Bytes framed = payload_builder::framed(first);
  stored.insert(stored.end(), framed.begin(), framed.end());
  const Bytes rest_payload = payload_builder::payload(Bytes(child.begin() + block, child.end()), 64000);
  stored.insert(stored.end(), rest_payload.begin() + 13, rest_payload.end());
  const size_t first_block_end = 32 + 13 + framed.size();

  Bytes changed = stored;
  changed[32 + 13 + 2 + 4 + 100] ^= 0x40;
  const Bytes at_boundary(stored.begin(), stored.begin() + static_cast<std::ptrdiff_t>(first_block_end));
  const Bytes before_end_mark(stored.begin(), stored.end() - 6);
  // Without a record, a file cut at a block boundary has no end mark either: refused all the same.
  const Bytes bare_cut(stored.begin() + 32, stored.begin() + static_cast<std::ptrdiff_t>(first_block_end));
  for (const auto& [name, payload] : std::vector<std::pair<const char*, Bytes>>{
           {"a byte changed in a stored block", changed},
           {"cut at a block boundary", at_boundary},
           {"cut just before the end mark", before_end_mark},
           {"no record, cut at a block boundary", bare_cut}}) {
    SCOPED_TRACE(name);
    make_launcher(payload);
    expect_failure(run({}));
  }
  // The same layout whole starts.
  make_launcher(stored);
  EXPECT_EQ(run({}).status, 1);
  EXPECT_TRUE(wait_for_child(10));
}

TEST_F(LauncherRun, EmptyProgramCannotStartAndIsNotLeft) {
  Bytes empty = payload_builder::marker();
  const Bytes end_mark = {'K', 'E', 'L', 'V', 'R', 'A'};
  empty.insert(empty.end(), end_mark.begin(), end_mark.end());
  make_launcher(empty);
  expect_failure(run({}));
}

TEST_F(LauncherRun, UnwritableTempDirShowsTheMessage) {
  make_launcher(payload_builder::payload(read_file(CHILD_BINARY)));
  tmpdir = root / "missing";
  Outcome outcome = run({});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_TRUE(is_message(outcome.err)) << outcome.err;
  EXPECT_FALSE(wait_for_child(0.3));
}

// One of the launcher's own temporary files, in a folder of the launcher's, under a folder whose
// name has blanks.
// A file of the launcher's own form in base: its temporary directory, or anywhere else.
fs::path own_temp_file(const fs::path& base, const char* folder = "SFXq1w2e3") {
  const fs::path dir = base / folder;
  fs::create_directories(dir);
  const fs::path file = dir / "EXEa1b2c3";
  write_file(file, {1, 2, 3});
  return file;
}

TEST_F(LauncherRun, DeletesItsOwnTemporaryFileAndFolder) {
  make_launcher({});
  tmpdir = root / "temp with blanks";
  const fs::path victim = own_temp_file(tmpdir);
  const Outcome outcome = run({victim.string()});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_FALSE(fs::exists(victim));
  EXPECT_FALSE(fs::exists(victim.parent_path())) << "its folder, now empty, goes too";
  EXPECT_LT(outcome.seconds, 5.0);
  EXPECT_EQ(outcome.err, "");
  EXPECT_TRUE(temp_files().empty()) << "delete mode unpacks nothing";
}

// Only a file in a launcher's folder right inside the temporary directory is deleted: the same
// names in a user's folder, or a name that needs a working directory to mean anything, unpack.
TEST_F(LauncherRun, FilesOfItsFormElsewhereSurvive) {
  make_launcher({});
  const fs::path documents = root / "Documents";
  const fs::path theirs = own_temp_file(documents);
  const fs::path relative = own_temp_file(tmpdir);
  for (const std::string& arg : {theirs.string(), relative.relative_path().string()}) {
    SCOPED_TRACE(arg);
    const Outcome outcome = run({arg}, root);
    EXPECT_EQ(outcome.status, 0) << "unpacks: no payload here, so the message";
    EXPECT_NE(outcome.err, "");
  }
  EXPECT_TRUE(fs::exists(theirs));
  EXPECT_TRUE(fs::exists(relative));
}

TEST_F(LauncherRun, AnyOtherSingleArgumentUnpacks) {
  // A document dropped on the launcher, or an option, is no delete request: the run unpacks and
  // starts its program, and the document stays.
  make_launcher(payload_builder::payload(read_file(CHILD_BINARY)));
  const fs::path document = root / "my documents" / "report.docx";
  fs::create_directories(document.parent_path());
  write_file(document, {'d', 'o', 'c'});
  for (const std::string& arg : {document.string(), std::string("/S")}) {
    SCOPED_TRACE(arg);
    fs::remove(record());
    EXPECT_EQ(run({arg}).status, 1);
    EXPECT_TRUE(wait_for_child(10));
    EXPECT_TRUE(fs::exists(document));
  }
}

TEST_F(LauncherRun, MissingFileCostsAboutTenSeconds) {
  make_launcher({});
  const fs::path missing = own_temp_file(tmpdir);
  fs::remove(missing);
  const Outcome outcome = run({missing.string()});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err, "");
  // 100 waits of 100 ms; the bound above leaves room for a busy machine.
  EXPECT_GE(outcome.seconds, 9.9);
  EXPECT_LT(outcome.seconds, 30.0);
}

// ---- the wait contract ---------------------------------------------------------------------------

// Packed with the wait contract, the child gets its file's path and the launcher's own arguments,
// each whole, and the launcher's path in SFX_LAUNCHER_PATH; the launcher waits, removes the file
// and its folder, and ends with the child's status.
TEST_F(LauncherRun, WaitsPassesItsArgumentsOnAndEndsWithTheChildsStatus) {
  const Bytes child = read_file(CHILD_BINARY);
  make_launcher(payload_builder::checked_payload(child, 64000, true, INTEGRITY_FLAG_WAIT));
  extra_env = {"SFX_CHILD_EXIT=42", "SFX_CHILD_LAUNCHER_RECORD=" + (root / "launcher-record").string()};
  const std::vector<std::string> args = {"/S", "two words", "say \"so\"", "Übung ñ", ""};
  const Outcome outcome = run(args);
  EXPECT_EQ(outcome.status, 42);
  EXPECT_EQ(outcome.err, "");
  ASSERT_TRUE(fs::exists(record())) << "the child ran before the launcher ended";
  const std::vector<std::string> seen = read_lines(record());
  ASSERT_EQ(seen.size(), args.size() + 1);
  EXPECT_EQ(fs::path(seen[0]).parent_path().parent_path(), tmpdir);
  EXPECT_EQ(std::vector<std::string>(seen.begin() + 1, seen.end()), args);
  const std::string canonical_launcher = fs::canonical(launcher).string();
  EXPECT_EQ(read_file(root / "launcher-record"), Bytes(canonical_launcher.begin(), canonical_launcher.end()));
  EXPECT_TRUE(temp_files().empty()) << "the file and its folder are gone";
}

// A signal that ends the unpack removes the partial file and its folder before the launcher ends
// by it.
TEST_F(LauncherRun, ASignalDuringTheUnpackLeavesNothing) {
  // 3,000 blocks of zeros: 192 MB to write, a few kilobytes to read.
  Bytes payload = payload_builder::marker();
  const Bytes zeros = payload_builder::framed(payload_builder::encoded_block(Bytes(64000, 0)));
  for (int i = 0; i < 3000; ++i) payload.insert(payload.end(), zeros.begin(), zeros.end());
  make_launcher(payload);
  for (const int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal_number);
    std::string path = launcher.string();
    char* argv[] = {&path[0], nullptr};
    const std::string tmp = "TMPDIR=" + tmpdir.string();
    char* envp[] = {const_cast<char*>(tmp.c_str()), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv, envp), 0);
    // Signalled once its file is being written.
    bool writing = false;
    for (int i = 0; i < 5000 && !writing; ++i) {
      for (const fs::path& folder : temp_files()) writing |= !fs::is_empty(folder);
      if (!writing) std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    ASSERT_TRUE(writing);
    kill(pid, signal_number);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    EXPECT_TRUE(WIFSIGNALED(wstatus) && WTERMSIG(wstatus) == signal_number);
    EXPECT_TRUE(temp_files().empty());
  }
}

// A console installer that asks its user keeps the terminal: the launcher waits in the same
// process group, so the child reads the answer from the terminal, and its status is the run's.
TEST_F(LauncherRun, AWaitingChildGetsItsAnswerFromTheTerminal) {
  const std::string answer_file = (root / "answer").string();
  const std::string script = "#!/bin/sh\nread answer </dev/tty && printf %s \"$answer\" >'" + answer_file +
                             "'\nexit 7\n";
  make_launcher(payload_builder::checked_payload(Bytes(script.begin(), script.end()), 64000, true,
                                                 INTEGRITY_FLAG_WAIT));
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) GTEST_SKIP() << "no pseudo-terminal";
  const std::string terminal = ptsname(master);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setsid();
    const int slave = open(terminal.c_str(), O_RDWR);  // the session's controlling terminal
    if (slave < 0) _exit(126);
    dup2(slave, 0);
    dup2(slave, 1);
    dup2(slave, 2);
    setenv("TMPDIR", tmpdir.c_str(), 1);
    execl(launcher.c_str(), launcher.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // The answer, typed once the child waits for it; what the terminal shows is read and dropped.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_EQ(write(master, "yes\n", 4), 4);
  int wstatus = 0;
  for (int i = 0; i < 200 && waitpid(pid, &wstatus, WNOHANG) == 0; ++i) {
    char drain[256];
    fcntl(master, F_SETFL, O_NONBLOCK);
    while (read(master, drain, sizeof drain) > 0) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  close(master);
  EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 7);
  EXPECT_EQ(read_file(answer_file), (Bytes{'y', 'e', 's'}));
  EXPECT_TRUE(temp_files().empty());
}

// ---- bundles -----------------------------------------------------------------------------------

Bytes bytes_of(const std::string& text) { return Bytes(text.begin(), text.end()); }

constexpr uint8_t BUNDLE_FLAGS = INTEGRITY_FLAG_BUNDLE | INTEGRITY_FLAG_WAIT;

// A folder whose script reads the files beside it, plants a link to a folder outside, and ends
// with 7: the files were found, the status comes back, the link is removed and not what it
// points to, and nothing is left.
TEST_F(LauncherRun, ABundlesScriptRunsBesideItsFilesAndNothingIsLeft) {
  namespace tb = tar_builder;
  const fs::path outside = root / "outside";
  fs::create_directories(outside);
  write_file(outside / "canary", bytes_of("alive"));
  const std::string script =
      "#!/bin/sh\ncat data/a.txt \"données/ünï.txt\" >\"$SFX_CHILD_RECORD\"\n"
      "ln -s \"$BUNDLE_OUTSIDE\" planted\nln -s \"$BUNDLE_OUTSIDE\" data/planted-too\nexit 7\n";
  const Bytes stream = tb::join({tb::folder("data"), tb::file("data/a.txt", bytes_of("first\n")),
                                 tb::folder("données"), tb::file("données/ünï.txt", bytes_of("second\n")),
                                 tb::file("setup.sh", bytes_of(script), 0644), tb::end()});
  make_launcher(payload_builder::checked_payload(stream, 64000, true, BUNDLE_FLAGS, 4));
  extra_env = {"BUNDLE_OUTSIDE=" + outside.string()};
  const Outcome outcome = run({"--quiet"});
  EXPECT_EQ(outcome.status, 7) << outcome.err;
  EXPECT_EQ(read_file(record()), bytes_of("first\nsecond\n"));
  EXPECT_TRUE(temp_files().empty()) << "the folder is removed";
  EXPECT_EQ(read_file(outside / "canary"), bytes_of("alive")) << "a planted link's target is untouched";
}

// Bundles made by hand past the tool: each is refused before anything starts, nothing is written
// outside the private folder and nothing is left.
TEST_F(LauncherRun, AHostileBundleStartsNothingAndLeavesNothing) {
  namespace tb = tar_builder;
  const Bytes script = bytes_of("#!/bin/sh\necho ran >\"$SFX_CHILD_RECORD\"\n");
  const struct {
    const char* what;
    Bytes stream;
    uint32_t run_entry;
  } cases[] = {
      {"a name that climbs out", tb::join({tb::file("setup.sh", script), tb::file("../escaped", script), tb::end()}), 0},
      {"a symbolic link", tb::join({tb::file("setup.sh", script), tb::header("link", '2', 0, 0777, "/"), tb::end()}), 0},
      {"a backslash", tb::join({tb::file("setup.sh", script), tb::file("..\\escaped", script), tb::end()}), 0},
      {"a duplicate by case", tb::join({tb::file("setup.sh", script), tb::file("SETUP.SH", script), tb::end()}), 0},
      {"the program is a folder", tb::join({tb::folder("setup"), tb::end()}), 0},
      {"data after the end", tb::join({tb::file("setup.sh", script), tb::end(), Bytes(512, 0)}), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    make_launcher(payload_builder::checked_payload(c.stream, 64000, true, BUNDLE_FLAGS, c.run_entry));
    const Outcome outcome = run({"/S"});
    EXPECT_EQ(outcome.status, 110) << outcome.err;
    EXPECT_FALSE(fs::exists(record())) << "nothing started";
    EXPECT_TRUE(temp_files().empty()) << "nothing left";
    EXPECT_FALSE(fs::exists(tmpdir / "escaped"));
  }
}

}  // namespace
