#include "ros_dds.h"

namespace bridge {
namespace ros {

dds_qos_t* endpoint_qos(Reliability reliability, const std::string& user_data, int depth) {
    dds_qos_t* qos = dds_create_qos();
    dds_qset_reliability(qos, reliability == Reliability::reliable ? DDS_RELIABILITY_RELIABLE
                                                                   : DDS_RELIABILITY_BEST_EFFORT,
                         DDS_MSECS(100));
    dds_qset_durability(qos, DDS_DURABILITY_VOLATILE);
    dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, depth);
    const dds_data_representation_id_t xcdr1 = DDS_DATA_REPRESENTATION_XCDR1;
    dds_qset_data_representation(qos, 1, &xcdr1);
    if (!user_data.empty()) {
        dds_qset_userdata(qos, user_data.data(), user_data.size());
    }
    return qos;
}

namespace {

dds_entity_t create_topic(dds_entity_t participant, const dds_topic_descriptor_t& type, const std::string& topic) {
    return dds_create_topic(participant, &type, topic.c_str(), nullptr, nullptr);
}

}  // namespace

dds_entity_t create_writer(dds_entity_t participant, const dds_topic_descriptor_t& type, const std::string& topic,
                           const std::string& user_data) {
    const dds_entity_t t = create_topic(participant, type, topic);
    if (t < 0) {
        return t;
    }
    dds_qos_t* qos = endpoint_qos(Reliability::reliable, user_data);
    const dds_entity_t writer = dds_create_writer(participant, t, qos, nullptr);
    dds_delete_qos(qos);
    return writer;
}

namespace {

dds_entity_t reader_with(dds_entity_t participant, const dds_topic_descriptor_t& type, const std::string& topic,
                         dds_qos_t* qos) {
    const dds_entity_t t = create_topic(participant, type, topic);
    const dds_entity_t reader = t < 0 ? t : dds_create_reader(participant, t, qos, nullptr);
    dds_delete_qos(qos);
    return reader;
}

}  // namespace

dds_entity_t create_reader(dds_entity_t participant, const dds_topic_descriptor_t& type, const std::string& topic,
                           Reliability reliability, const std::string& user_data) {
    return reader_with(participant, type, topic, endpoint_qos(reliability, user_data));
}

dds_entity_t create_command_reader(dds_entity_t participant, const dds_topic_descriptor_t& type,
                                   const std::string& topic, const std::string& user_data) {
    return reader_with(participant, type, topic, endpoint_qos(Reliability::reliable, user_data, 1));
}

namespace {

// The generated sequences borrow the caller's buffers (_release false): the
// message only lives for one dds_write, which serializes it.
template <class Sequence, class T>
Sequence borrow(const std::vector<T>& values) {
    Sequence sequence{};
    sequence._maximum = static_cast<uint32_t>(values.size());
    sequence._length = sequence._maximum;
    sequence._buffer = const_cast<T*>(values.data());
    sequence._release = false;
    return sequence;
}

template <class T, class Sequence>
std::vector<T> copy_of(const Sequence& sequence) {
    if (sequence._buffer == nullptr) {
        return {};
    }
    return std::vector<T>(sequence._buffer, sequence._buffer + sequence._length);
}

std_msgs_msg_dds__Header_ header(const Stamp& stamp, const std::string& frame_id) {
    std_msgs_msg_dds__Header_ h{};
    h.stamp.sec = stamp.sec;
    h.stamp.nanosec = stamp.nanosec;
    h.frame_id = const_cast<char*>(frame_id.c_str());
    return h;
}

Stamp stamp_of_header(const std_msgs_msg_dds__Header_& h) {
    return Stamp{h.stamp.sec, h.stamp.nanosec};
}

std::string text(const char* s) { return s == nullptr ? std::string() : std::string(s); }

}  // namespace

dds_return_t write_joint_state(dds_entity_t writer, const JointState& state) {
    std::vector<char*> names;
    names.reserve(state.name.size());
    for (const std::string& n : state.name) {
        names.push_back(const_cast<char*>(n.c_str()));
    }
    sensor_msgs_msg_dds__JointState_ message{};
    message.header = header(state.stamp, state.frame_id);
    message.name = borrow<dds_sequence_string>(names);
    message.position = borrow<dds_sequence_double>(state.position);
    message.velocity = borrow<dds_sequence_double>(state.velocity);
    message.effort = borrow<dds_sequence_double>(state.effort);
    return dds_write(writer, &message);
}

JointState joint_state_of(const sensor_msgs_msg_dds__JointState_& message) {
    JointState state;
    state.stamp = stamp_of_header(message.header);
    state.frame_id = text(message.header.frame_id);
    for (char* n : copy_of<char*>(message.name)) {
        state.name.push_back(text(n));
    }
    state.position = copy_of<double>(message.position);
    state.velocity = copy_of<double>(message.velocity);
    state.effort = copy_of<double>(message.effort);
    return state;
}

dds_return_t write_image(dds_entity_t writer, const ImageMessage& m) {
    sensor_msgs_msg_dds__Image_ message{};
    message.header = header(m.stamp, m.frame_id);
    message.height = m.image.height;
    message.width = m.image.width;
    message.encoding = const_cast<char*>(m.encoding.c_str());
    message.is_bigendian = m.is_bigendian;
    message.step = m.image.step;
    message.data = borrow<dds_sequence_uint8>(m.image.data);
    return dds_write(writer, &message);
}

ImageMessage image_of(const sensor_msgs_msg_dds__Image_& message) {
    ImageMessage m;
    m.stamp = stamp_of_header(message.header);
    m.frame_id = text(message.header.frame_id);
    m.image.height = message.height;
    m.image.width = message.width;
    m.image.step = message.step;
    m.image.data = copy_of<std::uint8_t>(message.data);
    m.encoding = text(message.encoding);
    m.is_bigendian = message.is_bigendian;
    return m;
}

}  // namespace ros
}  // namespace bridge
