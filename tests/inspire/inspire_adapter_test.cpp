// The Inspire adapter against a simulated Inspire hand, inside the private
// network namespace.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <thread>

#include "inspire_hand.h"
#include "protocols/inspire.h"

using BaseHandProtocol::Inspire;
using sim::InspireHand;
using namespace testing::internal;
using namespace std::chrono_literals;
using testing::MatchesRegex;

namespace {

const std::string kIp = "192.168.137.19";
const std::string kRecvTimeout = "DEVICE RECVFROM: 192.168.137.19, TIMEOUT";
const std::string kSendTimeout = "DEVICE SENDTO: 192.168.137.19, TIMEOUT";
const std::string kGetConfig = "[Warning] [Inspire::get_comm_config(std::string &cfg)] ";
const std::string kSetConfig = "[Warning] [Inspire::set_comm_config(std::string cfg)] ";
const std::vector<float> kReadBack = {0.4f, 0.3f, 0.2f, 0.1f, 0.5f, 0.6f};  // of registers 100..600

std::string hex(const std::string& text) {
    std::istringstream in(text);
    std::string out;
    for (unsigned int value = 0; in >> std::hex >> value;) {
        out += static_cast<char>(value);
    }
    return out;
}

std::string padded(const std::string& frame) { return frame + std::string(247 - frame.size(), '\0'); }

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

bool is_trace(const std::string& line, const std::string& function) {
    return line.rfind("file = hand/protocols/inspire.cpp    function = " + function + "    line = ", 0) == 0;
}

// Runs f and returns how long it took, in milliseconds.
template <class F>
long long timed(F f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

// Every send on the endpoint fails from now on.
void break_endpoint(CommSocket::Transmit::UDPSocket& endpoint) {
    ::close(endpoint.sockfd);
    endpoint.sockfd = -1;
}

class InspireAdapter : public ::testing::Test {
protected:
    sim::Simulator simulator;
    std::shared_ptr<InspireHand> hand = simulator.add<InspireHand>(kIp);
    Inspire adapter{kIp};

    // The count-th datagram that reached the hand on port.
    std::string request(std::size_t count, unsigned short port = sim::kCtrlPort) {
        EXPECT_TRUE(hand->wait_received(port, count, 1000ms));
        const auto received = hand->received(port);
        return received.size() >= count ? received[count - 1].bytes : std::string();
    }
    void expect_no_traffic() {
        std::this_thread::sleep_for(30ms);
        for (unsigned short port : {sim::kCtrlPort, sim::kCommPort, sim::kAuxPort}) {
            EXPECT_EQ(hand->received_count(port), 0u) << port;
        }
    }
};

}  // namespace

TEST_F(InspireAdapter, UnservedSlotsAnswerAtOnceWithoutTraffic) {
    std::vector<float> limits = {7.0f};
    std::vector<long> cnt = {7};
    std::vector<std::vector<unsigned char>> matrix = {{7}};
    int ntc = 7;
    CaptureStdout();
    EXPECT_EQ(adapter.calibration() + adapter.enable(), 0);
    EXPECT_EQ(adapter.disable() + adapter.reboot() + adapter.get_cnt(cnt) + adapter.get_ts_matrix(matrix) +
                  adapter.get_ntc(ntc),
              -5);
    // Each of these prints its trace line first.
    EXPECT_EQ(adapter.get_pos_limited(limits) + adapter.get_velocity_limited(limits) +
                  adapter.set_current({1, 2, 3, 4, 5, 6}) + adapter.set_velocity_limited(0, 1.0f) +
                  adapter.set_pos_limited(0, 0.0f, 1.0f) + adapter.set_current_limited(0, 1.0f),
              -6);
    const auto lines = lines_of(GetCapturedStdout());
    const std::vector<std::string> traced = {"get_pos_limited", "get_velocity_limited", "set_current",
                                             "set_velocity_limited", "set_pos_limited", "set_current_limited"};
    ASSERT_EQ(lines.size(), traced.size());
    for (std::size_t i = 0; i < traced.size(); ++i) {
        EXPECT_TRUE(is_trace(lines[i], traced[i])) << lines[i];
    }
    EXPECT_TRUE(limits == std::vector<float>{7.0f} && cnt == std::vector<long>{7} && matrix.size() == 1 && ntc == 7);
    expect_no_traffic();
}

TEST_F(InspireAdapter, PositionsGoOutExactAndTheJointsTravelAtTheWrittenSpeed) {
    EXPECT_EQ(adapter.set_pos({0.0f, 0.1f, 0.2f, 0.3f, 0.4f, 0.5f}), 0);
    EXPECT_EQ(request(1), hex("EB 90 01 0F 12 CE 05 2C 01 C8 00 64 00 00 00 90 01 F4 01 D4"));
    // -1 leaves a joint aiming where it was.
    EXPECT_EQ(adapter.set_pos({1.7f, -0.2f, -1.0f, 0.25f, 1.0f, 0.0f}), 0);
    EXPECT_EQ(request(2), hex("EB 90 01 0F 12 CE 05 FA 00 FF FF FF FF E8 03 E8 03 00 00 C1"));
    EXPECT_EQ(hand->targets(), (InspireHand::Values{250, 200, 100, 1000, 1000, 0}));

    hand->set_positions({100, 200, 300, 400, 500, 600});
    std::vector<float> pos = {9.0f};
    EXPECT_EQ(adapter.get_pos(pos), 0);
    EXPECT_EQ(request(3), hex("EB 90 01 04 11 0A 06 0C 32"));
    EXPECT_EQ(pos, kReadBack);

    hand->set_positions({});
    CaptureStdout();
    EXPECT_EQ(adapter.set_velocity(std::vector<float>(6, 500.0f)), 0);  // no reply awaited
    const auto lines = lines_of(GetCapturedStdout());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(is_trace(lines[0], "set_velocity"));
    EXPECT_EQ(request(4), padded(hex("EB 90 01 0F 12 F2 05 F4 01 F4 01 F4 01 F4 01 F4 01 F4 01 D7")));
    ASSERT_EQ(adapter.fast_set_positions(std::vector<float>(6, 1.0f)), 0);
    EXPECT_EQ(request(5).substr(0, 7), hex("EB 90 01 17 20 E8 03"));
    EXPECT_EQ(hand->targets(), (InspireHand::Values{1000, 1000, 1000, 1000, 1000, 1000}));

    // 500 units per second: two seconds for the whole stroke.
    std::vector<float> first, second;
    std::this_thread::sleep_for(200ms);
    ASSERT_EQ(adapter.get_pos(first), 0);
    std::this_thread::sleep_for(150ms);
    ASSERT_EQ(adapter.get_pos(second), 0);
    for (std::size_t j = 0; j < 6; ++j) {
        EXPECT_GT(first[j], 0.05f);
        EXPECT_LT(first[j], 0.9f);
        EXPECT_GT(second[j], first[j]);
    }
}

TEST_F(InspireAdapter, CountsOtherThanSixAreRefusedAndNothingIsSent) {
    CaptureStdout();
    EXPECT_EQ(adapter.set_pos({0.1f, 0.2f, 0.3f, 0.4f, 0.5f}), -1);
    EXPECT_EQ(adapter.fast_set_positions(std::vector<float>(7, 0.5f)), -1);
    EXPECT_EQ(adapter.set_velocity({100, 100}), -1);
    const auto lines = lines_of(GetCapturedStdout());
    ASSERT_EQ(lines.size(), 4u);
    const std::string count_line = R"( line:[0-9]+ _cmd\.size\(\) == [0-9] must be six )";
    EXPECT_THAT(lines[0], MatchesRegex(R"(\[ERROR\] \[set_pos\])" + count_line));
    EXPECT_THAT(lines[1], MatchesRegex(R"(\[ERROR\] \[fast_set_positions\])" + count_line));
    EXPECT_THAT(lines[3], MatchesRegex(R"(\[ERROR\] \[set_velocity\])" + count_line));
    EXPECT_NE(lines[0].find("== 5 "), std::string::npos);
    EXPECT_NE(lines[1].find("== 7 "), std::string::npos);
    EXPECT_TRUE(is_trace(lines[2], "set_velocity"));
    expect_no_traffic();
}

TEST_F(InspireAdapter, RejectedRepliesAreReportedAndTheBudgetEndsJustAfter100Ms) {
    InspireHand::Quirks other_id, bad_command, bad_address;
    other_id.reply_hand_id = 2;
    bad_command.wrong_command_echo = true;
    bad_address.wrong_address_echo = true;
    std::size_t sent = 0;
    for (const auto& quirks : {other_id, bad_command, bad_address}) {
        hand->set_quirks(quirks);
        std::vector<float> pos = {9.0f};
        CaptureStdout();
        const auto elapsed = timed([&] { EXPECT_EQ(adapter.get_pos(pos), -2); });
        EXPECT_EQ(GetCapturedStdout(), "[ERROR] \n" + kRecvTimeout + "\n");
        EXPECT_GE(elapsed, 100);
        EXPECT_LT(elapsed, 600);
        EXPECT_TRUE(pos.empty());
        EXPECT_EQ(hand->received_count(sim::kCtrlPort), ++sent) << "the frame goes out once";
    }

    hand->set_quirks(other_id);
    std::vector<long> codes = {1};
    CaptureStdout();
    EXPECT_EQ(adapter.get_errorcode(codes), -2);
    EXPECT_EQ(adapter.clear_errorcode(), -2);
    EXPECT_EQ(adapter.set_pos(std::vector<float>(6, 0.5f)), -2);
    EXPECT_EQ(adapter.fast_set_positions(std::vector<float>(6, 0.5f)), -2);
    const std::string rejected = "[ERROR] \n" + kRecvTimeout + "\n";
    EXPECT_EQ(GetCapturedStdout(), rejected + rejected + rejected +
                                       "[Warning] [inspire][fast_set_positions] recv data error\n" + kRecvTimeout +
                                       "\n");
    EXPECT_TRUE(codes.empty());
}

TEST_F(InspireAdapter, ChecksumsAreNotVerifiedButShortRepliesAreRefused) {
    hand->set_positions({100, 200, 300, 400, 500, 600});
    InspireHand::Quirks quirks;
    quirks.wrong_checksum = quirks.wrong_length = true;
    hand->set_quirks(quirks);
    std::vector<float> pos;
    EXPECT_EQ(adapter.get_pos(pos), 0);
    EXPECT_EQ(pos, kReadBack);
    EXPECT_EQ(adapter.clear_errorcode(), 0);
    hand->set_quirks({});

    // A cut reply ahead of the whole one: refused, and the whole one is taken.
    sim::Faults faults;
    faults.before = {hex("90 EB 01 0F 11 0A 06 64 00 C8 00 2C 01 90 01 F4 01 58 02")};
    hand->set_faults(faults);
    CaptureStdout();
    EXPECT_EQ(adapter.get_pos(pos), 0);
    EXPECT_EQ(GetCapturedStdout(), "[ERROR] \n");
    EXPECT_EQ(pos, kReadBack);
}

TEST_F(InspireAdapter, FailedSendsAreRetriedUntilTheBudgetEnds) {
    break_endpoint(*adapter.ctrl_udp_socket);
    std::vector<float> values = {1.0f};
    CaptureStdout();
    auto elapsed = timed([&] { EXPECT_EQ(adapter.get_pos(values), -2); });
    EXPECT_EQ(GetCapturedStdout(), kSendTimeout + "\n") << "retried silently";
    EXPECT_GE(elapsed, 100);
    EXPECT_LT(elapsed, 600);

    // These two name every failed send.
    for (const std::string operation : {"set_velocity", "get_current_limited"}) {
        CaptureStdout();
        elapsed = timed([&] {
            EXPECT_EQ(operation == "set_velocity" ? adapter.set_velocity(std::vector<float>(6, 1.0f))
                                                  : adapter.get_current_limited(values),
                      -2);
        });
        const auto lines = lines_of(GetCapturedStdout());
        EXPECT_GE(elapsed, 1000);
        EXPECT_LT(elapsed, 2000);
        ASSERT_GE(lines.size(), 3u);
        EXPECT_TRUE(is_trace(lines.front(), operation));
        EXPECT_EQ(static_cast<std::size_t>(std::count(lines.begin(), lines.end(), "ctrl send data failed")),
                  lines.size() - 2);
        EXPECT_EQ(lines.back(), kSendTimeout);
    }
}

TEST_F(InspireAdapter, ErrorsStatusCurrentsSpeedsAndLimitsAreRead) {
    hand->set_errors({0x00, 0x01, 0x02, 0x04, 0x08, 0x80});
    hand->set_status({0, 1, 2, 3, 0x7F, 0xFF});
    hand->set_currents({10, 20, 30, 40, 0x8000, 0xFFFF});
    hand->set_current_limits({100, 200, 300, 400, 500, 600});

    std::vector<long> codes;
    std::vector<unsigned char> status;
    std::vector<float> current, speeds, limits;
    CaptureStdout();
    EXPECT_EQ(adapter.get_errorcode(codes), 0);
    EXPECT_EQ(adapter.get_status(status), 0);
    EXPECT_EQ(adapter.get_current(current), 0);
    EXPECT_EQ(adapter.get_velocity(speeds), 0);
    EXPECT_EQ(adapter.get_current_limited(limits), 0);
    const auto lines = lines_of(GetCapturedStdout());

    EXPECT_EQ(request(1), hex("EB 90 01 04 11 46 06 06 68"));
    EXPECT_EQ(request(2), padded(hex("EB 90 01 04 11 4C 06 06 6E")));
    EXPECT_EQ(request(3), padded(hex("EB 90 01 04 11 3A 06 0C 62")));
    EXPECT_EQ(request(4), padded(hex("EB 90 01 04 11 F2 05 0C 19")));
    EXPECT_EQ(request(5), padded(hex("EB 90 01 04 11 FC 03 0C 21")));
    EXPECT_EQ(codes, (std::vector<long>{0, 1, 2, 4, 8, -128}));
    EXPECT_EQ(status, (std::vector<unsigned char>{0, 1, 2, 3, 0x7F, 0xFF}));
    EXPECT_EQ(current, (std::vector<float>{10, 20, 30, 40, 32768, 1}));
    EXPECT_EQ(speeds, std::vector<float>(6, 1000.0f));
    EXPECT_EQ(limits, (std::vector<float>{100, 200, 300, 400, 500, 600}));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(is_trace(lines[0], "get_current") && is_trace(lines[1], "get_velocity") &&
                is_trace(lines[2], "get_current_limited"));

    EXPECT_EQ(adapter.clear_errorcode(), 0);
    EXPECT_EQ(request(6), hex("EB 90 01 04 12 EC 03 01 07"));
    EXPECT_EQ(hand->errors(), (std::array<std::uint8_t, 6>{}));
}

TEST_F(InspireAdapter, GetPvcReturnsLiveRowsAndZerosForAReadWithoutReply) {
    hand->set_positions({100, 200, 300, 400, 500, 600});
    hand->set_currents({1, 2, 3, 4, 5, 6});
    std::vector<std::vector<float>> pvc = {{5.0f}};
    CaptureStdout();
    EXPECT_LT(timed([&] { EXPECT_EQ(adapter.get_pvc(pvc), 0); }), 500);
    GetCapturedStdout();
    EXPECT_EQ(pvc, (std::vector<std::vector<float>>{kReadBack, std::vector<float>(6, 1000.0f), {1, 2, 3, 4, 5, 6}}));

    // A current read without a reply still times out, and its row falls back to zeros.
    InspireHand::Quirks quirks;
    quirks.silent_reads = {InspireHand::kCurrent};
    hand->set_quirks(quirks);
    CaptureStdout();
    EXPECT_EQ(adapter.get_pvc(pvc), -2);
    const auto lines = lines_of(GetCapturedStdout());
    EXPECT_EQ(pvc, (std::vector<std::vector<float>>{kReadBack, std::vector<float>(6, 1000.0f),
                                                    std::vector<float>(6, 0.0f)}));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(is_trace(lines[0], "get_velocity") && is_trace(lines[1], "get_current"));
    EXPECT_EQ(lines[2], kRecvTimeout);
}

TEST_F(InspireAdapter, ConfigurationIsReadAndWrittenAsText) {
    std::string cfg;
    EXPECT_EQ(adapter.get_comm_config(cfg), 0);
    EXPECT_EQ(request(1, sim::kCommPort), R"({"method":"GET","reqTarget":"/config","property":""})");
    EXPECT_EQ(cfg, hand->config_text());

    std::string update = R"({"method":"SET","reqTarget":"/config","gateway":"192.168.137.2"})";
    EXPECT_EQ(adapter.set_comm_config(update), 0);
    EXPECT_EQ(request(2, sim::kCommPort), update);
    EXPECT_NE(hand->config_text().find(R"("gateway":"192.168.137.2")"), std::string::npos);
    // Not checked on the way out: the hand's answer decides.
    EXPECT_EQ(adapter.set_comm_config("not json"), 0);
    EXPECT_EQ(request(3, sim::kCommPort), "not json");

    sim::Faults faults;
    faults.before = {R"({"reqTarget":5})", "[1,2]", "not json", std::string("\0x", 2),
                     R"({"reqTarget":"/config"} trailing)", R"({"reqTarget":"/other"})"};
    hand->set_faults(faults);
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(adapter.get_comm_config(cfg), 0);
    const auto errors = lines_of(GetCapturedStderr());
    EXPECT_EQ(GetCapturedStdout(), kGetConfig + "Error in parsing JSON data\n" + kGetConfig +
                                       "Error in parsing JSON data\n");
    EXPECT_EQ(cfg, hand->config_text());
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0].rfind(kGetConfig, 0), 0u);
}

