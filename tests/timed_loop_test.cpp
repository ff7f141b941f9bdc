// The one timed request loop, driven against a bare peer socket inside the
// private namespace, with a scripted clock where the boundary matters.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <thread>

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
    std::string request = "ping";
    dexhand_test::UdpPeer hand{kHandIp, 0};
    UDPSocket endpoint{kHandIp, hand.port()};
    // A 100 ms exchange of a text request.
    Exchange exchange() {
        Exchange e;
        e.endpoint = &endpoint;
        e.payload = BaseHandProtocol::Payload::text(request);
        e.address = kHandIp;
        e.budget_ms = 100;
        return e;
    }
    std::size_t requests_seen() {
        std::size_t count = 0;
        std::string got;
        while (hand.receive(got, std::chrono::milliseconds(20))) {
            ++count;
        }
        return count;
    }
    // Answers the next request with these replies, all at once after the
    // delay. (Replies queued before an exchange starts are thrown away by
    // its send.)
    void queue(const std::vector<std::string>& replies, std::chrono::milliseconds delay = {}) {
        TearDown();  // the previous replier is done
        replier = std::thread([this, replies, delay] {
            std::string got;
            if (hand.receive(got)) {
                std::this_thread::sleep_for(delay);
                const unsigned short port = dexhand_test::local_port(endpoint.sockfd);  // bound by the request
                for (const auto& reply : replies) {
                    hand.send_to(dexhand_test::ipv4("192.168.137.1", port), reply);
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

// Each row scripts the clock (one reading per call) and counts the empty
// polls; "resends" is how many of them answer Resend. Without a judge the
// request is a command, done on the pass after its send.
TEST_F(TimedLoop, BudgetEdgesOnAScriptedClock) {
    constexpr int kAlways = 1000;
    const struct {
        const char* what;
        std::vector<int> clock_ms;
        bool judged;
        int resends;
        int status;
        int polls;
        std::size_t requests;
    } rows[] = {
        {"exactly the budget goes on, one ms more ends it", {0, 100, 100, 100, 101}, true, 0, kTimeout, 3, 1},
        {"a command is done on the pass after its send", {0, 100}, false, 0, kSuccess, 0, 1},
        {"a command whose send spent the budget", {0, 101}, false, 0, kTimeout, 0, 1},
        {"a resend verdict sends again", {0, 0, 0, 0, 0, 0, 101}, true, 1, kTimeout, 4, 2},
        {"a resend due as the budget ends is not sent", {0, 0, 101}, true, kAlways, kTimeout, 1, 1},
    };
    // The line before the time-out line gets the elapsed time.
    const std::string timed_out = "[INFO] init_ms: 101\n[Warning] [Test::op()] " + kTimeoutLine;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        int polls = 0;
        Exchange e = exchange();
        e.now = Script{row.clock_ms};
        if (row.judged) {
            e.judge = [](std::string_view) { return Verdict::Accept; };
        }
        e.on_empty_poll = [&polls, &row](long long) {
            return ++polls <= row.resends ? Verdict::Resend : Verdict::Ignore;
        };
        e.timeout_prefix = "[Warning] [Test::op()] ";
        e.before_timeout_line = [](long long elapsed) {
            Diagnostics::emit(Diagnostics::Level::info, "[INFO] init_ms: " + std::to_string(elapsed));
        };
        CaptureStdout();
        EXPECT_EQ(run_exchange(e), row.status);
        EXPECT_EQ(GetCapturedStdout(), row.status == kTimeout ? timed_out : "");
        EXPECT_EQ(polls, row.polls);
        EXPECT_EQ(requests_seen(), row.requests);
    }
}

class Replies : public TimedLoop {
protected:
    std::vector<std::string> seen;
    std::deque<Verdict> verdicts;

    // An exchange that records each reply and judges it by the next verdict.
    Exchange judged(std::deque<Verdict> script) {
        verdicts = std::move(script);
        Exchange e = exchange();
        e.judge = [this](std::string_view reply) {
            seen.emplace_back(reply);
            const Verdict v = verdicts.front();
            verdicts.pop_front();
            return v;
        };
        return e;
    }
};

// An ignored reply keeps the loop polling; a failing one ends the exchange
// and leaves the rest waiting.
TEST_F(Replies, IgnoredOnesArePassedOverAFailingOneEndsTheExchange) {
    const Exchange e = judged({Verdict::Ignore, Verdict::Fail, Verdict::Accept});
    queue({"passed over", "no", "left waiting"});
    EXPECT_EQ(run_exchange(e), kFailure);
    EXPECT_EQ(seen, (std::vector<std::string>{"passed over", "no"}));
    ASSERT_TRUE(dexhand_test::wait_readable(endpoint.sockfd));
    std::string left;
    ASSERT_EQ(endpoint.ReceiveData(left), CommSocket::Transmit::kSocketOk);
    EXPECT_EQ(left, "left waiting");
}

// A reply that comes long after the request ends the sleep it finds.
TEST_F(Replies, OneArrivingWhileTheLoopSleepsIsTakenAtOnce) {
    Exchange e = judged({Verdict::Accept});
    e.budget_ms = 5000;
    queue({"late"}, std::chrono::milliseconds(30));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run_exchange(e), kSuccess);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(seen, std::vector<std::string>{"late"});
    EXPECT_LT(took, std::chrono::milliseconds(2500));
}

// An exchange that weighs its empty polls counts its sleeps as the polls a
// loop without sleeps would have made in that time.
TEST_F(TimedLoop, WeighedEmptyPollsCountTheTimeSlept) {
    long long polls = 0;
    Exchange e = exchange();
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
