// dexhand-ros-reader: reads a few joint_states (or tactile) samples the way a
// ROS 2 subscriber does, and prints what came over the wire: the topic and
// type names of the writer as discovery announced them, the first bytes of
// each raw sample and the decoded message.
#include <CLI/CLI.hpp>

#include <cstdlib>
#include <iostream>
#include <sstream>

#include "ros_probe.h"

namespace {

template <class T>
std::string list(const std::vector<T>& values) {
    std::ostringstream out;
    out << "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        out << (i ? ", " : "") << values[i];
    }
    out << "]";
    return out.str();
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Reads samples of a bridge topic as a ROS 2 subscriber would (XCDR1, no type\n"
                 "information) and prints them. The DDS domain is ROS_DOMAIN_ID (default 0).",
                 "dexhand-ros-reader"};
    app.footer("Example:\n  dexhand-ros-reader /dexhand/hand_39/joint_states --count 3");
    std::string topic;
    int count = 3;
    double timeout = 10.0;
    app.add_option("topic", topic, "ROS topic name, e.g. /dexhand/hand_39/joint_states (or .../tactile)")->required();
    app.add_option("-c,--count", count, "samples to read")->check(CLI::Range(1, 1000))->capture_default_str();
    app.add_option("-t,--timeout", timeout, "seconds to wait for each sample")->check(CLI::Range(0.1, 600.0))->capture_default_str();
    CLI11_PARSE(app, argc, argv);

    const char* domain_text = std::getenv("ROS_DOMAIN_ID");
    const std::uint32_t domain = domain_text && *domain_text ? static_cast<std::uint32_t>(std::atoi(domain_text)) : 0;
    bridge::ros::Probe probe(domain);
    if (!probe.ok()) {
        std::cerr << "dexhand-ros-reader: cannot join DDS domain " << domain << std::endl;
        return 1;
    }
    const bool tactile = topic.size() >= 8 && topic.compare(topic.size() - 8, 8, "/tactile") == 0;
    const std::string dds_topic = "rt" + topic;
    const dds_entity_t reader = probe.reader(
        tactile ? sensor_msgs_msg_dds__Image__desc : sensor_msgs_msg_dds__JointState__desc, dds_topic);
    const auto wait = std::chrono::milliseconds(static_cast<long>(timeout * 1000));
    if (reader < 0 || !bridge::ros::Probe::wait_matched(reader, wait)) {
        std::cerr << "dexhand-ros-reader: no writer on " << dds_topic << std::endl;
        return 1;
    }
    for (const auto& writer : bridge::ros::Probe::matched_writers(reader)) {
        std::cout << "writer: topic " << writer.topic_name << ", type " << writer.type_name << ", user data \""
                  << writer.user_data << "\"" << std::endl;
    }
    for (int i = 1; i <= count; ++i) {
        std::vector<std::uint8_t> bytes;
        std::ostringstream text;
        if (tactile) {
            auto sample = bridge::ros::Probe::take_image(reader, wait);
            if (!sample) {
                std::cerr << "dexhand-ros-reader: no sample on " << dds_topic << std::endl;
                return 1;
            }
            bytes = sample->bytes;
            const auto& m = sample->message;
            text << "  stamp " << m.stamp.sec << "." << m.stamp.nanosec << ", frame \"" << m.frame_id << "\", "
                 << m.image.width << "x" << m.image.height << " " << m.encoding << ", step " << m.image.step
                 << ", " << m.image.data.size() << " data bytes";
        } else {
            auto sample = bridge::ros::Probe::take_joint_state(reader, wait);
            if (!sample) {
                std::cerr << "dexhand-ros-reader: no sample on " << dds_topic << std::endl;
                return 1;
            }
            bytes = sample->bytes;
            const auto& m = sample->message;
            text << "  stamp " << m.stamp.sec << "." << m.stamp.nanosec << ", frame \"" << m.frame_id << "\"\n"
                 << "  name " << list(m.name) << "\n  position " << list(m.position) << "\n  velocity "
                 << list(m.velocity) << "\n  effort " << list(m.effort);
        }
        std::cout << "sample " << i << ": " << bytes.size() << " bytes: " << bridge::ros::hex_bytes(bytes, 16)
                  << " ..." << std::endl
                  << text.str() << std::endl;
    }
    return 0;
}
