// libDlPortIO.so for Linux: the driver library's functions over PortRouter,
// which reaches each port through the kernel's parallel-port driver (ppdev)
// or with raw port I/O (see port_router.h for the order).
//
// Raw access uses ioperm() for exactly the port addressed, before every
// access: inb/outb on a port that ioperm() did not grant raise a
// general-protection fault, which kills the process. ioperm() needs
// CAP_SYS_RAWIO, an x86 kernel built with CONFIG_X86_IOPL_IOPERM and no
// lockdown. On other machines there is no raw access, only the driver.
//
// The library keeps one process-wide router and is meant for single-threaded
// programs. A claimed port stays claimed until the process ends.
#include "dlportio.h"
#include "port_router.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#define DLPORTIO_RAW_IO 1
#endif

namespace {

using dlportio::KernelPort;
using dlportio::Lockdown;
using dlportio::Register;

const char kParportFolder[] = "/proc/sys/dev/parport";

// The number after "parport" in a folder name, or -1.
int parport_number(const char* name) {
    if (std::strncmp(name, "parport", 7) != 0 || name[7] < '0' || name[7] > '9') return -1;
    char* end = nullptr;
    const long number = std::strtol(name + 7, &end, 10);
    return *end == '\0' && number <= 255 ? static_cast<int>(number) : -1;
}

std::string node_path(int number) {
    return "/dev/parport" + std::to_string(number);
}

void ignore_signal(int) {}

class LinuxPortSystem final : public dlportio::PortSystem {
public:
    std::vector<KernelPort> kernel_ports() override {
        std::vector<KernelPort> ports;
        DIR* folder = opendir(kParportFolder);
        if (folder == nullptr) return ports;
        while (const dirent* entry = readdir(folder)) {
            const int number = parport_number(entry->d_name);
            if (number < 0) continue;
            // "base<TAB>ECR base", both decimal.
            std::ifstream in(std::string(kParportFolder) + "/" + entry->d_name + "/base-addr");
            unsigned long base = 0;
            if (in >> base && base <= 0xFFFFu)
                ports.push_back({number, static_cast<uint32_t>(base)});
        }
        closedir(folder);
        return ports;
    }

    int open_port(int number) override {
        const int fd = open(node_path(number).c_str(), O_RDWR | O_CLOEXEC);
        return fd >= 0 ? fd : -errno;
    }

    // PPCLAIM sleeps in the kernel while another program holds the port; a
    // signal ends the sleep. A one-shot timer with a handler that does
    // nothing (no SA_RESTART) bounds the wait; the program's own handler,
    // timer (with the time it had left before the wait) and signal mask are
    // put back afterwards.
    int claim_port(int handle, std::chrono::milliseconds wait) override {
        struct sigaction action = {};
        struct sigaction previous_action = {};
        action.sa_handler = ignore_signal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGALRM, &action, &previous_action);
        sigset_t alarm_only;
        sigset_t previous_mask;
        sigemptyset(&alarm_only);
        sigaddset(&alarm_only, SIGALRM);
        sigprocmask(SIG_UNBLOCK, &alarm_only, &previous_mask);

        itimerval timer = {};
        itimerval previous_timer = {};
        timer.it_value.tv_sec = static_cast<time_t>(wait.count() / 1000);
        timer.it_value.tv_usec = static_cast<suseconds_t>(wait.count() % 1000 * 1000);
        setitimer(ITIMER_REAL, &timer, &previous_timer);
        const int result = ioctl(handle, PPCLAIM);
        const int error = result == 0 ? 0 : errno;
        setitimer(ITIMER_REAL, &previous_timer, nullptr);
        sigprocmask(SIG_SETMASK, &previous_mask, nullptr);
        sigaction(SIGALRM, &previous_action, nullptr);
        return error == EINTR ? EBUSY : error;
    }

    void close_port(int handle) override { close(handle); }

    int driver_read(int handle, Register reg, uint8_t& value) override {
        unsigned char byte = 0;
        const unsigned long request = reg == Register::data     ? PPRDATA
                                      : reg == Register::status ? PPRSTATUS
                                                                : PPRCONTROL;
        if (ioctl(handle, request, &byte) != 0) return errno;
        value = byte;
        return 0;
    }

    // Only the four line bits of a control byte reach the port: the driver
    // keeps the interrupt-enable and direction bits as it has them.
    int driver_write(int handle, Register reg, uint8_t value) override {
        unsigned char byte = value;
        const unsigned long request = reg == Register::data ? PPWDATA : PPWCONTROL;
        return ioctl(handle, request, &byte) == 0 ? 0 : errno;
    }

#ifdef DLPORTIO_RAW_IO
    int raw_grant(uint16_t port) override {
        return ioperm(port, 1, 1) == 0 ? 0 : errno;
    }
    uint8_t raw_read(uint16_t port) override {
        return inb(port);
    }
    void raw_write(uint16_t port, uint8_t value) override {
        outb(value, port);
    }
#else
    int raw_grant(uint16_t) override {
        return ENOSYS;
    }
    uint8_t raw_read(uint16_t) override {
        return 0x00;
    }
    void raw_write(uint16_t, uint8_t) override {}
#endif

    // "[none] integrity confidentiality": the bracketed word is the mode.
    Lockdown lockdown() override {
        std::ifstream in("/sys/kernel/security/lockdown");
        std::string modes;
        if (!std::getline(in, modes)) return Lockdown::unknown;
        if (modes.find("[none]") != std::string::npos) return Lockdown::none;
        return modes.find('[') != std::string::npos ? Lockdown::locked : Lockdown::unknown;
    }

    bool has_raw_io_capability() override {
        __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
        if (syscall(SYS_capget, &header, data) != 0) return false;
        return (data[CAP_TO_INDEX(CAP_SYS_RAWIO)].effective & CAP_TO_MASK(CAP_SYS_RAWIO)) != 0;
    }

    std::string node_group(int number) override {
        struct stat info = {};
        if (stat(node_path(number).c_str(), &info) != 0) return "";
        char buffer[1024];
        group entry = {};
        group* found = nullptr;
        if (getgrgid_r(info.st_gid, &entry, buffer, sizeof buffer, &found) != 0 || !found)
            return std::to_string(info.st_gid);
        return found->gr_name;
    }

    std::string program_name() override {
        return program_invocation_short_name;
    }
};

dlportio::PortRouter& router() {
    static LinuxPortSystem system;
    static dlportio::PortRouter instance(system);
    return instance;
}

}  // namespace

extern "C" unsigned char DlPortReadPortUchar(uint32_t port) {
    return router().read(port);
}

extern "C" void DlPortWritePortUchar(uint32_t port, unsigned char value) {
    router().write(port, value);
}

extern "C" int DlPortLastError(void) {
    return router().last_error();
}

extern "C" const char* DlPortLastErrorText(void) {
    return router().last_reason().c_str();
}
