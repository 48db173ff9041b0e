// sfx pack of a folder (a bundle): the stream GNU tar, bsdtar and Python read alike, the same
// bytes from the folder and from any tar of it, the record naming the program, and each refusal
// naming the entry, with nothing written.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "bundle.h"
#include "integrity.h"
#include "sfx_expected.h"
#include "sfx_runner.h"
#include "test_data.h"

namespace {

// The folder, and the order its stream must hold it in: pre-order, names sorted by their bytes
// ('/' before '-' and '.': "lib/a/x.bin" comes before "lib/a-b.txt").
const std::string P60(60, 'p'), Q120(120, 'q');
struct Entry {
  std::string name;
  bool folder;
  Bytes content;
  bool executable = false;
};
const std::vector<Entry> FOLDER = {
    {"deep", true, {}},
    {"deep/" + P60, true, {}},                           // a name ustar's prefix splits
    {"deep/" + P60 + "/" + P60 + ".txt", false, bytes_of("split")},
    {"deep/" + Q120, true, {}},                          // names only a pax header holds
    {"deep/" + Q120 + "/" + Q120 + ".txt", false, bytes_of("pax")},
    {"docs", true, {}},
    {"docs/readme.txt", false, bytes_of("read me\n")},
    {"docs/\xC3\x9Cn\xC3\xAF" "c\xC3\xB6" "d\xC3\xA9 \xE5\x90\x8D\xE5\x89\x8D.txt", false, bytes_of("utf-8")},
    {"empty.txt", false, {}},
    {"lib", true, {}},
    {"lib/a", true, {}},
    {"lib/a/x.bin", false, test_data::mixed(70000, 5)},
    {"lib/a-b.txt", false, bytes_of("a-b")},
    {"lib/a.txt", false, bytes_of("a")},
    {"setup.sh", false, bytes_of("#!/bin/sh\necho setup\n"), true},
};
constexpr uint32_t SETUP_ENTRY = 14;

// Makes the folder at path, its entries made in reverse order with modes and times that must not
// matter, so that a second copy differs from the first in all but what a bundle keeps.
void make_folder(const std::string& path, int variant) {
  mkdir(path.c_str(), 0755);
  for (auto it = FOLDER.rbegin(); it != FOLDER.rend(); ++it) {
    const std::string full = path + "/" + it->name;
    for (size_t slash = it->name.find('/'); slash != std::string::npos; slash = it->name.find('/', slash + 1))
      mkdir((path + "/" + it->name.substr(0, slash)).c_str(), 0755);
    if (it->folder) {
      mkdir(full.c_str(), variant == 0 ? 0755 : 0700);
      continue;
    }
    write_file(full, it->content);
    chmod(full.c_str(), it->executable ? (variant == 0 ? 0755 : 0700) : (variant == 0 ? 0644 : 0600));
    const std::string touch = "touch -d @" + std::to_string(1000000 + variant * 777) + " '" + full + "'";
    ASSERT_EQ(std::system(touch.c_str()), 0);
  }
}

// A shell command's status, its stdout into *out.
int shell(const std::string& command, std::string* out = nullptr) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
  const int status = pclose(pipe);
  if (out != nullptr) *out = text;
  return status;
}

bool have(const std::string& program) { return shell("command -v " + program + " >/dev/null 2>&1") == 0; }

using Listing = std::vector<std::pair<std::string, std::string>>;  // name (no '/' at the end), size

// The lines of a reader's listing: the size is the size_at'th blank-separated field, the name
// all after the name_at'th.
Listing parse_listing(const std::string& text, size_t size_at, size_t name_at) {
  Listing listing;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = text.substr(start, end - start);
    std::vector<std::string> fields;
    size_t at = 0;
    while (fields.size() < name_at) {
      at = line.find_first_not_of(" \t", at);
      const size_t stop = line.find_first_of(" \t", at);
      fields.push_back(line.substr(at, stop - at));
      at = stop;
    }
    std::string name = line.substr(line.find_first_not_of(" \t", at));
    if (name.back() == '/') name.pop_back();
    listing.emplace_back(name, fields[size_at]);
  }
  return listing;
}

