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
using sim::Qmhv2Hand;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

const std::string kIp = "192.168.137.39";
constexpr unsigned short kCtrl = 2333;
constexpr unsigned short kComm = 2334;
constexpr unsigned short kAux = 2335;

const std::string kPvaRequest = R"({"method":"GET","cmd":"/pva"})";
const std::string kErrorcodeRequest = R"({"method":"GET","cmd":"/errorcode"})";

long long elapsed_ms(const std::function<void()>& call) {
    const auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

std::vector<std::string> texts(const std::vector<sim::Received>& received) {
    std::vector<std::string> out;
    for (const auto& r : received) {
        out.push_back(r.bytes);
    }
    return out;
}

std::vector<float> command(std::initializer_list<float> head) {
    std::vector<float> cmd(head);
    cmd.resize(12, 0.0f);
    return cmd;
}

// Gives the simulator a moment to take (or not take) datagrams in flight.
void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(30)); }

class Qmhv2Test : public testing::Test {
protected:
    sim::Simulator simulator;
    std::shared_ptr<Qmhv2Hand> hand = simulator.add<Qmhv2Hand>(kIp);
    Qmhv2 qmhv2{kIp};
};

}  // namespace

TEST_F(Qmhv2Test, EveryExchangeSendsItsTextOnItsPortAndSucceeds) {
    std::vector<float> angles;
    std::vector<long> codes;
    std::vector<std::vector<unsigned char>> matrix;
    std::string config;
    const std::string change = R"({"method":"SET","cmd":"/config","speed_limit":90})";

    CaptureStdout();
    EXPECT_EQ(qmhv2.enable(), 0);
    EXPECT_EQ(qmhv2.disable(), 0);
    EXPECT_FALSE(hand->enabled());
    EXPECT_EQ(qmhv2.calibration(), 0);
    EXPECT_EQ(qmhv2.set_pos(command({10.0f, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1.0f})), 0);
    EXPECT_EQ(qmhv2.fast_set_positions(command({12.3f, 0.1f, 1e-7f, -0.0f})), 0);
    EXPECT_EQ(qmhv2.get_pos(angles), 0);
    EXPECT_EQ(qmhv2.get_errorcode(codes), 0);
    EXPECT_EQ(qmhv2.get_ts_matrix(matrix), 0);
    EXPECT_EQ(qmhv2.get_comm_config(config), 0);
    EXPECT_EQ(qmhv2.set_comm_config(change), 0);
    EXPECT_EQ(GetCapturedStdout(), "");

    EXPECT_EQ(texts(hand->received(kCtrl)),
              (std::vector<std::string>{
                  R"({"method":"SET","cmd":"/enable"})",
                  R"({"method":"SET","cmd":"/disable"})",
                  R"({"method":"SET","cmd":"/calibration"})",
                  R"({"method":"SET","cmd":"/pos","position":[10.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,-1.0]})",
                  R"({"method":"SET","cmd":"/pos","position":[12.300000190734863,0.10000000149011612,)"
                  R"(1.0000000116860974e-7,-0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0]})",
              }));
    EXPECT_EQ(texts(hand->received(kComm)),
              (std::vector<std::string>{kPvaRequest, kErrorcodeRequest, R"({"method":"GET","cmd":"/matrix"})",
                                        R"({"method":"GET","cmd":"/config"})", change}));
    EXPECT_EQ(hand->received_count(kAux), 0u);

    EXPECT_EQ(angles.size(), 12u);
    EXPECT_EQ(codes.size(), 12u);
    EXPECT_EQ(matrix.size(), 2u);
    EXPECT_NE(config.find(R"("type":"QMH-12L")"), std::string::npos);
    EXPECT_NE(hand->config().find(R"("speed_limit":90)"), std::string::npos);
    EXPECT_EQ(hand->targets()[0], static_cast<double>(12.3f));
}

