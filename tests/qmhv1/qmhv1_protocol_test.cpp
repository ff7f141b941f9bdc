// Qmhv1 against a simulated first-generation hand inside the private namespace.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "protocols/qmhv1.h"
#include "protocols/qmhv1_codec.h"
#include "qmhv1_hand.h"

using BaseHandProtocol::Qmhv1;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::MatchesRegex;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using namespace std::chrono_literals;

namespace {

const std::string kIp = "192.168.137.41";
using Frames = std::vector<std::string>;

std::string bytes(std::initializer_list<int> list) { return std::string(list.begin(), list.end()); }

std::string timeout_line(const std::string& op, const char* state = "RECVFROM", const std::string& ip = kIp) {
    return "[Warning] [Qmhv1::" + op + "()] DEVICE " + state + ": " + ip + ", TIMEOUT\n";
}

struct Rig {
    sim::Simulator simulator;
    std::shared_ptr<sim::Qmhv1Hand> hand = simulator.add<sim::Qmhv1Hand>(kIp);
    Qmhv1 q{kIp};

    Frames frames(unsigned short port) const {
        Frames out;
        for (const auto& r : hand->received(port)) {
            out.push_back(r.bytes);
        }
        return out;
    }
    // The frames on port once `count` have arrived and no more follow.
    Frames settled(unsigned short port, std::size_t count) const {
        EXPECT_TRUE(hand->wait_received(port, count, 1s));
        std::this_thread::sleep_for(20ms);
        return frames(port);
    }
};

}  // namespace

