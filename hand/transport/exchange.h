#pragma once

// The timed request loop and the operation tables that drive it. Private to
// the library (and its tests): applications reach hands through the classes
// of basehand.h and the protocol headers.

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "transport/basehand.h"
#include "transport/commsocket.h"
#include "transport/diagnostics.h"
#include "transport/status.h"

namespace BaseHandProtocol {

// The ports that every hand offers.
constexpr unsigned short kCtrlPort = 2333;
constexpr unsigned short kCommPort = 2334;
constexpr unsigned short kAuxPort = 2335;

// ---------------------------------------------------------------------------
// The timed request loop: send once, then poll for the reply until it is
// accepted, refused, or the budget runs out. Every exchange with a hand goes
// through run_exchange().
//
// Waiting: for kSpinWindow after each send the loop polls without pause (a
// fast hand answers within it); after that, each poll that finds nothing is
// followed by a sleep in poll() that a datagram ends at once and that lasts
// at most until the budget's end (the first instant whose whole elapsed
// milliseconds exceed the budget). Every wake-up is followed by one
// non-blocking receive, so the passes, verdicts, resends and lines are those
// of a loop that never sleeps; there are just fewer empty passes.

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
    // The same for a text held elsewhere.
    static Payload text(std::string_view text);
    // Exactly these bytes.
    static Payload exact(const unsigned char* data, unsigned short length);

    int send_on(CommSocket::Transmit::UDPSocket& endpoint) const;

private:
    enum class Form { Padded, Text, TextView, Exact };
    Form form_ = Form::Exact;
    std::vector<unsigned char>* frame_ = nullptr;
    std::string* text_ = nullptr;
    std::string_view view_;
    const unsigned char* data_ = nullptr;
    unsigned short length_ = 0;
};

enum class SendFailure {
    Retry,        // stay in the sending state and send again on the next pass
    RetryAndSay,  // the same, printing the operation's failure line each time
    Fail,         // print the failure line and end the exchange with -1 at once
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

    // Fail ends the exchange; the other policies send again.
    SendFailure on_send_failure = SendFailure::Retry;
    // Called after every failed send (for example to print a line).
    std::function<void()> send_failed;

    // Without a judge the exchange expects no reply: the pass after the
    // first successful send returns 0.
    ReplyForm reply_form = ReplyForm::Text;
    std::function<Verdict(std::string_view reply)> judge;
    // Called on a poll that found nothing, with the number of empty polls it
    // stands for; Ignore when not set.
    std::function<Verdict(long long polls)> on_empty_poll;
    // For hooks that count empty polls toward a resend. Zero: each empty
    // receive is one empty poll. Otherwise a receive that ends a sleep stands
    // for one empty poll per this much time slept (at least one), as many as
    // a loop that never slept would have made, and no sleep lasts longer
    // than kCountedSleep, so that a resend falls due on time.
    std::chrono::nanoseconds empty_poll_worth{0};
    // For such hooks that can tell it: how many more empty polls until the
    // hook asks for a resend. A sleep then lasts until that much silence has
    // passed instead of kCountedSleep, so a silent hand costs one wake-up per
    // resend, not one per millisecond.
    std::function<long long()> empty_polls_left;

    // The time-out line: prefix + "DEVICE SENDTO: " or "DEVICE RECVFROM: "
    // + address + ", TIMEOUT", put together only when it is printed. The
    // prefix must outlive the run (the rows' prefixes are constants); an
    // address text is short enough to be kept without the heap.
    std::string_view timeout_prefix;
    std::string address;
    // Called with the elapsed milliseconds just before the time-out line.
    std::function<void(long long elapsed_ms)> before_timeout_line;

    // The loop's clock; the steady clock unless a test replaces it.
    std::function<Clock::time_point()> now;
};

// The longest sleep of an exchange that counts its empty polls and cannot
// tell when its hook will ask for a resend (see empty_polls_left).
constexpr std::chrono::milliseconds kCountedSleep{1};

// Runs the exchange: 0 accepted (or sent, when no reply is expected), -1
// failed, -2 budget spent (after printing the time-out line).
int run_exchange(const Exchange& exchange);

// ---------------------------------------------------------------------------
// Operation tables: each hand kind lists its exchanges as rows of what does
// not change from call to call; a call adds its request and its judge.

enum class Port {
    Ctrl,  // ctrl_udp_socket, 2333
    Comm,  // comm_udp_socket, 2334
};

// How the request of a row goes out.
enum class PayloadForm {
    Exact,   // the frame's bytes
    Padded,  // the frame at the start of a zero-padded 247-byte datagram
    Text,    // a text
};

// What a row waits for after its request is sent.
enum class Awaits {
    Nothing,       // done once sent
    Text,          // the datagram up to its first NUL, empty texts included
    NonEmptyText,  // the same, but an empty text is passed over
    Bytes,         // every byte of the datagram
};

