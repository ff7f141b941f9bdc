#pragma once

// The hands' side of the wire, for tests and for users without hardware.
// Written from the hand's point of view and independent of the library.

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "identity.h"
#include "lively.h"

namespace sim {

constexpr unsigned short kCtrlPort = 2333;
constexpr unsigned short kCommPort = 2334;
constexpr unsigned short kAuxPort = 2335;
constexpr const char* kSubnetBroadcast = "192.168.137.255";

class Hand;
class Simulator;

// A hand's or the discovery listener's port could not be bound.
class BindError : public std::runtime_error {
public:
    BindError(const std::string& what, std::string bound_ip, unsigned short bound_port, int bind_error)
        : std::runtime_error(what), ip(std::move(bound_ip)), port(bound_port), error(bind_error) {}
    std::string ip;
    unsigned short port;
    int error;  // the errno of bind(); EADDRNOTAVAIL when the address is not local
};

// One datagram that reached a hand.
struct Received {
    unsigned short port = 0;  // the hand's port it arrived on
    std::string bytes;
    std::string from_ip;
    unsigned short from_port = 0;
};

// One datagram that a hand or the discovery listener received or sent, for
// whoever watches the traffic.
struct Traffic {
    bool sent = false;       // false: received
    std::string local_ip;    // the hand's address (the broadcast address for the discovery listener)
    unsigned short port = 0;  // the local port
    const Hand* hand = nullptr;  // null for the discovery listener
    std::string peer_ip;
    unsigned short peer_port = 0;
    std::string bytes;
};

// Misbehaviour applied to every answer a hand gives on its protocol ports.
struct Faults {
    bool silent = false;              // never answer
    int delay_ms = 0;                 // answer this much later
    int copies = 1;                   // send each answer this many times
    std::vector<std::string> before;  // datagrams sent ahead of each answer
    int lose_requests = 0;            // the next this many datagrams are lost on the way to the hand
    int lose_answers = 0;             // the answers to the next this many datagrams are lost on the way back

    // Named setters: Faults().with_delay_ms(90).with_copies(2).
    Faults& with_silent(bool value) { silent = value; return *this; }
    Faults& with_delay_ms(int value) { delay_ms = value; return *this; }
    Faults& with_copies(int value) { copies = value; return *this; }
    Faults& with_before(std::vector<std::string> value) { before = std::move(value); return *this; }
    Faults& with_lose_requests(int value) { lose_requests = value; return *this; }
    Faults& with_lose_answers(int value) { lose_answers = value; return *this; }
};

// How a hand answers a discovery request.
struct DiscoveryAnswer {
    std::string text;                // the reply datagram, byte for byte
    bool answer = true;              // false: stay silent
    int delay_ms = 0;                // answer this much later
    int copies = 1;                  // send the reply this many times
    std::vector<std::string> extra;  // further datagrams sent after the reply
    int spacing_ms = 0;              // pause between successive datagrams of the answer

    // Named setters, so that a test says which field it sets:
    // DiscoveryAnswer().with_text(reply).with_delay_ms(60).
    DiscoveryAnswer& with_text(std::string value) { text = std::move(value); return *this; }
    DiscoveryAnswer& silent() { answer = false; return *this; }
    DiscoveryAnswer& with_delay_ms(int value) { delay_ms = value; return *this; }
    DiscoveryAnswer& with_copies(int value) { copies = value; return *this; }
    DiscoveryAnswer& with_extra(std::vector<std::string> value) { extra = std::move(value); return *this; }
    DiscoveryAnswer& with_spacing_ms(int value) { spacing_ms = value; return *this; }
};

// Builds the JSON object of a discovery reply with members in the order given.
class JsonObject {
public:
    JsonObject& str(const std::string& key, const std::string& value);
    JsonObject& num(const std::string& key, long long value);
    JsonObject& array(const std::string& key, const std::vector<long long>& values);
    JsonObject& raw(const std::string& key, const std::string& json);
    std::string text() const;

private:
    std::string members_;
};

std::string json_string(const std::string& value);

// A simulated hand at one address, bound to its ports 2333, 2334 and 2335.
// The base hand answers with scripted datagrams only; the hand kinds derive
// from it and answer from their own state in handle().
class Hand {
public:
    explicit Hand(std::string ip);
    virtual ~Hand();

    Hand(const Hand&) = delete;
    Hand& operator=(const Hand&) = delete;

    using Clock = std::chrono::steady_clock;
    using ClockSource = std::function<Clock::time_point()>;

    const std::string& ip() const { return ip_; }

