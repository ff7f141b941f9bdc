#include "client/dexhand.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <thread>

#include "client/calibration_codes.h"
#include "manager/handkinds.h"

namespace QmHand {

using Diagnostics::emit;
using Diagnostics::Level;

DexHand::DexHand() = default;
DexHand::~DexHand() = default;

int DexHand::init(int) { return hand_manager.init() == kSuccess ? kSuccess : kFailure; }

std::vector<std::string> DexHand::get_ip_list() { return hand_manager.hand_ips; }

namespace {

// Four fields of one to three ASCII digits, at most 255 each, joined by
// single dots, and nothing else: what the pattern
// ^(?:(?:25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)\.){3}(?:25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)$
// accepts (leading zeros included), without building a matcher per call.
bool dotted_quad(const char* text, std::size_t length) {
    std::size_t at = 0;
    for (int field = 0; field < 4; ++field) {
        if (field > 0) {
            if (at == length || text[at] != '.') {
                return false;
            }
            ++at;
        }
        unsigned value = 0;
        std::size_t digits = 0;
        while (at < length && digits < 3 && text[at] >= '0' && text[at] <= '9') {
            value = value * 10 + static_cast<unsigned>(text[at] - '0');
            ++digits;
            ++at;
        }
        if (digits == 0 || value > 255) {
            return false;
        }
    }
    return at == length;
}

}  // namespace

bool DexHand::isValidIP(const std::string& ip) { return dotted_quad(ip.data(), ip.size()); }

std::string DexHand::identity(const std::string& ip, const std::vector<std::string>& list, const char* function,
                              bool report_short_list) {
    const std::string prefix = std::string("[Error] [dexhand][") + function + "(std::string ip)] ";
    if (!isValidIP(ip)) {
        emit(Level::error, prefix + "Invalid IP: " + ip);
        return "";
    }
    const auto& ips = hand_manager.hand_ips;
    const auto it = std::find(ips.begin(), ips.end(), ip);
    if (it == ips.end()) {
        emit(Level::error, prefix + "IP: " + ip + " not found.");
        return "";
    }
    const auto index = static_cast<std::size_t>(it - ips.begin());
    if (index >= list.size()) {
        if (report_short_list) {
            emit(Level::error, prefix + "Index out of bounds for IP: " + ip);
        }
        return "";
    }
    return list[index];
}

std::string DexHand::get_name(std::string ip) { return identity(ip, hand_manager.names, "get_name", true); }

std::string DexHand::get_type(std::string ip) { return identity(ip, hand_manager.types, "get_type", false); }

std::string DexHand::get_driver_ver(std::string ip) {
    return identity(ip, hand_manager.driver_versions, "get_driver_ver", false);
}

std::string DexHand::get_hardware_ver(std::string ip) {
    return identity(ip, hand_manager.hardware_versions, "get_hardware_ver", false);
}

bool DexHand::check_ip(const std::string& ip, const char* signature) {
    if (isValidIP(ip)) {
        return true;
    }
    emit(Level::error, std::string("[Error] [dexhand][") + signature + "] Invalid IP: " + ip);
    return false;
}

// ---------------------------------------------------------------------------
// Commands and reads

namespace {

template <class Operation>
int for_all_hands(const std::vector<std::string>& ips, Operation operation) {
    for (const auto& ip : ips) {
        if (operation(ip) != kSuccess) {
            return kFailure;
        }
    }
    return kSuccess;
}

}  // namespace

int DexHand::enable() {
    return for_all_hands(hand_manager.hand_ips, [this](const std::string& ip) { return hand_manager.enable(ip); });
}

int DexHand::disable() {
    return for_all_hands(hand_manager.hand_ips, [this](const std::string& ip) { return hand_manager.disable(ip); });
}

int DexHand::reboot() {
    return for_all_hands(hand_manager.hand_ips, [this](const std::string& ip) { return hand_manager.reboot(ip); });
}

int DexHand::enable(std::string ip) {
    return check_ip(ip, "enable(std::string ip)") ? hand_manager.enable(ip) : kFailure;
}

int DexHand::disable(std::string ip) {
    return check_ip(ip, "disable(std::string ip)") ? hand_manager.disable(ip) : kFailure;
}

int DexHand::reboot(std::string ip) {
    return check_ip(ip, "reboot(std::string ip)") ? hand_manager.reboot(ip) : kFailure;
}

int DexHand::set_pos(std::string ip, std::vector<float> pos) {
    return check_ip(ip, "set_pos(std::string ip)") ? hand_manager.set_position(ip, std::move(pos)) : kFailure;
}

int DexHand::fast_set_pos(std::string ip, std::vector<float> pos) {
    return check_ip(ip, "fast_set_pos(std::string ip)") ? hand_manager.fast_set_positon(ip, std::move(pos)) : kFailure;
}

std::vector<float> DexHand::get_pos(std::string ip) {
    std::vector<float> pos;
    if (!check_ip(ip, "get_pos(std::string ip)") || hand_manager.get_position(ip, pos) != kSuccess) {
        return {};
    }
    return pos;
}

std::vector<long> DexHand::get_errorcode(std::string ip) {
    std::vector<long> codes;
    if (check_ip(ip, "get_errorcode(std::string ip)")) {
        hand_manager.get_errorcode(ip, codes);
    }
    return codes;
}

int DexHand::clear_errorcode(std::string ip) {
    return check_ip(ip, "clear_errorcode(std::string ip)") ? hand_manager.clear_errorcode(ip) : kFailure;
}

int DexHand::set_hand_config(std::string ip, std::string config) {
    if (!check_ip(ip, "set_hand_config(std::string ip, std::string config)")) {
        return kFailure;
    }
    return hand_manager.set_comm_config(ip, std::move(config)) == kSuccess ? kSuccess : kFailure;
}

std::string DexHand::get_hand_config(std::string ip) {
    std::string text;
    if (!check_ip(ip, "get_hand_config(std::string ip)") || hand_manager.get_comm_config(ip, text) != kSuccess) {
        return "";
    }
    return text;
}

std::vector<std::vector<unsigned char>> DexHand::get_ts_matrix(std::string ip) {
    std::vector<std::vector<unsigned char>> matrix;
    if (!check_ip(ip, "get_ts_matrix(std::string ip)")) {
        return {};
    }
    if (hand_manager.get_ts_matrix(ip, matrix) != kSuccess) {
        emit(Level::error, "[Error] [dexhand][get_ts_matrix(std::string ip)] Get ts matrix error");
        return {};
    }
    return matrix;
}

std::vector<std::vector<float>> DexHand::get_pvc(std::string ip) {
    std::vector<std::vector<float>> pvc;
    if (!check_ip(ip, "get_pvc(std::string ip)") || hand_manager.get_pvc(ip, pvc) != kSuccess) {
        return {};
    }
    return pvc;
}

std::vector<std::vector<float>> DexHand::get_pos_many(std::vector<std::string> ips) {
    // Invalid texts are refused with get_pos's line; an empty text is no
    // registered hand's, so the manager refuses it.
    for (auto& ip : ips) {
        if (!check_ip(ip, "get_pos(std::string ip)")) {
            ip.clear();
        }
    }
    std::vector<std::vector<float>> pos;
    std::vector<int> statuses;
    hand_manager.get_positions(ips, pos, statuses);
    for (std::size_t i = 0; i < pos.size(); ++i) {
        if (statuses[i] != kSuccess) {
            pos[i].clear();
        }
    }
    return pos;
}

std::vector<std::vector<float>> DexHand::get_pos_all() { return get_pos_many(hand_manager.hand_ips); }

std::vector<int> DexHand::set_pos_many(std::vector<std::string> ips, std::vector<std::vector<float>> pos) {
    // An empty text is no registered hand's: the manager refuses it.
    for (auto& ip : ips) {
        if (!check_ip(ip, "set_pos(std::string ip)")) {
            ip.clear();
        }
    }
    std::vector<int> statuses;
    hand_manager.set_positions(ips, pos, statuses);
    return statuses;
}

// ---------------------------------------------------------------------------
// Calibration

int DexHand::calibration() { return calibrate(get_ip_list()); }

int DexHand::calibration(std::string ip) { return calibrate({std::move(ip)}); }

int DexHand::calibrate(std::vector<std::string> entries) {
    // The list is never resized while the workers run: each holds a
    // reference to its own entry.
    std::vector<std::thread> workers;
    for (auto& entry : entries) {
        if (hand_ws::client_calibrates(get_name(entry))) {
            // A worker that cannot start (no threads or memory left) fails
            // its hand; the workers already running are still joined below.
            try {
                workers.reserve(entries.size());
                workers.emplace_back([this, &entry] { calibrationThread(entry); });
            } catch (const std::exception&) {
                emit(Level::error, "[Error] [dexhand][calibration()] cannot start the calibration of " + entry);
                entry = "error";
            }
        }
    }
    for (auto& worker : workers) {
        worker.join();
    }
    for (const auto& entry : entries) {
        if (entry == "error") {
            return kFailure;
        }
        if (entry == "timeout") {
            return kTimeout;
        }
    }
    return kSuccess;
}

void DexHand::calibrationThread(std::string& entry) {
    hand_manager.calibration(entry);
    std::this_thread::sleep_for(std::chrono::milliseconds(calibration_codes::kSettleMs));
    for (int poll = 0; poll < calibration_codes::kPolls; ++poll) {
        if (!hand_ws::client_calibrates(get_name(entry))) {
            entry = "success";
            return;
        }
        std::vector<long> codes;
        if (hand_manager.get_errorcode(entry, codes) == kSuccess && !codes.empty() &&
            codes[0] != calibration_codes::kRunning) {
            entry = codes[0] == calibration_codes::kFailed ? "error" : "success";
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    entry = "timeout";
}

}  // namespace QmHand
