#include "protocols/qmhv1_codec.h"

#include "protocols/peer_json.h"

#include <rapidjson/document.h>
#include <rapidjson/memorystream.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <sstream>

namespace BaseHandProtocol {

namespace qmhv1_codec {

void append_float(std::vector<unsigned char>& frame, float value) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof(bits));
    frame.push_back(static_cast<unsigned char>(bits >> 24));
    frame.push_back(static_cast<unsigned char>(bits >> 16));
    frame.push_back(static_cast<unsigned char>(bits >> 8));
    frame.push_back(static_cast<unsigned char>(bits));
}

std::vector<unsigned char> calibration_frame() { return {0x01, 0x01}; }
std::vector<unsigned char> disable_frame() { return {0x01}; }
std::vector<unsigned char> clear_errorcode_frame() { return {0x01, 0xF1, 0x00, 0x00}; }
std::vector<unsigned char> reset_pid_frame() { return {0x01, 0x0B}; }

std::vector<unsigned char> pid_frame(unsigned char command, unsigned char id, const std::vector<float>& pid) {
    std::vector<unsigned char> frame{0x01, command, 0x00, id};
    for (std::size_t i = 0; i < 3; ++i) {
        append_float(frame, i < pid.size() ? pid[i] : 0.0f);
    }
    return frame;
}

std::vector<unsigned char> pos_limit_frame(unsigned char id, float lower, float upper) {
    std::vector<unsigned char> frame{0x01, 0x08, 0x00, id};
    append_float(frame, lower);
    append_float(frame, upper);
    return frame;
}

// The hand knows this one frame for per-joint limits; its first byte is 00.
std::vector<unsigned char> velocity_limit_frame(unsigned char id, float limit) {
    std::vector<unsigned char> frame{0x00, 0x09, 0x00, id};
    append_float(frame, limit);
    return frame;
}

PositionsBytes positions_bytes(const std::array<float, kJoints>& targets) {
    PositionsBytes frame{0x01, 0x11, 0x00, 0x00};
    std::size_t at = 4;
    for (const float target : targets) {
        std::uint32_t bits = 0;
        std::memcpy(&bits, &target, sizeof(bits));
        for (int shift = 24; shift >= 0; shift -= 8) {
            frame[at++] = static_cast<unsigned char>(bits >> shift);
        }
    }
    return frame;
}

std::vector<unsigned char> positions_frame(const std::array<float, kJoints>& targets) {
    const PositionsBytes bytes = positions_bytes(targets);
    return {bytes.begin(), bytes.end()};
}

std::vector<unsigned char> cnt_request() { return {0x01}; }
std::vector<unsigned char> pos_request() { return {kPosRequest.begin(), kPosRequest.end()}; }
std::vector<unsigned char> velocity_request() { return {0x03}; }
std::vector<unsigned char> current_request() { return {0x04}; }
std::vector<unsigned char> status_request() { return {0x05}; }
std::vector<unsigned char> errorcode_request() { return {0x06}; }
std::vector<unsigned char> pos_limit_request() { return {0x0B}; }
std::vector<unsigned char> velocity_limit_request() { return {0x0C}; }
std::vector<unsigned char> current_limit_request() { return {0x0D}; }
std::vector<unsigned char> reboot_request() { return {0xF1}; }
std::vector<unsigned char> config_request() { return std::vector<unsigned char>(6, 0xFF); }

IdentityCheck ip_frame(const std::vector<int>& octets, std::vector<unsigned char>& frame) {
    if (octets.size() > 4) {
        return IdentityCheck::TooLong;
    }
    std::vector<unsigned char> out(5, 0x00);
    out[0] = 0x23;
    for (std::size_t i = 0; i < octets.size(); ++i) {
        if (octets[i] < 0 || octets[i] > 255) {
            return IdentityCheck::OutOfRange;
        }
        out[i + 1] = static_cast<unsigned char>(octets[i]);
    }
    frame = std::move(out);
    return IdentityCheck::Ok;
}

IdentityCheck mac_frame(const std::vector<int>& bytes, std::vector<unsigned char>& frame) {
    if (bytes.size() > 6) {
        return IdentityCheck::TooLong;
    }
    std::vector<unsigned char> out(7, 0x00);
    out[0] = 0x24;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        out[i + 1] = static_cast<unsigned char>(bytes[i] & 0xFF);
    }
    frame = std::move(out);
    return IdentityCheck::Ok;
}

