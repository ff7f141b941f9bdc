// Discovery against simulated hands inside the private namespace.
#include <gtest/gtest.h>

#include "manager/qhand.h"
#include "simulator.h"

using sim::DiscoveryAnswer;
using sim::JsonObject;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

using Strings = std::vector<std::string>;

DiscoveryAnswer answer(const std::string& text) {
    DiscoveryAnswer a;
    a.text = text;
    return a;
}

std::shared_ptr<sim::Hand> hand_at(sim::Simulator& simulator, const std::string& ip, const std::string& reply) {
    auto hand = simulator.add<sim::Hand>(ip);
    hand->set_discovery(answer(reply));
    return hand;
}

struct Discovered {
    int result = 0;
    std::string output;
    std::chrono::milliseconds took{0};
};

Discovered discover(hand_ws::Qhand& manager) {
    Discovered run;
    CaptureStdout();
    const auto start = std::chrono::steady_clock::now();
    run.result = manager.find_hand();
    run.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    run.output = GetCapturedStdout();
    return run;
}

}  // namespace

TEST(Discovery, NoHandMeansReceiveTimeoutAfterTheWholeSecond) {
    sim::Simulator simulator;
    hand_ws::Qhand manager;
    const Discovered run = discover(manager);
    EXPECT_EQ(run.result, -2);
    EXPECT_EQ(run.output, "DEVICE RECVFROM TIMEOUT\n");
    EXPECT_GE(run.took, std::chrono::milliseconds(1001));
    EXPECT_LT(run.took, std::chrono::milliseconds(3000));

    // The request that went out: one 512-byte datagram to port 2334.
    ASSERT_TRUE(simulator.wait_discovery_requests(1, std::chrono::seconds(1)));
    const auto requests = simulator.discovery_requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].bytes, std::string(15, '1') + std::string(497, '\0'));
    EXPECT_EQ(requests[0].from_ip, "192.168.137.1");
}

TEST(Discovery, WellFormedReplyFillsTheLists) {
    sim::Simulator simulator;
    hand_at(simulator, "192.168.137.39",
            JsonObject()
                .str("name", "qmhv2")
                .str("type", "QMH-12L")
                .str("ip_address", "192.168.137.39")
                .array("hardware_verison", {1, 2})
                .array("firmware_verison", {3, 4, 5, 6})
                .text());
    hand_ws::Qhand manager;
    const Discovered run = discover(manager);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.output, "");
    EXPECT_GE(run.took, std::chrono::milliseconds(1001));  // listens for the whole second
    EXPECT_EQ(manager.names, Strings{"qmhv2"});
    EXPECT_EQ(manager.types, Strings{"QMH-12L"});
    EXPECT_EQ(manager.ip_addresses, Strings{"192.168.137.39"});
    EXPECT_EQ(manager.driver_versions, Strings{"1.2.0.0"});
    EXPECT_EQ(manager.hardware_versions, Strings{"3.4.5.6"});
    EXPECT_TRUE(manager.serial_numbers.empty());
    EXPECT_TRUE(manager.hands.empty());
    EXPECT_TRUE(manager.hand_ips.empty());
}

TEST(Discovery, SeveralHandsBalancingAndDuplicates) {
    sim::Simulator simulator;
    // Only a driver version: balancing copies it to the hardware list.
    hand_at(simulator, "192.168.137.11",
            R"({"name":"qmhv1","type":"QMH-6R","IP":"192.168.137.11","driver_version":"1.0","serial_number":"A-1"})");
    // Answers twice, later than the other: both replies are recorded.
    auto twice = simulator.add<sim::Hand>("192.168.137.19");
    DiscoveryAnswer doubled = answer(R"({"name":"QSH","type":"any","IP":"192.168.137.19","firmware_version":"9"})");
    doubled.copies = 2;
    doubled.delay_ms = 100;
    twice->set_discovery(doubled);

    hand_ws::Qhand manager;
    const Discovered run = discover(manager);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(manager.names, (Strings{"qmhv1", "QSH", "QSH"}));
    EXPECT_EQ(manager.ip_addresses, (Strings{"192.168.137.11", "192.168.137.19", "192.168.137.19"}));
    EXPECT_EQ(manager.types, (Strings{"QMH-6R", "any", "any"}));
    EXPECT_EQ(manager.serial_numbers, Strings{"A-1"});
    EXPECT_EQ(manager.driver_versions, (Strings{"1.0", "9", "9"}));
    EXPECT_EQ(manager.hardware_versions, (Strings{"1.0", "9", "9"}));
}

