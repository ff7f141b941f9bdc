#include "naming.h"

#include <cfloat>
#include <cmath>
#include <sstream>

namespace bridge {

std::string default_namespace(const std::string& address) {
    const auto dot = address.rfind('.');
    return "/dexhand/hand_" + (dot == std::string::npos ? address : address.substr(dot + 1));
}

bool valid_namespace(const std::string& name) {
    if (name.size() < 2 || name[0] != '/' || name.back() == '/') {
        return false;
    }
    bool segment_start = true;
    for (std::size_t i = 1; i < name.size(); ++i) {
        const char c = name[i];
        if (c == '/') {
            if (segment_start) {
                return false;  // empty segment
            }
            segment_start = true;
            continue;
        }
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
        const bool digit = c >= '0' && c <= '9';
        if (!letter && !(digit && !segment_start)) {
            return false;
        }
        segment_start = false;
    }
    return true;
}

std::string dds_topic(const std::string& ros_namespace, const std::string& topic) {
    return "rt" + ros_namespace + "/" + topic;
}

std::optional<std::map<std::string, std::string>> parse_names(std::istream& in, std::string& error) {
    std::map<std::string, std::string> names;
    std::map<std::string, std::string> owners;  // namespace -> address
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        std::istringstream words(line);
        std::string address, name, extra;
        if (!(words >> address) || address[0] == '#') {
            continue;
        }
        const std::string where = "line " + std::to_string(number) + ": ";
        if (!(words >> name) || (words >> extra)) {
            error = where + "expected an address and a namespace";
            return std::nullopt;
        }
        if (!valid_namespace(name)) {
            error = where + "\"" + name + "\" is not a ROS namespace (like /left_hand)";
            return std::nullopt;
        }
        if (names.count(address)) {
            error = where + address + " is named twice";
            return std::nullopt;
        }
        if (owners.count(name)) {
            error = where + name + " is already given to " + owners[name];
            return std::nullopt;
        }
        names[address] = name;
        owners[name] = address;
    }
    return names;
}

std::optional<std::string> check_command(const std::vector<double>& positions, const tessaro_dexhand::KindInfo& kind,
                                         std::vector<float>& targets) {
    std::vector<float> converted;
    converted.reserve(positions.size());
    for (const double value : positions) {
        // A double beyond the float range has no float value (converting it
        // is undefined): it becomes an infinity, which the kind refuses.
        converted.push_back(std::fabs(value) > FLT_MAX ? std::copysign(HUGE_VALF, static_cast<float>(value))
                                                       : static_cast<float>(value));
    }
    std::string why = kind.check_positions(converted);
    if (!why.empty()) {
        return why;
    }
    targets = std::move(converted);
    return std::nullopt;
}

namespace {

template <class Cell>
Image image_of(const std::vector<std::vector<Cell>>& rows) {
    Image image;
    image.height = static_cast<std::uint32_t>(rows.size());
    for (const auto& row : rows) {
        if (row.size() > image.width) {
            image.width = static_cast<std::uint32_t>(row.size());
        }
    }
    image.step = image.width * 2;
    image.data.assign(std::size_t{image.step} * image.height, 0);
    std::size_t offset = 0;
    for (const auto& row : rows) {
        for (std::size_t x = 0; x < row.size(); ++x) {
            const unsigned value = row[x] > 65535u ? 65535u : static_cast<unsigned>(row[x]);
            image.data[offset + 2 * x] = static_cast<std::uint8_t>(value & 0xFF);
            image.data[offset + 2 * x + 1] = static_cast<std::uint8_t>(value >> 8);
        }
        offset += image.step;
    }
    return image;
}

}  // namespace

Image tactile_image(const std::vector<std::vector<unsigned char>>& rows) { return image_of(rows); }
Image mono16_image(const std::vector<std::vector<unsigned>>& rows) { return image_of(rows); }

Stamp stamp_of(std::chrono::system_clock::time_point when) {
    const auto since_epoch = std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count();
    Stamp stamp;
    stamp.sec = static_cast<std::int32_t>(since_epoch / 1000000000);
    stamp.nanosec = static_cast<std::uint32_t>(since_epoch % 1000000000);
    return stamp;
}

}  // namespace bridge
