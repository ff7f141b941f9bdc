#include "serve.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <fstream>
#include <functional>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include <httplib.h>
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include "render.h"
#include "transport/status.h"

namespace dexhand_cli {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kChartJs = "/usr/share/javascript/chart.js/chart.min.js";
constexpr std::size_t kConfigLimit = 1023;  // what a hand takes in one datagram
constexpr int kMaxStreams = 8;              // event streams open at once
constexpr auto kCommandWait = std::chrono::seconds(20);
constexpr auto kErrorPollPeriod = std::chrono::seconds(1);

double seconds_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// An answer to the browser: status and a JSON body.
struct Reply {
    int status = 200;
    std::string body;
};

std::string json_string(const std::string& text) {
    rapidjson::StringBuffer buffer;
    JsonWriter writer(buffer);
    writer.String(text.c_str(), static_cast<rapidjson::SizeType>(text.size()));
    return buffer.GetString();
}

Reply message(int status, const std::string& key, const std::string& text) {
    return {status, "{\"" + key + "\":" + json_string(text) + "}"};
}

Reply refused(int status, const std::string& text) { return message(status, "error", text); }

Reply done(const std::string& text) { return message(200, "result", text); }

// The browser's status for a library result.
Reply from_status(int status, const std::string& ip, const std::string& what, const std::string& success) {
    if (status == BaseHandProtocol::kSuccess) {
        return done(success);
    }
    if (status == BaseHandProtocol::kTimeout) {
        return refused(504, ip + " did not answer: " + what + " timed out");
    }
    return refused(502, what + " failed on " + ip + ": the hand refused it or its reply was not understood");
}

// ---------------------------------------------------------------------------
// What a worker knows of its hand, copied out for the browsers.

struct HandState {
    bool polled = false;      // at least one poll ended
    bool answering = false;   // the last poll got answers
    Clock::time_point last_answer{};
    std::vector<float> positions, velocities, currents;
    bool has_matrix = false;
    Matrix matrix;
    std::vector<long> errors;
    bool has_errors = false;
    // Calibration: "" never asked, "running", "success", "error", "timeout".
    std::string calibration;
    Clock::time_point calibration_start{};
    double calibration_seconds = 0;
    std::uint64_t polls = 0;
};

struct HandInfo {
    std::string ip, name, type, driver, hardware;
    const Kind* kind = nullptr;
};

// Wakes event streams when any hand published.
class Board {
public:
    void published() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++sequence_;
        }
        changed_.notify_all();
    }
    // The sequence after waiting up to `timeout` for one newer than `seen`.
    std::uint64_t wait(std::uint64_t seen, std::chrono::milliseconds timeout, const std::atomic<bool>& stop) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, timeout, [&] { return sequence_ != seen || stop.load(); });
        return sequence_;
    }
    void wake_all() { changed_.notify_all(); }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t sequence_ = 0;
};

// Owns one hand: every library call for it runs on this worker's thread,
// commands first, polls in between.
class HandWorker {
public:
    using Job = std::function<Reply(QmHand::DexHand&, HandWorker&)>;

