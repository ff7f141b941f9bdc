#pragma once

// The Inspire hand's register codec and operation table, private to the
// library and its tests.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "transport/exchange.h"

namespace BaseHandProtocol {

// Frame building and reply decoding, apart from any socket.
namespace inspire_codec {

constexpr unsigned char kRead = 0x11;
constexpr unsigned char kWrite = 0x12;
constexpr unsigned char kFastPositions = 0x20;

constexpr std::uint16_t kPositionRegister = 0x060A;
constexpr std::uint16_t kCurrentRegister = 0x063A;
constexpr std::uint16_t kSpeedRegister = 0x05F2;
constexpr std::uint16_t kCurrentLimitRegister = 0x03FC;
constexpr std::uint16_t kErrorRegister = 0x0646;
constexpr std::uint16_t kStatusRegister = 0x064C;
constexpr std::uint16_t kClearErrorRegister = 0x03EC;
constexpr std::uint16_t kTargetRegister = 0x05CE;

constexpr std::size_t kJoints = 6;
// Offset of the first data byte of a register reply.
constexpr std::size_t kDataOffset = 7;

using Registers = std::array<std::int16_t, kJoints>;

std::uint16_t magnitude16(unsigned char high, unsigned char low);

// Low 8 bits of the sum of the bytes from offset 2 up to the checksum's place.
unsigned char checksum(const unsigned char* frame, std::size_t checksum_offset);

// EB 90 id L cmd [address] data checksum, with L = bytes from the command to
// the last data byte.
std::vector<unsigned char> request(unsigned char hand_id, unsigned char command, const unsigned char* address,
                                   const std::vector<unsigned char>& data);
std::vector<unsigned char> read_request(unsigned char hand_id, std::uint16_t address, unsigned char count);

// A request built without the heap; the vector forms above and below give
// the same bytes.
struct Frame {
    std::array<unsigned char, 32> bytes{};
    std::size_t size = 0;
};
Frame read_frame(unsigned char hand_id, std::uint16_t address, unsigned char count);
std::vector<unsigned char> write_request(unsigned char hand_id, std::uint16_t address,
                                         const std::vector<unsigned char>& data);

// The target register value that leaves a joint where it is heading.
constexpr std::int16_t kKeepTarget = -1;

// A position in 0..1 as a register value: above 1 limited to 1000, negative
// (and NaN) sent as kKeepTarget.
std::int16_t position_register(float value);
// Six positions in library order to register values in the hand's order.
Registers position_registers(const std::vector<float>& positions);
// Library joint index held by each register slot (its own inverse).
constexpr std::array<std::size_t, kJoints> kJointOfSlot = {3, 2, 1, 0, 4, 5};

std::vector<unsigned char> set_pos_request(unsigned char hand_id, const Registers& registers);
std::vector<unsigned char> fast_positions_request(unsigned char hand_id, const Registers& registers);
Frame set_pos_frame(unsigned char hand_id, const Registers& registers);
Frame fast_positions_frame(unsigned char hand_id, const Registers& registers);
// Each speed truncated toward zero, low 16 bits, in the given order.
std::vector<unsigned char> velocity_request(unsigned char hand_id, const std::vector<float>& speeds);
std::uint16_t speed_word(float value);

// Acceptance of a reply: 90 EB, the hand id, the command echo and, for the
// register commands, the address echo. A reply too short to hold the checked
// bytes is refused.
bool accepts(std::string_view reply, unsigned char hand_id, unsigned char command, std::uint16_t address);
bool accepts_fast(std::string_view reply, unsigned char hand_id);

// Decoders of accepted read replies; each returns false (output untouched)
// when the reply carries less data than it must decode.
bool decode_positions(std::string_view reply, std::vector<float>& out);
bool decode_words(std::string_view reply, std::vector<float>& out);
bool decode_error_bytes(std::string_view reply, std::vector<long>& out);
bool decode_status_bytes(std::string_view reply, std::vector<unsigned char>& out);

// A reply on the configuration channel, judged: the configuration's answer is
// an object whose string "reqTarget" is "/config".
enum class ConfigReply {
    NotJson,      // does not parse
    NoTarget,     // not an object, or without a string "reqTarget"
    OtherTarget,  // an answer for another target
    Config,       // the configuration's answer
};
ConfigReply judge_config_reply(std::string_view text);

}  // namespace inspire_codec


namespace inspire_operations {

// A register exchange on port 2333: its row, and the command and register
// that its request carries and its reply must echo.
struct RegisterOperation {
    Operation row;
    unsigned char command;  // inspire_codec::kRead, kWrite or kFastPositions
    std::uint16_t address;  // the first register (the fast command has none)
    unsigned char count;    // bytes a read asks for
};

// Register rows print their time-out lines without a prefix, send failures
// at most as "ctrl send data failed", and wait for a reply whose header
// they check.
constexpr RegisterOperation registers(const char* name, int budget_ms, SendFailure on_send_failure,
                                      PayloadForm payload, Awaits awaits, unsigned char command,
                                      std::uint16_t address, unsigned char count = 0) {
    const char* failure_line = on_send_failure == SendFailure::Retry ? "" : "ctrl send data failed";
    return {{name, Port::Ctrl, budget_ms, on_send_failure, failure_line, payload, awaits, "", ""}, command, address,
            count};
}

using inspire_codec::kFastPositions;
using inspire_codec::kRead;
using inspire_codec::kWrite;

// Reads.
inline constexpr RegisterOperation kGetPos = registers("get_pos", 100, SendFailure::Retry, PayloadForm::Exact,
                                                       Awaits::Bytes, kRead, inspire_codec::kPositionRegister, 12);
inline constexpr RegisterOperation kGetErrorcode = registers("get_errorcode", 100, SendFailure::Retry,
                                                             PayloadForm::Exact, Awaits::Bytes, kRead,
                                                             inspire_codec::kErrorRegister, 6);
inline constexpr RegisterOperation kGetStatus = registers("get_status", 1000, SendFailure::Retry, PayloadForm::Padded,
                                                          Awaits::Bytes, kRead, inspire_codec::kStatusRegister, 6);
inline constexpr RegisterOperation kGetCurrent = registers("get_current", 1000, SendFailure::Retry,
                                                           PayloadForm::Padded, Awaits::Bytes, kRead,
                                                           inspire_codec::kCurrentRegister, 12);
inline constexpr RegisterOperation kGetVelocity = registers("get_velocity", 1000, SendFailure::Retry,
                                                            PayloadForm::Padded, Awaits::Bytes, kRead,
                                                            inspire_codec::kSpeedRegister, 12);
inline constexpr RegisterOperation kGetCurrentLimited = registers("get_current_limited", 1000,
                                                                  SendFailure::RetryAndSay, PayloadForm::Padded,
                                                                  Awaits::Bytes, kRead,
                                                                  inspire_codec::kCurrentLimitRegister, 12);
// Writes.
inline constexpr RegisterOperation kSetPos = registers("set_pos", 100, SendFailure::Retry, PayloadForm::Exact,
                                                       Awaits::Bytes, kWrite, inspire_codec::kTargetRegister);
inline constexpr RegisterOperation kFastSetPositions = registers("fast_set_positions", 100, SendFailure::Retry,
                                                                 PayloadForm::Exact, Awaits::Bytes, kFastPositions, 0);
inline constexpr RegisterOperation kClearErrorcode = registers("clear_errorcode", 100, SendFailure::Retry,
                                                               PayloadForm::Exact, Awaits::Bytes, kWrite,
                                                               inspire_codec::kClearErrorRegister);
// Speeds are not acknowledged.
inline constexpr RegisterOperation kSetVelocity = registers("set_velocity", 1000, SendFailure::RetryAndSay,
                                                            PayloadForm::Padded, Awaits::Nothing, kWrite,
                                                            inspire_codec::kSpeedRegister);

// The configuration channel (port 2334): JSON texts, a failed send ends the
// exchange, and every line names the operation.
constexpr Operation config(const char* name, const char* prefix) {
    return {name, Port::Comm, 1000, SendFailure::Fail, "comm_udp_socket->SendData(msg) failed", PayloadForm::Text,
            Awaits::NonEmptyText, prefix, ""};
}
inline constexpr Operation kGetCommConfig =
    config("get_comm_config", "[Warning] [Inspire::get_comm_config(std::string &cfg)] ");
inline constexpr Operation kSetCommConfig =
    config("set_comm_config", "[Warning] [Inspire::set_comm_config(std::string cfg)] ");

inline constexpr std::array<const Operation*, 12> kAll = {
    &kGetPos.row, &kGetErrorcode.row, &kGetStatus.row, &kGetCurrent.row, &kGetVelocity.row, &kGetCurrentLimited.row,
    &kSetPos.row, &kFastSetPositions.row, &kClearErrorcode.row, &kSetVelocity.row, &kGetCommConfig, &kSetCommConfig,
};

}  // namespace inspire_operations

}  // namespace BaseHandProtocol
