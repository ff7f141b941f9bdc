#include "manager/qhand.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>

#include <rapidjson/document.h>

#include "manager/discovery.h"
#include "manager/handkinds.h"
#include "manager/registration.h"
#include "protocols/peer_json.h"
#include "transport/exchange.h"
#include "transport/readiness.h"

namespace hand_ws {

using BaseHandProtocol::kFailure;
using BaseHandProtocol::kSuccess;
using BaseHandProtocol::kTimeout;
using Diagnostics::emit;
using Diagnostics::Level;

Qhand::Qhand() = default;
Qhand::~Qhand() = default;

// ---------------------------------------------------------------------------
// Discovery codec

namespace discovery {

std::vector<unsigned char> request() {
    std::vector<unsigned char> bytes(kRequestLength, 0x00);
    std::fill_n(bytes.begin(), 15, static_cast<unsigned char>('1'));
    return bytes;
}

std::string version_text(const std::vector<unsigned int>& elements) {
    std::string text;
    for (std::size_t i = 0; i < 4; ++i) {
        if (i > 0) {
            text += '.';
        }
        text += std::to_string(i < elements.size() ? elements[i] : 0u);
    }
    return text;
}

namespace {

const rapidjson::Value* member(const rapidjson::Value& object, const char* key) {
    const auto it = object.FindMember(key);
    return it == object.MemberEnd() ? nullptr : &it->value;
}

std::optional<std::string> string_member(const rapidjson::Value& object, const char* key) {
    const rapidjson::Value* value = member(object, key);
    if (value == nullptr || !value->IsString()) {
        return std::nullopt;
    }
    return std::string(value->GetString(), value->GetStringLength());
}

// Version arrays must hold unsigned 32-bit integers only; anything else makes
// the whole reply unusable.
bool version_member(const rapidjson::Value& object, const char* key, std::optional<std::string>& text) {
    const rapidjson::Value* value = member(object, key);
    if (value == nullptr || !value->IsArray()) {
        return true;
    }
    std::vector<unsigned int> elements;
    for (const auto& element : value->GetArray()) {
        if (!element.IsUint()) {
            return false;
        }
        elements.push_back(element.GetUint());
    }
    text = version_text(elements);
    return true;
}

}  // namespace

Outcome parse_reply(const char* text, Reply& reply) {
    rapidjson::Document document;
    if (!peer_json::parse(text, document)) {
        return Outcome::ParseError;
    }
    if (!document.IsObject()) {
        return Outcome::Malformed;
    }
    const std::optional<std::string> name = string_member(document, "name");
    if (!name) {
        return Outcome::NoName;
    }
    if (find_hand_kind(*name) == nullptr) {
        return Outcome::UnknownName;
    }

    std::optional<std::string> firmware_array;
    std::optional<std::string> hardware_array;
    if (!version_member(document, "firmware_verison", firmware_array) ||
        !version_member(document, "hardware_verison", hardware_array)) {
        return Outcome::Malformed;
    }

    reply = Reply{};
    reply.name = *name;
    reply.type = string_member(document, "type");
    if (auto ip = string_member(document, "IP")) {
        reply.ip_addresses.push_back(*ip);
    }
    if (auto ip = string_member(document, "ip_address")) {
        reply.ip_addresses.push_back(*ip);
    }
    reply.serial_number = string_member(document, "serial_number");
    if (auto version = string_member(document, "driver_version")) {
        reply.driver_versions.push_back(*version);
    }
    if (firmware_array) {
        reply.hardware_versions.push_back(*firmware_array);
    }
    if (auto version = string_member(document, "firmware_version")) {
        reply.hardware_versions.push_back(*version);
    }
    if (hardware_array) {
        reply.driver_versions.push_back(*hardware_array);
    }
    return Outcome::Accepted;
}

}  // namespace discovery

// ---------------------------------------------------------------------------
// Discovery over the network

namespace {

// Closes the discovery socket on every way out of broadcast().
class SocketGuard {
public:
    explicit SocketGuard(int fd) : fd_(fd) {}
    ~SocketGuard() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    SocketGuard(const SocketGuard&) = delete;
    SocketGuard& operator=(const SocketGuard&) = delete;

private:
    int fd_;
};

// With no route to the subnet every send fails at once: pause between tries.
constexpr std::chrono::milliseconds kSendRetryPause{1};

}  // namespace

int Qhand::broadcast() {
    ip_addresses.clear();
    types.clear();
    names.clear();
    driver_versions.clear();
    hardware_versions.clear();
    serial_numbers.clear();
    hands.clear();
    hand_ips.clear();

    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    SocketGuard guard(fd);
    const int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on)) == -1) {
        emit(Level::error, "basehand broadcast(): setsockopt error");
        return kFailure;
    }

    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(discovery::kPort);
    ::inet_pton(AF_INET, discovery::kBroadcastAddress, &destination.sin_addr);
    const std::vector<unsigned char> request = discovery::request();

    // Lines about refused datagrams are capped; the count of the rest is
    // printed before the result line.
    std::optional<Diagnostics::RefusalScope> refusals;
    refusals.emplace();
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    // The first instant at which the whole elapsed milliseconds exceed the listening time.
    const auto end = start + std::chrono::milliseconds(discovery::kListenMs + 1);
    enum class State { Sending, Listening } state = State::Sending;
    Clock::time_point spin_until{};
    char buffer[1024];
    for (;;) {
        if (state == State::Sending &&
            ::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&destination),
                     sizeof(destination)) >= 0) {
            state = State::Listening;
            spin_until = Clock::now() + CommSocket::Transmit::kSpinWindow;
        }

        std::memset(buffer, 0, sizeof(buffer));
        // The sender goes to a variable of its own, so that a stray datagram
        // can never redirect a request that is still to be sent.
        sockaddr_in sender{};
        socklen_t length = static_cast<socklen_t>(addr_len);
        const ssize_t got = ::recvfrom(fd, buffer, discovery::kReplyLimit, MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr*>(&sender), &length);
        if (got >= 1) {
            discovery::Reply reply;
            switch (discovery::parse_reply(buffer, reply)) {
            case discovery::Outcome::ParseError:
                Diagnostics::refuse(Level::warning, std::string("basehand broadcast(): json parse error, msg: ") +
                                                        Diagnostics::printable(buffer));
                break;
            case discovery::Outcome::NoName:
            case discovery::Outcome::UnknownName:
            case discovery::Outcome::Malformed:
                break;
            case discovery::Outcome::Accepted:
                names.push_back(reply.name);
                if (reply.type) {
                    types.push_back(*reply.type);
                }
                ip_addresses.insert(ip_addresses.end(), reply.ip_addresses.begin(), reply.ip_addresses.end());
                if (reply.serial_number) {
                    serial_numbers.push_back(*reply.serial_number);
                }
                driver_versions.insert(driver_versions.end(), reply.driver_versions.begin(),
                                       reply.driver_versions.end());
                hardware_versions.insert(hardware_versions.end(), reply.hardware_versions.begin(),
                                         reply.hardware_versions.end());
                // Fill a missing version from the other list, once per reply.
                if (driver_versions.size() > hardware_versions.size()) {
                    hardware_versions.push_back(driver_versions.back());
                } else if (driver_versions.size() < hardware_versions.size()) {
                    driver_versions.push_back(hardware_versions.back());
                }
                break;
            }
        }

        // Checked on every pass, so a stream of bad datagrams cannot keep
        // discovery going past its second.
        const auto at = Clock::now();
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(at - start).count();
        if (elapsed > discovery::kListenMs) {
            break;
        }
        // Nothing came: sleep until something does or the second is over. A
        // send that failed is tried again after at most kSendRetryPause.
        if (got < 1 && at >= spin_until) {
            const std::chrono::nanoseconds left = end - at;
            CommSocket::Transmit::wait_readable(fd, state == State::Sending ? std::min<std::chrono::nanoseconds>(
                                                                                  left, kSendRetryPause)
                                                                            : left);
        }
    }
    refusals.reset();

    if (!ip_addresses.empty()) {
        return kSuccess;
    }
    emit(Level::warning, state == State::Sending ? "DEVICE SENDTO TIMEOUT" : "DEVICE RECVFROM TIMEOUT");
    return kTimeout;
}

