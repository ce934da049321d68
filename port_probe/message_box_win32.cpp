#include "message_box.h"

#include <windows.h>

void show_warning_message(const char* caption, const char* text) {
    // Without a desktop (a service session, or Wine without a display) the box
    // cannot be shown and the call returns at once; the run ends either way.
    MessageBoxA(nullptr, text, caption, MB_ICONEXCLAMATION | MB_OK);
}
