// The profile-file core. Every operation is one forward scan over the file
// that stops as soon as the answer is known; a write then becomes a single
// splice, so the bytes it does not have to touch are never re-encoded.
//
// The scan is written once for both encodings: `char` units for ANSI files
// (code page 1252, raw bytes) and `char16_t` units for UTF-16LE files. Names
// and values cross into and out of UTF-16 through the code page 1252 table.
#include "profile_text.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

namespace profile_text {
namespace {

template <class U>
constexpr unsigned code(U c) {
    return static_cast<unsigned>(static_cast<std::make_unsigned_t<U>>(c));
}

// Blanks around lines, names and values: space, tab, LF, VT, FF, CR, Ctrl-Z.
constexpr bool is_blank(unsigned c) {
    return c == ' ' || (c >= '\t' && c <= '\r') || c == 0x1A;
}

constexpr unsigned fold(unsigned c) {
    return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
}

// ---------------------------------------------------------------- code page 1252

// Unicode code points of the bytes 0x80-0x9F; the five bytes code page 1252
// leaves undefined map to the C1 control of the same value, as Windows does.
constexpr char16_t kHigh[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t to_unicode(unsigned char b) {
    return (b >= 0x80 && b < 0xA0) ? kHigh[b - 0x80] : static_cast<char16_t>(b);
}

char to_ansi(char16_t u) {
    if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) return static_cast<char>(u);
    for (unsigned i = 0; i < 32; ++i) {
        if (kHigh[i] == u) return static_cast<char>(0x80 + i);
    }
    return '?';  // not representable in code page 1252
}

// Text in the file's units from ANSI bytes, and back.
template <class U>
std::basic_string<U> widen(std::string_view s);

template <>
std::string widen<char>(std::string_view s) {
    return std::string(s);
}

template <>
std::u16string widen<char16_t>(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    for (char c : s) out.push_back(to_unicode(static_cast<unsigned char>(c)));
    return out;
}

std::string narrow(const char16_t* p, std::size_t n) {
    std::string out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) out.push_back(to_ansi(p[i]));
    return out;
}

// ---------------------------------------------------------------- scanning

template <class U>
inline std::basic_string_view<U> trim_leading(std::basic_string_view<U> s) {
    std::size_t b = 0;
    while (b < s.size() && is_blank(code(s[b]))) ++b;
    return {s.data() + b, s.size() - b};
}

template <class U>
inline std::basic_string_view<U> trim_trailing(std::basic_string_view<U> s) {
    std::size_t e = s.size();
    while (e > 0 && is_blank(code(s[e - 1]))) --e;
    return {s.data(), e};
}

template <class U>
inline std::basic_string_view<U> trim(std::basic_string_view<U> s) {
    return trim_trailing(trim_leading(s));
}

// Finds line breaks: the position of the first CR or LF at or after `from`
// (or n). Calls come with increasing `from`. For bytes, the next LF and the
// next CR are each found with memchr (vectorised) and remembered until the
// scan passes them, so the whole file is searched once for each.
template <class U>
class BreakFinder;

template <>
class BreakFinder<char> {
public:
    BreakFinder(const char* d, std::size_t n) : d_(d), n_(n) {}
    std::size_t next(std::size_t from) {
        if (!searched_ || lf_ < from) lf_ = search('\n', from);
        if (!searched_ || cr_ < from) cr_ = search('\r', from);
        searched_ = true;
        return std::min(lf_, cr_);
    }

private:
    std::size_t search(char c, std::size_t from) const {
        const void* p = std::memchr(d_ + from, c, n_ - from);
        return p ? static_cast<std::size_t>(static_cast<const char*>(p) - d_) : n_;
    }
    const char* d_;
    std::size_t n_;
    std::size_t lf_ = 0;
    std::size_t cr_ = 0;
    bool searched_ = false;
};

template <>
class BreakFinder<char16_t> {
public:
    BreakFinder(const char16_t* d, std::size_t n) : d_(d), n_(n) {}
    std::size_t next(std::size_t from) const {
        std::size_t i = from;
        while (i < n_ && d_[i] != u'\n' && d_[i] != u'\r') ++i;
        return i;
    }

private:
    const char16_t* d_;
    std::size_t n_;
};

// How a line ends. `lf_crlf` is the LF that a value written with its own
// final LF leaves before the CR LF ending its entry: the two belong
// together, so they end one line and a key added after it goes after both.
enum class Break { none, crlf, lf, cr, lf_crlf };

// One line of the file: its text [begin, end) and the first unit after its
// line break (`next`, equal to `end` for the last line without a break).
struct Line {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::size_t next = 0;
    Break brk = Break::none;
};

// Hands out the file's lines in order.
template <class U>
class LineReader {
public:
    explicit LineReader(std::basic_string_view<U> text)
        : d_(text.data()), n_(text.size()), breaks_(d_, n_) {}

