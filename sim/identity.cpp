#include "identity.h"

#include <cstdio>
#include <vector>

#include "simulator.h"

namespace sim {

namespace {

// "1.2.0" -> {1, 2, 0}; false unless one to four dot-separated decimal numbers.
bool version_numbers(const std::string& text, std::vector<long long>& numbers) {
    numbers.clear();
    std::string part;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '.') {
            if (part.empty() || part.size() > 9 || numbers.size() == 4) {
                return false;
            }
            numbers.push_back(std::stoll(part));
            part.clear();
        } else if (text[i] >= '0' && text[i] <= '9') {
            part += text[i];
        } else {
            return false;
        }
    }
    return true;
}

// The last number of the address, four digits wide, makes serials unique per subnet.
std::string host_part(const std::string& ip) {
    const auto dot = ip.rfind('.');
    const std::string last = dot == std::string::npos ? ip : ip.substr(dot + 1);
    return std::string(last.size() < 4 ? 4 - last.size() : 0, '0') + last;
}

}  // namespace

bool known_kind(const std::string& kind) { return kind == "qmhv1" || kind == "qmhv2" || kind == "QSH"; }

Identity default_identity(const std::string& kind, const std::string& ip) {
    Identity identity;
    identity.name = kind;
    identity.ip = ip;
    if (kind == "qmhv1") {
        identity.type = "QMH-6R";
        identity.serial_number = "QMH6R-" + host_part(ip);
        identity.driver_version = "1.2.0";
        identity.firmware_version = "1.4.3";
    } else if (kind == "qmhv2") {
        identity.type = "QMH-12R";
        identity.serial_number = "QMH12R-" + host_part(ip);
        identity.driver_version = "1.2.0.0";
        identity.firmware_version = "2.0.3.0";
        identity.version_arrays = true;
        identity.ip_address_key = true;
    } else if (kind == "QSH") {
        identity.type = "QSH-6";
        identity.serial_number = "QSH6-" + host_part(ip);
        identity.driver_version = "3.1";
        identity.firmware_version = "2.0.5";
    } else {
        return Identity{};
    }
    return identity;
}

std::string discovery_text(const Identity& identity) {
    JsonObject reply;
    reply.str("name", identity.name).str("type", identity.type);
    reply.str(identity.ip_address_key ? "ip_address" : "IP", identity.ip);
    if (!identity.serial_number.empty()) {
        reply.str("serial_number", identity.serial_number);
    }
    std::vector<long long> numbers;
    if (!identity.driver_version.empty()) {
        if (identity.version_arrays && version_numbers(identity.driver_version, numbers)) {
            reply.array("hardware_verison", numbers);
        } else {
            reply.str("driver_version", identity.driver_version);
        }
    }
    if (!identity.firmware_version.empty()) {
        if (identity.version_arrays && version_numbers(identity.firmware_version, numbers)) {
            reply.array("firmware_verison", numbers);
        } else {
            reply.str("firmware_version", identity.firmware_version);
        }
    }
    return reply.text();
}

}  // namespace sim
