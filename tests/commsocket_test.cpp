// The UDP endpoint against a bare peer socket inside the private namespace.
#include <fcntl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <utility>

#include "support/fd_count.h"
#include "support/udp_peer.h"
#include "transport/commsocket.h"

using CommSocket::Transmit::kSocketFailed;
using CommSocket::Transmit::kSocketOk;
using CommSocket::Transmit::UDPSocket;
using dexhand_test::UdpPeer;

namespace {

const std::string kHandIp = "192.168.137.39";

// An endpoint to a peer bound on the hand subnet.
struct Pair {
    UdpPeer hand{kHandIp, 0};
    UDPSocket endpoint{kHandIp, hand.port()};

    std::string sent() {
        std::string got;
        return hand.receive(got, std::chrono::milliseconds(100)) ? got : "<nothing>";
    }
    // A peer writes to the endpoint's local port (which exists after a send).
    void answer(const std::string& bytes, const UdpPeer* from = nullptr) {
        (from ? *from : hand).send_to(dexhand_test::ipv4("192.168.137.1", dexhand_test::local_port(endpoint.sockfd)),
                                      bytes);
        ASSERT_TRUE(dexhand_test::wait_readable(endpoint.sockfd));
    }
};

int socket_option(int fd, int option) {
    int value = -1;
    socklen_t length = sizeof(value);
    ::getsockopt(fd, SOL_SOCKET, option, &value, &length);
    return value;
}

}  // namespace

// What arrived at the peer after a send that reported success.
class Sends : public testing::Test, protected Pair {
protected:
    template <class... Args>
    std::string wire(Args&&... args) {
        return endpoint.SendData(std::forward<Args>(args)...) == kSocketOk ? sent() : "<refused>";
    }
};

// Up to 247 bytes, padded with zeros to 247; one more is refused and nothing
// leaves. Raw bytes go out exactly.
TEST_F(Sends, VectorsArePaddedTo247BytesAndLongerOnesRefused) {
    std::vector<unsigned char> three = {0x01, 0x02, 0x03}, full(247, 0xAB), over(248, 0x55);
    EXPECT_EQ(wire(three), std::string("\x01\x02\x03", 3) + std::string(244, '\0'));
    EXPECT_EQ(wire(full), std::string(247, '\xAB'));
    EXPECT_EQ(wire(over), "<refused>");
    EXPECT_EQ(sent(), "<nothing>");
    const unsigned char raw[] = {0xEB, 0x90, 0x00, 0x04};
    EXPECT_EQ(wire(raw, static_cast<unsigned short>(sizeof(raw))), std::string("\xEB\x90\x00\x04", 4));
}

// As their length, without terminator, with zeros after an embedded NUL; a
// text of 1024 bytes is refused and nothing leaves.
TEST_F(Sends, TextsGoOutAsTheirLengthUpTo1023Bytes) {
    std::string abc = "abc", with_nul("ab\0cd", 5), longest(1023, 'b'), too_long(1024, 'a');
    EXPECT_EQ(wire(abc), "abc");
    EXPECT_EQ(wire(with_nul), std::string("ab\0\0\0", 5));
    EXPECT_EQ(wire(longest), longest);
    EXPECT_EQ(wire(too_long), "<refused>");
    EXPECT_EQ(sent(), "<nothing>");
}

// An endpoint that has sent once, so that a peer can answer its local port.
class Receives : public testing::Test, protected Pair {
protected:
    void SetUp() override {
        std::string hello = "x";
        ASSERT_EQ(endpoint.SendData(hello), kSocketOk);
        sent();
    }
};

