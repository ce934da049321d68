// Differential test of our profile core against the system's private-profile
// service (run under Wine): every case of the shared corpus and a stream of
// seeded random operations on generated files go through both, in one
// process, and every disagreement is either a documented deliberate
// difference or a fault. Also times both on a 1 MB file.
//
//   profile_oracle CORPUS [OVERRIDES] [--seed N] [--ops N]
//
// Exit status 0 when there is no undocumented disagreement.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "compare.h"
#include "core_profile.h"
#include "corpus.h"
#include "random_files.h"
#include "windows_profile.h"

namespace {

using oracle::Comparison;
using oracle::File;
using oracle::Kind;
using oracle::Operation;
using oracle::Outcome;
using oracle::Verdict;

struct Tally {
    long agree = 0;
    long documented = 0;
    long faults = 0;
    long total() const { return agree + documented + faults; }
};

struct Report {
    std::map<std::string, Tally> tallies;                    // by kind of operation
    std::map<std::string, long> documented;                  // by difference
    std::map<std::string, std::vector<std::string>> faults;  // by kind, described in full
    long fault_count = 0;

    void add(const std::string& group, const Comparison& c, const std::string& context) {
        Tally& t = tallies[group];
        switch (c.verdict) {
            case Verdict::agree:
                ++t.agree;
                break;
            case Verdict::documented:
                ++t.documented;
                ++documented[c.what];
                break;
            case Verdict::fault:
                ++t.faults;
                ++fault_count;
                faults[c.what].push_back(context + "\n      " + c.detail);
                break;
        }
    }
};

std::string read_all(const char* path, bool& ok) {
    std::ifstream in(path, std::ios::binary);
    ok = static_cast<bool>(in);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

// The corpus location a file-name argument names: a name without a folder
// part lives in the Windows folder, anything else is relative to the working
// folder; names compare without case.
std::string location_of_argument(const std::string& name) {
    if (name.find_first_of("\\/") == std::string::npos) return "windir:" + lower(name);
    std::vector<std::string> parts;
    std::string part;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        if (i == name.size() || name[i] == '\\' || name[i] == '/') {
            if (part == "..") {
                if (!parts.empty()) parts.pop_back();
            } else if (!part.empty() && part != ".") {
                parts.push_back(lower(part));
            }
            part.clear();
        } else {
            part.push_back(name[i]);
        }
    }
    std::string out = "cwd:";
    for (std::size_t i = 0; i < parts.size(); ++i) out += (i ? "/" : "") + parts[i];
    return out;
}

std::string location_key(const std::string& location) {
    if (location.rfind("windir:", 0) == 0) return lower(location);
    return location_of_argument(".\\" + location.substr(4));
}

const char* group_of(Kind kind) {
    switch (kind) {
        case Kind::get_string:
            return "get";
        case Kind::get_int:
            return "int";
        case Kind::put_string:
            return "write";
    }
    return "";
}

// Cases about file names that fail, folders and read-only files test the
// file layer around the core, not the core.
bool outside_core(const corpus::Case& c) {
    for (const auto& s : c.setups) {
        if (s.is_dir || s.readonly) return true;
    }
    for (const auto& s : c.steps) {
        if (s.kind == corpus::Step::Kind::write && s.ret == 0) return true;
    }
    return false;
}

void run_corpus(const std::vector<corpus::Case>& cases, oracle::WindowsProfile& windows,
                Report& report, long& skipped) {
    for (const auto& c : cases) {
        if (outside_core(c)) {
            ++skipped;
            continue;
        }
        std::map<std::string, std::string> files;
        for (const auto& s : c.setups) files[location_key(s.location)] = s.bytes;
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const corpus::Step& step = c.steps[i];
            Operation op;
            switch (step.kind) {
                case corpus::Step::Kind::get:
                    op.kind = Kind::get_string;
                    op.size = step.size;
                    break;
                case corpus::Step::Kind::get_int:
                    op.kind = Kind::get_int;
                    op.int_default = step.int_default;
                    break;
                case corpus::Step::Kind::write:
                    op.kind = Kind::put_string;
                    break;
                case corpus::Step::Kind::expect:
                    continue;
            }
            op.section = step.section;
            op.key = step.key;
            op.text = step.text;
            const std::string where = location_of_argument(step.file);
            const auto it = files.find(where);
            const File before = it == files.end() ? File() : File(it->second);
            const Outcome ours = oracle::run_core(before, op);
            const Outcome theirs = windows.run(before, op);
            Comparison cmp = oracle::compare(before, op, ours, theirs);
            if (cmp.verdict == Verdict::fault) {
                // An override of this step, or for a write of the steps that
                // look at its result, documents the difference.
                std::string reason = step.override_reason;
                for (std::size_t j = i + 1;
                     reason.empty() && op.kind == Kind::put_string && j < c.steps.size() &&
                     c.steps[j].kind != corpus::Step::Kind::write;
                     ++j) {
                    reason = c.steps[j].override_reason;
                }
                if (!reason.empty()) cmp = {Verdict::documented, "corpus override: " + reason, {}};
            }
            report.add(std::string("corpus ") + group_of(op.kind), cmp,
                       "case " + c.id + " line " + std::to_string(step.line) + ": " +
                           oracle::show(op) + " on " +
                           (before ? oracle::show(*before, 400) : "no file"));
            if (op.kind == Kind::put_string) files[where] = *ours.file_after;
        }
    }
}

