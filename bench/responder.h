#pragma once

// A minimal hand responder for the benchmarks: fixed replies to fixed
// requests, sent from the hand's own address and port the moment a request
// is read. It polls without sleeping on a core of its own and allocates
// nothing while it runs, so that what is measured is the caller's side. One
// non-blocking epoll_wait looks at every socket at once: polling them one by
// one would answer a request only when the round came back to its socket,
// and a caller's turnaround a little longer than the round would cost it a
// whole round.

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/udp_peer.h"

namespace bench {

class Responder {
public:
    // Answers reply to every datagram on ip:port that starts with request
    // (an empty reply: read and answer nothing). Every matching rule answers.
    void rule(const std::string& ip, unsigned short port, std::string request, std::string reply) {
        rules_.push_back({socket_for(ip, port), std::move(request), std::move(reply)});
    }
    void start() {
        epoll_ = ::epoll_create1(0);
        for (const auto& s : sockets_) {
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.fd = s.fd;
            if (epoll_ < 0 || ::epoll_ctl(epoll_, EPOLL_CTL_ADD, s.fd, &event) != 0) {
                throw std::runtime_error("responder cannot watch its sockets");
            }
        }
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
        if (epoll_ >= 0) {
            ::close(epoll_);
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
        const sockaddr_in address = dexhand_test::ipv4(ip, port);
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
        epoll_event ready[16];
        while (running_.load(std::memory_order_relaxed)) {
            const int count = ::epoll_wait(epoll_, ready, 16, 0);
            for (int i = 0; i < count; ++i) {
                const int fd = ready[i].data.fd;
                sockaddr_in from{};
                socklen_t length = sizeof(from);
                const ssize_t got = ::recvfrom(fd, buffer, sizeof(buffer), MSG_DONTWAIT,
                                               reinterpret_cast<sockaddr*>(&from), &length);
                if (got < 0) {
                    continue;
                }
                for (const auto& r : rules_) {
                    if (r.fd == fd && static_cast<std::size_t>(got) >= r.request.size() &&
                        std::memcmp(buffer, r.request.data(), r.request.size()) == 0) {
                        if (!r.reply.empty()) {
                            ::sendto(fd, r.reply.data(), r.reply.size(), 0, reinterpret_cast<sockaddr*>(&from),
                                     length);
                        }
                    }
                }
            }
        }
    }

    std::vector<Socket> sockets_;
    std::vector<Rule> rules_;
    int epoll_ = -1;
    std::atomic<bool> running_{false};
    std::thread thread_;
};

}  // namespace bench