    HandWorker(QmHand::DexHand& client, HandInfo hand, double poll_hz, double commands_per_second, Board& board)
        : info(std::move(hand)),
          client_(client),
          board_(board),
          period_(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / poll_hz))),
          rate_(commands_per_second),
          tokens_(commands_per_second),
          refilled_(Clock::now()) {
        thread_ = std::thread([this] { run(); });
    }

    ~HandWorker() {
        {
            std::lock_guard<std::mutex> lock(queue_mutex_);
            stopping_ = true;
        }
        queue_changed_.notify_all();
        thread_.join();
    }

    HandWorker(const HandWorker&) = delete;
    HandWorker& operator=(const HandWorker&) = delete;

    // One command's worth of the hand's allowance; false when it is spent.
    bool take_allowance() {
        std::lock_guard<std::mutex> lock(rate_mutex_);
        const auto now = Clock::now();
        tokens_ = std::min(rate_, tokens_ + seconds_between(refilled_, now) * rate_);
        refilled_ = now;
        if (tokens_ < 1.0) {
            return false;
        }
        tokens_ -= 1.0;
        return true;
    }

    // A queued job and the way to withdraw it before it starts.
    enum Stage { kQueued, kStarted, kWithdrawn };
    struct Ticket {
        std::future<Reply> reply;
        std::shared_ptr<std::atomic<int>> stage;
        // True when the job had not started; it never will.
        bool withdraw() {
            int queued = kQueued;
            return stage->compare_exchange_strong(queued, kWithdrawn);
        }
    };

    // Queues the job for the worker; the ticket's future holds its reply.
    Ticket submit(Job job) {
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
            queue_.push_back([task] { (*task)(); });
        }
        queue_changed_.notify_all();
        return ticket;
    }

    HandState state() const {
        std::lock_guard<std::mutex> lock(state_mutex_);
        return state_;
    }

    // Called by a job on the worker thread.
    void set_calibration(const std::string& outcome) {
        {
            std::lock_guard<std::mutex> lock(state_mutex_);
            const auto now = Clock::now();
            if (outcome == "running") {
                state_.calibration_start = now;
            }
            state_.calibration = outcome;
            state_.calibration_seconds = seconds_between(state_.calibration_start, now);
        }
        board_.published();
    }

    const HandInfo info;

private:
    void run() {
        auto next_poll = Clock::now();
        auto next_errors = Clock::now();
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> lock(queue_mutex_);
                queue_changed_.wait_until(lock, next_poll, [&] { return stopping_ || !queue_.empty(); });
                if (stopping_) {
                    // Queued commands are answered, not dropped: their
                    // browsers are waiting.
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
            // A hand that answers slowly is polled as fast as it answers,
            // without a burst to catch up.
            if (Clock::now() > next_poll) {
                next_poll = Clock::now();
            }
        }
    }

    void poll(bool with_errors) {
        auto& manager = client_.hand_manager;
        const std::string& ip = info.ip;
        std::vector<float> positions, velocities, currents;
        int status = BaseHandProtocol::kSuccess;
        const bool pvc = serves(*info.kind, Operation::pvc);
        if (pvc) {
            std::vector<std::vector<float>> values;
            status = manager.get_pvc(ip, values);
            values.resize(3);
            positions = std::move(values[0]);
            velocities = std::move(values[1]);
            currents = std::move(values[2]);
        } else {
            status = manager.get_position(ip, positions);
        }
        Matrix matrix;
        const bool tactile = serves(*info.kind, Operation::tactile);
        if (status == BaseHandProtocol::kSuccess && tactile) {
            status = manager.get_ts_matrix(ip, matrix);
        }
        std::vector<long> errors;
        bool errors_read = false;
        if (status == BaseHandProtocol::kSuccess && with_errors) {
            errors_read = manager.get_errorcode(ip, errors) == BaseHandProtocol::kSuccess;
        }
        {
            std::lock_guard<std::mutex> lock(state_mutex_);
            state_.polled = true;
            state_.answering = status == BaseHandProtocol::kSuccess;
            ++state_.polls;
            if (state_.answering) {
                state_.last_answer = Clock::now();
                state_.positions = std::move(positions);
                if (pvc) {
                    state_.velocities = std::move(velocities);
                    state_.currents = std::move(currents);
                }
                if (tactile) {
                    state_.has_matrix = true;
                    state_.matrix = std::move(matrix);
                }
                if (errors_read) {
                    state_.has_errors = true;
                    state_.errors = std::move(errors);
                }
            }
        }
        board_.published();
    }

    QmHand::DexHand& client_;
    Board& board_;
    const Clock::duration period_;

    std::mutex rate_mutex_;
    const double rate_;
    double tokens_;
    Clock::time_point refilled_;

    std::mutex queue_mutex_;
    std::condition_variable queue_changed_;
    std::deque<std::function<void()>> queue_;
    bool stopping_ = false;

    mutable std::mutex state_mutex_;
    HandState state_;

    std::thread thread_;
};

// ---------------------------------------------------------------------------
// JSON for the page

void write_text(JsonWriter& w, const char* key, const std::string& value) {
    w.Key(key);
    w.String(value.c_str(), static_cast<rapidjson::SizeType>(value.size()));
}