IdentityCheck sn_frame(const std::string& sn, std::vector<unsigned char>& frame) {
    if (sn.size() > 31) {
        return IdentityCheck::TooLong;
    }
    std::vector<unsigned char> out(32, 0x00);
    out[0] = 0x25;
    std::copy(sn.begin(), sn.end(), out.begin() + 1);
    frame = std::move(out);
    return IdentityCheck::Ok;
}

std::vector<std::string_view> split_tokens(std::string_view text) {
    std::vector<std::string_view> tokens;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t space = text.find(' ', start);
        if (space == std::string_view::npos) {
            tokens.push_back(text.substr(start));
            break;
        }
        tokens.push_back(text.substr(start, space - start));
        start = space + 1;
    }
    return tokens;
}

namespace {

// Plain decimals ([-]digits[.digits], short enough to be in range) are read
// without building a stream: the same correctly rounded value the stream
// gives. Everything else goes through the stream, which leaves 0 where no
// number can be read and the type's extreme where a number is out of range.
bool plain_decimal(std::string_view token) {
    std::size_t at = token.size() > 0 && token[0] == '-' ? 1 : 0;
    const std::size_t digits_from = at;
    while (at < token.size() && token[at] >= '0' && token[at] <= '9') {
        ++at;
    }
    if (at == digits_from || token.size() > 18) {
        return false;
    }
    if (at < token.size() && token[at] == '.') {
        const std::size_t fraction_from = ++at;
        while (at < token.size() && token[at] >= '0' && token[at] <= '9') {
            ++at;
        }
        if (at == fraction_from) {
            return false;
        }
    }
    return at == token.size();
}

template <class T>
T token_value(std::string_view token) {
    T value{};
    if (plain_decimal(token)) {
        const auto result = std::from_chars(token.data(), token.data() + token.size(), value);
        if (result.ec == std::errc() && result.ptr == token.data() + token.size()) {
            return value;
        }
        value = T{};
    }
    std::istringstream in{std::string(token)};
    in >> value;
    return value;
}

// Calls each(value) for every space-separated token, in order.
template <class T, class Each>
void for_each_value(std::string_view text, Each each) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t space = text.find(' ', start);
        if (space == std::string_view::npos) {
            space = text.size();
        }
        each(token_value<T>(text.substr(start, space - start)));
        start = space + 1;
    }
}

template <class T>
std::vector<T> decode_as(std::string_view text) {
    std::vector<T> values;
    for_each_value<T>(text, [&values](T value) { values.push_back(value); });
    return values;
}

}  // namespace

std::size_t decode_floats(std::string_view text, float* out, std::size_t room) {
    std::size_t count = 0;
    for_each_value<float>(text, [&](float value) {
        if (count < room) {
            out[count] = value;
        }
        ++count;
    });
    return count;
}

std::vector<float> decode_floats(std::string_view text) { return decode_as<float>(text); }

std::vector<long> decode_integers(std::string_view text) { return decode_as<long>(text); }

std::vector<unsigned char> decode_status(std::string_view text) {
    std::vector<unsigned char> status;
    for (const int value : decode_as<int>(text)) {
        status.push_back(static_cast<unsigned char>(value));
    }
    return status;
}

bool usable_pos_limits(const std::vector<float>& limits) {
    if (limits.size() < 2 * kJoints) {
        return false;
    }
    // Positions are divided by the full-scale values: zero, negative, infinite
    // or NaN ones would turn every reading and every target into nonsense.
    for (std::size_t i = 0; i < kJoints; ++i) {
        const float full_scale = limits[2 * i + 1];
        if (!std::isfinite(full_scale) || !(full_scale > 0.0f)) {
            return false;
        }
    }
    return true;
}

bool normalise_positions(const float* raw, const std::vector<float>& limits, std::vector<float>& out) {
    if (!usable_pos_limits(limits)) {
        return false;
    }
    out.clear();
    out.reserve(kJoints);
    for (std::size_t i = 0; i < kJoints; ++i) {
        out.push_back(1.0f - raw[i] / limits[2 * i + 1]);
    }
    return true;
}

