// dexhand-bridge seen from Fast DDS, the DDS of ROS 2's default middleware,
// with message types generated from ROS 2's own definitions (ros2_msgs.idl),
// not from the bridge's IDL. The peer is set up as rmw_fastrtps_cpp sets up
// a node's participant with ROS_LOCALHOST_ONLY=1 (UDP on 127.0.0.1 only), and
// its endpoints carry ROS 2's default QoS (reliable, volatile, keep-last 10).
#include <gtest/gtest.h>

#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/publisher/Publisher.hpp>
#include <fastdds/dds/subscriber/DataReader.hpp>
#include <fastdds/dds/subscriber/SampleInfo.hpp>
#include <fastdds/dds/subscriber/Subscriber.hpp>
#include <fastdds/dds/topic/TypeSupport.hpp>
#include <fastdds/rtps/transport/UDPv4TransportDescriptor.h>

#include <memory>
#include <optional>
#include <thread>

#include "bridge/bridge_process.h"
#include "inspire_hand.h"
#include "qmhv1_hand.h"
#include "qmhv2_hand.h"
#include "ros2_msgsPubSubTypes.h"
#include "tessaro_dexhand/kinds.h"

using namespace bridge_test;
using dexhand_test::eventually;
namespace fdds = eprosima::fastdds::dds;

namespace {

constexpr int kDomain = 9;
constexpr auto kOk = eprosima::fastrtps::types::ReturnCode_t::RETCODE_OK;

std::vector<std::uint32_t> matrix_elements() {
    std::vector<std::uint32_t> elements;
    for (std::uint32_t i = 0; i < 64; ++i) {
        elements.push_back((i * 0x030507u + 0x01000000u * (i % 3)) & 0xFFFFFFu);
    }
    return elements;
}

// ROS 2's default QoS for a reader or writer: reliable, volatile, keep-last 10.
template <class Qos>
Qos ros2_default(Qos qos) {
    qos.reliability().kind = fdds::RELIABLE_RELIABILITY_QOS;
    qos.durability().kind = fdds::VOLATILE_DURABILITY_QOS;
    qos.history().kind = fdds::KEEP_LAST_HISTORY_QOS;
    qos.history().depth = 10;
    return qos;
}

// One Fast DDS participant with the ROS 2 types registered.
class Peer {
public:
    Peer() {
        fdds::DomainParticipantQos qos = fdds::PARTICIPANT_QOS_DEFAULT;
        auto udp = std::make_shared<eprosima::fastdds::rtps::UDPv4TransportDescriptor>();
        udp->interfaceWhiteList.emplace_back("127.0.0.1");
        qos.transport().use_builtin_transports = false;
        qos.transport().user_transports.push_back(udp);
        participant_ = fdds::DomainParticipantFactory::get_instance()->create_participant(kDomain, qos);
        if (participant_ == nullptr) {
            return;
        }
        publisher_ = participant_->create_publisher(fdds::PUBLISHER_QOS_DEFAULT);
        subscriber_ = participant_->create_subscriber(fdds::SUBSCRIBER_QOS_DEFAULT);
    }
    ~Peer() {
        if (participant_ != nullptr) {
            participant_->delete_contained_entities();
            fdds::DomainParticipantFactory::get_instance()->delete_participant(participant_);
        }
    }
    bool ok() const { return participant_ != nullptr && publisher_ != nullptr && subscriber_ != nullptr; }

    // type_name: registers the type under another name (a reader that must not match).
    template <class PubSubType>
    fdds::DataReader* reader(const std::string& topic, const char* type_name = nullptr) {
        fdds::Topic* t = this->topic<PubSubType>(topic, type_name);
        return t == nullptr ? nullptr : subscriber_->create_datareader(t, ros2_default(fdds::DATAREADER_QOS_DEFAULT));
    }
    template <class PubSubType>
    fdds::DataWriter* writer(const std::string& topic) {
        fdds::Topic* t = this->topic<PubSubType>(topic, nullptr);
        return t == nullptr ? nullptr : publisher_->create_datawriter(t, ros2_default(fdds::DATAWRITER_QOS_DEFAULT));
    }

private:
    template <class PubSubType>
    fdds::Topic* topic(const std::string& name, const char* type_name) {
        fdds::TypeSupport type(new PubSubType());
        if (type_name != nullptr) {
            type->setName(type_name);
        }
        if (type.register_type(participant_) != kOk) {
            return nullptr;
        }
        return participant_->create_topic(name, type.get_type_name(), fdds::TOPIC_QOS_DEFAULT);
    }

    fdds::DomainParticipant* participant_ = nullptr;
    fdds::Publisher* publisher_ = nullptr;
    fdds::Subscriber* subscriber_ = nullptr;
};

bool matched(fdds::DataReader* reader, std::chrono::milliseconds timeout) {
    fdds::SubscriptionMatchedStatus status;
    return eventually([&] { return reader->get_subscription_matched_status(status) == kOk && status.current_count > 0; },
                      timeout);
}

bool matched(fdds::DataWriter* writer, std::chrono::milliseconds timeout) {
    fdds::PublicationMatchedStatus status;
    return eventually([&] { return writer->get_publication_matched_status(status) == kOk && status.current_count > 0; },
                      timeout);
}

template <class Message>
std::optional<Message> take(fdds::DataReader* reader, std::chrono::seconds timeout) {
    Message message;
    fdds::SampleInfo info;
    if (!eventually([&] { return reader->take_next_sample(&message, &info) == kOk && info.valid_data; }, timeout)) {
        return std::nullopt;
    }
    return message;
}

}  // namespace

