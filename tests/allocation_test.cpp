// Heap allocations of the calls a control loop makes at its rate: after the
// first call (which may fill what is kept), get_pos, fast_set_pos and set_pos
// through the client allocate nothing beyond the returned vector or the copy
// of their by-value argument, so neither do the protocols under it. Every
// operator new of this thread is counted.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "client/client_support.h"
#include "inspire_hand.h"
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

}  // namespace

// The positive control: a library call that builds a long text must count,
// or a broken counter would let every other test pass.
TEST(Allocations, AreCountedInsideTheLibrary) {
    std::string text;
    EXPECT_GT(allocations([&] { BaseHandProtocol::qmhv2_codec::position_request(kTwelve, text); }), 0);
}

// A hand of each kind, through the client: a read makes only the vector it
// returns, a command only copies its argument.
TEST(ThroughTheClient, PositionCallsMakeOnlyTheirVectors) {
    client_test::Subnet subnet;
    subnet.add<sim::Qmhv1Hand>(kHandIp, client_test::reply("qmhv1", "QMH-6L", kHandIp));
    subnet.add<sim::Qmhv2Hand>(kQmhv2Ip, client_test::reply("qmhv2", "QMH-12R", kQmhv2Ip));
    subnet.add<sim::InspireHand>(kInspireIp, client_test::reply("QSH", "QSH-6", kInspireIp));
    subnet.run_init();
    QmHand::DexHand& client = subnet.client;
    ASSERT_EQ(client.get_ip_list().size(), 3u);
    for (const auto& command : {std::pair<std::string, std::vector<float>>{kHandIp, kSix},
                                {kQmhv2Ip, kTwelve},
                                {kInspireIp, kSix}}) {
        const std::string& ip = command.first;
        const std::vector<float>& pos = command.second;
        SCOPED_TRACE(ip);
        ASSERT_FALSE(client.get_pos(ip).empty());
        EXPECT_EQ(allocations([&] { const std::vector<float> read = client.get_pos(ip); }), 1);
        ASSERT_EQ(client.set_pos(ip, pos), 0);
        EXPECT_EQ(allocations([&] { client.set_pos(ip, pos); }), 1);
        EXPECT_EQ(allocations([&] { client.fast_set_pos(ip, pos); }), 1);
    }
}
