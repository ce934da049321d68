// Vestrel with pipes where files are expected: a run log that is a FIFO
// without a reader, and a standard error whose reader has gone. Neither may
// stop the run or change the exit status.
#include "probe_record.h"
#include "run_program.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string result(const char* key) {
    return probe_record::result_value("./request.ini", key);
}

TEST(Pipes, LogFifoWithoutReaderIsSkipped) {
    test_support::ScratchWorkingFolder folder;
    ASSERT_EQ(mkfifo("run.log", 0600), 0);
    test_support::write_file("request.ini", "[Vestrel]\nLogFile=run.log\nLptPort=1\n");

    const ProgramRun run = run_program(VESTREL_PROGRAM, {"./request.ini"},
                                       library_folder_environment(SIMULATED_DRIVER_DIR));

    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(result("ReturnValue"), "Success");
    EXPECT_EQ(result("FailureReason"), "./request.ini: port = 1, addr = 888");
}

// The missing-argument warning goes to a standard error whose read end is
// closed: the write fails and the exit status is still 0.
TEST(Pipes, ClosedStandardErrorKeepsExitStatusZero) {
    test_support::ScratchWorkingFolder folder;
    int err_pipe[2];
    ASSERT_EQ(pipe(err_pipe), 0);
    close(err_pipe[0]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, err_pipe[1]);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &pipe_signal);  // not inherited as ignored
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);

    char* argv[] = {const_cast<char*>(VESTREL_PROGRAM), nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, VESTREL_PROGRAM, &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(err_pipe[1]);
    ASSERT_EQ(spawned, 0);

    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
