// Starting the viewer on POSIX systems without a shell and without leaving
// anything behind in the host.
//
// The host must not collect a zombie, must not wait and must not lose any of
// its own state, and the library starts no thread. So the viewer is started
// by a short-lived intermediate child, which exits as soon as the viewer's
// exec has worked or failed; the viewer, then an orphan, belongs to init (or
// the nearest subreaper).
//
// Both children are vfork-style clones (CLONE_VM | CLONE_VFORK): they run in
// the host's address space on stacks of their own, and the thread that
// created each one sleeps until it has exec'd or exited. Nothing of the
// host's memory is copied, so a start costs the same in a small host and in
// one of many gigabytes, and the viewer's exec error comes back through plain
// shared memory. The intermediate's exit signal is none: the host gets no
// SIGCHLD for it, and its own waits (waitpid(-1), wait()) never see it; only
// a wait with __WCLONE reaps it, and that is done here.
//
// Because the children share the host's memory and thread-local storage,
// everything that allocates (argv, the candidate paths from PATH, the
// stacks) is prepared before the first clone, and the children make only
// system calls, straight to the kernel, touching no memory but their stacks
// and the launch record. All signals are blocked in the calling thread around
// the start, so no host handler ever runs in a child; the viewer resets every
// handler to the default before it unblocks them, and the caller's own mask
// is restored right after. Clones run no atfork handlers.
#include "process_start.h"

#include "command_line_split.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

// The C library's own clone, under the name that tools loaded into the host
// leave alone. A sanitizer runtime, for one, wraps `clone` and treats the
// child as a forked copy of the process, resetting its records of all the
// host's threads; these children share the host's memory instead, and leave
// it untouched.
// NOLINTNEXTLINE(bugprone-reserved-identifier): the C library's exported name
extern "C" int __clone(int (*function)(void*), void* stack, int flags, void* argument, ...);

// Sanitizer builds: the code that runs in the children is left
// uninstrumented, since a sanitizer's bookkeeping belongs to the host thread
// whose memory and thread-local storage the children share, and the
// children's stacks are cleared of the shadow state left by an earlier start
// that used the same addresses.
#if defined(__SANITIZE_ADDRESS__)
#define QUORLE_HAS_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORLE_HAS_ASAN 1
#endif
#endif
#if defined(QUORLE_HAS_ASAN)
#include <sanitizer/asan_interface.h>
#define CHILD_CODE __attribute__((no_sanitize("address", "thread", "undefined")))
#define CLEAR_SHADOW(base, size) ASAN_UNPOISON_MEMORY_REGION(base, size)
#else
#define CHILD_CODE __attribute__((no_sanitize("thread", "undefined")))
#define CLEAR_SHADOW(base, size) static_cast<void>(0)
#endif

namespace quorle {

namespace {

// A stack for one child, with an inaccessible page below it so that an
// overflow faults instead of writing into other memory. Stacks grow down on
// every Linux target this library is built for.
class ChildStack {
public:
    static constexpr std::size_t kSize = std::size_t{64} * 1024;

