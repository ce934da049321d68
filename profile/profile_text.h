// The profile-file core: file bytes plus one operation give a result and, for
// a write, the new file bytes. It does no I/O, so it is tested without files,
// fuzzed, and compared in one process with the Windows service.
//
// A missing file is passed as empty bytes: it reads like an empty file.
//
// File format, as the Windows service reads it:
// - Lines end at CR, LF or CR LF; blank lines are ignored; leading and trailing
//   blanks (space, tab, LF, VT, FF, CR, Ctrl-Z) of every line are ignored.
// - A line whose first character is '[' and that holds a ']' is a header; the
//   name runs to the last ']' on the line, blanks inside the brackets trimmed.
// - Other lines split at their first '=' into a name and a value, both trimmed.
//   A NUL byte ends a value; matching quotes around a value are removed.
// - Names compare without regard to ASCII case; the first matching section
//   and, inside it, the first matching key count.
// - A file starting with the UTF-16LE byte-order mark FF FE is read as UTF-16
//   and its values are handed out in code page 1252; writes keep it UTF-16LE.
//   Any other file is bytes in code page 1252 (no other mark is recognised).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace profile_text {

// Copies the value of [section] key (or the default) into buffer, at most
// size - 1 characters and always terminated when size > 0. Returns the count
// copied, without the terminator.
uint32_t get_string(std::string_view file, std::string_view section, std::string_view key,
                    std::string_view default_value, char* buffer, uint32_t size);

// The value of [section] key as an unsigned integer, or the default (as
// unsigned) when the entry is missing or empty.
uint32_t get_int(std::string_view file, std::string_view section, std::string_view key,
                 int default_value);

// The file's bytes after setting [section] key = value. Bytes the write does
// not have to change are kept exactly; when nothing has to change the result
// equals the input.
std::string put_string(std::string_view file, std::string_view section, std::string_view key,
                       std::string_view value);

// A write as one edit of the file's bytes: the `length` bytes at `offset` are
// replaced by `bytes`. Applying it gives put_string's result; the file layer
// writes the untouched head and tail straight from the original bytes.
struct Splice {
    std::size_t offset = 0;
    std::size_t length = 0;
    std::string bytes;
};

// Plans the write of [section] key = value. Returns false when the file
// already holds that value (nothing to change, `out` is left alone).
bool plan_put(std::string_view file, std::string_view section, std::string_view key,
              std::string_view value, Splice& out);

// The form in which the Linux layer stores a value, so that a value never
// makes lines of its own: each inner line break (CR LF, CR or LF) becomes one
// blank. A single LF at the very end (not part of a CR LF) stays, as callers
// write it; the entry's own line break follows it, as before.
std::string single_line_value(std::string_view value);

}  // namespace profile_text
