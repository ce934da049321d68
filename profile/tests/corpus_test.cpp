// Runs every recorded case of the corpus (both case files) against the three
// operations, one test per case. A case passes when every result and every
// file snapshot is exactly the recorded one, or the one its override entry
// gives instead. Also checks the corpus reader itself on small texts.
#include <gtest/gtest.h>

#include <fstream>
#include <ostream>
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

// The case files, with the number of cases each holds and whether its steps
// pass null arguments. Case IDs are unique across them; the override files
// apply to all of them.
struct CaseFile {
    const char* label;  // for test names
    const char* name;
    std::size_t cases;
    bool null_arguments;
};
const CaseFile kCaseFiles[] = {
    {"public", "cases-public.txt", 101, false},
    {"null", "cases-null.txt", 50, true},
};

void PrintTo(const CaseFile& f, std::ostream* os) {
    *os << f.name;
}

struct Loaded {
    std::vector<corpus::Case> cases;
    std::string error;
};

// Reads every case file, then applies the override files for this platform.
Loaded load() {
    Loaded l;
    const std::string dir = PROFILE_TEST_DATA_DIR;
    for (const CaseFile& f : kCaseFiles) {
        const std::string text = read_text(dir + "/" + f.name);
        if (text.empty()) {
            l.error = "cannot read " + dir + "/" + f.name;
            return l;
        }
        corpus::ParseResult parsed = corpus::parse_cases(text, f.name);
        if (!parsed.error.empty()) {
            l.error = parsed.error;
            return l;
        }
        for (corpus::Case& c : parsed.cases) {
            for (const corpus::Case& earlier : l.cases) {
                if (earlier.id == c.id) {
                    l.error = "case " + c.id + " is in both " + earlier.origin + " and " + f.name;
                    return l;
                }
            }
            l.cases.push_back(std::move(c));
        }
    }
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
}

const Loaded& loaded() {
    static const Loaded data = load();
    return data;
}

