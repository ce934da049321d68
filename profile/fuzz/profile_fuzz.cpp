// libFuzzer target for the core: arbitrary file bytes, one read and one write
// with names picked by the first bytes of the input. Checks that the file fed
// in pieces (their sizes, from one byte up, picked by the input too) gives
// exactly the results and splice of the file fed whole, that a read never
// writes past the buffer, that a write's splice stays inside the file, that
// the written entry reads back, that the bytes the write changed lie inside
// the edited entry's line (a new entry or section only adds bytes), that every
// other entry reads as before, and that writing the same value again changes
// nothing.
//   cmake --workflow --preset linux-fuzz      (or, by hand, after its build:)
//   build/linux-fuzz/bin/profile_fuzz -max_total_time=60 <a copy of corpus/>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "profile_text.h"

namespace {

// A null section or key reads a list of names; a null key or value writes a
// removal.
const char* const kSections[] = {"S", "s", "T", "", "S]", " S ", nullptr};
const char* const kKeys[] = {"k", "K", "a", "", "k=x", ";c", nullptr};
const char* const kValues[] = {"",         "1",   "x y", "'q'", "\t lead", "v\n",
                               "\"a\"b\"", "a=b", "[S]", "  ",  nullptr};

profile_text::Name name(const char* text) {
    return text ? profile_text::Name(text) : std::nullopt;
}

std::string read(const std::string& file, const char* section, const char* key,
                 const char* default_value = "<none>") {
    char buffer[64];
    const uint32_t n =
        profile_text::get_string(file, section, key, default_value, buffer, sizeof buffer);
    return std::string(buffer, n);
}

// Whether the file holds the entry: only a missing one reads as either default.
bool has_entry(const std::string& file, const char* section, const char* key) {
    return read(file, section, key, "<none>") == read(file, section, key, "<void>");
}

// What a written value reads back as: leading and trailing blanks go, the
// text ends at the first line break, and one pair of matching quotes goes.
std::string read_back(std::string v) {
    const auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r') || c == '\x1A'; };
    std::size_t b = 0;
    while (b < v.size() && blank(v[b])) ++b;
    v = v.substr(b);
    const std::size_t br = v.find_first_of("\r\n");
    if (br != std::string::npos) v.resize(br);
    while (!v.empty() && blank(v.back())) v.pop_back();
    if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0]) {
        v = v.substr(1, v.size() - 2);
    }
    return v;
}

std::string trimmed_lower(const char* s) {
    std::string out(s);
    while (!out.empty() && out.front() == ' ') out.erase(out.begin());
    while (!out.empty() && out.back() == ' ') out.pop_back();
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }
    return out;
}

// A file's code units: its bytes, or for a UTF-16LE file its two-byte units
// (an odd last byte a unit of its own).
std::vector<unsigned> code_units(const std::string& bytes, bool utf16) {
    std::vector<unsigned> units;
    for (std::size_t i = 0; i < bytes.size(); i += utf16 ? 2 : 1) {
        unsigned unit = static_cast<unsigned char>(bytes[i]);
        if (utf16 && i + 1 < bytes.size()) {
            unit |= static_cast<unsigned>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        }
        units.push_back(unit);
    }
    return units;
}

// The bytes a write changed, found by comparing the two files (not from the
// write's plan): the original's bytes between the longest common head and the
// longest common tail. They must lie inside the entry's line, with at most
// the LF that ends it (a value written with its own final LF takes that LF's
// place; a stored value with its own LF before the entry's CR LF loses it),
// and only an entry that was there before may lose any. Files are compared
// in code units.
void check_edit_confined(const std::string& before_bytes, const std::string& after_bytes,
                         bool utf16, bool key_was_there) {
    const std::vector<unsigned> before = code_units(before_bytes, utf16);
    const std::vector<unsigned> after = code_units(after_bytes, utf16);
    const std::size_t shorter = std::min(before.size(), after.size());
    std::size_t head = 0;
    while (head < shorter && before[head] == after[head]) ++head;
    std::size_t tail = 0;
    while (tail < shorter - head &&
           before[before.size() - 1 - tail] == after[after.size() - 1 - tail]) {
        ++tail;
    }
    const std::size_t end = before.size() - tail;
    if (end <= head) return;  // units added only
    FUZZ_CHECK(key_was_there);
    unsigned line_feeds = 0;
    for (std::size_t i = head; i < end; ++i) {
        FUZZ_CHECK(before[i] != '\r');
        if (before[i] == '\n') ++line_feeds;
    }
    FUZZ_CHECK(line_feeds <= 1);
}

// The file in pieces of sizes taken in turn from the file's own bytes
// (1 to `largest` each).
template <class Operation>
void feed_in_pieces(Operation& op, const std::string& file, std::size_t largest) {
    std::size_t at = 0;
    for (std::size_t i = 0; at < file.size(); ++i) {
        const std::size_t n = std::min<std::size_t>(
            1 + static_cast<unsigned char>(file[i % file.size()]) % largest, file.size() - at);
        op.feed(std::string_view(file).substr(at, n));
        at += n;
    }
    op.finish();
}

