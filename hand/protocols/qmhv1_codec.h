#pragma once

// The first-generation hands' wire codec and operation table, private to the
// library and its tests.

#include <array>
#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "transport/exchange.h"

namespace BaseHandProtocol {

// The wire codec of the first-generation hands: plain functions of bytes and
// values, no sockets, no clocks.
namespace qmhv1_codec {

constexpr std::size_t kJoints = 6;
constexpr float kHold = -1.0f;

// Control frames (port 2333).
std::vector<unsigned char> calibration_frame();
std::vector<unsigned char> disable_frame();
std::vector<unsigned char> clear_errorcode_frame();
std::vector<unsigned char> reset_pid_frame();
// command is 0x05 (position), 0x06 (velocity) or 0x07 (current); pid holds
// exactly three gains.
std::vector<unsigned char> pid_frame(unsigned char command, unsigned char id, const std::vector<float>& pid);
std::vector<unsigned char> pos_limit_frame(unsigned char id, float lower, float upper);
std::vector<unsigned char> velocity_limit_frame(unsigned char id, float limit);
std::vector<unsigned char> positions_frame(const std::array<float, kJoints>& targets);
// The same frame without the heap: 01 11 00 00 and six big-endian floats.
using PositionsBytes = std::array<unsigned char, 4 + 4 * kJoints>;
PositionsBytes positions_bytes(const std::array<float, kJoints>& targets);

// Requests (port 2334).
std::vector<unsigned char> cnt_request();
std::vector<unsigned char> pos_request();
inline constexpr std::array<unsigned char, 2> kPosRequest = {0x02, 0x00};
std::vector<unsigned char> velocity_request();
std::vector<unsigned char> current_request();
std::vector<unsigned char> status_request();
std::vector<unsigned char> errorcode_request();
std::vector<unsigned char> pos_limit_request();
std::vector<unsigned char> velocity_limit_request();
std::vector<unsigned char> current_limit_request();
std::vector<unsigned char> reboot_request();
std::vector<unsigned char> config_request();

// Identity frames (port 2334). Input that does not fit the fixed frame, or an
// address octet outside 0..255, leaves frame untouched.
enum class IdentityCheck { Ok, TooLong, OutOfRange };
IdentityCheck ip_frame(const std::vector<int>& octets, std::vector<unsigned char>& frame);
IdentityCheck mac_frame(const std::vector<int>& bytes, std::vector<unsigned char>& frame);
IdentityCheck sn_frame(const std::string& sn, std::vector<unsigned char>& frame);

void append_float(std::vector<unsigned char>& frame, float value);

// Text replies: split at spaces only, each token read on its own, 0 where no
// number can be read.
std::vector<std::string_view> split_tokens(std::string_view text);
std::vector<float> decode_floats(std::string_view text);
// The same values in place: the first room values go to out; returns how
// many tokens the text holds.
std::size_t decode_floats(std::string_view text, float* out, std::size_t room);
std::vector<long> decode_integers(std::string_view text);
std::vector<unsigned char> decode_status(std::string_view text);

// Normalised positions from six raw ones: 1 - raw / full-scale.
std::vector<float> normalise_positions(const std::vector<float>& raw, const std::vector<float>& limits);
// The same from kJoints raw values into out, reusing its storage; false (out
// untouched) without usable limits.
bool normalise_positions(const float* raw, const std::vector<float>& limits, std::vector<float>& out);
// A limit list from which positions can be converted: two values per joint,
// every full-scale value (the second of each pair) finite and above 0.
bool usable_pos_limits(const std::vector<float>& limits);

// The targets of a position command.
// A list of another length than six is accepted only when every value is a
// hold marker (the empty list too): then all six joints hold.
enum class PositionCheck { Ok, SizeNotSix, AllNegative, NoLimits };
PositionCheck position_targets(const std::vector<float>& pos, const std::vector<float>& limits,
                               std::array<float, kJoints>& targets);

// The configuration reply, judged.
enum class ConfigReply { Empty, NotJson, NotObject, CheckFailed, Accepted };
ConfigReply judge_config_reply(std::string_view text);

// A configuration text, taken apart into the identity items it writes.
enum class ItemState { Absent, Present, Invalid };
struct ConfigItems {
    bool parsed = false;
    bool object = false;
    ItemState sn = ItemState::Absent;
    std::string sn_text;
    ItemState mac = ItemState::Absent;
    std::vector<int> mac_values;
    ItemState ip = ItemState::Absent;
    std::vector<int> ip_values;
};
ConfigItems parse_config(const std::string& text);

// The two process-wide counters of empty polls, and one step of one of them
// by `polls` empty polls at once: true when the step reached the limit (the
// counter restarts at 0).
std::atomic<int>& current_recv_counts();
std::atomic<int>& velocity_recv_counts();
bool count_empty_poll(std::atomic<int>& counter, int limit, long long polls = 1);
// How many more empty polls until the counter reaches the limit (at least 1).
long long empty_polls_left(const std::atomic<int>& counter, int limit);

}  // namespace qmhv1_codec

// Every exchange of a first-generation hand. All share the 100 ms budget,
// retry a failed send silently, send their frame exactly as built, and name
// themselves in their time-out lines.
namespace qmhv1_operations {

constexpr Operation row(const char* name, Port port, Awaits awaits, const char* prefix) {
    return {name, port, 100, SendFailure::Retry, "", PayloadForm::Exact, awaits, prefix, ""};
}

// Control frames (port 2333): nothing awaited.
inline constexpr Operation kCalibration =
    row("calibration", Port::Ctrl, Awaits::Nothing, "[Warning] [Qmhv1::calibration()] ");
inline constexpr Operation kDisable = row("disable", Port::Ctrl, Awaits::Nothing, "[Warning] [Qmhv1::disable()] ");
inline constexpr Operation kClearErrorcode =
    row("clear_errorcode", Port::Ctrl, Awaits::Nothing, "[Warning] [Qmhv1::clear_errorcode()] ");
inline constexpr Operation kSetPosPid =
    row("set_pos_pid", Port::Ctrl, Awaits::Nothing, "[Warning] [Qmhv1::set_pos_pid()] ");
inline constexpr Operation kSetVelocityPid =
    row("set_velocity_pid", Port::Ctrl, Awaits::Nothing, "[Warning] [Qmhv1::set_velocity_pid()] ");
inline constexpr Operation kSetCurrentPid =
    row("set_current_pid", Port::Ctrl, Awaits::Nothing, "[Warning] [Qmhv1::set_current_pid()] ");
inline constexpr Operation kSetPosLimited =
    row("set_pos_limited", Port::Ctrl, Awaits::Nothing, "[Warning] [Qmhv1::set_pos_limited()] ");
inline constexpr Operation kSetVelocityLimited =
    row("set_velocity_limited", Port::Ctrl, Awaits::Nothing, "[Warning] [Qmhv1::set_velocity_limited()] ");
inline constexpr Operation kResetPid = row("reset_pid", Port::Ctrl, Awaits::Nothing, "[Warning] [Qmhv1::reset_pid()] ");
inline constexpr Operation kFastSetPositions =
    row("fast_set_positions", Port::Ctrl, Awaits::Nothing, "[Warning] [Qmhv1::fast_set_positions()] ");
// Requests (port 2334): get_errorcode's reply is binary, the configuration
// reply must not be empty, the reboot takes one poll whatever it finds.
inline constexpr Operation kGetCnt = row("get_cnt", Port::Comm, Awaits::Text, "[Warning] [Qmhv1::get_cnt()] ");
inline constexpr Operation kGetPos = row("get_pos", Port::Comm, Awaits::Text, "[Warning] [Qmhv1::get_pos()] ");
inline constexpr Operation kGetVelocity =
    counting_empty_polls(row("get_velocity", Port::Comm, Awaits::Text, "[Warning] [Qmhv1::get_velocity()] "));
inline constexpr Operation kGetCurrent =
    counting_empty_polls(row("get_current", Port::Comm, Awaits::Text, "[Warning] [Qmhv1::get_current()] "));
inline constexpr Operation kGetStatus = row("get_status", Port::Comm, Awaits::Text, "[Warning] [Qmhv1::get_status()] ");
inline constexpr Operation kGetErrorcode =
    row("get_errorcode", Port::Comm, Awaits::Bytes, "[Warning] [Qmhv1::get_errorcode()] ");
inline constexpr Operation kGetPosLimited =
    row("get_pos_limited", Port::Comm, Awaits::Text, "[Warning] [Qmhv1::get_pos_limited()] ");
inline constexpr Operation kGetVelocityLimited =
    row("get_velocity_limited", Port::Comm, Awaits::Text, "[Warning] [Qmhv1::get_velocity_limited()] ");
inline constexpr Operation kGetCurrentLimited =
    row("get_current_limited", Port::Comm, Awaits::Text, "[Warning] [Qmhv1::get_current_limited()] ");
inline constexpr Operation kReboot = row("reboot", Port::Comm, Awaits::Text, "[Warning] [Qmhv1::reboot()] ");
inline constexpr Operation kGetCommConfig =
    row("get_comm_config", Port::Comm, Awaits::NonEmptyText, "[Warning] [Qmhv1::get_comm_config()] ");
// Identity writes (port 2334): nothing awaited.
inline constexpr Operation kSetIp = row("set_ip", Port::Comm, Awaits::Nothing, "[Warning] [Qmhv1::set_ip()] ");
inline constexpr Operation kSetMac = row("set_mac", Port::Comm, Awaits::Nothing, "[Warning] [Qmhv1::set_mac()] ");
inline constexpr Operation kSetSn = row("set_sn", Port::Comm, Awaits::Nothing, "[Warning] [Qmhv1::set_sn()] ");

inline constexpr std::array<const Operation*, 24> kAll = {
    &kCalibration, &kDisable, &kClearErrorcode, &kSetPosPid, &kSetVelocityPid, &kSetCurrentPid, &kSetPosLimited,
    &kSetVelocityLimited, &kResetPid, &kFastSetPositions, &kGetCnt, &kGetPos, &kGetVelocity, &kGetCurrent,
    &kGetStatus, &kGetErrorcode, &kGetPosLimited, &kGetVelocityLimited, &kGetCurrentLimited, &kReboot,
    &kGetCommConfig, &kSetIp, &kSetMac, &kSetSn,
};

}  // namespace qmhv1_operations

}  // namespace BaseHandProtocol
