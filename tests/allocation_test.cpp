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
const std::string kQmhv2Ip = "192.168.137.40";
const std::string kInspireIp = "192.168.137.19";
const std::vector<float> kSix = {0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f};
const std::vector<float> kTwelve = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

// Each kind's protocol class beside its simulated hand.
struct FirstGeneration {
    using Sim = sim::Qmhv1Hand;
    using Hand = BaseHandProtocol::Qmhv1;
    static inline const std::string& ip = kHandIp;
    static inline const std::vector<float>& positions = kSix;
};
struct SecondGeneration {
    using Sim = sim::Qmhv2Hand;
    using Hand = BaseHandProtocol::Qmhv2;
    static inline const std::string& ip = kQmhv2Ip;
    static inline const std::vector<float>& positions = kTwelve;
};
struct InspireKind {
    using Sim = sim::InspireHand;
    using Hand = BaseHandProtocol::Inspire;
    static inline const std::string& ip = kInspireIp;
    static inline const std::vector<float>& positions = kSix;
};

template <class Kind>
class EachProtocol : public testing::Test {
protected:
    sim::Simulator simulator;
    std::shared_ptr<typename Kind::Sim> sim_hand = simulator.add<typename Kind::Sim>(Kind::ip);
    typename Kind::Hand hand{Kind::ip};
};
using Kinds = testing::Types<FirstGeneration, SecondGeneration, InspireKind>;
TYPED_TEST_SUITE(EachProtocol, Kinds);

}  // namespace

// The positive control: a library call that builds a long text must count,
// or a broken counter would let every other test pass.
TEST(Allocations, AreCountedInsideTheLibrary) {
    std::string text;
    EXPECT_GT(allocations([&] { BaseHandProtocol::qmhv2_codec::position_request(kTwelve, text); }), 0);
}

TYPED_TEST(EachProtocol, PositionReadsMakeNone) {
    std::vector<float> pos;
    ASSERT_EQ(this->hand.get_pos(pos), 0);
    EXPECT_EQ(allocations([&] {
                  pos.clear();
                  this->hand.get_pos(pos);
              }),
              0);
    EXPECT_EQ(pos.size(), TypeParam::positions.size());
}

TYPED_TEST(EachProtocol, PositionCommandsOnlyCopyTheirArgument) {
    ASSERT_EQ(this->hand.set_pos(TypeParam::positions), 0);
    EXPECT_EQ(allocations([&] { this->hand.set_pos(TypeParam::positions); }), 1);
    EXPECT_EQ(allocations([&] { this->hand.fast_set_positions(TypeParam::positions); }), 1);
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
