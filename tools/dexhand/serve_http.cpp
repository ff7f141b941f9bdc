#include "serve_http.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

#include <rapidjson/document.h>

#include "render.h"

namespace dexhand_cli::serve {

namespace td = tessaro_dexhand;

namespace {

constexpr const char* kChartJs = "/usr/share/javascript/chart.js/chart.min.js";
constexpr int kMaxStreams = 8;  // event streams open at once
constexpr auto kCommandWait = std::chrono::seconds(20);
constexpr auto kStopWait = std::chrono::seconds(3);
constexpr const char* kNoToken = "the access token is missing or wrong: open the URL dexhand serve printed";

double seconds_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

void send(httplib::Response& response, const Reply& reply) {
    response.status = reply.status;
    response.set_header("Cache-Control", "no-store");
    response.set_content(reply.body, "application/json");
}

void write_text(JsonWriter& w, const char* key, const std::string& value) {
    w.Key(key);
    w.String(value.c_str(), static_cast<rapidjson::SizeType>(value.size()));
}

bool starts_with(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

std::string mime_type(const std::string& name) {
    const auto dot = name.rfind('.');
    const std::string extension = dot == std::string::npos ? "" : name.substr(dot + 1);
    if (extension == "html") return "text/html; charset=utf-8";
    if (extension == "js") return "text/javascript";
    if (extension == "css") return "text/css";
    if (extension == "svg") return "image/svg+xml";
    if (extension == "png") return "image/png";
    return "application/octet-stream";
}

bool read_file(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

// The action of a command URL, and the operation a kind must serve for it.
struct Action {
    const char* name;
    td::Operation operation;
};
constexpr Action kActions[] = {
    {"move", td::Operation::set_positions},      {"enable", td::Operation::enable},
    {"disable", td::Operation::disable},         {"reboot", td::Operation::reboot},
    {"calibrate", td::Operation::calibrate},     {"clear-errors", td::Operation::clear_error_codes},
    {"config", td::Operation::write_config},
};

}  // namespace

void ConnectionThreads::enqueue(std::function<void()> fn) {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return running_ < limit_; });
        ++running_;
    }
    std::thread([this, fn = std::move(fn)] {
        fn();
        std::lock_guard<std::mutex> lock(mutex_);
        --running_;
        changed_.notify_all();  // under the lock: shutdown() may end this object next
    }).detach();
}

void ConnectionThreads::shutdown() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return running_ == 0; });
}

Dashboard::Dashboard(DashboardSettings settings, Site site, const std::atomic<bool>& stop)
    : settings_(std::move(settings)), site_(std::move(site)), stop_(stop) {}

void Dashboard::route(httplib::Server& server) {
    server.set_default_headers({
        {"X-Content-Type-Options", "nosniff"},
        {"X-Frame-Options", "DENY"},
        {"Referrer-Policy", "no-referrer"},
        {"Content-Security-Policy",
         "default-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' data:; frame-ancestors 'none'"},
    });
    server.set_pre_routing_handler(
        [this](const httplib::Request& request, httplib::Response& response) { return screen(request, response); });

    server.Get("/", [this](const httplib::Request& request, httplib::Response& response) { page(request, response); });
    server.Get(R"(/([A-Za-z0-9_-]+\.(?:html|js|css|svg|png)))",
               [this](const httplib::Request& request, httplib::Response& response) {
                   file(request.matches[1], response);
               });
    server.Get("/vendor/chart.min.js", [](const httplib::Request&, httplib::Response& response) {
        std::string text;
        if (!read_file(kChartJs, text)) {
            send(response, refused(404, "no chart library on this machine (libjs-chart.js)"));
            return;
        }
        response.set_content(text, "text/javascript");
    });
    server.Get("/api/hands", [this](const httplib::Request&, httplib::Response& response) {
        send(response, Reply{200, hands_json()});
    });
    server.Get("/api/state", [this](const httplib::Request&, httplib::Response& response) {
        send(response, Reply{200, state_json()});
    });
    server.Get(R"(/api/hands/([0-9.]+)/config)", [this](const httplib::Request& request, httplib::Response& response) {
        send(response, read_config(request.matches[1]));
    });
    server.Get("/events", [this](const httplib::Request&, httplib::Response& response) { events(response); });
    server.Get(R"(/api/hands/([0-9.]+)/([a-z-]+))", [](const httplib::Request&, httplib::Response& response) {
        response.set_header("Allow", "POST");
        send(response, refused(405, "commands are sent with POST"));
    });
    // The body is read here, never past kBodyLimit, chunked or not.
    const auto with_body = [](auto handle) {
        return [handle](const httplib::Request& request, httplib::Response& response,
                        const httplib::ContentReader& reader) {
            std::string body;
            bool too_large = false;
            const bool read = reader([&](const char* data, std::size_t length) {
                if (body.size() + length > kBodyLimit) {
                    too_large = true;
                    return false;
                }
                body.append(data, length);
                return true;
            });
            if (too_large) {
                send(response, refused(413, "the request is larger than " + std::to_string(kBodyLimit) + " bytes"));
            } else if (!read) {
                send(response, refused(400, "the request's body could not be read"));
            } else {
                send(response, handle(request, body));
            }
        };
    };
    server.Post(R"(/api/hands/([0-9.]+)/([a-z-]+))", with_body([this](const httplib::Request& request,
                                                                      const std::string& body) {
                    return command(request.matches[1], request.matches[2], body);
                }));
    server.Post("/api/stop", with_body([this](const httplib::Request&, const std::string&) { return stop_all(); }));
}

