// The Inspire adapter against a simulated Inspire hand, inside the private
// network namespace.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <map>

#include "inspire_hand.h"
#include "protocol_rows.h"
#include "protocols/inspire.h"
#include "protocols/inspire_codec.h"
#include "transport/diagnostics.h"

using BaseHandProtocol::Inspire;
using BaseHandProtocol::Operation;
using dexhand_test::elapsed_ms;
using dexhand_test::hex;
using dexhand_test::padded;
using sim::InspireHand;
using testing::ElementsAre;
using testing::MatchesRegex;
using namespace testing::internal;
using namespace std::chrono_literals;
namespace ops = BaseHandProtocol::inspire_operations;

namespace {

const std::string kIp = "192.168.137.19";
const std::string kRecvTimeout = "DEVICE RECVFROM: 192.168.137.19, TIMEOUT\n";
const std::string kGetConfig = "[Warning] [Inspire::get_comm_config(std::string &cfg)] ";
const std::string kSendDataFailed = "comm_udp_socket->SendData(msg) failed\n";
const std::vector<float> kReadBack = {0.4f, 0.3f, 0.2f, 0.1f, 0.5f, 0.6f};  // of registers 100..600
const std::string kConfigUpdate = R"({"method":"SET","reqTarget":"/config","gateway":"192.168.137.2"})";

std::string trace(const std::string& function) {
    return "file = hand/protocols/inspire\\.cpp    function = " + function + "    line = [0-9]+";
}

// The captured text: its lines, each matching its pattern.
void expect_lines(const std::string& text, const std::vector<std::string>& patterns) {
    std::string all;
    for (const std::string& pattern : patterns) all += pattern + "\n";
    EXPECT_THAT(text, MatchesRegex(all));
}

// Every send on the endpoint fails from now on.
void break_endpoint(CommSocket::Transmit::UDPSocket& endpoint) {
    ::close(endpoint.sockfd);
    endpoint.sockfd = -1;
}

struct Outputs {
    std::vector<float> pos, current, speeds, limits;
    std::vector<long> codes;
    std::vector<unsigned char> status;
    std::string cfg;
};

// Every row of the table: the datagram it sends and a call that runs it.
struct Call {
    std::string sent;
    std::function<int(Inspire&, Outputs&)> run;
};
const std::map<std::string, Call> kCalls = {
    {"get_pos", {hex("EB 90 01 04 11 0A 06 0C 32"), [](Inspire& a, Outputs& o) { return a.get_pos(o.pos); }}},
    {"get_errorcode",
     {hex("EB 90 01 04 11 46 06 06 68"), [](Inspire& a, Outputs& o) { return a.get_errorcode(o.codes); }}},
    {"get_status",
     {padded(hex("EB 90 01 04 11 4C 06 06 6E")), [](Inspire& a, Outputs& o) { return a.get_status(o.status); }}},
    {"get_current",
     {padded(hex("EB 90 01 04 11 3A 06 0C 62")), [](Inspire& a, Outputs& o) { return a.get_current(o.current); }}},
    {"get_velocity",
     {padded(hex("EB 90 01 04 11 F2 05 0C 19")), [](Inspire& a, Outputs& o) { return a.get_velocity(o.speeds); }}},
    {"get_current_limited",
     {padded(hex("EB 90 01 04 11 FC 03 0C 21")),
      [](Inspire& a, Outputs& o) { return a.get_current_limited(o.limits); }}},
    {"set_pos",
     {hex("EB 90 01 0F 12 CE 05 2C 01 C8 00 64 00 00 00 90 01 F4 01 D4"),
      [](Inspire& a, Outputs&) { return a.set_pos({0.0f, 0.1f, 0.2f, 0.3f, 0.4f, 0.5f}); }}},
    // Six targets, then five fixed words.
    {"fast_set_positions",
     {hex("EB 90 01 17 20 E8 03 E8 03 E8 03 E8 03 E8 03 E8 03 E8 03 E8 03 E8 03 E8 03 E8 03 51"),
      [](Inspire& a, Outputs&) { return a.fast_set_positions(std::vector<float>(6, 1.0f)); }}},
    {"clear_errorcode", {hex("EB 90 01 04 12 EC 03 01 07"), [](Inspire& a, Outputs&) { return a.clear_errorcode(); }}},
    {"set_velocity",
     {padded(hex("EB 90 01 0F 12 F2 05 F4 01 F4 01 F4 01 F4 01 F4 01 F4 01 D7")),
      [](Inspire& a, Outputs&) { return a.set_velocity(std::vector<float>(6, 500.0f)); }}},
    {"get_comm_config",
     {R"({"method":"GET","reqTarget":"/config","property":""})",
      [](Inspire& a, Outputs& o) { return a.get_comm_config(o.cfg); }}},
    {"set_comm_config", {kConfigUpdate, [](Inspire& a, Outputs&) { return a.set_comm_config(kConfigUpdate); }}},
};

class InspireAdapter : public ::testing::Test {
protected:
    sim::Simulator simulator;
    std::shared_ptr<InspireHand> hand = simulator.add<InspireHand>(kIp);
    Inspire adapter{kIp};
    Outputs out;

