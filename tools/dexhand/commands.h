#pragma once

// The subcommands of dexhand, over the typed API. Each validates its
// arguments, discovers the hands, checks that the hand's kind serves the
// operation (KindInfo), runs it and prints its result: text for people, or
// exactly one JSON document.

#include <stdexcept>
#include <string>
#include <vector>

#include "console.h"
#include "kinds.h"
#include "tessaro_dexhand/tessaro_dexhand.h"

namespace dexhand_cli {

// Exit statuses, also listed in --help.
enum ExitCode : int {
    kExitOk = 0,
    kExitFailed = 1,       // the hand refused the command or its reply was not understood
    kExitUsage = 2,        // bad arguments: options, address text, values, configuration file
    kExitNotFound = 3,     // no hand answered discovery, or none at the address
    kExitTimeout = 4,      // the hand did not answer in time
    kExitUnsupported = 5,  // the hand's kind does not serve the operation
};

// Ends a command with its exit status and one message for standard error.
class Failure : public std::runtime_error {
public:
    Failure(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
    int code() const { return code_; }

private:
    int code_;
};

struct Context {
    tessaro_dexhand::Client& api;
    Console& console;
    bool json = false;    // one JSON document on standard output
    bool screen = false;  // standard output is a terminal: redraw in place
    bool colour = false;  // ... and colours are wanted
};

int discover_command(Context& context);
int pos_command(Context& context, const std::string& address);
int move_command(Context& context, const std::string& address, const std::vector<float>& values, bool fast);
// enable, disable or reboot: one hand, or every discovered hand when the
// address is empty.
int state_command(Context& context, tessaro_dexhand::Operation operation, const std::string& address);
// One hand, or every discovered hand whose kind is calibrated when the
// address is empty.
int calibrate_command(Context& context, const std::string& address);
int errors_command(Context& context, const std::string& address);
int clear_errors_command(Context& context, const std::string& address);
int pvc_command(Context& context, const std::string& address);
int tactile_command(Context& context, const std::string& address);
int config_get_command(Context& context, const std::string& address);
// file "-" reads standard input.
int config_set_command(Context& context, const std::string& address, const std::string& file);
// count 0: until SIGINT or SIGTERM.
int watch_command(Context& context, const std::string& address, double rate_hz, int count);

// The exit status of a call that ended with this status.
int exit_code(tessaro_dexhand::Status status);

// The error document of a failed command under --json.
void print_json_error(int code, const std::string& message);

}  // namespace dexhand_cli
