// The start-up rule that cuts the command tail, the token count that picks the run mode, and the
// name delete mode takes from the tail.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "launcher.h"

namespace {

struct TailCase {
  const char* line;
  const char* tail;
};

class CommandTail : public testing::TestWithParam<TailCase> {};

TEST_P(CommandTail, CutsTheProgramName) {
  EXPECT_STREQ(command_tail(GetParam().line), GetParam().tail);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, CommandTail,
    testing::Values(
        TailCase{"", ""},
        TailCase{"setup.exe", ""},
        TailCase{"setup.exe   ", ""},
        TailCase{"setup.exe \"C:\\x.exe\"", "\"C:\\x.exe\""},
        TailCase{"setup.exe\t\t a  b ", "a  b "},
        TailCase{"\"C:\\Program Files\\setup.exe\" \"C:\\a b\"", "\"C:\\a b\""},
        // The closing quote goes with the name; what follows it directly is the tail.
        TailCase{"\"C:\\x.exe\"y z", "y z"},
        // No closing quote: the name runs to the end of the line.
        TailCase{"\"C:\\Program Files\\setup.exe a b", ""},
        // Control characters end the name and are skipped after it like blanks.
        TailCase{"setup.exe\x01\x1f x", "x"},
        // Codes above 127 are part of the name, whatever the signedness of char.
        TailCase{"set\xa0up.exe tail", "tail"},
        TailCase{"\"\" tail", "tail"}));

struct TokenCase {
  const char* tail;
  int tokens;
};

class TailTokens : public testing::TestWithParam<TokenCase> {};

TEST_P(TailTokens, CountsUpToTwo) {
  EXPECT_EQ(count_tail_tokens(GetParam().tail), GetParam().tokens) << GetParam().tail;
}

INSTANTIATE_TEST_SUITE_P(
    Tails, TailTokens,
    testing::Values(TokenCase{"", 0}, TokenCase{" \t\r\n\v\f", 0}, TokenCase{"a", 1},
                    TokenCase{"\"C:\\dir\\setup.exe\"", 1},
                    // A quoted path with blanks is one token, and trailing white space is not one.
                    TokenCase{"\"C:\\Program Files\\a b.exe\"  \t", 1},
                    TokenCase{"x\"a b\"y", 1}, TokenCase{"\"unclosed a b", 1},
                    TokenCase{"\x01", 1}, TokenCase{"a b", 2}, TokenCase{"a\tb", 2},
                    TokenCase{"a\nb", 2}, TokenCase{"\"a b\" c", 2}, TokenCase{"a b c d", 2},
                    TokenCase{"\"a\"\"b\"", 1}));

struct NameCase {
  const char* tail;
  const char* name;
};

class DeleteName : public testing::TestWithParam<NameCase> {};

TEST_P(DeleteName, DropsEnclosingQuotesOnly) {
  char name[256];
  ASSERT_TRUE(delete_file_name(GetParam().tail, name, sizeof name));
  EXPECT_STREQ(name, GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(
    Tails, DeleteName,
    testing::Values(NameCase{"\"/tmp/a b\"", "/tmp/a b"}, NameCase{"\"/tmp/a b\" \t ", "/tmp/a b"},
                    NameCase{"\"C:\\x.exe\"", "C:\\x.exe"},
                    // Unquoted names are used as they stand: no character is lost.
                    NameCase{"/tmp/x", "/tmp/x"}, NameCase{"  /tmp/x  ", "/tmp/x"},
                    NameCase{"x", "x"}, NameCase{"\"", "\""}, NameCase{"\"\"", ""},
                    NameCase{"\"abc", "\"abc"}, NameCase{"abc\"", "abc\""}));

TEST(DeleteName, NeverOverflowsItsBuffer) {
  char name[8];
  EXPECT_TRUE(delete_file_name("\"1234567\"", name, sizeof name));
  EXPECT_STREQ(name, "1234567");
  std::memset(name, 'z', sizeof name);
  EXPECT_FALSE(delete_file_name("\"12345678\"", name, sizeof name));
  EXPECT_FALSE(delete_file_name("12345678", name, sizeof name));
  EXPECT_EQ(name[0], 'z');  // nothing written on failure
}

}  // namespace
