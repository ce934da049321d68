// libDlPortIO.so for Linux machines without x86 I/O ports: every access is
// refused with ENOSYS (writes dropped, reads 0x00), so the probe reports that
// the port cannot be reached instead of a false answer.
#include "dlportio.h"

#include <cerrno>

namespace {
int last_error = 0;
}

extern "C" unsigned char DlPortReadPortUchar(uint32_t) {
    last_error = ENOSYS;
    return 0x00;
}

extern "C" void DlPortWritePortUchar(uint32_t, unsigned char) {
    last_error = ENOSYS;
}

extern "C" int DlPortLastError(void) {
    return last_error;
}
