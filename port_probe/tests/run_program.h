// Starts a program as a child process and collects what it did.
#pragma once

#include <string>
#include <vector>

struct ProgramRun {
    int exit_code = -1;  // -1 when it could not start or did not exit normally
    std::string standard_output;
    std::string standard_error;
};

// Runs `program` with `arguments` (each one argument of its own; on Windows
// they are joined with single blanks, unquoted, into the command line, and a
// program named without a folder is the one beside the test program) in the
// current working folder, with this process's environment plus `environment`
// ("NAME=value" entries, replacing same-named ones), and waits for it.
ProgramRun run_program(const std::string& program, const std::vector<std::string>& arguments,
                       const std::vector<std::string>& environment);

// The environment entries that make a program started by run_program load
// its shared libraries from `folder` first (empty where the platform offers
// no such switch and the libraries must sit beside the program instead).
std::vector<std::string> library_folder_environment(const std::string& folder);
