#include "protocols/inspire.h"

#include <functional>
#include <utility>

#include "protocols/inspire_codec.h"

namespace BaseHandProtocol {

using Diagnostics::emit;
using Diagnostics::Level;
using Diagnostics::Stream;

namespace codec = inspire_codec;
using namespace inspire_operations;

namespace {

const char* const kConfigRequest = R"({"method":"GET","reqTarget":"/config","property":""})";

// Turns an accepted read reply into the output; false when the reply is too
// short to hold what was asked for.
using Decode = std::function<bool(std::string_view reply)>;

// A write's acknowledgement carries no data.
bool acknowledged(std::string_view) { return true; }

// The one judge of register replies: the header must name the hand and echo
// the command and (but for the fast command) the register, and a read must
// hold the data it asked for. A refused reply is reported and polling goes on.
Judge register_judge(const RegisterOperation& op, unsigned char hand_id, Decode decode) {
    return [&op, hand_id, decode = std::move(decode)](std::string_view reply) {
        if (op.command == codec::kFastPositions) {
            if (!codec::accepts_fast(reply, hand_id)) {
                emit(Level::warning, "[Warning] [inspire][fast_set_positions] recv data error");
                return Verdict::Ignore;
            }
            return Verdict::Accept;
        }
        if (!codec::accepts(reply, hand_id, op.command, op.address) || !decode(reply)) {
            emit(Level::error, "[ERROR] ");
            return Verdict::Ignore;
        }
        return Verdict::Accept;
    };
}

int read_registers(Inspire& hand, const RegisterOperation& op, Decode decode) {
    return run(op.row, {hand, hand.ip}, codec::read_request(hand.hand_id, op.address, op.count),
               register_judge(op, hand.hand_id, std::move(decode)));
}

// Reads of six or more 16-bit words, taken as their magnitudes.
int read_words(Inspire& hand, const RegisterOperation& op, std::vector<float>& out) {
    out.clear();
    return read_registers(hand, op, [&out](std::string_view r) { return codec::decode_words(r, out); });
}

int write_registers(Inspire& hand, const RegisterOperation& op, std::vector<unsigned char> frame) {
    return run(op.row, {hand, hand.ip}, std::move(frame), register_judge(op, hand.hand_id, acknowledged));
}

// Position and speed commands carry exactly six values.
bool six_values(const char* operation, int line, const std::vector<float>& values) {
    if (values.size() == codec::kJoints) {
        return true;
    }
    emit(Level::error, std::string("[ERROR] [") + operation + "] line:" + std::to_string(line) +
                           " _cmd.size() == " + std::to_string(values.size()) + " must be six ");
    return false;
}

// One JSON exchange on the configuration channel; reply takes the text of
// the configuration's answer.
int config_exchange(Inspire& hand, const Operation& row, std::string request, std::string& reply) {
    return run(row, {hand, hand.ip}, std::move(request), [&row, &reply](std::string_view text) {
        switch (codec::judge_config_reply(text)) {
        case codec::ConfigReply::NotJson:
            emit(Level::warning, std::string(row.prefix) + "Error in parsing JSON data");
            return Verdict::Ignore;
        case codec::ConfigReply::NoTarget:
            emit(Level::warning, Stream::err, std::string(row.prefix) + "reply without a string \"reqTarget\" skipped");
            return Verdict::Ignore;
        case codec::ConfigReply::OtherTarget:
            return Verdict::Ignore;  // an answer for another target
        case codec::ConfigReply::Config:
            break;
        }
        reply.assign(text.data(), text.size());
        return Verdict::Accept;
    });
}

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
// Reads

int Inspire::get_pos(std::vector<float>& pos) {
    pos.clear();
    return read_registers(*this, kGetPos, [&pos](std::string_view r) { return codec::decode_positions(r, pos); });
}

int Inspire::get_errorcode(std::vector<long>& codes) {
    codes.clear();
    return read_registers(*this, kGetErrorcode,
                          [&codes](std::string_view r) { return codec::decode_error_bytes(r, codes); });
}

int Inspire::get_status(std::vector<unsigned char>& status) {
    status.clear();
    return read_registers(*this, kGetStatus,
                          [&status](std::string_view r) { return codec::decode_status_bytes(r, status); });
}

int Inspire::get_current(std::vector<float>& current) {
    DEXHAND_TRACE();
    return read_words(*this, kGetCurrent, current);
}

int Inspire::get_velocity(std::vector<float>& velocity) {
    DEXHAND_TRACE();
    return read_words(*this, kGetVelocity, velocity);
}

int Inspire::get_current_limited(std::vector<float>& limits) {
    DEXHAND_TRACE();
    return read_words(*this, kGetCurrentLimited, limits);
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

int Inspire::set_pos(std::vector<float> pos) {
    if (!six_values("set_pos", __LINE__, pos)) {
        return kFailure;
    }
    return write_registers(*this, kSetPos, codec::set_pos_request(hand_id, codec::position_registers(pos)));
}

int Inspire::fast_set_positions(std::vector<float> pos) {
    if (!six_values("fast_set_positions", __LINE__, pos)) {
        return kFailure;
    }
    return write_registers(*this, kFastSetPositions,
                           codec::fast_positions_request(hand_id, codec::position_registers(pos)));
}

int Inspire::set_velocity(std::vector<float> velocity) {
    DEXHAND_TRACE();
    // The frame's length byte is fixed for six speeds: any other count would
    // leave the hand a frame that contradicts itself.
    if (!six_values("set_velocity", __LINE__, velocity)) {
        return kFailure;
    }
    return write_registers(*this, kSetVelocity, codec::velocity_request(hand_id, velocity));
}

int Inspire::clear_errorcode() {
    return write_registers(*this, kClearErrorcode, codec::write_request(hand_id, codec::kClearErrorRegister, {0x01}));
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

int Inspire::get_comm_config(std::string& cfg) {
    std::string reply;
    const int status = config_exchange(*this, kGetCommConfig, kConfigRequest, reply);
    if (status == kSuccess) {
        cfg = std::move(reply);
    }
    return status;
}

int Inspire::set_comm_config(std::string cfg) {
    std::string reply;
    return config_exchange(*this, kSetCommConfig, std::move(cfg), reply);
}

}  // namespace BaseHandProtocol
