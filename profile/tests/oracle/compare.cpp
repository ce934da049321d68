#include "compare.h"

#include <vector>

#include "profile_text.h"
#include "random_files.h"

namespace oracle {
namespace {

std::string value_of(const std::string& file, const std::string& section, const std::string& key,
                     bool& found) {
    static const char kMissing[] = "\x01missing\x01";
    std::vector<char> buffer(1u << 16);
    const uint32_t n = profile_text::get_string(file, section, key, kMissing, buffer.data(),
                                                static_cast<uint32_t>(buffer.size()));
    std::string v(buffer.data(), n);
    found = v != kMissing;
    return v;
}

// Wine gives a quoted value whose unquoted length is exactly size - 1 one
// character short (FACTS 26, a Wine off-by-one; the reference documents the
// full size - 1 characters, which is what we return).
bool wine_quoted_off_by_one(const File& before, const Operation& op, const Outcome& ours,
                            const Outcome& theirs) {
    if (op.kind != Kind::get_string || op.size < 2 || !before) return false;
    if (ours.result != op.size - 1 || theirs.result + 1 != ours.result) return false;
    if (theirs.buffer.compare(0, theirs.result, ours.buffer, 0, theirs.result) != 0) return false;
    const std::string value = ours.buffer.substr(0, ours.result);
    return before->find('"' + value + '"') != std::string::npos ||
           before->find('\'' + value + '\'') != std::string::npos;
}

Comparison fault(std::string kind, std::string detail) {
    return {Verdict::fault, std::move(kind), std::move(detail)};
}

bool only_spaces(const std::string& s) {
    return !s.empty() && s.find_first_not_of(' ') == std::string::npos;
}

}  // namespace

Comparison compare(const File& before, const Operation& op, const Outcome& ours,
                   const Outcome& theirs) {
    switch (op.kind) {
        case Kind::get_string:
            if (ours.result == theirs.result && ours.buffer == theirs.buffer &&
                ours.overrun == theirs.overrun) {
                return {};
            }
            if (wine_quoted_off_by_one(before, op, ours, theirs)) {
                return {
                    Verdict::documented, "Wine returns a quoted value of size - 1 one short", {}};
            }
            return fault(only_spaces(op.text) ? "get with a default of spaces only" : "get",
                         "ours " + std::to_string(ours.result) + " " + show(ours.buffer) +
                             (ours.overrun ? " OVERRUN" : "") + ", system " +
                             std::to_string(theirs.result) + " " + show(theirs.buffer) +
                             (theirs.overrun ? " OVERRUN" : ""));
        case Kind::get_int:
            if (ours.result == theirs.result) return {};
            return fault("int", "ours " + std::to_string(ours.result) + ", system " +
                                    std::to_string(theirs.result));
        case Kind::put_string:
            break;
    }

    if (theirs.result != 1 || !theirs.file_after) {
        return fault("write failed", "the system's write failed");
    }
    const std::string& mine = *ours.file_after;
    const std::string& wine = *theirs.file_after;
    if (mine == wine) return {};

    // Values read back: every pooled name and the written one.
    std::vector<std::string> sections = RandomFiles::section_pool();
    std::vector<std::string> keys = RandomFiles::key_pool();
    sections.push_back(op.section);
    keys.push_back(op.key);
    for (const auto& s : sections) {
        for (const auto& k : keys) {
            bool found_mine = false;
            bool found_wine = false;
            const std::string a = value_of(mine, s, k, found_mine);
            const std::string b = value_of(wine, s, k, found_wine);
            if (a != b || found_mine != found_wine) {
                return fault("write: a value reads back differently",
                             "[" + s + "] " + k + " reads back as " +
                                 (found_mine ? show(a) : std::string("missing")) + " from ours, " +
                                 (found_wine ? show(b) : std::string("missing")) +
                                 " from the system's; ours " + show(mine, 400) + ", system " +
                                 show(wine, 400));
            }
        }
    }
    const bool tidy = !before || is_tidy(*before);
    if (tidy) {
        return fault("write to a tidy file: other bytes",
                     "ours " + show(mine, 400) + ", system " + show(wine, 400));
    }
    return {Verdict::documented, "Wine rewrites an untidy file whole; we edit in place", {}};
}

}  // namespace oracle
