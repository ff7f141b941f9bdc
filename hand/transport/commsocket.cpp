#include "transport/commsocket.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace CommSocket {
namespace Transmit {

namespace {

[[noreturn]] void throw_errno(int fd, const char* what) {
    const int err = errno;
    ::close(fd);
    throw std::system_error(err, std::generic_category(), what);
}

}  // namespace

UDPSocket::UDPSocket(std::string ip, unsigned short port) {
    std::memset(&peer_addr, 0, sizeof(peer_addr));
    peer_addr.sin_family = AF_INET;
    peer_addr.sin_port = htons(port);
    if (::inet_pton(AF_INET, ip.c_str(), &peer_addr.sin_addr) != 1) {
        throw std::invalid_argument("Invalid IP address format");
    }
    own_addr_ = peer_addr.sin_addr;

    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "Socket creation failed");
    }

    // Only an address written as 255.x.x.x is treated as a broadcast peer.
    const auto* octets = reinterpret_cast<const unsigned char*>(&peer_addr.sin_addr.s_addr);
    if (octets[0] == 255) {
        const int on = 1;
        if (::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on)) < 0) {
            throw_errno(fd, "Setsockopt SO_BROADCAST failed");
        }
    }

    timeval timeout{};
    timeout.tv_sec = 0;
    timeout.tv_usec = 20000;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) < 0) {
        throw_errno(fd, "Setsockopt SO_RCVTIMEO failed");
    }
    sockfd = fd;
}

UDPSocket::~UDPSocket() {
    // Descriptor 0 is a valid descriptor too when standard input was closed.
    if (sockfd >= 0) {
        ::close(sockfd);
    }
}

int UDPSocket::send_bytes(const void* data, std::size_t length) {
    const ssize_t sent = ::sendto(sockfd, data, length, 0,
                                  reinterpret_cast<const sockaddr*>(&peer_addr), sizeof(peer_addr));
    return sent >= 0 ? kSocketOk : kSocketFailed;
}

int UDPSocket::SendData(std::vector<unsigned char>& data) {
    if (data.size() > static_cast<std::size_t>(kPaddedLength)) {
        return kSocketFailed;
    }
    unsigned char staging[kPaddedLength] = {};
    if (!data.empty()) {
        std::memcpy(staging, data.data(), data.size());
    }
    return send_bytes(staging, sizeof(staging));
}

int UDPSocket::SendData(std::string& text) {
    if (text.size() >= static_cast<std::size_t>(kBufferLength)) {
        return kSocketFailed;
    }
    char staging[kBufferLength] = {};
    // Copy up to the first NUL: whatever follows an embedded NUL leaves as zeros.
    std::strncpy(staging, text.c_str(), sizeof(staging) - 1);
    return send_bytes(staging, text.size());
}

int UDPSocket::SendData(const unsigned char* data, unsigned short length) {
    if (data == nullptr && length > 0) {
        return kSocketFailed;
    }
    return send_bytes(data, length);
}

int UDPSocket::receive_into(char (&buffer)[kBufferLength]) {
    // Datagrams of other hosts are passed over here, a bounded number per
    // call, so that a flood cannot hold one poll for long.
    constexpr int kForeignPerPoll = 256;
    for (int foreign = 0; foreign < kForeignPerPoll; ++foreign) {
        std::memset(buffer, 0, sizeof(buffer));
        sockaddr_in sender{};
        socklen_t sender_len = sizeof(sender);
        const ssize_t got = ::recvfrom(sockfd, buffer, sizeof(buffer), MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr*>(&sender), &sender_len);
        if (got < 0) {
            return 0;
        }
        if (sender.sin_family != AF_INET || sender.sin_addr.s_addr != own_addr_.s_addr) {
            continue;
        }
        if (got == 0) {
            return 0;
        }
        // A hand may answer from another port than the one asked: later
        // sends go to the port that answered.
        peer_addr.sin_port = sender.sin_port;
        return static_cast<int>(got);
    }
    std::memset(buffer, 0, sizeof(buffer));
    return 0;
}

int UDPSocket::ReceiveData(std::string& text) {
    char buffer[kBufferLength];
    const int got = receive_into(buffer);
    if (got <= 0) {
        return kSocketFailed;
    }
    text.assign(buffer, ::strnlen(buffer, static_cast<std::size_t>(got)));
    return kSocketOk;
}

int UDPSocket::ReceiveData(char* buffer, int& length) {
    if (buffer == nullptr) {
        return kSocketFailed;
    }
    char staging[kBufferLength];
    const int got = receive_into(staging);
    if (got <= 0) {
        return kSocketFailed;
    }
    std::memcpy(buffer, staging, static_cast<std::size_t>(got));
    length = got;
    return kSocketOk;
}

}  // namespace Transmit
}  // namespace CommSocket
