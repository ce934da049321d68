// libFuzzer target for Quorle's command-line splitter. The first byte picks
// the form; the rest is the input:
// - even: a command line as the notes file names it. The splitter never
//   reads past its end (it gets no terminator); the program is the line's
//   first token; the words hold no more characters than the line; and the
//   words, quoted again, split into the same words.
// - odd: a program and its arguments, separated by NUL bytes. Quoted by
//   `quote_argument` and joined by blanks, they split back into themselves.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "command_line_split.h"
#include "fuzz_support.h"

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// An argument as a program's command line carries it: bare when it is not
// empty and holds no blank or double quote; otherwise in double quotes, with
// each double quote escaped by a backslash and each run of backslashes
// before a double quote (or before the closing quote) doubled.
std::string quote_argument(std::string_view argument) {
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string_view::npos) {
        return std::string(argument);
    }
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(2 * backslashes, '\\');
    quoted.push_back('"');
    return quoted;
}

// The program's name as the line's first token carries it, or false when no
// line can: an empty name, a name with a double quote that is also blank
// somewhere, or a name that starts with a double quote.
bool quote_program(std::string_view program, std::string& out) {
    if (program.empty() || program.front() == '"') return false;
    const bool has_quote = program.find('"') != std::string_view::npos;
    const bool has_blank = program.find_first_of(" \t") != std::string_view::npos;
    if (has_quote && has_blank) return false;
    out = has_blank ? "\"" + std::string(program) + "\"" : std::string(program);
    return true;
}

std::string join_quoted(const std::string& program, const std::vector<std::string>& words,
                        std::size_t first) {
    std::string line = program;
    for (std::size_t i = first; i < words.size(); ++i) {
        line += ' ';
        line += quote_argument(words[i]);
    }
    return line;
}

// The first token of a line: a quoted program runs to the next double quote
// (or the end), an unquoted one to the first blank.
std::string first_token(std::string_view line) {
    if (line.front() == '"') {
        const std::size_t close = line.find('"', 1);
        return std::string(line.substr(1, close == std::string_view::npos ? line.npos : close - 1));
    }
    std::size_t end = 0;
    while (end < line.size() && !is_blank(line[end])) ++end;
    return std::string(line.substr(0, end));
}

// A program and its arguments, quoted and joined by blanks, split back into
// themselves (when a line can carry the program's name at all).
void check_round_trip(const std::vector<std::string>& words) {
    std::string quoted_program;
    if (!quote_program(words[0], quoted_program)) return;
    FUZZ_CHECK(quorle::split_command_line(join_quoted(quoted_program, words, 1)) == words);
}

void check_line(std::string_view line) {
    const std::vector<std::string> words = quorle::split_command_line(line);
    if (line.empty() || is_blank(line.front())) {
        FUZZ_CHECK(words.empty());
        return;
    }
    const std::string program = first_token(line);
    FUZZ_CHECK(words.empty() == program.empty());
    if (words.empty()) return;
    FUZZ_CHECK(words[0] == program);
    std::size_t characters = 0;
    for (const std::string& word : words) characters += word.size();
    FUZZ_CHECK(characters <= line.size());
    check_round_trip(words);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // A copy of exactly the input's length, so that a read past the end of
    // the line is a read past the end of its heap block.
    const std::size_t length = size - 1;
    const std::unique_ptr<char[]> copy(new char[length == 0 ? 1 : length]);
    for (std::size_t i = 0; i < length; ++i) copy[i] = static_cast<char>(data[1 + i]);
    const std::string_view input(copy.get(), length);
    if (data[0] % 2 == 0) {
        check_line(input);
    } else {
        check_round_trip(split_at_nuls(input));
    }
    return 0;
}
