#include "port_access.h"

#include "dlportio/dlportio.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

const char* why(int error) {
    switch (error) {
        case EPERM:
            return "permission denied (no CAP_SYS_RAWIO, or the kernel is locked down)";
        case ENOSYS:
            return "this kernel or machine has no ioperm support";
        case EINVAL:
            return "the address is outside the I/O port space";
        default:
            return std::strerror(error);
    }
}

}  // namespace

bool port_access_refused(uint16_t port, int32_t port_number, char* message, std::size_t size) {
    const int error = DlPortLastError();
    if (error == 0) return false;
    std::snprintf(message, size,
                  "No access to I/O port %u (0x%X) of LPT%d: %s. Port access needs "
                  "CAP_SYS_RAWIO: setcap cap_sys_rawio=ep on Vestrel",
                  static_cast<unsigned>(port), static_cast<unsigned>(port), port_number,
                  why(error));
    return true;
}
