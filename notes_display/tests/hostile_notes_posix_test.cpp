// Quorle against hostile notes files and command lines, through the real
// shared library loaded by the example host (quorle_show_notes) on Linux.
// Every row runs the host under a time limit with the fake viewer on PATH and
// checks that it ends by itself with the expected status (0: a viewer was
// started, 1: none), that exactly the expected viewer ran with exactly the
// expected words, and that nothing in the folder (the notes file included)
// was created or changed: no word ever reaches a shell.
#include "hostile_run.h"
#include "run_program.h"
#include "viewer_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using quorle_test::FakeViewer;
using quorle_test::ViewerRecord;
using test_support::RowName;
using test_support::write_file;
using Words = std::vector<std::string>;

const char kNotes[] = "notes.txt";
const char kNotesPath[] = "{NOTES}";  // stands for the notes file's path in a viewer's words
const int kStarted = 0;               // the host's exit status when a viewer was started
const int kNotStarted = 1;

// The notes text with `command` configured as the viewer.
std::string configured(const std::string& command) {
    return "Release notes.\n\n[ZOR_PNotes_File]\nPNotesCommandLine=" + command + "\n";
}

using Make = void (*)(const std::string& path, const std::string& text);

void write_text(const std::string& path, const std::string& text) {
    write_file(path, text);
}
void make_folder(const std::string& path, const std::string&) {
    std::filesystem::create_directory(path);
}
void make_fifo(const std::string& path, const std::string&) {
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0) << path;
}
// The text at the end of a 50 MiB file whose start is a hole (NUL bytes
// that take no room on the disk).
void after_hole_of_50_mb(const std::string& path, const std::string& text) {
    write_file(path, "");
    std::filesystem::resize_file(path, (std::uintmax_t{50} << 20) - text.size());
    std::ofstream(path, std::ios::binary | std::ios::app) << text;
}

// One row: by default a notes file holding `text`, and the configured
// command (or the default viewer) started.
struct NotesRow {
    std::string name;
    std::string text;
    Words viewer;  // the started viewer's words; empty: nothing started
    Make make = write_text;
    int exit_status = kStarted;

    NotesRow made_by(Make how) const {
        NotesRow r = *this;
        r.make = how;
        return r;
    }
};

NotesRow starts(const char* name, const std::string& text, Words viewer) {
    return {name, text, std::move(viewer)};
}
NotesRow starts_nothing(const char* name, const std::string& text) {
    NotesRow r{name, text, {}};
    r.exit_status = kNotStarted;
    return r;
}

void PrintTo(const NotesRow& r, std::ostream* out) {
    *out << r.name;
}

// Every folder also holds `victim`, which a shell given the words would
// remove or overwrite; `made` is what it would create.
const NotesRow kRows[] = {
    // The notes file's kind and size. A FIFO reads as empty (it is never
    // opened), so the default viewer gets its name.
    starts("notes_is_fifo", "", {"notepad.exe", kNotesPath}).made_by(make_fifo),
    starts_nothing("notes_is_folder", "").made_by(make_folder),
    starts("notes_of_50_mb", "\n" + configured("fake-viewer big"), {"fake-viewer", "big"})
        .made_by(after_hole_of_50_mb),

    // The configured command's length and quoting. One that fills the read
    // buffer was cut, so it is not run.
    starts_nothing("command_of_10000_characters",
                   configured("fake-viewer " + std::string(9988, 'a'))),
    starts("unbalanced_quote_runs_to_the_end", configured("fake-viewer \"open quote to the end"),
           {"fake-viewer", "open quote to the end"}),
    starts_nothing("unbalanced_quote_around_the_program", configured("\"fake-viewer open")),

    // Shell metacharacters are plain words.
    starts("semicolon", configured("fake-viewer ; rm -rf victim"),
           {"fake-viewer", ";", "rm", "-rf", "victim"}),
    starts("command_substitution", configured("fake-viewer $(touch made)"),
           {"fake-viewer", "$(touch", "made)"}),
    starts("backquotes", configured("fake-viewer `touch made`"),
           {"fake-viewer", "`touch", "made`"}),
    starts("pipe", configured("fake-viewer | touch made"), {"fake-viewer", "|", "touch", "made"}),
    starts("redirection", configured("fake-viewer > victim"), {"fake-viewer", ">", "victim"}),
    starts("and_list", configured("fake-viewer && rm victim"),
           {"fake-viewer", "&&", "rm", "victim"}),
    starts_nothing("substitution_as_the_program", configured("$(touch made)")),
};

class HostileNotes : public ::testing::TestWithParam<NotesRow> {
protected:
    FakeViewer fake_;
    test_support::ScratchWorkingFolder folder_;  // the working folder of the host and of any viewer
};

TEST_P(HostileNotes, EndsInTimeStartsOnlyTheViewerAndChangesNothing) {
    const NotesRow& r = GetParam();
    const std::string notes = (folder_.path() / kNotes).string();
    write_file("victim", "kept\n");
    r.make(notes, r.text);
    if (HasFatalFailure()) return;
    const hostile::FolderSnapshot before = hostile::snapshot(folder_.path());

    hostile::RowCount::add();
    hostile::expect_normal_end(hostile::run_bounded({QUORLE_HOST_PROGRAM, notes},
                                                    library_folder_environment(QUORLE_LIBRARY_DIR)),
                               r.exit_status);

    if (!r.viewer.empty()) fake_.wait_for_records(1);
    const std::vector<ViewerRecord> records = fake_.records_after_grace();
    if (r.viewer.empty()) {
        EXPECT_TRUE(records.empty()) << "a viewer was started";
    } else {
        Words expected;
        for (const std::string& word : r.viewer)
            expected.push_back(word == kNotesPath ? notes : word);
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].args, expected);
    }
    EXPECT_EQ(hostile::snapshot(folder_.path()), before)
        << "an entry in the folder was created or changed";
}

INSTANTIATE_TEST_SUITE_P(Rows, HostileNotes, ::testing::ValuesIn(kRows), RowName());

[[maybe_unused]] ::testing::Environment* const kRowCount =
    ::testing::AddGlobalTestEnvironment(new hostile::RowCount("Quorle"));

}  // namespace
