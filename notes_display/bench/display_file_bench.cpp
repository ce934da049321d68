// Time of one PNFileAvailable and one PNDisplayFile call. The viewer is
// /bin/true, so the figure is the library's own cost: the existence test, the
// profile read and the start up to the viewer's successful exec. First it
// prints the memory a host holds after showing a 50 MB notes file: the
// library keeps nothing between calls.
#include "quorle.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

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

}  // namespace

int main(int argc, char** argv) {
    report_memory_kept();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
