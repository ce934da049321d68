// Times the three profile operations on a generated 10 MB file of 100 000
// entries and compares them with reading and rewriting that file once:
//   profile_bench [folder]      (default: the system's temporary folder)
// Prints ms per operation, MB/s over the file's size, and the peak resident
// memory of the process (the file is generated in pieces, so the peak is what
// the operations themselves needed). Then, for a 50 MB file in ANSI and in
// UTF-16, the memory one read and one write needed at their peak and the
// memory the process still holds after each (nothing is kept between calls).
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "private_profile.h"

namespace {

constexpr int kSections = 100;
constexpr int kKeysPerSection = 1000;

double now_ms() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

double peak_rss_mb() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB
}

// A field of /proc/self/status, in MB.
double status_mb(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(status, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            return std::strtod(line.c_str() + prefix.size(), nullptr) / 1024.0;  // in kB
        }
    }
    return 0;
}

// Writes a file of about `mb` MB: one entry at the top, filler lines after
// it; in UTF-16LE with its mark when asked.
void generate_large(const std::string& path, int mb, bool utf16) {
    std::ofstream out(path, std::ios::binary);
    auto put = [&](const std::string& ansi) {
        if (!utf16) {
            out << ansi;
            return;
        }
        std::string wide;
        for (const char c : ansi) {
            wide += c;
            wide += '\0';
        }
        out << wide;
    };
    if (utf16) out << "\xFF\xFE";
    put("[S]\r\nk=v\r\n");
    const std::string filler = "f=" + std::string(1021, '.') + "\r\n";  // 1 KiB a line
    const int lines = (mb << 20) / static_cast<int>(filler.size()) / (utf16 ? 2 : 1);
    for (int i = 0; i < lines; ++i) put(filler);
}

// The peak and the kept resident memory of one operation, above what the
// process held before it.
void measure_memory(const char* name, const std::string& path, const std::function<void()>& op) {
    std::ofstream("/proc/self/clear_refs") << "5";  // resets the peak (VmHWM)
    const double before = status_mb("VmRSS");
    op();
    const double peak = status_mb("VmHWM") - before;
    const double kept = status_mb("VmRSS") - before;
    const double size = static_cast<double>(std::filesystem::file_size(path)) / (1 << 20);
    std::printf("%-34s %7.1f MB file: peak +%6.1f MB (%.2fx), kept afterwards %+6.1f MB\n", name,
                size, peak, peak / size, kept);
}

void memory_report(const std::string& folder) {
    std::printf("\n");
    for (const bool utf16 : {false, true}) {
        const std::string path = folder + "/profile_bench_large.ini";
        generate_large(path, 50, utf16);
        measure_memory(utf16 ? "UTF-16: read a key" : "ANSI: read a key", path, [&] {
            char buffer[300];
            if (GetPrivateProfileStringA("S", "k", "", buffer, sizeof buffer, path.c_str()) != 1) {
                std::exit(1);
            }
        });
        measure_memory(utf16 ? "UTF-16: replace a value" : "ANSI: replace a value", path, [&] {
            if (!WritePrivateProfileStringA("S", "k", "w", path.c_str())) std::exit(1);
        });
        std::remove(path.c_str());
    }
}

std::size_t generate(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        std::perror(path.c_str());
        std::exit(1);
    }
    std::size_t size = 0;
    char line[160];
    for (int s = 0; s < kSections; ++s) {
        int n = std::snprintf(line, sizeof line, "[Section%03d]\r\n", s);
        size += std::fwrite(line, 1, static_cast<std::size_t>(n), f);
        for (int k = 0; k < kKeysPerSection; ++k) {
            n = std::snprintf(line, sizeof line,
                              "Key%06d=value of entry %03d/%06d, padded to about a hundred "
                              "bytes per line ....................\r\n",
                              k, s, k);
            size += std::fwrite(line, 1, static_cast<std::size_t>(n), f);
        }
    }
    std::fclose(f);
    return size;
}

// Reads the file once, as a baseline.
void read_once(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    std::vector<char> buf(1 << 20);
    while (::read(fd, buf.data(), buf.size()) > 0) {
    }
    ::close(fd);
}

// Copies the file to a temporary and renames it back, optionally with fsync:
// the least a rewrite of the whole file costs.
void rewrite_once(const std::string& path, bool sync) {
    const std::string temp = path + ".copy";
    const int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    std::vector<char> buf(1 << 20);
    ssize_t got;
    while ((got = ::read(in, buf.data(), buf.size())) > 0) {
        if (::write(out, buf.data(), static_cast<std::size_t>(got)) != got) std::exit(1);
    }
    if (sync) ::fsync(out);
    ::close(in);
    ::close(out);
    std::rename(temp.c_str(), path.c_str());
}

