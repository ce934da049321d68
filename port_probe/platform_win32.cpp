#include "platform.h"

#include <windows.h>

// The profile functions resolve a name with a folder part against the current
// folder; a bare "TROV.INI" would go to the Windows folder instead.
const char kTableFile[] = ".\\TROV.INI";

// Opening a pipe name without a server fails at once here: nothing can block.
std::FILE* open_log_for_append(const char* path) {
    return std::fopen(path, "a");
}

void show_warning_message(const char* caption, const char* text) {
    // Without a desktop (a service session, or Wine without a display) the box
    // cannot be shown and the call returns at once; the run ends either way.
    MessageBoxA(nullptr, text, caption, MB_ICONEXCLAMATION | MB_OK);
}

// The Windows driver library has no error query: its calls always go through.
bool port_access_refused(uint16_t, int32_t, char*, std::size_t) {
    return false;
}
