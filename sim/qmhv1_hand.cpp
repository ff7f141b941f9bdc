#include "qmhv1_hand.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace sim {

namespace {

unsigned char byte_at(const std::string& frame, std::size_t i) { return static_cast<unsigned char>(frame[i]); }

// The hand reads its floats most significant byte first.
float float_at(const std::string& frame, std::size_t offset) {
    const std::uint32_t bits = static_cast<std::uint32_t>(byte_at(frame, offset)) << 24 |
                               static_cast<std::uint32_t>(byte_at(frame, offset + 1)) << 16 |
                               static_cast<std::uint32_t>(byte_at(frame, offset + 2)) << 8 |
                               static_cast<std::uint32_t>(byte_at(frame, offset + 3));
    float value = 0.0f;
    std::memcpy(&value, &bits, sizeof(value));
    return value;
}

bool starts(const std::string& frame, std::initializer_list<unsigned char> head) {
    if (frame.size() < head.size()) {
        return false;
    }
    std::size_t i = 0;
    for (const unsigned char b : head) {
        if (byte_at(frame, i++) != b) {
            return false;
        }
    }
    return true;
}

std::vector<long long> to_long_longs(const std::vector<int>& values) {
    return std::vector<long long>(values.begin(), values.end());
}

}  // namespace

Qmhv1Hand::Qmhv1Hand(std::string ip)
    : Hand(std::move(ip)),
      last_update_(Hand::now()),
      velocity_limits_(kJoints, 0.0f),
      current_limits_(kJoints, 1500.0f),
      currents_(kJoints, 0.0f),
      counts_(kJoints, 0),
      status_(kJoints, 0),
      error_field_(2, '\0'),
      static_ip_{192, 168, 137, 20},
      mac_{0x02, 0x00, 0x00, 0x00, 0x00, 0x14},
      sn_("QMH6R0000001") {
    set_identity(default_identity("qmhv1", this->ip()));
    for (int i = 0; i < kJoints; ++i) {
        pos_limits_.push_back(0.0f);
        pos_limits_.push_back(2000.0f);
    }
}

void Qmhv1Hand::clock_changed(Clock::time_point old_now, Clock::time_point new_now) {
    last_update_ += new_now - old_now;
    calibration_half_ += new_now - old_now;
    calibration_end_ += new_now - old_now;
}

// --- motion -------------------------------------------------------------------

void Qmhv1Hand::advance() const {
    const auto now = Hand::now();
    if (closing_pending_ && calibration_half_ <= now) {
        if (last_update_ < calibration_half_) {
            step_to(calibration_half_);
        }
        target_.fill(0.0f);
        closing_pending_ = false;
    }
    step_to(now);
}

bool Qmhv1Hand::calibrating(Clock::time_point now) const { return lively_.on && now < calibration_end_; }

void Qmhv1Hand::step_to(Clock::time_point t) const {
    const float dt = std::chrono::duration<float>(t - last_update_).count();
    last_update_ = t;
    const bool sweep = calibrating(t);
    for (int i = 0; i < kJoints; ++i) {
        float speed = sweep ? calibration_speed_ : speed_;
        if (!sweep && velocity_limits_[i] > 0.0f) {
            speed = std::min(speed, velocity_limits_[i]);
        }
        const float gap = target_[i] - raw_[i];
        const float step = speed * dt;
        if (!enabled_ || gap == 0.0f) {
            velocity_[i] = 0.0f;
        } else if (std::fabs(gap) <= step) {
            raw_[i] = target_[i];
            velocity_[i] = 0.0f;
        } else {
            raw_[i] += gap > 0.0f ? step : -step;
            velocity_[i] = gap > 0.0f ? speed : -speed;
        }
    }
}

void Qmhv1Hand::live(Clock::time_point now) {
    for (const std::uint32_t pick : fault_schedule_.due(now)) {
        // Groups 0, 2 and 3 carry one flag per bit; group 1 is left alone.
        const char group = static_cast<char>(pick % 3 == 0 ? 0 : pick % 3 + 1);
        const char flag = static_cast<char>(1u << ((pick >> 8) % 8));
        std::size_t record = 0;
        while (record + 1 < error_field_.size() && error_field_[record] != group) {
            record += 2;
        }
        if (record + 1 < error_field_.size()) {
            error_field_[record + 1] = static_cast<char>(error_field_[record + 1] | flag);
        } else {
            error_field_.resize(record);
            error_field_ += std::string{group, flag};
        }
    }
}

// --- frames ---------------------------------------------------------------------

std::vector<std::string> Qmhv1Hand::handle(unsigned short port, const std::string& datagram) {
    advance();
    live(Hand::now());
    if (port == kCtrlPort) {
        on_control(datagram);
        return {};
    }
    if (port == kCommPort) {
        return on_request(datagram);
    }
    ++unknown_frames_;
    return {};
}

