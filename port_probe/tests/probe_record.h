// What a probe leaves behind, as the tests read it back: the simulated
// device's record of its register accesses, and the values in the request
// file and the base-address table, read through the profile functions as
// any caller of Vestrel reads them.
#pragma once

#include "private_profile.h"
#include "simulated/dlportio_sim.h"

#include <string>
#include <vector>

namespace probe_record {

using Lines = std::vector<std::string>;

// The record lines of one probe at `base` whose status read returns
// `status`: the two control-register writes, then the status read.
inline Lines probe_accesses(unsigned base, const std::string& status) {
    return {"W " + std::to_string(base + 2) + " 0x04", "W " + std::to_string(base + 2) + " 0x08",
            "R " + std::to_string(base + 1) + " " + status};
}

// The accesses of the simulated device linked in-process, as record lines.
inline Lines recorded_accesses() {
    Lines lines;
    for (const auto& access : dlportio_sim::accesses()) lines.push_back(access.text());
    return lines;
}

// The value of `key` in `section` of the profile file `file`, "<missing>"
// when there is none. The buffer is larger than any value Vestrel stores, so
// that a value stored too long shows.
inline std::string profile_value(const std::string& file, const char* section, const char* key) {
    char value[1024];
    GetPrivateProfileStringA(section, key, "<missing>", value, sizeof value, file.c_str());
    return value;
}

// ReturnValue or FailureReason of the request file `file`.
inline std::string result_value(const std::string& file, const char* key) {
    return profile_value(file, "Vestrel", key);
}

// The base addresses of LPT1 to LPT3 in the table `file`.
inline Lines table_entries(const std::string& file) {
    Lines values;
    for (const char* key : {"LPT1_BASE", "LPT2_BASE", "LPT3_BASE"})
        values.push_back(profile_value(file, "LPT SECTION", key));
    return values;
}

}  // namespace probe_record
