// libDlPortIO.so for Linux: the driver library's functions over PortRouter,
// which reaches each port through the kernel's parallel-port driver (ppdev)
// or with raw port I/O (see port_router.h for the order).
//
// The library's start runs when the program is loaded, before the program's
// own code: a process that holds CAP_SYS_RAWIO (a file capability on the
// program, or root) gets raw access to the machine's parallel-port
// registers with ioperm() and gives the capability up at once, before the
// program opens any file a user named. inb/outb on a port that ioperm() did
// not grant raise a general-protection fault, which kills the process;
// ioperm() needs CAP_SYS_RAWIO, an x86 kernel built with
// CONFIG_X86_IOPL_IOPERM and no lockdown. On other machines there is no raw
// access, only the driver.
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
#include <optional>
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

using dlportio::IoRange;
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

void ignore_signal(int) {}

// A small file's text (sysfs and procfs files are read in one go), or
// nothing when it cannot be read. Plain system calls: the library carries no
// stream machinery.
std::optional<std::string> read_text(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string text;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(got));
    close(fd);
    if (got < 0) return std::nullopt;
    return text;
}

// The names in a folder, without "." and ".."; none when it cannot be read.
std::vector<std::string> folder_entries(const std::string& folder) {
    std::vector<std::string> names;
    DIR* listing = opendir(folder.c_str());
    if (listing == nullptr) return names;
    while (const dirent* entry = readdir(listing))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    closedir(listing);
    return names;
}

class LinuxSysfs final : public dlportio::Sysfs {
public:
    std::vector<std::string> entries(const std::string& folder) override {
        return folder_entries(folder);
    }

    std::optional<std::string> text(const std::string& path) override { return read_text(path); }
};

// The process's capability sets, as capget() and capset() take them.
struct Capabilities {
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};

    bool read() { return syscall(SYS_capget, &header, data) == 0; }
    int write() { return syscall(SYS_capset, &header, data) == 0 ? 0 : errno; }
    __user_cap_data_struct& raw_io() { return data[CAP_TO_INDEX(CAP_SYS_RAWIO)]; }
};

const __u32 kRawIo = CAP_TO_MASK(CAP_SYS_RAWIO);

class LinuxPortSystem final : public dlportio::PortSystem {
public:
    std::vector<KernelPort> kernel_ports() override {
        std::vector<KernelPort> ports;
        for (const auto& name : folder_entries(kParportFolder)) {
            const int number = parport_number(name.c_str());
            if (number < 0) continue;
            // "base<TAB>ECR base", both decimal.
            const auto text = read_text(std::string(kParportFolder) + "/" + name + "/base-addr");
            if (!text) continue;
            char* end = nullptr;
            const unsigned long base = std::strtoul(text->c_str(), &end, 10);
            if (end != text->c_str() && base <= 0xFFFFu)
                ports.push_back({number, static_cast<uint32_t>(base)});
        }
        return ports;
    }

    std::vector<IoRange> parallel_ports() override {
        LinuxSysfs sysfs;
        return dlportio::declared_parallel_ports(sysfs);
    }

    int open_port(int number, int& handle) override {
        handle = open(dlportio::node_path(number).c_str(), O_RDWR | O_CLOEXEC);
        return handle >= 0 ? 0 : errno;
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

    bool raise_raw_io_capability() override {
        Capabilities caps;
        if (!caps.read() || (caps.raw_io().permitted & kRawIo) == 0) return false;
        if ((caps.raw_io().effective & kRawIo) != 0) return true;
        caps.raw_io().effective |= kRawIo;
        return caps.write() == 0;
    }

    void drop_raw_io_capability() override {
        Capabilities caps;
        if (!caps.read()) return;
        auto& sets = caps.raw_io();
        if (((sets.effective | sets.permitted | sets.inheritable) & kRawIo) == 0) return;
        sets.effective &= ~kRawIo;
        sets.permitted &= ~kRawIo;
        sets.inheritable &= ~kRawIo;
        caps.write();
    }

#ifdef DLPORTIO_RAW_IO
    int raw_grant(IoRange range) override {
        return ioperm(range.first, range.last - range.first + 1u, 1) == 0 ? 0 : errno;
    }
    uint8_t raw_read(uint16_t port) override {
        return inb(port);
    }
    void raw_write(uint16_t port, uint8_t value) override {
        outb(value, port);
    }
#else
    int raw_grant(IoRange) override {
        return ENOSYS;
    }
    uint8_t raw_read(uint16_t) override {
        return 0x00;
    }
    void raw_write(uint16_t, uint8_t) override {}
#endif

    // "[none] integrity confidentiality": the bracketed word is the mode.
    Lockdown lockdown() override {
        const auto text = read_text("/sys/kernel/security/lockdown");
        if (!text) return Lockdown::unknown;
        const std::string modes = text->substr(0, text->find('\n'));
        if (modes.find("[none]") != std::string::npos) return Lockdown::none;
        return modes.find('[') != std::string::npos ? Lockdown::locked : Lockdown::unknown;
    }

    std::string node_group(int number) override {
        struct stat info = {};
        if (stat(dlportio::node_path(number).c_str(), &info) != 0) return "";
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

// Run by the loader when the library is loaded with the program, before the
// program's own code and before any of its files are opened.
__attribute__((constructor)) void start_router() {
    router().start();
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
