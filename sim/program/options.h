#pragma once

// The command line and scenario file of dexhand-sim, read into one plain
// description of the hands to run. Nothing here touches the network.

#include <string>
#include <vector>

#include "identity.h"
#include "simulator.h"

namespace dexhand_sim {

struct HandSpec {
    std::string kind;  // "qmhv1", "qmhv2" or "QSH"
    std::string ip;
    sim::Identity identity;
    sim::Faults faults;
    bool discovery = true;  // answers discovery requests
};

struct Options {
    std::vector<HandSpec> hands;
    bool log = false;
    bool on_hand_subnet = false;
    bool lively = true;
    bool help = false;
};

// Reads argv (and the scenario file it names) into options. On a mistake
// returns false with a one-line explanation in error.
bool parse_options(int argc, const char* const* argv, Options& options, std::string& error);

// Reads a scenario (JSON text) into options; where names the text in errors.
bool read_scenario(const std::string& text, const std::string& where, Options& options, std::string& error);

// The --help text.
std::string usage();

}  // namespace dexhand_sim
