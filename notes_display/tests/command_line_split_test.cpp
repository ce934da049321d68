// The command-line splitting rules, one row per case. The rows with program
// `x` are the C-runtime behaviour observed for Windows programs.
#include "command_line_split.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

struct SplitRow {
    const char* name;
    const char* line;
    std::vector<std::string> expected;  // empty: no program
};

void PrintTo(const SplitRow& row, std::ostream* out) {
    *out << row.name;
}

const SplitRow kRows[] = {
    {"plain_words", "viewer a b", {"viewer", "a", "b"}},
    {"tabs_and_runs_of_blanks_separate", "viewer \t a  \t b \t", {"viewer", "a", "b"}},
    {"quoted_argument", R"(x "a b" c)", {"x", "a b", "c"}},
    {"two_backslashes_then_quote", R"(x a\\"b c" d)", {"x", R"(a\b c)", "d"}},
    {"three_backslashes_then_quote", R"(x a\\\"b)", {"x", R"(a\"b)"}},
    {"backslash_before_blank_is_literal", R"(x C:\dir\ "x y")", {"x", R"(C:\dir\)", "x y"}},
    {"escaped_quote_inside_quotes", R"(x "x y\" z)", {"x", R"(x y" z)"}},
    {"unterminated_quote_runs_to_end", R"(x "unterminated arg)", {"x", "unterminated arg"}},
    {"empty_quoted_argument", R"(x "")", {"x", ""}},
    {"doubled_quote_inside_quotes", R"(x "a ""b"" c" d)", {"x", R"(a "b" c)", "d"}},
    {"doubled_quote_after_embedded_quote", R"(x a"b"" c d)", {"x", R"(ab" c d)"}},
    {"text_glued_to_quoted_program", R"("x.exe"rest of line)", {"x.exe", "rest", "of", "line"}},
    {"quoted_program_with_blank",
     R"("my viewer" "a b" c\"d "" e)",
     {"my viewer", "a b", R"(c"d)", "", "e"}},
    {"program_keeps_backslashes", R"("C:\dir\x.exe\" a)", {R"(C:\dir\x.exe\)", "a"}},
    {"unterminated_program_quote", R"("my viewer a)", {"my viewer a"}},
    {"four_backslashes_then_quote", R"(x a\\\\"b c")", {"x", R"(a\\b c)"}},
    {"backslashes_at_end", R"(x a\\)", {"x", R"(a\\)"}},
    {"shell_text_is_plain",
     "x a;b $(c) `d` | e > f && g *",
     {"x", "a;b", "$(c)", "`d`", "|", "e", ">", "f", "&&", "g", "*"}},
    {"eight_bit_characters_kept", "x \xE9t\xE9 \xA0", {"x", "\xE9t\xE9", "\xA0"}},
    {"empty_line", "", {}},
    {"only_blanks", "  \t ", {}},
    {"leading_blank", " viewer a", {}},
    {"empty_quoted_program", R"("" a)", {}},
};

class SplitTest : public ::testing::TestWithParam<SplitRow> {};

TEST_P(SplitTest, GivesExactWords) {
    const SplitRow& row = GetParam();
    SCOPED_TRACE(row.line);
    EXPECT_EQ(quorle::split_command_line(row.line), row.expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, SplitTest, ::testing::ValuesIn(kRows), test_support::RowName());

}  // namespace
