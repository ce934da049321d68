// The address rule for raw port access: which I/O ports the Linux driver
// library takes for parallel-port registers, read from a fake sysfs that
// records what was read.
#include "parallel_ports.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

using dlportio::IoRange;

const std::string kPnp = "/sys/bus/pnp/devices/";
const std::string kPci = "/sys/bus/pci/devices/";

class FakeSysfs final : public dlportio::Sysfs {
public:
    explicit FakeSysfs(std::map<std::string, std::string> files) : files_(std::move(files)) {}
    std::vector<std::string> read;

    std::vector<std::string> entries(const std::string& folder) override {
        read.push_back(folder + "/");
        std::set<std::string> names;
        for (const auto& file : files_)
            if (file.first.rfind(folder + "/", 0) == 0) {
                const std::string rest = file.first.substr(folder.size() + 1);
                names.insert(rest.substr(0, rest.find('/')));
            }
        return {names.begin(), names.end()};
    }
    std::optional<std::string> text(const std::string& path) override {
        read.push_back(path);
        const auto found = files_.find(path);
        if (found == files_.end()) return std::nullopt;
        return found->second;
    }

private:
    std::map<std::string, std::string> files_;
};

// A PnP device's two files, and a PCI function's two files.
std::map<std::string, std::string> pnp(const std::string& device, const std::string& ids,
                                       const std::string& resources) {
    return {{kPnp + device + "/id", ids}, {kPnp + device + "/resources", resources}};
}
std::map<std::string, std::string> pci(const std::string& function, const std::string& pci_class,
                                       const std::string& resources) {
    return {{kPci + function + "/class", pci_class}, {kPci + function + "/resource", resources}};
}
std::map<std::string, std::string> operator+(std::map<std::string, std::string> a,
                                             const std::map<std::string, std::string>& b) {
    a.insert(b.begin(), b.end());
    return a;
}

// The two ports of the real-kernel rig's guest, as its sysfs lists them.
const auto kGuestPorts = pnp("00:05", "PNP0400\n", "state = active\nio 0x378-0x37f\nirq 7\n") +
                         pnp("00:06", "PNP0400\n", "state = active\nio 0x278-0x27f\nirq 5\n");
const char kUnused[] = "0x0000000000000000 0x0000000000000000 0x0000000000000000\n";
const char kIoBar[] = "0x000000000000e800 0x000000000000e807 0x0000000000040101\n";
const char kMemoryBar[] = "0x00000000fe000000 0x00000000fe000fff 0x0000000000040200\n";

struct RuleCase {
    const char* name;
    std::map<std::string, std::string> files;
    std::string ranges;  // describe() of the result
};

void PrintTo(const RuleCase& row, std::ostream* out) {
    *out << row.name;
}

