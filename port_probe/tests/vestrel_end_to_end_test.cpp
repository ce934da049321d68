// Runs the built Vestrel in a fresh folder against the simulated device and
// checks everything it leaves behind: the request file's result keys, the
// base-address table, the run log, the register accesses, its output and
// its exit status.
#include "platform_expectations.h"
#include "probe_record.h"
#include "run_program.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using probe_record::Lines;
using probe_record::probe_accesses;
using probe_record::result_value;
using probe_record::table_entries;
using test_support::read_file;
using test_support::write_file;

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
        EXPECT_EQ(result_value(request, "ReturnValue"), return_value);
        std::string read_back = reason;
        while (!read_back.empty() && (read_back.back() == '\n' || read_back.back() == ' '))
            read_back.pop_back();
        if (read_back != reason) {
            EXPECT_NE(test_support::file_bytes(request).find("FailureReason=" + reason),
                      std::string::npos)
                << "the reason was not stored with its end";
        }
        EXPECT_EQ(result_value(request, "FailureReason"), read_back);
    }

    static void expect_log(const char* path, const Lines& entries) {
        const auto log = read_text_file(path);
        ASSERT_TRUE(log.has_value()) << "no run log";
        EXPECT_TRUE(std::regex_match(*log, std::regex(log_pattern(entries)))) << "log was:\n"
                                                                              << *log;
    }

    test_support::ScratchWorkingFolder folder_;
};

// --- the outcomes -----------------------------------------------------------

const std::string kWithLog = "[Vestrel]\nLogFile=run.log\n";
const Lines kDefaults = {"888", "956", "632"};
std::string out_of_range_base(const std::string& base) {
    return "Base address " + base +
           " of LPT1 (LPT1_BASE in TROV.INI) is out of range: allowed are 1 to 65533";
}
// A library that gives no reason leaves the errno's text.
const std::string kEperm = "No access to I/O port 890 (0x37A) of LPT1: Operation not permitted";
const std::string kEnosys = "No access to I/O port 890 (0x37A) of LPT1: Function not implemented";

// One run: the files and the device before it, and all it must leave
// behind. A row starts from the builder of its kind below, which gives the
// usual run of that kind, and says only what differs.
struct OutcomeCase {
    const char* name = "";
    std::string request = kWithLog + "LptPort=1\n";  // request.ini
    std::string table;                               // TROV.INI before the run; "" when absent
    const char* status = "0xFF";                     // what every status read returns
    const char* refusal = "";  // the errno the driver refuses every access with
    const char* return_value = "Failed";
    std::string reason;
    Lines accesses;
    Lines log;          // the entries; none: no log file
    Lines table_after;  // LPT1..LPT3; none: TROV.INI as before (or still absent)

    // request.ini is `text`.
    OutcomeCase& asking(std::string text) {
        request = std::move(text);
        return *this;
    }
    // request.ini names the log and has LptPort=`text`.
    OutcomeCase& asking_port(const std::string& text) {
        return asking(kWithLog + "LptPort=" + text + "\n");
    }
    // TROV.INI is `text` before the run and stays as it was.
    OutcomeCase& with_table(std::string text) {
        table = std::move(text);
        table_after.clear();
        return *this;
    }
    // TROV.INI has these LPT1..LPT3 entries after the run.
    OutcomeCase& table_becomes(Lines entries) {
        table_after = std::move(entries);
        return *this;
    }
    // No log file is written.
    OutcomeCase& without_log() {
        log.clear();
        return *this;
    }
};

// The device answers on LPT`port` at `base`, its status reading `status`:
// the summary as the result, both log entries, TROV.INI made with the
// default bases.
OutcomeCase answered(const char* name, int port, unsigned base, const char* status = "0xFF") {
    OutcomeCase row;
    row.name = name;
    row.status = status;
    row.return_value = "Success";
    row.reason = summary(kRequest, port, base);
    row.accesses = probe_accesses(base, status);
    row.log = success_log(row.reason);
    row.table_after = kDefaults;
    return row.asking_port(std::to_string(port));
}

// The run fails with `reason` before any register access, logged after the
// port layer's entry; TROV.INI stays as it was (or absent).
OutcomeCase failed(const char* name, const std::string& reason) {
    OutcomeCase row;
    row.name = name;
    row.reason = reason;
    row.log = failure_log(reason);
    return row;
}

// LptPort=`text` is no port from 1 to 3.
OutcomeCase refused_port(const char* name, const std::string& text) {
    return failed(name, kBadPort).asking_port(text);
}

