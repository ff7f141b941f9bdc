// The typed API's statuses and kind facts; the facts come from the manager's
// table of hand kinds, the one place they are written.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "manager/handkinds.h"
#include "tessaro_dexhand/kinds.h"
#include "tessaro_dexhand/status.h"

namespace tessaro_dexhand {

const char* to_text(Status status) {
    switch (status) {
    case Status::ok:
        return "ok";
    case Status::failed:
        return "failed";
    case Status::timeout:
        return "timed out";
    case Status::not_served:
        return "not served by this hand kind";
    case Status::unknown_hand:
        return "no such hand";
    case Status::invalid_argument:
        return "invalid argument";
    }
    return "unknown status";
}

const std::vector<Operation>& all_operations() {
    static const std::vector<Operation> operations = {
        Operation::read_positions, Operation::set_positions,    Operation::fast_set_positions,
        Operation::read_velocities, Operation::read_currents,    Operation::read_error_codes,
        Operation::clear_error_codes, Operation::enable,         Operation::disable,
        Operation::reboot,          Operation::read_config,      Operation::write_config,
        Operation::read_tactile,    Operation::calibrate,
    };
    return operations;
}

const char* to_text(Operation operation) {
    switch (operation) {
    case Operation::read_positions:
        return "read_positions";
    case Operation::set_positions:
        return "set_positions";
    case Operation::fast_set_positions:
        return "fast_set_positions";
    case Operation::read_velocities:
        return "read_velocities";
    case Operation::read_currents:
        return "read_currents";
    case Operation::read_error_codes:
        return "read_error_codes";
    case Operation::clear_error_codes:
        return "clear_error_codes";
    case Operation::enable:
        return "enable";
    case Operation::disable:
        return "disable";
    case Operation::reboot:
        return "reboot";
    case Operation::read_config:
        return "read_config";
    case Operation::write_config:
        return "write_config";
    case Operation::read_tactile:
        return "read_tactile";
    case Operation::calibrate:
        return "calibrate";
    }
    return "unknown operation";
}

bool KindInfo::serves(Operation operation) const {
    return std::find(operations.begin(), operations.end(), operation) != operations.end();
}

namespace {

std::string number(float value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%g", static_cast<double>(value));
    return text;
}

}  // namespace

std::string KindInfo::check_positions(const std::vector<float>& positions) const {
    if (positions.size() != joints) {
        return "a " + name + " hand takes " + std::to_string(joints) + " positions, not " +
               std::to_string(positions.size());
    }
    for (std::size_t i = 0; i < positions.size(); ++i) {
        const float value = positions[i];
        if (value == hold_value) {
            continue;
        }
        if (!std::isfinite(value) || value < position_min || value > position_max) {
            return "joint " + std::to_string(i) + ": " + number(value) + " is outside " + number(position_min) +
                   " to " + number(position_max) + " (" + position_unit + "; " + number(hold_value) +
                   " holds the joint)";
        }
    }
    return "";
}

const std::vector<KindInfo>& kinds() {
    static const std::vector<KindInfo> all = [] {
        std::vector<KindInfo> infos;
        for (const hand_ws::HandKind& kind : hand_ws::hand_kinds()) {
            infos.push_back(kind.info);
        }
        return infos;
    }();
    return all;
}

const KindInfo* find_kind(std::string_view name) {
    for (const KindInfo& kind : kinds()) {
        if (kind.name == name) {
            return &kind;
        }
    }
    return nullptr;
}

}  // namespace tessaro_dexhand