Listing expected_listing() {
  Listing listing;
  for (const Entry& e : FOLDER) listing.emplace_back(e.name, std::to_string(e.content.size()));
  return listing;
}

// pack DIR for the POSIX launcher, as every test here packs.
SfxResult pack(const ScratchDir& dir, std::vector<std::string> source, const std::string& output,
               const RunOptions& options = {}) {
  source.insert(source.begin(), "pack");
  for (const char* arg : {"--stub", "posix", "--run", "setup.sh", "-o"}) source.push_back(arg);
  source.push_back(output);
  return run_sfx_with(dir, source, options);
}

TEST(SfxBundlePack, TarReadersAndTheLaunchersReaderListTheFolder) {
  ScratchDir dir;
  make_folder(dir.file("dist"), 0);
  const SfxResult packed = pack(dir, {"dist"}, "setup-sfx");
  ASSERT_EQ(packed.status, 0) << packed.err;
  size_t files = 0, bytes = 0;
  for (const Entry& e : FOLDER) files += e.folder ? 0 : 1, bytes += e.content.size();
  EXPECT_TRUE(contains(packed.err, "bundle: 15 entries (" + std::to_string(files) + " files, " + std::to_string(bytes) +
                                       " bytes in files); runs 'setup.sh' (entry 14, a #! script)"))
      << packed.err;

  // The record marks a bundle that waits and names setup.sh.
  const Bytes file = read_file(dir.file("setup-sfx"));
  const std::string marker = "WOMBIXINSTALL";
  const size_t at = std::string(file.begin(), file.end()).rfind(marker);
  ASSERT_NE(at, std::string::npos);
  IntegrityRecord record{0, 0};
  ASSERT_EQ(integrity_record_read(file.data() + at - INTEGRITY_RECORD_BYTES, &record), INTEGRITY_PRESENT);
  EXPECT_EQ(record.flags, INTEGRITY_FLAG_BUNDLE | INTEGRITY_FLAG_WAIT);
  EXPECT_EQ(record.run_entry, SETUP_ENTRY);

  const SfxResult extracted = run_sfx(dir, {"extract", "setup-sfx", "-o", "-"});
  ASSERT_EQ(extracted.status, 0) << extracted.err;
  write_file(dir.file("stream.tar"), bytes_of(extracted.out));
  EXPECT_EQ(extracted.out.size() % 512, 0u);

  // The launcher's own reader takes it, entry for entry.
  std::vector<uint64_t> slots(NAME_TABLE_SLOTS);
  NameTable names;
  name_table_init(&names, slots.data(), NAME_TABLE_SLOTS);
  BundleReader reader;
  bundle_reader_init(&reader, &names);
  Listing read;
  BundleSink sink{[](void* context, const BundleEntry* e) {
                    static_cast<Listing*>(context)->emplace_back(e->name, std::to_string(e->size));
                    return true;
                  },
                  [](void*, const uint8_t*, uint32_t) { return true; }, [](void*, const BundleEntry*) { return true; },
                  &read};
  EXPECT_TRUE(bundle_feed(&reader, reinterpret_cast<const uint8_t*>(extracted.out.data()),
                          static_cast<uint32_t>(extracted.out.size()), &sink) &&
              bundle_finish(&reader))
      << reader.fault;
  EXPECT_EQ(read, expected_listing());

  const std::string in = "cd '" + dir.path() + "' && LC_ALL=C.UTF-8 PYTHONIOENCODING=utf-8 ";
  struct Reader {
    const char* program;
    std::string command;
    size_t size_at, name_at;
  };
  const Reader readers[] = {
      {"tar", "tar --numeric-owner --quoting-style=literal -tvf stream.tar", 2, 5},
      {"bsdtar", "bsdtar --numeric-owner -tvf - < stream.tar", 4, 8},
      {"python3",
       "python3 -c 'import sys, tarfile\nfor m in tarfile.open(sys.argv[1]): print(\"- \" + str(m.size) + \" \" + m.name)' "
       "stream.tar",
       1, 2},
  };
  for (const Reader& r : readers) {
    if (!have(r.program)) {
      std::printf("%s is not installed: not read with it\n", r.program);
      continue;
    }
    std::string out;
    ASSERT_EQ(shell(in + r.command, &out), 0) << r.program;
    EXPECT_EQ(parse_listing(out, r.size_at, r.name_at), expected_listing()) << r.program << ":\n" << out;
  }
}