    std::vector<std::string> received(unsigned short port) { return protocol_rows::received(*hand, port); }
};

}  // namespace

// The configuration is text both ways, not checked on the way out.
TEST_F(InspireAdapter, EveryRowSendsItsDatagramOnItsPortAndSucceeds) {
    const std::string config = hand->config_text();
    CaptureStdout();
    const auto run = [this](const std::string& name) { return kCalls.at(name).run(adapter, out); };
    protocol_rows::expect_every_row_sent(ops::kAll, kCalls, run, *hand);
    GetCapturedStdout();
    EXPECT_EQ(out.cfg, config);
    EXPECT_THAT(hand->config_text(), testing::HasSubstr(R"("gateway":"192.168.137.2")"));
    EXPECT_EQ(adapter.set_comm_config("not json"), 0);
    EXPECT_THAT(received(sim::kCommPort), ElementsAre(testing::_, testing::_, "not json"));
}

TEST_F(InspireAdapter, UnservedSlotsAnswerAtOnceWithoutTraffic) {
    std::vector<long> cnt = {7};
    std::vector<std::vector<unsigned char>> matrix = {{7}};
    std::vector<std::vector<float>> tashan = {{7.0f}};
    int ntc = 7;
    out.limits = {7.0f};
    CaptureStdout();
    EXPECT_EQ(adapter.calibration(), 0);
    EXPECT_EQ(adapter.enable(), 0);
    EXPECT_EQ(adapter.disable(), -1);
    EXPECT_EQ(adapter.reboot(), -1);
    EXPECT_EQ(adapter.get_cnt(cnt), -1);
    EXPECT_EQ(adapter.get_ts_matrix(matrix), -1);
    EXPECT_EQ(adapter.get_ts_tashan(tashan), -1);
    EXPECT_EQ(adapter.get_ntc(ntc), -1);
    EXPECT_EQ(adapter.get_pos_limited(out.limits), -1);
    EXPECT_EQ(adapter.get_velocity_limited(out.limits), -1);
    EXPECT_EQ(adapter.set_current({1, 2, 3, 4, 5, 6}), -1);
    EXPECT_EQ(adapter.set_velocity_limited(0, 1.0f), -1);
    EXPECT_EQ(adapter.set_pos_limited(0, 0.0f, 1.0f), -1);
    EXPECT_EQ(adapter.set_current_limited(0, 1.0f), -1);
    expect_lines(GetCapturedStdout(),
                 {trace("get_pos_limited"), trace("get_velocity_limited"), trace("set_current"),
                  trace("set_velocity_limited"), trace("set_pos_limited"), trace("set_current_limited")});
    EXPECT_THAT(out.limits, ElementsAre(7.0f));
    EXPECT_THAT(cnt, ElementsAre(7));
    EXPECT_EQ(matrix, (std::vector<std::vector<unsigned char>>{{7}}));
    EXPECT_EQ(tashan, (std::vector<std::vector<float>>{{7.0f}}));
    EXPECT_EQ(ntc, 7);
    ASSERT_EQ(adapter.get_pos(out.pos), 0);
    EXPECT_EQ(received(sim::kCtrlPort), std::vector<std::string>{kCalls.at("get_pos").sent});
}

