// Each profile operation beside its floor, the least the same work costs in
// plain system calls, measured in one run, plus the memory one call needs:
//   profile_bench [--quick] [--huge] [folder]
// folder: where the files are written (default: the system's temporary
// folder; made when missing). Each file is generated, measured and removed.
//
// Files: realistic profiles ("[SectionNNN]" headers, "KeyNNNNNN=value ..."
// lines of about a hundred bytes) of 4 KB, 1 MB, 10 MB and 100 MB in ANSI and
// 20 MB in UTF-16LE (with its FF FE mark). --quick: 4 KB, 1 MB and 10 MB in
// ANSI and 4 MB in UTF-16LE, fewer repetitions, a few seconds in all.
//
// Operations, on the last key of the last section:
//   read     GetPrivateProfileStringA into a buffer of 300; the value must not
//            be empty.
//   replace  WritePrivateProfileStringA with one of two values of the stored
//            value's length, in turn, so that every call changes the file.
// Floors, on the same file:
//   read     the whole file read with read(2) into a buffer that is resident
//            before timing and reused, then memmem for the header and for the
//            key after it.
//   replace  the same, then the file's bytes written to a new file in the same
//            folder, fsync, and a rename over the file.
// Operation and floor take turns (which one goes first alternates too); the
// ratio is median(operation) / median(floor). The file stays in the page
// cache throughout: these are the costs of a file that was just used.
//
// Memory: for one call of each operation, the peak and the kept resident
// memory above the process's size just before the call (VmHWM, reset through
// /proc/self/clear_refs, and VmRSS of /proc/self/status), the larger figures
// of two successive calls, measured before the timings; the table also gives
// that size ("base"). The bench holds no large buffer then (files are
// generated line by line, the floor's buffer exists only while timing), so
// the figures are what the call itself needed.
//
// Goals: ratio <= 1.0 at 1 MB and above, <= 1.2 at 4 KB (none for UTF-16);
// peak <= 1024 KiB; nothing kept (up to 64 KiB is taken as measuring noise).
// The full run reports and exits 0; --quick exits 1 when a ratio is above 3
// times its goal or a peak above 4096 KiB, after printing the table. Either
// exits 1 when an operation gives a wrong result.
//
// --huge adds the memory of one read and one replace on a 1 GB ANSI and a
// 1 GB UTF-16LE file, when the folder has 3 GB free.
#include <fcntl.h>
#include <string.h>  // memmem
#include <sys/mman.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "private_profile.h"

namespace {

constexpr std::size_t kKiB = 1024;
constexpr std::size_t kMiB = 1024 * kKiB;
constexpr std::size_t kGiB = 1024 * kMiB;

constexpr std::size_t kLineBytes = 100;        // about, of each generated entry
constexpr std::size_t kKeysPerSection = 1000;  // fewer in small files

constexpr long kPeakGoalKiB = 1024;
constexpr long kKeptNoiseKiB = 64;
constexpr double kGrossFactor = 3;  // --quick fails above this times a goal
constexpr long kGrossPeakKiB = 4096;
constexpr std::size_t kHugeFreeBytes = 3 * kGiB;

struct Sample {
    const char* label;
    std::size_t bytes;
    bool utf16;
    int runs;     // timed repetitions of each operation and floor; 0: memory only
    double goal;  // highest ratio accepted; 0: none
};

// Repetitions: enough for stable medians, the whole run under two minutes.
const std::vector<Sample> kFull = {
    {"4 KB", 4 * kKiB, false, 101, 1.2},       // a request file, as callers use them
    {"1 MB", kMiB, false, 31, 1.0},            // a large configuration
    {"10 MB", 10 * kMiB, false, 15, 1.0},      // far larger than any real one
    {"100 MB", 100 * kMiB, false, 9, 1.0},     // where only the bytes count
    {"20 MB UTF-16", 20 * kMiB, true, 11, 0},  // through the UTF-16 conversion
};
const std::vector<Sample> kQuick = {
    {"4 KB", 4 * kKiB, false, 21, 1.2},
    {"1 MB", kMiB, false, 7, 1.0},
    {"10 MB", 10 * kMiB, false, 5, 1.0},
    {"4 MB UTF-16", 4 * kMiB, true, 5, 0},
};
const std::vector<Sample> kHuge = {
    {"1 GB", kGiB, false, 0, 0},
    {"1 GB UTF-16", kGiB, true, 0, 0},
};

// The path of the file being measured, removed with its floor's temporary
// file when the run stops early.
std::string g_path;

std::string floor_temp(const std::string& path) {
    return path + ".floor~";
}

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "profile_bench: %s\n", what.c_str());
    if (!g_path.empty()) {
        std::remove(g_path.c_str());
        std::remove(floor_temp(g_path).c_str());
    }
    std::exit(1);
}

