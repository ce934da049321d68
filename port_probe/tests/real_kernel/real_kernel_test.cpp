// Checks what the real-kernel rig's boots left behind (run-rig): for every
// scenario, the request file that the installed Vestrel wrote in the guest,
// the exact register accesses that QEMU traced between the scenario's
// markers and, for a base that is no parallel port, that nothing reached the
// device there; that each boot ended with its power-off, not a reset; what a
// traced run showed of its capability sets; and the modules the package has
// loaded at boot.
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

// One traced register access: offset from the port's base and value.
struct Access {
    char direction;  // 'R' or 'W'
    unsigned offset;
    unsigned value;

    std::string text() const {
        char line[32];
        std::snprintf(line, sizeof line, "%c +%u 0x%02X", direction, offset, value);
        return line;
    }
};

// One access to any device's I/O ports (QEMU's memory_region_ops events):
// the I/O address and the device's region.
struct IoAccess {
    char direction;
    unsigned address;
    std::string device;
};

// What QEMU traced between a scenario's markers.
struct Segment {
    std::vector<Access> parallel;
    std::vector<IoAccess> io;
};

struct Run {
    std::string end_way;  // how the end marker was written: raw or ppdev
    long elapsed_ms = -1;
    int status = -1;
    std::map<std::string, std::string> request;  // the request file's entries
    Lines observed;                              // rig_helper watch's report
};

struct Boot {
    std::map<std::string, Run> runs;
    std::map<std::string, int> numbers;  // scenario -> marker number
    std::map<int, Segment> segments;     // marker number -> accesses
    std::string packaged_modules;        // "@@rig modules-load.d ..."
    bool powered_off = false;            // QEMU saw the guest's shutdown
};

const unsigned kBeginMarker = 0xA5;
const unsigned kEndMarker = 0x5A;