// One row of a hand kind's table.
struct Operation {
    const char* name;  // the operation's name in the library's interface
    Port port;
    int budget_ms;
    SendFailure on_send_failure;
    // The operation's own failure text: printed after a failed send (unless
    // the policy is a silent Retry) and where the hand refuses the request.
    // "" prints nothing.
    const char* failure_line;
    PayloadForm payload;
    Awaits awaits;
    // What the row's time-out line and failure line start with.
    const char* prefix;
    // Printed with the elapsed milliseconds just before the time-out line;
    // "" prints nothing.
    const char* elapsed_line;
    // Its empty-poll hook counts toward a resend: sleeps are weighed at
    // kEmptyPollWorth each (Exchange::empty_poll_worth).
    bool counts_empty_polls = false;
};

// About one pass of a wait that polls without ever sleeping (an empty
// non-blocking receive, a clock read, a step of the counter), on the machines
// the empty-poll limits were tuned on: a sleep counts one empty poll per this
// much time, three per microsecond, so that get_current and get_velocity of a
// first-generation hand resend after about 33 ms of silence with the default
// limit (100000), as the loop that never slept did. A fixed pace rather than
// one measured at run time: when a resend goes out must not depend on how
// fast the host's system calls are.
constexpr std::chrono::nanoseconds kEmptyPollWorth{333};

constexpr Operation counting_empty_polls(Operation row) {
    row.counts_empty_polls = true;
    return row;
}

// The hand object a row runs on.
struct Target {
    Target(BaseHand& on, const std::string& at) : hand(on), address(at) {}
    Target(BaseHand& on, const std::string& at, const char* head, Diagnostics::Level level)
        : hand(on), address(at), failure_head(head), failure_level(level) {}

    BaseHand& hand;              // its endpoints
    const std::string& address;  // named in the time-out lines
    // When not empty, put with the address between the row's prefix and its
    // failure line ("MOTOR: " gives "MOTOR: 192.168.137.40, ...").
    const char* failure_head = "";
    Diagnostics::Level failure_level = Diagnostics::Level::warning;
};

using Judge = std::function<Verdict(std::string_view reply)>;
// Asked about a poll that found nothing, with how many empty polls it
// stands for (see Exchange::empty_poll_worth).
using EmptyPoll = std::function<Verdict(long long polls)>;

// Runs the row with this request. A row that awaits an answer hands every
// reply to judge (without a judge the first one is taken); on_empty_poll is
// asked on every poll that found nothing (keep polling when not set).
// Exact and Padded rows send a frame, Text rows a text.
int run(const Operation& row, const Target& target, std::vector<unsigned char> frame, Judge judge = {},
        const EmptyPoll& on_empty_poll = {});
int run(const Operation& row, const Target& target, std::string text, Judge judge = {},
        const EmptyPoll& on_empty_poll = {});

// A row made ready to run with its request and judge, alone (finish) or
// side by side with others (run_together). It owns all it needs, so it must
// stay where it is until it has run.
class Pending {
public:
    Pending() = default;
    Pending(const Pending&) = delete;
    Pending& operator=(const Pending&) = delete;

    Exchange exchange;
    // The result once it has run through run_together.
    int status = kFailure;

    const Operation* row = nullptr;
    std::optional<Target> target;
    Judge judge;
    // The request: a frame of at most kFrameRoom bytes is kept here, without
    // touching the heap; longer ones and texts in the containers below.
    static constexpr std::size_t kFrameRoom = 64;
    unsigned char frame_bytes[kFrameRoom] = {};
    std::vector<unsigned char> frame;
    std::string text;
};

// What prepare() and the prepare_* operations of the hand classes return
// when an exchange is ready to run; anything else is the operation's final
// result (a refused argument, say) and there is nothing to run.
constexpr int kPrepared = 1;

int prepare(Pending& pending, const Operation& row, const Target& target, std::vector<unsigned char> frame,
            Judge judge = {}, const EmptyPoll& on_empty_poll = {});
int prepare(Pending& pending, const Operation& row, const Target& target, std::string text,
            Judge judge = {}, const EmptyPoll& on_empty_poll = {});
// The same for a frame given as bytes, kept in the Pending itself when it fits.
int prepare(Pending& pending, const Operation& row, const Target& target, const unsigned char* frame,
            std::size_t length, Judge judge = {}, const EmptyPoll& on_empty_poll = {});
// A text that outlives the run (a constant request), not copied.
int prepare_constant(Pending& pending, const Operation& row, const Target& target, std::string_view text,
                     Judge judge = {}, const EmptyPoll& on_empty_poll = {});

// Runs a prepared exchange alone; passes any other result of a preparation on.
int finish(Pending& pending, int prepared);

// Runs the exchanges side by side on this thread: every request goes out,
// then one sleep waits on all their endpoints at once. Each exchange keeps
// its own budget, rules and lines, and ends with the status it would have
// had alone (left in its status).
void run_together(Pending* const* exchanges, std::size_t count);

// Prints the row's failure line, as a failed send does.
void say_failure(const Operation& row, const Target& target);

}  // namespace BaseHandProtocol