// ---------------------------------------------------------------- files

// The last entry of a generated file, the one every operation works on.
struct Entry {
    std::string section;
    std::string key;
    std::string value;
};

std::string section_name(std::size_t s) {
    char name[32];
    std::snprintf(name, sizeof name, "Section%03zu", s);
    return name;
}

std::string key_name(std::size_t k) {
    char name[32];
    std::snprintf(name, sizeof name, "Key%06zu", k);
    return name;
}

std::string value_text(std::size_t s, std::size_t k) {
    char value[128];
    std::snprintf(value, sizeof value,
                  "value of entry %03zu/%06zu, padded to about a hundred bytes per line "
                  "....................",
                  s, k);
    return value;
}

// The text as UTF-16LE units (the generated text is ASCII).
std::string widen(std::string_view text) {
    std::string wide;
    wide.reserve(2 * text.size());
    for (const char c : text) {
        wide += c;
        wide += '\0';
    }
    return wide;
}

void put(std::FILE* f, const std::string& text, bool utf16) {
    const std::string bytes = utf16 ? widen(text) : text;
    if (std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
        fail("cannot write " + g_path);
    }
}

// Writes a file of about `bytes` bytes at g_path, line by line so that the
// bench holds no copy of it, and flushes it to the disk so that its write-back
// does not fall into the timings. Small files get fewer keys per section, so
// that they still hold several sections.
Entry generate(std::size_t bytes, bool utf16) {
    const std::size_t lines = std::max<std::size_t>(1, bytes / kLineBytes / (utf16 ? 2 : 1));
    const std::size_t per_section = std::clamp<std::size_t>(lines / 10, 1, kKeysPerSection);
    std::FILE* f = std::fopen(g_path.c_str(), "wb");
    if (!f) fail("cannot create " + g_path);
    if (utf16) std::fputs("\xFF\xFE", f);
    for (std::size_t i = 0; i < lines; ++i) {
        const std::size_t s = i / per_section;
        const std::size_t k = i % per_section;
        if (k == 0) put(f, "[" + section_name(s) + "]\r\n", utf16);
        put(f, key_name(k) + "=" + value_text(s, k) + "\r\n", utf16);
    }
    if (std::fflush(f) != 0 || ::fsync(::fileno(f)) != 0 || std::fclose(f) != 0) {
        fail("cannot write " + g_path);
    }
    const std::size_t s = (lines - 1) / per_section;
    const std::size_t k = (lines - 1) % per_section;
    return {section_name(s), key_name(k), value_text(s, k)};
}

// ---------------------------------------------------------------- operations

std::string read_value(const Entry& e) {
    char buffer[300];
    const uint32_t n = GetPrivateProfileStringA(e.section.c_str(), e.key.c_str(), "", buffer,
                                                sizeof buffer, g_path.c_str());
    return std::string(buffer, n);
}

void read_op(const Entry& e) {
    if (read_value(e).empty()) fail("read gave an empty value in " + g_path);
}

// Writes the entry's value, in turn one of two strings of the stored value's
// length, so that every call changes the file.
class Replace {
public:
    explicit Replace(const Entry& e) : entry_(e), values_{e.value, e.value} {
        values_[0].back() = 'A';
        values_[1].back() = 'B';
    }
    void operator()() {
        const std::string& value = values_[calls_++ % 2];
        if (!WritePrivateProfileStringA(entry_.section.c_str(), entry_.key.c_str(), value.c_str(),
                                        g_path.c_str())) {
            fail("replace failed in " + g_path);
        }
    }
    // The value the last call wrote.
    const std::string& written() const { return values_[(calls_ + 1) % 2]; }

private:
    const Entry& entry_;
    std::string values_[2];
    unsigned calls_ = 0;
};

