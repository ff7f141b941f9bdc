// dexhand-bridge's latency and CPU with three simulated second-generation
// hands (the kind that costs the most per poll: positions, velocities,
// currents and the tactile matrix), at 50 and 500 joint states and commands
// per second per hand:
//   - command: from the command sample's write to its datagram reaching the
//     hand, paired by the value of joint 0, which every command changes;
//   - joint state: from the hand sending the reply the bridge read to the
//     sample reaching a subscriber, paired by the sample's stamp (the bridge
//     stamps a reading as it comes back, so the reply is the hand's last
//     datagram before the stamp);
//   - the CPU the bridge process used, in percent of one core.
// The bridge runs as its own process; the hands and the DDS peer share this
// one. Runs inside the private network namespace only (scripts/bench).
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "netns_guard.h"
#include "qmhv2_hand.h"
#include "ros_probe.h"
#include "simulator.h"

namespace {

using namespace std::chrono_literals;
using bridge::ros::Probe;
using Wall = std::chrono::system_clock;

const char* const kCycloneConfig =
    "<CycloneDDS><Domain Id=\"any\"><General><Interfaces><NetworkInterface name=\"lo\"/></Interfaces>"
    "<AllowMulticast>false</AllowMulticast></General><Discovery><ParticipantIndex>auto</ParticipantIndex>"
    "<MaxAutoParticipantIndex>20</MaxAutoParticipantIndex><Peers><Peer Address=\"127.0.0.1\"/></Peers>"
    "</Discovery></Domain></CycloneDDS>";
constexpr int kDomain = 11;
const std::vector<std::string> kHands = {"192.168.137.40", "192.168.137.41", "192.168.137.42"};

// Joint 0 of command k: a different value for each of 11,000 commands (more
// than a run writes), a step wider than the rounding of the text the hand gets.
double joint0_of(long long k) { return 1.0 + static_cast<double>(k % 11000) / 64.0; }

double microseconds(Wall::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

struct Spread {
    double median_us = 0, p99_us = 0;
    std::size_t count = 0;
};

Spread spread_of(std::vector<double> values) {
    Spread s;
    s.count = values.size();
    if (values.empty()) {
        return s;
    }
    std::sort(values.begin(), values.end());
    s.median_us = values[values.size() / 2];
    s.p99_us = values[std::min(values.size() - 1, static_cast<std::size_t>(std::ceil(values.size() * 0.99)) - 1)];
    return s;
}

// Every datagram the hands received or sent, with the time it moved.
struct Datagram {
    Wall::time_point at;
    bool sent = false;
    std::string hand;
    unsigned short port = 0;
    std::string bytes;
};

class Recorder {
public:
    void record(const sim::Traffic& t) {
        if (t.hand == nullptr) {
            return;
        }
        const auto at = Wall::now();
        std::lock_guard<std::mutex> lock(mutex_);
        if (on_) {
            log_.push_back({at, t.sent, t.local_ip, t.port, t.sent ? std::string() : t.bytes});
        }
    }
    void set_on(bool on) {
        std::lock_guard<std::mutex> lock(mutex_);
        on_ = on;
    }
    std::vector<Datagram> take() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::move(log_);
    }

private:
    std::mutex mutex_;
    bool on_ = false;
    std::vector<Datagram> log_;
};

double process_cpu_seconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Fields after the command name, which is in parentheses and may hold spaces.
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) {
            utime = std::stoull(field);
        } else if (i == 15) {
            stime = std::stoull(field);
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct Row {
    double rate_hz = 0;
    Spread command, state;
    std::size_t commands_written = 0;
    double cpu_percent = 0;
};

Row measure(double rate_hz, std::chrono::seconds length, Recorder& recorder) {
    Row row;
    row.rate_hz = rate_hz;
    const std::string rate = std::to_string(static_cast<int>(rate_hz));
    const pid_t child = fork();
    if (child == 0) {
        execl(DEXHAND_BRIDGE_PATH, DEXHAND_BRIDGE_PATH, "--rate", rate.c_str(), "-q", static_cast<char*>(nullptr));
        _exit(127);
    }

    Probe probe(kDomain);
    std::vector<dds_entity_t> readers, writers;
    for (const auto& ip : kHands) {
        const std::string ns = "rt/dexhand/hand_" + ip.substr(ip.rfind('.') + 1);
        readers.push_back(probe.reader(sensor_msgs_msg_dds__JointState__desc, ns + "/joint_states"));
        writers.push_back(probe.writer(sensor_msgs_msg_dds__JointState__desc, ns + "/joint_commands"));
    }
    for (std::size_t h = 0; h < kHands.size(); ++h) {
        if (!Probe::wait_matched(readers[h], 20s) || !Probe::wait_matched(writers[h], 20s)) {
            std::cerr << "bridge bench: the bridge's topics did not appear\n";
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
            std::exit(1);
        }
    }
    std::this_thread::sleep_for(1s);  // past the first samples and matches

    // Samples as they arrive: hand, arrival, stamp.
    struct Sample {
        std::size_t hand;
        Wall::time_point arrived, stamp;
    };
    std::mutex samples_mutex;
    std::vector<Sample> samples;
    std::atomic<bool> running{true};
    std::vector<std::thread> takers;
    for (std::size_t h = 0; h < kHands.size(); ++h) {
        // Woken by the sample itself (a read condition), so that its arrival
        // is timed to the wake-up, not to a polling period.
        takers.emplace_back([&, h] {
            const dds_entity_t waitset = dds_create_waitset(probe.participant());
            const dds_entity_t condition = dds_create_readcondition(readers[h], DDS_ANY_STATE);
            dds_waitset_attach(waitset, condition, 0);
            while (running) {
                if (dds_waitset_wait(waitset, nullptr, 0, DDS_MSECS(50)) <= 0) {
                    continue;
                }
                const auto arrived = Wall::now();
                while (const auto got = Probe::take_joint_state(readers[h], 0ms)) {
                    const auto stamp = Wall::time_point(std::chrono::duration_cast<Wall::duration>(
                        std::chrono::seconds(got->message.stamp.sec) +
                        std::chrono::nanoseconds(got->message.stamp.nanosec)));
                    std::lock_guard<std::mutex> lock(samples_mutex);
                    samples.push_back({h, arrived, stamp});
                }
            }
            dds_delete(condition);
            dds_delete(waitset);
        });
    }

    recorder.set_on(true);
    const auto wall_start = Wall::now();
    const double cpu_before = process_cpu_seconds(child);
    const auto start = std::chrono::steady_clock::now();
    const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(1.0 / rate_hz));
    std::vector<std::vector<std::pair<Wall::time_point, double>>> written(kHands.size());
    std::vector<double> positions(12, 90.0);
    long long k = 0;
    for (auto next = start; next - start < length; next += period, ++k) {
        std::this_thread::sleep_until(next);
        positions[0] = joint0_of(k);
        for (std::size_t h = 0; h < kHands.size(); ++h) {
            sensor_msgs_msg_dds__JointState_ message{};
            message.header.frame_id = const_cast<char*>("");
            message.position._length = message.position._maximum = static_cast<uint32_t>(positions.size());
            message.position._buffer = positions.data();
            written[h].emplace_back(Wall::now(), positions[0]);
            dds_write(writers[h], &message);
        }
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    row.cpu_percent = 100.0 * (process_cpu_seconds(child) - cpu_before) / elapsed;
    std::this_thread::sleep_for(200ms);  // the last commands and samples arrive
    recorder.set_on(false);
    running = false;
    for (auto& t : takers) {
        t.join();
    }
    kill(child, SIGINT);
    waitpid(child, nullptr, 0);

    // Each datagram that reached a hand, decoded by a hand of the same kind
    // off the wire: a command is one that moves its targets.
    const auto log = recorder.take();
    std::vector<std::vector<std::pair<Wall::time_point, double>>> commands(kHands.size());
    std::vector<std::vector<Wall::time_point>> replies(kHands.size());
    for (std::size_t h = 0; h < kHands.size(); ++h) {
        sim::Qmhv2Hand decoder(kHands[h]);
        for (const auto& d : log) {
            if (d.hand != kHands[h]) {
                continue;
            }
            if (d.sent) {
                replies[h].push_back(d.at);
                continue;
            }
            const auto before = decoder.targets();
            decoder.respond(d.port, d.bytes);
            const auto after = decoder.targets();
            if (!after.empty() && after != before) {
                commands[h].emplace_back(d.at, after[0]);
            }
        }
    }

    for (auto& sent : replies) {
        std::sort(sent.begin(), sent.end());
    }
    std::vector<double> command_us, state_us;
    for (std::size_t h = 0; h < kHands.size(); ++h) {
        row.commands_written += written[h].size();
        for (const auto& [at, joint0] : written[h]) {
            const auto match = std::find_if(commands[h].begin(), commands[h].end(), [&](const auto& c) {
                return c.first >= at && std::fabs(c.second - joint0) < 0.005;
            });
            if (match != commands[h].end()) {
                command_us.push_back(microseconds(match->first - at));
            }
        }
    }
    for (const auto& s : samples) {
        const auto& sent = replies[s.hand];
        const auto after = std::upper_bound(sent.begin(), sent.end(), s.stamp);
        if (after != sent.begin() && s.stamp >= wall_start) {
            state_us.push_back(microseconds(s.arrived - *(after - 1)));
        }
    }
    row.command = spread_of(command_us);
    row.state = spread_of(state_us);
    return row;
}

}  // namespace

