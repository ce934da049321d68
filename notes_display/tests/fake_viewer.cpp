// A stand-in viewer for the tests. It records what it received and what it
// inherited into <QUORLE_TEST_RECORD_DIR>/<pid>.record (written under another
// name and renamed, so a reader sees a complete record or none), then sleeps
// for QUORLE_TEST_VIEWER_SLEEP_MS milliseconds if that is set.
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace {

std::string link_target(const std::string& path) {
    char buffer[4096];
    const ssize_t size = ::readlink(path.c_str(), buffer, sizeof buffer);
    return size < 0 ? std::string("(none)") : std::string(buffer, static_cast<std::size_t>(size));
}

std::string status_field(const std::string& name) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(name + ":", 0) == 0) {
            return line.substr(line.find_first_not_of(" \t", name.size() + 1));
        }
    }
    return "(none)";
}

// The open descriptors, before this program opens any of its own.
std::string open_descriptors() {
    std::string list;
    DIR* directory = ::opendir("/proc/self/fd");
    if (directory == nullptr) {
        return "(none)";
    }
    const int own = ::dirfd(directory);
    while (const dirent* entry = ::readdir(directory)) {
        if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == own) {
            continue;
        }
        list += (list.empty() ? "" : ",") + std::string(entry->d_name);
    }
    ::closedir(directory);
    return list;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string fds = open_descriptors();
    const char* directory = std::getenv("QUORLE_TEST_RECORD_DIR");
    if (directory == nullptr) {
        return 2;
    }
    const std::string name = std::string(directory) + "/" + std::to_string(::getpid());
    {
        std::ofstream record(name + ".partial");
        record << "pid=" << ::getpid() << '\n'
               << "session_leader=" << (::getsid(0) == ::getpid() ? 1 : 0) << '\n'
               << "fds=" << fds << '\n'
               << "stdin=" << link_target("/proc/self/fd/0") << '\n'
               << "stdout=" << link_target("/proc/self/fd/1") << '\n'
               << "stderr=" << link_target("/proc/self/fd/2") << '\n'
               << "sigblk=" << status_field("SigBlk") << '\n'
               << "sigign=" << status_field("SigIgn") << '\n';
        for (int i = 0; i < argc; ++i) {
            record << "arg=" << argv[i] << '\n';
        }
    }
    std::rename((name + ".partial").c_str(), (name + ".record").c_str());

    if (const char* sleep_ms = std::getenv("QUORLE_TEST_VIEWER_SLEEP_MS")) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(sleep_ms)));
    }
    return 0;
}
