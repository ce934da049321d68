// The port layer on Windows, where the driver library has no error query:
// whatever the driver did, the probe makes its three accesses and decides by
// the status byte alone (a failed read that returns 0x00 is "no answer").
#include "lpt_port.h"

#include "probe_record.h"
#include "simulated/dlportio_sim.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace {

TEST(DriverWithoutErrorQuery, ProbeDecidesByTheStatusByteAlone) {
    test_support::ScratchWorkingFolder folder;
    dlportio_sim::reset();
    dlportio_sim::set_refusal(EPERM);
    char message[300] = {};

    EXPECT_EQ(init_parallel_port(1, message, sizeof message), 0);

    EXPECT_STREQ(message, "Roduroz does not answer! Connect the parallel cable to PC");
    EXPECT_EQ(
        probe_record::recorded_accesses(),
        (probe_record::Lines{"W 890 0x04 refused", "W 890 0x08 refused", "R 889 0x00 refused"}));
}

}  // namespace
