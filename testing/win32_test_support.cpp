#include "win32_test_support.h"

#include <windows.h>

#include <vector>

namespace test_support {

std::string beside_this_program(const std::string& name) {
    char path[MAX_PATH + 1] = "";
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path, length);
    folder.erase(folder.find_last_of("\\/") + 1);
    return folder + name;
}

FileVersion read_file_version(const std::string& path) {
    FileVersion result;
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    if (size == 0) return result;
    std::vector<char> data(size);
    if (!GetFileVersionInfoA(path.c_str(), 0, size, data.data())) return result;

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length))
        return result;
    result.found = true;
    result.version_ms = fixed->dwFileVersionMS;
    result.version_ls = fixed->dwFileVersionLS;
    result.file_type = fixed->dwFileType;

    char* text = nullptr;
    if (VerQueryValueA(data.data(), "\\StringFileInfo\\040904B0\\FileVersion",
                       reinterpret_cast<void**>(&text), &length)) {
        result.has_text = true;
        result.text = text;
    }
    return result;
}

}  // namespace test_support
