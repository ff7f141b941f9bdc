// The discovery request and reply rules, without a network.
#include <gtest/gtest.h>

#include "manager/qhand.h"

using hand_ws::discovery::Outcome;
using hand_ws::discovery::Reply;
using hand_ws::discovery::parse_reply;
using hand_ws::discovery::version_text;

TEST(DiscoveryRequest, FifteenOnesThenZerosTo512Bytes) {
    const std::vector<unsigned char> bytes = hand_ws::discovery::request();
    ASSERT_EQ(bytes.size(), 512u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 15), std::string(15, '1'));
    EXPECT_EQ(std::string(bytes.begin() + 15, bytes.end()), std::string(497, '\0'));
}

TEST(DiscoveryVersionText, AlwaysFourNumbers) {
    EXPECT_EQ(version_text({2, 1}), "2.1.0.0");
    EXPECT_EQ(version_text({1, 0, 3, 7}), "1.0.3.7");
    EXPECT_EQ(version_text({1, 2, 3, 4, 5, 6}), "1.2.3.4");
    EXPECT_EQ(version_text({}), "0.0.0.0");
    EXPECT_EQ(version_text({4294967295u}), "4294967295.0.0.0");
}

TEST(DiscoveryReply, EveryKeyOfTheTableWithItsExactSpelling) {
    Reply r;
    ASSERT_EQ(parse_reply(R"({"name":"qmhv2","type":"QMH-12L","ip_address":"192.168.137.39",)"
                          R"("serial_number":"SN1","hardware_verison":[1,2],"firmware_verison":[3,4,5,6]})",
                          r),
              Outcome::Accepted);
    EXPECT_EQ(r.name, "qmhv2");
    EXPECT_EQ(r.type, "QMH-12L");
    EXPECT_EQ(r.ip_addresses, std::vector<std::string>{"192.168.137.39"});
    EXPECT_EQ(r.serial_number, "SN1");
    EXPECT_EQ(r.driver_versions, std::vector<std::string>{"1.2.0.0"});
    EXPECT_EQ(r.hardware_versions, std::vector<std::string>{"3.4.5.6"});

    // The string family, and both address keys each adding an entry.
    ASSERT_EQ(parse_reply(R"({"name":"qmhv1","IP":"192.168.137.10","ip_address":"192.168.137.10",)"
                          R"("driver_version":"1.0","firmware_version":"2.0"})",
                          r),
              Outcome::Accepted);
    EXPECT_FALSE(r.type.has_value());
    EXPECT_FALSE(r.serial_number.has_value());
    EXPECT_EQ(r.ip_addresses, (std::vector<std::string>{"192.168.137.10", "192.168.137.10"}));
    EXPECT_EQ(r.driver_versions, std::vector<std::string>{"1.0"});
    EXPECT_EQ(r.hardware_versions, std::vector<std::string>{"2.0"});

    // Both families at once: strings first, arrays after, per list.
    ASSERT_EQ(parse_reply(R"({"name":"QSH","driver_version":"d","hardware_verison":[7],)"
                          R"("firmware_verison":[8],"firmware_version":"f"})",
                          r),
              Outcome::Accepted);
    EXPECT_EQ(r.driver_versions, (std::vector<std::string>{"d", "7.0.0.0"}));
    EXPECT_EQ(r.hardware_versions, (std::vector<std::string>{"8.0.0.0", "f"}));
}

TEST(DiscoveryReply, CorrectlySpelledArrayKeysAndOtherTypesAreIgnored) {
    Reply r;
    ASSERT_EQ(parse_reply(R"({"name":"qmhv1","type":5,"IP":["192.168.137.10"],"ip_address":null,)"
                          R"("firmware_version":[1,2],"hardware_version":[3],"driver_version":[1],)"
                          R"("hardware_verison":"1.2","serial_number":12,"other":"x"})",
                          r),
              Outcome::Accepted);
    EXPECT_FALSE(r.type.has_value());
    EXPECT_TRUE(r.ip_addresses.empty());
    EXPECT_TRUE(r.driver_versions.empty());
    EXPECT_TRUE(r.hardware_versions.empty());
    EXPECT_FALSE(r.serial_number.has_value());
}

TEST(DiscoveryReply, DuplicateKeysInOneObjectTakeTheFirst) {
    Reply r;
    ASSERT_EQ(parse_reply(R"({"name":"qmhv1","IP":"192.168.137.10","IP":"192.168.137.11"})", r),
              Outcome::Accepted);
    EXPECT_EQ(r.ip_addresses, std::vector<std::string>{"192.168.137.10"});
}

TEST(DiscoveryReply, NamesOutsideTheThreeKinds) {
    Reply r;
    EXPECT_EQ(parse_reply(R"({"name":"qmhv3","IP":"192.168.137.10"})", r), Outcome::UnknownName);
    EXPECT_EQ(parse_reply(R"({"name":"QMHV1","IP":"192.168.137.10"})", r), Outcome::UnknownName);
    EXPECT_EQ(parse_reply(R"({"IP":"192.168.137.10"})", r), Outcome::NoName);
    EXPECT_EQ(parse_reply(R"({"name":7,"IP":"192.168.137.10"})", r), Outcome::NoName);
}

TEST(DiscoveryReply, StrictJsonOnly) {
    Reply r;
    for (const char* text : {"hello", "", "{\"name\":\"qmhv1\",}", "{\"name\":\"qmhv1\"} x",
                             "/*c*/{\"name\":\"qmhv1\"}", "{\"name\":\"qmhv1\"", "{'name':'qmhv1'}"}) {
        EXPECT_EQ(parse_reply(text, r), Outcome::ParseError) << text;
    }
    EXPECT_EQ(parse_reply(" \n{\"name\":\"qmhv1\"}\t ", r), Outcome::Accepted);
}

TEST(DiscoveryReply, RootsOtherThanObjectsAndBadVersionElementsAreDropped) {
    Reply r;
    for (const char* text : {"[1,2]", "\"qmhv1\"", "42", "null", "true"}) {
        EXPECT_EQ(parse_reply(text, r), Outcome::Malformed) << text;
    }
    for (const char* text : {R"({"name":"qmhv1","firmware_verison":[1,-2]})",
                             R"({"name":"qmhv1","firmware_verison":[1.5]})",
                             R"({"name":"qmhv1","hardware_verison":["1"]})",
                             R"({"name":"qmhv1","hardware_verison":[1,2,3,4,[5]]})",
                             R"({"name":"qmhv1","hardware_verison":[4294967296]})"}) {
        EXPECT_EQ(parse_reply(text, r), Outcome::Malformed) << text;
    }
    EXPECT_EQ(parse_reply(R"({"name":"qmhv1","hardware_verison":[4294967295]})", r), Outcome::Accepted);
    EXPECT_EQ(r.driver_versions, std::vector<std::string>{"4294967295.0.0.0"});
}
