// Starting the viewer on POSIX systems without a shell and without leaving
// anything behind in the host.
//
// The host must not collect a zombie, must not wait and must not lose any of
// its own state, and the library starts no thread. So the start is a double
// fork: the calling thread forks an intermediate child, which forks the viewer
// and exits at once; the caller reaps the intermediate straight away, and the
// viewer, now an orphan, belongs to init (or the nearest subreaper). Whether
// the exec worked comes back over a close-on-exec pipe: end of file means the
// new image is running, four bytes are the errno of the failure.
//
// The host may be multi-threaded, so everything that allocates (argv, the
// candidate paths from PATH) is prepared before the fork; between fork and
// exec only async-signal-safe calls are made. Both forks skip the atfork
// handlers, which are the host's and have nothing to do in a child that only
// execs. All signals are blocked in the calling thread around the fork, so no
// host handler ever runs in a child; the caller's own mask is restored right
// after.
#include "process_start.h"

#include "command_line_split.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace quorle {

namespace {

// Everything the child needs, ready before the fork.
struct Launch {
    std::vector<std::string> words;       // program, then arguments
    std::vector<char*> argv;              // words, null-terminated
    std::vector<std::string> candidates;  // the paths to try, in order
    char** envp = nullptr;
    int open_max = 0;  // for closing descriptors by hand
};

// The paths a program name stands for, as execvp has them: the name itself
// when it contains a '/', else each PATH directory in turn, an empty entry
// meaning the current directory. Without PATH the system's default path
// (confstr _CS_PATH) is used. The current directory is searched only when
// PATH says so.
std::vector<std::string> candidate_paths(const std::string& program) {
    if (program.find('/') != std::string::npos) {
        return {program};
    }
    std::string search;
    if (const char* path = std::getenv("PATH")) {
        search = path;
    } else {
        const std::size_t size = ::confstr(_CS_PATH, nullptr, 0);
        if (size > 0) {
            search.resize(size);
            ::confstr(_CS_PATH, search.data(), size);
            search.resize(size - 1);
        }
    }
    std::vector<std::string> paths;
    std::size_t begin = 0;
    for (;;) {
        const std::size_t end = search.find(':', begin);
        const std::string directory =
            search.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        paths.push_back(directory.empty() ? program : directory + '/' + program);
        if (end == std::string::npos) {
            break;
        }
        begin = end + 1;
    }
    return paths;
}

Launch prepare(std::vector<std::string> words) {
    Launch launch;
    launch.words = std::move(words);
    for (std::string& word : launch.words) {
        launch.argv.push_back(word.data());
    }
    launch.argv.push_back(nullptr);
    launch.candidates = candidate_paths(launch.words.front());
    launch.envp = environ;
    const long open_max = ::sysconf(_SC_OPEN_MAX);
    launch.open_max = open_max > 0 && open_max < 0x7fffffff ? static_cast<int>(open_max) : 1024;
    return launch;
}

// A fork that runs no atfork handlers and is itself async-signal-safe, so the
// intermediate child may use it too (glibc 2.34 and later; elsewhere fork).
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
pid_t fork_without_handlers() {
    return ::_Fork();
}
#else
pid_t fork_without_handlers() {
    return ::fork();
}
#endif

[[noreturn]] void fail_in_child(int report_fd, int error) {
    ssize_t ignored = ::write(report_fd, &error, sizeof error);
    static_cast<void>(ignored);
    ::_exit(127);
}

// The viewer's side, between fork and exec: async-signal-safe calls only.
[[noreturn]] void become_viewer(const Launch& launch, int report_fd) {
    ::setsid();

    // Handlers and ignored signals of the host are not the viewer's business.
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    ::sigemptyset(&default_action.sa_mask);
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        ::sigaction(signal_number, &default_action, nullptr);
    }
    sigset_t no_signals;
    ::sigemptyset(&no_signals);
    ::sigprocmask(SIG_SETMASK, &no_signals, nullptr);

