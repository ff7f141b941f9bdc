#include "lively.h"

#include <algorithm>

namespace sim {

namespace {

// A clock jump of hours must not replay every fault in it.
constexpr std::size_t kMostAtOnce = 4;

FaultSchedule::Clock::duration seconds(double s) {
    return std::chrono::duration_cast<FaultSchedule::Clock::duration>(std::chrono::duration<double>(s));
}

}  // namespace

void FaultSchedule::start(const Lively& lively, Clock::time_point now) {
    on_ = lively.on && lively.fault_interval_s > 0.0;
    interval_s_ = std::max(0.001, lively.fault_interval_s);
    random_.seed(lively.seed);
    next_ = now + seconds(std::max(0.0, lively.first_fault_s)) + gap();
}

FaultSchedule::Clock::duration FaultSchedule::gap() {
    const double fraction = std::uniform_real_distribution<double>(0.5, 1.5)(random_);
    return seconds(interval_s_ * fraction);
}

std::vector<std::uint32_t> FaultSchedule::due(Clock::time_point now) {
    std::vector<std::uint32_t> out;
    if (!on_) {
        return out;
    }
    if (now - next_ > 1000 * gap()) {
        next_ = now;
    }
    while (next_ <= now) {
        if (out.size() < kMostAtOnce) {
            out.push_back(static_cast<std::uint32_t>(random_()));
        }
        next_ += gap();
    }
    return out;
}

}  // namespace sim
