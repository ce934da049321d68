// Windows process start: WinExec with the command line as one string and the
// main window shown normally. WinExec returns once the new process waits for
// input for the first time (or after the system's time-out); results of 32 or
// more mean the process was started, smaller ones are error codes.
#include "process_start.h"

#include <windows.h>

#include <cstddef>
#include <cstdio>

namespace quorle {

bool start_command_line(const char* line) {
    return WinExec(line, SW_SHOWNORMAL) >= 32;
}

bool start_default_viewer(const char* viewer, const char* file_name) {
    char line[kCommandLineSize];
    const int length = std::snprintf(line, sizeof line, "%s %s", viewer, file_name);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof line) {
        return false;  // cut off, it would name another file
    }
    return start_command_line(line);
}

}  // namespace quorle