TEST(Discovery, UnknownNamesAndAddresslessRepliesEndInReceiveTimeout) {
    sim::Simulator simulator;
    hand_at(simulator, "192.168.137.12", R"({"name":"qmhv3","type":"QMH-6L","IP":"192.168.137.12"})");
    hand_at(simulator, "192.168.137.13", R"({"name":"qmhv1","type":"QMH-6L"})");
    hand_ws::Qhand manager;
    const Discovered run = discover(manager);
    EXPECT_EQ(run.result, -2);
    EXPECT_EQ(run.output, "DEVICE RECVFROM TIMEOUT\n");
    EXPECT_EQ(manager.names, Strings{"qmhv1"});  // accepted, but it gave no address
    EXPECT_TRUE(manager.ip_addresses.empty());
}

TEST(Discovery, BadRepliesAreReportedOrDroppedAndDiscoveryGoesOn) {
    sim::Simulator simulator;
    auto noisy = hand_at(simulator, "192.168.137.14", R"({"name":"qmhv1","type":"QMH-6L","IP":"192.168.137.14"})");
    DiscoveryAnswer a = answer(R"({"name":"qmhv1","type":"QMH-6L","IP":"192.168.137.14"})");
    a.extra = {"hello", "[1,2,3]", R"({"name":"qmhv2","IP":"192.168.137.99","hardware_verison":[-1]})",
               std::string("{\"name\":\"qmhv2\",\"IP\":\"192.168.137.98\"}\0junk", 44)};
    noisy->set_discovery(a);
    // 600 bytes: cut to 512 before parsing, so the closing brace is lost.
    const std::string padded = R"({"name":"qmhv2","type":"QMH-12L","IP":"192.168.137.15","pad":")" +
                               std::string(600 - 62 - 2, 'p') + "\"}";
    ASSERT_EQ(padded.size(), 600u);
    hand_at(simulator, "192.168.137.15", padded);

    hand_ws::Qhand manager;
    const Discovered run = discover(manager);
    EXPECT_EQ(run.result, 0);
    EXPECT_NE(run.output.find("basehand broadcast(): json parse error, msg: hello\n"), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("basehand broadcast(): json parse error, msg: " + padded.substr(0, 512) + "\n"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(manager.ip_addresses, (Strings{"192.168.137.14", "192.168.137.98"}));
    EXPECT_EQ(manager.names, (Strings{"qmhv1", "qmhv2"}));
}

TEST(Discovery, AStreamOfGarbageCannotHoldDiscoveryPastItsSecond) {
    sim::Simulator simulator;
    hand_at(simulator, "192.168.137.17", R"({"name":"qmhv1","IP":"192.168.137.17"})");
    // Bad datagrams every millisecond for two seconds: still arriving at the deadline.
    auto flood = simulator.add<sim::Hand>("192.168.137.16");
    DiscoveryAnswer a = answer("not json");
    for (int i = 0; i < 1000; ++i) {
        a.extra.push_back("also not json");
        a.extra.push_back(R"({"IP":"no name"})");
    }
    a.spacing_ms = 1;
    flood->set_discovery(a);

    hand_ws::Qhand manager;
    const Discovered run = discover(manager);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(manager.ip_addresses, Strings{"192.168.137.17"});
    EXPECT_LT(run.took, std::chrono::milliseconds(1500));
}
