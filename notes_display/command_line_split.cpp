#include "command_line_split.h"

#include <cstddef>

namespace quorle {

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// The program name at the start of the line, moving `pos` past it: no
// escapes, quotes only group. A quoted name runs to the next double quote
// (or the end of the line); an unquoted one to the first blank.
std::string read_program(std::string_view line, std::size_t& pos) {
    if (line[0] == '"') {
        const std::size_t close = line.find('"', 1);
        pos = close == std::string_view::npos ? line.size() : close + 1;
        return std::string(
            line.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
    }
    pos = 0;
    while (pos < line.size() && !is_blank(line[pos])) {
        ++pos;
    }
    return std::string(line.substr(0, pos));
}

// Moves `pos` past a run of backslashes and returns how many there were.
std::size_t skip_backslashes(std::string_view line, std::size_t& pos) {
    const std::size_t start = pos;
    while (pos < line.size() && line[pos] == '\\') {
        ++pos;
    }
    return pos - start;
}

// A double quote at `pos` after `backslashes` backslashes: half of them stay;
// an odd count makes the quote literal. Otherwise, inside quotes, "" gives
// one literal quote, and a single quote opens or closes quoting.
void read_quote(std::string_view line, std::size_t& pos, std::size_t backslashes, bool& quoted,
                std::string& word) {
    word.append(backslashes / 2, '\\');
    if (backslashes % 2 == 1) {
        word.push_back('"');
        ++pos;
    } else if (quoted && pos + 1 < line.size() && line[pos + 1] == '"') {
        word.push_back('"');
        pos += 2;
    } else {
        quoted = !quoted;
        ++pos;
    }
}

// One argument starting at `pos` (not a blank), moving `pos` past it: it
// ends at a blank outside quotes or at the end of the line. Backslashes not
// followed by a double quote are literal.
std::string read_argument(std::string_view line, std::size_t& pos) {
    std::string word;
    bool quoted = false;
    while (pos < line.size()) {
        const std::size_t backslashes = skip_backslashes(line, pos);
        if (pos < line.size() && line[pos] == '"') {
            read_quote(line, pos, backslashes, quoted, word);
            continue;
        }
        word.append(backslashes, '\\');
        if (pos == line.size() || (!quoted && is_blank(line[pos]))) {
            break;
        }
        word.push_back(line[pos]);
        ++pos;
    }
    return word;
}

}  // namespace

std::vector<std::string> split_command_line(std::string_view line) {
    std::vector<std::string> words;
    if (line.empty() || is_blank(line.front())) {
        return words;
    }
    std::size_t pos = 0;
    std::string program = read_program(line, pos);
    if (program.empty()) {
        return words;
    }
    words.push_back(std::move(program));
    for (;;) {
        while (pos < line.size() && is_blank(line[pos])) {
            ++pos;
        }
        if (pos == line.size()) {
            break;
        }
        words.push_back(read_argument(line, pos));
    }
    return words;
}

}  // namespace quorle