// ---------------------------------------------------------------- floors

// Pages mapped and touched once, so that they are resident before any timing;
// unmapped as a whole, so that none of them stays with the process.
class Resident {
public:
    explicit Resident(std::size_t size) : size_(size) {
        void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) fail("cannot map the floor's buffer");
        data_ = static_cast<char*>(p);
        std::fill(data_, data_ + size_, ' ');
    }
    ~Resident() { ::munmap(data_, size_); }
    Resident(const Resident&) = delete;
    Resident& operator=(const Resident&) = delete;
    char* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    char* data_;
    std::size_t size_;
};

// What a lookup of the entry searches for, in the file's encoding.
struct Needles {
    std::string header;
    std::string key;
};

Needles needles_for(const Entry& e, bool utf16) {
    Needles n{"[" + e.section + "]", e.key + "="};
    if (utf16) n = {widen(n.header), widen(n.key)};
    return n;
}

// Reads the whole file into the buffer; returns its size.
std::size_t read_whole(const Resident& buffer) {
    const int fd = ::open(g_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail("cannot open " + g_path);
    std::size_t size = 0;
    ssize_t got;
    while ((got = ::read(fd, buffer.data() + size, buffer.size() - size)) > 0) {
        size += static_cast<std::size_t>(got);
        if (size == buffer.size()) fail(g_path + " outgrew the floor's buffer");
    }
    ::close(fd);
    if (got < 0) fail("cannot read " + g_path);
    return size;
}

// The header, then the key after it: the least a lookup must find.
void find_entry(const char* data, std::size_t size, const Needles& n) {
    const auto* header =
        static_cast<const char*>(::memmem(data, size, n.header.data(), n.header.size()));
    const char* from = header ? header + n.header.size() : data + size;
    if (!header ||
        !::memmem(from, static_cast<std::size_t>(data + size - from), n.key.data(), n.key.size())) {
        fail("the floor did not find the entry in " + g_path);
    }
}

void read_floor(const Resident& buffer, const Needles& n) {
    find_entry(buffer.data(), read_whole(buffer), n);
}

// Writes the bytes it read back through a new file: a changed value's bytes
// would be the same size and the same work, and leaving the value as it is
// lets the next replace change it.
void replace_floor(const Resident& buffer, const Needles& n) {
    const std::size_t size = read_whole(buffer);
    find_entry(buffer.data(), size, n);
    const std::string temp = floor_temp(g_path);
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) fail("cannot create " + temp);
    for (std::size_t done = 0; done < size;) {
        const ssize_t put = ::write(fd, buffer.data() + done, size - done);
        if (put <= 0) fail("cannot write " + temp);
        done += static_cast<std::size_t>(put);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0 || std::rename(temp.c_str(), g_path.c_str()) != 0) {
        fail("cannot replace " + g_path);
    }
}

// ---------------------------------------------------------------- measuring

struct Timing {
    double op_ms = NAN;
    double floor_ms = NAN;
};

