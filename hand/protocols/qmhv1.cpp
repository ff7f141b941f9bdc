#include "protocols/qmhv1.h"

#include <rapidjson/document.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <sstream>

#include "protocols/handprotocol.h"

namespace BaseHandProtocol {

using CommSocket::Transmit::UDPSocket;

using Diagnostics::emit;
using Diagnostics::Level;
using Diagnostics::Stream;

// ---------------------------------------------------------------------------
// Codec

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

std::vector<unsigned char> positions_frame(const std::array<float, kJoints>& targets) {
    std::vector<unsigned char> frame{0x01, 0x11, 0x00, 0x00};
    for (const float target : targets) {
        append_float(frame, target);
    }
    return frame;
}

std::vector<unsigned char> cnt_request() { return {0x01}; }
std::vector<unsigned char> pos_request() { return {0x02, 0x00}; }
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

// The stream leaves 0 where no number can be read and the type's extreme
// where a number is out of range.
template <class T>
std::vector<T> decode_as(std::string_view text) {
    std::vector<T> values;
    for (const std::string_view token : split_tokens(text)) {
        std::istringstream in{std::string(token)};
        T value{};
        in >> value;
        values.push_back(value);
    }
    return values;
}

}  // namespace

std::vector<float> decode_floats(std::string_view text) { return decode_as<float>(text); }

std::vector<long> decode_integers(std::string_view text) { return decode_as<long>(text); }

std::vector<unsigned char> decode_status(std::string_view text) {
    std::vector<unsigned char> status;
    for (const int value : decode_as<int>(text)) {
        status.push_back(static_cast<unsigned char>(value));
    }
    return status;
}

bool usable_pos_limits(const std::vector<float>& limits) { return limits.size() >= 2 * kJoints; }

