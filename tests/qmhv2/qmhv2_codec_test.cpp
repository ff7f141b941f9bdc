// The second-generation wire codec without a network: number layout and the
// judging of replies.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <tuple>

#include "protocols/qmhv2_codec.h"

namespace codec = BaseHandProtocol::qmhv2_codec;
using codec::Reply;

TEST(Qmhv2Numbers, KnownValuesKeepTheWritersLayoutWithShortestDigits) {
    const std::pair<double, const char*> cases[] = {
        {10.0f, "10.0"}, {-1.0f, "-1.0"}, {0.0f, "0.0"}, {-0.0f, "-0.0"}, {16777216.0f, "16777216.0"},
        {12.3f, "12.300000190734863"}, {0.1f, "0.10000000149011612"}, {1e-7f, "1.0000000116860974e-7"},
        {1e-6, "0.000001"}, {1.5e-7, "1.5e-7"}, {1e20, "100000000000000000000.0"}, {1e21, "1e21"},
        {-2.5e30, "-2.5e30"}, {1e-300, "1e-300"}, {std::numeric_limits<float>::max(), "3.4028234663852886e38"},
        {std::numeric_limits<float>::denorm_min(), "1.401298464324817e-45"}};
    for (const auto& [value, text] : cases) EXPECT_EQ(codec::format_number(value), text);
}

// Shortest digits are the table's; here, that any float reads back exactly and
// takes the exponent form just outside [1e-6, 1e21).
TEST(Qmhv2Numbers, AnyFloatReadsBackInTheWritersLayout) {
    std::mt19937 random(20240611);
    for (int i = 0; i < 3000; ++i) {
        const std::uint32_t bits = random();
        float value;
        std::memcpy(&value, &bits, sizeof(value));
        if (!std::isfinite(value)) continue;
        const std::string text = codec::format_number(value);
        ASSERT_EQ(std::strtod(text.c_str(), nullptr), value) << text;
        ASSERT_EQ(std::signbit(std::strtod(text.c_str(), nullptr)), std::signbit(value)) << text;
        const double magnitude = std::fabs(value);
        ASSERT_EQ(text.find('e') == std::string::npos, magnitude == 0.0 || (magnitude >= 1e-6 && magnitude < 1e21))
            << text;
    }
}

namespace {

enum Reader { Code, Ack, Angles, Codes, Matrix };

// Reads text with one reader into outputs that start non-empty; anything
// but Ok must leave them as they were.
Reply read(Reader reader, const std::string& text) {
    std::uint64_t code = 7;
    std::vector<float> angles = {9.0f};
    std::vector<long> codes = {5};
    std::vector<std::vector<unsigned char>> matrix = {{7}};
    const Reply reply = reader == Code     ? codec::read_command_code(text, code)
                        : reader == Ack    ? codec::read_position_ack(text)
                        : reader == Angles ? codec::read_angles(text, angles)
                        : reader == Codes  ? codec::read_error_codes(text, codes)
                                           : codec::read_matrix(text, matrix);
    if (reply != Reply::Ok) {
        EXPECT_EQ(code, 7u) << text;
        EXPECT_EQ(angles, std::vector<float>{9.0f}) << text;
        EXPECT_EQ(codes, std::vector<long>{5}) << text;
        EXPECT_EQ(matrix, (std::vector<std::vector<unsigned char>>{{7}})) << text;
    }
    return reply;
}

}  // namespace

