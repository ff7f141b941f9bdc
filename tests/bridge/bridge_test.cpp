// dexhand-bridge end to end: the program runs as a child process against
// simulated hands, and a peer that behaves like the ROS 2 middleware (no type
// information, XCDR1 only, exact type and topic names) reads and commands
// the hands through DDS on loopback.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "bridge.h"
#include "inspire_hand.h"
#include "qmhv1_hand.h"
#include "qmhv2_hand.h"
#include "ros_probe.h"
#include "simulator.h"
#include "support/eventually.h"
#include "tessaro_dexhand/kinds.h"

using namespace std::chrono_literals;
using bridge::ros::Probe;
using dexhand_test::eventually;
using tessaro_dexhand::Operation;

namespace {

// Loopback only, no multicast: participants find each other through the
// unicast peer 127.0.0.1.
const char* const kCycloneConfig =
    "<CycloneDDS><Domain Id=\"any\"><General><Interfaces><NetworkInterface name=\"lo\"/></Interfaces>"
    "<AllowMulticast>false</AllowMulticast></General><Discovery><ParticipantIndex>auto</ParticipantIndex>"
    "<MaxAutoParticipantIndex>20</MaxAutoParticipantIndex><Peers><Peer Address=\"127.0.0.1\"/></Peers>"
    "</Discovery></Domain></CycloneDDS>";

const std::string kQmhv2Ip = "192.168.137.39";
const std::string kQmhv1Ip = "192.168.137.10";
const std::string kInspireIp = "192.168.137.19";
const std::string kJointStates39 = "rt/dexhand/hand_39/joint_states";
const std::string kCommands39 = "rt/dexhand/hand_39/joint_commands";

std::vector<double> qmhv2_angles() {
    return {1.5, -2.25, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12.125};
}

std::vector<std::uint32_t> matrix_elements() {
    std::vector<std::uint32_t> elements;
    for (std::uint32_t i = 0; i < 64; ++i) {
        elements.push_back((i * 0x030507u + 0x01000000u * (i % 3)) & 0xFFFFFFu);
    }
    return elements;
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

// A simulated hand that answers discovery with its name, type and address.
template <class Hand>
std::shared_ptr<Hand> add_hand(sim::Simulator& simulator, const std::string& ip, const std::string& name,
                               const std::string& type, int delay_ms = 0) {
    auto hand = simulator.add<Hand>(ip);
    const std::string reply = sim::JsonObject().str("name", name).str("type", type).str("IP", ip).text();
    hand->set_discovery(sim::DiscoveryAnswer().with_text(reply).with_delay_ms(delay_ms));
    return hand;
}

// dexhand-bridge as a child process, its output (both streams) in a file.
class BridgeProcess {
public:
    explicit BridgeProcess(const std::vector<std::string>& arguments) {
        char path[] = "/tmp/dexhand-bridge-output-XXXXXX";
        const int fd = mkstemp(path);
        output_path_ = path;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fd, STDERR_FILENO);
            dup2(fd, STDOUT_FILENO);
            std::vector<char*> argv = {const_cast<char*>(DEXHAND_BRIDGE_PATH)};
            for (const auto& argument : arguments) {
                argv.push_back(const_cast<char*>(argument.c_str()));
            }
            argv.push_back(nullptr);
            execv(DEXHAND_BRIDGE_PATH, argv.data());
            _exit(127);
        }
        close(fd);
    }
    ~BridgeProcess() {
        end(SIGINT);
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        unlink(output_path_.c_str());
    }
    // Sends the signal (0: none) and waits up to 10 s for the bridge to end;
    // its exit status, or -1.
    int end(int signal = 0) {
        int status = -1;
        if (pid_ <= 0 || (signal != 0 && kill(pid_, signal) != 0) ||
            !eventually([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, 10s)) {
            return -1;
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string output() const {
        std::ifstream in(output_path_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    bool printed(const std::string& line) const {
        return eventually([&] { return output().find(line) != std::string::npos; }, 10s);
    }

private:
    pid_t pid_ = -1;
    std::string output_path_;
};

// Runs a shell command to its end: what it printed and its exit status.
std::pair<std::string, int> run_to_end(const std::string& command) {
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    std::string output;
    char buffer[512];
    while (pipe != nullptr && fgets(buffer, sizeof buffer, pipe) != nullptr) {
        output += buffer;
    }
    const int status = pipe != nullptr ? pclose(pipe) : -1;
    return {output, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
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
        qmhv2_->set_matrix(matrix_elements());
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
// XCDR1 little-endian; the joint names of its KindInfo, velocity and effort
// exactly when the kind reports them.
TEST_F(Bridge, EachKindPublishesJointStatesAsRos2Does) {
    // No type information goes out with our types, as with ROS 2.
    EXPECT_EQ(sensor_msgs_msg_dds__JointState__desc.m_flagset & DDS_TOPIC_XTYPES_METADATA, 0u);
    struct Row {
        std::string address;
        std::string kind;
        std::string ros_namespace;
        std::vector<double> position;
        std::vector<double> effort;  // empty: only the count is checked
    };
    const Row rows[] = {
        {kQmhv1Ip, "qmhv1", "/robot/first_gen", {0.75, 1.0, 0.0, 0.5, 0.25, 0.875}, {0.5, 1, 1.5, 2, 2.5, 3}},
        {kInspireIp, "QSH", "/dexhand/hand_19", {0.4f, 0.3f, 0.2f, 0.1f, 0.5f, 0.6f}, {}},  // the library's floats
        {kQmhv2Ip, "qmhv2", "/dexhand/hand_39", qmhv2_angles(), {}},
    };
    const auto now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.kind);
        const auto* kind = tessaro_dexhand::find_kind(row.kind);
        ASSERT_NE(kind, nullptr);
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
        const auto& state = sample->message;
        EXPECT_EQ(state.frame_id, row.ros_namespace.substr(1));
        EXPECT_NEAR(static_cast<double>(state.stamp.sec), static_cast<double>(now), 5.0);
        EXPECT_EQ(state.name, kind->joint_names);
        EXPECT_EQ(state.position, row.position);
        EXPECT_EQ(state.velocity.size(), kind->serves(Operation::read_velocities) ? kind->joints : 0u);
        EXPECT_EQ(state.effort.size(), kind->serves(Operation::read_currents) ? kind->joints : 0u);
        if (!row.effort.empty()) {
            EXPECT_EQ(state.effort, row.effort);
        }
        const std::string serving = "serving " + row.address + " (" + row.kind + ") as " + row.ros_namespace + "\n";
        EXPECT_EQ(count_of(bridge_->output(), serving), 1u);
    }
}

// Each element of the matrix carries three cells, most significant byte first.
TEST_F(Bridge, TactileMatrixIsAMono16Image) {
    const dds_entity_t reader = probe_->reader(sensor_msgs_msg_dds__Image__desc, "rt/dexhand/hand_39/tactile");
    ASSERT_TRUE(Probe::wait_matched(reader, 15s));
    EXPECT_EQ(Probe::matched_writers(reader).at(0).type_name, "sensor_msgs::msg::dds_::Image_");
    const auto sample = Probe::take_image(reader, 5s);
    ASSERT_TRUE(sample.has_value());
    EXPECT_EQ(bridge::ros::hex_bytes(sample->bytes, 4), "00 01 00 00");
    const auto& m = sample->message;
    EXPECT_EQ(m.encoding, "mono16");
    EXPECT_EQ(m.is_bigendian, 0);
    EXPECT_EQ(m.image.height, 2u);
    EXPECT_EQ(m.image.width, 96u);
    EXPECT_EQ(m.image.step, 192u);
    std::vector<std::uint8_t> expected;
    for (std::uint32_t element : matrix_elements()) {
        for (int shift : {16, 8, 0}) {
            expected.push_back(static_cast<std::uint8_t>(element >> shift));
            expected.push_back(0);
        }
    }
    EXPECT_EQ(m.image.data, expected);
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
    const auto [output, status] = run_to_end(std::string(DEXHAND_DEMO_BRIDGE) + " " + DEXHAND_BUILD_DIR);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("serving 192.168.137.39 (qmhv2) as /dexhand/hand_39"), std::string::npos) << output;
    EXPECT_NE(output.find("writer: topic rt/dexhand/hand_39/joint_states, type sensor_msgs::msg::dds_::JointState_"),
              std::string::npos)
        << output;
    EXPECT_EQ(count_of(output, "bytes: 00 01 00 00 "), 3u) << output;  // two joint states, one image
    EXPECT_NE(output.find("dexhand-bridge stopped on Ctrl-C"), std::string::npos) << output;
}

TEST(BridgeErrors, OneLineAndAFailureStatus) {
    setenv("CYCLONEDDS_URI", kCycloneConfig, 1);
    const auto bad_domain = run_to_end(std::string("ROS_DOMAIN_ID=7x ") + DEXHAND_BRIDGE_PATH);
    EXPECT_EQ(bad_domain.first, "dexhand-bridge: ROS_DOMAIN_ID must be a number from 0 to 232, not \"7x\"\n");
    EXPECT_EQ(bad_domain.second, 1);
    // No hand answers discovery here: the library's lines, then the bridge's one.
    const auto no_hands = run_to_end(std::string("ROS_DOMAIN_ID= ") + DEXHAND_BRIDGE_PATH);
    const std::string last = "\ndexhand-bridge: no hand answered discovery\n";
    ASSERT_GE(no_hands.first.size(), last.size());
    EXPECT_EQ(no_hands.first.substr(no_hands.first.size() - last.size()), last) << no_hands.first;
    EXPECT_EQ(count_of(no_hands.first, "dexhand-bridge"), 1u);
    EXPECT_EQ(no_hands.second, 1);
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
