// The library's entry routine: it keeps no state, so loading into and
// unloading from a process (and thread start and end) need nothing done.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