TEST(SfxBundlePack, TheSameFolderAndAnyTarOfItGiveTheSameBytes) {
  ScratchDir dir;
  make_folder(dir.file("dist"), 0);
  make_folder(dir.file("again"), 1);  // made in another order, with other times and modes
  ASSERT_EQ(pack(dir, {"dist"}, "one").status, 0);
  const SfxResult again = pack(dir, {"again"}, "two");
  ASSERT_EQ(again.status, 0) << again.err;
  const Bytes expected = read_file(dir.file("one"));
  EXPECT_EQ(read_file(dir.file("two")), expected);

  const std::string in = "cd '" + dir.path() + "' && ";
  const char* const python =
      "python3 -c 'import tarfile\nwith tarfile.open(\"py.tar\", \"w\") as t: t.add(\"dist\", arcname=\".\")'";
  const std::pair<const char*, std::string> writers[] = {
      {"tar", "tar -C dist -cf gnu.tar ."},
      {"tar", "tar --format=pax -C dist -cf pax.tar ."},
      {"bsdtar", "bsdtar -C dist -cf bsd.tar ."},
      {"python3", python},
      {"git", "cp -r dist repo && cd repo && git init -q && git add . && "
              "git -c user.name=t -c user.email=t@t commit -qm t && git archive HEAD > ../git.tar"},
  };
  for (const auto& [program, command] : writers) {
    if (!have(program)) {
      std::printf("%s is not installed: no tar of it\n", program);
      continue;
    }
    ASSERT_EQ(shell(in + command), 0) << command;
  }
  for (const char* tar : {"gnu.tar", "pax.tar", "bsd.tar", "py.tar", "git.tar"}) {
    if (!file_exists(dir.file(tar))) continue;
    const std::string out = std::string(tar) + ".sfx";
    const SfxResult packed = pack(dir, {"--from-tar", tar}, out);
    ASSERT_EQ(packed.status, 0) << tar << ": " << packed.err;
    EXPECT_EQ(read_file(dir.file(out)), expected) << tar;
  }
  // A pipe is spooled first.
  RunOptions piped;
  piped.stdin_bytes = read_file(dir.file("gnu.tar"));
  piped.stdin_pipe = true;
  const SfxResult from_pipe = pack(dir, {"--from-tar", "-"}, "-", piped);
  ASSERT_EQ(from_pipe.status, 0) << from_pipe.err;
  EXPECT_EQ(bytes_of(from_pipe.out), expected);
}

// ---- refusals: each exits 2, names the entry and writes nothing

struct Refusal {
  const char* name;
  std::function<void(const ScratchDir&)> make;  // into "dist", which holds setup.sh
  std::vector<std::string> args;                // after "pack"
  std::vector<std::string> message;             // parts of the message
};

void PrintTo(const Refusal& r, std::ostream* os) { *os << r.name; }

void touch(const ScratchDir& dir, const std::string& name) { write_file(dir.file("dist/" + name), bytes_of("x")); }

const std::vector<std::string> PACK_DIST = {"dist", "--stub", "posix", "--run", "setup.sh"};

