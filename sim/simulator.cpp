#include "simulator.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace sim {

// ---------------------------------------------------------------------------
// JSON text for discovery replies

std::string json_string(const std::string& value) {
    std::string out = "\"";
    for (const char c : value) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        default: out += c;
        }
    }
    return out + "\"";
}

JsonObject& JsonObject::raw(const std::string& key, const std::string& json) {
    if (!members_.empty()) {
        members_ += ',';
    }
    members_ += json_string(key) + ':' + json;
    return *this;
}

JsonObject& JsonObject::str(const std::string& key, const std::string& value) { return raw(key, json_string(value)); }

JsonObject& JsonObject::num(const std::string& key, long long value) { return raw(key, std::to_string(value)); }

JsonObject& JsonObject::array(const std::string& key, const std::vector<long long>& values) {
    std::string json = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        json += (i ? "," : "") + std::to_string(values[i]);
    }
    return raw(key, json + "]");
}

std::string JsonObject::text() const { return "{" + members_ + "}"; }

// ---------------------------------------------------------------------------

namespace {

sockaddr_in make_address(const std::string& ip, unsigned short port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (::inet_pton(AF_INET, ip.c_str(), &address.sin_addr) != 1) {
        throw std::runtime_error("simulator: not an IPv4 address: " + ip);
    }
    return address;
}

int bind_udp(const std::string& ip, unsigned short port) {
    const sockaddr_in address = make_address(ip, port);
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        throw std::runtime_error(std::string("simulator: socket: ") + std::strerror(errno));
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on));
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        const int err = errno;
        ::close(fd);
        throw BindError("simulator: cannot bind " + ip + ":" + std::to_string(port) + ": " + std::strerror(err), ip,
                        port, err);
    }
    return fd;
}

std::string address_text(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof(text));
    return text;
}

constexpr unsigned short kPorts[3] = {kCtrlPort, kCommPort, kAuxPort};

}  // namespace

// ---------------------------------------------------------------------------
// Hand

Hand::Hand(std::string ip) : ip_(std::move(ip)) {}

Hand::~Hand() {
    for (int& fd : fds_) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

void Hand::set_discovery(DiscoveryAnswer answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    discovery_ = std::move(answer);
}

void Hand::set_identity(const Identity& identity) {
    std::lock_guard<std::mutex> lock(mutex_);
    identity_ = identity;
    discovery_.text = discovery_text(identity);
}

Identity Hand::identity() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return identity_;
}

std::vector<std::string> Hand::respond(unsigned short port, const std::string& datagram) {
    std::lock_guard<std::mutex> lock(mutex_);
    return handle(port, datagram);
}

void Hand::set_clock(ClockSource clock) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto old_now = now();
    clock_ = std::move(clock);
    fault_schedule_.shift(now() - old_now);
    clock_changed(old_now, now());
}

void Hand::set_lively(const Lively& lively) {
    std::lock_guard<std::mutex> lock(mutex_);
    lively_ = lively;
    fault_schedule_.start(lively, now());
}

Hand::Clock::time_point Hand::now() const { return clock_ ? clock_() : Clock::now(); }

void Hand::clock_changed(Clock::time_point, Clock::time_point) {}

void Hand::set_faults(Faults faults) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_ = std::move(faults);
}

void Hand::script(unsigned short port, std::string answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    scripts_[port].push_back(std::move(answer));
}

bool Hand::push(unsigned short port, const std::string& bytes) {
    sockaddr_in to{};
    int fd = -1;
    Simulator* simulator = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto peer = last_peer_.find(port);
        if (peer == last_peer_.end() || simulator_ == nullptr) {
            return false;
        }
        to = peer->second;
        for (int i = 0; i < 3; ++i) {
            if (kPorts[i] == port) {
                fd = fds_[i];
            }
        }
        simulator = simulator_;
    }
    if (fd < 0) {
        return false;
    }
    simulator->schedule(fd, to, bytes, 0);
    return true;
}

std::vector<Received> Hand::received(unsigned short port) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Received> out;
    for (const auto& r : received_) {
        if (r.port == port) {
            out.push_back(r);
        }
    }
    return out;
}

std::size_t Hand::received_count(unsigned short port) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(received_.begin(), received_.end(), [port](const Received& r) { return r.port == port; }));
}

