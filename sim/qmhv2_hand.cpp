#include "qmhv2_hand.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace sim {

namespace {

// Angles go out with all the digits of a double, so a reader gets back the
// very value the hand holds.
std::string number(double value) {
    char text[40];
    std::snprintf(text, sizeof(text), "%.17g", value);
    return text;
}

std::string number_array(const std::vector<double>& values) {
    std::string out = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        out += (i ? "," : "") + number(values[i]);
    }
    return out + "]";
}

std::string unsigned_array(const std::vector<std::uint32_t>& values) {
    std::string out = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        out += (i ? "," : "") + std::to_string(values[i]);
    }
    return out + "]";
}

std::string code_answer(std::uint64_t code) { return "{\"errorcode\":" + std::to_string(code) + "}"; }

const std::string kRefused = "{\"errorcode\":1}";

std::string write(const rapidjson::Value& value) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

bool string_member(const rapidjson::Value& object, const char* key, std::string& out) {
    const auto member = object.FindMember(key);
    if (member == object.MemberEnd() || !member->value.IsString()) {
        return false;
    }
    out.assign(member->value.GetString(), member->value.GetStringLength());
    return true;
}

// Which port serves which command, and with which method.
struct Route {
    unsigned short port;
    const char* method;
};

const std::map<std::string, Route>& routes() {
    static const std::map<std::string, Route> table = {
        {"/pos", {kCtrlPort, "SET"}},         {"/enable", {kCtrlPort, "SET"}},
        {"/disable", {kCtrlPort, "SET"}},     {"/calibration", {kCtrlPort, "SET"}},
        {"/pva", {kCommPort, "GET"}},         {"/errorcode", {kCommPort, "GET"}},
        {"/matrix", {kCommPort, "GET"}},      {"/config", {kCommPort, nullptr}},
    };
    return table;
}

}  // namespace

Qmhv2Hand::Qmhv2Hand(std::string ip)
    : Hand(ip),
      anchor_angles_(kJoints, 0.0),
      anchor_time_(Hand::now()),
      targets_(kJoints, 0.0),
      codes_(kJoints, 0) {
    set_identity(default_identity("qmhv2", this->ip()));
    set_matrix_rows(2);
    rapidjson::Document config(rapidjson::kObjectType);
    auto& allocator = config.GetAllocator();
    const auto add = [&](const char* key, const std::string& value) {
        config.AddMember(rapidjson::StringRef(key), rapidjson::Value(value.c_str(), allocator), allocator);
    };
    add("name", "qmhv2");
    add("type", default_identity("qmhv2", ip).type);
    add("ip", ip);
    add("mask", "255.255.255.0");
    add("gateway", "192.168.137.1");
    add("firmware_version", "2.0.3");
    add("hardware_version", "1.2");
    config.AddMember("speed_limit", 180, allocator);
    config_ = write(config);
}

void Qmhv2Hand::clock_changed(Clock::time_point old_now, Clock::time_point new_now) {
    anchor_time_ += new_now - old_now;
    calibration_end_ += new_now - old_now;
    for (auto& fault : fault_ends_) {
        fault.second += new_now - old_now;
    }
}

void Qmhv2Hand::live(Clock::time_point now) {
    for (auto fault = fault_ends_.begin(); fault != fault_ends_.end();) {
        if (fault->second <= now) {
            if (fault->first < codes_.size()) {
                codes_[fault->first] = 0;
            }
            fault = fault_ends_.erase(fault);
        } else {
            ++fault;
        }
    }
    // The first code belongs to calibration; faults show in the others.
    for (const std::uint32_t pick : fault_schedule_.due(now)) {
        if (codes_.size() < 2) {
            break;
        }
        const std::size_t index = 1 + pick % (codes_.size() - 1);
        codes_[index] = 1u << ((pick >> 8) % 4);
        fault_ends_[index] = now + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(lively_.fault_lasts_s));
    }
}

void Qmhv2Hand::clear_faults() {
    for (const auto& fault : fault_ends_) {
        if (fault.first < codes_.size()) {
            codes_[fault.first] = 0;
        }
    }
    fault_ends_.clear();
}

// A pressure spot sliding across the pad and back, as a finger rolling an object.
std::vector<std::uint32_t> Qmhv2Hand::lively_matrix(Clock::time_point now) const {
    constexpr double kPi = 3.14159265358979323846;
    constexpr std::size_t kCells = 96;
    const std::size_t rows = matrix_.size() / 32;
    const double t = std::chrono::duration<double>(now.time_since_epoch()).count();
    const double column = (kCells - 1) / 2.0 * (1.0 + std::sin(2.0 * kPi * t / 4.0));
    const double row = (static_cast<double>(rows) - 1.0) / 2.0 * (1.0 + std::sin(2.0 * kPi * t / 7.0));
    std::vector<std::uint32_t> elements(rows * 32);
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < kCells; ++c) {
            const double dx = (static_cast<double>(c) - column) / 6.0;
            const double dy = static_cast<double>(r) - row;
            const auto cell = static_cast<std::uint32_t>(std::lround(230.0 * std::exp(-(dx * dx + dy * dy) / 2.0)));
            elements[r * 32 + c / 3] |= cell << (8 * (2 - c % 3));
        }
    }
    return elements;
}

