// The bridge's rules that need no network: hand namespaces and the names
// file, command checks, the tactile image layout and time stamps.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>

#include "hand_kinds.h"
#include "naming.h"

using namespace bridge;

TEST(Naming, NamespaceAndTopicOfAHand) {
    EXPECT_EQ(default_namespace("192.168.137.39"), "/dexhand/hand_39");
    EXPECT_EQ(dds_topic("/dexhand/hand_39", "joint_states"), "rt/dexhand/hand_39/joint_states");
}

TEST(Naming, RosNamespaces) {
    for (const char* good : {"/left_hand", "/robot/hand_2", "/_x", "/a1/b2"}) {
        EXPECT_TRUE(valid_namespace(good)) << good;
    }
    for (const char* bad : {"", "/", "left", "/left/", "//left", "/a//b", "/2hand", "/a/9", "/le-ft", "/a b"}) {
        EXPECT_FALSE(valid_namespace(bad)) << bad;
    }
}

TEST(Naming, NamesFile) {
    std::istringstream in("# hands of the left arm\n\n192.168.137.39 /left_hand\n  192.168.137.19\t/robot/right \n");
    std::string error;
    const auto names = parse_names(in, error);
    ASSERT_TRUE(names.has_value()) << error;
    EXPECT_EQ(*names, (std::map<std::string, std::string>{{"192.168.137.39", "/left_hand"},
                                                          {"192.168.137.19", "/robot/right"}}));
}

TEST(Naming, NamesFileErrorsNameTheLine) {
    const std::pair<const char*, const char*> cases[] = {
        {"192.168.137.39\n", "line 1: expected an address and a namespace"},
        {"192.168.137.39 /a /b\n", "line 1: expected an address and a namespace"},
        {"# x\n192.168.137.39 left\n", "line 2: \"left\" is not a ROS namespace (like /left_hand)"},
        {"192.168.137.39 /a\n192.168.137.39 /b\n", "line 2: 192.168.137.39 is named twice"},
        {"192.168.137.39 /a\n192.168.137.40 /a\n", "line 2: /a is already given to 192.168.137.39"},
    };
    for (const auto& c : cases) {
        std::istringstream in(c.first);
        std::string error;
        EXPECT_FALSE(parse_names(in, error).has_value()) << c.first;
        EXPECT_EQ(error, c.second);
    }
}

TEST(Commands, GoodCommandBecomesFloats) {
    std::vector<float> targets;
    EXPECT_FALSE(check_command({0.25, -1.0, 3e38}, 3, targets).has_value());
    EXPECT_EQ(targets, (std::vector<float>{0.25f, -1.0f, 3e38f}));
}

TEST(Commands, BadCommandsLeaveTheTargetsAlone) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<std::vector<double>, const char*> cases[] = {
        {{0.5, 0.5}, "2 positions for 3 joints"},
        {{0.5, 0.5, 0.5, 0.5}, "4 positions for 3 joints"},
        {{}, "0 positions for 3 joints"},
        {{0.5, std::nan(""), 0.5}, "position 1 is not a finite float"},
        {{0.5, 0.5, -inf}, "position 2 is not a finite float"},
        {{1e39, 0.5, 0.5}, "position 0 is not a finite float"},  // beyond float
    };
    for (const auto& c : cases) {
        std::vector<float> targets = {7, 7, 7};
        const auto why = check_command(c.first, 3, targets);
        ASSERT_TRUE(why.has_value()) << c.second;
        EXPECT_EQ(*why, c.second);
        EXPECT_EQ(targets, (std::vector<float>{7, 7, 7}));
    }
}

TEST(Tactile, RowsBecomeLittleEndianMono16) {
    const Image image = tactile_image({{0x01, 0xFF, 0x00}, {0x80, 0x02, 0x10}});
    EXPECT_EQ(image.height, 2u);
    EXPECT_EQ(image.width, 3u);
    EXPECT_EQ(image.step, 6u);
    EXPECT_EQ(image.data, (std::vector<std::uint8_t>{0x01, 0, 0xFF, 0, 0, 0, 0x80, 0, 0x02, 0, 0x10, 0}));
}

TEST(Tactile, WideValuesSaturateAndShortRowsArePadded) {
    const Image image = mono16_image({{70000, 65535, 256}, {1}});
    EXPECT_EQ(image.data, (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x01, 0x01, 0, 0, 0, 0, 0}));
    EXPECT_EQ(tactile_image({}).data.size(), 0u);
}

TEST(Stamps, SplitIntoSecondsAndNanoseconds) {
    const auto when = std::chrono::system_clock::time_point(std::chrono::nanoseconds(1733490000123456789LL));
    const Stamp stamp = stamp_of(when);
    EXPECT_EQ(stamp.sec, 1733490000);
    EXPECT_EQ(stamp.nanosec, 123456789u);
}

TEST(Kinds, JointCountsFollowTheLibrary) {
    ASSERT_NE(find_kind("qmhv2"), nullptr);
    EXPECT_EQ(find_kind("qmhv1")->joints.size(), 6u);
    EXPECT_EQ(find_kind("qmhv2")->joints.size(), 12u);
    EXPECT_EQ(find_kind("QSH")->joints.size(), 6u);
    EXPECT_TRUE(find_kind("qmhv2")->tactile);
    EXPECT_EQ(find_kind("qmhv3"), nullptr);
}