bool Hand::wait_received(unsigned short port, std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, timeout, [&] {
        return static_cast<std::size_t>(std::count_if(received_.begin(), received_.end(),
                                                      [port](const Received& r) { return r.port == port; })) >=
               count;
    });
}

void Hand::clear_received() {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.clear();
}

std::vector<std::string> Hand::handle(unsigned short, const std::string&) { return {}; }

// ---------------------------------------------------------------------------
// Simulator

Simulator::Simulator() {
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0) {
        throw std::runtime_error(std::string("simulator: eventfd: ") + std::strerror(errno));
    }
    try {
        discovery_fd_ = bind_udp(kSubnetBroadcast, kCommPort);
    } catch (...) {
        ::close(wake_fd_);
        throw;
    }
    endpoints_.push_back(Endpoint{discovery_fd_, kCommPort, nullptr});
    thread_ = std::thread([this] { run(); });
}

Simulator::~Simulator() {
    stopping_ = true;
    wake();
    if (thread_.joinable()) {
        thread_.join();
    }
    for (auto& hand : hands_) {
        std::lock_guard<std::mutex> lock(hand->mutex_);
        hand->simulator_ = nullptr;
    }
    ::close(discovery_fd_);
    ::close(wake_fd_);
}

void Simulator::add_hand(std::shared_ptr<Hand> hand) {
    int fds[3] = {-1, -1, -1};
    try {
        for (int i = 0; i < 3; ++i) {
            fds[i] = bind_udp(hand->ip(), kPorts[i]);
        }
    } catch (...) {
        for (int fd : fds) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        throw;
    }
    {
        std::lock_guard<std::mutex> lock(hand->mutex_);
        std::copy(std::begin(fds), std::end(fds), hand->fds_);
        hand->simulator_ = this;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (int i = 0; i < 3; ++i) {
            endpoints_.push_back(Endpoint{fds[i], kPorts[i], hand.get()});
        }
        hands_.push_back(std::move(hand));
    }
    wake();
}

void Simulator::set_observer(Observer observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    observer_ = std::move(observer);
}

void Simulator::observe(int fd, bool sent, const sockaddr_in& peer, const std::string& bytes) {
    Observer observer;
    Traffic traffic;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!observer_) {
            return;
        }
        observer = observer_;
        for (const auto& endpoint : endpoints_) {
            if (endpoint.fd == fd) {
                traffic.port = endpoint.port;
                traffic.hand = endpoint.hand;
                traffic.local_ip = endpoint.hand != nullptr ? endpoint.hand->ip() : kSubnetBroadcast;
                break;
            }
        }
    }
    traffic.sent = sent;
    traffic.peer_ip = address_text(peer);
    traffic.peer_port = ntohs(peer.sin_port);
    traffic.bytes = bytes;
    observer(traffic);
}

void Simulator::set_discovery_enabled(bool enabled) {
    std::lock_guard<std::mutex> lock(mutex_);
    discovery_enabled_ = enabled;
}

std::vector<Received> Simulator::discovery_requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return discovery_requests_;
}

bool Simulator::wait_discovery_requests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return discovery_arrived_.wait_for(lock, timeout, [&] { return discovery_requests_.size() >= count; });
}

void Simulator::wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wake_fd_, &one, sizeof(one));
}

void Simulator::schedule(int fd, const sockaddr_in& to, std::string bytes, int delay_ms) {
    if (delay_ms <= 0) {
        send_now(fd, to, bytes);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_.push_back(
            Pending{std::chrono::steady_clock::now() + std::chrono::milliseconds(delay_ms), fd, to, std::move(bytes)});
    }
    wake();
}

void Simulator::send_now(int fd, const sockaddr_in& to, const std::string& bytes) {
    if (::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to)) >= 0) {
        observe(fd, true, to, bytes);
    }
}

