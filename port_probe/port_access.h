// Whether the port driver reached the last port addressed. The Linux driver
// library reports a refused ioperm(); the Windows driver reports nothing, so
// there this always says "reached".
#pragma once

#include <cstddef>
#include <cstdint>

// When the driver refused the most recent access (to `port`, a register of
// LPT`port_number`), writes the reason into `message` (cut to size - 1
// characters, terminated) and returns true. Returns false when the access
// went through.
bool port_access_refused(uint16_t port, int32_t port_number, char* message, std::size_t size);
