#include "corpus.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace corpus {
namespace {

struct ParseError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The largest string a repetition may expand to.
constexpr uint64_t kMaxRepeatedBytes = uint64_t{1} << 26;

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads the tokens of one directive line.
class Lexer {
public:
    explicit Lexer(std::string_view line) : s_(line) {}

    bool at_end() {
        skip();
        return pos_ >= s_.size();
    }

    std::string word() {
        skip();
        const std::size_t b = pos_;
        while (pos_ < s_.size() && !is_space(s_[pos_])) ++pos_;
        if (b == pos_) throw ParseError("expected a word");
        return std::string(s_.substr(b, pos_ - b));
    }

    std::string rest() {
        skip();
        return std::string(s_.substr(pos_));
    }

    uint64_t number() {
        const std::string w = word();
        char* end = nullptr;
        const unsigned long long v = std::strtoull(w.c_str(), &end, 10);
        if (w.empty() || *end != '\0') throw ParseError("expected a number, got " + w);
        return v;
    }

    long long signed_number() {
        const std::string w = word();
        char* end = nullptr;
        const long long v = std::strtoll(w.c_str(), &end, 10);
        if (w.empty() || *end != '\0') throw ParseError("expected a number, got " + w);
        return v;
    }

    void expect(std::string_view token) {
        const std::string w = word();
        if (w != token) throw ParseError("expected '" + std::string(token) + "', got '" + w + "'");
    }

    bool peek_string() {
        skip();
        return pos_ < s_.size() && s_[pos_] == '"';
    }

    // Whether the next word is `token`, without reading it.
    bool peek_word(std::string_view token) {
        skip();
        std::size_t end = pos_;
        while (end < s_.size() && !is_space(s_[end])) ++end;
        return s_.substr(pos_, end - pos_) == token;
    }

    // STRING ['*' N] { '+' STRING ['*' N] }
    std::string string_expr() {
        std::string out;
        for (;;) {
            std::string piece = string_literal();
            skip();
            if (pos_ < s_.size() && s_[pos_] == '*') {
                ++pos_;
                const uint64_t count = number_inline();
                // A bound on the expansion keeps a mistyped count from
                // exhausting memory, and lets the count be a size_t below.
                if (!piece.empty() && count > kMaxRepeatedBytes / piece.size()) {
                    throw ParseError("repeat count too large");
                }
                const auto n = piece.empty() ? std::size_t{0} : static_cast<std::size_t>(count);
                std::string repeated;
                repeated.reserve(piece.size() * n);
                for (std::size_t i = 0; i < n; ++i) repeated += piece;
                piece = std::move(repeated);
            }
            out += piece;
            skip();
            if (pos_ < s_.size() && s_[pos_] == '+') {
                ++pos_;
                continue;
            }
            return out;
        }
    }

private:
    void skip() {
        while (pos_ < s_.size() && is_space(s_[pos_])) ++pos_;
    }

    uint64_t number_inline() {
        skip();
        const std::size_t b = pos_;
        while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
        if (b == pos_) throw ParseError("expected a repeat count");
        return std::strtoull(std::string(s_.substr(b, pos_ - b)).c_str(), nullptr, 10);
    }

    std::string string_literal() {
        skip();
        if (pos_ >= s_.size() || s_[pos_] != '"') throw ParseError("expected a string");
        ++pos_;
        std::string out;
        while (pos_ < s_.size() && s_[pos_] != '"') {
            char c = s_[pos_++];
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos_ >= s_.size()) break;
            c = s_[pos_++];
            switch (c) {
                case '\\':
                    out += '\\';
                    break;
                case '"':
                    out += '"';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'x': {
                    const int hi = pos_ < s_.size() ? hex_digit(s_[pos_]) : -1;
                    const int lo = pos_ + 1 < s_.size() ? hex_digit(s_[pos_ + 1]) : -1;
                    if (hi < 0 || lo < 0) throw ParseError("bad \\x escape");
                    out += static_cast<char>(hi * 16 + lo);
                    pos_ += 2;
                    break;
                }
                default:
                    throw ParseError(std::string("unknown escape \\") + c);
            }
        }
        if (pos_ >= s_.size()) throw ParseError("unterminated string");
        ++pos_;
        return out;
    }

    std::string_view s_;
    std::size_t pos_ = 0;
};

// The value of a decimal number written after a prefix: "300" in null:300,
// "2" in err=2.
uint32_t suffix_number(const std::string& word, std::size_t prefix) {
    const std::string digits = word.substr(prefix);
    char* end = nullptr;
    const unsigned long long v = std::strtoull(digits.c_str(), &end, 10);
    if (digits.empty() || digits[0] < '0' || digits[0] > '9' || *end != '\0' || v > UINT32_MAX) {
        throw ParseError("expected a number in '" + word + "'");
    }
    return static_cast<uint32_t>(v);
}

bool starts_with(const std::string& word, std::string_view prefix) {
    return word.compare(0, prefix.size(), prefix) == 0;
}