double median(std::vector<double> v) {
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

double time_ms(const std::function<void()>& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

// Runs the operation and its floor `runs` times each, taking turns, after one
// untimed call of each; which of them goes first alternates, so that neither
// always finds the other's leftovers.
Timing time_pair(int runs, const std::function<void()>& op, const std::function<void()>& floor) {
    op();
    floor();
    std::vector<double> op_ms, floor_ms;
    for (int i = 0; i < runs; ++i) {
        if (i % 2 == 0) op_ms.push_back(time_ms(op));
        floor_ms.push_back(time_ms(floor));
        if (i % 2 != 0) op_ms.push_back(time_ms(op));
    }
    return {median(op_ms), median(floor_ms)};
}

// A field of /proc/self/status in KiB, read without allocating so that the
// reading itself does not move the figures.
long status_kib(const char* field) {
    char text[8192];
    const int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    const ssize_t got = fd < 0 ? -1 : ::read(fd, text, sizeof text - 1);
    if (fd >= 0) ::close(fd);
    if (got <= 0) fail("cannot read /proc/self/status");
    text[got] = '\0';
    char name[32];
    std::snprintf(name, sizeof name, "\n%s:", field);
    const char* line = std::strstr(text, name);
    if (!line) fail(std::string("no ") + field + " in /proc/self/status");
    return std::strtol(line + std::strlen(name), nullptr, 10);
}

struct Memory {
    long base_kib = 0;  // the process's resident size before the call
    long peak_kib = 0;
    long kept_kib = 0;
};

// The peak and the kept resident memory of one call, above the process's size
// just before it.
Memory measure_memory(const std::function<void()>& call) {
    const int fd = ::open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
    if (fd < 0 || ::write(fd, "5", 1) != 1) fail("cannot reset the peak in /proc/self/clear_refs");
    ::close(fd);
    const long before = status_kib("VmRSS");
    call();
    return {before, status_kib("VmHWM") - before, status_kib("VmRSS") - before};
}

// The larger figures of two successive calls: the C library's allocator
// keeps a large block a call frees only once an earlier call of that size
// raised its threshold for giving blocks pages of their own, so a first call
// alone would not show what later calls keep.
Memory measure_two_calls(const std::function<void()>& call) {
    const Memory first = measure_memory(call);
    const Memory second = measure_memory(call);
    return {first.base_kib, std::max(first.peak_kib, second.peak_kib),
            std::max(first.kept_kib, second.kept_kib)};
}

// ---------------------------------------------------------------- runs

struct Row {
    std::string file;
    const char* operation;
    int runs;
    double goal;
    Timing timing;
    Memory memory;

    double ratio() const { return timing.op_ms / timing.floor_ms; }
};

void check_value(const Entry& e, const std::string& expected) {
    if (read_value(e) != expected) fail("the value read back is not the one written in " + g_path);
}

// Generates the file, measures the memory of each operation, times both
// against their floors and removes the file again.
void bench_file(const Sample& sample, std::vector<Row>& rows) {
    std::fprintf(stderr, "%s...\n", sample.label);
    const Entry last = generate(sample.bytes, sample.utf16);
    Row read{sample.label, "read", sample.runs, sample.goal, {}, {}};
    Row replace{sample.label, "replace", sample.runs, sample.goal, {}, {}};
    Replace replace_op(last);
    // Memory first: these are the first calls on the file, so memory that
    // earlier calls of the same size left with the process cannot hide what
    // they need.
    read.memory = measure_two_calls([&] { read_op(last); });
    check_value(last, last.value);
    replace.memory = measure_two_calls([&] { replace_op(); });
    if (sample.runs > 0) {
        const Needles needles = needles_for(last, sample.utf16);
        const Resident buffer(std::filesystem::file_size(g_path) + kKiB);
        read.timing = time_pair(
            sample.runs, [&] { read_op(last); }, [&] { read_floor(buffer, needles); });
        replace.timing = time_pair(
            sample.runs, [&] { replace_op(); }, [&] { replace_floor(buffer, needles); });
    }
    check_value(last, replace_op.written());
    std::remove(g_path.c_str());
    rows.push_back(read);
    rows.push_back(replace);
}

// The first calls fault in the code of the profile layer and of the measuring
// itself, which is no call's memory: they are made on a small file first.
void warm_up() {
    const Entry e = generate(10 * kLineBytes, false);
    measure_memory([&] { read_op(e); });
    measure_memory([&] { Replace{e}(); });
    std::remove(g_path.c_str());
}

bool huge_fits(const std::string& folder) {
    struct statvfs fs {};
    if (::statvfs(folder.c_str(), &fs) != 0) fail("cannot read the free space of " + folder);
    const double free_bytes = static_cast<double>(fs.f_bavail) * static_cast<double>(fs.f_frsize);
    if (free_bytes >= static_cast<double>(kHugeFreeBytes)) return true;
    std::printf("--huge skipped: %.1f GB free in %s, 3 GB needed\n\n", free_bytes / 1e9,
                folder.c_str());
    return false;
}

// ---------------------------------------------------------------- report

// "ratio 1.23, goal <= 1.2: MISSED", "ratio 1.23, no goal" or "not timed".
std::string ratio_verdict(const Row& r) {
    if (std::isnan(r.ratio())) return "not timed";
    char text[64];
    if (r.goal > 0) {
        std::snprintf(text, sizeof text, "ratio %.2f, goal <= %.1f: %s", r.ratio(), r.goal,
                      r.ratio() <= r.goal ? "met" : "MISSED");
    } else {
        std::snprintf(text, sizeof text, "ratio %.2f, no goal", r.ratio());
    }
    return text;
}

std::string number(double value, const char* format) {
    if (std::isnan(value) || value == 0) return "-";
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

void print_table(const std::vector<Row>& rows) {
    std::printf("%-13s %-8s %5s %12s %12s %7s %6s %9s %9s %9s\n", "file", "operation", "runs",
                "op ms", "floor ms", "ratio", "goal", "base KiB", "peak KiB", "kept KiB");
    for (const Row& r : rows) {
        std::printf("%-13s %-8s %5s %12s %12s %7s %6s %9ld %9ld %9ld\n", r.file.c_str(),
                    r.operation, number(r.runs, "%.0f").c_str(),
                    number(r.timing.op_ms, "%.4f").c_str(),
                    number(r.timing.floor_ms, "%.4f").c_str(), number(r.ratio(), "%.2f").c_str(),
                    number(r.goal, "%.1f").c_str(), r.memory.base_kib, r.memory.peak_kib,
                    r.memory.kept_kib);
    }
    std::printf("\n");
}

const char* met(bool ok) {
    return ok ? "met" : "MISSED";
}

void print_verdicts(const std::vector<Row>& rows) {
    for (const Row& r : rows) {
        std::printf("%s %s: %s; peak %ld KiB, goal <= %ld: %s; kept %ld KiB, goal none: %s\n",
                    r.file.c_str(), r.operation, ratio_verdict(r).c_str(), r.memory.peak_kib,
                    kPeakGoalKiB, met(r.memory.peak_kib <= kPeakGoalKiB), r.memory.kept_kib,
                    met(r.memory.kept_kib <= kKeptNoiseKiB));
    }
    std::printf(
        "(memory: each figure is the larger of two successive calls; kept up to %ld KiB counts as "
        "none, as the resident size moves by a few pages on its own; the kernel records the peak "
        "from counters that lag by some pages, so a peak may read up to a few hundred KiB "
        "low)\n",
        kKeptNoiseKiB);
}

// The rows that fail --quick: a ratio above kGrossFactor times its goal or a
// peak above kGrossPeakKiB.
int gross_regressions(const std::vector<Row>& rows) {
    int count = 0;
    for (const Row& r : rows) {
        if (r.goal > 0 && r.ratio() > kGrossFactor * r.goal) {
            std::printf("gross regression: %s %s ratio %.2f above %.0f x %.1f\n", r.file.c_str(),
                        r.operation, r.ratio(), kGrossFactor, r.goal);
            ++count;
        }
        if (r.memory.peak_kib > kGrossPeakKiB) {
            std::printf("gross regression: %s %s peak %ld KiB above %ld KiB\n", r.file.c_str(),
                        r.operation, r.memory.peak_kib, kGrossPeakKiB);
            ++count;
        }
    }
    return count;
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    bool huge = false;
    std::string folder;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            quick = true;
        } else if (arg == "--huge") {
            huge = true;
        } else if (arg.rfind("-", 0) != 0 && folder.empty()) {
            folder = arg;
        } else {
            std::fprintf(stderr, "usage: profile_bench [--quick] [--huge] [folder]\n");
            return 2;
        }
    }
    if (folder.empty()) folder = std::filesystem::temp_directory_path().string();
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) fail("cannot make the folder " + folder + ": " + error.message());
    g_path = folder + "/profile_bench.ini";

    warm_up();
    std::vector<Row> rows;
    for (const Sample& sample : quick ? kQuick : kFull) bench_file(sample, rows);
    if (huge && huge_fits(folder)) {
        for (const Sample& sample : kHuge) bench_file(sample, rows);
    }

    print_table(rows);
    print_verdicts(rows);
    if (!quick) return 0;
    const int gross = gross_regressions(rows);
    std::printf("--quick: %s\n", gross == 0 ? "no gross regression" : "FAILED");
    return gross == 0 ? 0 : 1;
}
