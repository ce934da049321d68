// Helpers for the hostile-input tables (Linux): a program run under a time
// limit, the state of a folder and of single entries before and after a run,
// and a count of the rows that ran.
#pragma once

#include "run_program.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace hostile {

// Every run of a row gets this long before it is stopped.
constexpr int kTimeLimitSeconds = 5;

// The system's timeout program: it stops the command with SIGTERM at the
// limit (exit status 124), with SIGKILL a second later if need be, and ends
// by the same signal as a command that was killed by one.
constexpr char kTimeoutProgram[] = "/usr/bin/timeout";
constexpr int kStoppedAtLimit = 124;

struct BoundedRun {
    ProgramRun run;
    std::chrono::milliseconds took{0};
};

// Runs `command` (the program, then its arguments) like run_program, stopped
// when it takes longer than the time limit.
inline BoundedRun run_bounded(const std::vector<std::string>& command,
                              const std::vector<std::string>& environment) {
    std::vector<std::string> arguments{"-k", "1", std::to_string(kTimeLimitSeconds)};
    arguments.insert(arguments.end(), command.begin(), command.end());
    const auto start = std::chrono::steady_clock::now();
    BoundedRun bounded;
    bounded.run = run_program(kTimeoutProgram, arguments, environment);
    bounded.took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    return bounded;
}

// The run ended by itself, in time, with `exit_status` and not a word on
// standard error.
inline void expect_normal_end(const BoundedRun& bounded, int exit_status) {
    const int code = bounded.run.exit_code;
    EXPECT_NE(code, kStoppedAtLimit)
        << "stopped at the time limit of " << kTimeLimitSeconds << " s";
    EXPECT_NE(code, -1) << "ended by a signal (or could not start): " << bounded.run.standard_error;
    EXPECT_EQ(code, exit_status) << bounded.run.standard_error;
    EXPECT_LT(bounded.took, std::chrono::seconds(kTimeLimitSeconds));
    EXPECT_EQ(bounded.run.standard_error, "");
}

// A hash of a regular file's bytes, read in pieces.
inline std::size_t content_hash(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> piece(1 << 20);
    std::size_t hash = 0;
    while (in) {
        in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
        const auto got = static_cast<std::size_t>(in.gcount());
        if (got == 0) break;
        hash = hash * 1000003u ^ std::hash<std::string_view>()({piece.data(), got});
    }
    return hash;
}

// One entry as "absent" or its type, permission bits, owner and, for a
// regular file, size and content hash; for a device its numbers. Symbolic
// links are not followed, and devices and FIFOs are never opened.
inline std::string entry_state(const std::filesystem::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return "absent";
    char head[96];
    std::snprintf(head, sizeof head, "mode %o owner %u:%u", static_cast<unsigned>(st.st_mode),
                  static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_gid));
    std::string state = head;
    if (S_ISREG(st.st_mode)) {
        state +=
            " size " + std::to_string(st.st_size) + " hash " + std::to_string(content_hash(path));
    } else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
        state += " device " + std::to_string(major(st.st_rdev)) + "," +
                 std::to_string(minor(st.st_rdev));
    } else if (S_ISLNK(st.st_mode)) {
        state += " link " + std::filesystem::read_symlink(path).string();
    }
    return state;
}

// Every entry below `folder` (by its path relative to the folder) with its
// state, except the entries named in `skipped`.
using FolderSnapshot = std::map<std::string, std::string>;

inline FolderSnapshot snapshot(const std::filesystem::path& folder,
                               const std::set<std::string>& skipped = {}) {
    FolderSnapshot entries;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        const std::string name = entry.path().lexically_relative(folder).generic_string();
        if (skipped.count(name) == 0) entries[name] = entry_state(entry.path());
    }
    return entries;
}

// Counts the rows of a table that ran and prints the count when the test
// program ends.
class RowCount : public ::testing::Environment {
public:
    explicit RowCount(std::string table) : table_(std::move(table)) {}
    static void add() { ++count(); }
    void TearDown() override {
        std::printf("[ hostile  ] %d hostile %s rows run\n", count(), table_.c_str());
    }

private:
    static int& count() {
        static int rows = 0;
        return rows;
    }
    std::string table_;
};

}  // namespace hostile
