#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "export.h"
#include "transport/basehand.h"

namespace BaseHandProtocol {

// The Inspire hand: six joints driven through checksummed register frames on
// port 2333, and a JSON configuration channel on port 2334.
class DEXHAND_EXPORT Inspire : public BaseHand {
public:
    explicit Inspire(std::string ip);
    ~Inspire() override;

    int calibration() override;
    int enable() override;
    int disable() override;
    int reboot() override;
    int get_cnt(std::vector<long>& cnt) override;
    int get_pos(std::vector<float>& pos) override;
    int get_current(std::vector<float>& current) override;
    int get_velocity(std::vector<float>& velocity) override;
    int get_errorcode(std::vector<long>& codes) override;
    int get_status(std::vector<unsigned char>& status) override;
    int clear_errorcode() override;
    int get_comm_config(std::string& cfg) override;
    int set_comm_config(std::string cfg) override;
    int get_pos_limited(std::vector<float>& limits) override;
    int get_velocity_limited(std::vector<float>& limits) override;
    int get_current_limited(std::vector<float>& limits) override;
    int set_velocity_limited(unsigned char id, float limit) override;
    int set_pos_limited(unsigned char id, float lower, float upper) override;
    int set_current_limited(unsigned char id, float limit) override;
    int set_pos(std::vector<float> pos) override;
    int set_velocity(std::vector<float> velocity) override;
    int set_current(std::vector<float> current) override;
    int fast_set_positions(std::vector<float> pos) override;
    int get_ts_matrix(std::vector<std::vector<unsigned char>>& matrix) override;
    int get_ts_tashan(std::vector<std::vector<float>>& tashan) override;
    int get_ntc(int& ntc) override;
    int get_pvc(std::vector<std::vector<float>>& pvc) override;
    int prepare_get_pos(std::vector<float>& pos, Pending& pending) override;
    int prepare_set_pos(std::vector<float> pos, Pending& pending) override;
    int prepare_fast_set_positions(std::vector<float> pos, Pending& pending) override;

    // high * 256 + low read as a signed 16-bit number, returned as its
    // magnitude (0x8000 stays 0x8000). Callers choose signed or unsigned.
    static std::uint16_t combineTo16Bit(unsigned char high, unsigned char low);

    std::string ip;
    unsigned char hand_id = 1;
};

}  // namespace BaseHandProtocol
