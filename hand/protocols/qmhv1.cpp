#include "protocols/qmhv1.h"

#include "protocols/handprotocol.h"
#include "protocols/qmhv1_codec.h"

namespace BaseHandProtocol {

using Diagnostics::emit;
using Diagnostics::Level;
using Diagnostics::Stream;

using namespace qmhv1_codec;
using namespace qmhv1_operations;

namespace {

constexpr int kLimitAttempts = 6;

// A read that takes the first reply, whatever it holds.
template <class T>
int read_all(const Operation& row, const Target& target, std::vector<unsigned char> request, std::vector<T>& out,
             std::vector<T> (*decode)(std::string_view)) {
    out.clear();
    return run(row, target, std::move(request), [&out, decode](std::string_view reply) {
        out = decode(reply);
        return Verdict::Accept;
    });
}

// get_current and get_velocity: a read whose request goes out again after
// limit empty polls in a row, counted across calls and hands.
int counted_read(const Operation& row, const Target& target, std::vector<unsigned char> request,
                 std::vector<float>& out, std::atomic<int>& counter, int limit) {
    out.clear();
    Pending pending;
    const int prepared = prepare(
        pending, row, target, std::move(request),
        [&counter, &out](std::string_view reply) {
            counter.store(0);
            out = decode_floats(reply);
            return Verdict::Accept;
        },
        [&counter, limit](long long polls) {
            return count_empty_poll(counter, limit, polls) ? Verdict::Resend : Verdict::Ignore;
        });
    pending.exchange.empty_polls_left = [&counter, limit] { return empty_polls_left(counter, limit); };
    return finish(pending, prepared);
}

}  // namespace

Qmhv1::Qmhv1(std::string ip_address) : ip(std::move(ip_address)) { open_endpoints(ip, kJoints); }

Qmhv1::~Qmhv1() = default;

bool Qmhv1::ensure_pos_limits() {
    if (usable_pos_limits(pos_limits)) {
        return true;
    }
    // A reply with fewer than two values per joint is a failed read too:
    // positions are never converted with values that did not arrive.
    for (int attempt = 0; attempt < kLimitAttempts; ++attempt) {
        pos_limits.clear();
        if (get_pos_limited(pos_limits) == kSuccess && usable_pos_limits(pos_limits)) {
            return true;
        }
    }
    pos_limits.clear();
    return false;
}

// --- state commands ---------------------------------------------------------

int Qmhv1::calibration() { return run(kCalibration, {*this, ip}, calibration_frame()); }

int Qmhv1::enable() { return kSuccess; }

int Qmhv1::disable() { return run(kDisable, {*this, ip}, disable_frame()); }

int Qmhv1::clear_errorcode() { return run(kClearErrorcode, {*this, ip}, clear_errorcode_frame()); }

int Qmhv1::reboot() {
    // One poll after the send; whatever it finds (or not) is dropped.
    return run(kReboot, {*this, ip}, reboot_request(), {}, [](long long) { return Verdict::Accept; });
}

// --- reads ------------------------------------------------------------------

int Qmhv1::get_cnt(std::vector<long>& cnt) {
    return read_all(kGetCnt, {*this, ip}, cnt_request(), cnt, decode_integers);
}

int Qmhv1::get_pos(std::vector<float>& fdb) {
    Pending pending;
    return finish(pending, prepare_get_pos(fdb, pending));
}

int Qmhv1::prepare_get_pos(std::vector<float>& fdb, Pending& pending) {
    if (!ensure_pos_limits()) {
        emit(Level::error, "[Error] [qmhv1][get_pos(std::vector<float> &fdb)]" + std::to_string(__LINE__) +
                   " get_pos_limited() fail");
        return kFailure;
    }
    fdb.clear();
    return prepare(pending, kGetPos, {*this, ip}, kPosRequest.data(), kPosRequest.size(),
                   [this, &fdb](std::string_view reply) {
                       std::array<float, kJoints> raw{};
                       if (decode_floats(reply, raw.data(), raw.size()) != kJoints) {
                           return Verdict::Ignore;
                       }
                       normalise_positions(raw.data(), pos_limits, fdb);
                       return Verdict::Accept;
                   });
}

int Qmhv1::get_current(std::vector<float>& current) {
    return counted_read(kGetCurrent, {*this, ip}, current_request(), current, current_recv_counts(), recv_counts_limit);
}

int Qmhv1::get_velocity(std::vector<float>& velocity) {
    return counted_read(kGetVelocity, {*this, ip}, velocity_request(), velocity, velocity_recv_counts(),
                        recv_counts_limit);
}

int Qmhv1::get_status(std::vector<unsigned char>& status) {
    DEXHAND_TRACE();
    return read_all(kGetStatus, {*this, ip}, status_request(), status, decode_status);
}

int Qmhv1::get_errorcode(std::vector<long>& codes) {
    codes.clear();
    const int status = run(kGetErrorcode, {*this, ip}, errorcode_request(), [&codes](std::string_view reply) {
        HandProtocol::ParseErrorCodes(reply.data(), static_cast<int>(reply.size()), codes);
        return Verdict::Accept;
    });
    if (status == kTimeout) {
        codes.push_back(1);
    }
    return status;
}

int Qmhv1::get_pos_limited(std::vector<float>& limits) {
    return read_all(kGetPosLimited, {*this, ip}, pos_limit_request(), limits, decode_floats);
}

int Qmhv1::get_velocity_limited(std::vector<float>& limits) {
    return read_all(kGetVelocityLimited, {*this, ip}, velocity_limit_request(), limits, decode_floats);
}

int Qmhv1::get_current_limited(std::vector<float>& limits) {
    return read_all(kGetCurrentLimited, {*this, ip}, current_limit_request(), limits, decode_floats);
}

int Qmhv1::get_ts_matrix(std::vector<std::vector<unsigned char>>&) { return kFailure; }

int Qmhv1::get_ts_tashan(std::vector<std::vector<float>>&) { return kFailure; }

int Qmhv1::get_ntc(int&) { return kFailure; }

int Qmhv1::get_pvc(std::vector<std::vector<float>>& pvc) { return BaseHand::get_pvc(pvc); }

// --- motion and limits ------------------------------------------------------

int Qmhv1::set_pos(std::vector<float> pos) { return fast_set_positions(std::move(pos)); }

int Qmhv1::prepare_set_pos(std::vector<float> pos, Pending& pending) {
    return prepare_fast_set_positions(std::move(pos), pending);
}

int Qmhv1::fast_set_positions(std::vector<float> pos) {
    Pending pending;
    return finish(pending, prepare_fast_set_positions(std::move(pos), pending));
}

int Qmhv1::prepare_fast_set_positions(std::vector<float> pos, Pending& pending) {
    if (!ensure_pos_limits()) {
        emit(Level::error, "[Error] [qmhv1][fast_set_positions(std::vector<float> pos)]" + std::to_string(__LINE__) +
                   " get_pos_limited() fail");
        return kFailure;
    }
    std::array<float, kJoints> targets{};
    switch (position_targets(pos, pos_limits, targets)) {
    case PositionCheck::Ok:
        break;
    case PositionCheck::SizeNotSix:
        emit(Level::error, "[Error] [qmhv1][fast_set_positions(std::vector<float> pos)]" + std::to_string(__LINE__) +
                   " pos size must be 6");
        return kFailure;
    case PositionCheck::AllNegative:
        emit(Level::error, "[Error] [qmhv1][fast_set_positions(std::vector<float> pos)]" + std::to_string(__LINE__) +
                   " pos element must >= 0");
        return kFailure;
    case PositionCheck::NoLimits:
        return kFailure;
    }
    const PositionsBytes frame = positions_bytes(targets);
    return prepare(pending, kFastSetPositions, {*this, ip}, frame.data(), frame.size());
}

int Qmhv1::set_velocity(std::vector<float>) {
    DEXHAND_TRACE();
    return kFailure;
}

int Qmhv1::set_current(std::vector<float>) {
    DEXHAND_TRACE();
    return kFailure;
}

int Qmhv1::set_pos_limited(unsigned char id, float lower, float upper) {
    return run(kSetPosLimited, {*this, ip}, pos_limit_frame(id, lower, upper));
}

int Qmhv1::set_velocity_limited(unsigned char id, float limit) {
    return run(kSetVelocityLimited, {*this, ip}, velocity_limit_frame(id, limit));
}

int Qmhv1::set_current_limited(unsigned char, float) {
    // The only per-joint limit frame the hand has is the velocity-limit one:
    // sending it here would silently change a velocity limit.
    emit(Level::error, "[Error] [qmhv1][set_current_limited(unsigned char id, float limit)] "
               "the hand has no current-limit command; nothing sent");
    return kFailure;
}

// --- tuning -----------------------------------------------------------------

namespace {

int send_gains(const Operation& row, const Target& target, unsigned char command, unsigned char id,
               const std::vector<float>& pid) {
    if (pid.size() != 3) {
        emit(Level::error, "pid size must be 3");
        return kFailure;
    }
    return run(row, target, pid_frame(command, id, pid));
}

}  // namespace

int Qmhv1::set_pos_pid(unsigned char id, std::vector<float> pid) {
    DEXHAND_TRACE();
    return send_gains(kSetPosPid, {*this, ip}, 0x05, id, pid);
}

int Qmhv1::set_velocity_pid(unsigned char id, std::vector<float> pid) {
    DEXHAND_TRACE();
    return send_gains(kSetVelocityPid, {*this, ip}, 0x06, id, pid);
}

int Qmhv1::set_current_pid(unsigned char id, std::vector<float> pid) {
    return send_gains(kSetCurrentPid, {*this, ip}, 0x07, id, pid);
}

int Qmhv1::reset_pid() { return run(kResetPid, {*this, ip}, reset_pid_frame()); }

// --- configuration and identity -----------------------------------------------

int Qmhv1::get_comm_config(std::string& cfg) {
    return run(kGetCommConfig, {*this, ip}, config_request(), [&cfg](std::string_view reply) {
        switch (judge_config_reply(reply)) {
        case ConfigReply::Empty:
            return Verdict::Ignore;
        case ConfigReply::NotJson:
            emit(Level::error, "Error in parsing JSON data");
            return Verdict::Fail;
        case ConfigReply::NotObject:
            emit(Level::error, "[Error] [qmhv1][get_comm_config(std::string &cfg)] reply is not a JSON object");
            return Verdict::Fail;
        case ConfigReply::CheckFailed:
            Diagnostics::refuse(Level::error, Stream::err, "[ERROR] [qmhv1][get_comm_config] check reply failed");
            return Verdict::Ignore;
        case ConfigReply::Accepted:
            break;
        }
        cfg.assign(reply.data(), reply.size());
        return Verdict::Accept;
    });
}

int Qmhv1::set_comm_config(std::string cfg) {
    const ConfigItems items = parse_config(cfg);
    if (!items.parsed) {
        emit(Level::error, "Error in parsing JSON data");
        return kFailure;
    }
    if (!items.object) {
        emit(Level::error, "[Error] [qmhv1][set_comm_config(std::string cfg)] configuration is not a JSON object");
        return kFailure;
    }
    // Items go out in this order; a failed one stops the rest.
    if (items.sn == ItemState::Present && set_sn(items.sn_text) != kSuccess) {
        return kFailure;
    }
    if (items.mac == ItemState::Invalid) {
        emit(Level::error, "[Error] [qmhv1][set_comm_config(std::string cfg)] mac_address must hold 32-bit integers");
        return kFailure;
    }
    if (items.mac == ItemState::Present && set_mac(items.mac_values) != kSuccess) {
        return kFailure;
    }
    if (items.ip == ItemState::Invalid) {
        emit(Level::error, "[Error] [qmhv1][set_comm_config(std::string cfg)] static_ip must hold 32-bit integers");
        return kFailure;
    }
    if (items.ip == ItemState::Present && set_ip(items.ip_values) != kSuccess) {
        return kFailure;
    }
    return kSuccess;
}

// An identity cut short would be written corrupt, so oversize input is refused.
int Qmhv1::set_ip(std::vector<int> octets) {
    std::vector<unsigned char> frame;
    switch (ip_frame(octets, frame)) {
    case IdentityCheck::Ok:
        break;
    case IdentityCheck::TooLong:
        emit(Level::error, "[Error] [qmhv1][set_ip(std::vector<int> ip)] ip size must be at most 4");
        return kFailure;
    case IdentityCheck::OutOfRange:
        return kFailure;
    }
    return run(kSetIp, {*this, ip}, frame);
}

int Qmhv1::set_mac(std::vector<int> bytes) {
    std::vector<unsigned char> frame;
    if (mac_frame(bytes, frame) != IdentityCheck::Ok) {
        emit(Level::error, "[Error] [qmhv1][set_mac(std::vector<int> mac)] mac size must be at most 6");
        return kFailure;
    }
    return run(kSetMac, {*this, ip}, frame);
}

int Qmhv1::set_sn(std::string sn) {
    std::vector<unsigned char> frame;
    if (sn_frame(sn, frame) != IdentityCheck::Ok) {
        emit(Level::error, "[Error] [qmhv1][set_sn(std::string sn)] sn length must be at most 31");
        return kFailure;
    }
    return run(kSetSn, {*this, ip}, frame);
}

}  // namespace BaseHandProtocol
