// Seeded random profile files and operations on them: sections, keys and
// values drawn from small pools so that names repeat (duplicates, case
// variants), with blank lines, comments, lines without '=', odd spacing,
// quotes, bytes above 0x7F, long values, and CR LF or LF line ends.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "operation.h"

namespace oracle {

class RandomFiles {
public:
    explicit RandomFiles(uint32_t seed) : rng_(seed) {}

    // A file; `tidy_style` files are written as the service itself writes
    // them (see is_tidy), the others anyhow.
    File file(bool tidy_style);
    // An operation on names from the same pools.
    Operation operation();

    // Every section and key name the generator uses (without case variants).
    static const std::vector<std::string>& section_pool();
    static const std::vector<std::string>& key_pool();

private:
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }
    bool chance(uint32_t percent) { return below(100) < percent; }
    template <class T>
    const T& pick(const std::vector<T>& v) {
        return v[below(static_cast<uint32_t>(v.size()))];
    }

    std::string name_variant(const std::string& name);
    std::string blanks();
    std::string value(bool tidy_style);
    std::string write_value();

    std::mt19937 rng_;
};

// True when the file is laid out the way the service writes files: lines
// ended by CR LF (the last one too), no blank lines, no blanks around lines,
// headers as "[name]", keys as "name=value" without blanks around '=', no NUL
// bytes. Wine rewrites any other file whole when it changes it.
bool is_tidy(const std::string& file);

}  // namespace oracle
