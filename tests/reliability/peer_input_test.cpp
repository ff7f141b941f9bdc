// The rules for bytes that came from the network, without sockets: the one
// JSON rule of every path, and how peer text is printed. (Which position
// limits count is the qmhv1 codec's test.)
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "manager/discovery.h"
#include "manager/qhand.h"
#include "protocols/peer_json.h"
#include "protocols/qmhv1_codec.h"
#include "protocols/qmhv2_codec.h"
#include "transport/diagnostics.h"

namespace v1 = BaseHandProtocol::qmhv1_codec;
namespace v2 = BaseHandProtocol::qmhv2_codec;

namespace {

const std::string kBom = "\xEF\xBB\xBF";

}  // namespace

// A leading byte-order mark is not white space: every path refuses it, the
// same text without it is taken everywhere.
TEST(PeerJson, AByteOrderMarkIsRefusedOnEveryPath) {
    const std::string code = R"({"errorcode":0})";
    std::uint64_t value = 9;
    EXPECT_EQ(v2::read_command_code(code, value), v2::Reply::Ok);
    EXPECT_EQ(v2::read_command_code(kBom + code, value), v2::Reply::NotJson);
    EXPECT_FALSE(v2::parses(kBom + code));

    const std::string config = R"({"hardware_verison":[1]})";
    EXPECT_EQ(v1::judge_config_reply(config), v1::ConfigReply::Accepted);
    EXPECT_EQ(v1::judge_config_reply(kBom + config), v1::ConfigReply::NotJson);

    const std::string reply = R"({"name":"qmhv1","type":"QMH-6L","IP":"192.168.137.10"})";
    hand_ws::discovery::Reply parsed;
    EXPECT_EQ(hand_ws::discovery::parse_reply(reply.c_str(), parsed), hand_ws::discovery::Outcome::Accepted);
    EXPECT_EQ(hand_ws::discovery::parse_reply((kBom + reply).c_str(), parsed),
              hand_ws::discovery::Outcome::ParseError);
}

TEST(PeerJson, OnlyALeadingMarkMatters) {
    rapidjson::Document document;
    EXPECT_TRUE(peer_json::parse(std::string_view(" {\"a\":\"" + kBom + "\"} "), document));
    EXPECT_FALSE(peer_json::parse(std::string_view("\xEF\xBB"), document));
    EXPECT_FALSE(peer_json::parse(std::string_view(" " + kBom + "{}"), document));
}

TEST(PeerText, ControlBytesArePrintedEscaped) {
    EXPECT_EQ(Diagnostics::printable("plain text, caf\xC3\xA9 \\x"), "plain text, caf\xC3\xA9 \\x");
    EXPECT_EQ(Diagnostics::printable(std::string("\x1B[2J\x00\x07\n\x7F", 8)), "\\x1B[2J\\x00\\x07\\x0A\\x7F");
    EXPECT_EQ(Diagnostics::printable("a\xC2\x9B" "6n\xC2\xA0"), "a\\xC2\\x9B6n\xC2\xA0");
    EXPECT_EQ(Diagnostics::printable("\xC2"), "\xC2");
}

class Refusals : public testing::Test {
protected:
    Refusals() {
        Diagnostics::set_handler([this](Diagnostics::Level, Diagnostics::Stream, std::string_view text) {
            lines.emplace_back(text);
        });
    }
    ~Refusals() override { Diagnostics::set_handler({}); }
    std::vector<std::string> lines;
};

// Scopes inside a scope share its 64 lines and its one count; other lines
// still pass.
TEST_F(Refusals, AScopePrints64ThenOneCountForItselfAndTheScopesInIt) {
    {
        const Diagnostics::RefusalScope outer;
        for (int run = 0; run < 4; ++run) {
            const Diagnostics::RefusalScope inner;
            for (int i = 0; i < 50; ++i) {
                Diagnostics::refuse(Diagnostics::Level::warning, "refused " + std::to_string(run * 50 + i));
            }
        }
        Diagnostics::emit(Diagnostics::Level::warning, "other line");
    }
    ASSERT_EQ(lines.size(), 66u);
    EXPECT_EQ(lines[63], "refused 63");
    EXPECT_EQ(lines[64], "other line");
    EXPECT_EQ(lines[65], "further refused datagrams not printed: 136");
}

TEST_F(Refusals, WithoutAScopeEveryLineIsPrintedAndAFewNeedNoCount) {
    for (int i = 0; i < 100; ++i) {
        Diagnostics::refuse(Diagnostics::Level::warning, "refused");
    }
    {
        const Diagnostics::RefusalScope scope;
        Diagnostics::refuse(Diagnostics::Level::warning, "refused");
    }
    EXPECT_EQ(lines.size(), 101u);
}
