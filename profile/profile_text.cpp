// The profile-file core: the scan's findings turned into a read's result or a
// write's one splice, so the bytes a write does not have to touch are never
// re-encoded.
#include "profile_text.h"

#include <algorithm>
#include <cstring>

#include "stored_value.h"

namespace profile_text {
namespace {

using scan::Findings;
using scan::kNone;

bool is_blank(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r') || c == 0x1A;
}

std::string_view trim_leading(std::string_view s) {
    std::size_t b = 0;
    while (b < s.size() && is_blank(static_cast<unsigned char>(s[b]))) ++b;
    return s.substr(b);
}

// Matching single or double quotes around a text of two or more characters
// are removed.
std::string_view unquote(std::string_view v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
        return v.substr(1, v.size() - 2);
    }
    return v;
}

// Trailing spaces (only spaces) of a default are dropped; a default made of
// spaces alone comes back as one space, as the Windows service gives it.
std::string_view trim_default(std::string_view d) {
    std::size_t e = d.size();
    while (e > 0 && d[e - 1] == ' ') --e;
    if (e == 0 && !d.empty()) e = 1;
    return d.substr(0, e);
}

// The value of a digit or letter (letters count from 10, in either case);
// 36, above every base, for any other character.
uint32_t digit_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10u;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10u;
    return 36;
}

// The number a value spells: leading blanks and control characters skipped,
// an optional sign, an optional 0x, 0o or 0b base prefix, then digits up to
// the first that does not belong to the base. It wraps modulo 2^32.
uint32_t parse_unsigned(std::string_view v) {
    std::size_t i = 0;
    while (i < v.size() && static_cast<unsigned char>(v[i]) <= ' ') ++i;
    bool negative = false;
    if (i < v.size() && (v[i] == '+' || v[i] == '-')) {
        negative = v[i] == '-';
        ++i;
    }
    uint32_t base = 10;
    if (i + 1 < v.size() && v[i] == '0') {
        if (v[i + 1] == 'x') base = 16;
        if (v[i + 1] == 'o') base = 8;
        if (v[i + 1] == 'b') base = 2;
        if (base != 10) i += 2;
    }
    uint32_t result = 0;
    for (; i < v.size(); ++i) {
        const uint32_t digit = digit_value(static_cast<unsigned char>(v[i]));
        if (digit >= base) break;
        result = result * base + digit;
    }
    return negative ? 0u - result : result;
}

// The part of a found value a read hands out: its first unit and length
// after one pair of matching quotes is removed.
struct Unquoted {
    std::uint64_t start = 0;
    std::uint64_t length = 0;
};

Unquoted unquoted(const Findings& f) {
    const std::uint64_t n = f.read_length();
    const bool quoted =
        n >= 2 && (f.value_first == '"' || f.value_first == '\'') && f.value_last == f.value_first;
    return quoted ? Unquoted{1, n - 2} : Unquoted{0, n};
}

bool value_found(const Findings& f) {
    return f.key_found && f.key_has_equals;
}

// The byte offset of a unit position.
std::uint64_t byte_offset(const Findings& f, std::uint64_t units) {
    return f.utf16 ? 2 + 2 * units : units;
}

// Copies `n` units from unit position `at` out of the file into `out`, in
// code page 1252; returns how many it copied.
std::size_t copy_from_file(const Findings& f, std::uint64_t at, std::size_t n, char* out,
                           Source& file) {
    const std::uint64_t offset = byte_offset(f, at);
    if (!f.utf16) {
        std::size_t done = 0;
        while (done < n) {
            const std::size_t got = file.read_at(offset + done, out + done, n - done);
            if (got == 0) break;
            done += got;
        }
        return done;
    }
    char bytes[4096];
    std::size_t done = 0;
    while (done < n) {
        const std::size_t want = std::min<std::size_t>(n - done, sizeof bytes / 2) * 2;
        const std::size_t got = file.read_at(offset + 2 * done, bytes, want);
        for (std::size_t i = 0; i + 1 < got; i += 2) {
            const auto lo = static_cast<unsigned char>(bytes[i]);
            const auto hi = static_cast<unsigned char>(bytes[i + 1]);
            out[done++] = scan::to_ansi(static_cast<char16_t>(lo | hi << 8));
        }
        if (got < want) break;
    }
    return done;
}

uint32_t copy_out(std::string_view v, char* buffer, uint32_t size) {
    if (size == 0 || buffer == nullptr) return 0;
    const std::size_t n = std::min<std::size_t>(v.size(), size - 1);
    if (n > 0) std::memcpy(buffer, v.data(), n);
    buffer[n] = '\0';
    return static_cast<uint32_t>(n);
}