TEST_F(InspireAdapter, ConfigurationFailuresAndTimeOut) {
    // Too long for one text datagram: refused by the endpoint, nothing sent.
    CaptureStdout();
    EXPECT_EQ(adapter.set_comm_config(std::string(1024, 'x')), -1);
    EXPECT_EQ(GetCapturedStdout(), kSetConfig + "comm_udp_socket->SendData(msg) failed\n");

    // An answer for another target is passed over without a word.
    hand->script(sim::kCommPort, R"({"reqTarget":"/other"})");
    std::string cfg = "previous";
    CaptureStdout();
    CaptureStderr();
    const auto elapsed = timed([&] { EXPECT_EQ(adapter.get_comm_config(cfg), -2); });
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(GetCapturedStdout(), kGetConfig + kRecvTimeout + "\n");
    EXPECT_GE(elapsed, 1000);
    EXPECT_LT(elapsed, 2000);
    EXPECT_EQ(cfg, "previous");

    break_endpoint(*adapter.comm_udp_socket);
    CaptureStdout();
    EXPECT_LT(timed([&] {
                  EXPECT_EQ(adapter.get_comm_config(cfg), -1);
                  EXPECT_EQ(adapter.set_comm_config("{}"), -1);
              }),
              100);
    EXPECT_EQ(GetCapturedStdout(), kGetConfig + "comm_udp_socket->SendData(msg) failed\n" + kSetConfig +
                                       "comm_udp_socket->SendData(msg) failed\n");
    EXPECT_EQ(cfg, "previous");
    EXPECT_EQ(hand->received_count(sim::kCommPort), 1u);
}