// --- state --------------------------------------------------------------------

std::vector<double> Qmhv2Hand::angles_at(Clock::time_point now) const {
    const double seconds = enabled_ ? std::chrono::duration<double>(now - anchor_time_).count() : 0.0;
    const double reach = std::max(0.0, seconds * speed_);
    std::vector<double> out(anchor_angles_);
    for (std::size_t j = 0; j < out.size(); ++j) {
        const double gap = targets_[j] - out[j];
        out[j] = std::fabs(gap) <= reach ? targets_[j] : out[j] + std::copysign(reach, gap);
    }
    return out;
}

void Qmhv2Hand::anchor(Clock::time_point now) {
    anchor_angles_ = angles_at(now);
    anchor_time_ = now;
}

std::vector<std::uint32_t> Qmhv2Hand::codes_at(Clock::time_point now) const {
    std::vector<std::uint32_t> codes(codes_);
    if (calibrated_ && !codes.empty()) {
        codes[0] = now < calibration_end_ ? kCalibrating : (calibration_failed_ ? 1u : 0u);
    }
    return codes;
}

std::vector<double> Qmhv2Hand::targets() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return targets_;
}

std::vector<double> Qmhv2Hand::angles() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return angles_at(Hand::now());
}

bool Qmhv2Hand::enabled() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return enabled_;
}

bool Qmhv2Hand::calibrating() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calibrated_ && Hand::now() < calibration_end_;
}

std::vector<std::uint32_t> Qmhv2Hand::error_codes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return codes_at(Hand::now());
}

std::vector<std::uint32_t> Qmhv2Hand::matrix() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return matrix_;
}

std::string Qmhv2Hand::config() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return config_;
}

void Qmhv2Hand::set_speed(double units_per_second) {
    std::lock_guard<std::mutex> lock(mutex_);
    anchor(Hand::now());
    speed_ = std::isfinite(units_per_second) ? std::fabs(units_per_second) : 0.0;
}

void Qmhv2Hand::set_angles(const std::vector<double>& angles) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t j = 0; j < anchor_angles_.size() && j < angles.size(); ++j) {
        anchor_angles_[j] = targets_[j] = angles[j];
    }
    anchor_time_ = Hand::now();
}

void Qmhv2Hand::set_enabled(bool enabled) {
    std::lock_guard<std::mutex> lock(mutex_);
    anchor(Hand::now());
    enabled_ = enabled;
}

void Qmhv2Hand::set_calibration(int duration_ms, bool fails) {
    std::lock_guard<std::mutex> lock(mutex_);
    calibration_ms_ = std::max(0, duration_ms);
    calibration_fails_ = fails;
}

void Qmhv2Hand::set_error_codes(std::vector<std::uint32_t> codes) {
    std::lock_guard<std::mutex> lock(mutex_);
    codes_ = std::move(codes);
    calibrated_ = false;
}

void Qmhv2Hand::set_command_code(const std::string& cmd, std::uint64_t code) {
    std::lock_guard<std::mutex> lock(mutex_);
    command_codes_[cmd] = code;
}

void Qmhv2Hand::set_matrix_rows(std::size_t rows) {
    std::vector<std::uint32_t> elements(rows * 32);
    for (std::size_t i = 0; i < elements.size(); ++i) {
        // Three data bytes, and now and then a bit above them that readers drop.
        const std::uint32_t high = (i % 3 == 0) ? 1u << 24 : 0u;
        elements[i] = high | static_cast<std::uint32_t>(((i * 5 + 1) & 0xFF) << 16) |
                      static_cast<std::uint32_t>(((i * 11 + 2) & 0xFF) << 8) |
                      static_cast<std::uint32_t>((i * 13 + 3) & 0xFF);
    }
    set_matrix(std::move(elements));
}

void Qmhv2Hand::set_matrix(std::vector<std::uint32_t> elements) {
    std::lock_guard<std::mutex> lock(mutex_);
    matrix_ = std::move(elements);
}

bool Qmhv2Hand::set_config(const std::string& text) {
    rapidjson::Document document;
    document.Parse(text.data(), text.size());
    if (document.HasParseError() || !document.IsObject()) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    config_ = write(document);
    return true;
}

void Qmhv2Hand::set_answer(const std::string& cmd, Answer answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_[cmd] = answer;
}

// --- the wire -----------------------------------------------------------------

