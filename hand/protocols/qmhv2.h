#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "export.h"
#include "transport/basehand.h"

namespace BaseHandProtocol {

// Second-generation hands: twelve position values, one JSON request and one
// JSON reply per exchange. Commands go to port 2333, reads to port 2334.
class DEXHAND_EXPORT Qmhv2 : public BaseHand {
public:
    // Opens the three endpoints; sends nothing. Throws what the endpoint
    // constructor throws.
    explicit Qmhv2(std::string ip);
    ~Qmhv2() override;

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
    int get_comm_config(std::string& config) override;
    int set_comm_config(std::string config) override;
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

private:
    // One request exchange on endpoint: a refused send ends it with the
    // "MOTOR: " line when failure_text is given (fail at once), and is retried
    // otherwise. Empty replies are never shown to the judge.
    int exchange(const std::shared_ptr<CommSocket::Transmit::UDPSocket>& endpoint, std::string& request,
                 int limit_ms, const char* failure_text, std::function<Verdict(std::string_view)> judge,
                 std::function<void(long long)> before_timeout_line = {});
    // The exchange that takes the first non-empty reply as it stands.
    int first_text(const std::shared_ptr<CommSocket::Transmit::UDPSocket>& endpoint, std::string& request,
                   int limit_ms, const char* failure_text, std::string& reply);
    void print_motor_line(const char* failure_text) const;

    std::string ip;
    std::string calibration_request;
    std::string enable_request;
    std::string disable_request;
    std::string pos_request;
    std::string pva_request;
    std::string errorcode_request;
    std::string matrix_request;
    std::string config_request;
};

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

bool parses(std::string_view text);
// "errorcode" as an unsigned integer (answers to /calibration, /enable, /disable).
Reply read_command_code(std::string_view text, std::uint64_t& code);
// "errorcode" as an array, its elements unread (answer to /pos).
Reply read_position_ack(std::string_view text);
// The following append to out only on Ok.
// "angle": numbers, each narrowed to float.
Reply read_angles(std::string_view text, std::vector<float>& out);
// "errorcode": unsigned 32-bit integers, widened without sign extension.
Reply read_error_codes(std::string_view text, std::vector<long>& out);
// "matrix": unsigned 32-bit integers, three bytes each (bits 16-23, 8-15,
// 0-7), 32 integers to a 96-byte row.
Reply read_matrix(std::string_view text, std::vector<std::vector<unsigned char>>& out);

}  // namespace qmhv2_codec

}  // namespace BaseHandProtocol
