// The profile-file core: file bytes plus one operation give a result and, for
// a write, the new file bytes. It does no I/O, so it is tested without files,
// fuzzed, and compared in one process with the Windows service.
//
// A missing file is passed as empty bytes: it reads like an empty file.
#pragma once

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

}  // namespace profile_text
