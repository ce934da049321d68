#include "stored_value.h"

namespace profile_text {

std::string single_line_value(std::string_view value) {
    const bool final_lf = !value.empty() && value.back() == '\n' &&
                          (value.size() < 2 || value[value.size() - 2] != '\r');
    if (final_lf) value.remove_suffix(1);
    std::string out;
    out.reserve(value.size() + 1);
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c != '\r' && c != '\n') {
            out.push_back(c);
            continue;
        }
        if (c == '\r' && i + 1 < value.size() && value[i + 1] == '\n') ++i;
        out.push_back(' ');
    }
    if (final_lf) out.push_back('\n');
    return out;
}

bool replaces_through_line_feed(scan::Break entry_break, bool stored_value_empty,
                                bool new_value_ends_in_lf, bool another_lf_follows) {
    if (entry_break == scan::Break::lf_crlf) return !stored_value_empty;
    return entry_break == scan::Break::lf && new_value_ends_in_lf && another_lf_follows;
}

}  // namespace profile_text