void write_hand_info(JsonWriter& w, const HandInfo& info) {
    write_text(w, "ip", info.ip);
    write_text(w, "name", info.name);
    write_text(w, "type", info.type);
    write_text(w, "driver_version", info.driver);
    write_text(w, "hardware_version", info.hardware);
    w.Key("joints");
    w.Int(info.kind->joints);
    w.Key("low");
    write_float(w, info.kind->low);
    w.Key("high");
    write_float(w, info.kind->high);
    w.Key("operations");
    w.StartArray();
    for (Operation operation : {Operation::enable, Operation::disable, Operation::reboot, Operation::calibrate,
                                Operation::clear_errors, Operation::pvc, Operation::tactile}) {
        if (serves(*info.kind, operation)) {
            w.String(operation_name(operation));
        }
    }
    w.EndArray();
}

void write_hand_state(JsonWriter& w, const HandWorker& worker, Clock::time_point now) {
    const HandState state = worker.state();
    w.StartObject();
    write_text(w, "ip", worker.info.ip);
    w.Key("answering");
    w.Bool(state.answering);
    w.Key("polls");
    w.Uint64(state.polls);
    w.Key("since_answer");
    if (state.last_answer == Clock::time_point{}) {
        w.Null();
    } else {
        w.Double(std::round(seconds_between(state.last_answer, now) * 10) / 10);
    }
    w.Key("positions");
    write_floats(w, state.positions);
    if (serves(*worker.info.kind, Operation::pvc)) {
        w.Key("velocities");
        write_floats(w, state.velocities);
        w.Key("currents");
        write_floats(w, state.currents);
    }
    if (state.has_matrix) {
        w.Key("matrix");
        write_matrix(w, state.matrix);
    }
    if (state.has_errors) {
        w.Key("errors");
        w.StartArray();
        for (long code : state.errors) {
            w.Int64(code);
        }
        w.EndArray();
    }
    if (!state.calibration.empty()) {
        w.Key("calibration");
        w.StartObject();
        write_text(w, "state", state.calibration);
        w.Key("seconds");
        const double seconds = state.calibration == "running" ? seconds_between(state.calibration_start, now)
                                                              : state.calibration_seconds;
        w.Double(std::round(seconds * 10) / 10);
        w.EndObject();
    }
    w.EndObject();
}

// ---------------------------------------------------------------------------
// Validation of what the page sends

// The positions of a move body, or the reason they are refused.
bool parse_positions(const std::string& body, const HandInfo& info, std::vector<float>& positions, bool& fast,
                     std::string& why) {
    rapidjson::Document document;
    document.Parse(body.c_str(), body.size());
    if (document.HasParseError() || !document.IsObject()) {
        why = "the request is not a JSON object";
        return false;
    }
    const auto found = document.FindMember("positions");
    if (found == document.MemberEnd() || !found->value.IsArray()) {
        why = "the request has no \"positions\" list";
        return false;
    }
    const auto fast_member = document.FindMember("fast");
    fast = fast_member != document.MemberEnd() && fast_member->value.IsBool() && fast_member->value.GetBool();
    const auto& list = found->value.GetArray();
    const auto count = static_cast<std::size_t>(info.kind->joints);
    if (list.Size() != count) {
        why = info.ip + " (" + info.name + ") takes " + std::to_string(count) + " positions, " +
              std::to_string(list.Size()) + " given (give -1 for a joint to stay)";
        return false;
    }
    for (const auto& value : list) {
        // A double beyond float's range would become an infinity.
        if (!value.IsNumber() || !std::isfinite(static_cast<float>(value.GetDouble()))) {
            why = "positions must be finite numbers";
            return false;
        }
        positions.push_back(static_cast<float>(value.GetDouble()));
    }
    return true;
}

