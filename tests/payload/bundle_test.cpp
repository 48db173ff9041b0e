// The bundle reader: streams GNU tar writes and streams built here byte by byte, each read whole,
// a byte at a time and in odd pieces, which must all give the same entries, data and verdict.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "bundle.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

void put_field(Bytes* h, size_t at, size_t width, const std::string& text) {
  std::memcpy(h->data() + at, text.data(), std::min(width, text.size()));
}

std::string octal(uint64_t v, int digits) {
  char s[32];
  std::snprintf(s, sizeof s, "%0*llo", digits, static_cast<unsigned long long>(v));
  return s;
}

// A ustar header; fields given as text are written as they are (the octal forms under test).
struct Header {
  std::string name;
  char type = '0';
  uint64_t size = 0;
  std::string mode = "0000644";
  std::string prefix;
  std::string size_text;  // instead of size, when set
  std::string magic = std::string("ustar\0" "00", 8);
};

Bytes header(const Header& f) {
  Bytes h(BUNDLE_BLOCK_BYTES, 0);
  put_field(&h, 0, 100, f.name);
  put_field(&h, 100, 8, f.mode);
  put_field(&h, 108, 8, "0000000");
  put_field(&h, 116, 8, "0000000");
  put_field(&h, 124, 12, f.size_text.empty() ? octal(f.size, 11) : f.size_text);
  put_field(&h, 136, 12, "14000000000");
  h[156] = static_cast<uint8_t>(f.type);
  put_field(&h, 257, 8, f.magic);
  put_field(&h, 345, 155, f.prefix);
  unsigned sum = 8 * ' ';
  for (size_t i = 0; i < h.size(); ++i) sum += i >= 148 && i < 156 ? 0u : h[i];
  put_field(&h, 148, 8, octal(sum, 6) + std::string("\0 ", 2));
  return h;
}

Bytes padded(const std::string& data, uint8_t fill = 0) {
  Bytes out(data.begin(), data.end());
  out.resize((out.size() + 511) / 512 * 512, fill);
  return out;
}

Bytes file(const std::string& name, const std::string& data, const std::string& mode = "0000644") {
  Header f;
  f.name = name, f.size = data.size(), f.mode = mode;
  return cat({header(f), padded(data)});
}
Bytes dir(const std::string& name) {
  Header f;
  f.name = name + "/", f.type = '5', f.mode = "0000755";
  return header(f);
}
Bytes typed(const std::string& name, char type) {
  Header f;
  f.name = name, f.type = type;
  return header(f);
}
std::string record(const std::string& key, const std::string& value) {
  const std::string body = " " + key + "=" + value + "\n";
  size_t n = body.size() + 1;
  while (std::to_string(n).size() + body.size() != n) ++n;
  return std::to_string(n) + body;
}
Bytes pax(const std::string& records) {
  Header f;
  f.name = "PaxHeaders/x", f.type = 'x', f.size = records.size();
  return cat({header(f), padded(records)});
}
const Bytes END(2 * BUNDLE_BLOCK_BYTES, 0);

Bytes first(const Bytes& bytes, size_t n) {
  return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
}

struct Entry {
  BundleEntryKind kind;
  std::string name;
  uint64_t size;
  bool executable;
  std::string data;
  bool operator==(const Entry& o) const {
    return kind == o.kind && name == o.name && size == o.size && executable == o.executable &&
           data == o.data;
  }
};

struct Reading {
  std::vector<Entry> entries;
  BundleFault fault = BUNDLE_FAULT_NONE;
  uint64_t fault_offset = 0;
  uint32_t fault_entry = 0;
  std::string message;
  bool operator==(const Reading& o) const {
    return entries == o.entries && fault == o.fault && fault_offset == o.fault_offset &&
           fault_entry == o.fault_entry && message == o.message;
  }
};

std::ostream& operator<<(std::ostream& os, const Reading& r) {
  for (const Entry& e : r.entries) os << e.name << "[" << e.size << "] ";
  return os << "fault " << r.fault << " at " << r.fault_offset << ": " << r.message;
}

struct Collector {
  Reading reading;
  bool in_file = false;
  size_t stop_after = SIZE_MAX;  // data bytes taken before the sink stops the read
  size_t taken = 0;
};

