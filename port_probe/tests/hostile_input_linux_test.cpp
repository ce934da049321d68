// Vestrel against hostile input, end to end on Linux: request files of odd
// bytes, sizes, names and kinds, run logs that cannot be written and
// base-address tables with odd values or of great size. Every row runs the
// built program against the simulated device under a time limit and checks
// that it ends by itself with exit status 0, that the result is in the
// request file wherever that file can be written (with the file's other
// entries as they were), and that nothing else in the folder was created or
// changed. The request file and TROV.INI are the two files a run may change.
#include "hostile_run.h"
#include "probe_record.h"
#include "run_program.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using probe_record::result_value;
using test_support::file_bytes;

const char kRequest[] = "./request.ini";
const char kTable[] = "TROV.INI";
const std::string kProbeLpt1 = "[Vestrel]\nLptPort=1\n";

// Running as root, the rows about permission bits run Vestrel as this user
// and group (nobody, nogroup), through setpriv.
const char kSetpriv[] = "/usr/bin/setpriv";
const unsigned kUnprivilegedId = 65534;

std::string summary(const std::string& request) {
    return request + ": port = 1, addr = 888\n";
}
std::string missing_entry(const std::string& request) {
    return "File:" + request + " does not contain Entry:LptPort or Section:Vestrel ";
}
std::string out_of_range(const std::string& base) {
    return "Base address " + base +
           " of LPT1 (LPT1_BASE in TROV.INI) is out of range: allowed are 1 to 65533";
}

bool is_blank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r') || c == '\x1a';
}
std::string trim(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && is_blank(text[begin])) ++begin;
    while (end > begin && is_blank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}
std::string cut_at_nul(const std::string& text) {
    return text.substr(0, text.find('\0'));
}
std::string lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}
std::string unquote(const std::string& v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        return v.substr(1, v.size() - 2);
    return v;
}

// A message as the request file gives it back: cut to the 299 characters of
// the message buffer, blanks at its ends dropped.
std::string read_back(const std::string& message) {
    return trim(message.substr(0, 299));
}

// The entries of a profile file as "section/key=value", names in lower case
// (they compare without regard to case), names and values trimmed and cut at
// a NUL, values without enclosing quotes: as reads see them. A UTF-16LE file
// is read through each unit's low byte, enough for the ASCII texts here.
std::multiset<std::string> entries(std::string bytes) {
    if (bytes.size() >= 2 && bytes[0] == '\xff' && bytes[1] == '\xfe') {
        std::string narrow;
        for (std::size_t at = 2; at + 1 < bytes.size(); at += 2)
            narrow += bytes[at + 1] == '\0' ? bytes[at] : '?';
        bytes = narrow;
    }
    std::multiset<std::string> found;
    std::string section;
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t end = std::min(bytes.find_first_of("\r\n", at), bytes.size());
        const std::string line = trim(bytes.substr(at, end - at));
        at = end + 1;
        if (line.empty()) continue;
        if (line[0] == '[' && line.find(']') != std::string::npos) {
            section = lower(trim(line.substr(1, line.rfind(']') - 1)));
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        found.insert(section + "/" + lower(cut_at_nul(trim(line.substr(0, equals)))) + "=" +
                     unquote(cut_at_nul(trim(line.substr(equals + 1)))));
    }
    return found;
}

// The entries only in `expected` and only in `actual`, for the failure text.
std::string difference(const std::multiset<std::string>& expected,
                       const std::multiset<std::string>& actual) {
    std::vector<std::string> lost;
    std::vector<std::string> added;
    std::set_difference(expected.begin(), expected.end(), actual.begin(), actual.end(),
                        std::back_inserter(lost));
    std::set_difference(actual.begin(), actual.end(), expected.begin(), expected.end(),
                        std::back_inserter(added));
    std::string text;
    for (const auto& e : lost) text += "\n  lost:  " + e;
    for (const auto& e : added) text += "\n  added: " + e;
    return text;
}

// --- how a row's files are made ---------------------------------------------

using Make = void (*)(const std::string& path, const std::string& bytes);

