#pragma once

// dexhand serve's pure parts: what a request may carry (body size, JSON
// depth, positions within the hand kind's range, configuration size), the
// token and cookie comparison, which Host and Origin headers name this
// server, clean request paths, the per-hand rate limit, and the HTTP status
// of each library outcome. Nothing here touches a socket or a hand.

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "tessaro_dexhand/tessaro_dexhand.h"

namespace dexhand_cli::serve {

constexpr std::size_t kBodyLimit = 64 * 1024;  // every request body, chunked or not
constexpr int kJsonDepthLimit = 8;             // a command body needs two levels
constexpr std::size_t kConfigLimit = 1023;     // what a hand takes in one datagram
constexpr const char* kTokenCookie = "dexhand_token";

// An answer to the browser: status and a JSON body.
struct Reply {
    int status = 200;
    std::string body;
};

std::string json_string(std::string_view text);
Reply refused(int status, const std::string& text);
Reply done(const std::string& text);

// The HTTP status of a library outcome: ok 200, failed 502, timeout 504,
// not_served 501, unknown_hand 404, invalid_argument 400.
int http_status(tessaro_dexhand::Status status);
// The reply for an outcome of `what` on the hand at `address`.
Reply reply_for(tessaro_dexhand::Status status, const std::string& address, const std::string& what,
                const std::string& success);

// False when arrays and objects nest deeper than `limit` (strings are skipped,
// escapes included), so that no parser or writer recurses on what a client sent.
bool within_depth(std::string_view text, int limit);

// The positions of a move body ({"positions": [...], "fast": bool}) checked
// against the kind's count and range, or the reason they are refused.
bool parse_positions(std::string_view body, const tessaro_dexhand::KindInfo& kind, std::vector<float>& positions,
                     bool& fast, std::string& why);

// The configuration object in one line, or the reason it is refused.
bool compact_config(std::string_view body, std::string& text, std::string& why);

// True when the two texts are equal and not empty; the time taken depends
// only on the length of the expected text, not on where they differ.
bool same_token(const std::string& expected, const std::string& given);

// The value of one cookie of a Cookie header; empty when it is not there.
std::string cookie_value(std::string_view header, std::string_view name);

// True for a decoded request path free of NUL and other control bytes.
bool clean_path(std::string_view path);

// An address or host name as it stands in a URL: IPv6 in brackets.
std::string url_host(const std::string& address);

// True for 127.0.0.0/8 and ::1 in numeric form.
bool loopback_address(const std::string& numeric);

// Why listening on the address given (its numeric form: bound) is refused,
// or empty: anything but loopback needs --allow-remote.
std::string remote_refusal(const std::string& given, const std::string& bound, bool allow_remote);

// The names under which browsers reach this server: the Host header must be
// one of them with the port, and a command's Origin, when present, one of
// them as http://host:port.
class Site {
public:
    // Hosts in URL form ("127.0.0.1", "[::1]", "localhost"); compared
    // without regard to case.
    Site(std::vector<std::string> hosts, int port);

    bool host_allowed(std::string_view host_header) const;
    bool origin_allowed(std::string_view origin) const;
    // http://host:port for each host.
    std::vector<std::string> urls() const;
    int port() const { return port_; }

private:
    std::vector<std::string> hosts_;
    int port_;
};

// A token bucket: `per_second` tokens a second, as many at most; the clock is
// the caller's.
class RateLimiter {
public:
    using Clock = std::chrono::steady_clock;
    RateLimiter(double per_second, Clock::time_point now);
    // One token, or false when none is left.
    bool take(Clock::time_point now);

private:
    double rate_;
    double tokens_;
    Clock::time_point refilled_;
};

}  // namespace dexhand_cli::serve
