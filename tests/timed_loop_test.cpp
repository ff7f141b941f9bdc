// The one timed request loop, driven against a bare peer socket inside the
// private namespace, with a scripted clock where the boundary matters.
#include <gtest/gtest.h>

#include <deque>
#include <thread>

#include "support/udp_peer.h"
#include "transport/basehand.h"

using BaseHandProtocol::Exchange;
using BaseHandProtocol::Payload;
using BaseHandProtocol::ReplyForm;
using BaseHandProtocol::SendFailure;
using BaseHandProtocol::Verdict;
using BaseHandProtocol::run_exchange;
using CommSocket::Transmit::UDPSocket;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

const std::string kHandIp = "192.168.137.39";

// A clock that reads the given offsets in milliseconds, one per call, then
// stays on the last one.
std::function<Exchange::Clock::time_point()> scripted_clock(std::deque<int> offsets_ms, int* calls = nullptr) {
    const auto origin = Exchange::Clock::now();
    return [origin, offsets_ms, calls]() mutable {
        if (calls != nullptr) {
            ++*calls;
        }
        const int offset = offsets_ms.front();
        if (offsets_ms.size() > 1) {
            offsets_ms.pop_front();
        }
        return origin + std::chrono::milliseconds(offset);
    };
}

struct Rig {
    dexhand_test::UdpPeer hand{kHandIp, 0};
    UDPSocket endpoint{kHandIp, hand.port()};
    std::string request = "ping";

    Exchange exchange(int budget_ms) {
        Exchange e;
        e.endpoint = &endpoint;
        e.payload = Payload::text(request);
        e.budget_ms = budget_ms;
        e.address = kHandIp;
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
    // Answers the next request with these datagrams, from another thread.
    std::thread answer_with(std::vector<std::string> replies) {
        return std::thread([this, replies] {
            std::string got;
            sockaddr_in from{};
            if (hand.receive(got, &from)) {
                for (const auto& reply : replies) {
                    hand.send_to(from, reply);
                }
            }
        });
    }
};

}  // namespace

TEST(TimedLoop, ExactlyTheBudgetGoesOnAndOneMillisecondMoreEndsIt) {
    Rig rig;
    int calls = 0;
    int polls = 0;
    Exchange e = rig.exchange(100);
    e.now = scripted_clock({0, 100, 100, 100, 101}, &calls);
    e.judge = [](std::string_view) { return Verdict::Ignore; };
    e.on_empty_poll = [&polls] { return ++polls, Verdict::Ignore; };
    e.timeout_prefix = "[Warning] [Test::op()] ";

    CaptureStdout();
    EXPECT_EQ(run_exchange(e), -2);
    EXPECT_EQ(GetCapturedStdout(), "[Warning] [Test::op()] DEVICE RECVFROM: 192.168.137.39, TIMEOUT\n");
    EXPECT_EQ(calls, 5);
    EXPECT_EQ(polls, 3);  // the first pass sends, the next three poll
    EXPECT_EQ(rig.requests_seen(), 1u);
}

TEST(TimedLoop, SendOnlyCommandIsDoneOnThePassAfterItsSend) {
    Rig rig;
    Exchange e = rig.exchange(100);
    e.now = scripted_clock({0, 100});
    CaptureStdout();
    EXPECT_EQ(run_exchange(e), 0);
    // Sent in the very pass after which the budget ran out: a time-out all the same.
    e.now = scripted_clock({0, 101});
    EXPECT_EQ(run_exchange(e), -2);
    EXPECT_EQ(GetCapturedStdout(), "DEVICE RECVFROM: 192.168.137.39, TIMEOUT\n");
    EXPECT_EQ(rig.requests_seen(), 2u);
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
    e.now = scripted_clock({0, 10, 50, 100, 101});

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

TEST(TimedLoop, VerdictsAndReplyForms) {
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

    // Ignored replies keep the loop polling; text replies stop at a NUL.
    verdicts = {Verdict::Ignore, Verdict::Accept};
    std::thread t1 = rig.answer_with({"first", std::string("ab\0cd", 5)});
    EXPECT_EQ(run_exchange(e), 0);
    t1.join();
    EXPECT_EQ(seen, (std::vector<std::string>{"first", "ab"}));

    // A failing verdict ends the exchange at once; byte replies keep every byte.
    seen.clear();
    verdicts = {Verdict::Fail, Verdict::Accept};
    e.reply_form = ReplyForm::Bytes;
    std::thread t2 = rig.answer_with({std::string("no\0!", 4), "never judged"});
    EXPECT_EQ(run_exchange(e), -1);
    t2.join();
    EXPECT_EQ(seen, (std::vector<std::string>{std::string("no\0!", 4)}));
}

TEST(TimedLoop, ResendAndTheLineBeforeTheTimeout) {
    Rig rig;
    int empty_polls = 0;
    Exchange e = rig.exchange(100);
    e.judge = [](std::string_view) { return Verdict::Accept; };
    e.on_empty_poll = [&empty_polls] { return ++empty_polls == 1 ? Verdict::Resend : Verdict::Ignore; };
    e.before_timeout_line = [](long long elapsed) {
        BaseHandProtocol::print_line("[INFO] init_ms: " + std::to_string(elapsed));
    };
    e.now = scripted_clock({0, 0, 0, 0, 0, 0, 101});
    CaptureStdout();
    EXPECT_EQ(run_exchange(e), -2);
    EXPECT_EQ(GetCapturedStdout(), "[INFO] init_ms: 101\nDEVICE RECVFROM: 192.168.137.39, TIMEOUT\n");
    EXPECT_EQ(rig.requests_seen(), 2u);
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
