// dexhand-bridge end to end: the program runs as a child process against
// simulated hands, and a peer that behaves like the ROS 2 middleware (no type
// information, XCDR1 only, exact type and topic names) reads and commands
// the hands through DDS on loopback.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <thread>

#include "bridge.h"
#include "bridge/bridge_process.h"
#include "inspire_hand.h"
#include "qmhv1_hand.h"
#include "qmhv2_hand.h"
#include "ros_probe.h"

using namespace bridge_test;
using bridge::ros::Probe;
using dexhand_test::eventually;

namespace {

const std::string kJointStates39 = "rt/dexhand/hand_39/joint_states";
const std::string kCommands39 = "rt/dexhand/hand_39/joint_commands";

std::vector<double> qmhv2_angles() {
    return {1.5, -2.25, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12.125};
}

std::size_t count_of(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

sensor_msgs_msg_dds__JointState_ command_of(std::vector<double>& positions) {
    sensor_msgs_msg_dds__JointState_ message{};
    message.header.frame_id = const_cast<char*>("");
    message.position._length = message.position._maximum = static_cast<uint32_t>(positions.size());
    message.position._buffer = positions.data();
    return message;
}

}  // namespace

// One bridge for the suite, serving three hands; the first-generation hand
// is named in a names file, the others keep their default names.
class Bridge : public testing::Test {
protected:
    static void SetUpTestSuite() {
        setenv("CYCLONEDDS_URI", kCycloneConfig, 1);
        setenv("ROS_DOMAIN_ID", "7", 1);
        simulator_ = std::make_unique<sim::Simulator>();
        qmhv2_ = add_hand<sim::Qmhv2Hand>(*simulator_, kQmhv2Ip, "qmhv2", "QMH-12L");
        qmhv2_->set_speed(0);
        qmhv2_->set_angles(qmhv2_angles());
        qmhv1_ = add_hand<sim::Qmhv1Hand>(*simulator_, kQmhv1Ip, "qmhv1", "QMH-6L", 60);
        qmhv1_->set_pos_limits({0, 2000, 0, 2000, 0, 2000, 0, 2000, 0, 2000, 0, 2000});
        qmhv1_->set_raw_positions({500, 0, 2000, 1000, 1500, 250});
        qmhv1_->set_currents({0.5f, 1, 1.5f, 2, 2.5f, 3});
        add_hand<sim::InspireHand>(*simulator_, kInspireIp, "QSH", "QSH-6", 120)
            ->set_positions({100, 200, 300, 400, 500, 600});
        std::ofstream(names_path_) << "# test hands\n" << kQmhv1Ip << " /robot/first_gen\n";
        bridge_ = std::make_unique<BridgeProcess>(
            std::vector<std::string>{"--rate", "50", "-v", "--names", names_path_});
        probe_ = std::make_unique<Probe>(7);
    }
    static void TearDownTestSuite() {
        bridge_.reset();
        probe_.reset();
        simulator_.reset();
        unlink(names_path_.c_str());
    }

