#include "kinds.h"

namespace dexhand_cli {

namespace {

constexpr unsigned bit(Operation operation) { return 1u << static_cast<unsigned>(operation); }

constexpr unsigned kEveryKind =
    bit(Operation::position) | bit(Operation::move) | bit(Operation::errors) | bit(Operation::config);

// qmhv1 hands take no enable command (the library reports one as done
// without sending anything); only qmhv2 hands are calibrated by the client;
// Inspire hands have no disable or reboot command; qmhv2 hands report no
// velocities or currents and have no command that clears their errors.
// qmhv1 and QSH positions read 0.0 to 1.0; qmhv2 values are the hand's own
// joint angles, within 0 to 180.
const Kind kKinds[] = {
    {"qmhv1", 6,
     kEveryKind | bit(Operation::disable) | bit(Operation::reboot) | bit(Operation::clear_errors) |
         bit(Operation::pvc),
     0.0f, 1.0f},
    {"qmhv2", 12,
     kEveryKind | bit(Operation::enable) | bit(Operation::disable) | bit(Operation::calibrate) |
         bit(Operation::tactile),
     0.0f, 180.0f},
    {"QSH", 6, kEveryKind | bit(Operation::clear_errors) | bit(Operation::pvc), 0.0f, 1.0f},
};

}  // namespace

const Kind* find_kind(const std::string& name) {
    for (const Kind& kind : kKinds) {
        if (name == kind.name) {
            return &kind;
        }
    }
    return nullptr;
}

bool serves(const Kind& kind, Operation operation) { return (kind.serves & bit(operation)) != 0; }

const char* lacking(Operation operation) {
    switch (operation) {
    case Operation::enable:
        return "has no enable command";
    case Operation::disable:
        return "has no disable command";
    case Operation::reboot:
        return "cannot be rebooted over the network";
    case Operation::calibrate:
        return "is not calibrated by the client (only qmhv2 hands are)";
    case Operation::clear_errors:
        return "has no command that clears its errors";
    case Operation::pvc:
        return "does not report velocities and currents";
    case Operation::tactile:
        return "has no tactile matrix";
    case Operation::position:
    case Operation::move:
    case Operation::errors:
    case Operation::config:
        break;
    }
    return "does not serve this operation";
}

const char* operation_name(Operation operation) {
    switch (operation) {
    case Operation::position:
        return "pos";
    case Operation::move:
        return "move";
    case Operation::enable:
        return "enable";
    case Operation::disable:
        return "disable";
    case Operation::reboot:
        return "reboot";
    case Operation::calibrate:
        return "calibrate";
    case Operation::errors:
        return "errors";
    case Operation::clear_errors:
        return "clear-errors";
    case Operation::pvc:
        return "pvc";
    case Operation::tactile:
        return "tactile";
    case Operation::config:
        return "config";
    }
    return "?";
}

}  // namespace dexhand_cli
