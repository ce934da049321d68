// Checks what the real-kernel rig's boots left behind (run-rig): for every
// scenario, the request file that the installed Vestrel wrote in the guest
// and the exact register accesses that QEMU traced between the scenario's
// markers.
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
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

struct Run {
    std::string end_way;  // how the end marker was written: raw or ppdev
    long elapsed_ms = -1;
    int status = -1;
    std::map<std::string, std::string> request;  // the request file's entries
};

struct Boot {
    std::map<std::string, Run> runs;
    std::map<std::string, int> numbers;           // scenario -> marker number
    std::map<int, std::vector<Access>> segments;  // marker number -> accesses
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

// "parallel_ioport_write write [SW] addr 0x02 val 0x04"
std::vector<Access> read_trace(const std::string& path) {
    std::vector<Access> accesses;
    for (const auto& line : read_lines(path)) {
        char kind[8] = "";
        unsigned offset = 0, value = 0;
        if (std::sscanf(line.c_str(), "parallel_ioport_%7s %*s [%*[^]]] addr %x val %x", kind,
                        &offset, &value) == 3)
            accesses.push_back({kind[0] == 'w' ? 'W' : 'R', offset, value});
    }
    return accesses;
}

// The accesses between each scenario's begin and end markers (each marker:
// two data-register writes, the marker byte and the scenario's number).
std::map<int, std::vector<Access>> segments(const std::vector<Access>& trace) {
    std::map<int, std::vector<Access>> found;
    std::vector<Access>* open = nullptr;
    for (std::size_t i = 0; i < trace.size(); ++i) {
        const bool data_write = trace[i].direction == 'W' && trace[i].offset == 0;
        if (data_write && i + 1 < trace.size() && trace[i + 1].direction == 'W' &&
            trace[i + 1].offset == 0 &&
            (trace[i].value == kBeginMarker || trace[i].value == kEndMarker)) {
            const int number = static_cast<int>(trace[i + 1].value);
            open = trace[i].value == kBeginMarker ? &found[number] : nullptr;
            ++i;
            continue;
        }
        if (open) open->push_back(trace[i]);
    }
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
            }
            continue;
        }
        const auto equals = line.find('=');
        if (run && equals != std::string::npos)
            run->request[line.substr(0, equals)] = line.substr(equals + 1);
    }
    boot.segments = segments(read_trace(base + ".trace"));
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
    std::vector<Access> accesses = segment->second;
    if (run->second.end_way == "ppdev") {
        for (int i = 0; i < 2; ++i) {
            ASSERT_FALSE(accesses.empty() || !idle_control_write(accesses.back()))
                << "the end marker's claim is missing";
            accesses.pop_back();
        }
    }
    for (const auto& a : accesses) std::printf("    %s %s\n", row.name, a.text().c_str());
    expect_accesses(row.way, accesses);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, RealKernel, ::testing::ValuesIn(kScenarios),
                         test_support::RowName());

// Every scenario the guest ran is checked above, and each boot finished.
TEST(RealKernelBoots, EveryScenarioIsChecked) {
    std::map<std::string, std::string> ran, checked;
    for (const char* name : {"normal", "lockdown"})
        for (const auto& run : boot(name).runs) ran[run.first] = name;
    for (const auto& row : kScenarios) checked[row.name] = row.boot;
    EXPECT_EQ(ran, checked);
}

}  // namespace
