#include "protocols/qmhv2.h"

#include <cstdint>
#include <utility>

#include "protocols/qmhv2_codec.h"

namespace BaseHandProtocol {

using Diagnostics::emit;
using Diagnostics::Level;
using Diagnostics::Stream;

using namespace qmhv2_codec;
using namespace qmhv2_operations;

namespace {

constexpr const char* kParseErrorLine = "Error in parsing JSON data";

// What a keyed exchange makes of one reply read: taken, failed with its line,
// or passed over because it lacks the awaited member.
Verdict keyed_verdict(Reply reply, const char* bad_element_line = "") {
    switch (reply) {
    case Reply::Ok:
        return Verdict::Accept;
    case Reply::NotJson:
        emit(Level::error, kParseErrorLine);
        return Verdict::Fail;
    case Reply::BadLength:
        emit(Level::error, "Error in matrix size");
        return Verdict::Fail;
    case Reply::BadElement:
        emit(Level::error, bad_element_line);
        return Verdict::Fail;
    case Reply::WithoutKey:
        break;
    }
    return Verdict::Ignore;
}

// A hand of this kind as its rows run on it: failure lines read "MOTOR: ",
// the address and the row's failure text.
Target motor(BaseHand& hand, const std::string& address) { return {hand, address, "MOTOR: ", Level::error}; }

// The judge that takes the first reply as it stands.
Judge take_text(std::string& reply) {
    return [&reply](std::string_view text) {
        reply.assign(text.data(), text.size());
        return Verdict::Accept;
    };
}

// enable and disable: wait for an unsigned "errorcode"; 0 is success, any
// other code the hand's refusal.
int run_command(const Operation& row, const Target& target, const char* request) {
    return run(row, target, request, [&row, &target](std::string_view reply) {
        std::uint64_t code = 0;
        switch (read_command_code(reply, code)) {
        case Reply::NotJson:
            emit(Level::error, kParseErrorLine);
            return Verdict::Fail;
        case Reply::Ok:
            if (code == 0) {
                return Verdict::Accept;
            }
            say_failure(row, target);
            return Verdict::Fail;
        default:
            return Verdict::Ignore;
        }
    });
}

}  // namespace

struct Qmhv2::Scratch {
    JsonDocument json;
    std::string request;
};

Qmhv2::Qmhv2(std::string ip_text) : ip(std::move(ip_text)), scratch_(std::make_unique<Scratch>()) {
    open_endpoints(ip, kJoints);
}

Qmhv2::~Qmhv2() = default;

// --- state commands ---------------------------------------------------------

int Qmhv2::calibration() {
    std::string reply;
    const Target self = motor(*this, ip);
    const int status = run(kCalibration, self, kCalibrationRequest, take_text(reply));
    if (status != kSuccess) {
        return status;
    }
    std::uint64_t code = 0;
    switch (read_command_code(reply, code)) {
    case Reply::NotJson:
        emit(Level::error, kParseErrorLine);
        return kFailure;
    case Reply::Ok:
        if (code != 0) {
            say_failure(kCalibration, self);
            return kFailure;
        }
        return kSuccess;
    default:
        // An answer without a usable code still acknowledges the request.
        return kSuccess;
    }
}

int Qmhv2::enable() { return run_command(kEnable, motor(*this, ip), kEnableRequest); }

int Qmhv2::disable() { return run_command(kDisable, motor(*this, ip), kDisableRequest); }

int Qmhv2::reboot() { return kFailure; }

int Qmhv2::get_errorcode(std::vector<long>& codes) {
    return run(kGetErrorcode, motor(*this, ip), kErrorcodeRequest, [&codes](std::string_view reply) {
        return keyed_verdict(read_error_codes(reply, codes),
                             "\"errorcode\" holds an element that is not an unsigned 32-bit integer.");
    });
}

int Qmhv2::clear_errorcode() { return kFailure; }

// The limit slots are not served by this hand; they report success as callers expect.
int Qmhv2::get_pos_limited(std::vector<float>&) { return kSuccess; }
int Qmhv2::get_velocity_limited(std::vector<float>&) { return kSuccess; }
int Qmhv2::get_current_limited(std::vector<float>&) { return kSuccess; }
int Qmhv2::set_velocity_limited(unsigned char, float) { return kSuccess; }
int Qmhv2::set_pos_limited(unsigned char, float, float) { return kSuccess; }
int Qmhv2::set_current_limited(unsigned char, float) { return kSuccess; }

// --- motion -----------------------------------------------------------------

int Qmhv2::set_pos(std::vector<float> pos) {
    Pending pending;
    return finish(pending, prepare_set_pos(std::move(pos), pending));
}

int Qmhv2::prepare_set_pos(std::vector<float> pos, Pending& pending) {
    if (pos.size() != static_cast<std::size_t>(kJoints)) {
        emit(Level::error, "qmhv2 set_pos(): Cmd container must contain 12 elements, now: " +
                               std::to_string(pos.size()) +
                               "            if you don't want the other fingers to move, you can fill them with -1");
        return kFailure;
    }
    if (!position_request(pos, scratch_->request)) {
        // JSON has no NaN or infinity: such a command would go out cut short.
        emit(Level::error, "qmhv2 set_pos(): Cmd container must hold finite values only");
        return kFailure;
    }
    return prepare_constant(pending, kSetPos, motor(*this, ip), scratch_->request, [this](std::string_view reply) {
        return keyed_verdict(read_position_ack(reply, &scratch_->json));
    });
}

int Qmhv2::fast_set_positions(std::vector<float> pos) {
    Pending pending;
    return finish(pending, prepare_fast_set_positions(std::move(pos), pending));
}

int Qmhv2::prepare_fast_set_positions(std::vector<float> pos, Pending& pending) {
    if (pos.size() != static_cast<std::size_t>(kJoints)) {
        emit(Level::error,
             "qmhv2 fast_set_positions(std::vector<float> pos): pos.size() != 12, is " + std::to_string(pos.size()));
        return kFailure;
    }
    return prepare_set_pos(std::move(pos), pending);
}

int Qmhv2::get_pos(std::vector<float>& pos) {
    Pending pending;
    return finish(pending, prepare_get_pos(pos, pending));
}

int Qmhv2::prepare_get_pos(std::vector<float>& pos, Pending& pending) {
    return prepare_constant(pending, kGetPos, motor(*this, ip), kPvaRequest, [this, &pos](std::string_view reply) {
        switch (read_angles(reply, pos, &scratch_->json)) {
        case Reply::Ok:
            return Verdict::Accept;
        case Reply::NotJson:
            emit(Level::error, kParseErrorLine);
            return Verdict::Fail;
        case Reply::BadElement:
            emit(Level::error, Stream::err, "\"angle\" holds an element that is not a number.");
            return Verdict::Fail;
        default:
            Diagnostics::refuse(Level::error, Stream::err, "\"angle\" is not an array or does not exist.");
            return Verdict::Ignore;
        }
    });
}

int Qmhv2::get_cnt(std::vector<long>&) { return kFailure; }
int Qmhv2::get_current(std::vector<float>&) { return kFailure; }
int Qmhv2::get_velocity(std::vector<float>&) { return kFailure; }
int Qmhv2::get_status(std::vector<unsigned char>&) { return kFailure; }
int Qmhv2::set_velocity(std::vector<float>) { return kFailure; }
int Qmhv2::set_current(std::vector<float>) { return kFailure; }

int Qmhv2::get_pvc(std::vector<std::vector<float>>& pvc) { return BaseHand::get_pvc(pvc); }

// --- tactile matrix and configuration ---------------------------------------

int Qmhv2::get_ts_matrix(std::vector<std::vector<unsigned char>>& matrix) {
    return run(kGetTsMatrix, motor(*this, ip), kMatrixRequest, [this, &matrix](std::string_view reply) {
        return keyed_verdict(read_matrix(reply, matrix, &scratch_->json),
                             "\"matrix\" holds an element that is not an unsigned 32-bit integer.");
    });
}

int Qmhv2::get_ts_tashan(std::vector<std::vector<float>>&) { return kFailure; }
int Qmhv2::get_ntc(int&) { return kFailure; }

int Qmhv2::get_comm_config(std::string& config) {
    std::string reply;
    const int status = run(kGetCommConfig, motor(*this, ip), kConfigRequest, take_text(reply));
    if (status == kSuccess) {
        config = std::move(reply);
    }
    return status;
}

int Qmhv2::set_comm_config(std::string config) {
    if (config.size() > kMaxRequestLength) {
        // One datagram carries at most 1023 bytes of request text.
        emit(Level::error, "qmhv2 set_comm_config(): config text must be shorter than 1024 bytes, is " +
                               std::to_string(config.size()));
        return kFailure;
    }
    std::string reply;
    const int status = run(kSetCommConfig, motor(*this, ip), std::move(config), take_text(reply));
    if (status != kSuccess) {
        return status;
    }
    if (!parses(reply)) {
        emit(Level::error, kParseErrorLine);
        return kFailure;
    }
    return kSuccess;
}

}  // namespace BaseHandProtocol