// Every request passes here before its body is read: a refused one costs
// nothing but its headers, and (one request per connection) its body is
// never read at all.
Dashboard::Handled Dashboard::screen(const httplib::Request& request, httplib::Response& response) {
    const auto refuse = [&](int status, const std::string& text) {
        send(response, refused(status, text));
        return Handled::Handled;
    };
    if (!clean_path(request.path)) {
        return refuse(400, "the path holds control bytes");
    }
    if (!site_.host_allowed(request.get_header_value("Host"))) {
        return refuse(421, "this server does not answer to the host name \"" + request.get_header_value("Host") +
                               "\"; open the URL dexhand serve printed");
    }
    const bool api = starts_with(request.path, "/api/") || request.path == "/events";
    const bool post = request.method == "POST";
    if (!post && request.method != "GET" && request.method != "HEAD") {
        return refuse(405, "only GET and POST are answered");
    }
    const bool has_body = request.has_header("Transfer-Encoding") ||
                          (request.has_header("Content-Length") && request.get_header_value("Content-Length") != "0");
    if (has_body && !(post && api)) {
        return refuse(400, "this request takes no body");
    }
    if (api && !authorised(request)) {
        return refuse(401, kNoToken);
    }
    if (post) {
        if (!api) {
            return refuse(405, "only commands are sent with POST");
        }
        if (request.has_header("Origin") && !site_.origin_allowed(request.get_header_value("Origin"))) {
            return refuse(403, "commands are taken only from this dashboard's own page");
        }
        const std::string type = request.get_header_value("Content-Type");
        if (type != "application/json" && !starts_with(type, "application/json;")) {
            return refuse(415, "commands are JSON: send Content-Type: application/json");
        }
        if (request.has_header("Content-Length")) {
            const std::string length = request.get_header_value("Content-Length");
            char* end = nullptr;
            const unsigned long long bytes = std::strtoull(length.c_str(), &end, 10);
            if (length.empty() || *end != '\0' || bytes > kBodyLimit) {
                return refuse(413, "the request is larger than " + std::to_string(kBodyLimit) + " bytes");
            }
        }
    }
    return Handled::Unhandled;
}

// The token comes in a header, or in the cookie the page got for it; never
// in a URL, which lands in histories and logs.
bool Dashboard::authorised(const httplib::Request& request) const {
    if (request.has_header("X-Dexhand-Token")) {
        return same_token(settings_.token, request.get_header_value("X-Dexhand-Token"));
    }
    const std::string cookie = "dexhand_token_" + std::to_string(site_.port());
    return same_token(settings_.token, cookie_value(request.get_header_value("Cookie"), cookie));
}