const BundleSink SINK{
    [](void* c, const BundleEntry* e) {
      Collector* self = static_cast<Collector*>(c);
      EXPECT_FALSE(self->in_file);
      EXPECT_EQ(std::strlen(e->name), e->name_bytes);
      EXPECT_EQ(e->number, self->reading.entries.size());
      self->reading.entries.push_back({e->kind, e->name, e->size, e->executable, ""});
      self->in_file = e->kind == BUNDLE_FILE;
      return true;
    },
    [](void* c, const uint8_t* bytes, uint32_t n) {
      Collector* self = static_cast<Collector*>(c);
      EXPECT_TRUE(self->in_file);
      EXPECT_GT(n, 0u);
      self->reading.entries.back().data.append(reinterpret_cast<const char*>(bytes), n);
      self->taken += n;
      return self->taken < self->stop_after;
    },
    [](void* c, const BundleEntry* e) {
      Collector* self = static_cast<Collector*>(c);
      EXPECT_TRUE(self->in_file);
      EXPECT_EQ(self->reading.entries.back().data.size(), e->size);
      self->in_file = false;
      return true;
    },
    nullptr};

// Reads the stream in pieces of `piece` bytes (0: all at once).
Reading read(const Bytes& stream, size_t piece, size_t stop_after = SIZE_MAX) {
  static std::vector<uint64_t> slots(NAME_TABLE_SLOTS);
  static auto reader = std::make_unique<BundleReader>();
  NameTable names{slots.data(), NAME_TABLE_SLOTS, 0};
  bundle_reader_init(reader.get(), &names);
  Collector collector;
  collector.stop_after = stop_after;
  BundleSink sink = SINK;
  sink.context = &collector;
  bool fed = true;
  for (size_t at = 0; fed && at < stream.size();) {
    const size_t n = piece == 0 ? stream.size() : std::min(piece, stream.size() - at);
    fed = bundle_feed(reader.get(), stream.data() + at, static_cast<uint32_t>(n), &sink);
    at += n;
  }
  const bool whole = bundle_finish(reader.get());
  EXPECT_EQ(whole, reader->fault == BUNDLE_FAULT_NONE);
  Reading& r = collector.reading;
  r.fault = reader->fault;
  if (!whole) {
    r.fault_offset = reader->fault_offset;
    r.fault_entry = reader->fault_entry;
    char message[128];
    bundle_fault_describe(reader.get(), message, sizeof message);
    r.message = message;
    EXPECT_LT(r.message.size(), 127u) << "cut to the capacity: " << r.message;
  }
  return r;
}

// Whole, a byte at a time and in pieces of 7 and 1,000: the same reading.
Reading read_every_way(const Bytes& stream) {
  const Reading whole = read(stream, 0);
  EXPECT_EQ(read(stream, 1), whole);
  EXPECT_EQ(read(stream, 7), whole);
  EXPECT_EQ(read(stream, 1000), whole);
  return whole;
}

struct StreamRow {
  const char* what;
  Bytes stream;
  BundleFault fault;
  std::string message;  // "" when the stream is whole
};


Header with_size_text(const char* name, const char* size, const char* mode) {
  Header f;
  f.name = name, f.size_text = size, f.mode = mode;
  return f;
}

std::string deep(size_t components) {
  std::string out = "a";
  for (size_t i = 1; i < components; ++i) out += "/a";
  return out;
}

