// The parallel-port probe: selects LPT1..LPT3, finds the port's base address
// in the base-address table, drives two control lines and checks whether the
// Roduroz answers on the status register.
//
// Register layout at base: data base + 0, status base + 1, control base + 2.
// The base-address table is section "LPT SECTION" of .\TROV.INI (the working
// folder), keys LPT1_BASE..LPT3_BASE, values unsigned decimal text.
#pragma once

#include <cstddef>
#include <cstdint>

// The currently selected port. Filled by init_parallel_port on every call
// that goes on to the registers (a valid port number with a usable base);
// starts zeroed and lives for the whole process.
struct lpt_port_state {
    uint16_t status_port;   // base + 1
    uint16_t control_port;  // base + 2
    uint16_t data_port;     // base
    uint16_t base_address;  // base
    uint8_t port_index;     // 0 for LPT1, 1 for LPT2, 2 for LPT3
    uint8_t control_value;  // the byte last written to the control register
};

extern lpt_port_state g_lpt_port;

// The largest base whose control register (base + 2) is still a 16-bit port.
constexpr unsigned kMaxLptBase = 0xFFFFu - 2u;

// Probes port `port_number` (1..3). Returns the base address when the device
// answered (status bit 4 set after writing 0x04 and then 0x08 to the control
// register), or 0 with the reason copied into `message` (cut to
// message_size - 1 characters, always terminated; message_size >= 1). On
// success `message` is not touched. The reasons:
//   - a port number outside 1..3 (nothing else happens),
//   - a configured base above kMaxLptBase (no register is touched),
//   - the driver refused access to a register (no access after the refusal),
//   - the device does not answer.
uint16_t init_parallel_port(int32_t port_number, char* message, std::size_t message_size);

// The base address of LPT`port_number` from the table, or 0 for a port number
// outside 1..3. When the requested entry is missing, zero or not a number,
// the default (888, 956, 632) is written for every entry in that state, the
// valid entries are kept, and the requested port's default is returned.
unsigned get_lpt_base_address(int32_t port_number);

// Copies `text` into `buffer`: at most size - 1 characters, the rest of a
// short copy zero-filled, and a terminator always at position size - 1.
void copy_message(const char* text, char* buffer, std::size_t size);

// One byte from / to an I/O port through the driver library. write_port_byte
// returns the value written.
uint8_t read_port_byte(uint16_t address);
uint8_t write_port_byte(uint16_t address, uint8_t value);
