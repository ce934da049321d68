// Runs the built Vestrel in a fresh folder against the simulated device and
// checks everything it leaves behind: the request file's result keys, the
// base-address table, the run log, the register accesses, its output and
// its exit status.
#include "platform_expectations.h"
#include "private_profile.h"
#include "run_program.h"
#include "temp_folder.h"

#include "row_name.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

// The request file is named with its folder: on Windows the profile
// functions look for a bare name in the Windows folder.
const char kRequestName[] = "request.ini";
const char kRequest[] = "./request.ini";
const char kTable[] = "TROV.INI";
const char kAccessRecord[] = "accesses.txt";

const char kOpened[] = "CVestrelApp::ReadIniFile: Log opened!\n";
const char kInit[] = "init_parallel_port";
const char kWriteIni[] = "CVestrelApp::WriteIniFile";
const char kNoAnswer[] = "Roduroz does not answer! Connect the parallel cable to PC";
const char kBadPort[] = "Allowed parallel ports are LPT1...LPT3";
const char kMissingPort[] = "File:./request.ini does not contain Entry:LptPort or Section:Vestrel ";

std::string summary(const std::string& request, int port, unsigned base) {
    return request + ": port = " + std::to_string(port) + ", addr = " + std::to_string(base) + "\n";
}
Lines success_log(const std::string& text) {
    return {kOpened, kInit, text, kWriteIni, text};
}
Lines failure_log(const std::string& text) {
    return {kOpened, kInit, kWriteIni, text};
}
Lines missing_entry_log(const std::string& text) {
    return {kOpened, text, kWriteIni, text};
}

Lines probe(unsigned base, const char* status) {
    return {"W " + std::to_string(base + 2) + " 0x04", "W " + std::to_string(base + 2) + " 0x08",
            "R " + std::to_string(base + 1) + " " + status};
}

std::string regex_escape(const std::string& text) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\/])");
    return std::regex_replace(text, special, R"(\$&)");
}

// The whole log: every entry is a line feed, "MM/DD/YY HH:MM:SS: " and the
// message, with nothing in between.
std::string log_pattern(const Lines& entries) {
    std::string pattern;
    for (const auto& e : entries)
        pattern +=
            R"(\n(0[1-9]|1[0-2])/(0[1-9]|[12]\d|3[01])/\d\d ([01]\d|2[0-3]):[0-5]\d:[0-5]\d: )" +
            regex_escape(e);
    return pattern;
}

std::string today() {
    const std::time_t now = std::time(nullptr);
    char date[16];
    std::strftime(date, sizeof date, "%m/%d/%y", std::localtime(&now));
    return date;
}

std::string profile_value(const std::string& file, const char* section, const char* key) {
    char value[1024];
    GetPrivateProfileStringA(section, key, "<missing>", value, sizeof value, file.c_str());
    return value;
}

Lines table_entries() {
    Lines values;
    for (const char* key : {"LPT1_BASE", "LPT2_BASE", "LPT3_BASE"})
        values.push_back(profile_value(std::string("./") + kTable, "LPT SECTION", key));
    return values;
}

// A file written in text mode, with the platform's line ends turned back
// into line feeds; nothing when it cannot be read. A bare line feed (not the
// platform's line end) stays as a stray character and fails the comparison.
std::optional<std::string> read_text_file(const char* path) {
    auto text = read_file(path);
    if (!text || std::string(kTextLineEnd) == "\n") return text;
    std::string converted;
    for (std::size_t at = 0; at < text->size();) {
        if (text->compare(at, std::strlen(kTextLineEnd), kTextLineEnd) == 0) {
            converted += '\n';
            at += std::strlen(kTextLineEnd);
        } else {
            converted += (*text)[at] == '\n' ? '\x01' : (*text)[at];
            ++at;
        }
    }
    return converted;
}

