#include "serve_worker.h"

namespace dexhand_cli::serve {

namespace td = tessaro_dexhand;

namespace {

constexpr auto kErrorPollPeriod = std::chrono::seconds(1);

enum Stage { kQueued, kStarted, kWithdrawn };

double seconds_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

}  // namespace

void Board::published() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++sequence_;
    }
    changed_.notify_all();
}

std::uint64_t Board::wait(std::uint64_t seen, std::chrono::milliseconds timeout, const std::atomic<bool>& stop) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return sequence_ != seen || stop.load(); });
    return sequence_;
}

void Board::wake_all() { changed_.notify_all(); }

HandWorker::HandWorker(td::Client& client, td::HandInfo hand, double poll_hz, double requests_per_second,
                       Board& board, Note note)
    : info(std::move(hand)),
      kind(*info.kind_info()),
      client_(client),
      board_(board),
      note_(std::move(note)),
      period_(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / poll_hz))),
      rate_(requests_per_second, Clock::now()) {
    thread_ = std::thread([this] { run(); });
}

HandWorker::~HandWorker() {
    {
        std::lock_guard<std::mutex> lock(queue_mutex_);
        stopping_ = true;
    }
    queue_changed_.notify_all();
    thread_.join();
}

bool HandWorker::take_allowance() {
    std::lock_guard<std::mutex> lock(rate_mutex_);
    return rate_.take(Clock::now());
}

bool HandWorker::Ticket::withdraw() {
    int queued = kQueued;
    return stage->compare_exchange_strong(queued, kWithdrawn);
}

HandWorker::Ticket HandWorker::submit(Job job, bool urgent) {
    auto stage = std::make_shared<std::atomic<int>>(kQueued);
    auto task = std::make_shared<std::packaged_task<Reply()>>([this, job = std::move(job), stage] {
        int queued = kQueued;
        if (!stage->compare_exchange_strong(queued, kStarted)) {
            return Reply{};  // withdrawn: nobody waits for it any more
        }
        return job(client_, *this);
    });
    Ticket ticket{task->get_future(), stage};
    {
        std::lock_guard<std::mutex> lock(queue_mutex_);
        if (urgent) {
            queue_.push_front([task] { (*task)(); });
        } else {
            queue_.push_back([task] { (*task)(); });
        }
    }
    queue_changed_.notify_all();
    return ticket;
}

Reply HandWorker::wait(Ticket ticket, Clock::duration wait) {
    if (ticket.reply.wait_for(wait) != std::future_status::ready && ticket.withdraw()) {
        return refused(504, "the hand stayed busy; the command was not sent");
    }
    return ticket.reply.get();  // started: its outcome is worth the wait
}

Snapshot HandWorker::snapshot() const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    return state_;
}

bool HandWorker::begin_calibration() {
    bool idle = false;
    if (!calibrating_.compare_exchange_strong(idle, true)) {
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        state_.calibration = "running";
        state_.calibration_start = Clock::now();
        state_.calibration_seconds = 0;
    }
    board_.published();
    return true;
}

void HandWorker::end_calibration(td::Status status) {
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        state_.calibration = status == td::Status::ok        ? "success"
                             : status == td::Status::timeout ? "timeout"
                                                             : "failed";
        state_.calibration_seconds = seconds_between(state_.calibration_start, Clock::now());
    }
    calibrating_.store(false);
    board_.published();
}

void HandWorker::set_motors(const std::string& motors) {
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        state_.motors = motors;
    }
    board_.published();
}

void HandWorker::run() {
    auto next_poll = Clock::now();
    auto next_errors = Clock::now();
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> lock(queue_mutex_);
            queue_changed_.wait_until(lock, next_poll, [&] { return stopping_ || !queue_.empty(); });
            if (stopping_) {
                // Queued commands are answered, not dropped: their browsers wait.
                while (!queue_.empty()) {
                    job = std::move(queue_.front());
                    queue_.pop_front();
                    lock.unlock();
                    job();
                    lock.lock();
                }
                return;
            }
            if (!queue_.empty()) {
                job = std::move(queue_.front());
                queue_.pop_front();
            }
        }
        if (job) {
            job();
            continue;
        }
        const auto now = Clock::now();
        poll(now >= next_errors);
        if (now >= next_errors) {
            next_errors = now + kErrorPollPeriod;
        }
        next_poll += period_;
        // A hand that answers slowly is polled as fast as it answers, without
        // a burst to catch up.
        if (Clock::now() > next_poll) {
            next_poll = Clock::now();
        }
    }
}

void HandWorker::poll(bool with_errors) {
    unsigned parts = td::positions_part;
    if (kind.serves(td::Operation::read_velocities)) {
        parts |= td::velocities_part;
    }
    if (kind.serves(td::Operation::read_currents)) {
        parts |= td::currents_part;
    }
    if (with_errors && kind.serves(td::Operation::read_error_codes)) {
        parts |= td::error_codes_part;
    }
    td::HandState read = client_.state(info.address, parts);
    const bool answering = read.positions_status == td::Status::ok;
    td::Result<std::vector<std::vector<unsigned char>>> matrix;
    if (answering && kind.has_tactile()) {
        matrix = client_.tactile(info.address);
    }
    bool was_answering = false;
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        first = !state_.polled;
        was_answering = state_.answering;
        state_.polled = true;
        state_.answering = answering;
        ++state_.polls;
        if (answering) {
            state_.last_answer = Clock::now();
            state_.positions = std::move(read.positions);
            if (read.velocities_status == td::Status::ok) {
                state_.velocities = std::move(read.velocities);
            }
            if (read.currents_status == td::Status::ok) {
                state_.currents = std::move(read.currents);
            }
            if (matrix.ok()) {
                state_.has_matrix = true;
                state_.matrix = std::move(matrix.value);
            }
            if (read.error_codes_status == td::Status::ok) {
                state_.has_errors = true;
                state_.errors = std::move(read.error_codes);
            }
        }
    }
    if (first ? !answering : answering != was_answering) {
        note_(info.address + (answering ? " answers again" : first ? " does not answer" : " stopped answering"));
    }
    board_.published();
}

}  // namespace dexhand_cli::serve
