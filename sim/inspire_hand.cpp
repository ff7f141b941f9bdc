#include "inspire_hand.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cmath>

namespace sim {

namespace {

constexpr unsigned char kReadCommand = 0x11;
constexpr unsigned char kWriteCommand = 0x12;
constexpr unsigned char kFastCommand = 0x20;
constexpr std::uint16_t kNoTarget = 0xFFFF;  // -1: leave the joint where it is
constexpr double kFullStroke = 1000.0;

std::uint8_t sum_of(const std::string& bytes, std::size_t from, std::size_t to) {
    unsigned int sum = 0;
    for (std::size_t i = from; i < to; ++i) {
        sum += static_cast<std::uint8_t>(bytes[i]);
    }
    return static_cast<std::uint8_t>(sum);
}

bool overlaps(std::uint16_t address, std::size_t length, std::size_t from, std::size_t count) {
    return address < from + count && from < address + length;
}

std::string json_text(const rapidjson::Value& value) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace

InspireHand::InspireHand(std::string address, unsigned char hand_id) : Hand(std::move(address)), hand_id_(hand_id) {
    for (std::size_t j = 0; j < kJoints; ++j) {
        speed_[j] = kFullStroke;
        put_word(static_cast<std::uint16_t>(kSpeed + 2 * j), 1000);
        put_word(static_cast<std::uint16_t>(kCurrentLimit + 2 * j), 1000);
    }
    set_identity(default_identity("QSH", ip()));
    put_config_member("id", std::to_string(hand_id));
    put_config_member("ip", json_string(ip()));
    put_config_member("gateway", json_string("192.168.137.1"));
}

void InspireHand::clock_changed(Clock::time_point old_now, Clock::time_point new_now) {
    since_ += new_now - old_now;
}

void InspireHand::set_quirks(Quirks quirks) {
    std::lock_guard<std::mutex> lock(mutex_);
    quirks_ = std::move(quirks);
}

// ---------------------------------------------------------------------------
// Motion: each joint runs from where it was at since_ toward its target at
// its speed; its position is worked out when someone asks.

double InspireHand::position_at(std::size_t joint, Clock::time_point now) const {
    const double seconds = std::chrono::duration<double>(now - since_).count();
    const double travel = speed_[joint] * seconds;
    const double gap = target_[joint] - start_[joint];
    if (std::fabs(gap) <= travel) {
        return target_[joint];
    }
    return start_[joint] + (gap > 0 ? travel : -travel);
}

void InspireHand::rebase(Clock::time_point now) {
    for (std::size_t j = 0; j < kJoints; ++j) {
        start_[j] = position_at(j, now);
    }
    since_ = now;
}

void InspireHand::refresh_positions(Clock::time_point now) {
    for (std::size_t j = 0; j < kJoints; ++j) {
        put_word(static_cast<std::uint16_t>(kPosition + 2 * j),
                 static_cast<std::uint16_t>(std::lround(position_at(j, now))));
    }
}

std::uint16_t InspireHand::word(std::uint16_t address) const {
    return static_cast<std::uint16_t>(registers_[address] | registers_[address + 1u] << 8);
}

void InspireHand::put_word(std::uint16_t address, std::uint16_t value) {
    registers_[address] = static_cast<std::uint8_t>(value & 0xFFu);
    registers_[address + 1u] = static_cast<std::uint8_t>(value >> 8);
}

void InspireHand::apply_write(std::uint16_t address, const std::vector<std::uint8_t>& data, Clock::time_point now) {
    rebase(now);
    std::copy(data.begin(), data.end(), registers_.begin() + address);

    for (std::size_t j = 0; j < kJoints; ++j) {
        const auto target = static_cast<std::uint16_t>(kTarget + 2 * j);
        if (overlaps(address, data.size(), target, 2)) {
            const std::uint16_t value = word(target);
            if (value == kNoTarget) {
                put_word(target, static_cast<std::uint16_t>(target_[j]));
            } else {
                // Anything else outside the stroke (negative as well) is held at its ends.
                const auto signed_value = static_cast<std::int16_t>(value);
                target_[j] = std::clamp<double>(signed_value, 0.0, kFullStroke);
                put_word(target, static_cast<std::uint16_t>(target_[j]));
            }
        }
        const auto speed = static_cast<std::uint16_t>(kSpeed + 2 * j);
        if (overlaps(address, data.size(), speed, 2)) {
            speed_[j] = word(speed);
        }
    }
    if (overlaps(address, data.size(), kClearError, 1)) {
        if (registers_[kClearError] == 1) {
            std::fill_n(registers_.begin() + kError, kJoints, 0);
        }
        registers_[kClearError] = 0;
    }
}

// ---------------------------------------------------------------------------
// Register frames: EB 90 id L cmd [address] data checksum in, answers
// 90 EB id L cmd [address] data checksum out.

std::string InspireHand::reply(unsigned char command, const unsigned char* address,
                               const std::vector<std::uint8_t>& data) const {
    std::string out;
    out += static_cast<char>(0x90);
    out += static_cast<char>(0xEB);
    out += static_cast<char>(quirks_.reply_hand_id >= 0 ? quirks_.reply_hand_id : hand_id_);
    out += '\0';
    out += static_cast<char>(quirks_.wrong_command_echo ? command ^ 0x40 : command);
    if (address != nullptr) {
        out += static_cast<char>(quirks_.wrong_address_echo ? address[0] + 2 : address[0]);
        out += static_cast<char>(address[1]);
    }
    out.append(data.begin(), data.end());
    out[3] = static_cast<char>(out.size() - 4 + (quirks_.wrong_length ? 1 : 0));
    out += static_cast<char>(sum_of(out, 2, out.size()) + (quirks_.wrong_checksum ? 1 : 0));
    if (quirks_.truncate_to > 0 && out.size() > quirks_.truncate_to) {
        out.resize(quirks_.truncate_to);
    }
    return out;
}

std::vector<std::string> InspireHand::handle_register_frame(const std::string& datagram) {
    const auto byte = [&datagram](std::size_t i) { return static_cast<std::uint8_t>(datagram[i]); };
    // A frame may sit at the start of a longer, zero-padded datagram.
    if (datagram.size() < 5 || byte(0) != 0xEB || byte(1) != 0x90 || datagram.size() < byte(3) + 5u ||
        sum_of(datagram, 2, byte(3) + 4u) != byte(byte(3) + 4u)) {
        ++bad_frames_;
        return {};
    }
    if (byte(2) != hand_id_) {
        return {};  // for another hand on the bus
    }
    const std::size_t length = byte(3);
    const unsigned char command = byte(4);
    const auto now = Hand::now();

    if (command == kFastCommand) {
        if (length != 1 + 22) {
            ++bad_frames_;
            return {};
        }
        // The six targets; the five words after them are taken and not used.
        apply_write(kTarget, std::vector<std::uint8_t>(datagram.begin() + 5, datagram.begin() + 17), now);
        refresh_positions(now);
        return {reply(command, nullptr,
                      std::vector<std::uint8_t>(registers_.begin() + kPosition,
                                                registers_.begin() + kPosition + 2 * kJoints))};
    }
    if ((command != kReadCommand && command != kWriteCommand) || length < 4) {
        ++bad_frames_;
        return {};
    }
    const unsigned char address_bytes[2] = {byte(5), byte(6)};
    const auto address = static_cast<std::uint16_t>(address_bytes[0] | address_bytes[1] << 8);

    if (command == kReadCommand) {
        const std::size_t count = byte(7);
        if (length != 4 || address + count > kRegisterBytes) {
            ++bad_frames_;
            return {};
        }
        if (quirks_.silent_reads.count(address) != 0) {
            return {};
        }
        refresh_positions(now);
        return {reply(command, address_bytes,
                      std::vector<std::uint8_t>(registers_.begin() + address, registers_.begin() + address + count))};
    }

    const std::vector<std::uint8_t> data(datagram.begin() + 7, datagram.begin() + 4 + static_cast<long>(length));
    if (address + data.size() > kRegisterBytes) {
        ++bad_frames_;
        return {};
    }
    apply_write(address, data, now);
    return {reply(command, address_bytes, {0x01})};
}

// ---------------------------------------------------------------------------
// Configuration: a GET answers with the configuration object; any other
// object sets the members it carries and answers with the result.

void InspireHand::put_config_member(const std::string& key, const std::string& json_value) {
    for (auto& member : config_) {
        if (member.first == key) {
            member.second = json_value;
            return;
        }
    }
    config_.emplace_back(key, json_value);
}

std::string InspireHand::config_text_locked() const {
    std::string text = "{\"reqTarget\":\"/config\"";
    for (const auto& member : config_) {
        text += "," + json_string(member.first) + ":" + member.second;
    }
    return text + "}";
}

std::vector<std::string> InspireHand::handle_config(const std::string& datagram) {
    rapidjson::Document request;
    request.Parse(datagram.data(), datagram.size());
    if (request.HasParseError() || !request.IsObject()) {
        return {"{\"reqTarget\":\"/config\",\"error\":\"bad request\"}"};
    }
    const auto text_member = [&request](const char* key) -> std::string {
        const auto found = request.FindMember(key);
        return found != request.MemberEnd() && found->value.IsString() ? found->value.GetString() : "";
    };
    if (text_member("method") != "GET") {
        for (const auto& member : request.GetObject()) {
            const std::string key(member.name.GetString(), member.name.GetStringLength());
            if (key != "method" && key != "reqTarget" && key != "property") {
                put_config_member(key, json_text(member.value));
            }
        }
    } else if (text_member("reqTarget") != "/config") {
        return {"{\"reqTarget\":" + json_string(text_member("reqTarget")) + ",\"error\":\"unknown target\"}"};
    }
    return {config_text_locked()};
}

std::vector<std::string> InspireHand::handle(unsigned short port, const std::string& datagram) {
    // A lively hand's faults set a bit of a joint's error byte until cleared.
    for (const std::uint32_t pick : fault_schedule_.due(Hand::now())) {
        registers_[kError + pick % kJoints] |= static_cast<std::uint8_t>(1u << ((pick >> 8) % 5));
    }
    if (port == kCtrlPort) {
        return handle_register_frame(datagram);
    }
    if (port == kCommPort) {
        return handle_config(datagram);
    }
    return {};
}

// ---------------------------------------------------------------------------
// Accessors for tests and users of the simulator

void InspireHand::set_positions(const Values& positions) {
    std::lock_guard<std::mutex> lock(mutex_);
    since_ = Hand::now();
    for (std::size_t j = 0; j < kJoints; ++j) {
        start_[j] = target_[j] = std::min<double>(positions[j], kFullStroke);
        put_word(static_cast<std::uint16_t>(kTarget + 2 * j), static_cast<std::uint16_t>(target_[j]));
    }
}

InspireHand::Values InspireHand::positions() const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = Hand::now();
    Values out{};
    for (std::size_t j = 0; j < kJoints; ++j) {
        out[j] = static_cast<std::uint16_t>(std::lround(position_at(j, now)));
    }
    return out;
}

InspireHand::Values InspireHand::targets() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Values out{};
    for (std::size_t j = 0; j < kJoints; ++j) {
        out[j] = static_cast<std::uint16_t>(target_[j]);
    }
    return out;
}