    bool read(Line& line) {
        if (pos_ >= n_) return false;
        line.begin = pos_;
        line.end = breaks_.next(pos_);
        line.brk = break_at(line.end, line.next);
        pos_ = line.next;
        return true;
    }

private:
    // The kind of line break at `i` (a CR or LF, or the end of the file),
    // and the first unit after it.
    Break break_at(std::size_t i, std::size_t& next) const {
        if (i == n_) {
            next = i;
            return Break::none;
        }
        if (d_[i] == U('\r')) {
            const bool crlf = unit_is(i + 1, U('\n'));
            next = i + (crlf ? 2 : 1);
            return crlf ? Break::crlf : Break::cr;
        }
        const bool lf_crlf = unit_is(i + 1, U('\r')) && unit_is(i + 2, U('\n'));
        next = i + (lf_crlf ? 3 : 1);
        return lf_crlf ? Break::lf_crlf : Break::lf;
    }
    bool unit_is(std::size_t i, U c) const { return i < n_ && d_[i] == c; }

    const U* d_;
    std::size_t n_;
    BreakFinder<U> breaks_;
    std::size_t pos_ = 0;
};

// A name in the file (ending early at a NUL) equals the wanted name without
// regard to ASCII case.
template <class U>
bool name_equals(std::basic_string_view<U> name, std::basic_string_view<U> want) {
    const std::size_t len = want.size();
    if (name.size() < len) return false;
    for (std::size_t i = 0; i < len; ++i) {
        const unsigned c = code(name[i]);
        if (c == 0 || fold(c) != fold(code(want[i]))) return false;
    }
    return name.size() == len || name[len] == U(0);
}

// A `[section]` line (`t` is the trimmed, non-empty line): it starts with '['
// and holds a ']'; the name runs to the last ']', trimmed. A '[' line without
// ']' is an ordinary line.
template <class U>
bool match_header(std::basic_string_view<U> t, std::basic_string_view<U>& name) {
    if (t.front() != U('[')) return false;
    const std::size_t close = t.rfind(U(']'));
    if (close == std::basic_string_view<U>::npos) return false;
    name = trim(t.substr(1, close - 1));
    return true;
}

// A `key=value` line (`t` is the trimmed, non-empty line) for the wanted key:
// the name runs to the first '=' and the value follows it, both trimmed. A
// line without '=' is all name; its value is empty, at the end of the line.
template <class U>
bool match_key(std::basic_string_view<U> t, std::basic_string_view<U> key, bool& has_equals,
               std::basic_string_view<U>& value) {
    const std::size_t eq = std::min(t.find(U('=')), t.size());
    if (!name_equals(trim_trailing(t.substr(0, eq)), key)) return false;
    has_equals = eq < t.size();
    value = has_equals ? trim_leading(t.substr(eq + 1)) : t.substr(t.size());
    return true;
}

template <class U>
struct Lookup {
    bool section_found = false;
    bool key_found = false;
    bool key_has_equals = false;
    // Key found: the trimmed value as read (not yet cut at a NUL), and the
    // line that holds it.
    std::basic_string_view<U> value;
    Line key_line;
    // Section found, key not: the section's last non-blank line (its header
    // at least); a new key line goes after it.
    Line last_line;
    Break first_break = Break::none;
};

// The one scan every operation uses. `section` and `key` are already trimmed.
template <class U>
Lookup<U> find_entry(std::basic_string_view<U> text, std::basic_string_view<U> section,
                     std::basic_string_view<U> key) {
    Lookup<U> r;
    LineReader<U> lines(text);
    Line line;
    while (lines.read(line)) {
        if (r.first_break == Break::none) r.first_break = line.brk;
        const auto t =
            trim(std::basic_string_view<U>(text.data() + line.begin, line.end - line.begin));
        if (t.empty()) continue;
        std::basic_string_view<U> name;
        if (match_header(t, name)) {
            if (r.section_found) break;  // the wanted section ends at the next header
            if (name_equals(name, section)) {
                r.section_found = true;
                r.last_line = line;
            }
            continue;
        }
        if (!r.section_found) continue;
        r.last_line = line;
        if (match_key(t, key, r.key_has_equals, r.value)) {
            r.key_found = true;
            r.key_line = line;
            return r;
        }
    }
    return r;
}

// The stored value that a write replaces (the entry has its '='): the value
// as read, or more when the value written before carried its own final LF.
// That LF stays in the file just before the entry's line break:
// - before a CR LF (LF CR LF), the LF belongs to a non-empty value, together
//   with any blanks ahead of it;
// - in an LF file a value's final LF and the LF ending its entry cannot be
//   told from a blank line after the entry, so when the value written has a
//   final LF and a blank line follows, it takes the place of the entry's own
//   LF: the bytes around the entry stay as they were and repeated writes of
//   such a value do not add a blank line each time.
template <class U>
std::basic_string_view<U> stored_value(std::basic_string_view<U> text, const Lookup<U>& r,
                                       bool writes_final_lf) {
    const Line& line = r.key_line;
    const std::size_t begin = static_cast<std::size_t>(r.value.data() - text.data());
    std::size_t end = begin + r.value.size();
    if (line.brk == Break::lf_crlf && !r.value.empty()) end = line.end + 1;
    if (writes_final_lf && line.brk == Break::lf && line.next < text.size() &&
        text[line.next] == U('\n')) {
        end = line.end + 1;
    }
    return text.substr(begin, end - begin);
}

bool is_utf16le(std::string_view file) {
    return file.size() >= 2 && static_cast<unsigned char>(file[0]) == 0xFF &&
           static_cast<unsigned char>(file[1]) == 0xFE;
}

std::u16string decode_utf16le(std::string_view file) {
    std::u16string out;
    const std::size_t count = (file.size() - 2) / 2;
    out.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        const auto lo = static_cast<unsigned char>(file[2 + 2 * i]);
        const auto hi = static_cast<unsigned char>(file[3 + 2 * i]);
        out[i] = static_cast<char16_t>(lo | (hi << 8));
    }
    return out;
}

