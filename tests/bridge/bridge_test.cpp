// dexhand-bridge end to end: the program runs as a child process against
// simulated hands, and a peer that behaves like the ROS 2 middleware (no type
// information, XCDR1 only, exact type and topic names) reads and commands
// the hands through DDS on loopback.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <optional>
#include <thread>

#include "support/eventually.h"
#include "inspire_hand.h"
#include "qmhv1_hand.h"
#include "qmhv2_hand.h"
#include "ros_probe.h"
#include "simulator.h"
#include "tessaro_dexhand/kinds.h"

using namespace std::chrono_literals;
using bridge::ros::Probe;

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
// The first-generation hand is named in a names file; the others keep their default names.
const std::string kFirstGenStates = "rt/robot/first_gen/joint_states";
const std::string kJointStates39 = "rt/dexhand/hand_39/joint_states";
const std::string kCommands39 = "rt/dexhand/hand_39/joint_commands";
const std::string kHashData =
    "typehash=RIHS01_a13ee3a330e346c9d87b5aa18d24e11690752bd33a0350f11c5882bc9179260e;";

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

using dexhand_test::eventually;

sensor_msgs_msg_dds__JointState_ command_of(std::vector<double>& positions) {
    sensor_msgs_msg_dds__JointState_ message{};
    message.header.frame_id = const_cast<char*>("");
    message.position._length = message.position._maximum = static_cast<uint32_t>(positions.size());
    message.position._buffer = positions.data();
    return message;
}

}  // namespace

