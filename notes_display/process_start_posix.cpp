// Starting the viewer on POSIX systems without a shell and without leaving
// anything behind in the host.
//
// The host must not collect a zombie, must not wait, must not get a SIGCHLD
// and must not lose any of its own state, and the library starts no thread.
// So the viewer is started by a short-lived intermediate child, which exits
// as soon as the viewer's exec has worked or failed; the viewer, then an
// orphan, belongs to init (or the nearest subreaper).
//
// The intermediate is a vfork-style clone (CLONE_VM | CLONE_VFORK) with no
// exit signal: it runs in the host's address space on a stack of its own
// while the calling thread sleeps, so a start costs the same in a small host
// and in one of many gigabytes; the host gets no SIGCHLD for it and its own
// waits (waitpid(-1), wait()) never see it; only a wait with __WCLONE reaps
// it, and that is done here. The intermediate starts the viewer with the C
// library's posix_spawnp, which looks the program up on PATH, reports an
// exec error, and itself starts the viewer vfork-style. The viewer gets the
// null device as its standard input and output, no other descriptor of the
// host, the default action for every signal, an empty signal mask and a
// session of its own.
//
// Everything that allocates (argv, the spawn's file actions and attributes,
// the stack) is prepared before the clone. All signals are blocked in the
// calling thread around the start, so no host handler runs in the
// intermediate, and the thread's errno, which the intermediate shares, is
// kept.
//
// One thing the C library decides: its two internal real-time signals (32
// and 33, which it uses for thread cancellation and set*id calls and which
// sigfillset leaves out) stay ignored in the viewer, as in every program
// started with posix_spawn. Nothing outside the C library's threads uses
// them.
#include "process_start.h"

#include "command_line_split.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
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
// host's threads; this child shares the host's memory instead, and leaves it
// untouched.
// NOLINTNEXTLINE(bugprone-reserved-identifier): the C library's exported name
extern "C" int __clone(int (*function)(void*), void* stack, int flags, void* argument, ...);

// Sanitizer builds: the intermediate's own code is left uninstrumented,
// since a sanitizer's bookkeeping belongs to the host thread whose memory and
// thread-local storage it shares, and its stack is cleared of the shadow
// state left by an earlier start that used the same addresses.
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

// The desktop's own opener (freedesktop.org): it shows a file with the
// program the user's desktop has for its type.
constexpr char kDesktopOpener[] = "xdg-open";

// The intermediate's stack, with an inaccessible page below it so that an
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

// How the viewer starts: its standard descriptors and signal state.
class SpawnSetup {
public:
    SpawnSetup() {
        ok_ = ::posix_spawn_file_actions_init(&actions_) == 0;
        if (!ok_) {
            return;
        }
        actions_ready_ = true;
        ok_ = ::posix_spawnattr_init(&attributes_) == 0;
        if (!ok_) {
            return;
        }
        attributes_ready_ = true;
        sigset_t all_signals;
        sigset_t no_signals;
        ::sigfillset(&all_signals);
        ::sigemptyset(&no_signals);
        const auto flags =
            static_cast<short>(POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSID);
        ok_ = ::posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDWR, 0) == 0 &&
              ::posix_spawn_file_actions_adddup2(&actions_, 0, 1) == 0 &&
              ::posix_spawn_file_actions_adddup2(&actions_, 0, 2) == 0 &&
              ::posix_spawn_file_actions_addclosefrom_np(&actions_, 3) == 0 &&
              ::posix_spawnattr_setflags(&attributes_, flags) == 0 &&
              ::posix_spawnattr_setsigdefault(&attributes_, &all_signals) == 0 &&
              ::posix_spawnattr_setsigmask(&attributes_, &no_signals) == 0;
    }
    ~SpawnSetup() {
        if (actions_ready_) {
            ::posix_spawn_file_actions_destroy(&actions_);
        }
        if (attributes_ready_) {
            ::posix_spawnattr_destroy(&attributes_);
        }
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    bool ok() const { return ok_; }
    const posix_spawn_file_actions_t* actions() const { return &actions_; }
    const posix_spawnattr_t* attributes() const { return &attributes_; }

private:
    posix_spawn_file_actions_t actions_{};
    posix_spawnattr_t attributes_{};
    bool actions_ready_ = false;
    bool attributes_ready_ = false;
    bool ok_ = false;
};

// Everything the intermediate needs, ready before the clone. It writes
// `error` only; the host reads it after the intermediate is gone.
struct Launch {
    std::vector<std::string> words;  // program, then arguments
    std::vector<char*> argv;         // words, null-terminated
    SpawnSetup setup;
    ChildStack stack;
    int error = 0;  // of a failed start, 0 once the viewer runs
};

// Ends the intermediate: the exit system call ends the calling process,
// which the intermediate is.
[[noreturn]] CHILD_CODE void exit_child(int status) {
    ::syscall(SYS_exit, status);
    __builtin_unreachable();
}

CHILD_CODE int run_intermediate(void* argument) {
    Launch& launch = *static_cast<Launch*>(argument);
    pid_t viewer = 0;
    launch.error = ::posix_spawnp(&viewer, launch.argv.front(), launch.setup.actions(),
                                  launch.setup.attributes(), launch.argv.data(), environ);
    exit_child(0);
}

bool start(std::vector<std::string> words) {
    if (words.empty() || words.front().empty()) {
        return false;
    }
    Launch launch;
    if (!launch.stack.ok() || !launch.setup.ok()) {
        return false;
    }
    launch.words = std::move(words);
    for (std::string& word : launch.words) {
        launch.argv.push_back(word.data());
    }
    launch.argv.push_back(nullptr);

    const int saved_errno = errno;
    sigset_t all_signals;
    sigset_t previous;
    ::sigfillset(&all_signals);
    ::pthread_sigmask(SIG_SETMASK, &all_signals, &previous);
    // No exit signal: see the top of this file.
    const pid_t intermediate =
        ::__clone(run_intermediate, launch.stack.top(), CLONE_VM | CLONE_VFORK, &launch);
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (intermediate < 0) {
        return false;
    }
    // The intermediate has exited by now; this only collects it. ECHILD means
    // a host waiting with __WALL took it first, which changes nothing.
    while (::waitpid(intermediate, nullptr, static_cast<int>(__WCLONE)) < 0 && errno == EINTR) {
    }
    errno = saved_errno;
    return launch.error == 0;
}

// Whether `program` names an executable file on PATH (or, with a '/', at
// that path), as posix_spawnp would find it.
bool found_on_path(const std::string& program) {
    const auto executable = [](const std::string& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
               ::access(path.c_str(), X_OK) == 0;
    };
    if (program.find('/') != std::string::npos) {
        return executable(program);
    }
    const char* path = std::getenv("PATH");
    const std::string search = path != nullptr ? path : "/bin:/usr/bin";
    std::size_t begin = 0;
    for (;;) {
        const std::size_t end = search.find(':', begin);
        const std::string directory =
            search.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        if (executable((directory.empty() ? std::string(".") : directory) + "/" + program)) {
            return true;
        }
        if (end == std::string::npos) {
            return false;
        }
        begin = end + 1;
    }
}

}  // namespace

bool start_command_line(const char* line) {
    return start(split_command_line(line));
}

bool start_default_viewer(const char* viewer, const char* file_name) {
    const std::string program = found_on_path(viewer) ? viewer : kDesktopOpener;
    return start({program, std::string(file_name)});
}

}  // namespace quorle
