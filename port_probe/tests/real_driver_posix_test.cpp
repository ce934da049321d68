// Vestrel with the real Linux driver library, where the kernel refuses port
// access (no CAP_SYS_RAWIO, or no ioperm support as on most virtual
// machines): the program must neither die on a privileged instruction nor
// report an answer. Skipped where access would be granted, so that the test
// never drives real hardware.
#include "private_profile.h"
#include "run_program.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <string>

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

TEST(RealDriver, RefusedAccessFailsWithReason) {
    if (port_access_granted())
        GTEST_SKIP() << "this process may reach I/O ports; not touching hardware";
    TempFolder folder;
    write_file("request.ini", "[Vestrel]\nLptPort=1\n");

    const ProgramRun run = run_program(VESTREL_PROGRAM, {"request.ini"}, {"LD_LIBRARY_PATH="});

    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.standard_error, "");
    char value[300];
    GetPrivateProfileStringA("Vestrel", "ReturnValue", "", value, sizeof value, "request.ini");
    EXPECT_STREQ(value, "Failed");
    GetPrivateProfileStringA("Vestrel", "FailureReason", "", value, sizeof value, "request.ini");
    EXPECT_EQ(std::string(value).rfind("No access to I/O port 890 (0x37A) of LPT1: ", 0), 0u)
        << value;
}

}  // namespace
