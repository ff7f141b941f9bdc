// Registration and calibration under hostile discovery and scarce resources:
// thousands of claimed addresses with few descriptors left, a calibration
// worker that cannot start, a hand that goes quiet in the middle of its
// calibration.
#include <pthread.h>
#include <unistd.h>
#include <sys/resource.h>
#include <malloc.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "client/client_support.h"
#include "qmhv2_hand.h"
#include "support/fd_count.h"
#include "support/protocol_rig.h"

using client_test::reply;
using client_test::Strings;
using dexhand_test::ThreadLines;
using QmHand::kFailure;
using QmHand::kSuccess;
using testing::HasSubstr;

namespace {

// A resource limit lowered for as long as the object lives.
struct LoweredLimit {
    LoweredLimit(int which, rlim_t limit) : resource(which) {
        ::getrlimit(resource, &saved);
        rlimit lowered = saved;
        lowered.rlim_cur = limit;
        ok = ::setrlimit(resource, &lowered) == 0;
    }
    ~LoweredLimit() { ::setrlimit(resource, &saved); }
    int resource;
    rlimit saved{};
    bool ok = false;
};

}  // namespace

// Thousands of distinct addresses claimed with 100 descriptors allowed: init
// ends with -1 and one line when they run out; nothing is thrown and
// everything is closed with the client.
TEST(HostileDiscovery, RunningOutOfDescriptorsEndsInitWithALine) {
#ifdef DEXHAND_SANITIZED
    GTEST_SKIP() << "the sanitizer runtimes need descriptors of their own while an exception is checked";
#endif
    client_test::Subnet subnet;
    Strings replies;
    for (int i = 0; i < 2000; ++i) {
        replies.push_back(reply("qmhv1", "QMH-6L", "10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250)));
    }
    subnet.add("192.168.137.61", replies.front())
        ->set_discovery(
            sim::DiscoveryAnswer().with_text(replies.front()).with_extra(Strings(replies.begin() + 1, replies.end())));
    const int before = dexhand_test::open_descriptors();
    ThreadLines capture;
    int result = 0;
    std::vector<std::string> lines;
    {
        const LoweredLimit limit(RLIMIT_NOFILE, 100);
        lines = ThreadLines::lines_of([&] { result = subnet.client.init(0); });
    }
    EXPECT_EQ(result, kFailure);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("[Error] [[Qhand]][init()] no descriptor left for the endpoints of 10.0.", 0), 0u)
        << lines[0];
    EXPECT_THAT(lines[0], HasSubstr("Too many open files"));
    EXPECT_GT(subnet.client.get_ip_list().size(), 10u);
    subnet.client.hand_manager.hands.clear();
    EXPECT_EQ(dexhand_test::open_descriptors(), before);
}

// Two second-generation hands; the tests below calibrate them.
class Calibrating : public testing::Test {
protected:
    void SetUp() override {
        first = subnet.add<sim::Qmhv2Hand>("192.168.137.70", reply("qmhv2", "QMH-12L", "192.168.137.70"));
        second = subnet.add<sim::Qmhv2Hand>("192.168.137.71", reply("qmhv2", "QMH-12R", "192.168.137.71"));
        subnet.run_init();
        ASSERT_EQ(subnet.init.result, kSuccess) << subnet.init.output;
        first->set_calibration(300, false);
        second->set_calibration(300, false);
    }
    client_test::Subnet subnet;
    std::shared_ptr<sim::Qmhv2Hand> first, second;
};

long vm_size_bytes() {
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    return pages * ::sysconf(_SC_PAGESIZE);
}

// With room in the address space for one more thread stack only, the second
// worker cannot start: the first is joined, the second hand fails, nothing
// escapes.
TEST_F(Calibrating, AWorkerThatCannotStartFailsItsHandOnly) {
#ifdef DEXHAND_SANITIZED
    GTEST_SKIP() << "the sanitizer runtimes reserve the address space that this test limits";
#endif
    pthread_attr_t attributes;
    size_t stack = 0;
    ASSERT_EQ(::pthread_getattr_default_np(&attributes), 0);
    ::pthread_attr_getstacksize(&attributes, &stack);
    ::pthread_attr_destroy(&attributes);
    ::mallopt(M_ARENA_MAX, 1);  // no new heap arena for the worker

    ThreadLines capture;
    std::vector<std::string> lines;
    int result = 0;
    {
        const LoweredLimit limit(RLIMIT_AS, static_cast<rlim_t>(vm_size_bytes()) + stack + stack / 2);
        ASSERT_TRUE(limit.ok);
        lines = ThreadLines::lines_of([&] { result = subnet.client.calibration(); });
    }

    EXPECT_EQ(result, kFailure);
    EXPECT_EQ(lines, Strings{"[Error] [dexhand][calibration()] cannot start the calibration of 192.168.137.71"});
    EXPECT_EQ(second->received_count(sim::kCtrlPort), 0u);
    EXPECT_FALSE(first->calibrating());
}

// The hand goes quiet for a second in the middle of its calibration: the
// worker's polls time out, the application's call on the same hand queues
// with them and ends within its budget, and the calibration ends once the
// hand answers again.
TEST_F(Calibrating, AHandThatGoesQuietMidwayIsWaitedFor) {
    first->set_calibration(1000, false);
    ThreadLines capture;
    auto calibration = std::async(std::launch::async, [&] { return subnet.client.calibration("192.168.137.70"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    first->set_faults(sim::Faults().with_silent(true));
    long long took_ms = 0;
    ThreadLines::lines_of([&] {
        took_ms = dexhand_test::elapsed_ms([&] { subnet.client.get_pos("192.168.137.70"); });
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the worker's polls go unanswered
    first->set_faults({});
    ASSERT_EQ(calibration.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(calibration.get(), kSuccess);
    EXPECT_LT(took_ms, 1000 + 100 + 400);  // its own budget, one queued poll, slack
}
