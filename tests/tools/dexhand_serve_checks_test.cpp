// dexhand serve's pure checks: request bodies, tokens, cookies, Host and
// Origin judgement, paths, listening addresses, the rate limit, and the HTTP
// status and the dexhand exit status of each outcome.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "commands.h"
#include "serve_checks.h"

namespace td = tessaro_dexhand;
using namespace dexhand_cli::serve;

namespace {

const td::KindInfo& kind(const char* name) { return *td::find_kind(name); }

std::string twelve(const std::string& first) { return "{\"positions\":[" + first + ",0,0,0,0,0,0,0,0,0,0,0]}"; }

TEST(ServeChecks, MovesAreCheckedAgainstTheKindBeforeAnythingIsSent) {
    // Each body with the reason it is refused for (none: accepted).
    const std::vector<std::pair<std::string, std::string>> cases = {
        {twelve("90"), ""},
        {twelve("-1"), ""},  // the hold value
        {twelve("1000"), "outside 0 to 180"},
        {twelve("3.4e38"), "outside 0 to 180"},
        {twelve("1e39"), "finite"},
        {twelve("null"), "finite"},
        {"{\"positions\":[1,2]}", "takes 12 positions, 2 given"},
        {"{\"positions\":[0,0,0,0,0,0,0,0,0,0,0,0,0]}", "takes 12 positions, 13 given"},
        {"{\"position\":[]}", "no \"positions\" list"},
        {"[1]", "not a JSON object"},
        {"{\"positions\":[[[[[[[[[1]]]]]]]]]}", "nests deeper"},
        {std::string(2 * 1024 * 1024, '['), "larger than 65536"},
    };
    for (const auto& [body, reason] : cases) {
        std::vector<float> positions;
        bool fast = true;
        std::string why;
        EXPECT_EQ(parse_positions(body, kind("qmhv2"), positions, fast, why), reason.empty()) << body.substr(0, 60);
        EXPECT_NE(why.find(reason), std::string::npos) << body.substr(0, 60) << ": " << why;
    }
}

TEST(ServeChecks, DepthCountsBracketsOutsideStringsOnly) {
    EXPECT_TRUE(within_depth("[[[]]]", 3));
    EXPECT_FALSE(within_depth("[[[[]]]]", 3));
    EXPECT_FALSE(within_depth("{\"a\":{\"b\":[[]]}}", 3));
    EXPECT_TRUE(within_depth("{\"a\":\"[[[[[[\"}", 1));
    EXPECT_TRUE(within_depth("{\"a\":\"\\\"[[[[\"}", 1));  // an escaped quote does not end the string
}

TEST(ServeChecks, ConfigurationsAreCompactedAndBounded) {
    std::string text, why;
    EXPECT_TRUE(compact_config("{\n  \"speed_limit\": 120\n}", text, why));
    EXPECT_EQ(text, "{\"speed_limit\":120}");
    EXPECT_FALSE(compact_config("{\"note\":\"" + std::string(1100, 'x') + "\"}", text, why));
    EXPECT_NE(why.find("at most 1023"), std::string::npos);
    EXPECT_FALSE(compact_config(std::string(100000, '['), text, why));
}

TEST(ServeChecks, TokensMatchOnlyWhenEqual) {
    const std::string token = "ab12cd";
    EXPECT_TRUE(same_token(token, "ab12cd"));
    for (const char* given : {"", "ab12c", "ab12cd0", "Ab12cd", "ab12cx"}) {
        EXPECT_FALSE(same_token(token, given)) << given;
    }
    EXPECT_FALSE(same_token("", ""));
}

TEST(ServeChecks, CookiesAreFoundByExactName) {
    EXPECT_EQ(cookie_value("a=1; dexhand_token_80=xyz; b=2", "dexhand_token_80"), "xyz");
    EXPECT_EQ(cookie_value("dexhand_token_8080=xyz", "dexhand_token_80"), "");
    EXPECT_EQ(cookie_value("", "dexhand_token_80"), "");
}

TEST(ServeChecks, HostAndOriginMustNameThisServer) {
    const Site site({"127.0.0.1", "localhost", "192.168.1.5", "[::1]"}, 8080);
    for (const char* host : {"127.0.0.1:8080", "LOCALHOST:8080", "192.168.1.5:8080", "[::1]:8080"}) {
        EXPECT_TRUE(site.host_allowed(host)) << host;
        EXPECT_TRUE(site.origin_allowed(std::string("http://") + host)) << host;
    }
    for (const char* host : {"evil.example:8080", "127.0.0.1", "127.0.0.1:8081", "127.0.0.1:8080.evil.example",
                             "0.0.0.0:8080", ""}) {
        EXPECT_FALSE(site.host_allowed(host)) << host;
        EXPECT_FALSE(site.origin_allowed(std::string("http://") + host)) << host;
    }
    EXPECT_FALSE(site.origin_allowed("https://127.0.0.1:8080"));
    EXPECT_FALSE(site.origin_allowed("null"));
    EXPECT_EQ(site.urls().front(), "http://127.0.0.1:8080");
}

TEST(ServeChecks, PathsWithControlBytesAreRefused) {
    EXPECT_TRUE(clean_path("/app.js"));
    EXPECT_FALSE(clean_path(std::string("/app.js\0.html", 13)));
    EXPECT_FALSE(clean_path("/a\nb"));
    EXPECT_FALSE(clean_path("/a\x7f"));
}

TEST(ServeChecks, OnlyLoopbackIsServedWithoutAllowRemote) {
    // given, the numeric address it resolved to: a name is judged by its address.
    for (const auto& [given, bound] : std::vector<std::pair<std::string, std::string>>{
             {"127.0.0.1", "127.0.0.1"}, {"127.3.2.1", "127.3.2.1"}, {"::1", "::1"}, {"localhost", "127.0.0.1"}}) {
        EXPECT_EQ(remote_refusal(given, bound, false), "") << given;
    }
    EXPECT_EQ(remote_refusal("192.168.137.1", "192.168.137.1", false),
              "binding 192.168.137.1 would let other machines command the hands; give --allow-remote to do so");
    EXPECT_EQ(remote_refusal("127.hands.example", "192.168.137.1", false),
              "binding 127.hands.example (192.168.137.1) would let other machines command the hands; "
              "give --allow-remote to do so");
    EXPECT_NE(remote_refusal("0.0.0.0", "0.0.0.0", false), "");
    EXPECT_EQ(remote_refusal("0.0.0.0", "0.0.0.0", true), "");
}

TEST(ServeChecks, RateLimiterRefillsWithTime) {
    const RateLimiter::Clock::time_point start{};
    RateLimiter limiter(2.0, start);
    EXPECT_TRUE(limiter.take(start));
    EXPECT_TRUE(limiter.take(start));
    EXPECT_FALSE(limiter.take(start));
    EXPECT_FALSE(limiter.take(start + std::chrono::milliseconds(400)));
    EXPECT_TRUE(limiter.take(start + std::chrono::milliseconds(600)));
    // A long pause gives back no more than one second's worth.
    const auto later = start + std::chrono::seconds(60);
    EXPECT_TRUE(limiter.take(later));
    EXPECT_TRUE(limiter.take(later));
    EXPECT_FALSE(limiter.take(later));
}

TEST(ServeChecks, EachOutcomeKeepsItsMeaningOverHttpAndAsAnExitStatus) {
    struct Row {
        td::Status status;
        int http;
        int exit;
    };
    const std::vector<Row> table = {
        {td::Status::ok, 200, dexhand_cli::kExitOk},
        {td::Status::failed, 502, dexhand_cli::kExitFailed},
        {td::Status::timeout, 504, dexhand_cli::kExitTimeout},
        {td::Status::not_served, 501, dexhand_cli::kExitUnsupported},
        {td::Status::unknown_hand, 404, dexhand_cli::kExitNotFound},
        {td::Status::invalid_argument, 400, dexhand_cli::kExitUsage},
    };
    for (const auto& row : table) {
        EXPECT_EQ(http_status(row.status), row.http) << td::to_text(row.status);
        EXPECT_EQ(reply_for(row.status, "192.168.137.39", "move", "sent").status, row.http) << td::to_text(row.status);
        EXPECT_EQ(dexhand_cli::exit_code(row.status), row.exit) << td::to_text(row.status);
    }
}

}  // namespace
