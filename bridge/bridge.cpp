#include "bridge.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "naming.h"
#include "ros_dds.h"

namespace bridge {
namespace {

thread_local bool library_muted = false;

using Level = tessaro_dexhand::LogLevel;
using SteadyClock = std::chrono::steady_clock;
using tessaro_dexhand::KindInfo;
using tessaro_dexhand::Operation;
using tessaro_dexhand::Status;

// How long, and in how many polls in a row, a hand must fail its position
// read before it is reported as silent.
constexpr auto kSilence = std::chrono::seconds(1);
constexpr int kMissesInARow = 2;

// The first IPv4 address of a network interface, or an empty text.
std::string interface_address(const std::string& name) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return "";
    }
    std::string address;
    for (const ifaddrs* entry = list; entry != nullptr && address.empty(); entry = entry->ifa_next) {
        if (entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET && name == entry->ifa_name) {
            char text[INET_ADDRSTRLEN] = {};
            const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
            if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) != nullptr) {
                address = text;
            }
        }
    }
    freeifaddrs(list);
    return address;
}

}  // namespace

bool library_lines_muted() { return library_muted; }

struct Bridge::Shared {
    ros::Entity domain;
    ros::Entity participant;
    ros::Entity waitset;
    dds_entity_t wake = 0;  // guard condition that ends the command wait

    // The publisher's side of the latest-value slots (the slots live in Hand).
    std::mutex mutex;
    std::condition_variable ready;
    bool fresh = false;
};

struct Bridge::Hand {
    std::string ip;
    std::string ros_namespace;
    const KindInfo* kind = nullptr;

    ros::Entity joint_writer;
    ros::Entity tactile_writer;
    ros::Entity command_reader;

    // Latest readings waiting for the publisher (guarded by Shared::mutex).
    std::optional<ros::JointState> joint_sample;
    std::optional<ros::ImageMessage> tactile_sample;

    // Latest command waiting for the polling thread.
    std::mutex mutex;
    std::condition_variable wake;
    std::optional<std::vector<float>> command;

    std::thread thread;
};

Bridge::Bridge(Options options, Report report)
    : options_(std::move(options)), report_(std::move(report)), shared_(std::make_unique<Shared>()) {}

Bridge::~Bridge() {
    stop();
    for (auto& hand : hands_) {
        if (hand->thread.joinable()) {
            hand->thread.join();
        }
    }
    // Endpoints before their participant.
    hands_.clear();
    shared_->waitset.reset();
    shared_->participant.reset();
    shared_->domain.reset();
}

