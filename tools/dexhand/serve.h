#pragma once

// dexhand serve: a local web dashboard over the discovered hands, on the
// typed client. serve_worker.h polls and commands the hands, serve_http.h
// answers the browsers, serve_checks.h holds the pure checks both rely on.

#include <string>

#include "console.h"
#include "tessaro_dexhand/tessaro_dexhand.h"

namespace dexhand_cli {

struct ServeOptions {
    std::string address = "127.0.0.1";  // a numeric address or a host name
    int port = 8080;                    // 0: any free port (the URL printed says which)
    bool allow_remote = false;          // needed to bind anything but loopback
    std::string web_root;               // the page's files; empty: beside the program
    double poll_hz = 10.0;              // polls per second per hand
    double commands_per_second = 10.0;  // requests to one hand; more are refused with 429
};

// Discovers, then serves until SIGINT or SIGTERM. Returns an exit status;
// throws Failure for bad options or when no hand can be served.
int serve_command(tessaro_dexhand::Client& client, Console& console, const ServeOptions& options);

}  // namespace dexhand_cli
