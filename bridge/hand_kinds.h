#pragma once

// What the bridge knows about each hand kind: the joint names it publishes
// (in the library's joint order) and which readings the kind can give.

#include <string>
#include <vector>

namespace bridge {

struct HandKind {
    std::string name;                 // the discovery name ("qmhv1", "qmhv2", "QSH")
    std::vector<std::string> joints;  // one name per position value, library order
    bool velocity_effort = false;     // reports velocities and currents besides positions
    bool tactile = false;             // has a tactile matrix
};

// The kind of a discovered hand, or null for a name the bridge does not serve.
const HandKind* find_kind(const std::string& name);

}  // namespace bridge
