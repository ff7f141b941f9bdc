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

namespace {

const std::string kIp = "192.168.137.19";
const std::string kRecvTimeout = "DEVICE RECVFROM: 192.168.137.19, TIMEOUT\n";
const std::string kSendTimeout = "DEVICE SENDTO: 192.168.137.19, TIMEOUT";
const std::string kGetConfig = "[Warning] [Inspire::get_comm_config(std::string &cfg)] ";
const std::string kSendDataFailed = "comm_udp_socket->SendData(msg) failed\n";
const std::vector<float> kReadBack = {0.4f, 0.3f, 0.2f, 0.1f, 0.5f, 0.6f};  // of registers 100..600

std::string hex(const std::string& text) {
    std::istringstream in(text);
    std::string out;
    for (unsigned int value = 0; in >> std::hex >> value;) out += static_cast<char>(value);
    return out;
}

std::string padded(const std::string& frame) { return frame + std::string(247 - frame.size(), '\0'); }

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string trace(const std::string& function) {
    return "file = hand/protocols/inspire\\.cpp    function = " + function + "    line = [0-9]+";
}

// The captured text's lines, each matching its pattern.
void expect_lines(const std::string& text, const std::vector<std::string>& patterns) {
    const auto lines = lines_of(text);
    ASSERT_EQ(lines.size(), patterns.size()) << text;
    for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_THAT(lines[i], testing::MatchesRegex(patterns[i]));
}

template <class F>
long long elapsed_ms(F f) {
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
};

}  // namespace

TEST_F(InspireAdapter, UnservedSlotsAndWrongCountsAnswerAtOnceWithoutTraffic) {
    std::vector<float> limits = {7.0f};
    std::vector<long> cnt = {7};
    std::vector<std::vector<unsigned char>> matrix = {{7}};
    std::vector<std::vector<float>> tashan = {{7.0f}};
    int ntc = 7;
    CaptureStdout();
    const std::vector<int> results = {  // a braced list runs the calls in order
        adapter.calibration(), adapter.enable(), adapter.disable(), adapter.reboot(), adapter.get_cnt(cnt),
        adapter.get_ts_matrix(matrix), adapter.get_ts_tashan(tashan), adapter.get_ntc(ntc),
        adapter.get_pos_limited(limits), adapter.get_velocity_limited(limits), adapter.set_current({1, 2, 3, 4, 5, 6}),
        adapter.set_velocity_limited(0, 1.0f), adapter.set_pos_limited(0, 0.0f, 1.0f),
        adapter.set_current_limited(0, 1.0f), adapter.set_pos({0.1f, 0.2f, 0.3f, 0.4f, 0.5f}),
        adapter.fast_set_positions(std::vector<float>(7, 0.5f)), adapter.set_velocity({100, 100})};
    const auto count_line = [](const std::string& op, int n) {
        return R"(\[ERROR\] \[)" + op + R"(\] line:[0-9]+ _cmd\.size\(\) == )" + std::to_string(n) + " must be six ";
    };
    expect_lines(GetCapturedStdout(),
                 {trace("get_pos_limited"), trace("get_velocity_limited"), trace("set_current"),
                  trace("set_velocity_limited"), trace("set_pos_limited"), trace("set_current_limited"),
                  count_line("set_pos", 5), count_line("fast_set_positions", 7), trace("set_velocity"),
                  count_line("set_velocity", 2)});
    EXPECT_EQ(results, (std::vector<int>{0, 0, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1}));
    EXPECT_TRUE(limits == std::vector<float>{7.0f} && cnt == std::vector<long>{7} && matrix.size() == 1 &&
                tashan.size() == 1 && ntc == 7);
    std::this_thread::sleep_for(30ms);
    for (unsigned short port : {sim::kCtrlPort, sim::kCommPort, sim::kAuxPort}) {
        EXPECT_EQ(hand->received_count(port), 0u) << port;
    }
}

