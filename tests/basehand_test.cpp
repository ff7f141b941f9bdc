// What the protocol interface shares: get_pvc.
#include <gtest/gtest.h>

#include "protocols/qmhv2.h"

using BaseHandProtocol::kFailure;
using BaseHandProtocol::kSuccess;
using BaseHandProtocol::kTimeout;
using Rows = std::vector<std::vector<float>>;

namespace {

// A hand whose three reads return scripted results; a real protocol class
// gives the other slots (its endpoints, on loopback, are never used).
class FakeHand : public BaseHandProtocol::Qmhv2 {
public:
    int pos_status = 0, velocity_status = 0, current_status = 0;

    FakeHand() : Qmhv2("127.0.0.1") {
        default_pos.assign(6, -1.0f);
        default_velocity.assign(6, -2.0f);
        default_current.assign(6, -3.0f);
    }

    int get_pos(std::vector<float>& v) override { return read(pos_status, v, 1.5f); }
    int get_velocity(std::vector<float>& v) override { return read(velocity_status, v, 2.5f); }
    int get_current(std::vector<float>& v) override { return read(current_status, v, 3.5f); }

private:
    static int read(int status, std::vector<float>& out, float value) {
        out.assign(6, value);
        return status;
    }
};

}  // namespace

// A failed read gives its default row; only the current read decides. (Every
// read succeeding, in order, is the adapter tests' get_pvc.)
TEST(GetPvc, FailedReadsGiveTheirDefaultRows) {
    FakeHand hand;
    hand.pos_status = kTimeout;
    hand.velocity_status = kFailure;
    Rows pvc = {{9.0f}};
    EXPECT_EQ(hand.get_pvc(pvc), kSuccess);
    EXPECT_EQ(pvc, (Rows{hand.default_pos, hand.default_velocity, std::vector<float>(6, 3.5f)}));
    hand.current_status = kFailure;
    EXPECT_EQ(hand.get_pvc(pvc), kFailure);
    EXPECT_EQ(pvc, (Rows{hand.default_pos, hand.default_velocity, hand.default_current}));
}