void write_text(const std::string& path, const std::string& bytes) {
    const fs::path parent = fs::path(path).parent_path();
    if (!parent.empty()) fs::create_directories(parent);
    test_support::write_file(path, bytes);
}
void make_folder(const std::string& path, const std::string&) {
    fs::create_directories(path);
}
void make_fifo(const std::string& path, const std::string&) {
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0) << path;
}
void make_nothing(const std::string&, const std::string&) {}
void make_unreadable(const std::string& path, const std::string& bytes) {
    write_text(path, bytes);
    ASSERT_EQ(::chmod(path.c_str(), 0), 0);
}
void make_read_only(const std::string& path, const std::string& bytes) {
    write_text(path, bytes);
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
}
// The bytes at the end of a file of `MiB` mebibytes whose start is a hole:
// it reads as NUL bytes and takes no room on the disk.
template <int MiB>
void after_hole(const std::string& path, const std::string& bytes) {
    const off_t size = off_t{MiB} << 20;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path;
    const auto put =
        ::pwrite(fd, bytes.data(), bytes.size(), size - static_cast<off_t>(bytes.size()));
    ::close(fd);
    ASSERT_EQ(put, static_cast<ssize_t>(bytes.size()));
}

// --- the contents -------------------------------------------------------------

std::string binary_garbage() {
    std::mt19937 random(20240611u);
    std::string bytes(64 * 1024, '\0');
    for (char& b : bytes) b = static_cast<char>(random() & 0xFFu);
    return bytes;
}
std::string utf16le(const std::string& text) {
    std::string bytes = "\xff\xfe";
    for (char c : text) bytes += std::string{c, '\0'};
    return bytes;
}
std::string many_sections(int count) {
    std::string text;
    for (int i = 0; i < count; ++i)
        text += "[Section" + std::to_string(i) + "]\nKey=" + std::to_string(i) + "\n";
    return text + kProbeLpt1;
}
// A relative name of `length` characters, through folders of 200 characters.
std::string long_name(std::size_t length) {
    std::string name = ".";
    while (length - name.size() > 222) name += "/" + std::string(200, 'd');
    return name + "/" + std::string(length - name.size() - 5, 'r') + ".ini";
}
std::string logging_request(const std::string& log) {
    return "[Vestrel]\nLogFile=" + log + "\nLptPort=1\n";
}

// --- the rows -------------------------------------------------------------------

// One row: by default the request file ./request.ini asks for LPT1, TROV.INI
// is absent, and the run succeeds with the usual summary. A row says only
// what differs.
struct Row {
    std::string name;
    std::string request = kRequest;  // the name Vestrel is given
    std::string content = kProbeLpt1;
    Make make = write_text;  // how the request file is made from `content`
    std::string table;       // TROV.INI before the run; empty: absent
    Make make_table = write_text;
    Make make_extra = nullptr;  // another entry in the folder, at `extra`
    std::string extra;
    bool writable = true;       // false: the request file must stay as it was
    bool unprivileged = false;  // run as a user without root's rights
    std::string return_value = "Success";
    std::optional<std::string> reason;  // as read back; none: the summary
    const char* watched = nullptr;      // an entry outside the folder that must not change

    Row requested_as(std::string file) const {
        Row r = *this;
        r.request = std::move(file);
        return r;
    }
    Row holding(std::string bytes, Make how = write_text) const {
        Row r = *this;
        r.content = std::move(bytes);
        r.make = how;
        return r;
    }
    Row made_by(Make how) const { return holding(content, how); }
    Row with_table(std::string bytes, Make how = write_text) const {
        Row r = *this;
        r.table = std::move(bytes);
        r.make_table = how;
        return r;
    }
    Row with_base(const std::string& value) const {
        return with_table("[LPT SECTION]\nLPT1_BASE=" + value + "\n");
    }
    Row with_extra(Make how, std::string path) const {
        Row r = *this;
        r.make_extra = how;
        r.extra = std::move(path);
        return r;
    }
    Row not_writable() const {
        Row r = *this;
        r.writable = false;
        return r;
    }
    Row unprivileged_user() const {
        Row r = *this;
        r.unprivileged = true;
        return r;
    }
    Row expecting(std::string return_text, std::string reason_text) const {
        Row r = *this;
        r.return_value = std::move(return_text);
        r.reason = std::move(reason_text);
        return r;
    }
    Row watching(const char* path) const {
        Row r = *this;
        r.watched = path;
        return r;
    }
};