TEST_F(InspireAdapter, PositionsAndSpeedsGoOutExactAndTheJointsFollow) {
    EXPECT_EQ(adapter.set_pos({0.0f, 0.1f, 0.2f, 0.3f, 0.4f, 0.5f}), 0);
    EXPECT_EQ(request(1), hex("EB 90 01 0F 12 CE 05 2C 01 C8 00 64 00 00 00 90 01 F4 01 D4"));
    // Held to 1, negatives sent as -1: that joint keeps the target it had.
    EXPECT_EQ(adapter.set_pos({1.7f, -0.2f, -1.0f, 0.25f, 1.0f, 0.0f}), 0);
    EXPECT_EQ(request(2), hex("EB 90 01 0F 12 CE 05 FA 00 FF FF FF FF E8 03 E8 03 00 00 C1"));
    EXPECT_EQ(hand->targets(), (InspireHand::Values{250, 200, 100, 1000, 1000, 0}));

    hand->set_positions({});
    CaptureStdout();
    EXPECT_EQ(adapter.set_velocity(std::vector<float>(6, 500.0f)), 0);  // no reply awaited
    expect_lines(GetCapturedStdout(), {trace("set_velocity")});
    EXPECT_EQ(request(3), padded(hex("EB 90 01 0F 12 F2 05 F4 01 F4 01 F4 01 F4 01 F4 01 F4 01 D7")));
    ASSERT_EQ(adapter.fast_set_positions(std::vector<float>(6, 1.0f)), 0);
    // Six targets, then five fixed words.
    EXPECT_EQ(request(4), hex("EB 90 01 17 20 E8 03 E8 03 E8 03 E8 03 E8 03 E8 03 "
                              "E8 03 E8 03 E8 03 E8 03 E8 03 51"));
    EXPECT_EQ(hand->speeds(), (InspireHand::Values{500, 500, 500, 500, 500, 500}));

    // 500 units per second: the whole stroke takes two seconds.
    std::this_thread::sleep_for(200ms);
    std::vector<float> pos;
    ASSERT_EQ(adapter.get_pos(pos), 0);
    for (const float p : pos) EXPECT_TRUE(p > 0.05f && p < 0.5f) << p;
}

TEST_F(InspireAdapter, RepliesAreJudgedByTheirHeaderOnlyAndShortOnesRefused) {
    InspireHand::Quirks quirks;
    quirks.reply_hand_id = 2;
    hand->set_quirks(quirks);
    std::vector<float> pos = {9.0f};
    CaptureStdout();
    const auto elapsed = elapsed_ms([&] { EXPECT_EQ(adapter.get_pos(pos), -2); });
    EXPECT_EQ(GetCapturedStdout(), "[ERROR] \n" + kRecvTimeout);
    EXPECT_TRUE(elapsed >= 100 && elapsed < 600) << elapsed;
    EXPECT_TRUE(pos.empty());
    EXPECT_EQ(hand->received_count(sim::kCtrlPort), 1u) << "the frame goes out once";

    // The writes judge their replies apart from the reads.
    CaptureStdout();
    EXPECT_EQ(adapter.clear_errorcode(), -2);
    EXPECT_EQ(adapter.set_pos(std::vector<float>(6, 0.5f)), -2);
    EXPECT_EQ(adapter.fast_set_positions(std::vector<float>(6, 0.5f)), -2);
    EXPECT_EQ(GetCapturedStdout(), "[ERROR] \n" + kRecvTimeout + "[ERROR] \n" + kRecvTimeout +
                                       "[Warning] [inspire][fast_set_positions] recv data error\n" + kRecvTimeout);

    // Checksum and length go unchecked; a reply cut to five values ahead of the whole one is refused.
    hand->set_positions({100, 200, 300, 400, 500, 600});
    quirks = {};
    quirks.wrong_checksum = quirks.wrong_length = true;
    hand->set_quirks(quirks);
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
    std::vector<float> pos = {1.0f};
    CaptureStdout();
    auto elapsed = elapsed_ms([&] { EXPECT_EQ(adapter.get_pos(pos), -2); });
    EXPECT_EQ(GetCapturedStdout(), kSendTimeout + "\n") << "retried silently";
    EXPECT_TRUE(elapsed >= 100 && elapsed < 600) << elapsed;

    // set_velocity (like get_current_limited) names every failed send.
    CaptureStdout();
    elapsed = elapsed_ms([&] { EXPECT_EQ(adapter.set_velocity(std::vector<float>(6, 1.0f)), -2); });
    const auto lines = lines_of(GetCapturedStdout());
    EXPECT_TRUE(elapsed >= 1000 && elapsed < 2000) << elapsed;
    ASSERT_GE(lines.size(), 3u);
    EXPECT_THAT(lines.front(), testing::MatchesRegex(trace("set_velocity")));
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "ctrl send data failed"),
              static_cast<std::ptrdiff_t>(lines.size()) - 2);
    EXPECT_EQ(lines.back(), kSendTimeout);
}

