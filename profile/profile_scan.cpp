// The line scan, written once for both encodings: `char` units for ANSI files
// (code page 1252, raw bytes) and `char16_t` units for UTF-16LE files.
//
// File format, as the Windows service reads it:
// - Lines end at CR, LF or CR LF; blank lines are ignored; leading and trailing
//   blanks (space, tab, LF, VT, FF, CR, Ctrl-Z) of every line are ignored.
// - A line whose first character is '[' and that holds a ']' is a header; the
//   name runs to the last ']' on the line, blanks inside the brackets trimmed.
// - Other lines split at their first '=' into a name and a value, both trimmed.
//   A NUL byte ends a value; a line without '=' is all name.
// - Names compare without regard to ASCII case, and a NUL ends a name in the
//   file early; the first matching section and, inside it, the first line
//   naming the key count.
//
// A line is followed unit by unit only while it may still matter (a header, or
// a key line inside the wanted section whose name may still match); the rest
// of any other line is skipped to its line break at memchr speed.
#include "profile_scan.h"

#include <cstring>
#include <optional>
#include <string>
#include <type_traits>

namespace profile_text::scan {

// ---------------------------------------------------------------- code page 1252

namespace {

// Unicode code points of the bytes 0x80-0x9F; the five bytes code page 1252
// leaves undefined map to the C1 control of the same value, as Windows does.
constexpr char16_t kHigh[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

}  // namespace

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

char unit_to_ansi(unsigned c, bool utf16) {
    return utf16 ? to_ansi(static_cast<char16_t>(c)) : static_cast<char>(c);
}

// The wanted names and the new value in the file's units.
template <class U>
std::basic_string<U> units_of(std::string_view s);

template <>
std::string units_of<char>(std::string_view s) {
    return std::string(s);
}

template <>
std::u16string units_of<char16_t>(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    for (const char c : s) out.push_back(to_unicode(static_cast<unsigned char>(c)));
    return out;
}

std::string_view trim_leading(std::string_view s) {
    std::size_t b = 0;
    while (b < s.size() && is_blank(static_cast<unsigned char>(s[b]))) ++b;
    return s.substr(b);
}

std::string_view trim(std::string_view s) {
    s = trim_leading(s);
    std::size_t e = s.size();
    while (e > 0 && is_blank(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(0, e);
}

// Finds the next CR or LF at or after `from` in one piece of the file (or its
// size). Calls come with increasing `from`. For bytes, the next LF and the
// next CR are each found with memchr (vectorised) and remembered until the
// scan passes them, so the piece is searched once for each.
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
        return lf_ < cr_ ? lf_ : cr_;
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

// The first '[' at or after `from` in a piece (or its size): memchr for
// bytes.
inline std::size_t find_bracket(const char* d, std::size_t from, std::size_t n) {
    const void* p = std::memchr(d + from, '[', n - from);
    return p ? static_cast<std::size_t>(static_cast<const char*>(p) - d) : n;
}

inline std::size_t find_bracket(const char16_t* d, std::size_t from, std::size_t n) {
    while (from < n && d[from] != u'[') ++from;
    return from;
}

// A name in the file, compared unit by unit with a wanted name of `m` units:
// equal without regard to ASCII case, where a NUL ends the file's name early.
// Units are counted from the name's first non-blank unit.
template <class U>
struct NameMatch {
    std::uint64_t seen = 0;
    bool prefix_ok = true;  // the first units seen match the wanted ones
    bool nul_at_m = false;  // the unit right after the wanted length is a NUL
    std::uint64_t first_nonblank_from_m = kNone;

    void add(unsigned c, const std::basic_string<U>& want) {
        const std::size_t m = want.size();
        if (seen < m) {
            if (c == 0 || fold(c) != fold(code(want[static_cast<std::size_t>(seen)]))) {
                prefix_ok = false;
            }
        } else {
            if (seen == m && c == 0) nul_at_m = true;
            if (first_nonblank_from_m == kNone && !is_blank(c)) first_nonblank_from_m = seen;
        }
        ++seen;
    }
    // Whether the name made of the units before `end`, trailing blanks
    // trimmed, is the wanted one: the wanted units, then only blanks, or a
    // NUL.
    bool matches(std::uint64_t end, std::size_t m) const {
        if (!prefix_ok || end < m) return false;
        if (first_nonblank_from_m >= end) return true;
        return nul_at_m && end > m;
    }
    // False once no end can make the name match.
    bool may_match() const { return prefix_ok && (first_nonblank_from_m == kNone || nul_at_m); }
};

// A name being read for a listing: its units are kept (the first ones) in
// code page 1252, and its length, trailing blanks trimmed and cut at a NUL,
// is followed.
struct ListedName {
    std::uint64_t begin = 0;
    std::uint64_t seen = 0;
    std::uint64_t nonblank_end = 0;  // after its last non-blank unit so far
    std::uint64_t nul = kNone;

    void start(std::uint64_t at) {
        begin = at;
        seen = 0;
        nonblank_end = 0;
        nul = kNone;
    }
    void add(unsigned c, bool utf16, Findings& f) {
        if (c == 0 && nul == kNone) nul = seen;
        if (!is_blank(c)) nonblank_end = seen + 1;
        if (seen < kKeptValueUnits) f.kept[seen] = unit_to_ansi(c, utf16);
        ++seen;
    }
    // The name ending (before its trailing blanks) where it had `length`
    // units up to its last non-blank one.
    std::uint64_t cut(std::uint64_t length) const { return nul < length ? nul : length; }
};

template <class U>
class Lines {
public:
    Lines(const Query& q, NameSink* sink, Findings& f)
        : section_(units_of<U>(trim(q.section))),
          key_(units_of<U>(trim(q.key))),
          value_(units_of<U>(trim_leading(q.value))),
          goal_(q.goal),
          sink_(sink),
          f_(f) {}

    bool done() const { return done_; }

    void feed(const U* p, std::size_t n) {
        BreakFinder<U> breaks(p, n);
        std::size_t i = 0;
        while (i < n && !done_) {
            const unsigned c = code(p[i]);
            if (pending_cr_) {
                pending_cr_ = false;
                if (c == '\n') {
                    end_line(cr_at_ + 2, Break::crlf);
                    ++i;
                    ++pos_;
                    continue;
                }
                end_line(cr_at_ + 1, Break::cr);
                if (done_) break;
            }
            if (phase_ == Phase::key_cr || phase_ == Phase::key_lf || phase_ == Phase::key_lf_cr) {
                after_key_line(c);
                ++i;
                continue;
            }
            if (headers_only()) {
                i = to_next_header(p, i, n);
                if (i == n) break;
                // A line's leading '[': it starts its line as usual.
                unit(code(p[i]));
                ++i;
                ++pos_;
                continue;
            }
            if (c == '\r' || c == '\n') {
                line_break(c);
            } else if (phase_ == Phase::skip) {
                const std::size_t b = breaks.next(i);
                pos_ += b - i;
                i = b;
                continue;
            } else if (phase_ == Phase::lead && !is_blank(c)) {
                first_unit(c);
                // Most lines of the wanted section are another key's: their
                // name is compared at once while it lies in this piece.
                if (phase_ == Phase::name && follow_key_ && !follow_header_ &&
                    goal_ != Goal::list_keys && !key_may_start(p + i, n - i)) {
                    follow_key_ = false;
                    phase_ = Phase::skip;
                }
            } else {
                unit(c);
            }
            ++i;
            ++pos_;
        }
        if (n > 0 && !done_) f_.last_unit = code(p[n - 1]);
    }

    void finish() {
        if (done_) return;
        if (pending_cr_) {
            pending_cr_ = false;
            end_line(cr_at_ + 1, Break::cr);
        } else if (phase_ == Phase::key_cr || phase_ == Phase::key_lf ||
                   phase_ == Phase::key_lf_cr) {
            done_ = true;
        } else if (pos_ > line_begin_) {
            // The last line, without a line break.
            resolve_line();
            if (kind_ == Kind::key) {
                record_key_line(Break::none);
                f_.key_line.next = pos_;
            } else if (!close_line()) {
                end_line(pos_, Break::none);
            }
        }
        if (!done_ && f_.section_found) f_.section_end = pos_;
        f_.units = pos_;
        done_ = true;
    }

private:
    enum class Phase : unsigned char {
        lead,        // blanks before the line's first non-blank unit
        skip,        // the rest of the line does not matter
        name,        // a header's or a key's name may still match, or is listed
        value_lead,  // the key matched: blanks after its '='
        value,       // the key's value
        key_cr,      // after the key line's CR: is an LF next?
        key_lf,      // after the key line's LF: is it followed by CR LF, or LF?
        key_lf_cr,   // after the key line's LF and a CR
    };
    enum class Kind : unsigned char { blank, header, wanted_header, key, other };

    bool wants_key() const {
        return goal_ == Goal::read || goal_ == Goal::write || goal_ == Goal::remove_key;
    }
    // An edit needs the exact extent of the lines it touches.
    bool edits() const {
        return goal_ == Goal::write || goal_ == Goal::remove_key || goal_ == Goal::remove_section;
    }
    static constexpr bool kUtf16 = std::is_same_v<U, char16_t>;

    // False when the `avail` units at `q`, which start a line, cannot start
    // the key's name: one of its first units differs from the key's. (True
    // when they may, or when the piece ends first; the unit-by-unit match
    // decides then.)
    bool key_may_start(const U* q, std::size_t avail) const {
        const std::size_t m = key_.size();
        if (avail < m) return true;
        for (std::size_t t = 0; t < m; ++t) {
            const unsigned c = code(q[t]);
            if (c == 0 || fold(c) != fold(code(key_[t]))) return false;
        }
        return true;
    }

    // ------------------------------------------------------------ headers

    // Until the wanted section is found (and throughout a listing of
    // sections) only header lines matter, once the first line's break is
    // known: the scan goes from '[' to '[' instead of line by line.
    bool headers_only() const {
        return !f_.section_found && !first_line_ && !pending_cr_ &&
               (phase_ == Phase::lead || phase_ == Phase::skip);
    }

    // From unit `i` of the piece, to the next '[' that is the first non-blank
    // unit of its line (the line then starts as usual) or to the piece's end.
    // Returns the index reached.
    std::size_t to_next_header(const U* p, std::size_t i, std::size_t n) {
        for (;;) {
            const std::size_t b = find_bracket(p, i, n);
            // Where the line holding unit `b` (or the piece's end) begins, as
            // far as this piece tells: after the last line break before it.
            std::size_t k = b;
            while (k > i && is_blank(code(p[k - 1])) && p[k - 1] != U('\r') &&
                   p[k - 1] != U('\n')) {
                --k;
            }
            const bool after_break = k > i && (p[k - 1] == U('\r') || p[k - 1] == U('\n'));
            if (after_break) {
                line_begin_ = pos_ + (k - i);
                line_blank_ = true;
                phase_ = Phase::lead;
            } else if (k > i) {
                phase_ = Phase::skip;  // something else stands before it on its line
            }
            pos_ += b - i;
            if (b == n || phase_ == Phase::lead) return b;
            i = b + 1;  // a '[' inside a line
            ++pos_;
        }
    }

    // ------------------------------------------------------------ lines

    // The line ends at pos_ (a CR or LF): what it was.
    void resolve_line() {
        line_end_ = pos_;
        if (line_blank_) {
            kind_ = Kind::blank;
        } else if (bracket_ && follow_header_ && close_ != kNone) {
            kind_ = (!f_.section_found && goal_ != Goal::list_sections &&
                     header_match_.matches(close_, section_.size()))
                        ? Kind::wanted_header
                        : Kind::header;
        } else if (follow_key_ && wants_key() &&
                   (key_matched_ ||
                    (!key_equals_ && key_match_.matches(key_match_.seen, key_.size())))) {
            kind_ = Kind::key;
        } else {
            kind_ = Kind::other;
        }
    }

    void line_break(unsigned c) {
        resolve_line();
        if (kind_ == Kind::key) {
            if (c == '\n' && key_matched_ && goal_ == Goal::write) track(c);
            record_key_line(c == '\r' ? Break::cr : Break::lf);
            if (edits()) {
                // An edit looks past the line's break: CR LF or a lone CR; an
                // LF on its own, an LF CR LF, or an LF and another.
                phase_ = c == '\r' ? Phase::key_cr : Phase::key_lf;
            } else {
                done_ = true;
            }
            return;
        }
        if (close_line()) return;
        if (c == '\r') {
            pending_cr_ = true;
            cr_at_ = pos_;
            return;
        }
        end_line(pos_ + 1, Break::lf);
    }

    // A line other than the key's ends: a listed name goes to the sink, and
    // a header ends the wanted section. True when the scan is done.
    bool close_line() {
        if (goal_ == Goal::list_sections && kind_ == Kind::header) {
            list(name_.cut(close_name_length_));
        } else if (goal_ == Goal::list_keys && listed_key_ && kind_ == Kind::other) {
            list(name_.cut(key_name_length_));
        }
        if (!done_ && f_.section_found && (kind_ == Kind::header || kind_ == Kind::wanted_header)) {
            f_.section_end = line_begin_;
            done_ = true;  // the wanted section ends at the next header
        }
        return done_;
    }

    // The key's line ends here.
    void record_key_line(Break brk) {
        f_.key_found = true;
        f_.key_line_begin = line_begin_;
        f_.key_has_equals = key_matched_;
        f_.key_text_end = text_end_;
        f_.key_line.end = line_end_;
        f_.key_line.next = line_end_ + 1;
        f_.key_line.brk = brk;
    }

    // The units after the key line's break: is a CR followed by its LF, is an
    // LF part of an LF CR LF, or followed by another LF.
    void after_key_line(unsigned c) {
        switch (phase_) {
            case Phase::key_cr:
                if (c == '\n') {
                    f_.key_line.brk = Break::crlf;
                    f_.key_line.next = f_.key_line.end + 2;
                }
                break;
            case Phase::key_lf:
                if (c == '\r') {
                    phase_ = Phase::key_lf_cr;
                    return;
                }
                f_.key_line_then_lf = c == '\n';
                break;
            default:
                if (c == '\n') {
                    f_.key_line.brk = Break::lf_crlf;
                    f_.key_line.next = f_.key_line.end + 3;
                }
                break;
        }
        done_ = true;
    }

    // A line other than the key's ends, its break known; `next` is the first
    // unit after the break.
    void end_line(std::uint64_t next, Break brk) {
        if (first_line_) {
            f_.first_break = brk;
            first_line_ = false;
        }
        // An empty line ending in CR LF right after the section's last line's
        // LF makes that LF an LF CR LF.
        if (lf_of_last_line_ != kNone) {
            if (kind_ == Kind::blank && line_begin_ == lf_of_last_line_ + 1 &&
                line_end_ == line_begin_ && brk == Break::crlf) {
                f_.last_line.brk = Break::lf_crlf;
                f_.last_line.next = next;
            }
            lf_of_last_line_ = kNone;
        }
        switch (kind_) {
            case Kind::blank:
                break;
            case Kind::header:
            case Kind::wanted_header:
                if (kind_ == Kind::wanted_header) {
                    f_.section_found = true;
                    f_.section_begin = line_begin_;
                    set_last_line(next, brk);
                }
                break;
            case Kind::key:
            case Kind::other:
                if (f_.section_found) set_last_line(next, brk);
                break;
        }
        line_begin_ = next;
        phase_ = Phase::lead;
        line_blank_ = true;
    }

    void set_last_line(std::uint64_t next, Break brk) {
        f_.last_line = LineEnd{line_end_, next, brk};
        if (brk == Break::lf) lf_of_last_line_ = line_end_;
    }

    void list(std::uint64_t length) {
        if (length > 0 && !sink_->name(f_, name_.begin, length)) done_ = true;
    }

    // ------------------------------------------------------------ units

    void unit(unsigned c) {
        switch (phase_) {
            case Phase::lead:
                if (is_blank(c)) return;
                first_unit(c);
                return;
            case Phase::name:
                name_unit(c);
                return;
            case Phase::value_lead:
            case Phase::value:
                if (follow_header_) header_unit(c);
                value_unit(c);
                return;
            default:
                return;
        }
    }

    void first_unit(unsigned c) {
        line_blank_ = false;
        bracket_ = c == '[';
        // A header matters while the wanted section is still to be found
        // (is it that one?), once it is found (it ends the section), and to a
        // listing of sections.
        follow_header_ = bracket_;
        header_lead_ = true;
        header_match_ = NameMatch<U>{};
        close_ = kNone;
        close_name_length_ = 0;
        // Inside the wanted section every line may be the key's, and every
        // line but a comment is listed by a listing of keys.
        follow_key_ = f_.section_found && goal_ != Goal::remove_section &&
                      !(goal_ == Goal::list_keys && c == ';');
        key_match_ = NameMatch<U>{};
        key_matched_ = false;
        key_equals_ = false;
        listed_key_ = false;
        text_end_ = pos_ + 1;
        phase_ = Phase::name;
        if (follow_key_) {
            if (goal_ == Goal::list_keys) name_.start(pos_);
            key_unit(c);
        }
        if (!follow_header_ && !follow_key_) phase_ = Phase::skip;
    }

    void name_unit(unsigned c) {
        if (!is_blank(c)) text_end_ = pos_ + 1;
        if (follow_header_) header_unit(c);
        if (follow_key_) key_unit(c);
        if (phase_ == Phase::name && !follow_header_ && !follow_key_) phase_ = Phase::skip;
    }

    // A unit after the line's '['.
    void header_unit(unsigned c) {
        const bool listing = goal_ == Goal::list_sections;
        if (header_lead_) {
            if (is_blank(c)) return;
            header_lead_ = false;
            if (listing) name_.start(pos_);
        }
        if (c == ']') {
            close_ = header_match_.seen;
            close_name_length_ = name_.nonblank_end;
        }
        header_match_.add(c, section_);
        if (listing) {
            name_.add(c, kUtf16, f_);
        } else if (!f_.section_found && !header_match_.prefix_ok) {
            // Before the section is found, only the wanted one matters.
            follow_header_ = false;
        }
    }

    void key_unit(unsigned c) {
        if (goal_ == Goal::list_keys) {
            list_key_unit(c);
            return;
        }
        if (c != '=') {
            key_match_.add(c, key_);
            if (!key_match_.may_match()) follow_key_ = false;
            return;
        }
        key_equals_ = true;
        if (!key_match_.matches(key_match_.seen, key_.size())) {
            follow_key_ = false;
            return;
        }
        key_matched_ = true;
        phase_ = Phase::value_lead;
        // Without a non-blank unit after the '=', the value is empty, right
        // after it; a write compares the blanks from there.
        f_.value_begin = pos_ + 1;
        f_.value_length = 0;
        f_.value_nul = kNone;
        f_.value_mismatch = kNone;
        tracked_ = 0;
        value_index_ = 0;
    }

    // A listing of keys: the name runs to the first '='; a line without one
    // is no key.
    void list_key_unit(unsigned c) {
        if (c != '=') {
            name_.add(c, kUtf16, f_);
            return;
        }
        follow_key_ = false;
        key_name_length_ = name_.nonblank_end;
        if (bracket_) {
            listed_key_ = true;  // listed at the line's end, unless it is a header
        } else {
            list(name_.cut(key_name_length_));
        }
    }

    void value_unit(unsigned c) {
        if (phase_ == Phase::value_lead) {
            if (is_blank(c)) {
                if (goal_ == Goal::write) track(c);
                return;
            }
            phase_ = Phase::value;
            f_.value_begin = pos_;
            f_.value_first = c;
            f_.value_mismatch = kNone;
            tracked_ = 0;
        }
        const std::uint64_t j = value_index_++;
        if (f_.value_nul == kNone) {
            if (c == 0) {
                f_.value_nul = j;
                f_.value_last = previous_;
                // A read's value is complete; only a '[' line may yet turn
                // out to be a header.
                if (goal_ == Goal::read && !bracket_) {
                    f_.key_found = true;
                    f_.key_has_equals = true;
                    done_ = true;
                }
            } else if (!is_blank(c)) {
                f_.value_last = c;
            }
        }
        if (!is_blank(c)) f_.value_length = j + 1;
        previous_ = c;
        if (goal_ == Goal::write) {
            track(c);
        } else if (goal_ == Goal::read && j < kKeptValueUnits) {
            f_.kept[j] = unit_to_ansi(c, kUtf16);
        }
    }

    // Compares the file's units from the value's beginning with the new value.
    void track(unsigned c) {
        if (f_.value_mismatch == kNone &&
            (tracked_ >= value_.size() || code(value_[static_cast<std::size_t>(tracked_)]) != c)) {
            f_.value_mismatch = tracked_;
        }
        ++tracked_;
    }

    const std::basic_string<U> section_;
    const std::basic_string<U> key_;
    const std::basic_string<U> value_;
    const Goal goal_;
    NameSink* const sink_;
    Findings& f_;
    bool done_ = false;

    std::uint64_t pos_ = 0;  // the position of the unit at hand
    Phase phase_ = Phase::lead;
    bool pending_cr_ = false;  // a line ended at a CR, which an LF may follow
    std::uint64_t cr_at_ = 0;
    bool first_line_ = true;
    std::uint64_t lf_of_last_line_ = kNone;

    // The line at hand.
    std::uint64_t line_begin_ = 0;
    std::uint64_t line_end_ = 0;
    std::uint64_t text_end_ = 0;  // after its last non-blank unit, in its name
    Kind kind_ = Kind::blank;
    bool line_blank_ = true;
    bool bracket_ = false;        // its first non-blank unit is '['
    bool follow_header_ = false;  // it is followed as a header
    bool header_lead_ = false;
    NameMatch<U> header_match_;
    std::uint64_t close_ = kNone;  // its last ']', counted like the name
    bool follow_key_ = false;      // it is followed as the key's line
    NameMatch<U> key_match_;
    bool key_equals_ = false;
    bool key_matched_ = false;
    std::uint64_t value_index_ = 0;
    unsigned previous_ = 0;
    std::uint64_t tracked_ = 0;
    // Listings: the name at hand, and its length up to a header's last ']'
    // or a key's '='.
    ListedName name_;
    std::uint64_t close_name_length_ = 0;
    std::uint64_t key_name_length_ = 0;
    bool listed_key_ = false;  // a '[' line's key, listed unless it is a header
};

}  // namespace

// ---------------------------------------------------------------- encodings

struct Stream::Impl {
    Impl(const Query& q, NameSink* name_sink)
        : section(q.section), key(q.key), value(q.value), goal(q.goal), sink(name_sink) {}

    // The query's texts, kept until the encoding is known.
    std::string section, key, value;
    Goal goal;
    NameSink* sink;
    Findings f;
    unsigned char head[2] = {};
    std::size_t head_size = 0;
    std::optional<Lines<char>> ansi;
    std::optional<Lines<char16_t>> wide;
    bool odd = false;  // UTF-16: a unit's first byte waits for its second
    unsigned char odd_byte = 0;

    bool decided() const { return ansi || wide; }
    bool done() const { return (ansi && ansi->done()) || (wide && wide->done()); }

    void decide() {
        const Query q{goal, section, key, value};
        if (head_size == 2 && head[0] == 0xFF && head[1] == 0xFE) {
            f.utf16 = true;
            wide.emplace(q, sink, f);
            return;
        }
        ansi.emplace(q, sink, f);
        ansi->feed(reinterpret_cast<const char*>(head), head_size);
    }

    void feed_wide(const char* p, std::size_t n) {
        char16_t units[2048];
        std::size_t count = 0;
        std::size_t i = 0;
        if (odd && n > 0) {
            units[count++] =
                static_cast<char16_t>(odd_byte | static_cast<unsigned char>(p[0]) << 8);
            odd = false;
            i = 1;
        }
        for (; i + 1 < n; i += 2) {
            units[count++] = static_cast<char16_t>(static_cast<unsigned char>(p[i]) |
                                                   static_cast<unsigned char>(p[i + 1]) << 8);
            if (count == std::size(units)) {
                wide->feed(units, count);
                if (wide->done()) return;
                count = 0;
            }
        }
        if (i < n) {
            odd = true;
            odd_byte = static_cast<unsigned char>(p[i]);
        }
        wide->feed(units, count);
    }
};

Stream::Stream(const Query& query, NameSink* sink) : impl_(std::make_unique<Impl>(query, sink)) {}

Stream::~Stream() = default;

void Stream::feed(std::string_view bytes) {
    Impl& s = *impl_;
    if (!s.decided()) {
        while (s.head_size < 2 && !bytes.empty()) {
            s.head[s.head_size++] = static_cast<unsigned char>(bytes.front());
            bytes.remove_prefix(1);
        }
        if (s.head_size < 2) return;
        s.decide();
    }
    if (s.done() || bytes.empty()) return;
    if (s.ansi) {
        s.ansi->feed(bytes.data(), bytes.size());
    } else {
        s.feed_wide(bytes.data(), bytes.size());
    }
}

void Stream::finish() {
    Impl& s = *impl_;
    if (!s.decided()) s.decide();
    if (s.ansi) {
        s.ansi->finish();
    } else {
        s.wide->finish();  // an odd last byte is no unit
    }
}

bool Stream::done() const {
    return impl_->done();
}

const Findings& Stream::findings() const {
    return impl_->f;
}

}  // namespace profile_text::scan
