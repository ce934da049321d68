// PNFileAvailable and PNDisplayFile through the built shared library, with the
// fake viewer on PATH (as `notepad.exe`, `fake-viewer` and `my viewer`).
#include "quorle.h"
#include "viewer_support.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using quorle_test::expand;
using quorle_test::FakeViewer;
using quorle_test::ViewerRecord;
using test_support::ScratchFolder;
using test_support::write_file;

// ---------------------------------------------------------------------------
// PNFileAvailable

struct AvailableRow {
    const char* name;
    const char* path;  // relative to a fresh folder; nullptr: a null name
    int32_t expected;
};

void PrintTo(const AvailableRow& row, std::ostream* out) {
    *out << row.name;
}

const AvailableRow kAvailableRows[] = {
    {"existing_file", "notes.txt", 1},
    {"empty_existing_file", "empty.txt", 1},
    {"name_with_blanks", "notes with blanks.txt", 1},
    {"missing_file", "missing.txt", 0},
    {"directory", "folder", 0},
    {"symlink_to_file", "link-to-notes", 1},
    {"symlink_to_directory", "link-to-folder", 0},
    {"dangling_symlink", "dangling", 0},
    {"file_used_as_folder", "notes.txt/x", 0},
    {"fifo_does_not_block", "fifo", 1},
    {"empty_name", "", 0},
    {"null_name", nullptr, 0},
};

class AvailableTest : public ::testing::TestWithParam<AvailableRow> {};

TEST_P(AvailableTest, ReportsExistenceAndLeavesNoDescriptor) {
    const AvailableRow& row = GetParam();
    ScratchFolder dir("quorle avail ");
    write_file(dir / "notes.txt", "notes\n");
    write_file(dir / "empty.txt", "");
    write_file(dir / "notes with blanks.txt", "notes\n");
    std::filesystem::create_directory(dir / "folder");
    std::filesystem::create_symlink(dir / "notes.txt", dir / "link-to-notes");
    std::filesystem::create_symlink(dir / "folder", dir / "link-to-folder");
    std::filesystem::create_symlink(dir / "nowhere", dir / "dangling");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);

    const std::size_t descriptors = quorle_test::open_descriptor_count();
    const std::string path = row.path == nullptr ? "" : (row.path[0] == '\0' ? "" : dir / row.path);
    EXPECT_EQ(PNFileAvailable(row.path == nullptr ? nullptr : path.c_str()), row.expected);
    EXPECT_EQ(quorle_test::open_descriptor_count(), descriptors);
}

INSTANTIATE_TEST_SUITE_P(Rows, AvailableTest, ::testing::ValuesIn(kAvailableRows),
                         test_support::RowName());

// ---------------------------------------------------------------------------
// PNDisplayFile: which command starts, with exactly which argv.

constexpr const char* kNoStart = "<nothing started>";
constexpr const char* kNotesPath = "{NOTES}";  // stands for the notes file's path

// Exactly one viewer ran, with `expected_argv` ({BIN}, {WORK} expanded,
// kNotesPath standing for `notes`), or with kNoStart: none.
void expect_started(const FakeViewer& fake, const std::vector<std::string>& expected_argv,
                    const std::string& notes) {
    if (expected_argv.front() == kNoStart) {
        EXPECT_TRUE(fake.records_after_grace().empty());
        return;
    }
    std::vector<std::string> expected;
    for (const std::string& arg : expected_argv) {
        expected.push_back(arg == kNotesPath ? notes : expand(arg, fake));
    }
    const std::vector<ViewerRecord> records = fake.wait_for_records(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].args, expected);
}

struct DisplayRow {
    const char* name;
    const char* notes_content;  // {BIN}, {WORK} expanded
    int32_t expected;
    std::vector<std::string> expected_argv;  // as for expect_started
};

void PrintTo(const DisplayRow& row, std::ostream* out) {
    *out << row.name;
}

