#include "transport/basehand.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <memory>
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

int BaseHand::prepare_get_pos(std::vector<float>& pos, Pending&) { return get_pos(pos); }
int BaseHand::prepare_set_pos(std::vector<float> pos, Pending&) { return set_pos(std::move(pos)); }
int BaseHand::prepare_fast_set_positions(std::vector<float> pos, Pending&) {
    return fast_set_positions(std::move(pos));
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

Payload Payload::text(std::string_view text) {
    Payload p;
    p.form_ = Form::TextView;
    p.view_ = text;
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
    case Form::TextView: {
        // What SendData(std::string&) puts on the wire: the bytes up to a
        // first NUL, zeros after it, texts of 1024 bytes or more refused.
        if (view_.size() >= static_cast<std::size_t>(UDPSocket::kBufferLength)) {
            return CommSocket::Transmit::kSocketFailed;
        }
        unsigned char staging[UDPSocket::kBufferLength];
        const std::size_t text_length = ::strnlen(view_.data(), view_.size());
        std::memcpy(staging, view_.data(), text_length);
        std::memset(staging + text_length, 0, view_.size() - text_length);
        return endpoint.SendData(staging, static_cast<unsigned short>(view_.size()));
    }
    case Form::Exact:
        return endpoint.SendData(data_, length_);
    }
    return CommSocket::Transmit::kSocketFailed;
}

namespace {

// One non-blocking poll into bytes. Returns false when nothing was taken. A
// text reply is the datagram up to its first NUL.
bool poll_once(UDPSocket& endpoint, ReplyForm form, char (&bytes)[UDPSocket::kBufferLength], std::string_view& reply) {
    int length = 0;
    if (endpoint.ReceiveData(bytes, length) != CommSocket::Transmit::kSocketOk) {
        return false;
    }
    std::size_t size = static_cast<std::size_t>(length);
    if (form == ReplyForm::Text) {
        size = ::strnlen(bytes, size);
    }
    reply = std::string_view(bytes, size);
    return true;
}

// Throws away whatever waits on the endpoint, so that only datagrams that
// arrive after the request can answer it: a late or repeated reply to an
// earlier request must never become this one's answer. Bounded, so that a
// flood cannot keep the request from going out.
void drain(UDPSocket& endpoint) {
    constexpr int kDrainLimit = 4096;
    char byte;
    for (int i = 0; i < kDrainLimit && ::recv(endpoint.sockfd, &byte, 1, MSG_DONTWAIT) >= 0; ++i) {
    }
}


// One exchange as a sequence of passes, so that one thread can drive several
// at once (run_together) as well as one alone (run_exchange).
class ExchangeRun {
public:
    using Real = std::chrono::steady_clock;

    explicit ExchangeRun(const Exchange& exchange)
        : e_(exchange), start_(now()), end_(start_ + std::chrono::milliseconds(exchange.budget_ms + 1)) {}

    // One pass; false once the exchange has ended and status() holds its result.
    bool pass() {
        if (e_.endpoint == nullptr) {
            return finish(kFailure);
        }
        found_ = false;
        bool resend = false;
        if (state_ == State::Send) {
            // A command that awaits no reply has nothing to protect; what
            // waits stays for the next request that does to throw away.
            if (e_.judge) {
                drain(*e_.endpoint);
            }
            if (e_.payload.send_on(*e_.endpoint) == CommSocket::Transmit::kSocketOk) {
                state_ = State::Await;
                spin_until_ = Real::now() + CommSocket::Transmit::kSpinWindow;
                if (weighs_empty_polls()) {
                    last_receive_ = now();
                }
            } else {
                if (e_.send_failed) {
                    e_.send_failed();
                }
                if (e_.on_send_failure == SendFailure::Fail) {
                    return finish(kFailure);
                }
            }
        } else if (!e_.judge) {
            return finish(kSuccess);  // a command that expects no reply is done once sent
        } else {
            std::string_view reply;
            Verdict verdict = Verdict::Ignore;
            found_ = poll_once(*e_.endpoint, e_.reply_form, bytes_, reply);
            if (found_) {
                if (weighs_empty_polls()) {
                    last_receive_ = now();
                }
                verdict = e_.judge(reply);
            } else if (e_.on_empty_poll) {
                verdict = e_.on_empty_poll(empty_polls());
            }
            switch (verdict) {
            case Verdict::Accept:
                return finish(kSuccess);
            case Verdict::Fail:
                return finish(kFailure);
            case Verdict::Resend:
                resend = true;
                break;
            case Verdict::Ignore:
                break;
            }
        }

        at_ = now();
        const long long elapsed_ms = std::chrono::duration_cast<std::chrono::milliseconds>(at_ - start_).count();
        if (elapsed_ms > e_.budget_ms) {
            if (e_.before_timeout_line) {
                e_.before_timeout_line(elapsed_ms);
            }
            // A time-out is reported, not fatal: the caller sees -2 and may retry.
            std::string line(e_.timeout_prefix);
            line += state_ == State::Send ? "DEVICE SENDTO: " : "DEVICE RECVFROM: ";
            line += e_.address;
            line += ", TIMEOUT";
            Diagnostics::emit(Diagnostics::Level::warning, line);
            return finish(kTimeout);
        }
        // A resend that falls due on the pass that spends the budget never
        // goes out: the loop was still awaiting the reply, and its line says so.
        if (resend) {
            state_ = State::Send;
        }
        return true;
    }

