// The one timed request loop, driven against a bare peer socket inside the
// private namespace, with a scripted clock where the boundary matters.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <functional>
#include <thread>

#include "protocols/qmhv1_codec.h"
#include "support/udp_peer.h"
#include "transport/exchange.h"

using BaseHandProtocol::Exchange;
using BaseHandProtocol::kFailure;
using BaseHandProtocol::kSuccess;
using BaseHandProtocol::kTimeout;
using BaseHandProtocol::Verdict;
using BaseHandProtocol::run_exchange;
using CommSocket::Transmit::UDPSocket;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

const std::string kHandIp = "192.168.137.39";
const std::string kTimeoutLine = "DEVICE RECVFROM: 192.168.137.39, TIMEOUT\n";

// A clock that reads offsets_ms, one per call, then stays on the last one.
struct Script {
    std::vector<int> offsets_ms;
    int calls = 0;
    Exchange::Clock::time_point origin = Exchange::Clock::now();
    Exchange::Clock::time_point operator()() {
        const std::size_t i = std::min<std::size_t>(static_cast<std::size_t>(calls++), offsets_ms.size() - 1);
        return origin + std::chrono::milliseconds(offsets_ms[i]);
    }
};

class TimedLoop : public testing::Test {
protected:
    dexhand_test::UdpPeer hand{kHandIp, 0};
    UDPSocket endpoint{kHandIp, hand.port()};
    std::string request = "ping";

    // A 100 ms exchange of the text request on this endpoint.
    Exchange exchange(UDPSocket& on, const std::string& address = kHandIp) {
        Exchange e;
        e.endpoint = &on;
        e.payload = BaseHandProtocol::Payload::text(request);
        e.address = address;
        e.budget_ms = 100;
        return e;
    }
    std::size_t requests_seen() {
        std::size_t count = 0;
        std::string got;
        while (hand.receive(got, nullptr, std::chrono::milliseconds(20))) {
            ++count;
        }
        return count;
    }
    // Answers the next request with these replies, all at once. (Replies
    // queued before an exchange starts are thrown away by its send.)
    void queue(const std::vector<std::string>& replies) {
        replier = std::thread([this, replies] {
            std::string got;
            sockaddr_in from{};
            if (hand.receive(got, &from)) {
                for (const auto& reply : replies) {
                    hand.send_to(from, reply);
                }
            }
        });
    }
    void TearDown() override {
        if (replier.joinable()) {
            replier.join();
        }
    }
    std::thread replier;
};

}  // namespace

TEST_F(TimedLoop, ExactlyTheBudgetGoesOnOneMillisecondMoreEndsIt) {
    int polls = 0;
    Script clock{{0, 100, 100, 100, 101}};
    Exchange e = exchange(endpoint);
    e.now = std::ref(clock);
    e.judge = [](std::string_view) { return Verdict::Ignore; };
    e.on_empty_poll = [&polls](long long) { return ++polls, Verdict::Ignore; };
    e.timeout_prefix = "[Warning] [Test::op()] ";
    CaptureStdout();
    EXPECT_EQ(run_exchange(e), kTimeout);
    EXPECT_EQ(GetCapturedStdout(), "[Warning] [Test::op()] " + kTimeoutLine);
    EXPECT_EQ(clock.calls, 5);
    EXPECT_EQ(polls, 3);  // the first pass sends, the next three poll
    EXPECT_EQ(requests_seen(), 1u);
}

TEST_F(TimedLoop, WithoutAJudgeACommandIsDoneOnThePassAfterItsSend) {
    Exchange e = exchange(endpoint);
    e.now = Script{{0, 100}};
    EXPECT_EQ(run_exchange(e), kSuccess);
    EXPECT_EQ(requests_seen(), 1u);
}

TEST_F(TimedLoop, ACommandWhoseSendSpentTheBudgetTimesOut) {
    Exchange e = exchange(endpoint);
    e.now = Script{{0, 101}};
    CaptureStdout();
    EXPECT_EQ(run_exchange(e), kTimeout);
    EXPECT_EQ(GetCapturedStdout(), kTimeoutLine);
    EXPECT_EQ(requests_seen(), 1u);
}

TEST_F(TimedLoop, AResendVerdictSendsTheRequestAgain) {
    int empty_polls = 0;
    Exchange e = exchange(endpoint);
    e.judge = [](std::string_view) { return Verdict::Accept; };
    e.on_empty_poll = [&empty_polls](long long) { return ++empty_polls == 1 ? Verdict::Resend : Verdict::Ignore; };
    e.now = Script{{0, 0, 0, 0, 0, 0, 101}};
    CaptureStdout();
    EXPECT_EQ(run_exchange(e), kTimeout);
    GetCapturedStdout();
    EXPECT_EQ(requests_seen(), 2u);
}

