#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "export.h"
#include "transport/basehand.h"

namespace BaseHandProtocol {

// The Inspire hand: six joints driven through checksummed register frames on
// port 2333, and a JSON configuration channel on port 2334.
class DEXHAND_EXPORT Inspire : public BaseHand {
public:
    explicit Inspire(std::string ip);
    ~Inspire() override;

    int calibration() override;
    int enable() override;
    int disable() override;
    int reboot() override;
    int get_cnt(std::vector<long>& cnt) override;
    int get_pos(std::vector<float>& pos) override;
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

    // high * 256 + low read as a signed 16-bit number, returned as its
    // magnitude (0x8000 stays 0x8000). Callers choose signed or unsigned.
    static std::uint16_t combineTo16Bit(unsigned char high, unsigned char low);

    std::string ip;
    unsigned char hand_id = 1;

private:
    // One register frame on the control endpoint. Without a judge no reply is
    // awaited. Send failures are retried, with "ctrl send data failed" when
    // report_send_failure is set.
    int exchange_frame(std::vector<unsigned char>& frame, bool padded, int budget_ms, bool report_send_failure,
                       std::function<Verdict(std::string_view)> judge);
    // A read whose accepted reply decode() turns into the output; a reply that
    // is refused or too short to decode prints "[ERROR] " and polling goes on.
    int read_registers(std::uint16_t address, unsigned char count, bool padded, int budget_ms,
                       bool report_send_failure, const std::function<bool(std::string_view)>& decode);
    int write_positions(const char* operation, int check_line, const std::vector<float>& pos, bool fast);
    // One JSON exchange on the configuration endpoint; cfg (when given) takes
    // the configuration reply's text.
    int config_exchange(std::string& request, const char* operation, std::string* cfg);
};

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
std::vector<unsigned char> write_request(unsigned char hand_id, std::uint16_t address,
                                         const std::vector<unsigned char>& data);

// A position in 0..1 as a register value: above 1 limited to 1000, negative
// (and NaN) sent as -1, the hand's "leave this joint" value.
std::int16_t position_register(float value);
// Six positions in library order to register values in the hand's order.
Registers position_registers(const std::vector<float>& positions);
// Library joint index held by each register slot (its own inverse).
constexpr std::array<std::size_t, kJoints> kJointOfSlot = {3, 2, 1, 0, 4, 5};

std::vector<unsigned char> set_pos_request(unsigned char hand_id, const Registers& registers);
std::vector<unsigned char> fast_positions_request(unsigned char hand_id, const Registers& registers);
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

}  // namespace inspire_codec

}  // namespace BaseHandProtocol
