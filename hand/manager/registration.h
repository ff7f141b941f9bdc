#pragma once

// Registration of what discovery found, for Qhand::init() (which stops at the
// first entry it cannot serve) and for the typed client (which leaves such an
// entry out and goes on).

#include <string>
#include <vector>

#include "manager/qhand.h"

namespace hand_ws {

// A discovered device that was not registered, and why.
struct Skipped {
    std::string address, name, type, reason;
};

// Registers the entries of the discovery lists in order. With skipped null,
// the first entry that cannot be served ends registration with kFailure
// (the hands before it stay registered). Otherwise such an entry is taken
// out of the discovery lists (so that every list still has one entry per
// registered hand where it had one per reply), described in *skipped, and
// registration goes on. Its refusal line is printed in both cases.
int register_discovered(Qhand& manager, std::vector<Skipped>* skipped);

}  // namespace hand_ws
