// Writes in processes of their own: several writers on one file at once with
// readers beside them, writers killed at random moments, and a write by an
// ordinary user into a folder that refuses new files.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "private_profile.h"
#include "process_harness.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// ---------------------------------------------------------------- concurrent writers

TEST(WriterProcesses, ConcurrentWritersLoseNoKey) {
    constexpr int kWriters = 4;
    constexpr int kKeysEach = 500;
    constexpr int kReaders = 2;
    ScratchDir dir;
    ScratchDir side;
    const std::string file = dir / "t.ini";
    write_file(file, "[S]\r\nbase0=base0\r\nbase1=base1\r\nbase2=base2\r\n");

    // Every writer blocks on the read end until the write end is closed.
    int gate[2];
    ASSERT_EQ(::pipe2(gate, O_CLOEXEC), 0);
    std::vector<std::unique_ptr<ToolProcess>> readers;
    for (int r = 0; r < kReaders; ++r) {
        readers.push_back(std::make_unique<ToolProcess>(
            std::vector<std::string>{"read-keys", file, "base", "3", side / "stop"}));
    }
    std::vector<std::unique_ptr<ToolProcess>> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.push_back(std::make_unique<ToolProcess>(
            std::vector<std::string>{"write-keys", file, "w" + std::to_string(w) + "k",
                                     std::to_string(kKeysEach), std::to_string(gate[0])},
            std::vector<std::string>{}, gate[0]));
    }
    ::close(gate[0]);
    const Clock::time_point start = Clock::now();
    ::close(gate[1]);
    for (auto& w : writers) {
        const ToolRun run = w->wait();
        EXPECT_EQ(run.exit_code, 0) << "writes that returned 0: " << run.output;
    }
    const double elapsed = seconds_since(start);
    write_file(side / "stop", "");
    std::string reader_passes;
    for (auto& r : readers) {
        const ToolRun run = r->wait();
        EXPECT_EQ(run.exit_code, 0) << "a key present from the start was not read: " << run.output;
        reader_passes += " " + run.output.substr(0, run.output.find('\n'));
    }

    int present = 0;
    for (int w = 0; w < kWriters; ++w) {
        for (int i = 0; i < kKeysEach; ++i) {
            const std::string key = "w" + std::to_string(w) + "k" + std::to_string(i);
            present += read_value(file, "S", key.c_str()) == key ? 1 : 0;
        }
    }
    constexpr int kTotal = kWriters * kKeysEach;
    std::cout << "concurrent writers: keys present " << present << "/" << kTotal << " after "
              << elapsed << " s; reader passes:" << reader_passes << "\n";
    RecordProperty("keys_present", present);
    RecordProperty("elapsed_ms", static_cast<int>(elapsed * 1000));
    EXPECT_EQ(present, kTotal);
    EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"t.ini"});
}

// ---------------------------------------------------------------- killed writers

