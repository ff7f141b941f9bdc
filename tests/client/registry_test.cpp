// Discovery and registration through the client, against simulated hands that
// answer discovery only.
#include <gtest/gtest.h>

#include <stdexcept>

#include "client/dexhand.h"
#include "protocols/inspire.h"
#include "protocols/qmhv1.h"
#include "protocols/qmhv2.h"
#include "simulator.h"
#include "support/fd_count.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

using Strings = std::vector<std::string>;

const std::string kNotFound = "\033[0;31m [Error] [[Qhand]][init()] Connot find server.\033[0m\n";

// A hand that answers discovery with text, delay_ms after the request (which
// fixes the order of the replies).
std::shared_ptr<sim::Hand> replying(sim::Simulator& simulator, const std::string& ip, const std::string& text,
                                    int delay_ms = 0) {
    auto hand = simulator.add<sim::Hand>(ip);
    sim::DiscoveryAnswer answer;
    answer.text = text;
    answer.delay_ms = delay_ms;
    hand->set_discovery(answer);
    return hand;
}

std::string reply(const std::string& name, const std::string& type, const std::string& ip) {
    return sim::JsonObject().str("name", name).str("type", type).str("IP", ip).text();
}

struct Init {
    int result;
    std::string output;
};

Init run_init(QmHand::DexHand& client, int argument = 0) {
    CaptureStdout();
    const int result = client.init(argument);
    return Init{result, GetCapturedStdout()};
}

}  // namespace

TEST(Registry, NothingAnswersMeansConnotFindServer) {
    sim::Simulator simulator;
    QmHand::DexHand client;
    EXPECT_TRUE(client.get_ip_list().empty());
    const Init init = run_init(client);
    EXPECT_EQ(init.result, -1);
    EXPECT_EQ(init.output, "DEVICE RECVFROM TIMEOUT\n" + kNotFound);
    EXPECT_TRUE(client.get_ip_list().empty());
}

TEST(Registry, EachNameGetsItsProtocolClassAndDestructionClosesItsEndpoints) {
    sim::Simulator simulator;
    replying(simulator, "192.168.137.19", reply("QSH", "whatever", "192.168.137.19"), 0);
    replying(simulator, "192.168.137.10", reply("qmhv1", "QMH-6R", "192.168.137.10"), 80);
    replying(simulator, "192.168.137.40", reply("qmhv2", "QMH-12R", "192.168.137.40"), 160);
    const int before = dexhand_test::open_descriptors();
    {
        QmHand::DexHand client;
        const Init init = run_init(client, 1);
        EXPECT_EQ(init.result, 0);
        EXPECT_EQ(init.output, "");
        EXPECT_EQ(client.get_ip_list(), (Strings{"192.168.137.19", "192.168.137.10", "192.168.137.40"}));
        auto& hands = client.hand_manager.hands;
        ASSERT_EQ(hands.size(), 3u);
        EXPECT_NE(dynamic_cast<BaseHandProtocol::Inspire*>(hands[0].get()), nullptr);
        EXPECT_NE(dynamic_cast<BaseHandProtocol::Qmhv1*>(hands[1].get()), nullptr);
        EXPECT_NE(dynamic_cast<BaseHandProtocol::Qmhv2*>(hands[2].get()), nullptr);
        EXPECT_EQ(dexhand_test::open_descriptors(), before + 9);  // three endpoints per hand
    }
    EXPECT_EQ(dexhand_test::open_descriptors(), before);
}

