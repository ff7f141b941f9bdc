// dexhand-sim: simulated hands for users without hardware. See --help.
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "inspire_hand.h"
#include "options.h"
#include "private_network.h"
#include "qmhv1_hand.h"
#include "qmhv2_hand.h"
#include "simulator.h"
#include "traffic_log.h"

namespace {

constexpr int kBadUse = 2;
constexpr int kCannotRun = 1;

void say(const std::string& line) { std::fprintf(stderr, "dexhand-sim: %s\n", line.c_str()); }

// Hand addresses are real addresses: binding them on a machine's own network
// would answer real clients. Only a private namespace makes that safe.
bool network_is_safe(bool on_hand_subnet) {
    const sim::NetworkSurvey survey = sim::survey_network();
    if (survey.failure.empty() && survey.only_loopback) {
        return true;
    }
    const std::string found = !survey.failure.empty() ? survey.failure
                                                      : "found network interface \"" + survey.other_interface + "\"";
    if (on_hand_subnet) {
        say("WARNING: not in a private network namespace (" + found +
            "); --on-hand-subnet: the simulated hands will answer real clients on this network");
        return true;
    }
    say("refusing to start outside a private network namespace (" + found +
        "): the simulated hands would answer real clients. Run it inside one: "
        "tests/netns/run-in-netns build/sim/dexhand-sim ... (or give --on-hand-subnet if this machine "
        "really sits on a hand subnet)");
    return false;
}

std::shared_ptr<sim::Hand> make_hand(sim::Simulator& simulator, const dexhand_sim::HandSpec& setup) {
    if (setup.kind == "qmhv1") {
        return simulator.add<sim::Qmhv1Hand>(setup.ip);
    }
    if (setup.kind == "qmhv2") {
        return simulator.add<sim::Qmhv2Hand>(setup.ip);
    }
    return simulator.add<sim::InspireHand>(setup.ip);
}

void configure(sim::Hand& hand, const dexhand_sim::HandSpec& setup, bool lively) {
    if (lively) {
        sim::Lively alive;
        alive.on = true;
        // Hands at different addresses fault at different times.
        alive.seed = static_cast<unsigned>(std::hash<std::string>()(setup.ip));
        hand.set_lively(alive);
    }
    hand.set_identity(setup.identity);
    sim::DiscoveryAnswer discovery;
    discovery.text = sim::discovery_text(setup.identity);
    discovery.answer = setup.discovery && !setup.faults.silent;
    discovery.delay_ms = setup.faults.delay_ms;
    discovery.copies = setup.faults.copies;
    hand.set_discovery(discovery);
    hand.set_faults(setup.faults);
}

std::string describe(const dexhand_sim::HandSpec& setup) {
    std::string line = "  " + setup.kind + "@" + setup.ip + "  name " + setup.identity.name + "  type " +
                       setup.identity.type + "  serial " + setup.identity.serial_number;
    if (!setup.discovery) {
        line += "  (ignores discovery)";
    }
    if (setup.faults.silent) {
        line += "  (silent)";
    }
    if (setup.faults.delay_ms > 0) {
        line += "  (delay " + std::to_string(setup.faults.delay_ms) + " ms)";
    }
    if (setup.faults.copies > 1) {
        line += "  (" + std::to_string(setup.faults.copies) + " copies)";
    }
    if (!setup.faults.before.empty()) {
        line += "  (garbage before answers)";
    }
    return line;
}

}  // namespace

int main(int argc, char** argv) {
    dexhand_sim::Options options;
    std::string error;
    if (!dexhand_sim::parse_options(argc, argv, options, error)) {
        say(error + " (see --help)");
        return kBadUse;
    }
    if (options.help) {
        std::fputs(dexhand_sim::usage().c_str(), stdout);
        return 0;
    }
    // Before any socket exists.
    if (!network_is_safe(options.on_hand_subnet)) {
        return kBadUse;
    }
    for (const auto& setup : options.hands) {
        if (setup.identity.name == "QSH" && setup.ip != "192.168.137.19" && setup.ip != "192.168.137.39") {
            say("note: the library registers QSH hands only at 192.168.137.19 and 192.168.137.39, not at " + setup.ip);
        }
        // The library reads 512 bytes of a discovery reply and cannot parse a cut one.
        const std::size_t reply_bytes = sim::discovery_text(setup.identity).size();
        if (reply_bytes > 512) {
            say("note: the discovery reply of " + setup.ip + " has " + std::to_string(reply_bytes) +
                " bytes; the library reads only the first 512");
        }
    }

    // Every thread started from here on leaves the stop signals to sigwait below.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    std::unique_ptr<sim::Simulator> simulator;
    try {
        simulator = std::make_unique<sim::Simulator>();
        std::map<const sim::Hand*, std::string> labels;
        for (const auto& setup : options.hands) {
            auto hand = make_hand(*simulator, setup);
            configure(*hand, setup, options.lively);
            labels[hand.get()] = setup.kind + "@" + setup.ip;
        }
        if (options.log) {
            // Shared, so that the simulator's copies of the observer stay cheap.
            auto names = std::make_shared<const std::map<const sim::Hand*, std::string>>(std::move(labels));
            auto lock = std::make_shared<std::mutex>();
            simulator->set_observer([names, lock](const sim::Traffic& traffic) {
                const auto label = names->find(traffic.hand);
                const std::string hand =
                    label != names->end() ? label->second : "discovery@" + traffic.local_ip;
                const std::string line = dexhand_sim::traffic_line(dexhand_sim::clock_text(), hand, traffic);
                std::lock_guard<std::mutex> guard(*lock);
                std::fprintf(stdout, "%s\n", line.c_str());
                std::fflush(stdout);
            });
        }
    } catch (const sim::BindError& failure) {
        simulator.reset();
        if (failure.error == EADDRNOTAVAIL) {
            say(failure.ip + " is not a local address here. Run inside the private network namespace: "
                "tests/netns/run-in-netns build/sim/dexhand-sim ...");
        } else {
            say("cannot bind " + failure.ip + ":" + std::to_string(failure.port) + ": " + std::strerror(failure.error));
        }
        return kCannotRun;
    } catch (const std::exception& failure) {
        simulator.reset();
        say(failure.what());
        return kCannotRun;
    }

    std::printf("dexhand-sim: %zu hands ready\n", options.hands.size());
    std::fflush(stdout);
    for (const auto& setup : options.hands) {
        std::printf("%s\n", describe(setup).c_str());
    }
    std::fflush(stdout);

    int signal_number = 0;
    while (sigwait(&stop_signals, &signal_number) != 0) {
    }
    simulator.reset();  // joins its thread and closes every socket
    return 0;
}
