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

}  // namespace quorle
