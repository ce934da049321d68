// The one message Vestrel ever shows: a warning with a single OK button.
// Windows shows a message box; Linux, which has no window to show, writes
// "<caption>: <text>" and a line feed to standard error.
#pragma once

void show_warning_message(const char* caption, const char* text);
