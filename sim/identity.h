#pragma once

// Who a simulated hand says it is when discovery asks: the members of its
// reply, and the text of that reply.

#include <string>

namespace sim {

struct Identity {
    std::string name;              // "qmhv1", "qmhv2" or "QSH"
    std::string type;              // e.g. "QMH-12R"
    std::string ip;                // the address the reply names
    std::string serial_number;     // left out of the reply when empty
    std::string driver_version;    // left out when empty
    std::string firmware_version;  // left out when empty
    // Second-generation hands send their versions as number arrays under the
    // keys "hardware_verison" and "firmware_verison"; the others as strings
    // under "driver_version" and "firmware_version". A version that is not
    // up to four dotted numbers goes out as a string either way.
    bool version_arrays = false;
    // The address under "ip_address" instead of "IP".
    bool ip_address_key = false;
};

// The kinds of hands the simulator models, as written on the command line.
bool known_kind(const std::string& kind);

// What a hand of this kind ("qmhv1", "qmhv2" or "QSH") at ip answers by
// default; an empty identity for an unknown kind.
Identity default_identity(const std::string& kind, const std::string& ip);

// The discovery reply carrying the identity, members in the order name,
// type, address, serial number, driver version, firmware version.
std::string discovery_text(const Identity& identity);

}  // namespace sim
