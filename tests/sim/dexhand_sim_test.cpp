// dexhand-sim as a user runs it, inside the private network namespace: the
// example scenario's hands found end to end by the library's client, its
// datagram log, a refused argument and the stop signals. (Each option, each
// mistake's line and each log line: program_units_test.)
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include "client/dexhand.h"
#include "support/child_process.h"

using dexhand_test::ChildProcess;
using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

namespace {

const std::string kQmhv2 = "192.168.137.39";
const std::string kQmhv1 = "192.168.137.10";

}  // namespace

TEST(DexhandSim, TheExampleScenarioServesTheClientAndLogsEachDatagram) {
    ChildProcess sim(
        {DEXHAND_SIM_PROGRAM, "--log", "--scenario", DEXHAND_SOURCE_DIR "/sim/program/example-scenario.json"});
    ASSERT_TRUE(sim.printed("(ignores discovery)\n", 5s)) << sim.err;
    EXPECT_EQ(sim.out.rfind("dexhand-sim: 4 hands ready\n"
                            "  qmhv2@192.168.137.39  name qmhv2  type QMH-12L  serial LAB-QMH12L-01\n"
                            "  qmhv1@192.168.137.10  name qmhv1  type QMH-6R  serial QMH6R-0010  (delay 40 ms)  "
                            "(garbage before answers)\n"
                            "  QSH@192.168.137.19  name QSH  type QSH-6  serial QSH6-0019  (silent)\n"
                            "  qmhv2@192.168.137.40  name qmhv2  type QMH-12R  serial QMH12R-0040  "
                            "(ignores discovery)\n",
                            0),
              0u)
        << sim.out;

    QmHand::DexHand client;
    testing::internal::CaptureStdout();
    ASSERT_EQ(client.init(0), 0) << testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(client.get_ip_list(), (Strings{kQmhv2, kQmhv1}));  // one silent, one ignoring discovery
    EXPECT_EQ((Strings{client.get_type(kQmhv2), client.get_driver_ver(kQmhv2), client.get_hardware_ver(kQmhv2),
                       client.get_type(kQmhv1), client.get_driver_ver(kQmhv1), client.get_hardware_ver(kQmhv1)}),
              (Strings{"QMH-12L", "1.3.0.0", "2.1.0.4", "QMH-6R", "1.2.0", "1.4.3"}));
    EXPECT_EQ(client.hand_manager.serial_numbers, (Strings{"LAB-QMH12L-01", "QMH6R-0010"}));

    client.get_pos(kQmhv2);
    ASSERT_TRUE(sim.printed(R"(cmd":"/pva"}")", 2s)) << sim.out;
    EXPECT_TRUE(sim.printed("\"angle\":[", 2s)) << sim.out;
    EXPECT_NE(sim.out.find(R"( discovery@192.168.137.255:2334 recv from 192.168.137.1:)"), std::string::npos);
    EXPECT_NE(sim.out.find(R"( qmhv2@192.168.137.39:2334 sent to 192.168.137.1:)"), std::string::npos) << sim.out;
}

TEST(DexhandSim, ABadArgumentEndsWithStatus2AndItsLine) {
    ChildProcess sim({DEXHAND_SIM_PROGRAM, "--hand", "qmhv2"});
    EXPECT_EQ(sim.end(0, 5s), 2);
    EXPECT_EQ(sim.err, "dexhand-sim: \"qmhv2\" is not KIND@IP (see --help)\n");
    EXPECT_EQ(sim.out, "");
}

TEST(DexhandSim, StopSignalsEndItPromptlyWithStatus0) {
    for (const int number : {SIGTERM, SIGINT}) {
        ChildProcess sim({DEXHAND_SIM_PROGRAM, "--hand", "qmhv2@" + kQmhv2});
        ASSERT_TRUE(sim.printed("hands ready\n", 5s)) << sim.err;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(sim.end(number, 5s), 0) << number;
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s) << number;
    }
}
