#include "ros_probe.h"

#include <dds/ddsi/ddsi_serdata.h>

#include <cstdio>
#include <thread>

namespace bridge {
namespace ros {

Probe::Probe(std::uint32_t domain_id) : participant_(dds_create_participant(domain_id, nullptr, nullptr)) {}

dds_entity_t Probe::reader(const dds_topic_descriptor_t& type, const std::string& topic, Reliability reliability) {
    return create_reader(participant_.get(), type, topic, reliability, "");
}

dds_entity_t Probe::writer(const dds_topic_descriptor_t& type, const std::string& topic) {
    return create_writer(participant_.get(), type, topic, "");
}

namespace {

using Clock = std::chrono::steady_clock;

int matched_count(dds_entity_t endpoint) {
    dds_publication_matched_status_t as_writer;
    if (dds_get_publication_matched_status(endpoint, &as_writer) == DDS_RETCODE_OK) {
        return static_cast<int>(as_writer.current_count);
    }
    dds_subscription_matched_status_t as_reader;
    if (dds_get_subscription_matched_status(endpoint, &as_reader) == DDS_RETCODE_OK) {
        return static_cast<int>(as_reader.current_count);
    }
    return 0;
}

// Takes one sample in serialized form and decodes it into Message.
template <class Message, class CMessage, class Convert>
std::optional<Received<Message>> take(dds_entity_t reader, const dds_topic_descriptor_t& type,
                                      std::chrono::milliseconds timeout, Convert convert) {
    const auto deadline = Clock::now() + timeout;
    while (true) {
        struct ddsi_serdata* data = nullptr;
        dds_sample_info_t info;
        const dds_return_t n = dds_takecdr(reader, &data, 1, &info, DDS_ANY_STATE);
        if (n == 1) {
            std::optional<Received<Message>> received;
            if (info.valid_data) {
                received.emplace();
                received->bytes.resize(ddsi_serdata_size(data));
                ddsi_serdata_to_ser(data, 0, received->bytes.size(), received->bytes.data());
                CMessage message{};
                if (ddsi_serdata_to_sample(data, &message, nullptr, nullptr)) {
                    received->message = convert(message);
                    dds_sample_free(&message, &type, DDS_FREE_CONTENTS);
                } else {
                    received.reset();
                }
            }
            ddsi_serdata_unref(data);
            if (received) {
                return received;
            }
            continue;
        }
        if (n < 0 || Clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

bool Probe::wait_matched(dds_entity_t endpoint, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (matched_count(endpoint) < 1) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::vector<MatchedWriter> Probe::matched_writers(dds_entity_t reader) {
    std::vector<MatchedWriter> writers;
    dds_instance_handle_t handles[16];
    const dds_return_t n = dds_get_matched_publications(reader, handles, 16);
    for (dds_return_t i = 0; i < n && i < 16; ++i) {
        dds_builtintopic_endpoint_t* endpoint = dds_get_matched_publication_data(reader, handles[i]);
        if (endpoint == nullptr) {
            continue;
        }
        MatchedWriter writer;
        writer.topic_name = endpoint->topic_name;
        writer.type_name = endpoint->type_name;
        void* user_data = nullptr;
        size_t size = 0;
        if (dds_qget_userdata(endpoint->qos, &user_data, &size) && user_data != nullptr) {
            writer.user_data.assign(static_cast<const char*>(user_data), size);
            dds_free(user_data);
        }
        dds_builtintopic_free_endpoint(endpoint);
        writers.push_back(writer);
    }
    return writers;
}

std::optional<Received<JointState>> Probe::take_joint_state(dds_entity_t reader, std::chrono::milliseconds timeout) {
    return take<JointState, sensor_msgs_msg_dds__JointState_>(reader, sensor_msgs_msg_dds__JointState__desc, timeout,
                                                               joint_state_of);
}

std::optional<Received<ImageMessage>> Probe::take_image(dds_entity_t reader, std::chrono::milliseconds timeout) {
    return take<ImageMessage, sensor_msgs_msg_dds__Image_>(reader, sensor_msgs_msg_dds__Image__desc, timeout,
                                                           image_of);
}

std::string hex_bytes(const std::vector<std::uint8_t>& bytes, std::size_t count) {
    std::string text;
    char byte[4];
    for (std::size_t i = 0; i < bytes.size() && i < count; ++i) {
        std::snprintf(byte, sizeof byte, "%02x", bytes[i]);
        text += (i == 0 ? "" : " ");
        text += byte;
    }
    return text;
}

}  // namespace ros
}  // namespace bridge
