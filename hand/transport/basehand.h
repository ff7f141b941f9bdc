#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "export.h"
#include "transport/commsocket.h"
#include "transport/diagnostics.h"
#include "transport/status.h"

namespace BaseHandProtocol {

// The ports that every hand offers.
constexpr unsigned short kCtrlPort = 2333;
constexpr unsigned short kCommPort = 2334;
constexpr unsigned short kAuxPort = 2335;

// The interface behind which every kind of hand hides its wire protocol.
// Slots 2 to 28 are implemented by every hand class; get_pvc has a shared
// implementation that the classes forward to.
class DEXHAND_EXPORT BaseHand {
public:
    BaseHand();
    virtual ~BaseHand();

    virtual int calibration() = 0;
    virtual int enable() = 0;
    virtual int disable() = 0;
    virtual int reboot() = 0;
    virtual int get_cnt(std::vector<long>& cnt) = 0;
    virtual int get_pos(std::vector<float>& pos) = 0;
    virtual int get_current(std::vector<float>& current) = 0;
    virtual int get_velocity(std::vector<float>& velocity) = 0;
    virtual int get_errorcode(std::vector<long>& codes) = 0;
    virtual int get_status(std::vector<unsigned char>& status) = 0;
    virtual int clear_errorcode() = 0;
    virtual int get_comm_config(std::string& config) = 0;
    virtual int set_comm_config(std::string config) = 0;
    virtual int get_pos_limited(std::vector<float>& limits) = 0;
    virtual int get_velocity_limited(std::vector<float>& limits) = 0;
    virtual int get_current_limited(std::vector<float>& limits) = 0;
    virtual int set_velocity_limited(unsigned char id, float limit) = 0;
    virtual int set_pos_limited(unsigned char id, float lower, float upper) = 0;
    virtual int set_current_limited(unsigned char id, float limit) = 0;
    virtual int set_pos(std::vector<float> pos) = 0;
    virtual int set_velocity(std::vector<float> velocity) = 0;
    virtual int set_current(std::vector<float> current) = 0;
    virtual int fast_set_positions(std::vector<float> pos) = 0;
    virtual int get_ts_matrix(std::vector<std::vector<unsigned char>>& matrix) = 0;
    virtual int get_ts_tashan(std::vector<std::vector<float>>& tashan) = 0;
    virtual int get_ntc(int& ntc) = 0;
    // Positions, velocities and currents: always three rows, a failed read
    // replaced by its default list; the result is that of the current read.
    virtual int get_pvc(std::vector<std::vector<float>>& pvc) = 0;

    std::shared_ptr<CommSocket::Transmit::UDPSocket> ctrl_udp_socket;
    std::shared_ptr<CommSocket::Transmit::UDPSocket> comm_udp_socket;
    std::shared_ptr<CommSocket::Transmit::UDPSocket> aux_udp_socket;
    std::vector<float> default_pos;
    std::vector<float> default_velocity;
    std::vector<float> default_current;

protected:
    // Opens the three endpoints to ip (ports 2333, 2334, 2335, in that order)
    // and sets each default list to joints zeros. Throws what the endpoint
    // constructor throws.
    void open_endpoints(const std::string& ip, std::size_t joints);
};

// ---------------------------------------------------------------------------
// The timed request loop: send once, then poll for the reply until it is
// accepted, refused, or the budget runs out. Every exchange with a hand goes
// through run_exchange(); the hand classes only describe their exchanges.

// What an exchange makes of one poll.
enum class Verdict {
    Accept,  // done: the exchange returns 0
    Fail,    // the hand reported failure or the reply is unusable: -1
    Ignore,  // not the awaited reply: keep polling
    Resend,  // send the request again on the next pass
};

// The request datagram, in one of the endpoint's three send forms.
class Payload {
public:
    // The frame at the start of a zero-padded 247-byte datagram.
    static Payload padded(std::vector<unsigned char>& frame);
    // The text, without terminator.
    static Payload text(std::string& text);
    // Exactly these bytes.
    static Payload exact(const unsigned char* data, unsigned short length);

    int send_on(CommSocket::Transmit::UDPSocket& endpoint) const;

private:
    enum class Form { Padded, Text, Exact };
    Form form_ = Form::Exact;
    std::vector<unsigned char>* frame_ = nullptr;
    std::string* text_ = nullptr;
    const unsigned char* data_ = nullptr;
    unsigned short length_ = 0;
};

enum class SendFailure {
    Retry,  // stay in the sending state and send again on the next pass
    Fail,   // end the exchange with -1 at once
};

enum class ReplyForm {
    Text,   // the datagram up to its first NUL
    Bytes,  // every byte of the datagram
};

struct Exchange {
    using Clock = std::chrono::steady_clock;

    CommSocket::Transmit::UDPSocket* endpoint = nullptr;
    Payload payload;
    int budget_ms = 100;

    SendFailure on_send_failure = SendFailure::Retry;
    // Called after every failed send (for example to print a line).
    std::function<void()> send_failed;

    // Without a judge the exchange expects no reply: the pass after the
    // first successful send returns 0.
    ReplyForm reply_form = ReplyForm::Text;
    std::function<Verdict(std::string_view reply)> judge;
    // Called on a poll that found nothing; Ignore when not set.
    std::function<Verdict()> on_empty_poll;

    // The time-out line: prefix + "DEVICE SENDTO: " or "DEVICE RECVFROM: "
    // + address + ", TIMEOUT".
    std::string timeout_prefix;
    std::string address;
    // Called with the elapsed milliseconds just before the time-out line.
    std::function<void(long long elapsed_ms)> before_timeout_line;

    // The loop's clock; the steady clock unless a test replaces it.
    std::function<Clock::time_point()> now;
};

// Runs the exchange: 0 accepted (or sent, when no reply is expected), -1
// failed, -2 budget spent (after printing the time-out line).
int run_exchange(const Exchange& exchange);

}  // namespace BaseHandProtocol
