// The Linux driver library's choice of way to each port (the kernel's
// parallel-port driver or raw access) and its reasons for a refusal, against
// a fake kernel that records every request.
#include "port_router.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

using dlportio::KernelPort;
using dlportio::Lockdown;
using dlportio::PortRouter;
using dlportio::Register;
using Lines = std::vector<std::string>;

// What the fake kernel answers. By default: one kernel port, parport0 at
// 888, whose node opens as handle 3 of group lp and is claimed at once; raw
// access granted; no lockdown and no CAP_SYS_RAWIO. A row changes what
// differs with the setters below.
struct Kernel {
    std::vector<KernelPort> ports = {{0, 888}};
    std::map<int, int> open_result = {{0, 3}};  // handle or -errno; missing: -ENOENT
    int claim_result = 0;
    int raw_result = 0;
    Lockdown lockdown = Lockdown::none;
    bool capability = false;
    std::string group = "lp";

    Kernel& with_ports(std::vector<KernelPort> list) {
        ports = std::move(list);
        return *this;
    }
    Kernel& without_kernel_port() { return with_ports({}); }
    Kernel& nodes_opening(std::map<int, int> results) {
        open_result = std::move(results);
        return *this;
    }
    Kernel& without_node() { return nodes_opening({}); }
    // parport0's node fails to open with `error`.
    Kernel& node_failing(int error) { return nodes_opening({{0, -error}}); }
    Kernel& node_of_group(std::string name) {
        group = std::move(name);
        return *this;
    }
    Kernel& claim_failing(int error) {
        claim_result = error;
        return *this;
    }
    Kernel& raw_failing(int error) {
        raw_result = error;
        return *this;
    }
    Kernel& locked(Lockdown state) {
        lockdown = state;
        return *this;
    }
    Kernel& with_capability() {
        capability = true;
        return *this;
    }
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
const std::string kNeedsCapability =
    "raw port access needs CAP_SYS_RAWIO (setcap cap_sys_rawio=ep on Vestrel)";
const std::string kLockedDown = "raw port access is refused: the kernel is locked down";
const std::string kNoNode = "no /dev/parport0 (load the module ppdev), and ";
const std::string kNoPermission = "no permission on /dev/parport0 (join group lp), and ";

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

// The probe at `base` reaches the port with these calls.
RouteCase granted(const char* name, const Kernel& kernel, uint32_t base, Lines calls) {
    return {name, kernel, base, std::move(calls), 0, ""};
}

// The probe at `base` makes these calls and is refused with `error`.
RouteCase refused(const char* name, const Kernel& kernel, uint32_t base, Lines calls, int error,
                  std::string reason) {
    return {name, kernel, base, std::move(calls), error, std::move(reason)};
}

// parport0's node opens, but its claim fails with `error`: the node is
// closed again, and raw access is not tried.
RouteCase claim_refused(const char* name, int error, std::string reason) {
    return refused(name, Kernel{}.claim_failing(error), 888, {"open 0", "claim 3 2000", "close 3"},
                   error, std::move(reason));
}

// parport0's node gives no way to 888, and raw access is refused with EPERM
// at the first grant.
RouteCase raw_refused_after_node(const char* name, Kernel kernel, std::string reason) {
    return refused(name, kernel.raw_failing(EPERM), 888, {"open 0", "grant 890"}, EPERM,
                   std::move(reason));
}

const RouteCase kRoutes[] = {
    granted("kernel_port_claimed_once_and_kept", Kernel{}, 888, kThroughDriver),
    granted("second_kernel_port_by_its_own_node",
            Kernel{}.with_ports({{0, 632}, {1, 888}}).nodes_opening({{1, 5}}), 888,
            {"open 1", "claim 5 2000", "driver 5 write control 0x04", "driver 5 write control 0x08",
             "driver 5 read status"}),
    claim_refused("busy_port_refused_without_raw_access", EBUSY,
                  "/dev/parport0 is in use by another program (gave up after 2 s)"),
    claim_refused("claim_failing_otherwise", EIO,
                  "/dev/parport0 could not be claimed: Input/output error"),
    granted("no_node_raw_access_granted", Kernel{}.without_node(), 888, kRawAfterNoNode),
    granted("no_permission_raw_access_granted", Kernel{}.node_failing(EACCES), 888,
            kRawAfterNoNode),
    raw_refused_after_node("no_node_nor_capability", Kernel{}.without_node(),
                           kNoNode + kNeedsCapability),
    raw_refused_after_node("no_driver_for_node", Kernel{}.node_failing(ENXIO),
                           kNoNode + kNeedsCapability),
    raw_refused_after_node("neither_group_nor_capability", Kernel{}.node_failing(EACCES),
                           kNoPermission + kNeedsCapability),
    raw_refused_after_node(
        "node_of_root_only", Kernel{}.node_failing(EACCES).node_of_group("root"),
        "no permission on /dev/parport0 (give it to group lp and join that group), and " +
            kNeedsCapability),
    raw_refused_after_node("capability_only_locked_down",
                           Kernel{}.node_failing(EACCES).locked(Lockdown::locked).with_capability(),
                           kNoPermission + kLockedDown),
    raw_refused_after_node("locked_down_without_ppdev",
                           Kernel{}.without_node().locked(Lockdown::locked), kNoNode + kLockedDown),
    refused("lockdown_unknown_capability_refused_anyway",
            Kernel{}
                .without_kernel_port()
                .raw_failing(EPERM)
                .locked(Lockdown::unknown)
                .with_capability(),
            632, {"grant 634"}, EPERM,
            "no kernel parallel port (the modules parport_pc and ppdev provide one), and " +
                kLockedDown),
    granted("no_kernel_port_raw_access_granted", Kernel{}.without_kernel_port(), 632, kRawOnly),
    granted("hand_set_base_beside_a_kernel_port_raw", Kernel{}, 632, kRawOnly),
    refused("hand_set_base_beside_a_kernel_port_refused", Kernel{}.raw_failing(ENOSYS), 632,
            {"grant 634"}, ENOSYS,
            "no kernel parallel port at this address, and this kernel has no raw port access "
            "(ioperm)"),
};

class Route : public ::testing::TestWithParam<RouteCase> {};

TEST_P(Route, CallsErrorAndReason) {
    const auto& row = GetParam();
    const Probe result = probe(row.kernel, row.base);
    EXPECT_EQ(result.calls, row.calls);
    EXPECT_EQ(result.error, row.error);
    EXPECT_EQ(result.reason, row.reason);
}

INSTANTIATE_TEST_SUITE_P(Rows, Route, ::testing::ValuesIn(kRoutes), test_support::RowName());

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