const RuleCase kRules[] = {
    {"no_sysfs_standard_ports_only", {}, "0x278-0x27A, 0x378-0x37A, 0x3BC-0x3BE"},
    {"pnp_ports_of_the_guest", kGuestPorts, "0x278-0x27F, 0x378-0x37F, 0x3BC-0x3BE"},
    {"ecp_port_with_its_second_range",
     pnp("00:07", "PNP0401\n", "state = active\nio 0x3bc-0x3be\nio 0x7bc-0x7bf\nirq 7\ndma 3\n"),
     "0x278-0x27A, 0x378-0x37A, 0x3BC-0x3BE, 0x7BC-0x7BF"},
    {"second_id_of_a_device",
     pnp("00:08", "PNP0c02\nPNP0400\n", "state = active\nio 0x2f0-0x2f7\n"),
     "0x278-0x27A, 0x2F0-0x2F7, 0x378-0x37A, 0x3BC-0x3BE"},
    {"serial_port_is_no_parallel_port",
     pnp("00:01", "PNP0501\n", "state = active\nio 0x3f8-0x3ff\nirq 4\n"),
     "0x278-0x27A, 0x378-0x37A, 0x3BC-0x3BE"},
    {"disabled_pnp_port", pnp("00:05", "PNP0400\n", "state = disabled\nio 0x2e0-0x2e7\n"),
     "0x278-0x27A, 0x378-0x37A, 0x3BC-0x3BE"},
    {"disabled_and_odd_resource_lines",
     pnp("00:05", "PNP0400\n",
         "state = active\nio disabled\nio 0x2e0-0x2e7 window\nio 0x10000-0x10007\nio 0x2d0-0x2d7"),
     "0x278-0x27A, 0x2D0-0x2D7, 0x378-0x37A, 0x3BC-0x3BE"},
    {"pci_parallel_card_io_bars_only",
     pci("0000:03:00.0", "0x070100\n",
         std::string(kIoBar) + kMemoryBar + kUnused +
             "0x000000000000e000 0x000000000000e007 0x0000000000040101\n"),
     "0x278-0x27A, 0x378-0x37A, 0x3BC-0x3BE, 0xE000-0xE007, 0xE800-0xE807"},
    {"pci_bidirectional_parallel_card", pci("0000:03:00.0", "0x070101\n", kIoBar),
     "0x278-0x27A, 0x378-0x37A, 0x3BC-0x3BE, 0xE800-0xE807"},
    {"pci_serial_card_is_no_parallel_port", pci("0000:03:00.0", "0x070002\n", kIoBar),
     "0x278-0x27A, 0x378-0x37A, 0x3BC-0x3BE"},
    {"pci_device_of_another_class", pci("0000:00:14.0", "0x0c0330\n", kIoBar),
     "0x278-0x27A, 0x378-0x37A, 0x3BC-0x3BE"},
    {"pnp_and_pci_together", kGuestPorts + pci("0000:03:00.0", "0x070100\n", kIoBar),
     "0x278-0x27F, 0x378-0x37F, 0x3BC-0x3BE, 0xE800-0xE807"},
};

class Rule : public ::testing::TestWithParam<RuleCase> {};

TEST_P(Rule, DeclaredParallelPortRanges) {
    FakeSysfs sysfs(GetParam().files);
    EXPECT_EQ(dlportio::describe(dlportio::declared_parallel_ports(sysfs)), GetParam().ranges);
    for (const auto& path : sysfs.read)
        EXPECT_TRUE(path.rfind(kPnp, 0) == 0 || path.rfind(kPci, 0) == 0) << path;
}

INSTANTIATE_TEST_SUITE_P(Rows, Rule, ::testing::ValuesIn(kRules), test_support::RowName());

// The edges of the guest's ranges, and the devices the probe must never
// reach: the reset control register, the keyboard controller, the disk's
// command register and the CMOS index.
TEST(Rule, AddressesAtTheEdges) {
    FakeSysfs sysfs(kGuestPorts);
    const auto ranges = dlportio::declared_parallel_ports(sysfs);
    const std::pair<uint32_t, bool> addresses[] = {
        {0x277, false}, {0x278, true},   {0x27F, true},  {0x280, false}, {0x377, false},
        {0x378, true},  {0x37F, true},   {0x380, false}, {0x3BB, false}, {0x3BC, true},
        {0x3BE, true},  {0x3BF, false},  {0xCF9, false}, {0x64, false},  {0x1F7, false},
        {0x70, false},  {0x10378, false}};
    for (const auto& [address, covered] : addresses)
        EXPECT_EQ(dlportio::covers(ranges, address), covered) << std::hex << address;
}

TEST(Rule, LongListsAreCut) {
    std::vector<IoRange> ranges;
    for (uint16_t i = 0; i < 10; ++i)
        ranges.push_back(
            {static_cast<uint16_t>(0x1000 + 0x10 * i), static_cast<uint16_t>(0x1007 + 0x10 * i)});
    EXPECT_EQ(dlportio::describe(ranges),
              "0x1000-0x1007, 0x1010-0x1017, 0x1020-0x1027, 0x1030-0x1037, 0x1040-0x1047, "
              "0x1050-0x1057, 0x1060-0x1067, 0x1070-0x1077, ...");
}

}  // namespace
