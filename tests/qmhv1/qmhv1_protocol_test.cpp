// Qmhv1 against a simulated first-generation hand inside the private namespace.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "protocols/qmhv1.h"
#include "qmhv1_hand.h"

using BaseHandProtocol::Qmhv1;
using sim::Qmhv1Hand;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::MatchesRegex;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;
using namespace std::chrono_literals;

namespace {

const std::string kIp = "192.168.137.41";
using Clock = std::chrono::steady_clock;

std::string bytes(std::initializer_list<int> list) {
    std::string out;
    for (int b : list) {
        out += static_cast<char>(b);
    }
    return out;
}

std::vector<std::string> frames(const Qmhv1Hand& hand, unsigned short port) {
    std::vector<std::string> out;
    for (const auto& r : hand.received(port)) {
        out.push_back(r.bytes);
    }
    return out;
}

long long ms_since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string timeout_line(const std::string& op, const char* state, const std::string& ip = kIp) {
    return "[Warning] [Qmhv1::" + op + "()] DEVICE " + state + ": " + ip + ", TIMEOUT\n";
}

struct Rig {
    sim::Simulator simulator;
    std::shared_ptr<Qmhv1Hand> hand = simulator.add<Qmhv1Hand>(kIp);
    Qmhv1 q{kIp};
};

}  // namespace

