// The simulated parallel port with the device attached: a stand-in for the
// port I/O driver library that records every access instead of touching
// hardware.
//
// Built from dlportio_sim.cpp:
//   - as a shared library with the driver library's name and symbols, which a
//     test or the demo puts in front of the real one (LD_LIBRARY_PATH on
//     Linux, the program's folder on Windows). It is scripted by environment
//     variables, read at the first access:
//       DLPORTIO_SIM_STATUS  the byte every status-register read returns,
//                            decimal or 0x-hexadecimal; default 0xFF (what an
//                            absent port reads as, bit 4 set).
//       DLPORTIO_SIM_ERRNO   refuse every access as a failed ioperm() would:
//                            EPERM, ENOSYS, EINVAL or a number; reads give
//                            0x00, writes are dropped, DlPortLastError()
//                            returns the value. Default: access granted.
//       DLPORTIO_SIM_REASON  what DlPortLastErrorText() gives for a refused
//                            access; default "" (no reason known).
//       DLPORTIO_SIM_LOG     a file that receives one line per access,
//                            appended and flushed at once; a relative path
//                            is taken from the working folder.
//   - as a static library for in-process tests, controlled through the
//     functions below (which override the environment).
// Built with DLPORTIO_SIM_NO_ERROR_QUERY, it has only the two port functions,
// as the Windows driver library does.
//
// Record lines (and sim_access::text()): direction, port in decimal, value
// as two hexadecimal digits, and " refused" for a refused access:
//   W 890 0x04
//   R 889 0xEF
//   W 890 0x04 refused
// A status read returns the status byte on every port; the simulation does
// not model the data or control registers beyond recording the writes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dlportio_sim {

struct Access {
    char direction;  // 'R' or 'W'
    uint32_t port;
    uint8_t value;  // the byte written, or the byte the read returned
    bool refused;

    std::string text() const;
};

// Forgets the recorded accesses and the environment: status 0xFF, access
// granted, no record file.
void reset();
void set_status(uint8_t status);
// 0 grants access; any errno value refuses it, with `reason` as the
// library's text for it.
void set_refusal(int error, const std::string& reason = "");
const std::vector<Access>& accesses();

}  // namespace dlportio_sim
