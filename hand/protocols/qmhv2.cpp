#include "protocols/qmhv2.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <utility>

namespace BaseHandProtocol {

using Diagnostics::emit;
using Diagnostics::Level;
using Diagnostics::Stream;

namespace qmhv2_codec {

namespace {

// The writer's own double conversion gets the last digit of some values wrong,
// so numbers go through format_number and are written raw.
class PositionWriter : public rapidjson::Writer<rapidjson::StringBuffer> {
public:
    using rapidjson::Writer<rapidjson::StringBuffer>::Writer;

    bool Double(double d) {
        const std::string text = format_number(d);
        return RawValue(text.data(), text.size(), rapidjson::kNumberType);
    }
};

bool parse(std::string_view text, rapidjson::Document& document) {
    document.Parse(text.data(), text.size());
    return !document.HasParseError();
}

// The array member key of an object root, or null.
const rapidjson::Value* array_member(const rapidjson::Document& document, const char* key) {
    if (!document.IsObject()) {
        return nullptr;
    }
    const auto member = document.FindMember(key);
    if (member == document.MemberEnd() || !member->value.IsArray()) {
        return nullptr;
    }
    return &member->value;
}

// The double narrowed to float as IEEE arithmetic does it, without relying on
// an out-of-range conversion.
float narrow(double value) {
    constexpr double kMax = std::numeric_limits<float>::max();
    if (std::isnan(value)) {
        return std::numeric_limits<float>::quiet_NaN();
    }
    if (std::fabs(value) <= kMax) {
        return static_cast<float>(value);
    }
    // Values up to half a unit above the largest float still round down to it.
    const double halfway = kMax + std::ldexp(1.0, std::numeric_limits<float>::max_exponent - 25);
    const float magnitude = std::fabs(value) < halfway ? std::numeric_limits<float>::max()
                                                       : std::numeric_limits<float>::infinity();
    return value < 0 ? -magnitude : magnitude;
}

}  // namespace

std::string format_number(double value) {
    // Shortest round-trip digits in the form d.ddde[+-]xx.
    char scientific[64];
    const auto result = std::to_chars(scientific, scientific + sizeof(scientific), value,
                                      std::chars_format::scientific);
    if (result.ec != std::errc()) {
        return "0.0";
    }
    const std::string_view text(scientific, static_cast<std::size_t>(result.ptr - scientific));

    std::string out;
    std::size_t at = 0;
    if (text[at] == '-') {
        out += '-';
        ++at;
    }
    const std::size_t e = text.find('e', at);
    if (e == std::string_view::npos) {
        return "0.0";
    }
    std::string digits;
    for (std::size_t i = at; i < e; ++i) {
        if (text[i] != '.') {
            digits += text[i];
        }
    }
    std::size_t exponent_at = e + 1;
    if (exponent_at < text.size() && text[exponent_at] == '+') {
        ++exponent_at;
    }
    int exponent = 0;
    std::from_chars(text.data() + exponent_at, text.data() + text.size(), exponent);

    // value = 0.digits * 10^point
    const int length = static_cast<int>(digits.size());
    const int point = exponent + 1;
    if (point >= length && point <= 21) {
        out += digits;
        out.append(static_cast<std::size_t>(point - length), '0');
        out += ".0";
    } else if (point > 0 && point <= 21) {
        out += digits.substr(0, static_cast<std::size_t>(point));
        out += '.';
        out += digits.substr(static_cast<std::size_t>(point));
    } else if (point > -6 && point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else {
        out += digits[0];
        if (length > 1) {
            out += '.';
            out += digits.substr(1);
        }
        out += 'e';
        out += std::to_string(point - 1);
    }
    return out;
}

bool position_request(const std::vector<float>& cmd, std::string& text) {
    for (const float value : cmd) {
        if (!std::isfinite(value)) {
            return false;
        }
    }
    rapidjson::Document document;
    document.Parse(kPosRequest);
    if (!document.IsObject()) {
        return false;
    }
    auto& allocator = document.GetAllocator();
    rapidjson::Value position(rapidjson::kArrayType);
    for (const float value : cmd) {
        position.PushBack(rapidjson::Value(static_cast<double>(value)), allocator);
    }
    document.AddMember("position", position, allocator);

    rapidjson::StringBuffer buffer;
    PositionWriter writer(buffer);
    if (!document.Accept(writer)) {
        return false;
    }
    text.assign(buffer.GetString(), buffer.GetSize());
    return true;
}

bool parses(std::string_view text) {
    rapidjson::Document document;
    return parse(text, document);
}

Reply read_command_code(std::string_view text, std::uint64_t& code) {
    rapidjson::Document document;
    if (!parse(text, document)) {
        return Reply::NotJson;
    }
    if (!document.IsObject()) {
        return Reply::WithoutKey;
    }
    const auto member = document.FindMember("errorcode");
    if (member == document.MemberEnd() || !member->value.IsUint64()) {
        return Reply::WithoutKey;
    }
    code = member->value.GetUint64();
    return Reply::Ok;
}

Reply read_position_ack(std::string_view text) {
    rapidjson::Document document;
    if (!parse(text, document)) {
        return Reply::NotJson;
    }
    return array_member(document, "errorcode") != nullptr ? Reply::Ok : Reply::WithoutKey;
}

namespace {

// Reads the array under key, converting every element; a single element that
// does not convert makes the whole reply unusable.
template <class T, class Convert>
Reply read_array(std::string_view text, const char* key, std::vector<T>& values, Convert convert) {
    rapidjson::Document document;
    if (!parse(text, document)) {
        return Reply::NotJson;
    }
    const rapidjson::Value* array = array_member(document, key);
    if (array == nullptr) {
        return Reply::WithoutKey;
    }
    values.reserve(array->Size());
    for (const auto& element : array->GetArray()) {
        T value{};
        if (!convert(element, value)) {
            return Reply::BadElement;
        }
        values.push_back(value);
    }
    return Reply::Ok;
}

bool to_uint32(const rapidjson::Value& element, unsigned& value) {
    if (!element.IsUint()) {
        return false;
    }
    value = element.GetUint();
    return true;
}

}  // namespace

// The readers append to out only when the whole reply is usable.

Reply read_angles(std::string_view text, std::vector<float>& out) {
    std::vector<float> values;
    const Reply reply = read_array(text, "angle", values, [](const rapidjson::Value& element, float& value) {
        if (!element.IsNumber()) {
            return false;
        }
        value = narrow(element.GetDouble());
        return true;
    });
    if (reply == Reply::Ok) {
        out.insert(out.end(), values.begin(), values.end());
    }
    return reply;
}

Reply read_error_codes(std::string_view text, std::vector<long>& out) {
    std::vector<unsigned> values;
    const Reply reply = read_array(text, "errorcode", values, to_uint32);
    if (reply == Reply::Ok) {
        // Widened without sign extension: 4294967295 stays 4294967295.
        out.insert(out.end(), values.begin(), values.end());
    }
    return reply;
}

Reply read_matrix(std::string_view text, std::vector<std::vector<unsigned char>>& out) {
    constexpr std::size_t kRowBytes = 96;
    std::vector<unsigned> values;
    const Reply reply = read_array(text, "matrix", values, to_uint32);
    if (reply != Reply::Ok) {
        return reply;
    }
    // Each element carries three bytes, most significant first.
    std::vector<unsigned char> bytes;
    bytes.reserve(values.size() * 3);
    for (const unsigned value : values) {
        bytes.push_back(static_cast<unsigned char>(value >> 16));
        bytes.push_back(static_cast<unsigned char>(value >> 8));
        bytes.push_back(static_cast<unsigned char>(value));
    }
    if (bytes.size() % kRowBytes != 0) {
        return Reply::BadLength;
    }
    for (std::size_t row = 0; row < bytes.size(); row += kRowBytes) {
        out.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(row),
                         bytes.begin() + static_cast<std::ptrdiff_t>(row + kRowBytes));
    }
    return Reply::Ok;
}

}  // namespace qmhv2_codec

// ---------------------------------------------------------------------------

using CommSocket::Transmit::UDPSocket;
using qmhv2_codec::Reply;

namespace {

constexpr int kCalibrationLimitMs = 100;
constexpr int kEnableLimitMs = 500;
constexpr int kDisableLimitMs = 1000;
constexpr int kSetPosLimitMs = 150;
constexpr int kGetPosLimitMs = 1000;
constexpr int kErrorcodeLimitMs = 100;
constexpr int kMatrixLimitMs = 1000;
constexpr int kConfigLimitMs = 1000;

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

}  // namespace

Qmhv2::Qmhv2(std::string ip_text)
    : ip(std::move(ip_text)),
      calibration_request(qmhv2_codec::kCalibrationRequest),
      enable_request(qmhv2_codec::kEnableRequest),
      disable_request(qmhv2_codec::kDisableRequest),
      pos_request(qmhv2_codec::kPosRequest),
      pva_request(qmhv2_codec::kPvaRequest),
      errorcode_request(qmhv2_codec::kErrorcodeRequest),
      matrix_request(qmhv2_codec::kMatrixRequest),
      config_request(qmhv2_codec::kConfigRequest) {
    open_endpoints(ip, qmhv2_codec::kJoints);
}

Qmhv2::~Qmhv2() = default;

void Qmhv2::print_motor_line(const char* failure_text) const { emit(Level::error, "MOTOR: " + ip + failure_text); }

int Qmhv2::exchange(const std::shared_ptr<UDPSocket>& endpoint, std::string& request, int limit_ms,
                    const char* failure_text, std::function<Verdict(std::string_view)> judge,
                    std::function<void(long long)> before_timeout_line) {
    Exchange e;
    e.endpoint = endpoint.get();
    e.payload = Payload::text(request);
    e.budget_ms = limit_ms;
    if (failure_text != nullptr) {
        e.on_send_failure = SendFailure::Fail;
        e.send_failed = [this, failure_text] { print_motor_line(failure_text); };
    } else {
        e.on_send_failure = SendFailure::Retry;
    }
    e.reply_form = ReplyForm::Text;
    // An empty datagram, or one that starts with a NUL byte, is not a reply.
    e.judge = [&judge](std::string_view reply) { return reply.empty() ? Verdict::Ignore : judge(reply); };
    e.address = ip;
    e.before_timeout_line = std::move(before_timeout_line);
    return run_exchange(e);
}

int Qmhv2::first_text(const std::shared_ptr<UDPSocket>& endpoint, std::string& request, int limit_ms,
                      const char* failure_text, std::string& reply) {
    return exchange(endpoint, request, limit_ms, failure_text, [&reply](std::string_view text) {
        reply.assign(text.data(), text.size());
        return Verdict::Accept;
    });
}

// --- state commands ---------------------------------------------------------

int Qmhv2::calibration() {
    std::string reply;
    const int status = first_text(ctrl_udp_socket, calibration_request, kCalibrationLimitMs, nullptr, reply);
    if (status != kSuccess) {
        return status;
    }
    std::uint64_t code = 0;
    switch (qmhv2_codec::read_command_code(reply, code)) {
    case Reply::NotJson:
        emit(Level::error, kParseErrorLine);
        return kFailure;
    case Reply::Ok:
        if (code != 0) {
            print_motor_line(", SET CALIBRATION FAILED");
            return kFailure;
        }
        return kSuccess;
    default:
        // An answer without a usable code still acknowledges the request.
        return kSuccess;
    }
}

namespace {

// enable and disable: wait for an unsigned "errorcode"; 0 is success.
std::function<Verdict(std::string_view)> command_judge(std::function<void()> refused) {
    return [refused = std::move(refused)](std::string_view reply) {
        std::uint64_t code = 0;
        switch (qmhv2_codec::read_command_code(reply, code)) {
        case Reply::NotJson:
            emit(Level::error, kParseErrorLine);
            return Verdict::Fail;
        case Reply::Ok:
            if (code == 0) {
                return Verdict::Accept;
            }
            refused();
            return Verdict::Fail;
        default:
            return Verdict::Ignore;
        }
    };
}

}  // namespace

int Qmhv2::enable() {
    const char* failed = ", SET ENABLE FAILED";
    return exchange(ctrl_udp_socket, enable_request, kEnableLimitMs, failed,
                    command_judge([this, failed] { print_motor_line(failed); }));
}

int Qmhv2::disable() {
    const char* failed = ", SET DISABLE FAILED";
    return exchange(ctrl_udp_socket, disable_request, kDisableLimitMs, failed,
                    command_judge([this, failed] { print_motor_line(failed); }));
}

int Qmhv2::reboot() { return kFailure; }

int Qmhv2::get_errorcode(std::vector<long>& codes) {
    return exchange(
        comm_udp_socket, errorcode_request, kErrorcodeLimitMs, nullptr,
        [&codes](std::string_view reply) {
            return keyed_verdict(qmhv2_codec::read_error_codes(reply, codes),
                                 "\"errorcode\" holds an element that is not an unsigned 32-bit integer.");
        },
        [](long long elapsed_ms) { emit(Level::info, "[INFO] init_ms: " + std::to_string(elapsed_ms)); });
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
    if (pos.size() != static_cast<std::size_t>(qmhv2_codec::kJoints)) {
        emit(Level::error, "qmhv2 set_pos(): Cmd container must contain 12 elements, now: " + std::to_string(pos.size()) +
                   "            if you don't want the other fingers to move, you can fill them with -1");
        return kFailure;
    }
    std::string request;
    if (!qmhv2_codec::position_request(pos, request)) {
        // JSON has no NaN or infinity: such a command would go out cut short.
        emit(Level::error, "qmhv2 set_pos(): Cmd container must hold finite values only");
        return kFailure;
    }
    return exchange(ctrl_udp_socket, request, kSetPosLimitMs, nullptr, [](std::string_view reply) {
        return keyed_verdict(qmhv2_codec::read_position_ack(reply));
    });
}

int Qmhv2::fast_set_positions(std::vector<float> pos) {
    if (pos.size() != static_cast<std::size_t>(qmhv2_codec::kJoints)) {
        emit(Level::error, "qmhv2 fast_set_positions(std::vector<float> pos): pos.size() != 12, is " +
                   std::to_string(pos.size()));
        return kFailure;
    }
    return set_pos(pos);
}

int Qmhv2::get_pos(std::vector<float>& pos) {
    return exchange(comm_udp_socket, pva_request, kGetPosLimitMs, ", GET PVA FAILED", [&pos](std::string_view reply) {
        switch (qmhv2_codec::read_angles(reply, pos)) {
        case Reply::Ok:
            return Verdict::Accept;
        case Reply::NotJson:
            emit(Level::error, kParseErrorLine);
            return Verdict::Fail;
        case Reply::BadElement:
            emit(Level::error, Stream::err, "\"angle\" holds an element that is not a number.");
            return Verdict::Fail;
        default:
            emit(Level::error, Stream::err, "\"angle\" is not an array or does not exist.");
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
    return exchange(comm_udp_socket, matrix_request, kMatrixLimitMs, ", SEND GET MATRIX FAILED",
                    [&matrix](std::string_view reply) {
                        return keyed_verdict(qmhv2_codec::read_matrix(reply, matrix),
                                             "\"matrix\" holds an element that is not an unsigned 32-bit integer.");
                    });
}

int Qmhv2::get_ts_tashan(std::vector<std::vector<float>>&) { return kFailure; }
int Qmhv2::get_ntc(int&) { return kFailure; }

int Qmhv2::get_comm_config(std::string& config) {
    std::string reply;
    const int status = first_text(comm_udp_socket, config_request, kConfigLimitMs, ", SEND GET CONFIG FAILED", reply);
    if (status == kSuccess) {
        config = std::move(reply);
    }
    return status;
}

int Qmhv2::set_comm_config(std::string config) {
    if (config.size() > qmhv2_codec::kMaxRequestLength) {
        // One datagram carries at most 1023 bytes of request text.
        emit(Level::error, "qmhv2 set_comm_config(): config text must be shorter than 1024 bytes, is " +
                   std::to_string(config.size()));
        return kFailure;
    }
    std::string reply;
    const int status = first_text(comm_udp_socket, config, kConfigLimitMs, ", SEND SET MATRIX FAILED", reply);
    if (status != kSuccess) {
        return status;
    }
    if (!qmhv2_codec::parses(reply)) {
        emit(Level::error, kParseErrorLine);
        return kFailure;
    }
    return kSuccess;
}

}  // namespace BaseHandProtocol
