// Helpers shared by the Windows test programs.
#pragma once

#include <cstdint>
#include <string>

namespace test_support {

// The full path of `name` in the folder of this test program.
std::string beside_this_program(const std::string& name);

// A binary's version resource, as GetFileVersionInfoA and VerQueryValueA
// give it.
struct FileVersion {
    bool found = false;       // the resource and its fixed part are there
    uint32_t version_ms = 0;  // dwFileVersionMS
    uint32_t version_ls = 0;  // dwFileVersionLS
    uint32_t file_type = 0;   // dwFileType
    bool has_text = false;    // StringFileInfo\040904B0\FileVersion is there
    std::string text;         // its value
};

FileVersion read_file_version(const std::string& path);

}  // namespace test_support
