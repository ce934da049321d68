// The cost of a whole Vestrel run beside its floor, paired in one run: a
// successful run against the simulated device (request read twice, table
// read, five log entries, request written twice) and bare_run, a C program
// doing the same file work. Runs alternate; each is timed from spawn to exit.
//
//   vestrel_run_bench [RUNS [VESTREL BARE_RUN SIMULATED_DRIVER]]
//
// VESTREL is started with SIMULATED_DRIVER (the library file) preloaded. Prints
// the median of each and the median of the per-pair ratios (goal: at most
// 1.1).
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

const char kRequest[] = "[Vestrel]\nLogFile=run.log\nLptPort=1\n";
const char kTable[] = "[LPT SECTION]\nLPT1_BASE=888\nLPT2_BASE=956\nLPT3_BASE=632\n";

void write_text(const char* path, const char* text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Milliseconds from spawn to exit of `argv` with `environment`.
double timed_run(const std::vector<std::string>& argv,
                 const std::vector<std::string>& environment) {
    write_text("request.ini", kRequest);
    std::vector<char*> args, env;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const auto& e : environment) env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), env.data()) != 0) {
        std::perror(args[0]);
        std::exit(1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const auto end = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed\n", args[0]);
        std::exit(1);
    }
    return std::chrono::duration<double, std::milli>(end - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 200;
    const std::string vestrel = argc > 4 ? argv[2] : VESTREL_PROGRAM;
    const std::string bare = argc > 4 ? argv[3] : BARE_RUN_PROGRAM;
    const std::string driver = argc > 4 ? argv[4] : SIMULATED_DRIVER;

    const auto folder =
        std::filesystem::temp_directory_path() / ("vestrel_run_bench." + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    std::filesystem::current_path(folder);
    write_text("TROV.INI", kTable);
    const std::vector<std::string> vestrel_env = {"LD_PRELOAD=" + driver,
                                                  "DLPORTIO_SIM_STATUS=0x10"};

    std::vector<double> vestrel_ms, bare_ms, ratios;
    for (int i = 0; i < runs + 5; ++i) {
        const double v = timed_run({vestrel, "request.ini"}, vestrel_env);
        const double b = timed_run({bare, "request.ini"}, {});
        if (i < 5) continue;  // warm-up
        vestrel_ms.push_back(v);
        bare_ms.push_back(b);
        ratios.push_back(v / b);
    }
    std::filesystem::current_path("/");
    std::filesystem::remove_all(folder);

    std::printf("%d paired runs\n", runs);
    std::printf("  Vestrel run (simulated device)  %7.3f ms median\n", median(vestrel_ms));
    std::printf("  bare C, same file work          %7.3f ms median\n", median(bare_ms));
    std::printf("  ratio (median of pairs)         %7.2f   goal <= 1.10\n", median(ratios));
    return 0;
}
