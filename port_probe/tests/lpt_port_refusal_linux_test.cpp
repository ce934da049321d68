// The port layer when the Linux driver library refuses port access: the
// probe stops at the first refused access and says why, in the library's
// words when it has them, otherwise in the errno's.
#include "lpt_port.h"

#include "probe_record.h"
#include "simulated/dlportio_sim.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace {

struct RefusalCase {
    const char* name;
    int error;
    const char* library_reason;  // "" when the library gives none
    const char* reason;          // what follows the port in the message
};

void PrintTo(const RefusalCase& row, std::ostream* out) {
    *out << row.name;
}

class Refusal : public ::testing::TestWithParam<RefusalCase> {
protected:
    void SetUp() override {
        dlportio_sim::reset();
        g_lpt_port = {};
    }

    test_support::ScratchWorkingFolder folder_;
    char message_[300] = {};
};

TEST_P(Refusal, FailsAtTheFirstRefusedAccessAndSaysWhy) {
    dlportio_sim::set_refusal(GetParam().error, GetParam().library_reason);

    EXPECT_EQ(init_parallel_port(1, message_, sizeof message_), 0);

    EXPECT_EQ(std::string(message_),
              std::string("No access to I/O port 890 (0x37A) of LPT1: ") + GetParam().reason);
    EXPECT_EQ(probe_record::recorded_accesses(), probe_record::Lines{"W 890 0x04 refused"});
}

INSTANTIATE_TEST_SUITE_P(
    Errors, Refusal,
    ::testing::Values(RefusalCase{"EPERM_without_text", EPERM, "", "Operation not permitted"},
                      RefusalCase{"library_reason", EBUSY,
                                  "/dev/parport0 is in use by another program (gave up after 2 s)",
                                  "/dev/parport0 is in use by another program (gave up after 2 s)"},
                      RefusalCase{"errno_without_text", EIO, "", "Input/output error"}),
    test_support::RowName());

}  // namespace
