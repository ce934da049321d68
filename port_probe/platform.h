// What differs between Vestrel on Linux and on Windows, below the request
// run and the port layer: platform_linux.cpp and platform_win32.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The base-address table: the file TROV.INI in the working folder, spelled
// the way the platform's profile functions expect (".\TROV.INI" on Windows;
// "./TROV.INI" on Linux, where a backslash is an ordinary character in a
// file name).
extern const char kTableFile[];

// Opens the run log for appending in text mode, as fopen(path, "a") does:
// the stream, or nullptr when the file cannot be opened. A file that could
// only be opened by waiting (a FIFO without a reader) counts as one that
// cannot be opened: the run never waits for its log.
std::FILE* open_log_for_append(const char* path);

// The one message Vestrel ever shows: a warning with a single OK button.
// Windows shows a message box; Linux, which has no window to show, writes
// "<caption>: <text>" and a line feed to standard error.
void show_warning_message(const char* caption, const char* text);

// Whether the driver library refused the most recent access (to `port`, a
// register of LPT`port_number`). When it did, writes the reason into
// `message` (cut to size - 1 characters, terminated) and returns true. The
// Linux driver library reports refusals; the Windows one reports nothing, so
// there every access counts as done.
bool port_access_refused(uint16_t port, int32_t port_number, char* message, std::size_t size);
