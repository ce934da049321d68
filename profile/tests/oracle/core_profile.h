// Runs one operation through our own profile core (profile_text.h).
#pragma once

#include "operation.h"

namespace oracle {

Outcome run_core(const File& file, const Operation& op);

}  // namespace oracle