Lines read_lines(const std::string& path) {
    std::istringstream in(test_support::file_bytes(path));
    Lines lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

struct Trace {
    std::vector<Access> parallel;
    // Each I/O access with the number of parallel-port accesses before it.
    std::vector<std::pair<std::size_t, IoAccess>> io;
    bool powered_off = false;
};

// "parallel_ioport_write write [SW] addr 0x02 val 0x04",
// "memory_region_ops_write cpu 0 mr 0x55.. addr 0x64 value 0x4 size 1 name 'i8042-cmd'",
// "qemu_system_shutdown_request reason=..."
Trace read_trace(const std::string& path) {
    Trace trace;
    for (const auto& line : read_lines(path)) {
        char kind[8] = "";
        char device[64] = "";
        unsigned offset = 0, value = 0;
        if (std::sscanf(line.c_str(), "parallel_ioport_%7s %*s [%*[^]]] addr %x val %x", kind,
                        &offset, &value) == 3)
            trace.parallel.push_back({kind[0] == 'w' ? 'W' : 'R', offset, value});
        else if (std::sscanf(line.c_str(),
                             "memory_region_ops_%7s cpu %*d mr %*s addr %x value %*s size %*u "
                             "name '%63[^']'",
                             kind, &offset, device) == 3)
            trace.io.push_back(
                {trace.parallel.size(), {kind[0] == 'w' ? 'W' : 'R', offset, device}});
        else if (line.rfind("qemu_system_shutdown_request", 0) == 0)
            trace.powered_off = true;
    }
    return trace;
}

// The accesses between each scenario's begin and end markers (each marker:
// two data-register writes, the marker byte and the scenario's number).
std::map<int, Segment> segments(const Trace& trace) {
    const auto& parallel = trace.parallel;
    std::map<int, Segment> found;
    // Marker number -> the parallel accesses [first, last) of its segment.
    std::map<int, std::pair<std::size_t, std::size_t>> bounds;
    int open = -1;
    for (std::size_t i = 0; i < parallel.size(); ++i) {
        const bool data_write = parallel[i].direction == 'W' && parallel[i].offset == 0;
        if (data_write && i + 1 < parallel.size() && parallel[i + 1].direction == 'W' &&
            parallel[i + 1].offset == 0 &&
            (parallel[i].value == kBeginMarker || parallel[i].value == kEndMarker)) {
            const int number = static_cast<int>(parallel[i + 1].value);
            if (parallel[i].value == kBeginMarker) {
                open = number;
                bounds[number] = {i + 2, i + 2};
                found[number];
            } else {
                if (open >= 0) bounds[open].second = i;
                open = -1;
            }
            ++i;
            continue;
        }
        if (open >= 0) found[open].parallel.push_back(parallel[i]);
    }
    // The parallel ports' own accesses are the ones above.
    for (const auto& [after, access] : trace.io)
        for (const auto& [number, range] : bounds)
            if (access.device != "parallel")
                if (after >= range.first && after <= range.second)
                    found[number].io.push_back(access);
    return found;
}

Boot read_boot(const std::string& name) {
    Boot boot;
    const std::string base = std::string(RIG_OUTPUT_DIR) + "/" + name;
    Run* run = nullptr;
    for (const auto& line : read_lines(base + ".console")) {
        const auto at = line.find("@@rig ");
        if (at != std::string::npos) {
            std::istringstream words(line.substr(at + 6));
            std::string word, scenario;
            int number = 0;
            words >> word;
            if (word == "begin" && words >> scenario >> number) {
                run = &boot.runs[scenario];
                boot.numbers[scenario] = number;
            } else if (word == "run" && run) {
                words >> run->elapsed_ms >> run->status;
            } else if (word == "end" && run) {
                words >> scenario >> number >> run->end_way;
                run = nullptr;
            } else if (word == "observed" && run) {
                std::string rest;
                std::getline(words >> std::ws, rest);
                run->observed.push_back(rest);
            } else if (word == "modules-load.d") {
                std::getline(words, boot.packaged_modules);
            }
            continue;
        }
        const auto equals = line.find('=');
        if (run && equals != std::string::npos)
            run->request[line.substr(0, equals)] = line.substr(equals + 1);
    }
    const Trace trace = read_trace(base + ".trace");
    boot.segments = segments(trace);
    boot.powered_off = trace.powered_off;
    return boot;
}

const Boot& boot(const std::string& name) {
    static std::map<std::string, Boot> boots;
    auto found = boots.find(name);
    if (found == boots.end()) found = boots.emplace(name, read_boot(name)).first;
    return found->second;
}

// How the scenario's probe reached the port.
enum class Way {
    driver,  // ppdev: the claim's two writes of the idle lines (0xC), then
             // the lines 0x4 and 0x8 with the claim's other bits, one read
    raw,     // ioperm: exactly 0x04 and 0x08 to control, one status read
    none,    // no register access at all
};

struct ScenarioCase {
    const char* name;
    const char* boot;
    Way way;
    const char* return_value;
    std::string reason;
    long min_elapsed_ms;
    // A base that is no parallel port: no device's I/O port from it to
    // base + 2 may be reached.
    unsigned foreign_base = 0;
};

void PrintTo(const ScenarioCase& row, std::ostream* out) {
    *out << row.name;
}

const std::string kLpt1 = "No access to I/O port 890 (0x37A) of LPT1: ";
const std::string kLpt3 = "No access to I/O port 634 (0x27A) of LPT3: ";
const std::string kNeedsCapability =
    "raw port access needs CAP_SYS_RAWIO (setcap cap_sys_rawio=ep on Vestrel)";
const std::string kLockedDown = "raw port access is refused: the kernel is locked down";
const std::string kNoNode = "no /dev/parport0 (load the module ppdev), and ";
const std::string kNoPermission = "no permission on /dev/parport0 (join group lp), and ";
const std::string kNoKernelPort = "no kernel parallel port at this address, and ";
const char kAt888[] = "request.ini: port = 1, addr = 888";
// The ranges the address rule computes in the guest: the standard ports and
// QEMU's two ports, which the guest's ACPI lists as PNP0400.
const std::string kNoParallelPort =
    "no parallel port of this machine has a register at this address (raw port access reaches "
    "only 0x278-0x27F, 0x378-0x37F, 0x3BC-0x3BE: the standard ports and the parallel ports in "
    "/sys/bus/pnp and /sys/bus/pci)";

// LPT1 at `base`, whose control register is some other device's.
ScenarioCase foreign(const char* name, unsigned base) {
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "No access to I/O port %u (0x%X) of LPT1: ", base + 2,
                  base + 2);
    return {name, "normal", Way::none, "Failed", prefix + kNoParallelPort, 0, base};
}