const DisplayRow kDisplayRows[] = {
    {"no_section_starts_default_viewer",
     "Release notes\nline two\n",
     1,
     {"notepad.exe", kNotesPath}},
    {"other_section_only",
     "[Other]\nPNotesCommandLine=fake-viewer x\n",
     1,
     {"notepad.exe", kNotesPath}},
    {"section_without_key",
     "[ZOR_PNotes_File]\nOther=fake-viewer x\n",
     1,
     {"notepad.exe", kNotesPath}},
    {"sentinel_value_is_no_key",
     "[ZOR_PNotes_File]\nPNotesCommandLine=!! NOT FOUND !!\n",
     1,
     {"notepad.exe", kNotesPath}},
    {"sentinel_compare_is_case_sensitive",
     "[ZOR_PNotes_File]\nPNotesCommandLine=!! not found !!\n",
     0,
     {kNoStart}},
    {"sentinel_must_be_the_whole_value",
     "[ZOR_PNotes_File]\nPNotesCommandLine=!! NOT FOUND !!x\n",
     0,
     {kNoStart}},
    {"configured_without_quotes",
     "[ZOR_PNotes_File]\nPNotesCommandLine=fake-viewer one two\n",
     1,
     {"fake-viewer", "one", "two"}},
    {"configured_with_quotes",
     "[ZOR_PNotes_File]\nPNotesCommandLine=\"my viewer\" \"a b\" c\\\"d \"\" e\n",
     1,
     {"my viewer", "a b", "c\"d", "", "e"}},
    {"configured_absolute_quoted_path",
     "[ZOR_PNotes_File]\nPNotesCommandLine=\"{BIN}/my viewer\" \"{WORK}/other file.txt\" end\n",
     1,
     {"{BIN}/my viewer", "{WORK}/other file.txt", "end"}},
    // The profile read removes quotes that enclose the whole value.
    {"quotes_around_whole_value_are_removed_by_the_read",
     "[ZOR_PNotes_File]\nPNotesCommandLine=\"fake-viewer a b\"\n",
     1,
     {"fake-viewer", "a", "b"}},
    {"configured_gets_no_file_name_appended",
     "[ZOR_PNotes_File]\nPNotesCommandLine=fake-viewer\n",
     1,
     {"fake-viewer"}},
    {"empty_value", "[ZOR_PNotes_File]\nPNotesCommandLine=\n", 0, {kNoStart}},
    {"missing_program",
     "[ZOR_PNotes_File]\nPNotesCommandLine=no-such-viewer-q7 {WORK}/x\n",
     0,
     {kNoStart}},
};

class DisplayTest : public ::testing::TestWithParam<DisplayRow> {};

TEST_P(DisplayTest, StartsExactlyTheExpectedCommand) {
    const DisplayRow& row = GetParam();
    FakeViewer fake;
    const std::string notes = fake.work_dir() + "/release notes.txt";
    write_file(notes, expand(row.notes_content, fake));

    EXPECT_EQ(PNDisplayFile(notes.c_str()), row.expected);
    expect_started(fake, row.expected_argv, notes);
}

INSTANTIATE_TEST_SUITE_P(Rows, DisplayTest, ::testing::ValuesIn(kDisplayRows),
                         test_support::RowName());

// Names refused before anything is read or started.
struct RefusedRow {
    const char* name;
    const char* path;  // relative to the work folder; nullptr: a null name
};

void PrintTo(const RefusedRow& row, std::ostream* out) {
    *out << row.name;
}

const RefusedRow kRefusedRows[] = {
    {"missing_file", "missing.txt"},
    {"directory", "."},
    {"empty_name", ""},
    {"null_name", nullptr},
};

class RefusedTest : public ::testing::TestWithParam<RefusedRow> {};

TEST_P(RefusedTest, ReturnsZeroAndStartsNothing) {
    const RefusedRow& row = GetParam();
    FakeViewer fake;
    const std::string path =
        row.path == nullptr || row.path[0] == '\0' ? "" : fake.work_dir() + "/" + row.path;
    EXPECT_EQ(PNDisplayFile(row.path == nullptr ? nullptr : path.c_str()), 0);
    EXPECT_TRUE(fake.records_after_grace().empty());
}

INSTANTIATE_TEST_SUITE_P(Rows, RefusedTest, ::testing::ValuesIn(kRefusedRows),
                         test_support::RowName());

// The default command holds "notepad.exe", a blank and the name in 387
// characters: 375 is the longest name that fits.
std::string path_of_length(const std::string& base, std::size_t length) {
    std::string path = base;
    while (length - path.size() > 201) {
        path += "/" + std::string(200, 'd');
        std::filesystem::create_directory(path);
    }
    path += "/" + std::string(length - path.size() - 1, 'n');
    return path;
}

struct LengthRow {
    const char* name;
    std::size_t length;
    const char* notes_content;
    int32_t expected;
    std::vector<std::string> expected_argv;  // as for expect_started
};

void PrintTo(const LengthRow& row, std::ostream* out) {
    *out << row.name;
}

const LengthRow kLengthRows[] = {
    {"longest_name_that_fits", 375, "notes\n", 1, {"notepad.exe", kNotesPath}},
    {"one_too_long", 376, "notes\n", 0, {kNoStart}},
    // Only the default command is limited; a configured one holds no name.
    {"configured_command_takes_any_name",
     600,
     "[ZOR_PNotes_File]\nPNotesCommandLine=fake-viewer long\n",
     1,
     {"fake-viewer", "long"}},
};

class NameLengthTest : public ::testing::TestWithParam<LengthRow> {};

