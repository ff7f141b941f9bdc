// Discovery against simulated hands inside the private namespace. Each test
// or fixture runs one discovery (one second) and its tests read the outcome.
#include <gtest/gtest.h>

#include <memory>

#include "manager/qhand.h"
#include "simulator.h"
#include "transport/diagnostics.h"

using BaseHandProtocol::kSuccess;
using BaseHandProtocol::kTimeout;
using sim::DiscoveryAnswer;
using Strings = std::vector<std::string>;

namespace {

struct Discovered {
    sim::Simulator simulator;
    hand_ws::Qhand manager;
    int result = 0;
    std::string output;
    std::vector<Diagnostics::Level> levels;  // of each line of output
    std::chrono::milliseconds took{0};

    void hand_at(const std::string& ip, const DiscoveryAnswer& answer) {
        simulator.add<sim::Hand>(ip)->set_discovery(answer);
    }
    void discover() {
        Diagnostics::set_handler([this](Diagnostics::Level level, Diagnostics::Stream, std::string_view text) {
            levels.push_back(level);
            output += std::string(text) + "\n";
        });
        const auto start = std::chrono::steady_clock::now();
        result = manager.find_hand();
        took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        Diagnostics::set_handler(nullptr);
    }
};

// Hands that answer well, badly, twice and with noise, while another floods
// the listener with bad datagrams past the deadline.
class BusySubnet : public testing::Test {
protected:
    static void SetUpTestSuite() {
        run = std::make_unique<Discovered>();
        Discovered& r = *run;
        // Bad datagrams every millisecond for two seconds, from 300 ms on.
        Strings flood;
        for (int i = 0; i < 1000; ++i) {
            flood.insert(flood.end(), {"also not json", R"({"IP":"no name"})"});
        }
        r.hand_at("192.168.137.16",
                  DiscoveryAnswer().with_text("not json").with_extra(flood).with_spacing_ms(1).with_delay_ms(300));
        r.hand_at("192.168.137.39", DiscoveryAnswer().with_text(sim::JsonObject()
                                                                    .str("name", "qmhv2")
                                                                    .str("type", "QMH-12L")
                                                                    .str("ip_address", "192.168.137.39")
                                                                    .array("hardware_verison", {1, 2})
                                                                    .array("firmware_verison", {3, 4, 5, 6})
                                                                    .text()));
        // Only a driver version: balancing copies it to the hardware list.
        r.hand_at("192.168.137.11", DiscoveryAnswer()
                                        .with_text(R"({"name":"qmhv1","type":"QMH-6R","IP":"192.168.137.11",)"
                                                   R"("driver_version":"1.0","serial_number":"A-1"})")
                                        .with_delay_ms(60));
        r.hand_at("192.168.137.14",
                  DiscoveryAnswer()
                      .with_text(R"({"name":"qmhv1","type":"QMH-6L","IP":"192.168.137.14"})")
                      .with_delay_ms(120)
                      .with_extra({"hello", "[1,2,3]", "\x1b]0;owned\x07\x7f\xc2\x9b" "2J\xc3\xa9",
                                   R"({"name":"qmhv2","IP":"192.168.137.99","hardware_verison":[-1]})",
                                   std::string("{\"name\":\"qmhv2\",\"IP\":\"192.168.137.98\"}\0junk", 44)}));
        r.hand_at("192.168.137.15", DiscoveryAnswer().with_text(padded).with_delay_ms(180));
        r.hand_at("192.168.137.19",
                  DiscoveryAnswer()
                      .with_text(R"({"name":"QSH","type":"any","IP":"192.168.137.19","firmware_version":"9"})")
                      .with_delay_ms(240)
                      .with_copies(2));
        r.discover();
    }
    static void TearDownTestSuite() { run.reset(); }

    // 600 bytes: cut to 512 before parsing, so the closing brace is lost.
    static inline const std::string padded =
        R"({"name":"qmhv2","type":"QMH-12L","IP":"192.168.137.15","pad":")" + std::string(536, 'p') + "\"}";
    static inline std::unique_ptr<Discovered> run;
};

}  // namespace