int main(int argc, char** argv) {
    std::string table_path;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--table=", 0) == 0) {
            table_path = arg.substr(8);
        }
    }
    if (!dexhand_test::inside_private_network()) {
        return 1;
    }
    setenv("CYCLONEDDS_URI", kCycloneConfig, 1);
    setenv("ROS_DOMAIN_ID", std::to_string(kDomain).c_str(), 1);

    sim::Simulator simulator;
    for (const auto& ip : kHands) {
        auto hand = simulator.add<sim::Qmhv2Hand>(ip);
        hand->set_discovery(sim::DiscoveryAnswer().with_text(
            sim::JsonObject().str("name", "qmhv2").str("type", "QMH-12L").str("IP", ip).text()));
    }
    Recorder recorder;
    simulator.set_observer([&](const sim::Traffic& t) { recorder.record(t); });

    std::ostringstream table;
    table << "| joint states and commands per hand | command sample to datagram, median / p99 | "
             "reply to joint-state sample, median / p99 | commands arrived | bridge CPU (one core) |\n"
          << "|---:|---:|---:|---:|---:|\n";
    for (const auto& [rate, seconds] : {std::pair<double, int>{50, 10}, {500, 5}}) {
        std::cerr << "bridge bench: " << rate << " Hz, three hands, " << seconds << " s\n";
        const Row row = measure(rate, std::chrono::seconds(seconds), recorder);
        char line[256];
        std::snprintf(line, sizeof line, "| %.0f Hz | %.0f / %.0f us | %.0f / %.0f us | %zu of %zu | %.1f %% |\n",
                      row.rate_hz, row.command.median_us, row.command.p99_us, row.state.median_us,
                      row.state.p99_us, row.command.count, row.commands_written, row.cpu_percent);
        table << line;
    }
    std::cout << table.str();
    if (!table_path.empty()) {
        std::ofstream(table_path, std::ios::app) << "\n" << table.str();
    }
    return 0;
}
