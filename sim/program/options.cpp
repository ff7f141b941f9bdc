#include "options.h"

#include <arpa/inet.h>
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <cstdint>
#include <fstream>
#include <sstream>

namespace dexhand_sim {

namespace {

constexpr int kMaxDelayMs = 60000;
constexpr int kMaxCopies = 100;
constexpr std::size_t kMaxDatagram = 65507;

// Hands live on 192.168.137.0/24, where the library's discovery broadcast
// reaches them; the network and broadcast addresses are no hand's.
bool hand_address(const std::string& ip) {
    in_addr address{};
    if (::inet_pton(AF_INET, ip.c_str(), &address) != 1) {
        return false;
    }
    const std::uint32_t host = ntohl(address.s_addr);
    return (host & 0xFFFFFF00u) == 0xC0A88900u && (host & 0xFFu) != 0 && (host & 0xFFu) != 0xFFu;
}

bool parse_hand(const std::string& text, HandSpec& hand, std::string& error) {
    const auto at = text.find('@');
    if (at == std::string::npos) {
        error = "\"" + text + "\" is not KIND@IP";
        return false;
    }
    hand.kind = text.substr(0, at);
    hand.ip = text.substr(at + 1);
    if (!sim::known_kind(hand.kind)) {
        error = "unknown hand kind \"" + hand.kind + "\" in \"" + text + "\" (kinds: qmhv1, qmhv2, QSH)";
        return false;
    }
    if (!hand_address(hand.ip)) {
        error = "\"" + hand.ip + "\" in \"" + text + "\" is not an address of 192.168.137.1 to 192.168.137.254";
        return false;
    }
    hand.identity = sim::default_identity(hand.kind, hand.ip);
    return true;
}

bool add_hand(Options& options, HandSpec hand, std::string& error) {
    for (const auto& other : options.hands) {
        if (other.ip == hand.ip) {
            error = "two hands at " + hand.ip;
            return false;
        }
    }
    options.hands.push_back(std::move(hand));
    return true;
}

// --- scenario -------------------------------------------------------------------

bool read_string(const rapidjson::Value& value, const std::string& where, std::string& out, std::string& error) {
    if (!value.IsString()) {
        error = where + " must be a string";
        return false;
    }
    out.assign(value.GetString(), value.GetStringLength());
    return true;
}

bool read_bool(const rapidjson::Value& value, const std::string& where, bool& out, std::string& error) {
    if (!value.IsBool()) {
        error = where + " must be true or false";
        return false;
    }
    out = value.GetBool();
    return true;
}

bool read_int(const rapidjson::Value& value, const std::string& where, int low, int high, int& out,
              std::string& error) {
    if (!value.IsInt() || value.GetInt() < low || value.GetInt() > high) {
        error = where + " must be a whole number from " + std::to_string(low) + " to " + std::to_string(high);
        return false;
    }
    out = value.GetInt();
    return true;
}

bool read_faults(const rapidjson::Value& value, const std::string& where, HandSpec& hand, std::string& error) {
    if (!value.IsObject()) {
        error = where + " must be an object";
        return false;
    }
    for (const auto& member : value.GetObject()) {
        const std::string key(member.name.GetString(), member.name.GetStringLength());
        const std::string here = where + "." + key;
        bool ok = true;
        if (key == "silent") {
            ok = read_bool(member.value, here, hand.faults.silent, error);
        } else if (key == "delay_ms") {
            ok = read_int(member.value, here, 0, kMaxDelayMs, hand.faults.delay_ms, error);
        } else if (key == "copies") {
            ok = read_int(member.value, here, 1, kMaxCopies, hand.faults.copies, error);
        } else if (key == "garbage") {
            if (!member.value.IsArray()) {
                error = here + " must be an array of strings";
                return false;
            }
            hand.faults.before.clear();
            for (rapidjson::SizeType i = 0; ok && i < member.value.Size(); ++i) {
                std::string datagram;
                ok = read_string(member.value[i], here + "[" + std::to_string(i) + "]", datagram, error);
                if (ok && datagram.size() > kMaxDatagram) {
                    error = here + "[" + std::to_string(i) + "] is longer than a datagram";
                    ok = false;
                }
                hand.faults.before.push_back(std::move(datagram));
            }
        } else {
            error = where + ": unknown member \"" + key + "\" (silent, delay_ms, copies, garbage)";
            return false;
        }
        if (!ok) {
            return false;
        }
    }
    return true;
}

bool read_scenario_hand(const rapidjson::Value& value, const std::string& where, Options& options,
                        std::string& error) {
    if (!value.IsObject()) {
        error = where + " must be an object";
        return false;
    }
    const auto hand_text = value.FindMember("hand");
    if (hand_text == value.MemberEnd() || !hand_text->value.IsString()) {
        error = where + " needs \"hand\": \"KIND@IP\"";
        return false;
    }
    HandSpec hand;
    if (!parse_hand(hand_text->value.GetString(), hand, error)) {
        error = where + ".hand: " + error;
        return false;
    }
    for (const auto& member : value.GetObject()) {
        const std::string key(member.name.GetString(), member.name.GetStringLength());
        const std::string here = where + "." + key;
        bool ok = true;
        if (key == "hand") {
            continue;
        } else if (key == "name") {
            ok = read_string(member.value, here, hand.identity.name, error);
        } else if (key == "type") {
            ok = read_string(member.value, here, hand.identity.type, error);
        } else if (key == "serial_number") {
            ok = read_string(member.value, here, hand.identity.serial_number, error);
        } else if (key == "driver_version") {
            ok = read_string(member.value, here, hand.identity.driver_version, error);
        } else if (key == "firmware_version") {
            ok = read_string(member.value, here, hand.identity.firmware_version, error);
        } else if (key == "discovery") {
            ok = read_bool(member.value, here, hand.discovery, error);
        } else if (key == "faults") {
            ok = read_faults(member.value, here, hand, error);
        } else {
            error = where + ": unknown member \"" + key +
                    "\" (hand, name, type, serial_number, driver_version, firmware_version, discovery, faults)";
            return false;
        }
        if (!ok) {
            return false;
        }
    }
    return add_hand(options, std::move(hand), error);
}

bool read_file(const std::string& path, std::string& text, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot read scenario file " + path;
        return false;
    }
    std::ostringstream content;
    content << file.rdbuf();
    text = content.str();
    return true;
}

}  // namespace

