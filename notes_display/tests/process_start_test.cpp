// The POSIX process start: failures reported honestly, no shell, and nothing
// of the host handed to the viewer or left behind in the host.
#include "process_start.h"
#include "viewer_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace {

using quorle_test::expand;
using quorle_test::FakeViewer;
using quorle_test::ViewerRecord;
using test_support::write_file;

// ---------------------------------------------------------------------------
// Which lines start and which do not, run from the work folder, which holds a
// link `local-viewer` to the fake viewer. {BIN} and {WORK} are expanded.

constexpr const char* kUnset = "<unset>";

struct StartRow {
    const char* name;
    const char* line;
    bool expected;
    const char* path = nullptr;  // PATH for the start; nullptr: {BIN} first; kUnset
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
    {"name_with_slash_is_taken_from_the_current_folder", "./local-viewer a", true},
    {"current_folder_is_not_searched_by_itself", "local-viewer a", false},
    {"empty_path_entry_is_the_current_folder", "local-viewer a", true, "/nonexistent:"},
    // The system's default path holds env, which runs the fake viewer.
    {"unset_path_gives_the_system_default", "env \"{BIN}/fake-viewer\"", true, kUnset},
};

class StartTest : public ::testing::TestWithParam<StartRow> {};

TEST_P(StartTest, ReportsWhetherTheProgramStarted) {
    const StartRow& row = GetParam();
    FakeViewer fake;
    write_file(fake.work_dir() + "/data.txt", "data\n");
    const std::string marker = fake.work_dir() + "/marker";
    write_file(fake.work_dir() + "/script", "touch '" + marker + "'\n");
    ASSERT_EQ(::chmod((fake.work_dir() + "/script").c_str(), 0755), 0);
    std::filesystem::create_symlink(fake.bin_dir() + "/fake-viewer",
                                    fake.work_dir() + "/local-viewer");
    const test_support::WorkingFolder folder(fake.work_dir());
    if (row.path == kUnset) {
        ::unsetenv("PATH");
    } else if (row.path != nullptr) {
        ::setenv("PATH", row.path, 1);
    }

    EXPECT_EQ(quorle::start_command_line(expand(row.line, fake).c_str()), row.expected);
    if (row.expected) {
        EXPECT_EQ(fake.wait_for_records(1).size(), 1u);
    }
    EXPECT_EQ(fake.records_after_grace().size(), row.expected ? 1u : 0u);
    EXPECT_FALSE(test_support::exists(marker));
}

INSTANTIATE_TEST_SUITE_P(Rows, StartTest, ::testing::ValuesIn(kStartRows), test_support::RowName());

TEST(StartDefaultViewer, PassesTheFileNameAsOneArgumentUnchanged) {
    FakeViewer fake;
    const std::string name = fake.work_dir() + "/a \"quoted\" name\\ with\ttab and $(x).txt";
    EXPECT_TRUE(quorle::start_default_viewer("notepad.exe", name.c_str()));
    const std::vector<ViewerRecord> records = fake.wait_for_records(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].args, (std::vector<std::string>{"notepad.exe", name}));
}

// Which program shows a notes file by default on Linux: notepad.exe where a
// setup provides one, else the desktop's opener; neither found is a failure.
struct DefaultViewerRow {
    const char* name;
    std::vector<std::string> on_path;  // the only programs on PATH
    const char* started;               // none: the start fails
};

class DefaultViewer : public ::testing::TestWithParam<DefaultViewerRow> {};

TEST_P(DefaultViewer, NotepadElseTheDesktopOpener) {
    const DefaultViewerRow& row = GetParam();
    FakeViewer fake(row.on_path, false);
    const std::string name = fake.work_dir() + "/release notes.txt";
    EXPECT_EQ(quorle::start_default_viewer("notepad.exe", name.c_str()), row.started != nullptr);
    if (row.started == nullptr) {
        EXPECT_TRUE(fake.records_after_grace().empty());
        return;
    }
    const std::vector<ViewerRecord> records = fake.wait_for_records(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].args, (std::vector<std::string>{row.started, name}));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DefaultViewer,
    ::testing::Values(DefaultViewerRow{"notepad_found", {"notepad.exe", "xdg-open"}, "notepad.exe"},
                      DefaultViewerRow{"opener_without_notepad", {"xdg-open"}, "xdg-open"},
                      DefaultViewerRow{"neither", {}, nullptr}),
    [](const auto& row) { return std::string(row.param.name); });

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
    // Nothing ignored but the C library's two internal real-time signals (32
    // and 33), which its posix_spawn leaves ignored in every program it starts.
    EXPECT_EQ(fields.at("sigign"), "0000000180000000");
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

// Hosts with process-wide settings of their own (each row in a process of its
// own): SIGCHLD ignored, handled by a handler that reaps every child, or
// counted (a start must send the host none); a child of the host's own, which
// the host must still find and reap itself; fork handlers, which a start must
// not run.
volatile sig_atomic_t fork_handler_calls = 0;
volatile sig_atomic_t sigchld_count = 0;
pid_t own_child = 0;

void count_fork_handler_call() {
    fork_handler_calls = fork_handler_calls + 1;
}

void reap_everything(int) {
    const int saved = errno;
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    errno = saved;
}

void count_sigchld(int) {
    sigchld_count = sigchld_count + 1;
}

// The host's own child, waiting to be reaped with exit status 7.
void start_own_child() {
    own_child = ::fork();
    if (own_child == 0) {
        ::_exit(7);
    }
}

int own_child_not_found() {
    int status = 0;
    const bool found =
        ::waitpid(-1, &status, 0) == own_child && WIFEXITED(status) && WEXITSTATUS(status) == 7;
    const bool no_other_child = ::waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD;
    return found && no_other_child ? 0 : 1;
}

void handle_sigchld(void (*handler)(int)) {
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    action.sa_handler = handler;
    ::sigaction(SIGCHLD, &action, nullptr);
}

struct HostRow {
    const char* name;
    void (*set_up)();
    int (*wrong_after)() = [] { return 0; };  // checks of the host's state afterwards
};

void PrintTo(const HostRow& row, std::ostream* out) {
    *out << row.name;
}

const HostRow kHostRows[] = {
    {"sigchld_ignored", [] { handle_sigchld(SIG_IGN); }},
    {"sigchld_reaping_handler", [] { handle_sigchld(reap_everything); }},
    {"sigchld_counted", [] { handle_sigchld(count_sigchld); },
     [] { return static_cast<int>(sigchld_count); }},
    {"own_child_stays_the_hosts", start_own_child, own_child_not_found},
    {"fork_handlers",
     [] {
         ::pthread_atfork(count_fork_handler_call, count_fork_handler_call,
                          count_fork_handler_call);
     }},
};

class HostTest : public ::testing::TestWithParam<HostRow> {};

TEST_P(HostTest, ResultsStayCorrect) {
    const HostRow& row = GetParam();
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            FakeViewer fake;
            row.set_up();
            int wrong = 0;
            for (int i = 0; i < 5; ++i) {
                wrong += quorle::start_command_line("fake-viewer") ? 0 : 1;
                wrong += quorle::start_command_line("no-such-viewer-q7") ? 1 : 0;
            }
            wrong += fake.wait_for_records(5).size() == 5 ? 0 : 1;
            wrong += fork_handler_calls;
            wrong += row.wrong_after();
            std::_Exit(wrong);
        },
        ::testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(Rows, HostTest, ::testing::ValuesIn(kHostRows), test_support::RowName());

}  // namespace
