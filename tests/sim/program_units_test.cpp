// The units of dexhand-sim without a process: how a datagram reads in the
// log, what the command line and a scenario file set, and each mistake's line.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "options.h"
#include "traffic_log.h"

using dexhand_sim::datagram_text;

// JSON and other text quoted with its control bytes escaped, zero padding
// counted, binary frames in hex.
TEST(DatagramText, ShowsTextQuotedAndFramesInHex) {
    EXPECT_EQ(datagram_text(R"({"method":"GET","cmd":"/pva"})"), R"(text "{"method":"GET","cmd":"/pva"}")");
    EXPECT_EQ(datagram_text(std::string(15, '1') + std::string(497, '\0')),
              R"(text "111111111111111" + 497 zero bytes)");
    EXPECT_EQ(datagram_text("0.000 1.000\n\t\\\x01"), R"(text "0.000 1.000\n\t\\\x01")");
    EXPECT_EQ(datagram_text(std::string("\xEB\x90\x01\x04\x12\xEC\x03\x01\x07", 9)), "hex eb 90 01 04 12 ec 03 01 07");
    EXPECT_EQ(datagram_text(std::string("\x01\x11\x00\x00", 4)), "hex 01 11 00 00");
    EXPECT_EQ(datagram_text(std::string(2, '\0')), "hex 00 00");
}

TEST(TrafficLine, NamesTimeHandPortDirectionPeerAndLength) {
    sim::Traffic traffic;
    traffic.sent = true;
    traffic.port = 2334;
    traffic.peer_ip = "192.168.137.1";
    traffic.peer_port = 40000;
    traffic.bytes = "{}";
    EXPECT_EQ(dexhand_sim::traffic_line("16:20:01.123", "qmhv2@192.168.137.39", traffic),
              R"(16:20:01.123 qmhv2@192.168.137.39:2334 sent to 192.168.137.1:40000 2 bytes text "{}")");
}

// The members that the example scenario of dexhand_sim_test leaves out.
TEST(Scenario, SetsNameCopiesAndACalmSimulator) {
    dexhand_sim::Options options;
    std::string error;
    ASSERT_TRUE(dexhand_sim::read_scenario(
        R"({"lively": false, "hands": [{"hand": "qmhv1@192.168.137.10", "name": "n", "faults": {"copies": 3}}]})",
        "test", options, error))
        << error;
    EXPECT_FALSE(options.lively);
    ASSERT_EQ(options.hands.size(), 1u);
    EXPECT_EQ(options.hands[0].identity.name, "n");
    EXPECT_EQ(options.hands[0].faults.copies, 3);
}

TEST(Scenario, MistakesNameTheirPlace) {
    dexhand_sim::Options options;
    std::string error;
    EXPECT_FALSE(dexhand_sim::read_scenario(
        R"({"hands": [{"hand": "qmhv1@192.168.137.10"}, {"hand": "qmhv2@192.168.137.39", "faults": {"copies": 0}}]})",
        "s.json", options, error));
    EXPECT_EQ(error, "s.json: hands[1].faults.copies must be a whole number from 1 to 100");
    EXPECT_FALSE(dexhand_sim::read_scenario(R"({"hands":[{"hand":"qmhv2@192.168.137.39","nmae":"x"}]})", "t.json",
                                            options, error));
    EXPECT_EQ(error, R"(t.json: hands[0]: unknown member "nmae" (hand, name, type, serial_number, driver_version, )"
                     R"(firmware_version, discovery, faults))");
}

// Each argument list as the program gets it, after its own name.
TEST(Options, EachMistakeIsRefusedWithItsLine) {
    using Args = std::vector<const char*>;
    const std::vector<std::pair<Args, std::string>> cases = {
        {{}, "no hands: give --hand KIND@IP or --scenario FILE"},
        {{"--hand", "qmhv3@192.168.137.39"},
         R"(unknown hand kind "qmhv3" in "qmhv3@192.168.137.39" (kinds: qmhv1, qmhv2, QSH))"},
        {{"--hand", "qmhv2@192.168.138.39"},
         R"("192.168.138.39" in "qmhv2@192.168.138.39" is not an address of 192.168.137.1 to 192.168.137.254)"},
        {{"--hand", "qmhv2@192.168.137.255"},
         R"("192.168.137.255" in "qmhv2@192.168.137.255" is not an address of 192.168.137.1 to 192.168.137.254)"},
        {{"--hand", "qmhv2"}, R"("qmhv2" is not KIND@IP)"},
        {{"--hand"}, "--hand needs a value"},
        {{"--hand", "qmhv2@192.168.137.39", "--hand", "qmhv1@192.168.137.39"}, "two hands at 192.168.137.39"},
        {{"--hand=qmhv2@192.168.137.39", "--loud"}, R"(unknown argument "--loud")"},
        {{"--log=yes", "--hand", "qmhv2@192.168.137.39"}, "--log takes no value"},
        {{"--scenario", "/nonexistent/s.json"}, "cannot read scenario file /nonexistent/s.json"},
    };
    for (auto [args, line] : cases) {
        args.insert(args.begin(), "dexhand-sim");
        dexhand_sim::Options options;
        std::string error;
        EXPECT_FALSE(dexhand_sim::parse_options(static_cast<int>(args.size()), args.data(), options, error)) << line;
        EXPECT_EQ(error, line);
    }
}