Lines file_lines(const char* path) {
    Lines lines;
    std::istringstream in(read_text_file(path).value_or(""));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class EndToEnd : public ::testing::Test {
protected:
    ProgramRun vestrel(const Lines& arguments, const std::string& status = "0xFF",
                       const std::string& refusal = "") {
        Lines environment = library_folder_environment(SIMULATED_DRIVER_DIR);
        environment.push_back("DLPORTIO_SIM_STATUS=" + status);
        environment.push_back("DLPORTIO_SIM_ERRNO=" + refusal);
        environment.push_back(std::string("DLPORTIO_SIM_LOG=") + kAccessRecord);
        return run_program(VESTREL_PROGRAM, arguments, environment);
    }

    // Exit status 0 and not a character on the console.
    static void expect_quiet_exit(const ProgramRun& run) {
        EXPECT_EQ(run.exit_code, 0);
        EXPECT_EQ(run.standard_output, "");
        EXPECT_EQ(run.standard_error, "");
    }

    // ReturnValue and FailureReason as stored. A reason that ends in a blank
    // or a line feed is stored with it (checked in the file's bytes) and reads
    // back without it.
    static void expect_result(const std::string& request, const char* return_value,
                              const std::string& reason) {
        EXPECT_EQ(profile_value(request, "Vestrel", "ReturnValue"), return_value);
        std::string read_back = reason;
        while (!read_back.empty() && (read_back.back() == '\n' || read_back.back() == ' '))
            read_back.pop_back();
        if (read_back != reason) {
            EXPECT_NE(read_file(request).value_or("").find("FailureReason=" + reason),
                      std::string::npos)
                << "the reason was not stored with its end";
        }
        EXPECT_EQ(profile_value(request, "Vestrel", "FailureReason"), read_back);
    }

    static void expect_log(const char* path, const Lines& entries) {
        const auto log = read_text_file(path);
        ASSERT_TRUE(log.has_value()) << "no run log";
        EXPECT_TRUE(std::regex_match(*log, std::regex(log_pattern(entries)))) << "log was:\n"
                                                                              << *log;
    }

    TempFolder folder_;
};

// --- the outcomes -----------------------------------------------------------

struct OutcomeCase {
    const char* name;
    std::string request;  // request.ini
    std::string table;    // TROV.INI before the run; "" when absent
    const char* status;
    const char* refusal;
    const char* return_value;
    std::string reason;
    Lines accesses;
    Lines log;          // the entries; none: no log file
    Lines table_after;  // LPT1..LPT3; none: TROV.INI as before (or still absent)
};

const std::string kWithLog = "[Vestrel]\nLogFile=run.log\n";
const Lines kDefaults = {"888", "956", "632"};
const std::string kBase65534 =
    "Base address 65534 of LPT1 (LPT1_BASE in TROV.INI) is out of range: allowed are 1 to 65533";
const std::string kEperm =
    "No access to I/O port 890 (0x37A) of LPT1: permission denied (no CAP_SYS_RAWIO, or the kernel "
    "is locked down). "
    "Port access needs CAP_SYS_RAWIO: setcap cap_sys_rawio=ep on Vestrel";
const std::string kEnosys =
    "No access to I/O port 890 (0x37A) of LPT1: this kernel or machine has no ioperm support. "
    "Port access needs CAP_SYS_RAWIO: setcap cap_sys_rawio=ep on Vestrel";

const OutcomeCase kOutcomes[] = {
    {"answer_lpt1_all_ones", kWithLog + "LptPort=1\n", "", "0xFF", "", "Success",
     summary(kRequest, 1, 888), probe(888, "0xFF"), success_log(summary(kRequest, 1, 888)),
     kDefaults},
    {"answer_lpt2_bit4_only", kWithLog + "LptPort=2\n", "", "0x10", "", "Success",
     summary(kRequest, 2, 956), probe(956, "0x10"), success_log(summary(kRequest, 2, 956)),
     kDefaults},
    {"answer_lpt3_configured_base",
     kWithLog + "LptPort=3\n",
     "[LPT SECTION]\nLPT3_BASE=1000\n",
     "0xFF",
     "",
     "Success",
     summary(kRequest, 3, 1000),
     probe(1000, "0xFF"),
     success_log(summary(kRequest, 3, 1000)),
     {}},
    {"answer_other_port_setting_kept",
     kWithLog + "LptPort=1\n",
     "[LPT SECTION]\nLPT2_BASE=1000\n",
     "0xFF",
     "",
     "Success",
     summary(kRequest, 1, 888),
     probe(888, "0xFF"),
     success_log(summary(kRequest, 1, 888)),
     {"888", "1000", "632"}},
    {"answer_highest_base",
     kWithLog + "LptPort=1\n",
     "[LPT SECTION]\nLPT1_BASE=65533\n",
     "0xFF",
     "",
     "Success",
     summary(kRequest, 1, 65533),
     probe(65533, "0xFF"),
     success_log(summary(kRequest, 1, 65533)),
     {}},
    {"port_text_2abc_probes_lpt2", kWithLog + "LptPort=2abc\n", "", "0xFF", "", "Success",
     summary(kRequest, 2, 956), probe(956, "0xFF"), success_log(summary(kRequest, 2, 956)),
     kDefaults},
    {"answer_without_log",
     "[Vestrel]\nLptPort=1\n",
     "",
     "0xFF",
     "",
     "Success",
     summary(kRequest, 1, 888),
     probe(888, "0xFF"),
     {},
     kDefaults},
    {"no_answer_replaces_old_result",
     kWithLog + "LptPort=1\nReturnValue=Success\nFailureReason=old\n", "", "0xEF", "", "Failed",
     kNoAnswer, probe(888, "0xEF"), failure_log(kNoAnswer), kDefaults},
    {"port_4",
     kWithLog + "LptPort=4\n",
     "",
     "0xFF",
     "",
     "Failed",
     kBadPort,
     {},
     failure_log(kBadPort),
     {}},
    {"port_text_blank_and_sign", kWithLog + "LptPort=\" +3\"\n", "", "0xFF", "", "Success",
     summary(kRequest, 3, 632), probe(632, "0xFF"), success_log(summary(kRequest, 3, 632)),
     kDefaults},
    {"port_text_beyond_32_bits_not_wrapped_to_1",
     kWithLog + "LptPort=4294967297\n",
     "",
     "0xFF",
     "",
     "Failed",
     kBadPort,
     {},
     failure_log(kBadPort),
     {}},
    {"port_text_abc",
     kWithLog + "LptPort=abc\n",
     "",
     "0xFF",
     "",
     "Failed",
     kBadPort,
     {},
     failure_log(kBadPort),
     {}},
    {"port_entry_missing",
     kWithLog,
     "",
     "0xFF",
     "",
     "Failed",
     kMissingPort,
     {},
     missing_entry_log(kMissingPort),
     {}},
    {"port_entry_empty",
     kWithLog + "LptPort=\n",
     "",
     "0xFF",
     "",
     "Failed",
     kMissingPort,
     {},
     missing_entry_log(kMissingPort),
     {}},
    {"section_missing",
     "[Other]\nLogFile=run.log\nLptPort=1\n",
     "",
     "0xFF",
     "",
     "Failed",
     kMissingPort,
     {},
     {},
     {}},
    {"base_beyond_io_space_refused",
     kWithLog + "LptPort=1\n",
     "[LPT SECTION]\nLPT1_BASE=65534\n",
     "0xFF",
     "",
     "Failed",
     kBase65534,
     {},
     failure_log(kBase65534),
     {}},
    {"access_refused_eperm",
     kWithLog + "LptPort=1\n",
     "",
     "0xFF",
     "EPERM",
     "Failed",
     kEperm,
     {"W 890 0x04 refused"},
     failure_log(kEperm),
     kDefaults},
    {"access_refused_enosys",
     kWithLog + "LptPort=1\n",
     "",
     "0xFF",
     "ENOSYS",
     "Failed",
     kEnosys,
     {"W 890 0x04 refused"},
     failure_log(kEnosys),
     kDefaults},
};

void PrintTo(const OutcomeCase& row, std::ostream* out) {
    *out << row.name;
}

class Outcome : public EndToEnd, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(Outcome, RequestTableLogAndRegisters) {
    const auto& row = GetParam();
    if (row.refusal[0] != '\0' && !kDriverReportsRefusal)
        GTEST_SKIP() << "this platform's driver library has no error query: no refusal to report";
    write_file(kRequest, row.request);
    if (!row.table.empty()) write_file(kTable, row.table);
    const std::string date = today();

    expect_quiet_exit(vestrel({kRequest}, row.status, row.refusal));

    expect_result(kRequest, row.return_value, row.reason);
    EXPECT_EQ(file_lines(kAccessRecord), row.accesses);
    if (row.log.empty()) {
        EXPECT_FALSE(read_file("run.log").has_value()) << "a log was written";
    } else {
        expect_log("run.log", row.log);
        const std::string log = read_text_file("run.log").value_or("");
        EXPECT_TRUE(log.compare(1, date.size(), date) == 0 ||
                    log.compare(1, date.size(), today()) == 0)
            << "the first time stamp is not today's date as MM/DD/YY: " << log.substr(1, 17);
    }
    if (!row.table_after.empty()) {
        EXPECT_EQ(table_entries(), row.table_after);
    } else if (row.table.empty()) {
        EXPECT_FALSE(read_file(kTable).has_value()) << "the table was created";
    } else {
        EXPECT_EQ(read_file(kTable).value_or("<absent>"), row.table) << "the table was changed";
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, Outcome, ::testing::ValuesIn(kOutcomes), RowName());

// --- how the request file is named -----------------------------------------

struct NamingCase {
    const char* name;
    Lines arguments;
    std::string request_file;  // the file the run must use
};

void PrintTo(const NamingCase& row, std::ostream* out) {
    *out << row.name;
}

class Naming : public EndToEnd, public ::testing::WithParamInterface<NamingCase> {};

TEST_P(Naming, RequestFileTakenVerbatim) {
    const auto& row = GetParam();
    if (row.request_file.find('"') != std::string::npos && !kFileNamesMayHoldQuotes)
        GTEST_SKIP()
            << "file names cannot hold double quotes here; the quoted name is checked by the "
               "command-line launcher tests";
    write_file(row.request_file, "[Vestrel]\nLptPort=1\n");

    expect_quiet_exit(vestrel(row.arguments));

    expect_result(row.request_file, "Success", summary(row.request_file, 1, 888));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Naming,
    ::testing::Values(NamingCase{"quotes_kept", {"\"req.ini\""}, "\"req.ini\""},
                      NamingCase{"arguments_joined_by_blank", {"./my", "req.ini"}, "./my req.ini"},
                      NamingCase{"percent_signs_are_no_format", {"./%s%n%d.ini"}, "./%s%n%d.ini"},
                      NamingCase{
                          "leading_blank_arguments_skipped", {"", " ", "./req.ini"}, "./req.ini"}),
    RowName());

// --- no request file name --------------------------------------------------

class MissingArgument : public EndToEnd, public ::testing::WithParamInterface<Lines> {};

TEST_P(MissingArgument, ShowsMessageAndTouchesNothing) {
    const std::string request = kWithLog + "LptPort=1\n";
    write_file(kRequest, request);

    const ProgramRun run = vestrel(GetParam());

    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.standard_error, kMissingArgumentConsoleText);
    EXPECT_EQ(run.standard_output, "");
    EXPECT_EQ(folder_.entries(), std::set<std::string>{kRequestName});
    EXPECT_EQ(read_file(kRequest), request);
}

INSTANTIATE_TEST_SUITE_P(Arguments, MissingArgument,
                         ::testing::Values(Lines{}, Lines{""}, Lines{" ", "\t", ""}));

// --- single cases -----------------------------------------------------------

TEST_F(EndToEnd, MissingRequestFileIsCreatedWithTheResult) {
    expect_quiet_exit(vestrel({"./absent.ini"}));

    expect_result("./absent.ini", "Failed",
                  "File:./absent.ini does not contain Entry:LptPort or Section:Vestrel ");
    EXPECT_EQ(folder_.entries(), std::set<std::string>{"absent.ini"});
}

TEST_F(EndToEnd, LogThatCannotBeOpenedIsSkippedSilently) {
    write_file(kRequest, "[Vestrel]\nLogFile=no/such/folder/run.log\nLptPort=1\n");

    expect_quiet_exit(vestrel({kRequest}));

    expect_result(kRequest, "Success", summary(kRequest, 1, 888));
    EXPECT_FALSE(std::filesystem::exists("no"));
}

TEST_F(EndToEnd, TwoRunsAppendToOneLog) {
    write_file(kRequest, kWithLog + "LptPort=1\n");
    expect_quiet_exit(vestrel({kRequest}, "0xFF"));
    expect_quiet_exit(vestrel({kRequest}, "0x00"));

    Lines both = success_log(summary(kRequest, 1, 888));
    for (const auto& entry : failure_log(kNoAnswer)) both.push_back(entry);
    expect_log("run.log", both);
    Lines accesses = probe(888, "0xFF");
    for (const auto& a : probe(888, "0x00")) accesses.push_back(a);
    EXPECT_EQ(file_lines(kAccessRecord), accesses);
}

// Texts that contain the request file name are cut to 299 characters.
struct LongNameCase {
    const char* name;
    std::string request;
    const char* return_value;
    std::string (*full_text)(const std::string& request_file);
};

void PrintTo(const LongNameCase& row, std::ostream* out) {
    *out << row.name;
}

class LongName : public EndToEnd, public ::testing::WithParamInterface<LongNameCase> {};

TEST_P(LongName, TextsCutToTheBuffer) {
    // Long through folder steps that stay in place, so the path itself is
    // short enough for every platform's file functions.
    std::string request_file;
    for (int i = 0; i < 150; ++i) request_file += "./";
    request_file += "request.ini";
    write_file(request_file, GetParam().request);

    expect_quiet_exit(vestrel({request_file}));

    const std::string cut = GetParam().full_text(request_file).substr(0, 299);
    EXPECT_EQ(profile_value(request_file, "Vestrel", "ReturnValue"), GetParam().return_value);
    EXPECT_EQ(profile_value(request_file, "Vestrel", "FailureReason"), cut);
    if (GetParam().return_value == std::string("Success"))
        expect_log("run.log", success_log(cut));
    else
        expect_log("run.log", missing_entry_log(cut));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, LongName,
    ::testing::Values(LongNameCase{"summary", "[Vestrel]\nLogFile=run.log\nLptPort=1\n", "Success",
                                   [](const std::string& r) { return summary(r, 1, 888); }},
                      LongNameCase{"missing_entry", "[Vestrel]\nLogFile=run.log\n", "Failed",
                                   [](const std::string& r) {
                                       return "File:" + r +
                                              " does not contain Entry:LptPort or Section:Vestrel ";
                                   }}),
    RowName());

}  // namespace
