// The hand models on a scripted clock, talked to without sockets: joints
// travel, calibrations take their time, faults come and are cleared, the
// tactile image moves - and a calm hand does none of that on its own.
#include <gtest/gtest.h>

#include <rapidjson/document.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "inspire_hand.h"
#include "qmhv1_hand.h"
#include "qmhv2_hand.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr unsigned short kCtrl = 2333, kComm = 2334;

// Time that moves only when the test says so.
class ScriptedClock {
public:
    sim::Hand::ClockSource source() {
        return [now = now_] { return *now; };
    }
    void advance_ms(long long ms) { *now_ += std::chrono::milliseconds(ms); }

private:
    std::shared_ptr<Clock::time_point> now_ = std::make_shared<Clock::time_point>(std::chrono::hours(1000));
};

sim::Lively lively() {
    sim::Lively alive;
    alive.on = true;
    alive.calibration_ms = 3000;
    return alive;
}

// A lively hand whose faults start at once and come every second.
sim::Lively faulty() {
    sim::Lively alive = lively();
    alive.first_fault_s = 0.0;
    alive.fault_interval_s = 1.0;
    return alive;
}

rapidjson::Document only_answer(sim::Hand& hand, unsigned short port, const std::string& request) {
    const std::vector<std::string> answers = hand.respond(port, request);
    rapidjson::Document document;
    if (answers.size() == 1) {
        document.Parse(answers[0].c_str());
    }
    EXPECT_TRUE(document.IsObject()) << request;
    return document;
}

std::vector<double> numbers(sim::Hand& hand, unsigned short port, const std::string& request, const char* key) {
    const rapidjson::Document document = only_answer(hand, port, request);
    std::vector<double> out;
    if (document.IsObject() && document.HasMember(key) && document[key].IsArray()) {
        for (const auto& value : document[key].GetArray()) {
            out.push_back(value.GetDouble());
        }
    }
    return out;
}

std::vector<double> angles(sim::Qmhv2Hand& hand) {
    return numbers(hand, kComm, R"({"method":"GET","cmd":"/pva"})", "angle");
}
std::vector<double> codes(sim::Qmhv2Hand& hand) {
    return numbers(hand, kComm, R"({"method":"GET","cmd":"/errorcode"})", "errorcode");
}
std::vector<double> matrix(sim::Qmhv2Hand& hand) {
    return numbers(hand, kComm, R"({"method":"GET","cmd":"/matrix"})", "matrix");
}

// The cell (of 96 per row) that presses hardest.
std::size_t hottest_cell(const std::vector<double>& elements) {
    std::size_t best = 0;
    unsigned best_value = 0;
    for (std::size_t e = 0; e < elements.size(); ++e) {
        const auto element = static_cast<unsigned>(elements[e]);
        for (unsigned b = 0; b < 3; ++b) {
            const unsigned cell = (element >> (16 - 8 * b)) & 0xFFu;
            if (cell > best_value) {
                best_value = cell;
                best = (e % 32) * 3 + b;
            }
        }
    }
    return best;
}

std::string qmhv1_error_field(sim::Qmhv1Hand& hand) {
    const std::vector<std::string> answers = hand.respond(kComm, std::string(1, '\x06'));
    return answers.size() == 1 ? answers[0] : "(no answer)";
}
bool any_flag(const std::string& field) {
    for (std::size_t i = 1; i < field.size(); i += 2) {
        if (field[i] != 0) {
            return true;
        }
    }
    return false;
}

std::string qmhv1_positions(sim::Qmhv1Hand& hand) {
    const std::vector<std::string> answers = hand.respond(kComm, std::string("\x02\x00", 2));
    return answers.size() == 1 ? answers[0] : "(no answer)";
}

// A register read or write frame for hand id 1, checksum included.
std::string inspire_frame(std::vector<unsigned char> body) {
    std::string frame = "\xEB\x90";
    frame += static_cast<char>(1);
    frame += static_cast<char>(body.size());
    unsigned sum = 1 + static_cast<unsigned>(body.size());
    for (const unsigned char b : body) {
        frame += static_cast<char>(b);
        sum += b;
    }
    return frame + static_cast<char>(sum & 0xFF);
}

// A hand model on a clock of its own, lively as given.
template <class Hand>
struct Rig {
    explicit Rig(const char* ip, const sim::Lively& alive = lively()) : hand(ip) {
        hand.set_clock(clock.source());
        hand.set_lively(alive);
    }
    ScriptedClock clock;
    Hand hand;
};

std::string inspire_errors(sim::InspireHand& hand) {
    const auto answers = hand.respond(kCtrl, inspire_frame({0x11, 0x46, 0x06, 0x06}));
    return answers.size() == 1 && answers[0].size() == 14 ? answers[0].substr(7, 6) : "(no answer)";
}

}  // namespace

TEST(LivelyHand, Qmhv2JointsTravelToTheirTargetsOverTime) {
    Rig<sim::Qmhv2Hand> rig("192.168.137.39", lively());
    auto& [clock, hand] = rig;

    hand.respond(kCtrl, R"({"method":"SET","cmd":"/pos","position":[45,45,45,45,45,45,45,45,45,45,45,45]})");
    EXPECT_EQ(angles(hand)[0], 0.0);
    clock.advance_ms(250);
    const double halfway = angles(hand)[0];
    EXPECT_GT(halfway, 5.0);
    EXPECT_LT(halfway, 40.0);
    clock.advance_ms(2000);
    EXPECT_EQ(angles(hand), std::vector<double>(12, 45.0));
}