TEST_F(InspireAdapter, CommandsOfOtherThanSixValuesPrintTheirLineAndSendNothing) {
    CaptureStdout();
    EXPECT_EQ(adapter.set_pos({0.1f, 0.2f, 0.3f, 0.4f, 0.5f}), -1);
    EXPECT_EQ(adapter.fast_set_positions(std::vector<float>(7, 0.5f)), -1);
    EXPECT_EQ(adapter.set_velocity({100, 100}), -1);
    const auto count_line = [](const std::string& op, int n) {
        return R"(\[ERROR\] \[)" + op + R"(\] line:[0-9]+ _cmd\.size\(\) == )" + std::to_string(n) + " must be six ";
    };
    expect_lines(GetCapturedStdout(), {count_line("set_pos", 5), count_line("fast_set_positions", 7),
                                       trace("set_velocity"), count_line("set_velocity", 2)});
    ASSERT_EQ(adapter.clear_errorcode(), 0);
    EXPECT_EQ(received(sim::kCtrlPort), std::vector<std::string>{kCalls.at("clear_errorcode").sent});
}

TEST_F(InspireAdapter, PositionsAreHeldToOneAndNegativesKeepTheirJoint) {
    hand->set_positions({100, 200, 300, 400, 500, 600});
    EXPECT_EQ(adapter.set_pos({1.7f, -0.2f, -1.0f, 0.25f, 1.0f, 0.0f}), 0);
    EXPECT_EQ(received(sim::kCtrlPort),
              std::vector<std::string>{hex("EB 90 01 0F 12 CE 05 FA 00 FF FF FF FF E8 03 E8 03 00 00 C1")});
    EXPECT_EQ(hand->targets(), (InspireHand::Values{250, 200, 300, 1000, 1000, 0}));
}

// Which bytes are checked is the codec's test; here, that reads and writes
// answered for another hand are refused with their lines until the budget ends.
TEST_F(InspireAdapter, RepliesFromAnotherHandAreRefusedUntilTheBudgetEnds) {
    InspireHand::Quirks quirks;
    quirks.reply_hand_id = 2;
    hand->set_quirks(quirks);
    out.pos = {9.0f};
    CaptureStdout();
    const long long took = elapsed_ms([&] { EXPECT_EQ(adapter.get_pos(out.pos), -2); });
    EXPECT_GE(took, ops::kGetPos.row.budget_ms);
    EXPECT_LT(took, ops::kGetPos.row.budget_ms + 500);
    EXPECT_THAT(out.pos, ElementsAre());
    EXPECT_EQ(hand->received_count(sim::kCtrlPort), 1u) << "the frame goes out once";
    EXPECT_EQ(adapter.clear_errorcode(), -2);
    EXPECT_EQ(adapter.set_pos(std::vector<float>(6, 0.5f)), -2);
    EXPECT_EQ(adapter.fast_set_positions(std::vector<float>(6, 0.5f)), -2);
    const std::string refused = "[ERROR] \n" + kRecvTimeout;
    EXPECT_EQ(GetCapturedStdout(), refused + refused + refused +
                                       "[Warning] [inspire][fast_set_positions] recv data error\n" + kRecvTimeout);
    // The refused answer of a fast command is a warning, as its text says.
    Diagnostics::set_min_level(Diagnostics::Level::error);
    CaptureStdout();
    EXPECT_EQ(adapter.fast_set_positions(std::vector<float>(6, 0.5f)), -2);
    Diagnostics::set_min_level(Diagnostics::Level::trace);
    EXPECT_EQ(GetCapturedStdout(), "");
}

// With the control endpoint broken, every register row sends again until its
// budget ends; rows that say so name every failed send.
TEST(InspireSends, FailedRegisterSendsAreRetriedUntilTheBudgetEnds) {
    std::vector<const Operation*> rows;
    std::copy_if(ops::kAll.begin(), ops::kAll.end(), std::back_inserter(rows),
                 [](const Operation* row) { return row->port == BaseHandProtocol::Port::Ctrl; });
    const auto ready = [](Inspire& own) { break_endpoint(*own.ctrl_udp_socket); };
    const auto runs = protocol_rows::each_alone<Inspire, Outputs>(rows, kCalls, kIp, ready);
    for (const auto& run : runs) protocol_rows::expect_ending(run, "SENDTO", kIp);
}