    void set_discovery(DiscoveryAnswer answer);
    // Answers discovery with this identity from now on (other settings of
    // the discovery answer stay).
    void set_identity(const Identity& identity);
    Identity identity() const;
    void set_faults(Faults faults);

    // Queues an answer for the next datagram on port; scripted answers are
    // used up in order before handle() is asked. An empty string means no
    // answer for that datagram.
    void script(unsigned short port, std::string answer);
    // Sends a datagram now from port to whoever last wrote to that port.
    // Returns false when nobody has written to it yet.
    bool push(unsigned short port, const std::string& bytes);

    std::vector<Received> received(unsigned short port) const;
    std::size_t received_count(unsigned short port) const;
    // Waits until at least count datagrams have arrived on port.
    bool wait_received(unsigned short port, std::size_t count, std::chrono::milliseconds timeout) const;
    void clear_received();

    // The hand's answers to one datagram on port, as if it had come over the
    // wire but without sockets, scripts or faults.
    std::vector<std::string> respond(unsigned short port, const std::string& datagram);

    // Where the hand takes the time from; tests script it, the default is the
    // steady clock. Setting it restarts the hand's motion from where it is.
    void set_clock(ClockSource clock);

    // Makes the hand lively from now on (see lively.h), or calm again.
    void set_lively(const Lively& lively);

protected:
    // The hand's answers to one datagram (none by default). Called on the
    // simulator's thread with mutex_ held; hand kinds guard their state with
    // the same mutex.
    virtual std::vector<std::string> handle(unsigned short port, const std::string& datagram);

    // The hand's time now; call with mutex_ held.
    Clock::time_point now() const;
    // Called with mutex_ held when the clock is replaced, with the times of
    // the old clock and of the new one, so a hand can carry its timed state over.
    virtual void clock_changed(Clock::time_point old_now, Clock::time_point new_now);

    mutable std::mutex mutex_;
    Lively lively_;
    FaultSchedule fault_schedule_;

private:
    friend class Simulator;

    std::string ip_;
    ClockSource clock_;
    Identity identity_;
    DiscoveryAnswer discovery_;
    Faults faults_;
    std::map<unsigned short, std::deque<std::string>> scripts_;
    std::vector<Received> received_;
    mutable std::condition_variable arrived_;
    std::map<unsigned short, sockaddr_in> last_peer_;
    Simulator* simulator_ = nullptr;
    int fds_[3] = {-1, -1, -1};
};

// The event loop that hosts the hands and answers discovery broadcasts.
class Simulator {
public:
    Simulator();
    ~Simulator();

    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Binds the hand's ports on its address; throws BindError when that is
    // not possible (the address is not local, or already taken).
    template <class H, class... Args>
    std::shared_ptr<H> add(Args&&... args) {
        auto hand = std::make_shared<H>(std::forward<Args>(args)...);
        add_hand(hand);
        return hand;
    }
    void add_hand(std::shared_ptr<Hand> hand);

    // Stops answering discovery (the hands keep their ports).
    void set_discovery_enabled(bool enabled);
    // Discovery requests received so far.
    std::vector<Received> discovery_requests() const;
    bool wait_discovery_requests(std::size_t count, std::chrono::milliseconds timeout) const;

    // Called for every datagram received or sent, on the thread that moves
    // it; it must not call back into the simulator.
    using Observer = std::function<void(const Traffic&)>;
    void set_observer(Observer observer);

private:
    friend class Hand;

    struct Endpoint {
        int fd = -1;
        unsigned short port = 0;
        Hand* hand = nullptr;  // null for the discovery listener
    };
    struct Pending {
        std::chrono::steady_clock::time_point due;
        int fd = -1;
        sockaddr_in to{};
        std::string bytes;
    };

    void run();
    void wake();
    void on_datagram(const Endpoint& endpoint);
    void answer_discovery(const sockaddr_in& from, const std::string& bytes);
    void schedule(int fd, const sockaddr_in& to, std::string bytes, int delay_ms);
    void send_now(int fd, const sockaddr_in& to, const std::string& bytes);
    void observe(int fd, bool sent, const sockaddr_in& peer, const std::string& bytes);

    mutable std::mutex mutex_;
    mutable std::condition_variable discovery_arrived_;
    std::vector<std::shared_ptr<Hand>> hands_;
    std::vector<Endpoint> endpoints_;
    std::vector<Pending> pending_;
    std::vector<Received> discovery_requests_;
    Observer observer_;
    bool discovery_enabled_ = true;
    int discovery_fd_ = -1;
    int wake_fd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace sim
