// Inspire register frames and reply decoding, byte for byte, without a network.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "protocols/inspire.h"

namespace codec = BaseHandProtocol::inspire_codec;

namespace {

std::vector<unsigned char> hex(const std::string& text) {
    std::istringstream in(text);
    std::vector<unsigned char> out;
    for (unsigned int value = 0; in >> std::hex >> value;) {
        out.push_back(static_cast<unsigned char>(value));
    }
    return out;
}

std::string reply(const std::string& text) {
    const auto bytes = hex(text);
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace

TEST(InspireCodec, CombineTo16BitReturnsTheMagnitudeOfTheSignedValue) {
    using BaseHandProtocol::Inspire;
    EXPECT_EQ(Inspire::combineTo16Bit(0x03, 0xE8), 1000);
    EXPECT_EQ(Inspire::combineTo16Bit(0x7F, 0xFF), 0x7FFF);
    EXPECT_EQ(Inspire::combineTo16Bit(0xFF, 0xFF), 1);
    EXPECT_EQ(Inspire::combineTo16Bit(0x80, 0x00), 0x8000);
    EXPECT_EQ(Inspire::combineTo16Bit(0x80, 0x01), 0x7FFF);
}

TEST(InspireCodec, ChecksumsWrapAndTheFastFrameCarriesFiveTrailingWords) {
    // The checksum carries the hand id and wraps at 8 bits.
    EXPECT_EQ(codec::read_request(0xF0, codec::kPositionRegister, 12), hex("EB 90 F0 04 11 0A 06 0C 21"));

    EXPECT_EQ(codec::velocity_request(1, std::vector<float>(6, 1000.0f)),
              hex("EB 90 01 0F 12 F2 05 E8 03 E8 03 E8 03 E8 03 E8 03 E8 03 9B"));
    const auto fast = codec::fast_positions_request(1, codec::position_registers(std::vector<float>(6, 1.0f)));
    ASSERT_EQ(fast.size(), 28u);
    EXPECT_EQ(std::vector<unsigned char>(fast.begin(), fast.begin() + 5), hex("EB 90 01 17 20"));
    for (std::size_t i = 5; i < 27; i += 2) {
        EXPECT_EQ(fast[i] | fast[i + 1] << 8, 1000) << i;
    }
    EXPECT_EQ(fast.back(), 0x51);
}

TEST(InspireCodec, PositionsAreScaledLimitedAndPermutedAndSpeedsTruncated) {
    EXPECT_EQ(codec::set_pos_request(1, codec::position_registers({0.0f, 0.1f, 0.2f, 0.3f, 0.4f, 0.5f})),
              hex("EB 90 01 0F 12 CE 05 2C 01 C8 00 64 00 00 00 90 01 F4 01 D4"));
    EXPECT_EQ(codec::set_pos_request(1, codec::position_registers({1.7f, -0.2f, -1.0f, 0.25f, 1.0f, 0.0f})),
              hex("EB 90 01 0F 12 CE 05 FA 00 FF FF FF FF E8 03 E8 03 00 00 C1"));
    EXPECT_EQ(codec::position_register(INFINITY), 1000);
    EXPECT_EQ(codec::position_register(-INFINITY), -1);
    EXPECT_EQ(codec::position_register(0.9999f), 999);  // truncated, not rounded
    EXPECT_EQ(codec::position_register(NAN), -1);

    EXPECT_EQ(codec::speed_word(-5.7f), 0xFFFB);
    EXPECT_EQ(codec::speed_word(70000.0f), 0x1170);
    // Beyond 32 bits and NaN stay defined.
    EXPECT_EQ(codec::speed_word(1e20f), 0xFFFF);
    EXPECT_EQ(codec::speed_word(-1e20f), 0x0000);
    EXPECT_EQ(codec::speed_word(NAN), 0x0000);
}

TEST(InspireCodec, AcceptanceChecksStartBytesHandIdCommandAndAddressOnly) {
    const std::string good = reply("90 EB 01 0F 11 0A 06 64 00 C8 00 2C 01 90 01 F4 01 58 02 00");
    EXPECT_TRUE(codec::accepts(good, 1, codec::kRead, codec::kPositionRegister));
    for (std::size_t offset : {0u, 1u, 2u, 4u, 5u, 6u}) {
        std::string bad = good;
        bad[offset] = static_cast<char>(bad[offset] ^ 0x01);
        EXPECT_FALSE(codec::accepts(bad, 1, codec::kRead, codec::kPositionRegister)) << offset;
    }
    std::string odd_tail = good;
    odd_tail[3] = 0x55;
    odd_tail.back() = 0x55;
    EXPECT_TRUE(codec::accepts(odd_tail, 1, codec::kRead, codec::kPositionRegister));
    EXPECT_FALSE(codec::accepts(reply("90 EB 01 0F 11 0A"), 1, codec::kRead, codec::kPositionRegister));

    EXPECT_TRUE(codec::accepts_fast(reply("90 EB 01 99 20"), 1));
    EXPECT_FALSE(codec::accepts_fast(reply("90 EB 02 00 20"), 1));
    EXPECT_FALSE(codec::accepts_fast(reply("90 EB 01 00"), 1));
}

TEST(InspireCodec, ReadRepliesAreDecodedAndShortOnesRefused) {
    std::vector<float> pos;
    // A set top bit reads as the magnitude, 0x8000 as its negative self.
    ASSERT_TRUE(codec::decode_positions(reply("90 EB 01 0F 11 0A 06 FF FF FF FF FF FF 00 80 FF FF FF FF 00"), pos));
    EXPECT_EQ(pos, (std::vector<float>{-32.768f, 0.001f, 0.001f, 0.001f, 0.001f, 0.001f}));
    // Nineteen bytes hold five values: refused, output untouched.
    EXPECT_FALSE(codec::decode_positions(reply("90 EB 01 0F 11 0A 06 64 00 C8 00 2C 01 90 01 F4 01 58 02"), pos));
    EXPECT_EQ(pos.size(), 6u);

    std::vector<float> words;
    ASSERT_TRUE(codec::decode_words(reply("90 EB 01 0F 11 3A 06 01 00 02 00 00 80 FF FF E8 03 00 00 00"), words));
    EXPECT_EQ(words, (std::vector<float>{1, 2, 32768, 1, 1000, 0}));  // unsigned, register order
    EXPECT_FALSE(codec::decode_words(reply("90 EB 01 0F 11 3A 06 01 00 02 00 03 00 04 00 05 00 06"), words));

    std::vector<long> codes;
    ASSERT_TRUE(codec::decode_error_bytes(reply("90 EB 01 0B 11 46 06 00 01 02 04 08 80 7F FF 00"), codes));
    EXPECT_EQ(codes, (std::vector<long>{0, 1, 2, 4, 8, -128, 127, -1}));
    EXPECT_FALSE(codec::decode_error_bytes(reply("90 EB 01 09 11 46 06 00 01 02 04 08 80"), codes));
    std::vector<unsigned char> status;
    EXPECT_FALSE(codec::decode_status_bytes(reply("90 EB 01 09 11 4C 06 00 01 02 FF 80"), status));
}
