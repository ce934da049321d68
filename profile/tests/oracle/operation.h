// One profile operation and its outcome, as the oracle runs it through both
// implementations: our core (bytes in, bytes out) and the system's service.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace oracle {

enum class Kind { get_string, get_int, put_string };

struct Operation {
    Kind kind = Kind::get_string;
    std::string section;
    std::string key;
    std::string text;     // the default of get_string, the value of put_string
    uint32_t size = 0;    // get_string's buffer size
    int int_default = 0;  // get_int's default
};

// The file is std::nullopt when it does not exist.
using File = std::optional<std::string>;

struct Outcome {
    uint32_t result = 0;   // count, integer, or 1/0 for a write
    std::string buffer;    // get_string: the first `size` bytes of a 0xCC-filled buffer
    bool overrun = false;  // get_string wrote past `size`
    File file_after;       // put_string: the file afterwards
};

// The byte the buffers are filled with before a get_string call.
constexpr char kFill = static_cast<char>(0xCC);

// A readable one-line form of bytes: C escapes, runs of one byte shortened.
std::string show(const std::string& bytes, std::size_t limit = 160);
std::string show(const Operation& op);

}  // namespace oracle
