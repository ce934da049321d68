// Compares one operation's outcome from our core with the system's, and tells
// a documented deliberate difference from a fault.
#pragma once

#include <string>

#include "operation.h"

namespace oracle {

enum class Verdict { agree, documented, fault };

struct Comparison {
    Verdict verdict = Verdict::agree;
    std::string what;    // documented: which difference; fault: its kind
    std::string detail;  // fault: both results
};

// `before` is the file the operation ran on; for writes the values of every
// pooled section and key, read back with our core from both results, must be
// the same, and the bytes too when `before` was tidy.
Comparison compare(const File& before, const Operation& op, const Outcome& ours,
                   const Outcome& theirs);

}  // namespace oracle
