// What the end-to-end tests expect where the platforms differ on purpose.
#pragma once

// What Vestrel writes to standard error when started without a request file
// name: the warning on Linux; nothing on Windows, where a message box shows it.
extern const char kMissingArgumentConsoleText[];

// Whether the driver library can report a refused port access (the Linux
// library can; the Windows driver library has no error query).
extern const bool kDriverReportsRefusal;

// Whether a file name may contain double quotes.
extern const bool kFileNamesMayHoldQuotes;

// How a line feed written in text mode (the run log, the simulated device's
// record) ends up in the file: "\r\n" on Windows, "\n" on Linux.
extern const char kTextLineEnd[];