    // After a pass that did not end the exchange: how long it may sleep now
    // (zero: make the next pass at once). Nothing waiting and the spin window
    // spent: until a datagram comes or the budget ends.
    std::chrono::nanoseconds sleep() const {
        if (state_ != State::Await || !e_.judge || found_ || Real::now() < spin_until_) {
            return std::chrono::nanoseconds(0);
        }
        std::chrono::nanoseconds left = end_ - at_;
        if (weighs_empty_polls()) {
            const std::chrono::nanoseconds until_resend =
                e_.empty_polls_left ? std::chrono::nanoseconds(e_.empty_polls_left() * e_.empty_poll_worth)
                                    : std::chrono::nanoseconds(kCountedSleep);
            left = std::min(left, until_resend);
        }
        return left;
    }

    int fd() const { return e_.endpoint != nullptr ? e_.endpoint->sockfd : -1; }
    int status() const { return status_; }

private:
    enum class State { Send, Await };

    Exchange::Clock::time_point now() const { return e_.now ? e_.now() : Exchange::Clock::now(); }
    bool weighs_empty_polls() const { return e_.empty_poll_worth.count() > 0; }

    // How many empty polls an empty receive stands for: one, or, for an
    // exchange that weighs them, one per empty_poll_worth of silence since
    // the previous receive or send (at least one), on the exchange's clock.
    long long empty_polls() {
        if (!weighs_empty_polls()) {
            return 1;
        }
        const Exchange::Clock::time_point at = now();
        const long long count = std::max<long long>(1, (at - last_receive_) / e_.empty_poll_worth);
        last_receive_ = at;
        return count;
    }
    bool finish(int status) {
        status_ = status;
        return false;
    }

    const Exchange& e_;
    const Exchange::Clock::time_point start_;
    // The first instant at which the whole elapsed milliseconds exceed the budget.
    const Exchange::Clock::time_point end_;
    Exchange::Clock::time_point at_{};
    // The spin window is measured on the real clock, whatever clock judges
    // the budget and weighs the silence.
    Real::time_point spin_until_{};
    Exchange::Clock::time_point last_receive_{};
    State state_ = State::Send;
    bool found_ = false;
    int status_ = kFailure;
    char bytes_[UDPSocket::kBufferLength];
};

}  // namespace

int run_exchange(const Exchange& exchange) {
    // Lines about refused datagrams are capped per operation.
    const Diagnostics::RefusalScope refusals;
    ExchangeRun run(exchange);
    while (run.pass()) {
        const std::chrono::nanoseconds sleep = run.sleep();
        if (sleep.count() > 0) {
            CommSocket::Transmit::wait_readable(run.fd(), sleep);
        }
    }
    return run.status();
}

void run_together(Pending* const* exchanges, std::size_t count) {
    const Diagnostics::RefusalScope refusals;
    std::vector<std::unique_ptr<ExchangeRun>> runs;
    std::vector<pollfd> sleepers;
    runs.reserve(count);
    sleepers.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        runs.push_back(std::make_unique<ExchangeRun>(exchanges[i]->exchange));
    }
    std::size_t live = count;
    while (live > 0) {
        // One pass of each exchange still running; a sleep only when all of
        // them would sleep, on all their endpoints at once.
        sleepers.clear();
        std::chrono::nanoseconds sleep = std::chrono::nanoseconds::max();
        for (std::size_t i = 0; i < count; ++i) {
            if (!runs[i]) {
                continue;
            }
            if (!runs[i]->pass()) {
                exchanges[i]->status = runs[i]->status();
                runs[i].reset();
                --live;
                continue;
            }
            const std::chrono::nanoseconds own = runs[i]->sleep();
            sleep = std::min(sleep, own);
            pollfd entry{};
            entry.fd = runs[i]->fd();
            sleepers.push_back(entry);
        }
        if (live > 0 && sleep.count() > 0) {
            CommSocket::Transmit::wait_readable(sleepers.data(), sleepers.size(), sleep);
        }
    }
}