void Simulator::run() {
    std::vector<pollfd> fds;
    std::vector<Endpoint> watched;
    while (!stopping_) {
        int timeout_ms = 100;
        std::vector<Pending> due;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            watched = endpoints_;
            const auto now = std::chrono::steady_clock::now();
            auto split = std::stable_partition(pending_.begin(), pending_.end(),
                                               [now](const Pending& p) { return p.due > now; });
            due.assign(std::make_move_iterator(split), std::make_move_iterator(pending_.end()));
            pending_.erase(split, pending_.end());
            for (const auto& p : pending_) {
                const auto wait =
                    std::chrono::duration_cast<std::chrono::milliseconds>(p.due - now).count() + 1;
                timeout_ms = std::min<int>(timeout_ms, static_cast<int>(std::max<long long>(wait, 0)));
            }
        }
        std::stable_sort(due.begin(), due.end(), [](const Pending& a, const Pending& b) { return a.due < b.due; });
        for (const auto& p : due) {
            send_now(p.fd, p.to, p.bytes);
        }

        fds.clear();
        fds.push_back(pollfd{wake_fd_, POLLIN, 0});
        for (const auto& endpoint : watched) {
            fds.push_back(pollfd{endpoint.fd, POLLIN, 0});
        }
        if (::poll(fds.data(), fds.size(), timeout_ms) <= 0) {
            continue;
        }
        if (fds[0].revents & POLLIN) {
            std::uint64_t count = 0;
            [[maybe_unused]] const auto got = ::read(wake_fd_, &count, sizeof(count));
        }
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents & POLLIN) {
                on_datagram(watched[i - 1]);
            }
        }
    }
}

void Simulator::on_datagram(const Endpoint& endpoint) {
    // Drain everything waiting on this socket.
    for (;;) {
        char buffer[65536];
        sockaddr_in from{};
        socklen_t from_len = sizeof(from);
        const ssize_t got = ::recvfrom(endpoint.fd, buffer, sizeof(buffer), MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr*>(&from), &from_len);
        if (got < 0) {
            return;
        }
        const std::string bytes(buffer, static_cast<std::size_t>(got));
        observe(endpoint.fd, false, from, bytes);
        if (endpoint.hand == nullptr) {
            answer_discovery(from, bytes);
            continue;
        }

        Hand& hand = *endpoint.hand;
        std::vector<std::string> answers;
        Faults faults;
        bool answer_lost = false;
        {
            std::lock_guard<std::mutex> lock(hand.mutex_);
            if (hand.faults_.lose_requests > 0) {
                --hand.faults_.lose_requests;  // never reached the hand
                continue;
            }
            if (hand.faults_.lose_answers > 0) {
                --hand.faults_.lose_answers;
                answer_lost = true;
            }
            hand.received_.push_back(Received{endpoint.port, bytes, address_text(from), ntohs(from.sin_port)});
            hand.last_peer_[endpoint.port] = from;
            auto& script = hand.scripts_[endpoint.port];
            if (!script.empty()) {
                if (!script.front().empty()) {
                    answers.push_back(script.front());
                }
                script.pop_front();
            } else {
                answers = hand.handle(endpoint.port, bytes);
            }
            faults = hand.faults_;
        }
        hand.arrived_.notify_all();

        if (faults.silent || answer_lost) {
            continue;
        }
        for (const auto& answer : answers) {
            for (const auto& extra : faults.before) {
                schedule(endpoint.fd, from, extra, faults.delay_ms);
            }
            for (int copy = 0; copy < std::max(1, faults.copies); ++copy) {
                schedule(endpoint.fd, from, answer, faults.delay_ms);
            }
        }
    }
}

void Simulator::answer_discovery(const sockaddr_in& from, const std::string& bytes) {
    std::vector<std::shared_ptr<Hand>> hands;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        discovery_requests_.push_back(Received{kCommPort, bytes, address_text(from), ntohs(from.sin_port)});
        if (discovery_enabled_) {
            hands = hands_;
        }
    }
    discovery_arrived_.notify_all();

    for (const auto& hand : hands) {
        DiscoveryAnswer answer;
        int fd = -1;
        {
            std::lock_guard<std::mutex> lock(hand->mutex_);
            answer = hand->discovery_;
            fd = hand->fds_[1];
        }
        if (!answer.answer || fd < 0) {
            continue;
        }
        // Each hand answers from its own address and port 2334.
        int delay_ms = answer.delay_ms;
        for (int copy = 0; copy < std::max(1, answer.copies); ++copy) {
            schedule(fd, from, answer.text, delay_ms);
            delay_ms += answer.spacing_ms;
        }
        for (const auto& extra : answer.extra) {
            schedule(fd, from, extra, delay_ms);
            delay_ms += answer.spacing_ms;
        }
    }
}

}  // namespace sim
