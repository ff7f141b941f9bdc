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

std::vector<std::string> numbered_joints(std::size_t count) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < count; ++i) {
        names.push_back("joint_" + std::to_string(i));
    }
    return names;
}

using Op = tessaro_dexhand::Operation;

// Facts of a kind whose hands take position lists of `joints` values.
tessaro_dexhand::KindInfo info(const std::string& name, const std::vector<std::string>& types, std::size_t joints,
                               const char* unit, float high, std::vector<Op> operations,
                               std::size_t tactile_row_bytes = 0) {
    tessaro_dexhand::KindInfo kind;
    kind.name = name;
    kind.types = types;
    kind.joints = joints;
    kind.joint_names = numbered_joints(joints);
    kind.position_unit = unit;
    kind.position_min = 0.0f;
    kind.position_max = high;
    kind.hold_value = -1.0f;
    kind.operations = std::move(operations);
    kind.tactile_row_bytes = tactile_row_bytes;
    return kind;
}

}  // namespace

const std::vector<HandKind>& hand_kinds() {
    // What each kind serves is what its protocol class can do: an operation
    // that the class answers at once without sending anything (qmhv1 and QSH
    // enable, qmhv2 and QSH reboot, qmhv2 clearing errors, ...) is not served.
    // qmhv1 and QSH positions are fractions of the joint's travel (0.0 to
    // 1.0); qmhv2 values are the hand's joint angles, 0 to 180 degrees. -1
    // leaves a joint where it is on every kind.
    static const std::vector<HandKind> kinds = {
        // The Inspire hand is only ever set up at these two addresses; its
        // type is not looked at.
        {info("QSH", {}, 6, "fraction", 1.0f,
              {Op::read_positions, Op::set_positions, Op::fast_set_positions, Op::read_velocities, Op::read_currents,
               Op::read_error_codes, Op::clear_error_codes, Op::read_config, Op::write_config}),
         {"192.168.137.19", "192.168.137.39"}, &make<BaseHandProtocol::Inspire>},
        {info("qmhv1", {"QMH-6L", "QMH-6R"}, 6, "fraction", 1.0f,
              {Op::read_positions, Op::set_positions, Op::fast_set_positions, Op::read_velocities, Op::read_currents,
               Op::read_error_codes, Op::clear_error_codes, Op::disable, Op::reboot, Op::read_config,
               Op::write_config}),
         {}, &make<BaseHandProtocol::Qmhv1>},
        {info("qmhv2", {"QMH-12L", "QMH-12R"}, 12, "degree", 180.0f,
              {Op::read_positions, Op::set_positions, Op::fast_set_positions, Op::read_error_codes, Op::enable,
               Op::disable, Op::read_config, Op::write_config, Op::read_tactile, Op::calibrate},
              96),
         {}, &make<BaseHandProtocol::Qmhv2>},
    };
    return kinds;
}

const HandKind* find_hand_kind(std::string_view name) {
    for (const HandKind& kind : hand_kinds()) {
        if (kind.info.name == name) {
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
    if (!accepts(kind->info.types, type)) {
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
    return kind != nullptr && kind->info.serves(tessaro_dexhand::Operation::calibrate);
}

}  // namespace hand_ws
