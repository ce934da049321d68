// Reader for the recorded profile-case corpus (tests/data/cases-public.txt)
// and for the overrides kept beside it (tests/data/overrides.txt).
//
// Corpus grammar, one directive per line; '#' lines and blank lines are
// comments. Strings are double-quoted with the escapes \\ \" \r \n \t \xHH
// and may be repeated and joined: "k=" + "x"*70000 + "\r\n".
//   case ID / title TEXT / tags WORD... / end
//   setup dir LOC                      setup file LOC STRING [readonly]
//   get SECTION KEY DEFAULT SIZE FILE -> RET IMAGE
//   int SECTION KEY DEFAULT FILE -> UINT
//   write SECTION KEY VALUE FILE -> 1 | 0 err=N
//   expect LOC BYTES|absent|directory
// LOC is cwd:REL/PATH or windir:NAME.
//
// Overrides: where this implementation deliberately gives another result
// than the recorded one, an entry replaces one step's expected result:
//   override CASE-ID STEP-NUMBER <the step line with our expected result>
//   reason <one line: why>
// Step numbers count a case's get/int/write/expect lines from 1. The step's
// inputs must repeat the corpus ones exactly, so an entry cannot drift onto
// another step.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corpus {

struct Setup {
    bool is_dir = false;
    std::string location;  // cwd:... or windir:...
    std::string bytes;
    bool readonly = false;
};

struct Step {
    enum class Kind { get, get_int, write, expect };
    enum class Snapshot { bytes, absent, directory };

    Kind kind = Kind::get;
    int line = 0;        // where the step stands in its file
    std::string source;  // the line as written, for messages
    std::string inputs;  // canonical form of everything before the results

    // get / int / write
    std::string section;
    std::string key;
    std::string text;     // the default (get) or the value (write)
    std::string file;     // file-name argument with Windows separators
    uint32_t size = 0;    // get
    int int_default = 0;  // int

    // results
    uint32_t ret = 0;      // get: count; int: value; write: 1 or 0
    std::string image;     // get: buffer bytes up to the terminator
    bool overrun = false;  // get: the recorded call wrote past the buffer
    int error = 0;         // write -> 0: the recorded GetLastError()

    // expect
    std::string location;
    Snapshot snapshot = Snapshot::bytes;
    std::string bytes;

    // Set when an override replaced the recorded result.
    std::string override_reason;
};

struct Case {
    std::string id;
    std::string title;
    std::vector<std::string> tags;
    std::vector<Setup> setups;
    std::vector<Step> steps;
    int line = 0;

    bool has_tag(std::string_view tag) const;
};

struct ParseResult {
    std::vector<Case> cases;
    std::string error;  // empty when the text parsed
};

// Parses corpus text. `name` is used in error messages.
ParseResult parse_cases(std::string_view text, std::string_view name);

// Applies an overrides text to parsed cases; returns an error message (empty
// on success). Every entry must name an existing case and step, repeat its
// inputs and give a reason.
std::string apply_overrides(std::vector<Case>& cases, std::string_view text, std::string_view name);

// A byte string in the corpus notation, for readable failure messages.
std::string quote(std::string_view bytes);

}  // namespace corpus
