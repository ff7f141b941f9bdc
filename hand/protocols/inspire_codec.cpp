#include "protocols/inspire_codec.h"

#include "protocols/peer_json.h"

#include <rapidjson/document.h>
#include <rapidjson/memorystream.h>

#include <cmath>
#include <limits>

namespace BaseHandProtocol {

namespace inspire_codec {

std::uint16_t magnitude16(unsigned char high, unsigned char low) {
    const auto pattern = static_cast<std::uint16_t>(high << 8 | low);
    if ((pattern & 0x8000u) == 0 || pattern == 0x8000u) {
        return pattern;
    }
    return static_cast<std::uint16_t>(0x10000u - pattern);
}

unsigned char checksum(const unsigned char* frame, std::size_t checksum_offset) {
    unsigned int sum = 0;
    for (std::size_t i = 2; i < checksum_offset; ++i) {
        sum += frame[i];
    }
    return static_cast<unsigned char>(sum & 0xFFu);
}

namespace {

// EB 90 id L cmd [address] data checksum into frame; data must fit.
Frame frame_of(unsigned char hand_id, unsigned char command, const unsigned char* address, const unsigned char* data,
               std::size_t length) {
    Frame frame;
    auto& b = frame.bytes;
    std::size_t n = 0;
    b[n++] = 0xEB;
    b[n++] = 0x90;
    b[n++] = hand_id;
    b[n++] = 0;
    b[n++] = command;
    if (address != nullptr) {
        b[n++] = address[0];
        b[n++] = address[1];
    }
    for (std::size_t i = 0; i < length; ++i) {
        b[n++] = data[i];
    }
    b[3] = static_cast<unsigned char>(n - 4);
    b[n] = checksum(b.data(), n);
    frame.size = n + 1;
    return frame;
}

}  // namespace

std::vector<unsigned char> request(unsigned char hand_id, unsigned char command, const unsigned char* address,
                                   const std::vector<unsigned char>& data) {
    std::vector<unsigned char> frame = {0xEB, 0x90, hand_id, 0, command};
    if (address != nullptr) {
        frame.push_back(address[0]);
        frame.push_back(address[1]);
    }
    frame.insert(frame.end(), data.begin(), data.end());
    frame[3] = static_cast<unsigned char>(frame.size() - 4);
    frame.push_back(checksum(frame.data(), frame.size()));
    return frame;
}

namespace {

std::array<unsigned char, 2> little_endian(std::uint16_t value) {
    return {static_cast<unsigned char>(value & 0xFFu), static_cast<unsigned char>(value >> 8)};
}

void append_word(std::vector<unsigned char>& bytes, std::uint16_t value) {
    const auto pair = little_endian(value);
    bytes.insert(bytes.end(), pair.begin(), pair.end());
}

std::vector<unsigned char> register_words(const Registers& registers) {
    std::vector<unsigned char> data;
    for (const std::int16_t value : registers) {
        append_word(data, static_cast<std::uint16_t>(value));
    }
    return data;
}

const unsigned char* byte_at(std::string_view reply, std::size_t offset) {
    return reinterpret_cast<const unsigned char*>(reply.data()) + offset;
}

// Offsets of the 16-bit values of a read reply: 7, 9, ... while i < len - 2.
std::size_t word_count(std::string_view reply) {
    if (reply.size() < kDataOffset + 3) {
        return 0;
    }
    return (reply.size() - 2 - kDataOffset + 1) / 2;
}

// Data bytes of a read reply: offset 7 up to the byte before the last.
std::size_t data_byte_count(std::string_view reply) {
    return reply.size() > kDataOffset + 1 ? reply.size() - kDataOffset - 1 : 0;
}

}  // namespace

std::vector<unsigned char> read_request(unsigned char hand_id, std::uint16_t address, unsigned char count) {
    return request(hand_id, kRead, little_endian(address).data(), {count});
}

std::vector<unsigned char> write_request(unsigned char hand_id, std::uint16_t address,
                                         const std::vector<unsigned char>& data) {
    return request(hand_id, kWrite, little_endian(address).data(), data);
}

std::int16_t position_register(float value) {
    if (std::isnan(value)) {
        return kKeepTarget;  // no target is safer than an undefined one
    }
    if (value > 1.0f) {
        value = 1.0f;
    }
    if (value < 0.0f) {
        return kKeepTarget;
    }
    return static_cast<std::int16_t>(value * 1000.0f);
}

Registers position_registers(const std::vector<float>& positions) {
    Registers registers{};
    for (std::size_t slot = 0; slot < kJoints; ++slot) {
        registers[slot] = position_register(positions.at(kJointOfSlot[slot]));
    }
    return registers;
}

Frame read_frame(unsigned char hand_id, std::uint16_t address, unsigned char count) {
    return frame_of(hand_id, kRead, little_endian(address).data(), &count, 1);
}

namespace {

// The registers as little-endian words, then extra words of 1000.
std::size_t words_into(const Registers& registers, int extra, unsigned char* out) {
    std::size_t n = 0;
    const auto put = [&out, &n](std::uint16_t value) {
        const auto pair = little_endian(value);
        out[n++] = pair[0];
        out[n++] = pair[1];
    };
    for (const std::int16_t value : registers) {
        put(static_cast<std::uint16_t>(value));
    }
    for (int i = 0; i < extra; ++i) {
        put(1000);
    }
    return n;
}

}  // namespace

Frame set_pos_frame(unsigned char hand_id, const Registers& registers) {
    unsigned char data[2 * kJoints];
    const std::size_t length = words_into(registers, 0, data);
    return frame_of(hand_id, kWrite, little_endian(kTargetRegister).data(), data, length);
}

Frame fast_positions_frame(unsigned char hand_id, const Registers& registers) {
    unsigned char data[2 * kJoints + 10];
    const std::size_t length = words_into(registers, 5, data);
    return frame_of(hand_id, kFastPositions, nullptr, data, length);
}

std::vector<unsigned char> set_pos_request(unsigned char hand_id, const Registers& registers) {
    return write_request(hand_id, kTargetRegister, register_words(registers));
}

std::vector<unsigned char> fast_positions_request(unsigned char hand_id, const Registers& registers) {
    std::vector<unsigned char> data = register_words(registers);
    for (int word = 0; word < 5; ++word) {
        append_word(data, 1000);
    }
    return request(hand_id, kFastPositions, nullptr, data);
}

std::uint16_t speed_word(float value) {
    // Truncation toward zero to 32 bits; values outside that range (and NaN)
    // would be undefined, so they are pinned first.
    std::int32_t whole = 0;
    if (std::isnan(value)) {
        whole = 0;
    } else if (value >= 2147483648.0f) {
        whole = std::numeric_limits<std::int32_t>::max();
    } else if (value < -2147483648.0f) {
        whole = std::numeric_limits<std::int32_t>::min();
    } else {
        whole = static_cast<std::int32_t>(value);
    }
    return static_cast<std::uint16_t>(static_cast<std::uint32_t>(whole) & 0xFFFFu);
}

std::vector<unsigned char> velocity_request(unsigned char hand_id, const std::vector<float>& speeds) {
    std::vector<unsigned char> data;
    for (const float speed : speeds) {
        append_word(data, speed_word(speed));
    }
    return write_request(hand_id, kSpeedRegister, data);
}

bool accepts(std::string_view reply, unsigned char hand_id, unsigned char command, std::uint16_t address) {
    if (reply.size() < kDataOffset) {
        return false;
    }
    const unsigned char* b = byte_at(reply, 0);
    const auto echo = little_endian(address);
    return b[0] == 0x90 && b[1] == 0xEB && b[2] == hand_id && b[4] == command && b[5] == echo[0] && b[6] == echo[1];
}

bool accepts_fast(std::string_view reply, unsigned char hand_id) {
    if (reply.size() < 5) {
        return false;
    }
    const unsigned char* b = byte_at(reply, 0);
    return b[0] == 0x90 && b[1] == 0xEB && b[2] == hand_id && b[4] == kFastPositions;
}

bool decode_positions(std::string_view reply, std::vector<float>& out) {
    if (word_count(reply) < kJoints) {
        return false;
    }
    std::array<float, kJoints> raw{};
    for (std::size_t k = 0; k < kJoints; ++k) {
        const std::size_t i = kDataOffset + 2 * k;
        raw[k] = static_cast<float>(static_cast<std::int16_t>(magnitude16(*byte_at(reply, i + 1), *byte_at(reply, i))));
    }
    out.clear();
    out.reserve(kJointOfSlot.size());
    for (const std::size_t slot : kJointOfSlot) {
        out.push_back(raw[slot] / 1000.0f);
    }
    return true;
}

bool decode_words(std::string_view reply, std::vector<float>& out) {
    const std::size_t count = word_count(reply);
    if (count < kJoints) {
        return false;
    }
    out.clear();
    out.reserve(count);
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t i = kDataOffset + 2 * k;
        out.push_back(static_cast<float>(magnitude16(*byte_at(reply, i + 1), *byte_at(reply, i))));
    }
    return true;
}

bool decode_error_bytes(std::string_view reply, std::vector<long>& out) {
    const std::size_t count = data_byte_count(reply);
    if (count < kJoints) {
        return false;
    }
    out.clear();
    out.reserve(count);
    for (std::size_t k = 0; k < count; ++k) {
        out.push_back(static_cast<long>(static_cast<signed char>(*byte_at(reply, kDataOffset + k))));
    }
    return true;
}

bool decode_status_bytes(std::string_view reply, std::vector<unsigned char>& out) {
    const std::size_t count = data_byte_count(reply);
    if (count < kJoints) {
        return false;
    }
    out.assign(byte_at(reply, kDataOffset), byte_at(reply, kDataOffset + count));
    return true;
}

ConfigReply judge_config_reply(std::string_view text) {
    rapidjson::Document doc;
    if (!peer_json::parse(text, doc)) {
        return ConfigReply::NotJson;
    }
    if (!doc.IsObject()) {
        return ConfigReply::NoTarget;
    }
    const auto target = doc.FindMember("reqTarget");
    if (target == doc.MemberEnd() || !target->value.IsString()) {
        return ConfigReply::NoTarget;
    }
    if (std::string_view(target->value.GetString(), target->value.GetStringLength()) != "/config") {
        return ConfigReply::OtherTarget;
    }
    return ConfigReply::Config;
}

}  // namespace inspire_codec

}  // namespace BaseHandProtocol
