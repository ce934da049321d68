// Opening the run log: for appending in text mode, as fopen(path, "a") does.
#pragma once

#include <cstdio>

// The stream, or nullptr when the file cannot be opened. A file that could
// only be opened by waiting (a FIFO without a reader) counts as one that
// cannot be opened: the run never waits for its log.
std::FILE* open_log_for_append(const char* path);