std::vector<std::string> Qmhv2Hand::handle(unsigned short port, const std::string& datagram) {
    const auto now = Hand::now();
    live(now);
    rapidjson::Document request;
    request.Parse<rapidjson::kParseFullPrecisionFlag>(datagram.data(), datagram.size());
    std::string method;
    std::string cmd;
    if (request.HasParseError() || !request.IsObject() || !string_member(request, "method", method) ||
        !string_member(request, "cmd", cmd)) {
        return port == kAuxPort ? std::vector<std::string>{} : std::vector<std::string>{kRefused};
    }
    const auto route = routes().find(cmd);
    if (route == routes().end()) {
        return {kRefused};
    }
    if (route->second.port != port) {
        return {};  // the service on this port does not know the command
    }
    if (route->second.method != nullptr && method != route->second.method) {
        return {kRefused};
    }

    std::string answer;
    if (cmd == "/pos") {
        answer = answer_position(datagram, now);
    } else if (cmd == "/pva") {
        answer = answer_pva(now);
    } else if (cmd == "/errorcode") {
        answer = "{\"errorcode\":" + unsigned_array(codes_at(now)) + "}";
    } else if (cmd == "/matrix") {
        answer = "{\"matrix\":" + unsigned_array(lively_.on ? lively_matrix(now) : matrix_) + "}";
    } else if (cmd == "/config") {
        answer = method == "GET" ? config_ : method == "SET" ? answer_set_config(datagram) : kRefused;
    } else {
        answer = answer_command(cmd, now);
    }

    const auto how = answers_.find(cmd);
    switch (how == answers_.end() ? Answer::Normal : how->second) {
    case Answer::Normal:
        return {answer};
    case Answer::Silent:
        return {};
    case Answer::NotJson:
        return {answer.substr(0, answer.size() / 2)};
    case Answer::WithoutMember:
        return {without_member(cmd)};
    case Answer::NotObject:
        return {"[0]"};
    case Answer::Twice:
        return {answer, answer};
    }
    return {answer};
}

std::string Qmhv2Hand::answer_command(const std::string& cmd, Clock::time_point now) {
    const auto found = command_codes_.find(cmd);
    const std::uint64_t code = found == command_codes_.end() ? 0 : found->second;
    if (code != 0) {
        return code_answer(code);
    }
    if (cmd == "/calibration") {
        calibrated_ = true;
        calibration_failed_ = calibration_fails_;
        calibration_end_ = now + std::chrono::milliseconds(lively_.on ? lively_.calibration_ms : calibration_ms_);
        if (lively_.on) {
            // The routine ends with the hand open at home and without faults.
            anchor(now);
            std::fill(targets_.begin(), targets_.end(), 0.0);
            clear_faults();
        }
    } else if (cmd == "/enable" || cmd == "/disable") {
        anchor(now);
        enabled_ = cmd == "/enable";
        if (enabled_ && lively_.on) {
            clear_faults();
        }
    }
    return code_answer(0);
}

std::string Qmhv2Hand::answer_position(const std::string& request, Clock::time_point now) {
    rapidjson::Document document;
    document.Parse<rapidjson::kParseFullPrecisionFlag>(request.data(), request.size());
    if (!document.IsObject()) {
        return "{\"errorcode\":[1]}";
    }
    const auto position = document.FindMember("position");
    if (position == document.MemberEnd() || !position->value.IsArray() ||
        position->value.Size() != static_cast<rapidjson::SizeType>(kJoints)) {
        return "{\"errorcode\":[1]}";
    }
    std::vector<double> targets(targets_);
    for (rapidjson::SizeType j = 0; j < position->value.Size(); ++j) {
        const auto& value = position->value[j];
        if (!value.IsNumber()) {
            return "{\"errorcode\":[1]}";
        }
        // -1 leaves a joint where it was heading.
        if (value.GetDouble() != -1.0) {
            targets[j] = value.GetDouble();
        }
    }
    anchor(now);
    targets_ = std::move(targets);
    return "{\"errorcode\":" + unsigned_array(std::vector<std::uint32_t>(kJoints, 0)) + "}";
}

std::string Qmhv2Hand::answer_pva(Clock::time_point now) {
    const std::vector<double> angles = angles_at(now);
    std::vector<double> velocity(angles.size(), 0.0);
    for (std::size_t j = 0; j < angles.size(); ++j) {
        if (enabled_ && angles[j] != targets_[j]) {
            velocity[j] = std::copysign(speed_, targets_[j] - angles[j]);
        }
    }
    return "{\"angle\":" + number_array(angles) + ",\"velocity\":" + number_array(velocity) +
           ",\"current\":" + number_array(std::vector<double>(angles.size(), 0.0)) + "}";
}

std::string Qmhv2Hand::answer_set_config(const std::string& request) {
    // Every member besides "method" and "cmd" replaces or extends the object.
    rapidjson::Document changes;
    changes.Parse(request.data(), request.size());
    rapidjson::Document config;
    config.Parse(config_.data(), config_.size());
    if (!config.IsObject()) {
        config.SetObject();
    }
    auto& allocator = config.GetAllocator();
    for (const auto& member : changes.GetObject()) {
        const std::string name(member.name.GetString(), member.name.GetStringLength());
        if (name == "method" || name == "cmd") {
            continue;
        }
        rapidjson::Value value(member.value, allocator);
        const auto existing = config.FindMember(member.name);
        if (existing != config.MemberEnd()) {
            existing->value = value;
        } else {
            config.AddMember(rapidjson::Value(member.name, allocator), value, allocator);
        }
    }
    config_ = write(config);
    return code_answer(0);
}

std::string Qmhv2Hand::without_member(const std::string& cmd) const {
    return "{\"cmd\":\"" + cmd + "\",\"busy\":true}";
}

}  // namespace sim
