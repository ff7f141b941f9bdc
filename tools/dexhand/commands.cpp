#include "commands.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <thread>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/prettywriter.h>

#include "render.h"
#include "signals.h"
#include "transport/status.h"

namespace dexhand_cli {

namespace {

using Clock = std::chrono::steady_clock;

// A configuration text the hands take in one datagram.
constexpr std::size_t kConfigLimit = 1023;

struct Hand {
    std::string ip;
    std::string name;
    std::string type;
    const Kind* kind = nullptr;
};

std::string describe(const Hand& hand) { return hand.ip + " (" + hand.name + ")"; }

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// ---------------------------------------------------------------------------
// Steps every command shares

// The address text is judged before discovery: a typo costs no second of
// listening.
std::string checked_address(Context& context, const std::string& text) {
    if (!context.client.isValidIP(text)) {
        throw Failure(kExitUsage, "'" + text + "' is not an IPv4 address (four numbers 0-255 separated by dots)");
    }
    return text;
}

void discover(Context& context) {
    // A failed registration keeps the hands registered before it; the
    // library has said why, and those hands are still usable.
    context.client.init(0);
    if (context.client.get_ip_list().empty()) {
        throw Failure(kExitNotFound,
                      "no hand answered discovery on 192.168.137.0/24 (is this host on that subnet?)");
    }
}

Hand registered(Context& context, const std::string& ip) {
    const auto ips = context.client.get_ip_list();
    bool found = false;
    std::string list;
    for (const auto& known : ips) {
        found = found || known == ip;
        list += (list.empty() ? "" : ", ") + known;
    }
    if (!found) {
        throw Failure(kExitNotFound, "no discovered hand at " + ip + " (found: " + list + ")");
    }
    Hand hand;
    hand.ip = ip;
    hand.name = context.client.get_name(ip);
    hand.type = context.client.get_type(ip);
    hand.kind = find_kind(hand.name);
    return hand;
}

std::vector<Hand> all_hands(Context& context) {
    std::vector<Hand> hands;
    for (const auto& ip : context.client.get_ip_list()) {
        hands.push_back(registered(context, ip));
    }
    return hands;
}

bool hand_serves(const Hand& hand, Operation operation) {
    return hand.kind != nullptr && serves(*hand.kind, operation);
}

void require(const Hand& hand, Operation operation) {
    if (!hand_serves(hand, operation)) {
        throw Failure(kExitUnsupported, hand.ip + " is a " + hand.name + " hand, which " + lacking(operation));
    }
}

// Address check, discovery, lookup and kind check, in that order.
Hand prepare(Context& context, const std::string& address, Operation operation) {
    const std::string ip = checked_address(context, address);
    discover(context);
    Hand hand = registered(context, ip);
    require(hand, operation);
    return hand;
}

int exit_code(int status) {
    switch (status) {
    case BaseHandProtocol::kSuccess:
        return kExitOk;
    case BaseHandProtocol::kTimeout:
        return kExitTimeout;
    default:
        return kExitFailed;
    }
}

std::string status_message(int status, const Hand& hand, const std::string& what) {
    if (status == BaseHandProtocol::kTimeout) {
        return describe(hand) + " did not answer: " + what + " timed out";
    }
    return what + " failed on " + describe(hand) + ": the hand refused it or its reply was not understood";
}

void check(int status, const Hand& hand, const std::string& what) {
    if (status != BaseHandProtocol::kSuccess) {
        throw Failure(exit_code(status), status_message(status, hand, what));
    }
}

// ---------------------------------------------------------------------------
// Output

class JsonDocument {
public:
    JsonWriter writer{buffer_};
    void print() {
        std::cout << buffer_.GetString() << std::endl;
    }

private:
    rapidjson::StringBuffer buffer_;
};

void write_hand(JsonWriter& writer, const Hand& hand) {
    writer.Key("ip");
    writer.String(hand.ip.c_str());
    writer.Key("name");
    writer.String(hand.name.c_str());
}

// {"ip":..,"name":..,"operation":..,"result":"success"} for commands without data.
// What a command on one hand prints: with --json one object of the hand and
// the fields that fields(writer) adds, otherwise what text() prints.
template <class Fields, class Text>
int print_for_hand(Context& context, const Hand& hand, Fields fields, Text text) {
    if (context.json) {
        JsonDocument document;
        auto& w = document.writer;
        w.StartObject();
        write_hand(w, hand);
        fields(w);
        w.EndObject();
        document.print();
    } else {
        text();
    }
    return kExitOk;
}

int print_done(Context& context, const Hand& hand, const char* operation, const std::string& text) {
    return print_for_hand(
        context, hand,
        [operation](JsonWriter& w) {
            w.Key("operation");
            w.String(operation);
            w.Key("result");
            w.String("success");
        },
        [&] { std::cout << describe(hand) << ": " << text << std::endl; });
}

std::string hex(long value) {
    char text[32];
    std::snprintf(text, sizeof(text), "0x%lx", static_cast<unsigned long>(value));
    return text;
}

}  // namespace

void print_json_error(int code, const std::string& message) {
    JsonDocument document;
    auto& w = document.writer;
    w.StartObject();
    w.Key("error");
    w.StartObject();
    w.Key("exit_code");
    w.Int(code);
    w.Key("message");
    w.String(message.c_str());
    w.EndObject();
    w.EndObject();
    document.print();
}

// ---------------------------------------------------------------------------
// discover

int discover_command(Context& context) {
    discover(context);
    const auto hands = all_hands(context);
    if (context.json) {
        JsonDocument document;
        auto& w = document.writer;
        w.StartObject();
        w.Key("hands");
        w.StartArray();
        for (const auto& hand : hands) {
            w.StartObject();
            write_hand(w, hand);
            w.Key("type");
            w.String(hand.type.c_str());
            w.Key("driver_version");
            w.String(context.client.get_driver_ver(hand.ip).c_str());
            w.Key("hardware_version");
            w.String(context.client.get_hardware_ver(hand.ip).c_str());
            w.EndObject();
        }
        w.EndArray();
        w.EndObject();
        document.print();
        return kExitOk;
    }
    const auto or_dash = [](const std::string& text) { return text.empty() ? std::string("-") : text; };
    std::vector<std::vector<std::string>> rows = {{"ADDRESS", "NAME", "TYPE", "DRIVER", "HARDWARE"}};
    for (const auto& hand : hands) {
        rows.push_back({hand.ip, hand.name, or_dash(hand.type), or_dash(context.client.get_driver_ver(hand.ip)),
                        or_dash(context.client.get_hardware_ver(hand.ip))});
    }
    std::cout << table(rows) << std::flush;
    return kExitOk;
}

// ---------------------------------------------------------------------------
// positions and motion

int pos_command(Context& context, const std::string& address) {
    const Hand hand = prepare(context, address, Operation::position);
    std::vector<float> positions;
    check(context.client.hand_manager.get_position(hand.ip, positions), hand, "reading positions");
    return print_for_hand(
        context, hand,
        [&](JsonWriter& w) {
            w.Key("positions");
            write_floats(w, positions);
        },
        [&] { std::cout << format_floats(positions) << std::endl; });
}

int move_command(Context& context, const std::string& address, const std::vector<float>& values, bool fast) {
    const std::string ip = checked_address(context, address);
    for (float value : values) {
        if (!std::isfinite(value)) {
            throw Failure(kExitUsage, "positions must be finite numbers");
        }
    }
    discover(context);
    const Hand hand = registered(context, ip);
    require(hand, Operation::move);
    const auto count = static_cast<std::size_t>(hand.kind->joints);
    if (values.size() != count) {
        throw Failure(kExitUsage, describe(hand) + " takes " + std::to_string(count) + " positions, " +
                                      std::to_string(values.size()) + " given (give -1 for a joint to stay)");
    }
    const int status = fast ? context.client.fast_set_pos(hand.ip, values) : context.client.set_pos(hand.ip, values);
    check(status, hand, fast ? "fast-move" : "move");
    return print_done(context, hand, fast ? "fast-move" : "move", "positions sent");
}

// ---------------------------------------------------------------------------
// enable, disable, reboot

namespace {

int run_state(Context& context, Operation operation, const std::string& ip) {
    switch (operation) {
    case Operation::enable:
        return context.client.enable(ip);
    case Operation::disable:
        return context.client.disable(ip);
    case Operation::reboot:
        return context.client.reboot(ip);
    default:
        return BaseHandProtocol::kFailure;
    }
}

const char* state_done(Operation operation) {
    switch (operation) {
    case Operation::enable:
        return "enabled";
    case Operation::disable:
        return "disabled";
    case Operation::reboot:
        return "rebooting";
    default:
        return "done";
    }
}

}  // namespace

int state_command(Context& context, Operation operation, const std::string& address) {
    const char* name = operation_name(operation);
    if (!address.empty()) {
        const Hand hand = prepare(context, address, operation);
        check(run_state(context, operation, hand.ip), hand, name);
        return print_done(context, hand, name, state_done(operation));
    }

    // Every hand is tried, also after one failed, and hands of a kind that
    // lacks the command are skipped: the table says what became of each.
    discover(context);
    struct Outcome {
        Hand hand;
        bool served;
        int status;
    };
    std::vector<Outcome> outcomes;
    int first_failure = kExitOk;
    std::string first_message;
    std::size_t failures = 0;
    std::size_t served = 0;
    for (const auto& hand : all_hands(context)) {
        Outcome outcome{hand, hand_serves(hand, operation), BaseHandProtocol::kSuccess};
        if (outcome.served) {
            ++served;
            outcome.status = run_state(context, operation, hand.ip);
            if (outcome.status != BaseHandProtocol::kSuccess) {
                ++failures;
                if (first_failure == kExitOk) {
                    first_failure = exit_code(outcome.status);
                    first_message = status_message(outcome.status, hand, name);
                }
            }
        }
        outcomes.push_back(outcome);
    }

    if (context.json) {
        JsonDocument document;
        auto& w = document.writer;
        w.StartObject();
        w.Key("operation");
        w.String(name);
        w.Key("hands");
        w.StartArray();
        for (const auto& outcome : outcomes) {
            w.StartObject();
            write_hand(w, outcome.hand);
            w.Key("result");
            w.String(outcome.served ? BaseHandProtocol::status_text(outcome.status) : "unsupported");
            w.EndObject();
        }
        w.EndArray();
        w.EndObject();
        document.print();
    } else {
        std::vector<std::vector<std::string>> rows = {{"ADDRESS", "NAME", "RESULT"}};
        for (const auto& outcome : outcomes) {
            rows.push_back({outcome.hand.ip, outcome.hand.name,
                            outcome.served ? (outcome.status == 0 ? std::string(state_done(operation))
                                                                  : BaseHandProtocol::status_text(outcome.status))
                                           : std::string("skipped: ") + lacking(operation)});
        }
        std::cout << table(rows) << std::flush;
    }

    if (served == 0) {
        context.console.error(std::string("no discovered hand serves ") + name);
        return kExitUnsupported;
    }
    if (failures > 0) {
        context.console.error(first_message + (failures > 1 ? " (and " + std::to_string(failures - 1) + " more)" : ""));
        return first_failure;
    }
    return kExitOk;
}

// ---------------------------------------------------------------------------
// calibrate

namespace {

const char* calibration_result(int status) {
    switch (status) {
    case BaseHandProtocol::kSuccess:
        return "success";
    case BaseHandProtocol::kTimeout:
        return "timeout";
    default:
        return "error";
    }
}

// Calibrates each hand on a worker thread of its own (the calls block until
// the hand reports the outcome) while this thread redraws the progress line.
std::vector<int> calibrate_hands(Context& context, const std::vector<Hand>& hands) {
    std::vector<int> results(hands.size(), BaseHandProtocol::kSuccess);
    std::atomic<std::size_t> done{0};
    std::vector<std::thread> workers;
    for (std::size_t i = 0; i < hands.size(); ++i) {
        workers.emplace_back([&context, &hands, &results, &done, i] {
            results[i] = context.client.calibration(hands[i].ip);
            ++done;
        });
    }
    const auto start = Clock::now();
    static const char kSpinner[] = "|/-\\";
    std::string what = hands.size() == 1 ? "calibrating " + describe(hands.front())
                                         : "calibrating " + std::to_string(hands.size()) + " hands";
    for (unsigned tick = 0; done.load() < hands.size(); ++tick) {
        char line[160];
        std::snprintf(line, sizeof(line), "%s  %5.1f s", what.c_str(), seconds_since(start));
        std::string text = line;
        if (context.console.terminal()) {
            text = std::string(1, kSpinner[tick % 4]) + " " + text;
        }
        if (hands.size() > 1) {
            text += "  (" + std::to_string(done.load()) + " of " + std::to_string(hands.size()) + " done)";
        }
        context.console.progress(text);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    for (auto& worker : workers) {
        worker.join();
    }
    context.console.end_progress();
    return results;
}

}  // namespace

int calibrate_command(Context& context, const std::string& address) {
    std::vector<Hand> targets;
    std::vector<Hand> skipped;
    if (!address.empty()) {
        targets.push_back(prepare(context, address, Operation::calibrate));
    } else {
        discover(context);
        for (const auto& hand : all_hands(context)) {
            (hand_serves(hand, Operation::calibrate) ? targets : skipped).push_back(hand);
        }
        if (targets.empty()) {
            throw Failure(kExitUnsupported, std::string("no discovered hand is calibrated by the client (only "
                                                        "qmhv2 hands are)"));
        }
    }

    const auto start = Clock::now();
    const std::vector<int> results = calibrate_hands(context, targets);
    const double seconds = seconds_since(start);

    if (context.json) {
        JsonDocument document;
        auto& w = document.writer;
        w.StartObject();
        w.Key("operation");
        w.String("calibrate");
        w.Key("seconds");
        w.Double(static_cast<double>(static_cast<long>(seconds * 10 + 0.5)) / 10);
        w.Key("hands");
        w.StartArray();
        for (std::size_t i = 0; i < targets.size(); ++i) {
            w.StartObject();
            write_hand(w, targets[i]);
            w.Key("result");
            w.String(calibration_result(results[i]));
            w.EndObject();
        }
        for (const auto& hand : skipped) {
            w.StartObject();
            write_hand(w, hand);
            w.Key("result");
            w.String("skipped");
            w.EndObject();
        }
        w.EndArray();
        w.EndObject();
        document.print();
    } else {
        char elapsed[32];
        std::snprintf(elapsed, sizeof(elapsed), "%.1f s", seconds);
        std::vector<std::vector<std::string>> rows = {{"ADDRESS", "NAME", "CALIBRATION"}};
        for (std::size_t i = 0; i < targets.size(); ++i) {
            rows.push_back({targets[i].ip, targets[i].name, std::string(calibration_result(results[i])) + " after " + elapsed});
        }
        for (const auto& hand : skipped) {
            rows.push_back({hand.ip, hand.name, std::string("skipped: ") + lacking(Operation::calibrate)});
        }
        std::cout << table(rows) << std::flush;
    }

    for (std::size_t i = 0; i < targets.size(); ++i) {
        if (results[i] == BaseHandProtocol::kTimeout) {
            context.console.error(describe(targets[i]) + " never reported the end of its calibration");
            return kExitTimeout;
        }
        if (results[i] != BaseHandProtocol::kSuccess) {
            context.console.error(describe(targets[i]) + " reported a failed calibration");
            return kExitFailed;
        }
    }
    return kExitOk;
}

// ---------------------------------------------------------------------------
// error codes

int errors_command(Context& context, const std::string& address) {
    const Hand hand = prepare(context, address, Operation::errors);
    // Through the manager for the status: after a time-out a hand's protocol
    // may leave a marker in the list that reads like a real code.
    std::vector<long> codes;
    check(context.client.hand_manager.get_errorcode(hand.ip, codes), hand, "reading error codes");
    const auto json = [&](JsonWriter& w) {
        w.Key("codes");
        w.StartArray();
        for (long code : codes) {
            w.Int64(code);
        }
        w.EndArray();
    };
    return print_for_hand(context, hand, json, [&] {
        if (std::all_of(codes.begin(), codes.end(), [](long code) { return code == 0; })) {
            std::cout << describe(hand) << ": no errors";
            if (!codes.empty()) {
                std::cout << " (" << codes.size() << " codes, all 0)";
            }
            std::cout << std::endl;
            return;
        }
        std::vector<std::vector<std::string>> rows = {{"#", "CODE", "DECIMAL"}};
        for (std::size_t i = 0; i < codes.size(); ++i) {
            rows.push_back({std::to_string(i), hex(codes[i]), std::to_string(codes[i])});
        }
        std::cout << describe(hand) << ": " << codes.size() << " error codes\n" << table(rows) << std::flush;
    });
}

int clear_errors_command(Context& context, const std::string& address) {
    const Hand hand = prepare(context, address, Operation::clear_errors);
    check(context.client.clear_errorcode(hand.ip), hand, "clear-errors");
    return print_done(context, hand, "clear-errors", "errors cleared");
}

// ---------------------------------------------------------------------------
// positions, velocities and currents

int pvc_command(Context& context, const std::string& address) {
    const Hand hand = prepare(context, address, Operation::pvc);
    std::vector<std::vector<float>> pvc;
    check(context.client.hand_manager.get_pvc(hand.ip, pvc), hand, "reading positions, velocities and currents");
    pvc.resize(3);
    const auto json = [&](JsonWriter& w) {
        w.Key("positions");
        write_floats(w, pvc[0]);
        w.Key("velocities");
        write_floats(w, pvc[1]);
        w.Key("currents");
        write_floats(w, pvc[2]);
    };
    return print_for_hand(context, hand, json, [&] {
        std::cout << "positions   " << format_floats(pvc[0]) << "\n"
                  << "velocities  " << format_floats(pvc[1]) << "\n"
                  << "currents    " << format_floats(pvc[2]) << std::endl;
    });
}

// ---------------------------------------------------------------------------
// tactile matrix

int tactile_command(Context& context, const std::string& address) {
    const Hand hand = prepare(context, address, Operation::tactile);
    Matrix matrix;
    check(context.client.hand_manager.get_ts_matrix(hand.ip, matrix), hand, "reading the tactile matrix");
    const auto json = [&](JsonWriter& w) {
        w.Key("rows");
        w.Uint64(matrix.size());
        w.Key("matrix");
        write_matrix(w, matrix);
    };
    return print_for_hand(context, hand, json, [&] {
        std::cout << describe(hand) << ": tactile matrix\n" << tactile_grid(matrix, context.colour) << std::flush;
    });
}

// ---------------------------------------------------------------------------
// configuration

int config_get_command(Context& context, const std::string& address) {
    const Hand hand = prepare(context, address, Operation::config);
    std::string text;
    check(context.client.hand_manager.get_comm_config(hand.ip, text), hand, "reading the configuration");
    rapidjson::Document parsed;
    parsed.Parse(text.c_str(), text.size());
    const bool is_json = !parsed.HasParseError();
    const auto json = [&](JsonWriter& w) {
        w.Key("config");
        // A hand's text that is not JSON is kept as a string.
        if (is_json) {
            parsed.Accept(w);
        } else {
            w.String(text.c_str(), static_cast<rapidjson::SizeType>(text.size()));
        }
    };
    return print_for_hand(context, hand, json, [&] {
        if (!is_json) {
            std::cout << text << std::endl;
            return;
        }
        rapidjson::StringBuffer buffer;
        rapidjson::PrettyWriter<rapidjson::StringBuffer> pretty(buffer);
        pretty.SetIndent(' ', 2);
        parsed.Accept(pretty);
        std::cout << buffer.GetString() << std::endl;
    });
}

int config_set_command(Context& context, const std::string& address, const std::string& file) {
    const std::string ip = checked_address(context, address);
    std::string text;
    if (file == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            throw Failure(kExitUsage, "cannot read " + file);
        }
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    // The file's last line end is not part of the configuration.
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    const std::string source = file == "-" ? std::string("standard input") : file;
    rapidjson::Document parsed;
    parsed.Parse(text.c_str(), text.size());
    if (parsed.HasParseError() || !parsed.IsObject()) {
        throw Failure(kExitUsage, "the configuration in " + source + " is not a JSON object" +
                                      (parsed.HasParseError()
                                           ? std::string(" (") + rapidjson::GetParseError_En(parsed.GetParseError()) +
                                                 " at offset " + std::to_string(parsed.GetErrorOffset()) + ")"
                                           : std::string()));
    }
    if (text.size() > kConfigLimit) {
        throw Failure(kExitUsage, "the configuration in " + source + " has " + std::to_string(text.size()) +
                                      " bytes; a hand takes at most " + std::to_string(kConfigLimit));
    }
    discover(context);
    const Hand hand = registered(context, ip);
    require(hand, Operation::config);
    check(context.client.hand_manager.set_comm_config(hand.ip, text), hand, "writing the configuration");
    return print_done(context, hand, "config set", "configuration written");
}

// ---------------------------------------------------------------------------
// watch

namespace {

struct Frame {
    double time = 0;
    int status = 0;  // of the first read that failed, else 0
    std::vector<float> positions;
    bool has_matrix = false;
    Matrix matrix;
};

std::string frame_text(const Hand& hand, const Frame& frame, int number, bool colour) {
    std::ostringstream out;
    char heading[160];
    std::snprintf(heading, sizeof(heading), "%s  frame %d  %.1f s", describe(hand).c_str(), number, frame.time);
    out << heading << "\n";
    if (frame.status != 0) {
        out << "no answer: " << BaseHandProtocol::status_text(frame.status) << "\n";
    }
    for (std::size_t first = 0; first < frame.positions.size(); first += 6) {
        const std::size_t last = std::min(frame.positions.size(), first + 6);
        char label[64];
        std::snprintf(label, sizeof(label), "joints %2zu-%-2zu  ", first + 1, last);
        out << label
            << format_floats(std::vector<float>(frame.positions.begin() + static_cast<long>(first),
                                                frame.positions.begin() + static_cast<long>(last)))
            << "\n";
    }
    if (frame.has_matrix) {
        out << tactile_grid(frame.matrix, colour);
    }
    return out.str();
}

}  // namespace

int watch_command(Context& context, const std::string& address, double rate_hz, int count) {
    const Hand hand = prepare(context, address, Operation::position);
    const bool tactile = hand_serves(hand, Operation::tactile);
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate_hz));
    StopSignals signals;

