// The Linux driver library's choice of way to each port (the kernel's
// parallel-port driver or raw access), the address rule for raw access, what
// its start obtains and gives up, and its reasons for a refusal, against a
// fake kernel that records every request.
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

using dlportio::IoRange;
using dlportio::KernelPort;
using dlportio::Lockdown;
using dlportio::PortRouter;
using dlportio::Register;
using Lines = std::vector<std::string>;

// What the fake kernel answers. By default: one kernel port, parport0 at
// 888, whose node opens as handle 3 of group lp and is claimed at once; the
// standard parallel ports' registers only; raw access granted; no lockdown
// and no CAP_SYS_RAWIO. A row changes what differs with the setters below.
struct Kernel {
    std::vector<KernelPort> ports = {{0, 888}};
    std::vector<IoRange> parallel = {{0x278, 0x27A}, {0x378, 0x37A}, {0x3BC, 0x3BE}};
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
    Kernel& with_parallel_ports(std::vector<IoRange> list) {
        parallel = std::move(list);
        return *this;
    }
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
    std::vector<IoRange> parallel_ports() override {
        calls.push_back("parallel ports");
        return kernel_.parallel;
    }
    int open_port(int number, int& handle) override {
        calls.push_back("open " + std::to_string(number));
        const auto found = kernel_.open_result.find(number);
        const int result = found == kernel_.open_result.end() ? -ENOENT : found->second;
        handle = result;
        return result < 0 ? -result : 0;
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
    bool raise_raw_io_capability() override {
        calls.push_back("raise capability");
        return kernel_.capability;
    }
    void drop_raw_io_capability() override { calls.push_back("drop capability"); }
    int raw_grant(IoRange range) override {
        calls.push_back("grant " + std::to_string(range.first) +
                        (range.last == range.first ? "" : "-" + std::to_string(range.last)));
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
    std::string node_group(int) override { return kernel_.group; }
    std::string program_name() override { return "Vestrel"; }

private:
    Kernel kernel_;
};

// The probe's accesses at `base` after the library's start, stopping at the
// first refusal as the probe does. The status byte read is 0xD8 whichever
// way it was reached.
struct Probe {
    Lines start_calls;
    Lines calls;
    int error;
    std::string reason;
};

Probe probe(const Kernel& kernel, uint32_t base) {
    FakeKernel fake(kernel);
    PortRouter router(fake);
    router.start();
    const Lines start_calls = fake.calls;
    fake.calls.clear();
    router.write(base + 2, 0x04);
    if (router.last_error() == 0) router.write(base + 2, 0x08);
    if (router.last_error() == 0) {
        EXPECT_EQ(router.read(base + 1), 0xD8);
    }
    return {start_calls, fake.calls, router.last_error(), router.last_reason()};
}

const Lines kThroughDriver = {"open 0", "claim 3 2000", "driver 3 write control 0x04",
                              "driver 3 write control 0x08", "driver 3 read status"};
const Lines kRawAfterNoNode = {"open 0",    "parallel ports", "grant 890", "out 890 0x04",
                               "grant 890", "out 890 0x08",   "grant 889", "in 889"};
const Lines kRawOnly = {"parallel ports", "grant 634", "out 634 0x04", "grant 634",
                        "out 634 0x08",   "grant 633", "in 633"};
// Raw access obtained at the start: no grant at the accesses.
const Lines kRawGrantedAtStart = {"out 634 0x04", "out 634 0x08", "in 633"};
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
    return refused(name, kernel.raw_failing(EPERM), 888, {"open 0", "parallel ports", "grant 890"},
                   EPERM, std::move(reason));
}

const std::string kNoParallelPort =
    "no parallel port of this machine has a register at this address (raw port access reaches "
    "only 0x278-0x27A, 0x378-0x37A, 0x3BC-0x3BE: the standard ports and the parallel ports in "
    "/sys/bus/pnp and /sys/bus/pci)";

// The probe at `base` is refused by the address rule at its first access,
// the control register: nothing is granted or touched.
// (The machine's parallel ports are read at the start when the capability is
// held, otherwise at the first raw access.)
RouteCase no_parallel_port(const char* name, const Kernel& kernel, uint32_t base,
                           std::string reason = kNoParallelPort) {
    return refused(name, kernel, base, kernel.capability ? Lines{} : Lines{"parallel ports"},
                   EADDRNOTAVAIL, std::move(reason));
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
    // Held at the start, the capability's grant failed there: no grant is
    // asked for again.
    refused(
        "capability_only_locked_down",
        Kernel{}.node_failing(EACCES).locked(Lockdown::locked).with_capability().raw_failing(EPERM),
        888, {"open 0"}, EPERM, kNoPermission + kLockedDown),
    raw_refused_after_node("locked_down_without_ppdev",
                           Kernel{}.without_node().locked(Lockdown::locked), kNoNode + kLockedDown),
    refused("lockdown_unknown_capability_refused_anyway",
            Kernel{}
                .without_kernel_port()
                .raw_failing(EPERM)
                .locked(Lockdown::unknown)
                .with_capability(),
            632, {}, EPERM,
            "no kernel parallel port (the modules parport_pc and ppdev provide one), and " +
                kLockedDown),
    granted("no_kernel_port_raw_access_granted", Kernel{}.without_kernel_port(), 632, kRawOnly),
    granted("hand_set_base_beside_a_kernel_port_raw", Kernel{}, 632, kRawOnly),
    refused("hand_set_base_beside_a_kernel_port_refused", Kernel{}.raw_failing(ENOSYS), 632,
            {"parallel ports", "grant 634"}, ENOSYS,
            "no kernel parallel port at this address, and this kernel has no raw port access "
            "(ioperm)"),
    granted("capability_card_without_driver", Kernel{}.with_capability(), 632, kRawGrantedAtStart),
    // The address rule: with the capability, as root, and without it alike.
    no_parallel_port("reset_control_register_with_capability", Kernel{}.with_capability(), 3319),
    no_parallel_port("keyboard_controller_with_capability", Kernel{}.with_capability(), 98),
    no_parallel_port("disk_command_register_without_capability", Kernel{}, 501),
    no_parallel_port("cmos_index_without_kernel_port", Kernel{}.without_kernel_port(), 110),
    // base + 2 just past a PnP port's range; the base just below it.
    no_parallel_port("control_register_past_the_range",
                     Kernel{}.with_capability().with_parallel_ports({{0xE800, 0xE807}}), 0xE806,
                     "no parallel port of this machine has a register at this address (raw port "
                     "access reaches only 0xE800-0xE807: the standard ports and the parallel "
                     "ports in /sys/bus/pnp and /sys/bus/pci)"),
    granted("last_registers_of_the_range",
            Kernel{}.with_capability().with_parallel_ports({{0xE800, 0xE807}}), 0xE805,
            {"out 59399 0x04", "out 59399 0x08", "in 59398"}),
};

class Route : public ::testing::TestWithParam<RouteCase> {};

TEST_P(Route, CallsErrorAndReason) {
    const auto& row = GetParam();
    const Probe result = probe(row.kernel, row.base);
    EXPECT_EQ(result.start_calls.back(), "drop capability");
    EXPECT_EQ(result.calls, row.calls);
    EXPECT_EQ(result.error, row.error);
    EXPECT_EQ(result.reason, row.reason);
}

INSTANTIATE_TEST_SUITE_P(Rows, Route, ::testing::ValuesIn(kRoutes), test_support::RowName());

struct StartCase {
    const char* name;
    Kernel kernel;
    Lines calls;
};

void PrintTo(const StartCase& row, std::ostream* out) {
    *out << row.name;
}

class Start : public ::testing::TestWithParam<StartCase> {};

// What the start asks for: raw access to every parallel-port register while
// the capability is held, nothing without it, and the capability given up
// in every case.
TEST_P(Start, GrantsParallelPortsOnlyThenDropsTheCapability) {
    FakeKernel fake(GetParam().kernel);
    PortRouter router(fake);
    router.start();
    EXPECT_EQ(fake.calls, GetParam().calls);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Start,
    ::testing::Values(
        StartCase{"without_capability", Kernel{}, {"raise capability", "drop capability"}},
        StartCase{"with_capability",
                  Kernel{}.with_capability().with_parallel_ports(
                      {{0x278, 0x27F}, {0x378, 0x37F}, {0x3BC, 0x3BE}, {0xE800, 0xE807}}),
                  {"raise capability", "parallel ports", "grant 632-639", "grant 888-895",
                   "grant 956-958", "grant 59392-59399", "drop capability"}},
        StartCase{"grant_refused",
                  Kernel{}.with_capability().raw_failing(EPERM),
                  {"raise capability", "parallel ports", "grant 632-634", "drop capability"}}),
    test_support::RowName());

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
