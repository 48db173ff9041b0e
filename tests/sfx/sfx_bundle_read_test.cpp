// sfx list, extract and verify of bundles (a folder as a payload whose data is a tar stream,
// the record naming the entry to start), judged by the launcher's own bundle reader: a sound
// bundle listed, written as a folder and as its stream, and hostile streams refused by all three
// with nothing left behind.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "integrity.h"
#include "payload_builder.h"
#include "sfx_expected.h"
#include "sfx_runner.h"
#include "tar_builder.h"
#include "test_data.h"

namespace tb = tar_builder;

namespace {

// The stream in a payload whose record marks a bundle that starts its entry run_entry.
Bytes bundle_file(const Bytes& tar, uint32_t run_entry) {
  return payload_builder::checked_payload(tar, 64000, true, INTEGRITY_FLAG_BUNDLE | INTEGRITY_FLAG_WAIT, run_entry);
}

const Bytes SETUP = test_data::text_like(3000, 1);
const Bytes BIG = test_data::random_bytes(70000, 2);  // its data crosses a block of the payload
const std::string UNICODE_NAME = "app/\xC3\x9Cn\xC3\xAF.txt";  // "app/Ünï.txt", through a pax path

// A sound bundle: folders, an executable, a file over several blocks, a pax path, an empty file.
Bytes good_tar() {
  return tb::join({tb::folder("app"), tb::file("app/setup.exe", SETUP, 0755), tb::folder("app/data"),
                   tb::file("app/data/big.bin", BIG), tb::pax({{"path", UNICODE_NAME}}),
                   tb::file("app/placeholder", bytes_of("hello")), tb::file("app/empty", {}), tb::end()});
}
const std::vector<std::string> GOOD_NAMES = {"app", "app/setup.exe", "app/data", "app/data/big.bin", UNICODE_NAME,
                                             "app/empty"};

mode_t current_umask() {
  const mode_t mask = umask(022);
  umask(mask);
  return mask;
}

// "name kind mode size" for everything under root (but the runner's own .io), sorted.
std::vector<std::string> tree(const std::string& root, const std::string& under = "") {
  std::vector<std::string> lines;
  DIR* dir = opendir((root + "/" + under).c_str());
  if (dir == nullptr) return {"(cannot be read)"};
  while (const dirent* found = readdir(dir)) {
    const std::string name = found->d_name;
    if (name == "." || name == ".." || (under.empty() && name == ".io")) continue;
    const std::string relative = under.empty() ? name : under + "/" + name;
    struct stat st;
    lstat((root + "/" + relative).c_str(), &st);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(st.st_mode & 07777));
    const char* kind = S_ISDIR(st.st_mode) ? "dir" : S_ISREG(st.st_mode) ? "file" : "other";
    lines.push_back(relative + " " + kind + " " + mode + (S_ISREG(st.st_mode) ? " " + std::to_string(st.st_size) : ""));
    if (S_ISDIR(st.st_mode))
      for (const std::string& line : tree(root, relative)) lines.push_back(line);
  }
  closedir(dir);
  std::sort(lines.begin(), lines.end());
  return lines;
}

// The names another program lists in a tar file, one a line, a folder's '/' at the end left out.
std::vector<std::string> listed_by(const std::string& command) {
  std::vector<std::string> names;
  FILE* pipe = popen(("LC_ALL=C.UTF-8 " + command).c_str(), "r");
  if (pipe == nullptr) return {"(cannot run)"};
  char line[4096];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::string name = line;
    while (!name.empty() && (name.back() == '\n' || name.back() == '/')) name.pop_back();
    names.push_back(name);
  }
  if (pclose(pipe) != 0) names.push_back("(failed)");
  return names;
}

TEST(SfxBundleRead, ListShowsTheEntriesTheProgramAndTheTotals) {
  ScratchDir dir;
  write_file(dir.file("b.exe"), bundle_file(good_tar(), 1));
  const SfxResult text = run_sfx(dir, {"list", "b.exe"});
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_TRUE(contains(text.out, "       1 file         3000 x    app/setup.exe\n")) << text.out;
  EXPECT_TRUE(contains(text.out, "       2 dir             - -    app/data\n")) << text.out;
  EXPECT_TRUE(contains(text.out, "       4 file            5 -    " + UNICODE_NAME + "\n")) << text.out;
  EXPECT_TRUE(contains(text.out, "bundle: 4 files, 2 folders, 73005 bytes\n")) << text.out;
  EXPECT_TRUE(contains(text.out, "bundle program: app/setup.exe (entry 1)\n")) << text.out;

  const SfxResult json = run_sfx(dir, {"list", "--json", "b.exe"});
  ASSERT_EQ(json.status, 0) << json.err;
  const nlohmann::json expected = nlohmann::json::parse(R"({"run": "app/setup.exe", "files": 4, "folders": 2,
    "bytes": 73005, "entries": [
      {"name": "app", "kind": "dir", "size": 0, "executable": false},
      {"name": "app/setup.exe", "kind": "file", "size": 3000, "executable": true},
      {"name": "app/data", "kind": "dir", "size": 0, "executable": false},
      {"name": "app/data/big.bin", "kind": "file", "size": 70000, "executable": false},
      {"name": ")" + UNICODE_NAME + R"(", "kind": "file", "size": 5, "executable": false},
      {"name": "app/empty", "kind": "file", "size": 0, "executable": false}]})");
  const nlohmann::json out = nlohmann::json::parse(json.out);
  EXPECT_EQ(out["bundle"], expected);
  EXPECT_TRUE(out["error"].is_null());
  EXPECT_FALSE(run_sfx(dir, {"list", "--json", "--totals", "b.exe"}).out.find("\"entries\"") != std::string::npos);

  // A payload that is no bundle says so, its tar stream alike.
  write_file(dir.file("plain.exe"), payload_builder::checked_payload(good_tar()));
  const nlohmann::json plain = nlohmann::json::parse(run_sfx(dir, {"list", "--json", "plain.exe"}).out);
  EXPECT_TRUE(plain.contains("bundle") && plain["bundle"].is_null()) << plain.dump();
}