TEST(Registry, RefusedHandsStopRegistrationAndKeepThoseBefore) {
    struct Case {
        std::vector<std::string> replies;
        std::string line;
        Strings registered;
    };
    const std::vector<Case> cases = {
        {{reply("QSH", "x", "192.168.137.20")}, "[Qhand] init(): ip: 192.168.137.20unexcepted!\n", {}},
        {{reply("qmhv1", "QMH-12L", "192.168.137.10")}, "[Qhand] init(): type: QMH-12Lunexcepted!\n", {}},
        {{reply("qmhv2", "QMH-6L", "192.168.137.11"), reply("qmhv2", "QMH-12L", "192.168.137.12")},
         "[Qhand] init(): type: QMH-6Lunexcepted!\n",
         {}},
        {{reply("qmhv1", "QMH-6L", "192.168.137.10"), reply("qmhv1", "QMH-7L", "192.168.137.11"),
          reply("qmhv2", "QMH-12L", "192.168.137.12")},
         "[Qhand] init(): type: QMH-7Lunexcepted!\n",
         {"192.168.137.10"}},
        {{R"({"name":"qmhv1","IP":"192.168.137.10"})"}, "[Qhand] init(): ip type name Dimensions are different\n", {}},
        {{R"({"name":"qmhv1","type":"QMH-6L","IP":"192.168.137.10","ip_address":"192.168.137.10"})"},
         "[Qhand] init(): ip type name Dimensions are different\n",
         {}},
    };
    for (const Case& c : cases) {
        sim::Simulator simulator;
        for (std::size_t i = 0; i < c.replies.size(); ++i) {
            replying(simulator, "192.168.137." + std::to_string(60 + i), c.replies[i], static_cast<int>(i) * 80);
        }
        QmHand::DexHand client;
        const Init init = run_init(client);
        EXPECT_EQ(init.result, -1) << c.line;
        EXPECT_EQ(init.output, c.line);
        EXPECT_EQ(client.get_ip_list(), c.registered) << c.line;
        EXPECT_EQ(client.hand_manager.hands.size(), c.registered.size());
    }
}

TEST(Registry, DuplicateAddressesAreRegisteredThenRefused) {
    sim::Simulator simulator;
    replying(simulator, "192.168.137.39", reply("qmhv2", "QMH-12L", "192.168.137.39"), 0);
    replying(simulator, "192.168.137.41", reply("qmhv1", "QMH-6L", "192.168.137.39"), 100);
    QmHand::DexHand client;
    const Init init = run_init(client);
    EXPECT_EQ(init.result, -1);
    EXPECT_EQ(init.output, "[Error] [[Qhand]][init()] Server illegal duplicate ip.\n");
    EXPECT_EQ(client.get_ip_list(), (Strings{"192.168.137.39", "192.168.137.39"}));
    ASSERT_EQ(client.hand_manager.hands.size(), 2u);
    // Every lookup reaches the first of the two.
    EXPECT_EQ(client.get_name("192.168.137.39"), "qmhv2");
    EXPECT_EQ(client.reboot("192.168.137.39"), -1);  // the second-generation hand has no reboot
}

TEST(Registry, AddressThatIsNotIpv4ThrowsFromInitAndKeepsEarlierHands) {
    sim::Simulator simulator;
    replying(simulator, "192.168.137.10", reply("qmhv1", "QMH-6L", "192.168.137.10"), 0);
    replying(simulator, "192.168.137.11", reply("qmhv1", "QMH-6L", "hand-eleven"), 100);
    QmHand::DexHand client;
    EXPECT_THROW(client.init(0), std::invalid_argument);
    EXPECT_EQ(client.get_ip_list(), Strings{"192.168.137.10"});
}

TEST(Registry, SecondInitStartsFromNothing) {
    sim::Simulator simulator;
    auto hand = replying(simulator, "192.168.137.39", reply("qmhv2", "QMH-12L", "192.168.137.39"));
    QmHand::DexHand client;
    ASSERT_EQ(run_init(client).result, 0);
    ASSERT_EQ(client.get_ip_list(), Strings{"192.168.137.39"});

    sim::DiscoveryAnswer silent;
    silent.answer = false;
    hand->set_discovery(silent);
    const Init second = run_init(client);
    EXPECT_EQ(second.result, -1);
    EXPECT_EQ(second.output, "DEVICE RECVFROM TIMEOUT\n" + kNotFound);
    EXPECT_TRUE(client.get_ip_list().empty());
    EXPECT_TRUE(client.hand_manager.hands.empty());
    EXPECT_TRUE(client.hand_manager.names.empty());
    EXPECT_TRUE(client.hand_manager.types.empty());
    EXPECT_TRUE(client.hand_manager.ip_addresses.empty());
}

