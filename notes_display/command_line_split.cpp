#include "command_line_split.h"

#include <cstddef>

namespace quorle {

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace

std::vector<std::string> split_command_line(std::string_view line) {
    std::vector<std::string> words;
    if (line.empty() || is_blank(line.front())) {
        return words;
    }

    // The program name: no escapes, quotes only group.
    std::size_t pos = 0;
    std::string program;
    if (line[0] == '"') {
        const std::size_t close = line.find('"', 1);
        program.assign(
            line.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
        pos = close == std::string_view::npos ? line.size() : close + 1;
    } else {
        while (pos < line.size() && !is_blank(line[pos])) {
            ++pos;
        }
        program.assign(line.substr(0, pos));
    }
    if (program.empty()) {
        return words;
    }
    words.push_back(std::move(program));

    // The arguments.
    const std::size_t size = line.size();
    for (;;) {
        while (pos < size && is_blank(line[pos])) {
            ++pos;
        }
        if (pos == size) {
            break;
        }
        std::string word;
        bool quoted = false;
        while (pos < size) {
            std::size_t backslashes = 0;
            while (pos < size && line[pos] == '\\') {
                ++backslashes;
                ++pos;
            }
            if (pos < size && line[pos] == '"') {
                word.append(backslashes / 2, '\\');
                if (backslashes % 2 == 1) {
                    word.push_back('"');
                    ++pos;
                } else if (quoted && pos + 1 < size && line[pos + 1] == '"') {
                    word.push_back('"');
                    pos += 2;
                } else {
                    quoted = !quoted;
                    ++pos;
                }
                continue;
            }
            word.append(backslashes, '\\');
            if (pos == size || (!quoted && is_blank(line[pos]))) {
                break;
            }
            word.push_back(line[pos]);
            ++pos;
        }
        words.push_back(std::move(word));
    }
    return words;
}

}  // namespace quorle