// request.ini is `request`, without a usable port entry: the reason is
// logged before the port layer is reached.
OutcomeCase missing_port(const char* name, std::string request) {
    OutcomeCase row = failed(name, kMissingPort).asking(std::move(request));
    row.log = missing_entry_log(kMissingPort);
    return row;
}

// The device does not answer on LPT1, its status reading `status`; TROV.INI
// is made with the default bases.
OutcomeCase unanswered(const char* name, const char* status) {
    OutcomeCase row = failed(name, kNoAnswer).table_becomes(kDefaults);
    row.status = status;
    row.accesses = probe_accesses(888, status);
    return row;
}

// The driver refuses the first access with the errno `refusal`; TROV.INI is
// made with the default bases.
OutcomeCase refused_access(const char* name, const char* refusal, const std::string& reason) {
    OutcomeCase row = failed(name, reason).table_becomes(kDefaults);
    row.refusal = refusal;
    row.accesses = {"W 890 0x04 refused"};
    return row;
}

const OutcomeCase kOutcomes[] = {
    answered("answer_lpt1_all_ones", 1, 888),
    answered("answer_lpt2_bit4_only", 2, 956, "0x10"),
    answered("answer_lpt3_configured_base", 3, 1000).with_table("[LPT SECTION]\nLPT3_BASE=1000\n"),
    answered("answer_other_port_setting_kept", 1, 888)
        .with_table("[LPT SECTION]\nLPT2_BASE=1000\n")
        .table_becomes({"888", "1000", "632"}),
    answered("answer_highest_base", 1, 65533).with_table("[LPT SECTION]\nLPT1_BASE=65533\n"),
    answered("port_text_2abc_probes_lpt2", 2, 956).asking_port("2abc"),
    answered("answer_without_log", 1, 888).asking("[Vestrel]\nLptPort=1\n").without_log(),
    unanswered("no_answer_replaces_old_result", "0xEF")
        .asking(kWithLog + "LptPort=1\nReturnValue=Success\nFailureReason=old\n"),
    refused_port("port_4", "4"),
    answered("port_text_blank_and_sign", 3, 632).asking_port("\" +3\""),
    refused_port("port_text_beyond_32_bits_not_wrapped_to_1", "4294967297"),
    // Near the limits of the 32-bit port number: clamped, never wrapped.
    refused_port("port_text_int32_max", "2147483647"),
    refused_port("port_text_int32_min", "-2147483648"),
    refused_port("port_text_below_int32_not_wrapped_to_1", "-4294967295"),
    refused_port("port_text_just_beyond_int32_not_wrapped_negative", "2147483649"),
    refused_port("port_text_abc", "abc"),
    missing_port("port_entry_missing", kWithLog),
    missing_port("port_entry_empty", kWithLog + "LptPort=\n"),
    missing_port("section_missing", "[Other]\nLogFile=run.log\nLptPort=1\n").without_log(),
    failed("base_beyond_io_space_refused", out_of_range_base("65534"))
        .with_table("[LPT SECTION]\nLPT1_BASE=65534\n"),
    // Table values with the top bit set stay unsigned, however wide a long is.
    failed("base_with_top_bit_refused", out_of_range_base("2147483648"))
        .with_table("[LPT SECTION]\nLPT1_BASE=2147483648\n"),
    failed("base_uint32_max_refused", out_of_range_base("4294967295"))
        .with_table("[LPT SECTION]\nLPT1_BASE=4294967295\n"),
    refused_access("access_refused_eperm", "EPERM", kEperm),
    refused_access("access_refused_enosys", "ENOSYS", kEnosys),
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
        EXPECT_EQ(table_entries(std::string("./") + kTable), row.table_after);
    } else if (row.table.empty()) {
        EXPECT_FALSE(read_file(kTable).has_value()) << "the table was created";
    } else {
        EXPECT_EQ(read_file(kTable).value_or("<absent>"), row.table) << "the table was changed";
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, Outcome, ::testing::ValuesIn(kOutcomes), test_support::RowName());

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
    test_support::RowName());

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
    Lines accesses = probe_accesses(888, "0xFF");
    for (const auto& a : probe_accesses(888, "0x00")) accesses.push_back(a);
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
    EXPECT_EQ(result_value(request_file, "ReturnValue"), GetParam().return_value);
    EXPECT_EQ(result_value(request_file, "FailureReason"), cut);
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
    test_support::RowName());

}  // namespace
