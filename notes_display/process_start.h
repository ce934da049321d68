// Starting the viewer: "start this command line, report whether it started".
//
// Both functions return true only when the new program is running (its image
// has been loaded), and never wait for it to end. The caller keeps nothing:
// no child to reap, no handle, no thread.
//
// Windows: the command line goes to the system's process start as one string,
// window shown normally. POSIX: no shell is involved; the line is split by the
// rules of command_line_split.h, the program is looked up on PATH when its
// name has no '/', and the arguments are passed as they are. The viewer runs
// in a session of its own with default signal handling, an empty signal mask,
// standard input and output on the null device and no other descriptor of the
// host.
#pragma once

#include <cstddef>

namespace quorle {

// The library's command-line buffer: 388 characters, the terminating null
// included. The configured command is read into it, and the default viewer's
// command line (viewer, blank, file name) must fit in it.
constexpr std::size_t kCommandLineSize = 388;

// Starts the command line `line` (not null). False for an empty line, a
// program that cannot be found or executed, or a failed start.
bool start_command_line(const char* line);

// Starts `viewer` for `file_name`. The command line is the viewer's name, one
// blank and the file name exactly as passed, unquoted, for a viewer that takes
// the whole rest of its command line as one file name. On POSIX the viewer gets
// the file name as its one argument, blanks and quotes included; where no
// `viewer` is found on PATH (no Linux desktop has a notepad.exe), the
// desktop's own opener, xdg-open, is started for the file instead.
bool start_default_viewer(const char* viewer, const char* file_name);

}  // namespace quorle
