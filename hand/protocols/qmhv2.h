#pragma once

#include <memory>
#include <string>
#include <vector>

#include "export.h"
#include "transport/basehand.h"

namespace BaseHandProtocol {

// Second-generation hands: twelve position values, one JSON request and one
// JSON reply per exchange. Commands go to port 2333, reads to port 2334.
class DEXHAND_EXPORT Qmhv2 : public BaseHand {
public:
    // Opens the three endpoints; sends nothing. Throws what the endpoint
    // constructor throws.
    explicit Qmhv2(std::string ip);
    ~Qmhv2() override;

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
    int get_comm_config(std::string& config) override;
    int set_comm_config(std::string config) override;
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

private:
    std::string ip;
    // What the position and matrix exchanges reuse from call to call: the
    // position request's storage and the reply document.
    struct Scratch;
    std::unique_ptr<Scratch> scratch_;
};

}  // namespace BaseHandProtocol