void report(const char* name, int runs, const std::function<void(int)>& op, double mb) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const double t0 = now_ms();
        op(i);
        times.push_back(now_ms() - t0);
    }
    std::sort(times.begin(), times.end());
    const double median = times[times.size() / 2];
    if (mb > 0) {
        std::printf("%-34s %9.2f %9.2f %9.0f\n", name, times.front(), median,
                    mb / (median / 1000.0));
    } else {
        std::printf("%-34s %9.2f %9.2f %9s\n", name, times.front(), median, "-");
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string folder = argc > 1 ? argv[1] : std::filesystem::temp_directory_path().string();
    const std::string path = folder + "/profile_bench.ini";
    const std::size_t bytes = generate(path);
    const double mb = static_cast<double>(bytes) / 1e6;
    // A zero result means the entry was not found: the timings would be of
    // the wrong work.
    char last_section_name[32];
    std::snprintf(last_section_name, sizeof last_section_name, "Section%03d", kSections - 1);
    const std::string last_section = last_section_name;
    char last_key[32];
    std::snprintf(last_key, sizeof last_key, "Key%06d", kKeysPerSection - 1);

    std::printf("file %s: %.2f MB, %d entries\n", path.c_str(), mb, kSections * kKeysPerSection);
    std::printf("peak RSS after generating: %.1f MB\n\n", peak_rss_mb());
    std::printf("%-34s %9s %9s %9s\n", "operation", "min ms", "median ms", "MB/s");

    report(
        "baseline: read the file once", 20, [&](int) { read_once(path); }, mb);
    report(
        "baseline: rewrite once, no fsync", 10, [&](int) { rewrite_once(path, false); }, mb);
    report(
        "baseline: rewrite once with fsync", 10, [&](int) { rewrite_once(path, true); }, mb);

    report(
        "read the last key", 20,
        [&](int) {
            char buffer[300];
            if (GetPrivateProfileStringA(last_section.c_str(), last_key, "", buffer, sizeof buffer,
                                         path.c_str()) == 0) {
                std::exit(1);
            }
        },
        mb);
    report(
        "read the last key as integer", 20,
        [&](int) { GetPrivateProfileIntA(last_section.c_str(), last_key, 0, path.c_str()); }, mb);
    const double rss_reads = peak_rss_mb();

    report(
        "replace the last value", 10,
        [&](int i) {
            const std::string value = "replaced value " + std::to_string(i);
            if (!WritePrivateProfileStringA(last_section.c_str(), last_key, value.c_str(),
                                            path.c_str())) {
                std::exit(1);
            }
        },
        mb);
    report(
        "append a new key (last section)", 10,
        [&](int i) {
            const std::string key = "NewKey" + std::to_string(i);
            if (!WritePrivateProfileStringA(last_section.c_str(), key.c_str(), "appended",
                                            path.c_str())) {
                std::exit(1);
            }
        },
        mb);
    report(
        "replace a value (first section)", 10,
        [&](int i) {
            const std::string value = "first " + std::to_string(i);
            if (!WritePrivateProfileStringA("Section000", "Key000000", value.c_str(),
                                            path.c_str())) {
                std::exit(1);
            }
        },
        mb);
    report(
        "write the value already stored", 10,
        [&](int) {
            WritePrivateProfileStringA("Section000", "Key000000", "first 9", path.c_str());
        },
        mb);
    const double rss_all = peak_rss_mb();

    // The everyday case: a small request file, where a write's cost is the
    // fsync that makes the replacement durable, not the bytes.
    const std::string small = folder + "/profile_bench_small.ini";
    {
        FILE* f = std::fopen(small.c_str(), "wb");
        std::fputs("[Vestrel]\r\nLptPort=1\r\nLogFile=run.log\r\nReturnValue=Failed\r\n", f);
        std::fclose(f);
    }
    report(
        "small file: read a key", 50,
        [&](int) {
            char buffer[300];
            GetPrivateProfileStringA("Vestrel", "LogFile", "", buffer, sizeof buffer,
                                     small.c_str());
        },
        0);
    report(
        "small file: replace a value", 20,
        [&](int i) {
            WritePrivateProfileStringA("Vestrel", "ReturnValue", i % 2 ? "Failed" : "Success",
                                       small.c_str());
        },
        0);
    std::remove(small.c_str());

    std::printf("\npeak RSS after reads: %.1f MB, after writes: %.1f MB (file %.1f MB, %.2fx)\n",
                rss_reads, rss_all, mb, rss_all / mb);
    std::remove(path.c_str());
    memory_report(folder);
    return 0;
}