// A 512-byte ustar header (GNU's magic with gnu), its checksum right.
Bytes tar_header(const std::string& name, char type, uint64_t size = 0, const std::string& link = "", bool gnu = false) {
  Bytes h(512, 0);
  std::copy(name.begin(), name.end(), h.begin());
  const auto octal = [&h](size_t at, size_t width, uint64_t value) {
    for (size_t i = width - 1; i-- > 0; value >>= 3) h[at + i] = static_cast<uint8_t>('0' + (value & 7));
  };
  octal(100, 8, 0644), octal(108, 8, 0), octal(116, 8, 0), octal(124, 12, size), octal(136, 12, 0);
  h[156] = static_cast<uint8_t>(type);
  std::copy(link.begin(), link.end(), h.begin() + 157);
  const std::string magic = gnu ? std::string("ustar  \0", 8) : std::string("ustar\0" "00", 8);
  std::copy(magic.begin(), magic.end(), h.begin() + 257);
  std::fill(h.begin() + 148, h.begin() + 156, ' ');
  unsigned sum = 0;
  for (uint8_t b : h) sum += b;
  octal(148, 7, sum);
  return h;
}
Bytes tar_file(const std::string& name, const std::string& text) {
  Bytes bytes = concat({tar_header(name, '0', text.size()), bytes_of(text)});
  bytes.resize((bytes.size() + 511) / 512 * 512);
  return bytes;
}
const Bytes SETUP = tar_file("setup.sh", "#!/bin/sh\n");
const Bytes END(1024, 0);

Refusal from_tar(const char* name, const Bytes& stream, std::vector<std::string> message) {
  return {name, [stream](const ScratchDir& dir) { write_file(dir.file("in.tar"), stream); },
          {"--from-tar", "in.tar", "--stub", "posix", "--run", "setup.sh"}, std::move(message)};
}

Bytes with_bad_checksum() {
  Bytes h = tar_header("sum.txt", '0');
  h[140] ^= 1;  // in the time field: the name stays
  return concat({SETUP, h, END});
}

