// Windows only: starts a program with an exact raw command line, the string
// that the program's GetCommandLineA returns.
#pragma once

#include "run_program.h"
#include "win32_test_support.h"

#include <string>
#include <vector>

using test_support::beside_this_program;

// Starts `program` (a path) with `command_line` exactly as given and with this
// process's environment plus `environment`, in the current working folder;
// collects its output and waits for it.
ProgramRun run_command_line(const std::string& program, const std::string& command_line,
                            const std::vector<std::string>& environment);
