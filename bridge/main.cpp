// dexhand-bridge: publishes every hand on the hand subnet as ROS 2 topics over
// DDS, and applies the position commands it receives.
#include <CLI/CLI.hpp>

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <thread>

#include "bridge.h"
#include "naming.h"

namespace {

std::mutex output_mutex;

// Each line goes out in one write, so lines of different threads never mix.
void print_line(bool with_level, tessaro_dexhand::LogLevel level, std::string_view text) {
    std::string line;
    if (with_level) {
        line = std::string("[") + tessaro_dexhand::to_text(level) + "] ";
    }
    line.append(text.data(), text.size());
    line += '\n';
    std::lock_guard<std::mutex> lock(output_mutex);
    std::cerr << line << std::flush;
}

int fail(const std::string& message) {
    print_line(false, tessaro_dexhand::LogLevel::error, "dexhand-bridge: " + message);
    return 1;
}

// ROS_DOMAIN_ID: unset or empty is domain 0, as ROS 2 has it.
bool domain_from_environment(std::uint32_t& domain, std::string& error) {
    const char* text = std::getenv("ROS_DOMAIN_ID");
    if (text == nullptr || *text == '\0') {
        domain = 0;
        return true;
    }
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < 0 || value > 232) {
        error = std::string("ROS_DOMAIN_ID must be a number from 0 to 232, not \"") + text + "\"";
        return false;
    }
    domain = static_cast<std::uint32_t>(value);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Publishes every hand on the hand subnet as ROS 2 topics over DDS: for each hand\n"
                 "<ns>/joint_states and <ns>/tactile (hands with a tactile matrix), and applies\n"
                 "the positions received on <ns>/joint_commands. <ns> is /dexhand/hand_<last octet>\n"
                 "of the hand's address unless a names file says otherwise. The DDS domain is\n"
                 "ROS_DOMAIN_ID (default 0); the network interface --dds-interface, or\n"
                 "CYCLONEDDS_URI when it is set.",
                 "dexhand-bridge"};
    app.footer("Example:\n"
               "  dexhand-bridge --rate 100 --names hands.txt --dds-interface eth1\n"
               "with hands.txt holding lines like \"192.168.137.39 /left_hand\". Ctrl-C stops it.");
    double rate = 50.0;
    std::string names_file;
    bool quiet = false;
    bool verbose = false;
    app.add_option("-r,--rate", rate, "joint_states per second per hand")->check(CLI::Range(0.1, 1000.0))->capture_default_str();
    app.add_option("-n,--names", names_file, "file of \"ADDRESS NAMESPACE\" lines naming hands");
    std::string dds_interface;
    app.add_option("-i,--dds-interface", dds_interface,
                   "network interface (name or IPv4 address) for DDS, the one that reaches the ROS 2 machines; "
                   "CYCLONEDDS_URI, when set, wins");
    app.add_flag("-q,--quiet", quiet, "print none of the library's lines");
    app.add_flag("-v,--verbose", verbose, "prefix every line with its level");
    CLI11_PARSE(app, argc, argv);

    // Ctrl-C and SIGTERM are taken by a thread of their own, so that every
    // other thread runs undisturbed and the stop goes through normal code.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    tessaro_dexhand::set_log_handler([quiet, verbose](tessaro_dexhand::LogLevel level, std::string_view text) {
        if (!quiet && !bridge::library_lines_muted()) {
            print_line(verbose, level, text);
        }
    });

    bridge::Options options;
    options.rate_hz = rate;
    options.dds_interface = dds_interface;
    if (const char* uri = std::getenv("CYCLONEDDS_URI")) {
        options.cyclone_uri = uri;
    }
    std::string error;
    if (!domain_from_environment(options.domain_id, error)) {
        return fail(error);
    }
    if (!names_file.empty()) {
        std::ifstream in(names_file);
        if (!in) {
            return fail("cannot read the names file " + names_file);
        }
        auto names = bridge::parse_names(in, error);
        if (!names) {
            return fail(names_file + " " + error);
        }
        options.names = std::move(*names);
    }

    bridge::Bridge bridge(options, [verbose](tessaro_dexhand::LogLevel level, const std::string& text) {
        print_line(verbose, level, text);
    });
    if (!bridge.start(error)) {
        return fail(error);
    }
    std::thread signal_thread([&bridge, stop_signals] {
        int signal = 0;
        sigwait(&stop_signals, &signal);
        bridge.stop();
    });
    bridge.run();
    // run() also ends on a DDS failure; wake the signal thread then.
    pthread_kill(signal_thread.native_handle(), SIGTERM);
    signal_thread.join();
    return 0;
}
