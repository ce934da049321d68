// The POSIX process start: failures reported honestly, no shell, and nothing
// of the host handed to the viewer or left behind in the host.
#include "process_start.h"
#include "test_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

namespace {

using quorle_test::FakeViewer;
using quorle_test::ViewerRecord;
using quorle_test::write_file;

// ---------------------------------------------------------------------------
// Which lines start and which do not. {BIN} and {WORK} are expanded.

struct StartRow {
    const char* name;
    const char* line;
    bool expected;
};

void PrintTo(const StartRow& row, std::ostream* out) {
    *out << row.name;
}

const StartRow kStartRows[] = {
    {"found_on_path", "fake-viewer a", true},
    {"absolute_path", "\"{BIN}/fake-viewer\" a", true},
    {"empty_line", "", false},
    {"blank_line", "   ", false},
    {"missing_program", "no-such-viewer-q7 a", false},
    {"missing_absolute_path", "\"{WORK}/missing\" a", false},
    {"directory", "\"{WORK}\"", false},
    {"file_without_execute_permission", "\"{WORK}/data.txt\"", false},
    // Executable text without "#!": execvp would hand it to a shell; here it
    // fails, and the marker it would create stays absent.
    {"script_without_interpreter_line_is_not_run", "\"{WORK}/script\"", false},
    {"name_with_slash_is_not_looked_up_on_path", "./fake-viewer a", false},
};

std::string expand(std::string text, const FakeViewer& fake) {
    for (const auto& [key, value] :
         {std::pair<std::string, std::string>{"{BIN}", fake.bin_dir()},
          std::pair<std::string, std::string>{"{WORK}", fake.work_dir()}}) {
        for (std::size_t at = text.find(key); at != std::string::npos;
             at = text.find(key, at + value.size())) {
            text.replace(at, key.size(), value);
        }
    }
    return text;
}

class StartTest : public ::testing::TestWithParam<StartRow> {};

TEST_P(StartTest, ReportsWhetherTheProgramStarted) {
    const StartRow& row = GetParam();
    FakeViewer fake;
    write_file(fake.work_dir() + "/data.txt", "data\n");
    const std::string marker = fake.work_dir() + "/marker";
    write_file(fake.work_dir() + "/script", "touch '" + marker + "'\n");
    ASSERT_EQ(::chmod((fake.work_dir() + "/script").c_str(), 0755), 0);

    EXPECT_EQ(quorle::start_command_line(expand(row.line, fake).c_str()), row.expected);
    EXPECT_EQ(fake.wait_for_records(row.expected ? 1 : 0).size(), row.expected ? 1u : 0u);
    EXPECT_TRUE(fake.records_after_grace().size() == (row.expected ? 1u : 0u));
    EXPECT_FALSE(quorle_test::exists(marker));
}

INSTANTIATE_TEST_SUITE_P(Rows, StartTest, ::testing::ValuesIn(kStartRows),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(StartDefaultViewer, PassesTheFileNameAsOneArgumentUnchanged) {
    FakeViewer fake;
    const std::string name = fake.work_dir() + "/a \"quoted\" name\\ with\ttab and $(x).txt";
    EXPECT_TRUE(quorle::start_default_viewer("notepad.exe", name.c_str()));
    const std::vector<ViewerRecord> records = fake.wait_for_records(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].args, (std::vector<std::string>{"notepad.exe", name}));
}

TEST(StartDefaultViewer, MissingViewerIsReported) {
    FakeViewer fake;
    EXPECT_FALSE(quorle::start_default_viewer("no-such-viewer-q7", "/etc/hostname"));
}

// ---------------------------------------------------------------------------
// What the viewer inherits, and what the host keeps.

TEST(StartHygiene, ViewerGetsNoHostDescriptorAndACleanSignalState) {
    FakeViewer fake;
    // Host state a careless start would pass on: a descriptor without
    // close-on-exec, an ignored signal, a blocked signal.
    const int leaked = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 3);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous_action {};
    ASSERT_EQ(::sigaction(SIGUSR1, &ignore, &previous_action), 0);
    sigset_t block;
    sigset_t previous_mask;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR2);
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &block, &previous_mask), 0);

    EXPECT_TRUE(quorle::start_command_line("fake-viewer"));

    // The host's own state is untouched.
    sigset_t mask_after;
    ::pthread_sigmask(SIG_SETMASK, nullptr, &mask_after);
    EXPECT_EQ(sigismember(&mask_after, SIGUSR2), 1);
    EXPECT_EQ(sigismember(&mask_after, SIGTERM), 0);
    struct sigaction action_after {};
    ::sigaction(SIGUSR1, nullptr, &action_after);
    EXPECT_EQ(action_after.sa_handler, SIG_IGN);
    ::pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);
    ::sigaction(SIGUSR1, &previous_action, nullptr);
    ::close(leaked);

    const std::vector<ViewerRecord> records = fake.wait_for_records(1);
    ASSERT_EQ(records.size(), 1u);
    const auto& fields = records[0].fields;
    EXPECT_EQ(fields.at("fds"), "0,1,2");
    EXPECT_EQ(fields.at("stdin"), "/dev/null");
    EXPECT_EQ(fields.at("stdout"), "/dev/null");
    EXPECT_EQ(fields.at("stderr"), "/dev/null");
    EXPECT_EQ(fields.at("sigblk"), "0000000000000000");
    EXPECT_EQ(fields.at("sigign"), "0000000000000000");
    EXPECT_EQ(fields.at("session_leader"), "1");
}

