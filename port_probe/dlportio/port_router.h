// How libDlPortIO.so reaches an I/O port on Linux: through the kernel's own
// parallel-port driver (/dev/parportN, ppdev) when the address is a register
// of a port the kernel registered, otherwise with raw port I/O (ioperm), and
// raw I/O only to a register of a parallel port the machine declares
// (parallel_ports.h).
//
// At the library's start, before the program reads anything a user chose, a
// process that holds CAP_SYS_RAWIO obtains raw access to every parallel-port
// register of the machine and to nothing else, and then gives the capability
// up for good (start()). Raw access later uses what was obtained then.
//
// The order, for an address that is register B, B+1 or B+2 of kernel port N:
//   1. open /dev/parportN and claim the port (waiting at most kClaimWait);
//      the claim is kept until the process ends;
//   2. when the node is missing or may not be opened, raw access to the
//      address, if the address rule and the kernel allow it;
//   3. otherwise the access is refused, with a reason naming both ways.
// A port another program holds is refused as busy: raw access would fight
// that program for the port. An address no kernel port covers is reached raw
// or refused. The choice for a kernel port is made once, at its first access.
//
// Everything the kernel is asked goes through PortSystem, so the choices and
// the reasons can be tested without a kernel port.
#pragma once

#include "parallel_ports.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace dlportio {

// A parallel port the kernel registered: /dev/parport<number> at `base`.
struct KernelPort {
    int number;
    uint32_t base;
};

// The registers of a port, by their offset from its base.
enum class Register { data = 0, status = 1, control = 2 };

enum class Lockdown { none, locked, unknown };

// "/dev/parport<number>".
std::string node_path(int number);

// What the router asks of the kernel. Every call that can fail returns an
// errno value, 0 on success.
class PortSystem {
public:
    virtual ~PortSystem() = default;

    // The ports the kernel registered; none when the parport modules are not
    // loaded.
    virtual std::vector<KernelPort> kernel_ports() = 0;
    // The registers of the machine's parallel ports (parallel_ports.h).
    virtual std::vector<IoRange> parallel_ports() = 0;

    // Opens /dev/parport<number> (read-write, close-on-exec) into `handle`.
    virtual int open_port(int number, int& handle) = 0;
    // Claims an opened port, waiting at most `wait` for another holder to let
    // it go: EBUSY when the wait ran out.
    virtual int claim_port(int handle, std::chrono::milliseconds wait) = 0;
    virtual void close_port(int handle) = 0;
    // One register of a claimed port through the driver.
    virtual int driver_read(int handle, Register reg, uint8_t& value) = 0;
    virtual int driver_write(int handle, Register reg, uint8_t value) = 0;

    // Whether the process may use CAP_SYS_RAWIO (it is in the permitted
    // set); it is then made effective.
    virtual bool raise_raw_io_capability() = 0;
    // Takes CAP_SYS_RAWIO out of the effective, permitted and inheritable
    // sets; the process can never get it back. (Lowering one's own sets
    // cannot be refused.)
    virtual void drop_raw_io_capability() = 0;
    // Raw access to the I/O ports in `range` (ioperm). raw_read and raw_write
    // touch only ports granted before.
    virtual int raw_grant(IoRange range) = 0;
    virtual uint8_t raw_read(uint16_t port) = 0;
    virtual void raw_write(uint16_t port, uint8_t value) = 0;

    // Why raw access may be refused.
    virtual Lockdown lockdown() = 0;
    // The name of /dev/parport<number>'s group ("" when it is unknown).
    virtual std::string node_group(int number) = 0;
    // The program's name, for the advice on its capability.
    virtual std::string program_name() = 0;
};

// How long a port that another program holds is waited for.
constexpr std::chrono::milliseconds kClaimWait{2000};

class PortRouter {
public:
    explicit PortRouter(PortSystem& system) : system_(system) {}
    PortRouter(const PortRouter&) = delete;
    PortRouter& operator=(const PortRouter&) = delete;

    // Once, before anything else: with CAP_SYS_RAWIO, raw access to every
    // parallel-port register of the machine; then the capability is given up
    // (whether or not the grant succeeded).
    void start();

    // One byte from / to I/O port `address`. A refused read returns 0x00 and
    // a refused write is dropped; last_error() and last_reason() then say
    // why.
    uint8_t read(uint32_t address);
    void write(uint32_t address, uint8_t value);

    // The errno of the most recent access (0 when it reached the port) and
    // its reason as a sentence fragment ("" when it reached the port).
    int last_error() const { return error_; }
    const std::string& last_reason() const { return reason_; }

private:
    // How the registers of one kernel port are reached, decided at its first
    // access.
    struct Way {
        enum Kind { driver, raw, refused } kind = refused;
        int handle = -1;           // driver: the claimed node
        int error = 0;             // refused: the errno
        std::string refusal;       // refused: why
        std::string driver_issue;  // raw: why the node could not be used

        static Way through_driver(int handle);
        static Way raw_because(std::string driver_issue);
        static Way refused_with(int error, std::string refusal);
    };

    // What start() obtained.
    enum class RawStart { not_held, granted, failed };

    const std::vector<KernelPort>& kernel_ports();
    const std::vector<IoRange>& parallel_ports();

    // Performs one access; false (with error_ and reason_ set) when refused.
    bool access(uint32_t address, bool write, uint8_t& value);
    bool access_raw(uint16_t port, bool write, uint8_t& value, const std::string& driver_issue);
    const KernelPort* covering(uint32_t address);
    Way decide(const KernelPort& port);
    std::string node_problem(int number, int error);
    std::string raw_problem(int error);
    bool refuse(int error, std::string reason);

    PortSystem& system_;
    std::optional<std::vector<KernelPort>> kernel_ports_;
    std::optional<std::vector<IoRange>> parallel_ports_;
    RawStart raw_start_ = RawStart::not_held;
    int raw_start_error_ = 0;
    std::map<int, Way> ways_;
    int error_ = 0;
    std::string reason_;
};

}  // namespace dlportio