// Text in the file's encoding, from ANSI.
std::string encoded(std::string_view ansi, bool utf16) {
    if (!utf16) return std::string(ansi);
    std::string out;
    out.reserve(ansi.size() * 2);
    for (const char c : ansi) {
        const char16_t u = scan::to_unicode(static_cast<unsigned char>(c));
        out.push_back(static_cast<char>(u & 0xFF));
        out.push_back(static_cast<char>(u >> 8));
    }
    return out;
}

// The key's line is there: its stored value is replaced, or for a line
// without '=', "=value" is added to it. False when the value is already
// stored, with or without its own final LF.
bool plan_value(const Findings& f, std::string_view value, Splice& edit) {
    if (!f.key_has_equals) {
        edit.offset = f.key_text_end;
        edit.length = 0;
        edit.bytes = "=" + std::string(value);
        return true;
    }
    const bool through_lf =
        replaces_through_line_feed(f.key_line.brk, f.value_length == 0,
                                   !value.empty() && value.back() == '\n', f.key_line_then_lf);
    const std::uint64_t stored = through_lf ? f.key_line.end + 1 - f.value_begin : f.value_length;
    const auto holds = [&](std::uint64_t length) {
        return length == value.size() && (f.value_mismatch == kNone || f.value_mismatch >= length);
    };
    if (holds(stored) || holds(f.value_length)) return false;
    edit.offset = f.value_begin;
    edit.length = stored;
    edit.bytes = std::string(value);
    return true;
}

// The key is missing: a new "key=value" line goes after the section's last
// non-blank line, or, without the section, a new section with that line goes
// at the end of the file. New lines end like the file's first line (LF stays
// LF, also when a value's own LF starts an LF CR LF there); CR LF otherwise,
// as for a new file.
void plan_new_entry(const Findings& f, std::string_view section, std::string_view key,
                    std::string_view value, Splice& edit) {
    const bool lf_file = f.first_break == scan::Break::lf || f.first_break == scan::Break::lf_crlf;
    const std::string eol = lf_file ? "\n" : "\r\n";
    const std::string line = std::string(trim_leading(key)) + "=" + std::string(value) + eol;
    edit.length = 0;
    if (f.section_found) {
        edit.offset = f.last_line.next;
        edit.bytes = f.last_line.brk == scan::Break::none ? eol + line : line;
        return;
    }
    edit.offset = f.units;
    edit.bytes.clear();
    if (f.units > 0 && f.last_unit != '\n' && f.last_unit != '\r') edit.bytes = eol;
    edit.bytes += "[" + std::string(trim_leading(section)) + "]" + eol + line;
}

}  // namespace

std::size_t BytesSource::read_at(std::uint64_t offset, char* out, std::size_t n) {
    if (offset >= bytes_.size()) return 0;
    const auto got = static_cast<std::size_t>(std::min<std::uint64_t>(n, bytes_.size() - offset));
    std::memcpy(out, bytes_.data() + offset, got);
    return got;
}

namespace {

scan::Goal read_goal(const Name& section, const Name& key) {
    if (!section) return scan::Goal::list_sections;
    return key ? scan::Goal::read : scan::Goal::list_keys;
}

scan::Query query(scan::Goal goal, const Name& section, const Name& key, std::string_view value) {
    return scan::Query{goal, section.value_or(""), key.value_or(""), value};
}

// The source of an integer read, which never needs one: what it copies lies
// within what the scan keeps.
class NoSource : public Source {
public:
    std::size_t read_at(std::uint64_t, char*, std::size_t) override { return 0; }
};

NoSource no_source;

}  // namespace

Read::Read(Name section, Name key, char* buffer, uint32_t size, Source& file, std::size_t keep)
    : goal_(read_goal(section, key)),
      buffer_(buffer),
      size_(buffer ? size : 0),
      file_(&file),
      keep_(std::min(keep, scan::kKeptValueUnits)),
      scan_(query(goal_, section, key, {}), this) {}

// The list goes into a buffer of 30 characters, as the Windows service reads
// a list for a number.
Read::Read(Name section, Name key)
    : goal_(read_goal(section, key)),
      buffer_(number_),
      size_(30),
      file_(&no_source),
      keep_(scan::kKeptValueUnits),
      scan_(query(goal_, section, key, {}), this) {}

std::size_t Read::copy(const Findings& f, std::uint64_t at, std::size_t kept_from, std::size_t n,
                       char* out) const {
    if (kept_from + n <= keep_) {
        if (n > 0) std::memcpy(out, f.kept + kept_from, n);
        return n;
    }
    return copy_from_file(f, at, n, out, *file_);
}

