// dexhand-sim as a user runs it, inside the private network namespace: its
// hands found end to end by the library's client, its scenario file, its
// datagram log, its argument checks and its way of stopping.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "client/dexhand.h"
#include "sim/sim_process.h"

using dexhand_test::SimProcess;
using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

namespace {

const std::string kProgram = DEXHAND_SIM_PROGRAM;
const std::string kQmhv2 = "192.168.137.39";
const std::string kQmhv1 = "192.168.137.10";
const std::string kInspire = "192.168.137.19";
const Strings kThreeHands = {"--hand", "qmhv2@" + kQmhv2, "--hand", "qmhv1@" + kQmhv1, "--hand", "QSH@" + kInspire};

Strings command(const Strings& args) {
    Strings all{kProgram};
    all.insert(all.end(), args.begin(), args.end());
    return all;
}

// Runs init quietly; the client prints its own lines on failure only.
int init(QmHand::DexHand& client) {
    testing::internal::CaptureStdout();
    const int result = client.init(0);
    testing::internal::GetCapturedStdout();
    return result;
}

std::string write_file(const std::string& name, const std::string& text) {
    const std::string path = testing::TempDir() + name;
    std::ofstream(path) << text;
    return path;
}

}  // namespace

// The travel of joints is the hand models' (lively_hand_test); here the
// program's lines and the identities its hands give discovery.
TEST(DexhandSim, ReadyLineOneLinePerHandAndEachHandsDefaultIdentity) {
    SimProcess sim(command(kThreeHands));
    ASSERT_TRUE(sim.wait_for_output("dexhand-sim: 3 hands ready\n", 5s)) << sim.out << sim.err;
    EXPECT_TRUE(sim.wait_for_output("QSH@192.168.137.19  name QSH  type QSH-6", 2s)) << sim.out;
    EXPECT_EQ(sim.out.find("dexhand-sim: 3 hands ready\n"), 0u) << sim.out;
    EXPECT_NE(sim.out.find("qmhv2@192.168.137.39  name qmhv2  type QMH-12R"), std::string::npos) << sim.out;
    EXPECT_NE(sim.out.find("qmhv1@192.168.137.10  name qmhv1  type QMH-6R"), std::string::npos) << sim.out;

    QmHand::DexHand client;
    ASSERT_EQ(init(client), 0);
    Strings identities;
    for (const std::string& ip : {kQmhv1, kInspire, kQmhv2}) {
        for (const std::string& text : {client.get_name(ip), client.get_type(ip), client.get_driver_ver(ip),
                                        client.get_hardware_ver(ip)}) {
            identities.push_back(text);
        }
    }
    EXPECT_EQ(identities, (Strings{"qmhv1", "QMH-6R", "1.2.0", "1.4.3", "QSH", "QSH-6", "3.1", "2.0.5", "qmhv2",
                                   "QMH-12R", "1.2.0.0", "2.0.3.0"}));
}

TEST(DexhandSim, ScenarioSetsIdentitiesAndSilencesAHand) {
    const std::string scenario = write_file("scenario.json", R"({
        "hands": [
            {"hand": "qmhv2@192.168.137.39", "type": "QMH-12L", "serial_number": "LAB-7",
             "driver_version": "4.3.2.1", "firmware_version": "9.8.7.6"},
            {"hand": "QSH@192.168.137.19", "faults": {"silent": true}}
        ]})");
    SimProcess sim(command({"--scenario", scenario}));
    ASSERT_TRUE(sim.wait_for_output("dexhand-sim: 2 hands ready\n", 5s)) << sim.err;
    QmHand::DexHand client;

    ASSERT_EQ(init(client), 0);
    EXPECT_EQ(client.get_ip_list(), Strings{kQmhv2});
    EXPECT_EQ((Strings{client.get_type(kQmhv2), client.get_driver_ver(kQmhv2), client.get_hardware_ver(kQmhv2)}),
              (Strings{"QMH-12L", "4.3.2.1", "9.8.7.6"}));
    EXPECT_EQ(client.hand_manager.serial_numbers, Strings{"LAB-7"});
}

