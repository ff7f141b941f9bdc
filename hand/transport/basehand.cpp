#include "transport/basehand.h"

#include <algorithm>
#include <utility>

#include "transport/exchange.h"
#include "transport/readiness.h"

namespace BaseHandProtocol {

using CommSocket::Transmit::UDPSocket;

BaseHand::BaseHand() = default;
BaseHand::~BaseHand() = default;

void BaseHand::open_endpoints(const std::string& ip, std::size_t joints) {
    ctrl_udp_socket = std::make_shared<UDPSocket>(ip, kCtrlPort);
    comm_udp_socket = std::make_shared<UDPSocket>(ip, kCommPort);
    aux_udp_socket = std::make_shared<UDPSocket>(ip, kAuxPort);
    default_pos.assign(joints, 0.0f);
    default_velocity.assign(joints, 0.0f);
    default_current.assign(joints, 0.0f);
}

// Shared by all hand classes: each one forwards its slot here.
int BaseHand::get_pvc(std::vector<std::vector<float>>& pvc) {
    pvc.clear();

    std::vector<float> values;
    pvc.push_back(get_pos(values) == kSuccess ? values : default_pos);

    values.clear();
    pvc.push_back(get_velocity(values) == kSuccess ? values : default_velocity);

    values.clear();
    const int status = get_current(values);
    pvc.push_back(status == kSuccess ? values : default_current);
    return status;
}

// ---------------------------------------------------------------------------

Payload Payload::padded(std::vector<unsigned char>& frame) {
    Payload p;
    p.form_ = Form::Padded;
    p.frame_ = &frame;
    return p;
}

Payload Payload::text(std::string& text) {
    Payload p;
    p.form_ = Form::Text;
    p.text_ = &text;
    return p;
}

Payload Payload::exact(const unsigned char* data, unsigned short length) {
    Payload p;
    p.form_ = Form::Exact;
    p.data_ = data;
    p.length_ = length;
    return p;
}

int Payload::send_on(UDPSocket& endpoint) const {
    switch (form_) {
    case Form::Padded:
        return frame_ != nullptr ? endpoint.SendData(*frame_) : CommSocket::Transmit::kSocketFailed;
    case Form::Text:
        return text_ != nullptr ? endpoint.SendData(*text_) : CommSocket::Transmit::kSocketFailed;
    case Form::Exact:
        return endpoint.SendData(data_, length_);
    }
    return CommSocket::Transmit::kSocketFailed;
}

namespace {

// One non-blocking poll. Returns false when nothing was taken.
bool poll_once(UDPSocket& endpoint, ReplyForm form, std::string& text, char (&bytes)[UDPSocket::kBufferLength],
               std::string_view& reply) {
    if (form == ReplyForm::Text) {
        if (endpoint.ReceiveData(text) != CommSocket::Transmit::kSocketOk) {
            return false;
        }
        reply = text;
        return true;
    }
    int length = 0;
    if (endpoint.ReceiveData(bytes, length) != CommSocket::Transmit::kSocketOk) {
        return false;
    }
    reply = std::string_view(bytes, static_cast<std::size_t>(length));
    return true;
}

// Asks the exchange's hook about an empty receive: once, or, for an exchange
// that weighs its empty polls, once per empty_poll_worth since the previous
// receive, stopping at the first verdict that is not Ignore.
Verdict empty_polls(const Exchange& exchange, std::chrono::steady_clock::time_point& last_receive) {
    long long count = 1;
    if (exchange.empty_poll_worth.count() > 0) {
        const auto at = std::chrono::steady_clock::now();
        count = std::max<long long>(1, (at - last_receive) / exchange.empty_poll_worth);
        last_receive = at;
    }
    Verdict verdict = Verdict::Ignore;
    for (long long i = 0; i < count && verdict == Verdict::Ignore; ++i) {
        verdict = exchange.on_empty_poll();
    }
    return verdict;
}

}  // namespace

int run_exchange(const Exchange& exchange) {
    if (exchange.endpoint == nullptr) {
        return kFailure;
    }
    UDPSocket& endpoint = *exchange.endpoint;
    const auto now = [&exchange] { return exchange.now ? exchange.now() : Exchange::Clock::now(); };
    // Sleeps are measured on the real clock, whatever clock judges the budget.
    using Real = std::chrono::steady_clock;

    enum class State { Send, Await };
    State state = State::Send;
    std::string text;
    char bytes[UDPSocket::kBufferLength];
    long long elapsed_ms = 0;

    const auto start = now();
    // The first instant at which the whole elapsed milliseconds exceed the budget.
    const auto end = start + std::chrono::milliseconds(exchange.budget_ms + 1);
    Real::time_point spin_until{};
    Real::time_point last_receive{};
    for (;;) {
        bool found = false;
        if (state == State::Send) {
            if (exchange.payload.send_on(endpoint) == CommSocket::Transmit::kSocketOk) {
                state = State::Await;
                spin_until = Real::now() + CommSocket::Transmit::kSpinWindow;
                last_receive = Real::now();
            } else {
                if (exchange.send_failed) {
                    exchange.send_failed();
                }
                if (exchange.on_send_failure == SendFailure::Fail) {
                    return kFailure;
                }
            }
        } else if (!exchange.judge) {
            return kSuccess;  // a command that expects no reply is done once sent
        } else {
            std::string_view reply;
            Verdict verdict = Verdict::Ignore;
            found = poll_once(endpoint, exchange.reply_form, text, bytes, reply);
            if (found) {
                last_receive = Real::now();
                verdict = exchange.judge(reply);
            } else if (exchange.on_empty_poll) {
                verdict = empty_polls(exchange, last_receive);
            }
            switch (verdict) {
            case Verdict::Accept:
                return kSuccess;
            case Verdict::Fail:
                return kFailure;
            case Verdict::Resend:
                state = State::Send;
                break;
            case Verdict::Ignore:
                break;
            }
        }

        const auto at = now();
        elapsed_ms = std::chrono::duration_cast<std::chrono::milliseconds>(at - start).count();
        if (elapsed_ms > exchange.budget_ms) {
            break;
        }
        // Nothing waiting and the spin window spent: sleep until a datagram
        // comes or the budget ends.
        if (state == State::Await && exchange.judge && !found && Real::now() >= spin_until) {
            std::chrono::nanoseconds left = end - at;
            if (exchange.empty_poll_worth.count() > 0 && left > kCountedSleep) {
                left = kCountedSleep;
            }
            if (left.count() > 0) {
                CommSocket::Transmit::wait_readable(endpoint.sockfd, left);
            }
        }
    }

    if (exchange.before_timeout_line) {
        exchange.before_timeout_line(elapsed_ms);
    }
    // A time-out is reported, not fatal: the caller sees -2 and may retry.
    Diagnostics::emit(Diagnostics::Level::warning,
                      exchange.timeout_prefix + (state == State::Send ? "DEVICE SENDTO: " : "DEVICE RECVFROM: ") +
                          exchange.address + ", TIMEOUT");
    return kTimeout;
}

// ---------------------------------------------------------------------------

void say_failure(const Operation& row, const Target& target) {
    Diagnostics::emit(target.failure_level, row.prefix + target.failure_head + row.failure_line);
}

namespace {

int run_row(const Operation& row, const Target& target, const Payload& payload, const Judge& judge,
            const EmptyPoll& on_empty_poll) {
    Exchange e;
    e.endpoint = (row.port == Port::Ctrl ? target.hand.ctrl_udp_socket : target.hand.comm_udp_socket).get();
    e.payload = payload;
    e.budget_ms = row.budget_ms;
    e.on_send_failure = row.on_send_failure;
    if (row.on_send_failure != SendFailure::Retry) {
        e.send_failed = [&row, &target] { say_failure(row, target); };
    }
    if (row.awaits != Awaits::Nothing) {
        e.reply_form = row.awaits == Awaits::Bytes ? ReplyForm::Bytes : ReplyForm::Text;
        const bool skip_empty = row.awaits == Awaits::NonEmptyText;
        e.judge = [&judge, skip_empty](std::string_view reply) {
            if (skip_empty && reply.empty()) {
                return Verdict::Ignore;
            }
            return judge ? judge(reply) : Verdict::Accept;
        };
    }
    e.on_empty_poll = on_empty_poll;
    if (row.counts_empty_polls) {
        e.empty_poll_worth = kEmptyPollWorth;
    }
    e.timeout_prefix = row.prefix;
    e.address = target.address;
    if (*row.elapsed_line != '\0') {
        e.before_timeout_line = [&row](long long elapsed_ms) {
            Diagnostics::emit(Diagnostics::Level::info, row.elapsed_line + std::to_string(elapsed_ms));
        };
    }
    return run_exchange(e);
}

}  // namespace

int run(const Operation& row, const Target& target, std::vector<unsigned char> frame, const Judge& judge,
        const EmptyPoll& on_empty_poll) {
    const Payload payload = row.payload == PayloadForm::Padded
                                ? Payload::padded(frame)
                                : Payload::exact(frame.data(), static_cast<unsigned short>(frame.size()));
    return run_row(row, target, payload, judge, on_empty_poll);
}

int run(const Operation& row, const Target& target, std::string text, const Judge& judge,
        const EmptyPoll& on_empty_poll) {
    return run_row(row, target, Payload::text(text), judge, on_empty_poll);
}

}  // namespace BaseHandProtocol
