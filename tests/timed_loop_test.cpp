// The one timed request loop, driven against a bare peer socket inside the
// private namespace, with a scripted clock where the boundary matters.
#include <gtest/gtest.h>

#include <deque>

#include "support/udp_peer.h"
#include "transport/basehand.h"

using BaseHandProtocol::Exchange;
using BaseHandProtocol::Payload;
using BaseHandProtocol::ReplyForm;
using BaseHandProtocol::SendFailure;
using BaseHandProtocol::Verdict;
using BaseHandProtocol::run_exchange;
using CommSocket::Transmit::UDPSocket;
using dexhand_test::UdpPeer;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

const std::string kHandIp = "192.168.137.39";

// A clock that reads the given offsets in milliseconds, one per call, and then
// stays on the last one.
struct ScriptedClock {
    std::deque<int> offsets_ms;
    Exchange::Clock::time_point origin = Exchange::Clock::now();
    int calls = 0;

    std::function<Exchange::Clock::time_point()> fn() {
        return [this] {
            ++calls;
            const int offset = offsets_ms.front();
            if (offsets_ms.size() > 1) {
                offsets_ms.pop_front();
            }
            return origin + std::chrono::milliseconds(offset);
        };
    }
};

struct Rig {
    UdpPeer hand{kHandIp, 0};
    UDPSocket endpoint{kHandIp, hand.port()};
    std::string request = "ping";

    Exchange exchange(int budget_ms = 100) {
        Exchange e;
        e.endpoint = &endpoint;
        e.payload = Payload::text(request);
        e.budget_ms = budget_ms;
        e.address = kHandIp;
        return e;
    }
    std::size_t drain_requests() {
        std::size_t count = 0;
        std::string got;
        while (hand.receive(got, nullptr, std::chrono::milliseconds(20))) {
            ++count;
        }
        return count;
    }
};

}  // namespace

TEST(TimedLoop, ExactlyTheBudgetGoesOnAndOneMillisecondMoreEndsIt) {
    Rig rig;
    ScriptedClock clock;
    // start, then after each pass: 100, 100, 100, 101.
    clock.offsets_ms = {0, 100, 100, 100, 101};
    int polls = 0;
    Exchange e = rig.exchange(100);
    e.now = clock.fn();
    e.judge = [](std::string_view) { return Verdict::Ignore; };
    e.on_empty_poll = [&polls] {
        ++polls;
        return Verdict::Ignore;
    };
    e.timeout_prefix = "[Warning] [Test::op()] ";

    CaptureStdout();
    EXPECT_EQ(run_exchange(e), -2);
    EXPECT_EQ(GetCapturedStdout(), "[Warning] [Test::op()] DEVICE RECVFROM: 192.168.137.39, TIMEOUT\n");
    EXPECT_EQ(clock.calls, 5);
    EXPECT_EQ(polls, 3);  // the first pass sends, the next three poll
    EXPECT_EQ(rig.drain_requests(), 1u);
}

TEST(TimedLoop, SendOnlyCommandIsDoneOnThePassAfterItsSend) {
    Rig rig;
    ScriptedClock clock;
    clock.offsets_ms = {0, 100};
    Exchange e = rig.exchange(100);
    e.now = clock.fn();
    CaptureStdout();
    EXPECT_EQ(run_exchange(e), 0);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(rig.drain_requests(), 1u);

    // Sent in the very pass after which the budget ran out: a time-out.
    ScriptedClock late;
    late.offsets_ms = {0, 101};
    e.now = late.fn();
    CaptureStdout();
    EXPECT_EQ(run_exchange(e), -2);
    EXPECT_EQ(GetCapturedStdout(), "DEVICE RECVFROM: 192.168.137.39, TIMEOUT\n");
    EXPECT_EQ(rig.drain_requests(), 1u);
}

TEST(TimedLoop, FailedSendsAreRetriedOrEndTheExchange) {
    UDPSocket refused("192.168.137.255", 2333);  // no SO_BROADCAST: every send fails
    std::string request = "x";
    int failures = 0;
    Exchange e;
    e.endpoint = &refused;
    e.payload = Payload::text(request);
    e.address = "192.168.137.255";
    e.send_failed = [&failures] { ++failures; };
    e.timeout_prefix = "[Warning] [Qmhv1::calibration()] ";

    ScriptedClock clock;
    clock.offsets_ms = {0, 10, 50, 100, 101};
    e.now = clock.fn();
    CaptureStdout();
    EXPECT_EQ(run_exchange(e), -2);
    EXPECT_EQ(GetCapturedStdout(), "[Warning] [Qmhv1::calibration()] DEVICE SENDTO: 192.168.137.255, TIMEOUT\n");
    EXPECT_EQ(failures, 4);

    failures = 0;
    e.on_send_failure = SendFailure::Fail;
    CaptureStdout();
    EXPECT_EQ(run_exchange(e), -1);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(failures, 1);
}

