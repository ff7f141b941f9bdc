#pragma once

// Pure pieces of the bridge, kept apart from threads and DDS so each rule can
// be tested alone: hand namespaces, the names file, command checks and the
// tactile image layout.

#include <chrono>
#include <cstdint>
#include <istream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tessaro_dexhand/kinds.h"

namespace bridge {

// "/dexhand/hand_<last octet>" for a dotted-quad address.
std::string default_namespace(const std::string& address);

// A ROS namespace: "/" then segments of letters, digits and underscores
// joined by single slashes, no segment starting with a digit, no trailing slash.
bool valid_namespace(const std::string& name);

// The DDS topic of a ROS topic in a namespace: "rt" + namespace + "/" + topic.
std::string dds_topic(const std::string& ros_namespace, const std::string& topic);

// Reads a names file: one "ADDRESS NAMESPACE" pair per line; blank lines and
// lines starting with '#' are skipped. On an error returns nothing and sets
// error to a message naming the line.
std::optional<std::map<std::string, std::string>> parse_names(std::istream& in, std::string& error);

// Turns the position field of a command into the hand's joint targets.
// Returns the reason when the command must be dropped: what the kind's
// check_positions() refuses (a wrong count, a value outside the kind's range,
// not finite or beyond the float range).
std::optional<std::string> check_command(const std::vector<double>& positions, const tessaro_dexhand::KindInfo& kind,
                                         std::vector<float>& targets);

// A tactile matrix as a mono16 image: one row per tactile row, cells as
// little-endian 16-bit values saturated at 65535. Rows shorter than the
// longest are padded with zeros.
struct Image {
    std::uint32_t height = 0;
    std::uint32_t width = 0;
    std::uint32_t step = 0;  // bytes per row
    std::vector<std::uint8_t> data;
};
Image tactile_image(const std::vector<std::vector<unsigned char>>& rows);
Image mono16_image(const std::vector<std::vector<unsigned>>& rows);

// A ROS time stamp from the system clock.
struct Stamp {
    std::int32_t sec = 0;
    std::uint32_t nanosec = 0;
};
Stamp stamp_of(std::chrono::system_clock::time_point when);

}  // namespace bridge
