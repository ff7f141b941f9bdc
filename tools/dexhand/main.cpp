// dexhand: discover, read, command, calibrate and configure the hands on the
// hand subnet from a shell.
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <iostream>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "serve.h"

namespace {

namespace td = tessaro_dexhand;
using dexhand_cli::Context;

constexpr const char* kExitCodes =
    "Exit status: 0 success, 1 the hand refused or failed, 2 usage (bad option, address text,\n"
    "values or file), 3 no hand found or none at the address, 4 the hand did not answer in time,\n"
    "5 the hand's kind does not serve the operation.";

std::string example(const std::string& lines) { return "Example:\n" + lines; }

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Discovers the dexterous hands on 192.168.137.0/24 and reads, commands, calibrates and\n"
                 "configures them. Every command discovers first (one second of listening).",
                 "dexhand"};
    app.footer(example("  dexhand discover\n"
                       "  dexhand move 192.168.137.39 0 0 0 0 0 0 0 0 0 0 0 -1\n"
                       "  dexhand --json pos 192.168.137.10 | python3 -m json.tool\n\n") +
               kExitCodes);
    app.require_subcommand(1);
    app.fallthrough();  // the global flags may also follow the subcommand

    bool json = false;
    bool quiet = false;
    bool verbose = false;
    app.add_flag("--json", json, "print exactly one JSON document on standard output (errors too)");
    auto* quiet_flag = app.add_flag("-q,--quiet", quiet, "print none of the library's lines and no progress");
    auto* verbose_flag =
        app.add_flag("-v,--verbose", verbose, "print every library line (traces too), prefixed with its level");
    quiet_flag->excludes(verbose_flag);

    std::function<int(Context&)> action;
    std::string address;
    std::vector<float> values;
    std::string file;
    double rate = 5.0;
    int count = 0;

    const auto add_address = [&](CLI::App* command, bool required) {
        auto* option = command->add_option("address", address,
                                           required ? "the hand's IPv4 address"
                                                    : "the hand's IPv4 address (all hands when left out)");
        if (required) {
            option->required();
        }
    };

    auto* discover = app.add_subcommand("discover", "list the hands: address, name, type, driver and hardware versions");
    discover->footer(example("  dexhand discover\n  dexhand --json discover"));
    discover->callback([&] { action = [](Context& c) { return dexhand_cli::discover_command(c); }; });

    auto* pos = app.add_subcommand("pos", "read the joint positions");
    add_address(pos, true);
    pos->footer(example("  dexhand pos 192.168.137.39"));
    pos->callback([&] { action = [&](Context& c) { return dexhand_cli::pos_command(c, address); }; });

    for (const bool fast : {false, true}) {
        auto* move = app.add_subcommand(fast ? "fast-move" : "move",
                                        fast ? "command joint positions on the fast path (no confirmation wait)"
                                             : "command joint positions (" + dexhand_cli::joint_counts() + ")");
        add_address(move, true);
        move->add_option("positions", values, "one value per joint: " + dexhand_cli::position_ranges())
            ->required()
            ->expected(1, 64);
        move->footer(example(std::string("  dexhand ") + (fast ? "fast-move" : "move") +
                             " 192.168.137.10 0.5 0.5 0.5 0.5 0.5 0.5"));
        move->callback(
            [&, fast] { action = [&, fast](Context& c) { return dexhand_cli::move_command(c, address, values, fast); }; });
    }

    for (const td::Operation operation : {td::Operation::enable, td::Operation::disable, td::Operation::reboot}) {
        const std::string name = td::to_text(operation);
        auto* state = app.add_subcommand(name, name + " one hand, or every hand that has the command");
        add_address(state, false);
        state->footer(example("  dexhand " + name + " 192.168.137.39\n  dexhand " + name));
        state->callback([&, operation] {
            action = [&, operation](Context& c) { return dexhand_cli::state_command(c, operation, address); };
        });
    }

    auto* calibrate = app.add_subcommand("calibrate", "calibrate one hand or all of them (" +
                                                          dexhand_cli::kinds_serving({td::Operation::calibrate}) +
                                                          ") and wait for the outcome");
    add_address(calibrate, false);
    calibrate->footer(example("  dexhand calibrate 192.168.137.39"));
    calibrate->callback([&] { action = [&](Context& c) { return dexhand_cli::calibrate_command(c, address); }; });

    auto* errors = app.add_subcommand("errors", "read the hand's error codes");
    add_address(errors, true);
    errors->footer(example("  dexhand errors 192.168.137.10"));
    errors->callback([&] { action = [&](Context& c) { return dexhand_cli::errors_command(c, address); }; });

    auto* clear = app.add_subcommand("clear-errors", "clear the hand's errors (" +
                                                         dexhand_cli::kinds_serving({td::Operation::clear_error_codes}) +
                                                         ")");
    add_address(clear, true);
    clear->footer(example("  dexhand clear-errors 192.168.137.19"));
    clear->callback([&] { action = [&](Context& c) { return dexhand_cli::clear_errors_command(c, address); }; });

    auto* pvc = app.add_subcommand("pvc", "read positions, velocities and currents (" +
                                              dexhand_cli::kinds_serving({td::Operation::read_velocities, td::Operation::read_currents}) +
                                              ")");
    add_address(pvc, true);
    pvc->footer(example("  dexhand pvc 192.168.137.19"));
    pvc->callback([&] { action = [&](Context& c) { return dexhand_cli::pvc_command(c, address); }; });

    auto* tactile = app.add_subcommand("tactile", "show the tactile matrix as a shaded grid (" +
                                                      dexhand_cli::kinds_serving({td::Operation::read_tactile}) + ")");
    add_address(tactile, true);
    tactile->footer(example("  dexhand tactile 192.168.137.39\n  dexhand --json tactile 192.168.137.39"));
    tactile->callback([&] { action = [&](Context& c) { return dexhand_cli::tactile_command(c, address); }; });

    auto* config = app.add_subcommand("config", "read or write the hand's configuration (JSON text)");
    config->require_subcommand(1);
    config->footer(example("  dexhand config get 192.168.137.39 > hand.json\n"
                           "  dexhand config set 192.168.137.39 hand.json"));
    auto* config_get = config->add_subcommand("get", "print the hand's configuration");
    add_address(config_get, true);
    config_get->footer(example("  dexhand config get 192.168.137.19"));
    config_get->callback([&] { action = [&](Context& c) { return dexhand_cli::config_get_command(c, address); }; });
    auto* config_set = config->add_subcommand("set", "send a JSON object to the hand as its configuration");
    add_address(config_set, true);
    config_set->add_option("file", file, "the JSON file, or - for standard input")->required();
    config_set->footer(example("  echo '{\"method\":\"SET\",\"cmd\":\"/config\",\"speed_limit\":120}' |\n"
                               "    dexhand config set 192.168.137.39 -"));
    config_set->callback(
        [&] { action = [&](Context& c) { return dexhand_cli::config_set_command(c, address, file); }; });

    auto* watch = app.add_subcommand("watch", "show positions (and the tactile grid) live, redrawn in place");
    add_address(watch, true);
    watch->add_option("--rate", rate, "frames per second")->check(CLI::Range(0.1, 50.0))->capture_default_str();
    watch->add_option("--count", count, "stop after this many frames (0: until Ctrl-C)")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    watch->footer(example("  dexhand watch 192.168.137.39 --rate 10"));
    watch->callback([&] { action = [&](Context& c) { return dexhand_cli::watch_command(c, address, rate, count); }; });

    dexhand_cli::ServeOptions serve_options;
    auto* serve = app.add_subcommand("serve", "serve a live dashboard of the hands to a local web browser");
    serve->add_option("--address", serve_options.address, "the address to listen on")->capture_default_str();
    serve->add_option("--port", serve_options.port, "the port to listen on (0: any free one)")
        ->check(CLI::Range(0, 65535))
        ->capture_default_str();
    serve->add_flag("--allow-remote", serve_options.allow_remote,
                    "allow an --address other than loopback (other machines can then reach the page)");
    serve->add_option("--web-root", serve_options.web_root,
                      "the folder with the page's files (default: share/tessaro_dexhand/web beside the program)");
    serve->add_option("--poll-rate", serve_options.poll_hz, "polls of each hand per second")
        ->check(CLI::Range(0.5, 50.0))
        ->capture_default_str();
    serve->add_option("--command-rate", serve_options.commands_per_second,
                      "commands per hand per second; more are refused")
        ->check(CLI::Range(1.0, 1000.0))
        ->capture_default_str();
    serve->footer(example("  dexhand serve\n"
                          "  then open the printed http://127.0.0.1:8080/?token=... in a browser; Ctrl-C stops"));
    serve->callback([&] { action = [&](Context& c) { return dexhand_cli::serve_command(c.api, c.console, serve_options); }; });

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() == 0) {
            return app.exit(error);  // --help
        }
        app.exit(error);
        if (json) {
            dexhand_cli::print_json_error(dexhand_cli::kExitUsage, error.what());
        }
        return dexhand_cli::kExitUsage;
    }

    dexhand_cli::Console console(quiet ? dexhand_cli::Verbosity::quiet
                                       : verbose ? dexhand_cli::Verbosity::verbose : dexhand_cli::Verbosity::normal);
    console.install();
    td::Client client;
    const bool screen = ::isatty(STDOUT_FILENO) == 1;
    Context context{client, console, json, screen, screen && std::getenv("NO_COLOR") == nullptr};
    try {
        return action(context);
    } catch (const dexhand_cli::Failure& failure) {
        console.error(failure.what());
        if (json) {
            dexhand_cli::print_json_error(failure.code(), failure.what());
        }
        return failure.code();
    } catch (const std::exception& error) {
        // Opening a discovered hand's endpoints (in discovery) is the one throwing library call.
        console.error(error.what());
        if (json) {
            dexhand_cli::print_json_error(dexhand_cli::kExitFailed, error.what());
        }
        return dexhand_cli::kExitFailed;
    }
}