TEST(WriterProcesses, KilledWriterLeavesOldOrNewFile) {
    constexpr int kMaxKills = 300;
    constexpr double kBudgetSeconds = 20;
    ScratchDir dir;
    const std::string file = dir / "t.ini";
    const std::string ours = ".t.ini.tmp~";  // the one temporary name a crash may leave
    std::string filler = "[Filler]\r\n";
    for (int i = 0; filler.size() < (2u << 20); ++i) {
        filler += "line" + std::to_string(i) + "=" + std::string(90, 'f') + "\r\n";
    }
    const std::string values[2] = {"short", "a-rather-longer-value"};
    const std::string contents[2] = {"[S]\r\nk=" + values[0] + "\r\n" + filler,
                                     "[S]\r\nk=" + values[1] + "\r\n" + filler};
    write_file(file, contents[0]);

    // Ordinary writes first: they give the time one write takes.
    std::vector<double> durations;
    for (int i = 1; i <= 4; ++i) {
        const Clock::time_point start = Clock::now();
        const ToolRun run = run_tool({"write", "S", "k", values[i % 2], file});
        durations.push_back(seconds_since(start));
        ASSERT_EQ(run.output, "1 0\n");
        ASSERT_EQ(file_bytes(file), contents[i % 2]);
    }
    ASSERT_EQ(names_in(dir.path()), std::set<std::string>{"t.ini"});
    std::sort(durations.begin(), durations.end());
    const double one_write = durations[durations.size() / 2];

    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    std::uniform_int_distribution<long> delay_us(0, static_cast<long>(one_write * 1e6));
    int current = 0;
    int kills = 0, landed = 0, temps_seen = 0, torn = 0;
    std::set<std::string> foreign;
    const Clock::time_point start = Clock::now();
    while (kills < kMaxKills && seconds_since(start) < kBudgetSeconds) {
        ToolProcess writer({"write", "S", "k", values[1 - current], file});
        std::this_thread::sleep_for(std::chrono::microseconds(delay_us(random)));
        ::kill(writer.pid(), SIGKILL);
        const ToolRun run = writer.wait();
        ++kills;
        if (run.signal == SIGKILL) ++landed;
        const std::string now = file_bytes(file);
        if (now == contents[1 - current]) {
            current = 1 - current;
        } else if (now != contents[current]) {
            ++torn;
            write_file(file, contents[current]);
        }
        bool temporary = false;
        for (const std::string& name : names_in(dir.path())) {
            if (name == "t.ini") continue;
            temporary = true;
            if (name != ours) foreign.insert(name);
        }
        temps_seen += temporary ? 1 : 0;
        if (run.signal != SIGKILL) {
            EXPECT_EQ(run.output, "1 0\n") << "a write that finished";
        }
    }
    const ToolRun last = run_tool({"write", "S", "k", values[1 - current], file});
    EXPECT_EQ(last.output, "1 0\n");
    EXPECT_EQ(file_bytes(file), contents[1 - current]);
    const std::set<std::string> left = names_in(dir.path());

    std::cout << "killed writers: one write takes " << one_write * 1000 << " ms; kills tried "
              << kills << " (" << landed << " while running) in " << seconds_since(start)
              << " s, seed " << seed
              << "; kills after which a temporary file was there: " << temps_seen << " ("
              << foreign.size() << " names other than " << ours
              << "); files left after the last write: " << left.size() - 1 << "\n";
    RecordProperty("kills", kills);
    RecordProperty("temporary_files_seen", temps_seen);
    EXPECT_EQ(torn, 0) << "files neither old nor new";
    EXPECT_TRUE(foreign.empty()) << foreign.size() << " temporaries named other than " << ours
                                 << ", e.g. " << *foreign.begin();
    EXPECT_EQ(left, std::set<std::string>{"t.ini"});
}

// ---------------------------------------------------------------- a folder that refuses new files

struct InPlaceRow {
    const char* name;
    bool file_writable;
    std::string before;
    const char* key;
    const char* value;
    std::string after;  // the file afterwards (before, when the write must fail)
};

void PrintTo(const InPlaceRow& r, std::ostream* os) {
    *os << r.name;
}

class RefusingFolder : public ::testing::TestWithParam<InPlaceRow> {};

TEST_P(RefusingFolder, WritableFileIsUpdatedInPlace) {
    const InPlaceRow& r = GetParam();
    ScratchDir scratch;
    const std::string dir = scratch / "ro";
    if (!make_refusing_folder(dir, "t.ini", r.before, r.file_writable)) {
        GTEST_SKIP() << "neither root nor kept out of a 0555 folder: no folder refuses new files";
    }
    const std::string file = dir + "/t.ini";
    const ino_t inode = inode_of(file);
    std::vector<std::string> args = as_ordinary_user();
    args.insert(args.end(), {"write", "S", r.key, r.value, file});
    const ToolRun run = run_tool(args);
    const bool succeeds = r.after != r.before;
    EXPECT_EQ(run.output.substr(0, 2), succeeds ? "1 " : "0 ") << run.output;
    EXPECT_EQ(file_bytes(file), r.after);
    if (succeeds) {
        EXPECT_EQ(read_value(file, "S", r.key), r.value);
    }
    EXPECT_EQ(inode_of(file), inode) << "the file was replaced";
    EXPECT_EQ(names_in(dir), std::set<std::string>{"t.ini"});
}

const std::string kBefore = "; settings\r\n[S]\r\nk=old\r\n[T]\r\nx=1\r\n";

INSTANTIATE_TEST_SUITE_P(
    Table, RefusingFolder,
    ::testing::Values(InPlaceRow{"NewKey", true, kBefore, "added", "v",
                                 "; settings\r\n[S]\r\nk=old\r\nadded=v\r\n[T]\r\nx=1\r\n"},
                      InPlaceRow{"LongerValue", true, kBefore, "k", "a-longer-value",
                                 "; settings\r\n[S]\r\nk=a-longer-value\r\n[T]\r\nx=1\r\n"},
                      InPlaceRow{"ShorterValue", true, kBefore, "k", "o",
                                 "; settings\r\n[S]\r\nk=o\r\n[T]\r\nx=1\r\n"},
                      InPlaceRow{"FileNotWritable", false, kBefore, "k", "new", kBefore}),
    test_support::RowName());

}  // namespace
