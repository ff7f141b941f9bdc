// dexhand-sim on the machine's own network, outside any private namespace:
// it must refuse before it binds or sends anything. CTest runs this program
// outside the namespace on purpose; it skips where there is no network to
// refuse (loopback only).
#include <gtest/gtest.h>

#include <chrono>

#include "private_network.h"
#include "support/child_process.h"

using namespace std::chrono_literals;

TEST(DexhandSimRefusal, OutsideAPrivateNamespaceItRefusesWithStatus2) {
    if (sim::survey_network().only_loopback) {
        GTEST_SKIP() << "loopback is the only interface here: nothing to refuse";
    }
    // An address this machine does not have: had the program tried to bind
    // it, it would end with status 1 and another message.
    dexhand_test::ChildProcess sim({DEXHAND_SIM_PROGRAM, "--hand", "qmhv2@192.168.137.39"});

    EXPECT_EQ(sim.end(0, 5s), 2);
    EXPECT_EQ(sim.err.rfind("dexhand-sim: refusing to start outside a private network namespace (found network "
                            "interface \"",
                            0),
              0u)
        << sim.err;
    EXPECT_NE(sim.err.find("tests/netns/run-in-netns build/sim/dexhand-sim"), std::string::npos) << sim.err;
    EXPECT_EQ(sim.out, "");
}
