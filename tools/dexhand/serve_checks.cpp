#include "serve_checks.h"

#include <algorithm>
#include <cctype>
#include <cmath>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace dexhand_cli::serve {

namespace td = tessaro_dexhand;

namespace {

constexpr unsigned kParseFlags = rapidjson::kParseIterativeFlag;

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

// Parses a JSON text of bounded depth, or says why not.
bool parse_bounded(std::string_view body, rapidjson::Document& document, std::string& why) {
    if (body.size() > kBodyLimit) {
        why = "the request is larger than " + std::to_string(kBodyLimit) + " bytes";
        return false;
    }
    if (!within_depth(body, kJsonDepthLimit)) {
        why = "the request nests deeper than " + std::to_string(kJsonDepthLimit) + " levels";
        return false;
    }
    document.Parse<kParseFlags>(body.data(), body.size());
    if (document.HasParseError()) {
        why = std::string("not JSON: ") + rapidjson::GetParseError_En(document.GetParseError()) + " at offset " +
              std::to_string(document.GetErrorOffset());
        return false;
    }
    return true;
}

}  // namespace

std::string json_string(std::string_view text) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
    return buffer.GetString();
}

Reply refused(int status, const std::string& text) { return {status, "{\"error\":" + json_string(text) + "}"}; }

Reply done(const std::string& text) { return {200, "{\"result\":" + json_string(text) + "}"}; }

int http_status(td::Status status) {
    switch (status) {
    case td::Status::ok:
        return 200;
    case td::Status::timeout:
        return 504;
    case td::Status::not_served:
        return 501;
    case td::Status::unknown_hand:
        return 404;
    case td::Status::invalid_argument:
        return 400;
    case td::Status::failed:
        break;
    }
    return 502;
}

Reply reply_for(td::Status status, const std::string& address, const std::string& what, const std::string& success) {
    switch (status) {
    case td::Status::ok:
        return done(success);
    case td::Status::timeout:
        return refused(504, address + " did not answer: " + what + " timed out");
    case td::Status::failed:
        return refused(502, what + " failed on " + address + ": the hand refused it or its reply was not understood");
    default:
        return refused(http_status(status), what + " on " + address + ": " + td::to_text(status));
    }
}

bool within_depth(std::string_view text, int limit) {
    int depth = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\') {
                ++i;  // the escaped byte cannot end the string
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) {
                return false;
            }
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

bool parse_positions(std::string_view body, const td::KindInfo& kind, std::vector<float>& positions, bool& fast,
                     std::string& why) {
    rapidjson::Document document;
    if (!parse_bounded(body, document, why) || !document.IsObject()) {
        why = "the request is not a JSON object" + (why.empty() ? std::string() : " (" + why + ")");
        return false;
    }
    const auto found = document.FindMember("positions");
    if (found == document.MemberEnd() || !found->value.IsArray()) {
        why = "the request has no \"positions\" list";
        return false;
    }
    const auto fast_member = document.FindMember("fast");
    fast = fast_member != document.MemberEnd() && fast_member->value.IsBool() && fast_member->value.GetBool();
    const auto& list = found->value.GetArray();
    if (list.Size() != kind.joints) {
        why = "a " + kind.name + " hand takes " + std::to_string(kind.joints) + " positions, " +
              std::to_string(list.Size()) + " given";
        return false;
    }
    positions.clear();
    for (const auto& value : list) {
        // A double beyond float's range would become an infinity.
        if (!value.IsNumber() || !std::isfinite(static_cast<float>(value.GetDouble()))) {
            why = "positions must be finite numbers";
            return false;
        }
        positions.push_back(static_cast<float>(value.GetDouble()));
    }
    why = kind.check_positions(positions);
    return why.empty();
}

bool compact_config(std::string_view body, std::string& text, std::string& why) {
    rapidjson::Document document;
    if (!parse_bounded(body, document, why) || !document.IsObject()) {
        why = "the configuration is not a JSON object" + (why.empty() ? std::string() : " (" + why + ")");
        return false;
    }
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    document.Accept(writer);
    text = buffer.GetString();
    if (text.size() > kConfigLimit) {
        why = "the configuration has " + std::to_string(text.size()) + " bytes without blanks; a hand takes at most " +
              std::to_string(kConfigLimit);
        return false;
    }
    return true;
}

bool same_token(const std::string& expected, const std::string& given) {
    // Every byte of the expected text is compared whatever the given one
    // holds, and the lengths are folded in without an early return.
    unsigned char difference = expected.size() == given.size() ? 0 : 1;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const unsigned char theirs = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
        difference |= static_cast<unsigned char>(static_cast<unsigned char>(expected[i]) ^ theirs);
    }
    return difference == 0 && !expected.empty();
}

std::string cookie_value(std::string_view header, std::string_view name) {
    std::size_t at = 0;
    while (at < header.size()) {
        std::size_t end = header.find(';', at);
        if (end == std::string_view::npos) {
            end = header.size();
        }
        std::string_view pair = header.substr(at, end - at);
        while (!pair.empty() && pair.front() == ' ') {
            pair.remove_prefix(1);
        }
        const auto equals = pair.find('=');
        if (equals != std::string_view::npos && pair.substr(0, equals) == name) {
            return std::string(pair.substr(equals + 1));
        }
        at = end + 1;
    }
    return "";
}

bool clean_path(std::string_view path) {
    return std::none_of(path.begin(), path.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7f;
    });
}

std::string url_host(const std::string& address) {
    return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

bool loopback_address(const std::string& numeric) { return numeric == "::1" || numeric.rfind("127.", 0) == 0; }

std::string remote_refusal(const std::string& given, const std::string& bound, bool allow_remote) {
    if (loopback_address(bound) || allow_remote) {
        return "";
    }
    return "binding " + given + (bound == given ? "" : " (" + bound + ")") +
           " would let other machines command the hands; give --allow-remote to do so";
}

Site::Site(std::vector<std::string> hosts, int port) : port_(port) {
    for (const auto& host : hosts) {
        const std::string name = lower(host);
        if (!name.empty() && std::find(hosts_.begin(), hosts_.end(), name) == hosts_.end()) {
            hosts_.push_back(name);
        }
    }
}

bool Site::host_allowed(std::string_view host_header) const {
    const std::string given = lower(host_header);
    const std::string suffix = ":" + std::to_string(port_);
    for (const auto& host : hosts_) {
        if (given == host + suffix || (port_ == 80 && given == host)) {
            return true;
        }
    }
    return false;
}

bool Site::origin_allowed(std::string_view origin) const {
    const std::string given = lower(origin);
    const std::string scheme = "http://";
    return given.rfind(scheme, 0) == 0 && host_allowed(std::string_view(given).substr(scheme.size()));
}

std::vector<std::string> Site::urls() const {
    std::vector<std::string> out;
    for (const auto& host : hosts_) {
        out.push_back("http://" + host + ":" + std::to_string(port_));
    }
    return out;
}

RateLimiter::RateLimiter(double per_second, Clock::time_point now)
    : rate_(per_second), tokens_(per_second), refilled_(now) {}

bool RateLimiter::take(Clock::time_point now) {
    if (now > refilled_) {
        tokens_ = std::min(rate_, tokens_ + std::chrono::duration<double>(now - refilled_).count() * rate_);
        refilled_ = now;
    }
    if (tokens_ < 1.0) {
        return false;
    }
    tokens_ -= 1.0;
    return true;
}

}  // namespace dexhand_cli::serve