TEST(LivelyHand, Qmhv2CalibrationReportsItselfBusyForItsDuration) {
    Rig<sim::Qmhv2Hand> rig("192.168.137.39", lively());
    auto& [clock, hand] = rig;

    EXPECT_EQ(only_answer(hand, kCtrl, R"({"method":"SET","cmd":"/calibration"})")["errorcode"].GetInt(), 0);
    EXPECT_EQ(codes(hand)[0], 4294967295.0);
    clock.advance_ms(2990);
    EXPECT_EQ(codes(hand)[0], 4294967295.0);
    clock.advance_ms(20);
    EXPECT_EQ(codes(hand)[0], 0.0);
}

TEST(LivelyHand, Qmhv2PressureSpotMovesAcrossTheMatrix) {
    Rig<sim::Qmhv2Hand> rig("192.168.137.39", lively());
    auto& [clock, hand] = rig;

    const std::vector<double> before = matrix(hand);
    clock.advance_ms(1000);
    const std::vector<double> after = matrix(hand);
    ASSERT_EQ(before.size(), 64u);
    ASSERT_EQ(after.size(), 64u);
    for (const double element : after) {
        EXPECT_LE(element, 16777215.0);  // three cells per element, nothing above them
    }
    EXPECT_GT(std::abs(static_cast<long>(hottest_cell(after)) - static_cast<long>(hottest_cell(before))), 10);
}

TEST(LivelyHand, Qmhv2FaultsComeAndGoByThemselves) {
    sim::Lively alive = faulty();
    alive.fault_interval_s = 100.0;  // faults 50 to 150 s apart
    alive.fault_lasts_s = 5.0;
    Rig<sim::Qmhv2Hand> rig("192.168.137.39", alive);
    auto& [clock, hand] = rig;

    int waited_s = 0;
    while (codes(hand) == std::vector<double>(12, 0.0) && waited_s < 160) {
        clock.advance_ms(1000);
        ++waited_s;
    }
    ASSERT_LT(waited_s, 160);
    EXPECT_EQ(codes(hand)[0], 0.0);  // the calibration code is not a fault's
    clock.advance_ms(6000);
    EXPECT_EQ(codes(hand), std::vector<double>(12, 0.0));
}

TEST(LivelyHand, Qmhv1FaultsStayUntilCleared) {
    Rig<sim::Qmhv1Hand> rig("192.168.137.10", faulty());
    auto& [clock, hand] = rig;

    clock.advance_ms(5000);
    EXPECT_TRUE(any_flag(qmhv1_error_field(hand)));
    hand.respond(kCtrl, std::string("\x01\xF1\x00\x00", 4));
    EXPECT_FALSE(any_flag(qmhv1_error_field(hand)));
}

TEST(LivelyHand, Qmhv1CalibrationOpensAndClosesTheHandOverItsDuration) {
    Rig<sim::Qmhv1Hand> rig("192.168.137.10", lively());
    auto& [clock, hand] = rig;

    hand.respond(kCtrl, std::string("\x01\x01", 2));
    clock.advance_ms(1500);  // half way: open at full scale
    EXPECT_EQ(qmhv1_positions(hand), "2000.000 2000.000 2000.000 2000.000 2000.000 2000.000");
    EXPECT_EQ(hand.respond(kComm, std::string(1, '\x05')), std::vector<std::string>{"1 1 1 1 1 1"});
    clock.advance_ms(1600);
    EXPECT_EQ(qmhv1_positions(hand), "0.000 0.000 0.000 0.000 0.000 0.000");
    EXPECT_EQ(hand.respond(kComm, std::string(1, '\x05')), std::vector<std::string>{"0 0 0 0 0 0"});
}

TEST(LivelyHand, InspireFaultsStayUntilTheClearRegisterIsWritten) {
    Rig<sim::InspireHand> rig("192.168.137.19", faulty());
    auto& [clock, hand] = rig;

    clock.advance_ms(5000);
    EXPECT_NE(inspire_errors(hand), std::string(6, '\0'));
    hand.respond(kCtrl, inspire_frame({0x12, 0xEC, 0x03, 0x01}));
    EXPECT_EQ(inspire_errors(hand), std::string(6, '\0'));
}

TEST(LivelyHand, NoFaultBeforeTheFirstFaultTime) {
    sim::Lively alive = faulty();
    alive.first_fault_s = 60.0;
    Rig<sim::Qmhv1Hand> rig("192.168.137.10", alive);
    auto& [clock, hand] = rig;

    clock.advance_ms(59000);
    EXPECT_FALSE(any_flag(qmhv1_error_field(hand)));
    clock.advance_ms(3000);
    EXPECT_TRUE(any_flag(qmhv1_error_field(hand)));
}

TEST(CalmHand, NeitherFaultsNorChangesItsMatrixOverAnHour) {
    sim::Qmhv2Hand qmhv2("192.168.137.39");
    sim::Qmhv1Hand qmhv1("192.168.137.10");
    ScriptedClock clock;
    qmhv2.set_clock(clock.source());
    qmhv1.set_clock(clock.source());

    const std::vector<double> before = matrix(qmhv2);
    clock.advance_ms(3600 * 1000);
    EXPECT_EQ(matrix(qmhv2), before);
    EXPECT_EQ(codes(qmhv2), std::vector<double>(12, 0.0));
    EXPECT_FALSE(any_flag(qmhv1_error_field(qmhv1)));
}
