// Vestrel's entry point on Windows: a program of the windows subsystem that
// opens no window. The request file name is taken from the raw command line
// (the C run-time's argv would strip quotes and split at blanks); the caption
// is the program file's name without folder and extension.
#include "command_line.h"
#include "vestrel_app.h"

#include <windows.h>

namespace {

std::string program_caption() {
    char path[MAX_PATH + 1] = "";
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    path[length < MAX_PATH ? length : MAX_PATH] = '\0';
    return caption_from_program_path(length != 0 ? path : "Vestrel");
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    theApp.m_strAppName = program_caption();
    theApp.m_strCmdLine = request_file_from_command_line(GetCommandLineA());
    theApp.InitInstance();
    return 0;  // the outcome is in the request file, never in the exit status
}