TEST(DexhandSim, ExampleScenarioRuns) {
    SimProcess sim(command({"--scenario", DEXHAND_SOURCE_DIR "/sim/program/example-scenario.json"}));
    ASSERT_TRUE(sim.wait_for_output("dexhand-sim: 4 hands ready\n", 5s)) << sim.err;
    QmHand::DexHand client;

    ASSERT_EQ(init(client), 0);
    EXPECT_EQ(client.get_ip_list(), (Strings{kQmhv2, kQmhv1}));  // one silent, one ignoring discovery
}

TEST(DexhandSim, LogShowsEachDatagramReceivedAndSent) {
    SimProcess sim(command({"--log", "--hand", "qmhv2@" + kQmhv2}));
    ASSERT_TRUE(sim.wait_for_output("hands ready\n", 5s)) << sim.err;
    QmHand::DexHand client;
    ASSERT_EQ(init(client), 0);
    client.get_pos(kQmhv2);

    ASSERT_TRUE(sim.wait_for_output(R"(cmd":"/pva"}")", 2s)) << sim.out;
    EXPECT_TRUE(sim.wait_for_output("\"angle\":[", 2s)) << sim.out;
    EXPECT_NE(sim.out.find(R"( discovery@192.168.137.255:2334 recv from 192.168.137.1:)"), std::string::npos);
    EXPECT_NE(sim.out.find(R"( 512 bytes text "111111111111111" + 497 zero bytes)"), std::string::npos) << sim.out;
    EXPECT_NE(sim.out.find(R"( qmhv2@192.168.137.39:2334 sent to 192.168.137.1:)"), std::string::npos) << sim.out;
    EXPECT_NE(sim.out.find(R"( bytes text "{"name":"qmhv2","type":"QMH-12R","ip_address":"192.168.137.39")"),
              std::string::npos)
        << sim.out;
}

TEST(DexhandSim, BadArgumentsEndWithStatus2AndOneLine) {
    const std::string typo = write_file("typo.json", R"({"hands":[{"hand":"qmhv2@192.168.137.39","nmae":"x"}]})");
    const std::vector<Strings> cases = {
        {},
        {"--hand", "qmhv3@192.168.137.39"},
        {"--hand", "qmhv2@192.168.138.39"},
        {"--hand", "qmhv2@192.168.137.255"},
        {"--hand", "qmhv2"},
        {"--hand"},
        {"--hand", "qmhv2@192.168.137.39", "--hand", "qmhv1@192.168.137.39"},
        {"--hand", "qmhv2@192.168.137.39", "--loud"},
        {"--log=yes", "--hand", "qmhv2@192.168.137.39"},
        {"--scenario", testing::TempDir() + "no-such-file.json"},
        {"--scenario", typo},
    };
    for (const Strings& args : cases) {
        SimProcess sim(command(args));
        std::string shown;
        for (const auto& arg : args) {
            shown += arg + " ";
        }
        EXPECT_EQ(sim.wait_exit(5s), 2) << shown;
        EXPECT_EQ(sim.err.rfind("dexhand-sim: ", 0), 0u) << shown << sim.err;
        EXPECT_EQ(std::count(sim.err.begin(), sim.err.end(), '\n'), 1) << shown << sim.err;
        EXPECT_EQ(sim.out, "") << shown;
    }
}

TEST(DexhandSim, StopSignalsEndItPromptlyWithStatus0) {
    for (const int number : {SIGTERM, SIGINT}) {
        SimProcess sim(command(kThreeHands));
        ASSERT_TRUE(sim.wait_for_output("hands ready\n", 5s)) << sim.err;
        const auto start = std::chrono::steady_clock::now();
        sim.signal(number);
        EXPECT_EQ(sim.wait_exit(5s), 0) << number;
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s) << number;
    }
}
