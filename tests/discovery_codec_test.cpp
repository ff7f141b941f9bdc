// The discovery reply rules, without a network.
#include <gtest/gtest.h>

#include "manager/discovery.h"

using hand_ws::discovery::Outcome;
using hand_ws::discovery::Reply;
using hand_ws::discovery::parse_reply;
using hand_ws::discovery::version_text;
using Strings = std::vector<std::string>;

namespace {

Reply accepted(const char* text) {
    Reply reply;
    EXPECT_EQ(parse_reply(text, reply), Outcome::Accepted) << text;
    return reply;
}

}  // namespace

TEST(DiscoveryCodec, VersionTextIsAlwaysFourNumbers) {
    EXPECT_EQ(version_text({}), "0.0.0.0");
    EXPECT_EQ(version_text({2, 1}), "2.1.0.0");
    EXPECT_EQ(version_text({1, 2, 3, 4, 5, 6}), "1.2.3.4");
}

// Both address keys add an entry each; both version families feed the same
// two lists, the array keys with their own spelling.
TEST(DiscoveryCodec, EachAddressAndVersionKeyAddsAnEntry) {
    const Reply r = accepted(R"({"name":"QSH","IP":"192.168.137.10","ip_address":"192.168.137.10",)"
                             R"("driver_version":"d","hardware_verison":[7],"firmware_verison":[8],)"
                             R"("firmware_version":"f"})");
    EXPECT_EQ(r.ip_addresses, (Strings{"192.168.137.10", "192.168.137.10"}));
    EXPECT_EQ(r.driver_versions, (Strings{"d", "7.0.0.0"}));
    EXPECT_EQ(r.hardware_versions, (Strings{"8.0.0.0", "f"}));
}

TEST(DiscoveryCodec, MembersOfAnotherTypeOrSpellingAddNothing) {
    const Reply r = accepted(R"({"name":"qmhv1","type":5,"IP":["192.168.137.10"],"ip_address":null,)"
                             R"("firmware_version":[1,2],"hardware_version":[3],"driver_version":[1],)"
                             R"("hardware_verison":"1.2","serial_number":12,"other":"x"})");
    EXPECT_EQ(r.type, std::nullopt);
    EXPECT_EQ(r.ip_addresses, Strings{});
    EXPECT_EQ(r.driver_versions, Strings{});
    EXPECT_EQ(r.hardware_versions, Strings{});
    EXPECT_EQ(r.serial_number, std::nullopt);
}

TEST(DiscoveryCodec, AKeyGivenTwiceCountsOnceTheFirst) {
    EXPECT_EQ(accepted(R"({"name":"qmhv1","name":"QSH"})").name, "qmhv1");
}

TEST(DiscoveryCodec, HowEachRefusedReplyIsJudged) {
    const std::vector<std::pair<const char*, Outcome>> cases = {
        {R"({"name":"qmhv3","IP":"192.168.137.10"})", Outcome::UnknownName},
        {R"({"name":"QMHV1","IP":"192.168.137.10"})", Outcome::UnknownName},
        {R"({"IP":"192.168.137.10"})", Outcome::NoName},
        {R"({"name":7})", Outcome::NoName},
        {"hello", Outcome::ParseError},
        {"", Outcome::ParseError},
        {R"({"name":"qmhv1",})", Outcome::ParseError},
        {R"({"name":"qmhv1"} x)", Outcome::ParseError},
        {R"(/*c*/{"name":"qmhv1"})", Outcome::ParseError},
        {R"({"name":"qmhv1")", Outcome::ParseError},
        {"[1,2]", Outcome::Malformed},
        {"\"qmhv1\"", Outcome::Malformed},
        {"null", Outcome::Malformed},
        {R"({"name":"qmhv1","firmware_verison":[1,-2]})", Outcome::Malformed},
        {R"({"name":"qmhv1","firmware_verison":[1.5]})", Outcome::Malformed},
        {R"({"name":"qmhv1","hardware_verison":["1"]})", Outcome::Malformed},
        {R"({"name":"qmhv1","hardware_verison":[1,2,3,4,[5]]})", Outcome::Malformed},
        {R"({"name":"qmhv1","hardware_verison":[4294967296]})", Outcome::Malformed},
        {" \n{\"name\":\"qmhv1\",\"hardware_verison\":[4294967295]}\t ", Outcome::Accepted},
    };
    for (const auto& [text, outcome] : cases) {
        Reply r;
        EXPECT_EQ(parse_reply(text, r), outcome) << text;
    }
}
