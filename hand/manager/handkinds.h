#pragma once

// The kinds of hand the library serves, in one table. Discovery accepts a
// reply only when its name is a kind here; registration checks a discovered
// hand against its kind's rules and makes its protocol object; the client
// asks whether to run its calibration worker for a kind. Adding a kind means
// adding a row here, its protocol unit and its simulated hand.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tessaro_dexhand/kinds.h"
#include "transport/basehand.h"

namespace hand_ws {

struct HandKind {
    // What applications learn of the kind (tessaro_dexhand::kinds()): the
    // discovery "name" (compared whole and case-sensitive), the accepted
    // discovery "type" values (empty accepts any), joints, position range,
    // served operations, tactile shape. The client's calibration runs a
    // worker for the kinds that serve `calibrate`; other kinds count as
    // calibrated.
    tessaro_dexhand::KindInfo info;
    // Accepted addresses; empty accepts any address.
    std::vector<std::string> addresses;
    // Opens the hand's endpoints; sends nothing. Throws what the endpoint
    // constructor throws.
    std::unique_ptr<BaseHandProtocol::BaseHand> (*make)(const std::string& ip);
};

// Every kind, in a fixed order.
const std::vector<HandKind>& hand_kinds();

// The kind with this discovery name, or null.
const HandKind* find_hand_kind(std::string_view name);

// Registration's verdict on one discovered hand: its kind, or the line that
// says why it cannot be served (kind null).
struct Selection {
    const HandKind* kind = nullptr;
    std::string refusal;
};

// Checks the name, then the type, then the address.
Selection select_kind(const std::string& name, const std::string& type, const std::string& ip);

// True for the kinds whose hands the client's calibration drives.
bool client_calibrates(std::string_view name);

}  // namespace hand_ws