TEST(Identity, QueriesCheckTheTextTheRegistryAndTheListLength) {
    sim::Simulator simulator;
    replying(simulator, "192.168.137.39",
             sim::JsonObject()
                 .str("name", "qmhv2")
                 .str("type", "QMH-12L")
                 .str("IP", "192.168.137.39")
                 .array("hardware_verison", {1, 2})
                 .array("firmware_verison", {3, 4, 5, 6})
                 .text(),
             0);
    replying(simulator, "192.168.137.40", reply("qmhv2", "QMH-12R", "192.168.137.40"), 100);
    QmHand::DexHand client;

    // Before init every query reports "not found".
    CaptureStdout();
    EXPECT_EQ(client.get_name("192.168.137.39"), "");
    EXPECT_EQ(GetCapturedStdout(), "[Error] [dexhand][get_name(std::string ip)] IP: 192.168.137.39 not found.\n");

    ASSERT_EQ(run_init(client).result, 0);
    EXPECT_EQ(client.get_name("192.168.137.39"), "qmhv2");
    EXPECT_EQ(client.get_type("192.168.137.39"), "QMH-12L");
    EXPECT_EQ(client.get_driver_ver("192.168.137.39"), "1.2.0.0");
    EXPECT_EQ(client.get_hardware_ver("192.168.137.39"), "3.4.5.6");

    // The second hand sent no versions: empty, and nothing printed.
    CaptureStdout();
    EXPECT_EQ(client.get_driver_ver("192.168.137.40"), "");
    EXPECT_EQ(client.get_hardware_ver("192.168.137.40"), "");
    EXPECT_EQ(GetCapturedStdout(), "");

    CaptureStdout();
    EXPECT_EQ(client.get_name("192.168.137.300"), "");
    EXPECT_EQ(client.get_name("192.168.137.39 "), "");
    EXPECT_EQ(client.get_type("192.168.137.50"), "");
    EXPECT_EQ(client.get_hardware_ver("192.168.137.039"), "");
    EXPECT_EQ(GetCapturedStdout(),
              "[Error] [dexhand][get_name(std::string ip)] Invalid IP: 192.168.137.300\n"
              "[Error] [dexhand][get_name(std::string ip)] Invalid IP: 192.168.137.39 \n"
              "[Error] [dexhand][get_type(std::string ip)] IP: 192.168.137.50 not found.\n"
              "[Error] [dexhand][get_hardware_ver(std::string ip)] IP: 192.168.137.039 not found.\n");

    // A registry whose discovery lists were cut short answers without reading past them.
    client.hand_manager.names.resize(1);
    CaptureStdout();
    EXPECT_EQ(client.get_name("192.168.137.40"), "");
    EXPECT_EQ(GetCapturedStdout(),
              "[Error] [dexhand][get_name(std::string ip)] Index out of bounds for IP: 192.168.137.40\n");
}

TEST(Identity, AddressPattern) {
    QmHand::DexHand client;
    for (const char* ok : {"192.168.137.19", "0.0.0.0", "255.255.255.255", "000.0.0.0", "192.168.137.019", "1.2.3.4"}) {
        EXPECT_TRUE(client.isValidIP(ok)) << ok;
    }
    for (const char* bad : {"192.168.137.256", "192.168.137", "192.168.137.1.1", " 192.168.137.1", "192.168.137.1:2333",
                            "192.168.137.3x", "", "0192.168.137.1", "a.b.c.d", "192.168.137.1\n"}) {
        EXPECT_FALSE(client.isValidIP(bad)) << bad;
    }
}