Row row(const char* name) {
    Row r;
    r.name = name;
    return r;
}

void PrintTo(const Row& r, std::ostream* out) {
    *out << r.name;
}

const std::string kLongRequest = long_name(4000);
const std::string kLongLogFolder(200, 'L');

const Row kRows[] = {
    // The request file's bytes.
    row("binary_garbage")
        .holding(binary_garbage())
        .expecting("Failed", read_back(missing_entry(kRequest))),
    // A NUL ends a value and a name: LptPort reads "1", and "Log\0File" is no
    // LogFile entry.
    row("nul_bytes").holding("[Vestrel]\0junk\nLptPort=1\0=2\n\0\0\0\nLog\0File=run.log\n"s),
    row("utf16le_with_byte_order_mark").holding(utf16le("[Vestrel]\r\nLptPort=1\r\n")),
    row("line_of_1_mb").holding("[Vestrel]\nFiller=" + std::string(1 << 20, 'x') + "\nLptPort=1\n"),
    row("ten_thousand_sections").holding(many_sections(10000)),
    row("file_of_50_mb").holding("\n" + kProbeLpt1, after_hole<50>),

    // The request file's name.
    row("name_of_4000_characters_through_folders")
        .requested_as(kLongRequest)
        .expecting("Success", read_back(summary(kLongRequest))),
    row("name_of_4000_characters_in_one_part")
        .requested_as("./" + std::string(3994, 'n') + ".ini")
        .made_by(make_nothing)
        .not_writable(),
    row("name_with_blanks").requested_as("./my  request file .ini"),
    row("name_with_quotes").requested_as("./\"quoted\" and 'single'.ini"),
    row("name_with_bytes_above_0x7f").requested_as("./r\xe9sum\xe9\xff\x80.ini"),
    // Line breaks in the name reach FailureReason, stored on one line.
    row("name_with_line_feeds")
        .requested_as("./x\nLptPort=2\n.ini")
        .expecting("Success", "./x LptPort=2 .ini: port = 1, addr = 888"),
    row("name_with_cr_lf")
        .requested_as("./x\r\n[Other]\r\nLptPort=3\r\n.ini")
        .expecting("Success", "./x [Other] LptPort=3 .ini: port = 1, addr = 888"),
    row("name_with_carriage_returns")
        .requested_as("./x\rReturnValue=Forged\r.ini")
        .expecting("Success", "./x ReturnValue=Forged .ini: port = 1, addr = 888"),

    // The request file's kind: none of these can take the result.
    row("request_is_folder").made_by(make_folder).not_writable(),
    row("request_is_fifo").made_by(make_fifo).not_writable(),
    row("request_is_device").requested_as("/dev/null").made_by(make_nothing).not_writable(),
    row("request_unreadable").made_by(make_unreadable).not_writable().unprivileged_user(),
    row("request_read_only").made_by(make_read_only).not_writable().unprivileged_user(),

    // The run log: none can be written, the run goes on.
    row("log_is_folder").holding(logging_request("logs")).with_extra(make_folder, "logs"),
    row("log_is_full_device").holding(logging_request("/dev/full")).watching("/dev/full"),
    row("log_is_fifo_without_reader")
        .holding(logging_request("run.fifo"))
        .with_extra(make_fifo, "run.fifo"),
    row("log_in_missing_folder").holding(logging_request("no/such/folder/run.log")),
    // Cut to its 299 characters, the name would be a file in that folder.
    row("log_name_of_10000_characters")
        .holding(logging_request(kLongLogFolder + "/" + std::string(9799, 'x')))
        .with_extra(make_folder, kLongLogFolder),

    // TROV.INI.
    row("base_huge")
        .with_base("99999999999999999999999999999999")
        .expecting("Failed", out_of_range("2684354559")),
    row("base_negative").with_base("-888").expecting("Failed", out_of_range("4294966408")),
    row("base_hexadecimal")
        .with_base("0x3BC")
        .expecting("Success", "./request.ini: port = 1, addr = 956"),
    row("base_garbage").with_base("\x01\xfe%n%s junk"),
    row("table_of_20_mb").with_table("\n[LPT SECTION]\nLPT1_BASE=888\n", after_hole<20>),
};

