// The first-generation wire codec without a network: frames, text and
// error-field decoding, position targets, configuration texts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <sstream>
#include <limits>
#include <thread>

#include "protocols/handprotocol.h"
#include "protocols/qmhv1_codec.h"

using namespace BaseHandProtocol::qmhv1_codec;
using testing::ElementsAre;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using Bytes = std::vector<unsigned char>;

namespace {
const std::vector<float> kLimits{0, 2000, 0, 2000, 0, 2000, 0, 2000, 0, 2000, 0, 2000};
const std::array<float, 6> kHolds{-1, -1, -1, -1, -1, -1};
}  // namespace

TEST(Qmhv1Codec, PositionTargetsScaleClampAndHold) {
    std::array<float, 6> t{};
    ASSERT_EQ(position_targets({0.0f, 0.25f, 1.0f, 1.5f, -0.3f, -1.0f}, kLimits, t), PositionCheck::Ok);
    EXPECT_EQ(positions_frame(t), (Bytes{0x01, 0x11, 0x00, 0x00, 0x44, 0xFA, 0, 0, 0x44, 0xBB, 0x80, 0, 0, 0, 0, 0,
                                         0, 0, 0, 0, 0xBF, 0x80, 0, 0, 0xBF, 0x80, 0, 0}));
    ASSERT_EQ(position_targets({-0.5f, -0.5f, -0.5f, -0.5f, -0.5f, -1.0f}, kLimits, t), PositionCheck::Ok);
    EXPECT_EQ(t, kHolds);
    EXPECT_EQ(position_targets(std::vector<float>(7, 0.5f), kLimits, t), PositionCheck::SizeNotSix);
    // Hold-marker lists of any other length, the empty one too, hold all six.
    for (std::size_t n : {0u, 3u, 12u, 13u}) {
        t.fill(5.0f);
        ASSERT_EQ(position_targets(std::vector<float>(n, -1.0f), kLimits, t), PositionCheck::Ok) << n;
        EXPECT_EQ(t, kHolds) << n;
    }
    ASSERT_EQ(position_targets({NAN, -0.5f, -0.5f, -0.5f, -0.5f, -0.5f}, kLimits, t), PositionCheck::Ok);
    EXPECT_TRUE(std::isnan(t[0]));
    EXPECT_EQ(t[1], -1.0f);
}

TEST(Qmhv1Codec, TextRepliesSplitOnlyAtSpaces) {
    EXPECT_THAT(decode_floats("1  2"), ElementsAre(1.0f, 0.0f, 2.0f));
    EXPECT_THAT(decode_floats("12.5abc"), ElementsAre(12.5f));
    EXPECT_THAT(decode_floats("4 5 "), ElementsAre(4.0f, 5.0f));
    EXPECT_THAT(decode_floats("4 5\n"), ElementsAre(4.0f, 5.0f));
    EXPECT_THAT(decode_floats(" 4"), ElementsAre(0.0f, 4.0f));
    EXPECT_THAT(decode_floats("a\t7 \t-2.5e1 x"), ElementsAre(0.0f, -25.0f, 0.0f));
    EXPECT_THAT(decode_floats(""), ElementsAre());
    EXPECT_THAT(decode_integers("123456789012 -7 12.9 abc"), ElementsAre(123456789012L, -7L, 12L, 0L));
    EXPECT_THAT(decode_status("1 300 -1"), ElementsAre(1, 44, 255));
    // Out of range: the stream's extreme, never undefined.
    EXPECT_THAT(decode_integers("99999999999999999999999"), ElementsAre(std::numeric_limits<long>::max()));
    EXPECT_THAT(decode_floats("1e60"), ElementsAre(std::numeric_limits<float>::max()));
    // Positions are not clamped, and a short limit list converts nothing.
    EXPECT_THAT(normalise_positions({-200, 2200, 0, 0, 0, 0}, kLimits),
                ElementsAre(testing::FloatEq(1.1f), testing::FloatEq(-0.1f), 1, 1, 1, 1));
    EXPECT_THAT(normalise_positions({1, 2, 3, 4, 5, 6}, std::vector<float>(11, 1.0f)), ElementsAre());
}

TEST(Qmhv1Codec, LimitListsWithoutAUsableFullScaleConvertNothing) {
    EXPECT_TRUE(usable_pos_limits(kLimits));
    // Only the full-scale values divide: a lower bound of any value is fine.
    EXPECT_TRUE(usable_pos_limits({NAN, 1, -5, 1, 0, 1, 0, 1, 0, 1, 0, 1}));
    // Division by a zero, negative or non-finite full scale gives inf or NaN
    // positions, and multiplication a target of 0 on every joint.
    for (const float bad : {0.0f, -0.0f, -2000.0f, NAN, INFINITY, -INFINITY}) {
        for (const std::size_t full_scale : {1u, 11u}) {
            std::vector<float> limits = kLimits;
            limits[full_scale] = bad;
            EXPECT_FALSE(usable_pos_limits(limits)) << bad << " at " << full_scale;
            EXPECT_THAT(normalise_positions({1, 2, 3, 4, 5, 6}, limits), ElementsAre()) << bad;
            std::array<float, 6> t{};
            t.fill(7.0f);
            EXPECT_EQ(position_targets({0, 0, 0, 0, 0, 0}, limits, t), PositionCheck::NoLimits) << bad;
            EXPECT_THAT(t, ElementsAre(7, 7, 7, 7, 7, 7));
        }
    }
    EXPECT_TRUE(usable_pos_limits({0, 1e-3f, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1}));
    EXPECT_FALSE(usable_pos_limits(std::vector<float>(11, 1.0f)));
}

