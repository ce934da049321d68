#include "command_line.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct RawCase {
    const char* name;
    std::string command_line;
    std::string request_file;
    std::string program;  // the program's name as the line starts with it
};

const RawCase kRawCases[] = {
    {"plain", "Vestrel.exe req.ini", "req.ini", "Vestrel.exe"},
    {"program_only", "Vestrel.exe", "", "Vestrel.exe"},
    {"only_blanks_after_program", "Vestrel.exe   \t ", "", "Vestrel.exe"},
    {"empty_line", "", "", ""},
    {"every_blank_code_skipped", std::string("Vestrel.exe \x01\x09\x0A\x0D\x1F\x20req.ini"),
     "req.ini", "Vestrel.exe"},
    {"tab_ends_program_name", "Vestrel.exe\treq.ini", "req.ini", "Vestrel.exe"},
    {"control_char_ends_program_name", "Vestrel.exe\x01req.ini", "req.ini", "Vestrel.exe"},
    {"quoted_program", "\"C:\\Program Files\\Vestrel.exe\" req.ini", "req.ini",
     "\"C:\\Program Files\\Vestrel.exe\""},
    {"quoted_program_then_text_without_blank", "\"C:\\a b\\Vestrel.exe\"req.ini", "req.ini",
     "\"C:\\a b\\Vestrel.exe\""},
    {"quoted_program_unterminated", "\"C:\\a b\\Vestrel.exe req.ini", "",
     "\"C:\\a b\\Vestrel.exe req.ini"},
    {"quote_inside_unquoted_program", "Ves\"trel req.ini", "req.ini", "Ves\"trel"},
    {"quoted_request_keeps_quotes", "Vestrel.exe \"my req.ini\"", "\"my req.ini\"", "Vestrel.exe"},
    {"inner_and_trailing_blanks_kept", "Vestrel.exe a b  c \t", "a b  c \t", "Vestrel.exe"},
    {"high_codes_are_not_blanks", "Vestrel.exe \xA0req.ini", "\xA0req.ini", "Vestrel.exe"},
    {"high_code_in_program_name", "Ves\xFFtrel.exe req.ini", "req.ini", "Ves\xFFtrel.exe"},
};

void PrintTo(const RawCase& row, std::ostream* out) {
    *out << row.name;
}

class RawCommandLine : public ::testing::TestWithParam<RawCase> {};

TEST_P(RawCommandLine, GivesRequestFile) {
    EXPECT_EQ(request_file_from_command_line(GetParam().command_line.c_str()),
              GetParam().request_file);
}

TEST_P(RawCommandLine, GivesProgramName) {
    const std::string& line = GetParam().command_line;
    EXPECT_EQ(line.substr(0, program_name_length(line.c_str())), GetParam().program);
}

INSTANTIATE_TEST_SUITE_P(Rule, RawCommandLine, ::testing::ValuesIn(kRawCases),
                         test_support::RowName());

struct ArgumentsCase {
    const char* name;
    std::vector<std::string> arguments;  // after the program's name
    std::string request_file;
};

const ArgumentsCase kArgumentsCases[] = {
    {"none", {}, ""},
    {"one", {"req.ini"}, "req.ini"},
    {"one_empty", {""}, ""},
    {"only_blank_arguments", {" ", "\t", ""}, ""},
    {"empty_then_name", {"", "req.ini"}, "req.ini"},
    {"several_joined_by_one_blank", {"my", "req.ini"}, "my req.ini"},
    {"blank_inside_argument_kept", {"my  req.ini"}, "my  req.ini"},
    {"leading_blanks_of_first_argument_skipped", {" \treq.ini"}, "req.ini"},
    {"trailing_empty_argument_leaves_blank", {"req.ini", ""}, "req.ini "},
    {"quotes_kept", {"\"req.ini\""}, "\"req.ini\""},
    {"high_codes_are_not_blanks", {"\xA0req.ini"}, "\xA0req.ini"},
};

void PrintTo(const ArgumentsCase& row, std::ostream* out) {
    *out << row.name;
}

class ArgumentList : public ::testing::TestWithParam<ArgumentsCase> {};

TEST_P(ArgumentList, GivesRequestFile) {
    std::vector<const char*> argv{"/usr/bin/Vestrel"};
    for (const auto& a : GetParam().arguments) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    EXPECT_EQ(request_file_from_arguments(static_cast<int>(argv.size() - 1), argv.data()),
              GetParam().request_file);
}

INSTANTIATE_TEST_SUITE_P(Rule, ArgumentList, ::testing::ValuesIn(kArgumentsCases),
                         test_support::RowName());

TEST(ArgumentList, SameRuleAsRawCommandLine) {
    for (const auto& row : kArgumentsCases) {
        SCOPED_TRACE(row.name);
        std::string remainder;
        for (std::size_t i = 0; i < row.arguments.size(); ++i)
            remainder += (i ? " " : "") + row.arguments[i];
        EXPECT_EQ(request_file_from_command_line(("Vestrel " + remainder).c_str()),
                  row.request_file);
    }
}

struct CaptionCase {
    const char* name;
    const char* path;
    const char* caption;
};

const CaptionCase kCaptionCases[] = {
    {"bare", "Vestrel", "Vestrel"},
    {"absolute_posix", "/usr/bin/Vestrel", "Vestrel"},
    {"relative_with_extension", "./build/Vestrel.exe", "Vestrel"},
    {"windows_path", "C:\\Tools\\Vestrel.EXE", "Vestrel"},
    {"dot_in_folder_only", "/opt/v1.5/Vestrel", "Vestrel"},
    {"only_last_extension_removed", "/x/Vestrel.run.exe", "Vestrel.run"},
    {"leading_dot_kept", "/x/.Vestrel", ".Vestrel"},
    {"empty", "", ""},
};

void PrintTo(const CaptionCase& row, std::ostream* out) {
    *out << row.name;
}

class Caption : public ::testing::TestWithParam<CaptionCase> {};

TEST_P(Caption, IsFileNameWithoutFolderAndExtension) {
    EXPECT_EQ(caption_from_program_path(GetParam().path), GetParam().caption);
}

INSTANTIATE_TEST_SUITE_P(Rule, Caption, ::testing::ValuesIn(kCaptionCases),
                         test_support::RowName());

}  // namespace