std::string encode_utf16le(std::u16string_view units) {
    std::string out;
    out.reserve(units.size() * 2);
    for (char16_t u : units) {
        out.push_back(static_cast<char>(u & 0xFF));
        out.push_back(static_cast<char>(u >> 8));
    }
    return out;
}

// The value of [section] key with blanks trimmed, cut at a NUL, in the
// file's units; false when the entry (or its '=') is missing.
template <class U>
bool lookup_value(std::basic_string_view<U> text, std::string_view section, std::string_view key,
                  std::basic_string_view<U>& value) {
    const auto sec = widen<U>(trim(section));
    const auto k = widen<U>(trim(key));
    const Lookup<U> r = find_entry<U>(text, sec, k);
    if (!r.key_found || !r.key_has_equals) return false;
    value = r.value.substr(0, std::min(r.value.size(), r.value.find(U(0))));
    return true;
}

// The same in ANSI. An ANSI file's value is a view into the file itself
// (`storage` is untouched); a UTF-16 value is converted into `storage`.
bool lookup_value(std::string_view file, std::string_view section, std::string_view key,
                  std::string& storage, std::string_view& value) {
    if (is_utf16le(file)) {
        const std::u16string units = decode_utf16le(file);
        std::u16string_view found;
        if (!lookup_value<char16_t>(units, section, key, found)) return false;
        storage = narrow(found.data(), found.size());
        value = storage;
        return true;
    }
    return lookup_value<char>(file, section, key, value);
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

// A write as one edit of the file's units.
template <class U>
struct Edit {
    std::size_t offset = 0;
    std::size_t length = 0;
    std::basic_string<U> insert;
};

// The key's line is there: its stored value is replaced, or for a line
// without '=', "=value" is added to it. False when the value is already
// stored, with or without its own final LF.
template <class U>
bool plan_value(std::basic_string_view<U> text, const Lookup<U>& r, const std::basic_string<U>& val,
                Edit<U>& edit) {
    if (!r.key_has_equals) {
        edit.offset = static_cast<std::size_t>(r.value.data() - text.data());
        edit.length = 0;
        edit.insert = widen<U>("=") + val;
        return true;
    }
    const bool final_lf = !val.empty() && val.back() == U('\n');
    const std::basic_string_view<U> stored = stored_value(text, r, final_lf);
    if (stored == val || r.value == val) return false;
    edit.offset = static_cast<std::size_t>(stored.data() - text.data());
    edit.length = stored.size();
    edit.insert = val;
    return true;
}

// The key is missing: a new "key=value" line goes after the section's last
// non-blank line, or, without the section, a new section with that line goes
// at the end of the file. New lines end like the file's first line (LF stays
// LF, also when a value's own LF starts an LF CR LF there); CR LF otherwise,
// as for a new file.
template <class U>
void plan_new_entry(std::basic_string_view<U> text, const Lookup<U>& r, std::string_view section,
                    std::string_view key, const std::basic_string<U>& val, Edit<U>& edit) {
    const bool lf_file = r.first_break == Break::lf || r.first_break == Break::lf_crlf;
    const std::basic_string<U> eol = widen<U>(lf_file ? "\n" : "\r\n");
    std::basic_string<U> line = widen<U>(trim_leading(key));
    line += U('=');
    line += val;
    line += eol;
    edit.length = 0;
    if (r.section_found) {
        edit.offset = r.last_line.next;
        edit.insert = r.last_line.brk == Break::none ? eol + line : line;
        return;
    }
    edit.offset = text.size();
    edit.insert.clear();
    if (!text.empty() && text.back() != U('\n') && text.back() != U('\r')) edit.insert = eol;
    edit.insert += U('[');
    edit.insert += widen<U>(trim_leading(section));
    edit.insert += U(']');
    edit.insert += eol;
    edit.insert += line;
}

template <class U>
bool plan_put_units(std::basic_string_view<U> text, std::string_view section, std::string_view key,
                    std::string_view value, Edit<U>& edit) {
    const auto sec = widen<U>(trim(section));
    const auto k = widen<U>(trim(key));
    const auto val = widen<U>(trim_leading(value));
    const Lookup<U> r = find_entry<U>(text, sec, k);
    if (r.key_found) return plan_value(text, r, val, edit);
    plan_new_entry(text, r, section, key, val, edit);
    return true;
}

}  // namespace

