// Windows existence test: CreateFileA on an existing file, asking for no
// access at all (an attribute query), sharing read access, normal attributes.
// A directory cannot be opened this way (that needs backup semantics), so it
// fails the test as well. The handle is closed at once; nothing is read.
#include "file_probe.h"

#include <windows.h>

namespace quorle {

bool file_can_be_opened(const char* file_name) {
    const HANDLE file = CreateFileA(file_name, 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(file);
    return true;
}

// The profile service looks up a name without any folder part in the Windows
// folder, while the existence test looks in the working folder; ".\" makes
// the read look where the test did. A name with a separator, or a drive
// ("C:notes.txt"), already leads to the same file for both.
std::string notes_profile_name(const char* file_name) {
    const std::string name(file_name);
    const bool has_drive =
        name.size() >= 2 && name[1] == ':' &&
        ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'));
    if (has_drive || name.find_first_of("\\/") != std::string::npos) return name;
    return ".\\" + name;
}

}  // namespace quorle