void Qmhv1Hand::on_control(const std::string& f) {
    const std::size_t n = f.size();
    if (n == 1 && starts(f, {0x01})) {
        // Drives off: joints stay where they are until the next command.
        enabled_ = false;
    } else if (n == 2 && starts(f, {0x01, 0x01})) {
        ++calibrations_;
        enabled_ = true;
        target_.fill(0.0f);
        if (lively_.on) {
            const auto now = Hand::now();
            const auto half = std::chrono::milliseconds(std::max(2, lively_.calibration_ms) / 2);
            calibration_half_ = now + half;
            calibration_end_ = calibration_half_ + half;
            closing_pending_ = true;
            float full_scale = 0.0f;
            for (int i = 0; i < kJoints; ++i) {
                target_[i] = pos_limits_[2 * i + 1];
                full_scale = std::max(full_scale, pos_limits_[2 * i + 1] - pos_limits_[2 * i]);
            }
            calibration_speed_ = std::max(1.0f, full_scale) / std::chrono::duration<float>(half).count();
        }
    } else if (n == 2 && starts(f, {0x01, 0x0B})) {
        ++pid_resets_;
        gains_.clear();
    } else if (n == 4 && starts(f, {0x01, 0xF1, 0x00, 0x00})) {
        error_field_.assign(2, '\0');
    } else if (n == 16 && byte_at(f, 0) == 0x01 && byte_at(f, 2) == 0x00 && byte_at(f, 1) >= 0x05 &&
               byte_at(f, 1) <= 0x07) {
        gains_[{byte_at(f, 1) - 0x05, byte_at(f, 3)}] = {float_at(f, 4), float_at(f, 8), float_at(f, 12)};
    } else if (n == 12 && starts(f, {0x01, 0x08, 0x00}) && byte_at(f, 3) < kJoints) {
        pos_limits_[2 * byte_at(f, 3)] = float_at(f, 4);
        pos_limits_[2 * byte_at(f, 3) + 1] = float_at(f, 8);
    } else if (n == 8 && starts(f, {0x00, 0x09, 0x00}) && byte_at(f, 3) < kJoints) {
        velocity_limits_[byte_at(f, 3)] = float_at(f, 4);
    } else if (n == 28 && starts(f, {0x01, 0x11, 0x00, 0x00})) {
        enabled_ = true;
        for (int i = 0; i < kJoints; ++i) {
            const float t = float_at(f, 4 + 4 * static_cast<std::size_t>(i));
            if (t == -1.0f || std::isnan(t)) {
                continue;  // hold this joint
            }
            target_[i] = std::clamp(t, pos_limits_[2 * i], pos_limits_[2 * i + 1]);
        }
    } else {
        ++unknown_frames_;
    }
}

std::vector<std::string> Qmhv1Hand::on_request(const std::string& f) {
    const std::size_t n = f.size();
    const unsigned char head = n > 0 ? byte_at(f, 0) : 0;
    if (n == 1) {
        switch (head) {
        case 0x01: {
            std::vector<std::string> tokens;
            for (const long long c : counts_) {
                tokens.push_back(std::to_string(c));
            }
            return {text_reply(tokens)};
        }
        case 0x03:
            return {floats_reply(std::vector<float>(velocity_.begin(), velocity_.end()))};
        case 0x04:
            return {floats_reply(currents_)};
        case 0x05: {
            std::vector<std::string> tokens;
            // A calibrating joint reports 1.
            const bool busy = calibrating(Hand::now());
            for (const int s : status_) {
                tokens.push_back(std::to_string(busy ? 1 : s));
            }
            return {text_reply(tokens)};
        }
        case 0x06:
            return {quirks_.odd_error_field ? error_field_ + '\x07' : error_field_};
        case 0x0B:
            return {floats_reply(pos_limits_)};
        case 0x0C:
            return {floats_reply(velocity_limits_)};
        case 0x0D:
            return {floats_reply(current_limits_)};
        case 0xF1:
            // Restarts without a word; motion stops where it is.
            ++reboots_;
            enabled_ = true;
            target_ = raw_;
            return {};
        default:
            break;
        }
    } else if (n == 2 && starts(f, {0x02, 0x00})) {
        return {floats_reply(std::vector<float>(raw_.begin(), raw_.end()))};
    } else if (n == 6 && f == std::string(6, '\xFF')) {
        return {config_locked()};
    } else if (n == 5 && head == 0x23) {
        static_ip_.clear();
        for (std::size_t i = 1; i < 5; ++i) {
            static_ip_.push_back(byte_at(f, i));
        }
        return {};
    } else if (n == 7 && head == 0x24) {
        mac_.clear();
        for (std::size_t i = 1; i < 7; ++i) {
            mac_.push_back(byte_at(f, i));
        }
        return {};
    } else if (n == 32 && head == 0x25) {
        sn_ = std::string(f.c_str() + 1);  // up to the first zero byte
        return {};
    }
    ++unknown_frames_;
    return {};
}