bool read_scenario(const std::string& text, const std::string& where, Options& options, std::string& error) {
    rapidjson::Document document;
    document.Parse(text.data(), text.size());
    if (document.HasParseError()) {
        error = where + ": not JSON at offset " + std::to_string(document.GetErrorOffset()) + ": " +
                rapidjson::GetParseError_En(document.GetParseError());
        return false;
    }
    if (!document.IsObject()) {
        error = where + ": must be a JSON object";
        return false;
    }
    for (const auto& member : document.GetObject()) {
        const std::string key(member.name.GetString(), member.name.GetStringLength());
        if (key == "lively") {
            if (!read_bool(member.value, where + ": lively", options.lively, error)) {
                return false;
            }
        } else if (key == "hands") {
            if (!member.value.IsArray()) {
                error = where + ": hands must be an array";
                return false;
            }
            for (rapidjson::SizeType i = 0; i < member.value.Size(); ++i) {
                if (!read_scenario_hand(member.value[i], where + ": hands[" + std::to_string(i) + "]", options,
                                        error)) {
                    return false;
                }
            }
        } else {
            error = where + ": unknown member \"" + key + "\" (lively, hands)";
            return false;
        }
    }
    return true;
}

bool parse_options(int argc, const char* const* argv, Options& options, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        // Options with a value take it as the next argument or after "=".
        std::string name = arg;
        std::string value;
        bool has_value = false;
        const auto equals = arg.find('=');
        if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
            has_value = true;
        }
        const auto take_value = [&]() {
            if (has_value) {
                return true;
            }
            if (i + 1 >= argc) {
                error = name + " needs a value";
                return false;
            }
            value = argv[++i];
            return true;
        };
        const auto no_value = [&]() {
            if (has_value) {
                error = name + " takes no value";
                return false;
            }
            return true;
        };

        if (name == "--hand") {
            HandSpec hand;
            if (!take_value() || !parse_hand(value, hand, error) || !add_hand(options, std::move(hand), error)) {
                return false;
            }
        } else if (name == "--scenario") {
            std::string text;
            if (!take_value() || !read_file(value, text, error) || !read_scenario(text, value, options, error)) {
                return false;
            }
        } else if (name == "--log") {
            if (!no_value()) {
                return false;
            }
            options.log = true;
        } else if (name == "--on-hand-subnet") {
            if (!no_value()) {
                return false;
            }
            options.on_hand_subnet = true;
        } else if (name == "--calm") {
            if (!no_value()) {
                return false;
            }
            options.lively = false;
        } else if (name == "--help" || name == "-h") {
            options.help = true;
        } else {
            error = "unknown argument \"" + arg + "\"";
            return false;
        }
    }
    if (!options.help && options.hands.empty()) {
        error = "no hands: give --hand KIND@IP or --scenario FILE";
        return false;
    }
    return true;
}

