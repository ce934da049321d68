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

std::string_view trim(std::string_view s) {
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && is_blank(code(s[b]))) ++b;
    while (e > b && is_blank(code(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

std::string_view trim_leading(std::string_view s) {
    std::size_t b = 0;
    while (b < s.size() && is_blank(code(s[b]))) ++b;
    return s.substr(b);
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

// A name in the file ([b, e), ending early at a NUL) equals the wanted name
// without regard to ASCII case.
template <class U>
bool name_equals(const U* d, std::size_t b, std::size_t e, std::basic_string_view<U> want) {
    std::size_t len = want.size();
    if (e - b < len) return false;
    for (std::size_t i = 0; i < len; ++i) {
        unsigned c = code(d[b + i]);
        if (c == 0 || fold(c) != fold(code(want[i]))) return false;
    }
    return b + len == e || d[b + len] == U(0);
}

enum class Break { none, crlf, lf, cr };

template <class U>
struct Lookup {
    bool section_found = false;
    bool key_found = false;
    bool key_has_equals = false;
    // Key found: the trimmed value; for a line without '=', both are the end
    // of the line's text.
    std::size_t value_begin = 0;
    std::size_t value_end = 0;
    // End of the value as a write replaces it: value_end, or past the LF
    // that a value written with its own final LF left before the entry's
    // CR LF (that LF belongs to the value; an empty value has none).
    std::size_t stored_end = 0;
    // End of the value as a write of a value with its own final LF replaces
    // it. In an LF file a value's final LF and the LF ending its entry cannot
    // be told from a blank line after the entry, so a value with a final LF
    // takes the place of the entry's own LF when a blank line follows: the
    // bytes around the entry stay as they were and repeated writes of such a
    // value do not add a blank line each time.
    std::size_t stored_end_lf_value = 0;
    // Section found, key not: where a new key line goes (after the section's
    // last non-blank line) and whether that line still needs a line break.
    std::size_t insert_at = 0;
    bool insert_needs_break = false;
    Break first_break = Break::none;
};

// The one scan every operation uses. `section` and `key` are already trimmed.
template <class U>
Lookup<U> find_entry(const U* d, std::size_t n, std::basic_string_view<U> section,
                     std::basic_string_view<U> key) {
    Lookup<U> r;
    BreakFinder<U> breaks(d, n);
    bool inside = false;
    std::size_t i = 0;
    while (i < n) {
        const std::size_t ls = i;
        const std::size_t le = breaks.next(ls);
        std::size_t next = le;
        bool own_break = false;
        bool blank_line_follows = false;
        if (le < n) {
            Break kind;
            if (d[le] == U('\r') && le + 1 < n && d[le + 1] == U('\n')) {
                kind = Break::crlf;
                next = le + 2;
            } else {
                kind = d[le] == U('\r') ? Break::cr : Break::lf;
                next = le + 1;
                // A value written with its own final LF is followed by the
                // CR LF that ends its entry: LF CR LF. The two belong
                // together, so a key added after this line goes after both.
                if (kind == Break::lf && next + 1 < n && d[next] == U('\r') &&
                    d[next + 1] == U('\n')) {
                    next += 2;
                    own_break = true;
                } else if (kind == Break::lf && next < n && d[next] == U('\n')) {
                    blank_line_follows = true;
                }
            }
            if (r.first_break == Break::none) r.first_break = kind;
        }
        std::size_t ts = ls;
        std::size_t te = le;
        while (ts < te && is_blank(code(d[ts]))) ++ts;
        while (te > ts && is_blank(code(d[te - 1]))) --te;
        if (ts == te) {
            i = next;
            continue;
        }
        if (d[ts] == U('[')) {
            std::size_t rb = te - 1;
            while (rb > ts && d[rb] != U(']')) --rb;
            if (rb > ts) {
                if (inside) break;  // the wanted section ends at the next header
                std::size_t nb = ts + 1;
                std::size_t ne = rb;
                while (nb < ne && is_blank(code(d[nb]))) ++nb;
                while (ne > nb && is_blank(code(d[ne - 1]))) --ne;
                if (name_equals(d, nb, ne, section)) {
                    inside = true;
                    r.section_found = true;
                    r.insert_at = next;
                    r.insert_needs_break = next == le;
                }
                i = next;
                continue;
            }
            // A '[' line without ']' is an ordinary line.
        }
        if (inside) {
            r.insert_at = next;
            r.insert_needs_break = next == le;
            std::size_t eq = ts;
            while (eq < te && d[eq] != U('=')) ++eq;
            std::size_t ne = eq;
            while (ne > ts && is_blank(code(d[ne - 1]))) --ne;
            if (name_equals(d, ts, ne, key)) {
                r.key_found = true;
                if (eq < te) {
                    r.key_has_equals = true;
                    std::size_t vb = eq + 1;
                    while (vb < te && is_blank(code(d[vb]))) ++vb;
                    r.value_begin = vb;
                } else {
                    r.value_begin = te;
                }
                r.value_end = te;
                r.stored_end = (r.key_has_equals && own_break && r.value_begin < te) ? le + 1 : te;
                r.stored_end_lf_value =
                    (r.key_has_equals && blank_line_follows) ? le + 1 : r.stored_end;
                return r;
            }
        }
        i = next;
    }
    return r;
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
    const Lookup<U> r = find_entry<U>(text.data(), text.size(), sec, k);
    if (!r.key_found || !r.key_has_equals) return false;
    value = text.substr(r.value_begin, r.value_end - r.value_begin);
    value = value.substr(0, std::min(value.size(), value.find(U(0))));
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

template <class U>
bool plan_put_units(std::basic_string_view<U> text, std::string_view section, std::string_view key,
                    std::string_view value, std::basic_string<U>& insert, std::size_t& offset,
                    std::size_t& length) {
    const auto sec = widen<U>(trim(section));
    const auto k = widen<U>(trim(key));
    const auto val = widen<U>(trim_leading(value));
    const Lookup<U> r = find_entry<U>(text.data(), text.size(), sec, k);
    if (r.key_found) {
        if (r.key_has_equals) {
            // Nothing to do when the value is already stored, with or
            // without its own final LF.
            const bool own_final_lf = !val.empty() && val.back() == U('\n');
            const std::size_t stored_end = own_final_lf ? r.stored_end_lf_value : r.stored_end;
            const std::basic_string_view<U> stored =
                text.substr(r.value_begin, stored_end - r.value_begin);
            const std::basic_string_view<U> read = stored.substr(0, r.value_end - r.value_begin);
            if (stored == val || read == val) return false;
            offset = r.value_begin;
            length = stored_end - r.value_begin;
            insert = val;
        } else {
            offset = r.value_end;
            length = 0;
            insert = widen<U>("=") + val;
        }
        return true;
    }
    // New lines end like the file's first line (LF stays LF); CR LF otherwise,
    // as for a new file.
    const std::basic_string<U> eol = widen<U>(r.first_break == Break::lf ? "\n" : "\r\n");
    std::basic_string<U> line = widen<U>(trim_leading(key));
    line += U('=');
    line += val;
    line += eol;
    length = 0;
    if (r.section_found) {
        offset = r.insert_at;
        insert = r.insert_needs_break ? eol + line : line;
        return true;
    }
    offset = text.size();
    insert.clear();
    if (!text.empty() && text.back() != U('\n') && text.back() != U('\r')) insert = eol;
    insert += U('[');
    insert += widen<U>(trim_leading(section));
    insert += U(']');
    insert += eol;
    insert += line;
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
    v = v.substr(0, std::min<std::size_t>(v.size(), 29));
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
        const auto c = static_cast<unsigned char>(v[i]);
        uint32_t digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'z') {
            digit = c - 'a' + 10u;
        } else if (c >= 'A' && c <= 'Z') {
            digit = c - 'A' + 10u;
        } else {
            break;
        }
        if (digit >= base) break;
        result = result * base + digit;  // wraps modulo 2^32
    }
    return negative ? 0u - result : result;
}

bool plan_put(std::string_view file, std::string_view section, std::string_view key,
              std::string_view value, Splice& out) {
    std::size_t offset = 0;
    std::size_t length = 0;
    if (is_utf16le(file)) {
        const std::u16string units = decode_utf16le(file);
        std::u16string insert;
        if (!plan_put_units<char16_t>(units, section, key, value, insert, offset, length)) {
            return false;
        }
        out.offset = 2 + 2 * offset;
        out.length = 2 * length;
        out.bytes = encode_utf16le(insert);
        return true;
    }
    std::string insert;
    if (!plan_put_units<char>(file, section, key, value, insert, offset, length)) return false;
    out.offset = offset;
    out.length = length;
    out.bytes = std::move(insert);
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