// --- replies ----------------------------------------------------------------------

std::string Qmhv1Hand::text_reply(std::vector<std::string> tokens) const {
    if (quirks_.value_count_delta < 0) {
        tokens.resize(tokens.size() - std::min<std::size_t>(tokens.size(), -quirks_.value_count_delta));
    }
    for (int i = 0; i < quirks_.value_count_delta; ++i) {
        tokens.push_back("0");
    }
    if (quirks_.garbage) {
        for (auto& token : tokens) {
            token = "nan?";
        }
    }
    std::string text;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        text += (i ? " " : "") + tokens[i];
    }
    return text + quirks_.trailer;
}

std::string Qmhv1Hand::floats_reply(const std::vector<float>& values) const {
    std::vector<std::string> tokens;
    for (const float v : values) {
        char text[64];
        std::snprintf(text, sizeof(text), "%.3f", static_cast<double>(v));
        tokens.push_back(text);
    }
    return text_reply(tokens);
}

std::string Qmhv1Hand::config_locked() const {
    return JsonObject()
        .str("name", "qmhv1")
        .str("type", default_identity("qmhv1", ip()).type)
        .str("sn", sn_)
        .array("mac_address", to_long_longs(mac_))
        .array("static_ip", to_long_longs(static_ip_))
        .array("hardware_verison", {1, 2, 0})
        .array("firmware_verison", {1, 4, 3})
        .text();
}

// --- accessors ---------------------------------------------------------------------

Qmhv1Hand::Joints Qmhv1Hand::raw_positions() const {
    std::lock_guard<std::mutex> lock(mutex_);
    advance();
    return raw_;
}

Qmhv1Hand::Joints Qmhv1Hand::targets() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return target_;
}

void Qmhv1Hand::set_raw_positions(const Joints& raw) {
    std::lock_guard<std::mutex> lock(mutex_);
    advance();
    raw_ = raw;
    target_ = raw;
}

void Qmhv1Hand::set_speed(float units_per_second) {
    std::lock_guard<std::mutex> lock(mutex_);
    advance();
    speed_ = units_per_second;
}

bool Qmhv1Hand::moving() const {
    std::lock_guard<std::mutex> lock(mutex_);
    advance();
    return enabled_ && raw_ != target_;
}

bool Qmhv1Hand::enabled() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return enabled_;
}

std::vector<float> Qmhv1Hand::pos_limits() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pos_limits_;
}

void Qmhv1Hand::set_pos_limits(std::vector<float> limits) {
    std::lock_guard<std::mutex> lock(mutex_);
    limits.resize(2 * kJoints, 0.0f);
    pos_limits_ = std::move(limits);
}

std::vector<float> Qmhv1Hand::velocity_limits() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return velocity_limits_;
}

std::vector<float> Qmhv1Hand::current_limits() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return current_limits_;
}

void Qmhv1Hand::set_currents(std::vector<float> currents) {
    std::lock_guard<std::mutex> lock(mutex_);
    currents_ = std::move(currents);
}

void Qmhv1Hand::set_counts(std::vector<long long> counts) {
    std::lock_guard<std::mutex> lock(mutex_);
    counts_ = std::move(counts);
}

void Qmhv1Hand::set_status(std::vector<int> status) {
    std::lock_guard<std::mutex> lock(mutex_);
    status_ = std::move(status);
}

std::string Qmhv1Hand::error_field() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_field_;
}

void Qmhv1Hand::set_error_field(std::string bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    error_field_ = std::move(bytes);
}

std::array<float, 3> Qmhv1Hand::gains(Loop loop, unsigned char id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = gains_.find({static_cast<int>(loop), id});
    return found == gains_.end() ? std::array<float, 3>{} : found->second;
}

std::vector<int> Qmhv1Hand::static_ip() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_ip_;
}

std::vector<int> Qmhv1Hand::mac_address() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return mac_;
}

std::string Qmhv1Hand::sn() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sn_;
}

std::string Qmhv1Hand::config_text() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return config_locked();
}

int Qmhv1Hand::calibrations() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calibrations_;
}

int Qmhv1Hand::reboots() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reboots_;
}

int Qmhv1Hand::pid_resets() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pid_resets_;
}

int Qmhv1Hand::unknown_frames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return unknown_frames_;
}

void Qmhv1Hand::set_quirks(Qmhv1Quirks quirks) {
    std::lock_guard<std::mutex> lock(mutex_);
    quirks_ = std::move(quirks);
}

}  // namespace sim
