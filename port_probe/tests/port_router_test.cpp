// The Linux driver library's choice of way to each port (the kernel's
// parallel-port driver or raw access) and its reasons for a refusal, against
// a fake kernel that records every request.
#include "port_router.h"

#include "row_name.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

using dlportio::KernelPort;
using dlportio::Lockdown;
using dlportio::PortRouter;
using dlportio::Register;
using Lines = std::vector<std::string>;

struct Kernel {
    std::vector<KernelPort> ports = {{0, 888}};
    std::map<int, int> open_result = {{0, 3}};  // handle or -errno; missing: -ENOENT
    int claim_result = 0;
    int raw_result = 0;
    Lockdown lockdown = Lockdown::none;
    bool capability = false;
    std::string group = "lp";
};

std::string hex(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

const char* register_name(Register reg) {
    return reg == Register::data ? "data" : reg == Register::status ? "status" : "control";
}

class FakeKernel final : public dlportio::PortSystem {
public:
    explicit FakeKernel(const Kernel& kernel) : kernel_(kernel) {}
    Lines calls;

    std::vector<KernelPort> kernel_ports() override { return kernel_.ports; }
    int open_port(int number) override {
        calls.push_back("open " + std::to_string(number));
        const auto found = kernel_.open_result.find(number);
        return found == kernel_.open_result.end() ? -ENOENT : found->second;
    }
    int claim_port(int handle, std::chrono::milliseconds wait) override {
        calls.push_back("claim " + std::to_string(handle) + " " + std::to_string(wait.count()));
        return kernel_.claim_result;
    }
    void close_port(int handle) override { calls.push_back("close " + std::to_string(handle)); }
    int driver_read(int handle, Register reg, uint8_t& value) override {
        calls.push_back("driver " + std::to_string(handle) + " read " + register_name(reg));
        value = 0xD8;
        return 0;
    }
    int driver_write(int handle, Register reg, uint8_t value) override {
        calls.push_back("driver " + std::to_string(handle) + " write " + register_name(reg) + " " +
                        hex(value));
        return 0;
    }
    int raw_grant(uint16_t port) override {
        calls.push_back("grant " + std::to_string(port));
        return kernel_.raw_result;
    }
    uint8_t raw_read(uint16_t port) override {
        calls.push_back("in " + std::to_string(port));
        return 0xD8;
    }
    void raw_write(uint16_t port, uint8_t value) override {
        calls.push_back("out " + std::to_string(port) + " " + hex(value));
    }
    Lockdown lockdown() override { return kernel_.lockdown; }
    bool has_raw_io_capability() override { return kernel_.capability; }
    std::string node_group(int) override { return kernel_.group; }
    std::string program_name() override { return "Vestrel"; }

private:
    Kernel kernel_;
};

// The probe's accesses at `base`, stopping at the first refusal as the probe
// does. The status byte read is 0xD8 whichever way it was reached.
struct Probe {
    Lines calls;
    int error;
    std::string reason;
};

Probe probe(const Kernel& kernel, uint32_t base) {
    FakeKernel fake(kernel);
    PortRouter router(fake);
    router.write(base + 2, 0x04);
    if (router.last_error() == 0) router.write(base + 2, 0x08);
    if (router.last_error() == 0) {
        EXPECT_EQ(router.read(base + 1), 0xD8);
    }
    return {fake.calls, router.last_error(), router.last_reason()};
}

const Lines kThroughDriver = {"open 0", "claim 3 2000", "driver 3 write control 0x04",
                              "driver 3 write control 0x08", "driver 3 read status"};
const Lines kRawAfterNoNode = {"open 0",       "grant 890", "out 890 0x04", "grant 890",
                               "out 890 0x08", "grant 889", "in 889"};
const Lines kRawOnly = {"grant 634",    "out 634 0x04", "grant 634",
                        "out 634 0x08", "grant 633",    "in 633"};
const char kNeedsCapability[] =
    "raw port access needs CAP_SYS_RAWIO (setcap cap_sys_rawio=ep on Vestrel)";
const char kLockedDown[] = "raw port access is refused: the kernel is locked down";

Kernel with(void (*change)(Kernel&)) {
    Kernel kernel;
    change(kernel);
    return kernel;
}

struct RouteCase {
    const char* name;
    Kernel kernel;
    uint32_t base;
    Lines calls;
    int error;
    std::string reason;
};

void PrintTo(const RouteCase& row, std::ostream* out) {
    *out << row.name;
}

const RouteCase kRoutes[] = {
    {"kernel_port_claimed_once_and_kept", Kernel{}, 888, kThroughDriver, 0, ""},
    {"second_kernel_port_by_its_own_node",
     with([](Kernel& k) {
         k.ports = {{0, 632}, {1, 888}};
         k.open_result = {{1, 5}};
     }),
     888,
     {"open 1", "claim 5 2000", "driver 5 write control 0x04", "driver 5 write control 0x08",
      "driver 5 read status"},
     0,
     ""},
    {"busy_port_refused_without_raw_access",
     with([](Kernel& k) { k.claim_result = EBUSY; }),
     888,
     {"open 0", "claim 3 2000", "close 3"},
     EBUSY,
     "/dev/parport0 is in use by another program (gave up after 2 s)"},
    {"claim_failing_otherwise",
     with([](Kernel& k) { k.claim_result = EIO; }),
     888,
     {"open 0", "claim 3 2000", "close 3"},
     EIO,
     "/dev/parport0 could not be claimed: Input/output error"},
    {"no_node_raw_access_granted", with([](Kernel& k) { k.open_result = {}; }), 888,
     kRawAfterNoNode, 0, ""},
    {"no_permission_raw_access_granted", with([](Kernel& k) {
         k.open_result = {{0, -EACCES}};
     }),
     888, kRawAfterNoNode, 0, ""},
    {"no_node_nor_capability",
     with([](Kernel& k) {
         k.open_result = {};
         k.raw_result = EPERM;
     }),
     888,
     {"open 0", "grant 890"},
     EPERM,
     std::string("no /dev/parport0 (load the module ppdev), and ") + kNeedsCapability},
    {"no_driver_for_node",
     with([](Kernel& k) {
         k.open_result = {{0, -ENXIO}};
         k.raw_result = EPERM;
     }),
     888,
     {"open 0", "grant 890"},
     EPERM,
     std::string("no /dev/parport0 (load the module ppdev), and ") + kNeedsCapability},
    {"neither_group_nor_capability",
     with([](Kernel& k) {
         k.open_result = {{0, -EACCES}};
         k.raw_result = EPERM;
     }),
     888,
     {"open 0", "grant 890"},
     EPERM,
     std::string("no permission on /dev/parport0 (join group lp), and ") + kNeedsCapability},
    {"node_of_root_only",
     with([](Kernel& k) {
         k.open_result = {{0, -EACCES}};
         k.raw_result = EPERM;
         k.group = "root";
     }),
     888,
     {"open 0", "grant 890"},
     EPERM,
     std::string("no permission on /dev/parport0 (give it to group lp and join that group), "
                 "and ") +
         kNeedsCapability},
    {"capability_only_locked_down",
     with([](Kernel& k) {
         k.open_result = {{0, -EACCES}};
         k.raw_result = EPERM;
         k.lockdown = Lockdown::locked;
         k.capability = true;
     }),
     888,
     {"open 0", "grant 890"},
     EPERM,
     std::string("no permission on /dev/parport0 (join group lp), and ") + kLockedDown},
    {"locked_down_without_ppdev",
     with([](Kernel& k) {
         k.open_result = {};
         k.raw_result = EPERM;
         k.lockdown = Lockdown::locked;
     }),
     888,
     {"open 0", "grant 890"},
     EPERM,
     std::string("no /dev/parport0 (load the module ppdev), and ") + kLockedDown},
    {"lockdown_unknown_capability_refused_anyway",
     with([](Kernel& k) {
         k.ports = {};
         k.raw_result = EPERM;
         k.lockdown = Lockdown::unknown;
         k.capability = true;
     }),
     632,
     {"grant 634"},
     EPERM,
     std::string("no kernel parallel port (the modules parport_pc and ppdev provide one), "
                 "and ") +
         kLockedDown},
    {"no_kernel_port_raw_access_granted", with([](Kernel& k) { k.ports = {}; }), 632, kRawOnly, 0,
     ""},
    {"hand_set_base_beside_a_kernel_port_raw", Kernel{}, 632, kRawOnly, 0, ""},
    {"hand_set_base_beside_a_kernel_port_refused",
     with([](Kernel& k) { k.raw_result = ENOSYS; }),
     632,
     {"grant 634"},
     ENOSYS,
     "no kernel parallel port at this address, and this kernel has no raw port access (ioperm)"},
};

class Route : public ::testing::TestWithParam<RouteCase> {};

TEST_P(Route, CallsErrorAndReason) {
    const auto& row = GetParam();
    const Probe result = probe(row.kernel, row.base);
    EXPECT_EQ(result.calls, row.calls);
    EXPECT_EQ(result.error, row.error);
    EXPECT_EQ(result.reason, row.reason);
}

INSTANTIATE_TEST_SUITE_P(Rows, Route, ::testing::ValuesIn(kRoutes), RowName());

// Every register of a claimed port goes to the driver's matching request;
// the status register cannot be written there, and an address beyond the
// 16-bit port space reaches nothing.
TEST(Route, RegistersOfAClaimedPort) {
    FakeKernel fake(Kernel{});
    PortRouter router(fake);
    router.write(888, 0x5A);
    EXPECT_EQ(router.read(888), 0xD8);
    EXPECT_EQ(router.read(890), 0xD8);
    router.write(889, 0x01);
    EXPECT_EQ(router.last_error(), EINVAL);
    EXPECT_EQ(router.last_reason(), "the status register is read-only through /dev/parport0");
    EXPECT_EQ(router.read(0x10000u + 889u), 0x00);
    EXPECT_EQ(router.last_reason(), "the address is outside the I/O port space");
    router.write(890, 0x04);
    EXPECT_EQ(router.last_error(), 0);
    EXPECT_EQ(router.last_reason(), "");
    EXPECT_EQ(fake.calls,
              (Lines{"open 0", "claim 3 2000", "driver 3 write data 0x5A", "driver 3 read data",
                     "driver 3 read control", "driver 3 write control 0x04"}));
}

}  // namespace
