// Heap allocations of the calls a control loop makes at its rate: after the
// first call (which may fill what is kept), get_pos with a reused output,
// fast_set_positions and set_pos allocate nothing beyond the copy of their
// by-value argument, and through the client nothing beyond the returned
// vector. Every operator new of this thread is counted.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "client/client_support.h"
#include "inspire_hand.h"
#include "protocols/inspire.h"
#include "protocols/qmhv1.h"
#include "protocols/qmhv2.h"
#include "protocols/qmhv2_codec.h"
#include "qmhv1_hand.h"
#include "qmhv2_hand.h"
#include "simulator.h"

namespace {
thread_local bool t_counting = false;
thread_local long t_allocations = 0;
}  // namespace

// Every unaligned form of new and delete is replaced, so that all of them
// meet in malloc and free (a sanitizer checks that they pair up).
namespace {
void* counted_new(std::size_t size) noexcept {
    if (t_counting) {
        ++t_allocations;
    }
    return std::malloc(size == 0 ? 1 : size);
}
}  // namespace

void* operator new(std::size_t size) {
    if (void* p = counted_new(size)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return counted_new(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return counted_new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

// Allocations made by call on this thread.
template <class Call>
long allocations(Call call) {
    t_allocations = 0;
    t_counting = true;
    call();
    t_counting = false;
    return t_allocations;
}

const std::string kHandIp = "192.168.137.10";
const std::vector<float> kSix = {0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f};
const std::vector<float> kTwelve = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

class FirstGeneration : public testing::Test {
protected:
    sim::Simulator simulator;
    std::shared_ptr<sim::Qmhv1Hand> sim_hand = simulator.add<sim::Qmhv1Hand>(kHandIp);
    BaseHandProtocol::Qmhv1 hand{kHandIp};
};

}  // namespace

// The positive control: a library call that builds a long text must count,
// or a broken counter would let every other test pass.
TEST(Allocations, AreCountedInsideTheLibrary) {
    std::string text;
    EXPECT_GT(allocations([&] { BaseHandProtocol::qmhv2_codec::position_request(kTwelve, text); }), 0);
}

TEST_F(FirstGeneration, PositionReadsMakeNone) {
    std::vector<float> pos;
    ASSERT_EQ(hand.get_pos(pos), 0);
    long made = -1;
    made = allocations([&] { hand.get_pos(pos); });
    EXPECT_EQ(made, 0);
    EXPECT_EQ(pos.size(), 6u);
}

TEST_F(FirstGeneration, PositionCommandsOnlyCopyTheirArgument) {
    ASSERT_EQ(hand.fast_set_positions(kSix), 0);
    EXPECT_EQ(allocations([&] { hand.fast_set_positions(kSix); }), 1);
    EXPECT_EQ(allocations([&] { hand.set_pos(kSix); }), 1);
}

namespace {

const std::string kQmhv2Ip = "192.168.137.40";

class SecondGeneration : public testing::Test {
protected:
    sim::Simulator simulator;
    std::shared_ptr<sim::Qmhv2Hand> sim_hand = simulator.add<sim::Qmhv2Hand>(kQmhv2Ip);
    BaseHandProtocol::Qmhv2 hand{kQmhv2Ip};
};

}  // namespace

TEST_F(SecondGeneration, PositionReadsMakeNone) {
    std::vector<float> pos;
    ASSERT_EQ(hand.get_pos(pos), 0);
    EXPECT_EQ(allocations([&] {
                  pos.clear();
                  hand.get_pos(pos);
              }),
              0);
    EXPECT_EQ(pos.size(), 12u);
}

TEST_F(SecondGeneration, PositionCommandsOnlyCopyTheirArgument) {
    ASSERT_EQ(hand.set_pos(kTwelve), 0);
    EXPECT_EQ(allocations([&] { hand.set_pos(kTwelve); }), 1);
    EXPECT_EQ(allocations([&] { hand.fast_set_positions(kTwelve); }), 1);
}

namespace {

const std::string kInspireIp = "192.168.137.19";

class InspireKind : public testing::Test {
protected:
    sim::Simulator simulator;
    std::shared_ptr<sim::InspireHand> sim_hand = simulator.add<sim::InspireHand>(kInspireIp);
    BaseHandProtocol::Inspire hand{kInspireIp};
};

}  // namespace

TEST_F(InspireKind, PositionReadsMakeNone) {
    std::vector<float> pos;
    ASSERT_EQ(hand.get_pos(pos), 0);
    EXPECT_EQ(allocations([&] { hand.get_pos(pos); }), 0);
    EXPECT_EQ(pos.size(), 6u);
}

TEST_F(InspireKind, PositionCommandsOnlyCopyTheirArgument) {
    ASSERT_EQ(hand.set_pos(kSix), 0);
    EXPECT_EQ(allocations([&] { hand.set_pos(kSix); }), 1);
    EXPECT_EQ(allocations([&] { hand.fast_set_positions(kSix); }), 1);
}

namespace {

// One discovery (a second) for the client's tests: a hand of each kind.
class ThroughTheClient : public testing::Test {
protected:
    static void SetUpTestSuite() {
        subnet = std::make_unique<client_test::Subnet>();
        subnet->add<sim::Qmhv1Hand>(kHandIp, client_test::reply("qmhv1", "QMH-6L", kHandIp));
        subnet->add<sim::Qmhv2Hand>(kQmhv2Ip, client_test::reply("qmhv2", "QMH-12R", kQmhv2Ip));
        subnet->add<sim::InspireHand>(kInspireIp, client_test::reply("QSH", "QSH-6", kInspireIp));
        subnet->run_init();
    }
    static void TearDownTestSuite() { subnet.reset(); }
    void SetUp() override { ASSERT_EQ(subnet->client.get_ip_list().size(), 3u); }
    static inline std::unique_ptr<client_test::Subnet> subnet;
};

}  // namespace

TEST_F(ThroughTheClient, PositionReadsMakeOnlyTheReturnedVector) {
    QmHand::DexHand& client = subnet->client;
    for (const std::string& ip : {kHandIp, kQmhv2Ip, kInspireIp}) {
        SCOPED_TRACE(ip);
        ASSERT_FALSE(client.get_pos(ip).empty());
        EXPECT_EQ(allocations([&] { const std::vector<float> pos = client.get_pos(ip); }), 1);
    }
}

TEST_F(ThroughTheClient, PositionCommandsOnlyCopyTheirArgument) {
    QmHand::DexHand& client = subnet->client;
    for (const auto& command : {std::pair<std::string, std::vector<float>>{kHandIp, kSix},
                                {kQmhv2Ip, kTwelve},
                                {kInspireIp, kSix}}) {
        const std::string& ip = command.first;
        const std::vector<float>& pos = command.second;
        SCOPED_TRACE(ip);
        ASSERT_EQ(client.set_pos(ip, pos), 0);
        EXPECT_EQ(allocations([&] { client.set_pos(ip, pos); }), 1);
        EXPECT_EQ(allocations([&] { client.fast_set_pos(ip, pos); }), 1);
    }
}
