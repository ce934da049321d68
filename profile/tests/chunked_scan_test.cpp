// The scan fed in pieces: any file cut anywhere (a line, a name, a value or a
// UTF-16 unit split between pieces) gives exactly the results and splice of
// the same file fed whole; a value longer than what a read keeps is copied
// from the file; and a scan stops once its answer is settled.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "profile_text.h"
#include "test_support.h"

namespace {

using namespace std::string_literals;

// A small deterministic generator.
class Random {
public:
    explicit Random(uint64_t seed) : seed_(seed) {}
    std::size_t below(std::size_t n) {
        seed_ = seed_ * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<std::size_t>((seed_ >> 33) % n);
    }

private:
    uint64_t seed_;
};

// Sizes of the pieces a file is cut into: a different mix for each round,
// from single bytes up.
std::vector<std::size_t> piece_sizes(Random& random) {
    static const std::size_t largest[] = {1, 2, 3, 5, 16, 100};
    const std::size_t top = largest[random.below(std::size(largest))];
    std::vector<std::size_t> sizes(16);
    for (auto& s : sizes) s = 1 + random.below(top);
    return sizes;
}

template <class Operation>
void feed_in_pieces(Operation& op, const std::string& file, const std::vector<std::size_t>& sizes) {
    std::size_t at = 0;
    for (std::size_t i = 0; at < file.size(); ++i) {
        const std::size_t n = std::min(sizes[i % sizes.size()], file.size() - at);
        op.feed(std::string_view(file).substr(at, n));
        at += n;
    }
    op.finish();
}

profile_text::Name name(const char* s) {
    return s ? profile_text::Name(s) : std::nullopt;
}

std::string read_whole(const std::string& file, const char* s, const char* k, uint32_t size) {
    std::vector<char> buffer(size + 1, '\x7F');
    const uint32_t n =
        profile_text::get_string(file, name(s), name(k), "<none>", buffer.data(), size);
    return std::to_string(n) + ":" + std::string(buffer.data(), buffer.size());
}

std::string read_in_pieces(const std::string& file, const char* s, const char* k, uint32_t size,
                           std::size_t keep, const std::vector<std::size_t>& sizes) {
    profile_text::BytesSource source(file);
    std::vector<char> buffer(size + 1, '\x7F');
    profile_text::Read read(name(s), name(k), buffer.data(), size, source, keep);
    feed_in_pieces(read, file, sizes);
    const uint32_t n = read.get_string("<none>");
    return std::to_string(n) + ":" + std::string(buffer.data(), buffer.size());
}

std::string plan_text(bool changes, const profile_text::Splice& s) {
    if (!changes) return "unchanged";
    return std::to_string(s.offset) + "+" + std::to_string(s.length) + ":" + s.bytes;
}

// Random files made of the pieces that matter to the syntax, some long
// enough to exceed what a read keeps, in both encodings.
class PiecesLikeWhole : public ::testing::TestWithParam<bool> {};

TEST_P(PiecesLikeWhole, SameResultsAndSplice) {
    const bool utf16 = GetParam();
    const std::string pieces[] = {"[",
                                  "]",
                                  "=",
                                  "S",
                                  "T",
                                  "s",
                                  "k",
                                  "K",
                                  "a",
                                  " ",
                                  "\t",
                                  "\r",
                                  "\n",
                                  "\r\n",
                                  "\0"s,
                                  ";",
                                  "\"",
                                  "\xE9",
                                  "\n\r\n",
                                  std::string(70, 'x'),
                                  std::string(40, ' ')};
    // A null name lists names; a null key or value removes.
    const char* const sections[] = {"S", "T", "s", "", nullptr};
    const char* const keys[] = {"k", "K", "a", "", nullptr};
    const char* const values[] = {"", "1", "'q'", "v\n", "\t lead", "x", nullptr};
    Random random(utf16 ? 777 : 4242);
    for (int round = 0; round < 20000; ++round) {
        std::string file;
        if (utf16) file = "\xFF\xFE";
        const std::size_t count = random.below(30);
        for (std::size_t i = 0; i < count; ++i) {
            for (const char c : pieces[random.below(std::size(pieces))]) {
                file += c;
                if (utf16) file += random.below(8) == 0 ? '\x01' : '\0';
            }
        }
        if (utf16 && random.below(4) == 0) file += 'z';  // an odd last byte
        const char* section = sections[random.below(std::size(sections))];
        const char* key = keys[random.below(std::size(keys))];
        const char* value = values[random.below(std::size(values))];
        const auto sizes = piece_sizes(random);
        const uint32_t size = static_cast<uint32_t>(random.below(120));
        const std::size_t keep = random.below(3) == 0 ? random.below(4) : 1024;
        const auto shown = [](const char* text) { return text ? std::string(text) : "(null)"; };
        SCOPED_TRACE("round " + std::to_string(round) + ": [" + shown(section) + "] " + shown(key) +
                     "=" + shown(value) + " size " + std::to_string(size) + " keep " +
                     std::to_string(keep) + " in " + ::testing::PrintToString(file));

        ASSERT_EQ(read_in_pieces(file, section, key, size, keep, sizes),
                  read_whole(file, section, key, size));

        profile_text::Read number(name(section), name(key));
        feed_in_pieces(number, file, sizes);
        ASSERT_EQ(number.get_int(-7), profile_text::get_int(file, name(section), name(key), -7));

        if (!section) continue;
        profile_text::Splice whole, cut;
        const bool whole_changes =
            profile_text::plan_put(file, section, name(key), name(value), whole);
        profile_text::Write write(section, name(key), name(value));
        feed_in_pieces(write, file, sizes);
        const bool cut_changes = write.plan(cut);
        ASSERT_EQ(plan_text(cut_changes, cut), plan_text(whole_changes, whole));
    }
}

INSTANTIATE_TEST_SUITE_P(Encodings, PiecesLikeWhole, ::testing::Values(false, true),
                         [](const auto& row) { return row.param ? "Utf16" : "Ansi"; });

// How much of a file a scan takes before its answer is settled: the file is
// fed one byte at a time until the scan says it is done.
struct StopRow {
    const char* name;
    std::string file;
    bool write;
    const char* key;
    std::size_t bytes_taken;  // the whole file when it had to be read to its end
};

void PrintTo(const StopRow& r, std::ostream* os) {
    *os << r.name;
}

class Stops : public ::testing::TestWithParam<StopRow> {};

TEST_P(Stops, OnceTheAnswerIsSettled) {
    const StopRow& r = GetParam();
    char buffer[64];
    profile_text::BytesSource source(r.file);
    profile_text::Read read("S", r.key, buffer, sizeof buffer, source);
    profile_text::Write write("S", r.key, "new");
    std::size_t taken = 0;
    while (taken < r.file.size() && !(r.write ? write.done() : read.done())) {
        const std::string_view one = std::string_view(r.file).substr(taken++, 1);
        r.write ? write.feed(one) : read.feed(one);
    }
    EXPECT_EQ(taken, r.bytes_taken);
}

const std::string kTwoSections = "[S]\r\nk=v\r\nm=w\r\n[T]\r\nx=1\r\n";

INSTANTIATE_TEST_SUITE_P(Table, Stops,
                         ::testing::Values(
                             // A read ends with its value's line.
                             StopRow{"ReadFoundKey", kTwoSections, false, "k", 9},
                             // A write looks at the whole line break and what follows an LF.
                             StopRow{"WriteFoundKeyCrLf", kTwoSections, true, "k", 10},
                             StopRow{"WriteFoundKeyLf", "[S]\nk=v\nm=w\n", true, "k", 9},
                             StopRow{"WriteFoundKeyLfCrLf", "[S]\nk=v\n\r\nm=w\n", true, "k", 10},
                             // A missing key: the section's end, the next header, settles it.
                             StopRow{"ReadMissingKey", kTwoSections, false, "z", 19},
                             StopRow{"WriteMissingKey", kTwoSections, true, "z", 19},
                             // A value cut by a NUL is complete at the NUL.
                             StopRow{"ReadValueEndsAtNul", "[S]\r\nk=a\0bcdef\r\n"s, false, "k", 9},
                             // A '[' line may still be a header at its end.
                             StopRow{"ReadBracketKey", "[S]\r\n[k=a\0bc\r\nz=1\r\n"s, false, "[k",
                                     13},
                             // A missing section: the whole file.
                             StopRow{"MissingSection", "[T]\r\nk=v\r\n", false, "k", 10}),
                         test_support::RowName());

}  // namespace