TEST(StartHygiene, WorksWhenTheHostClosedItsStandardDescriptors) {
    FakeViewer fake;
    const int saved_out = ::dup(1);
    const int saved_in = ::dup(0);
    ::close(0);
    ::close(1);
    const bool started = quorle::start_command_line("fake-viewer closed");
    const bool missing = quorle::start_command_line("no-such-viewer-q7");
    ::dup2(saved_in, 0);
    ::dup2(saved_out, 1);
    ::close(saved_in);
    ::close(saved_out);
    EXPECT_TRUE(started);
    EXPECT_FALSE(missing);
    const std::vector<ViewerRecord> records = fake.wait_for_records(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].fields.at("stdout"), "/dev/null");
}

// Hosts that handle SIGCHLD themselves: the intermediate child may be reaped
// by the host (or by the kernel) before the start looks for it.
enum class ChildHandling { ignored, reaping_handler };

void reap_everything(int) {
    const int saved = errno;
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    errno = saved;
}

struct HostRow {
    const char* name;
    ChildHandling handling;
};

void PrintTo(const HostRow& row, std::ostream* out) {
    *out << row.name;
}

const HostRow kHostRows[] = {
    {"sigchld_ignored", ChildHandling::ignored},
    {"sigchld_reaping_handler", ChildHandling::reaping_handler},
};

class HostTest : public ::testing::TestWithParam<HostRow> {};

TEST_P(HostTest, ResultsStayCorrect) {
    const HostRow& row = GetParam();
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            FakeViewer fake;
            struct sigaction action {};
            sigemptyset(&action.sa_mask);
            action.sa_flags = SA_RESTART;
            action.sa_handler = row.handling == ChildHandling::ignored ? SIG_IGN : reap_everything;
            ::sigaction(SIGCHLD, &action, nullptr);
            int wrong = 0;
            for (int i = 0; i < 5; ++i) {
                wrong += quorle::start_command_line("fake-viewer") ? 0 : 1;
                wrong += quorle::start_command_line("no-such-viewer-q7") ? 1 : 0;
            }
            wrong += fake.wait_for_records(5).size() == 5 ? 0 : 1;
            std::_Exit(wrong);
        },
        ::testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(Rows, HostTest, ::testing::ValuesIn(kHostRows),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
