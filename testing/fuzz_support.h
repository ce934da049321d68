// What the fuzz targets share: the check their invariants use, and the
// reading of an input as a list of strings.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

// On failure: names the condition and its line, then aborts, which libFuzzer
// and the replay driver both report as a finding.

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

// The strings that NUL bytes separate in `input` (at least one, maybe empty).
inline std::vector<std::string> split_at_nuls(std::string_view input) {
    std::vector<std::string> strings(1);
    for (const char c : input) {
        if (c == '\0') {
            strings.emplace_back();
        } else {
            strings.back().push_back(c);
        }
    }
    return strings;
}
