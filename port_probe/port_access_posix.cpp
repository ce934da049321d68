#include "port_access.h"

#include "dlportio/dlportio.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

// Optional in a driver library: bound weakly, so that Vestrel also starts
// with a library that has only the two port functions. Absent, no error is
// known and every access counts as done.
extern "C" int DlPortLastError(void) __attribute__((weak));
extern "C" const char* DlPortLastErrorText(void) __attribute__((weak));

namespace {

// The reason for a driver library that reports only an errno.
const char* why(int error) {
    switch (error) {
        case EPERM:
            return "permission denied (no CAP_SYS_RAWIO, or the kernel is locked down). Port "
                   "access needs CAP_SYS_RAWIO: setcap cap_sys_rawio=ep on Vestrel";
        case ENOSYS:
            return "this kernel or machine has no ioperm support. Port access needs "
                   "CAP_SYS_RAWIO: setcap cap_sys_rawio=ep on Vestrel";
        case EINVAL:
            return "the address is outside the I/O port space";
        default:
            return std::strerror(error);
    }
}

}  // namespace

bool port_access_refused(uint16_t port, int32_t port_number, char* message, std::size_t size) {
    if (DlPortLastError == nullptr) return false;
    const int error = DlPortLastError();
    if (error == 0) return false;
    const char* reason = DlPortLastErrorText != nullptr ? DlPortLastErrorText() : nullptr;
    std::snprintf(message, size, "No access to I/O port %u (0x%X) of LPT%d: %s",
                  static_cast<unsigned>(port), static_cast<unsigned>(port), port_number,
                  reason != nullptr && *reason != '\0' ? reason : why(error));
    return true;
}
