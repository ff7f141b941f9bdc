#include "ros_dds.h"

#include <arpa/inet.h>
#include <dds/ddsrt/log.h>

#include <mutex>

namespace bridge {
namespace ros {

namespace {

std::string xml_escaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

bool is_ipv4(const std::string& text) {
    in_addr address{};
    return inet_pton(AF_INET, text.c_str(), &address) == 1;
}

}  // namespace

std::string domain_config(const std::string& network_interface, const std::string& user_uri) {
    const std::string trace = "<Tracing><Category>config</Category><OutputFile>/dev/null</OutputFile></Tracing>";
    if (!user_uri.empty()) {
        return user_uri.find("<Tracing") != std::string::npos ? user_uri : user_uri + "," + trace;
    }
    if (network_interface.empty()) {
        return trace;
    }
    return std::string("<General><Interfaces><NetworkInterface ") + (is_ipv4(network_interface) ? "address" : "name") +
           "=\"" + xml_escaped(network_interface) + "\"/></Interfaces></General>" + trace;
}

std::vector<std::string> selected_interfaces(const std::string& trace) {
    static const std::string kSelected = "selected interfaces: ";
    std::vector<std::string> names;
    const auto at = trace.find(kSelected);
    if (at == std::string::npos) {
        return names;
    }
    const auto end = trace.find('\n', at);
    const std::string list = trace.substr(at + kSelected.size(), end == std::string::npos ? std::string::npos : end - at - kSelected.size());
    // "lo (index 1 priority 2), eth0 (index 4 priority 0)"
    std::size_t from = 0;
    while (from < list.size()) {
        const auto open = list.find(" (", from);
        names.push_back(list.substr(from, open == std::string::npos ? std::string::npos : open - from));
        const auto close = open == std::string::npos ? std::string::npos : list.find(')', open);
        if (close == std::string::npos) {
            break;
        }
        from = list.find_first_not_of(", ", close + 1);
    }
    return names;
}

namespace {

// Cyclone's lines while the domain starts: its config trace and its errors.
struct Capture {
    std::mutex mutex;
    std::string trace;
    std::string errors;
};

void capture_trace(void* ptr, const dds_log_data_t* data) {
    auto& capture = *static_cast<Capture*>(ptr);
    std::lock_guard<std::mutex> lock(capture.mutex);
    capture.trace.append(data->message, data->size);
    capture.trace += '\n';
}

void capture_log(void* ptr, const dds_log_data_t* data) {
    auto& capture = *static_cast<Capture*>(ptr);
    std::lock_guard<std::mutex> lock(capture.mutex);
    if (data->priority & (DDS_LC_ERROR | DDS_LC_FATAL)) {
        std::string line(data->message, data->size);
        while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) {
            line.pop_back();
        }
        capture.errors += (capture.errors.empty() ? "" : "; ") + line;
    }
}

}  // namespace

dds_entity_t create_domain(std::uint32_t domain_id, const std::string& config, std::vector<std::string>& interfaces,
                           std::string& error) {
    Capture capture;
    dds_set_trace_sink(capture_trace, &capture);
    dds_set_log_sink(capture_log, &capture);
    const dds_entity_t domain = dds_create_domain(domain_id, config.c_str());
    dds_set_trace_sink(nullptr, nullptr);
    dds_set_log_sink(nullptr, nullptr);
    std::lock_guard<std::mutex> lock(capture.mutex);
    interfaces = selected_interfaces(capture.trace);
    error = capture.errors;
    return domain;
}

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