bool Bridge::start(std::string& error) {
    const Status discovery = client_.discover();
    for (const auto& device : client_.skipped()) {
        report_(Level::warning, "skipped " + device.address + " (" + device.kind + ", " + device.type + "): " +
                                    device.reason);
    }
    const std::vector<tessaro_dexhand::HandInfo> registered = client_.hands();
    if (registered.empty()) {
        error = discovery == Status::timeout ? "no hand answered discovery" : "no hand that the bridge can serve";
        return false;
    }

    std::set<std::string> used;
    for (const auto& info : registered) {
        auto hand = std::make_unique<Hand>();
        hand->ip = info.address;
        hand->kind = info.kind_info();
        if (hand->kind == nullptr) {
            continue;  // a registered hand always has its kind's facts
        }
        const auto named = options_.names.find(hand->ip);
        hand->ros_namespace = named != options_.names.end() ? named->second : default_namespace(hand->ip);
        if (!used.insert(hand->ros_namespace).second) {
            error = "two hands would share the namespace " + hand->ros_namespace +
                    "; give them names in a names file (--names)";
            return false;
        }
        hands_.push_back(std::move(hand));
    }
    for (const auto& entry : options_.names) {
        bool found = false;
        for (const auto& hand : hands_) {
            found = found || hand->ip == entry.first;
        }
        if (!found) {
            report_(Level::warning, "no hand at " + entry.first + " (named " + entry.second + ")");
        }
    }
    if (hands_.empty()) {
        error = "no hand that the bridge can serve";
        return false;
    }

    if (!start_domain(error)) {
        return false;
    }
    const dds_entity_t participant = dds_create_participant(options_.domain_id, nullptr, nullptr);
    if (participant < 0) {
        error = "cannot join DDS domain " + std::to_string(options_.domain_id) + ": " +
                dds_strretcode(participant);
        return false;
    }
    shared_->participant = ros::Entity(participant);
    shared_->waitset = ros::Entity(dds_create_waitset(participant));
    shared_->wake = dds_create_guardcondition(participant);
    if (!shared_->waitset.ok() || shared_->wake < 0 ||
        dds_waitset_attach(shared_->waitset.get(), shared_->wake, -1) != DDS_RETCODE_OK) {
        error = "cannot set up a DDS wait set";
        return false;
    }

    for (std::size_t i = 0; i < hands_.size(); ++i) {
        Hand& hand = *hands_[i];
        const std::string& ns = hand.ros_namespace;
        hand.joint_writer = ros::Entity(ros::create_writer(participant, sensor_msgs_msg_dds__JointState__desc,
                                                           dds_topic(ns, "joint_states"), ros::kJointStateTypeHash));
        hand.command_reader = ros::Entity(ros::create_command_reader(participant, sensor_msgs_msg_dds__JointState__desc,
                                                                     dds_topic(ns, "joint_commands"),
                                                                     ros::kJointStateTypeHash));
        bool ok = hand.joint_writer.ok() && hand.command_reader.ok();
        if (hand.kind->has_tactile()) {
            hand.tactile_writer =
                ros::Entity(ros::create_writer(participant, sensor_msgs_msg_dds__Image__desc, dds_topic(ns, "tactile"), ""));
            ok = ok && hand.tactile_writer.ok();
        }
        ok = ok && dds_set_status_mask(hand.command_reader.get(), DDS_DATA_AVAILABLE_STATUS) == DDS_RETCODE_OK &&
             dds_waitset_attach(shared_->waitset.get(), hand.command_reader.get(), static_cast<dds_attach_t>(i)) ==
                 DDS_RETCODE_OK;
        if (!ok) {
            error = "cannot create the DDS topics of " + ns;
            return false;
        }
        report_(Level::info, "serving " + hand.ip + " (" + hand.kind->name + ") as " + ns);
    }
    return true;
}

bool Bridge::start_domain(std::string& error) {
    const std::string domain = "DDS domain " + std::to_string(options_.domain_id);
    const bool from_uri = !options_.cyclone_uri.empty();
    if (from_uri && !options_.dds_interface.empty()) {
        report_(Level::warning, "--dds-interface " + options_.dds_interface + " is not used: CYCLONEDDS_URI is set and wins");
    }
    std::vector<std::string> interfaces;
    std::string why;
    const dds_entity_t created = ros::create_domain(
        options_.domain_id, ros::domain_config(options_.dds_interface, options_.cyclone_uri), interfaces, why);
    if (created < 0) {
        error = "cannot join " + domain + ": " + (why.empty() ? dds_strretcode(created) : why);
        return false;
    }
    shared_->domain = ros::Entity(created);
    std::string where;
    for (const std::string& name : interfaces) {
        where += (where.empty() ? "" : ", ") + name;
        const std::string address = interface_address(name);
        if (!address.empty()) {
            where += " (" + address + ")";
        }
    }
    const std::string source = from_uri ? ", as CYCLONEDDS_URI sets it" : "";
    report_(Level::info, where.empty() ? domain + " on the interface CYCLONEDDS_URI sets"
                                       : domain + " on interface " + where + source);
    return true;
}

std::vector<std::pair<std::string, std::string>> Bridge::hands() const {
    std::vector<std::pair<std::string, std::string>> list;
    for (const auto& hand : hands_) {
        list.emplace_back(hand->ip, hand->ros_namespace);
    }
    return list;
}

