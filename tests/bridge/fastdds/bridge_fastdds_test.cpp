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

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>

#include "support/eventually.h"
#include "inspire_hand.h"
#include "qmhv1_hand.h"
#include "qmhv2_hand.h"
#include "ros2_msgsPubSubTypes.h"
#include "simulator.h"
#include "tessaro_dexhand/kinds.h"

using namespace std::chrono_literals;
namespace fdds = eprosima::fastdds::dds;

namespace {

constexpr int kDomain = 9;
// The bridge on loopback with the unicast peer 127.0.0.1: the Cyclone DDS
// settings a ROS 2 user on the same machine with ROS_LOCALHOST_ONLY=1 gives it.
const char* const kBridgeCyclone =
    "<General><Interfaces><NetworkInterface name=\"lo\"/></Interfaces><AllowMulticast>false</AllowMulticast>"
    "</General><Discovery><ParticipantIndex>auto</ParticipantIndex><MaxAutoParticipantIndex>20</MaxAutoParticipantIndex>"
    "<Peers><Peer Address=\"127.0.0.1\"/></Peers></Discovery>";

const std::string kQmhv2Ip = "192.168.137.39";
const std::string kQmhv1Ip = "192.168.137.10";
const std::string kInspireIp = "192.168.137.19";

using dexhand_test::eventually;

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
    fdds::DataReader* reader(const std::string& topic, const std::string& type_name = "") {
        fdds::Topic* t = this->topic<PubSubType>(topic, type_name);
        fdds::DataReaderQos qos = fdds::DATAREADER_QOS_DEFAULT;
        qos.reliability().kind = fdds::RELIABLE_RELIABILITY_QOS;
        qos.durability().kind = fdds::VOLATILE_DURABILITY_QOS;
        qos.history().kind = fdds::KEEP_LAST_HISTORY_QOS;
        qos.history().depth = 10;
        return t == nullptr ? nullptr : subscriber_->create_datareader(t, qos);
    }
    template <class PubSubType>
    fdds::DataWriter* writer(const std::string& topic) {
        fdds::Topic* t = this->topic<PubSubType>(topic, "");
        fdds::DataWriterQos qos = fdds::DATAWRITER_QOS_DEFAULT;
        qos.reliability().kind = fdds::RELIABLE_RELIABILITY_QOS;
        qos.durability().kind = fdds::VOLATILE_DURABILITY_QOS;
        qos.history().kind = fdds::KEEP_LAST_HISTORY_QOS;
        qos.history().depth = 10;
        return t == nullptr ? nullptr : publisher_->create_datawriter(t, qos);
    }
    void remove(fdds::DataWriter* writer) { publisher_->delete_datawriter(writer); }

private:
    template <class PubSubType>
    fdds::Topic* topic(const std::string& name, const std::string& type_name) {
        const auto known = topics_.find(name);
        if (known != topics_.end()) {
            return known->second;
        }
        fdds::TypeSupport type(new PubSubType());
        if (!type_name.empty()) {
            type->setName(type_name.c_str());
        }
        if (type.register_type(participant_) != eprosima::fastrtps::types::ReturnCode_t::RETCODE_OK) {
            return nullptr;
        }
        fdds::Topic* t = participant_->create_topic(name, type.get_type_name(), fdds::TOPIC_QOS_DEFAULT);
        topics_[name] = t;
        return t;
    }

    fdds::DomainParticipant* participant_ = nullptr;
    fdds::Publisher* publisher_ = nullptr;
    fdds::Subscriber* subscriber_ = nullptr;
    std::map<std::string, fdds::Topic*> topics_;
};

bool matched(fdds::DataReader* reader, std::chrono::milliseconds timeout) {
    return eventually(
        [&] {
            fdds::SubscriptionMatchedStatus status;
            return reader->get_subscription_matched_status(status) == eprosima::fastrtps::types::ReturnCode_t::RETCODE_OK &&
                   status.current_count > 0;
        },
        timeout);
}

bool matched(fdds::DataWriter* writer, std::chrono::milliseconds timeout) {
    return eventually(
        [&] {
            fdds::PublicationMatchedStatus status;
            return writer->get_publication_matched_status(status) == eprosima::fastrtps::types::ReturnCode_t::RETCODE_OK &&
                   status.current_count > 0;
        },
        timeout);
}

template <class Message>
std::optional<Message> take(fdds::DataReader* reader, std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!reader->wait_for_unread_message(eprosima::fastrtps::Duration_t(1, 0))) {
            continue;
        }
        Message message;
        fdds::SampleInfo info;
        if (reader->take_next_sample(&message, &info) == eprosima::fastrtps::types::ReturnCode_t::RETCODE_OK &&
            info.valid_data) {
            return message;
        }
    }
    return std::nullopt;
}

sensor_msgs::msg::JointState command(const std::vector<double>& positions) {
    sensor_msgs::msg::JointState message;
    message.position(positions);
    return message;
}

}  // namespace

