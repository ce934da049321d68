// A stand-in viewer for the Windows tests, built as notepad.exe beside the
// test host (WinExec looks in the starting program's folder first). It writes
// its raw command line to <QUORLE_TEST_RECORD_DIR>\<process id>.record
// (written under another name and renamed, so a reader sees a complete record
// or none).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main() {
    const char* folder = std::getenv("QUORLE_TEST_RECORD_DIR");
    if (folder == nullptr) return 2;
    const std::string name = std::string(folder) + "\\" + std::to_string(GetCurrentProcessId());
    const std::string partial = name + ".partial";
    std::FILE* record = std::fopen(partial.c_str(), "wb");
    if (record == nullptr) return 3;
    std::fputs(GetCommandLineA(), record);
    std::fclose(record);
    return MoveFileA(partial.c_str(), (name + ".record").c_str()) ? 0 : 4;
}
