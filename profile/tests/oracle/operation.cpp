#include "operation.h"

#include <cstdio>

namespace oracle {

std::string show(const std::string& bytes, std::size_t limit) {
    std::string out = "\"";
    std::size_t i = 0;
    while (i < bytes.size() && out.size() < limit) {
        const char c = bytes[i];
        std::size_t run = 1;
        while (i + run < bytes.size() && bytes[i + run] == c) ++run;
        std::string one;
        switch (c) {
            case '\r':
                one = "\\r";
                break;
            case '\n':
                one = "\\n";
                break;
            case '\t':
                one = "\\t";
                break;
            case '"':
                one = "\\\"";
                break;
            case '\\':
                one = "\\\\";
                break;
            default: {
                const auto u = static_cast<unsigned char>(c);
                if (u < 0x20 || u > 0x7E) {
                    char hex[8];
                    std::snprintf(hex, sizeof hex, "\\x%02X", u);
                    one = hex;
                } else {
                    one = std::string(1, c);
                }
            }
        }
        if (run > 8) {
            out += one + "\"*" + std::to_string(run) + "+\"";
            i += run;
        } else {
            out += one;
            ++i;
        }
    }
    out += i < bytes.size() ? "\"... (" + std::to_string(bytes.size()) + " bytes)" : "\"";
    return out;
}

std::string show(const Operation& op) {
    switch (op.kind) {
        case Kind::get_string:
            return "get " + show(op.section) + " " + show(op.key) + " " + show(op.text) + " " +
                   std::to_string(op.size);
        case Kind::get_int:
            return "int " + show(op.section) + " " + show(op.key) + " " +
                   std::to_string(op.int_default);
        case Kind::put_string:
            return "write " + show(op.section) + " " + show(op.key) + " " + show(op.text);
    }
    return {};
}

}  // namespace oracle
