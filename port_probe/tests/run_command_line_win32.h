// Windows only: starts a program with an exact raw command line, the string
// that the program's GetCommandLineA returns.
#pragma once

#include "run_program.h"

#include <string>
#include <vector>

// The full path of `name` in the folder of this test program.
std::string beside_this_program(const std::string& name);

// Starts `program` (a path) with `command_line` exactly as given and with this
// process's environment plus `environment`, in the current working folder;
// collects its output and waits for it.
ProgramRun run_command_line(const std::string& program, const std::string& command_line,
                            const std::vector<std::string>& environment);
