// The UDP endpoint against a bare peer socket inside the private namespace.
#include <fcntl.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "support/fd_count.h"
#include "support/udp_peer.h"
#include "transport/commsocket.h"

using CommSocket::Transmit::UDPSocket;
using dexhand_test::UdpPeer;

namespace {

const std::string kHandIp = "192.168.137.39";

// An endpoint to a peer bound on the hand subnet.
struct Pair {
    UdpPeer hand{kHandIp, 0};
    UDPSocket endpoint{kHandIp, hand.port()};

    // The peer answers the endpoint's local port (known after its first send).
    void answer(const std::string& bytes) {
        hand.send_to(dexhand_test::ipv4("192.168.137.1", dexhand_test::local_port(endpoint.sockfd)), bytes);
        ASSERT_TRUE(dexhand_test::wait_readable(endpoint.sockfd));
    }
    // Sends something so the endpoint's socket gets its local port.
    void open_port() {
        std::string hello = "x";
        ASSERT_EQ(endpoint.SendData(hello), 0);
        std::string ignored;
        ASSERT_TRUE(hand.receive(ignored));
    }
};

int socket_option(int fd, int option) {
    int value = -1;
    socklen_t length = sizeof(value);
    ::getsockopt(fd, SOL_SOCKET, option, &value, &length);
    return value;
}

}  // namespace

TEST(UdpSocketSend, VectorIsPaddedTo247Bytes) {
    Pair pair;
    std::vector<unsigned char> frame = {0x01, 0x02, 0x03};
    ASSERT_EQ(pair.endpoint.SendData(frame), 0);
    std::string got;
    ASSERT_TRUE(pair.hand.receive(got));
    ASSERT_EQ(got.size(), 247u);
    EXPECT_EQ(got.substr(0, 3), "\x01\x02\x03");
    EXPECT_EQ(got.substr(3), std::string(244, '\0'));

    std::vector<unsigned char> empty;
    ASSERT_EQ(pair.endpoint.SendData(empty), 0);
    ASSERT_TRUE(pair.hand.receive(got));
    EXPECT_EQ(got, std::string(247, '\0'));

    std::vector<unsigned char> full(247, 0xAB);
    ASSERT_EQ(pair.endpoint.SendData(full), 0);
    ASSERT_TRUE(pair.hand.receive(got));
    EXPECT_EQ(got, std::string(247, '\xAB'));
}

TEST(UdpSocketSend, OversizeInputIsRefusedAndNothingIsSent) {
    Pair pair;
    std::vector<unsigned char> frame(248, 0x55);
    EXPECT_EQ(pair.endpoint.SendData(frame), 1);
    std::string text(1024, 'a');
    EXPECT_EQ(pair.endpoint.SendData(text), 1);

    std::string got;
    EXPECT_FALSE(pair.hand.receive(got, nullptr, std::chrono::milliseconds(50)));

    std::string longest(1023, 'b');
    ASSERT_EQ(pair.endpoint.SendData(longest), 0);
    ASSERT_TRUE(pair.hand.receive(got));
    EXPECT_EQ(got, longest);
}

TEST(UdpSocketSend, TextGoesOutWithoutTerminatorAndZerosAfterEmbeddedNul) {
    Pair pair;
    std::string text = "abc";
    ASSERT_EQ(pair.endpoint.SendData(text), 0);
    std::string got;
    ASSERT_TRUE(pair.hand.receive(got));
    EXPECT_EQ(got, "abc");

    std::string with_nul("ab\0cd", 5);
    ASSERT_EQ(pair.endpoint.SendData(with_nul), 0);
    ASSERT_TRUE(pair.hand.receive(got));
    EXPECT_EQ(got, std::string("ab\0\0\0", 5));
}

TEST(UdpSocketSend, RawBytesGoOutExactly) {
    Pair pair;
    const unsigned char frame[] = {0xEB, 0x90, 0x00, 0x04};
    ASSERT_EQ(pair.endpoint.SendData(frame, sizeof(frame)), 0);
    std::string got;
    ASSERT_TRUE(pair.hand.receive(got));
    EXPECT_EQ(got, std::string("\xEB\x90\x00\x04", 4));
}

TEST(UdpSocketSend, FailedSendReportsOne) {
    // A broadcast address without SO_BROADCAST is refused by the system.
    UDPSocket endpoint("192.168.137.255", 2334);
    std::string text = "abc";
    EXPECT_EQ(endpoint.SendData(text), 1);
}

TEST(UdpSocketReceive, NothingWaitingLeavesOutputsUntouched) {
    Pair pair;
    std::string text = "unchanged";
    EXPECT_EQ(pair.endpoint.ReceiveData(text), 1);
    EXPECT_EQ(text, "unchanged");

    char buffer[1024] = {'q'};
    int length = 77;
    EXPECT_EQ(pair.endpoint.ReceiveData(buffer, length), 1);
    EXPECT_EQ(length, 77);
    EXPECT_EQ(buffer[0], 'q');
}

TEST(UdpSocketReceive, TextStopsAtNulBytesKeepEverything) {
    Pair pair;
    pair.open_port();
    const std::string payload("ab\0cd", 5);

    pair.answer(payload);
    std::string text;
    ASSERT_EQ(pair.endpoint.ReceiveData(text), 0);
    EXPECT_EQ(text, "ab");

    pair.answer(payload);
    char buffer[1024];
    int length = 0;
    ASSERT_EQ(pair.endpoint.ReceiveData(buffer, length), 0);
    EXPECT_EQ(length, 5);
    EXPECT_EQ(std::string(buffer, 5), payload);

    // A datagram that starts with NUL still counts as taken, with empty text.
    pair.answer(std::string("\0zz", 3));
    text = "old";
    ASSERT_EQ(pair.endpoint.ReceiveData(text), 0);
    EXPECT_EQ(text, "");
}