TEST_F(TimedLoop, AResendFallingDueAsTheBudgetEndsIsNotSentAndTheLineSaysRecvfrom) {
    Exchange e = exchange(endpoint);
    e.judge = [](std::string_view) { return Verdict::Accept; };
    e.on_empty_poll = [](long long) { return Verdict::Resend; };
    e.now = Script{{0, 0, 101}};
    CaptureStdout();
    EXPECT_EQ(run_exchange(e), kTimeout);
    EXPECT_EQ(GetCapturedStdout(), kTimeoutLine);
    EXPECT_EQ(requests_seen(), 1u);
}

// Silence counted toward a resend is weighed on the exchange's clock and,
// like the first-generation reads' shared counter, carries from one call to
// the next and from one endpoint to another: after a silent call, the next
// resends sooner than a fresh count would.
TEST_F(TimedLoop, SilenceCountedInOneCallBringsTheNextCallsResendForward) {
    constexpr int kLimit = 100000;
    const long long silence_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(kLimit * BaseHandProtocol::kEmptyPollWorth).count();
    const int carried_ms = static_cast<int>(silence_ms * 6 / 10);
    const int next_poll_ms = static_cast<int>(silence_ms / 2);
    std::atomic<int> counter{0};
    UDPSocket other{kHandIp, hand.port()};
    // A counted exchange on this endpoint with its clock's readings.
    const auto requests_of_call = [&](UDPSocket& on, std::vector<int> offsets_ms) {
        Exchange e = exchange(on);
        e.judge = [](std::string_view) { return Verdict::Accept; };
        e.empty_poll_worth = BaseHandProtocol::kEmptyPollWorth;
        e.on_empty_poll = [&counter](long long polls) {
            return BaseHandProtocol::qmhv1_codec::count_empty_poll(counter, kLimit, polls) ? Verdict::Resend
                                                                                              : Verdict::Ignore;
        };
        e.now = Script{std::move(offsets_ms)};
        CaptureStdout();
        EXPECT_EQ(run_exchange(e), kTimeout);
        GetCapturedStdout();
        return requests_seen();
    };
    // Start, send, the send pass's end, then one empty poll each on the
    // next two passes (the second weighs nothing), then past the budget.
    const std::vector<int> next_call = {0, 0, 0, next_poll_ms, next_poll_ms, next_poll_ms, next_poll_ms, 101};
    EXPECT_EQ(requests_of_call(other, next_call), 1u);  // a fresh count: no resend in time
    counter = 0;
    // A silent call: one empty poll after carried_ms, then past the budget.
    EXPECT_EQ(requests_of_call(other, {0, 0, 0, carried_ms, 101}), 1u);
    EXPECT_EQ(requests_of_call(endpoint, next_call), 2u);
}

TEST_F(TimedLoop, TheLineBeforeTheTimeoutGetsTheElapsedTime) {
    Exchange e = exchange(endpoint);
    e.judge = [](std::string_view) { return Verdict::Accept; };
    e.before_timeout_line = [](long long elapsed) {
        Diagnostics::emit(Diagnostics::Level::info, "[INFO] init_ms: " + std::to_string(elapsed));
    };
    e.now = Script{{0, 0, 101}};
    CaptureStdout();
    EXPECT_EQ(run_exchange(e), kTimeout);
    EXPECT_EQ(GetCapturedStdout(), "[INFO] init_ms: 101\n" + kTimeoutLine);
}

class RefusedSends : public TimedLoop {
protected:
    UDPSocket refused{"192.168.137.255", 2333};  // no SO_BROADCAST: every send fails
    int failures = 0;

    Exchange refused_exchange() {
        Exchange e = exchange(refused, "192.168.137.255");
        e.send_failed = [this] { ++failures; };
        e.timeout_prefix = "[Warning] [Qmhv1::calibration()] ";
        e.now = Script{{0, 10, 50, 100, 101}};
        return e;
    }
};

TEST_F(RefusedSends, AreRetriedUntilTheBudgetEnds) {
    CaptureStdout();
    EXPECT_EQ(run_exchange(refused_exchange()), kTimeout);
    EXPECT_EQ(GetCapturedStdout(), "[Warning] [Qmhv1::calibration()] DEVICE SENDTO: 192.168.137.255, TIMEOUT\n");
    EXPECT_EQ(failures, 4);
}

