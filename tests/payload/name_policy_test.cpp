// The name policy: one row per rule (and names it lets through), the fold's collisions, the table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "name_policy.h"

namespace {

NameFault check(const std::string& name) {
  return name_check(name.data(), static_cast<uint32_t>(name.size()));
}

std::string repeat(const std::string& s, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) out += s;
  return out;
}

std::string components(size_t count) {
  std::string out = "a";
  for (size_t i = 1; i < count; ++i) out += "/a";
  return out;
}

struct NameRow {
  std::string name;
  NameFault fault;
};

TEST(NamePolicy, EachRule) {
  const std::string a255 = repeat("a", 255);
  const std::vector<NameRow> rows = {
      {"setup.exe", NAME_OK}, {"a b/c", NAME_OK}, {"nul_file", NAME_OK}, {"COM10", NAME_OK},
      {"data/\xC3\xBCn\xC3\xAF" "c\xC3\xB6" "d\xC3\xA9/\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB.txt", NAME_OK},
      {"LPT", NAME_OK}, {"CONIN", NAME_OK}, {".config/x..y/.a", NAME_OK},
      {"COM\xC2\xB9" "0", NAME_OK}, {"COM\xC2\xB4", NAME_OK},  // COM¹0; COM´ (no digit)
      {"\xF0\x9F\x98\x80", NAME_OK},                           // U+1F600, four bytes
      {"", NAME_EMPTY}, {"a//b", NAME_EMPTY}, {"a/", NAME_EMPTY},
      {".", NAME_DOT}, {"a/../b", NAME_DOT},
      {"/etc/passwd", NAME_ABSOLUTE}, {"\\x", NAME_ABSOLUTE},
      {"C:x", NAME_DRIVE}, {"z:", NAME_DRIVE},
      {"..\\x", NAME_BACKSLASH}, {"a/b\\c", NAME_BACKSLASH},
      {"file.txt:stream", NAME_COLON}, {"1:x", NAME_COLON},
      {std::string("a\0b", 3), NAME_CONTROL}, {"a\x1F", NAME_CONTROL}, {"a\x7F", NAME_CONTROL},
      {"a*b", NAME_RESERVED_CHARACTER}, {"a?", NAME_RESERVED_CHARACTER},
      {"\"q\"", NAME_RESERVED_CHARACTER}, {"<x", NAME_RESERVED_CHARACTER},
      {"x>", NAME_RESERVED_CHARACTER}, {"a|b", NAME_RESERVED_CHARACTER},
      {"a.", NAME_TRAILING_DOT_OR_BLANK}, {"a ", NAME_TRAILING_DOT_OR_BLANK},
      {"dir./x", NAME_TRAILING_DOT_OR_BLANK},
      {"nul.txt", NAME_DEVICE}, {"Com1.tar.gz", NAME_DEVICE}, {"con", NAME_DEVICE},
      {"x/PRN", NAME_DEVICE}, {"aux.c", NAME_DEVICE}, {"COM0", NAME_DEVICE}, {"lpt9", NAME_DEVICE},
      {"COM\xC2\xB9", NAME_DEVICE}, {"lpt\xC2\xB2.log", NAME_DEVICE}, {"LPT\xC2\xB3", NAME_DEVICE},
      {"CONIN$", NAME_DEVICE}, {"conout$.x", NAME_DEVICE}, {"con .txt", NAME_DEVICE},
      {"\xC0\xAF", NAME_NOT_UTF8}, {"\xE0\x80\xAF", NAME_NOT_UTF8},  // overlong
      {"\xED\xA0\x80", NAME_NOT_UTF8}, {"\xED\xBF\xBF", NAME_NOT_UTF8},  // surrogates
      {"\xF4\x90\x80\x80", NAME_NOT_UTF8},                          // past U+10FFFF
      {"ok\xC3", NAME_NOT_UTF8}, {"\x80", NAME_NOT_UTF8}, {"\xFF", NAME_NOT_UTF8},
      {a255, NAME_OK}, {a255 + "a", NAME_TOO_LONG},
      {repeat("\xE2\x82\xAC", 255), NAME_OK},  // 255 units in 765 bytes
      {repeat("\xF0\x9F\x98\x80", 127), NAME_OK}, {repeat("\xF0\x9F\x98\x80", 128), NAME_TOO_LONG},
      {a255 + "/" + a255 + "/" + a255 + "/" + repeat("a", 254) + "/a", NAME_OK},  // 1,024 bytes
      {a255 + "/" + a255 + "/" + a255 + "/" + a255 + "/a", NAME_TOO_LONG},
      {components(64), NAME_OK}, {components(65), NAME_TOO_DEEP},
      // The first broken rule is the verdict.
      {"a:\\b", NAME_DRIVE}, {"nul./x", NAME_TRAILING_DOT_OR_BLANK}, {"a\\b/\xFF", NAME_NOT_UTF8},
  };
  for (const NameRow& row : rows) {
    EXPECT_EQ(check(row.name), row.fault) << '"' << row.name << '"';
  }
  EXPECT_STREQ(name_fault_text(NAME_BACKSLASH), "holds a backslash");
}

struct FoldRow {
  const char* a;
  const char* b;
  bool one_name;
};

TEST(NamePolicy, FoldIsWindowsCase) {
  const FoldRow rows[] = {
      {"Setup.exe", "SETUP.EXE", true},
      {"data/ünïcödé", "DATA/ÜNÏCÖDÉ", true},
      {"ÿ", "Ÿ", true},
      {"łódź", "ŁÓDŹ", true},
      {"σίσυφος", "ΣΊΣΥΦΟΣ", true},
      {"ς", "Σ", true},
      {"файл ёж", "ФАЙЛ ЁЖ", true},
      {"straße", "STRAßE", true},
      {"Straße", "STRASSE", false},
      {"a", "b", false},
      {"a/b", "a_b", false},
      {"ǆ", "Ǆ", false},  // Latin Extended-B: outside the fold
  };
  for (const FoldRow& row : rows) {
    const uint64_t a = name_fold(row.a, static_cast<uint32_t>(std::string(row.a).size()));
    const uint64_t b = name_fold(row.b, static_cast<uint32_t>(std::string(row.b).size()));
    EXPECT_EQ(a == b, row.one_name) << row.a << " / " << row.b;
  }
}

TEST(NamePolicy, TableRefusesOneNameTwice) {
  std::vector<uint64_t> slots(8);
  NameTable table;
  name_table_init(&table, slots.data(), 8);
  EXPECT_TRUE(name_table_add(&table, "Setup.exe", 9, false));
  EXPECT_FALSE(name_table_add(&table, "SETUP.EXE", 9, false));
  EXPECT_FALSE(name_table_add(&table, "setup.exe", 9, true));  // a folder of the file's name
  EXPECT_TRUE(name_table_add(&table, "Data", 4, true));
  EXPECT_TRUE(name_table_has_directory(&table, "DATA", 4));
  EXPECT_FALSE(name_table_has_directory(&table, "setup.exe", 9));  // a file
  EXPECT_FALSE(name_table_has_directory(&table, "other", 5));
  EXPECT_TRUE(name_table_add(&table, "c", 1, false));
  EXPECT_TRUE(name_table_add(&table, "d", 1, false));
  EXPECT_FALSE(name_table_add(&table, "e", 1, false));  // full at half the slots
  EXPECT_EQ(table.count, 4u);
}

}  // namespace