// The printed URL carries the token once: it is exchanged for a cookie that
// scripts cannot read and other sites cannot send, and the address bar is
// left without it.
void Dashboard::page(const httplib::Request& request, httplib::Response& response) {
    if (request.has_param("token")) {
        if (same_token(settings_.token, request.get_param_value("token"))) {
            response.set_header("Set-Cookie", "dexhand_token_" + std::to_string(site_.port()) + "=" +
                                                  settings_.token + "; HttpOnly; SameSite=Strict; Path=/");
        }
        response.set_header("Cache-Control", "no-store");
        response.set_redirect("/", 303);
        return;
    }
    file("index.html", response);
    response.set_header("Cache-Control", "no-store");
}

void Dashboard::file(const std::string& name, httplib::Response& response) {
    // The real path must lie inside the root's: a symbolic link out of it is
    // not followed.
    const std::string path = settings_.web_root + "/" + name;
    char real[PATH_MAX];
    std::string text;
    if (::realpath(path.c_str(), real) == nullptr || !starts_with(real, (settings_.web_root + "/").c_str()) ||
        !read_file(real, text)) {
        send(response, refused(404, "no such file"));
        return;
    }
    response.set_content(text, mime_type(name).c_str());
}

HandWorker* Dashboard::find(const std::string& address) {
    for (auto& worker : workers_) {
        if (worker->info.address == address) {
            return worker.get();
        }
    }
    return nullptr;
}

Reply Dashboard::read_config(const std::string& address) {
    HandWorker* worker = find(address);
    if (worker == nullptr) {
        return refused(404, "no discovered hand at " + address);
    }
    if (!worker->kind.serves(td::Operation::read_config)) {
        return refused(501, address + " is a " + worker->kind.name + " hand, which has no configuration to read");
    }
    if (!worker->take_allowance()) {
        return refused(429, "too many requests for " + address + "; at most " +
                                std::to_string(static_cast<int>(settings_.requests_per_second)) + " a second");
    }
    return HandWorker::wait(worker->submit([](td::Client& client, HandWorker& self) {
                                auto text = client.config(self.info.address);
                                if (!text) {
                                    return reply_for(text.status, self.info.address, "reading the configuration", "");
                                }
                                return Reply{200, "{\"config\":" + json_string(text.value) + "}"};
                            }),
                            kCommandWait);
}