TEST(TimedLoop, VerdictsOfTheJudge) {
    Rig rig;
    std::vector<std::string> seen;
    std::deque<Verdict> verdicts;
    Exchange e = rig.exchange(1000);
    e.judge = [&](std::string_view reply) {
        seen.emplace_back(reply);
        const Verdict v = verdicts.front();
        verdicts.pop_front();
        return v;
    };

    // Ignored replies keep the loop polling until one is accepted.
    verdicts = {Verdict::Ignore, Verdict::Accept};
    std::thread answer([&] {
        std::string got;
        sockaddr_in from{};
        ASSERT_TRUE(rig.hand.receive(got, &from));
        rig.hand.send_to(from, "first");
        rig.hand.send_to(from, "second");
    });
    EXPECT_EQ(run_exchange(e), 0);
    answer.join();
    EXPECT_EQ(seen, (std::vector<std::string>{"first", "second"}));

    // A failing verdict ends the exchange with -1 at once.
    seen.clear();
    verdicts = {Verdict::Fail};
    std::thread refuse([&] {
        std::string got;
        sockaddr_in from{};
        ASSERT_TRUE(rig.hand.receive(got, &from));
        rig.hand.send_to(from, "no");
    });
    EXPECT_EQ(run_exchange(e), -1);
    refuse.join();
    EXPECT_EQ(seen, (std::vector<std::string>{"no"}));
}

TEST(TimedLoop, ResendSendsTheRequestAgain) {
    Rig rig;
    int empty_polls = 0;
    Exchange e = rig.exchange(100);
    e.judge = [](std::string_view) { return Verdict::Accept; };
    e.on_empty_poll = [&empty_polls] { return ++empty_polls == 1 ? Verdict::Resend : Verdict::Ignore; };
    CaptureStdout();
    EXPECT_EQ(run_exchange(e), -2);
    GetCapturedStdout();
    EXPECT_EQ(rig.drain_requests(), 2u);
}

TEST(TimedLoop, ReplyFormsAndTheLineBeforeTheTimeout) {
    Rig rig;
    std::string seen;
    Exchange e = rig.exchange(300);
    e.judge = [&seen](std::string_view reply) {
        seen.assign(reply.data(), reply.size());
        return Verdict::Accept;
    };
    auto answer_with = [&rig](const std::string& bytes) {
        return std::thread([&rig, bytes] {
            std::string got;
            sockaddr_in from{};
            if (rig.hand.receive(got, &from)) {
                rig.hand.send_to(from, bytes);
            }
        });
    };

    std::thread t1 = answer_with(std::string("ab\0cd", 5));
    EXPECT_EQ(run_exchange(e), 0);
    t1.join();
    EXPECT_EQ(seen, "ab");

    e.reply_form = ReplyForm::Bytes;
    std::thread t2 = answer_with(std::string("ab\0cd", 5));
    EXPECT_EQ(run_exchange(e), 0);
    t2.join();
    EXPECT_EQ(seen, std::string("ab\0cd", 5));

    long long reported = -1;
    e.before_timeout_line = [&reported](long long elapsed) {
        reported = elapsed;
        BaseHandProtocol::print_line("[INFO] init_ms: " + std::to_string(elapsed));
    };
    ScriptedClock clock;
    clock.offsets_ms = {0, 301};
    e.now = clock.fn();
    CaptureStdout();
    EXPECT_EQ(run_exchange(e), -2);
    EXPECT_EQ(GetCapturedStdout(), "[INFO] init_ms: 301\nDEVICE RECVFROM: 192.168.137.39, TIMEOUT\n");
    EXPECT_EQ(reported, 301);
}

TEST(TimedLoop, SilentHandTimesOutJustAfterTheBudget) {
    Rig rig;
    Exchange e = rig.exchange(100);
    e.judge = [](std::string_view) { return Verdict::Accept; };
    CaptureStdout();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run_exchange(e), -2);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(GetCapturedStdout(), "DEVICE RECVFROM: 192.168.137.39, TIMEOUT\n");
    EXPECT_GE(took, std::chrono::milliseconds(101));
    EXPECT_LT(took, std::chrono::milliseconds(2000));
}
