#pragma once

// A bare UDP socket bound to a given address, for tests that play the far
// side of an endpoint by hand.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

namespace dexhand_test {

inline sockaddr_in ipv4(const std::string& ip, unsigned short port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, ip.c_str(), &address.sin_addr);
    return address;
}

// The local port that the system gave a socket.
inline unsigned short local_port(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// Waits until a datagram is queued on fd (so a non-blocking poll finds it).
inline bool wait_readable(int fd, std::chrono::milliseconds timeout = std::chrono::milliseconds(1000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char byte;
    while (::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) < 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class UdpPeer {
public:
    UdpPeer(const std::string& ip, unsigned short port) : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
        const sockaddr_in address = ipv4(ip, port);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
            throw std::runtime_error("cannot bind test peer " + ip);
        }
    }
    ~UdpPeer() { ::close(fd_); }
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    unsigned short port() const { return local_port(fd_); }

    void send_to(const sockaddr_in& to, const std::string& bytes) const {
        ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    }

    // Waits up to timeout for one datagram; false when none came.
    bool receive(std::string& bytes, std::chrono::milliseconds timeout = std::chrono::milliseconds(1000)) const {
        char buffer[65536];
        const ssize_t got = wait_readable(fd_, timeout) ? ::recv(fd_, buffer, sizeof(buffer), 0) : -1;
        if (got >= 0) {
            bytes.assign(buffer, static_cast<std::size_t>(got));
        }
        return got >= 0;
    }

private:
    int fd_;
};

}  // namespace dexhand_test
