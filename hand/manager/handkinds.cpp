#include "manager/handkinds.h"

#include <arpa/inet.h>

#include <algorithm>

#include "protocols/inspire.h"
#include "protocols/qmhv1.h"
#include "protocols/qmhv2.h"

namespace hand_ws {

namespace {

template <class Protocol>
std::unique_ptr<BaseHandProtocol::BaseHand> make(const std::string& ip) {
    return std::make_unique<Protocol>(ip);
}

bool accepts(const std::vector<std::string>& allowed, const std::string& value) {
    return allowed.empty() || std::find(allowed.begin(), allowed.end(), value) != allowed.end();
}

}  // namespace

const std::vector<HandKind>& hand_kinds() {
    static const std::vector<HandKind> kinds = {
        // The Inspire hand is only ever set up at these two addresses; its
        // type is not looked at.
        {"QSH", {}, {"192.168.137.19", "192.168.137.39"}, &make<BaseHandProtocol::Inspire>, false},
        {"qmhv1", {"QMH-6L", "QMH-6R"}, {}, &make<BaseHandProtocol::Qmhv1>, false},
        {"qmhv2", {"QMH-12L", "QMH-12R"}, {}, &make<BaseHandProtocol::Qmhv2>, true},
    };
    return kinds;
}

const HandKind* find_hand_kind(std::string_view name) {
    for (const HandKind& kind : hand_kinds()) {
        if (kind.name == name) {
            return &kind;
        }
    }
    return nullptr;
}

Selection select_kind(const std::string& name, const std::string& type, const std::string& ip) {
    const HandKind* kind = find_hand_kind(name);
    if (kind == nullptr) {
        return {nullptr, "The dexterous Qhand corresponding to name could not be recognized"};
    }
    if (!accepts(kind->types, type)) {
        return {nullptr, "[Qhand] init(): type: " + Diagnostics::printable(type) + "unexcepted!"};
    }
    // The address comes from the network: a text that is not an IPv4
    // address is refused here rather than thrown at by the endpoints.
    in_addr address{};
    if (!accepts(kind->addresses, ip) || ::inet_pton(AF_INET, ip.c_str(), &address) != 1) {
        return {nullptr, "[Qhand] init(): ip: " + Diagnostics::printable(ip) + "unexcepted!"};
    }
    return {kind, ""};
}

bool client_calibrates(std::string_view name) {
    const HandKind* kind = find_hand_kind(name);
    return kind != nullptr && kind->calibrated_by_client;
}

}  // namespace hand_ws
