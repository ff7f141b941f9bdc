#pragma once

// What each hand kind serves. The library answers some operations that a kind
// lacks with a fixed status (0 for a command that was never sent, -1 for
// others), so the tool decides from the discovery name instead and can tell
// the user why nothing happened.

#include <string>

namespace dexhand_cli {

enum class Operation {
    position,
    move,
    enable,
    disable,
    reboot,
    calibrate,
    errors,
    clear_errors,
    pvc,
    tactile,
    config,
};

struct Kind {
    const char* name;   // the discovery name
    int joints;         // values a position command takes
    unsigned serves;    // bit per Operation
    float low, high;    // the span of a position value the dashboard's sliders offer
};

// The kind of a discovery name, or null for a name the library does not serve.
const Kind* find_kind(const std::string& name);

bool serves(const Kind& kind, Operation operation);

// Completes "<address> is a <kind> hand, which ..." for an operation a kind
// does not serve.
const char* lacking(Operation operation);

// The operation as the user names it ("enable", "clear-errors", ...).
const char* operation_name(Operation operation);

}  // namespace dexhand_cli
