// The command-line rule of Vestrel: the request file name is everything after
// the program's own name and the blanks that follow it, taken verbatim (quotes
// kept, inner and trailing blanks kept). Blanks are the characters with codes
// 1 to 32; codes 128 to 255 are never blanks.
#pragma once

#include <cstddef>
#include <string>

// The request file name from a raw command line that starts with the
// program's name. The name is a double-quoted token (up to and including the
// next double quote, or to the end) or runs up to the first character with a
// code from 0 to 32.
std::string request_file_from_command_line(const char* command_line);

// The length of the program's name at the start of a raw command line, by the
// rule above: a quoted name with both its quotes, or the characters before the
// first code from 0 to 32.
std::size_t program_name_length(const char* command_line);

// The request file name from the remainder after the program's name (leading
// blanks are skipped, the rest is kept verbatim).
std::string request_file_from_remainder(const char* remainder);

// The remainder built from the arguments after the program's name (argv[1]
// onwards), joined by single blanks, then the same rule as above.
std::string request_file_from_arguments(int argc, const char* const* argv);

// The program's caption: its file name without folder ('/' or '\\') and
// without the last extension ("/usr/bin/Vestrel" and "C:\\x\\Vestrel.exe" give
// "Vestrel"). A leading dot does not start an extension.
std::string caption_from_program_path(const char* path);