TEST(ErrorCodes, RecordsDecodeToCodesAndOneLine) {
    struct Case { std::string bytes; std::vector<long> codes; std::string line; };
    const Case cases[] = {
        {std::string("\x01\x03\x02\x81", 4), {0x103, 0x201, 0x280}, "errorcde: 0x103 0x201 0x280 \n"},
        {std::string("\x01\xFC", 2), {}, ""},
        {std::string("\x00\x05", 2), {0x1, 0x4}, "errorcde: 0x1 0x4 \n"},
        {std::string("\xFF\x80\x01\x01", 4), {0xFF80, 0x101}, "errorcde: 0xff80 0x101 \n"},
    };
    for (const Case& c : cases) {
        std::vector<long> codes;
        CaptureStdout();
        EXPECT_EQ(HandProtocol::ParseErrorCodes(c.bytes.data(), static_cast<int>(c.bytes.size()), codes), 0);
        EXPECT_EQ(GetCapturedStdout(), c.line);
        EXPECT_EQ(codes, c.codes);
    }
    // Earlier codes are kept and printed with the new ones; a null pointer, a
    // negative length or a last odd byte adds nothing.
    std::vector<long> codes{0x2};
    CaptureStdout();
    HandProtocol::ParseErrorCodes("\x00\x01", 2, codes);
    EXPECT_EQ(HandProtocol::ParseErrorCodes(nullptr, 8, codes), 0);
    EXPECT_EQ(HandProtocol::ParseErrorCodes("\x00\x01", -4, codes), 0);
    EXPECT_EQ(HandProtocol::ParseErrorCodes("\x00\x01", 1, codes), 0);
    const std::string line = "errorcde: 0x2 0x1 \n";
    EXPECT_EQ(GetCapturedStdout(), line + line + line + line);
    EXPECT_THAT(codes, ElementsAre(0x2, 0x1));
}

TEST(Qmhv1Codec, ConfigurationRepliesAndTexts) {
    EXPECT_EQ(judge_config_reply(R"({"hardware_verison":[1,2],"sn":"x"})"), ConfigReply::Accepted);
    EXPECT_EQ(judge_config_reply("{\"hardware_verison\":[]} \n"), ConfigReply::Accepted);
    EXPECT_EQ(judge_config_reply(R"({"hardware_verison":"1.2"})"), ConfigReply::CheckFailed);
    EXPECT_EQ(judge_config_reply("\xef\xbb\xbf{\"hardware_verison\":[1]}"), ConfigReply::NotJson);
    EXPECT_EQ(judge_config_reply(R"({"sn":"x"})"), ConfigReply::CheckFailed);
    EXPECT_EQ(judge_config_reply(R"([{"hardware_verison":[]}])"), ConfigReply::NotObject);
    EXPECT_EQ(judge_config_reply(""), ConfigReply::Empty);

    ConfigItems items = parse_config(R"({"sn":"AB1","mac_address":[1,2,300],"static_ip":[10,0,0,7],"x":1})");
    ASSERT_TRUE(items.parsed);
    ASSERT_TRUE(items.object);
    EXPECT_EQ(items.sn_text, "AB1");
    EXPECT_EQ(items.mac_values, (std::vector<int>{1, 2, 300}));
    EXPECT_EQ(items.ip_values, (std::vector<int>{10, 0, 0, 7}));
    items = parse_config(R"({"sn":5,"mac_address":"01:02","static_ip":[1,2.5]})");
    EXPECT_EQ(items.sn, ItemState::Absent);
    EXPECT_EQ(items.mac, ItemState::Absent);
    EXPECT_EQ(items.ip, ItemState::Invalid);
    EXPECT_EQ(parse_config(R"({"static_ip":[4294967296]})").ip, ItemState::Invalid);
}

TEST(Qmhv1Codec, EmptyPollCounterWrapsAtItsLimitAcrossThreads) {
    // Four threads share one counter: every limit-th poll, and only that one, asks for a resend.
    std::atomic<int> counter{0}, resends{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50000; ++i) {
                resends += count_empty_poll(counter, 1000) ? 1 : 0;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(resends.load(), 200);
    EXPECT_EQ(counter.load(), 0);
}

// Replies are read without a stream where the token is a plain decimal; the
// stream stays the oracle for every value, bit for bit (-0 is not 0).
TEST(Qmhv1Codec, RepliesReadAsAStreamReadsEachToken) {
    for (const char* token : {"0", "-0", "0.1", "-99999.999", "16777217", "3.4028235", "0.000000000000001",
                              "1234567890123456789", "1e40", "-1e-50", "+5", ".5", "5.", "1.2.3", "--1", "abc", "0x10",
                              "nan", "12abc", "340282356779733661637539395458142568448", "-7000000.0000001"}) {
        float expected_float{};
        long expected_long{};
        std::istringstream(token) >> expected_float;
        std::istringstream(token) >> expected_long;
        const std::vector<float> floats = decode_floats(token);
        float in_place[1] = {};
        ASSERT_EQ(floats.size(), 1u) << token;
        ASSERT_EQ(decode_floats(token, in_place, 1), 1u) << token;
        EXPECT_EQ(std::memcmp(&floats[0], &expected_float, sizeof(float)), 0) << token;
        EXPECT_EQ(std::memcmp(in_place, &expected_float, sizeof(float)), 0) << token;
        EXPECT_EQ(decode_integers(token), std::vector<long>{expected_long}) << token;
    }
}
