#pragma once

// dexhand serve: a local web dashboard over the discovered hands. One worker
// thread per hand owns every call to that hand (the library does not
// serialise calls for one hand), polls it, and runs the commands the page
// sends, in order. Browsers read the latest state the workers published, so
// a slow or vanished browser never holds up a hand.

#include <string>

#include "commands.h"

namespace dexhand_cli {

struct ServeOptions {
    std::string address = "127.0.0.1";
    int port = 8080;              // 0: any free port (the URL printed says which)
    bool allow_remote = false;    // needed to bind anything but loopback
    std::string web_root;         // the page's files; empty: beside the program
    double poll_hz = 10.0;        // polls per second per hand
    double commands_per_second = 10.0;  // per hand; more are refused with 429
};

// Runs until SIGINT or SIGTERM.
int serve_command(Context& context, const ServeOptions& options);

// True when the two texts are equal; the time taken depends only on the
// length of the expected text, not on where they differ.
bool same_token(const std::string& expected, const std::string& given);

}  // namespace dexhand_cli
