#include "protocols/inspire.h"

#include <rapidjson/document.h>

#include <cmath>
#include <limits>

namespace BaseHandProtocol {

using Diagnostics::emit;
using Diagnostics::Level;
using Diagnostics::Stream;

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
        return -1;  // no target is safer than an undefined one
    }
    if (value > 1.0f) {
        value = 1.0f;
    }
    if (value < 0.0f) {
        return -1;
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

}  // namespace inspire_codec

namespace codec = inspire_codec;

namespace {

constexpr int kShortBudgetMs = 100;
constexpr int kLongBudgetMs = 1000;

const char* const kConfigRequest = R"({"method":"GET","reqTarget":"/config","property":""})";

}  // namespace

Inspire::Inspire(std::string ip_text) : BaseHand(), hand_id(1) {
    default_pos.assign(codec::kJoints, 0.0f);
    default_velocity.assign(codec::kJoints, 0.0f);
    default_current.assign(codec::kJoints, 0.0f);
    ip = std::move(ip_text);
    open_endpoints(ip, codec::kJoints);
}

Inspire::~Inspire() = default;

std::uint16_t Inspire::combineTo16Bit(unsigned char high, unsigned char low) { return codec::magnitude16(high, low); }

// ---------------------------------------------------------------------------
// The timed exchanges

int Inspire::exchange_frame(std::vector<unsigned char>& frame, bool padded, int budget_ms, bool report_send_failure,
                            std::function<Verdict(std::string_view)> judge) {
    Exchange e;
    e.endpoint = ctrl_udp_socket.get();
    e.payload = padded ? Payload::padded(frame)
                       : Payload::exact(frame.data(), static_cast<unsigned short>(frame.size()));
    e.budget_ms = budget_ms;
    e.on_send_failure = SendFailure::Retry;
    if (report_send_failure) {
        e.send_failed = [] { emit(Level::warning, "ctrl send data failed"); };
    }
    e.reply_form = ReplyForm::Bytes;
    e.judge = std::move(judge);
    e.address = ip;
    return run_exchange(e);
}

int Inspire::read_registers(std::uint16_t address, unsigned char count, bool padded, int budget_ms,
                            bool report_send_failure, const std::function<bool(std::string_view)>& decode) {
    std::vector<unsigned char> frame = codec::read_request(hand_id, address, count);
    const unsigned char id = hand_id;
    return exchange_frame(frame, padded, budget_ms, report_send_failure, [&decode, id, address](std::string_view r) {
        if (!codec::accepts(r, id, codec::kRead, address) || !decode(r)) {
            emit(Level::error, "[ERROR] ");
            return Verdict::Ignore;
        }
        return Verdict::Accept;
    });
}

// ---------------------------------------------------------------------------
// Reads

int Inspire::get_pos(std::vector<float>& pos) {
    pos.clear();
    return read_registers(codec::kPositionRegister, 12, false, kShortBudgetMs, false,
                          [&pos](std::string_view r) { return codec::decode_positions(r, pos); });
}

int Inspire::get_errorcode(std::vector<long>& codes) {
    codes.clear();
    return read_registers(codec::kErrorRegister, 6, false, kShortBudgetMs, false,
                          [&codes](std::string_view r) { return codec::decode_error_bytes(r, codes); });
}

int Inspire::get_status(std::vector<unsigned char>& status) {
    status.clear();
    return read_registers(codec::kStatusRegister, 6, true, kLongBudgetMs, false,
                          [&status](std::string_view r) { return codec::decode_status_bytes(r, status); });
}

int Inspire::get_current(std::vector<float>& current) {
    DEXHAND_TRACE();
    current.clear();
    return read_registers(codec::kCurrentRegister, 12, true, kLongBudgetMs, false,
                          [&current](std::string_view r) { return codec::decode_words(r, current); });
}

int Inspire::get_velocity(std::vector<float>& velocity) {
    DEXHAND_TRACE();
    velocity.clear();
    return read_registers(codec::kSpeedRegister, 12, true, kLongBudgetMs, false,
                          [&velocity](std::string_view r) { return codec::decode_words(r, velocity); });
}

int Inspire::get_current_limited(std::vector<float>& limits) {
    DEXHAND_TRACE();
    limits.clear();
    return read_registers(codec::kCurrentLimitRegister, 12, true, kLongBudgetMs, true,
                          [&limits](std::string_view r) { return codec::decode_words(r, limits); });
}

int Inspire::get_pvc(std::vector<std::vector<float>>& pvc) { return BaseHand::get_pvc(pvc); }

int Inspire::get_pos_limited(std::vector<float>&) {
    DEXHAND_TRACE();
    return kFailure;
}

int Inspire::get_velocity_limited(std::vector<float>&) {
    DEXHAND_TRACE();
    return kFailure;
}

int Inspire::get_cnt(std::vector<long>&) { return kFailure; }

int Inspire::get_ts_matrix(std::vector<std::vector<unsigned char>>&) { return kFailure; }

int Inspire::get_ts_tashan(std::vector<std::vector<float>>&) { return kFailure; }

int Inspire::get_ntc(int&) { return kFailure; }

// ---------------------------------------------------------------------------
// Writes

