#include "commands.h"

#include <arpa/inet.h>

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

namespace dexhand_cli {

namespace {

namespace td = tessaro_dexhand;
using Clock = std::chrono::steady_clock;
using td::Status;

// A configuration text the hands take in one datagram.
constexpr std::size_t kConfigLimit = 1023;

struct Hand {
    std::string ip;
    std::string name;  // the kind's discovery name
    td::HandInfo info;
    const td::KindInfo* kind = nullptr;
};

std::string describe(const Hand& hand) { return hand.ip + " (" + hand.name + ")"; }

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// ---------------------------------------------------------------------------
// Steps every command shares

// The address text is judged before discovery: a typo costs no second of
// listening. (The library refuses the same texts with invalid_argument.)
std::string checked_address(const std::string& text) {
    in_addr parsed{};
    if (::inet_pton(AF_INET, text.c_str(), &parsed) != 1) {
        throw Failure(kExitUsage, "'" + text + "' is not an IPv4 address (four numbers 0-255 separated by dots)");
    }
    return text;
}

void discover(Context& context) {
    // A failed registration keeps the hands registered before it; the
    // library has said why, and those hands are still usable.
    context.api.discover();
    if (context.api.hands().empty()) {
        throw Failure(kExitNotFound,
                      context.api.skipped().empty()
                          ? "no hand answered discovery on 192.168.137.0/24 (is this host on that subnet?)"
                          : "no hand that the library serves answered discovery on 192.168.137.0/24");
    }
}

Hand make_hand(const td::HandInfo& info) {
    Hand hand;
    hand.ip = info.address;
    hand.name = info.kind;
    hand.info = info;
    hand.kind = info.kind_info();
    return hand;
}

Hand registered(Context& context, const std::string& ip) {
    const auto found = context.api.hand(ip);
    if (found) {
        return make_hand(found.value);
    }
    for (const auto& device : context.api.skipped()) {
        if (device.address == ip) {
            throw Failure(kExitNotFound, ip + " answered discovery as a " + device.kind + " device of type '" +
                                             device.type + "' but is left out: " + device.reason);
        }
    }
    std::string list;
    for (const auto& hand : context.api.hands()) {
        list += (list.empty() ? "" : ", ") + hand.address;
    }
    throw Failure(kExitNotFound, "no discovered hand at " + ip + " (found: " + list + ")");
}

std::vector<Hand> all_hands(Context& context) {
    std::vector<Hand> hands;
    for (const auto& info : context.api.hands()) {
        hands.push_back(make_hand(info));
    }
    return hands;
}

bool hand_serves(const Hand& hand, td::Operation operation) {
    return hand.kind != nullptr && hand.kind->serves(operation);
}

std::string not_served_message(const Hand& hand, td::Operation operation) {
    return hand.ip + " is a " + hand.name + " hand, which " + lacking(operation);
}

void require(const Hand& hand, td::Operation operation) {
    if (!hand_serves(hand, operation)) {
        throw Failure(kExitUnsupported, not_served_message(hand, operation));
    }
}

// Address check, discovery, lookup and kind check, in that order.
Hand prepare(Context& context, const std::string& address, td::Operation operation) {
    const std::string ip = checked_address(address);
    discover(context);
    Hand hand = registered(context, ip);
    require(hand, operation);
    return hand;
}

// The word of a status in JSON documents and tables.
const char* result_word(Status status) {
    switch (status) {
    case Status::ok:
        return "success";
    case Status::failed:
        return "failure";
    case Status::timeout:
        return "timeout";
    case Status::not_served:
        return "unsupported";
    case Status::unknown_hand:
        return "unknown hand";
    case Status::invalid_argument:
        return "invalid argument";
    }
    return "unknown status";
}

// operation: what the call was, for the message of a not_served status.
std::string status_message(Status status, const Hand& hand, const std::string& what, td::Operation operation) {
    switch (status) {
    case Status::timeout:
        return describe(hand) + " did not answer: " + what + " timed out";
    case Status::not_served:
        return not_served_message(hand, operation);
    case Status::unknown_hand:
        return "no discovered hand at " + hand.ip;
    case Status::invalid_argument:
        return what + " was refused before anything was sent to " + describe(hand);
    default:
        return what + " failed on " + describe(hand) + ": the hand refused it or its reply was not understood";
    }
}

void check(Status status, const Hand& hand, const std::string& what, td::Operation operation) {
    if (status != Status::ok) {
        throw Failure(exit_code(status), status_message(status, hand, what, operation));
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

int exit_code(Status status) {
    switch (status) {
    case Status::ok:
        return kExitOk;
    case Status::failed:
        return kExitFailed;
    case Status::timeout:
        return kExitTimeout;
    case Status::not_served:
        return kExitUnsupported;
    case Status::unknown_hand:
        return kExitNotFound;
    case Status::invalid_argument:
        return kExitUsage;
    }
    return kExitFailed;
}

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
            w.String(hand.info.type.c_str());
            w.Key("driver_version");
            w.String(hand.info.driver_version.c_str());
            w.Key("hardware_version");
            w.String(hand.info.hardware_version.c_str());
            w.EndObject();
        }
        w.EndArray();
        // Devices that answered but that the library does not serve.
        w.Key("skipped");
        w.StartArray();
        for (const auto& device : context.api.skipped()) {
            w.StartObject();
            w.Key("ip");
            w.String(device.address.c_str());
            w.Key("name");
            w.String(device.kind.c_str());
            w.Key("type");
            w.String(device.type.c_str());
            w.Key("reason");
            w.String(device.reason.c_str());
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
        rows.push_back({hand.ip, hand.name, or_dash(hand.info.type), or_dash(hand.info.driver_version),
                        or_dash(hand.info.hardware_version)});
    }
    std::cout << table(rows) << std::flush;
    for (const auto& device : context.api.skipped()) {
        context.console.note("left out: " + device.address + " (" + device.kind + ", type " + or_dash(device.type) +
                             "): " + device.reason);
    }
    return kExitOk;
}

// ---------------------------------------------------------------------------
// positions and motion

int pos_command(Context& context, const std::string& address) {
    const Hand hand = prepare(context, address, td::Operation::read_positions);
    const auto read = context.api.positions(hand.ip);
    check(read.status, hand, "reading positions", td::Operation::read_positions);
    const std::vector<float>& positions = read.value;
    return print_for_hand(
        context, hand,
        [&](JsonWriter& w) {
            w.Key("positions");
            write_floats(w, positions);
        },
        [&] { std::cout << format_floats(positions) << std::endl; });
}

int move_command(Context& context, const std::string& address, const std::vector<float>& values, bool fast) {
    const std::string ip = checked_address(address);
    for (float value : values) {
        if (!std::isfinite(value)) {
            throw Failure(kExitUsage, "positions must be finite numbers");
        }
    }
    discover(context);
    const Hand hand = registered(context, ip);
    const auto operation = fast ? td::Operation::fast_set_positions : td::Operation::set_positions;
    require(hand, operation);
    // The kind's count and range are judged here, so the message can say
    // which value is wrong; nothing is sent then.
    const std::string refusal = hand.kind->check_positions(values);
    if (!refusal.empty()) {
        throw Failure(kExitUsage, "nothing sent to " + describe(hand) + ": " + refusal);
    }
    const char* name = fast ? "fast-move" : "move";
    const Status status =
        fast ? context.api.fast_set_positions(hand.ip, values) : context.api.set_positions(hand.ip, values);
    check(status, hand, name, operation);
    return print_done(context, hand, name, "positions sent");
}

// ---------------------------------------------------------------------------
// enable, disable, reboot

namespace {

Status run_state(Context& context, td::Operation operation, const std::string& ip) {
    switch (operation) {
    case td::Operation::enable:
        return context.api.enable(ip);
    case td::Operation::disable:
        return context.api.disable(ip);
    case td::Operation::reboot:
        return context.api.reboot(ip);
    default:
        return Status::not_served;
    }
}

const char* state_done(td::Operation operation) {
    switch (operation) {
    case td::Operation::enable:
        return "enabled";
    case td::Operation::disable:
        return "disabled";
    case td::Operation::reboot:
        return "rebooting";
    default:
        return "done";
    }
}

}  // namespace

int state_command(Context& context, td::Operation operation, const std::string& address) {
    // enable, disable and reboot are named as the library names them.
    const char* name = td::to_text(operation);
    if (!address.empty()) {
        const Hand hand = prepare(context, address, operation);
        check(run_state(context, operation, hand.ip), hand, name, operation);
        return print_done(context, hand, name, state_done(operation));
    }

    // Every hand is tried, also after one failed, and hands of a kind that
    // lacks the command are skipped: the table says what became of each.
    discover(context);
    struct Outcome {
        Hand hand;
        bool served;
        Status status;
    };
    std::vector<Outcome> outcomes;
    int first_failure = kExitOk;
    std::string first_message;
    std::size_t failures = 0;
    std::size_t served = 0;
    for (const auto& hand : all_hands(context)) {
        Outcome outcome{hand, hand_serves(hand, operation), Status::ok};
        if (outcome.served) {
            ++served;
            outcome.status = run_state(context, operation, hand.ip);
            if (outcome.status != Status::ok) {
                ++failures;
                if (first_failure == kExitOk) {
                    first_failure = exit_code(outcome.status);
                    first_message = status_message(outcome.status, hand, name, operation);
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
            w.String(outcome.served ? result_word(outcome.status) : "unsupported");
            w.EndObject();
        }
        w.EndArray();
        w.EndObject();
        document.print();
    } else {
        std::vector<std::vector<std::string>> rows = {{"ADDRESS", "NAME", "RESULT"}};
        for (const auto& outcome : outcomes) {
            rows.push_back({outcome.hand.ip, outcome.hand.name,
                            outcome.served ? (outcome.status == Status::ok ? std::string(state_done(operation))
                                                                           : std::string(td::to_text(outcome.status)))
                                           : "skipped: " + lacking(operation)});
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

const char* calibration_result(Status status) {
    switch (status) {
    case Status::ok:
        return "success";
    case Status::timeout:
        return "timeout";
    default:
        return "error";
    }
}

// Calibrates the hands in parallel; the library's progress reports (about
// every 100 ms per hand, serialised) redraw the progress line.
std::vector<Status> calibrate_hands(Context& context, const std::vector<Hand>& hands) {
    std::vector<std::string> addresses;
    for (const auto& hand : hands) {
        addresses.push_back(hand.ip);
    }
    const auto start = Clock::now();
    static const char kSpinner[] = "|/-\\";
    const std::string what = hands.size() == 1 ? "calibrating " + describe(hands.front())
                                               : "calibrating " + std::to_string(hands.size()) + " hands";
    std::size_t done = 0;
    unsigned tick = 0;
    auto drawn = start - std::chrono::seconds(1);
    const auto progress = [&](const td::CalibrationProgress& at) {
        done += at.finished ? 1 : 0;
        // One line for all hands, at the pace of one hand's reports.
        if (Clock::now() - drawn < std::chrono::milliseconds(90) && !at.finished) {
            return;
        }
        drawn = Clock::now();
        char line[160];
        std::snprintf(line, sizeof(line), "%s  %5.1f s", what.c_str(), seconds_since(start));
        std::string text = line;
        if (context.console.terminal()) {
            text = std::string(1, kSpinner[tick++ % 4]) + " " + text;
        }
        if (hands.size() > 1) {
            text += "  (" + std::to_string(done) + " of " + std::to_string(hands.size()) + " done)";
        }
        context.console.progress(text);
    };
    const std::vector<Status> results = context.api.calibrate(addresses, progress);
    context.console.end_progress();
    return results;
}

}  // namespace

int calibrate_command(Context& context, const std::string& address) {
    std::vector<Hand> targets;
    std::vector<Hand> skipped;
    if (!address.empty()) {
        targets.push_back(prepare(context, address, td::Operation::calibrate));
    } else {
        discover(context);
        for (const auto& hand : all_hands(context)) {
            (hand_serves(hand, td::Operation::calibrate) ? targets : skipped).push_back(hand);
        }
        if (targets.empty()) {
            throw Failure(kExitUnsupported, "no discovered hand is calibrated by the client (only " +
                                                kinds_serving({td::Operation::calibrate}) + " are)");
        }
    }

    const auto start = Clock::now();
    const std::vector<Status> results = calibrate_hands(context, targets);
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
            rows.push_back({hand.ip, hand.name, "skipped: " + lacking(td::Operation::calibrate)});
        }
        std::cout << table(rows) << std::flush;
    }

    for (std::size_t i = 0; i < targets.size(); ++i) {
        if (results[i] == Status::timeout) {
            context.console.error(describe(targets[i]) + " never reported the end of its calibration");
            return kExitTimeout;
        }
        if (results[i] == Status::failed) {
            context.console.error(describe(targets[i]) + " reported a failed calibration");
            return kExitFailed;
        }
        if (results[i] != Status::ok) {
            context.console.error(status_message(results[i], targets[i], "calibrate", td::Operation::calibrate));
            return exit_code(results[i]);
        }
    }
    return kExitOk;
}

// ---------------------------------------------------------------------------
// error codes

int errors_command(Context& context, const std::string& address) {
    const Hand hand = prepare(context, address, td::Operation::read_error_codes);
    // After a time-out a hand's protocol may leave a marker in the list that
    // reads like a real code: only a successful read's codes are shown.
    const auto read = context.api.error_codes(hand.ip);
    check(read.status, hand, "reading error codes", td::Operation::read_error_codes);
    const std::vector<long>& codes = read.value;
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
    const Hand hand = prepare(context, address, td::Operation::clear_error_codes);
    check(context.api.clear_error_codes(hand.ip), hand, "clear-errors", td::Operation::clear_error_codes);
    return print_done(context, hand, "clear-errors", "errors cleared");
}

// ---------------------------------------------------------------------------
// positions, velocities and currents

int pvc_command(Context& context, const std::string& address) {
    const Hand hand = prepare(context, address, td::Operation::read_positions);
    require(hand, td::Operation::read_velocities);
    require(hand, td::Operation::read_currents);
    const td::HandState state =
        context.api.state(hand.ip, td::positions_part | td::velocities_part | td::currents_part);
    check(state.positions_status, hand, "reading positions", td::Operation::read_positions);
    check(state.velocities_status, hand, "reading velocities", td::Operation::read_velocities);
    check(state.currents_status, hand, "reading currents", td::Operation::read_currents);
    const auto json = [&](JsonWriter& w) {
        w.Key("positions");
        write_floats(w, state.positions);
        w.Key("velocities");
        write_floats(w, state.velocities);
        w.Key("currents");
        write_floats(w, state.currents);
    };
    return print_for_hand(context, hand, json, [&] {
        std::cout << "positions   " << format_floats(state.positions) << "\n"
                  << "velocities  " << format_floats(state.velocities) << "\n"
                  << "currents    " << format_floats(state.currents) << std::endl;
    });
}

// ---------------------------------------------------------------------------
// tactile matrix

int tactile_command(Context& context, const std::string& address) {
    const Hand hand = prepare(context, address, td::Operation::read_tactile);
    const auto read = context.api.tactile(hand.ip);
    check(read.status, hand, "reading the tactile matrix", td::Operation::read_tactile);
    const Matrix& matrix = read.value;
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
    const Hand hand = prepare(context, address, td::Operation::read_config);
    const auto read = context.api.config(hand.ip);
    check(read.status, hand, "reading the configuration", td::Operation::read_config);
    const std::string& text = read.value;
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
    const std::string ip = checked_address(address);
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
    require(hand, td::Operation::write_config);
    check(context.api.set_config(hand.ip, text), hand, "writing the configuration", td::Operation::write_config);
    return print_done(context, hand, "config set", "configuration written");
}

// ---------------------------------------------------------------------------
// watch

namespace {

struct Frame {
    double time = 0;
    Status status = Status::ok;  // of the first read that failed, else ok
    std::vector<float> positions;
    bool has_matrix = false;
    Matrix matrix;
};

std::string frame_text(const Hand& hand, const Frame& frame, int number, bool colour) {
    std::ostringstream out;
    char heading[160];
    std::snprintf(heading, sizeof(heading), "%s  frame %d  %.1f s", describe(hand).c_str(), number, frame.time);
    out << heading << "\n";
    if (frame.status != Status::ok) {
        out << "no answer: " << td::to_text(frame.status) << "\n";
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
    const Hand hand = prepare(context, address, td::Operation::read_positions);
    const bool tactile = hand_serves(hand, td::Operation::read_tactile);
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
        auto positions = context.api.positions(hand.ip);
        frame.status = positions.status;
        frame.positions = std::move(positions.value);
        if (frame.status == Status::ok && tactile) {
            frame.has_matrix = true;
            auto matrix = context.api.tactile(hand.ip);
            frame.status = matrix.status;
            frame.matrix = std::move(matrix.value);
        }
        ++frames;
        if (frame.status != Status::ok) {
            ++failed;
            last_failure = exit_code(frame.status);
        }

        if (context.json) {
            w.StartObject();
            w.Key("time");
            w.Double(static_cast<double>(static_cast<long>(frame.time * 1000 + 0.5)) / 1000);
            w.Key("result");
            w.String(result_word(frame.status));
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
