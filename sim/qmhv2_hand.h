#pragma once

// A simulated second-generation hand: twelve joints that move toward their
// targets at a finite speed, drives that can be enabled and disabled, a
// calibration routine, a tactile matrix and a configuration object, all
// served as JSON over ports 2333 (commands) and 2334 (reads).

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "simulator.h"

namespace sim {

class Qmhv2Hand : public Hand {
public:
    static constexpr int kJoints = 12;
    static constexpr std::uint32_t kCalibrating = 0xFFFFFFFFu;

    // How the hand answers one command (its "cmd" path), until told otherwise.
    enum class Answer {
        Normal,
        Silent,         // no answer at all
        NotJson,        // the answer cut in half
        WithoutMember,  // a JSON object without the member the command expects
        NotObject,      // a JSON array instead of an object
        Twice,          // the answer, sent two times
    };

    explicit Qmhv2Hand(std::string ip);

    // --- what the hand is doing -------------------------------------------
    std::vector<double> targets() const;
    // Where the joints are now.
    std::vector<double> angles() const;
    bool enabled() const;
    bool calibrating() const;
    // The current error-code list as the hand would answer it now.
    std::vector<std::uint32_t> error_codes() const;
    std::vector<std::uint32_t> matrix() const;
    // The configuration object as JSON text.
    std::string config() const;

    // --- how it is set up ------------------------------------------------
    // Joint speed in position units per second (0 freezes the joints).
    void set_speed(double units_per_second);
    // Places the joints (and their targets) at once.
    void set_angles(const std::vector<double>& angles);
    void set_enabled(bool enabled);
    // How long a calibration runs and whether it ends in error code 1.
    void set_calibration(int duration_ms, bool fails);
    // The error-code list outside a calibration (its first element is
    // replaced by the outcome of the last calibration).
    void set_error_codes(std::vector<std::uint32_t> codes);
    // The "errorcode" that /calibration, /enable or /disable answer with.
    void set_command_code(const std::string& cmd, std::uint64_t code);
    // A matrix of rows x 32 generated elements, or exactly these elements.
    void set_matrix_rows(std::size_t rows);
    void set_matrix(std::vector<std::uint32_t> elements);
    // Replaces the configuration object; false when text is not a JSON object.
    bool set_config(const std::string& text);
    void set_answer(const std::string& cmd, Answer answer);

protected:
    std::vector<std::string> handle(unsigned short port, const std::string& datagram) override;
    void clock_changed(Clock::time_point old_now, Clock::time_point new_now) override;

private:
    using Clock = std::chrono::steady_clock;

    std::vector<double> angles_at(Clock::time_point now) const;
    // Fixes the joints where they are now, before the motion changes.
    void anchor(Clock::time_point now);
    std::vector<std::uint32_t> codes_at(Clock::time_point now) const;
    // A lively hand's faults come and go with time.
    void live(Clock::time_point now);
    void clear_faults();
    std::vector<std::uint32_t> lively_matrix(Clock::time_point now) const;

    std::string answer_command(const std::string& cmd, Clock::time_point now);
    std::string answer_position(const std::string& request, Clock::time_point now);
    std::string answer_pva(Clock::time_point now);
    std::string answer_set_config(const std::string& request);
    std::string without_member(const std::string& cmd) const;

    double speed_ = 90.0;
    std::vector<double> anchor_angles_;
    Clock::time_point anchor_time_;
    std::vector<double> targets_;
    bool enabled_ = true;

    int calibration_ms_ = 1000;
    bool calibration_fails_ = false;
    // Set by /calibration: the first code follows the run from then on.
    bool calibrated_ = false;
    bool calibration_failed_ = false;
    Clock::time_point calibration_end_;
    std::vector<std::uint32_t> codes_;
    std::map<std::size_t, Clock::time_point> fault_ends_;  // code index -> when its fault clears

    std::map<std::string, std::uint64_t> command_codes_;
    std::map<std::string, Answer> answers_;
    std::vector<std::uint32_t> matrix_;
    std::string config_;
};

}  // namespace sim
