// The discovery reply rules, without a network.
#include <gtest/gtest.h>

#include "manager/discovery.h"

using hand_ws::discovery::Outcome;
using hand_ws::discovery::Reply;
using hand_ws::discovery::parse_reply;
using hand_ws::discovery::version_text;
using Strings = std::vector<std::string>;

TEST(DiscoveryCodec, VersionTextAndKeys) {
    // Four elements: missing ones are zeros, extra ones are dropped.
    EXPECT_EQ(version_text({}), "0.0.0.0");
    EXPECT_EQ(version_text({1, 2, 3, 4, 5, 6}), "1.2.3.4");

    // Both address keys each add an entry; both version families feed the same
    // lists (the array keys with their own spelling).
    Reply r;
    ASSERT_EQ(parse_reply(R"({"name":"QSH","IP":"192.168.137.10","ip_address":"192.168.137.10",)"
                          R"("driver_version":"d","hardware_verison":[7],"firmware_verison":[8],)"
                          R"("firmware_version":"f"})",
                          r),
              Outcome::Accepted);
    EXPECT_FALSE(r.type.has_value());
    EXPECT_FALSE(r.serial_number.has_value());
    EXPECT_EQ(r.ip_addresses, (Strings{"192.168.137.10", "192.168.137.10"}));
    EXPECT_EQ(r.driver_versions, (Strings{"d", "7.0.0.0"}));
    EXPECT_EQ(r.hardware_versions, (Strings{"8.0.0.0", "f"}));

    // Correct spellings of the array keys, other types and unknown keys add nothing;
    // a key given twice counts once, the first.
    ASSERT_EQ(parse_reply(R"({"name":"qmhv1","type":5,"IP":["192.168.137.10"],"ip_address":null,)"
                          R"("firmware_version":[1,2],"hardware_version":[3],"driver_version":[1],)"
                          R"("hardware_verison":"1.2","serial_number":12,"other":"x","name":"QSH"})",
                          r),
              Outcome::Accepted);
    EXPECT_EQ(r.name, "qmhv1");
    EXPECT_FALSE(r.type.has_value());
    EXPECT_TRUE(r.ip_addresses.empty());
    EXPECT_TRUE(r.driver_versions.empty());
    EXPECT_TRUE(r.hardware_versions.empty());
    EXPECT_FALSE(r.serial_number.has_value());
}

TEST(DiscoveryCodec, EveryWayAReplyIsRefused) {
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