// Text stops at the first NUL, bytes keep everything; an empty datagram is
// not a reply, one that starts with NUL is; long ones are cut to 1024.
// Without a reply the outputs are left as they were.
TEST_F(Receives, WhatEachFormTakesOfADatagram) {
    const std::string payload("ab\0cd", 5);
    std::string big(1500, 'z');
    big[1023] = 'y';
    const struct {
        std::optional<std::string> datagram;  // none: nothing waiting
        bool as_text;
        int result;
        std::string got;
    } cases[] = {
        {std::nullopt, true, kSocketFailed, "<none>"},
        {std::nullopt, false, kSocketFailed, "<none>"},
        {payload, true, kSocketOk, "ab"},
        {payload, false, kSocketOk, payload},
        {"", true, kSocketFailed, "<none>"},
        {std::string("\0zz", 3), true, kSocketOk, ""},
        {big, false, kSocketOk, big.substr(0, 1024)},
        {big, true, kSocketOk, big.substr(0, 1024)},
    };
    for (const auto& c : cases) {
        if (c.datagram) {
            answer(*c.datagram);
        }
        char buffer[1024];
        int length = -7;
        std::string got = "<none>";
        const int result = c.as_text ? endpoint.ReceiveData(got) : endpoint.ReceiveData(buffer, length);
        if (!c.as_text && length != -7) {
            got.assign(buffer, static_cast<std::size_t>(std::max(length, 0)));
        }
        EXPECT_EQ(result, c.result) << testing::PrintToString(c.datagram);
        EXPECT_EQ(got, c.got) << testing::PrintToString(c.datagram);
    }
}

// Another host can neither answer for the hand nor steer its requests, and
// the hand's reply behind a run of its datagrams is still found. The hand may
// answer from another port of its own address: later sends go there.
TEST_F(Receives, OnlyTheHandsAddressAnswersAndItsPortGetsTheNextSend) {
    UdpPeer other("192.168.137.50", 40000), other_port(kHandIp, 0);
    for (int i = 0; i < 20; ++i) {
        answer("forged", &other);
    }
    answer("real", &other_port);
    std::string text, next = "next", got;
    ASSERT_EQ(endpoint.ReceiveData(text), kSocketOk);
    EXPECT_EQ(text, "real");
    ASSERT_EQ(endpoint.SendData(next), kSocketOk);
    ASSERT_TRUE(other_port.receive(got));
    EXPECT_EQ(got, "next");
    EXPECT_EQ(sent(), "<nothing>");
    EXPECT_FALSE(other.receive(got, std::chrono::milliseconds(100)));
}

TEST(UdpSocket, OnlyAddressesWritten255GetTheBroadcastOption) {
    EXPECT_EQ(socket_option(UDPSocket(kHandIp, 2333).sockfd, SO_BROADCAST), 0);
    EXPECT_EQ(socket_option(UDPSocket("255.255.255.255", 2334).sockfd, SO_BROADCAST), 1);
    EXPECT_EQ(socket_option(UDPSocket("255.1.2.3", 2334).sockfd, SO_BROADCAST), 1);
    EXPECT_EQ(socket_option(UDPSocket("192.168.137.255", 2334).sockfd, SO_BROADCAST), 0);
}

TEST(UdpSocket, AddressTextThatIsNotIpv4IsRefusedWithoutADescriptorLeft) {
    const int before = dexhand_test::open_descriptors();
    for (const char* text : {"192.168.137.256", "", "localhost", "192.168.137", " 192.168.137.39", "::1"}) {
        try {
            UDPSocket endpoint(text, 2333);
            ADD_FAILURE() << "accepted " << text;
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "Invalid IP address format");
        }
    }
    EXPECT_EQ(dexhand_test::open_descriptors(), before);
}

TEST(UdpSocket, ClosesItsSocketEvenWhenItIsDescriptorZero) {
    const int saved_stdin = ::dup(0);
    ::close(0);
    int fd = -1;
    {
        UDPSocket endpoint(kHandIp, 2333);
        fd = endpoint.sockfd;
    }
    const bool zero_still_open = ::fcntl(0, F_GETFD) != -1;
    ::dup2(saved_stdin, 0);
    ::close(saved_stdin);
    EXPECT_EQ(fd, 0);
    EXPECT_FALSE(zero_still_open);
}
