#include "port_router.h"

#include <cerrno>
#include <cstring>
#include <utility>

namespace dlportio {

std::string node_path(int number) {
    return "/dev/parport" + std::to_string(number);
}

void PortRouter::start() {
    if (system_.raise_raw_io_capability()) {
        raw_start_ = RawStart::granted;
        for (const IoRange& range : parallel_ports()) {
            const int error = system_.raw_grant(range);
            if (error != 0) {
                raw_start_ = RawStart::failed;
                raw_start_error_ = error;
                break;
            }
        }
    }
    // Given up whatever the grant gave: the program reads its files and
    // anything a user chose without the capability.
    system_.drop_raw_io_capability();
}

uint8_t PortRouter::read(uint32_t address) {
    uint8_t value = 0;
    return access(address, false, value) ? value : uint8_t{0x00};
}

void PortRouter::write(uint32_t address, uint8_t value) {
    access(address, true, value);
}

const std::vector<KernelPort>& PortRouter::kernel_ports() {
    if (!kernel_ports_) kernel_ports_ = system_.kernel_ports();
    return *kernel_ports_;
}

const std::vector<IoRange>& PortRouter::parallel_ports() {
    if (!parallel_ports_) parallel_ports_ = system_.parallel_ports();
    return *parallel_ports_;
}

bool PortRouter::access(uint32_t address, bool write, uint8_t& value) {
    error_ = 0;
    reason_.clear();
    if (address > 0xFFFFu) return refuse(EINVAL, "the address is outside the I/O port space");
    const auto port = static_cast<uint16_t>(address);

    const KernelPort* kernel_port = covering(address);
    if (kernel_port == nullptr)
        return access_raw(port, write, value,
                          kernel_ports().empty()
                              ? "no kernel parallel port (the modules parport_pc and ppdev "
                                "provide one)"
                              : "no kernel parallel port at this address");

    auto found = ways_.find(kernel_port->number);
    if (found == ways_.end())
        found = ways_.emplace(kernel_port->number, decide(*kernel_port)).first;
    const Way& way = found->second;
    switch (way.kind) {
        case Way::refused:
            return refuse(way.error, way.refusal);
        case Way::raw:
            return access_raw(port, write, value, way.driver_issue);
        case Way::driver:
            break;
    }
    const auto reg = static_cast<Register>(address - kernel_port->base);
    if (write && reg == Register::status)
        return refuse(EINVAL,
                      "the status register is read-only through " + node_path(kernel_port->number));
    const int error = write ? system_.driver_write(way.handle, reg, value)
                            : system_.driver_read(way.handle, reg, value);
    if (error != 0)
        return refuse(
            error, node_path(kernel_port->number) + " refused the access: " + std::strerror(error));
    return true;
}

bool PortRouter::access_raw(uint16_t port, bool write, uint8_t& value,
                            const std::string& driver_issue) {
    // Decided before any grant: an address that is no parallel-port register
    // is never reached, whatever the process may do.
    if (!covers(parallel_ports(), port))
        return refuse(EADDRNOTAVAIL,
                      "no parallel port of this machine has a register at this address (raw "
                      "port access reaches only " +
                          describe(parallel_ports()) + ": " + kParallelPortSources + ")");
    int error = 0;
    switch (raw_start_) {
        case RawStart::granted:
            break;
        case RawStart::failed:
            error = raw_start_error_;
            break;
        case RawStart::not_held:
            error = system_.raw_grant({port, port});
            break;
    }
    if (error != 0) return refuse(error, driver_issue + ", and " + raw_problem(error));
    if (write)
        system_.raw_write(port, value);
    else
        value = system_.raw_read(port);
    return true;
}

const KernelPort* PortRouter::covering(uint32_t address) {
    for (const auto& port : kernel_ports())
        if (address >= port.base && address - port.base <= 2u) return &port;
    return nullptr;
}

PortRouter::Way PortRouter::Way::through_driver(int handle) {
    Way way;
    way.kind = driver;
    way.handle = handle;
    return way;
}

PortRouter::Way PortRouter::Way::raw_because(std::string driver_issue) {
    Way way;
    way.kind = raw;
    way.driver_issue = std::move(driver_issue);
    return way;
}

PortRouter::Way PortRouter::Way::refused_with(int error, std::string refusal) {
    Way way;
    way.error = error;
    way.refusal = std::move(refusal);
    return way;
}

PortRouter::Way PortRouter::decide(const KernelPort& port) {
    int handle = -1;
    const int open_error = system_.open_port(port.number, handle);
    // Raw access then; refused, it is reported with the reason the node
    // could not be used.
    if (open_error != 0) return Way::raw_because(node_problem(port.number, open_error));
    const int error = system_.claim_port(handle, kClaimWait);
    if (error == 0) return Way::through_driver(handle);
    // Closed at once: a port that another program lets go later would
    // otherwise pass to this process and stay blocked until it ends.
    system_.close_port(handle);
    const std::string node = node_path(port.number);
    if (error == EBUSY)
        return Way::refused_with(EBUSY, node + " is in use by another program (gave up after " +
                                            std::to_string(kClaimWait.count() / 1000) + " s)");
    return Way::refused_with(error, node + " could not be claimed: " + std::strerror(error));
}

std::string PortRouter::node_problem(int number, int error) {
    const std::string node = node_path(number);
    switch (error) {
        case ENOENT:
        case ENXIO:
        case ENODEV:
            return "no " + node + " (load the module ppdev)";
        case EACCES:
        case EPERM: {
            const std::string group = system_.node_group(number);
            if (group.empty() || group == "root")
                return "no permission on " + node + " (give it to group lp and join that group)";
            return "no permission on " + node + " (join group " + group + ")";
        }
        default:
            return node + " cannot be opened: " + std::strerror(error);
    }
}

std::string PortRouter::raw_problem(int error) {
    switch (error) {
        case EPERM: {
            // With the capability held at the start, EPERM can only be the
            // kernel's lockdown.
            const Lockdown lockdown = system_.lockdown();
            if (lockdown == Lockdown::locked ||
                (lockdown == Lockdown::unknown && raw_start_ != RawStart::not_held))
                return "raw port access is refused: the kernel is locked down";
            return "raw port access needs CAP_SYS_RAWIO (setcap cap_sys_rawio=ep on " +
                   system_.program_name() + ")";
        }
        case ENOSYS:
            return "this kernel has no raw port access (ioperm)";
        default:
            return std::string("raw port access failed: ") + std::strerror(error);
    }
}

bool PortRouter::refuse(int error, std::string reason) {
    error_ = error;
    reason_ = std::move(reason);
    return false;
}

}  // namespace dlportio