// Discovery listens the whole second; the reply is recorded, but without an
// address it ends in a receive-timeout warning.
TEST(Discovery, AReplyWithoutAnAddressEndsInAReceiveTimeoutWarning) {
    Discovered run;
    run.hand_at("192.168.137.13", DiscoveryAnswer().with_text(R"({"name":"qmhv1","type":"QMH-6L"})"));
    run.discover();
    EXPECT_EQ(run.result, kTimeout);
    EXPECT_EQ(run.output, "DEVICE RECVFROM TIMEOUT\n");
    EXPECT_EQ(run.levels, std::vector<Diagnostics::Level>{Diagnostics::Level::warning});
    EXPECT_GE(run.took, std::chrono::milliseconds(1001));
    EXPECT_LT(run.took, std::chrono::milliseconds(3000));
    EXPECT_EQ(run.manager.names, Strings{"qmhv1"});
    EXPECT_EQ(run.manager.ip_addresses, Strings{});
}

// One request for all the hands.
TEST_F(BusySubnet, OneRequestOf512BytesFromTheHandSubnet) {
    const auto requests = run->simulator.discovery_requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].bytes, std::string(15, '1') + std::string(497, '\0'));
    EXPECT_EQ(requests[0].from_ip, "192.168.137.1");
}

TEST_F(BusySubnet, SucceedsAfterTheWholeSecondAndNoLonger) {
    EXPECT_EQ(run->result, kSuccess);
    EXPECT_GE(run->took, std::chrono::milliseconds(1001));
    EXPECT_LT(run->took, std::chrono::milliseconds(1500));
}

// As received, but control bytes (C1 controls in UTF-8 too) reach the
// terminal escaped; other UTF-8 text as it came.
TEST_F(BusySubnet, TextThatIsNotJsonIsPrintedWithControlBytesEscaped) {
    for (const std::string& text : {std::string("hello"), padded.substr(0, 512),
                                    std::string("\\x1B]0;owned\\x07\\x7F\\xC2\\x9B2J\xc3\xa9")}) {
        EXPECT_NE(run->output.find("basehand broadcast(): json parse error, msg: " + text + "\n"), std::string::npos)
            << text;
    }
    EXPECT_EQ(run->output.find('\x1b'), std::string::npos);
}

// The flood prints 64 lines, then one last line that counts the rest.
TEST_F(BusySubnet, RefusalLinesStopAfter64WithACount) {
    std::size_t lines = 0;
    for (std::size_t at = 0; (at = run->output.find("json parse error", at)) != std::string::npos; ++at) {
        ++lines;
    }
    EXPECT_EQ(lines, 64u);
    const std::string summary = "\nfurther refused datagrams not printed: ";
    const auto at = run->output.rfind(summary);
    ASSERT_NE(at, std::string::npos);
    EXPECT_GT(std::stoi(run->output.substr(at + summary.size())), 100);
    EXPECT_EQ(run->output.find('\n', at + 1), run->output.size() - 1);
}

// What the codec refuses is dropped (an unknown name, a negative version,
// no name); a reply ends at its first NUL; a hand answering twice counts
// twice; each reply fills a missing version from the other; nothing is
// registered.
TEST_F(BusySubnet, AcceptedRepliesFillTheListsInArrivalOrder) {
    EXPECT_EQ(run->manager.names, (Strings{"qmhv2", "qmhv1", "qmhv1", "qmhv2", "QSH", "QSH"}));
    EXPECT_EQ(run->manager.types, (Strings{"QMH-12L", "QMH-6R", "QMH-6L", "any", "any"}));
    EXPECT_EQ(run->manager.ip_addresses, (Strings{"192.168.137.39", "192.168.137.11", "192.168.137.14",
                                                  "192.168.137.98", "192.168.137.19", "192.168.137.19"}));
    EXPECT_EQ(run->manager.serial_numbers, Strings{"A-1"});
    EXPECT_EQ(run->manager.driver_versions, (Strings{"1.2.0.0", "1.0", "9", "9"}));
    EXPECT_EQ(run->manager.hardware_versions, (Strings{"3.4.5.6", "1.0", "9", "9"}));
    EXPECT_EQ(run->manager.hands.size(), 0u);
    EXPECT_EQ(run->manager.hand_ips, Strings{});
}