bool Read::name(const Findings& f, std::uint64_t begin, std::uint64_t length) {
    listed_ = true;
    if (size_ == 0) return false;
    // Room for the name, its terminator, the list's terminator and one more
    // character, which the Windows service keeps free.
    if (used_ + length + 3 <= size_) {
        const auto n = static_cast<std::size_t>(length);
        used_ += copy(f, begin, 0, n, buffer_ + used_);
        buffer_[used_++] = '\0';
        return true;
    }
    cut_ = true;
    if (size_ < 2) {
        buffer_[0] = '\0';
        used_ = 0;
        return false;
    }
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(length, size_ - 2 - used_));
    copy(f, begin, 0, n, buffer_ + used_);
    buffer_[size_ - 2] = '\0';
    buffer_[size_ - 1] = '\0';
    used_ = size_ - 2;
    return false;
}

uint32_t Read::get_string(std::string_view default_value) const {
    const Findings& f = scan_.findings();
    const bool listing = goal_ != scan::Goal::read;
    const bool found = listing ? listed_ || goal_ == scan::Goal::list_sections : value_found(f);
    if (!found) return copy_out(unquote(trim_default(default_value)), buffer_, size_);
    if (size_ == 0) return 0;
    if (listing) {
        if (!cut_) buffer_[used_] = '\0';  // the list's own terminator
        return static_cast<uint32_t>(used_);
    }
    const Unquoted v = unquoted(f);
    auto n = static_cast<std::size_t>(std::min<std::uint64_t>(v.length, size_ - 1));
    n = copy(f, f.value_begin + v.start, static_cast<std::size_t>(v.start), n, buffer_);
    buffer_[n] = '\0';
    return static_cast<uint32_t>(n);
}

uint32_t Read::get_int(int default_value) const {
    const auto fallback = static_cast<uint32_t>(default_value);
    const Findings& f = scan_.findings();
    if (goal_ != scan::Goal::read) {
        if (!listed_) return fallback;
        return parse_unsigned(std::string_view(number_, std::strlen(number_)));
    }
    if (!value_found(f)) return fallback;
    const Unquoted v = unquoted(f);
    if (v.length == 0) return fallback;
    // Only the first 29 characters take part, like the 30-character buffer
    // the Windows service reads the value into.
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(v.length, 29));
    return parse_unsigned(std::string_view(f.kept + v.start, n));
}

namespace {

scan::Goal write_goal(const Name& key, const Name& value) {
    if (!key) return scan::Goal::remove_section;
    return value ? scan::Goal::write : scan::Goal::remove_key;
}

}  // namespace

Write::Write(std::string_view section, Name key, Name value)
    : goal_(write_goal(key, value)),
      section_(section),
      key_(key.value_or("")),
      value_(trim_leading(value.value_or(""))),
      scan_(scan::Query{goal_, section_, key_, value_}) {}

bool Write::plan(Splice& out) const {
    const Findings& f = scan_.findings();
    Splice edit;
    switch (goal_) {
        case scan::Goal::remove_section:
            if (!f.section_found) return false;
            edit.offset = f.section_begin;
            edit.length = f.section_end - f.section_begin;
            break;
        case scan::Goal::remove_key:
            if (!f.key_found) return false;
            edit.offset = f.key_line_begin;
            edit.length = f.key_line.next - f.key_line_begin;
            break;
        default:
            if (f.key_found) {
                if (!plan_value(f, value_, edit)) return false;
            } else {
                plan_new_entry(f, section_, key_, value_, edit);
            }
            break;
    }
    out.offset = byte_offset(f, edit.offset);
    out.length = f.utf16 ? 2 * edit.length : edit.length;
    out.bytes = encoded(edit.bytes, f.utf16);
    return true;
}

uint32_t get_string(std::string_view file, Name section, Name key, std::string_view default_value,
                    char* buffer, uint32_t size) {
    BytesSource source(file);
    Read read(section, key, buffer, size, source);
    read.feed(file);
    read.finish();
    return read.get_string(default_value);
}

uint32_t get_int(std::string_view file, Name section, Name key, int default_value) {
    Read read(section, key);
    read.feed(file);
    read.finish();
    return read.get_int(default_value);
}

bool plan_put(std::string_view file, std::string_view section, Name key, Name value, Splice& out) {
    Write write(section, key, value);
    write.feed(file);
    write.finish();
    return write.plan(out);
}

std::string put_string(std::string_view file, std::string_view section, Name key, Name value) {
    Splice s;
    if (!plan_put(file, section, key, value, s)) return std::string(file);
    std::string out;
    // The splice lies inside the file, whose size is a size_t.
    const auto offset = static_cast<std::size_t>(s.offset);
    const auto length = static_cast<std::size_t>(s.length);
    out.reserve(file.size() - length + s.bytes.size());
    out.append(file.substr(0, offset));
    out.append(s.bytes);
    out.append(file.substr(offset + length));
    return out;
}

}  // namespace profile_text