// ---------------------------------------------------------------------------

void say_failure(const Operation& row, const Target& target) {
    std::string line = row.prefix;
    if (*target.failure_head != '\0') {
        line += target.failure_head;
        line += target.address;
    }
    line += row.failure_line;
    Diagnostics::emit(target.failure_level, line);
}

namespace {

void prepare_row(Pending& pending, const Operation& row, const Target& target, Judge judge,
                 const EmptyPoll& on_empty_poll) {
    pending.row = &row;
    pending.target.emplace(target);
    pending.judge = std::move(judge);
    Exchange& e = pending.exchange;
    e.endpoint = (row.port == Port::Ctrl ? target.hand.ctrl_udp_socket : target.hand.comm_udp_socket).get();
    e.budget_ms = row.budget_ms;
    e.on_send_failure = row.on_send_failure;
    if (row.on_send_failure != SendFailure::Retry) {
        e.send_failed = [&pending] { say_failure(*pending.row, *pending.target); };
    }
    if (row.awaits != Awaits::Nothing) {
        e.reply_form = row.awaits == Awaits::Bytes ? ReplyForm::Bytes : ReplyForm::Text;
        const bool skip_empty = row.awaits == Awaits::NonEmptyText;
        e.judge = [&pending, skip_empty](std::string_view reply) {
            if (skip_empty && reply.empty()) {
                return Verdict::Ignore;
            }
            return pending.judge ? pending.judge(reply) : Verdict::Accept;
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
}

}  // namespace

int prepare(Pending& pending, const Operation& row, const Target& target, std::vector<unsigned char> frame,
            Judge judge, const EmptyPoll& on_empty_poll) {
    prepare_row(pending, row, target, std::move(judge), on_empty_poll);
    pending.frame = std::move(frame);
    pending.exchange.payload =
        row.payload == PayloadForm::Padded
            ? Payload::padded(pending.frame)
            : Payload::exact(pending.frame.data(), static_cast<unsigned short>(pending.frame.size()));
    return kPrepared;
}

int prepare(Pending& pending, const Operation& row, const Target& target, const unsigned char* frame,
            std::size_t length, Judge judge, const EmptyPoll& on_empty_poll) {
    if (length > Pending::kFrameRoom || row.payload == PayloadForm::Padded) {
        return prepare(pending, row, target, std::vector<unsigned char>(frame, frame + length), std::move(judge),
                       on_empty_poll);
    }
    prepare_row(pending, row, target, std::move(judge), on_empty_poll);
    std::copy(frame, frame + length, pending.frame_bytes);
    pending.exchange.payload = Payload::exact(pending.frame_bytes, static_cast<unsigned short>(length));
    return kPrepared;
}

int prepare_constant(Pending& pending, const Operation& row, const Target& target, std::string_view text,
                     Judge judge, const EmptyPoll& on_empty_poll) {
    prepare_row(pending, row, target, std::move(judge), on_empty_poll);
    pending.exchange.payload = Payload::text(text);
    return kPrepared;
}

int prepare(Pending& pending, const Operation& row, const Target& target, std::string text, Judge judge,
            const EmptyPoll& on_empty_poll) {
    prepare_row(pending, row, target, std::move(judge), on_empty_poll);
    pending.text = std::move(text);
    pending.exchange.payload = Payload::text(pending.text);
    return kPrepared;
}

int run(const Operation& row, const Target& target, std::vector<unsigned char> frame, Judge judge,
        const EmptyPoll& on_empty_poll) {
    Pending pending;
    prepare(pending, row, target, std::move(frame), std::move(judge), on_empty_poll);
    return run_exchange(pending.exchange);
}

int run(const Operation& row, const Target& target, std::string text, Judge judge,
        const EmptyPoll& on_empty_poll) {
    Pending pending;
    prepare(pending, row, target, std::move(text), std::move(judge), on_empty_poll);
    return run_exchange(pending.exchange);
}

int finish(Pending& pending, int prepared) {
    if (prepared != kPrepared) {
        return prepared;
    }
    return run_exchange(pending.exchange);
}

}  // namespace BaseHandProtocol
