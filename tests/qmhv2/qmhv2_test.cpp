// The second-generation protocol class against a simulated hand, inside the
// private network namespace.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <future>
#include <thread>

#include "protocols/qmhv2.h"
#include "qmhv2_hand.h"
#include "support/udp_peer.h"

using BaseHandProtocol::Qmhv2;
using namespace testing::internal;  // CaptureStdout and friends

namespace {

const std::string kIp = "192.168.137.39";
const std::string kTimeout = "DEVICE RECVFROM: 192.168.137.39, TIMEOUT\n";
const std::string kParseError = "Error in parsing JSON data\n";
constexpr unsigned short kCtrl = 2333, kComm = 2334, kAux = 2335;
using Clock = std::chrono::steady_clock;
constexpr int kSlackMs = 300;  // past a time limit: generous, since eight busy loops share two cores
using Results = std::vector<int>;  // braces keep the calls in order

long long ms_since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}
void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::vector<float> command(std::initializer_list<float> head) {
    std::vector<float> cmd(head);
    cmd.resize(12, 0.0f);
    return cmd;
}

struct Outputs {
    std::vector<float> angles;
    std::vector<long> codes;
    std::vector<std::vector<unsigned char>> matrix;
    std::string config;
    bool empty() const { return angles.empty() && codes.empty() && matrix.empty() && config.empty(); }
};

// Every exchange with its time limit and the line of a refused send (none: the send is retried).
struct Op {
    std::string name;
    int limit_ms;
    const char* send_failed;
    std::function<int(Qmhv2&, Outputs&)> run;
};
const std::vector<Op> kOps = {
    {"calibration", 100, nullptr, [](Qmhv2& q, Outputs&) { return q.calibration(); }},
    {"set_pos", 150, nullptr, [](Qmhv2& q, Outputs&) { return q.set_pos(command({1.0f})); }},
    {"get_errorcode", 100, nullptr, [](Qmhv2& q, Outputs& o) { return q.get_errorcode(o.codes); }},
    {"enable", 500, "SET ENABLE FAILED", [](Qmhv2& q, Outputs&) { return q.enable(); }},
    {"disable", 1000, "SET DISABLE FAILED", [](Qmhv2& q, Outputs&) { return q.disable(); }},
    {"get_pos", 1000, "GET PVA FAILED", [](Qmhv2& q, Outputs& o) { return q.get_pos(o.angles); }},
    {"get_ts_matrix", 1000, "SEND GET MATRIX FAILED",
     [](Qmhv2& q, Outputs& o) { return q.get_ts_matrix(o.matrix); }},
    {"get_comm_config", 1000, "SEND GET CONFIG FAILED",
     [](Qmhv2& q, Outputs& o) { return q.get_comm_config(o.config); }},
    {"set_comm_config", 1000, "SEND SET MATRIX FAILED", [](Qmhv2& q, Outputs&) { return q.set_comm_config("{}"); }},
};

// get_errorcode's "[INFO] init_ms: N", N past its 100 ms limit, right before its last line.
void expect_init_ms_then(const std::string& lines, const std::string& last) {
    const std::string info = "[INFO] init_ms: ";
    ASSERT_EQ(lines.rfind(info, 0), 0u) << lines;
    EXPECT_GE(std::stol(lines.substr(info.size())), 101);
    EXPECT_EQ(lines.substr(lines.find('\n') + 1), last);
}

class Qmhv2Test : public testing::Test {
protected:
    sim::Simulator simulator;
    std::shared_ptr<sim::Qmhv2Hand> hand = simulator.add<sim::Qmhv2Hand>(kIp);
    Qmhv2 qmhv2{kIp};
    bool comm_readable() { return dexhand_test::wait_readable(qmhv2.comm_udp_socket->sockfd); }
    bool ctrl_readable() { return dexhand_test::wait_readable(qmhv2.ctrl_udp_socket->sockfd); }
    std::vector<std::string> received(unsigned short port) {
        std::vector<std::string> out;
        for (const auto& r : hand->received(port)) out.push_back(r.bytes);
        return out;
    }
};

}  // namespace