const ScenarioCase kScenarios[] = {
    {"no_ppdev_root", "normal", Way::raw, "Success", kAt888, 0},
    {"no_ppdev_user", "normal", Way::none, "Failed", kLpt1 + kNoNode + kNeedsCapability, 0},
    {"root", "normal", Way::driver, "Success", kAt888, 0},
    {"no_group_no_capability", "normal", Way::none, "Failed",
     kLpt1 + kNoPermission + kNeedsCapability, 0},
    {"lp_user", "normal", Way::driver, "Success", kAt888, 0},
    {"busy", "normal", Way::none, "Failed",
     kLpt1 + "/dev/parport0 is in use by another program (gave up after 2 s)", 2000},
    {"no_kernel_port_user", "normal", Way::none, "Failed", kLpt3 + kNoKernelPort + kNeedsCapability,
     0},
    {"capability_card_without_driver", "normal", Way::raw, "Success",
     "request.ini: port = 3, addr = 632", 0},
    {"capability_kernel_port", "normal", Way::raw, "Success", kAt888, 0},
    {"capability_given_up_at_start", "normal", Way::raw, "Success",
     "request.ini: port = 3, addr = 632", 0},
    foreign("reset_control_register", 3319),
    foreign("keyboard_controller", 98),
    foreign("disk_command_register", 501),
    foreign("cmos_index", 110),
    foreign("reset_control_register_root", 3319),
    {"second_kernel_port", "normal", Way::driver, "Success", kAt888, 0},
    {"locked_root", "lockdown", Way::driver, "Success", kAt888, 0},
    {"locked_lp_user", "lockdown", Way::driver, "Success", kAt888, 0},
    {"locked_capability_only", "lockdown", Way::none, "Failed", kLpt1 + kNoPermission + kLockedDown,
     0},
    {"locked_no_kernel_port", "lockdown", Way::none, "Failed", kLpt3 + kNoKernelPort + kLockedDown,
     0},
    {"locked_without_ppdev", "lockdown", Way::none, "Failed", kLpt1 + kNoNode + kLockedDown, 0},
};

// A claim through /dev/parportN writes the control register twice with the
// idle lines (restoring the port's state, enabling its interrupt); an end
// marker written through ppdev leaves these two writes at the end of the
// segment before it.
bool idle_control_write(const Access& a) {
    return a.direction == 'W' && a.offset == 2 && (a.value & 0x0Fu) == 0x0Cu;
}

void expect_accesses(Way way, const std::vector<Access>& accesses) {
    Lines texts;
    for (const auto& a : accesses) texts.push_back(a.text());
    switch (way) {
        case Way::none:
            EXPECT_EQ(texts, Lines{});
            return;
        case Way::raw:
            ASSERT_EQ(texts.size(), 3u) << ::testing::PrintToString(texts);
            EXPECT_EQ(texts[0], "W +2 0x04");
            EXPECT_EQ(texts[1], "W +2 0x08");
            EXPECT_EQ(texts[2].substr(0, 5), "R +1 ");
            return;
        case Way::driver:
            ASSERT_EQ(texts.size(), 5u) << ::testing::PrintToString(texts);
            EXPECT_TRUE(idle_control_write(accesses[0])) << texts[0];
            EXPECT_TRUE(idle_control_write(accesses[1])) << texts[1];
            const unsigned kept = accesses[1].value & ~0x0Fu;  // bits the kernel keeps
            EXPECT_EQ(texts[2], (Access{'W', 2, kept | 0x04u}.text()));
            EXPECT_EQ(texts[3], (Access{'W', 2, kept | 0x08u}.text()));
            EXPECT_EQ(texts[4].substr(0, 5), "R +1 ");
            return;
    }
}

class RealKernel : public ::testing::TestWithParam<ScenarioCase> {};

TEST_P(RealKernel, RequestFileAndRegisterAccesses) {
    const auto& row = GetParam();
    const Boot& b = boot(row.boot);
    const auto run = b.runs.find(row.name);
    ASSERT_NE(run, b.runs.end()) << "no run of " << row.name << " in the " << row.boot
                                 << " boot's console";
    EXPECT_EQ(run->second.status, 0);
    EXPECT_EQ(run->second.request.count("ReturnValue") ? run->second.request.at("ReturnValue")
                                                       : "<missing>",
              row.return_value);
    EXPECT_EQ(run->second.request.count("FailureReason") ? run->second.request.at("FailureReason")
                                                         : "<missing>",
              row.reason);
    // Never hangs: a busy port is given up after its bound, everything else
    // is at once.
    EXPECT_GE(run->second.elapsed_ms, row.min_elapsed_ms);
    EXPECT_LT(run->second.elapsed_ms, row.min_elapsed_ms + 1500);

    const auto segment = b.segments.find(b.numbers.at(row.name));
    ASSERT_NE(segment, b.segments.end()) << "no markers of " << row.name << " in the trace";
    std::vector<Access> accesses = segment->second.parallel;
    if (run->second.end_way == "ppdev") {
        for (int i = 0; i < 2; ++i) {
            ASSERT_FALSE(accesses.empty() || !idle_control_write(accesses.back()))
                << "the end marker's claim is missing";
            accesses.pop_back();
        }
    }
    for (const auto& a : accesses) std::printf("    %s %s\n", row.name, a.text().c_str());
    expect_accesses(row.way, accesses);

    if (row.foreign_base == 0) return;
    std::map<std::string, int> devices;
    for (const auto& io : segment->second.io) {
        ++devices[io.device];
        EXPECT_FALSE(io.address >= row.foreign_base && io.address <= row.foreign_base + 2)
            << io.direction << " 0x" << std::hex << io.address << " (" << io.device << ")";
    }
    for (const auto& [device, count] : devices)
        std::printf("    %s: %d accesses to %s (the guest's own)\n", row.name, count,
                    device.c_str());
}