class Bridge : public testing::Test {
protected:
    static void SetUpTestSuite() {
        setenv("CYCLONEDDS_URI", kCycloneConfig, 1);
        setenv("ROS_DOMAIN_ID", "7", 1);
        simulator_ = new sim::Simulator;
        qmhv2_ = simulator_->add<sim::Qmhv2Hand>(kQmhv2Ip);
        sim::DiscoveryAnswer first;
        first.text = sim::JsonObject().str("name", "qmhv2").str("type", "QMH-12L").str("IP", kQmhv2Ip).text();
        qmhv2_->set_discovery(first);
        qmhv2_->set_speed(0);
        qmhv2_->set_angles(qmhv2_angles());
        qmhv2_->set_matrix(matrix_elements());
        qmhv1_ = simulator_->add<sim::Qmhv1Hand>(kQmhv1Ip);
        sim::DiscoveryAnswer answer;
        answer.text = sim::JsonObject().str("name", "qmhv1").str("type", "QMH-6L").str("IP", kQmhv1Ip).text();
        answer.delay_ms = 60;
        qmhv1_->set_discovery(answer);
        qmhv1_->set_pos_limits({0, 2000, 0, 2000, 0, 2000, 0, 2000, 0, 2000, 0, 2000});
        qmhv1_->set_raw_positions({500, 0, 2000, 1000, 1500, 250});
        qmhv1_->set_currents({0.5f, 1, 1.5f, 2, 2.5f, 3});
        inspire_ = simulator_->add<sim::InspireHand>(kInspireIp);
        answer.text = sim::JsonObject().str("name", "QSH").str("type", "QSH-6").str("IP", kInspireIp).text();
        answer.delay_ms = 120;
        inspire_->set_discovery(answer);
        inspire_->set_positions({100, 200, 300, 400, 500, 600});

        char names[] = "/tmp/dexhand-bridge-names-XXXXXX";
        const int names_fd = mkstemp(names);
        const std::string text = "# test hands\n" + kQmhv1Ip + " /robot/first_gen\n";
        EXPECT_EQ(write(names_fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        close(names_fd);
        names_path_ = names;

        char path[] = "/tmp/dexhand-bridge-stderr-XXXXXX";
        const int fd = mkstemp(path);
        stderr_path_ = path;
        child_ = fork();
        if (child_ == 0) {
            dup2(fd, STDERR_FILENO);
            dup2(fd, STDOUT_FILENO);
            execl(DEXHAND_BRIDGE_PATH, DEXHAND_BRIDGE_PATH, "--rate", "50", "-v", "--names", names_path_.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fd);
        probe_ = new Probe(7);
    }

    static void TearDownTestSuite() {
        if (child_ > 0 && waitpid(child_, nullptr, WNOHANG) == 0) {
            kill(child_, SIGKILL);
            waitpid(child_, nullptr, 0);
        }
        delete probe_;
        delete simulator_;
        unlink(stderr_path_.c_str());
        unlink(names_path_.c_str());
    }

    // One command writer for the suite.
    static dds_entity_t command_writer() {
        static dds_entity_t writer = 0;
        if (writer <= 0) {
            writer = probe_->writer(sensor_msgs_msg_dds__JointState__desc, kCommands39);
            EXPECT_TRUE(Probe::wait_matched(writer, 15s));
        }
        return writer;
    }

    // What the bridge printed so far.
    static std::string bridge_output() {
        std::ifstream in(stderr_path_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    static sim::Simulator* simulator_;
    static std::shared_ptr<sim::Qmhv2Hand> qmhv2_;
    static std::shared_ptr<sim::Qmhv1Hand> qmhv1_;
    static std::shared_ptr<sim::InspireHand> inspire_;
    static Probe* probe_;
    static pid_t child_;
    static std::string stderr_path_;
    static std::string names_path_;
};

sim::Simulator* Bridge::simulator_ = nullptr;
std::shared_ptr<sim::Qmhv2Hand> Bridge::qmhv2_;
std::shared_ptr<sim::Qmhv1Hand> Bridge::qmhv1_;
std::shared_ptr<sim::InspireHand> Bridge::inspire_;
std::string Bridge::names_path_;
Probe* Bridge::probe_ = nullptr;
pid_t Bridge::child_ = -1;
std::string Bridge::stderr_path_;

TEST_F(Bridge, JointStatesReachARos2StyleReader) {
    // No type information goes out with our types, as with ROS 2.
    EXPECT_EQ(sensor_msgs_msg_dds__JointState__desc.m_flagset & DDS_TOPIC_XTYPES_METADATA, 0u);
    const dds_entity_t reader = probe_->reader(sensor_msgs_msg_dds__JointState__desc, kJointStates39);
    ASSERT_GT(reader, 0);
    ASSERT_TRUE(Probe::wait_matched(reader, 15s)) << bridge_output();

    const auto writers = Probe::matched_writers(reader);
    ASSERT_EQ(writers.size(), 1u);
    EXPECT_EQ(writers[0].topic_name, kJointStates39);
    EXPECT_EQ(writers[0].type_name, "sensor_msgs::msg::dds_::JointState_");
    EXPECT_EQ(writers[0].user_data, kHashData);

    const auto sample = Probe::take_joint_state(reader, 5s);
    ASSERT_TRUE(sample.has_value());
    ASSERT_GE(sample->bytes.size(), 4u);
    // XCDR1, little-endian.
    EXPECT_EQ(bridge::ros::hex_bytes(sample->bytes, 4), "00 01 00 00");
    const auto& state = sample->message;
    EXPECT_EQ(state.name, tessaro_dexhand::find_kind("qmhv2")->joint_names);
    EXPECT_EQ(state.position, qmhv2_angles());
    EXPECT_TRUE(state.velocity.empty());
    EXPECT_TRUE(state.effort.empty());
    EXPECT_EQ(state.frame_id, "dexhand/hand_39");
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    EXPECT_NEAR(static_cast<double>(state.stamp.sec), static_cast<double>(now), 5.0);
    std::cout << "reader saw topic " << writers[0].topic_name << " type " << writers[0].type_name << "; sample of "
              << sample->bytes.size() << " bytes: " << bridge::ros::hex_bytes(sample->bytes, 32) << std::endl;
}

// Every kind: the joint names of its KindInfo, velocity and effort exactly
// when the kind reports them.
TEST_F(Bridge, EachKindPublishesWhatItReports) {
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
    for (const Row& row : rows) {
        SCOPED_TRACE(row.kind);
        const auto* kind = tessaro_dexhand::find_kind(row.kind);
        ASSERT_NE(kind, nullptr);
        const dds_entity_t reader = probe_->reader(sensor_msgs_msg_dds__JointState__desc, "rt" + row.ros_namespace + "/joint_states");
        ASSERT_TRUE(Probe::wait_matched(reader, 15s));
        const auto sample = Probe::take_joint_state(reader, 5s);
        ASSERT_TRUE(sample.has_value());
        const auto& state = sample->message;
        EXPECT_EQ(state.name, kind->joint_names);
        EXPECT_EQ(state.position, row.position);
        const bool velocity = kind->serves(tessaro_dexhand::Operation::read_velocities);
        const bool effort = kind->serves(tessaro_dexhand::Operation::read_currents);
        EXPECT_EQ(state.velocity.size(), velocity ? kind->joints : 0u);
        EXPECT_EQ(state.effort.size(), effort ? kind->joints : 0u);
        if (!row.effort.empty()) {
            EXPECT_EQ(state.effort, row.effort);
        }
        EXPECT_EQ(count_of(bridge_output(), "serving " + row.address + " (" + row.kind + ") as " + row.ros_namespace + "\n"), 1u);
    }
}

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
    // Each element carries three cells, most significant byte first.
    std::vector<std::uint8_t> expected;
    for (std::uint32_t element : matrix_elements()) {
        for (int shift : {16, 8, 0}) {
            expected.push_back(static_cast<std::uint8_t>(element >> shift));
            expected.push_back(0);
        }
    }
    EXPECT_EQ(m.image.data, expected);
}

TEST_F(Bridge, ReaderOfAnotherTypeNameDoesNotMatch) {
    dds_topic_descriptor_t other = sensor_msgs_msg_dds__JointState__desc;
    other.m_typename = "sensor_msgs::msg::dds_::JointStates_";
    Probe stranger(7);
    const dds_entity_t wrong = stranger.reader(other, kJointStates39);
    const dds_entity_t right = stranger.reader(sensor_msgs_msg_dds__JointState__desc, kFirstGenStates);
    ASSERT_GT(wrong, 0);
    ASSERT_TRUE(Probe::wait_matched(right, 15s));  // discovery works for this participant
    EXPECT_FALSE(Probe::wait_matched(wrong, 2s));
}

TEST_F(Bridge, CommandsMoveTheHand) {
    const dds_entity_t writer = command_writer();
    std::vector<double> positions = {12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1};
    const auto message = command_of(positions);
    ASSERT_EQ(dds_write(writer, &message), DDS_RETCODE_OK);
    EXPECT_TRUE(eventually([&] { return qmhv2_->targets() == positions; }, 3s)) << bridge_output();
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
            Probe* owner = probe_;
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

TEST_F(Bridge, BadCommandsAreDroppedWithOneWarningEach) {
    const dds_entity_t writer = command_writer();
    const auto before = qmhv2_->targets();
    const std::size_t sent_before = qmhv2_->received_count(sim::kCtrlPort);
    std::vector<double> short_one(11, 0.5);
    std::vector<double> not_finite(12, 0.5);
    not_finite[4] = std::nan("");
    std::vector<double> out_of_range(12, 0.5);
    out_of_range[6] = 181;  // beyond the kind's range
    const auto wrong_count = command_of(short_one);
    const auto nan_inside = command_of(not_finite);
    const auto too_far = command_of(out_of_range);
    // One at a time: the bridge keeps only the latest command of a hand.
    std::size_t dropped_so_far = count_of(bridge_output(), "dropped a command");
    for (const auto* message : {&wrong_count, &nan_inside, &too_far}) {
        ASSERT_EQ(dds_write(writer, message), DDS_RETCODE_OK);
        EXPECT_TRUE(eventually([&] { return count_of(bridge_output(), "dropped a command") > dropped_so_far; }, 3s));
        dropped_so_far = count_of(bridge_output(), "dropped a command");
    }
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(qmhv2_->targets(), before);
    EXPECT_EQ(qmhv2_->received_count(sim::kCtrlPort), sent_before);
    const std::string output = bridge_output();
    const std::string dropped = "[warning] dropped a command on /dexhand/hand_39/joint_commands: ";
    EXPECT_EQ(count_of(output, dropped + "a qmhv2 hand takes 12 positions, not 11\n"), 1u) << output;
    EXPECT_EQ(count_of(output, dropped + "joint 4: "), 1u) << output;
    EXPECT_EQ(count_of(output, dropped + "joint 6: "), 1u) << output;
}

TEST_F(Bridge, AShortSilenceIsNotReported) {
    const std::string misses = "[Qmhv1::get_pos()] DEVICE RECVFROM: 192.168.137.10, TIMEOUT";
    const std::size_t before = count_of(bridge_output(), misses);
    // Long enough for position reads to go unanswered (100 ms each), far
    // shorter than the second that makes a silent hand.
    sim::Faults silent;
    silent.silent = true;
    qmhv1_->set_faults(silent);
    std::this_thread::sleep_for(300ms);
    qmhv1_->set_faults(sim::Faults());
    std::this_thread::sleep_for(500ms);
    const std::string output = bridge_output();
    EXPECT_GT(count_of(output, misses), before);
    EXPECT_EQ(count_of(output, "hand 192.168.137.10 (/robot/first_gen) stopped answering"), 0u) << output;
}

TEST_F(Bridge, SilentHandIsReportedOnceWhileTheOthersAreServed) {
    const dds_entity_t reader = probe_->reader(sensor_msgs_msg_dds__JointState__desc, kFirstGenStates);
    ASSERT_TRUE(Probe::wait_matched(reader, 15s));
    sim::Faults silent;
    silent.silent = true;
    qmhv2_->set_faults(silent);
    const std::string gone = "[warning] hand 192.168.137.39 (/dexhand/hand_39) stopped answering; serving the others\n";
    const std::string timeout_line = "DEVICE RECVFROM: 192.168.137.39, TIMEOUT";
    ASSERT_TRUE(eventually([&] { return count_of(bridge_output(), gone) == 1; }, 5s));
    // The library's time-out lines up to the report (one, or two when the
    // silence began between two reads of one poll); none after it.
    const std::size_t timeouts = count_of(bridge_output(), timeout_line);
    EXPECT_LE(timeouts, 2u);
    // Polls keep failing for a few seconds; the other hand keeps publishing.
    const auto until = std::chrono::steady_clock::now() + 3s;
    int samples = 0;
    while (std::chrono::steady_clock::now() < until) {
        samples += Probe::take_joint_state(reader, 1s).has_value() ? 1 : 0;
    }
    EXPECT_GT(samples, 20);
    std::string output = bridge_output();
    EXPECT_EQ(count_of(output, "hand 192.168.137.39 (/dexhand/hand_39) stopped answering"), 1u) << output;
    EXPECT_EQ(count_of(output, timeout_line), timeouts);

    qmhv2_->set_faults(sim::Faults());
    const std::string back = "[info] hand 192.168.137.39 (/dexhand/hand_39) answers again\n";
    ASSERT_TRUE(eventually([&] { return count_of(bridge_output(), back) == 1; }, 5s)) << bridge_output();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(count_of(bridge_output(), "hand 192.168.137.39 (/dexhand/hand_39) answers again"), 1u);
}

TEST_F(Bridge, CtrlCStopsTheBridge) {
    ASSERT_EQ(kill(child_, SIGINT), 0);
    int status = -1;
    ASSERT_TRUE(eventually([&] { return waitpid(child_, &status, WNOHANG) == child_; }, 5s));
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    child_ = -1;
}

// bridge/demo-bridge.sh, as a demo calls it: against hands already running.
TEST(DemoScript, PrintsSamplesReadBackAndStopsTheBridge) {
    setenv("CYCLONEDDS_URI", kCycloneConfig, 1);
    sim::Simulator simulator;
    auto hand = simulator.add<sim::Qmhv2Hand>(kQmhv2Ip);
    sim::DiscoveryAnswer answer;
    answer.text = sim::JsonObject().str("name", "qmhv2").str("type", "QMH-12R").str("IP", kQmhv2Ip).text();
    hand->set_discovery(answer);

    const std::string command = std::string(DEXHAND_DEMO_BRIDGE) + " " + DEXHAND_BUILD_DIR + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) {
        output += buffer;
    }
    const int status = pclose(pipe);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("serving 192.168.137.39 (qmhv2) as /dexhand/hand_39"), std::string::npos) << output;
    EXPECT_NE(output.find("writer: topic rt/dexhand/hand_39/joint_states, type sensor_msgs::msg::dds_::JointState_"),
              std::string::npos)
        << output;
    EXPECT_EQ(count_of(output, "bytes: 00 01 00 00 "), 3u) << output;  // two joint states, one image
    EXPECT_NE(output.find("dexhand-bridge stopped on Ctrl-C"), std::string::npos) << output;
    std::cout << output;
}

namespace {

// Runs the bridge with an environment setting and returns its output and status.
std::pair<std::string, int> run_bridge(const std::string& environment) {
    const std::string command = environment + " " + DEXHAND_BRIDGE_PATH + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    std::string output;
    char buffer[512];
    while (pipe != nullptr && fgets(buffer, sizeof buffer, pipe) != nullptr) {
        output += buffer;
    }
    const int status = pipe != nullptr ? pclose(pipe) : -1;
    return {output, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

}  // namespace

TEST(BridgeErrors, OneLineAndAFailureStatus) {
    setenv("CYCLONEDDS_URI", kCycloneConfig, 1);
    const auto bad_domain = run_bridge("ROS_DOMAIN_ID=7x");
    EXPECT_EQ(bad_domain.first, "dexhand-bridge: ROS_DOMAIN_ID must be a number from 0 to 232, not \"7x\"\n");
    EXPECT_EQ(bad_domain.second, 1);
    // No hand answers discovery here: the library's lines, then the bridge's one.
    const auto no_hands = run_bridge("ROS_DOMAIN_ID= ");
    const std::string last = "\ndexhand-bridge: no hand answered discovery\n";
    ASSERT_GE(no_hands.first.size(), last.size());
    EXPECT_EQ(no_hands.first.substr(no_hands.first.size() - last.size()), last) << no_hands.first;
    EXPECT_EQ(count_of(no_hands.first, "dexhand-bridge"), 1u);
    EXPECT_EQ(no_hands.second, 1);
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
        auto hand = simulator_.add<sim::Qmhv2Hand>(kQmhv2Ip);
        sim::DiscoveryAnswer answer;
        answer.text = sim::JsonObject().str("name", "qmhv2").str("type", "QMH-12R").str("IP", kQmhv2Ip).text();
        hand->set_discovery(answer);
        unsetenv("CYCLONEDDS_URI");
        setenv("ROS_DOMAIN_ID", "8", 1);
    }
    void TearDown() override {
        stop();
        // Later tests expect loopback alone.
        EXPECT_EQ(std::system("ip link del ros0 && ip link del hands0"), 0);
    }

    // Starts the bridge with these arguments, its output going to a file.
    void start(const std::vector<std::string>& arguments) {
        char path[] = "/tmp/dexhand-bridge-dds-XXXXXX";
        const int fd = mkstemp(path);
        output_path_ = path;
        child_ = fork();
        if (child_ == 0) {
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
    int stop() {
        int status = -1;
        if (child_ > 0) {
            kill(child_, SIGINT);
            waitpid(child_, &status, 0);
            child_ = -1;
        }
        if (!output_path_.empty()) {
            unlink(output_path_.c_str());
        }
        return status;
    }
    // Waits for the bridge to end on its own; its exit status.
    int exit_status() {
        int status = -1;
        if (!eventually([&] { return waitpid(child_, &status, WNOHANG) == child_; }, 10s)) {
            return -1;
        }
        child_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string output() const {
        std::ifstream in(output_path_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    bool printed(const std::string& line) {
        return eventually([&] { return output().find(line) != std::string::npos; }, 10s);
    }

    sim::Simulator simulator_;
    pid_t child_ = -1;
    std::string output_path_;
};

TEST_F(DdsInterface, ByNameOrAddressTheRosNetworkSeesTheHands) {
    for (const char* chosen : {"ros0", "10.23.0.1"}) {
        SCOPED_TRACE(chosen);
        start({"--dds-interface", chosen});
        EXPECT_TRUE(printed("DDS domain 8 on interface ros0 (10.23.0.1)\n")) << output();
        // A peer as a ROS 2 machine on that network has it: multicast discovery on ros0 only.
        setenv("CYCLONEDDS_URI", "<General><Interfaces><NetworkInterface name=\"ros0\"/></Interfaces></General>", 1);
        {
            Probe peer(8);
            const dds_entity_t reader = peer.reader(sensor_msgs_msg_dds__JointState__desc, kJointStates39);
            ASSERT_TRUE(Probe::wait_matched(reader, 15s)) << output();
            EXPECT_TRUE(Probe::take_joint_state(reader, 5s).has_value());
        }
        unsetenv("CYCLONEDDS_URI");
        stop();
    }
}

TEST_F(DdsInterface, CycloneUriWins) {
    setenv("CYCLONEDDS_URI", kCycloneConfig, 1);
    start({"--dds-interface", "ros0"});
    EXPECT_TRUE(printed("DDS domain 8 on interface lo (127.0.0.1), as CYCLONEDDS_URI sets it\n")) << output();
    EXPECT_NE(output().find("--dds-interface ros0 is not used: CYCLONEDDS_URI is set and wins\n"), std::string::npos);
    Probe peer(8);
    const dds_entity_t reader = peer.reader(sensor_msgs_msg_dds__JointState__desc, kJointStates39);
    EXPECT_TRUE(Probe::wait_matched(reader, 15s)) << output();
}

TEST_F(DdsInterface, UnknownInterfaceIsOneErrorLine) {
    start({"--quiet", "--dds-interface", "nope0"});
    EXPECT_EQ(exit_status(), 1);
    EXPECT_EQ(output(), "dexhand-bridge: cannot join DDS domain 8: nope0: does not match an available interface.\n");
}