// A string argument: a string, or the bare word null for a null pointer
// (then `out` is empty and the result is true).
bool string_or_null(Lexer& lx, std::string& out) {
    out.clear();
    if (lx.peek_string()) {
        out = lx.string_expr();
        return false;
    }
    const std::string w = lx.word();
    if (w != "null") throw ParseError("expected a string or null, got '" + w + "'");
    return true;
}

// An argument in the canonical inputs: null stays apart from the text "null".
std::string canonical(const std::string& text, bool is_null) {
    return is_null ? std::string("null") : quote(text);
}

// The words after a result up to the end of the line: unwritten=I (get
// images only; the image already shows such a byte as the fill, so it only
// has to lie inside the image), err=N, and UNSTABLE, which is refused.
void parse_result_tail(Lexer& lx, Step& st) {
    while (!lx.at_end()) {
        const std::string w = lx.word();
        if (starts_with(w, "err=") && !st.error) {
            st.error = suffix_number(w, 4);
        } else if (starts_with(w, "unwritten=") && !st.error && st.kind == Step::Kind::get &&
                   !st.null_buffer) {
            if (suffix_number(w, 10) >= st.image.size())
                throw ParseError("'" + w + "' lies outside the image");
        } else if (w == "UNSTABLE") {
            throw ParseError(
                "two recorded runs of this call disagreed (UNSTABLE): record it again");
        } else {
            throw ParseError("unexpected '" + w + "' after the result");
        }
    }
}

// Parses a get/int/write/expect line (its keyword already read).
Step parse_step(const std::string& keyword, Lexer& lx) {
    Step st;
    if (keyword == "get") {
        st.kind = Step::Kind::get;
        st.null_section = string_or_null(lx, st.section);
        st.null_key = string_or_null(lx, st.key);
        st.null_text = string_or_null(lx, st.text);
        const std::string size = lx.word();
        st.null_buffer = starts_with(size, "null:");
        st.size = suffix_number(size, st.null_buffer ? 5 : 0);
        st.null_file = string_or_null(lx, st.file);
        st.inputs = "get " + canonical(st.section, st.null_section) + " " +
                    canonical(st.key, st.null_key) + " " + canonical(st.text, st.null_text) + " " +
                    (st.null_buffer ? "null:" : "") + std::to_string(st.size) + " " +
                    canonical(st.file, st.null_file);
        lx.expect("->");
        st.ret = static_cast<uint32_t>(lx.number());
        if (st.null_buffer) {
            lx.expect("null");
        } else if (lx.peek_word("null")) {
            throw ParseError("the image null belongs to a null buffer (SIZE null:N)");
        } else if (lx.peek_string()) {
            st.image = lx.string_expr();
            if (lx.peek_word("OVERRUN")) {
                lx.expect("OVERRUN");
                st.overrun = true;
            }
        } else {
            lx.expect("OVERRUN");
            st.overrun = true;
        }
        parse_result_tail(lx, st);
    } else if (keyword == "int") {
        st.kind = Step::Kind::get_int;
        st.null_section = string_or_null(lx, st.section);
        st.null_key = string_or_null(lx, st.key);
        st.int_default = static_cast<int>(lx.signed_number());
        st.null_file = string_or_null(lx, st.file);
        st.inputs = "int " + canonical(st.section, st.null_section) + " " +
                    canonical(st.key, st.null_key) + " " + std::to_string(st.int_default) + " " +
                    canonical(st.file, st.null_file);
        lx.expect("->");
        st.ret = static_cast<uint32_t>(lx.number());
        parse_result_tail(lx, st);
    } else if (keyword == "write") {
        st.kind = Step::Kind::write;
        st.null_section = string_or_null(lx, st.section);
        st.null_key = string_or_null(lx, st.key);
        st.null_text = string_or_null(lx, st.text);
        st.null_file = string_or_null(lx, st.file);
        st.inputs = "write " + canonical(st.section, st.null_section) + " " +
                    canonical(st.key, st.null_key) + " " + canonical(st.text, st.null_text) + " " +
                    canonical(st.file, st.null_file);
        lx.expect("->");
        st.ret = static_cast<uint32_t>(lx.number());
        parse_result_tail(lx, st);
        if (st.ret == 0 && !st.error) throw ParseError("expected err=N");
    } else if (keyword == "expect") {
        st.kind = Step::Kind::expect;
        st.location = lx.word();
        st.inputs = "expect " + st.location;
        if (lx.peek_string()) {
            st.bytes = lx.string_expr();
        } else {
            const std::string w = lx.word();
            if (w == "absent") {
                st.snapshot = Step::Snapshot::absent;
            } else if (w == "directory") {
                st.snapshot = Step::Snapshot::directory;
            } else {
                throw ParseError("expected bytes, absent or directory");
            }
        }
    } else {
        throw ParseError("unknown directive '" + keyword + "'");
    }
    if (!lx.at_end()) throw ParseError("unexpected text at the end of the line");
    return st;
}

bool is_comment(std::string_view line) {
    std::size_t i = 0;
    while (i < line.size() && is_space(line[i])) ++i;
    return i == line.size() || line[i] == '#';
}

