// Every file call of a write failing in turn (fault_inject.c, preloaded into
// profile_tool). A first run with the injector counting but not failing shows
// which calls one write makes and in what order; then, for each call of the
// kinds a row names and each of its occurrences, the write runs again with
// that one call failing. Afterwards either the write returned 0 and the file
// is byte-identical to what it was (still missing when it was missing), or it
// returned 1 and the file holds exactly what the counting run wrote; and the
// folder holds nothing else. A call failing before the new contents are in
// place (the rename, or the last write or sync of an update in place) must
// give 0 when it is an open, write, sync, truncation or rename failing in a
// way no retry or other path can make good.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "process_harness.h"

namespace {

struct Scenario {
    const char* name;
    bool in_place;                      // in a folder that refuses new files, as an ordinary user
    std::optional<std::string> before;  // the file before the write (none: missing)
    const char* key;
    const char* value;
};

struct ErrorKind {
    const char* name;
    int error;
    std::vector<std::string> calls;
};

void PrintTo(const Scenario& s, std::ostream* os) {
    *os << s.name;
}

void PrintTo(const ErrorKind& e, std::ostream* os) {
    *os << e.name;
}

const std::string kBefore = "; settings\r\n[S]\r\nk=old\r\n[T]\r\nx=1\r\n";

// A tail of several times the layer's 64 KiB buffer, which an update in place
// moves chunk by chunk (and moves back when a step fails).
const std::string kLongTail = "[T]\r\n" + std::string(200000, 'x') + "=1\r\n";

const Scenario kScenarios[] = {
    {"Replace", false, kBefore, "k", "new"},
    {"AddKey", false, kBefore, "added", "v"},
    {"CreateFile", false, std::nullopt, "k", "v"},
    {"InPlaceLonger", true, kBefore, "k", "a-longer-value"},
    {"InPlaceShorter", true, "; settings\r\n[S]\r\nk=a-longer-value\r\n[T]\r\nx=1\r\n", "k", "s"},
    {"InPlaceLongerLongTail", true, "[S]\r\nk=old\r\n" + kLongTail, "k", "a-longer-value"},
    {"InPlaceShorterLongTail", true, "[S]\r\nk=a-longer-value\r\n" + kLongTail, "k", "s"},
};

const ErrorKind kErrors[] = {
    {"NoSpace",
     ENOSPC,
     {"write", "pwrite", "fsync", "fdatasync", "fallocate", "ftruncate", "close"}},
    {"IoError",
     EIO,
     {"write", "pwrite", "fsync", "fdatasync", "fallocate", "ftruncate", "close", "open", "openat",
      "read", "pread", "link", "linkat", "rename", "renameat", "renameat2"}},
    {"Refused",
     EACCES,
     {"open", "openat", "rename", "renameat", "renameat2", "link", "linkat", "unlink", "unlinkat"}},
    {"NotPermitted", EPERM, {"fchmod", "fchown"}},
    {"Interrupted", EINTR, {"read", "pread", "write", "pwrite", "flock", "close"}},
    {"NoLocks", ENOLCK, {"flock"}},
    // What creating an unnamed file gives where the file system cannot.
    {"Unsupported", EOPNOTSUPP, {"open", "openat"}},
};

// The calls whose failure before the new contents are in place leaves no way
// to succeed, with the errors for which that holds. A failed link is not
// among them: the complete replacement can still be named another way.
bool must_fail(const std::string& call, int error) {
    static const std::set<std::string> storage = {"write",     "pwrite", "fsync", "fdatasync",
                                                  "ftruncate", "open",   "openat"};
    static const std::set<std::string> renames = {"rename", "renameat", "renameat2"};
    if (error == ENOSPC || error == EIO) return storage.count(call) > 0 || renames.count(call) > 0;
    return error == EACCES && renames.count(call) > 0;
}

struct Counts {
    std::map<std::string, int> calls;
    std::vector<std::string> trace;
    int injected = 0;
};

Counts read_counts(const std::string& path) {
    Counts counts;
    std::istringstream in(file_bytes(path));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string what, name;
        words >> what;
        if (what == "count") {
            int n = 0;
            words >> name >> n;
            counts.calls[name] = n;
        } else if (what == "trace") {
            while (words >> name) counts.trace.push_back(name);
        } else if (what == "injected") {
            words >> counts.injected;
        }
    }
    return counts;
}

// Where in `trace` the new contents are in place: the last rename, or for an
// update in place the last write, truncation or sync.
std::size_t commit_point(const std::vector<std::string>& trace) {
    static const std::set<std::string> renames = {"rename", "renameat", "renameat2"};
    static const std::set<std::string> updates = {"write", "pwrite", "ftruncate", "fsync",
                                                  "fdatasync"};
    std::size_t last_rename = trace.size(), last_update = trace.size();
    for (std::size_t i = 0; i < trace.size(); ++i) {
        if (renames.count(trace[i])) last_rename = i;
        if (updates.count(trace[i])) last_update = i;
    }
    return last_rename < trace.size() ? last_rename : last_update;
}

// Index in `trace` of the nth (from 1) call of `call`.
std::size_t position_of(const std::vector<std::string>& trace, const std::string& call, int nth) {
    for (std::size_t i = 0; i < trace.size(); ++i) {
        if (trace[i] == call && --nth == 0) return i;
    }
    return trace.size();
}

