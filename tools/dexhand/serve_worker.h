#pragma once

// dexhand serve's hand workers. One worker thread per hand polls it and runs
// the commands the page sends, in order, so that a command never waits
// behind another hand's time-outs; browsers read the latest snapshot the
// worker published, so a slow or vanished browser never holds up a hand.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serve_checks.h"
#include "tessaro_dexhand/tessaro_dexhand.h"

namespace dexhand_cli::serve {

using Clock = std::chrono::steady_clock;

// What a worker knows of its hand, copied out for the browsers.
struct Snapshot {
    bool polled = false;     // at least one poll ended
    bool answering = false;  // the last poll got the positions
    Clock::time_point last_answer{};
    std::vector<float> positions, velocities, currents;
    bool has_matrix = false;
    std::vector<std::vector<unsigned char>> matrix;
    bool has_errors = false;
    std::vector<long> errors;
    // "" never asked, "running", "success", "failed", "timeout".
    std::string calibration;
    Clock::time_point calibration_start{};
    double calibration_seconds = 0;
    // As last commanded from this dashboard: "enabled", "disabled", or
    // "unknown" (never set here, or rebooted since).
    std::string motors = "unknown";
    std::uint64_t polls = 0;
};

// Wakes event streams when any hand published.
class Board {
public:
    void published();
    // The sequence after waiting up to `timeout` for one newer than `seen`.
    std::uint64_t wait(std::uint64_t seen, std::chrono::milliseconds timeout, const std::atomic<bool>& stop);
    void wake_all();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t sequence_ = 0;
};

class HandWorker {
public:
    using Job = std::function<Reply(tessaro_dexhand::Client&, HandWorker&)>;
    // Says that the hand went silent or came back (once per change).
    using Note = std::function<void(const std::string&)>;

    HandWorker(tessaro_dexhand::Client& client, tessaro_dexhand::HandInfo hand, double poll_hz,
               double requests_per_second, Board& board, Note note);
    ~HandWorker();
    HandWorker(const HandWorker&) = delete;
    HandWorker& operator=(const HandWorker&) = delete;

    // One request's worth of the hand's allowance; false when it is spent.
    bool take_allowance();

    // A queued job and the way to withdraw it before it starts.
    struct Ticket {
        std::future<Reply> reply;
        std::shared_ptr<std::atomic<int>> stage;
        // True when the job had not started; it never will.
        bool withdraw();
    };
    // Queues the job; an urgent one (stop) goes ahead of the others.
    Ticket submit(Job job, bool urgent = false);
    // The job's reply, or 504 when it could not start within `wait`: sent
    // later, it would move a hand when nobody expects it any more.
    static Reply wait(Ticket ticket, Clock::duration wait);

    Snapshot snapshot() const;

    // Claims the hand's one calibration; false while one runs.
    bool begin_calibration();
    // On the worker thread: the calibration's outcome.
    void end_calibration(tessaro_dexhand::Status status);
    bool calibrating() const { return calibrating_.load(); }
    void set_motors(const std::string& motors);

    const tessaro_dexhand::HandInfo info;
    const tessaro_dexhand::KindInfo& kind;

private:
    void run();
    void poll(bool with_errors);

    tessaro_dexhand::Client& client_;
    Board& board_;
    Note note_;
    const Clock::duration period_;

    std::mutex rate_mutex_;
    RateLimiter rate_;

    std::mutex queue_mutex_;
    std::condition_variable queue_changed_;
    std::deque<std::function<void()>> queue_;
    bool stopping_ = false;

    std::atomic<bool> calibrating_{false};
    mutable std::mutex state_mutex_;
    Snapshot state_;

    std::thread thread_;
};

}  // namespace dexhand_cli::serve