INSTANTIATE_TEST_SUITE_P(Scenarios, RealKernel, ::testing::ValuesIn(kScenarios),
                         test_support::RowName());

// A boot ends with the guest's power-off: a reset (QEMU runs with
// -no-reboot) would have ended it at once, without one.
TEST(RealKernelBoots, EndWithThePowerOffNotAReset) {
    for (const char* name : {"normal", "lockdown"})
        EXPECT_TRUE(boot(name).powered_off) << "the " << name << " boot ended without powering off";
}

// The package's modules-load.d file names the modules that give users in
// group lp their /dev/parportN; the boots load them from it (and then
// second_kernel_port and locked_lp_user succeed through ppdev).
TEST(RealKernelBoots, PackageLoadsTheParallelPortModules) {
    for (const char* name : {"normal", "lockdown"})
        EXPECT_EQ(boot(name).packaged_modules, " parport_pc ppdev") << name;
}

bool has_raw_io(const std::string& caps, const char* set) {
    const auto at = caps.find(std::string(set) + "=");
    if (at == std::string::npos) return false;
    const unsigned long long bits = std::strtoull(caps.c_str() + at + 7, nullptr, 16);
    return (bits >> 17 & 1u) != 0;  // CAP_SYS_RAWIO is capability 17
}

// What the traced run showed: the exec gave CAP_SYS_RAWIO; the library asked
// for exactly the parallel-port ranges and gave the capability up before
// the program first named the request file, the table or the log.
TEST(RealKernelCapability, GivenUpBeforeTheRequestIsRead) {
    const auto& runs = boot("normal").runs;
    const auto run = runs.find("capability_given_up_at_start");
    ASSERT_NE(run, runs.end());
    const Lines& observed = run->second.observed;
    for (const auto& line : observed) std::printf("    observed: %s\n", line.c_str());
    ASSERT_FALSE(observed.empty());
    EXPECT_EQ(observed[0].rfind("exec ", 0), 0u);
    EXPECT_TRUE(has_raw_io(observed[0], "CapPrm") && has_raw_io(observed[0], "CapEff"))
        << "the exec gave no CAP_SYS_RAWIO: " << observed[0];

    Lines grants, files;
    std::size_t capset = 0, last_grant = 0, first_file = observed.size();
    for (std::size_t i = 1; i < observed.size(); ++i) {
        const std::string& line = observed[i];
        if (line.rfind("ioperm ", 0) == 0 || line.rfind("iopl ", 0) == 0) {
            grants.push_back(line);
            last_grant = i;
        } else if (line.rfind("capset ", 0) == 0) {
            EXPECT_EQ(capset, 0u) << "capset twice";
            capset = i;
        } else {
            files.push_back(line.substr(0, line.find(' ')));
            first_file = std::min(first_file, i);
            for (const char* set : {"CapInh", "CapPrm", "CapEff"})
                EXPECT_FALSE(has_raw_io(line, set)) << line;
        }
    }
    EXPECT_EQ(grants,
              (Lines{"ioperm 0x278 8 1 = 0", "ioperm 0x378 8 1 = 0", "ioperm 0x3bc 3 1 = 0"}));
    EXPECT_EQ(observed.at(capset), "capset = 0");
    EXPECT_GT(capset, last_grant);
    EXPECT_LT(capset, first_file);
    EXPECT_EQ(files, (Lines{"request.ini", "run.log", "TROV.INI"}));
}

// Every scenario the guest ran is checked above, and each boot finished.
TEST(RealKernelBoots, EveryScenarioIsChecked) {
    std::map<std::string, std::string> ran, checked;
    for (const char* name : {"normal", "lockdown"})
        for (const auto& run : boot(name).runs) ran[run.first] = name;
    for (const auto& row : kScenarios) checked[row.name] = row.boot;
    EXPECT_EQ(ran, checked);
}

}  // namespace
