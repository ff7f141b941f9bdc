// The hand models on a scripted clock, talked to without sockets: joints
// travel, faults come and stay until cleared - and a calm hand neither faults
// nor changes its tactile image on its own.
#include <gtest/gtest.h>

#include <rapidjson/document.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

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

TEST(LivelyHand, FaultsStartAtTheFirstFaultTimeAndStayUntilCleared) {
    Rig<sim::Qmhv1Hand> qmhv1("192.168.137.10", lively(60.0, 1.0));
    qmhv1.advance_ms(59000);
    EXPECT_FALSE(qmhv1.any_flag());
    qmhv1.advance_ms(3000);
    EXPECT_TRUE(qmhv1.any_flag());
    qmhv1.hand.respond(kCtrl, std::string("\x01\xF1\x00\x00", 4));
    EXPECT_FALSE(qmhv1.any_flag());
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
