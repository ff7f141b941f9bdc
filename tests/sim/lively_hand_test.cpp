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

constexpr unsigned short kCtrl = 2333, kComm = 2334;
using Numbers = std::vector<double>;

sim::Lively lively(double first_fault_s = 60.0, double fault_interval_s = 90.0) {
    sim::Lively alive;
    alive.on = true;
    alive.first_fault_s = first_fault_s;
    alive.fault_interval_s = fault_interval_s;
    return alive;
}

// A hand model whose time moves only when the test says so.
template <class Hand>
struct Rig {
    explicit Rig(const char* ip, const sim::Lively& alive = lively()) : hand(ip) {
        hand.set_clock([now = now] { return *now; });
        hand.set_lively(alive);
    }
    void advance_ms(long long ms) { *now += std::chrono::milliseconds(ms); }

    // The numbers under key in the one JSON answer to a request.
    Numbers numbers(const char* cmd, const char* key) {
        const auto answers = hand.respond(kComm, std::string(R"({"method":"GET","cmd":")") + cmd + "\"}");
        rapidjson::Document document;
        Numbers out;
        if (answers.size() == 1 && !document.Parse(answers[0].c_str()).HasParseError() && document.IsObject() &&
            document.HasMember(key) && document[key].IsArray()) {
            for (const auto& value : document[key].GetArray()) {
                out.push_back(value.GetDouble());
            }
        }
        return out;
    }
    // A first-generation hand's error field has a flag in every odd byte.
    bool any_flag() {
        const auto answers = hand.respond(kComm, std::string(1, '\x06'));
        for (std::size_t i = 1; answers.size() == 1 && i < answers[0].size(); i += 2) {
            if (answers[0][i] != 0) {
                return true;
            }
        }
        return false;
    }

    std::shared_ptr<std::chrono::steady_clock::time_point> now =
        std::make_shared<std::chrono::steady_clock::time_point>(std::chrono::hours(1000));
    Hand hand;
};

}  // namespace

TEST(LivelyHand, Qmhv2JointsTravelToTheirTargetsOverTime) {
    Rig<sim::Qmhv2Hand> rig("192.168.137.39");
    rig.hand.respond(kCtrl, R"({"method":"SET","cmd":"/pos","position":[45,45,45,45,45,45,45,45,45,45,45,45]})");
    EXPECT_EQ(rig.numbers("/pva", "angle")[0], 0.0);
    rig.advance_ms(250);
    EXPECT_GT(rig.numbers("/pva", "angle")[0], 5.0);
    EXPECT_LT(rig.numbers("/pva", "angle")[0], 40.0);
    rig.advance_ms(2000);
    EXPECT_EQ(rig.numbers("/pva", "angle"), Numbers(12, 45.0));
}

TEST(LivelyHand, Qmhv2CalibrationReportsItselfBusyForItsDuration) {
    Rig<sim::Qmhv2Hand> rig("192.168.137.39");
    EXPECT_EQ(rig.hand.respond(kCtrl, R"({"method":"SET","cmd":"/calibration"})"),
              std::vector<std::string>{R"({"errorcode":0})"});
    EXPECT_EQ(rig.numbers("/errorcode", "errorcode")[0], 4294967295.0);
    rig.advance_ms(2990);
    EXPECT_EQ(rig.numbers("/errorcode", "errorcode")[0], 4294967295.0);
    rig.advance_ms(20);
    EXPECT_EQ(rig.numbers("/errorcode", "errorcode")[0], 0.0);
}

