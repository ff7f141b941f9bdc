#pragma once

// The second-generation hands' wire codec and operation table, private to
// the library and its tests.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <rapidjson/document.h>

#include "transport/exchange.h"

namespace BaseHandProtocol {

// The wire codec: plain functions of texts and values, no sockets, no clocks.
namespace qmhv2_codec {

constexpr int kJoints = 12;
// Texts the hand cannot take in one datagram: the endpoint's text limit.
constexpr std::size_t kMaxRequestLength = 1023;

constexpr const char* kCalibrationRequest = R"({"method":"SET","cmd":"/calibration"})";
constexpr const char* kEnableRequest = R"({"method":"SET","cmd":"/enable"})";
constexpr const char* kDisableRequest = R"({"method":"SET","cmd":"/disable"})";
constexpr const char* kPosRequest = R"({"method":"SET","cmd":"/pos"})";
constexpr const char* kPvaRequest = R"({"method":"GET","cmd":"/pva"})";
constexpr const char* kErrorcodeRequest = R"({"method":"GET","cmd":"/errorcode"})";
constexpr const char* kMatrixRequest = R"({"method":"GET","cmd":"/matrix"})";
constexpr const char* kConfigRequest = R"({"method":"GET","cmd":"/config"})";

// A finite double as the JSON writer lays numbers out (".0" on integral
// values, plain decimals from 1e-6 to below 1e21, otherwise a mantissa and a
// bare signed exponent), with the shortest digits that read back as the same
// double, the closest of them where two qualify.
std::string format_number(double value);
// The same into out without the heap; returns the length.
constexpr std::size_t kNumberRoom = 48;
std::size_t write_number(double value, char (&out)[kNumberRoom]);

// The position request for cmd: the /pos request with a "position" array of
// the values widened to double. False (text untouched) when a value is NaN or
// infinite, which JSON cannot carry.
bool position_request(const std::vector<float>& cmd, std::string& text);

// How a reply was judged. A reply whose root is not an object counts as one
// without the member.
enum class Reply {
    Ok,
    NotJson,     // does not parse
    WithoutKey,  // parses, but lacks the member or it is of the wrong kind
    BadElement,  // the member's array holds an element that cannot be read
    BadLength,   // the matrix does not fill whole rows
};

// One parsed reply at a time, its values in fixed pools: a protocol object
// keeps one and parses every reply into it without touching the heap
// (unless a reply outgrows the pools).
class JsonDocument {
public:
    JsonDocument();
    JsonDocument(const JsonDocument&) = delete;
    JsonDocument& operator=(const JsonDocument&) = delete;
    // The root of text, or null when it does not parse. Valid until the next parse.
    const rapidjson::Value* parse(std::string_view text);

private:
    using Pool = rapidjson::MemoryPoolAllocator<rapidjson::CrtAllocator>;
    alignas(8) char value_room_[32 * 1024];
    alignas(8) char stack_room_[16 * 1024];
    Pool values_;
    Pool stack_;
    rapidjson::GenericDocument<rapidjson::UTF8<>, Pool, Pool> document_;
};

// Each reader parses into reuse when given, else into a document of its own.
bool parses(std::string_view text, JsonDocument* reuse = nullptr);
// "errorcode" as an unsigned integer (answers to /calibration, /enable, /disable).
Reply read_command_code(std::string_view text, std::uint64_t& code, JsonDocument* reuse = nullptr);
// "errorcode" as an array, its elements unread (answer to /pos).
Reply read_position_ack(std::string_view text, JsonDocument* reuse = nullptr);
// The following append to out only on Ok.
// "angle": numbers, each narrowed to float.
Reply read_angles(std::string_view text, std::vector<float>& out, JsonDocument* reuse = nullptr);
// "errorcode": unsigned 32-bit integers, widened without sign extension.
Reply read_error_codes(std::string_view text, std::vector<long>& out, JsonDocument* reuse = nullptr);
// "matrix": unsigned 32-bit integers, three bytes each (bits 16-23, 8-15,
// 0-7), 32 integers to a 96-byte row.
Reply read_matrix(std::string_view text, std::vector<std::vector<unsigned char>>& out,
                  JsonDocument* reuse = nullptr);

}  // namespace qmhv2_codec


// Every exchange of a second-generation hand: a JSON text out, a non-empty
// text back. Failure texts follow "MOTOR: " and the address; a row whose
// failed send is retried prints its text only when the hand refuses.
namespace qmhv2_operations {

constexpr Operation row(const char* name, Port port, int budget_ms, SendFailure on_send_failure,
                        const char* failure_line, const char* elapsed_line = "") {
    return {name, port, budget_ms, on_send_failure, failure_line, PayloadForm::Text, Awaits::NonEmptyText, "",
            elapsed_line};
}

// Commands (port 2333).
inline constexpr Operation kCalibration = row("calibration", Port::Ctrl, 100, SendFailure::Retry,
                                              ", SET CALIBRATION FAILED");
inline constexpr Operation kEnable = row("enable", Port::Ctrl, 500, SendFailure::Fail, ", SET ENABLE FAILED");
inline constexpr Operation kDisable = row("disable", Port::Ctrl, 1000, SendFailure::Fail, ", SET DISABLE FAILED");
inline constexpr Operation kSetPos = row("set_pos", Port::Ctrl, 150, SendFailure::Retry, "");
// Reads and the configuration (port 2334).
inline constexpr Operation kGetPos = row("get_pos", Port::Comm, 1000, SendFailure::Fail, ", GET PVA FAILED");
// Its time-out line follows the elapsed time.
inline constexpr Operation kGetErrorcode = row("get_errorcode", Port::Comm, 100, SendFailure::Retry, "",
                                               "[INFO] init_ms: ");
inline constexpr Operation kGetTsMatrix = row("get_ts_matrix", Port::Comm, 1000, SendFailure::Fail,
                                              ", SEND GET MATRIX FAILED");
inline constexpr Operation kGetCommConfig = row("get_comm_config", Port::Comm, 1000, SendFailure::Fail,
                                                ", SEND GET CONFIG FAILED");
inline constexpr Operation kSetCommConfig = row("set_comm_config", Port::Comm, 1000, SendFailure::Fail,
                                                ", SEND SET MATRIX FAILED");

inline constexpr std::array<const Operation*, 9> kAll = {
    &kCalibration, &kEnable, &kDisable, &kSetPos, &kGetPos, &kGetErrorcode, &kGetTsMatrix, &kGetCommConfig,
    &kSetCommConfig,
};

}  // namespace qmhv2_operations

}  // namespace BaseHandProtocol
