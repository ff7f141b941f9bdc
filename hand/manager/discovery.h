#pragma once

// Not installed: applications discover through Qhand::init and DexHand::init,
// and nothing here is exported from the shared library.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace hand_ws {

// The discovery wire format, apart from any socket.
namespace discovery {

constexpr const char* kBroadcastAddress = "192.168.137.255";
constexpr unsigned short kPort = 2334;
constexpr std::size_t kRequestLength = 512;
constexpr std::size_t kReplyLimit = 512;
constexpr int kListenMs = 1000;

// The 512-byte request: fifteen ASCII '1' then zeros.
std::vector<unsigned char> request();

enum class Outcome {
    Accepted,     // a reply from a known hand kind; fields filled
    ParseError,   // not one strict JSON text
    NoName,       // no string "name"
    UnknownName,  // a name that is no hand kind's (handkinds.h)
    Malformed,    // root not an object, or a version array that is not all unsigned 32-bit
};

// What one accepted reply adds to each discovery list, in the order added.
struct Reply {
    std::string name;
    std::optional<std::string> type;
    std::vector<std::string> ip_addresses;      // "IP", then "ip_address"
    std::optional<std::string> serial_number;
    std::vector<std::string> driver_versions;    // "driver_version", then "hardware_verison"
    std::vector<std::string> hardware_versions;  // "firmware_verison", then "firmware_version"
};

// Judges one reply text (the datagram up to its first NUL).
Outcome parse_reply(const char* text, Reply& reply);

// "a.b.c.d" from the first four elements, missing ones as 0.
std::string version_text(const std::vector<unsigned int>& elements);

}  // namespace discovery

}  // namespace hand_ws