TEST_F(Qmhv2Test, UnservedSlotsAndRefusedArgumentsSendNothing) {
    std::vector<float> limits = {2.0f};
    int ntc = 5;
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(qmhv2.reboot(), -1);
    EXPECT_EQ(qmhv2.clear_errorcode(), -1);
    EXPECT_EQ(qmhv2.get_ntc(ntc), -1);
    EXPECT_EQ(qmhv2.set_pos_limited(1, 2.0f, 3.0f), 0);
    EXPECT_EQ(qmhv2.get_pos_limited(limits), 0);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(limits, std::vector<float>{2.0f});
    EXPECT_EQ(ntc, 5);

    CaptureStdout();
    EXPECT_EQ(qmhv2.set_pos(std::vector<float>(11, 0.0f)), -1);
    EXPECT_EQ(qmhv2.set_pos(std::vector<float>(13, 0.0f)), -1);
    EXPECT_EQ(qmhv2.set_pos({}), -1);
    EXPECT_EQ(qmhv2.fast_set_positions(std::vector<float>(6, 0.0f)), -1);
    EXPECT_EQ(qmhv2.set_pos(command({1.0f, NAN})), -1);
    EXPECT_EQ(qmhv2.fast_set_positions(command({INFINITY})), -1);
    EXPECT_EQ(qmhv2.set_comm_config(std::string(1024, ' ')), -1);
    const std::string hint = "            if you don't want the other fingers to move, you can fill them with -1\n";
    EXPECT_EQ(GetCapturedStdout(),
              "qmhv2 set_pos(): Cmd container must contain 12 elements, now: 11" + hint +
                  "qmhv2 set_pos(): Cmd container must contain 12 elements, now: 13" + hint +
                  "qmhv2 set_pos(): Cmd container must contain 12 elements, now: 0" + hint +
                  "qmhv2 fast_set_positions(std::vector<float> pos): pos.size() != 12, is 6\n"
                  "qmhv2 set_pos(): Cmd container must hold finite values only\n"
                  "qmhv2 set_pos(): Cmd container must hold finite values only\n"
                  "qmhv2 set_comm_config(): config text must be shorter than 1024 bytes, is 1024\n");
    settle();
    EXPECT_EQ(hand->received_count(kCtrl) + hand->received_count(kComm) + hand->received_count(kAux), 0u);

    // The longest text that fits goes out whole.
    EXPECT_EQ(qmhv2.set_comm_config(std::string(1023, ' ')), 0);
    ASSERT_EQ(hand->received_count(kComm), 1u);
    EXPECT_EQ(hand->received(kComm)[0].bytes.size(), 1023u);
}

