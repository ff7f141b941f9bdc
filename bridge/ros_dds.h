#pragma once

// The ROS 2 side of the bridge on Cyclone DDS's C API: QoS as the ROS 2
// middleware sets it, and JointState and Image messages to and from the
// generated C types.

#include <dds/dds.h>

#include <string>
#include <vector>

#include "naming.h"
#include "ros_msgs.h"

namespace bridge {
namespace ros {

// ROS 2 releases that read endpoint USER_DATA take the message type's hash
// from it; the value is fixed by the JointState definition.
constexpr const char* kJointStateTypeHash =
    "typehash=RIHS01_a13ee3a330e346c9d87b5aa18d24e11690752bd33a0350f11c5882bc9179260e;";

// Owns one DDS entity; deleting it deletes its children.
class Entity {
public:
    Entity() = default;
    explicit Entity(dds_entity_t entity) : entity_(entity) {}
    ~Entity() { reset(); }
    Entity(Entity&& other) noexcept : entity_(other.entity_) { other.entity_ = 0; }
    Entity& operator=(Entity&& other) noexcept {
        if (this != &other) {
            reset();
            entity_ = other.entity_;
            other.entity_ = 0;
        }
        return *this;
    }
    Entity(const Entity&) = delete;
    Entity& operator=(const Entity&) = delete;

    dds_entity_t get() const { return entity_; }
    bool ok() const { return entity_ > 0; }
    void reset() {
        if (entity_ > 0) {
            dds_delete(entity_);
        }
        entity_ = 0;
    }

private:
    dds_entity_t entity_ = 0;
};

enum class Reliability { reliable, best_effort };

// XCDR1 only, volatile, keep-last `depth`, with the given reliability;
// user_data (may be empty) goes into the endpoint's USER_DATA.
dds_qos_t* endpoint_qos(Reliability reliability, const std::string& user_data, int depth = 10);

// Creates an endpoint of the given type on a topic name; a negative DDS
// return code on failure.
dds_entity_t create_writer(dds_entity_t participant, const dds_topic_descriptor_t& type, const std::string& topic,
                           const std::string& user_data);
dds_entity_t create_reader(dds_entity_t participant, const dds_topic_descriptor_t& type, const std::string& topic,
                           Reliability reliability, const std::string& user_data);
// A reader of commands: reliable, so that a reliable publisher's first sample
// is repaired when it raced the discovery of its writer (a reliable reader
// still matches best-effort publishers), and keep-last 1, since only the
// latest command matters.
dds_entity_t create_command_reader(dds_entity_t participant, const dds_topic_descriptor_t& type,
                                   const std::string& topic, const std::string& user_data);

// The Cyclone DDS configuration the bridge creates its domain with: the
// user's CYCLONEDDS_URI when set (it wins over `network_interface`), else the
// interface given (a name, or an IPv4 address), else Cyclone's defaults; with
// the config trace on (to a null file, unless the user's configuration traces
// already) so that the bridge learns which interface Cyclone took.
std::string domain_config(const std::string& network_interface, const std::string& user_uri);

// The interfaces named on Cyclone's "selected interfaces: lo (index 1 ...)"
// config line, or nothing when the text has no such line.
std::vector<std::string> selected_interfaces(const std::string& trace);

// Creates the DDS domain from a configuration and tells which network
// interfaces Cyclone selected (empty when its trace was off). A negative DDS
// return code on failure, with Cyclone's own error lines in `error`.
dds_entity_t create_domain(std::uint32_t domain_id, const std::string& config, std::vector<std::string>& interfaces,
                           std::string& error);

struct JointState {
    Stamp stamp;
    std::string frame_id;
    std::vector<std::string> name;
    std::vector<double> position;
    std::vector<double> velocity;
    std::vector<double> effort;
};

dds_return_t write_joint_state(dds_entity_t writer, const JointState& state);
JointState joint_state_of(const sensor_msgs_msg_dds__JointState_& message);

struct ImageMessage {
    Stamp stamp;
    std::string frame_id;
    Image image;
    std::string encoding = "mono16";
    std::uint8_t is_bigendian = 0;
};

dds_return_t write_image(dds_entity_t writer, const ImageMessage& message);
ImageMessage image_of(const sensor_msgs_msg_dds__Image_& message);

}  // namespace ros
}  // namespace bridge