Reply Dashboard::command(const std::string& address, const std::string& action, const std::string& body) {
    HandWorker* worker = find(address);
    if (worker == nullptr) {
        return refused(404, "no discovered hand at " + address);
    }
    const Action* chosen = nullptr;
    for (const auto& candidate : kActions) {
        if (action == candidate.name) {
            chosen = &candidate;
        }
    }
    if (chosen == nullptr) {
        return refused(404, "there is no command '" + action + "'");
    }
    const td::KindInfo& kind = worker->kind;
    if (!kind.serves(chosen->operation)) {
        return refused(501, address + " is a " + kind.name + " hand, which has no " + action + " command");
    }
    if (worker->calibrating()) {
        return refused(409, address + " is calibrating; commands wait for its end");
    }
    if (!worker->take_allowance()) {
        return refused(429, "too many requests for " + address + "; at most " +
                                std::to_string(static_cast<int>(settings_.requests_per_second)) + " a second");
    }
    std::string why;
    switch (chosen->operation) {
    case td::Operation::set_positions: {
        std::vector<float> positions;
        bool fast = false;
        if (!parse_positions(body, kind, positions, fast, why)) {
            return refused(400, why);
        }
        if (fast && !kind.serves(td::Operation::fast_set_positions)) {
            return refused(501, address + " is a " + kind.name + " hand, which has no fast path");
        }
        if (worker->snapshot().motors == "disabled") {
            return refused(409, address + " is disabled: enable it first (nothing was sent)");
        }
        return HandWorker::wait(worker->submit([positions, fast](td::Client& client, HandWorker& self) {
                                    const std::string& hand = self.info.address;
                                    const td::Status status = fast ? client.fast_set_positions(hand, positions)
                                                                   : client.set_positions(hand, positions);
                                    return reply_for(status, hand, fast ? "fast-move" : "move", "positions sent");
                                }),
                                kCommandWait);
    }
    case td::Operation::write_config: {
        std::string text;
        if (!compact_config(body, text, why)) {
            return refused(400, why);
        }
        return HandWorker::wait(worker->submit([text](td::Client& client, HandWorker& self) {
                                    return reply_for(client.set_config(self.info.address, text), self.info.address,
                                                     "writing the configuration", "configuration written");
                                }),
                                kCommandWait);
    }
    case td::Operation::calibrate:
        // One at a time, also when requests race: the claim is atomic. The
        // page follows the calibration in the hand's state.
        if (!worker->begin_calibration()) {
            return refused(409, address + " is calibrating; commands wait for its end");
        }
        worker->submit([](td::Client& client, HandWorker& self) {
            self.end_calibration(client.calibrate(self.info.address));
            return Reply{};
        });
        return Reply{202, "{\"result\":\"calibration started\"}"};
    default: {
        const td::Operation operation = chosen->operation;
        return HandWorker::wait(
            worker->submit([operation](td::Client& client, HandWorker& self) {
                const std::string& hand = self.info.address;
                switch (operation) {
                case td::Operation::enable: {
                    const td::Status status = client.enable(hand);
                    if (status == td::Status::ok) self.set_motors("enabled");
                    return reply_for(status, hand, "enable", "enabled");
                }
                case td::Operation::disable: {
                    const td::Status status = client.disable(hand);
                    if (status == td::Status::ok) self.set_motors("disabled");
                    return reply_for(status, hand, "disable", "disabled");
                }
                case td::Operation::reboot: {
                    const td::Status status = client.reboot(hand);
                    self.set_motors("unknown");
                    return reply_for(status, hand, "reboot", "rebooting");
                }
                default:
                    return reply_for(client.clear_error_codes(hand), hand, "clear-errors", "errors cleared");
                }
            }),
            kCommandWait);
    }
    }
}

// Every hand holds where it is: its targets become the positions just read.
// Ahead of queued commands and past the rate limit; a hand that cannot be
// reached is named.
Reply Dashboard::stop_all() {
    struct Outcome {
        std::string address;
        std::string problem;  // empty: held
        std::unique_ptr<HandWorker::Ticket> ticket;
    };
    std::vector<Outcome> outcomes;
    for (auto& worker : workers_) {
        Outcome outcome{worker->info.address, "", nullptr};
        if (!worker->kind.serves(td::Operation::set_positions) ||
            !worker->kind.serves(td::Operation::read_positions)) {
            outcome.problem = "a " + worker->kind.name + " hand takes no position command";
        } else if (worker->calibrating()) {
            outcome.problem = "calibrating";
        } else {
            outcome.ticket = std::make_unique<HandWorker::Ticket>(worker->submit(
                [](td::Client& client, HandWorker& self) {
                    const std::string& hand = self.info.address;
                    auto read = client.positions(hand);
                    if (!read) {
                        return reply_for(read.status, hand, "reading the positions", "");
                    }
                    for (float& value : read.value) {
                        value = std::min(std::max(value, self.kind.position_min), self.kind.position_max);
                    }
                    return reply_for(client.set_positions(hand, read.value), hand, "hold", "holding");
                },
                true));
        }
        outcomes.push_back(std::move(outcome));
    }
    rapidjson::StringBuffer buffer;
    JsonWriter w(buffer);
    w.StartObject();
    w.Key("held");
    w.StartArray();
    std::vector<std::pair<std::string, std::string>> missed;
    for (auto& outcome : outcomes) {
        if (outcome.ticket) {
            const Reply reply = HandWorker::wait(std::move(*outcome.ticket), kStopWait);
            if (reply.status != 200) {
                rapidjson::Document said;
                said.Parse(reply.body.c_str());
                outcome.problem = said.IsObject() && said.HasMember("error") && said["error"].IsString()
                                      ? said["error"].GetString()
                                      : "no answer";
            }
        }
        if (outcome.problem.empty()) {
            w.String(outcome.address.c_str());
        } else {
            missed.emplace_back(outcome.address, outcome.problem);
        }
    }
    w.EndArray();
    w.Key("not_reached");
    w.StartArray();
    for (const auto& [address, problem] : missed) {
        w.StartObject();
        write_text(w, "ip", address);
        write_text(w, "reason", problem);
        w.EndObject();
    }
    w.EndArray();
    w.EndObject();
    return Reply{missed.empty() ? 200 : 502, buffer.GetString()};
}