TEST(Qmhv1Protocol, ControlFramesLeaveByteForByteOnTheirPorts) {
    Rig rig;
    CaptureStdout();
    EXPECT_EQ(rig.q.calibration(), 0);
    EXPECT_EQ(rig.q.disable(), 0);
    EXPECT_EQ(rig.q.clear_errorcode(), 0);
    EXPECT_EQ(rig.q.set_pos_pid(2, {1.0f, 0.5f, 0.0f}), 0);
    EXPECT_EQ(rig.q.set_velocity_pid(1, {2.0f, 0.0f, 0.5f}), 0);
    EXPECT_EQ(rig.q.set_current_pid(4, {3.0f, 0.0f, 0.0f}), 0);
    EXPECT_EQ(rig.q.set_pos_limited(3, 10.0f, 2000.0f), 0);
    EXPECT_EQ(rig.q.set_velocity_limited(3, 100.0f), 0);
    EXPECT_EQ(rig.q.reset_pid(), 0);
    // Refused or unsupported: nothing goes out.
    EXPECT_EQ(rig.q.enable(), 0);
    EXPECT_EQ(rig.q.set_velocity({1, 2, 3, 4, 5, 6}), -1);
    EXPECT_EQ(rig.q.set_current({1, 2, 3, 4, 5, 6}), -1);
    EXPECT_EQ(rig.q.set_current_limited(3, 100.0f), -1);
    EXPECT_EQ(rig.q.set_current_pid(4, {1.0f, 2.0f}), -1);
    std::vector<std::vector<unsigned char>> matrix;
    std::vector<std::vector<float>> tashan;
    int ntc = 7;
    EXPECT_EQ(rig.q.get_ts_matrix(matrix) + rig.q.get_ts_tashan(tashan) + rig.q.get_ntc(ntc), -3);
    const std::string out = GetCapturedStdout();
    const std::string trace = "file = hand/protocols/qmhv1\\.cpp    function = ";
    EXPECT_THAT(out, MatchesRegex(trace + "set_pos_pid    line = [0-9]+\n" + trace +
                                  "set_velocity_pid    line = [0-9]+\n" + trace + "set_velocity    line = [0-9]+\n" +
                                  trace + "set_current    line = [0-9]+\n"
                                          "\\[Error\\] \\[qmhv1\\]\\[set_current_limited\\(unsigned char id, float "
                                          "limit\\)\\] the hand has no current-limit command; nothing sent\n"
                                          "pid size must be 3\n"));

    ASSERT_TRUE(rig.hand->wait_received(2333, 9, 1s));
    EXPECT_THAT(frames(*rig.hand, 2333),
                ElementsAre(bytes({1, 1}), bytes({1}), bytes({1, 0xF1, 0, 0}),
                            bytes({1, 5, 0, 2, 0x3F, 0x80, 0, 0, 0x3F, 0, 0, 0, 0, 0, 0, 0}),
                            bytes({1, 6, 0, 1, 0x40, 0, 0, 0, 0, 0, 0, 0, 0x3F, 0, 0, 0}),
                            bytes({1, 7, 0, 4, 0x40, 0x40, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
                            bytes({1, 8, 0, 3, 0x41, 0x20, 0, 0, 0x44, 0xFA, 0, 0}),
                            bytes({0, 9, 0, 3, 0x42, 0xC8, 0, 0}), bytes({1, 0x0B})));
    // The hand understood every frame.
    EXPECT_EQ(rig.hand->unknown_frames(), 0);
    EXPECT_EQ(rig.hand->calibrations(), 1);
    EXPECT_EQ(rig.hand->pid_resets(), 1);
    EXPECT_EQ(rig.hand->pos_limits()[7], 2000.0f);
    EXPECT_EQ(rig.hand->velocity_limits()[3], 100.0f);
    EXPECT_EQ(rig.hand->received_count(2334), 0u);
    EXPECT_EQ(rig.hand->received_count(2335), 0u);
}

TEST(Qmhv1Protocol, ReadsDecodeTheTextReplies) {
    Rig rig;
    rig.hand->set_counts({10, -20, 123456789012LL});
    rig.hand->set_status({1, 300, -1});
    rig.hand->set_currents({0.5f, 1.25f});
    rig.hand->set_error_field(bytes({1, 3, 2, 0x81}));

    std::vector<long> cnt{99};
    std::vector<unsigned char> status;
    std::vector<float> current, limits;
    std::vector<long> codes{5};
    // A reply restarts the shared count of empty polls.
    BaseHandProtocol::qmhv1_codec::current_recv_counts() = 50000;
    CaptureStdout();
    EXPECT_EQ(rig.q.get_cnt(cnt), 0);
    EXPECT_EQ(rig.q.get_status(status), 0);
    EXPECT_EQ(rig.q.get_current(current), 0);
    EXPECT_EQ(rig.q.get_current_limited(limits), 0);
    EXPECT_EQ(rig.q.get_errorcode(codes), 0);
    const std::string out = GetCapturedStdout();
    EXPECT_THAT(out, MatchesRegex("file = hand/protocols/qmhv1\\.cpp    function = get_status    line = [0-9]+\n"
                                  "errorcde: 0x103 0x201 0x280 \n"));
    EXPECT_THAT(cnt, ElementsAre(10, -20, 123456789012L));
    EXPECT_THAT(status, ElementsAre(1, 44, 255));
    EXPECT_THAT(current, ElementsAre(0.5f, 1.25f));
    EXPECT_EQ(BaseHandProtocol::qmhv1_codec::current_recv_counts().load(), 0);
    EXPECT_EQ(limits, rig.hand->current_limits());
    EXPECT_THAT(codes, ElementsAre(0x103, 0x201, 0x280));

    // Cleared errors read back as no codes and no line; an odd last byte is
    // ignored; a reply of words reads as zeros.
    EXPECT_EQ(rig.q.clear_errorcode(), 0);
    ASSERT_TRUE(rig.hand->wait_received(2333, 1, 1s));
    rig.hand->set_quirks({0, true, true, "\n"});
    CaptureStdout();
    EXPECT_EQ(rig.q.get_errorcode(codes), 0);
    EXPECT_EQ(rig.q.get_cnt(cnt), 0);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_TRUE(codes.empty());
    EXPECT_THAT(cnt, ElementsAre(0, 0, 0));
    EXPECT_THAT(frames(*rig.hand, 2334), ElementsAre(bytes({1}), bytes({5}), bytes({4}), bytes({0x0D}), bytes({6}),
                                                     bytes({6}), bytes({1})));
}

TEST(Qmhv1Protocol, PositionsRoundTripThroughTheMovingHand) {
    Rig rig;
    rig.hand->set_raw_positions({500, 0, 2000, 1000, 1500, 250});
    std::vector<float> fdb;
    EXPECT_EQ(rig.q.get_pos(fdb), 0);
    EXPECT_THAT(fdb, ElementsAre(0.75f, 1.0f, 0.0f, 0.5f, 0.25f, 0.875f));
    EXPECT_EQ(rig.q.pos_limits, rig.hand->pos_limits());

    // Slow enough that the move is seen in progress.
    rig.hand->set_speed(2000.0f);
    EXPECT_EQ(rig.q.set_pos({0.5f, 0.5f, 0.5f, 0.5f, 0.5f, -1.0f}), 0);
    ASSERT_TRUE(rig.hand->wait_received(2333, 1, 1s));
    EXPECT_THAT(rig.hand->targets(), ElementsAre(1000, 1000, 1000, 1000, 1000, 250));
    EXPECT_TRUE(rig.hand->moving());
    std::vector<float> velocity;
    EXPECT_EQ(rig.q.get_velocity(velocity), 0);
    EXPECT_THAT(velocity, ElementsAre(2000, 2000, -2000, 0, -2000, 0));

    const auto start = Clock::now();
    while (rig.hand->moving() && ms_since(start) < 3000) {
        std::this_thread::sleep_for(10ms);
    }
    std::vector<std::vector<float>> pvc;
    EXPECT_EQ(rig.q.get_pvc(pvc), 0);
    ASSERT_EQ(pvc.size(), 3u);
    EXPECT_THAT(pvc[0], ElementsAre(0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.875f));
    EXPECT_THAT(pvc[1], ElementsAre(0, 0, 0, 0, 0, 0));
    // The limits were read once, for the first position read only.
    const auto requests = frames(*rig.hand, 2334);
    EXPECT_EQ(std::count(requests.begin(), requests.end(), bytes({0x0B})), 1);
    EXPECT_THAT(frames(*rig.hand, 2333)[0].substr(0, 8), bytes({1, 0x11, 0, 0, 0x44, 0x7A, 0, 0}));

    // Hold markers of any length hold all six; wrong lists send nothing.
    CaptureStdout();
    EXPECT_EQ(rig.q.fast_set_positions({}), 0);
    EXPECT_EQ(rig.q.set_pos({-1, -1, -1, 0.2f}), -1);
    EXPECT_EQ(rig.q.fast_set_positions(std::vector<float>(6, -0.5f)), -1);
    EXPECT_THAT(GetCapturedStdout(),
                MatchesRegex("\\[Error\\] \\[qmhv1\\]\\[fast_set_positions\\(std::vector<float> pos\\)\\][0-9]+ pos size "
                             "must be 6\n\\[Error\\] \\[qmhv1\\]\\[fast_set_positions\\(std::vector<float> pos\\)\\]"
                             "[0-9]+ pos element must >= 0\n"));
    ASSERT_TRUE(rig.hand->wait_received(2333, 2, 1s));
    std::this_thread::sleep_for(20ms);
    ASSERT_EQ(rig.hand->received_count(2333), 2u);
    std::string holds = bytes({1, 0x11, 0, 0});
    for (int i = 0; i < 6; ++i) {
        holds += bytes({0xBF, 0x80, 0, 0});
    }
    EXPECT_EQ(frames(*rig.hand, 2333)[1], holds);
    EXPECT_EQ(rig.hand->unknown_frames(), 0);
}

TEST(Qmhv1Protocol, PositionReadsWaitForSixValues) {
    Rig rig;
    rig.hand->set_raw_positions({1000, 1000, 1000, 1000, 1000, 1000});
    std::vector<float> fdb;
    rig.q.pos_limits = rig.hand->pos_limits();
    rig.hand->set_faults({false, 0, 1, {"1 2 3 4 5"}});
    EXPECT_EQ(rig.q.get_pos(fdb), 0);
    EXPECT_THAT(fdb, ElementsAre(0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f));

    rig.hand->set_faults({});
    rig.hand->script(2334, "1 2 3 4 5");
    fdb = {9};
    CaptureStdout();
    const auto start = Clock::now();
    EXPECT_EQ(rig.q.get_pos(fdb), -2);
    const auto took = ms_since(start);
    EXPECT_EQ(GetCapturedStdout(), timeout_line("get_pos", "RECVFROM"));
    EXPECT_TRUE(fdb.empty());
    EXPECT_GE(took, 100);
    EXPECT_LT(took, 600);
}

TEST(Qmhv1Protocol, ShortLimitRepliesAreFailedLimitReads) {
    Rig rig;
    rig.hand->set_quirks({-1, false, false, ""});
    std::vector<float> fdb{7};
    CaptureStdout();
    EXPECT_EQ(rig.q.get_pos(fdb), -1);
    EXPECT_EQ(rig.q.fast_set_positions({0, 0, 0, 0, 0, 0}), -1);
    EXPECT_THAT(GetCapturedStdout(),
                MatchesRegex("\\[Error\\] \\[qmhv1\\]\\[get_pos\\(std::vector<float> &fdb\\)\\][0-9]+ get_pos_limited\\(\\) "
                             "fail\n\\[Error\\] \\[qmhv1\\]\\[fast_set_positions\\(std::vector<float> pos\\)\\][0-9]+ "
                             "get_pos_limited\\(\\) fail\n"));
    EXPECT_THAT(fdb, ElementsAre(7));
    EXPECT_TRUE(rig.q.pos_limits.empty());
    EXPECT_EQ(frames(*rig.hand, 2334), std::vector<std::string>(12, bytes({0x0B})));
    EXPECT_EQ(rig.hand->received_count(2333), 0u);

    // A full reply later fills the cache.
    rig.hand->set_quirks({});
    EXPECT_EQ(rig.q.get_pos(fdb), 0);
    EXPECT_EQ(rig.q.pos_limits.size(), 12u);
}

TEST(Qmhv1Protocol, SilentHandTimesOutJustAfterTheBudget) {
    Rig rig;
    rig.hand->set_faults({true, 0, 1, {}});
    std::vector<float> fdb;
    CaptureStdout();
    EXPECT_EQ(rig.q.get_pos(fdb), -1);
    std::string expected;
    for (int i = 0; i < 6; ++i) {
        expected += timeout_line("get_pos_limited", "RECVFROM");
    }
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(out.substr(0, expected.size()), expected);
    EXPECT_THAT(out.substr(expected.size()), HasSubstr("get_pos_limited() fail"));

    rig.q.pos_limits = rig.hand->pos_limits();
    std::vector<long> codes{3, 4};
    std::vector<std::vector<float>> pvc;
    CaptureStdout();
    auto start = Clock::now();
    EXPECT_EQ(rig.q.get_errorcode(codes), -2);
    const auto took = ms_since(start);
    EXPECT_EQ(rig.q.reboot(), 0);
    EXPECT_EQ(rig.q.get_pvc(pvc), -2);
    EXPECT_EQ(GetCapturedStdout(), timeout_line("get_errorcode", "RECVFROM") + timeout_line("get_pos", "RECVFROM") +
                                       timeout_line("get_velocity", "RECVFROM") +
                                       timeout_line("get_current", "RECVFROM"));
    EXPECT_GE(took, 100);
    EXPECT_LT(took, 600);
    EXPECT_THAT(codes, ElementsAre(1));
    EXPECT_EQ(pvc, std::vector<std::vector<float>>(3, std::vector<float>(6, 0.0f)));
    ASSERT_TRUE(rig.hand->wait_received(2334, 11, 1s));
    EXPECT_EQ(rig.hand->reboots(), 1);
}

TEST(Qmhv1Protocol, LateAnswerIsTakenByTheNextRequestOnThePort) {
    Rig rig;
    rig.hand->set_raw_positions({500, 0, 2000, 1000, 1500, 250});
    rig.q.pos_limits = rig.hand->pos_limits();
    rig.hand->set_faults({false, 150, 1, {}});
    std::vector<float> fdb;
    CaptureStdout();
    EXPECT_EQ(rig.q.get_pos(fdb), -2);
    EXPECT_EQ(GetCapturedStdout(), timeout_line("get_pos", "RECVFROM"));
    rig.hand->set_faults({});
    std::this_thread::sleep_for(150ms);
    std::vector<long> cnt;
    EXPECT_EQ(rig.q.get_cnt(cnt), 0);
    EXPECT_THAT(cnt, ElementsAre(500, 0, 2000, 1000, 1500, 250));
}

TEST(Qmhv1Protocol, FailingSendsEndWithTheSendtoWarning) {
    EXPECT_THROW(Qmhv1("192.168.137.256"), std::invalid_argument);
    // Broadcast without permission: every send fails.
    Qmhv1 q("192.168.137.255");
    std::vector<long> cnt;
    CaptureStdout();
    EXPECT_EQ(q.calibration(), -2);
    EXPECT_EQ(q.get_cnt(cnt), -2);
    EXPECT_EQ(q.reboot(), -2);
    EXPECT_EQ(GetCapturedStdout(), timeout_line("calibration", "SENDTO", "192.168.137.255") +
                                       timeout_line("get_cnt", "SENDTO", "192.168.137.255") +
                                       timeout_line("reboot", "SENDTO", "192.168.137.255"));
}

TEST(Qmhv1Protocol, CurrentAndVelocityReadsResendAfterEmptyPolls) {
    Rig rig;
    rig.hand->set_faults({true, 0, 1, {}});
    rig.q.recv_counts_limit = 2000;
    std::vector<float> values;
    CaptureStdout();
    EXPECT_EQ(rig.q.get_current(values), -2);
    EXPECT_EQ(rig.q.get_velocity(values), -2);
    GetCapturedStdout();
    const auto sent = frames(*rig.hand, 2334);
    EXPECT_GT(std::count(sent.begin(), sent.end(), bytes({4})), 1);
    EXPECT_GT(std::count(sent.begin(), sent.end(), bytes({3})), 1);
}

TEST(Qmhv1Protocol, ConfigurationAndIdentity) {
    Rig rig;
    std::string cfg;
    EXPECT_EQ(rig.q.get_comm_config(cfg), 0);
    EXPECT_EQ(cfg, rig.hand->config_text());

    EXPECT_EQ(rig.q.set_comm_config(R"({"sn":"AB000123","mac_address":[18,52,342],"static_ip":[10,1]})"), 0);
    ASSERT_TRUE(rig.hand->wait_received(2334, 4, 1s));
    EXPECT_EQ(rig.hand->sn(), "AB000123");
    EXPECT_THAT(rig.hand->mac_address(), ElementsAre(0x12, 0x34, 0x56, 0, 0, 0));
    EXPECT_THAT(rig.hand->static_ip(), ElementsAre(10, 1, 0, 0));
    EXPECT_EQ(rig.q.get_comm_config(cfg), 0);
    EXPECT_THAT(cfg, HasSubstr(R"("sn":"AB000123","mac_address":[18,52,86,0,0,0],"static_ip":[10,1,0,0])"));

    // A reply without the version array is passed over (one line each).
    rig.hand->set_faults({false, 0, 1, {R"({"sn":"x"})"}});
    CaptureStderr();
    EXPECT_EQ(rig.q.get_comm_config(cfg), 0);
    EXPECT_EQ(GetCapturedStderr(), "[ERROR] [qmhv1][get_comm_config] check reply failed\n");
    rig.hand->set_faults({});
    rig.hand->script(2334, "[1]");
    rig.hand->script(2334, R"({"hardware_verison":[]} tail)");
    cfg = "kept";
    CaptureStdout();
    EXPECT_EQ(rig.q.get_comm_config(cfg), -1);
    EXPECT_EQ(rig.q.get_comm_config(cfg), -1);
    EXPECT_EQ(cfg, "kept");

    // Refused items: nothing of theirs is sent, later items neither.
    const auto before = rig.hand->received_count(2334);
    EXPECT_EQ(rig.q.set_comm_config("[1,2]"), -1);
    EXPECT_EQ(rig.q.set_comm_config("{"), -1);
    EXPECT_EQ(rig.q.set_comm_config(R"({"sn":"S2","mac_address":[1,2.5],"static_ip":[1,2,3,4]})"), -1);
    EXPECT_EQ(rig.q.set_ip({1, 2, 3, 4, 5}), -1);
    EXPECT_EQ(rig.q.set_ip({1, 2, 256, 4}), -1);
    EXPECT_EQ(rig.q.set_mac(std::vector<int>(7, 1)), -1);
    EXPECT_EQ(rig.q.set_sn(std::string(32, 'x')), -1);
    EXPECT_EQ(GetCapturedStdout(),
              "[Error] [qmhv1][get_comm_config(std::string &cfg)] reply is not a JSON object\n"
              "Error in parsing JSON data\n"
              "[Error] [qmhv1][set_comm_config(std::string cfg)] configuration is not a JSON object\n"
              "Error in parsing JSON data\n"
              "[Error] [qmhv1][set_comm_config(std::string cfg)] mac_address must hold 32-bit integers\n"
              "[Error] [qmhv1][set_ip(std::vector<int> ip)] ip size must be at most 4\n"
              "[Error] [qmhv1][set_mac(std::vector<int> mac)] mac size must be at most 6\n"
              "[Error] [qmhv1][set_sn(std::string sn)] sn length must be at most 31\n");
    ASSERT_TRUE(rig.hand->wait_received(2334, before + 1, 1s));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(rig.hand->received_count(2334), before + 1);
    EXPECT_EQ(rig.hand->sn(), "S2");
    EXPECT_THAT(rig.hand->static_ip(), ElementsAre(10, 1, 0, 0));
    EXPECT_EQ(rig.hand->unknown_frames(), 0);
}
