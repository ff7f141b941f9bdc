// The bridge's rules that need no network: hand namespaces and the names
// file, command checks, the tactile image layout and time stamps.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "naming.h"

using namespace bridge;

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

// Commands are judged by each kind's own facts: the bridge keeps none.
class Commands : public testing::TestWithParam<tessaro_dexhand::KindInfo> {};

TEST_P(Commands, ValuesInTheKindsRangeBecomeFloats) {
    const auto& kind = GetParam();
    std::vector<double> positions(kind.joints, kind.position_max);
    positions.front() = kind.position_min;
    positions.back() = kind.hold_value;
    std::vector<float> targets;
    EXPECT_FALSE(check_command(positions, kind, targets).has_value());
    EXPECT_EQ(targets, std::vector<float>(positions.begin(), positions.end()));
}

TEST_P(Commands, BadCommandsLeaveTheTargetsAlone) {
    const auto& kind = GetParam();
    const std::vector<double> good(kind.joints, kind.position_min);
    const auto with = [&](std::size_t joint, double value) {
        auto positions = good;
        positions[joint] = value;
        return positions;
    };
    // The kind's rules are check_positions()'s tests; one of each kind here.
    const std::vector<double> cases[] = {
        std::vector<double>(kind.joints - 1, kind.position_min),
        with(1, std::nan("")),
        with(0, 1e39),  // beyond the float range
        with(0, -1e39),
        with(2, static_cast<double>(kind.position_max) + 1.0),
    };
    for (const auto& positions : cases) {
        std::vector<float> targets = {7, 7, 7};
        EXPECT_TRUE(check_command(positions, kind, targets).has_value()) << testing::PrintToString(positions);
        EXPECT_EQ(targets, (std::vector<float>{7, 7, 7}));
    }
}

INSTANTIATE_TEST_SUITE_P(EveryKind, Commands, testing::ValuesIn(tessaro_dexhand::kinds()),
                         [](const testing::TestParamInfo<tessaro_dexhand::KindInfo>& kind) { return kind.param.name; });

// Short rows are padded and wide values saturate.
TEST(Tactile, RowsBecomeLittleEndianMono16) {
    const Image image = tactile_image({{0x01, 0xFF, 0x00}, {0x80, 0x02, 0x10}});
    EXPECT_EQ(image.height, 2u);
    EXPECT_EQ(image.width, 3u);
    EXPECT_EQ(image.step, 6u);
    EXPECT_EQ(image.data, (std::vector<std::uint8_t>{0x01, 0, 0xFF, 0, 0, 0, 0x80, 0, 0x02, 0, 0x10, 0}));
    EXPECT_EQ(mono16_image({{70000, 65535, 256}, {1}}).data,
              (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x01, 0x01, 0, 0, 0, 0, 0}));
    EXPECT_EQ(tactile_image({}).data.size(), 0u);
}

TEST(Stamps, SplitIntoSecondsAndNanoseconds) {
    const auto when = std::chrono::system_clock::time_point(std::chrono::nanoseconds(1733490000123456789LL));
    const Stamp stamp = stamp_of(when);
    EXPECT_EQ(stamp.sec, 1733490000);
    EXPECT_EQ(stamp.nanosec, 123456789u);
}
