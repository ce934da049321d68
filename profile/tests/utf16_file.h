// Profile files in UTF-16LE for the core's tests.
#pragma once

#include <string>

// The bytes of a UTF-16LE file with its mark FF FE, from ASCII text.
inline std::string u16(const std::string& ascii) {
    std::string out = "\xFF\xFE";
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}
