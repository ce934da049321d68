#include "lpt_port.h"

#include "platform.h"
#include "probe_record.h"
#include "simulated/dlportio_sim.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

using probe_record::probe_accesses;
using probe_record::profile_value;
using probe_record::recorded_accesses;
using test_support::read_file;
using test_support::write_file;

const char kTable[] = "TROV.INI";  // as the folder lists it
const char kNoAnswer[] = "Roduroz does not answer! Connect the parallel cable to PC";
const char kBadPort[] = "Allowed parallel ports are LPT1...LPT3";
const char kUntouched[] = "untouched";

const lpt_port_state kEarlierPort = {1, 2, 3, 4, 5, 6};

class PortLayer : public ::testing::Test {
protected:
    void SetUp() override {
        dlportio_sim::reset();
        g_lpt_port = {};
        std::strcpy(message_, kUntouched);
    }

    // For calls that must select no port: the state of an earlier probe stays.
    static void expect_earlier_port_state() {
        EXPECT_EQ(std::memcmp(&g_lpt_port, &kEarlierPort, sizeof kEarlierPort), 0)
            << "the port state changed";
    }

    test_support::ScratchWorkingFolder folder_;
    char message_[300] = {};
};

// --- copy_message -----------------------------------------------------------

struct CopyCase {
    const char* name;
    const char* text;
    std::size_t size;
    std::string expected;  // all `size` bytes
};

void PrintTo(const CopyCase& row, std::ostream* out) {
    *out << row.name;
}

class CopyMessage : public ::testing::TestWithParam<CopyCase> {};

TEST_P(CopyMessage, CutsTerminatesAndZeroFills) {
    const auto& row = GetParam();
    std::string buffer(row.size + 1, '#');
    copy_message(row.text, buffer.data(), row.size);
    EXPECT_EQ(buffer.substr(0, row.size), row.expected);
    EXPECT_EQ(buffer[row.size], '#') << "wrote past the buffer";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CopyMessage,
    ::testing::Values(CopyCase{"short_copy_zero_filled", "abc", 6, std::string("abc\0\0\0", 6)},
                      CopyCase{"exact_fit", "abcde", 6, std::string("abcde\0", 6)},
                      CopyCase{"cut_to_size_minus_one", "abcdefgh", 6, std::string("abcde\0", 6)},
                      CopyCase{"size_ten_of_message", kBadPort, 10, std::string("Allowed p\0", 10)},
                      CopyCase{"size_one", "abc", 1, std::string("\0", 1)},
                      CopyCase{"empty_text", "", 3, std::string("\0\0\0", 3)}),
    test_support::RowName());

// --- rejected port numbers --------------------------------------------------

class RejectedPort : public PortLayer, public ::testing::WithParamInterface<int32_t> {};

TEST_P(RejectedPort, TouchesNothing) {
    g_lpt_port = kEarlierPort;
    EXPECT_EQ(init_parallel_port(GetParam(), message_, sizeof message_), 0);
    EXPECT_STREQ(message_, kBadPort);
    EXPECT_TRUE(recorded_accesses().empty());
    EXPECT_TRUE(folder_.entries().empty()) << "the table was created";
    expect_earlier_port_state();
    EXPECT_EQ(get_lpt_base_address(GetParam()), 0u);
}

INSTANTIATE_TEST_SUITE_P(Numbers, RejectedPort, ::testing::Values(0, 4, -1, INT32_MIN, INT32_MAX));

// --- the base-address table -------------------------------------------------

struct TableCase {
    const char* name;
    std::optional<std::string> table;  // initial TROV.INI, none when absent
    int32_t port;
    std::vector<std::string> entries;  // LPT1..LPT3 after the call; empty: file unchanged
    unsigned probed_base;
};

const std::vector<std::string> kDefaults = {"888", "956", "632"};

const TableCase kTableCases[] = {
    {"absent_table_gets_defaults_lpt1", std::nullopt, 1, kDefaults, 888},
    {"absent_table_gets_defaults_lpt3", std::nullopt, 3, kDefaults, 632},
    {"other_port_setting_kept", "[LPT SECTION]\nLPT2_BASE=1000\n", 1, {"888", "1000", "632"}, 888},
    {"configured_entry_used_untouched", "[LPT SECTION]\nLPT2_BASE=1000\n", 2, {}, 1000},
    {"zero_entry_replaced",
     "[LPT SECTION]\nLPT1_BASE=0\nLPT2_BASE=1000\nLPT3_BASE=700\n",
     1,
     {"888", "1000", "700"},
     888},
    {"non_numbers_replaced",
     "[LPT SECTION]\nLPT1_BASE=abc\nLPT2_BASE=xyz\nLPT3_BASE=700\n",
     1,
     {"888", "956", "700"},
     888},
    {"large_valid_number_of_other_port_kept",
     "[LPT SECTION]\nLPT3_BASE=70000\n",
     2,
     {"888", "956", "70000"},
     956},
    {"entry_in_other_section_ignored", "[Other]\nLPT1_BASE=1000\n", 1, kDefaults, 888},
    {"highest_base_allowed", "[LPT SECTION]\nLPT1_BASE=65533\n", 1, {}, 65533},
};

void PrintTo(const TableCase& row, std::ostream* out) {
    *out << row.name;
}

class Table : public PortLayer, public ::testing::WithParamInterface<TableCase> {};

