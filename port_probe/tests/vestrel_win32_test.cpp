// Vestrel.exe under Windows: the raw command line as CreateProcessA hands it
// over (quotes, text glued to the program name, blanks only), the loader's
// refusal without DlPortIO.dll, and the version resource.
#include "probe_record.h"
#include "run_command_line_win32.h"
#include "test_support.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace {

using probe_record::result_value;
using test_support::read_file;
using test_support::write_file;

const char kRequestBody[] = "[Vestrel]\nLptPort=1\n";

// The longest command line a process can be given: 32 767 characters with
// the terminator.
constexpr std::size_t kLongestCommandLine = 32766;

// {PROGRAM}: the full path of Vestrel.exe; {PAD}: the blanks that make the
// line as long as a command line can be.
std::string replace_program(std::string line, const std::string& program) {
    const std::string marker = "{PROGRAM}";
    for (auto at = line.find(marker); at != std::string::npos;
         at = line.find(marker, at + program.size()))
        line.replace(at, marker.size(), program);
    const std::string pad = "{PAD}";
    if (const auto at = line.find(pad); at != std::string::npos)
        line.replace(at, pad.size(), kLongestCommandLine - (line.size() - pad.size()), ' ');
    return line;
}

enum class Expect { Success, MessageBox, Untouched };

struct RawLineCase {
    const char* name;
    const char* command_line;  // with the fields of replace_program
    Expect expect;
};

void PrintTo(const RawLineCase& row, std::ostream* out) {
    *out << row.name;
}

const RawLineCase kRawLines[] = {
    {"quoted_program", "\"{PROGRAM}\" .\\request.ini", Expect::Success},
    {"quoted_program_then_text_without_blank", "\"{PROGRAM}\".\\request.ini", Expect::Success},
    {"quoted_program_with_blanks", "\"C:\\some dir\\Vestrel.exe\"  .\\request.ini",
     Expect::Success},
    {"unquoted_program_then_tab", "Vestrel.exe\t.\\request.ini", Expect::Success},
    {"quoted_request_file_keeps_quotes", "\"{PROGRAM}\" \".\\request.ini\"", Expect::Untouched},
    {"longest_command_line", "\"{PROGRAM}\"{PAD}.\\request.ini", Expect::Success},
    {"program_only", "\"{PROGRAM}\"", Expect::MessageBox},
    {"only_blanks", "\"{PROGRAM}\"   \t  ", Expect::MessageBox},
    {"unquoted_program_only", "Vestrel.exe", Expect::MessageBox},
};

class RawCommandLine : public ::testing::TestWithParam<RawLineCase> {
protected:
    test_support::ScratchWorkingFolder folder_;
};

TEST_P(RawCommandLine, RequestFileIsTheVerbatimRemainder) {
    const auto& row = GetParam();
    write_file("request.ini", kRequestBody);
    const std::string program = beside_this_program("Vestrel.exe");

    const ProgramRun run =
        run_command_line(program, replace_program(row.command_line, program),
                         {"DLPORTIO_SIM_STATUS=0xFF", "DLPORTIO_SIM_ERRNO=", "DLPORTIO_SIM_LOG="});

    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.standard_output, "");
    EXPECT_EQ(run.standard_error, "");
    if (row.expect == Expect::Success) {
        EXPECT_EQ(result_value(".\\request.ini", "ReturnValue"), "Success");
        EXPECT_EQ(result_value(".\\request.ini", "FailureReason"),
                  ".\\request.ini: port = 1, addr = 888");
        EXPECT_EQ(folder_.entries(), (std::set<std::string>{"request.ini", "TROV.INI"}));
    } else {
        // The message box returns at once without a display; either way
        // nothing may be read or written.
        EXPECT_EQ(read_file("request.ini"), kRequestBody);
        EXPECT_EQ(folder_.entries(), std::set<std::string>{"request.ini"});
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, RawCommandLine, ::testing::ValuesIn(kRawLines),
                         test_support::RowName());

TEST(Loader, WithoutTheDriverLibraryTheProgramDoesNotStart) {
    test_support::ScratchWorkingFolder folder;
    write_file("request.ini", kRequestBody);
    std::filesystem::copy_file(beside_this_program("Vestrel.exe"), folder.path() / "Vestrel.exe");
    const std::string program = (folder.path() / "Vestrel.exe").string();

    const ProgramRun run = run_command_line(program, "\"" + program + "\" .\\request.ini", {});

    EXPECT_NE(run.exit_code, 0);
    EXPECT_EQ(read_file("request.ini"), kRequestBody);
    EXPECT_EQ(folder.entries(), (std::set<std::string>{"request.ini", "Vestrel.exe"}));
}

TEST(VersionResource, FileVersionIs1500) {
    const test_support::FileVersion v =
        test_support::read_file_version(beside_this_program("Vestrel.exe"));
    ASSERT_TRUE(v.found);
    EXPECT_EQ(v.version_ms, (1u << 16) | 5u);
    EXPECT_EQ(v.version_ls, 0u);
    EXPECT_EQ(v.file_type, static_cast<uint32_t>(VFT_APP));
    ASSERT_TRUE(v.has_text);
    EXPECT_EQ(v.text, "1.5.0.0");
}

}  // namespace