TEST(Qmhv2Replies, EachReaderTellsOkMissingMemberBadElementAndBrokenText) {
    const std::string nested = std::string(1000, '[') + std::string(1000, ']');
    const auto matrix_reply = [](int count, const char* last) {
        std::string text = R"({"matrix":[)";
        for (int i = 1; i < count; ++i) text += "1,";
        return text + last + "]}";
    };
    const std::tuple<Reader, Reply, std::vector<std::string>> cases[] = {
        {Code, Reply::Ok, {R"({"errorcode":0})", " {\"x\":1,\"errorcode\":18446744073709551615}\n"}},
        {Code, Reply::WithoutKey, {"{}", R"({"errorcode":-1})", R"({"errorcode":1.0})", R"({"errorcode":1e2})",
                                   R"({"errorcode":"0"})", R"({"errorcode":[0]})", "[0]", R"("errorcode")", nested}},
        {Code, Reply::NotJson, {R"({"errorcode":0)", R"({"errorcode":0} x)", R"({"errorcode":0,})", "", "\xff\xfe"}},
        // Byte-order-mark bytes are not JSON here either, as in discovery.
        {Code, Reply::NotJson, {"\xbb{\"errorcode\":0}", "\xef\xbb\xbf{\"errorcode\":0}"}},
        {Ack, Reply::Ok, {R"({"errorcode":[1,"x",null]})"}},
        {Ack, Reply::WithoutKey, {R"({"errorcode":0})", R"([{"errorcode":[]}])"}},
        {Ack, Reply::NotJson, {R"({"errorcode":[)"}},
        {Angles, Reply::Ok, {R"({"angle":[]})", R"({"angle":[1],"angle":"x"})", std::string("{\"angle\":[1]}\0x", 15)}},
        {Angles, Reply::BadElement, {R"({"angle":[1,"2"]})", R"({"angle":[1,null]})", R"({"angle":[[1]]})"}},
        {Angles, Reply::WithoutKey, {R"({"angle":5})", R"({"errorcode":[]})", "[1,2]", nested}},
        {Angles, Reply::NotJson, {R"({"angle":[1,2])"}},
        {Codes, Reply::Ok, {R"({"errorcode":[]})"}},
        {Codes, Reply::BadElement, {R"({"errorcode":[0,-1]})", R"({"errorcode":[4294967296]})", R"({"errorcode":[1.5]})",
                                    R"({"errorcode":[1.0]})", R"({"errorcode":[1e2]})", R"({"errorcode":["1"]})",
                                    R"({"errorcode":[true]})"}},
        {Codes, Reply::WithoutKey, {R"({"angle":[0]})", R"({"errorcode":0})"}},
        {Codes, Reply::NotJson, {R"({"errorcode":[0],})"}},
        {Matrix, Reply::Ok, {R"({"matrix":[]})"}},
        {Matrix, Reply::BadLength, {matrix_reply(33, "1"), matrix_reply(31, "1")}},
        {Matrix, Reply::BadElement, {matrix_reply(32, "4294967296"), R"({"matrix":[-1]})", R"({"matrix":[0.5]})"}},
        {Matrix, Reply::WithoutKey, {R"({"matrix":{}})", nested}},
        {Matrix, Reply::NotJson, {R"({"matrix":[1,2)"}},
    };
    for (const auto& [reader, expected, texts] : cases) {
        for (const std::string& text : texts) EXPECT_EQ(read(reader, text), expected) << reader << " " << text;
    }
    EXPECT_TRUE(codec::parses(nested));
}

TEST(Qmhv2Replies, ValuesAreAppendedUnsignedAndNarrowed) {
    std::uint64_t code = 0;
    EXPECT_EQ(codec::read_command_code(R"({"errorcode":18446744073709551615})", code), Reply::Ok);
    EXPECT_EQ(code, 18446744073709551615u);

    std::vector<float> angles = {9.0f};
    const float inf = std::numeric_limits<float>::infinity();
    // 3.4028235e38 is above the largest float but nearer to it than to the next power: rounds down.
    EXPECT_EQ(codec::read_angles(R"({"angle":[1,-2.5,12.300000190734863,1e300,-1e300,3.4028235e38]})", angles),
              Reply::Ok);
    EXPECT_EQ(angles, (std::vector<float>{9.0f, 1.0f, -2.5f, 12.3f, inf, -inf, std::numeric_limits<float>::max()}));

    std::vector<long> codes = {5};
    EXPECT_EQ(codec::read_error_codes(R"({"errorcode":[0,4294967295,1]})", codes), Reply::Ok);
    EXPECT_EQ(codes, (std::vector<long>{5, 0, 4294967295L, 1}));
}