    static inline const std::string names_path_ = "/tmp/dexhand-bridge-names-" + std::to_string(getpid());
    static inline std::unique_ptr<sim::Simulator> simulator_;
    static inline std::shared_ptr<sim::Qmhv2Hand> qmhv2_;
    static inline std::shared_ptr<sim::Qmhv1Hand> qmhv1_;
    static inline std::unique_ptr<BridgeProcess> bridge_;
    static inline std::unique_ptr<Probe> probe_;
};

// Every kind as a ROS 2 reader sees it: the exact type name and type hash,
// XCDR1 little-endian, the kind's values; the Fast DDS test decodes the rest.
TEST_F(Bridge, EachKindPublishesJointStatesAsRos2Does) {
    // No type information goes out with our types, as with ROS 2.
    EXPECT_EQ(sensor_msgs_msg_dds__JointState__desc.m_flagset & DDS_TOPIC_XTYPES_METADATA, 0u);
    struct Row {
        std::string address;
        std::string kind;
        std::string ros_namespace;
        std::vector<double> position;
        std::vector<double> effort;  // empty: not checked
    };
    const Row rows[] = {
        {kQmhv1Ip, "qmhv1", "/robot/first_gen", {0.75, 1.0, 0.0, 0.5, 0.25, 0.875}, {0.5, 1, 1.5, 2, 2.5, 3}},
        {kInspireIp, "QSH", "/dexhand/hand_19", {0.4f, 0.3f, 0.2f, 0.1f, 0.5f, 0.6f}, {}},  // the library's floats
        {kQmhv2Ip, "qmhv2", "/dexhand/hand_39", qmhv2_angles(), {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.kind);
        const dds_entity_t reader =
            probe_->reader(sensor_msgs_msg_dds__JointState__desc, "rt" + row.ros_namespace + "/joint_states");
        ASSERT_TRUE(Probe::wait_matched(reader, 15s)) << bridge_->output();
        const auto writers = Probe::matched_writers(reader);
        ASSERT_EQ(writers.size(), 1u);
        EXPECT_EQ(writers[0].type_name, "sensor_msgs::msg::dds_::JointState_");
        EXPECT_EQ(writers[0].user_data,
                  "typehash=RIHS01_a13ee3a330e346c9d87b5aa18d24e11690752bd33a0350f11c5882bc9179260e;");
        const auto sample = Probe::take_joint_state(reader, 5s);
        ASSERT_TRUE(sample.has_value());
        EXPECT_EQ(bridge::ros::hex_bytes(sample->bytes, 4), "00 01 00 00");
        EXPECT_EQ(sample->message.frame_id, row.ros_namespace.substr(1));
        EXPECT_EQ(sample->message.position, row.position);
        if (!row.effort.empty()) {
            EXPECT_EQ(sample->message.effort, row.effort);
        }
        const std::string serving = "serving " + row.address + " (" + row.kind + ") as " + row.ros_namespace + "\n";
        EXPECT_EQ(count_of(bridge_->output(), serving), 1u);
    }
}

// What `ros2 topic pub --once` does: a new reliable publisher writes one
// command as soon as it has matched the bridge, possibly before the bridge
// has discovered its writer. Each such command must reach the hand.
TEST_F(Bridge, FirstCommandOfANewPublisherIsApplied) {
    constexpr int kRounds = 20;
    for (const bool fresh_participant : {true, false}) {
        SCOPED_TRACE(fresh_participant ? "new participant" : "participant that already talks to the bridge");
        int applied = 0;
        for (int round = 0; round < kRounds; ++round) {
            std::optional<Probe> fresh;
            Probe* owner = probe_.get();
            if (fresh_participant) {
                owner = &fresh.emplace(7);
            }
            bridge::ros::Entity writer(owner->writer(sensor_msgs_msg_dds__JointState__desc, kCommands39));
            ASSERT_TRUE(Probe::wait_matched(writer.get(), 15s));
            std::vector<double> positions(12, 10.0 + round + (fresh_participant ? 100 : 0));
            const auto message = command_of(positions);
            ASSERT_EQ(dds_write(writer.get(), &message), DDS_RETCODE_OK);
            applied += eventually([&] { return qmhv2_->targets() == positions; }, 2s) ? 1 : 0;
        }
        EXPECT_EQ(applied, kRounds);
    }
}

// The kind's rules are the unit test's; here one breaks a rule on the wire.
TEST_F(Bridge, ABadCommandIsDroppedWithOneWarning) {
    const bridge::ros::Entity writer(probe_->writer(sensor_msgs_msg_dds__JointState__desc, kCommands39));
    ASSERT_TRUE(Probe::wait_matched(writer.get(), 15s));
    const auto before = qmhv2_->targets();
    const std::size_t sent_before = qmhv2_->received_count(sim::kCtrlPort);
    std::vector<double> eleven(11, 0.5);
    const auto message = command_of(eleven);
    ASSERT_EQ(dds_write(writer.get(), &message), DDS_RETCODE_OK);
    const std::string dropped =
        "[warning] dropped a command on /dexhand/hand_39/joint_commands: a qmhv2 hand takes 12 positions, not 11\n";
    EXPECT_TRUE(eventually([&] { return count_of(bridge_->output(), dropped) > 0; }, 3s)) << bridge_->output();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(count_of(bridge_->output(), dropped), 1u);
    EXPECT_EQ(qmhv2_->targets(), before);
    EXPECT_EQ(qmhv2_->received_count(sim::kCtrlPort), sent_before);
}

// Reads go unanswered (100 ms each) for far less than the second that makes
// a silent hand.
TEST_F(Bridge, AShortSilenceIsNotReported) {
    const std::string misses = "[Qmhv1::get_pos()] DEVICE RECVFROM: 192.168.137.10, TIMEOUT";
    const std::size_t before = count_of(bridge_->output(), misses);
    qmhv1_->set_faults(sim::Faults().with_silent(true));
    std::this_thread::sleep_for(300ms);
    qmhv1_->set_faults(sim::Faults());
    std::this_thread::sleep_for(500ms);
    const std::string output = bridge_->output();
    EXPECT_GT(count_of(output, misses), before);
    EXPECT_EQ(count_of(output, "hand 192.168.137.10 (/robot/first_gen) stopped answering"), 0u) << output;
}

TEST_F(Bridge, SilentHandIsReportedOnceWhileTheOthersAreServed) {
    const dds_entity_t reader = probe_->reader(sensor_msgs_msg_dds__JointState__desc, "rt/robot/first_gen/joint_states");
    ASSERT_TRUE(Probe::wait_matched(reader, 15s));
    qmhv2_->set_faults(sim::Faults().with_silent(true));
    const std::string gone = "[warning] hand 192.168.137.39 (/dexhand/hand_39) stopped answering; serving the others\n";
    const std::string timeout_line = "DEVICE RECVFROM: 192.168.137.39, TIMEOUT";
    ASSERT_TRUE(eventually([&] { return count_of(bridge_->output(), gone) == 1; }, 5s));
    // The library's time-out lines up to the report (one, or two when the
    // silence began between two reads of one poll); none after it.
    const std::size_t timeouts = count_of(bridge_->output(), timeout_line);
    EXPECT_LE(timeouts, 2u);
    // Polls keep failing for a few seconds; the other hand keeps publishing.
    const auto until = std::chrono::steady_clock::now() + 3s;
    int samples = 0;
    while (std::chrono::steady_clock::now() < until) {
        samples += Probe::take_joint_state(reader, 1s).has_value() ? 1 : 0;
    }
    EXPECT_GT(samples, 20);
    const std::string output = bridge_->output();
    EXPECT_EQ(count_of(output, "hand 192.168.137.39 (/dexhand/hand_39) stopped answering"), 1u) << output;
    EXPECT_EQ(count_of(output, timeout_line), timeouts);

    qmhv2_->set_faults(sim::Faults());
    const std::string back = "[info] hand 192.168.137.39 (/dexhand/hand_39) answers again\n";
    ASSERT_TRUE(eventually([&] { return count_of(bridge_->output(), back) == 1; }, 5s)) << bridge_->output();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(count_of(bridge_->output(), "hand 192.168.137.39 (/dexhand/hand_39) answers again"), 1u);
}

// bridge/demo-bridge.sh, as a demo calls it: against hands already running;
// it also checks that the bridge ends cleanly on Ctrl-C.
TEST(DemoScript, PrintsSamplesReadBackAndStopsTheBridge) {
    setenv("CYCLONEDDS_URI", kCycloneConfig, 1);
    sim::Simulator simulator;
    add_hand<sim::Qmhv2Hand>(simulator, kQmhv2Ip, "qmhv2", "QMH-12R");
    BridgeProcess demo({DEXHAND_BUILD_DIR}, DEXHAND_DEMO_BRIDGE);
    EXPECT_EQ(demo.end(), 0);
    const std::string output = demo.output();
    EXPECT_EQ(count_of(output, "serving 192.168.137.39 (qmhv2) as /dexhand/hand_39"), 1u) << output;
    EXPECT_EQ(count_of(output, "writer: topic rt/dexhand/hand_39/joint_states, type sensor_msgs::msg::dds_::JointState_"),
              1u);
    EXPECT_EQ(count_of(output, "bytes: 00 01 00 00 "), 3u);  // two joint states, one image
    EXPECT_EQ(count_of(output, "dexhand-bridge stopped on Ctrl-C"), 1u);
}

TEST(BridgeErrors, OneLineAndAFailureStatus) {
    setenv("CYCLONEDDS_URI", kCycloneConfig, 1);
    setenv("ROS_DOMAIN_ID", "7x", 1);
    BridgeProcess bad_domain({});
    EXPECT_EQ(bad_domain.end(), 1);
    EXPECT_EQ(bad_domain.output(), "dexhand-bridge: ROS_DOMAIN_ID must be a number from 0 to 232, not \"7x\"\n");
    // No hand answers discovery here: the library's lines, then the bridge's one.
    setenv("ROS_DOMAIN_ID", "", 1);
    BridgeProcess no_hands({});
    EXPECT_EQ(no_hands.end(), 1);
    const std::string output = no_hands.output();
    const std::string last = "\ndexhand-bridge: no hand answered discovery\n";
    ASSERT_GE(output.size(), last.size());
    EXPECT_EQ(output.substr(output.size() - last.size()), last) << output;
    EXPECT_EQ(count_of(output, "dexhand-bridge"), 1u);
}

// A names file may give one hand the default namespace of another: the
// bridge refuses to serve both on one set of topics.
TEST(BridgeErrors, TwoHandsGivenOneNamespaceAreRefused) {
    sim::Simulator simulator;
    add_hand<sim::Qmhv2Hand>(simulator, kQmhv2Ip, "qmhv2", "QMH-12L");
    add_hand<sim::Qmhv1Hand>(simulator, kQmhv1Ip, "qmhv1", "QMH-6L", 60);
    bridge::Options options;
    options.names = {{kQmhv1Ip, "/dexhand/hand_39"}};
    bridge::Bridge served(options, [](tessaro_dexhand::LogLevel, const std::string&) {});
    std::string error;
    EXPECT_FALSE(served.start(error));
    EXPECT_EQ(error, "two hands would share the namespace /dexhand/hand_39; give them names in a names file (--names)");
}

// --dds-interface: a robot's hands and its ROS network on different
// interfaces. Two more interfaces are made in the private namespace for these
// tests, hands0 (Cyclone's default pick) and ros0 (10.23.0.1), with a ROS 2
// peer that uses only ros0.
class DdsInterface : public testing::Test {
protected:
    void SetUp() override {
        // hands0 first: Cyclone's own choice, which the option must override.
        ASSERT_EQ(std::system("ip link add hands0 type veth peer name hands0peer && ip addr add 10.99.0.1/24 dev hands0 && "
                              "ip link set hands0 up && ip link set hands0peer up && "
                              "ip link add ros0 type veth peer name ros0peer && ip addr add 10.23.0.1/24 dev ros0 && "
                              "ip link set ros0 up && ip link set ros0peer up"),
                  0);
        add_hand<sim::Qmhv2Hand>(simulator_, kQmhv2Ip, "qmhv2", "QMH-12R");
        unsetenv("CYCLONEDDS_URI");
        setenv("ROS_DOMAIN_ID", "8", 1);
    }
    void TearDown() override {
        // Later tests expect loopback alone.
        EXPECT_EQ(std::system("ip link del ros0 && ip link del hands0"), 0);
    }

    sim::Simulator simulator_;
};

TEST_F(DdsInterface, ByNameOrAddressTheRosNetworkSeesTheHands) {
    for (const char* chosen : {"ros0", "10.23.0.1"}) {
        SCOPED_TRACE(chosen);
        BridgeProcess bridge({"--dds-interface", chosen});
        EXPECT_TRUE(bridge.printed("DDS domain 8 on interface ros0 (10.23.0.1)\n")) << bridge.output();
        // A peer as a ROS 2 machine on that network has it: multicast discovery on ros0 only.
        setenv("CYCLONEDDS_URI", "<General><Interfaces><NetworkInterface name=\"ros0\"/></Interfaces></General>", 1);
        {
            Probe peer(8);
            const dds_entity_t reader = peer.reader(sensor_msgs_msg_dds__JointState__desc, kJointStates39);
            ASSERT_TRUE(Probe::wait_matched(reader, 15s)) << bridge.output();
            EXPECT_TRUE(Probe::take_joint_state(reader, 5s).has_value());
        }
        unsetenv("CYCLONEDDS_URI");
    }
}

TEST_F(DdsInterface, CycloneUriWins) {
    setenv("CYCLONEDDS_URI", kCycloneConfig, 1);
    BridgeProcess bridge({"--dds-interface", "ros0"});
    EXPECT_TRUE(bridge.printed("DDS domain 8 on interface lo (127.0.0.1), as CYCLONEDDS_URI sets it\n"))
        << bridge.output();
    EXPECT_NE(bridge.output().find("--dds-interface ros0 is not used: CYCLONEDDS_URI is set and wins\n"),
              std::string::npos);
    Probe peer(8);
    const dds_entity_t reader = peer.reader(sensor_msgs_msg_dds__JointState__desc, kJointStates39);
    EXPECT_TRUE(Probe::wait_matched(reader, 15s)) << bridge.output();
}

TEST_F(DdsInterface, UnknownInterfaceIsOneErrorLine) {
    BridgeProcess bridge({"--quiet", "--dds-interface", "nope0"});
    EXPECT_EQ(bridge.end(), 1);
    EXPECT_EQ(bridge.output(),
              "dexhand-bridge: cannot join DDS domain 8: nope0: does not match an available interface.\n");
}
