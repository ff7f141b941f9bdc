#pragma once

// A simulated first-generation hand: six joints driven by binary frames on
// port 2333, reads answered with space-separated text on port 2334.

#include <array>
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "simulator.h"

namespace sim {

// Misbehaviour of a first-generation hand, on top of the shared Faults.
struct Qmhv1Quirks {
    int value_count_delta = 0;     // text replies carry this many values more (fewer when negative)
    bool garbage = false;          // text replies carry words instead of numbers
    bool odd_error_field = false;  // the error field gets one trailing byte
    std::string trailer;           // appended to every text reply (" ", "\n", ...)
};

class Qmhv1Hand : public Hand {
public:
    static constexpr int kJoints = 6;
    using Joints = std::array<float, kJoints>;
    enum class Loop { Position, Velocity, Current };

    explicit Qmhv1Hand(std::string ip);

    // Raw joint positions (brought up to date first) and their targets.
    Joints raw_positions() const;
    Joints targets() const;
    void set_raw_positions(const Joints& raw);
    // How fast joints move toward their targets, raw units per second; a
    // positive velocity limit of a joint slows it further.
    void set_speed(float units_per_second);
    bool moving() const;
    bool enabled() const;

    std::vector<float> pos_limits() const;  // lower and full-scale position per joint
    void set_pos_limits(std::vector<float> limits);
    std::vector<float> velocity_limits() const;
    std::vector<float> current_limits() const;
    void set_currents(std::vector<float> currents);
    void set_counts(std::vector<long long> counts);
    void set_status(std::vector<int> status);
    // Error records (group byte, flags byte), as the hand sends them.
    std::string error_field() const;
    void set_error_field(std::string bytes);
    std::array<float, 3> gains(Loop loop, unsigned char id) const;

    std::vector<int> static_ip() const;
    std::vector<int> mac_address() const;
    std::string sn() const;
    // The configuration object the hand answers with.
    std::string config_text() const;

    int calibrations() const;
    int reboots() const;
    int pid_resets() const;
    int unknown_frames() const;

    void set_quirks(Qmhv1Quirks quirks);

protected:
    std::vector<std::string> handle(unsigned short port, const std::string& datagram) override;
    void clock_changed(Clock::time_point old_now, Clock::time_point new_now) override;

private:
    using Clock = std::chrono::steady_clock;

    void advance() const;
    void step_to(Clock::time_point t) const;
    bool calibrating(Clock::time_point now) const;
    // A lively hand's faults arrive with time and stay until cleared.
    void live(Clock::time_point now);
    void on_control(const std::string& frame);
    std::vector<std::string> on_request(const std::string& frame);
    std::string text_reply(std::vector<std::string> tokens) const;
    std::string floats_reply(const std::vector<float>& values) const;
    std::string config_locked() const;

    // Motion is brought up to date lazily, also from const readers.
    mutable Joints raw_{};
    mutable Joints velocity_{};
    mutable Clock::time_point last_update_;
    mutable Joints target_{};
    float speed_ = 4000.0f;
    bool enabled_ = true;
    // A lively calibration opens every joint to its full scale and closes it
    // again, at the speed that takes the routine's time.
    mutable bool closing_pending_ = false;
    Clock::time_point calibration_half_;
    Clock::time_point calibration_end_;
    float calibration_speed_ = 0.0f;

    std::vector<float> pos_limits_;
    std::vector<float> velocity_limits_;
    std::vector<float> current_limits_;
    std::vector<float> currents_;
    std::vector<long long> counts_;
    std::vector<int> status_;
    std::string error_field_;
    std::map<std::pair<int, int>, std::array<float, 3>> gains_;

    std::vector<int> static_ip_;
    std::vector<int> mac_;
    std::string sn_;

    int calibrations_ = 0;
    int reboots_ = 0;
    int pid_resets_ = 0;
    int unknown_frames_ = 0;
    Qmhv1Quirks quirks_;
};

}  // namespace sim
