#include "log_file.h"

#include <fcntl.h>
#include <unistd.h>

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
