#include "windows_profile.h"

#include <windows.h>

#include <fstream>
#include <iterator>
#include <utility>
#include <vector>

namespace oracle {

WindowsProfile::WindowsProfile(std::string file_name) : path_(".\\" + std::move(file_name)) {}

WindowsProfile::~WindowsProfile() {
    DeleteFileA(path_.c_str());
}

void WindowsProfile::store(const File& file) {
    if (!file) {
        DeleteFileA(path_.c_str());
        return;
    }
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out.write(file->data(), static_cast<std::streamsize>(file->size()));
}

// Wine keeps parsed files in a per-process cache; a call with every argument
// null but the file name drops it, so the next call reads the bytes on disk
// as a fresh process (or our own implementation) would.
void WindowsProfile::forget() {
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, path_.c_str());
}

File WindowsProfile::load() const {
    std::ifstream in(path_, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Outcome WindowsProfile::call(const Operation& op) {
    Outcome out;
    switch (op.kind) {
        case Kind::get_string: {
            std::vector<char> buffer(op.size + 64u, kFill);
            DWORD n = GetPrivateProfileStringA(op.section.c_str(), op.key.c_str(), op.text.c_str(),
                                               buffer.data(), op.size, path_.c_str());
            out.result = n;
            out.buffer.assign(buffer.data(), op.size);
            for (std::size_t i = op.size; i < buffer.size(); ++i) out.overrun |= buffer[i] != kFill;
            break;
        }
        case Kind::get_int:
            out.result = GetPrivateProfileIntA(op.section.c_str(), op.key.c_str(), op.int_default,
                                               path_.c_str());
            break;
        case Kind::put_string:
            out.result = WritePrivateProfileStringA(op.section.c_str(), op.key.c_str(),
                                                    op.text.c_str(), path_.c_str())
                             ? 1u
                             : 0u;
            out.file_after = load();
            break;
    }
    return out;
}

Outcome WindowsProfile::run(const File& file, const Operation& op) {
    store(file);
    forget();
    return call(op);
}

}  // namespace oracle
