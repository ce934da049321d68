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
//       READY_FILE and sleeps until it is killed.
//
// Exit status 0 on success, 1 with a message on standard error otherwise.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <linux/ppdev.h>
#include <sys/io.h>
#include <sys/ioctl.h>
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

int run(const char* user, char** program) {
    timespec start = {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    const pid_t child = fork();
    if (child < 0) return fail("fork");
    if (child == 0) {
        if (std::strcmp(user, "root") != 0) {
            const gid_t groups[] = {kLp};
            const bool in_lp = std::strcmp(user, "lp") == 0;
            if (setgroups(in_lp ? 1 : 0, groups) != 0 ||
                setresgid(kNogroup, kNogroup, kNogroup) != 0 ||
                setresuid(kNobody, kNobody, kNobody) != 0)
                _exit(fail("dropping privileges"));
        }
        execv(program[0], program);
        _exit(fail(program[0]));
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR) return fail("waitpid");
    timespec end = {};
    clock_gettime(CLOCK_MONOTONIC, &end);
    const long long elapsed_ms =
        (end.tv_sec - start.tv_sec) * 1000LL + (end.tv_nsec - start.tv_nsec) / 1000000LL;
    std::printf("%lld %d\n", elapsed_ms,
                WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    return 0;
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
    std::fputs("usage: rig_helper run|cap|mark|hold ... (see the source)\n", stderr);
    return 2;
}
