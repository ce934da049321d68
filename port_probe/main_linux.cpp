// Vestrel's entry point on Linux. The request file name is the arguments
// after the program's name joined by single blanks (the same rule as the raw
// Windows command line); the caption is the program file's name.
#include "command_line.h"
#include "vestrel_app.h"

#include <csignal>

int main(int argc, char** argv) {
    // A run log or standard error that is a pipe whose reader has gone gives
    // failed writes, not the end of the run before the result is written.
    std::signal(SIGPIPE, SIG_IGN);
    theApp.m_strAppName = caption_from_program_path(argc > 0 && argv[0] ? argv[0] : "Vestrel");
    theApp.m_strCmdLine = request_file_from_arguments(argc, argv);
    theApp.InitInstance();
    return 0;  // the outcome is in the request file, never in the exit status
}