TEST_P(NameLengthTest, DefaultCommandTakesOnlyNamesThatFit) {
    const LengthRow& row = GetParam();
    FakeViewer fake;
    const std::string notes = path_of_length(fake.work_dir(), row.length);
    ASSERT_EQ(notes.size(), row.length);
    write_file(notes, row.notes_content);

    EXPECT_EQ(PNDisplayFile(notes.c_str()), row.expected);
    expect_started(fake, row.expected_argv, notes);
}

INSTANTIATE_TEST_SUITE_P(Rows, NameLengthTest, ::testing::ValuesIn(kLengthRows),
                         test_support::RowName());

// ---------------------------------------------------------------------------
// No shell: metacharacters arrive as plain text and nothing else runs.

TEST(DisplayNoShell, MetacharactersArriveLiterallyAndRunNothing) {
    FakeViewer fake;
    ScratchFolder plain("quorle-meta-");  // no blanks, so the markers stay single words
    const std::string m1 = plain / "m1";
    const std::string m2 = plain / "m2";
    const std::string m3 = plain / "m3";
    const std::string out = plain / "out";
    const std::string line = "fake-viewer a;touch " + m1 + " $(touch " + m2 + ") `touch " + m3 +
                             "` \"c|d\" > " + out + " && echo *";
    const std::string notes = fake.work_dir() + "/notes.txt";
    write_file(notes, "[ZOR_PNotes_File]\nPNotesCommandLine=" + line + "\n");

    EXPECT_EQ(PNDisplayFile(notes.c_str()), 1);
    const std::vector<ViewerRecord> records = fake.wait_for_records(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].args,
              (std::vector<std::string>{"fake-viewer", "a;touch", m1, "$(touch", m2 + ")", "`touch",
                                        m3 + "`", "c|d", ">", out, "&&", "echo", "*"}));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (const std::string& marker : {m1, m2, m3, out}) {
        EXPECT_FALSE(test_support::exists(marker)) << marker;
    }
}

// ---------------------------------------------------------------------------
// Never waiting, leaving nothing behind, many callers at once.

TEST(DisplayHygiene, ReturnsWhileASlowViewerIsStillRunning) {
    FakeViewer fake;
    fake.set_sleep_ms(5000);
    const std::string notes = fake.work_dir() + "/notes.txt";
    write_file(notes, "notes\n");

    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(PNDisplayFile(notes.c_str()), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2));

    const std::vector<ViewerRecord> records = fake.wait_for_records(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(::kill(records[0].pid, 0), 0) << "the viewer should still be running";
    ::kill(records[0].pid, SIGKILL);
}

TEST(DisplayHygiene, LeavesNoChildAfterSeveralCalls) {
    FakeViewer fake;
    const std::string notes = fake.work_dir() + "/notes.txt";
    write_file(notes, "notes\n");
    const std::size_t descriptors = quorle_test::open_descriptor_count();

    constexpr int kCalls = 6;
    for (int i = 0; i < kCalls; ++i) {
        EXPECT_EQ(PNDisplayFile(notes.c_str()), 1);
    }
    EXPECT_EQ(fake.wait_for_records(kCalls).size(), static_cast<std::size_t>(kCalls));
    EXPECT_EQ(quorle_test::children_of_this_process(), std::vector<pid_t>{});
    EXPECT_EQ(quorle_test::open_descriptor_count(), descriptors);
}

TEST(DisplayThreads, EightThreadsAtOnceAllSucceed) {
    FakeViewer fake;
    constexpr int kThreads = 8;
    std::vector<std::string> notes;
    for (int i = 0; i < kThreads; ++i) {
        notes.push_back(fake.work_dir() + "/notes " + std::to_string(i) + ".txt");
        write_file(notes.back(), "notes\n");
    }
    const std::size_t descriptors = quorle_test::open_descriptor_count();

    std::atomic<int> ready{0};
    std::vector<int32_t> results(kThreads, -1);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            ++ready;
            while (ready.load() < kThreads) {
            }
            results[static_cast<std::size_t>(i)] =
                PNDisplayFile(notes[static_cast<std::size_t>(i)].c_str());
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }

    EXPECT_EQ(results, std::vector<int32_t>(kThreads, 1));
    const std::vector<ViewerRecord> records = fake.wait_for_records(kThreads);
    std::set<std::string> shown;
    for (const ViewerRecord& record : records) {
        ASSERT_EQ(record.args.size(), 2u);
        EXPECT_EQ(record.args[0], "notepad.exe");
        shown.insert(record.args[1]);
    }
    EXPECT_EQ(shown, std::set<std::string>(notes.begin(), notes.end()));
    EXPECT_EQ(quorle_test::children_of_this_process(), std::vector<pid_t>{});
    EXPECT_EQ(quorle_test::open_descriptor_count(), descriptors);
}

}  // namespace