TEST(Qmhv1Protocol, EveryFrameLeavesByteForByteOnItsPortAndRepliesDecode) {
    Rig rig;
    Qmhv1& q = rig.q;
    rig.hand->set_counts({10, -20, 123456789012LL});
    rig.hand->set_status({1, 300, -1});
    rig.hand->set_currents({0.5f, 1.25f});
    rig.hand->set_error_field(bytes({1, 3, 2, 0x81}));
    q.pos_limits = rig.hand->pos_limits();
    const std::string config = rig.hand->config_text();
    std::vector<long> cnt{99}, codes{5};
    std::vector<unsigned char> status;
    std::vector<float> fdb, velocity, current, limits;
    std::string cfg;
    struct Row { unsigned short port; std::string frame; std::function<int()> call; };
    // Requests first: a control frame on the other port may overtake them.
    const Row rows[] = {
        {2334, bytes({1}), [&] { return q.get_cnt(cnt); }},
        {2334, bytes({2, 0}), [&] { return q.get_pos(fdb); }},
        {2334, bytes({3}), [&] { return q.get_velocity(velocity); }},
        {2334, bytes({4}), [&] { return q.get_current(current); }},
        {2334, bytes({5}), [&] { return q.get_status(status); }},
        {2334, bytes({6}), [&] { return q.get_errorcode(codes); }},
        {2334, bytes({0x0B}), [&] { return q.get_pos_limited(limits); }},
        {2334, bytes({0x0C}), [&] { return q.get_velocity_limited(limits); }},
        {2334, bytes({0x0D}), [&] { return q.get_current_limited(limits); }},
        {2334, std::string(6, '\xFF'), [&] { return q.get_comm_config(cfg); }},
        {2334, bytes({0x23, 10, 1, 0, 0}), [&] { return q.set_ip({10, 1}); }},
        {2334, bytes({0x24, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}), [&] { return q.set_mac({18, 52, 342, 120, 154, 188}); }},
        {2334, bytes({0x25, 'A', 'B', '1'}) + std::string(28, '\0'), [&] { return q.set_sn("AB1"); }},
        {2334, bytes({0x25}) + std::string(31, 'x'), [&] { return q.set_sn(std::string(31, 'x')); }},
        {2334, bytes({0xF1}), [&] { return q.reboot(); }},
        {2333, bytes({1, 1}), [&] { return q.calibration(); }},
        {2333, bytes({1}), [&] { return q.disable(); }},
        {2333, bytes({1, 0xF1, 0, 0}), [&] { return q.clear_errorcode(); }},
        {2333, bytes({1, 5, 0, 2, 0x3F, 0x80, 0, 0, 0x3F, 0, 0, 0, 0, 0, 0, 0}),
         [&] { return q.set_pos_pid(2, {1.0f, 0.5f, 0.0f}); }},
        {2333, bytes({1, 6, 0, 1, 0x40, 0, 0, 0, 0, 0, 0, 0, 0x3F, 0, 0, 0}),
         [&] { return q.set_velocity_pid(1, {2.0f, 0.0f, 0.5f}); }},
        {2333, bytes({1, 7, 0, 4, 0x40, 0x40, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
         [&] { return q.set_current_pid(4, {3.0f, 0.0f, 0.0f}); }},
        {2333, bytes({1, 8, 0, 3, 0x41, 0x20, 0, 0, 0x44, 0xFA, 0, 0}), [&] { return q.set_pos_limited(3, 10, 2000); }},
        {2333, bytes({0, 9, 0, 3, 0x42, 0xC8, 0, 0}), [&] { return q.set_velocity_limited(3, 100.0f); }},
        {2333, bytes({1, 0x0B}), [&] { return q.reset_pid(); }},
    };
    BaseHandProtocol::qmhv1_codec::current_recv_counts() = 50000;  // a reply restarts it
    Frames ctrl, comm;
    CaptureStdout();
    for (const Row& row : rows) {
        EXPECT_EQ(row.call(), 0) << testing::PrintToString(row.frame);
        (row.port == 2333 ? ctrl : comm).push_back(row.frame);
    }
    // Refused or unserved: nothing goes out.
    std::vector<std::vector<unsigned char>> matrix;
    std::vector<std::vector<float>> tashan;
    int ntc = 7;
    EXPECT_EQ(q.enable(), 0);
    EXPECT_EQ(q.set_velocity({1, 2, 3, 4, 5, 6}) + q.set_current({1, 2, 3, 4, 5, 6}), -2);
    EXPECT_EQ(q.set_current_limited(3, 100.0f), -1);
    EXPECT_EQ(q.set_current_pid(4, {1.0f, 2.0f}), -1);
    EXPECT_EQ(q.get_ts_matrix(matrix) + q.get_ts_tashan(tashan) + q.get_ntc(ntc), -3);
    const std::string trace = "file = hand/protocols/qmhv1\\.cpp    function = ";
    EXPECT_THAT(GetCapturedStdout(),
                MatchesRegex(trace + "get_status    line = [0-9]+\nerrorcde: 0x103 0x201 0x280 \n" + trace +
                             "set_pos_pid    line = [0-9]+\n" + trace + "set_velocity_pid    line = [0-9]+\n" + trace +
                             "set_velocity    line = [0-9]+\n" + trace + "set_current    line = [0-9]+\n"
                             "\\[Error\\] \\[qmhv1\\]\\[set_current_limited\\(unsigned char id, float limit\\)\\] "
                             "the hand has no current-limit command; nothing sent\npid size must be 3\n"));
    EXPECT_EQ(rig.settled(2333, ctrl.size()), ctrl);
    EXPECT_EQ(rig.settled(2334, comm.size()), comm);
    EXPECT_EQ(rig.hand->received_count(2335), 0u);
    EXPECT_EQ(rig.hand->unknown_frames(), 0);
    EXPECT_THAT(cnt, ElementsAre(10, -20, 123456789012L));
    EXPECT_THAT(status, ElementsAre(1, 44, 255));
    EXPECT_THAT(current, ElementsAre(0.5f, 1.25f));
    EXPECT_EQ(BaseHandProtocol::qmhv1_codec::current_recv_counts().load(), 0);
    EXPECT_THAT(codes, ElementsAre(0x103, 0x201, 0x280));
    EXPECT_EQ(limits, rig.hand->current_limits());
    EXPECT_EQ(cfg, config);
}

TEST(Qmhv1Protocol, PositionsUseLimitsReadOnceAndTheLateReplyGoesToTheNextRequest) {
    Rig rig;
    rig.hand->set_raw_positions({500, 0, 2000, 1000, 1500, 250});
    std::vector<float> fdb;
    EXPECT_EQ(rig.q.get_pos(fdb), 0);
    rig.hand->set_faults({false, 0, 1, {"1 2 3 4 5"}});  // five values ahead of the answer: passed over
    EXPECT_EQ(rig.q.get_pos(fdb), 0);
    EXPECT_THAT(fdb, ElementsAre(0.75f, 1.0f, 0.0f, 0.5f, 0.25f, 0.875f));

    rig.hand->set_faults({false, 150, 1, {}});
    CaptureStdout();
    EXPECT_EQ(rig.q.get_pos(fdb), -2);
    EXPECT_EQ(GetCapturedStdout(), timeout_line("get_pos"));
    EXPECT_TRUE(fdb.empty());
    rig.hand->set_faults({});
    std::this_thread::sleep_for(150ms);
    std::vector<long> cnt;
    EXPECT_EQ(rig.q.get_cnt(cnt), 0);
    EXPECT_THAT(cnt, ElementsAre(500, 0, 2000, 1000, 1500, 250));
    const Frames requests = rig.frames(2334);
    EXPECT_EQ(std::count(requests.begin(), requests.end(), bytes({0x0B})), 1);

    // Hold markers of any length hold all six; wrong lists send nothing.
    CaptureStdout();
    EXPECT_EQ(rig.q.set_pos({0.5f, 0.5f, 0.5f, 0.5f, 0.5f, -1.0f}), 0);
    EXPECT_EQ(rig.q.fast_set_positions({}), 0);
    EXPECT_EQ(rig.q.set_pos({-1, -1, -1, 0.2f}), -1);
    EXPECT_EQ(rig.q.fast_set_positions(std::vector<float>(6, -0.5f)), -1);
    const std::string error = "\\[Error\\] \\[qmhv1\\]\\[fast_set_positions\\(std::vector<float> pos\\)\\][0-9]+ ";
    EXPECT_THAT(GetCapturedStdout(), MatchesRegex(error + "pos size must be 6\n" + error + "pos element must >= 0\n"));
    const std::string head = bytes({1, 0x11, 0, 0}), half = bytes({0x44, 0x7A, 0, 0}), hold = bytes({0xBF, 0x80, 0, 0});
    EXPECT_EQ(rig.settled(2333, 2), (Frames{head + half + half + half + half + half + hold,
                                            head + hold + hold + hold + hold + hold + hold}));
}

TEST(Qmhv1Protocol, LimitReadsFailAfterSixShortOrMissingReplies) {
    Rig rig;
    rig.hand->set_quirks({-1, false, false, ""});  // eleven limit values
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
    EXPECT_EQ(rig.frames(2334), Frames(12, bytes({0x0B})));
    EXPECT_EQ(rig.hand->received_count(2333), 0u);

    rig.hand->set_quirks({});
    rig.hand->set_faults({true, 0, 1, {}});
    CaptureStdout();
    EXPECT_EQ(rig.q.get_pos(fdb), -1);
    EXPECT_THAT(GetCapturedStdout(), MatchesRegex("(\\[Warning\\] \\[Qmhv1::get_pos_limited\\(\\)\\] DEVICE RECVFROM: "
                                                  "192\\.168\\.137\\.41, TIMEOUT\n){6}\\[Error\\].* get_pos_limited\\(\\) fail\n"));
    rig.hand->set_faults({});  // a full reply later fills the cache
    EXPECT_EQ(rig.q.get_pos(fdb), 0);
    EXPECT_EQ(rig.q.pos_limits.size(), 12u);
}

TEST(Qmhv1Protocol, SilentHandTimesOutJustAfterTheBudgetAndReadsResend) {
    Rig rig;
    rig.hand->set_faults({true, 0, 1, {}});
    rig.q.recv_counts_limit = 2000;
    rig.q.pos_limits = rig.hand->pos_limits();
    std::vector<long> codes{3, 4};
    std::vector<std::vector<float>> pvc;
    CaptureStdout();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(rig.q.get_errorcode(codes), -2);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(rig.q.reboot(), 0);
    EXPECT_EQ(rig.q.get_pvc(pvc), -2);
    EXPECT_EQ(GetCapturedStdout(), timeout_line("get_errorcode") + timeout_line("get_pos") +
                                       timeout_line("get_velocity") + timeout_line("get_current"));
    EXPECT_GE(took, 100ms);
    EXPECT_LT(took, 600ms);
    EXPECT_THAT(codes, ElementsAre(1));
    EXPECT_EQ(pvc, std::vector<std::vector<float>>(3, std::vector<float>(6, 0.0f)));
    ASSERT_TRUE(rig.hand->wait_received(2334, 7, 1s));
    EXPECT_EQ(rig.hand->reboots(), 1);
    // Current and velocity reads send their request again after empty polls.
    const Frames sent = rig.frames(2334);
    EXPECT_GT(std::count(sent.begin(), sent.end(), bytes({3})), 1);
    EXPECT_GT(std::count(sent.begin(), sent.end(), bytes({4})), 1);
}

TEST(Qmhv1Protocol, FailingSendsEndWithTheSendtoWarning) {
    EXPECT_THROW(Qmhv1("192.168.137.256"), std::invalid_argument);
    const std::string broadcast = "192.168.137.255";  // no permission: every send fails
    Qmhv1 q(broadcast);
    std::vector<long> cnt;
    CaptureStdout();
    EXPECT_EQ(q.calibration(), -2);
    EXPECT_EQ(q.get_cnt(cnt), -2);
    EXPECT_EQ(q.reboot(), -2);
    EXPECT_EQ(GetCapturedStdout(), timeout_line("calibration", "SENDTO", broadcast) +
                                       timeout_line("get_cnt", "SENDTO", broadcast) +
                                       timeout_line("reboot", "SENDTO", broadcast));
}

TEST(Qmhv1Protocol, ConfigurationAndIdentity) {
    Rig rig;
    std::string cfg;
    EXPECT_EQ(rig.q.set_comm_config(R"({"sn":"AB000123","mac_address":[18,52,342],"static_ip":[10,1]})"), 0);
    rig.settled(2334, 3);
    EXPECT_EQ(rig.q.get_comm_config(cfg), 0);
    EXPECT_THAT(cfg, HasSubstr(R"("sn":"AB000123","mac_address":[18,52,86,0,0,0],"static_ip":[10,1,0,0])"));

    // A reply without the version array is passed over (one line each).
    rig.hand->set_faults({false, 0, 1, {R"({"sn":"x"})"}});
    testing::internal::CaptureStderr();
    EXPECT_EQ(rig.q.get_comm_config(cfg), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[ERROR] [qmhv1][get_comm_config] check reply failed\n");
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
    EXPECT_EQ(rig.settled(2334, before + 1).size(), before + 1);  // only S2
    EXPECT_EQ(rig.hand->sn(), "S2");
}
