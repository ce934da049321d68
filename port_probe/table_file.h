// Where the base-address table lives: the file TROV.INI in the working
// folder, spelled the way the platform's profile functions expect (".\TROV.INI"
// on Windows; "./TROV.INI" on Linux, where a backslash is an ordinary
// character in a file name).
#pragma once

extern const char kTableFile[];
