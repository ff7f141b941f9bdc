#include "protocols/inspire.h"

#include <functional>
#include <utility>

#include "protocols/inspire_codec.h"
#include "protocols/peer_json.h"

namespace BaseHandProtocol {

using Diagnostics::emit;
using Diagnostics::Level;
using Diagnostics::Stream;

namespace codec = inspire_codec;
using namespace inspire_operations;

namespace {

const char* const kConfigRequest = R"({"method":"GET","reqTarget":"/config","property":""})";

// A write's acknowledgement carries no data.
bool acknowledged(std::string_view) { return true; }

// The one judge of register replies: the header must name the hand and echo
// the command and (but for the fast command) the register, and a read must
// hold the data it asked for (decode(reply) turns an accepted reply into the
// output; false when it is too short). A refused reply is reported and
// polling goes on. The row is a template argument, so that the judge holds
// only the hand's id and decode and fits std::function without the heap.
template <const RegisterOperation& op, class Decode>
Judge register_judge(unsigned char hand_id, Decode decode) {
    return [hand_id, decode](std::string_view reply) {
        if (op.command == codec::kFastPositions) {
            if (!codec::accepts_fast(reply, hand_id)) {
                Diagnostics::refuse(Level::warning, "[Warning] [inspire][fast_set_positions] recv data error");
                return Verdict::Ignore;
            }
            return Verdict::Accept;
        }
        if (!codec::accepts(reply, hand_id, op.command, op.address) || !decode(reply)) {
            Diagnostics::refuse(Level::error, "[ERROR] ");
            return Verdict::Ignore;
        }
        return Verdict::Accept;
    };
}

template <const RegisterOperation& op, class Decode>
int prepare_read(Pending& pending, Inspire& hand, Decode decode) {
    const codec::Frame frame = codec::read_frame(hand.hand_id, op.address, op.count);
    return prepare(pending, op.row, {hand, hand.ip}, frame.bytes.data(), frame.size,
                   register_judge<op>(hand.hand_id, decode));
}

template <const RegisterOperation& op, class Decode>
int read_registers(Inspire& hand, Decode decode) {
    Pending pending;
    return finish(pending, prepare_read<op>(pending, hand, decode));
}

// Reads of six or more 16-bit words, taken as their magnitudes.
template <const RegisterOperation& op>
int read_words(Inspire& hand, std::vector<float>& out) {
    out.clear();
    return read_registers<op>(hand, [&out](std::string_view r) { return codec::decode_words(r, out); });
}

template <const RegisterOperation& op>
int prepare_write(Pending& pending, Inspire& hand, const codec::Frame& frame) {
    return prepare(pending, op.row, {hand, hand.ip}, frame.bytes.data(), frame.size,
                   register_judge<op>(hand.hand_id, acknowledged));
}

template <const RegisterOperation& op>
int write_registers(Inspire& hand, const std::vector<unsigned char>& frame) {
    Pending pending;
    return finish(pending, prepare(pending, op.row, {hand, hand.ip}, frame,
                                   register_judge<op>(hand.hand_id, acknowledged)));
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
            Diagnostics::refuse(Level::warning, std::string(row.prefix) + "Error in parsing JSON data");
            return Verdict::Ignore;
        case codec::ConfigReply::NoTarget:
            Diagnostics::refuse(Level::warning, Stream::err, std::string(row.prefix) + "reply without a string \"reqTarget\" skipped");
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
    Pending pending;
    return finish(pending, prepare_get_pos(pos, pending));
}

int Inspire::prepare_get_pos(std::vector<float>& pos, Pending& pending) {
    pos.clear();
    return prepare_read<kGetPos>(pending, *this,
                                 [&pos](std::string_view r) { return codec::decode_positions(r, pos); });
}

int Inspire::get_errorcode(std::vector<long>& codes) {
    codes.clear();
    return read_registers<kGetErrorcode>(*this,
                          [&codes](std::string_view r) { return codec::decode_error_bytes(r, codes); });
}

int Inspire::get_status(std::vector<unsigned char>& status) {
    status.clear();
    return read_registers<kGetStatus>(*this,
                          [&status](std::string_view r) { return codec::decode_status_bytes(r, status); });
}

int Inspire::get_current(std::vector<float>& current) {
    DEXHAND_TRACE();
    return read_words<kGetCurrent>(*this, current);
}

int Inspire::get_velocity(std::vector<float>& velocity) {
    DEXHAND_TRACE();
    return read_words<kGetVelocity>(*this, velocity);
}

int Inspire::get_current_limited(std::vector<float>& limits) {
    DEXHAND_TRACE();
    return read_words<kGetCurrentLimited>(*this, limits);
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
    Pending pending;
    return finish(pending, prepare_set_pos(std::move(pos), pending));
}

int Inspire::prepare_set_pos(std::vector<float> pos, Pending& pending) {
    if (!six_values("set_pos", __LINE__, pos)) {
        return kFailure;
    }
    return prepare_write<kSetPos>(pending, *this, codec::set_pos_frame(hand_id, codec::position_registers(pos)));
}

int Inspire::fast_set_positions(std::vector<float> pos) {
    Pending pending;
    return finish(pending, prepare_fast_set_positions(std::move(pos), pending));
}

int Inspire::prepare_fast_set_positions(std::vector<float> pos, Pending& pending) {
    if (!six_values("fast_set_positions", __LINE__, pos)) {
        return kFailure;
    }
    return prepare_write<kFastSetPositions>(pending, *this,
                                            codec::fast_positions_frame(hand_id, codec::position_registers(pos)));
}

int Inspire::set_velocity(std::vector<float> velocity) {
    DEXHAND_TRACE();
    // The frame's length byte is fixed for six speeds: any other count would
    // leave the hand a frame that contradicts itself.
    if (!six_values("set_velocity", __LINE__, velocity)) {
        return kFailure;
    }
    return write_registers<kSetVelocity>(*this, codec::velocity_request(hand_id, velocity));
}

int Inspire::clear_errorcode() {
    return write_registers<kClearErrorcode>(*this, codec::write_request(hand_id, codec::kClearErrorRegister, {0x01}));
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