    JsonDocument document;
    auto& w = document.writer;
    if (context.json) {
        w.StartObject();
        write_hand(w, hand);
        w.Key("rate_hz");
        w.Double(rate_hz);
        w.Key("frames");
        w.StartArray();
    } else if (context.screen) {
        context.console.note("watching " + describe(hand) + "; Ctrl-C stops");
    }

    const auto start = Clock::now();
    auto next = start;
    int frames = 0;
    int failed = 0;
    int last_failure = kExitOk;
    std::size_t drawn_lines = 0;
    while (!StopSignals::stop_requested() && (count == 0 || frames < count)) {
        Frame frame;
        frame.time = seconds_since(start);
        frame.status = context.client.hand_manager.get_position(hand.ip, frame.positions);
        if (frame.status == 0 && tactile) {
            frame.has_matrix = true;
            frame.status = context.client.hand_manager.get_ts_matrix(hand.ip, frame.matrix);
        }
        ++frames;
        if (frame.status != 0) {
            ++failed;
            last_failure = exit_code(frame.status);
        }

        if (context.json) {
            w.StartObject();
            w.Key("time");
            w.Double(static_cast<double>(static_cast<long>(frame.time * 1000 + 0.5)) / 1000);
            w.Key("result");
            w.String(BaseHandProtocol::status_text(frame.status));
            w.Key("positions");
            write_floats(w, frame.positions);
            if (tactile) {
                w.Key("matrix");
                write_matrix(w, frame.matrix);
            }
            w.EndObject();
        } else {
            const std::string text = frame_text(hand, frame, frames, context.colour);
            if (context.screen && drawn_lines > 0) {
                // Back to the first line of the previous frame, and clear below.
                std::cout << "\033[" << drawn_lines << "F\033[J";
            }
            std::cout << text << (context.screen ? "" : "\n") << std::flush;
            drawn_lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
        }

        next += period;
        while (!StopSignals::stop_requested() && Clock::now() < next && (count == 0 || frames < count)) {
            std::this_thread::sleep_for(std::min<Clock::duration>(next - Clock::now(), std::chrono::milliseconds(20)));
        }
        // A slow hand does not make the loop race to catch up.
        if (Clock::now() > next + period) {
            next = Clock::now();
        }
    }

    if (context.json) {
        w.EndArray();
        w.EndObject();
        document.print();
    }
    if (failed > 0) {
        context.console.error(std::to_string(failed) + " of " + std::to_string(frames) + " frames of " +
                              describe(hand) + " could not be read");
        return last_failure;
    }
    return kExitOk;
}

}  // namespace dexhand_cli