void Bridge::run() {
    if (!shared_->participant.ok()) {
        return;
    }
    for (auto& hand : hands_) {
        Hand* h = hand.get();
        h->thread = std::thread([this, h] { poll_hand(*h); });
    }
    std::thread publisher([this] { publish(); });

    std::vector<dds_attach_t> triggered(hands_.size() + 1);
    while (!stopping_) {
        const dds_return_t n = dds_waitset_wait(shared_->waitset.get(), triggered.data(), triggered.size(),
                                                DDS_INFINITY);
        for (dds_return_t i = 0; i < n; ++i) {
            const dds_attach_t index = triggered[static_cast<std::size_t>(i)];
            if (index >= 0 && static_cast<std::size_t>(index) < hands_.size()) {
                take_commands(*hands_[static_cast<std::size_t>(index)]);
            }
        }
        if (n < 0) {
            report_(Level::error, std::string("waiting for commands failed: ") + dds_strretcode(n));
            break;
        }
    }
    stop();
    publisher.join();
    for (auto& hand : hands_) {
        hand->thread.join();
    }
}

void Bridge::stop() {
    stopping_ = true;
    if (shared_->wake > 0) {
        dds_set_guardcondition(shared_->wake, true);
    }
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->ready.notify_all();
    }
    for (auto& hand : hands_) {
        std::lock_guard<std::mutex> lock(hand->mutex);
        hand->wake.notify_all();
    }
}

void Bridge::take_commands(Hand& hand) {
    constexpr std::uint32_t kBatch = 16;
    void* samples[kBatch] = {};
    dds_sample_info_t infos[kBatch];
    std::optional<std::vector<float>> latest;
    dds_return_t n;
    while ((n = dds_take(hand.command_reader.get(), samples, infos, kBatch, kBatch)) > 0) {
        for (dds_return_t i = 0; i < n; ++i) {
            if (!infos[i].valid_data) {
                continue;
            }
            const auto& message = *static_cast<const sensor_msgs_msg_dds__JointState_*>(samples[i]);
            std::vector<double> positions;
            if (message.position._buffer != nullptr) {
                positions.assign(message.position._buffer, message.position._buffer + message.position._length);
            }
            std::vector<float> targets;
            if (const auto why = check_command(positions, *hand.kind, targets)) {
                report_(Level::warning, "dropped a command on " + hand.ros_namespace + "/joint_commands: " + *why);
                continue;
            }
            latest = std::move(targets);
        }
        dds_return_loan(hand.command_reader.get(), samples, n);
    }
    if (latest) {
        std::lock_guard<std::mutex> lock(hand.mutex);
        hand.command = std::move(latest);
        hand.wake.notify_one();
    }
}

