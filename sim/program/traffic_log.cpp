#include "traffic_log.h"

#include <sys/time.h>

#include <cstdio>
#include <ctime>

namespace dexhand_sim {

namespace {

bool printable(unsigned char c) { return (c >= 0x20 && c < 0x7F) || c == '\n' || c == '\r' || c == '\t'; }

}  // namespace

std::string datagram_text(const std::string& bytes) {
    // Discovery requests and some replies are text padded with zero bytes.
    std::size_t end = bytes.size();
    while (end > 0 && bytes[end - 1] == '\0') {
        --end;
    }
    // Text: plain ASCII, at least three quarters of it printable; the rest
    // shows as escapes. Binary frames show as hex.
    std::size_t readable = 0;
    bool ascii = true;
    for (std::size_t i = 0; i < end; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        ascii = ascii && c < 0x80;
        readable += printable(c) ? 1 : 0;
    }
    const bool text = end > 0 && ascii && readable * 4 >= end * 3;
    std::string out;
    char piece[8];
    if (!text) {
        out = "hex";
        for (const char c : bytes) {
            std::snprintf(piece, sizeof(piece), " %02x", static_cast<unsigned char>(c));
            out += piece;
        }
        return out;
    }
    out = "text \"";
    for (std::size_t i = 0; i < end; ++i) {
        const char c = bytes[i];
        switch (c) {
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\\': out += "\\\\"; break;
        default:
            if (printable(static_cast<unsigned char>(c))) {
                out += c;
            } else {
                std::snprintf(piece, sizeof(piece), "\\x%02x", static_cast<unsigned char>(c));
                out += piece;
            }
        }
    }
    out += '"';
    if (end < bytes.size()) {
        out += " + " + std::to_string(bytes.size() - end) + " zero bytes";
    }
    return out;
}

std::string traffic_line(const std::string& clock, const std::string& hand, const sim::Traffic& traffic) {
    return clock + " " + hand + ":" + std::to_string(traffic.port) + (traffic.sent ? " sent to " : " recv from ") +
           traffic.peer_ip + ":" + std::to_string(traffic.peer_port) + " " + std::to_string(traffic.bytes.size()) +
           " bytes " + (traffic.bytes.empty() ? std::string("(empty)") : datagram_text(traffic.bytes));
}

std::string clock_text() {
    timeval now{};
    ::gettimeofday(&now, nullptr);
    std::tm local{};
    ::localtime_r(&now.tv_sec, &local);
    char text[32];
    std::snprintf(text, sizeof(text), "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<long>(now.tv_usec / 1000));
    return text;
}

}  // namespace dexhand_sim
