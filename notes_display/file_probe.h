// "Can this name be opened for an attribute query?"
//
// The existence test behind PNFileAvailable. It opens the named file as an
// existing file (never creating it) without asking for read or write access,
// and closes it again at once: nothing is read and no descriptor or handle is
// left open. A directory does not count as a file.
//
// notes_profile_name gives the name under which the notes file is read as a
// profile file, so that the read looks at the very file the test found.
#pragma once

#include <string>

namespace quorle {

// True when `file_name` (not null) names an existing file other than a
// directory that can be opened for an attribute query.
bool file_can_be_opened(const char* file_name);

// The name for reading `file_name` (not null) as a profile file: the same
// file that file_can_be_opened tests.
std::string notes_profile_name(const char* file_name);

}  // namespace quorle
