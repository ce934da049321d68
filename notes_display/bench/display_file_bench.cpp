// Time of one PNFileAvailable and one PNDisplayFile call. The viewer is
// /bin/true, so the figure is the library's own cost: the existence test, the
// profile read and the start up to the viewer's successful exec.
//
// Before the benchmarks it prints two reports:
// - the memory a host holds after showing a 50 MB notes file (the library
//   keeps nothing between calls);
// - the cost of one PNDisplayFile call beside one plain posix_spawn of the
//   same viewer, in this small host and again after the host has touched
//   1 GB: a start that copied the host's address space would grow with it.
#include "quorle.h"

#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

// Notes files in a scratch folder, and `notepad.exe` (a link to /bin/true)
// at the front of PATH for the default viewer.
class Scratch {
public:
    Scratch() {
        std::string name = "/tmp/quorle-bench-XXXXXX";
        if (::mkdtemp(name.data()) == nullptr) {
            std::abort();
        }
        dir_ = name;
        std::filesystem::create_directory(dir_ / "bin");
        std::filesystem::create_symlink("/bin/true", dir_ / "bin" / "notepad.exe");
        const char* path = std::getenv("PATH");
        ::setenv(
            "PATH",
            ((dir_ / "bin").string() + ":" + (path != nullptr ? path : "/usr/bin:/bin")).c_str(),
            1);
        std::ofstream(dir_ / "default.txt") << "Release notes\n";
        std::ofstream(dir_ / "configured.txt")
            << "Release notes\n\n[ZOR_PNotes_File]\nPNotesCommandLine=/bin/true shown\n";
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    std::string file(const char* name) const { return (dir_ / name).string(); }

private:
    std::filesystem::path dir_;
};

const Scratch& scratch() {
    static const Scratch instance;
    return instance;
}

void BM_FileAvailable(benchmark::State& state) {
    const std::string notes = scratch().file("default.txt");
    for (auto _ : state) {
        benchmark::DoNotOptimize(PNFileAvailable(notes.c_str()));
    }
}
BENCHMARK(BM_FileAvailable);

void display(benchmark::State& state, const char* name) {
    const std::string notes = scratch().file(name);
    for (auto _ : state) {
        if (PNDisplayFile(notes.c_str()) != 1) {
            state.SkipWithError("PNDisplayFile returned 0");
            break;
        }
    }
}

void BM_DisplayFile_DefaultViewer(benchmark::State& state) {
    display(state, "default.txt");
}
void BM_DisplayFile_ConfiguredViewer(benchmark::State& state) {
    display(state, "configured.txt");
}
BENCHMARK(BM_DisplayFile_DefaultViewer)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DisplayFile_ConfiguredViewer)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The resident memory of this process, in MB.
double resident_mb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) return std::strtod(line.c_str() + 6, nullptr) / 1024;
    }
    return 0;
}

void report_memory_kept() {
    const std::string notes = scratch().file("large.txt");
    {
        std::ofstream out(notes, std::ios::binary);
        out << "[ZOR_PNotes_File]\nPNotesCommandLine=/bin/true shown\n";
        const std::string filler(1023, '.');
        for (int i = 0; i < 50 * 1024; ++i) out << filler << '\n';
    }
    const double before = resident_mb();
    if (PNDisplayFile(notes.c_str()) != 1) std::abort();
    std::printf("host memory after PNDisplayFile on a 50 MB notes file: %+.1f MB\n",
                resident_mb() - before);
    std::filesystem::remove(notes);
}

// The median time of `calls` calls of `call`, in microseconds.
template <typename Call>
double median_us(int calls, Call call) {
    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(calls));
    for (int i = 0; i < calls; ++i) {
        const auto begin = std::chrono::steady_clock::now();
        call();
        const std::chrono::duration<double, std::micro> spent =
            std::chrono::steady_clock::now() - begin;
        times.push_back(spent.count());
    }
    std::nth_element(times.begin(), times.begin() + calls / 2, times.end());
    return times[static_cast<std::size_t>(calls / 2)];
}

// One posix_spawn of /bin/true; the child is reaped outside the timed part,
// so the figure holds the start alone, as PNDisplayFile's does.
std::vector<pid_t> spawned;
void plain_spawn() {
    char program[] = "/bin/true";
    char* const argv[] = {program, nullptr};
    pid_t pid = 0;
    if (::posix_spawn(&pid, program, nullptr, nullptr, argv, environ) != 0) std::abort();
    spawned.push_back(pid);
}
void reap_spawned() {
    for (const pid_t pid : spawned) ::waitpid(pid, nullptr, 0);
    spawned.clear();
}

void report_start_cost(const char* host, int calls) {
    const std::string notes = scratch().file("configured.txt");
    double spawn_us = 0;
    for (int round = 0; round < 4; ++round) {  // spawn and reap in batches
        spawn_us += median_us(calls / 4, plain_spawn) / 4;
        reap_spawned();
    }
    const double display_us = median_us(calls, [&] {
        if (PNDisplayFile(notes.c_str()) != 1) std::abort();
    });
    std::printf("%-22s posix_spawn %8.1f us   PNDisplayFile %8.1f us   ratio %5.2f\n", host,
                spawn_us, display_us, display_us / spawn_us);
}

void report_start_costs() {
    std::printf("start of the viewer, median of 200 calls each:\n");
    report_start_cost("small host:", 200);
    const std::size_t size = std::size_t{1} << 30;
    void* memory =
        ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) std::abort();
    std::memset(memory, 1, size);
    report_start_cost("host that touched 1 GB:", 200);
    ::munmap(memory, size);
}

}  // namespace

int main(int argc, char** argv) {
    report_memory_kept();
    report_start_costs();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
