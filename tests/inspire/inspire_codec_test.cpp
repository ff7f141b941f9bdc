// Inspire register frames and reply decoding, byte for byte, without a network.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "protocols/inspire.h"
#include "protocols/inspire_codec.h"

namespace codec = BaseHandProtocol::inspire_codec;

namespace {

std::string reply(const std::string& text) {
    std::istringstream in(text);
    std::string out;
    for (unsigned int value = 0; in >> std::hex >> value;) out += static_cast<char>(value);
    return out;
}

}  // namespace

TEST(InspireCodec, FramesAndValueConversions) {
    // combineTo16Bit: the magnitude of the signed value, 0x8000 kept.
    for (const auto& [high, low, want] : std::vector<std::array<unsigned, 3>>{
             {0x03, 0xE8, 1000}, {0x7F, 0xFF, 0x7FFF}, {0xFF, 0xFF, 1}, {0x80, 0x00, 0x8000}, {0x80, 0x01, 0x7FFF}}) {
        using BaseHandProtocol::Inspire;
        EXPECT_EQ(Inspire::combineTo16Bit(static_cast<unsigned char>(high), static_cast<unsigned char>(low)), want)
            << high << ' ' << low;
    }
    // The checksum counts the hand id and wraps at 8 bits.
    const auto frame = codec::read_request(0xF0, codec::kPositionRegister, 12);
    EXPECT_EQ(std::string(frame.begin(), frame.end()), reply("EB 90 F0 04 11 0A 06 0C 21"));
    for (const auto& [in, want] : std::vector<std::pair<float, int>>{
             {INFINITY, 1000}, {-INFINITY, -1}, {0.9999f, 999} /* truncated */, {NAN, -1}}) {
        EXPECT_EQ(codec::position_register(in), want) << in;
    }
    // Truncated to 32 bits, low 16 kept; beyond 32 bits and NaN stay defined.
    for (const auto& [in, want] : std::vector<std::pair<float, int>>{
             {-5.7f, 0xFFFB}, {70000.0f, 0x1170}, {1e20f, 0xFFFF}, {-1e20f, 0}, {NAN, 0}}) {
        EXPECT_EQ(codec::speed_word(in), want) << in;
    }
}

TEST(InspireCodec, AcceptanceChecksStartBytesHandIdCommandAndAddressOnly) {
    const std::string good = reply("90 EB 01 0F 11 0A 06 64 00 C8 00 2C 01 90 01 F4 01 58 02 00");
    EXPECT_TRUE(codec::accepts(good, 1, codec::kRead, codec::kPositionRegister));
    for (std::size_t offset : {0u, 1u, 2u, 4u, 5u, 6u}) {
        std::string bad = good;
        bad[offset] = static_cast<char>(bad[offset] ^ 0x01);
        EXPECT_FALSE(codec::accepts(bad, 1, codec::kRead, codec::kPositionRegister)) << offset;
    }
    std::string odd_tail = good;  // length and checksum are not checked
    odd_tail[3] = odd_tail.back() = 0x55;
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
    EXPECT_FALSE(codec::decode_words(reply("90 EB 01 0F 11 3A 06 01 00 02 00 03 00 04 00 05 00 06"), words));

    std::vector<long> codes;
    ASSERT_TRUE(codec::decode_error_bytes(reply("90 EB 01 0B 11 46 06 00 01 02 04 08 80 7F FF 00"), codes));
    EXPECT_EQ(codes, (std::vector<long>{0, 1, 2, 4, 8, -128, 127, -1}));
    EXPECT_FALSE(codec::decode_error_bytes(reply("90 EB 01 09 11 46 06 00 01 02 04 08 80"), codes));
    std::vector<unsigned char> status;
    EXPECT_FALSE(codec::decode_status_bytes(reply("90 EB 01 09 11 4C 06 00 01 02 FF 80"), status));
}

TEST(InspireCodec, FramesBuiltWithoutTheHeapAreTheRequestsByteForByte) {
    namespace c = BaseHandProtocol::inspire_codec;
    const auto bytes = [](const c::Frame& f) { return std::vector<unsigned char>(f.bytes.begin(), f.bytes.begin() + f.size); };
    for (const unsigned char id : {1, 7, 255}) {
        for (const std::uint16_t address : {c::kPositionRegister, c::kErrorRegister, std::uint16_t{0xFFFF}}) {
            EXPECT_EQ(bytes(c::read_frame(id, address, 12)), c::read_request(id, address, 12));
        }
        for (const c::Registers& r : {c::Registers{0, 1000, -1, 500, 32767, -32768}, c::Registers{}}) {
            EXPECT_EQ(bytes(c::set_pos_frame(id, r)), c::set_pos_request(id, r));
            EXPECT_EQ(bytes(c::fast_positions_frame(id, r)), c::fast_positions_request(id, r));
        }
    }
}

TEST(InspireCodec, ConfigurationRepliesAreJudgedByTheirStringReqTarget) {
    using codec::ConfigReply;
    EXPECT_EQ(codec::judge_config_reply(R"({"reqTarget":"/config","id":1})"), ConfigReply::Config);
    EXPECT_EQ(codec::judge_config_reply(R"({"reqTarget":"/other"})"), ConfigReply::OtherTarget);
    EXPECT_EQ(codec::judge_config_reply(R"({"reqTarget":5})"), ConfigReply::NoTarget);
    EXPECT_EQ(codec::judge_config_reply("[1,2]"), ConfigReply::NoTarget);
    EXPECT_EQ(codec::judge_config_reply(R"({"reqTarget":"/config"} x)"), ConfigReply::NotJson);
    EXPECT_EQ(codec::judge_config_reply("\xbb{\"reqTarget\":\"/config\"}"), ConfigReply::NotJson);
}