class FastDds : public testing::Test {
protected:
    static void SetUpTestSuite() {
        simulator_ = new sim::Simulator;
        const auto identity = [](const char* name, const char* type, const std::string& ip, int delay_ms) {
            sim::DiscoveryAnswer answer;
            answer.text = sim::JsonObject().str("name", name).str("type", type).str("IP", ip).text();
            answer.delay_ms = delay_ms;
            return answer;
        };
        qmhv2_ = simulator_->add<sim::Qmhv2Hand>(kQmhv2Ip);
        qmhv2_->set_discovery(identity("qmhv2", "QMH-12L", kQmhv2Ip, 0));
        qmhv2_->set_speed(0);
        simulator_->add<sim::Qmhv1Hand>(kQmhv1Ip)->set_discovery(identity("qmhv1", "QMH-6L", kQmhv1Ip, 60));
        simulator_->add<sim::InspireHand>(kInspireIp)->set_discovery(identity("QSH", "QSH-6", kInspireIp, 120));

        char path[] = "/tmp/dexhand-bridge-fastdds-XXXXXX";
        const int fd = mkstemp(path);
        output_path_ = path;
        child_ = fork();
        if (child_ == 0) {
            dup2(fd, STDERR_FILENO);
            dup2(fd, STDOUT_FILENO);
            setenv("CYCLONEDDS_URI", kBridgeCyclone, 1);
            setenv("ROS_DOMAIN_ID", std::to_string(kDomain).c_str(), 1);
            execl(DEXHAND_BRIDGE_PATH, DEXHAND_BRIDGE_PATH, "-v", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fd);
        peer_ = new Peer;
    }
    static void TearDownTestSuite() {
        delete peer_;
        if (child_ > 0) {
            kill(child_, SIGINT);
            waitpid(child_, nullptr, 0);
        }
        delete simulator_;
        unlink(output_path_.c_str());
    }
    static std::string bridge_output() {
        std::ifstream in(output_path_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    static sim::Simulator* simulator_;
    static std::shared_ptr<sim::Qmhv2Hand> qmhv2_;
    static Peer* peer_;
    static pid_t child_;
    static std::string output_path_;
};

sim::Simulator* FastDds::simulator_ = nullptr;
std::shared_ptr<sim::Qmhv2Hand> FastDds::qmhv2_;
Peer* FastDds::peer_ = nullptr;
pid_t FastDds::child_ = -1;
std::string FastDds::output_path_;

TEST_F(FastDds, JointStatesOfEveryKindDecode) {
    ASSERT_TRUE(peer_->ok());
    const std::pair<const char*, const char*> hands[] = {
        {"qmhv2", "rt/dexhand/hand_39/joint_states"},
        {"qmhv1", "rt/dexhand/hand_10/joint_states"},
        {"QSH", "rt/dexhand/hand_19/joint_states"},
    };
    for (const auto& hand : hands) {
        SCOPED_TRACE(hand.first);
        const auto* kind = tessaro_dexhand::find_kind(hand.first);
        auto* reader = peer_->reader<sensor_msgs::msg::JointStatePubSubType>(hand.second);
        ASSERT_NE(reader, nullptr);
        ASSERT_TRUE(matched(reader, 15s)) << bridge_output();
        const auto state = take<sensor_msgs::msg::JointState>(reader, 5s);
        ASSERT_TRUE(state.has_value());
        EXPECT_EQ(state->name(), kind->joint_names);
        EXPECT_EQ(state->position().size(), kind->joints);
        EXPECT_EQ(state->velocity().size(), kind->serves(tessaro_dexhand::Operation::read_velocities) ? kind->joints : 0u);
        EXPECT_EQ(state->effort().size(), kind->serves(tessaro_dexhand::Operation::read_currents) ? kind->joints : 0u);
        EXPECT_EQ(state->header().frame_id(), std::string(hand.second).substr(3, std::string(hand.second).size() - 16));
        const auto now = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
        EXPECT_NEAR(static_cast<double>(state->header().stamp().sec()), static_cast<double>(now), 5.0);
    }
}

TEST_F(FastDds, TactileImageDecodes) {
    auto* reader = peer_->reader<sensor_msgs::msg::ImagePubSubType>("rt/dexhand/hand_39/tactile");
    ASSERT_NE(reader, nullptr);
    ASSERT_TRUE(matched(reader, 15s));
    const auto image = take<sensor_msgs::msg::Image>(reader, 5s);
    ASSERT_TRUE(image.has_value());
    EXPECT_EQ(image->encoding(), "mono16");
    EXPECT_EQ(image->is_bigendian(), 0);
    EXPECT_EQ(image->width(), 96u);
    EXPECT_GT(image->height(), 0u);
    EXPECT_EQ(image->step(), 2 * image->width());
    EXPECT_EQ(image->data().size(), std::size_t{image->step()} * image->height());
}

TEST_F(FastDds, CommandIsApplied) {
    auto* writer = peer_->writer<sensor_msgs::msg::JointStatePubSubType>("rt/dexhand/hand_39/joint_commands");
    ASSERT_NE(writer, nullptr);
    ASSERT_TRUE(matched(writer, 15s));
    std::this_thread::sleep_for(200ms);  // both sides know each other: not the first-command case
    const std::vector<double> positions = {12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1};
    auto message = command(positions);
    ASSERT_TRUE(writer->write(&message));
    EXPECT_TRUE(eventually([&] { return qmhv2_->targets() == positions; }, 3s)) << bridge_output();
    peer_->remove(writer);
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
