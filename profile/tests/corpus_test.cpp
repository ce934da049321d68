// Runs every recorded case of the corpus against the three operations, one
// test per case. A case passes when every result and every file snapshot is
// exactly the recorded one, or the one its override entry gives instead.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "case_files.h"
#include "corpus.h"
#include "private_profile.h"

namespace {

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Loaded {
    std::vector<corpus::Case> cases;
    std::string error;
};

const Loaded& loaded() {
    static const Loaded data = [] {
        Loaded l;
        const std::string dir = PROFILE_TEST_DATA_DIR;
        const std::string text = read_text(dir + "/cases-public.txt");
        if (text.empty()) {
            l.error = "cannot read " + dir + "/cases-public.txt";
            return l;
        }
        corpus::ParseResult parsed = corpus::parse_cases(text, "cases-public.txt");
        l.error = parsed.error;
        l.cases = std::move(parsed.cases);
        // PROFILE_TEST_OVERRIDES: the override files for this platform,
        // separated by ','.
        const std::string list = PROFILE_TEST_OVERRIDES;
        std::size_t pos = 0;
        while (l.error.empty() && pos <= list.size()) {
            std::size_t end = list.find(',', pos);
            if (end == std::string::npos) end = list.size();
            const std::string name = list.substr(pos, end - pos);
            pos = end + 1;
            if (name.empty()) continue;
            const std::string overrides = read_text(dir + "/" + name);
            if (overrides.empty()) {
                l.error = "cannot read " + dir + "/" + name;
                break;
            }
            l.error = corpus::apply_overrides(l.cases, overrides, name);
        }
        return l;
    }();
    return data;
}

std::vector<std::string> case_ids() {
    std::vector<std::string> ids;
    for (const auto& c : loaded().cases) ids.push_back(c.id);
    return ids;
}

const corpus::Case& find_case(const std::string& id) {
    for (const auto& c : loaded().cases) {
        if (c.id == id) return c;
    }
    throw std::runtime_error("no case " + id);
}

std::string describe(std::size_t index, const corpus::Step& step) {
    std::string d = "step " + std::to_string(index + 1) + " (line " + std::to_string(step.line) +
                    "): " + step.source.substr(0, 160);
    if (!step.override_reason.empty()) d += "\n  [override: " + step.override_reason + "]";
    return d;
}

// Runs the steps of one case in the current working folder; returns one
// message per mismatch.
std::vector<std::string> run_steps(const corpus::Case& c) {
    std::vector<std::string> problems;
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
        const corpus::Step& s = c.steps[i];
        const std::string file = case_files::file_argument(s.file);
        if (s.kind != corpus::Step::Kind::expect) case_files::forget_cached(file);
        switch (s.kind) {
            case corpus::Step::Kind::get: {
                std::vector<char> buffer(s.size + 64u, '\xCC');
                const uint32_t ret =
                    GetPrivateProfileStringA(s.section.c_str(), s.key.c_str(), s.text.c_str(),
                                             buffer.data(), s.size, file.c_str());
                std::size_t written = buffer.size();
                while (written > 0 && buffer[written - 1] == '\xCC') --written;
                const bool overrun = written > s.size;
                const std::string image(buffer.data(), written);
                if (ret != s.ret || overrun != s.overrun || (!overrun && image != s.image)) {
                    problems.push_back(describe(i, s) + "\n  got " + std::to_string(ret) + " " +
                                       (overrun ? "OVERRUN" : corpus::quote(image).substr(0, 400)));
                }
                break;
            }
            case corpus::Step::Kind::get_int: {
                const unsigned v = GetPrivateProfileIntA(s.section.c_str(), s.key.c_str(),
                                                         s.int_default, file.c_str());
                if (v != s.ret) {
                    problems.push_back(describe(i, s) + "\n  got " + std::to_string(v));
                }
                break;
            }
            case corpus::Step::Kind::write: {
                const int ret = WritePrivateProfileStringA(s.section.c_str(), s.key.c_str(),
                                                           s.text.c_str(), file.c_str());
                const int error = ret == 0 ? case_files::last_error() : 0;
                if (static_cast<uint32_t>(ret) != s.ret || (ret == 0 && error != s.error)) {
                    problems.push_back(describe(i, s) + "\n  got " + std::to_string(ret) +
                                       (ret == 0 ? " err=" + std::to_string(error) : ""));
                }
                break;
            }
            case corpus::Step::Kind::expect: {
                std::string bytes;
                const case_files::Kind kind =
                    case_files::snapshot(case_files::path_of(s.location), bytes);
                std::string got;
                bool same = false;
                switch (kind) {
                    case case_files::Kind::absent:
                        got = "absent";
                        same = s.snapshot == corpus::Step::Snapshot::absent;
                        break;
                    case case_files::Kind::directory:
                        got = "directory";
                        same = s.snapshot == corpus::Step::Snapshot::directory;
                        break;
                    case case_files::Kind::other:
                        got = "(not a regular file)";
                        break;
                    case case_files::Kind::file:
                        got = corpus::quote(bytes).substr(0, 400);
                        same = s.snapshot == corpus::Step::Snapshot::bytes && bytes == s.bytes;
                        break;
                }
                if (!same) problems.push_back(describe(i, s) + "\n  got " + got);
                break;
            }
        }
    }
    return problems;
}

// The files a case names in the Windows folder: windir: locations and
// file-name arguments without a folder part.
std::vector<std::string> windir_names(const corpus::Case& c) {
    std::vector<std::string> names;
    const auto add = [&names](const std::string& location) {
        if (location.rfind("windir:", 0) == 0) names.push_back(location.substr(7));
    };
    for (const corpus::Setup& setup : c.setups) add(setup.location);
    for (const corpus::Step& s : c.steps) {
        if (s.kind == corpus::Step::Kind::expect) {
            add(s.location);
        } else if (s.file.find_first_of("\\/") == std::string::npos) {
            names.push_back(s.file);
        }
    }
    return names;
}

TEST(CorpusData, ParsesWithOverrides) {
    ASSERT_EQ(loaded().error, "");
    EXPECT_EQ(loaded().cases.size(), 101u);
}

class CorpusCase : public ::testing::TestWithParam<std::string> {};

TEST_P(CorpusCase, MatchesRecordedResults) {
    ASSERT_EQ(loaded().error, "");
    const corpus::Case& c = find_case(GetParam());
    SCOPED_TRACE(c.id + ": " + c.title);
    case_files::CaseFolder folder(windir_names(c));
    bool readonly = false;
    for (const corpus::Setup& setup : c.setups) {
        const std::string path = case_files::path_of(setup.location);
        const bool ok = setup.is_dir ? case_files::make_dir(path)
                                     : case_files::write_file(path, setup.bytes, setup.readonly);
        ASSERT_TRUE(ok) << "setup of " << setup.location;
        readonly = readonly || setup.readonly;
    }
    if (readonly) {
        const std::string why = case_files::readonly_unenforced();
        if (!why.empty())
            GTEST_SKIP() << c.id << " needs a read-only file to keep writers out: " << why;
    }
    const std::vector<std::string> problems =
        readonly ? case_files::run_as_ordinary_user([&] { return run_steps(c); }) : run_steps(c);
    for (const std::string& p : problems) ADD_FAILURE() << p;
}

std::string test_name(const ::testing::TestParamInfo<std::string>& info) {
    std::string name = info.param;
    for (char& ch : name) {
        if (ch == '-') ch = '_';
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Recorded, CorpusCase, ::testing::ValuesIn(case_ids()), test_name);

}  // namespace
