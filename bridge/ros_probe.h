#pragma once

// A peer that looks at the bridge the way the ROS 2 middleware does: a
// participant of its own whose endpoints carry no type information and take
// only XCDR1. Used by the tests and by dexhand-ros-reader.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ros_dds.h"

namespace bridge {
namespace ros {

// What discovery told about a writer that a reader matched.
struct MatchedWriter {
    std::string topic_name;
    std::string type_name;
    std::string user_data;
};

// A sample as it came over the wire, with its serialized bytes (the four
// bytes of the encapsulation header first).
template <class Message>
struct Received {
    std::vector<std::uint8_t> bytes;
    Message message;
};

class Probe {
public:
    explicit Probe(std::uint32_t domain_id);

    bool ok() const { return participant_.ok(); }
    dds_entity_t participant() const { return participant_.get(); }

    // A reader on a DDS topic name; ROS 2 subscriptions are reliable by default.
    dds_entity_t reader(const dds_topic_descriptor_t& type, const std::string& topic,
                        Reliability reliability = Reliability::reliable);
    dds_entity_t writer(const dds_topic_descriptor_t& type, const std::string& topic);

    // Waits until the endpoint has matched at least one remote endpoint.
    static bool wait_matched(dds_entity_t endpoint, std::chrono::milliseconds timeout);
    static std::vector<MatchedWriter> matched_writers(dds_entity_t reader);

    static std::optional<Received<JointState>> take_joint_state(dds_entity_t reader, std::chrono::milliseconds timeout);
    static std::optional<Received<ImageMessage>> take_image(dds_entity_t reader, std::chrono::milliseconds timeout);

private:
    Entity participant_;
};

// "00 01 00 00 ..." for the first count bytes.
std::string hex_bytes(const std::vector<std::uint8_t>& bytes, std::size_t count);

}  // namespace ros
}  // namespace bridge
