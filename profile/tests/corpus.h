// Reader for the recorded profile-case corpus (tests/data/cases-*.txt) and
// for the overrides kept beside it (tests/data/overrides*.txt).
//
// Corpus grammar, one directive per line; '#' lines and blank lines are
// comments. Strings are double-quoted with the escapes \\ \" \r \n \t \xHH
// and may be repeated and joined: "k=" + "x"*70000 + "\r\n".
//   case ID / title TEXT / tags WORD... / end
//   setup dir LOC                      setup file LOC STRING [readonly]
//   get SECTION KEY DEFAULT SIZE FILE -> RET IMAGE [err=N]
//   int SECTION KEY DEFAULT FILE -> UINT [err=N]
//   write SECTION KEY VALUE FILE -> 1 [err=N] | 0 err=N
//   expect LOC BYTES|absent|directory
// LOC is cwd:REL/PATH or windir:NAME.
//
// Null arguments (cases-null.txt): the bare word null in place of SECTION,
// KEY, DEFAULT, VALUE or FILE is a null pointer, and null:N in place of a get
// SIZE a null buffer of N characters, whose IMAGE is then the word null. A
// null FILE names win.ini in the Windows folder. err=N is GetLastError()
// after the call, which was preceded by SetLastError(0). A get's IMAGE may be
// followed by OVERRUN (the call wrote past SIZE) and by unwritten=I (byte I
// of the image kept its fill, in the recording 0xCC); a recording marked
// UNSTABLE (two runs of the call disagreed) is refused.
//
// Overrides: where this implementation deliberately gives another result
// than the recorded one, an entry replaces one step's expected result:
//   override CASE-ID STEP-NUMBER <the step line with our expected result>
//   reason <one line: why>
// Step numbers count a case's get/int/write/expect lines from 1. The step's
// inputs must repeat the corpus ones exactly, null arguments included, so an
// entry cannot drift onto another step. An entry may leave out err=N except
// after a failed write.
//
// Where a platform's result for a step is undefined (the service reads
// memory it never set, so the result depends on the caller), an entry marks
// the step as not run there:
//   undefined CASE-ID STEP-NUMBER <the step line as recorded>
//   reason <one line: why>
#pragma once

#include <cstdint>
#include <optional>
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

    // get / int / write. A string argument written null is a null pointer:
    // its null_ flag is set and its text is empty.
    std::string section;
    std::string key;
    std::string text;  // the default (get) or the value (write)
    std::string file;  // file-name argument with Windows separators
    bool null_section = false;
    bool null_key = false;
    bool null_text = false;
    bool null_file = false;
    bool null_buffer = false;  // get: the buffer is a null pointer of `size` characters
    uint32_t size = 0;         // get
    int int_default = 0;       // int

    // results
    uint32_t ret = 0;      // get: count; int: value; write: 1 or 0
    std::string image;     // get: buffer bytes up to the terminator (none for a null buffer)
    bool overrun = false;  // get: the recorded call wrote past the buffer
    // The recorded GetLastError() (err=N); always there after a failed write,
    // optional elsewhere.
    std::optional<uint32_t> error;

    // expect
    std::string location;
    Snapshot snapshot = Snapshot::bytes;
    std::string bytes;

    // Set when an override replaced the recorded result.
    std::string override_reason;
    bool undefined = false;  // not run on this platform (an undefined entry)
};

struct Case {
    std::string id;
    std::string title;
    std::vector<std::string> tags;
    std::vector<Setup> setups;
    std::vector<Step> steps;
    int line = 0;
    std::string origin;  // the name of the case file it comes from

    bool has_tag(std::string_view tag) const;
};

struct ParseResult {
    std::vector<Case> cases;
    std::string error;  // empty when the text parsed
};

// Parses corpus text. `name` is used in error messages and as each case's
// origin.
ParseResult parse_cases(std::string_view text, std::string_view name);

// Applies an overrides text to parsed cases; returns an error message (empty
// on success). Every entry must name an existing case and step, repeat its
// inputs and give a reason.
std::string apply_overrides(std::vector<Case>& cases, std::string_view text, std::string_view name);

// A byte string in the corpus notation, for readable failure messages.
std::string quote(std::string_view bytes);

}  // namespace corpus
