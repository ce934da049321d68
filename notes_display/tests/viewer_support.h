// Helpers of the notes-display tests on Linux: the fake viewer on PATH,
// reading the fake viewer's records, and process hygiene probes (children,
// open descriptors). Folders and files come from the shared test support.
#pragma once

#include "test_support.h"

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace quorle_test {

// What one run of the fake viewer recorded.
struct ViewerRecord {
    pid_t pid = 0;
    std::map<std::string, std::string> fields;  // session_leader, fds, stdin, ...
    std::vector<std::string> args;              // argv, argv[0] included
};

// The fake viewer set-up of one test: a record folder, a bin folder (with a
// blank in its path) at the front of PATH holding the fake viewer under the
// names `notepad.exe`, `fake-viewer` and `my viewer`. The environment is
// restored on destruction.
class FakeViewer {
public:
    // The fake viewer on PATH under each of `names`, ahead of the system's
    // folders, or with `with_system_path` false, alone on PATH.
    explicit FakeViewer(const std::vector<std::string>& names = {"notepad.exe", "fake-viewer",
                                                                 "my viewer"},
                        bool with_system_path = true);
    ~FakeViewer();
    FakeViewer(const FakeViewer&) = delete;
    FakeViewer& operator=(const FakeViewer&) = delete;

    std::string bin_dir() const { return bin_.path().string(); }
    std::string work_dir() const { return work_.path().string(); }
    // Waits until `count` records are there (or the time-out passes) and
    // returns all records present then, ordered by pid.
    std::vector<ViewerRecord> wait_for_records(
        std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    // The records present after a short grace period: for "nothing started".
    std::vector<ViewerRecord> records_after_grace() const;
    void set_sleep_ms(int milliseconds) const;

private:
    test_support::ScratchFolder bin_;
    test_support::ScratchFolder records_;
    test_support::ScratchFolder work_;
    std::string old_path_;
};

// `text` with every {BIN} and {WORK} replaced by the folders of `fake`.
std::string expand(std::string text, const FakeViewer& fake);

// Pids of the live and zombie children of this process.
std::vector<pid_t> children_of_this_process();
// The number of open descriptors of this process.
std::size_t open_descriptor_count();

}  // namespace quorle_test