TEST_P(Table, KeepsValidEntriesAndProbesTheBase) {
    const auto& row = GetParam();
    if (row.table) write_file(kTable, *row.table);

    EXPECT_EQ(init_parallel_port(row.port, message_, sizeof message_), row.probed_base);

    EXPECT_EQ(recorded_accesses(), probe_accesses(row.probed_base, "0xFF"));
    if (row.entries.empty()) {
        EXPECT_EQ(read_file(kTable), row.table) << "the table was changed";
    } else {
        EXPECT_EQ(probe_record::table_entries(kTableFile), row.entries);
    }
    if (row.table && row.table->rfind("[Other]", 0) == 0) {
        EXPECT_EQ(profile_value(kTableFile, "Other", "LPT1_BASE"), "1000");
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, Table, ::testing::ValuesIn(kTableCases), test_support::RowName());

// --- bases beyond the I/O space ---------------------------------------------

class RefusedBase : public PortLayer, public ::testing::WithParamInterface<const char*> {};

TEST_P(RefusedBase, TouchesNoRegisterAndKeepsTable) {
    const std::string table = std::string("[LPT SECTION]\nLPT2_BASE=") + GetParam() + "\n";
    write_file(kTable, table);
    g_lpt_port = kEarlierPort;

    EXPECT_EQ(init_parallel_port(2, message_, sizeof message_), 0);

    EXPECT_EQ(std::string(message_),
              std::string("Base address ") + GetParam() +
                  " of LPT2 (LPT2_BASE in TROV.INI) is out of range: allowed are 1 to 65533");
    EXPECT_TRUE(recorded_accesses().empty());
    EXPECT_EQ(read_file(kTable), table);
    expect_earlier_port_state();
}

INSTANTIATE_TEST_SUITE_P(Values, RefusedBase,
                         ::testing::Values("65534", "65535", "65536", "4294967295"));

// --- the answer -------------------------------------------------------------

struct AnswerCase {
    const char* name;
    uint8_t status;
    const char* status_text;
    bool answers;
};

void PrintTo(const AnswerCase& row, std::ostream* out) {
    *out << row.name;
}

class Answer : public PortLayer, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(Answer, DecidedByStatusBit4Alone) {
    const auto& row = GetParam();
    dlportio_sim::set_status(row.status);

    EXPECT_EQ(init_parallel_port(1, message_, sizeof message_), row.answers ? 888 : 0);

    EXPECT_STREQ(message_, row.answers ? kUntouched : kNoAnswer);
    EXPECT_EQ(recorded_accesses(), probe_accesses(888, row.status_text));
}

INSTANTIATE_TEST_SUITE_P(Rows, Answer,
                         ::testing::Values(AnswerCase{"all_ones_counts", 0xFF, "0xFF", true},
                                           AnswerCase{"bit4_only", 0x10, "0x10", true},
                                           AnswerCase{"all_but_bit4", 0xEF, "0xEF", false},
                                           AnswerCase{"zero", 0x00, "0x00", false}),
                         test_support::RowName());

struct StateCase {
    int32_t port;
    lpt_port_state expected;
};

void PrintTo(const StateCase& row, std::ostream* out) {
    *out << "LPT" << row.port;
}

class State : public PortLayer, public ::testing::WithParamInterface<StateCase> {};

TEST_P(State, DescribesTheProbedPort) {
    dlportio_sim::set_status(0x00);  // filled even when the device does not answer
    init_parallel_port(GetParam().port, message_, sizeof message_);
    const auto& e = GetParam().expected;
    EXPECT_EQ(g_lpt_port.status_port, e.status_port);
    EXPECT_EQ(g_lpt_port.control_port, e.control_port);
    EXPECT_EQ(g_lpt_port.data_port, e.data_port);
    EXPECT_EQ(g_lpt_port.base_address, e.base_address);
    EXPECT_EQ(g_lpt_port.port_index, e.port_index);
    EXPECT_EQ(g_lpt_port.control_value, e.control_value);
}

INSTANTIATE_TEST_SUITE_P(Ports, State,
                         ::testing::Values(StateCase{1, {889, 890, 888, 888, 0, 0x08}},
                                           StateCase{2, {957, 958, 956, 956, 1, 0x08}},
                                           StateCase{3, {633, 634, 632, 632, 2, 0x08}}));

// --- short message buffers --------------------------------------------------

struct BufferCase {
    const char* name;
    int32_t port;
    const char* table;
    uint8_t status;
    int refusal;
};

void PrintTo(const BufferCase& row, std::ostream* out) {
    *out << row.name;
}

class ShortBuffer : public PortLayer, public ::testing::WithParamInterface<BufferCase> {};

TEST_P(ShortBuffer, ReasonCutToNineCharacters) {
    const auto& row = GetParam();
    write_file(kTable, row.table);
    dlportio_sim::set_status(row.status);
    dlportio_sim::set_refusal(row.refusal);
    char full[300];
    ASSERT_EQ(init_parallel_port(row.port, full, sizeof full), 0);
    dlportio_sim::reset();
    dlportio_sim::set_status(row.status);
    dlportio_sim::set_refusal(row.refusal);

    char small[11];
    std::memset(small, '#', sizeof small);
    EXPECT_EQ(init_parallel_port(row.port, small, 10), 0);
    EXPECT_EQ(std::string(small, 10), std::string(full, 9) + '\0');
    EXPECT_EQ(small[10], '#') << "wrote past the buffer";
}

INSTANTIATE_TEST_SUITE_P(Reasons, ShortBuffer,
                         ::testing::Values(BufferCase{"bad_port", 4, "", 0xFF, 0},
                                           BufferCase{"no_answer", 1, "", 0x00, 0},
                                           BufferCase{"refused_base", 1,
                                                      "[LPT SECTION]\nLPT1_BASE=65534\n", 0xFF, 0},
                                           BufferCase{"refused_access", 1, "", 0xFF, EPERM}),
                         test_support::RowName());

}  // namespace
