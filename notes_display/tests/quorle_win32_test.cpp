// Quorle.dll from a Windows host: loaded with LoadLibraryA, the functions
// found by name and by ordinal, the notes shown through a fake notepad.exe
// beside this host, and the version resource.
#include "quorle.h"
#include "test_support.h"
#include "win32_test_support.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;

using test_support::beside_this_program;

// A fresh folder that is the working folder for one test, with the fake
// viewer's record folder in it.
class WorkFolder : public test_support::ScratchWorkingFolder {
public:
    WorkFolder() : ScratchWorkingFolder("quorle-test-") {
        fs::create_directory(path() / "records");
    }
};

using test_support::write_file;

// The command lines the fake viewer recorded, waiting up to `timeout` for
// `count` of them: WinExec returns before the viewer has written its record.
std::vector<std::string> recorded_command_lines(const fs::path& folder, std::size_t count,
                                                std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        std::vector<std::string> lines;
        for (const auto& entry : fs::directory_iterator(folder)) {
            if (entry.path().extension() != ".record") continue;
            // A record the fake has just renamed can still be unreadable
            // for a moment under Wine; it is read again on the next round.
            // A started program's command line is never empty.
            std::ifstream in(entry.path(), std::ios::binary);
            std::string line{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
            if (!line.empty()) lines.push_back(std::move(line));
        }
        if (lines.size() >= count || std::chrono::steady_clock::now() > deadline) return lines;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

class Library : public ::testing::Test {
protected:
    void SetUp() override {
        library_ = LoadLibraryA("Quorle.dll");
        ASSERT_NE(library_, nullptr) << "LoadLibraryA failed: " << GetLastError();
        display_ = function<PNDisplayFileFn>("PNDisplayFile");
        available_ = function<PNFileAvailableFn>("PNFileAvailable");
        ASSERT_NE(display_, nullptr);
        ASSERT_NE(available_, nullptr);
    }
    void TearDown() override {
        if (library_ != nullptr) {
            EXPECT_TRUE(FreeLibrary(library_));
        }
    }

    template <class Function>
    Function function(const char* name_or_ordinal) const {
        FARPROC address = GetProcAddress(library_, name_or_ordinal);
        Function f = nullptr;
        static_assert(sizeof f == sizeof address, "function pointers of one size");
        std::memcpy(&f, &address, sizeof f);
        return f;
    }

    HMODULE library_ = nullptr;
    PNDisplayFileFn display_ = nullptr;
    PNFileAvailableFn available_ = nullptr;
};

// --- the export table -------------------------------------------------------

TEST_F(Library, FunctionsByOrdinalAreTheNamedOnes) {
    EXPECT_EQ(function<PNDisplayFileFn>(MAKEINTRESOURCEA(1)), display_);
    EXPECT_EQ(function<PNFileAvailableFn>(MAKEINTRESOURCEA(2)), available_);
    EXPECT_EQ(GetProcAddress(library_, MAKEINTRESOURCEA(3)), nullptr);
    EXPECT_EQ(GetProcAddress(library_, "DllMain"), nullptr);
    EXPECT_EQ(GetProcAddress(library_, "_PNDisplayFile@4"), nullptr);
}

#if defined(__i386__)
// --- the calling convention (32-bit Windows) ---------------------------------

// A __stdcall function removes its own arguments from the stack, and a host
// built with the header's types never does. A library built with another
// convention would move the host's stack pointer by the arguments' size on
// every call, which the compiled host does not notice until it breaks. This
// routine calls `function(argument)` exactly as a __stdcall caller does, stores
// the result, and gives the stack pointer's change across the call in bytes.
extern "C" int32_t stack_change_across_call(PNFileAvailableFn function, const char* argument,
                                            int32_t* result);
__asm__(
    ".text\n"
    ".globl _stack_change_across_call\n"
    "_stack_change_across_call:\n"
    "    pushl %esi\n"
    "    movl %esp, %esi\n"      // esi is kept by callees of every convention
    "    pushl 12(%esi)\n"       // argument
    "    call *8(%esi)\n"        // function
    "    movl 16(%esi), %ecx\n"  // result
    "    movl %eax, (%ecx)\n"
    "    movl %esi, %eax\n"  // the change: the bytes the callee
    "    subl %esp, %eax\n"  // left on the stack
    "    movl %esi, %esp\n"
    "    popl %esi\n"
    "    ret\n");

// The measure's own check: a function that leaves its argument to the caller.
int32_t __cdecl leaves_its_argument(const char* name) {
    return name != nullptr ? 7 : 0;
}

TEST_F(Library, CallsThroughTheHeaderTypesLeaveTheStackPointerAsItWas) {
    const std::string existing = beside_this_program("Quorle.dll");
    PNFileAvailableFn cdecl_function = nullptr;
    const auto cdecl_address = &leaves_its_argument;
    std::memcpy(&cdecl_function, &cdecl_address, sizeof cdecl_function);
    const struct {
        const char* name;
        PNFileAvailableFn function;
        const char* argument;
        int32_t result;
        int32_t stack_change;
    } calls[] = {
        {"PNFileAvailable by name, existing file", available_, existing.c_str(), 1, 0},
        {"PNFileAvailable by name, missing file", available_, "missing.txt", 0, 0},
        {"PNFileAvailable at ordinal 2", function<PNFileAvailableFn>(MAKEINTRESOURCEA(2)),
         existing.c_str(), 1, 0},
        {"PNDisplayFile by name, missing file", display_, "missing.txt", 0, 0},
        {"PNDisplayFile at ordinal 1", function<PNDisplayFileFn>(MAKEINTRESOURCEA(1)), "", 0, 0},
        {"a __cdecl function, which the measure must catch", cdecl_function, "x", 7, 4},
    };
    for (const auto& call : calls) {
        SCOPED_TRACE(call.name);
        ASSERT_NE(call.function, nullptr);
        int32_t result = -1;
        EXPECT_EQ(stack_change_across_call(call.function, call.argument, &result),
                  call.stack_change);
        EXPECT_EQ(result, call.result);
    }
}
#endif

TEST(LibraryLoad, LoadsAndUnloadsRepeatedly) {
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        const HMODULE library = LoadLibraryA("Quorle.dll");
        ASSERT_NE(library, nullptr);
        EXPECT_TRUE(FreeLibrary(library));
    }
}

// --- PNFileAvailable ----------------------------------------------------------

struct AvailableRow {
    const char* name;
    const char* file;  // "{DIR}": the work folder
    int32_t expected;
};

void PrintTo(const AvailableRow& row, std::ostream* out) {
    *out << row.name;
}

const AvailableRow kAvailableRows[] = {
    {"existing_file", ".\\notes.txt", 1},
    {"existing_file_full_path", "{DIR}\\notes.txt", 1},
    {"name_with_blanks", ".\\notes with blanks.txt", 1},
    {"bare_name_in_current_folder", "notes.txt", 1},
    {"read_only_file", ".\\read-only.txt", 1},
    {"missing_file", ".\\missing.txt", 0},
    {"directory", ".\\folder", 0},
    {"file_used_as_folder", ".\\notes.txt\\x", 0},
    {"empty_name", "", 0},
};

class Available : public Library, public ::testing::WithParamInterface<AvailableRow> {
protected:
    WorkFolder folder_;
};

// {DIR}: the work folder; {DRIVE}: its drive ("C:"), whose current folder it
// is; {LONG}: a text that makes a command line longer than the buffer.
std::string expand_dir(std::string text, const fs::path& folder) {
    const std::pair<std::string, std::string> fields[] = {
        {"{DIR}", folder.string()},
        {"{DRIVE}", folder.string().substr(0, 2)},
        {"{LONG}", std::string(400, 'x')},
    };
    for (const auto& [field, value] : fields) {
        const auto at = text.find(field);
        if (at != std::string::npos) text.replace(at, field.size(), value);
    }
    return text;
}

TEST_P(Available, TellsExistingFiles) {
    write_file("notes.txt", "notes\n");
    write_file("notes with blanks.txt", "notes\n");
    write_file("read-only.txt", "notes\n");
    SetFileAttributesA("read-only.txt", FILE_ATTRIBUTE_READONLY);
    fs::create_directory("folder");

    EXPECT_EQ(available_(expand_dir(GetParam().file, folder_.path()).c_str()), GetParam().expected);
    SetFileAttributesA("read-only.txt", FILE_ATTRIBUTE_NORMAL);
}

INSTANTIATE_TEST_SUITE_P(Rows, Available, ::testing::ValuesIn(kAvailableRows),
                         test_support::RowName());

// --- PNDisplayFile ------------------------------------------------------------

struct DisplayRow {
    const char* name;
    const char* notes_name;     // the name passed; "{DIR}": the work folder
    const char* notes_content;  // nullptr: no such file
    int32_t expected;
    const char* command_line;  // recorded by the fake; nullptr: nothing started
};

void PrintTo(const DisplayRow& row, std::ostream* out) {
    *out << row.name;
}

const DisplayRow kDisplayRows[] = {
    {"no_section_gives_notepad", ".\\notes.txt", "notes\n", 1, "notepad.exe .\\notes.txt"},
    {"full_path", "{DIR}\\notes.txt", "notes\n", 1, "notepad.exe {DIR}\\notes.txt"},
    {"blanks_passed_unquoted", ".\\my notes.txt", "notes\n", 1, "notepad.exe .\\my notes.txt"},
    {"other_section_ignored", ".\\notes.txt", "[Other]\nPNotesCommandLine=x.exe\n", 1,
     "notepad.exe .\\notes.txt"},
    {"sentinel_value_gives_notepad", ".\\notes.txt",
     "[ZOR_PNotes_File]\nPNotesCommandLine=!! NOT FOUND !!\n", 1, "notepad.exe .\\notes.txt"},
    {"configured_line_runs_as_written", ".\\notes.txt",
     "[ZOR_PNotes_File]\nPNotesCommandLine=notepad.exe /p other file.txt\n", 1,
     "notepad.exe /p other file.txt"},
    {"configured_quoted_program_with_blanks", ".\\notes.txt",
     "[ZOR_PNotes_File]\nPNotesCommandLine=\"{DIR}\\my viewer.exe\" \"x y\" z\n", 1,
     "\"{DIR}\\my viewer.exe\" \"x y\" z"},
    {"bare_name_reads_its_own_section", "notes.txt",
     "[ZOR_PNotes_File]\nPNotesCommandLine=notepad.exe configured\n", 1, "notepad.exe configured"},
    {"drive_relative_name_reads_its_own_section", "{DRIVE}notes.txt",
     "[ZOR_PNotes_File]\nPNotesCommandLine=notepad.exe on drive\n", 1, "notepad.exe on drive"},
    {"command_filling_the_buffer_starts_nothing", ".\\notes.txt",
     "[ZOR_PNotes_File]\nPNotesCommandLine=notepad.exe {LONG}\n", 0, nullptr},
    {"empty_value_starts_nothing", ".\\notes.txt", "[ZOR_PNotes_File]\nPNotesCommandLine=\n", 0,
     nullptr},
    {"missing_program_starts_nothing", ".\\notes.txt",
     "[ZOR_PNotes_File]\nPNotesCommandLine=no-such-viewer.exe notes\n", 0, nullptr},
    {"missing_notes_file", ".\\missing.txt", nullptr, 0, nullptr},
    {"directory", ".\\folder", nullptr, 0, nullptr},
};

class Viewer : public Library {
protected:
    void SetUp() override {
        Library::SetUp();
        records_ = folder_.path() / "records";
        SetEnvironmentVariableA("QUORLE_TEST_RECORD_DIR", records_.string().c_str());
        fs::copy_file(beside_this_program("notepad.exe"), folder_.path() / "my viewer.exe");
        fs::create_directory("folder");
    }
    void TearDown() override {
        SetEnvironmentVariableA("QUORLE_TEST_RECORD_DIR", nullptr);
        Library::TearDown();
    }

    WorkFolder folder_;
    fs::path records_;
};

class Display : public Viewer, public ::testing::WithParamInterface<DisplayRow> {};

TEST_P(Display, StartsTheViewer) {
    const auto& row = GetParam();
    const std::string notes = expand_dir(row.notes_name, folder_.path());
    if (row.notes_content != nullptr)
        write_file(notes, expand_dir(row.notes_content, folder_.path()));

    EXPECT_EQ(display_(notes.c_str()), row.expected);

    if (row.command_line != nullptr) {
        EXPECT_EQ(recorded_command_lines(records_, 1, std::chrono::seconds(20)),
                  std::vector<std::string>{expand_dir(row.command_line, folder_.path())});
    } else {
        EXPECT_TRUE(recorded_command_lines(records_, 1, std::chrono::milliseconds(500)).empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, Display, ::testing::ValuesIn(kDisplayRows), test_support::RowName());

// --- the version resource -----------------------------------------------------

TEST(VersionResource, FileVersionIs6303) {
    const test_support::FileVersion v =
        test_support::read_file_version(beside_this_program("Quorle.dll"));
    ASSERT_TRUE(v.found);
    EXPECT_EQ(v.version_ms, (6u << 16) | 3u);
    EXPECT_EQ(v.version_ls, 0u);
    EXPECT_EQ(v.file_type, static_cast<uint32_t>(VFT_DLL));
    ASSERT_TRUE(v.has_text);
    EXPECT_EQ(v.text, "6.03");
}

}  // namespace
