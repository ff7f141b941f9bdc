#pragma once

// SIGINT and SIGTERM end a long-running command (watch, serve) instead of the
// process, so that it can report and close what it holds.

#include <atomic>
#include <csignal>

namespace dexhand_cli {

// While one lives, SIGINT and SIGTERM set stop_requested(); the handlers it
// replaced come back when it dies.
class StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    static bool stop_requested();
    // The flag itself, for waits that take an atomic.
    static const std::atomic<bool>& flag();

private:
    struct sigaction old_int_ {};
    struct sigaction old_term_ {};
};

}  // namespace dexhand_cli
