#pragma once

// What makes a simulated hand look alive to someone watching it: calibration
// that takes its time, faults that come now and then, a tactile image that
// changes. Off by default, so that tests see hands that change only when told.

#include <chrono>
#include <cstdint>
#include <random>
#include <vector>

namespace sim {

struct Lively {
    bool on = false;
    int calibration_ms = 3000;      // how long a calibration runs
    double first_fault_s = 60.0;    // no fault sooner than this after the hand came alive
    double fault_interval_s = 90.0;  // mean time between two faults (each gap 0.5 to 1.5 times it)
    double fault_lasts_s = 10.0;    // how long a fault lasts on hands that cannot be told to clear it
    unsigned seed = 1;              // the same seed, the same faults at the same times
};

// When faults happen: a seeded sequence of moments, worked out lazily from
// the hand's clock, each with a random number that picks what goes wrong.
class FaultSchedule {
public:
    using Clock = std::chrono::steady_clock;

    void start(const Lively& lively, Clock::time_point now);
    // The faults that came due since the last call, one random number each;
    // none when the schedule was not started with a lively hand.
    std::vector<std::uint32_t> due(Clock::time_point now);
    // Keeps the schedule where it was in the hand's time when its clock is replaced.
    void shift(Clock::duration by) { next_ += by; }

private:
    Clock::duration gap();

    bool on_ = false;
    double interval_s_ = 0.0;
    std::mt19937 random_;
    Clock::time_point next_;
};

}  // namespace sim
