#pragma once

#include <array>
#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "export.h"
#include "transport/basehand.h"

namespace BaseHandProtocol {

// A first-generation hand: six joints, binary request frames (big-endian
// floats) and space-separated text replies. Control frames go to port 2333
// and are never answered; requests that expect an answer, the reboot and the
// identity writes go to port 2334. Port 2335 is opened but unused.
class DEXHAND_EXPORT Qmhv1 : public BaseHand {
public:
    // Opens the three endpoints; sends nothing. Throws what the endpoint
    // constructor throws.
    explicit Qmhv1(std::string ip_address);
    ~Qmhv1() override;

    int calibration() override;
    int enable() override;
    int disable() override;
    int reboot() override;
    int get_cnt(std::vector<long>& cnt) override;
    int get_pos(std::vector<float>& fdb) override;
    int get_current(std::vector<float>& current) override;
    int get_velocity(std::vector<float>& velocity) override;
    int get_errorcode(std::vector<long>& codes) override;
    int get_status(std::vector<unsigned char>& status) override;
    int clear_errorcode() override;
    int get_comm_config(std::string& cfg) override;
    int set_comm_config(std::string cfg) override;
    int get_pos_limited(std::vector<float>& limits) override;
    int get_velocity_limited(std::vector<float>& limits) override;
    int get_current_limited(std::vector<float>& limits) override;
    int set_velocity_limited(unsigned char id, float limit) override;
    int set_pos_limited(unsigned char id, float lower, float upper) override;
    int set_current_limited(unsigned char id, float limit) override;
    int set_pos(std::vector<float> pos) override;
    int set_velocity(std::vector<float> velocity) override;
    int set_current(std::vector<float> current) override;
    int fast_set_positions(std::vector<float> pos) override;
    int get_ts_matrix(std::vector<std::vector<unsigned char>>& matrix) override;
    int get_ts_tashan(std::vector<std::vector<float>>& tashan) override;
    int get_ntc(int& ntc) override;
    int get_pvc(std::vector<std::vector<float>>& pvc) override;

    // Controller gains of one joint or motor: pid holds P, I and D.
    int set_pos_pid(unsigned char id, std::vector<float> pid);
    int set_velocity_pid(unsigned char id, std::vector<float> pid);
    int set_current_pid(unsigned char id, std::vector<float> pid);
    int reset_pid();

    // Network identity: at most four octets, six MAC bytes, 31 characters.
    int set_ip(std::vector<int> octets);
    int set_mac(std::vector<int> bytes);
    int set_sn(std::string sn);

    std::string ip;
    // Consecutive empty polls after which get_current and get_velocity send
    // their request again.
    int recv_counts_limit = 100000;
    // Two values per joint, the second the joint's full-scale position; read
    // once from the hand and kept for the object's life.
    std::vector<float> pos_limits;

private:
    // Fills pos_limits when empty; false after six failed limit reads.
    bool ensure_pos_limits();
};

// The wire codec of the first-generation hands: plain functions of bytes and
// values, kept out of the library's exported interface.
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

// Requests (port 2334).
std::vector<unsigned char> cnt_request();
std::vector<unsigned char> pos_request();
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
std::vector<long> decode_integers(std::string_view text);
std::vector<unsigned char> decode_status(std::string_view text);

// Normalised positions from six raw ones: 1 - raw / full-scale.
std::vector<float> normalise_positions(const std::vector<float>& raw, const std::vector<float>& limits);
// A limit list from which positions can be converted (two values per joint).
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

// The two process-wide counters of empty polls, and one step of one of them:
// true when this empty poll reached the limit (the counter restarts at 0).
std::atomic<int>& current_recv_counts();
std::atomic<int>& velocity_recv_counts();
bool count_empty_poll(std::atomic<int>& counter, int limit);

}  // namespace qmhv1_codec

}  // namespace BaseHandProtocol
