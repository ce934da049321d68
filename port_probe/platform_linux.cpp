#include "platform.h"

#include "dlportio/dlportio.h"

#include <cstring>

#include <fcntl.h>
#include <unistd.h>

// Optional in a driver library: bound weakly, so that Vestrel also starts
// with a library that has only the two port functions. Absent, no error is
// known and every access counts as done.
extern "C" int DlPortLastError(void) __attribute__((weak));
extern "C" const char* DlPortLastErrorText(void) __attribute__((weak));

const char kTableFile[] = "./TROV.INI";

std::FILE* open_log_for_append(const char* path) {
    // O_NONBLOCK makes the open of a FIFO without a reader fail at once
    // (ENXIO) instead of blocking; writes afterwards block as usual.
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    const int flags = fcntl(fd, F_GETFL);
    if (flags != -1 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != -1)
        if (std::FILE* stream = fdopen(fd, "a")) return stream;
    close(fd);
    return nullptr;
}

void show_warning_message(const char* caption, const char* text) {
    std::fprintf(stderr, "%s: %s\n", caption, text);
}

bool port_access_refused(uint16_t port, int32_t port_number, char* message, std::size_t size) {
    if (DlPortLastError == nullptr) return false;
    const int error = DlPortLastError();
    if (error == 0) return false;
    // The library says why and what to do; one that gives no text leaves
    // only the errno's own.
    const char* reason = DlPortLastErrorText != nullptr ? DlPortLastErrorText() : nullptr;
    std::snprintf(message, size, "No access to I/O port %u (0x%X) of LPT%d: %s",
                  static_cast<unsigned>(port), static_cast<unsigned>(port), port_number,
                  reason != nullptr && *reason != '\0' ? reason : std::strerror(error));
    return true;
}