TEST(SfxBundleRead, ExtractWritesTheFolderAndVerifyPassesIt) {
  ScratchDir dir;
  write_file(dir.file("b.exe"), bundle_file(good_tar(), 1));
  const SfxResult result = run_sfx(dir, {"extract", "b.exe", "-o", "out/"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "4 files and 2 folders")) << result.err;
  char folder_mode[8], exec_mode[8], plain_mode[8];
  std::snprintf(folder_mode, sizeof folder_mode, "%o", 0777 & ~current_umask());
  std::snprintf(exec_mode, sizeof exec_mode, "%o", 0755 & ~current_umask());
  std::snprintf(plain_mode, sizeof plain_mode, "%o", 0644 & ~current_umask());
  const std::string f = folder_mode, x = exec_mode, p = plain_mode;
  const std::vector<std::string> expected = {"app dir " + f, "app/data dir " + f, "app/data/big.bin file " + p + " 70000",
                                             "app/empty file " + p + " 0", "app/setup.exe file " + x + " 3000",
                                             UNICODE_NAME + " file " + p + " 5"};
  EXPECT_EQ(tree(dir.file("out")), expected);
  struct stat st;
  ASSERT_EQ(stat(dir.file("out").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0777 & ~current_umask());  // not the temporary folder's 0700
  EXPECT_EQ(read_file(dir.file("out/app/setup.exe")), SETUP);
  EXPECT_EQ(read_file(dir.file("out/app/data/big.bin")), BIG);
  EXPECT_EQ(read_file(dir.file("out/" + UNICODE_NAME)), bytes_of("hello"));
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"b.exe", "out"}));

  const SfxResult verify = run_sfx(dir, {"verify", "b.exe"});
  EXPECT_EQ(verify.status, 0) << verify.err;
  EXPECT_TRUE(contains(verify.out, "a bundle of 4 files and 2 folders")) << verify.out;
}

TEST(SfxBundleRead, ExtractToStdoutGivesTheStreamThatTarReadersListAlike) {
  ScratchDir dir;
  const Bytes tar = good_tar();
  write_file(dir.file("b.exe"), bundle_file(tar, 1));
  const SfxResult result = run_sfx(dir, {"extract", "b.exe", "-o", "-"});
  ASSERT_EQ(result.status, 0) << result.err;
  ASSERT_EQ(bytes_of(result.out), tar);
  write_file(dir.file("b.tar"), tar);
  const std::string file = dir.file("b.tar");
  for (const std::string& command :
       {"tar -tf " + file, "bsdtar -tf " + file,
        "python3 -c 'import sys, tarfile; [print(m.name) for m in tarfile.open(sys.argv[1])]' " + file}) {
    SCOPED_TRACE(command);
    EXPECT_EQ(listed_by(command + " 2>/dev/null"), GOOD_NAMES);
  }
}