class HostileInput : public ::testing::TestWithParam<Row> {
protected:
    // The command that runs Vestrel for the row: as another user when the
    // row is about permission bits and this process is root, which they do
    // not bind. That user then owns the folder, as the caller would.
    std::vector<std::string> command(const Row& r) const {
        std::vector<std::string> words;
        if (r.unprivileged && ::geteuid() == 0) {
            const std::string id = std::to_string(kUnprivilegedId);
            words = {kSetpriv, "--reuid=" + id, "--regid=" + id, "--clear-groups"};
        }
        words.push_back(VESTREL_PROGRAM);
        words.push_back(r.request);
        return words;
    }

    static std::vector<std::string> environment() {
        auto environment = library_folder_environment(SIMULATED_DRIVER_DIR);
        for (const char* entry :
             {"DLPORTIO_SIM_STATUS=0xFF", "DLPORTIO_SIM_ERRNO=", "DLPORTIO_SIM_LOG="})
            environment.emplace_back(entry);
        return environment;
    }

    test_support::ScratchWorkingFolder folder_;
};

TEST_P(HostileInput, EndsInTimeAndChangesOnlyTheResult) {
    const Row& r = GetParam();
    if (r.unprivileged && ::geteuid() == 0) {
        if (!fs::exists(kSetpriv))
            GTEST_SKIP() << "root ignores permission bits, and there is no setpriv to run "
                            "Vestrel as another user";
        ASSERT_EQ(::chown(".", kUnprivilegedId, kUnprivilegedId), 0);
    }
    if (r.make_extra != nullptr) r.make_extra(r.extra, "");
    if (!r.table.empty()) r.make_table(kTable, r.table);
    r.make(r.request, r.content);
    if (HasFatalFailure()) return;

    const std::set<std::string> changeable = {fs::path(r.request).lexically_normal().string(),
                                              kTable};
    const hostile::FolderSnapshot folder_before = hostile::snapshot(folder_.path(), changeable);
    const std::string request_before = hostile::entry_state(r.request);
    const std::string watched_before = r.watched ? hostile::entry_state(r.watched) : "";
    const auto entries_before =
        r.writable ? entries(file_bytes(r.request)) : std::multiset<std::string>{};

    hostile::RowCount::add();
    hostile::expect_normal_end(hostile::run_bounded(command(r), environment()), 0);

    EXPECT_EQ(hostile::snapshot(folder_.path(), changeable), folder_before)
        << "an entry other than the request file and TROV.INI was created or changed";
    if (r.watched) {
        EXPECT_EQ(hostile::entry_state(r.watched), watched_before) << r.watched;
    }
    if (!r.writable) {
        EXPECT_EQ(hostile::entry_state(r.request), request_before)
            << "the request file was changed";
        return;
    }
    const std::string reason = r.reason.value_or(read_back(summary(r.request)));
    EXPECT_EQ(result_value(r.request, "ReturnValue"), r.return_value);
    EXPECT_EQ(result_value(r.request, "FailureReason"), reason);
    auto expected = entries_before;
    expected.insert("vestrel/returnvalue=" + r.return_value);
    expected.insert("vestrel/failurereason=" + reason);
    const auto after = entries(file_bytes(r.request));
    EXPECT_TRUE(after == expected) << "the request file's entries are not the old ones and the "
                                      "result:"
                                   << difference(expected, after);
}

INSTANTIATE_TEST_SUITE_P(Rows, HostileInput, ::testing::ValuesIn(kRows), test_support::RowName());

[[maybe_unused]] ::testing::Environment* const kRowCount =
    ::testing::AddGlobalTestEnvironment(new hostile::RowCount("Vestrel"));

}  // namespace
