#include "lpt_port.h"

#include "dlportio/dlportio.h"
#include "platform.h"
#include "private_profile.h"

#include <cstdio>
#include <cstring>

lpt_port_state g_lpt_port = {};

namespace {

const char kTableSection[] = "LPT SECTION";
const unsigned kDefaultBase[3] = {888, 956, 632};  // 0x378, 0x3BC, 0x278

const char kBadPortNumber[] = "Allowed parallel ports are LPT1...LPT3";
const char kNoAnswer[] = "Roduroz does not answer! Connect the parallel cable to PC";

const uint8_t kControlInit = 0x04;      // only the Init line
const uint8_t kControlSelectIn = 0x08;  // only the Select-In line
const uint8_t kStatusSelect = 0x10;     // the Select line, driven by the device

// Key and value texts are formed in buffers of 256 characters.
void table_key(int32_t port_number, char (&key)[256]) {
    std::snprintf(key, sizeof key, "LPT%d_BASE", port_number);
}

// The entry's value; 0 when it is missing, zero or not a number.
unsigned read_table_entry(int32_t port_number) {
    char key[256];
    table_key(port_number, key);
    return GetPrivateProfileIntA(kTableSection, key, 0, kTableFile);
}

void write_table_entry(int32_t port_number, unsigned base) {
    char key[256];
    char value[256];
    table_key(port_number, key);
    std::snprintf(value, sizeof value, "%u", base);
    WritePrivateProfileStringA(kTableSection, key, value,
                               kTableFile);  // a failed write changes nothing
}

// One control-register write; false (with the reason in message) when the
// driver refused it.
bool write_control(uint8_t value, int32_t port_number, char* message, std::size_t size) {
    g_lpt_port.control_value = value;
    write_port_byte(g_lpt_port.control_port, value);
    return !port_access_refused(g_lpt_port.control_port, port_number, message, size);
}

}  // namespace

void copy_message(const char* text, char* buffer, std::size_t size) {
    if (size == 0) return;
    std::strncpy(buffer, text, size);  // zero-fills the rest of a short copy
    buffer[size - 1] = '\0';
}

uint8_t read_port_byte(uint16_t address) {
    return DlPortReadPortUchar(address);
}

uint8_t write_port_byte(uint16_t address, uint8_t value) {
    DlPortWritePortUchar(address, value);
    return value;
}

unsigned get_lpt_base_address(int32_t port_number) {
    if (port_number < 1 || port_number > 3) return 0;

    const unsigned configured = read_table_entry(port_number);
    if (configured != 0) return configured;

    // Fill in only the entries that are not usable; a user's setting for
    // another port stays.
    for (int32_t port = 1; port <= 3; ++port)
        if (port == port_number || read_table_entry(port) == 0)
            write_table_entry(port, kDefaultBase[port - 1]);
    return kDefaultBase[port_number - 1];
}

uint16_t init_parallel_port(int32_t port_number, char* message, std::size_t message_size) {
    if (port_number < 1 || port_number > 3) {
        copy_message(kBadPortNumber, message, message_size);
        return 0;
    }
    const unsigned configured = get_lpt_base_address(port_number);
    if (configured > kMaxLptBase) {
        // Cutting it to 16 bits would address unrelated ports. No port is
        // selected: the port state keeps describing the last one probed.
        std::snprintf(message, message_size,
                      "Base address %u of LPT%d (LPT%d_BASE in TROV.INI) is out of range: "
                      "allowed are 1 to %u",
                      configured, port_number, port_number, kMaxLptBase);
        return 0;
    }
    const auto base = static_cast<uint16_t>(configured);

    g_lpt_port.port_index = static_cast<uint8_t>(port_number - 1);
    g_lpt_port.data_port = base;
    g_lpt_port.base_address = base;
    g_lpt_port.control_port = static_cast<uint16_t>(base + 2);
    g_lpt_port.status_port = static_cast<uint16_t>(base + 1);

    if (!write_control(kControlInit, port_number, message, message_size)) return 0;
    if (!write_control(kControlSelectIn, port_number, message, message_size)) return 0;

    // At once: no delay, retry or time-out between the writes and the read.
    const uint8_t status = read_port_byte(g_lpt_port.status_port);
    if (port_access_refused(g_lpt_port.status_port, port_number, message, message_size)) return 0;

    if ((status & kStatusSelect) != 0) return base;
    copy_message(kNoAnswer, message, message_size);
    return 0;
}