TEST(LivelyHand, Qmhv1CalibrationOpensAndClosesTheHandOverItsDuration) {
    Rig<sim::Qmhv1Hand> rig("192.168.137.10");
    const std::string positions("\x02\x00", 2), busy(1, '\x05');
    rig.hand.respond(kCtrl, std::string("\x01\x01", 2));
    rig.advance_ms(1500);  // half way: open at full scale
    EXPECT_EQ(rig.hand.respond(kComm, positions),
              std::vector<std::string>{"2000.000 2000.000 2000.000 2000.000 2000.000 2000.000"});
    EXPECT_EQ(rig.hand.respond(kComm, busy), std::vector<std::string>{"1 1 1 1 1 1"});
    rig.advance_ms(1600);
    EXPECT_EQ(rig.hand.respond(kComm, positions), std::vector<std::string>{"0.000 0.000 0.000 0.000 0.000 0.000"});
    EXPECT_EQ(rig.hand.respond(kComm, busy), std::vector<std::string>{"0 0 0 0 0 0"});
}

TEST(LivelyHand, Qmhv2TactileImageMoves) {
    Rig<sim::Qmhv2Hand> rig("192.168.137.39");
    const Numbers before = rig.numbers("/matrix", "matrix");
    rig.advance_ms(1000);
    ASSERT_EQ(before.size(), 64u);
    EXPECT_NE(rig.numbers("/matrix", "matrix"), before);
}

// Faults 50 to 150 s apart, each lasting 5 s; the calibration code is no fault's.
TEST(LivelyHand, Qmhv2FaultsComeAndGoByThemselves) {
    sim::Lively alive = lively(0.0, 100.0);
    alive.fault_lasts_s = 5.0;
    Rig<sim::Qmhv2Hand> rig("192.168.137.39", alive);
    int waited_s = 0;
    while (rig.numbers("/errorcode", "errorcode") == Numbers(12, 0.0) && waited_s < 160) {
        rig.advance_ms(1000);
        ++waited_s;
    }
    ASSERT_LT(waited_s, 160);
    EXPECT_EQ(rig.numbers("/errorcode", "errorcode")[0], 0.0);
    rig.advance_ms(6000);
    EXPECT_EQ(rig.numbers("/errorcode", "errorcode"), Numbers(12, 0.0));
}

TEST(LivelyHand, FaultsStartAtTheFirstFaultTimeAndStayUntilCleared) {
    Rig<sim::Qmhv1Hand> qmhv1("192.168.137.10", lively(60.0, 1.0));
    qmhv1.advance_ms(59000);
    EXPECT_FALSE(qmhv1.any_flag());
    qmhv1.advance_ms(3000);
    EXPECT_TRUE(qmhv1.any_flag());
    qmhv1.hand.respond(kCtrl, std::string("\x01\xF1\x00\x00", 4));
    EXPECT_FALSE(qmhv1.any_flag());

    // Register 0x46 read, then 1 written to the clear register 0x3EC.
    Rig<sim::InspireHand> inspire("192.168.137.19", lively(0.0, 1.0));
    const std::string read_errors("\xEB\x90\x01\x04\x11\x46\x06\x06\x68", 9);
    const auto errors = [&] {
        const auto answers = inspire.hand.respond(kCtrl, read_errors);
        return answers.size() == 1 && answers[0].size() == 14 ? answers[0].substr(7, 6) : "(no answer)";
    };
    inspire.advance_ms(5000);
    EXPECT_NE(errors(), std::string(6, '\0'));
    inspire.hand.respond(kCtrl, std::string("\xEB\x90\x01\x04\x12\xEC\x03\x01\x07", 9));
    EXPECT_EQ(errors(), std::string(6, '\0'));
}

TEST(CalmHand, NeitherFaultsNorChangesItsMatrixOverAnHour) {
    Rig<sim::Qmhv2Hand> qmhv2("192.168.137.39", sim::Lively{});
    Rig<sim::Qmhv1Hand> qmhv1("192.168.137.10", sim::Lively{});
    const Numbers before = qmhv2.numbers("/matrix", "matrix");
    qmhv2.advance_ms(3600 * 1000);
    qmhv1.advance_ms(3600 * 1000);
    EXPECT_EQ(qmhv2.numbers("/matrix", "matrix"), before);
    EXPECT_EQ(qmhv2.numbers("/errorcode", "errorcode"), Numbers(12, 0.0));
    EXPECT_FALSE(qmhv1.any_flag());
}
