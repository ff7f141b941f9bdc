#include "manager/qhand.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include <rapidjson/document.h>

#include "manager/discovery.h"
#include "protocols/inspire.h"
#include "protocols/qmhv1.h"
#include "protocols/qmhv2.h"

namespace hand_ws {

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
    document.Parse(text);
    if (document.HasParseError()) {
        return Outcome::ParseError;
    }
    if (!document.IsObject()) {
        return Outcome::Malformed;
    }
    const std::optional<std::string> name = string_member(document, "name");
    if (!name) {
        return Outcome::NoName;
    }
    if (*name != "QSH" && *name != "qmhv1" && *name != "qmhv2") {
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
        return -1;
    }

    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(discovery::kPort);
    ::inet_pton(AF_INET, discovery::kBroadcastAddress, &destination.sin_addr);
    const std::vector<unsigned char> request = discovery::request();

    const auto start = std::chrono::steady_clock::now();
    int state = 0;  // 0: request not sent yet, 1: listening
    char buffer[1024];
    for (;;) {
        if (state == 0 &&
            ::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&destination),
                     sizeof(destination)) >= 0) {
            state = 1;
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
                emit(Level::warning, std::string("basehand broadcast(): json parse error, msg: ") + buffer);
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
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        if (elapsed > discovery::kListenMs) {
            break;
        }
    }

    if (!ip_addresses.empty()) {
        return 0;
    }
    emit(Level::warning, state == 0 ? "DEVICE SENDTO TIMEOUT" : "DEVICE RECVFROM TIMEOUT");
    return -2;
}

int Qhand::find_hand() { return broadcast(); }

// ---------------------------------------------------------------------------
// Registry

namespace {

// The protocol object for one discovered hand, or null after printing why
// the hand cannot be served.
std::unique_ptr<BaseHandProtocol::BaseHand> select_protocol(const std::string& name, const std::string& ip,
                                                            const std::string& type) {
    if (name == "QSH") {
        // Only these two addresses are ever used by this hand kind.
        if (ip == "192.168.137.19" || ip == "192.168.137.39") {
            return std::make_unique<BaseHandProtocol::Inspire>(ip);
        }
        emit(Level::error, "[Qhand] init(): ip: " + ip + "unexcepted!");
        return nullptr;
    }
    if (name == "qmhv1") {
        if (type == "QMH-6L" || type == "QMH-6R") {
            return std::make_unique<BaseHandProtocol::Qmhv1>(ip);
        }
        emit(Level::error, "[Qhand] init(): type: " + type + "unexcepted!");
        return nullptr;
    }
    if (name == "qmhv2") {
        if (type == "QMH-12L" || type == "QMH-12R") {
            return std::make_unique<BaseHandProtocol::Qmhv2>(ip);
        }
        emit(Level::error, "[Qhand] init(): type: " + type + "unexcepted!");
        return nullptr;
    }
    emit(Level::error, "The dexterous Qhand corresponding to name could not be recognized");
    return nullptr;
}

}  // namespace

int Qhand::init() {
    if (find_hand() != 0) {
        emit(Level::error, "\033[0;31m [Error] [[Qhand]][init()] Connot find server.\033[0m");
        return -1;
    }
    if (ip_addresses.size() != types.size() || ip_addresses.size() != names.size()) {
        emit(Level::error, "[Qhand] init(): ip type name Dimensions are different");
        return -1;
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        auto hand = select_protocol(names[i], ip_addresses[i], types[i]);
        if (!hand) {
            return -1;
        }
        hands.push_back(std::move(hand));
        hand_ips.push_back(ip_addresses[i]);
    }
    for (std::size_t i = 0; i < hand_ips.size(); ++i) {
        if (std::find(hand_ips.begin(), hand_ips.end(), hand_ips[i]) != hand_ips.begin() + static_cast<long>(i)) {
            emit(Level::error, "[Error] [[Qhand]][init()] Server illegal duplicate ip.");
            return -1;
        }
    }
    return 0;
}

int Qhand::is_duplicate_types() { return -1; }

int Qhand::remove_repeated_types() { return 0; }

// ---------------------------------------------------------------------------
// Dispatch

