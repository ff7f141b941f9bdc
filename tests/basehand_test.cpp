// What the protocol interface shares: get_pvc.
#include <gtest/gtest.h>

#include "transport/basehand.h"

namespace {

// A hand whose three reads return scripted results; every other slot fails.
class FakeHand : public BaseHandProtocol::BaseHand {
public:
    int pos_status = 0, velocity_status = 0, current_status = 0;

    FakeHand() {
        default_pos.assign(6, -1.0f);
        default_velocity.assign(6, -2.0f);
        default_current.assign(6, -3.0f);
    }

    int get_pos(std::vector<float>& v) override { return read(pos_status, v, 1.5f); }
    int get_velocity(std::vector<float>& v) override { return read(velocity_status, v, 2.5f); }
    int get_current(std::vector<float>& v) override { return read(current_status, v, 3.5f); }
    int get_pvc(std::vector<std::vector<float>>& pvc) override { return BaseHand::get_pvc(pvc); }

    int calibration() override { return -1; }
    int enable() override { return -1; }
    int disable() override { return -1; }
    int reboot() override { return -1; }
    int get_cnt(std::vector<long>&) override { return -1; }
    int get_errorcode(std::vector<long>&) override { return -1; }
    int get_status(std::vector<unsigned char>&) override { return -1; }
    int clear_errorcode() override { return -1; }
    int get_comm_config(std::string&) override { return -1; }
    int set_comm_config(std::string) override { return -1; }
    int get_pos_limited(std::vector<float>&) override { return -1; }
    int get_velocity_limited(std::vector<float>&) override { return -1; }
    int get_current_limited(std::vector<float>&) override { return -1; }
    int set_velocity_limited(unsigned char, float) override { return -1; }
    int set_pos_limited(unsigned char, float, float) override { return -1; }
    int set_current_limited(unsigned char, float) override { return -1; }
    int set_pos(std::vector<float>) override { return -1; }
    int set_velocity(std::vector<float>) override { return -1; }
    int set_current(std::vector<float>) override { return -1; }
    int fast_set_positions(std::vector<float>) override { return -1; }
    int get_ts_matrix(std::vector<std::vector<unsigned char>>&) override { return -1; }
    int get_ts_tashan(std::vector<std::vector<float>>&) override { return -1; }
    int get_ntc(int&) override { return -1; }

private:
    int read(int status, std::vector<float>& out, float value) {
        out.assign(6, value);
        return status;
    }
};

}  // namespace

using BaseHandProtocol::kFailure;
using BaseHandProtocol::kSuccess;
using BaseHandProtocol::kTimeout;
using Rows = std::vector<std::vector<float>>;

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