// One scenario's folder and file, made afresh for every run.
class Stage {
public:
    explicit Stage(const Scenario& s)
        : scenario_(s), folder_(scratch_ / "d"), file_(folder_ + "/t.ini") {
        if (s.in_place) {
            ready_ = make_refusing_folder(folder_, "t.ini", *s.before, true);
        } else {
            ready_ = ::mkdir(folder_.c_str(), 0755) == 0;
            if (s.before) write_file(file_, *s.before);
        }
    }
    bool ready() const { return ready_; }
    const std::string& folder() const { return folder_; }
    const std::string& file() const { return file_; }

    // Runs the write; returns its result (-1: the tool did not report one).
    int write(const std::vector<std::string>& environment) const {
        std::vector<std::string> args =
            scenario_.in_place ? as_ordinary_user() : std::vector<std::string>{};
        args.insert(args.end(), {"write", "S", scenario_.key, scenario_.value, file_});
        const ToolRun run = run_tool(args, environment);
        if (run.exit_code != 0 || run.output.size() < 2) return -1;
        return run.output[0] - '0';
    }

private:
    const Scenario& scenario_;
    ScratchDir scratch_;
    std::string folder_;
    std::string file_;
    bool ready_ = false;
};

class FaultInjection : public ::testing::TestWithParam<std::tuple<Scenario, ErrorKind>> {};

TEST_P(FaultInjection, WriteGivesOldFileOrNewFile) {
    const Scenario& scenario = std::get<0>(GetParam());
    const ErrorKind& kind = std::get<1>(GetParam());
    ScratchDir side(0777);  // the injector's report, written by the tool's user
    const std::string report = side / "counts";
    std::vector<std::string> env = {"LD_PRELOAD=" FAULT_INJECT_LIBRARY, "FAULT_COUNTS=" + report};
#ifdef PROFILE_TESTS_SANITIZED
    // The sanitizer runtime insists on being loaded first; the injector
    // ahead of it passes every call on to it.
    const char* options = std::getenv("ASAN_OPTIONS");
    env.push_back(std::string("ASAN_OPTIONS=") + (options ? options : "") +
                  ":verify_asan_link_order=0");
#endif

    Counts counted;
    std::string after;
    {
        const Stage stage(scenario);
        if (!stage.ready()) {
            GTEST_SKIP() << "neither root nor kept out of a 0555 folder: no folder refuses new "
                            "files";
        }
        ASSERT_EQ(stage.write(env), 1) << "the write without faults";
        after = file_bytes(stage.file());
        ASSERT_EQ(read_value(stage.file(), "S", scenario.key), scenario.value);
        counted = read_counts(report);
        ASSERT_FALSE(counted.trace.empty()) << "the injector saw no call";
    }
    const std::size_t commit = commit_point(counted.trace);

    int injected = 0, kept = 0, written = 0;
    for (const std::string& call : kind.calls) {
        const auto found = counted.calls.find(call);
        const int occurrences = found == counted.calls.end() ? 0 : found->second;
        for (int nth = 1; nth <= occurrences; ++nth) {
            SCOPED_TRACE(call + " #" + std::to_string(nth) + " failing");
            const Stage stage(scenario);
            ASSERT_TRUE(stage.ready());
            const ino_t inode = inode_of(stage.file());
            std::vector<std::string> faulty = env;
            faulty.insert(faulty.end(), {"FAULT_CALL=" + call, "FAULT_NTH=" + std::to_string(nth),
                                         "FAULT_ERRNO=" + std::to_string(kind.error)});
            const int result = stage.write(faulty);
            injected += read_counts(report).injected;
            const std::set<std::string> names = names_in(stage.folder());
            if (result == 0) {
                ++kept;
                if (scenario.before) {
                    EXPECT_EQ(file_bytes(stage.file()), *scenario.before);
                    EXPECT_EQ(names, std::set<std::string>{"t.ini"});
                } else {
                    EXPECT_EQ(names, std::set<std::string>{});
                }
            } else {
                ASSERT_EQ(result, 1) << "the tool reported no result";
                ++written;
                EXPECT_EQ(file_bytes(stage.file()), after);
                EXPECT_EQ(names, std::set<std::string>{"t.ini"});
                if (scenario.in_place) {
                    EXPECT_EQ(inode_of(stage.file()), inode);
                }
                if (must_fail(call, kind.error)) {
                    EXPECT_GT(position_of(counted.trace, call, nth), commit)
                        << "succeeded although the failing call came before the new contents were "
                           "in place";
                }
            }
        }
    }
    std::cout << scenario.name << "/" << kind.name << ": calls of one write:";
    for (const auto& [call, n] : counted.calls) std::cout << " " << call << "=" << n;
    std::cout << "\n  faults injected: " << injected << ", result 0 with original intact: " << kept
              << ", result 1 with new content: " << written << "\n";
    RecordProperty("faults_injected", injected);
}

std::string row_name(const ::testing::TestParamInfo<std::tuple<Scenario, ErrorKind>>& row) {
    return std::string(std::get<0>(row.param).name) + "_" + std::get<1>(row.param).name;
}

INSTANTIATE_TEST_SUITE_P(Table, FaultInjection,
                         ::testing::Combine(::testing::ValuesIn(kScenarios),
                                            ::testing::ValuesIn(kErrors)),
                         row_name);

}  // namespace