void Bridge::poll_hand(Hand& hand) {
    const auto period = std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(1.0 / options_.rate_hz));
    auto next = SteadyClock::now();
    auto last_answer = next;
    int misses = 0;
    bool answering = true;
    Status last_command = Status::ok;
    const std::string frame_id = hand.ros_namespace.substr(1);
    // Velocity and effort go out exactly when the kind reports them.
    const unsigned extra_parts =
        (hand.kind->serves(Operation::read_velocities) ? tessaro_dexhand::velocities_part : 0u) |
        (hand.kind->serves(Operation::read_currents) ? tessaro_dexhand::currents_part : 0u);
    while (true) {
        std::optional<std::vector<float>> command;
        {
            std::unique_lock<std::mutex> lock(hand.mutex);
            hand.wake.wait_until(lock, next, [&] { return stopping_ || hand.command.has_value(); });
            if (stopping_) {
                return;
            }
            command.swap(hand.command);
        }
        if (command) {
            // Reported once per run of failures, so a silent hand under a
            // stream of commands does not flood the log.
            const Status status = client_.fast_set_positions(hand.ip, *command);
            if (status != Status::ok && status != last_command) {
                report_(Level::warning, "a command on " + hand.ros_namespace + "/joint_commands was not applied: " +
                                            tessaro_dexhand::to_text(status));
            }
            last_command = status;
            continue;
        }
        if (SteadyClock::now() < next) {
            continue;
        }

        // Positions first: a silent hand then costs one time-out per poll.
        const auto reading = client_.positions(hand.ip);
        const auto when = std::chrono::system_clock::now();
        const bool ok = reading.ok();
        // A reply missed now and then (a short budget on a busy host) is not a
        // silent hand: failed position reads in a row for a second are.
        misses = ok ? 0 : misses + 1;
        const bool silent = misses >= kMissesInARow && SteadyClock::now() - last_answer >= kSilence;
        if (ok) {
            last_answer = SteadyClock::now();
        }
        if ((ok && !answering) || (silent && answering)) {
            answering = ok;
            library_muted = !ok;
            report_(ok ? Level::info : Level::warning,
                    "hand " + hand.ip + " (" + hand.ros_namespace + ") " +
                        (ok ? "answers again" : "stopped answering; serving the others"));
        }
        if (ok) {
            ros::JointState state;
            state.stamp = stamp_of(when);
            state.frame_id = frame_id;
            state.name = hand.kind->joint_names;
            state.position.assign(reading.value.begin(), reading.value.end());
            if (extra_parts != 0) {
                // A part missed this once is left empty, as ROS allows.
                const auto extra = client_.state(hand.ip, extra_parts);
                if (extra.velocities_status == Status::ok && extra.velocities.size() == state.position.size()) {
                    state.velocity.assign(extra.velocities.begin(), extra.velocities.end());
                }
                if (extra.currents_status == Status::ok && extra.currents.size() == state.position.size()) {
                    state.effort.assign(extra.currents.begin(), extra.currents.end());
                }
            }
            std::optional<ros::ImageMessage> image;
            if (hand.kind->has_tactile()) {
                const auto rows = client_.tactile(hand.ip);
                if (rows.ok() && !rows.value.empty()) {
                    image.emplace();
                    image->stamp = stamp_of(std::chrono::system_clock::now());
                    image->frame_id = frame_id;
                    image->image = tactile_image(rows.value);
                }
            }
            std::lock_guard<std::mutex> lock(shared_->mutex);
            hand.joint_sample = std::move(state);
            if (image) {
                hand.tactile_sample = std::move(image);
            }
            shared_->fresh = true;
            shared_->ready.notify_one();
        }

        // A hand slower than the rate is polled as fast as it answers, without
        // a burst to catch up afterwards.
        next += period;
        const auto now = SteadyClock::now();
        if (next < now) {
            next = now;
        }
    }
}

void Bridge::publish() {
    while (true) {
        std::vector<std::pair<Hand*, ros::JointState>> states;
        std::vector<std::pair<Hand*, ros::ImageMessage>> images;
        {
            std::unique_lock<std::mutex> lock(shared_->mutex);
            shared_->ready.wait(lock, [&] { return stopping_ || shared_->fresh; });
            if (stopping_) {
                return;
            }
            shared_->fresh = false;
            for (auto& hand : hands_) {
                if (hand->joint_sample) {
                    states.emplace_back(hand.get(), std::move(*hand->joint_sample));
                    hand->joint_sample.reset();
                }
                if (hand->tactile_sample) {
                    images.emplace_back(hand.get(), std::move(*hand->tactile_sample));
                    hand->tactile_sample.reset();
                }
            }
        }
        // Written outside the lock: a reliable writer may wait for a slow
        // reader here, which holds up only the publisher.
        for (const auto& entry : states) {
            ros::write_joint_state(entry.first->joint_writer.get(), entry.second);
        }
        for (const auto& entry : images) {
            ros::write_image(entry.first->tactile_writer.get(), entry.second);
        }
    }
}

}  // namespace bridge
