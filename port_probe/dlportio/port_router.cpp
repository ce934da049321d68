#include "port_router.h"

#include <cerrno>
#include <cstring>
#include <utility>

namespace dlportio {
namespace {

std::string node_name(int number) {
    return "/dev/parport" + std::to_string(number);
}

}  // namespace

uint8_t PortRouter::read(uint32_t address) {
    uint8_t value = 0;
    return access(address, false, value) ? value : uint8_t{0x00};
}

void PortRouter::write(uint32_t address, uint8_t value) {
    access(address, true, value);
}

bool PortRouter::access(uint32_t address, bool write, uint8_t& value) {
    error_ = 0;
    reason_.clear();
    if (address > 0xFFFFu) return refuse(EINVAL, "the address is outside the I/O port space");
    const auto port = static_cast<uint16_t>(address);

    const KernelPort* kernel_port = covering(address);
    if (kernel_port == nullptr) {
        const bool none = kernel_ports_->empty();
        return access_raw(port, write, value,
                          none ? "no kernel parallel port (the modules parport_pc and ppdev "
                                 "provide one)"
                               : "no kernel parallel port at this address");
    }

    auto found = ways_.find(kernel_port->number);
    if (found == ways_.end())
        found = ways_.emplace(kernel_port->number, decide(*kernel_port)).first;
    const Way& way = found->second;
    switch (way.kind) {
        case Way::refused:
            return refuse(way.error, way.reason);
        case Way::raw:
            return access_raw(port, write, value, way.reason);
        case Way::driver:
            break;
    }
    const auto reg = static_cast<Register>(address - kernel_port->base);
    if (write && reg == Register::status)
        return refuse(EINVAL,
                      "the status register is read-only through " + node_name(kernel_port->number));
    const int error = write ? system_.driver_write(way.handle, reg, value)
                            : system_.driver_read(way.handle, reg, value);
    if (error != 0)
        return refuse(
            error, node_name(kernel_port->number) + " refused the access: " + std::strerror(error));
    return true;
}

bool PortRouter::access_raw(uint16_t port, bool write, uint8_t& value,
                            const std::string& no_driver) {
    const int error = system_.raw_grant(port);
    if (error != 0) return refuse(error, no_driver + ", and " + raw_problem(error));
    if (write)
        system_.raw_write(port, value);
    else
        value = system_.raw_read(port);
    return true;
}

const KernelPort* PortRouter::covering(uint32_t address) {
    if (!kernel_ports_) kernel_ports_ = system_.kernel_ports();
    for (const auto& port : *kernel_ports_)
        if (address >= port.base && address - port.base <= 2u) return &port;
    return nullptr;
}

PortRouter::Way PortRouter::decide(const KernelPort& port) {
    const int handle = system_.open_port(port.number);
    if (handle >= 0) {
        const int error = system_.claim_port(handle, kClaimWait);
        if (error == 0) return {Way::driver, handle, 0, ""};
        // Closed at once: a port that another program lets go later would
        // otherwise pass to this process and stay blocked until it ends.
        system_.close_port(handle);
        if (error == EBUSY)
            return {Way::refused, -1, EBUSY,
                    node_name(port.number) + " is in use by another program (gave up after " +
                        std::to_string(kClaimWait.count() / 1000) + " s)"};
        return {Way::refused, -1, error,
                node_name(port.number) + " could not be claimed: " + std::strerror(error)};
    }
    // Raw access, asked for at each access; refused, it is reported with
    // the reason the node could not be used.
    return {Way::raw, -1, 0, node_problem(port.number, -handle)};
}

std::string PortRouter::node_problem(int number, int error) {
    const std::string node = node_name(number);
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
            const Lockdown lockdown = system_.lockdown();
            if (lockdown == Lockdown::locked ||
                (lockdown == Lockdown::unknown && system_.has_raw_io_capability()))
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
