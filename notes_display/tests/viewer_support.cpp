#include "viewer_support.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace quorle_test {

FakeViewer::FakeViewer(const std::vector<std::string>& names, bool with_system_path)
    : bin_("quorle bin "), records_("quorle-records-"), work_("quorle work ") {
    for (const std::string& name : names) {
        std::filesystem::create_symlink(QUORLE_FAKE_VIEWER_PATH, bin_ / name);
    }
    const char* path = std::getenv("PATH");
    old_path_ = path != nullptr ? path : "/usr/bin:/bin";
    ::setenv("PATH", (with_system_path ? bin_dir() + ":" + old_path_ : bin_dir()).c_str(), 1);
    ::setenv("QUORLE_TEST_RECORD_DIR", records_.path().string().c_str(), 1);
    ::unsetenv("QUORLE_TEST_VIEWER_SLEEP_MS");
}

FakeViewer::~FakeViewer() {
    ::setenv("PATH", old_path_.c_str(), 1);
    ::unsetenv("QUORLE_TEST_RECORD_DIR");
    ::unsetenv("QUORLE_TEST_VIEWER_SLEEP_MS");
}

void FakeViewer::set_sleep_ms(int milliseconds) const {
    ::setenv("QUORLE_TEST_VIEWER_SLEEP_MS", std::to_string(milliseconds).c_str(), 1);
}

namespace {

std::vector<ViewerRecord> read_records(const std::string& directory) {
    std::vector<ViewerRecord> records;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        if (entry.path().extension() != ".record") {
            continue;
        }
        ViewerRecord record;
        std::ifstream in(entry.path());
        std::string line;
        while (std::getline(in, line)) {
            const std::size_t equals = line.find('=');
            const std::string key = line.substr(0, equals);
            const std::string value = line.substr(equals + 1);
            if (key == "arg") {
                record.args.push_back(value);
            } else if (key == "pid") {
                record.pid = static_cast<pid_t>(std::stol(value));
            } else {
                record.fields[key] = value;
            }
        }
        records.push_back(std::move(record));
    }
    std::sort(records.begin(), records.end(),
              [](const ViewerRecord& a, const ViewerRecord& b) { return a.pid < b.pid; });
    return records;
}

}  // namespace

std::vector<ViewerRecord> FakeViewer::wait_for_records(std::size_t count,
                                                       std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        std::vector<ViewerRecord> records = read_records(records_.path().string());
        if (records.size() >= count || std::chrono::steady_clock::now() > deadline) {
            return records;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::vector<ViewerRecord> FakeViewer::records_after_grace() const {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return read_records(records_.path().string());
}

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

std::vector<pid_t> children_of_this_process() {
    std::vector<pid_t> children;
    const pid_t self = ::getpid();
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::ifstream stat(entry.path() / "stat");
        std::string content;
        std::getline(stat, content);
        // pid (comm) state ppid ...: the command may hold blanks and parentheses.
        const std::size_t close = content.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        std::istringstream rest(content.substr(close + 1));
        std::string state;
        long parent = 0;
        rest >> state >> parent;
        if (parent == self) {
            children.push_back(static_cast<pid_t>(std::stol(name)));
        }
    }
    return children;
}

std::size_t open_descriptor_count() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count - 1;  // the iterator's own descriptor
}

}  // namespace quorle_test
