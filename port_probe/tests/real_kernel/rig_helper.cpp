// The real-kernel rig's helper inside the guest, linked statically (the
// guest has busybox and the installed tree, nothing else):
//
//   rig_helper run root|nobody|lp PROGRAM [ARG...]
//       runs PROGRAM as root, as nobody without groups, or as nobody in group
//       lp, waits for it and prints "ELAPSED_MS STATUS" (STATUS: the exit
//       status, or 128 + the signal that ended it);
//   rig_helper cap set|clear FILE
//       gives FILE the file capability cap_sys_rawio=ep, or takes it away;
//   rig_helper mark begin|end N
//       writes the marker that starts or ends scenario N into the data
//       register of the port at 0x378 (see kBeginMarker), with raw access
//       when the kernel allows it, otherwise through that port's
//       /dev/parportN; prints "raw" or "ppdev";
//   rig_helper hold READY_FILE
//       claims the port at 0x378 through its /dev/parportN, creates
//       READY_FILE and sleeps until it is killed;
//   rig_helper watch REPORT root|nobody|lp PROGRAM [ARG...]
//       as run, with PROGRAM traced (ptrace) from its exec on; REPORT
//       receives one line per observation, in order:
//         exec CAPS                  the capability sets the exec gave it
//         ioperm FROM NUM ON = RESULT   every ioperm call (FROM in hex)
//         iopl LEVEL = RESULT
//         capset = RESULT
//         NAME CAPS                  the first system call that names a file
//                                    whose name ends in NAME (request.ini,
//                                    TROV.INI, run.log), made with these sets
//       CAPS is "CapInh=X CapPrm=X CapEff=X" as /proc/PID/status shows them.
//
// Exit status 0 on success, 1 with a message on standard error otherwise.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <linux/ppdev.h>
#include <sys/io.h>
#include <sys/ioctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

const unsigned kMarkedPort = 0x378;
// A marker is two data-register writes: this byte, then the scenario's
// number. Neither the probe nor the kernel after its detection of the port
// writes the data register, and the detection never writes these pairs.
const unsigned char kBeginMarker = 0xA5;
const unsigned char kEndMarker = 0x5A;
const uid_t kNobody = 65534;
const gid_t kNogroup = 65534;
const gid_t kLp = 7;

int fail(const char* what) {
    std::fprintf(stderr, "rig_helper: %s: %s\n", what, std::strerror(errno));
    return 1;
}

// The /dev/parportN whose base is kMarkedPort, or "".
std::string node_of_marked_port() {
    for (int n = 0; n < 8; ++n) {
        std::ifstream in("/proc/sys/dev/parport/parport" + std::to_string(n) + "/base-addr");
        unsigned base = 0;
        if (in >> base && base == kMarkedPort) return "/dev/parport" + std::to_string(n);
    }
    return "";
}