TEST_F(Qmhv2Test, EveryExchangeSendsItsTextOnItsPortAndSucceeds) {
    Outputs out{{99.0f}, {7}, {{42}}, ""};  // appended to, not cleared
    const std::string config = hand->config(), change = R"({"method":"SET","cmd":"/config","speed_limit":90})";
    CaptureStdout();
    EXPECT_EQ((Results{qmhv2.enable(), qmhv2.disable(), qmhv2.calibration()}), Results(3, 0));
    EXPECT_FALSE(hand->enabled());
    EXPECT_EQ(qmhv2.set_pos(command({10.0f, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1.0f})), 0);
    EXPECT_EQ(qmhv2.fast_set_positions(command({12.3f, 0.1f, 1e-7f, -0.0f})), 0);
    EXPECT_EQ((Results{qmhv2.get_pos(out.angles), qmhv2.get_errorcode(out.codes), qmhv2.get_ts_matrix(out.matrix),
                       qmhv2.get_comm_config(out.config), qmhv2.set_comm_config(change)}),
              Results(5, 0));
    EXPECT_EQ(GetCapturedStdout(), "");

    EXPECT_EQ(received(kCtrl),
              (std::vector<std::string>{
                  R"({"method":"SET","cmd":"/enable"})", R"({"method":"SET","cmd":"/disable"})",
                  R"({"method":"SET","cmd":"/calibration"})",
                  R"({"method":"SET","cmd":"/pos","position":[10.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,-1.0]})",
                  R"({"method":"SET","cmd":"/pos","position":[12.300000190734863,0.10000000149011612,)"
                  R"(1.0000000116860974e-7,-0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0]})"}));
    EXPECT_EQ(received(kComm),
              (std::vector<std::string>{R"({"method":"GET","cmd":"/pva"})", R"({"method":"GET","cmd":"/errorcode"})",
                                        R"({"method":"GET","cmd":"/matrix"})", R"({"method":"GET","cmd":"/config"})",
                                        change}));
    EXPECT_EQ(hand->received_count(kAux), 0u);
    EXPECT_TRUE(out.angles.size() == 13u && out.angles[0] == 99.0f);
    EXPECT_EQ(out.codes, (std::vector<long>{7, 4294967295L, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));  // calibrating
    EXPECT_EQ(out.config, config);
    EXPECT_NE(hand->config().find(R"("speed_limit":90)"), std::string::npos);
    EXPECT_EQ(hand->targets()[0], static_cast<double>(12.3f));
    // Bits 16-23, 8-15 and 0-7 of each element; 32 elements to a row.
    const std::vector<std::uint32_t> elements = hand->matrix();
    std::vector<std::vector<unsigned char>> rows = {{42}, {}, {}};
    for (std::size_t i = 0; i < 64 * 3; ++i) rows[1 + i / 96].push_back(elements[i / 3] >> (16 - 8 * (i % 3)));
    EXPECT_EQ(out.matrix, rows);
}

TEST_F(Qmhv2Test, RefusedArgumentsPrintTheirLineAndSendNothing) {
    CaptureStdout();
    for (const std::size_t size : {11, 13, 0}) EXPECT_EQ(qmhv2.set_pos(std::vector<float>(size, 0.0f)), -1);
    EXPECT_EQ(qmhv2.fast_set_positions(std::vector<float>(6, 0.0f)), -1);
    EXPECT_EQ((Results{qmhv2.set_pos(command({1.0f, NAN})), qmhv2.set_pos(command({INFINITY})),
                       qmhv2.fast_set_positions(command({-INFINITY}))}),
              Results(3, -1));
    EXPECT_EQ(qmhv2.set_comm_config(std::string(1024, ' ')), -1);
    const std::string size = "qmhv2 set_pos(): Cmd container must contain 12 elements, now: ";
    const std::string hint = "            if you don't want the other fingers to move, you can fill them with -1\n";
    const std::string finite = "qmhv2 set_pos(): Cmd container must hold finite values only\n";
    EXPECT_EQ(GetCapturedStdout(),
              size + "11" + hint + size + "13" + hint + size + "0" + hint +
                  "qmhv2 fast_set_positions(std::vector<float> pos): pos.size() != 12, is 6\n" + finite + finite + finite +
                  "qmhv2 set_comm_config(): config text must be shorter than 1024 bytes, is 1024\n");
    sleep_ms(30);
    EXPECT_EQ(hand->received_count(kCtrl) + hand->received_count(kComm) + hand->received_count(kAux), 0u);

    EXPECT_EQ(qmhv2.set_comm_config(std::string(1023, ' ')), 0);  // the longest that fits goes out whole
    EXPECT_EQ(received(kComm), std::vector<std::string>{std::string(1023, ' ')});
}

TEST_F(Qmhv2Test, JointsMoveTowardTheirTargetsUnlessDisabled) {
    hand->set_speed(100.0);
    hand->set_angles({0, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    std::vector<float> angles;
    ASSERT_EQ((Results{qmhv2.set_pos(command({30.0f, -1.0f})), qmhv2.get_pos(angles)}), Results(2, 0));  // -1: keep
    EXPECT_TRUE(angles[0] > 0.0f && angles[0] < 30.0f) << angles[0];  // on its way: 30 units take 300 ms
    sleep_ms(400);
    std::vector<std::vector<float>> pvc;
    EXPECT_EQ(qmhv2.get_pvc(pvc), -1);
    EXPECT_EQ(pvc, (std::vector<std::vector<float>>{command({30.0f, 5.0f}), command({}), command({})}));

    ASSERT_EQ((Results{qmhv2.disable(), qmhv2.set_pos(command({-20.0f, 5.0f}))}), Results(2, 0));
    sleep_ms(50);
    angles.clear();
    ASSERT_EQ(qmhv2.get_pos(angles), 0);
    EXPECT_EQ(angles[0], 30.0f);
}

TEST_F(Qmhv2Test, RefusedCommandsPrintTheirFailedLinesPastEmptyAndNulLedDatagrams) {
    hand->set_faults(sim::Faults{false, 0, 1, {"", std::string("\0{}", 3)}});
    hand->set_calibration(0, true);  // a failed run ends in first code 1
    std::vector<long> codes;
    ASSERT_EQ((Results{qmhv2.calibration(), qmhv2.get_errorcode(codes)}), Results(2, 0));
    EXPECT_EQ(codes[0], 1);
    hand->set_command_code("/enable", 3);
    hand->set_command_code("/disable", 2);
    hand->set_command_code("/calibration", 3);
    CaptureStdout();
    EXPECT_EQ((Results{qmhv2.enable(), qmhv2.disable(), qmhv2.calibration()}), Results(3, -1));
    EXPECT_EQ(GetCapturedStdout(), "MOTOR: 192.168.137.39, SET ENABLE FAILED\n"
                                   "MOTOR: 192.168.137.39, SET DISABLE FAILED\n"
                                   "MOTOR: 192.168.137.39, SET CALIBRATION FAILED\n");
    std::string config;
    EXPECT_EQ(qmhv2.get_comm_config(config), 0);
    EXPECT_EQ(config, hand->config());

    // Calibration takes any JSON answer, success without an unsigned code; so does set_comm_config.
    hand->set_faults(sim::Faults{});
    CaptureStdout();
    for (const char* answer : {"{}", R"({"errorcode":-1})", R"({"errorcode":"3"})", "[3]", "3"}) {
        hand->script(kCtrl, answer);
        EXPECT_EQ(qmhv2.calibration(), 0) << answer;
    }
    hand->script(kComm, R"({"errorcode":1})");
    EXPECT_EQ(qmhv2.set_comm_config("whatever the hand makes of it"), 0);
    EXPECT_EQ(GetCapturedStdout(), "");
}

TEST_F(Qmhv2Test, AReplyThatDoesNotParseEndsEveryParsingOperationAtOnce) {
    hand->set_faults(sim::Faults{false, 0, 1, {R"({"errorcode":)"}});  // a good answer right behind it
    Outputs out;
    for (const Op& op : kOps) {
        if (op.name == "get_comm_config") continue;  // takes any text, below
        SCOPED_TRACE(op.name);
        Qmhv2 fresh(kIp);  // so the good answer left behind is nobody's
        CaptureStdout();
        const auto start = Clock::now();
        EXPECT_EQ(op.run(fresh, out), -1);
        EXPECT_LT(ms_since(start), 90);
        EXPECT_EQ(GetCapturedStdout(), kParseError);
    }
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(qmhv2.get_comm_config(out.config), 0);
    EXPECT_EQ(out.config, R"({"errorcode":)");
}

TEST_F(Qmhv2Test, RepliesWithoutTheAwaitedMemberArePassedOver) {
    // Ahead of each answer: the members of the wrong kind, and a root that is no object.
    hand->set_faults(sim::Faults{false, 0, 1, {R"({"errorcode":"0","angle":{},"matrix":7})", "[0]"}});
    Outputs out;
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ((Results{qmhv2.enable(), qmhv2.disable(), qmhv2.get_pos(out.angles), qmhv2.get_errorcode(out.codes),
                       qmhv2.get_ts_matrix(out.matrix)}),
              Results(5, 0));
    const std::string passed = "\"angle\" is not an array or does not exist.\n";
    EXPECT_EQ(GetCapturedStderr(), passed + passed);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_TRUE(out.angles.size() == 12u && out.codes.size() == 12u && out.matrix.size() == 2u);

    hand->set_faults(sim::Faults{false, 0, 1, {R"({"errorcode":0})"}});  // not a position answer
    EXPECT_EQ(qmhv2.set_pos(std::vector<float>(12, 2.0f)), 0);
    sleep_ms(30);
    EXPECT_EQ(hand->targets()[0], 2.0);
}

TEST_F(Qmhv2Test, LeftoverRepliesAreTakenByTheNextExchangeOnTheirEndpoint) {
    Outputs out;
    ASSERT_EQ(qmhv2.get_pos(out.angles), 0);  // the hand now knows where port 2334's replies go
    // Keyed: passed over. First text: taken as the answer.
    const std::string stray = R"({"angle":[1,2,3]})";
    ASSERT_TRUE(hand->push(kComm, stray) && comm_readable());
    EXPECT_EQ(qmhv2.get_errorcode(out.codes), 0);
    EXPECT_EQ(out.codes, std::vector<long>(12, 0));
    ASSERT_TRUE(hand->push(kComm, stray) && comm_readable());
    EXPECT_EQ(qmhv2.get_comm_config(out.config), 0);
    EXPECT_EQ(out.config, stray);

    // An answer sent twice leaves one copy behind for the next read.
    hand->set_answer("/errorcode", sim::Qmhv2Hand::Answer::Twice);
    EXPECT_EQ(qmhv2.get_errorcode(out.codes), 0);
    ASSERT_TRUE(comm_readable());
    EXPECT_EQ(qmhv2.get_comm_config(out.config), 0);
    EXPECT_EQ(out.config, "{\"errorcode\":[0,0,0,0,0,0,0,0,0,0,0,0]}");

    // A late acknowledgement answers the next calibration, whose refusal enable then takes.
    hand->set_faults(sim::Faults{false, 250, 1, {}});
    CaptureStdout();
    EXPECT_EQ(qmhv2.calibration(), -2);
    EXPECT_EQ(GetCapturedStdout(), kTimeout);
    hand->set_faults(sim::Faults{});
    ASSERT_TRUE(ctrl_readable());
    hand->set_command_code("/calibration", 3);
    CaptureStdout();
    EXPECT_EQ(qmhv2.calibration(), 0);
    ASSERT_TRUE(ctrl_readable());
    EXPECT_EQ(qmhv2.enable(), -1);
    EXPECT_EQ(GetCapturedStdout(), "MOTOR: 192.168.137.39, SET ENABLE FAILED\n");
}

TEST_F(Qmhv2Test, BadMatricesAnglesAndCodesPrintTheirLineAndLeaveTheOutputAlone) {
    Outputs out;
    out.matrix = {{42}};
    CaptureStdout();
    CaptureStderr();
    hand->set_matrix(std::vector<std::uint32_t>(33, 5));
    EXPECT_EQ(qmhv2.get_ts_matrix(out.matrix), -1);
    hand->script(kComm, R"({"matrix":[1,-2]})");
    EXPECT_EQ(qmhv2.get_ts_matrix(out.matrix), -1);
    hand->script(kComm, R"({"errorcode":[0,4294967296]})");
    EXPECT_EQ(qmhv2.get_errorcode(out.codes), -1);
    hand->script(kComm, R"({"angle":[1,"2"]})");
    EXPECT_EQ(qmhv2.get_pos(out.angles), -1);
    hand->set_matrix_rows(6);  // more than one datagram takes: it arrives cut
    EXPECT_EQ(qmhv2.get_ts_matrix(out.matrix), -1);
    EXPECT_EQ(GetCapturedStderr(), "\"angle\" holds an element that is not a number.\n");
    EXPECT_EQ(GetCapturedStdout(), "Error in matrix size\n"
                                   "\"matrix\" holds an element that is not an unsigned 32-bit integer.\n"
                                   "\"errorcode\" holds an element that is not an unsigned 32-bit integer.\n" +
                                       kParseError);
    EXPECT_EQ(out.matrix, (std::vector<std::vector<unsigned char>>{{42}}));
    EXPECT_TRUE(out.angles.empty() && out.codes.empty());
}

TEST_F(Qmhv2Test, RefusedSendsFailAtOnceOrAreRetriedUntilTheLimit) {
    Qmhv2 refused("192.168.137.255");  // without SO_BROADCAST every send there fails
    const std::string sendto = "DEVICE SENDTO: 192.168.137.255, TIMEOUT\n";
    Outputs out;
    for (const Op& op : kOps) {
        SCOPED_TRACE(op.name);
        CaptureStdout();
        const auto start = Clock::now();
        EXPECT_EQ(op.run(refused, out), op.send_failed ? -1 : -2);
        const long long took = ms_since(start);
        const std::string lines = GetCapturedStdout();
        if (op.send_failed) {
            EXPECT_EQ(lines, "MOTOR: 192.168.137.255, " + std::string(op.send_failed) + "\n");
            EXPECT_LT(took, 20);
        } else if (op.name == "get_errorcode") {
            expect_init_ms_then(lines, sendto);
        } else {
            EXPECT_EQ(lines, sendto);
            EXPECT_GE(took, op.limit_ms);
        }
    }
    EXPECT_TRUE(out.empty());
}

TEST_F(Qmhv2Test, SilentHandTimesOutJustAfterEachLimit) {
    hand->set_faults(sim::Faults{true, 0, 1, {}});
    std::vector<long> codes;
    CaptureStdout();
    const auto start = Clock::now();
    EXPECT_EQ(qmhv2.get_errorcode(codes), -2);
    EXPECT_LT(ms_since(start), 100 + kSlackMs);
    expect_init_ms_then(GetCapturedStdout(), kTimeout);

    // The others side by side, each on an object of its own.
    CaptureStdout();
    std::vector<std::future<void>> running;
    for (const Op& op : kOps) {
        if (op.name == "get_errorcode") continue;
        running.push_back(std::async(std::launch::async, [&op] {
            Qmhv2 own(kIp);
            Outputs out;
            const auto begin = Clock::now();
            EXPECT_EQ(op.run(own, out), -2) << op.name;
            const long long took = ms_since(begin);
            EXPECT_TRUE(took > op.limit_ms && took < op.limit_ms + kSlackMs) << op.name << " took " << took;
        }));
    }
    for (auto& r : running) r.get();
    std::string expected;
    for (std::size_t i = 0; i < running.size(); ++i) expected += kTimeout;
    EXPECT_EQ(GetCapturedStdout(), expected);
    EXPECT_EQ(hand->received_count(kCtrl), 4u);  // each request went out once
    EXPECT_EQ(hand->received_count(kComm), 5u);
}
