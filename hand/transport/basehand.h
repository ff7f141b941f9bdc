#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "export.h"
#include "transport/commsocket.h"
#include "transport/diagnostics.h"
#include "transport/status.h"

namespace BaseHandProtocol {

class Pending;

// The interface behind which every kind of hand hides its wire protocol.
// Slots 2 to 28 are implemented by every hand class; get_pvc has a shared
// implementation that the classes forward to.
class DEXHAND_EXPORT BaseHand {
public:
    BaseHand();
    virtual ~BaseHand();

    virtual int calibration() = 0;
    virtual int enable() = 0;
    virtual int disable() = 0;
    virtual int reboot() = 0;
    virtual int get_cnt(std::vector<long>& cnt) = 0;
    virtual int get_pos(std::vector<float>& pos) = 0;
    virtual int get_current(std::vector<float>& current) = 0;
    virtual int get_velocity(std::vector<float>& velocity) = 0;
    virtual int get_errorcode(std::vector<long>& codes) = 0;
    virtual int get_status(std::vector<unsigned char>& status) = 0;
    virtual int clear_errorcode() = 0;
    virtual int get_comm_config(std::string& config) = 0;
    virtual int set_comm_config(std::string config) = 0;
    virtual int get_pos_limited(std::vector<float>& limits) = 0;
    virtual int get_velocity_limited(std::vector<float>& limits) = 0;
    virtual int get_current_limited(std::vector<float>& limits) = 0;
    virtual int set_velocity_limited(unsigned char id, float limit) = 0;
    virtual int set_pos_limited(unsigned char id, float lower, float upper) = 0;
    virtual int set_current_limited(unsigned char id, float limit) = 0;
    virtual int set_pos(std::vector<float> pos) = 0;
    virtual int set_velocity(std::vector<float> velocity) = 0;
    virtual int set_current(std::vector<float> current) = 0;
    virtual int fast_set_positions(std::vector<float> pos) = 0;
    virtual int get_ts_matrix(std::vector<std::vector<unsigned char>>& matrix) = 0;
    virtual int get_ts_tashan(std::vector<std::vector<float>>& tashan) = 0;
    virtual int get_ntc(int& ntc) = 0;
    // Positions, velocities and currents: always three rows, a failed read
    // replaced by its default list; the result is that of the current read.
    virtual int get_pvc(std::vector<std::vector<float>>& pvc) = 0;

    // get_pos, set_pos and fast_set_positions in two steps, so that one
    // thread can run them for several hands at once (the manager's
    // get_positions and set_positions): prepares the exchange in pending and
    // returns kPrepared (exchange.h), or returns the operation's result when
    // it ends before any exchange. This base version runs the operation at
    // once and returns its result.
    virtual int prepare_get_pos(std::vector<float>& pos, Pending& pending);
    virtual int prepare_set_pos(std::vector<float> pos, Pending& pending);
    virtual int prepare_fast_set_positions(std::vector<float> pos, Pending& pending);

    std::shared_ptr<CommSocket::Transmit::UDPSocket> ctrl_udp_socket;
    std::shared_ptr<CommSocket::Transmit::UDPSocket> comm_udp_socket;
    std::shared_ptr<CommSocket::Transmit::UDPSocket> aux_udp_socket;
    std::vector<float> default_pos;
    std::vector<float> default_velocity;
    std::vector<float> default_current;

    // Serialises the operations on this hand: its endpoints carry no request
    // identifiers, so two operations at once would take each other's replies.
    // The manager holds it for every call it dispatches, a multi-exchange
    // operation included. Different hands, each with its own lock, run in
    // parallel.
    std::mutex& operation_mutex() { return operation_mutex_; }

protected:
    // Opens the three endpoints to ip (ports 2333, 2334, 2335, in that order)
    // and sets each default list to joints zeros. Throws what the endpoint
    // constructor throws.
    void open_endpoints(const std::string& ip, std::size_t joints);

private:
    std::mutex operation_mutex_;
};

}  // namespace BaseHandProtocol