void run_random(uint32_t seed, long count, oracle::WindowsProfile& windows, Report& report,
                long& tidy_writes) {
    oracle::RandomFiles gen(seed);
    for (long i = 0; i < count; ++i) {
        const bool tidy_style = i % 2 == 0;
        const File before = gen.file(tidy_style);
        const Operation op = gen.operation();
        const Outcome ours = oracle::run_core(before, op);
        const Outcome theirs = windows.run(before, op);
        const Comparison cmp = oracle::compare(before, op, ours, theirs);
        std::string group = std::string("random ") + group_of(op.kind);
        if (op.kind == Kind::put_string && (!before || oracle::is_tidy(*before))) {
            group += " (tidy file)";
            ++tidy_writes;
        }
        report.add(group, cmp,
                   "random #" + std::to_string(i) + ": " + oracle::show(op) + " on " +
                       (before ? oracle::show(*before, 600) : "no file"));
    }
}

double now_ms() {
    using clock = std::chrono::steady_clock;
    return std::chrono::duration<double, std::milli>(clock::now().time_since_epoch()).count();
}

// Time per operation of both implementations on a file of about 1 MB, the
// entry asked for being the last one. The system's calls start from its
// cache dropped, as a fresh process does; the bytes are put back on disk
// before each write, outside the timing.
void time_big_file(oracle::WindowsProfile& windows) {
    std::string file;
    int sections = 0;
    while (file.size() < (1u << 20)) {
        char line[128];
        std::snprintf(line, sizeof line, "[Section%04d]\r\n", sections++);
        file += line;
        for (int k = 0; k < 40; ++k) {
            std::snprintf(line, sizeof line, "Key%02d=value %d of a section, some text to fill\r\n",
                          k, k);
            file += line;
        }
    }
    char last[32];
    std::snprintf(last, sizeof last, "Section%04d", sections - 1);
    std::vector<Operation> ops(3);
    ops[0] = {Kind::get_string, last, "Key39", "", 300, 0};
    ops[1] = {Kind::put_string, last, "Key39", "new value", 0, 0};
    ops[2] = {Kind::put_string, "NewSection", "NewKey", "1", 0, 0};
    const char* names[] = {"get (last entry)", "write (replace last entry)", "write (new section)"};
    std::printf("time per operation on a %zu-byte file (%d sections):\n", file.size(), sections);
    const File big(file);
    for (std::size_t i = 0; i < ops.size(); ++i) {
        const int core_runs = 50;
        double t0 = now_ms();
        for (int r = 0; r < core_runs; ++r) (void)oracle::run_core(big, ops[i]);
        const double core_ms = (now_ms() - t0) / core_runs;
        const int runs = 10;
        double system_ms = 0;
        windows.store(big);
        for (int r = 0; r < runs; ++r) {
            if (ops[i].kind == Kind::put_string) windows.store(big);
            t0 = now_ms();
            windows.forget();
            (void)windows.call(ops[i]);
            system_ms += now_ms() - t0;
        }
        std::printf("  %-28s ours %8.3f ms, system %8.3f ms\n", names[i], core_ms,
                    system_ms / runs);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char* corpus_path = nullptr;
    const char* overrides_path = nullptr;
    uint32_t seed = 20240607;
    long count = 10000;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) {
            seed = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        } else if (std::strcmp(argv[i], "--ops") == 0 && i + 1 < argc) {
            count = std::strtol(argv[++i], nullptr, 10);
        } else if (!corpus_path) {
            corpus_path = argv[i];
        } else {
            overrides_path = argv[i];
        }
    }
    if (!corpus_path) {
        std::fprintf(stderr, "usage: profile_oracle CORPUS [OVERRIDES] [--seed N] [--ops N]\n");
        return 2;
    }

    bool ok = false;
    const std::string text = read_all(corpus_path, ok);
    if (!ok) {
        std::fprintf(stderr, "profile_oracle: cannot read %s\n", corpus_path);
        return 2;
    }
    corpus::ParseResult parsed = corpus::parse_cases(text, corpus_path);
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "profile_oracle: %s\n", parsed.error.c_str());
        return 2;
    }
    if (overrides_path) {
        const std::string overrides = read_all(overrides_path, ok);
        const std::string error =
            ok ? corpus::apply_overrides(parsed.cases, overrides, overrides_path) : "cannot read";
        if (!error.empty()) {
            std::fprintf(stderr, "profile_oracle: %s: %s\n", overrides_path, error.c_str());
            return 2;
        }
    }

    const double start = now_ms();
    oracle::WindowsProfile windows("oracle.ini");
    Report report;
    long skipped = 0;
    long tidy_writes = 0;
    run_corpus(parsed.cases, windows, report, skipped);
    run_random(seed, count, windows, report, tidy_writes);

    std::printf("profile oracle: our core against the system's service\n");
    std::printf(
        "corpus: %zu cases, %ld of them skipped (failing writes, folders, read-only files:"
        " the file layer's concern)\n",
        parsed.cases.size(), skipped);
    std::printf("random: %ld operations, seed %u\n", count, static_cast<unsigned>(seed));
    std::printf("  %-28s %7s %7s %10s %7s\n", "operations", "total", "agree", "documented",
                "faults");
    for (const auto& [group, t] : report.tallies) {
        std::printf("  %-28s %7ld %7ld %10ld %7ld\n", group.c_str(), t.total(), t.agree,
                    t.documented, t.faults);
    }
    if (!report.documented.empty()) {
        std::printf("documented deliberate differences:\n");
        for (const auto& [what, n] : report.documented)
            std::printf("  %6ld  %s\n", n, what.c_str());
    }
    std::printf("ran in %.1f s\n", (now_ms() - start) / 1000.0);
    time_big_file(windows);

    if (report.fault_count > 0) {
        std::printf("%ld UNDOCUMENTED DISAGREEMENTS (faults in our core):\n", report.fault_count);
        for (const auto& [kind, list] : report.faults) {
            std::printf("  %zu x %s, for example:\n", list.size(), kind.c_str());
            for (std::size_t i = 0; i < list.size() && i < 3; ++i) {
                std::printf("    %s\n", list[i].c_str());
            }
        }
        return 1;
    }
    std::printf("no undocumented disagreement\n");
    return 0;
}