TEST_F(Qmhv2Test, JointsMoveTowardTheirTargetsAndGetPosAppends) {
    hand->set_speed(100.0);
    hand->set_angles({0, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    ASSERT_EQ(qmhv2.set_pos(command({30.0f, -1.0f, -1.0f})), 0);

    std::vector<float> angles = {99.0f};
    ASSERT_EQ(qmhv2.get_pos(angles), 0);
    ASSERT_EQ(angles.size(), 13u);
    EXPECT_EQ(angles[0], 99.0f);
    EXPECT_GE(angles[1], 0.0f);
    EXPECT_LT(angles[1], 30.0f);  // on its way: 30 units take 300 ms
    EXPECT_EQ(angles[2], 5.0f);   // -1 keeps the joint where it is

    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    std::vector<std::vector<float>> pvc;
    CaptureStdout();
    EXPECT_EQ(qmhv2.get_pvc(pvc), -1);
    EXPECT_EQ(GetCapturedStdout(), "");
    ASSERT_EQ(pvc.size(), 3u);
    EXPECT_EQ(pvc[0], (std::vector<float>{30.0f, 5.0f, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(pvc[1], std::vector<float>(12, 0.0f));
    EXPECT_EQ(pvc[2], std::vector<float>(12, 0.0f));

    // Disabled drives hold the joints.
    ASSERT_EQ(qmhv2.disable(), 0);
    ASSERT_EQ(qmhv2.set_pos(command({-20.0f, 5.0f})), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    angles.clear();
    ASSERT_EQ(qmhv2.get_pos(angles), 0);
    EXPECT_EQ(angles[0], 30.0f);
}

TEST_F(Qmhv2Test, CalibrationReportsRunningThenItsOutcomeThroughTheFirstCode) {
    hand->set_calibration(150, false);
    ASSERT_EQ(qmhv2.calibration(), 0);
    std::vector<long> codes;
    ASSERT_EQ(qmhv2.get_errorcode(codes), 0);
    ASSERT_FALSE(codes.empty());
    EXPECT_EQ(codes[0], 4294967295L);

    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    codes = {7};
    ASSERT_EQ(qmhv2.get_errorcode(codes), 0);
    ASSERT_EQ(codes.size(), 13u);
    EXPECT_EQ(codes[0], 7);  // appended, not cleared
    EXPECT_EQ(codes[1], 0);

    hand->set_calibration(0, true);
    ASSERT_EQ(qmhv2.calibration(), 0);
    codes.clear();
    ASSERT_EQ(qmhv2.get_errorcode(codes), 0);
    EXPECT_EQ(codes[0], 1);
}

TEST_F(Qmhv2Test, RefusedCommandsPrintTheirFailedLines) {
    hand->set_command_code("/enable", 3);
    hand->set_command_code("/disable", 2);
    hand->set_command_code("/calibration", 3);
    CaptureStdout();
    EXPECT_EQ(qmhv2.enable(), -1);
    EXPECT_EQ(qmhv2.disable(), -1);
    EXPECT_EQ(qmhv2.calibration(), -1);
    EXPECT_EQ(GetCapturedStdout(), "MOTOR: 192.168.137.39, SET ENABLE FAILED\n"
                                   "MOTOR: 192.168.137.39, SET DISABLE FAILED\n"
                                   "MOTOR: 192.168.137.39, SET CALIBRATION FAILED\n");

    // Calibration takes any JSON answer; one without an unsigned code is success.
    for (const char* answer : {"{}", R"({"errorcode":-1})", R"({"errorcode":"3"})", "[3]", "3"}) {
        hand->script(kCtrl, answer);
        CaptureStdout();
        EXPECT_EQ(qmhv2.calibration(), 0) << answer;
        EXPECT_EQ(GetCapturedStdout(), "");
    }
}

TEST_F(Qmhv2Test, AReplyThatDoesNotParseEndsEveryParsingOperationAtOnce) {
    // The broken text comes first, a good answer right behind it.
    hand->set_faults(sim::Faults{false, 0, 1, {R"({"errorcode":)"}});
    std::vector<float> angles;
    std::vector<long> codes;
    std::vector<std::vector<unsigned char>> matrix;
    const std::vector<std::pair<const char*, std::function<int(Qmhv2&)>>> operations = {
        {"enable", [](Qmhv2& q) { return q.enable(); }},
        {"disable", [](Qmhv2& q) { return q.disable(); }},
        {"calibration", [](Qmhv2& q) { return q.calibration(); }},
        {"set_pos", [](Qmhv2& q) { return q.set_pos(std::vector<float>(12, 1.0f)); }},
        {"get_pos", [&](Qmhv2& q) { return q.get_pos(angles); }},
        {"get_errorcode", [&](Qmhv2& q) { return q.get_errorcode(codes); }},
        {"get_ts_matrix", [&](Qmhv2& q) { return q.get_ts_matrix(matrix); }},
        {"set_comm_config", [](Qmhv2& q) { return q.set_comm_config(R"({"method":"SET","cmd":"/config"})"); }},
    };
    for (const auto& entry : operations) {
        // A fresh object each time, so the good answer left behind is nobody's.
        Qmhv2 fresh(kIp);
        int status = 0;
        CaptureStdout();
        const long long took = elapsed_ms([&] { status = entry.second(fresh); });
        EXPECT_EQ(status, -1) << entry.first;
        EXPECT_EQ(GetCapturedStdout(), "Error in parsing JSON data\n") << entry.first;
        EXPECT_LT(took, 90) << entry.first;
    }
    EXPECT_TRUE(angles.empty() && codes.empty() && matrix.empty());

    // A configuration read takes the first text whatever it is.
    std::string config;
    EXPECT_EQ(qmhv2.get_comm_config(config), 0);
    EXPECT_EQ(config, R"({"errorcode":)");
}

TEST_F(Qmhv2Test, RepliesWithoutTheAwaitedMemberArePassedOver) {
    // Two useless answers ahead of each real one: an object without the
    // member (or with it of the wrong kind) and a root that is no object.
    hand->set_faults(sim::Faults{false, 0, 1, {R"({"errorcode":"0","angle":{},"matrix":7})", "[0]"}});
    std::vector<float> angles;
    std::vector<long> codes;
    std::vector<std::vector<unsigned char>> matrix;
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(qmhv2.enable(), 0);
    EXPECT_EQ(qmhv2.disable(), 0);
    EXPECT_EQ(qmhv2.get_pos(angles), 0);
    EXPECT_EQ(qmhv2.get_errorcode(codes), 0);
    EXPECT_EQ(qmhv2.get_ts_matrix(matrix), 0);
    const std::string errors = GetCapturedStderr();
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(errors, "\"angle\" is not an array or does not exist.\n"
                      "\"angle\" is not an array or does not exist.\n");
    EXPECT_EQ(angles.size(), 12u);
    EXPECT_EQ(codes.size(), 12u);
    EXPECT_EQ(matrix.size(), 2u);

    // A position answer whose "errorcode" is a number is not the awaited one.
    hand->set_faults(sim::Faults{false, 0, 1, {R"({"errorcode":0})"}});
    EXPECT_EQ(qmhv2.set_pos(std::vector<float>(12, 2.0f)), 0);
    settle();
    EXPECT_EQ(hand->targets()[0], 2.0);
}

TEST_F(Qmhv2Test, EmptyAndNulLedDatagramsAreNoReplies) {
    hand->set_faults(sim::Faults{false, 0, 1, {"", std::string("\0{}", 3)}});
    std::string config;
    EXPECT_EQ(qmhv2.get_comm_config(config), 0);
    EXPECT_EQ(config, hand->config());
    hand->set_command_code("/calibration", 3);
    CaptureStdout();
    EXPECT_EQ(qmhv2.calibration(), -1);
    EXPECT_EQ(GetCapturedStdout(), "MOTOR: 192.168.137.39, SET CALIBRATION FAILED\n");
}

TEST_F(Qmhv2Test, LeftoverRepliesAreTakenByTheNextExchangeOnTheirEndpoint) {
    std::vector<float> angles;
    ASSERT_EQ(qmhv2.get_pos(angles), 0);  // the hand now knows where port 2334's replies go

    // Keyed: passed over. First text: taken as the answer.
    const std::string stray = R"({"angle":[1,2,3]})";
    ASSERT_TRUE(hand->push(kComm, stray));
    ASSERT_TRUE(dexhand_test::wait_readable(qmhv2.comm_udp_socket->sockfd));
    std::vector<long> codes;
    EXPECT_EQ(qmhv2.get_errorcode(codes), 0);
    EXPECT_EQ(codes, std::vector<long>(12, 0));
    ASSERT_TRUE(hand->push(kComm, stray));
    ASSERT_TRUE(dexhand_test::wait_readable(qmhv2.comm_udp_socket->sockfd));
    std::string config;
    EXPECT_EQ(qmhv2.get_comm_config(config), 0);
    EXPECT_EQ(config, stray);

    // An answer sent twice leaves one copy behind for the next read.
    hand->set_answer("/errorcode", Qmhv2Hand::Answer::Twice);
    codes.clear();
    EXPECT_EQ(qmhv2.get_errorcode(codes), 0);
    ASSERT_TRUE(dexhand_test::wait_readable(qmhv2.comm_udp_socket->sockfd));
    EXPECT_EQ(qmhv2.get_comm_config(config), 0);
    EXPECT_EQ(config, "{\"errorcode\":[0,0,0,0,0,0,0,0,0,0,0,0]}");

    // A late acknowledgement of one calibration answers the next one, and the
    // refusal of that one is then taken by enable.
    hand->set_faults(sim::Faults{false, 250, 1, {}});
    CaptureStdout();
    EXPECT_EQ(qmhv2.calibration(), -2);
    EXPECT_EQ(GetCapturedStdout(), "DEVICE RECVFROM: 192.168.137.39, TIMEOUT\n");
    hand->set_faults(sim::Faults{});
    ASSERT_TRUE(dexhand_test::wait_readable(qmhv2.ctrl_udp_socket->sockfd));
    hand->set_command_code("/calibration", 3);
    CaptureStdout();
    EXPECT_EQ(qmhv2.calibration(), 0);
    ASSERT_TRUE(dexhand_test::wait_readable(qmhv2.ctrl_udp_socket->sockfd));
    EXPECT_EQ(qmhv2.enable(), -1);
    EXPECT_EQ(GetCapturedStdout(), "MOTOR: 192.168.137.39, SET ENABLE FAILED\n");
}

TEST_F(Qmhv2Test, MatrixRowsAreDecodedAndBadMatricesLeaveTheOutputAlone) {
    hand->set_matrix_rows(3);
    const std::vector<std::uint32_t> elements = hand->matrix();
    std::vector<std::vector<unsigned char>> expected = {{42}};
    for (std::size_t row = 0; row < 3; ++row) {
        std::vector<unsigned char> bytes;
        for (std::size_t i = row * 32; i < row * 32 + 32; ++i) {
            bytes.push_back(static_cast<unsigned char>((elements[i] >> 16) & 0xFF));
            bytes.push_back(static_cast<unsigned char>((elements[i] >> 8) & 0xFF));
            bytes.push_back(static_cast<unsigned char>(elements[i] & 0xFF));
        }
        expected.push_back(bytes);
    }
    std::vector<std::vector<unsigned char>> matrix = {{42}};
    ASSERT_EQ(qmhv2.get_ts_matrix(matrix), 0);
    EXPECT_EQ(matrix, expected);

    std::vector<long> codes = {8};
    std::vector<float> angles = {8.0f};
    CaptureStdout();
    CaptureStderr();
    hand->set_matrix(std::vector<std::uint32_t>(33, 5));
    EXPECT_EQ(qmhv2.get_ts_matrix(matrix), -1);
    hand->script(kComm, R"({"matrix":[1,-2]})");
    EXPECT_EQ(qmhv2.get_ts_matrix(matrix), -1);
    hand->script(kComm, R"({"errorcode":[0,4294967296]})");
    EXPECT_EQ(qmhv2.get_errorcode(codes), -1);
    hand->script(kComm, R"({"angle":[1,"2"]})");
    EXPECT_EQ(qmhv2.get_pos(angles), -1);
    hand->set_matrix_rows(6);  // more than one datagram takes: it arrives cut
    EXPECT_EQ(qmhv2.get_ts_matrix(matrix), -1);
    EXPECT_EQ(GetCapturedStderr(), "\"angle\" holds an element that is not a number.\n");
    EXPECT_EQ(GetCapturedStdout(), "Error in matrix size\n"
                                   "\"matrix\" holds an element that is not an unsigned 32-bit integer.\n"
                                   "\"errorcode\" holds an element that is not an unsigned 32-bit integer.\n"
                                   "Error in parsing JSON data\n");
    EXPECT_EQ(matrix, expected);
    EXPECT_EQ(codes, std::vector<long>{8});
    EXPECT_EQ(angles, std::vector<float>{8.0f});
}

TEST_F(Qmhv2Test, ConfigurationTextsPassThroughUnchanged) {
    std::string config = "old";
    hand->set_config(R"({"name":"left","note":"not parsed by the library"})");
    ASSERT_EQ(qmhv2.get_comm_config(config), 0);
    EXPECT_EQ(config, R"({"name":"left","note":"not parsed by the library"})");

    EXPECT_EQ(qmhv2.set_comm_config(R"({"method":"SET","cmd":"/config","name":"right","id":2})"), 0);
    EXPECT_EQ(hand->config(), R"({"name":"right","note":"not parsed by the library","id":2})");

    // Any JSON answer is success; text that is not JSON is a failure.
    hand->script(kComm, R"({"errorcode":1})");
    EXPECT_EQ(qmhv2.set_comm_config("whatever the hand makes of it"), 0);
    hand->script(kComm, "ok");
    hand->script(kComm, "not json either");
    CaptureStdout();
    EXPECT_EQ(qmhv2.set_comm_config(R"({"method":"SET","cmd":"/config"})"), -1);
    EXPECT_EQ(GetCapturedStdout(), "Error in parsing JSON data\n");
    config = "old";
    EXPECT_EQ(qmhv2.get_comm_config(config), 0);
    EXPECT_EQ(config, "not json either");
}

TEST_F(Qmhv2Test, RefusedSendsFailAtOnceOrAreRetriedUntilTheLimit) {
    // Without SO_BROADCAST every send to the subnet's broadcast address fails.
    const std::string nowhere = "192.168.137.255";
    Qmhv2 refused(nowhere);
    std::vector<float> angles = {1.0f};
    std::vector<std::vector<unsigned char>> matrix;
    std::string config = "old";

    CaptureStdout();
    const long long took = elapsed_ms([&] {
        EXPECT_EQ(refused.enable(), -1);
        EXPECT_EQ(refused.disable(), -1);
        EXPECT_EQ(refused.get_pos(angles), -1);
        EXPECT_EQ(refused.get_ts_matrix(matrix), -1);
        EXPECT_EQ(refused.get_comm_config(config), -1);
        EXPECT_EQ(refused.set_comm_config("{}"), -1);
    });
    EXPECT_EQ(GetCapturedStdout(), "MOTOR: 192.168.137.255, SET ENABLE FAILED\n"
                                   "MOTOR: 192.168.137.255, SET DISABLE FAILED\n"
                                   "MOTOR: 192.168.137.255, GET PVA FAILED\n"
                                   "MOTOR: 192.168.137.255, SEND GET MATRIX FAILED\n"
                                   "MOTOR: 192.168.137.255, SEND GET CONFIG FAILED\n"
                                   "MOTOR: 192.168.137.255, SEND SET MATRIX FAILED\n");
    EXPECT_LT(took, 50);
    EXPECT_EQ(angles, std::vector<float>{1.0f});
    EXPECT_TRUE(matrix.empty());
    EXPECT_EQ(config, "old");

    std::vector<long> codes;
    CaptureStdout();
    EXPECT_EQ(refused.calibration(), -2);
    EXPECT_EQ(refused.set_pos(std::vector<float>(12, 0.0f)), -2);
    EXPECT_EQ(refused.get_errorcode(codes), -2);
    const std::string out = GetCapturedStdout();
    EXPECT_TRUE(codes.empty());
    const std::string sendto = "DEVICE SENDTO: 192.168.137.255, TIMEOUT\n";
    ASSERT_EQ(out.rfind(sendto + sendto + "[INFO] init_ms: ", 0), 0u) << out;
    const std::string tail = out.substr(2 * sendto.size() + std::string("[INFO] init_ms: ").size());
    EXPECT_GE(std::stol(tail), 101);
    EXPECT_EQ(tail.substr(tail.find('\n') + 1), sendto);
}

TEST_F(Qmhv2Test, SilentHandTimesOutJustAfterEachLimit) {
    hand->set_faults(sim::Faults{true, 0, 1, {}});

    // get_errorcode on its own: its [INFO] line comes right before the time-out line.
    std::vector<long> codes;
    CaptureStdout();
    const long long took = elapsed_ms([&] { EXPECT_EQ(qmhv2.get_errorcode(codes), -2); });
    const std::string first = GetCapturedStdout();
    EXPECT_GE(took, 101);
    EXPECT_LT(took, 400);
    ASSERT_EQ(first.rfind("[INFO] init_ms: ", 0), 0u) << first;
    EXPECT_GE(std::stol(first.substr(16)), 101);
    EXPECT_EQ(first.substr(first.find('\n') + 1), "DEVICE RECVFROM: 192.168.137.39, TIMEOUT\n");

    // The rest side by side, each on an object of its own.
    struct Case {
        const char* name;
        int limit_ms;
        std::function<int(Qmhv2&)> run;
    };
    const std::vector<Case> cases = {
        {"calibration", 100, [](Qmhv2& q) { return q.calibration(); }},
        {"set_pos", 150, [](Qmhv2& q) { return q.set_pos(std::vector<float>(12, 0.0f)); }},
        {"enable", 500, [](Qmhv2& q) { return q.enable(); }},
        {"disable", 1000, [](Qmhv2& q) { return q.disable(); }},
        {"get_pos", 1000,
         [](Qmhv2& q) {
             std::vector<float> out;
             return q.get_pos(out);
         }},
        {"get_ts_matrix", 1000,
         [](Qmhv2& q) {
             std::vector<std::vector<unsigned char>> out;
             return q.get_ts_matrix(out);
         }},
        {"get_comm_config", 1000,
         [](Qmhv2& q) {
             std::string out;
             return q.get_comm_config(out);
         }},
        {"set_comm_config", 1000, [](Qmhv2& q) { return q.set_comm_config("{}"); }},
    };
    struct Outcome {
        int status;
        long long took_ms;
    };
    CaptureStdout();
    std::vector<std::future<Outcome>> running;
    for (const auto& c : cases) {
        running.push_back(std::async(std::launch::async, [&c] {
            Qmhv2 own(kIp);
            Outcome outcome{};
            outcome.took_ms = elapsed_ms([&] { outcome.status = c.run(own); });
            return outcome;
        }));
    }
    std::vector<Outcome> outcomes;
    for (auto& r : running) {
        outcomes.push_back(r.get());
    }
    const std::string lines = GetCapturedStdout();
    std::string expected;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(outcomes[i].status, -2);
        EXPECT_GE(outcomes[i].took_ms, cases[i].limit_ms + 1);
        EXPECT_LT(outcomes[i].took_ms, cases[i].limit_ms + 400);
        expected += "DEVICE RECVFROM: 192.168.137.39, TIMEOUT\n";
    }
    EXPECT_EQ(lines, expected);
    // Each request went out once.
    EXPECT_EQ(hand->received_count(kCtrl), 4u);
    EXPECT_EQ(hand->received_count(kComm), 5u);
}