std::string Dashboard::hands_json() const {
    rapidjson::StringBuffer buffer;
    JsonWriter w(buffer);
    w.StartObject();
    w.Key("hands");
    w.StartArray();
    for (const auto& worker : workers_) {
        const td::HandInfo& info = worker->info;
        const td::KindInfo& kind = worker->kind;
        w.StartObject();
        write_text(w, "ip", info.address);
        write_text(w, "name", info.kind);
        write_text(w, "type", info.type);
        write_text(w, "serial_number", info.serial_number);
        write_text(w, "driver_version", info.driver_version);
        write_text(w, "hardware_version", info.hardware_version);
        w.Key("joints");
        w.Uint64(kind.joints);
        w.Key("joint_names");
        w.StartArray();
        for (const auto& name : kind.joint_names) {
            w.String(name.c_str());
        }
        w.EndArray();
        write_text(w, "unit", kind.position_unit);
        w.Key("low");
        write_float(w, kind.position_min);
        w.Key("high");
        write_float(w, kind.position_max);
        w.Key("hold");
        write_float(w, kind.hold_value);
        w.Key("operations");
        w.StartArray();
        for (td::Operation operation : kind.operations) {
            w.String(td::to_text(operation));
        }
        w.EndArray();
        w.EndObject();
    }
    w.EndArray();
    w.Key("skipped");
    w.StartArray();
    for (const auto& device : settings_.skipped) {
        w.StartObject();
        write_text(w, "ip", device.address);
        write_text(w, "name", device.kind);
        write_text(w, "type", device.type);
        write_text(w, "reason", device.reason);
        w.EndObject();
    }
    w.EndArray();
    w.EndObject();
    return buffer.GetString();
}

std::string Dashboard::state_json() const {
    rapidjson::StringBuffer buffer;
    JsonWriter w(buffer);
    const auto now = Clock::now();
    w.StartObject();
    w.Key("hands");
    w.StartArray();
    for (const auto& worker : workers_) {
        const Snapshot state = worker->snapshot();
        w.StartObject();
        write_text(w, "ip", worker->info.address);
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
        write_text(w, "motors", state.motors);
        w.Key("positions");
        write_floats(w, state.positions);
        if (worker->kind.serves(td::Operation::read_velocities)) {
            w.Key("velocities");
            write_floats(w, state.velocities);
        }
        if (worker->kind.serves(td::Operation::read_currents)) {
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
    w.EndArray();
    w.EndObject();
    return buffer.GetString();
}

// Server-sent events: the latest state of every hand, at most once per poll
// period, and at least once a second so that the time since a silent hand's
// last answer keeps counting. A stream whose browser went away ends at its
// next write.
void Dashboard::events(httplib::Response& response) {
    if (streams_.fetch_add(1) >= kMaxStreams) {
        streams_.fetch_sub(1);
        send(response, refused(503, "too many pages are open on this dashboard"));
        return;
    }
    // Held by the provider; the count drops when its last copy is gone.
    auto slot = std::shared_ptr<void>(nullptr, [this](void*) { streams_.fetch_sub(1); });
    const auto period =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::duration<double>(1.0 / settings_.poll_hz));
    auto seen = std::make_shared<std::uint64_t>(0);
    response.set_header("Cache-Control", "no-store");
    response.set_chunked_content_provider(
        "text/event-stream", [this, slot, seen, period](std::size_t, httplib::DataSink& sink) {
            if (stop_.load()) {
                return false;
            }
            if (*seen != 0) {
                std::this_thread::sleep_for(period);
            }
            *seen = board.wait(*seen, std::chrono::milliseconds(1000), stop_);
            if (stop_.load()) {
                return false;
            }
            const std::string event = "data: " + state_json() + "\n\n";
            return sink.write(event.data(), event.size());
        });
}

}  // namespace dexhand_cli::serve