int Inspire::write_positions(const char* operation, int check_line, const std::vector<float>& pos, bool fast) {
    if (pos.size() != codec::kJoints) {
        emit(Level::error, std::string("[ERROR] [") + operation + "] line:" + std::to_string(check_line) +
                   " _cmd.size() == " + std::to_string(pos.size()) + " must be six ");
        return kFailure;
    }
    const codec::Registers registers = codec::position_registers(pos);
    const unsigned char id = hand_id;
    if (fast) {
        std::vector<unsigned char> frame = codec::fast_positions_request(id, registers);
        return exchange_frame(frame, false, kShortBudgetMs, false, [id](std::string_view r) {
            if (!codec::accepts_fast(r, id)) {
                emit(Level::warning, "[Warning] [inspire][fast_set_positions] recv data error");
                return Verdict::Ignore;
            }
            return Verdict::Accept;
        });
    }
    std::vector<unsigned char> frame = codec::set_pos_request(id, registers);
    return exchange_frame(frame, false, kShortBudgetMs, false, [id](std::string_view r) {
        if (!codec::accepts(r, id, codec::kWrite, codec::kTargetRegister)) {
            emit(Level::error, "[ERROR] ");
            return Verdict::Ignore;
        }
        return Verdict::Accept;
    });
}

int Inspire::set_pos(std::vector<float> pos) { return write_positions("set_pos", __LINE__, pos, false); }

int Inspire::fast_set_positions(std::vector<float> pos) {
    return write_positions("fast_set_positions", __LINE__, pos, true);
}

int Inspire::set_velocity(std::vector<float> velocity) {
    DEXHAND_TRACE();
    // The frame's length byte is fixed for six speeds: any other count would
    // leave the hand a frame that contradicts itself.
    if (velocity.size() != codec::kJoints) {
        emit(Level::error, "[ERROR] [set_velocity] line:" + std::to_string(__LINE__) +
                   " _cmd.size() == " + std::to_string(velocity.size()) + " must be six ");
        return kFailure;
    }
    std::vector<unsigned char> frame = codec::velocity_request(hand_id, velocity);
    return exchange_frame(frame, true, kLongBudgetMs, true, nullptr);
}

int Inspire::clear_errorcode() {
    std::vector<unsigned char> frame = codec::write_request(hand_id, codec::kClearErrorRegister, {0x01});
    const unsigned char id = hand_id;
    return exchange_frame(frame, false, kShortBudgetMs, false, [id](std::string_view r) {
        if (!codec::accepts(r, id, codec::kWrite, codec::kClearErrorRegister)) {
            emit(Level::error, "[ERROR] ");
            return Verdict::Ignore;
        }
        return Verdict::Accept;
    });
}

int Inspire::calibration() { return kSuccess; }

int Inspire::enable() { return kSuccess; }

int Inspire::disable() { return kFailure; }

int Inspire::reboot() { return kFailure; }

int Inspire::set_current(std::vector<float>) {
    DEXHAND_TRACE();
    return kFailure;
}

int Inspire::set_velocity_limited(unsigned char, float) {
    DEXHAND_TRACE();
    return kFailure;
}

int Inspire::set_pos_limited(unsigned char, float, float) {
    DEXHAND_TRACE();
    return kFailure;
}

int Inspire::set_current_limited(unsigned char, float) {
    DEXHAND_TRACE();
    return kFailure;
}

// ---------------------------------------------------------------------------
// Configuration channel

int Inspire::config_exchange(std::string& request, const char* operation, std::string* cfg) {
    const std::string prefix = std::string("[Warning] [Inspire::") + operation + "] ";

    Exchange e;
    e.endpoint = comm_udp_socket.get();
    e.payload = Payload::text(request);
    e.budget_ms = kLongBudgetMs;
    e.on_send_failure = SendFailure::Fail;
    e.send_failed = [&prefix] { emit(Level::warning, prefix + "comm_udp_socket->SendData(msg) failed"); };
    e.reply_form = ReplyForm::Text;
    e.judge = [&prefix, cfg](std::string_view reply) {
        if (reply.empty()) {
            return Verdict::Ignore;
        }
        rapidjson::Document doc;
        doc.Parse(reply.data(), reply.size());
        if (doc.HasParseError()) {
            emit(Level::warning, prefix + "Error in parsing JSON data");
            return Verdict::Ignore;
        }
        if (!doc.IsObject() || !doc.HasMember("reqTarget") || !doc["reqTarget"].IsString()) {
            emit(Level::warning, Stream::err, prefix + "reply without a string \"reqTarget\" skipped");
            return Verdict::Ignore;
        }
        const rapidjson::Value& target = doc["reqTarget"];
        if (std::string_view(target.GetString(), target.GetStringLength()) != "/config") {
            return Verdict::Ignore;  // an answer for another target
        }
        if (cfg != nullptr) {
            cfg->assign(reply.data(), reply.size());
        }
        return Verdict::Accept;
    };
    e.timeout_prefix = prefix;
    e.address = ip;
    return run_exchange(e);
}

int Inspire::get_comm_config(std::string& cfg) {
    std::string request = kConfigRequest;
    return config_exchange(request, "get_comm_config(std::string &cfg)", &cfg);
}

int Inspire::set_comm_config(std::string cfg) { return config_exchange(cfg, "set_comm_config(std::string cfg)", nullptr); }

}  // namespace BaseHandProtocol