bool passes_null(const corpus::Step& s) {
    return s.null_section || s.null_key || s.null_text || s.null_file || s.null_buffer;
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

std::string describe(const corpus::Case& c, std::size_t index, const corpus::Step& step) {
    std::string d = "step " + std::to_string(index + 1) + " (" + c.origin + " line " +
                    std::to_string(step.line) + "): " + step.source.substr(0, 160);
    if (!step.override_reason.empty()) d += "\n  [override: " + step.override_reason + "]";
    return d;
}

// A string argument of a step: a null pointer where the case says null.
const char* argument(const std::string& text, bool is_null) {
    return is_null ? nullptr : text.c_str();
}

// Runs the steps of one case in the current working folder; returns one
// message per mismatch. The error a call leaves is compared only after a
// failed write: elsewhere the service leaves arbitrary values.
std::vector<std::string> run_steps(const corpus::Case& c) {
    std::vector<std::string> problems;
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
        const corpus::Step& s = c.steps[i];
        if (s.undefined) continue;
        const std::string file_name =
            s.null_file ? std::string() : case_files::file_argument(s.file);
        const char* const file = argument(file_name, s.null_file);
        const char* const section = argument(s.section, s.null_section);
        const char* const key = argument(s.key, s.null_key);
        const char* const text = argument(s.text, s.null_text);
        if (s.kind != corpus::Step::Kind::expect) {
            case_files::forget_cached(file);
            case_files::clear_error();
        }
        switch (s.kind) {
            case corpus::Step::Kind::get: {
                if (s.null_buffer) {
                    const uint32_t ret =
                        GetPrivateProfileStringA(section, key, text, nullptr, s.size, file);
                    if (ret != s.ret) {
                        problems.push_back(describe(c, i, s) + "\n  got " + std::to_string(ret) +
                                           " null");
                    }
                    break;
                }
                std::vector<char> buffer(s.size + 64u, '\xCC');
                const uint32_t ret =
                    GetPrivateProfileStringA(section, key, text, buffer.data(), s.size, file);
                std::size_t written = buffer.size();
                while (written > 0 && buffer[written - 1] == '\xCC') --written;
                const bool overrun = written > s.size;
                const std::string image(buffer.data(), written);
                if (ret != s.ret || overrun != s.overrun || (!overrun && image != s.image)) {
                    problems.push_back(describe(c, i, s) + "\n  got " + std::to_string(ret) + " " +
                                       (overrun ? "OVERRUN" : corpus::quote(image).substr(0, 400)));
                }
                break;
            }
            case corpus::Step::Kind::get_int: {
                const unsigned v = GetPrivateProfileIntA(section, key, s.int_default, file);
                if (v != s.ret) {
                    problems.push_back(describe(c, i, s) + "\n  got " + std::to_string(v));
                }
                break;
            }
            case corpus::Step::Kind::write: {
                const int ret = WritePrivateProfileStringA(section, key, text, file);
                const int error = ret == 0 ? case_files::last_error() : 0;
                if (static_cast<uint32_t>(ret) != s.ret ||
                    (ret == 0 && static_cast<uint32_t>(error) != s.error.value_or(0))) {
                    problems.push_back(describe(c, i, s) + "\n  got " + std::to_string(ret) +
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
                if (!same) problems.push_back(describe(c, i, s) + "\n  got " + got);
                break;
            }
        }
    }
    return problems;
}

// The files a case names in the Windows folder: windir: locations and
// file-name arguments without a folder part; a null file name is win.ini.
std::vector<std::string> windir_names(const corpus::Case& c) {
    std::vector<std::string> names;
    const auto add = [&names](const std::string& location) {
        if (location.rfind("windir:", 0) == 0) names.push_back(location.substr(7));
    };
    for (const corpus::Setup& setup : c.setups) add(setup.location);
    for (const corpus::Step& s : c.steps) {
        if (s.kind == corpus::Step::Kind::expect) {
            add(s.location);
        } else if (s.null_file) {
            names.push_back("win.ini");
        } else if (s.file.find_first_of("\\/") == std::string::npos) {
            names.push_back(s.file);
        }
    }
    return names;
}

// Each case file parses, together with the override files, into the cases
// it should hold; the null case file is the one whose cases pass null
// arguments, every one of them.
class CorpusData : public ::testing::TestWithParam<CaseFile> {};

TEST_P(CorpusData, ParsesWithOverrides) {
    ASSERT_EQ(loaded().error, "");
    const CaseFile& f = GetParam();
    std::size_t count = 0;
    for (const corpus::Case& c : loaded().cases) {
        if (c.origin != f.name) continue;
        ++count;
        bool with_null = false;
        for (const corpus::Step& s : c.steps) with_null = with_null || passes_null(s);
        EXPECT_EQ(with_null, f.null_arguments) << c.id;
    }
    EXPECT_EQ(count, f.cases);
}

std::string case_file_label(const ::testing::TestParamInfo<CaseFile>& info) {
    return info.param.label;
}

INSTANTIATE_TEST_SUITE_P(CaseFiles, CorpusData, ::testing::ValuesIn(kCaseFiles), case_file_label);

// One step line of a case, as the reader takes it: its canonical inputs and
// null arguments, or (error non-empty) text the refusal message contains.
struct StepRow {
    const char* line;
    const char* inputs;
    const char* nulls;  // the null arguments: s k t b f (section, key, text, buffer, file)
    const char* error;
};

void PrintTo(const StepRow& row, std::ostream* os) {
    *os << row.line;
}

const StepRow kStepRows[] = {
    {R"(get "S" "k" "d" 300 ".\\t.ini" -> 1 "v\x00")", R"(get "S" "k" "d" 300 ".\\t.ini")", "", ""},
    {R"(get null "k" null null:300 null -> 0 null err=0)", "get null \"k\" null null:300 null",
     "s t b f", ""},
    {R"(get "null" "null" "null" 300 "null" -> 4 "null\x00" err=0)",
     R"(get "null" "null" "null" 300 "null")", "", ""},
    {R"(get "A" null "d" 5 ".\\t.ini" -> 3 "a1\x00\x00" unwritten=1 err=0)",
     R"(get "A" null "d" 5 ".\\t.ini")", "k", ""},
    {R"(get "S" "k" "d" 2 "t" -> 1 "vv\x00" OVERRUN err=0)", R"(get "S" "k" "d" 2 "t")", "", ""},
    {R"(get "S" "k" "d" 2 "t" -> 1 OVERRUN)", R"(get "S" "k" "d" 2 "t")", "", ""},
    {R"(int null null -7 null -> 4294967289 err=2)", "int null null -7 null", "s k f", ""},
    {R"(write "S" null null ".\\t.ini" -> 1 err=183)", R"(write "S" null null ".\\t.ini")", "k t",
     ""},
    {R"(write null "k" "v" null -> 0 err=2)", R"(write null "k" "v" null)", "s f", ""},
    {R"(write "S" "k" "v" "t" -> 1)", R"(write "S" "k" "v" "t")", "", ""},
    {R"(write "S" "k" "v" null -> 0)", "", "", "expected err=N"},
    {R"(get "S" "k" "d" 300 "t" -> 0 null)", "", "", "belongs to a null buffer"},
    {R"(get "S" "k" "d" null:300 "t" -> 0 "\x00")", "", "", "expected 'null'"},
    {R"(get "S" "k" "d" 300 "t" -> 1 "v\x00" err=0 UNSTABLE)", "", "", "UNSTABLE"},
    {R"(get "S" "k" "d" 300 "t" -> 1 "v\x00" unwritten=2)", "", "", "outside the image"},
    {R"(get "S" "k" "d" 300 "t" -> 1 "v\x00" err=x)", "", "", "expected a number"},
    {R"(get "S" "k" "d" null:x "t" -> 0 null)", "", "", "expected a number"},
    {R"(get NULL "k" "d" 300 "t" -> 0 "\x00")", "", "", "expected a string or null"},
    {R"(int "S" "k" null "t" -> 0)", "", "", "expected a number"},
    {R"(expect cwd:t.ini null)", "", "", "expected bytes, absent or directory"},
};

std::string null_arguments(const corpus::Step& s) {
    std::string out;
    const auto add = [&out](bool is_null, const char* name) {
        if (is_null) out += (out.empty() ? "" : " ") + std::string(name);
    };
    add(s.null_section, "s");
    add(s.null_key, "k");
    add(s.null_text, "t");
    add(s.null_buffer, "b");
    add(s.null_file, "f");
    return out;
}

class CorpusReaderStep : public ::testing::TestWithParam<StepRow> {};

TEST_P(CorpusReaderStep, ReadsTheLine) {
    const StepRow& row = GetParam();
    const std::string text = std::string("case t\n") + row.line + "\nend\n";
    const corpus::ParseResult parsed = corpus::parse_cases(text, "row");
    if (*row.error) {
        EXPECT_NE(parsed.error.find(row.error), std::string::npos) << parsed.error;
        return;
    }
    ASSERT_EQ(parsed.error, "");
    ASSERT_EQ(parsed.cases.size(), 1u);
    ASSERT_EQ(parsed.cases[0].steps.size(), 1u);
    const corpus::Step& s = parsed.cases[0].steps[0];
    EXPECT_EQ(s.inputs, row.inputs);
    EXPECT_EQ(null_arguments(s), row.nulls);
    if (s.null_section) {
        EXPECT_EQ(s.section, "");
    }
    if (s.null_file) {
        EXPECT_EQ(s.file, "");
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, CorpusReaderStep, ::testing::ValuesIn(kStepRows));

// An override entry against a case with null arguments: whether it applies
// (error empty) or why not.
struct OverrideRow {
    const char* entry;
    const char* error;
};

const char kNullCase[] =
    "case t\n"
    "write \"S\" null null \".\\\\t.ini\" -> 1 err=183\n"
    "get null null \"\" null:5 null -> 0 null err=0\n"
    "int \"S\" null 7 null -> 9 err=0\n"
    "end\n";

void PrintTo(const OverrideRow& row, std::ostream* os) {
    *os << row.entry;
}

const OverrideRow kOverrideRows[] = {
    {R"(override t 1 write "S" null null ".\\t.ini" -> 0 err=2)", ""},
    {R"(override t 1 write "S" null null ".\\t.ini" -> 1)", ""},
    {R"(override t 2 get null null "" null:5 null -> 0 null)", ""},
    {R"(override t 3 int "S" null 7 null -> 7)", ""},
    {R"(override t 1 write "S" null null ".\\t.ini" -> 0)", "expected err=N"},
    {R"(override t 1 write "S" "null" null ".\\t.ini" -> 1)", "not"},
    {R"(override t 1 write "S" "" null ".\\t.ini" -> 1)", "not"},
    {R"(override t 2 get null null "" 5 null -> 0 "\x00")", "not"},
    {R"(override t 3 int "S" null 7 "null" -> 7)", "not"},
    {R"(undefined t 2 get null null "" null:5 null -> 0 null err=0)", ""},
    {R"(undefined t 3 int "S" "k" 7 null -> 9 err=0)", "not"},
    {R"(undefined t 4 int "S" null 7 null -> 9 err=0)", "no step 4"},
    {R"(ignored t 1 write "S" null null ".\t.ini" -> 1)", "expected 'override'"},
};

class CorpusReaderOverride : public ::testing::TestWithParam<OverrideRow> {};

TEST_P(CorpusReaderOverride, AppliesOrRefuses) {
    const OverrideRow& row = GetParam();
    corpus::ParseResult parsed = corpus::parse_cases(kNullCase, "case");
    ASSERT_EQ(parsed.error, "");
    const std::string error =
        corpus::apply_overrides(parsed.cases, std::string(row.entry) + "\nreason r\n", "row");
    if (*row.error) {
        EXPECT_NE(error.find(row.error), std::string::npos) << error;
    } else {
        EXPECT_EQ(error, "");
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, CorpusReaderOverride, ::testing::ValuesIn(kOverrideRows));

TEST(CorpusReaderUndefined, MarksTheStepAndKeepsItsRecordedResult) {
    corpus::ParseResult parsed = corpus::parse_cases(kNullCase, "case");
    ASSERT_EQ(parsed.error, "");
    ASSERT_EQ(
        corpus::apply_overrides(
            parsed.cases, "undefined t 3 int \"S\" null 7 null -> 9 err=0\nreason r\n", "row"),
        "");
    const auto& steps = parsed.cases.at(0).steps;
    EXPECT_FALSE(steps[1].undefined);
    EXPECT_TRUE(steps[2].undefined);
    EXPECT_EQ(steps[2].ret, 9u);
    EXPECT_EQ(steps[2].override_reason, "r");
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
