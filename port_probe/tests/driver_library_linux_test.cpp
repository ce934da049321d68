// Vestrel with driver libraries other than the simulated one:
//   - the real Linux library where the kernel refuses port access (no
//     CAP_SYS_RAWIO, no ioperm support as on most virtual machines, no
//     kernel parallel port): the program must neither die on a privileged
//     instruction nor report an answer. Skipped where access would be
//     granted, so that the test never drives real hardware;
//   - a library with only the two port functions and no error query, as the
//     Windows driver library has: Vestrel starts and takes every access as
//     done.
#include "probe_record.h"
#include "run_program.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#endif

namespace {

bool port_access_granted() {
#if defined(__x86_64__) || defined(__i386__)
    if (ioperm(0x37A, 1, 1) != 0) return false;
    ioperm(0x37A, 1, 0);
    return true;
#else
    return false;
#endif
}

std::string result(const char* key) {
    return probe_record::result_value("request.ini", key);
}

TEST(RealDriver, RefusedAccessFailsWithReason) {
    if (port_access_granted())
        GTEST_SKIP() << "this process may reach I/O ports; not touching hardware";
    test_support::ScratchWorkingFolder folder;
    test_support::write_file("request.ini", "[Vestrel]\nLptPort=1\n");

    const ProgramRun run = run_program(VESTREL_PROGRAM, {"request.ini"}, {"LD_LIBRARY_PATH="});

    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.standard_error, "");
    EXPECT_EQ(result("ReturnValue"), "Failed");
    EXPECT_EQ(result("FailureReason").rfind("No access to I/O port 890 (0x37A) of LPT1: ", 0), 0u)
        << result("FailureReason");
}

struct TwoFunctionCase {
    const char* name;
    std::vector<std::string> environment;
    const char* return_value;
    const char* reason;
};

void PrintTo(const TwoFunctionCase& row, std::ostream* out) {
    *out << row.name;
}

class TwoFunctionLibrary : public ::testing::TestWithParam<TwoFunctionCase> {};

TEST_P(TwoFunctionLibrary, StartsAndTakesAccessesAsDone) {
    test_support::ScratchWorkingFolder folder;
    test_support::write_file("request.ini", "[Vestrel]\nLptPort=1\n");
    auto environment = library_folder_environment(TWO_FUNCTION_DRIVER_DIR);
    environment.insert(environment.end(), GetParam().environment.begin(),
                       GetParam().environment.end());
    environment.push_back("DLPORTIO_SIM_LOG=accesses.txt");

    const ProgramRun run = run_program(VESTREL_PROGRAM, {"request.ini"}, environment);

    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.standard_error, "");
    EXPECT_EQ(result("ReturnValue"), GetParam().return_value);
    EXPECT_EQ(result("FailureReason"), GetParam().reason);
    EXPECT_TRUE(test_support::read_file("accesses.txt").has_value())
        << "the library was not the one loaded";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, TwoFunctionLibrary,
    ::testing::Values(TwoFunctionCase{"answer",
                                      {"DLPORTIO_SIM_STATUS=0x10"},
                                      "Success",
                                      "request.ini: port = 1, addr = 888"},
                      // A refusal it cannot report reads as a silent device.
                      TwoFunctionCase{"refusal_unknown_to_the_program",
                                      {"DLPORTIO_SIM_ERRNO=EPERM"},
                                      "Failed",
                                      "Roduroz does not answer! Connect the parallel cable to PC"}),
    test_support::RowName());

}  // namespace
