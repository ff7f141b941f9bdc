// Resource loops: thousands of protocol objects and clients initialised
// again and again leave descriptors, threads and heap where they started.
#include <malloc.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <string>

#include "client/client_support.h"
#include "protocols/inspire.h"
#include "protocols/qmhv1.h"
#include "protocols/qmhv2.h"
#include "qmhv1_hand.h"
#include "qmhv2_hand.h"
#include "support/fd_count.h"
#include "support/protocol_rig.h"

using client_test::reply;
using QmHand::kSuccess;

namespace {

int threads() {
    const std::filesystem::directory_iterator tasks("/proc/self/task");
    return static_cast<int>(std::distance(begin(tasks), end(tasks)));
}

// Descriptors, threads and heap bytes in use.
struct Usage {
    int descriptors = dexhand_test::open_descriptors();
    int thread_count = threads();
    long long heap = static_cast<long long>(::mallinfo2().uordblks);
};

// What a loop may leave behind on the heap: caches of the C++ runtime, never
// a share of every pass.
constexpr long long kHeapSlack = 64 * 1024;

void expect_back(const Usage& before, const char* what) {
    const Usage after;
    EXPECT_EQ(after.descriptors, before.descriptors) << what;
    EXPECT_EQ(after.thread_count, before.thread_count) << what;
#ifndef DEXHAND_SANITIZED  // the sanitizers keep their own heap; they check leaks themselves
    EXPECT_LT(after.heap - before.heap, kHeapSlack) << what;
#endif
}

std::string address(int i) { return "192.168.137." + std::to_string(100 + i % 100); }

}  // namespace

TEST(Resources, ThousandsOfProtocolObjects) {
    { BaseHandProtocol::Inspire warm_up("192.168.137.19"); }
    const Usage before;
    for (int i = 0; i < 2000; ++i) {
        BaseHandProtocol::Qmhv1 v1(address(i));
        BaseHandProtocol::Qmhv2 v2(address(i + 1));
        BaseHandProtocol::Inspire inspire(i % 2 ? "192.168.137.19" : "192.168.137.39");
    }
    expect_back(before, "protocol objects");
}

// A new client each time: discovery, registration, a read of each hand and
// a calibration. A descriptor or thread left by any pass shows after two.
TEST(Resources, ClientsInitialisedAgainAndAgain) {
    client_test::Subnet subnet;
    auto v2hand = subnet.add<sim::Qmhv2Hand>("192.168.137.39", reply("qmhv2", "QMH-12L", "192.168.137.39"));
    subnet.add<sim::Qmhv1Hand>("192.168.137.41", reply("qmhv1", "QMH-6L", "192.168.137.41"));
    v2hand->set_calibration(20, false);
    dexhand_test::ThreadLines quiet;
    const auto cycle = [&] {
        QmHand::DexHand client;
        ASSERT_EQ(client.init(0), kSuccess);
        EXPECT_EQ(client.get_pos("192.168.137.41").size(), 6u);
        EXPECT_EQ(client.get_pos("192.168.137.39").size(), 12u);
        EXPECT_EQ(client.calibration(), kSuccess);
    };
    cycle();
    const Usage before;
    cycle();
    cycle();
    expect_back(before, "clients");
}