TEST(UdpSocketReceive, EmptyDatagramIsNotAReply) {
    Pair pair;
    pair.open_port();
    pair.answer("");
    std::string text = "unchanged";
    EXPECT_EQ(pair.endpoint.ReceiveData(text), 1);
    EXPECT_EQ(text, "unchanged");
}

TEST(UdpSocketReceive, LongDatagramIsCutTo1024Bytes) {
    Pair pair;
    pair.open_port();
    std::string big(1500, 'z');
    big[1023] = 'y';
    pair.answer(big);
    char buffer[1024];
    int length = 0;
    ASSERT_EQ(pair.endpoint.ReceiveData(buffer, length), 0);
    EXPECT_EQ(length, 1024);
    EXPECT_EQ(buffer[1023], 'y');

    pair.answer(big);
    std::string text;
    ASSERT_EQ(pair.endpoint.ReceiveData(text), 0);
    EXPECT_EQ(text.size(), 1024u);
}

TEST(UdpSocketReceive, LaterSendsGoToWhoeverAnswered) {
    Pair pair;
    pair.open_port();
    UdpPeer other("192.168.137.50", 40000);
    other.send_to(dexhand_test::ipv4("192.168.137.1", dexhand_test::local_port(pair.endpoint.sockfd)), "hi");
    ASSERT_TRUE(dexhand_test::wait_readable(pair.endpoint.sockfd));
    std::string text;
    ASSERT_EQ(pair.endpoint.ReceiveData(text), 0);

    std::string next = "next";
    ASSERT_EQ(pair.endpoint.SendData(next), 0);
    std::string got;
    sockaddr_in from{};
    ASSERT_TRUE(other.receive(got, &from));
    EXPECT_EQ(got, "next");
    EXPECT_FALSE(pair.hand.receive(got, nullptr, std::chrono::milliseconds(50)));
    EXPECT_EQ(ntohs(pair.endpoint.peer_addr.sin_port), 40000);
}

TEST(UdpSocketConstruction, PeerAddressAndOptions) {
    UDPSocket endpoint("192.168.137.39", 2333);
    EXPECT_EQ(endpoint.peer_addr.sin_family, AF_INET);
    EXPECT_EQ(endpoint.peer_addr.sin_port, htons(2333));
    EXPECT_EQ(endpoint.peer_addr.sin_addr.s_addr, dexhand_test::ipv4("192.168.137.39", 0).sin_addr.s_addr);
    EXPECT_EQ(socket_option(endpoint.sockfd, SO_BROADCAST), 0);

    timeval timeout{};
    socklen_t length = sizeof(timeout);
    ::getsockopt(endpoint.sockfd, SOL_SOCKET, SO_RCVTIMEO, &timeout, &length);
    EXPECT_EQ(timeout.tv_sec, 0);
    EXPECT_EQ(timeout.tv_usec, 20000);
}

TEST(UdpSocketConstruction, BroadcastOptionOnlyForAddressesStartingWith255) {
    UDPSocket all("255.255.255.255", 2334);
    EXPECT_EQ(socket_option(all.sockfd, SO_BROADCAST), 1);
    UDPSocket leading("255.1.2.3", 2334);
    EXPECT_EQ(socket_option(leading.sockfd, SO_BROADCAST), 1);
    UDPSocket subnet("192.168.137.255", 2334);
    EXPECT_EQ(socket_option(subnet.sockfd, SO_BROADCAST), 0);
}

TEST(UdpSocketConstruction, BadAddressThrowsAndOpensNothing) {
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

TEST(UdpSocketConstruction, SocketFailureThrowsSystemError) {
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    const int before = dexhand_test::open_descriptors();
    rlimit tight = saved;
    tight.rlim_cur = 0;  // no room for any new descriptor
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    bool threw = false;
    try {
        UDPSocket endpoint("192.168.137.39", 2333);
    } catch (const std::system_error& e) {
        threw = true;
        EXPECT_EQ(e.code(), std::error_code(EMFILE, std::generic_category()));
        EXPECT_EQ(std::string(e.what()).rfind("Socket creation failed", 0), 0u) << e.what();
    }
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_TRUE(threw);
    EXPECT_EQ(dexhand_test::open_descriptors(), before);
}

TEST(UdpSocketLifetime, DestructionClosesTheDescriptorEvenWhenItIsZero) {
    const int before = dexhand_test::open_descriptors();
    { UDPSocket endpoint("192.168.137.39", 2333); }
    EXPECT_EQ(dexhand_test::open_descriptors(), before);

    // With standard input closed the socket gets descriptor 0.
    const int saved_stdin = ::dup(0);
    ::close(0);
    {
        UDPSocket endpoint("192.168.137.39", 2333);
        ASSERT_EQ(endpoint.sockfd, 0);
    }
    const bool zero_still_open = ::fcntl(0, F_GETFD) != -1;
    ::dup2(saved_stdin, 0);
    ::close(saved_stdin);
    EXPECT_FALSE(zero_still_open);
}
