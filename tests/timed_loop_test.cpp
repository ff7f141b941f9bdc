// The one timed request loop, driven against a bare peer socket inside the
// private namespace, with a scripted clock where the boundary matters.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>

#include "support/udp_peer.h"
#include "transport/exchange.h"

using BaseHandProtocol::Exchange;
using BaseHandProtocol::Verdict;
using BaseHandProtocol::run_exchange;
using CommSocket::Transmit::UDPSocket;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

const std::string kHandIp = "192.168.137.39";
const std::string kTimeout = "DEVICE RECVFROM: 192.168.137.39, TIMEOUT\n";

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
    // Queues these replies on the endpoint before an exchange starts.
    void queue(const std::vector<std::string>& replies) {
        std::string hello = "hello", got;
        sockaddr_in from{};
        ASSERT_EQ(endpoint.SendData(hello), 0);
        ASSERT_TRUE(hand.receive(got, &from));
        for (const auto& reply : replies) {
            hand.send_to(from, reply);
        }
        ASSERT_TRUE(dexhand_test::wait_readable(endpoint.sockfd));
    }
};

}  // namespace

TEST_F(TimedLoop, ScriptedClockBoundariesResendAndTheLineBeforeTheTimeout) {
    // Exactly the budget goes on; one millisecond more ends it.
    int polls = 0;
    Script clock{{0, 100, 100, 100, 101}};
    Exchange e = exchange(endpoint);
    e.now = std::ref(clock);
    e.judge = [](std::string_view) { return Verdict::Ignore; };
    e.on_empty_poll = [&polls] { return ++polls, Verdict::Ignore; };
    e.timeout_prefix = "[Warning] [Test::op()] ";
    CaptureStdout();
    EXPECT_EQ(run_exchange(e), -2);
    EXPECT_EQ(GetCapturedStdout(), "[Warning] [Test::op()] " + kTimeout);
    EXPECT_EQ(clock.calls, 5);
    EXPECT_EQ(polls, 3);  // the first pass sends, the next three poll
    EXPECT_EQ(requests_seen(), 1u);

    // Without a judge the command is done on the pass after its send, unless
    // the pass of the send already spent the budget.
    e = exchange(endpoint);
    e.now = Script{{0, 100}};
    CaptureStdout();
    EXPECT_EQ(run_exchange(e), 0);
    e.now = Script{{0, 101}};
    EXPECT_EQ(run_exchange(e), -2);
    EXPECT_EQ(GetCapturedStdout(), kTimeout);
    EXPECT_EQ(requests_seen(), 2u);

    // A resend goes out again; the line before the time-out gets the elapsed time.
    int empty_polls = 0;
    e.judge = [](std::string_view) { return Verdict::Accept; };
    e.on_empty_poll = [&empty_polls] { return ++empty_polls == 1 ? Verdict::Resend : Verdict::Ignore; };
    e.before_timeout_line = [](long long elapsed) {
        Diagnostics::emit(Diagnostics::Level::info, "[INFO] init_ms: " + std::to_string(elapsed));
    };
    e.now = Script{{0, 0, 0, 0, 0, 0, 101}};
    CaptureStdout();
    EXPECT_EQ(run_exchange(e), -2);
    EXPECT_EQ(GetCapturedStdout(), "[INFO] init_ms: 101\n" + kTimeout);
    EXPECT_EQ(requests_seen(), 2u);
}

TEST_F(TimedLoop, FailedSendsAreRetriedOrEndTheExchange) {
    UDPSocket refused("192.168.137.255", 2333);  // no SO_BROADCAST: every send fails
    int failures = 0;
    Exchange e = exchange(refused, "192.168.137.255");
    e.send_failed = [&failures] { ++failures; };
    e.timeout_prefix = "[Warning] [Qmhv1::calibration()] ";
    e.now = Script{{0, 10, 50, 100, 101}};
    CaptureStdout();
    EXPECT_EQ(run_exchange(e), -2);
    EXPECT_EQ(GetCapturedStdout(), "[Warning] [Qmhv1::calibration()] DEVICE SENDTO: 192.168.137.255, TIMEOUT\n");
    EXPECT_EQ(failures, 4);

    failures = 0;
    e.on_send_failure = BaseHandProtocol::SendFailure::Fail;
    CaptureStdout();
    EXPECT_EQ(run_exchange(e), -1);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(failures, 1);
}

TEST_F(TimedLoop, VerdictsReplyFormsAndASilentHand) {
    std::vector<std::string> seen;
    std::deque<Verdict> verdicts;
    Exchange e = exchange(endpoint);
    e.judge = [&](std::string_view reply) {
        seen.emplace_back(reply);
        const Verdict v = verdicts.front();
        verdicts.pop_front();
        return v;
    };

    // Ignored replies keep the loop polling; text replies stop at a NUL.
    verdicts = {Verdict::Ignore, Verdict::Accept};
    queue({"first", std::string("ab\0cd", 5)});
    EXPECT_EQ(run_exchange(e), 0);
    EXPECT_EQ(seen, (std::vector<std::string>{"first", "ab"}));

    // A failing verdict ends the exchange at once; byte replies keep every byte.
    seen.clear();
    verdicts = {Verdict::Fail, Verdict::Accept};
    e.reply_form = BaseHandProtocol::ReplyForm::Bytes;
    queue({std::string("no\0!", 4), "left waiting"});
    EXPECT_EQ(run_exchange(e), -1);
    EXPECT_EQ(seen, (std::vector<std::string>{std::string("no\0!", 4)}));
    std::string left;
    ASSERT_EQ(endpoint.ReceiveData(left), 0);
    EXPECT_EQ(left, "left waiting");

    // On the real clock a silent hand times out just after the budget.
    CaptureStdout();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run_exchange(e), -2);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(GetCapturedStdout(), kTimeout);
    EXPECT_GE(took, std::chrono::milliseconds(101));
    EXPECT_LT(took, std::chrono::milliseconds(2000));
}
