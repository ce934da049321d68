// The profile operations in a process of their own, for tests that need
// several writers at once, a writer killed at a random moment, a write as
// another user or a write under the fault injector (fault_inject.c).
//
//   profile_tool [--as UID] write SECTION KEY VALUE FILE
//       One write; prints "<result> <errno>". When the fault injector is
//       loaded it is armed around this one call.
//   profile_tool [--as UID] write-keys FILE PREFIX COUNT [GATE_FD]
//       Waits until GATE_FD reads end of file (the starter closes its end to
//       let every writer go at once), then writes [S] PREFIX<i>=PREFIX<i> for
//       i < COUNT. Prints the number of writes that returned 0; exit status 1
//       when there was one.
//   profile_tool [--as UID] read-keys FILE PREFIX COUNT STOP_FILE
//       Reads [S] PREFIX<i> for i < COUNT over and over until STOP_FILE
//       exists, and prints the number of passes. Exit status 1, with the key,
//       as soon as one does not read back as its own name.
//
// --as UID: when started as root, become that user, with the group of the
// same number, before anything else.
// Exit status 2: bad arguments or the user could not be changed.
#include <dlfcn.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "private_profile.h"

namespace {

using ArmFunction = void (*)(int);

// The injector's switch, when it is loaded.
ArmFunction fault_switch() {
    void* found = ::dlsym(RTLD_DEFAULT, "fault_arm");
    ArmFunction arm = nullptr;
    std::memcpy(&arm, &found, sizeof found);
    return arm;
}

int write_one(const char* section, const char* key, const char* value, const char* file) {
    const ArmFunction arm = fault_switch();
    if (arm) arm(1);
    errno = 0;
    const int result = WritePrivateProfileStringA(section, key, value, file);
    const int error = errno;
    if (arm) arm(0);
    std::printf("%d %d\n", result, error);
    return 0;
}

void wait_for_gate(int fd) {
    char byte;
    while (::read(fd, &byte, 1) > 0 || errno == EINTR) {
    }
    ::close(fd);
}

int write_keys(const char* file, const std::string& prefix, long count) {
    int failed = 0;
    for (long i = 0; i < count; ++i) {
        const std::string key = prefix + std::to_string(i);
        if (WritePrivateProfileStringA("S", key.c_str(), key.c_str(), file) != 1) {
            std::fprintf(stderr, "write of %s failed: %s\n", key.c_str(), std::strerror(errno));
            ++failed;
        }
    }
    std::printf("%d\n", failed);
    return failed == 0 ? 0 : 1;
}

int read_keys(const char* file, const std::string& prefix, long count, const char* stop_file) {
    long passes = 0;
    struct stat st {};
    while (::stat(stop_file, &st) != 0) {
        for (long i = 0; i < count; ++i) {
            const std::string key = prefix + std::to_string(i);
            char value[256];
            GetPrivateProfileStringA("S", key.c_str(), "", value, sizeof value, file);
            if (key != value) {
                std::printf("%s read as \"%s\" in pass %ld\n", key.c_str(), value, passes);
                return 1;
            }
        }
        ++passes;
    }
    std::printf("%ld\n", passes);
    return 0;
}

bool become(const char* uid_text) {
    const auto id = static_cast<unsigned>(std::strtoul(uid_text, nullptr, 10));
    if (::geteuid() != 0) return ::geteuid() == id;
    return ::setgroups(0, nullptr) == 0 && ::setgid(id) == 0 && ::setuid(id) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    int first = 1;
    if (argc > 2 && std::strcmp(argv[1], "--as") == 0) {
        if (!become(argv[2])) {
            std::perror("profile_tool: cannot change user");
            return 2;
        }
        first = 3;
    }
    const int n = argc - first;
    const std::string command = n > 0 ? argv[first] : "";
    char** a = argv + first + 1;
    if (command == "write" && n == 5) return write_one(a[0], a[1], a[2], a[3]);
    if (command == "write-keys" && (n == 4 || n == 5)) {
        if (n == 5) wait_for_gate(std::atoi(a[3]));
        return write_keys(a[0], a[1], std::atol(a[2]));
    }
    if (command == "read-keys" && n == 5) return read_keys(a[0], a[1], std::atol(a[2]), a[3]);
    std::fprintf(stderr,
                 "usage: profile_tool [--as UID] write SECTION KEY VALUE FILE\n"
                 "       profile_tool [--as UID] write-keys FILE PREFIX COUNT [GATE_FD]\n"
                 "       profile_tool [--as UID] read-keys FILE PREFIX COUNT STOP_FILE\n");
    return 2;
}