// Each register read, and the pvc rows of positions, speeds and currents.
TEST_F(InspireAdapter, RegistersAreReadLive) {
    hand->set_positions({100, 200, 300, 400, 500, 600});
    hand->set_errors({0x00, 0x01, 0x02, 0x04, 0x08, 0x80});
    hand->set_status({0, 1, 2, 3, 0x7F, 0xFF});
    hand->set_currents({10, 20, 30, 40, 0x8000, 0xFFFF});
    hand->set_current_limits({100, 200, 300, 400, 500, 600});
    CaptureStdout();
    for (const char* name : {"get_pos", "get_errorcode", "get_status", "get_current", "get_velocity",
                             "get_current_limited"}) {
        EXPECT_EQ(kCalls.at(name).run(adapter, out), 0) << name;
    }
    expect_lines(GetCapturedStdout(), {trace("get_current"), trace("get_velocity"), trace("get_current_limited")});
    EXPECT_EQ(out.pos, kReadBack);
    EXPECT_EQ(out.codes, (std::vector<long>{0, 1, 2, 4, 8, -128}));
    EXPECT_EQ(out.status, (std::vector<unsigned char>{0, 1, 2, 3, 0x7F, 0xFF}));
    EXPECT_EQ(out.current, (std::vector<float>{10, 20, 30, 40, 32768, 1}));
    EXPECT_EQ(out.speeds, std::vector<float>(6, 1000.0f));
    EXPECT_EQ(out.limits, (std::vector<float>{100, 200, 300, 400, 500, 600}));
    std::vector<std::vector<float>> pvc = {{5.0f}};
    CaptureStdout();
    EXPECT_EQ(adapter.get_pvc(pvc), 0);
    GetCapturedStdout();
    EXPECT_EQ(pvc, (std::vector<std::vector<float>>{out.pos, out.speeds, out.current}));
}

TEST_F(InspireAdapter, OnlyTheConfigurationsOwnReplyIsTaken) {
    // Each passed over, the answer for another target silently; then silence. cfg keeps its text.
    hand->set_faults(sim::Faults().with_before({R"({"reqTarget":5})", "[1,2]", "not json", std::string("\0x", 2),
                                                R"({"reqTarget":"/config"} trailing)"}));
    hand->script(sim::kCommPort, R"({"reqTarget":"/other"})");
    out.cfg = "previous";
    CaptureStdout();
    CaptureStderr();
    const long long took = elapsed_ms([&] { EXPECT_EQ(adapter.get_comm_config(out.cfg), -2); });
    const std::string skipped = kGetConfig + R"(reply without a string "reqTarget" skipped)" + "\n";
    EXPECT_EQ(GetCapturedStderr(), skipped + skipped);
    const std::string unparsed = kGetConfig + "Error in parsing JSON data\n";
    EXPECT_EQ(GetCapturedStdout(), unparsed + unparsed + kGetConfig + kRecvTimeout);
    EXPECT_GE(took, ops::kGetCommConfig.budget_ms);
    EXPECT_LT(took, 2 * ops::kGetCommConfig.budget_ms);
    EXPECT_EQ(out.cfg, "previous");
}

// A configuration too long for one datagram is refused by the endpoint; a
// failed send ends the exchange at once.
TEST_F(InspireAdapter, FailedConfigurationSendsEndTheExchangeAtOnce) {
    CaptureStdout();
    EXPECT_EQ(adapter.set_comm_config(std::string(1024, 'x')), -1);
    EXPECT_EQ(GetCapturedStdout(), ops::kSetCommConfig.prefix + kSendDataFailed);
    break_endpoint(*adapter.comm_udp_socket);
    out.cfg = "previous";
    CaptureStdout();
    EXPECT_LT(elapsed_ms([&] { EXPECT_EQ(adapter.get_comm_config(out.cfg), -1); }), 100);
    EXPECT_EQ(GetCapturedStdout(), kGetConfig + kSendDataFailed);
    EXPECT_EQ(out.cfg, "previous");
    EXPECT_EQ(hand->received_count(sim::kCommPort), 0u);
}

// Every row waits for a reply to the end of its budget, the speeds excepted.
TEST_F(InspireAdapter, SilentHandEndsEveryRowWithItsTimeoutLine) {
    hand->set_faults(sim::Faults().with_silent(true));
    const auto runs = protocol_rows::each_alone<Inspire, Outputs>(ops::kAll, kCalls, kIp, [](Inspire&) {});
    for (const auto& run : runs) protocol_rows::expect_ending(run, "RECVFROM", kIp);
}