    ChildStack() {
        const long page_size = ::sysconf(_SC_PAGESIZE);
        guard_ = page_size > 0 ? static_cast<std::size_t>(page_size) : 4096;
        void* base = ::mmap(nullptr, guard_ + kSize, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
        if (base == MAP_FAILED) {
            return;
        }
        base_ = static_cast<char*>(base);
        ::mprotect(base_, guard_, PROT_NONE);
        CLEAR_SHADOW(base_ + guard_, kSize);
    }
    ~ChildStack() {
        if (base_ != nullptr) {
            ::munmap(base_, guard_ + kSize);
        }
    }
    ChildStack(const ChildStack&) = delete;
    ChildStack& operator=(const ChildStack&) = delete;

    bool ok() const { return base_ != nullptr; }
    void* top() const { return base_ + guard_ + kSize; }

private:
    char* base_ = nullptr;
    std::size_t guard_ = 0;
};

// Everything the children need, ready before the first clone. The children
// write `error` only; the host reads it after both are gone.
struct Launch {
    std::vector<std::string> words;       // program, then arguments
    std::vector<char*> argv;              // words, null-terminated
    std::vector<std::string> candidates;  // the paths to try, in order
    char** envp = nullptr;
    int open_max = 0;  // for closing descriptors by hand
    ChildStack intermediate_stack;
    ChildStack viewer_stack;
    int error = 0;  // errno of a failed start, 0 once the viewer runs
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
        if (directory.empty()) {
            paths.push_back(program);
        } else {
            paths.push_back(directory);
            paths.back().append(1, '/').append(program);
        }
        if (end == std::string::npos) {
            break;
        }
        begin = end + 1;
    }
    return paths;
}

void prepare(Launch& launch, std::vector<std::string> words) {
    launch.words = std::move(words);
    for (std::string& word : launch.words) {
        launch.argv.push_back(word.data());
    }
    launch.argv.push_back(nullptr);
    launch.candidates = candidate_paths(launch.words.front());
    launch.envp = environ;
    const long open_max = ::sysconf(_SC_OPEN_MAX);
    launch.open_max = open_max > 0 && open_max < 0x7fffffff ? static_cast<int>(open_max) : 1024;
}

// From here to start(): code that runs in the children, on their own stacks
// in the host's memory. They make their system calls directly, never through
// the C library's wrappers: a tool loaded into the host may wrap those (a
// sanitizer keeps records of descriptors, signal handlers and the process's
// end), and whatever a wrapper records would land in the host's memory, which
// the children share. Each child is a process of its own, with its own
// descriptor table and signal handlers.

// The kernel's signals and the size of its signal set, one bit each, and a
// signal action with the default handler, no flags and an empty mask: all
// zero in every layout the kernel's action structure has.
constexpr int kKernelSignals = 64;
constexpr std::size_t kKernelSignalSetSize = kKernelSignals / 8;
struct KernelSignalAction {
    unsigned long words[4];
};

// Ends a child. The exit system call ends the calling process, which each
// child is.
[[noreturn]] CHILD_CODE void exit_child(int status) {
    ::syscall(SYS_exit, status);
    __builtin_unreachable();
}

[[noreturn]] CHILD_CODE void fail_in_child(Launch& launch, int error) {
    launch.error = error;
    exit_child(127);
}

// Handlers and ignored signals of the host are not the viewer's business.
CHILD_CODE void reset_signals() {
    const KernelSignalAction default_action{};
    for (int signal_number = 1; signal_number <= kKernelSignals; ++signal_number) {
        ::syscall(SYS_rt_sigaction, signal_number, &default_action, nullptr, kKernelSignalSetSize);
    }
    const unsigned long long no_signals = 0;
    ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &no_signals, nullptr, kKernelSignalSetSize);
}

// Standard input and output go to the null device; every other descriptor of
// the host is closed by the exec.
CHILD_CODE int redirect_descriptors(const Launch& launch) {
    const long null_fd = ::syscall(SYS_openat, AT_FDCWD, "/dev/null", O_RDWR);
    if (null_fd < 0) {
        return errno;
    }
    for (long fd = 0; fd <= 2; ++fd) {
        if (null_fd != fd && ::syscall(SYS_dup3, null_fd, fd, 0) < 0) {
            return errno;
        }
    }
    if (null_fd > 2) {
        ::syscall(SYS_close, null_fd);
    }
    if (::syscall(SYS_close_range, 3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        for (long fd = 3; fd < launch.open_max; ++fd) {
            ::syscall(SYS_close, fd);
        }
    }
    return 0;
}

// Tries the candidates as execvp does, without its fall-back to a shell for
// files that are not executables, and returns the error that ended the
// search. A candidate that is missing or not permitted lets the search go
// on; any other failure (not an executable format, for one) ends it.
CHILD_CODE int exec_candidates(const Launch& launch) {
    int error = ENOENT;
    for (const std::string& path : launch.candidates) {
        ::syscall(SYS_execve, path.c_str(), launch.argv.data(), launch.envp);
        error = errno;
        if (error != EACCES && error != ENOENT && error != ENOTDIR && error != ESTALE &&
            error != ENODEV && error != ETIMEDOUT) {
            break;
        }
    }
    return error;
}

CHILD_CODE int run_viewer(void* argument) {
    Launch& launch = *static_cast<Launch*>(argument);
    ::syscall(SYS_setsid);
    reset_signals();
    const int error = redirect_descriptors(launch);
    fail_in_child(launch, error != 0 ? error : exec_candidates(launch));
}

// The intermediate sleeps until the viewer has exec'd or failed, then exits,
// which wakes the host. The viewer's exit signal is the ordinary SIGCHLD, for
// whoever adopts it.
CHILD_CODE int run_intermediate(void* argument) {
    Launch& launch = *static_cast<Launch*>(argument);
    if (::__clone(run_viewer, launch.viewer_stack.top(), CLONE_VM | CLONE_VFORK | SIGCHLD,
                  &launch) < 0) {
        launch.error = errno;
    }
    exit_child(0);
}

bool start(std::vector<std::string> words) {
    if (words.empty() || words.front().empty()) {
        return false;
    }
    Launch launch;
    if (!launch.intermediate_stack.ok() || !launch.viewer_stack.ok()) {
        return false;
    }
    prepare(launch, std::move(words));

    sigset_t all_signals;
    sigset_t previous;
    ::sigfillset(&all_signals);
    ::pthread_sigmask(SIG_SETMASK, &all_signals, &previous);
    // No exit signal: see the top of this file.
    const pid_t intermediate = ::__clone(run_intermediate, launch.intermediate_stack.top(),
                                         CLONE_VM | CLONE_VFORK, &launch);
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (intermediate < 0) {
        return false;
    }
    // The intermediate has exited by now; this only collects it. ECHILD means
    // a host waiting with __WALL took it first, which changes nothing.
    while (::waitpid(intermediate, nullptr, static_cast<int>(__WCLONE)) < 0 && errno == EINTR) {
    }
    return launch.error == 0;
}

}  // namespace

bool start_command_line(const char* line) {
    return start(split_command_line(line));
}

bool start_default_viewer(const char* viewer, const char* file_name) {
    return start({std::string(viewer), std::string(file_name)});
}

}  // namespace quorle
