#pragma once

// dexhand-bridge: every discovered hand as ROS 2 topics over DDS.
//
// One polling thread per hand talks to that hand only (reads at the chosen
// rate, applies the latest command) and hands each reading to the publisher
// through a latest-value slot, so DDS never blocks a hand and a slow
// subscriber only ever costs the samples it could not take. Commands come in
// on the thread that runs run() and wait in a latest-value slot of their hand.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tessaro_dexhand/tessaro_dexhand.h"
#include "tessaro_dexhand/log.h"

namespace bridge {

struct Options {
    double rate_hz = 50.0;                      // joint_states (and tactile) per second per hand
    std::map<std::string, std::string> names;  // address -> namespace, overriding the default
    std::uint32_t domain_id = 0;               // the DDS domain (ROS_DOMAIN_ID)
    std::string dds_interface;                 // name or address of the DDS network interface; empty: Cyclone's choice
    std::string cyclone_uri;                   // the user's CYCLONEDDS_URI, which wins over dds_interface
};

// The bridge's own lines (not the library's).
using Report = std::function<void(tessaro_dexhand::LogLevel level, const std::string& text)>;

// True on a polling thread while its hand is reported as not answering: the
// library's lines about it are then held back, so a silent hand is reported
// once instead of once per poll.
bool library_lines_muted();

class Bridge {
public:
    Bridge(Options options, Report report);
    ~Bridge();

    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    // Discovers the hands and creates their topics. False, with the reason in
    // error, when there is nothing to serve or DDS cannot be set up.
    bool start(std::string& error);
    // The hands being served: address and namespace, in discovery order.
    std::vector<std::pair<std::string, std::string>> hands() const;
    // Serves until stop(); returns at once when start() did not succeed.
    void run();
    // Ends run() soon; may be called from any thread (not a signal handler).
    void stop();

private:
    struct Hand;
    struct Shared;

    bool start_domain(std::string& error);
    void poll_hand(Hand& hand);
    void publish();
    void take_commands(Hand& hand);

    Options options_;
    Report report_;
    tessaro_dexhand::Client client_;
    std::unique_ptr<Shared> shared_;
    std::vector<std::unique_ptr<Hand>> hands_;
    std::atomic<bool> stopping_{false};
};

}  // namespace bridge