uint32_t get_string(std::string_view file, std::string_view section, std::string_view key,
                    std::string_view default_value, char* buffer, uint32_t size) {
    std::string storage;
    std::string_view v;
    if (lookup_value(file, section, key, storage, v)) {
        v = unquote(v);
    } else {
        v = unquote(trim_default(default_value));
    }
    if (size == 0 || buffer == nullptr) return 0;
    const std::size_t n = std::min<std::size_t>(v.size(), size - 1);
    if (n > 0) std::memcpy(buffer, v.data(), n);
    buffer[n] = '\0';
    return static_cast<uint32_t>(n);
}

uint32_t get_int(std::string_view file, std::string_view section, std::string_view key,
                 int default_value) {
    const auto fallback = static_cast<uint32_t>(default_value);
    std::string storage;
    std::string_view v;
    if (!lookup_value(file, section, key, storage, v)) return fallback;
    v = unquote(v);
    if (v.empty()) return fallback;
    // Only the first 29 characters take part, like the 30-character buffer
    // the Windows service reads the value into.
    return parse_unsigned(v.substr(0, std::min<std::size_t>(v.size(), 29)));
}

bool plan_put(std::string_view file, std::string_view section, std::string_view key,
              std::string_view value, Splice& out) {
    if (is_utf16le(file)) {
        const std::u16string units = decode_utf16le(file);
        Edit<char16_t> edit;
        if (!plan_put_units<char16_t>(units, section, key, value, edit)) return false;
        out.offset = 2 + 2 * edit.offset;
        out.length = 2 * edit.length;
        out.bytes = encode_utf16le(edit.insert);
        return true;
    }
    Edit<char> edit;
    if (!plan_put_units<char>(file, section, key, value, edit)) return false;
    out.offset = edit.offset;
    out.length = edit.length;
    out.bytes = std::move(edit.insert);
    return true;
}

std::string put_string(std::string_view file, std::string_view section, std::string_view key,
                       std::string_view value) {
    Splice s;
    if (!plan_put(file, section, key, value, s)) return std::string(file);
    std::string out;
    out.reserve(file.size() - s.length + s.bytes.size());
    out.append(file.substr(0, s.offset));
    out.append(s.bytes);
    out.append(file.substr(s.offset + s.length));
    return out;
}

std::string single_line_value(std::string_view value) {
    const bool final_lf = !value.empty() && value.back() == '\n' &&
                          (value.size() < 2 || value[value.size() - 2] != '\r');
    if (final_lf) value.remove_suffix(1);
    std::string out;
    out.reserve(value.size() + 1);
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c != '\r' && c != '\n') {
            out.push_back(c);
            continue;
        }
        if (c == '\r' && i + 1 < value.size() && value[i + 1] == '\n') ++i;
        out.push_back(' ');
    }
    if (final_lf) out.push_back('\n');
    return out;
}

}  // namespace profile_text