// An opened and claimed node of the port at kMarkedPort, or -1.
int claim_marked_port() {
    const std::string node = node_of_marked_port();
    if (node.empty()) {
        errno = ENODEV;
        return -1;
    }
    const int fd = open(node.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return -1;
    if (ioctl(fd, PPCLAIM) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Turns the child into `user` (root stays root): nobody without groups, or
// nobody in group lp. False when that fails.
bool become(const char* user) {
    if (std::strcmp(user, "root") == 0) return true;
    const gid_t groups[] = {kLp};
    const bool in_lp = std::strcmp(user, "lp") == 0;
    return setgroups(in_lp ? 1 : 0, groups) == 0 && setresgid(kNogroup, kNogroup, kNogroup) == 0 &&
           setresuid(kNobody, kNobody, kNobody) == 0;
}

long long elapsed_ms_since(const timespec& start) {
    timespec end = {};
    clock_gettime(CLOCK_MONOTONIC, &end);
    return (end.tv_sec - start.tv_sec) * 1000LL + (end.tv_nsec - start.tv_nsec) / 1000000LL;
}

int print_outcome(const timespec& start, int status) {
    std::printf("%lld %d\n", elapsed_ms_since(start),
                WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    return 0;
}

int run(const char* user, char** program) {
    timespec start = {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    const pid_t child = fork();
    if (child < 0) return fail("fork");
    if (child == 0) {
        if (!become(user)) _exit(fail("dropping privileges"));
        execv(program[0], program);
        _exit(fail(program[0]));
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR) return fail("waitpid");
    return print_outcome(start, status);
}

// "CapInh=X CapPrm=X CapEff=X" from /proc/PID/status.
std::string capability_sets(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string text;
    for (std::string line; std::getline(in, line);)
        for (const char* field : {"CapInh:", "CapPrm:", "CapEff:"})
            if (line.rfind(field, 0) == 0) {
                std::string value = line.substr(std::strlen(field));
                value.erase(0, value.find_first_not_of(" \t"));
                text += (text.empty() ? "" : " ") + std::string(field, std::strlen(field) - 1) +
                        "=" + value;
            }
    return text;
}

// A NUL-terminated string in the traced process (at most 4 KiB).
std::string traced_string(pid_t pid, unsigned long long address) {
    std::string text;
    for (unsigned long long at = address; text.size() < 4096; at += sizeof(long)) {
        errno = 0;
        const long word = ptrace(PTRACE_PEEKDATA, pid, at, nullptr);
        if (errno != 0) break;
        const char* bytes = reinterpret_cast<const char*>(&word);
        for (std::size_t i = 0; i < sizeof word; ++i) {
            if (bytes[i] == '\0') return text;
            text += bytes[i];
        }
    }
    return text;
}

// The file name a system call is given, for the calls that take one.
std::string named_file(pid_t pid, const user_regs_struct& regs) {
    switch (regs.orig_rax) {
        case SYS_open:
        case SYS_stat:
        case SYS_lstat:
        case SYS_access:
        case SYS_creat:
            return traced_string(pid, regs.rdi);
        case SYS_openat:
        case SYS_newfstatat:
        case SYS_statx:
        case SYS_faccessat:
        case SYS_faccessat2:
            return traced_string(pid, regs.rsi);
        default:
            return "";
    }
}

bool ends_with(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

int watch(const char* report_path, const char* user, char** program) {
    std::FILE* report = std::fopen(report_path, "w");
    if (report == nullptr) return fail(report_path);
    timespec start = {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    const pid_t child = fork();
    if (child < 0) return fail("fork");
    if (child == 0) {
        // Traced by root, the exec still gives the program its file
        // capabilities.
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(fail("PTRACE_TRACEME"));
        if (!become(user)) _exit(fail("dropping privileges"));
        execv(program[0], program);
        _exit(fail(program[0]));
    }
    int status = 0;
    if (waitpid(child, &status, 0) < 0 || !WIFSTOPPED(status)) return fail("the exec stop");
    std::fprintf(report, "exec %s\n", capability_sets(child).c_str());
    ptrace(
        PTRACE_SETOPTIONS, child, nullptr,
        reinterpret_cast<void*>(static_cast<intptr_t>(PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL)));
    std::vector<std::string> unseen = {"request.ini", "TROV.INI", "run.log"};
    bool entering = true;
    user_regs_struct regs = {};
    int signal_to_pass = 0;
    for (;;) {
        void* signal_data = reinterpret_cast<void*>(static_cast<intptr_t>(signal_to_pass));
        if (ptrace(PTRACE_SYSCALL, child, nullptr, signal_data) != 0) return fail("PTRACE_SYSCALL");
        signal_to_pass = 0;
        if (waitpid(child, &status, 0) < 0) return fail("waitpid");
        if (WIFEXITED(status) || WIFSIGNALED(status)) break;
        if (!WIFSTOPPED(status)) continue;
        if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
            signal_to_pass = WSTOPSIG(status);
            continue;
        }
        ptrace(PTRACE_GETREGS, child, nullptr, &regs);
        if (entering) {
            const std::string file = named_file(child, regs);
            for (auto name = unseen.begin(); !file.empty() && name != unseen.end(); ++name)
                if (ends_with(file, *name)) {
                    std::fprintf(report, "%s %s\n", name->c_str(), capability_sets(child).c_str());
                    unseen.erase(name);
                    break;
                }
        } else if (regs.orig_rax == SYS_ioperm) {
            std::fprintf(report, "ioperm 0x%llx %llu %llu = %lld\n", regs.rdi, regs.rsi, regs.rdx,
                         static_cast<long long>(regs.rax));
        } else if (regs.orig_rax == SYS_iopl) {
            std::fprintf(report, "iopl %llu = %lld\n", regs.rdi, static_cast<long long>(regs.rax));
        } else if (regs.orig_rax == SYS_capset) {
            std::fprintf(report, "capset = %lld\n", static_cast<long long>(regs.rax));
        }
        entering = !entering;
    }
    std::fclose(report);
    return print_outcome(start, status);
}

int cap(const char* action, const char* file) {
    if (std::strcmp(action, "clear") == 0) {
        if (removexattr(file, "security.capability") != 0 && errno != ENODATA)
            return fail("removexattr");
        return 0;
    }
    vfs_cap_data data = {};
    data.magic_etc = VFS_CAP_REVISION_2 | VFS_CAP_FLAGS_EFFECTIVE;
    data.data[CAP_TO_INDEX(CAP_SYS_RAWIO)].permitted = CAP_TO_MASK(CAP_SYS_RAWIO);
    if (setxattr(file, "security.capability", &data, XATTR_CAPS_SZ_2, 0) != 0)
        return fail("setxattr");
    return 0;
}

int mark(const char* which, const char* number) {
    const unsigned char bytes[2] = {std::strcmp(which, "begin") == 0 ? kBeginMarker : kEndMarker,
                                    static_cast<unsigned char>(std::strtoul(number, nullptr, 10))};
    if (ioperm(kMarkedPort, 1, 1) == 0) {
        for (const unsigned char b : bytes) outb(b, kMarkedPort);
        std::puts("raw");
        return 0;
    }
    const int fd = claim_marked_port();
    if (fd < 0) return fail("claiming the marked port");
    for (unsigned char b : bytes)
        if (ioctl(fd, PPWDATA, &b) != 0) return fail("PPWDATA");
    close(fd);
    std::puts("ppdev");
    return 0;
}

int hold(const char* ready_file) {
    const int fd = claim_marked_port();
    if (fd < 0) return fail("claiming the marked port");
    const int ready = open(ready_file, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (ready < 0) return fail(ready_file);
    close(ready);
    for (;;) pause();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "run") == 0) return run(argv[2], argv + 3);
    if (argc == 4 && std::strcmp(argv[1], "cap") == 0) return cap(argv[2], argv[3]);
    if (argc == 4 && std::strcmp(argv[1], "mark") == 0) return mark(argv[2], argv[3]);
    if (argc == 3 && std::strcmp(argv[1], "hold") == 0) return hold(argv[2]);
    if (argc >= 5 && std::strcmp(argv[1], "watch") == 0) return watch(argv[2], argv[3], argv + 4);
    std::fputs("usage: rig_helper run|cap|mark|hold|watch ... (see the source)\n", stderr);
    return 2;
}
