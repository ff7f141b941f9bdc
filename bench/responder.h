#pragma once

// A minimal hand responder for the benchmarks: fixed replies to fixed
// requests, sent from the hand's own address and port the moment a request
// is read. It polls without sleeping on a core of its own and allocates
// nothing while it runs, so that what is measured is the caller's side.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace bench {

inline sockaddr_in ipv4(const std::string& ip, unsigned short port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, ip.c_str(), &address.sin_addr);
    return address;
}

class Responder {
public:
    // Answers reply to every datagram on ip:port that starts with request
    // (an empty reply: read and answer nothing). Every matching rule answers.
    void rule(const std::string& ip, unsigned short port, std::string request, std::string reply) {
        rules_.push_back({socket_for(ip, port), std::move(request), std::move(reply)});
    }
    void start() {
        running_ = true;
        thread_ = std::thread([this] { loop(); });
    }
    ~Responder() {
        running_ = false;
        if (thread_.joinable()) {
            thread_.join();
        }
        for (const auto& s : sockets_) {
            ::close(s.fd);
        }
    }

private:
    struct Socket {
        std::string ip;
        unsigned short port;
        int fd;
    };
    struct Rule {
        int fd;
        std::string request;
        std::string reply;
    };

    int socket_for(const std::string& ip, unsigned short port) {
        for (const auto& s : sockets_) {
            if (s.ip == ip && s.port == port) {
                return s.fd;
            }
        }
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        const sockaddr_in address = ipv4(ip, port);
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on));
        if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
            throw std::runtime_error("responder cannot bind " + ip);
        }
        sockets_.push_back({ip, port, fd});
        return fd;
    }

    void loop() {
        char buffer[2048];
        while (running_.load(std::memory_order_relaxed)) {
            for (const auto& s : sockets_) {
                sockaddr_in from{};
                socklen_t length = sizeof(from);
                const ssize_t got = ::recvfrom(s.fd, buffer, sizeof(buffer), MSG_DONTWAIT,
                                               reinterpret_cast<sockaddr*>(&from), &length);
                if (got < 0) {
                    continue;
                }
                for (const auto& r : rules_) {
                    if (r.fd == s.fd && static_cast<std::size_t>(got) >= r.request.size() &&
                        std::memcmp(buffer, r.request.data(), r.request.size()) == 0) {
                        if (!r.reply.empty()) {
                            ::sendto(s.fd, r.reply.data(), r.reply.size(), 0, reinterpret_cast<sockaddr*>(&from),
                                     length);
                        }
                    }
                }
            }
        }
    }

    std::vector<Socket> sockets_;
    std::vector<Rule> rules_;
    std::atomic<bool> running_{false};
    std::thread thread_;
};

}  // namespace bench