// The read, the integer read and the write again, the file fed in pieces; a
// read keeping few value units copies the rest from the file.
void check_pieces(const std::string& file, const char* section, const char* key, const char* value,
                  uint32_t buffer_size, std::size_t largest, uint32_t whole_n,
                  const char* whole_buffer) {
    profile_text::BytesSource source(file);
    char buffer[48];
    std::memset(buffer, 0x5A, sizeof buffer);
    profile_text::Read read(name(section), name(key), buffer, buffer_size, source,
                            largest <= 3 ? largest - 1 : 1024);
    feed_in_pieces(read, file, largest);
    FUZZ_CHECK(read.get_string("dflt  ") == whole_n);
    FUZZ_CHECK(std::memcmp(buffer, whole_buffer, sizeof buffer) == 0);
    profile_text::Read number(name(section), name(key));
    feed_in_pieces(number, file, largest);
    FUZZ_CHECK(number.get_int(-7) == profile_text::get_int(file, name(section), name(key), -7));

    if (!section) return;
    profile_text::Splice whole, cut;
    const bool changes = profile_text::plan_put(file, section, name(key), name(value), whole);
    profile_text::Write write(section, name(key), name(value));
    feed_in_pieces(write, file, largest);
    FUZZ_CHECK(write.plan(cut) == changes);
    if (changes) {
        FUZZ_CHECK(cut.offset == whole.offset && cut.length == whole.length &&
                   cut.bytes == whole.bytes);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const char* section = kSections[data[0] % std::size(kSections)];
    const char* key = kKeys[data[1] % std::size(kKeys)];
    const char* value = kValues[data[2] % std::size(kValues)];
    const uint32_t buffer_size = data[3] % 40;
    const std::string file(reinterpret_cast<const char*>(data + 4), size - 4);

    char buffer[48];
    std::memset(buffer, 0x5A, sizeof buffer);
    const uint32_t n =
        profile_text::get_string(file, name(section), name(key), "dflt  ", buffer, buffer_size);
    if (buffer_size == 0) {
        FUZZ_CHECK(n == 0 && buffer[0] == 0x5A);
    } else {
        FUZZ_CHECK(n < buffer_size && buffer[n] == '\0');
        for (std::size_t i = buffer_size; i < sizeof buffer; ++i) FUZZ_CHECK(buffer[i] == 0x5A);
    }
    (void)profile_text::get_int(file, name(section), name(key), -7);
    static const std::size_t kLargestPiece[] = {1, 2, 3, 5, 8, 64, 4096};
    check_pieces(file, section, key, value, buffer_size, kLargestPiece[data[3] / 40 % 7], n,
                 buffer);
    if (!section) return 0;

    profile_text::Splice splice;
    if (!profile_text::plan_put(file, section, name(key), name(value), splice)) {
        FUZZ_CHECK(profile_text::put_string(file, section, name(key), name(value)) == file);
        return 0;
    }
    FUZZ_CHECK(splice.offset <= file.size() && splice.length <= file.size() - splice.offset);
    std::string after = file;
    after.replace(splice.offset, splice.length, splice.bytes);
    FUZZ_CHECK(after == profile_text::put_string(file, section, name(key), name(value)));
    const bool plain_section = std::strchr(section, ']') == nullptr;
    if (!key || !value) {
        // A removal takes whole lines out and adds nothing; every entry of
        // another section (removing a section) or another key (removing a
        // key) reads as before.
        FUZZ_CHECK(splice.bytes.empty() && splice.length > 0);
        if (!plain_section) return 0;
        for (const char* s : kSections) {
            for (const char* k : kKeys) {
                if (!s || !k || std::strchr(k, '=') || std::strchr(s, ']')) continue;
                const bool same_section = trimmed_lower(s) == trimmed_lower(section);
                if (same_section && (!key || trimmed_lower(k) == trimmed_lower(key))) continue;
                FUZZ_CHECK(read(after, s, k) == read(file, s, k));
            }
        }
        return 0;
    }
    const bool utf16 = file.size() >= 2 && file[0] == '\xFF' && file[1] == '\xFE';
    check_edit_confined(file, after, utf16, has_entry(file, section, key));

    // A key spelled with '=' or a section with ']' is stored as given but
    // reads back under another name (and a second write adds it again).
    if (std::strchr(key, '=') != nullptr || !plain_section) return 0;
    FUZZ_CHECK(read(after, section, key) == read_back(value));
    // Writing the same again changes nothing; a value with its own final LF
    // may take one more write to settle.
    const std::string again = profile_text::put_string(after, section, key, value);
    FUZZ_CHECK(again == after || std::strcmp(value, "v\n") == 0);
    FUZZ_CHECK(profile_text::put_string(again, section, key, value) == again);
    for (const char* s : kSections) {
        for (const char* k : kKeys) {
            if (!s || !k) continue;
            if (trimmed_lower(s) == trimmed_lower(section) &&
                trimmed_lower(k) == trimmed_lower(key)) {
                continue;
            }
            if (std::strchr(k, '=') || std::strchr(s, ']')) continue;
            FUZZ_CHECK(read(after, s, k) == read(file, s, k));
        }
    }
    return 0;
}
