#pragma once

#include <string>
#include <vector>

#include "export.h"
#include "transport/basehand.h"

namespace BaseHandProtocol {

// A first-generation hand: six joints, binary request frames (big-endian
// floats) and space-separated text replies. Control frames go to port 2333
// and are never answered; requests that expect an answer, the reboot and the
// identity writes go to port 2334. Port 2335 is opened but unused.
class DEXHAND_EXPORT Qmhv1 : public BaseHand {
public:
    // Opens the three endpoints; sends nothing. Throws what the endpoint
    // constructor throws.
    explicit Qmhv1(std::string ip_address);
    ~Qmhv1() override;

    int calibration() override;
    int enable() override;
    int disable() override;
    int reboot() override;
    int get_cnt(std::vector<long>& cnt) override;
    int get_pos(std::vector<float>& fdb) override;
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

    // Controller gains of one joint or motor: pid holds P, I and D.
    int set_pos_pid(unsigned char id, std::vector<float> pid);
    int set_velocity_pid(unsigned char id, std::vector<float> pid);
    int set_current_pid(unsigned char id, std::vector<float> pid);
    int reset_pid();

    // Network identity: at most four octets, six MAC bytes, 31 characters.
    int set_ip(std::vector<int> octets);
    int set_mac(std::vector<int> bytes);
    int set_sn(std::string sn);

    std::string ip;
    // Consecutive empty polls after which get_current and get_velocity send
    // their request again.
    int recv_counts_limit = 100000;
    // Two values per joint, the second the joint's full-scale position; read
    // once from the hand and kept for the object's life. A reply whose
    // full-scale values are not all finite and above 0 is a failed read and
    // is not kept.
    std::vector<float> pos_limits;

private:
    // Fills pos_limits when empty; false after six failed limit reads.
    bool ensure_pos_limits();
};

}  // namespace BaseHandProtocol