TEST(Bundle, Streams) {
  std::string u120;
  for (int i = 0; i < 120; ++i) u120 += "\xC3\xBC";
  Header gnu;
  gnu.name = "x", gnu.magic = std::string("ustar  \0", 8);
  const Header old_forms = with_size_text("old", "          3 ", "   755 ");  // blank-led, blank-ended
  Header nul_type;
  nul_type.name = "f", nul_type.type = '\0', nul_type.size = 2;
  Header split;
  split.prefix = "top", split.name = "file", split.size = 1;
  Header folder_with_data;
  folder_with_data.name = "d/", folder_with_data.type = '5', folder_with_data.size = 1;
  Bytes bad_checksum = file("a", "x");
  bad_checksum[0] = 'b';
  const std::string pax_text = "a pax header malformed or with a record other than path or size";
  const std::string same = "the same name for Windows as an earlier entry";
  const std::string no_folder = "its folder is not an earlier folder entry";
  const std::string not_ustar = "a header that is not a ustar header";
  const std::string no_end = "the stream ends before its end (two zero blocks)";
  const std::string after_end = "data after the end of the stream (two zero blocks)";
  const std::string l40 = "entry 0: the name \"" + std::string(40, 'l') + "...\" is too long";

  const StreamRow rows[] = {
      {"files and folders", cat({dir("setup"), file("setup/run.exe", "MZ", "0000755"),
                                 file("setup/empty", ""), END}), BUNDLE_FAULT_NONE, ""},
      {"padding need not be zero", cat({header(with_size_text("p", "00000000001", "0000644")),
                                        padded("z", 0xEE), END}), BUNDLE_FAULT_NONE, ""},
      {"octal with blanks; typeflag NUL; prefix",
       cat({header(old_forms), padded("abc"), header(nul_type), padded("nn"), dir("top"),
            header(split), padded("s"), END}), BUNDLE_FAULT_NONE, ""},
      {"pax path and size", cat({dir("top"), pax(record("path", "top/" + u120) + record("size", "3")),
                                 file("ignored", ""), padded("abc"), END}), BUNDLE_FAULT_NONE, ""},
      {"symbolic link", cat({dir("setup"), typed("setup/data.bin", '2'), END}),
       BUNDLE_FAULT_ENTRY_TYPE, "entry 1 (setup/data.bin): a symbolic link"},
      {"global header", cat({typed("g", 'g'), END}), BUNDLE_FAULT_GLOBAL_HEADER,
       "entry 0: a pax global header"},
      {"GNU magic", cat({header(gnu), END}), BUNDLE_FAULT_NOT_USTAR, "entry 0: " + not_ustar},
      {"bad checksum", cat({bad_checksum, END}), BUNDLE_FAULT_CHECKSUM,
       "entry 0: a header whose checksum is wrong"},
      {"size not octal", cat({header(with_size_text("a", "0000000009", "0000644")), END}),
       BUNDLE_FAULT_NUMBER, "entry 0 (a): a size, mode or checksum that is not an octal number"},
      {"raw non-UTF-8 name", cat({file("caf\xE9", ""), END}), BUNDLE_FAULT_NAME,
       "entry 0: the name \"caf\\xe9\" is not UTF-8"},
      {"backslash", cat({file("..\\x", ""), END}), BUNDLE_FAULT_NAME,
       "entry 0: the name \"..\\x\" holds a backslash"},
      {"component too long", cat({pax(record("path", std::string(256, 'l'))), file("x", ""), END}),
       BUNDLE_FAULT_NAME, l40},
      {"pax path past the name's bytes",
       cat({pax(record("path", std::string(NAME_MAX_BYTES + 1, 'l'))), file("x", ""), END}),
       BUNDLE_FAULT_NAME, l40},
      {"too deep", cat({pax(record("path", deep(NAME_MAX_COMPONENTS + 1))), file("x", ""), END}),
       BUNDLE_FAULT_NAME, "entry 0: the name \"" + deep(20) + "/...\" has too many components"},
      {"file then folder of one name", cat({file("Setup", ""), dir("SETUP"), END}),
       BUNDLE_FAULT_DUPLICATE, "entry 1 (SETUP): " + same},
      {"one name twice by case", cat({file("a.txt", "1"), file("A.TXT", "2"), END}),
       BUNDLE_FAULT_DUPLICATE, "entry 1 (A.TXT): " + same},
      {"a file used as a folder", cat({file("a", "x"), file("a/b", ""), END}),
       BUNDLE_FAULT_NO_FOLDER, "entry 1 (a/b): " + no_folder},
      {"folder never given", cat({file("x/y", ""), END}), BUNDLE_FAULT_NO_FOLDER,
       "entry 0 (x/y): " + no_folder},
      {"folder with data", cat({header(folder_with_data), padded("d"), END}),
       BUNDLE_FAULT_DIRECTORY_DATA, "entry 0 (d): a folder with data"},
      {"pax record not taken", cat({pax(record("mtime", "1")), file("a", ""), END}),
       BUNDLE_FAULT_PAX, "entry 0: " + pax_text},
      {"pax length wrong", cat({pax("99 path=a\n"), file("a", ""), END}), BUNDLE_FAULT_PAX,
       "entry 0: " + pax_text},
      {"pax record without its newline", cat({pax("10 path=ab"), file("a", ""), END}),
       BUNDLE_FAULT_PAX, "entry 0: " + pax_text},
      {"pax size not decimal", cat({pax(record("size", "1x")), file("a", ""), END}),
       BUNDLE_FAULT_PAX, "entry 0: " + pax_text},
      {"pax path twice", cat({pax(record("path", "a") + record("path", "b")), file("a", ""), END}),
       BUNDLE_FAULT_PAX, "entry 0 (a): " + pax_text},
      {"two pax headers", cat({pax(record("size", "1")), pax(record("size", "1")), file("a", ""), END}),
       BUNDLE_FAULT_PAX, "entry 0: " + pax_text},
      {"pax header before the end", cat({pax(record("path", "a")), END}), BUNDLE_FAULT_PAX,
       "entry 0 (a): " + pax_text},
      {"pax header too large",
       cat({pax(record("path", std::string(BUNDLE_MAX_PAX_BYTES, 'p'))), END}), BUNDLE_FAULT_PAX,
       "entry 0: " + pax_text},
      {"size past the stream", cat({file("a", "x"), first(file("b", std::string(600, 'b')), 700)}),
       BUNDLE_FAULT_CUT, "entry 1 (b): the stream ends inside its data"},
      {"cut inside a pax header", first(pax(record("path", "a")), 520), BUNDLE_FAULT_CUT,
       "entry 0: the stream ends inside its pax header"},
      {"missing end", file("a", "x"), BUNDLE_FAULT_CUT, no_end},
      {"one zero block", cat({file("a", "x"), Bytes(512, 0)}), BUNDLE_FAULT_CUT, no_end},
      {"a lone zero block before a header", cat({Bytes(512, 0), file("a", "x"), END}),
       BUNDLE_FAULT_NOT_USTAR, "entry 0: " + not_ustar},
      {"a zero byte after the end", cat({file("a", "x"), END, Bytes(1, 0)}),
       BUNDLE_FAULT_TRAILING, after_end},
      {"a tar record's padding after the end", cat({file("a", "x"), END, Bytes(8192, 0)}),
       BUNDLE_FAULT_TRAILING, after_end},
  };
  for (const StreamRow& row : rows) {
    SCOPED_TRACE(row.what);
    const Reading r = read_every_way(row.stream);
    EXPECT_EQ(r.fault, row.fault);
    EXPECT_EQ(r.message, row.message);
  }
}

