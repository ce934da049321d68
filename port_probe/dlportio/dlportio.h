// The port I/O driver library: one-byte reads and writes at I/O port
// addresses. Vestrel reaches the parallel-port registers only through these
// functions. Three libraries provide them under one name:
//   - the Windows driver library (DlPortIO.dll; the first two functions only),
//   - the Linux library libDlPortIO.so (dlportio_linux.cpp: the kernel's
//     parallel-port driver, or ioperm, inb and outb),
//   - the simulated device of the same name used by the tests and the demo
//     (simulated/dlportio_sim.cpp).
#pragma once

#include <stdint.h>

#ifdef _WIN32
#define DLPORTIO_CALL __stdcall
#else
#define DLPORTIO_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

// The byte read from I/O port `port` (only its low 16 bits address a port).
unsigned char DLPORTIO_CALL DlPortReadPortUchar(uint32_t port);

// Writes `value` to I/O port `port`.
void DLPORTIO_CALL DlPortWritePortUchar(uint32_t port, unsigned char value);

// Linux libraries only, and optional there: a program binds them weakly and
// treats a library without them as one that reports no errors.
//
// The errno of the most recent access, 0 when that access reached the port.
// A refused access never touches the hardware: a refused write is dropped
// and a refused read returns 0x00 (a status byte with the answer bit clear,
// never 0xFF, which would read as an answer).
int DlPortLastError(void);

// Why the most recent access was refused, as a fragment that follows "No
// access to I/O port N: " (for example "no permission on /dev/parport0 (join
// group lp), and raw port access needs CAP_SYS_RAWIO (setcap
// cap_sys_rawio=ep on Vestrel)"); "" when it reached the port. The text
// stays valid until the next access.
const char* DlPortLastErrorText(void);

#ifdef __cplusplus
}
#endif
