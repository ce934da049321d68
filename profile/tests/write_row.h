// A write and the exact file bytes it must leave, shared by the core's table
// and the file layer's.
#pragma once

#include <ostream>
#include <string>

struct WriteRow {
    const char* name;
    std::string before;
    const char* section;
    const char* key;
    std::string value;
    std::string after;
};

inline void PrintTo(const WriteRow& r, std::ostream* os) {
    *os << r.name;
}
