// libDlPortIO.so for x86 Linux: raw port I/O with ioperm() and inb/outb.
//
// Access is requested for exactly the port addressed, before every access.
// inb/outb on a port that ioperm() did not grant raise a general-protection
// fault, which kills the process, so they run only after ioperm() succeeded.
// ioperm() needs CAP_SYS_RAWIO (for example from `setcap cap_sys_rawio=ep` on
// the program) and a kernel built with CONFIG_X86_IOPL_IOPERM; a locked-down
// kernel refuses it as well. A refused access is reported through
// DlPortLastError() and touches nothing.
#include "dlportio.h"

#include <cerrno>

#include <sys/io.h>

namespace {

int last_error = 0;

// True when the calling thread may access `port`; records the outcome.
bool grant(uint32_t port) {
    if (port > 0xFFFFu) {
        last_error = EINVAL;
        return false;
    }
    if (ioperm(port, 1, 1) != 0) {
        last_error = errno;
        return false;
    }
    last_error = 0;
    return true;
}

}  // namespace

extern "C" unsigned char DlPortReadPortUchar(uint32_t port) {
    if (!grant(port)) return 0x00;
    return inb(static_cast<unsigned short>(port));
}

extern "C" void DlPortWritePortUchar(uint32_t port, unsigned char value) {
    if (!grant(port)) return;
    outb(value, static_cast<unsigned short>(port));
}

extern "C" int DlPortLastError(void) {
    return last_error;
}