// Each rule of the name policy refuses an entry, and the message quotes the name.
TEST(Bundle, RefusedNames) {
  for (const char* name : {"a/../b", "/etc/x", "C:x", "ab:c", "a?", "a.", "Com1.tar.gz", ""}) {
    const Reading r = read_every_way(cat({file(name, ""), END}));
    EXPECT_EQ(r.fault, BUNDLE_FAULT_NAME);
    EXPECT_EQ(r.message, "entry 0: the name \"" + std::string(name) + "\" " +
                             name_fault_text(name_check(name, static_cast<uint32_t>(std::strlen(name)))));
  }
}

TEST(Bundle, EntryTypes) {
  const std::pair<char, const char*> rows[] = {
      {'1', "a hard link"}, {'2', "a symbolic link"}, {'3', "a character device"},
      {'4', "a block device"}, {'6', "a FIFO"}, {'7', "a contiguous file"}, {'L', "a GNU long name"},
      {'K', "a GNU long link name"}, {'S', "a GNU sparse file"}, {'Q', "an entry of type 'Q'"}};
  for (const auto& [type, text] : rows) {
    const Reading r = read_every_way(cat({typed("n", type), END}));
    EXPECT_EQ(r.fault, BUNDLE_FAULT_ENTRY_TYPE);
    EXPECT_EQ(r.message, std::string("entry 0 (n): ") + text);
  }
}

TEST(Bundle, WhatIsRead) {
  const Reading r = read_every_way(cat({dir("top"), file("top/run.exe", "MZ", "0000755"),
                                         pax(record("path", "top/\xD1\x84.txt") + record("size", "3")),
                                         file("x", ""), padded("abc"), file("top/empty", ""), END}));
  const std::vector<Entry> want = {{BUNDLE_DIRECTORY, "top", 0, false, ""},
                                   {BUNDLE_FILE, "top/run.exe", 2, true, "MZ"},
                                   {BUNDLE_FILE, "top/\xD1\x84.txt", 3, false, "abc"},
                                   {BUNDLE_FILE, "top/empty", 0, false, ""}};
  EXPECT_EQ(r.fault, BUNDLE_FAULT_NONE);
  EXPECT_EQ(r.entries, want);
}

TEST(Bundle, OffsetsOfFaults) {
  EXPECT_EQ(read_every_way(cat({file("a", "x"), typed("l", '2')})).fault_offset, 1024u);
  EXPECT_EQ(read_every_way(cat({file("a", "x"), END, Bytes(3, 0)})).fault_offset, 2048u);
  EXPECT_EQ(read_every_way(first(file("a", "xyz"), 514)).fault_offset, 514u);
}