std::string usage() {
    return R"(Usage: dexhand-sim [OPTIONS]

Runs simulated hands until stopped (Ctrl-C or SIGTERM): each binds UDP ports
2333, 2334 and 2335 on its address and answers the library's discovery
broadcast (192.168.137.255:2334) and its hand kind's wire protocol.

Options:
  --hand KIND@IP      a hand of KIND (qmhv1, qmhv2 or QSH) at IP, an address
                      of 192.168.137.1 to 192.168.137.254 (repeatable)
  --scenario FILE     hands, identities and faults from a JSON file (below)
  --log               print every datagram received and sent
  --calm              hands change only when commanded: no random faults, no
                      moving tactile image, quick calibration
  --on-hand-subnet    run outside a private network namespace: this machine
                      sits on a hand subnet and the simulated hands WILL
                      answer real clients there
  -h, --help          this text

The hand addresses must be local. Run inside the private network namespace
that tests/netns/run-in-netns makes (loopback only, carrying
192.168.137.1/24):

  tests/netns/run-in-netns build/sim/dexhand-sim \
      --hand qmhv2@192.168.137.39 --hand qmhv1@192.168.137.10 \
      --hand QSH@192.168.137.19

Outside such a namespace dexhand-sim refuses to start (exit status 2) unless
--on-hand-subnet is given. The library registers QSH hands only at
192.168.137.19 and 192.168.137.39.

Once every hand is bound it prints "dexhand-sim: N hands ready" and one line
per hand. Exit status: 0 when stopped by a signal, 1 when a port cannot be
bound, 2 for bad arguments or a refusal.

Scenario file (JSON; every member but "hand" is optional):

  {
    "lively": true,
    "hands": [
      {"hand": "qmhv2@192.168.137.39", "name": "qmhv2", "type": "QMH-12L",
       "serial_number": "LAB-0001", "driver_version": "1.3.0.0",
       "firmware_version": "2.1.0.0"},
      {"hand": "qmhv1@192.168.137.10",
       "faults": {"delay_ms": 40, "garbage": ["noise"]}},
      {"hand": "QSH@192.168.137.19", "faults": {"silent": true}}
    ]
  }

  lively            false: as --calm
  name, type, serial_number, driver_version, firmware_version
                    what the hand answers at discovery (defaults per kind)
  discovery         false: the hand ignores discovery but serves its ports
  faults.silent     the hand answers nothing, discovery included
  faults.delay_ms   every answer this much later (0 to 60000)
  faults.copies     every answer sent this many times (1 to 100)
  faults.garbage    datagrams sent ahead of every protocol answer
)";
}

}  // namespace dexhand_sim
