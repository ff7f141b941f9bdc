// Discovery against simulated hands inside the private namespace.
#include <gtest/gtest.h>

#include "manager/qhand.h"
#include "simulator.h"

using sim::DiscoveryAnswer;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using Strings = std::vector<std::string>;

namespace {

DiscoveryAnswer answer(const std::string& text, int delay_ms = 0) {
    DiscoveryAnswer a;
    a.text = text;
    a.delay_ms = delay_ms;
    return a;
}

void hand_at(sim::Simulator& simulator, const std::string& ip, const DiscoveryAnswer& a) {
    simulator.add<sim::Hand>(ip)->set_discovery(a);
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

TEST(Discovery, NoAddressAfterTheWholeSecondMeansReceiveTimeout) {
    sim::Simulator simulator;
    hand_at(simulator, "192.168.137.13", answer(R"({"name":"qmhv1","type":"QMH-6L"})"));
    hand_ws::Qhand manager;
    const Discovered run = discover(manager);
    EXPECT_EQ(run.result, -2);
    EXPECT_EQ(run.output, "DEVICE RECVFROM TIMEOUT\n");
    EXPECT_GE(run.took, std::chrono::milliseconds(1001));
    EXPECT_LT(run.took, std::chrono::milliseconds(3000));
    EXPECT_EQ(manager.names, Strings{"qmhv1"});  // accepted, but it gave no address
    EXPECT_TRUE(manager.ip_addresses.empty());

    // The request that went out: one 512-byte datagram to port 2334.
    const auto requests = simulator.discovery_requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].bytes, std::string(15, '1') + std::string(497, '\0'));
    EXPECT_EQ(requests[0].from_ip, "192.168.137.1");
}

TEST(Discovery, RepliesFillTheListsInOrderWhateverElseArrives) {
    sim::Simulator simulator;
    // Bad datagrams every millisecond for two seconds: still arriving at the deadline.
    DiscoveryAnswer flood = answer("not json");
    for (int i = 0; i < 1000; ++i) {
        flood.extra.insert(flood.extra.end(), {"also not json", R"({"IP":"no name"})"});
    }
    flood.spacing_ms = 1;
    hand_at(simulator, "192.168.137.16", flood);
    hand_at(simulator, "192.168.137.39",
            answer(sim::JsonObject()
                       .str("name", "qmhv2")
                       .str("type", "QMH-12L")
                       .str("ip_address", "192.168.137.39")
                       .array("hardware_verison", {1, 2})
                       .array("firmware_verison", {3, 4, 5, 6})
                       .text()));
    hand_at(simulator, "192.168.137.12", answer(R"({"name":"qmhv3","type":"QMH-6L","IP":"192.168.137.12"})", 30));
    // Only a driver version: balancing copies it to the hardware list.
    hand_at(simulator, "192.168.137.11",
            answer(R"({"name":"qmhv1","type":"QMH-6R","IP":"192.168.137.11","driver_version":"1.0",)"
                   R"("serial_number":"A-1"})",
                   60));
    DiscoveryAnswer noisy = answer(R"({"name":"qmhv1","type":"QMH-6L","IP":"192.168.137.14"})", 120);
    noisy.extra = {"hello", "[1,2,3]", R"({"name":"qmhv2","IP":"192.168.137.99","hardware_verison":[-1]})",
                   std::string("{\"name\":\"qmhv2\",\"IP\":\"192.168.137.98\"}\0junk", 44)};
    hand_at(simulator, "192.168.137.14", noisy);
    // 600 bytes: cut to 512 before parsing, so the closing brace is lost.
    const std::string padded =
        R"({"name":"qmhv2","type":"QMH-12L","IP":"192.168.137.15","pad":")" + std::string(536, 'p') + "\"}";
    hand_at(simulator, "192.168.137.15", answer(padded, 180));
    // One hand answering twice: both replies are recorded.
    DiscoveryAnswer twice = answer(R"({"name":"QSH","type":"any","IP":"192.168.137.19","firmware_version":"9"})", 240);
    twice.copies = 2;
    hand_at(simulator, "192.168.137.19", twice);

    hand_ws::Qhand manager;
    const Discovered run = discover(manager);
    EXPECT_EQ(run.result, 0);
    EXPECT_GE(run.took, std::chrono::milliseconds(1001));  // listens for the whole second, no longer
    EXPECT_LT(run.took, std::chrono::milliseconds(1500));
    for (const std::string& text : {std::string("hello"), padded.substr(0, 512)}) {
        EXPECT_NE(run.output.find("basehand broadcast(): json parse error, msg: " + text + "\n"), std::string::npos)
            << text;
    }
    EXPECT_EQ(manager.names, (Strings{"qmhv2", "qmhv1", "qmhv1", "qmhv2", "QSH", "QSH"}));
    EXPECT_EQ(manager.types, (Strings{"QMH-12L", "QMH-6R", "QMH-6L", "any", "any"}));
    EXPECT_EQ(manager.ip_addresses, (Strings{"192.168.137.39", "192.168.137.11", "192.168.137.14",
                                             "192.168.137.98", "192.168.137.19", "192.168.137.19"}));
    EXPECT_EQ(manager.serial_numbers, Strings{"A-1"});
    EXPECT_EQ(manager.driver_versions, (Strings{"1.2.0.0", "1.0", "9", "9"}));
    EXPECT_EQ(manager.hardware_versions, (Strings{"3.4.5.6", "1.0", "9", "9"}));
    EXPECT_TRUE(manager.hands.empty());
    EXPECT_TRUE(manager.hand_ips.empty());
}