class FastDds : public testing::Test {
protected:
    static void SetUpTestSuite() {
        simulator_ = std::make_unique<sim::Simulator>();
        qmhv2_ = add_hand<sim::Qmhv2Hand>(*simulator_, kQmhv2Ip, "qmhv2", "QMH-12L");
        qmhv2_->set_speed(0);
        qmhv2_->set_matrix(matrix_elements());
        add_hand<sim::Qmhv1Hand>(*simulator_, kQmhv1Ip, "qmhv1", "QMH-6L", 60);
        add_hand<sim::InspireHand>(*simulator_, kInspireIp, "QSH", "QSH-6", 120);
        // The Cyclone DDS settings a ROS 2 user on this machine with ROS_LOCALHOST_ONLY=1 gives the bridge.
        setenv("CYCLONEDDS_URI", kCycloneConfig, 1);
        setenv("ROS_DOMAIN_ID", std::to_string(kDomain).c_str(), 1);
        bridge_ = std::make_unique<BridgeProcess>(std::vector<std::string>{"-v"});
        peer_ = std::make_unique<Peer>();
    }
    static void TearDownTestSuite() {
        peer_.reset();
        bridge_.reset();
        simulator_.reset();
    }

    static inline std::unique_ptr<sim::Simulator> simulator_;
    static inline std::shared_ptr<sim::Qmhv2Hand> qmhv2_;
    static inline std::unique_ptr<BridgeProcess> bridge_;
    static inline std::unique_ptr<Peer> peer_;
};

// Exact values are bridge_test's; here ROS 2's own types decode every field.
TEST_F(FastDds, JointStatesOfEveryKindDecode) {
    ASSERT_TRUE(peer_->ok());
    const std::pair<const char*, std::string> hands[] = {
        {"qmhv2", "dexhand/hand_39"}, {"qmhv1", "dexhand/hand_10"}, {"QSH", "dexhand/hand_19"}};
    const auto now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    for (const auto& [kind_name, ros_namespace] : hands) {
        SCOPED_TRACE(kind_name);
        const auto* kind = tessaro_dexhand::find_kind(kind_name);
        auto* reader = peer_->reader<sensor_msgs::msg::JointStatePubSubType>("rt/" + ros_namespace + "/joint_states");
        ASSERT_NE(reader, nullptr);
        ASSERT_TRUE(matched(reader, 15s)) << bridge_->output();
        const auto state = take<sensor_msgs::msg::JointState>(reader, 5s);
        ASSERT_TRUE(state.has_value());
        EXPECT_EQ(state->header().frame_id(), ros_namespace);
        EXPECT_NEAR(static_cast<double>(state->header().stamp().sec()), static_cast<double>(now), 5.0);
        EXPECT_EQ(state->name(), kind->joint_names);
        EXPECT_EQ(state->position().size(), kind->joints);
        EXPECT_EQ(state->velocity().size(), kind->serves(tessaro_dexhand::Operation::read_velocities) ? kind->joints : 0u);
        EXPECT_EQ(state->effort().size(), kind->serves(tessaro_dexhand::Operation::read_currents) ? kind->joints : 0u);
    }
}

// Each element of the matrix carries three cells, most significant byte first.
TEST_F(FastDds, TactileImageDecodes) {
    auto* reader = peer_->reader<sensor_msgs::msg::ImagePubSubType>("rt/dexhand/hand_39/tactile");
    ASSERT_NE(reader, nullptr);
    ASSERT_TRUE(matched(reader, 15s));
    const auto image = take<sensor_msgs::msg::Image>(reader, 5s);
    ASSERT_TRUE(image.has_value());
    EXPECT_EQ(image->encoding(), "mono16");
    EXPECT_EQ(image->is_bigendian(), 0);
    EXPECT_EQ(image->height(), 2u);
    EXPECT_EQ(image->width(), 96u);
    EXPECT_EQ(image->step(), 192u);
    std::vector<std::uint8_t> expected;
    for (std::uint32_t element : matrix_elements()) {
        for (int shift : {16, 8, 0}) {
            expected.push_back(static_cast<std::uint8_t>(element >> shift));
            expected.push_back(0);
        }
    }
    EXPECT_EQ(image->data(), expected);
}

TEST_F(FastDds, CommandIsApplied) {
    auto* writer = peer_->writer<sensor_msgs::msg::JointStatePubSubType>("rt/dexhand/hand_39/joint_commands");
    ASSERT_NE(writer, nullptr);
    ASSERT_TRUE(matched(writer, 15s));
    std::this_thread::sleep_for(200ms);  // both sides know each other: not the first-command case
    const std::vector<double> positions = {12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1};
    sensor_msgs::msg::JointState message;
    message.position(positions);
    ASSERT_TRUE(writer->write(&message));
    EXPECT_TRUE(eventually([&] { return qmhv2_->targets() == positions; }, 3s)) << bridge_->output();
}

TEST_F(FastDds, WrongTypeNameNeverMatches) {
    Peer stranger;
    auto* wrong = stranger.reader<sensor_msgs::msg::JointStatePubSubType>("rt/dexhand/hand_39/joint_states",
                                                                          "sensor_msgs::msg::dds_::JointStates_");
    auto* right = stranger.reader<sensor_msgs::msg::JointStatePubSubType>("rt/dexhand/hand_10/joint_states");
    ASSERT_NE(wrong, nullptr);
    ASSERT_NE(right, nullptr);
    ASSERT_TRUE(matched(right, 15s));  // discovery works for this participant
    EXPECT_FALSE(matched(wrong, 2s));
}