TEST_F(InspireAdapter, RegistersAreReadLiveAndErrorsCleared) {
    hand->set_positions({100, 200, 300, 400, 500, 600});
    hand->set_errors({0x00, 0x01, 0x02, 0x04, 0x08, 0x80});
    hand->set_status({0, 1, 2, 3, 0x7F, 0xFF});
    hand->set_currents({10, 20, 30, 40, 0x8000, 0xFFFF});
    hand->set_current_limits({100, 200, 300, 400, 500, 600});
    std::vector<long> codes;
    std::vector<unsigned char> status;
    std::vector<float> current, speeds, limits;
    std::vector<std::vector<float>> pvc = {{5.0f}};
    CaptureStdout();
    EXPECT_EQ(adapter.get_errorcode(codes), 0);
    EXPECT_EQ(adapter.get_status(status), 0);
    EXPECT_EQ(adapter.get_current(current), 0);
    EXPECT_EQ(adapter.get_velocity(speeds), 0);
    EXPECT_EQ(adapter.get_current_limited(limits), 0);
    EXPECT_LT(elapsed_ms([&] { EXPECT_EQ(adapter.get_pvc(pvc), 0); }), 500);
    expect_lines(GetCapturedStdout(), {trace("get_current"), trace("get_velocity"), trace("get_current_limited"),
                                       trace("get_velocity"), trace("get_current")});

    const std::vector<std::string> frames = {
        hex("EB 90 01 04 11 46 06 06 68"), padded(hex("EB 90 01 04 11 4C 06 06 6E")),
        padded(hex("EB 90 01 04 11 3A 06 0C 62")), padded(hex("EB 90 01 04 11 F2 05 0C 19")),
        padded(hex("EB 90 01 04 11 FC 03 0C 21")), hex("EB 90 01 04 11 0A 06 0C 32")};
    for (std::size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(request(i + 1), frames[i]) << i;
    EXPECT_EQ(codes, (std::vector<long>{0, 1, 2, 4, 8, -128}));
    EXPECT_EQ(status, (std::vector<unsigned char>{0, 1, 2, 3, 0x7F, 0xFF}));
    EXPECT_EQ(current, (std::vector<float>{10, 20, 30, 40, 32768, 1}));
    EXPECT_EQ(speeds, std::vector<float>(6, 1000.0f));
    EXPECT_EQ(limits, (std::vector<float>{100, 200, 300, 400, 500, 600}));
    EXPECT_EQ(pvc, (std::vector<std::vector<float>>{kReadBack, speeds, current}));
    EXPECT_EQ(adapter.default_current, std::vector<float>(6, 0.0f)) << "the row of a failed read";

    EXPECT_EQ(adapter.clear_errorcode(), 0);
    EXPECT_EQ(request(9), hex("EB 90 01 04 12 EC 03 01 07"));
    EXPECT_EQ(hand->errors(), (std::array<std::uint8_t, 6>{}));
}

TEST_F(InspireAdapter, ConfigurationIsTextAndOnlyItsOwnReplyIsTaken) {
    std::string cfg;
    EXPECT_EQ(adapter.get_comm_config(cfg), 0);
    EXPECT_EQ(request(1, sim::kCommPort), R"({"method":"GET","reqTarget":"/config","property":""})");
    EXPECT_EQ(cfg, hand->config_text());
    const std::string update = R"({"method":"SET","reqTarget":"/config","gateway":"192.168.137.2"})";
    EXPECT_EQ(adapter.set_comm_config(update), 0);
    EXPECT_EQ(request(2, sim::kCommPort), update);
    EXPECT_NE(hand->config_text().find(R"("gateway":"192.168.137.2")"), std::string::npos);
    EXPECT_EQ(adapter.set_comm_config("not json"), 0);  // not checked on the way out
    EXPECT_EQ(request(3, sim::kCommPort), "not json");

    // Each passed over, the answer for another target silently; then silence. cfg keeps its text.
    sim::Faults faults;
    faults.before = {R"({"reqTarget":5})", "[1,2]", "not json", std::string("\0x", 2),
                     R"({"reqTarget":"/config"} trailing)"};
    hand->set_faults(faults);
    hand->script(sim::kCommPort, R"({"reqTarget":"/other"})");
    cfg = "previous";
    CaptureStdout();
    CaptureStderr();
    const auto elapsed = elapsed_ms([&] { EXPECT_EQ(adapter.get_comm_config(cfg), -2); });
    const std::string skipped = kGetConfig + R"(reply without a string "reqTarget" skipped)" + "\n";
    EXPECT_EQ(GetCapturedStderr(), skipped + skipped);
    const std::string unparsed = kGetConfig + "Error in parsing JSON data\n";
    EXPECT_EQ(GetCapturedStdout(), unparsed + unparsed + kGetConfig + kRecvTimeout);
    EXPECT_TRUE(elapsed >= 1000 && elapsed < 2000) << elapsed;

    CaptureStdout();  // too long for one datagram: refused by the endpoint
    EXPECT_EQ(adapter.set_comm_config(std::string(1024, 'x')), -1);
    EXPECT_EQ(GetCapturedStdout(), "[Warning] [Inspire::set_comm_config(std::string cfg)] " + kSendDataFailed);
    break_endpoint(*adapter.comm_udp_socket);
    CaptureStdout();
    EXPECT_LT(elapsed_ms([&] { EXPECT_EQ(adapter.get_comm_config(cfg), -1); }), 100);
    EXPECT_EQ(GetCapturedStdout(), kGetConfig + kSendDataFailed);
    EXPECT_EQ(cfg, "previous");
    EXPECT_EQ(hand->received_count(sim::kCommPort), 4u);
}