InspireHand::Values InspireHand::speeds() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Values out{};
    for (std::size_t j = 0; j < kJoints; ++j) {
        out[j] = word(static_cast<std::uint16_t>(kSpeed + 2 * j));
    }
    return out;
}

void InspireHand::set_errors(const std::array<std::uint8_t, kJoints>& errors) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::copy(errors.begin(), errors.end(), registers_.begin() + kError);
}

std::array<std::uint8_t, InspireHand::kJoints> InspireHand::errors() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::array<std::uint8_t, kJoints> out{};
    std::copy_n(registers_.begin() + kError, kJoints, out.begin());
    return out;
}

void InspireHand::set_status(const std::array<std::uint8_t, kJoints>& status) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::copy(status.begin(), status.end(), registers_.begin() + kStatus);
}

void InspireHand::set_currents(const Values& currents) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t j = 0; j < kJoints; ++j) {
        put_word(static_cast<std::uint16_t>(kCurrent + 2 * j), currents[j]);
    }
}

void InspireHand::set_current_limits(const Values& limits) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t j = 0; j < kJoints; ++j) {
        put_word(static_cast<std::uint16_t>(kCurrentLimit + 2 * j), limits[j]);
    }
}

InspireHand::Values InspireHand::current_limits() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Values out{};
    for (std::size_t j = 0; j < kJoints; ++j) {
        out[j] = word(static_cast<std::uint16_t>(kCurrentLimit + 2 * j));
    }
    return out;
}

void InspireHand::set_config_member(const std::string& key, const std::string& json_value) {
    std::lock_guard<std::mutex> lock(mutex_);
    put_config_member(key, json_value);
}

std::string InspireHand::config_text() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return config_text_locked();
}

std::size_t InspireHand::bad_frames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bad_frames_;
}

}  // namespace sim
