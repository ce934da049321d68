// libFuzzer target for the core: arbitrary file bytes, one read and one write
// with names picked by the first bytes of the input. Checks that a read never
// writes past the buffer, that a write's splice stays inside the file, that
// the written entry reads back, that every other entry reads as before, and
// that writing the same value again changes nothing.
//   cmake -DPARPORT_BUILD_FUZZERS=ON -DCMAKE_CXX_COMPILER=clang++ ...
//   <build>/bin/profile_fuzz -max_total_time=60
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "profile_text.h"

namespace {

const char* const kSections[] = {"S", "s", "T", "", "S]", " S "};
const char* const kKeys[] = {"k", "K", "a", "", "k=x", ";c"};
const char* const kValues[] = {"", "1", "x y", "'q'", "\t lead", "v\n", "\"a\"b\""};

std::string read(const std::string& file, const char* section, const char* key) {
    char buffer[64];
    const uint32_t n =
        profile_text::get_string(file, section, key, "<none>", buffer, sizeof buffer);
    return std::string(buffer, n);
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

void check(bool ok) {
    if (!ok) std::abort();
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
    const uint32_t n = profile_text::get_string(file, section, key, "dflt  ", buffer, buffer_size);
    if (buffer_size == 0) {
        check(n == 0 && buffer[0] == 0x5A);
    } else {
        check(n < buffer_size && buffer[n] == '\0');
        for (std::size_t i = buffer_size; i < sizeof buffer; ++i) check(buffer[i] == 0x5A);
    }
    (void)profile_text::get_int(file, section, key, -7);

    profile_text::Splice splice;
    if (!profile_text::plan_put(file, section, key, value, splice)) {
        check(profile_text::put_string(file, section, key, value) == file);
        return 0;
    }
    check(splice.offset <= file.size() && splice.length <= file.size() - splice.offset);
    std::string after = file;
    after.replace(splice.offset, splice.length, splice.bytes);
    check(after == profile_text::put_string(file, section, key, value));

    // A key spelled with '=' or a section with ']' is stored as given but
    // reads back under another name (and a second write adds it again).
    const bool plain_names =
        std::strchr(key, '=') == nullptr && std::strchr(section, ']') == nullptr;
    if (!plain_names) return 0;
    check(read(after, section, key) == read_back(value));
    // Writing the same again changes nothing; a value with its own final LF
    // may take one more write to settle.
    const std::string again = profile_text::put_string(after, section, key, value);
    check(again == after || std::strcmp(value, "v\n") == 0);
    check(profile_text::put_string(again, section, key, value) == again);
    for (const char* s : kSections) {
        for (const char* k : kKeys) {
            if (trimmed_lower(s) == trimmed_lower(section) &&
                trimmed_lower(k) == trimmed_lower(key)) {
                continue;
            }
            if (std::strchr(k, '=') || std::strchr(s, ']')) continue;
            check(read(after, s, k) == read(file, s, k));
        }
    }
    return 0;
}