BaseHandProtocol::BaseHand* Qhand::hand_for(const std::string& ip) const {
    const auto it = std::find(hand_ips.begin(), hand_ips.end(), ip);
    if (it == hand_ips.end()) {
        return nullptr;
    }
    const auto index = static_cast<std::size_t>(it - hand_ips.begin());
    return index < hands.size() ? hands[index].get() : nullptr;
}

int Qhand::get_status(std::string ip, std::vector<unsigned char>& status) {
    BaseHandProtocol::BaseHand* hand = hand_for(ip);
    if (hand == nullptr) {
        emit(Level::error, "[Error] [[Qhand]][get_status(OperatePtrType type, std::vector<long> &status)] IP not found.");
        return -1;
    }
    hand->get_status(status);
    return 0;
}

int Qhand::get_errorcode(std::string ip, std::vector<long>& errorcode) {
    BaseHandProtocol::BaseHand* hand = hand_for(ip);
    if (hand == nullptr) {
        emit(Level::error, 
            "[Error] [[Qhand]][get_errorcode(OperatePtrType type, std::vector<long> &errorcode)] IP not found.");
        return -1;
    }
    return hand->get_errorcode(errorcode);
}

int Qhand::clear_errorcode(std::string ip) {
    BaseHandProtocol::BaseHand* hand = hand_for(ip);
    if (hand == nullptr) {
        emit(Level::error, "[Error] [[Qhand]][clear_errorcode(std::string _ip)] IP not found.");
        return -1;
    }
    hand->clear_errorcode();
    return 0;
}

int Qhand::calibration(std::string ip) {
    BaseHandProtocol::BaseHand* hand = hand_for(ip);
    if (hand == nullptr) {
        return -1;
    }
    // A time-out of the command is not a failure here: the outcome shows in
    // the error codes that the caller polls afterwards.
    if (hand->calibration() == -1) {
        emit(Level::error, "[Error] [[Qhand]][calibration(std::string _ip)] calibration fail.");
        return -1;
    }
    return 0;
}

int Qhand::enable(std::string ip) {
    BaseHandProtocol::BaseHand* hand = hand_for(ip);
    return hand != nullptr ? hand->enable() : -1;
}

int Qhand::disable(std::string ip) {
    BaseHandProtocol::BaseHand* hand = hand_for(ip);
    return hand != nullptr ? hand->disable() : -1;
}

int Qhand::reboot(std::string ip) {
    BaseHandProtocol::BaseHand* hand = hand_for(ip);
    return hand != nullptr ? hand->reboot() : -1;
}

int Qhand::set_position(std::string ip, std::vector<float> pos) {
    BaseHandProtocol::BaseHand* hand = hand_for(ip);
    return hand != nullptr ? hand->set_pos(std::move(pos)) : -1;
}

int Qhand::get_position(std::string ip, std::vector<float>& pos) {
    BaseHandProtocol::BaseHand* hand = hand_for(ip);
    return hand != nullptr ? hand->get_pos(pos) : -1;
}

int Qhand::get_ts_matrix(std::string ip, std::vector<std::vector<unsigned char>>& matrix) {
    BaseHandProtocol::BaseHand* hand = hand_for(ip);
    return hand != nullptr ? hand->get_ts_matrix(matrix) : -1;
}

int Qhand::get_comm_config(std::string ip, std::string& config) {
    BaseHandProtocol::BaseHand* hand = hand_for(ip);
    return hand != nullptr ? hand->get_comm_config(config) : -1;
}

int Qhand::set_comm_config(std::string ip, std::string config) {
    BaseHandProtocol::BaseHand* hand = hand_for(ip);
    return hand != nullptr ? hand->set_comm_config(std::move(config)) : -1;
}

int Qhand::fast_set_positon(std::string ip, std::vector<float> pos) {
    BaseHandProtocol::BaseHand* hand = hand_for(ip);
    return hand != nullptr ? hand->fast_set_positions(std::move(pos)) : -1;
}

int Qhand::get_pvc(std::string ip, std::vector<std::vector<float>>& pvc) {
    BaseHandProtocol::BaseHand* hand = hand_for(ip);
    return hand != nullptr ? hand->get_pvc(pvc) : -1;
}

int Qhand::get_operate_pointer(std::vector<void*>&, std::vector<OperatePtrType>&) { return 0; }

}  // namespace hand_ws