TEST(Bundle, SinkStops) {
  const Bytes stream = cat({file("a", "xyz"), END});
  const Reading r = read(stream, 1, 2);
  EXPECT_EQ(r.fault, BUNDLE_FAULT_STOPPED);
  EXPECT_EQ(r.message, "entry 0 (a): the read was stopped");
  EXPECT_EQ(r.entries.at(0).data, "xy");
}

// BUNDLE_MAX_ENTRIES folders are taken; one more is refused.
TEST(Bundle, TooManyEntries) {
  Bytes stream;
  stream.reserve((BUNDLE_MAX_ENTRIES + 3) * BUNDLE_BLOCK_BYTES);
  for (uint32_t i = 0; i <= BUNDLE_MAX_ENTRIES; ++i) {
    const Bytes d = dir("d" + std::to_string(i));
    stream.insert(stream.end(), d.begin(), d.end());
  }
  stream.insert(stream.end(), END.begin(), END.end());
  const Reading r = read(stream, 0);
  EXPECT_EQ(r.fault, BUNDLE_FAULT_TOO_MANY);
  EXPECT_EQ(r.entries.size(), BUNDLE_MAX_ENTRIES);
  EXPECT_EQ(r.message, "entry 100000 (d100000): more entries than a bundle may hold");
}

#ifndef _WIN32
// A folder as GNU tar writes it, in the pax form and in plain ustar (a POSIX system's tar).
TEST(Bundle, StreamsOfGnuTar) {
  char folder[] = "/tmp/bundle_test_XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string root = folder;
  // Two folder names of 60 bytes: past ustar's 100-byte name field, so ustar needs its prefix.
  const std::string deep_dir = std::string(60, 'd') + "/" + std::string(60, 'e');
  const std::string unicode = "data/\xC3\xBCn\xC3\xAF" "c\xC3\xB6" "d\xC3\xA9";
  const std::string in = root + "/in";
  const std::string make = "cd '" + root + "' && mkdir -p 'in/" + unicode + "' 'in/a b' 'in/" +
                           deep_dir + "' && printf MZ > in/setup.exe && chmod 755 in/setup.exe && " +
                           "head -c 1500 /dev/zero > 'in/" + unicode + "/\xD1\x84.txt' && " +
                           ": > 'in/a b/c' && printf x > 'in/" + deep_dir + "/f'";
  ASSERT_EQ(std::system(make.c_str()), 0);
  for (const char* format : {"pax", "ustar"}) {
    SCOPED_TRACE(format);
    const std::string tar = root + "/" + format + ".tar";
    // One 512-byte record a block (-b1), so that nothing pads the stream past its end.
    // pax without the times GNU tar records by default (the reader takes path and size alone).
    const std::string times =
        std::string(format) == "pax" ? " --pax-option=delete=atime,delete=ctime,delete=mtime" : "";
    const std::string pack = "tar --format=" + std::string(format) + " -b1 --sort=name" + times +
                             " -cf '" + tar + "' -C '" + in + "' setup.exe data 'a b' " +
                             deep_dir.substr(0, 60);
    ASSERT_EQ(std::system(pack.c_str()), 0);
    std::ifstream file_in(tar, std::ios::binary);
    const Bytes stream{std::istreambuf_iterator<char>(file_in), {}};
    const Reading r = read_every_way(stream);
    EXPECT_EQ(r.fault, BUNDLE_FAULT_NONE) << r;
    const std::vector<Entry> want = {
        {BUNDLE_FILE, "setup.exe", 2, true, "MZ"},
        {BUNDLE_DIRECTORY, "data", 0, false, ""},
        {BUNDLE_DIRECTORY, unicode, 0, false, ""},
        {BUNDLE_FILE, unicode + "/\xD1\x84.txt", 1500, false, std::string(1500, '\0')},
        {BUNDLE_DIRECTORY, "a b", 0, false, ""},
        {BUNDLE_FILE, "a b/c", 0, false, ""},
        {BUNDLE_DIRECTORY, deep_dir.substr(0, 60), 0, false, ""},
        {BUNDLE_DIRECTORY, deep_dir, 0, false, ""},
        {BUNDLE_FILE, deep_dir + "/f", 1, false, "x"},
    };
    EXPECT_EQ(r.entries, want);
  }
  std::system(("rm -rf '" + root + "'").c_str());
}

#endif  // _WIN32

}  // namespace