// The configuration in one line, or the reason it is refused.
bool compact_config(const std::string& body, std::string& text, std::string& why) {
    rapidjson::Document document;
    document.Parse(body.c_str(), body.size());
    if (document.HasParseError() || !document.IsObject()) {
        why = "the configuration is not a JSON object" +
              (document.HasParseError() ? std::string(" (") + rapidjson::GetParseError_En(document.GetParseError()) +
                                              " at offset " + std::to_string(document.GetErrorOffset()) + ")"
                                        : std::string());
        return false;
    }
    rapidjson::StringBuffer buffer;
    JsonWriter writer(buffer);
    document.Accept(writer);
    text = buffer.GetString();
    if (text.size() > kConfigLimit) {
        why = "the configuration has " + std::to_string(text.size()) + " bytes without blanks; a hand takes at most " +
              std::to_string(kConfigLimit);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Stopping

std::atomic<bool> g_stop{false};

extern "C" void on_serve_signal(int) { g_stop.store(true); }

std::string random_token() {
    std::random_device device;
    static const char kHex[] = "0123456789abcdef";
    std::string token;
    for (int i = 0; i < 8; ++i) {
        const auto word = static_cast<std::uint32_t>(device());
        for (int shift = 0; shift < 32; shift += 8) {
            const unsigned byte = (word >> shift) & 0xffu;
            token += kHex[byte >> 4];
            token += kHex[byte & 0xfu];
        }
    }
    return token;  // 256 bits
}

std::string program_directory() {
    char path[4096];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0) {
        return ".";
    }
    std::string text(path, static_cast<std::size_t>(length));
    const auto slash = text.rfind('/');
    return slash == std::string::npos ? "." : text.substr(0, slash);
}

bool readable(const std::string& path) { return std::ifstream(path).good(); }

bool is_loopback(const std::string& address) {
    return address == "localhost" || address == "::1" || address.rfind("127.", 0) == 0;
}

class Dashboard {
public:
    Dashboard(const ServeOptions& options, std::string token) : options_(options), token_(std::move(token)) {}

    void add(std::unique_ptr<HandWorker> worker) { workers_.push_back(std::move(worker)); }

    void route(httplib::Server& server, int port) {
        allowed_origins_ = {"http://127.0.0.1:" + std::to_string(port), "http://localhost:" + std::to_string(port),
                            "http://[::1]:" + std::to_string(port),
                            "http://" + options_.address + ":" + std::to_string(port)};
        server.set_default_headers({
            {"X-Content-Type-Options", "nosniff"},
            {"X-Frame-Options", "DENY"},
            {"Referrer-Policy", "no-referrer"},
            {"Content-Security-Policy",
             "default-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' data:; frame-ancestors 'none'"},
        });

        server.Get("/api/hands", [this](const httplib::Request& request, httplib::Response& response) {
            reading(request, response, [this] { return Reply{200, hands_json()}; });
        });
        server.Get("/api/state", [this](const httplib::Request& request, httplib::Response& response) {
            reading(request, response, [this] { return Reply{200, state_json()}; });
        });
        server.Get(R"(/api/hands/([0-9.]+)/config)", [this](const httplib::Request& request, httplib::Response& response) {
            reading(request, response, [&] { return read_config(request.matches[1]); });
        });
        server.Get("/events", [this](const httplib::Request& request, httplib::Response& response) {
            events(request, response);
        });
        server.Get(R"(/api/hands/([0-9.]+)/([a-z-]+))", [](const httplib::Request&, httplib::Response& response) {
            response.set_header("Allow", "POST");
            send(response, refused(405, "commands are sent with POST"));
        });
        server.Post(R"(/api/hands/([0-9.]+)/([a-z-]+))", [this](const httplib::Request& request,
                                                              httplib::Response& response) {
            send(response, command(request, request.matches[1], request.matches[2]));
        });
    }

    std::atomic<int> streams{0};

private:
    static void send(httplib::Response& response, const Reply& reply) {
        response.status = reply.status;
        response.set_header("Cache-Control", "no-store");
        response.set_content(reply.body, "application/json");
    }

    bool authorised(const httplib::Request& request) const {
        std::string given = request.get_header_value("X-Dexhand-Token");
        if (given.empty()) {
            given = request.get_param_value("token");
        }
        return same_token(token_, given);
    }

    bool foreign_origin(const httplib::Request& request) const {
        if (!request.has_header("Origin")) {
            return false;  // not a browser's cross-site request
        }
        const std::string origin = request.get_header_value("Origin");
        for (const auto& allowed : allowed_origins_) {
            if (origin == allowed) {
                return false;
            }
        }
        return true;
    }

    template <typename Read>
    void reading(const httplib::Request& request, httplib::Response& response, Read read) {
        if (!authorised(request)) {
            send(response, refused(401, "the access token is missing or wrong: open the URL dexhand serve printed"));
            return;
        }
        send(response, read());
    }

    HandWorker* find(const std::string& ip) {
        for (auto& worker : workers_) {
            if (worker->info.ip == ip) {
                return worker.get();
            }
        }
        return nullptr;
    }

    // A command that could not start in time is withdrawn: sent later, it
    // would move a hand when nobody expects it any more.
    Reply wait(HandWorker::Ticket ticket) {
        if (ticket.reply.wait_for(kCommandWait) != std::future_status::ready && ticket.withdraw()) {
            return refused(504, "the hand stayed busy; the command was not sent");
        }
        return ticket.reply.get();  // started: its outcome is worth the wait
    }

    Reply read_config(const std::string& ip) {
        HandWorker* worker = find(ip);
        if (worker == nullptr) {
            return refused(404, "no discovered hand at " + ip);
        }
        return wait(worker->submit([](QmHand::DexHand& client, HandWorker& self) {
            std::string text;
            const int status = client.hand_manager.get_comm_config(self.info.ip, text);
            if (status != BaseHandProtocol::kSuccess) {
                return from_status(status, self.info.ip, "reading the configuration", "");
            }
            return Reply{200, "{\"config\":" + json_string(text) + "}"};
        }));
    }

    Reply command(const httplib::Request& request, const std::string& ip, const std::string& action) {
        if (foreign_origin(request)) {
            return refused(403, "commands are taken only from this dashboard's own page");
        }
        if (!authorised(request)) {
            return refused(401, "the access token is missing or wrong: open the URL dexhand serve printed");
        }
        HandWorker* worker = find(ip);
        if (worker == nullptr) {
            return refused(404, "no discovered hand at " + ip);
        }
        const HandInfo& info = worker->info;
        Operation operation;
        if (action == "move") {
            operation = Operation::move;
        } else if (action == "enable") {
            operation = Operation::enable;
        } else if (action == "disable") {
            operation = Operation::disable;
        } else if (action == "reboot") {
            operation = Operation::reboot;
        } else if (action == "calibrate") {
            operation = Operation::calibrate;
        } else if (action == "clear-errors") {
            operation = Operation::clear_errors;
        } else if (action == "config") {
            operation = Operation::config;
        } else {
            return refused(404, "there is no command '" + action + "'");
        }
        if (!serves(*info.kind, operation)) {
            return refused(409, info.ip + " is a " + info.name + " hand, which " + lacking(operation));
        }
        if (worker->state().calibration == "running") {
            return refused(409, info.ip + " is calibrating; commands wait for its end");
        }
        if (!worker->take_allowance()) {
            return refused(429, "too many commands for " + info.ip + "; at most " +
                                    std::to_string(static_cast<int>(options_.commands_per_second)) + " a second");
        }
        std::string why;
        switch (operation) {
        case Operation::move: {
            std::vector<float> positions;
            bool fast = false;
            if (!parse_positions(request.body, info, positions, fast, why)) {
                return refused(400, why);
            }
            return wait(worker->submit([positions, fast](QmHand::DexHand& client, HandWorker& self) {
                const std::string& hand = self.info.ip;
                const int status = fast ? client.fast_set_pos(hand, positions) : client.set_pos(hand, positions);
                return from_status(status, hand, fast ? "fast-move" : "move", "positions sent");
            }));
        }
        case Operation::config: {
            std::string text;
            if (!compact_config(request.body, text, why)) {
                return refused(400, why);
            }
            return wait(worker->submit([text](QmHand::DexHand& client, HandWorker& self) {
                const int status = client.hand_manager.set_comm_config(self.info.ip, text);
                return from_status(status, self.info.ip, "writing the configuration", "configuration written");
            }));
        }
        case Operation::calibrate:
            // The page follows the calibration in the hand's state; the
            // request does not wait the seconds it takes.
            worker->submit([](QmHand::DexHand& client, HandWorker& self) {
                self.set_calibration("running");
                const int status = client.calibration(self.info.ip);
                self.set_calibration(status == BaseHandProtocol::kSuccess   ? "success"
                                     : status == BaseHandProtocol::kTimeout ? "timeout"
                                                                            : "error");
                return Reply{};
            });
            return message(202, "result", "calibration started");
        default:
            return wait(worker->submit([operation](QmHand::DexHand& client, HandWorker& self) {
                const std::string& hand = self.info.ip;
                int status = BaseHandProtocol::kFailure;
                const char* success = "done";
                switch (operation) {
                case Operation::enable:
                    status = client.enable(hand);
                    success = "enabled";
                    break;
                case Operation::disable:
                    status = client.disable(hand);
                    success = "disabled";
                    break;
                case Operation::reboot:
                    status = client.reboot(hand);
                    success = "rebooting";
                    break;
                case Operation::clear_errors:
                    status = client.clear_errorcode(hand);
                    success = "errors cleared";
                    break;
                default:
                    break;
                }
                return from_status(status, hand, operation_name(operation), success);
            }));
        }
    }

    std::string hands_json() const {
        rapidjson::StringBuffer buffer;
        JsonWriter w(buffer);
        w.StartObject();
        w.Key("hands");
        w.StartArray();
        for (const auto& worker : workers_) {
            w.StartObject();
            write_hand_info(w, worker->info);
            w.EndObject();
        }
        w.EndArray();
        w.EndObject();
        return buffer.GetString();
    }

    std::string state_json() const {
        rapidjson::StringBuffer buffer;
        JsonWriter w(buffer);
        const auto now = Clock::now();
        w.StartObject();
        w.Key("hands");
        w.StartArray();
        for (const auto& worker : workers_) {
            write_hand_state(w, *worker, now);
        }
        w.EndArray();
        w.EndObject();
        return buffer.GetString();
    }

    // Server-sent events: the latest state of every hand, at most once per
    // poll period, and at least once a second so that the time since a
    // silent hand's last answer keeps counting. A stream whose browser went
    // away ends at its next write.
    void events(const httplib::Request& request, httplib::Response& response) {
        if (!authorised(request)) {
            send(response, refused(401, "the access token is missing or wrong: open the URL dexhand serve printed"));
            return;
        }
        if (streams.fetch_add(1) >= kMaxStreams) {
            streams.fetch_sub(1);
            send(response, refused(503, "too many pages are open on this dashboard"));
            return;
        }
        // Held by the provider; the count drops when its last copy is gone.
        auto slot = std::shared_ptr<void>(nullptr, [this](void*) { streams.fetch_sub(1); });
        const auto period = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::duration<double>(1.0 / options_.poll_hz));
        auto seen = std::make_shared<std::uint64_t>(0);
        response.set_header("Cache-Control", "no-store");
        response.set_chunked_content_provider(
            "text/event-stream", [this, slot, seen, period](std::size_t, httplib::DataSink& sink) {
                if (g_stop.load()) {
                    return false;
                }
                if (*seen != 0) {
                    std::this_thread::sleep_for(period);
                }
                *seen = board_.wait(*seen, std::chrono::milliseconds(1000), g_stop);
                if (g_stop.load()) {
                    return false;
                }
                const std::string event = "data: " + state_json() + "\n\n";
                return sink.write(event.data(), event.size());
            });
    }

public:
    Board board_;

private:
    const ServeOptions& options_;
    const std::string token_;
    std::vector<std::string> allowed_origins_;
    std::vector<std::unique_ptr<HandWorker>> workers_;
};

}  // namespace

