#include "dlportio_sim.h"

#include "dlportio/dlportio.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace dlportio_sim {
namespace {

struct State {
    bool configured = false;
    uint8_t status = 0xFF;
    int refusal = 0;
    std::string refusal_reason;
    int last_error = 0;
    std::string record_file;
    std::vector<Access> accesses;
};

State& state() {
    static State s;
    return s;
}

// Accepts decimal, 0x-hexadecimal or (for errno values) a name.
bool parse_number(const char* text, unsigned long& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtoul(text, &end, 0);
    return end != text && *end == '\0' && errno == 0;
}

int parse_errno(const char* text) {
    static const struct {
        const char* name;
        int value;
    } names[] = {{"EPERM", EPERM}, {"ENOSYS", ENOSYS}, {"EINVAL", EINVAL}, {"EACCES", EACCES}};
    for (const auto& n : names)
        if (std::strcmp(text, n.name) == 0) return n.value;
    unsigned long value = 0;
    return parse_number(text, value) ? static_cast<int>(value) : EPERM;
}

State& configured_state() {
    State& s = state();
    if (s.configured) return s;
    s.configured = true;
    unsigned long value = 0;
    if (const char* status = std::getenv("DLPORTIO_SIM_STATUS");
        status && parse_number(status, value))
        s.status = static_cast<uint8_t>(value & 0xFFu);
    if (const char* error = std::getenv("DLPORTIO_SIM_ERRNO"); error && *error)
        s.refusal = parse_errno(error);
    if (const char* reason = std::getenv("DLPORTIO_SIM_REASON")) s.refusal_reason = reason;
    if (const char* file = std::getenv("DLPORTIO_SIM_LOG"); file && *file) s.record_file = file;
    return s;
}

void record(State& s, const Access& access) {
    s.accesses.push_back(access);
    if (s.record_file.empty()) return;
    if (std::FILE* f = std::fopen(s.record_file.c_str(), "a")) {
        std::fprintf(f, "%s\n", access.text().c_str());
        std::fclose(f);
    }
}

}  // namespace

std::string Access::text() const {
    char line[48];
    std::snprintf(line, sizeof line, "%c %lu 0x%02X%s", direction, static_cast<unsigned long>(port),
                  static_cast<unsigned>(value), refused ? " refused" : "");
    return line;
}

void reset() {
    State& s = state();
    s = State{};
    s.configured = true;
}

void set_status(uint8_t status) {
    configured_state().status = status;
}

void set_refusal(int error, const std::string& reason) {
    configured_state().refusal = error;
    configured_state().refusal_reason = reason;
}

const std::vector<Access>& accesses() {
    return configured_state().accesses;
}

}  // namespace dlportio_sim

using dlportio_sim::Access;

extern "C" unsigned char DLPORTIO_CALL DlPortReadPortUchar(uint32_t port) {
    auto& s = dlportio_sim::configured_state();
    s.last_error = s.refusal;
    const uint8_t value = s.refusal != 0 ? uint8_t{0x00} : s.status;
    dlportio_sim::record(s, Access{'R', port, value, s.refusal != 0});
    return value;
}

extern "C" void DLPORTIO_CALL DlPortWritePortUchar(uint32_t port, unsigned char value) {
    auto& s = dlportio_sim::configured_state();
    s.last_error = s.refusal;
    dlportio_sim::record(s, Access{'W', port, value, s.refusal != 0});
}

#ifndef DLPORTIO_SIM_NO_ERROR_QUERY
extern "C" int DlPortLastError(void) {
    return dlportio_sim::configured_state().last_error;
}

extern "C" const char* DlPortLastErrorText(void) {
    const auto& s = dlportio_sim::configured_state();
    return s.last_error != 0 ? s.refusal_reason.c_str() : "";
}
#endif
