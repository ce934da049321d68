// Putting one write's splice into a profile file whose exclusive lock the
// caller holds: the locked replace of the Linux layer.
#pragma once

#include <sys/stat.h>

#include <string>

#include "file_io_posix.h"
#include "profile_text.h"

namespace profile_file {

// Replaces the bytes `splice` names in `target`, open and locked as `fd`,
// whose status under the lock is `st`. On failure returns false with errno
// from the failing call, and the file reads as it did.
bool replace_locked(const std::string& target, int fd, const struct stat& st,
                    const profile_text::Splice& splice, Buffer& buffer);

// The folder part of a path, with its final '/' ("" for a bare name).
std::string folder_of(const std::string& path);

}  // namespace profile_file