bool same_token(const std::string& expected, const std::string& given) {
    // Every byte of the expected text is compared whatever the given one
    // holds, and the lengths are folded in without an early return.
    unsigned char difference = expected.size() == given.size() ? 0 : 1;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const unsigned char theirs = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
        difference |= static_cast<unsigned char>(static_cast<unsigned char>(expected[i]) ^ theirs);
    }
    return difference == 0 && !expected.empty();
}

int serve_command(Context& context, const ServeOptions& options) {
    if (!is_loopback(options.address) && !options.allow_remote) {
        throw Failure(kExitUsage, "binding " + options.address +
                                      " would let other machines command the hands; give --allow-remote to do so");
    }
    if (!(options.poll_hz > 0) || !(options.commands_per_second >= 1)) {
        throw Failure(kExitUsage, "--poll-rate must be above 0 and --command-rate at least 1");
    }
    const std::string web_root =
        options.web_root.empty() ? program_directory() + "/../share/tessaro_dexhand/web" : options.web_root;
    if (!readable(web_root + "/index.html")) {
        throw Failure(kExitUsage, "the dashboard's page files are not in " + web_root + " (give --web-root)");
    }

    context.client.init(0);
    const auto ips = context.client.get_ip_list();
    if (ips.empty()) {
        throw Failure(kExitNotFound, "no hand answered discovery on 192.168.137.0/24 (is this host on that subnet?)");
    }

    const std::string token = random_token();
    Dashboard dashboard(options, token);
    for (const auto& ip : ips) {
        HandInfo info;
        info.ip = ip;
        info.name = context.client.get_name(ip);
        info.type = context.client.get_type(ip);
        info.driver = context.client.get_driver_ver(ip);
        info.hardware = context.client.get_hardware_ver(ip);
        info.kind = find_kind(info.name);
        if (info.kind == nullptr) {
            context.console.note(ip + ": a " + info.name + " hand is not served by this tool; left out");
            continue;
        }
        dashboard.add(std::make_unique<HandWorker>(context.client, info, options.poll_hz,
                                                   options.commands_per_second, dashboard.board_));
    }

    httplib::Server server;
    // Event streams hold a thread each; the rest answer requests.
    server.new_task_queue = [] { return new httplib::ThreadPool(kMaxStreams + 8); };
    server.set_payload_max_length(64 * 1024);
    server.set_write_timeout(std::chrono::seconds(5));
    if (!server.set_mount_point("/", web_root)) {
        throw Failure(kExitUsage, "cannot serve " + web_root);
    }
    server.set_file_extension_and_mimetype_mapping("js", "text/javascript");
    if (readable(kChartJs)) {
        server.Get("/vendor/chart.min.js", [](const httplib::Request&, httplib::Response& response) {
            std::ifstream in(kChartJs, std::ios::binary);
            std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            response.set_content(text, "text/javascript");
        });
    } else {
        context.console.note(std::string("no ") + kChartJs + " (libjs-chart.js): the page shows no joint chart");
    }

    int port = options.port;
    if (port == 0) {
        port = server.bind_to_any_port(options.address);
        if (port < 0) {
            throw Failure(kExitFailed, "cannot listen on " + options.address);
        }
    } else if (!server.bind_to_port(options.address, port)) {
        throw Failure(kExitFailed, "cannot listen on " + options.address + ":" + std::to_string(port) +
                                       " (in use? give another --port)");
    }
    dashboard.route(server, port);

    if (!is_loopback(options.address)) {
        context.console.error("warning: listening on " + options.address +
                              ": anyone who can reach this machine and has the token can command the hands");
    }
    const std::string host = options.address.find(':') != std::string::npos ? "[" + options.address + "]"
                             : options.address == "0.0.0.0"                  ? std::string("127.0.0.1")
                                                                              : options.address;
    std::cout << "dexhand serve: " << ips.size() << " hands; open http://" << host << ":" << port
              << "/?token=" << token << std::endl;

    g_stop.store(false);
    struct sigaction action {};
    action.sa_handler = on_serve_signal;
    sigemptyset(&action.sa_mask);
    struct sigaction old_int {}, old_term {};
    sigaction(SIGINT, &action, &old_int);
    sigaction(SIGTERM, &action, &old_term);
    std::signal(SIGPIPE, SIG_IGN);

    std::thread listener([&server] { server.listen_after_bind(); });
    while (!g_stop.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    dashboard.board_.wake_all();
    server.stop();
    listener.join();
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGTERM, &old_term, nullptr);
    context.console.note("dexhand serve: stopped");
    return kExitOk;
}

}  // namespace dexhand_cli
