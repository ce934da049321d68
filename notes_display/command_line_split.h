// Splitting a command line given as one string into a program and its
// arguments, by the rules Windows programs apply to their own command line.
//
// Program: when the line starts with a double quote, everything up to the
// next double quote (quotes removed, no escapes; without a closing quote, to
// the end of the line); otherwise everything up to the first blank (space or
// tab). Whatever follows, even text glued to a closing quote, is split into
// arguments by the C-runtime rules:
//   - blanks separate arguments; runs of blanks count as one;
//   - a double-quoted section belongs to one argument, may be embedded in a
//     word, and its quotes are removed; an unterminated quote runs to the end;
//   - inside a quoted section, "" gives one literal double quote;
//   - backslashes are literal unless a double quote follows them: 2n
//     backslashes and a quote give n backslashes and the quote toggles
//     quoting, 2n+1 backslashes and a quote give n backslashes and a literal
//     double quote.
// Nothing else is special: shell metacharacters are plain text.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quorle {

// The program followed by its arguments. Empty when the line names no
// program: an empty line, a line of blanks, a line that starts with a blank
// (Windows' process start refuses those) or an empty quoted program name.
std::vector<std::string> split_command_line(std::string_view line);

}  // namespace quorle