    // Standard input and output go to the null device; every other descriptor
    // of the host is closed by the exec.
    const int null_fd = ::open("/dev/null", O_RDWR);
    if (null_fd < 0) {
        fail_in_child(report_fd, errno);
    }
    for (int fd = 0; fd <= 2; ++fd) {
        if (null_fd != fd && ::dup2(null_fd, fd) < 0) {
            fail_in_child(report_fd, errno);
        }
    }
    if (null_fd > 2) {
        ::close(null_fd);
    }
    if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        for (int fd = 3; fd < launch.open_max; ++fd) {
            if (fd != report_fd) {
                ::close(fd);
            }
        }
    }

    // Try the candidates as execvp does, without its fall-back to a shell for
    // files that are not executables.
    // A candidate that is missing or not permitted lets the search go on; any
    // other failure (not an executable format, for one) ends it.
    int error = ENOENT;
    for (const std::string& path : launch.candidates) {
        ::execve(path.c_str(), launch.argv.data(), launch.envp);
        error = errno;
        if (error != EACCES && error != ENOENT && error != ENOTDIR && error != ESTALE &&
            error != ENODEV && error != ETIMEDOUT) {
            break;
        }
    }
    fail_in_child(report_fd, error);
}

[[noreturn]] void run_intermediate(const Launch& launch, int report_fd) {
    const pid_t viewer = fork_without_handlers();
    if (viewer == 0) {
        become_viewer(launch, report_fd);
    }
    if (viewer < 0) {
        fail_in_child(report_fd, errno);
    }
    ::_exit(0);
}

// A close-on-exec pipe whose ends are above the standard descriptors, so the
// viewer's redirection of 0 to 2 cannot hit it even in a host that closed them.
bool make_report_pipe(int (&fds)[2]) {
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    for (int& fd : fds) {
        if (fd <= 2) {
            const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
            ::close(fd);
            fd = moved;
        }
    }
    if (fds[0] < 0 || fds[1] < 0) {
        if (fds[0] >= 0) ::close(fds[0]);
        if (fds[1] >= 0) ::close(fds[1]);
        return false;
    }
    return true;
}

bool start(std::vector<std::string> words) {
    if (words.empty() || words.front().empty()) {
        return false;
    }
    const Launch launch = prepare(std::move(words));

    int report[2];
    if (!make_report_pipe(report)) {
        return false;
    }

    sigset_t all_signals;
    sigset_t previous;
    ::sigfillset(&all_signals);
    ::pthread_sigmask(SIG_SETMASK, &all_signals, &previous);
    const pid_t intermediate = fork_without_handlers();
    if (intermediate == 0) {
        ::close(report[0]);
        run_intermediate(launch, report[1]);
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ::close(report[1]);
    if (intermediate < 0) {
        ::close(report[0]);
        return false;
    }

    // The intermediate exits at once. ECHILD means the host reaps children
    // itself or ignores SIGCHLD; the pipe still tells the outcome then.
    bool intermediate_ok = true;
    for (;;) {
        int status = 0;
        const pid_t reaped = ::waitpid(intermediate, &status, 0);
        if (reaped == intermediate) {
            intermediate_ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
            break;
        }
        if (reaped < 0 && errno == EINTR) {
            continue;
        }
        break;
    }

    // End of file once the viewer's exec has closed the last write end.
    int child_error = 0;
    ssize_t received = 0;
    do {
        received = ::read(report[0], &child_error, sizeof child_error);
    } while (received < 0 && errno == EINTR);
    ::close(report[0]);
    return intermediate_ok && received == 0;
}

}  // namespace

bool start_command_line(const char* line) {
    return start(split_command_line(line));
}

bool start_default_viewer(const char* viewer, const char* file_name) {
    return start({std::string(viewer), std::string(file_name)});
}

}  // namespace quorle
