// libFuzzer target for Vestrel's command-line rule. The first byte picks the
// form; the rest is the input:
// - even: a raw command line (as Windows hands it over, up to its first NUL);
// - odd: the arguments after the program's name, separated by NUL bytes (as
//   a POSIX argv).
// Invariants: the request file name is a suffix of the line (or of the joined
// arguments); on a raw line the program's name and the request file name
// never overlap; only blanks (codes 1 to 32) lie between them; the name never
// starts with a blank, so a remainder of blanks alone gives the empty name.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "command_line.h"
#include "fuzz_support.h"

namespace {

bool is_blank(char c) {
    const auto code = static_cast<unsigned char>(c);
    return code >= 1 && code <= 32;
}

bool all_blanks(const std::string& s, std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
        if (!is_blank(s[i])) return false;
    }
    return true;
}

// `name` came from `text` with its first `skipped` characters left out.
void check_remainder(const std::string& text, std::size_t skipped, const std::string& name) {
    FUZZ_CHECK(name.size() <= text.size());
    const std::size_t start = text.size() - name.size();
    FUZZ_CHECK(text.compare(start, std::string::npos, name) == 0);
    FUZZ_CHECK(skipped <= start);
    FUZZ_CHECK(all_blanks(text, skipped, start));
    FUZZ_CHECK(name.empty() || !is_blank(name.front()));
    if (all_blanks(text, skipped, text.size())) FUZZ_CHECK(name.empty());
}

void check_raw_line(const std::string& line) {
    const std::size_t program = program_name_length(line.c_str());
    FUZZ_CHECK(program <= line.size());
    const std::string token = line.substr(0, program);
    if (!line.empty() && line[0] == '"') {
        // The quoted name: its opening quote and at most a closing one, last.
        const std::size_t close = token.find('"', 1);
        FUZZ_CHECK(close == std::string::npos || close == token.size() - 1);
        FUZZ_CHECK(close != std::string::npos || program == line.size());
    } else {
        for (const char c : token) FUZZ_CHECK(static_cast<unsigned char>(c) > 32);
        FUZZ_CHECK(program == line.size() || static_cast<unsigned char>(line[program]) <= 32);
    }
    check_remainder(line, program, request_file_from_command_line(line.c_str()));
}

void check_arguments(const std::string& joined_by_nul) {
    const std::vector<std::string> arguments = split_at_nuls(joined_by_nul);
    std::vector<const char*> argv{"Vestrel"};
    std::string joined;
    for (const std::string& argument : arguments) {
        argv.push_back(argument.c_str());
        if (argv.size() > 2) joined += ' ';
        joined += argument;
    }
    const std::string name =
        request_file_from_arguments(static_cast<int>(argv.size()), argv.data());
    check_remainder(joined, 0, name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    if (data[0] % 2 == 0) {
        check_raw_line(rest.substr(0, rest.find('\0')));
    } else {
        check_arguments(rest);
    }
    return 0;
}
