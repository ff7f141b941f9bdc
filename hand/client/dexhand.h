#pragma once

#include <string>
#include <vector>

#include "export.h"
#include "manager/qhand.h"
#include "transport/status.h"

namespace QmHand {

// The results of the calls below, by name: kSuccess (0), kFailure (-1) and
// kTimeout (-2). The calls return int; compare with these or with the numbers.
using BaseHandProtocol::kFailure;
using BaseHandProtocol::kSuccess;
using BaseHandProtocol::kTimeout;
using BaseHandProtocol::Status;
// "success", "failure", "timeout" for logs.
using BaseHandProtocol::status_text;

// The application's handle on the hands of the subnet.
//
//   QmHand::DexHand client;
//   if (client.init(0) == QmHand::kSuccess) {
//       for (const auto& ip : client.get_ip_list()) {
//           std::vector<float> pos = client.get_pos(ip);
//       }
//   }
//
// Every hand is named by its IPv4 address in dotted-quad text. Commands
// return kSuccess, kFailure, or kTimeout when the hand did not answer in
// time; reads return an empty result on failure.
//
// Diagnostics are single lines, by default on standard output (a few on
// standard error). Diagnostics::set_handler() (transport/diagnostics.h)
// takes them instead, and Diagnostics::set_min_level() drops the lower
// levels.
//
// Threads:
// - Calls for different hands may run at the same time on different threads,
//   and so may the identity queries and get_ip_list().
// - Calls for one hand queue: each hand has one operation lock, held for the
//   whole call (a hand's replies carry no request identifier, so two
//   overlapping exchanges with one hand would take each other's replies).
//   The calibration workers' calls queue with the application's the same
//   way.
// - init() may overlap nothing, not even a query: it destroys and rebuilds
//   the table of hands that every other call reads.
// - calibration() runs one worker thread per calibrated hand and joins them
//   all before it returns.
// - A diagnostics handler runs on the thread of the call that printed, in
//   the middle of that call, possibly on several threads at once. It must
//   not throw and must not call this client; it may print, and it may call
//   Diagnostics::set_handler() or set_min_level().
class DEXHAND_EXPORT DexHand {
public:
    DexHand();
    ~DexHand();

    DexHand(const DexHand&) = delete;
    DexHand& operator=(const DexHand&) = delete;

    // Discovers the hands (one second of listening) and registers those that
    // can be served. kSuccess, else kFailure (the reason is printed); the
    // hands registered before a failure stay usable. The argument has no
    // effect. Throws only when a discovered hand's address cannot be opened.
    int init(int unused = 0);

    // The registered addresses, in registration order.
    std::vector<std::string> get_ip_list();
    // True for four dot-separated decimal fields of 0 to 255 (leading zeros
    // allowed, at most three digits a field). Safe from any thread.
    bool isValidIP(const std::string& ip);

    // What the hand said about itself at discovery; empty when unknown.
    std::string get_name(std::string ip);
    std::string get_type(std::string ip);
    std::string get_driver_ver(std::string ip);
    std::string get_hardware_ver(std::string ip);

    // All registered hands in order; stops at the first failure with kFailure.
    int enable();
    int disable();
    int reboot();

    int enable(std::string ip);
    int disable(std::string ip);
    int reboot(std::string ip);
    int set_pos(std::string ip, std::vector<float> pos);
    int fast_set_pos(std::string ip, std::vector<float> pos);
    std::vector<float> get_pos(std::string ip);
    // Returned even after a failed read: whatever the hand's protocol left.
    std::vector<long> get_errorcode(std::string ip);
    int clear_errorcode(std::string ip);
    int set_hand_config(std::string ip, std::string config);
    std::string get_hand_config(std::string ip);
    std::vector<std::vector<unsigned char>> get_ts_matrix(std::string ip);
    // Positions, velocities and currents; empty unless all could be read.
    std::vector<std::vector<float>> get_pvc(std::string ip);

    // Many hands in one round trip. The requests to all the hands go out
    // first, then one sleep waits for all their replies, so a sweep over N
    // hands costs about one round trip, not N, and no core spins meanwhile.
    // This, on one thread, is the way to run a fast control loop over
    // several hands; one thread per hand buys nothing more. Each hand keeps
    // its own kind's rules, budget and lines.
    //
    // result[i] is what get_pos(ips[i]) would return (empty on failure).
    std::vector<std::vector<float>> get_pos_many(std::vector<std::string> ips);
    // get_pos_many over every registered hand, in registration order.
    std::vector<std::vector<float>> get_pos_all();
    // result[i] is what set_pos(ips[i], pos[i]) would return; a missing
    // pos[i] is an empty list.
    std::vector<int> set_pos_many(std::vector<std::string> ips, std::vector<std::vector<float>> pos);

    // Calibrates every second-generation hand in parallel and waits for the
    // outcome: kSuccess all succeeded (other hand kinds count as success),
    // kFailure a hand reported an error, kTimeout a hand never finished; the
    // first such hand in registration order decides.
    int calibration();
    int calibration(std::string ip);
    // One calibration worker: entry holds the address, then the outcome
    // ("success", "error" or "timeout").
    void calibrationThread(std::string& entry);

    hand_ws::Qhand hand_manager;

private:
    int calibrate(std::vector<std::string> entries);
    // Prints the invalid-address line for the member with this signature.
    bool check_ip(const std::string& ip, const char* signature);
    std::string identity(const std::string& ip, const std::vector<std::string>& list, const char* function,
                         bool report_short_list);
};

}  // namespace QmHand