std::string where(std::string_view name, int line) {
    return std::string(name) + ":" + std::to_string(line) + ": ";
}

// Calls fn(number, line, lexer, keyword) for every line that is not a
// comment; a ParseError from fn gets the file name and line number.
template <class Fn>
void for_each_directive(std::string_view text, std::string_view name, Fn fn) {
    int number = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        ++number;
        const std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (is_comment(line)) continue;
        try {
            Lexer lx(line);
            const std::string keyword = lx.word();
            fn(number, line, lx, keyword);
        } catch (const ParseError& e) {
            throw ParseError(where(name, number) + e.what());
        }
    }
}

}  // namespace

bool Case::has_tag(std::string_view tag) const {
    for (const auto& t : tags) {
        if (t == tag) return true;
    }
    return false;
}

std::string quote(std::string_view bytes) {
    std::string out = "\"";
    for (char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c >= 0x20 && c <= 0x7E) {
                    out += static_cast<char>(c);
                } else {
                    char hex[8];
                    std::snprintf(hex, sizeof hex, "\\x%02X", c);
                    out += hex;
                }
        }
    }
    return out + "\"";
}

ParseResult parse_cases(std::string_view text, std::string_view name) {
    ParseResult result;
    Case* current = nullptr;
    try {
        for_each_directive(
            text, name,
            [&](int number, std::string_view line, Lexer& lx, const std::string& keyword) {
                if (keyword == "case") {
                    if (current) throw ParseError("'case' before 'end'");
                    result.cases.emplace_back();
                    current = &result.cases.back();
                    current->id = lx.word();
                    current->line = number;
                    current->origin = std::string(name);
                    for (const Case& c : result.cases) {
                        if (&c != current && c.id == current->id) {
                            throw ParseError("duplicate case " + current->id);
                        }
                    }
                    return;
                }
                if (!current) throw ParseError("'" + keyword + "' outside a case");
                if (keyword == "end") {
                    current = nullptr;
                } else if (keyword == "title") {
                    current->title = lx.rest();
                } else if (keyword == "tags") {
                    while (!lx.at_end()) current->tags.push_back(lx.word());
                } else if (keyword == "setup") {
                    Setup s;
                    const std::string what = lx.word();
                    s.location = lx.word();
                    if (what == "dir") {
                        s.is_dir = true;
                    } else if (what == "file") {
                        s.bytes = lx.string_expr();
                        if (!lx.at_end()) {
                            lx.expect("readonly");
                            s.readonly = true;
                        }
                    } else {
                        throw ParseError("unknown setup '" + what + "'");
                    }
                    if (!lx.at_end()) throw ParseError("unexpected text after setup");
                    current->setups.push_back(std::move(s));
                } else {
                    Step st = parse_step(keyword, lx);
                    st.line = number;
                    st.source = std::string(line);
                    current->steps.push_back(std::move(st));
                }
            });
        if (current)
            throw ParseError(std::string(name) + ": case " + current->id + " has no 'end'");
    } catch (const ParseError& e) {
        result.error = e.what();
    }
    return result;
}

std::string apply_overrides(std::vector<Case>& cases, std::string_view text,
                            std::string_view name) {
    Step* pending = nullptr;
    int pending_line = 0;
    try {
        for_each_directive(
            text, name, [&](int number, std::string_view, Lexer& lx, const std::string& keyword) {
                if (keyword == "reason") {
                    if (!pending) throw ParseError("'reason' without an override before it");
                    pending->override_reason = lx.rest();
                    if (pending->override_reason.empty()) throw ParseError("empty reason");
                    pending = nullptr;
                    return;
                }
                if (keyword != "override" && keyword != "undefined")
                    throw ParseError("expected 'override', 'undefined' or 'reason'");
                if (pending) throw ParseError("the override before this one has no reason");
                const std::string id = lx.word();
                const uint64_t index = lx.number();
                Case* target = nullptr;
                for (Case& c : cases) {
                    if (c.id == id) target = &c;
                }
                if (!target) throw ParseError("no case " + id);
                if (index < 1 || index > target->steps.size()) {
                    throw ParseError("case " + id + " has no step " + std::to_string(index));
                }
                Step& step = target->steps[static_cast<std::size_t>(index - 1)];
                if (!step.override_reason.empty()) throw ParseError("step overridden twice");
                const std::string keyword2 = lx.word();
                Step replacement = parse_step(keyword2, lx);
                if (replacement.inputs != step.inputs) {
                    throw ParseError("step " + std::to_string(index) + " of " + id + " is '" +
                                     step.inputs + "', not '" + replacement.inputs + "'");
                }
                if (keyword == "undefined") {
                    step.undefined = true;
                } else {
                    replacement.line = step.line;
                    replacement.source = step.source;
                    step = std::move(replacement);
                }
                step.override_reason = "?";  // replaced by the reason line
                pending = &step;
                pending_line = number;
            });
        if (pending) throw ParseError(where(name, pending_line) + "override without a reason");
    } catch (const ParseError& e) {
        return e.what();
    }
    return {};
}

}  // namespace corpus
