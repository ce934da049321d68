// The scan under every profile operation: a file's bytes, fed in pieces of
// any size, are read line by line until the answer is settled. Only a few
// numbers per line are kept, never a line itself, so no line is too long and
// the memory is the same for any file.
//
// A file starting with the bytes FF FE is scanned in UTF-16LE code units (a
// unit may be split between two pieces; an odd last byte is no unit); any
// other file in bytes.
//
// Positions and lengths are in code units of the file's text (after the
// FF FE mark for UTF-16). Units are handed out as numbers, so the findings
// look the same for both encodings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string_view>

namespace profile_text::scan {

constexpr std::uint64_t kNone = std::numeric_limits<std::uint64_t>::max();

// How a line ends. `lf_crlf` is an LF followed by CR LF: a value written with
// its own final LF leaves that LF before the CR LF that ends its entry, and
// the two end one line.
enum class Break : unsigned char { none, crlf, lf, cr, lf_crlf };

// A line's end: the position of its break (or of the file's end) and the
// first unit after the break.
struct LineEnd {
    std::uint64_t end = 0;
    std::uint64_t next = 0;
    Break brk = Break::none;
};

// The number of value units a read keeps (in code page 1252) while it scans;
// a longer value is copied out from the file afterwards. Listings keep the
// same number of each name's units.
constexpr std::size_t kKeptValueUnits = 1024;

struct Findings {
    bool utf16 = false;
    bool section_found = false;
    // The first line of the section naming the key: with or without '='.
    bool key_found = false;
    bool key_has_equals = false;
    LineEnd key_line;
    // The unit after the key line's LF is another LF.
    bool key_line_then_lf = false;
    // Without '=': where the key line's text ends.
    std::uint64_t key_text_end = 0;

    // The key's value: where it begins (after '=' and blanks), its length
    // with trailing blanks trimmed, and where a NUL cuts it (kNone: none).
    std::uint64_t value_begin = 0;
    std::uint64_t value_length = 0;
    std::uint64_t value_nul = kNone;
    unsigned value_first = 0;  // the value's first unit
    unsigned value_last = 0;   // its last unit before trimming or the NUL cut
    // Reads: the value's first units, in code page 1252 (listings: the name's).
    char kept[kKeptValueUnits] = {};

    // Writes: the first index from the value's beginning at which the file's
    // units (through the key line's first break unit) differ from the new
    // value, or run past its end; kNone when none does.
    std::uint64_t value_mismatch = kNone;

    // Where the key's line begins (removing it).
    std::uint64_t key_line_begin = 0;
    // Where the section's header line begins, and where the section ends:
    // the next header line's beginning or the file's end (removing it).
    std::uint64_t section_begin = 0;
    std::uint64_t section_end = 0;

    // Section found, key not: the section's last non-blank line (its header
    // at least); a new key line goes after it.
    LineEnd last_line;
    Break first_break = Break::none;
    // Scanned to the end: the number of units and the last one.
    std::uint64_t units = 0;
    unsigned last_unit = 0;

    // The value's length as a read hands it out: cut at a NUL.
    std::uint64_t read_length() const {
        return value_nul < value_length ? value_nul : value_length;
    }
};

// What a scan looks for.
enum class Goal : unsigned char {
    read,            // [section] key's value
    write,           // where [section] key = value goes
    remove_key,      // [section] key's line
    remove_section,  // [section]'s lines
    list_sections,   // every section's name
    list_keys,       // [section]'s key names
};

struct Query {
    Goal goal = Goal::read;
    std::string_view section;
    std::string_view key;
    // A write's new value, in the form it is stored in, leading blanks removed.
    std::string_view value;
};

// Where a listing hands its names, in file order, as their lines end.
class NameSink {
public:
    virtual ~NameSink() = default;
    // A name of `length` units at unit position `begin`; its first units (up
    // to kKeptValueUnits) are in f.kept, in code page 1252. Returns false
    // when no more names are wanted: the scan is then done.
    virtual bool name(const Findings& f, std::uint64_t begin, std::uint64_t length) = 0;
};

// One scan. A listing needs a sink; the other goals take none.
class Stream {
public:
    explicit Stream(const Query& query, NameSink* sink = nullptr);
    ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    // Feeds the file's next bytes (ignored once done()).
    void feed(std::string_view bytes);
    // The file ends here.
    void finish();
    // True once more bytes cannot change the findings.
    bool done() const;
    const Findings& findings() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// Code page 1252 and Unicode, one unit at a time.
char16_t to_unicode(unsigned char b);
char to_ansi(char16_t u);

}  // namespace profile_text::scan