TEST(SfxBundleRead, ExtractMakesOrFillsOnlyANewOrEmptyFolder) {
  struct Case {
    const char* what;
    bool folder;
    bool holds_a_file;
    int status;
    const char* message;
  };
  const Case cases[] = {
      {"an empty folder is replaced by the whole one", true, false, 0, ""},
      {"a folder that holds a file is refused", true, true, 2, "is a folder that is not empty"},
      {"a file is refused", false, true, 2, "exists and is not a folder"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    write_file(dir.file("b.exe"), bundle_file(good_tar(), 1));
    const std::string out = dir.file("out");
    if (c.folder) mkdir(out.c_str(), 0755);
    if (c.holds_a_file) write_file(c.folder ? out + "/mine.txt" : out, bytes_of("mine"));
    const std::vector<std::string> before = tree(dir.path());
    const SfxResult result = run_sfx(dir, {"extract", "b.exe", "-o", "out"});
    EXPECT_EQ(result.status, c.status) << result.err;
    EXPECT_TRUE(contains(result.err, c.message)) << result.err;
    if (c.status == 0)
      EXPECT_EQ(read_file(out + "/app/setup.exe"), SETUP);
    else
      EXPECT_EQ(tree(dir.path()), before);  // nothing added, nothing taken
  }
}

// A stream's bytes with one byte changed and its header checksum left as it was.
Bytes with_byte(Bytes bytes, size_t at, uint8_t value) {
  bytes[at] = value;
  return bytes;
}

TEST(SfxBundleRead, HostileBundlesAreRefusedByListExtractAndVerifyLeavingNothing) {
  const Bytes app = tb::join({tb::folder("app"), tb::file("app/setup.exe", SETUP, 0755)});
  const auto after_app = [&app](std::initializer_list<Bytes> rest) {
    Bytes out = app;
    for (const Bytes& part : rest) out.insert(out.end(), part.begin(), part.end());
    return out;
  };
  const Bytes long_name = bytes_of("app/a-name-longer-than-a-header-holds.txt");
  struct Row {
    const char* what;
    Bytes tar;
    uint32_t run_entry;
    const char* reason;
  };
  const Row rows[] = {
      {"symbolic link", after_app({tb::header("app/link", '2', 0, 0777, "setup.exe"), tb::end()}), 1,
       "entry 2 (app/link): a symbolic link"},
      {"hard link", after_app({tb::header("app/hard", '1', 0, 0644, "app/setup.exe"), tb::end()}), 1, "a hard link"},
      {"device", after_app({tb::header("app/tty", '3', 0), tb::end()}), 1, "a character device"},
      {"FIFO", after_app({tb::header("app/fifo", '6', 0), tb::end()}), 1, "a FIFO"},
      {"global header", tb::join({tb::pax({{"comment", "x"}}, 'g'), app, tb::end()}), 2, "a pax global header"},
      {"GNU long name left in",
       after_app({tb::header("././@LongLink", 'L', long_name.size()), long_name, Bytes(512 - long_name.size(), 0),
                  tb::file("app/a-name", bytes_of("x")), tb::end()}),
       1, "a GNU long name"},
      {"sparse file", after_app({tb::header("app/sparse", 'S', 0), tb::end()}), 1, "a GNU sparse file"},
      {"raw-byte name", after_app({tb::file("app/caf\xE9", bytes_of("x")), tb::end()}), 1, "is not UTF-8"},
      {"..", after_app({tb::file("app/../../evil", bytes_of("x")), tb::end()}), 1, "\"..\""},
      {"drive", after_app({tb::file("C:x", bytes_of("x")), tb::end()}), 1, "begins with a drive"},
      {"backslash", after_app({tb::file("app\\b", bytes_of("x")), tb::end()}), 1, "holds a backslash"},
      {"colon", after_app({tb::file("app/a:b", bytes_of("x")), tb::end()}), 1, "holds a colon"},
      {"device name", after_app({tb::file("app/CON.txt", bytes_of("x")), tb::end()}), 1, "reserved device name"},
      {"trailing dot", after_app({tb::file("app/x.", bytes_of("x")), tb::end()}), 1, "ends in a dot or a blank"},
      {"one name by case", after_app({tb::file("app/SETUP.EXE", bytes_of("x")), tb::end()}), 1,
       "the same name for Windows as an earlier entry"},
      {"size past the stream", after_app({tb::header("app/big", '0', 1000000), Bytes(512, 'x'), tb::end()}), 1,
       "ends inside its data"},
      {"header checksum", with_byte(after_app({tb::file("app/readme", bytes_of("x")), tb::end()}), app.size() + 4, 'X'),
       1, "checksum is wrong"},
      {"data after the end", after_app({tb::end(), Bytes(512, 'x')}), 1, "data after the end"},
      {"no end", app, 1, "ends before its end"},
      {"program past the entries", after_app({tb::end()}), 2,
       "names entry 2 as the program to start, but the bundle holds 2 (0 to 1)"},
      {"program a folder", after_app({tb::end()}), 0, "entry 0 as the program to start, app, which is a folder"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ScratchDir dir;
    write_file(dir.file("b.exe"), bundle_file(row.tar, row.run_entry));
    const SfxResult list = run_sfx(dir, {"list", "b.exe"});
    EXPECT_EQ(list.status, 1);
    EXPECT_TRUE(contains(list.err, row.reason)) << list.err;
    const SfxResult json = run_sfx(dir, {"list", "--json", "b.exe"});
    EXPECT_EQ(json.status, 1);
    EXPECT_TRUE(contains(nlohmann::json::parse(json.out)["error"]["message"].get<std::string>(), row.reason))
        << json.out;
    const SfxResult verify = run_sfx(dir, {"verify", "b.exe"});
    EXPECT_EQ(verify.status, 1);
    EXPECT_TRUE(contains(verify.err, row.reason)) << verify.err;
    const SfxResult extract = run_sfx(dir, {"extract", "b.exe", "-o", "out"});
    EXPECT_EQ(extract.status, 1);
    EXPECT_TRUE(contains(extract.err, row.reason)) << extract.err;
    EXPECT_EQ(dir.names(), std::vector<std::string>{"b.exe"});  // neither out nor a temporary folder
  }
}

}  // namespace