int Qhand::find_hand() { return broadcast(); }

// ---------------------------------------------------------------------------
// Registry

int Qhand::init() {
    if (find_hand() != kSuccess) {
        emit(Level::error, "\033[0;31m [Error] [[Qhand]][init()] Connot find server.\033[0m");
        return kFailure;
    }
    return register_discovered(*this, nullptr);
}

namespace {

// Takes entry i out of a discovery list that holds one entry per reply.
void drop_entry(std::vector<std::string>& list, std::size_t i, std::size_t entries) {
    if (list.size() == entries && i < list.size()) {
        list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

}  // namespace

int register_discovered(Qhand& manager, std::vector<Skipped>* skipped) {
    auto& names = manager.names;
    auto& types = manager.types;
    auto& ip_addresses = manager.ip_addresses;
    if (ip_addresses.size() != types.size() || ip_addresses.size() != names.size()) {
        emit(Level::error, "[Qhand] init(): ip type name Dimensions are different");
        return kFailure;
    }
    for (std::size_t i = 0; i < names.size();) {
        const Selection selection = select_kind(names[i], types[i], ip_addresses[i]);
        // One protocol object per address: a hand that answers many times
        // (or many hands claiming one address) cannot use up descriptors.
        const bool duplicate = selection.kind != nullptr && std::find(manager.hand_ips.begin(), manager.hand_ips.end(),
                                                                      ip_addresses[i]) != manager.hand_ips.end();
        if (selection.kind == nullptr || duplicate) {
            const std::string line =
                duplicate ? "[Error] [[Qhand]][init()] Server illegal duplicate ip." : selection.refusal;
            emit(Level::error, line);
            if (skipped == nullptr) {
                return kFailure;
            }
            skipped->push_back({ip_addresses[i], names[i], types[i],
                                duplicate ? "its address answered twice" : "its kind does not serve it: " + line});
            const std::size_t entries = names.size();
            for (auto* list : {&manager.driver_versions, &manager.hardware_versions, &manager.serial_numbers}) {
                drop_entry(*list, i, entries);
            }
            for (auto* list : {&names, &types, &ip_addresses}) {
                list->erase(list->begin() + static_cast<std::ptrdiff_t>(i));
            }
            continue;
        }
        try {
            manager.hands.push_back(selection.kind->make(ip_addresses[i]));
        } catch (const std::system_error& e) {
            // Out of descriptors is a condition of this process, not of the
            // hand: report it as a failed init. Anything else still throws.
            const int code = e.code().value();
            if (e.code().category() != std::generic_category() || (code != EMFILE && code != ENFILE)) {
                throw;
            }
            emit(Level::error, "[Error] [[Qhand]][init()] no descriptor left for the endpoints of " +
                                   ip_addresses[i] + ": " + e.code().message());
            return kFailure;
        }
        manager.hand_ips.push_back(ip_addresses[i]);
        ++i;
    }
    return kSuccess;
}

int Qhand::is_duplicate_types() { return kFailure; }

int Qhand::remove_repeated_types() { return kSuccess; }

// ---------------------------------------------------------------------------
// Dispatch

namespace {

// A registered hand held for one dispatched call: the hand's operation lock
// is taken for the whole call, so that calls on one hand (the calibration
// worker's among them) queue while calls on other hands run on.
class Dispatch {
public:
    explicit Dispatch(BaseHandProtocol::BaseHand* hand) : hand_(hand) {
        if (hand_ != nullptr) {
            lock_ = std::unique_lock<std::mutex>(hand_->operation_mutex());
        }
    }
    BaseHandProtocol::BaseHand* operator->() const { return hand_; }
    bool operator==(std::nullptr_t) const { return hand_ == nullptr; }
    bool operator!=(std::nullptr_t) const { return hand_ != nullptr; }

private:
    BaseHandProtocol::BaseHand* hand_;
    std::unique_lock<std::mutex> lock_;
};

}  // namespace

BaseHandProtocol::BaseHand* Qhand::hand_for(const std::string& ip) const {
    const auto it = std::find(hand_ips.begin(), hand_ips.end(), ip);
    if (it == hand_ips.end()) {
        return nullptr;
    }
    const auto index = static_cast<std::size_t>(it - hand_ips.begin());
    return index < hands.size() ? hands[index].get() : nullptr;
}

int Qhand::get_status(std::string ip, std::vector<unsigned char>& status) {
    const Dispatch hand(hand_for(ip));
    if (hand == nullptr) {
        emit(Level::error, "[Error] [[Qhand]][get_status(OperatePtrType type, std::vector<long> &status)] IP not found.");
        return kFailure;
    }
    hand->get_status(status);
    return kSuccess;
}

int Qhand::get_errorcode(std::string ip, std::vector<long>& errorcode) {
    const Dispatch hand(hand_for(ip));
    if (hand == nullptr) {
        emit(Level::error,
             "[Error] [[Qhand]][get_errorcode(OperatePtrType type, std::vector<long> &errorcode)] IP not found.");
        return kFailure;
    }
    return hand->get_errorcode(errorcode);
}

int Qhand::clear_errorcode(std::string ip) {
    const Dispatch hand(hand_for(ip));
    if (hand == nullptr) {
        emit(Level::error, "[Error] [[Qhand]][clear_errorcode(std::string _ip)] IP not found.");
        return kFailure;
    }
    hand->clear_errorcode();
    return kSuccess;
}

int Qhand::calibration(std::string ip) {
    const Dispatch hand(hand_for(ip));
    if (hand == nullptr) {
        return kFailure;
    }
    // A time-out of the command is not a failure here: the outcome shows in
    // the error codes that the caller polls afterwards.
    if (hand->calibration() == kFailure) {
        emit(Level::error, "[Error] [[Qhand]][calibration(std::string _ip)] calibration fail.");
        return kFailure;
    }
    return kSuccess;
}

int Qhand::enable(std::string ip) {
    const Dispatch hand(hand_for(ip));
    return hand != nullptr ? hand->enable() : kFailure;
}

int Qhand::disable(std::string ip) {
    const Dispatch hand(hand_for(ip));
    return hand != nullptr ? hand->disable() : kFailure;
}

int Qhand::reboot(std::string ip) {
    const Dispatch hand(hand_for(ip));
    return hand != nullptr ? hand->reboot() : kFailure;
}

int Qhand::set_position(std::string ip, std::vector<float> pos) {
    const Dispatch hand(hand_for(ip));
    return hand != nullptr ? hand->set_pos(std::move(pos)) : kFailure;
}

int Qhand::get_position(std::string ip, std::vector<float>& pos) {
    const Dispatch hand(hand_for(ip));
    return hand != nullptr ? hand->get_pos(pos) : kFailure;
}

int Qhand::get_ts_matrix(std::string ip, std::vector<std::vector<unsigned char>>& matrix) {
    const Dispatch hand(hand_for(ip));
    return hand != nullptr ? hand->get_ts_matrix(matrix) : kFailure;
}

int Qhand::get_comm_config(std::string ip, std::string& config) {
    const Dispatch hand(hand_for(ip));
    return hand != nullptr ? hand->get_comm_config(config) : kFailure;
}

int Qhand::set_comm_config(std::string ip, std::string config) {
    const Dispatch hand(hand_for(ip));
    return hand != nullptr ? hand->set_comm_config(std::move(config)) : kFailure;
}

int Qhand::fast_set_positon(std::string ip, std::vector<float> pos) {
    const Dispatch hand(hand_for(ip));
    return hand != nullptr ? hand->fast_set_positions(std::move(pos)) : kFailure;
}

int Qhand::get_pvc(std::string ip, std::vector<std::vector<float>>& pvc) {
    const Dispatch hand(hand_for(ip));
    return hand != nullptr ? hand->get_pvc(pvc) : kFailure;
}

namespace {

// Prepares one exchange per listed hand (start(i, hand, pending)) and runs
// them together, in rounds that hold each hand at most once.
template <class Start>
void run_for_hands(const Qhand& manager, const std::vector<std::string>& ips, std::vector<int>& statuses,
                   BaseHandProtocol::BaseHand* (Qhand::*find)(const std::string&) const, Start start) {
    statuses.assign(ips.size(), kFailure);
    std::vector<std::size_t> waiting(ips.size());
    for (std::size_t i = 0; i < ips.size(); ++i) {
        waiting[i] = i;
    }
    while (!waiting.empty()) {
        std::vector<std::size_t> later;
        std::vector<std::size_t> now;
        std::vector<BaseHandProtocol::BaseHand*> in_round;
        for (const std::size_t i : waiting) {
            BaseHandProtocol::BaseHand* hand = (manager.*find)(ips[i]);
            if (hand == nullptr) {
                continue;  // kFailure, as the one-hand call gives
            }
            if (std::find(in_round.begin(), in_round.end(), hand) != in_round.end()) {
                later.push_back(i);
                continue;
            }
            in_round.push_back(hand);
            now.push_back(i);
        }
        // Every hand of the round is held for the whole round, like a one-hand
        // call holds its hand. The locks are taken in one global order (by
        // object address), so two sweeps over the same hands cannot deadlock.
        std::vector<BaseHandProtocol::BaseHand*> order = in_round;
        std::sort(order.begin(), order.end(), std::less<BaseHandProtocol::BaseHand*>());
        std::vector<std::unique_lock<std::mutex>> locks;
        locks.reserve(order.size());
        for (BaseHandProtocol::BaseHand* hand : order) {
            locks.emplace_back(hand->operation_mutex());
        }
        std::vector<std::unique_ptr<BaseHandProtocol::Pending>> pendings;
        std::vector<BaseHandProtocol::Pending*> to_run;
        std::vector<std::size_t> run_index;
        for (std::size_t k = 0; k < now.size(); ++k) {
            const std::size_t i = now[k];
            BaseHandProtocol::BaseHand* hand = in_round[k];
            pendings.push_back(std::make_unique<BaseHandProtocol::Pending>());
            const int prepared = start(i, *hand, *pendings.back());
            if (prepared == BaseHandProtocol::kPrepared) {
                to_run.push_back(pendings.back().get());
                run_index.push_back(i);
            } else {
                statuses[i] = prepared;
            }
        }
        BaseHandProtocol::run_together(to_run.data(), to_run.size());
        for (std::size_t k = 0; k < to_run.size(); ++k) {
            statuses[run_index[k]] = to_run[k]->status;
        }
        waiting = std::move(later);
    }
}

}  // namespace

void Qhand::get_positions(const std::vector<std::string>& ips, std::vector<std::vector<float>>& pos,
                          std::vector<int>& statuses) {
    pos.assign(ips.size(), {});
    run_for_hands(*this, ips, statuses, &Qhand::hand_for,
                  [&pos](std::size_t i, BaseHandProtocol::BaseHand& hand, BaseHandProtocol::Pending& pending) {
                      return hand.prepare_get_pos(pos[i], pending);
                  });
}

void Qhand::set_positions(const std::vector<std::string>& ips, const std::vector<std::vector<float>>& pos,
                          std::vector<int>& statuses) {
    run_for_hands(*this, ips, statuses, &Qhand::hand_for,
                  [&pos](std::size_t i, BaseHandProtocol::BaseHand& hand, BaseHandProtocol::Pending& pending) {
                      return hand.prepare_set_pos(i < pos.size() ? pos[i] : std::vector<float>{}, pending);
                  });
}

int Qhand::get_operate_pointer(std::vector<void*>&, std::vector<OperatePtrType>&) { return kSuccess; }

}  // namespace hand_ws