TEST_F(RefusedSends, EndTheExchangeAtOnceWhenSoAsked) {
    Exchange e = refused_exchange();
    e.on_send_failure = BaseHandProtocol::SendFailure::Fail;
    CaptureStdout();
    EXPECT_EQ(run_exchange(e), kFailure);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(failures, 1);
}

class Replies : public TimedLoop {
protected:
    std::vector<std::string> seen;
    std::deque<Verdict> verdicts;

    // An exchange that records each reply and judges it by the next verdict.
    Exchange judged(std::deque<Verdict> script) {
        verdicts = std::move(script);
        Exchange e = exchange(endpoint);
        e.judge = [this](std::string_view reply) {
            seen.emplace_back(reply);
            const Verdict v = verdicts.front();
            verdicts.pop_front();
            return v;
        };
        return e;
    }
};

TEST_F(Replies, IgnoredOnesKeepTheLoopPolling) {
    const Exchange e = judged({Verdict::Ignore, Verdict::Accept});
    queue({"first", "second"});
    EXPECT_EQ(run_exchange(e), kSuccess);
    EXPECT_EQ(seen, (std::vector<std::string>{"first", "second"}));
}

TEST_F(Replies, AsTextEndAtTheFirstNul) {
    const Exchange e = judged({Verdict::Accept});
    queue({std::string("ab\0cd", 5)});
    EXPECT_EQ(run_exchange(e), kSuccess);
    EXPECT_EQ(seen, std::vector<std::string>{"ab"});
}

TEST_F(Replies, AsBytesKeepEveryByte) {
    Exchange e = judged({Verdict::Accept});
    e.reply_form = BaseHandProtocol::ReplyForm::Bytes;
    queue({std::string("no\0!", 4)});
    EXPECT_EQ(run_exchange(e), kSuccess);
    EXPECT_EQ(seen, std::vector<std::string>{std::string("no\0!", 4)});
}

TEST_F(Replies, AFailingOneEndsTheExchangeAndLeavesTheRestWaiting) {
    const Exchange e = judged({Verdict::Fail, Verdict::Accept});
    queue({"no", "left waiting"});
    EXPECT_EQ(run_exchange(e), kFailure);
    EXPECT_EQ(seen, std::vector<std::string>{"no"});
    ASSERT_TRUE(dexhand_test::wait_readable(endpoint.sockfd));
    std::string left;
    ASSERT_EQ(endpoint.ReceiveData(left), CommSocket::Transmit::kSocketOk);
    EXPECT_EQ(left, "left waiting");
}

// On the real clock a silent hand times out just after the budget.
TEST_F(Replies, NoneFromASilentHandTimesOutJustAfterTheBudget) {
    const Exchange e = judged({});
    CaptureStdout();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run_exchange(e), kTimeout);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(GetCapturedStdout(), kTimeoutLine);
    EXPECT_GE(took, std::chrono::milliseconds(101));
    EXPECT_LT(took, std::chrono::milliseconds(2000));
}

// A reply that comes long after the request ends the sleep it finds.
TEST_F(Replies, OneArrivingWhileTheLoopSleepsIsTakenAtOnce) {
    Exchange e = judged({Verdict::Accept});
    e.budget_ms = 5000;
    std::thread late([this] {
        std::string got;
        sockaddr_in from{};
        if (hand.receive(got, &from)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            hand.send_to(from, "late");
        }
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run_exchange(e), kSuccess);
    const auto took = std::chrono::steady_clock::now() - start;
    late.join();
    EXPECT_EQ(seen, std::vector<std::string>{"late"});
    EXPECT_LT(took, std::chrono::milliseconds(2500));
}

// An exchange that weighs its empty polls counts its sleeps as the polls a
// loop without sleeps would have made in that time.
TEST_F(TimedLoop, WeighedEmptyPollsCountTheTimeSlept) {
    long long polls = 0;
    Exchange e = exchange(endpoint);
    e.budget_ms = 20;
    e.judge = [](std::string_view) { return Verdict::Accept; };
    e.on_empty_poll = [&polls](long long count) { return polls += count, Verdict::Ignore; };
    e.empty_poll_worth = std::chrono::microseconds(50);
    CaptureStdout();
    EXPECT_EQ(run_exchange(e), kTimeout);
    GetCapturedStdout();
    // 20 ms of silence is 400 polls at 50 us; sleeps counted once each would
    // give a few dozen.
    EXPECT_GE(polls, 300);
}
