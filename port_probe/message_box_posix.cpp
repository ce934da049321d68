#include "message_box.h"

#include <cstdio>

void show_warning_message(const char* caption, const char* text) {
    std::fprintf(stderr, "%s: %s\n", caption, text);
}