const Refusal REFUSALS[] = {
    {"symlink", [](const ScratchDir& d) { ASSERT_EQ(symlink("setup.sh", d.file("dist/link").c_str()), 0); }, PACK_DIST,
     {"'link' is a link"}},
    {"fifo", [](const ScratchDir& d) { ASSERT_EQ(mkfifo(d.file("dist/sub/fifo").c_str(), 0600), 0); }, PACK_DIST,
     {"'sub/fifo' is a FIFO"}},
    {"backslash", [](const ScratchDir& d) { touch(d, "a\\b.txt"); }, PACK_DIST, {"'a\\b.txt' holds a backslash"}},
    {"colon", [](const ScratchDir& d) { touch(d, "sub/a:b"); }, PACK_DIST, {"'sub/a:b'"}},
    {"trailing_dot", [](const ScratchDir& d) { touch(d, "sub/name."); }, PACK_DIST, {"'sub/name.' has a component that ends in a dot"}},
    {"device_name", [](const ScratchDir& d) { touch(d, "CON.txt"); }, PACK_DIST, {"'CON.txt' holds a reserved device name"}},
    {"names_one_for_windows", [](const ScratchDir& d) { touch(d, "ReadMe"), touch(d, "README"); }, PACK_DIST,
     {"'ReadMe' and 'README' are one name for Windows"}},
    {"run_missing", nullptr, {"dist", "--stub", "posix", "--run", "sub/setup.sh"}, {"--run: 'sub/setup.sh' is not in dist"}},
    {"run_a_folder", nullptr, {"dist", "--stub", "posix", "--run", "sub"}, {"--run: 'sub' is a folder"}},
    {"run_a_text", [](const ScratchDir& d) { touch(d, "sub/notes.txt"); }, {"dist", "--stub", "posix", "--run", "sub/notes.txt"},
     {"--run: 'sub/notes.txt' in dist is neither a program nor an installer package"}},
    {"run_not_for_windows", nullptr, {"dist", "--run", "setup.sh"}, {"'setup.sh' in dist is a script", "cannot start"}},
    {"no_run", nullptr, {"dist", "--stub", "posix"}, {"dist: is a directory; to pack it whole, --run names the program"}},
    {"run_on_a_file", nullptr, {"dist/setup.sh", "--stub", "posix", "--run", "setup.sh"}, {"dist/setup.sh: is a single file"}},
    {"no_record", nullptr, {"dist", "--stub", "posix", "--run", "setup.sh", "--no-record"}, {"leave out --no-record"}},
    from_tar("tar_symlink", concat({SETUP, tar_header("link", '2', 0, "setup.sh"), END}), {"'link'", "is a symbolic link"}),
    from_tar("tar_hardlink", concat({SETUP, tar_header("hard", '1', 0, "setup.sh"), END}), {"'hard'", "is a hard link"}),
    from_tar("tar_device", concat({SETUP, tar_header("dev/tty", '3'), END}), {"'dev/tty'", "is a character device"}),
    from_tar("tar_fifo", concat({SETUP, tar_header("fifo", '6'), END}), {"'fifo'", "is a FIFO"}),
    from_tar("tar_sparse", concat({SETUP, tar_header("holes.bin", 'S', 0, "", true), END}), {"'holes.bin'", "sparse"}),
    from_tar("tar_name_not_utf8", concat({SETUP, tar_file("bad\xFF.txt", "x"), END}), {"'bad\\xff.txt'", "is not UTF-8"}),
    from_tar("tar_name_twice", concat({SETUP, tar_file("a.txt", "1"), tar_file("a.txt", "2"), END}), {"'a.txt'", "twice"}),
    from_tar("tar_size_past_the_stream", concat({SETUP, tar_header("big.bin", '0', 100000), Bytes(512, 7)}),
             {"'big.bin'", "past the end of the stream"}),
    from_tar("tar_bad_checksum", with_bad_checksum(), {"'sum.txt'", "wrong checksum"}),
    from_tar("tar_without_its_end", SETUP, {"in.tar: ends at offset 1024 without the two zero blocks"}),
    from_tar("tar_data_after_its_end", concat({SETUP, END, tar_file("late.txt", "x")}), {"data after its end"}),
};

class SfxBundleRefusal : public testing::TestWithParam<Refusal> {};

TEST_P(SfxBundleRefusal, ExitsTwoNamingTheEntryAndWritesNothing) {
  const Refusal& r = GetParam();
  ScratchDir dir;
  mkdir(dir.file("dist").c_str(), 0755);
  mkdir(dir.file("dist/sub").c_str(), 0755);
  write_file(dir.file("dist/setup.sh"), bytes_of("#!/bin/sh\n"));
  const bool for_windows = std::find(r.args.begin(), r.args.end(), "--stub") == r.args.end();
  if (for_windows && std::string(SFX_WINDOWS_LAUNCHER_FILE).empty()) GTEST_SKIP() << "no Windows launcher built in";
  if (r.make) r.make(dir);
  const std::vector<std::string> before = dir.names();
  std::vector<std::string> args = {"pack"};
  args.insert(args.end(), r.args.begin(), r.args.end());
  args.insert(args.end(), {"-o", "out"});
  const SfxResult result = run_sfx(dir, args);
  EXPECT_EQ(result.status, 2) << result.err;
  for (const std::string& part : r.message) EXPECT_TRUE(contains(result.err, part)) << result.err;
  EXPECT_EQ(dir.names(), before);
}

INSTANTIATE_TEST_SUITE_P(SfxFolders, SfxBundleRefusal, testing::ValuesIn(REFUSALS),
                         [](const testing::TestParamInfo<Refusal>& tested) { return std::string(tested.param.name); });

}  // namespace