std::vector<float> normalise_positions(const std::vector<float>& raw, const std::vector<float>& limits) {
    std::vector<float> positions;
    if (raw.size() != kJoints || !usable_pos_limits(limits)) {
        return positions;
    }
    for (std::size_t i = 0; i < kJoints; ++i) {
        positions.push_back(1.0f - raw[i] / limits[2 * i + 1]);
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
    document.Parse(text.data(), text.size());
    if (document.HasParseError()) {
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
    document.Parse(text.data(), text.size());
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

bool count_empty_poll(std::atomic<int>& counter, int limit) {
    // Read, increment and reset as one step: hands read from other threads
    // share the counter.
    int seen = counter.load();
    bool reached = false;
    int next = 0;
    do {
        reached = seen + 1 >= limit;
        next = reached ? 0 : seen + 1;
    } while (!counter.compare_exchange_weak(seen, next));
    return reached;
}

}  // namespace qmhv1_codec

// ---------------------------------------------------------------------------
// Exchanges

using namespace qmhv1_codec;

namespace {

constexpr int kBudgetMs = 100;
constexpr int kLimitAttempts = 6;

using Frame = std::vector<unsigned char>;
using Judge = std::function<Verdict(std::string_view)>;
using EmptyPoll = std::function<Verdict()>;

int exchange(const std::shared_ptr<UDPSocket>& endpoint, const std::string& ip, const char* operation,
             const Frame& frame, Judge judge = nullptr, EmptyPoll on_empty_poll = nullptr,
             ReplyForm form = ReplyForm::Text) {
    Exchange e;
    e.endpoint = endpoint.get();
    e.payload = Payload::exact(frame.data(), static_cast<unsigned short>(frame.size()));
    e.budget_ms = kBudgetMs;
    e.on_send_failure = SendFailure::Retry;
    e.reply_form = form;
    e.judge = std::move(judge);
    e.on_empty_poll = std::move(on_empty_poll);
    e.timeout_prefix = std::string("[Warning] [Qmhv1::") + operation + "()] ";
    e.address = ip;
    return run_exchange(e);
}

// A read whose every reply is accepted; counter (with its limit) makes the
// request go out again after that many consecutive empty polls.
template <class T>
int plain_read(const std::shared_ptr<UDPSocket>& endpoint, const std::string& ip, const char* operation,
               const Frame& request, std::vector<T>& out, std::vector<T> (*decode)(std::string_view),
               std::atomic<int>* counter = nullptr, int limit = 0) {
    out.clear();
    EmptyPoll on_empty_poll;
    if (counter != nullptr) {
        on_empty_poll = [counter, limit] {
            return count_empty_poll(*counter, limit) ? Verdict::Resend : Verdict::Ignore;
        };
    }
    return exchange(
        endpoint, ip, operation, request,
        [&out, decode, counter](std::string_view reply) {
            if (counter != nullptr) {
                counter->store(0);
            }
            out = decode(reply);
            return Verdict::Accept;
        },
        on_empty_poll);
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

int Qmhv1::calibration() { return exchange(ctrl_udp_socket, ip, "calibration", calibration_frame()); }

int Qmhv1::enable() { return kSuccess; }

int Qmhv1::disable() { return exchange(ctrl_udp_socket, ip, "disable", disable_frame()); }

int Qmhv1::clear_errorcode() { return exchange(ctrl_udp_socket, ip, "clear_errorcode", clear_errorcode_frame()); }

int Qmhv1::reboot() {
    // One poll after the send; whatever it finds (or not) is dropped.
    return exchange(
        comm_udp_socket, ip, "reboot", reboot_request(), [](std::string_view) { return Verdict::Accept; },
        [] { return Verdict::Accept; });
}

// --- reads ------------------------------------------------------------------

int Qmhv1::get_cnt(std::vector<long>& cnt) {
    return plain_read(comm_udp_socket, ip, "get_cnt", cnt_request(), cnt, decode_integers);
}

int Qmhv1::get_pos(std::vector<float>& fdb) {
    if (!ensure_pos_limits()) {
        emit(Level::error, "[Error] [qmhv1][get_pos(std::vector<float> &fdb)]" + std::to_string(__LINE__) +
                   " get_pos_limited() fail");
        return kFailure;
    }
    fdb.clear();
    return exchange(comm_udp_socket, ip, "get_pos", pos_request(), [this, &fdb](std::string_view reply) {
        const std::vector<float> raw = decode_floats(reply);
        if (raw.size() != kJoints) {
            return Verdict::Ignore;
        }
        fdb = normalise_positions(raw, pos_limits);
        return Verdict::Accept;
    });
}

int Qmhv1::get_current(std::vector<float>& current) {
    return plain_read(comm_udp_socket, ip, "get_current", current_request(), current, decode_floats,
                      &current_recv_counts(), recv_counts_limit);
}

int Qmhv1::get_velocity(std::vector<float>& velocity) {
    return plain_read(comm_udp_socket, ip, "get_velocity", velocity_request(), velocity, decode_floats,
                      &velocity_recv_counts(), recv_counts_limit);
}

int Qmhv1::get_status(std::vector<unsigned char>& status) {
    DEXHAND_TRACE();
    return plain_read(comm_udp_socket, ip, "get_status", status_request(), status, decode_status);
}

int Qmhv1::get_errorcode(std::vector<long>& codes) {
    codes.clear();
    const int status = exchange(
        comm_udp_socket, ip, "get_errorcode", errorcode_request(),
        [&codes](std::string_view reply) {
            HandProtocol::ParseErrorCodes(reply.data(), static_cast<int>(reply.size()), codes);
            return Verdict::Accept;
        },
        nullptr, ReplyForm::Bytes);
    if (status == kTimeout) {
        codes.push_back(1);
    }
    return status;
}

int Qmhv1::get_pos_limited(std::vector<float>& limits) {
    return plain_read(comm_udp_socket, ip, "get_pos_limited", pos_limit_request(), limits, decode_floats);
}

int Qmhv1::get_velocity_limited(std::vector<float>& limits) {
    return plain_read(comm_udp_socket, ip, "get_velocity_limited", velocity_limit_request(), limits, decode_floats);
}

int Qmhv1::get_current_limited(std::vector<float>& limits) {
    return plain_read(comm_udp_socket, ip, "get_current_limited", current_limit_request(), limits, decode_floats);
}

int Qmhv1::get_ts_matrix(std::vector<std::vector<unsigned char>>&) { return kFailure; }

int Qmhv1::get_ts_tashan(std::vector<std::vector<float>>&) { return kFailure; }

int Qmhv1::get_ntc(int&) { return kFailure; }

int Qmhv1::get_pvc(std::vector<std::vector<float>>& pvc) { return BaseHand::get_pvc(pvc); }

// --- motion and limits ------------------------------------------------------

int Qmhv1::set_pos(std::vector<float> pos) { return fast_set_positions(pos); }

int Qmhv1::fast_set_positions(std::vector<float> pos) {
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
    return exchange(ctrl_udp_socket, ip, "fast_set_positions", positions_frame(targets));
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
    return exchange(ctrl_udp_socket, ip, "set_pos_limited", pos_limit_frame(id, lower, upper));
}

int Qmhv1::set_velocity_limited(unsigned char id, float limit) {
    return exchange(ctrl_udp_socket, ip, "set_velocity_limited", velocity_limit_frame(id, limit));
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

int send_gains(const std::shared_ptr<UDPSocket>& endpoint, const std::string& ip, const char* operation,
               unsigned char command, unsigned char id, const std::vector<float>& pid) {
    if (pid.size() != 3) {
        emit(Level::error, "pid size must be 3");
        return kFailure;
    }
    return exchange(endpoint, ip, operation, pid_frame(command, id, pid));
}

}  // namespace

int Qmhv1::set_pos_pid(unsigned char id, std::vector<float> pid) {
    DEXHAND_TRACE();
    return send_gains(ctrl_udp_socket, ip, "set_pos_pid", 0x05, id, pid);
}

int Qmhv1::set_velocity_pid(unsigned char id, std::vector<float> pid) {
    DEXHAND_TRACE();
    return send_gains(ctrl_udp_socket, ip, "set_velocity_pid", 0x06, id, pid);
}

int Qmhv1::set_current_pid(unsigned char id, std::vector<float> pid) {
    return send_gains(ctrl_udp_socket, ip, "set_current_pid", 0x07, id, pid);
}

int Qmhv1::reset_pid() { return exchange(ctrl_udp_socket, ip, "reset_pid", reset_pid_frame()); }

// --- configuration and identity -----------------------------------------------

int Qmhv1::get_comm_config(std::string& cfg) {
    return exchange(comm_udp_socket, ip, "get_comm_config", config_request(), [&cfg](std::string_view reply) {
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
            emit(Level::error, Stream::err, "[ERROR] [qmhv1][get_comm_config] check reply failed");
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
    Frame frame;
    switch (ip_frame(octets, frame)) {
    case IdentityCheck::Ok:
        break;
    case IdentityCheck::TooLong:
        emit(Level::error, "[Error] [qmhv1][set_ip(std::vector<int> ip)] ip size must be at most 4");
        return kFailure;
    case IdentityCheck::OutOfRange:
        return kFailure;
    }
    return exchange(comm_udp_socket, ip, "set_ip", frame);
}

int Qmhv1::set_mac(std::vector<int> bytes) {
    Frame frame;
    if (mac_frame(bytes, frame) != IdentityCheck::Ok) {
        emit(Level::error, "[Error] [qmhv1][set_mac(std::vector<int> mac)] mac size must be at most 6");
        return kFailure;
    }
    return exchange(comm_udp_socket, ip, "set_mac", frame);
}

int Qmhv1::set_sn(std::string sn) {
    Frame frame;
    if (sn_frame(sn, frame) != IdentityCheck::Ok) {
        emit(Level::error, "[Error] [qmhv1][set_sn(std::string sn)] sn length must be at most 31");
        return kFailure;
    }
    return exchange(comm_udp_socket, ip, "set_sn", frame);
}

}  // namespace BaseHandProtocol
