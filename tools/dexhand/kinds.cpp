#include "kinds.h"

#include <cstdio>
#include <functional>
#include <vector>

namespace dexhand_cli {

namespace td = tessaro_dexhand;

namespace {

std::string number(float value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%g", static_cast<double>(value));
    return text;
}

// "a", "a and b", "a, b and c".
std::string listed(const std::vector<std::string>& items) {
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == items.size() ? " and " : ", ") + items[i];
    }
    return text;
}

// Kinds with the same fact share one entry: "<fact> for a and b hands, ...";
// the first entry gets first_suffix after its fact.
std::string per_kind(const std::function<std::string(const td::KindInfo&)>& fact, const std::string& first_suffix) {
    std::vector<std::string> facts;
    std::vector<std::vector<std::string>> names;
    for (const td::KindInfo& kind : td::kinds()) {
        const std::string text = fact(kind);
        std::size_t i = 0;
        while (i < facts.size() && facts[i] != text) {
            ++i;
        }
        if (i == facts.size()) {
            facts.push_back(text);
            names.emplace_back();
        }
        names[i].push_back(kind.name);
    }
    std::vector<std::string> entries;
    for (std::size_t i = 0; i < facts.size(); ++i) {
        entries.push_back(facts[i] + (i == 0 ? first_suffix : std::string()) + " for " + listed(names[i]) + " hands");
    }
    std::string text;
    for (const auto& entry : entries) {
        text += (text.empty() ? "" : ", ") + entry;
    }
    return text;
}

}  // namespace

std::string kinds_serving(std::initializer_list<td::Operation> operations) {
    std::vector<std::string> names;
    for (const td::KindInfo& kind : td::kinds()) {
        bool all = true;
        for (const td::Operation operation : operations) {
            all = all && kind.serves(operation);
        }
        if (all) {
            names.push_back(kind.name);
        }
    }
    return names.empty() ? std::string("no") : listed(names) + " hands";
}

std::string joint_counts() {
    return per_kind([](const td::KindInfo& kind) { return std::to_string(kind.joints); }, " values");
}

std::string position_ranges() {
    std::string text = per_kind(
        [](const td::KindInfo& kind) {
            return number(kind.position_min) + " to " + number(kind.position_max) + " (" + kind.position_unit + ")";
        },
        "");
    // Every kind's hold value is named once when they share it.
    std::vector<std::string> holds;
    for (const td::KindInfo& kind : td::kinds()) {
        const std::string hold = number(kind.hold_value);
        if (holds.empty() || holds.back() != hold) {
            holds.push_back(hold);
        }
    }
    if (holds.size() == 1) {
        text += "; " + holds.front() + " leaves a joint where it is";
    }
    return text;
}

std::string lacking(td::Operation operation) {
    switch (operation) {
    case td::Operation::read_positions:
        return "does not report its positions";
    case td::Operation::set_positions:
        return "takes no position commands";
    case td::Operation::fast_set_positions:
        return "has no fast position command";
    case td::Operation::read_velocities:
        return "does not report velocities";
    case td::Operation::read_currents:
        return "does not report currents";
    case td::Operation::read_error_codes:
        return "does not report error codes";
    case td::Operation::clear_error_codes:
        return "has no command that clears its errors";
    case td::Operation::enable:
        return "has no enable command";
    case td::Operation::disable:
        return "has no disable command";
    case td::Operation::reboot:
        return "cannot be rebooted over the network";
    case td::Operation::read_config:
        return "does not report its configuration";
    case td::Operation::write_config:
        return "takes no configuration";
    case td::Operation::read_tactile:
        return "has no tactile matrix";
    case td::Operation::calibrate:
        return "is not calibrated by the client (only " + kinds_serving({operation}) + " are)";
    }
    return "does not serve this operation";
}

}  // namespace dexhand_cli