std::vector<float> normalise_positions(const std::vector<float>& raw, const std::vector<float>& limits) {
    std::vector<float> positions;
    if (raw.size() == kJoints) {
        normalise_positions(raw.data(), limits, positions);
    }
    return positions;
}

PositionCheck position_targets(const std::vector<float>& pos, const std::vector<float>& limits,
                               std::array<float, kJoints>& targets) {
    if (!usable_pos_limits(limits)) {
        return PositionCheck::NoLimits;
    }
    const auto is_hold = [](float x) { return x == kHold; };
    if (pos.size() != kJoints) {
        if (!std::all_of(pos.begin(), pos.end(), is_hold)) {
            return PositionCheck::SizeNotSix;
        }
        // The frame always carries six targets.
        targets.fill(kHold);
        return PositionCheck::Ok;
    }
    if (std::all_of(pos.begin(), pos.end(), [](float x) { return x < 0.0f; }) &&
        std::none_of(pos.begin(), pos.end(), is_hold)) {
        return PositionCheck::AllNegative;
    }
    for (std::size_t i = 0; i < kJoints; ++i) {
        float x = pos[i];
        if (x > 1.0f) {
            x = 1.0f;
        }
        if (x < 0.0f) {
            x = kHold;
        }
        targets[i] = x == kHold ? kHold : (1.0f - x) * limits[2 * i + 1];
    }
    return PositionCheck::Ok;
}

ConfigReply judge_config_reply(std::string_view text) {
    if (text.empty()) {
        return ConfigReply::Empty;
    }
    rapidjson::Document document;
    if (!peer_json::parse(text, document)) {
        return ConfigReply::NotJson;
    }
    if (!document.IsObject()) {
        return ConfigReply::NotObject;
    }
    const auto member = document.FindMember("hardware_verison");
    if (member == document.MemberEnd() || !member->value.IsArray()) {
        return ConfigReply::CheckFailed;
    }
    return ConfigReply::Accepted;
}

namespace {

// An array member as 32-bit integers: Absent when missing or not an array,
// Invalid when an element is anything else.
ItemState int_array(const rapidjson::Document& document, const char* key, std::vector<int>& values) {
    const auto member = document.FindMember(key);
    if (member == document.MemberEnd() || !member->value.IsArray()) {
        return ItemState::Absent;
    }
    for (const auto& element : member->value.GetArray()) {
        if (!element.IsInt()) {
            values.clear();
            return ItemState::Invalid;
        }
        values.push_back(element.GetInt());
    }
    return ItemState::Present;
}

}  // namespace

ConfigItems parse_config(const std::string& text) {
    ConfigItems items;
    rapidjson::Document document;
    // The bytes as they came: Parse(text, length) would skip any of the three
    // byte-order-mark bytes before the text, which discovery does not.
    rapidjson::MemoryStream stream(text.data(), text.size());
    document.ParseStream(stream);
    if (document.HasParseError()) {
        return items;
    }
    items.parsed = true;
    if (!document.IsObject()) {
        return items;
    }
    items.object = true;

    const auto sn = document.FindMember("sn");
    if (sn != document.MemberEnd() && sn->value.IsString()) {
        items.sn = ItemState::Present;
        items.sn_text.assign(sn->value.GetString(), sn->value.GetStringLength());
    }
    items.mac = int_array(document, "mac_address", items.mac_values);
    items.ip = int_array(document, "static_ip", items.ip_values);
    return items;
}

std::atomic<int>& current_recv_counts() {
    static std::atomic<int> counter{0};
    return counter;
}

std::atomic<int>& velocity_recv_counts() {
    static std::atomic<int> counter{0};
    return counter;
}

bool count_empty_poll(std::atomic<int>& counter, int limit, long long polls) {
    // Read, increment and reset as one step: hands read from other threads
    // share the counter.
    int seen = counter.load();
    bool reached = false;
    int next = 0;
    do {
        reached = seen + polls >= limit;
        next = reached ? 0 : static_cast<int>(seen + polls);
    } while (!counter.compare_exchange_weak(seen, next));
    return reached;
}

long long empty_polls_left(const std::atomic<int>& counter, int limit) {
    return std::max<long long>(1, static_cast<long long>(limit) - counter.load());
}

}  // namespace qmhv1_codec

}  // namespace BaseHandProtocol
