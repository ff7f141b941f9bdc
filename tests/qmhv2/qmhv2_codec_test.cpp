// The second-generation wire codec without a network: number layout, the
// position request, and the judging of replies.
#include <gtest/gtest.h>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>

#include "protocols/qmhv2.h"

namespace codec = BaseHandProtocol::qmhv2_codec;
using codec::Reply;

namespace {

// A decimal text reduced to its significant digits and the place of the
// point: value = 0.<digits> x 10^point. Works on every layout in use.
struct Decimal {
    bool negative = false;
    std::string digits;
    int point = 0;
    bool operator==(const Decimal& o) const {
        return negative == o.negative && digits == o.digits && point == o.point;
    }
};

Decimal decimal(const std::string& text) {
    Decimal d;
    std::size_t at = 0;
    if (text[at] == '-') {
        d.negative = true;
        ++at;
    }
    const std::size_t e = text.find_first_of("eE");
    const std::string mantissa = text.substr(at, e == std::string::npos ? std::string::npos : e - at);
    const int exponent = e == std::string::npos ? 0 : std::atoi(text.c_str() + e + 1);
    const std::size_t dot = mantissa.find('.');
    std::string all = mantissa;
    int point = static_cast<int>(dot == std::string::npos ? mantissa.size() : dot);
    if (dot != std::string::npos) {
        all.erase(dot, 1);
    }
    while (!all.empty() && all[0] == '0') {
        all.erase(0, 1);
        --point;
    }
    while (!all.empty() && all.back() == '0') {
        all.pop_back();
    }
    d.digits = all;
    d.point = all.empty() ? 0 : point + exponent;
    return d;
}

// Independent of to_chars: the fewest %.Ne digits that read back as value.
std::string shortest_by_printf(double value) {
    char text[64];
    for (int precision = 1; precision <= 17; ++precision) {
        std::snprintf(text, sizeof(text), "%.*e", precision - 1, value);
        if (std::strtod(text, nullptr) == value) {
            break;
        }
    }
    return text;
}

std::string rapidjson_writes(double value) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.Double(value);
    return buffer.GetString();
}

std::vector<float> twelve(float value) { return std::vector<float>(12, value); }

}  // namespace

TEST(Qmhv2Numbers, KnownValuesKeepTheWritersLayoutWithShortestDigits) {
    EXPECT_EQ(codec::format_number(10.0f), "10.0");
    EXPECT_EQ(codec::format_number(-1.0f), "-1.0");
    EXPECT_EQ(codec::format_number(0.0f), "0.0");
    EXPECT_EQ(codec::format_number(-0.0f), "-0.0");
    EXPECT_EQ(codec::format_number(12.3f), "12.300000190734863");
    EXPECT_EQ(codec::format_number(0.1f), "0.10000000149011612");
    EXPECT_EQ(codec::format_number(1e-7f), "1.0000000116860974e-7");
    EXPECT_EQ(codec::format_number(1e-6), "0.000001");
    EXPECT_EQ(codec::format_number(1.5e-7), "1.5e-7");
    EXPECT_EQ(codec::format_number(16777216.0f), "16777216.0");
    EXPECT_EQ(codec::format_number(1e20), "100000000000000000000.0");
    EXPECT_EQ(codec::format_number(1e21), "1e21");
    EXPECT_EQ(codec::format_number(-2.5e30), "-2.5e30");
    EXPECT_EQ(codec::format_number(1e-300), "1e-300");
    EXPECT_EQ(codec::format_number(std::numeric_limits<float>::max()), "3.4028234663852886e38");
    EXPECT_EQ(codec::format_number(std::numeric_limits<float>::denorm_min()), "1.401298464324817e-45");
}

TEST(Qmhv2Numbers, ManyFloatsReadBackWithTheShortestClosestDigits) {
    std::vector<float> values;
    std::mt19937 random(20240611);
    std::uniform_int_distribution<std::uint32_t> bits;
    while (values.size() < 60000) {
        const std::uint32_t pattern = bits(random);
        float value;
        std::memcpy(&value, &pattern, sizeof(value));
        if (std::isfinite(value)) {
            values.push_back(value);
        }
    }
    // Around the places where the layout changes, and the everyday range.
    for (const double edge : {1e-6, 1e-7, 1e21, 1e20, 1.0, 0.1}) {
        float v = static_cast<float>(edge);
        for (int i = 0; i < 50; ++i) {
            values.push_back(v);
            values.push_back(-v);
            v = std::nextafter(v, 0.0f);
        }
    }
    for (int i = -3000; i <= 3000; ++i) {
        values.push_back(static_cast<float>(i) / 10.0f);
    }

    std::size_t writer_agrees = 0;
    for (const float value : values) {
        const double wide = value;
        const std::string text = codec::format_number(wide);
        SCOPED_TRACE(text);
        ASSERT_EQ(std::strtod(text.c_str(), nullptr), wide);
        ASSERT_EQ(std::signbit(std::strtod(text.c_str(), nullptr)), std::signbit(wide));
        if (wide != 0.0) {
            ASSERT_EQ(decimal(text), decimal(shortest_by_printf(wide)));
        }
        const double magnitude = std::fabs(wide);
        const bool plain = magnitude == 0.0 || (magnitude >= 1e-6 && magnitude < 1e21);
        ASSERT_EQ(text.find('e') == std::string::npos, plain);
        ASSERT_EQ(text.find('+'), std::string::npos);
        // Where the writer's own digits are right, its layout is ours byte for byte.
        const std::string theirs = rapidjson_writes(wide);
        if (decimal(theirs) == decimal(text)) {
            ASSERT_EQ(theirs, text);
            ++writer_agrees;
        }
    }
    // The writer misses the closest digits on about a fifth of widened floats.
    EXPECT_GT(writer_agrees, values.size() / 2);
}

TEST(Qmhv2Requests, PositionRequestIsTheWritersObjectWithTwelveNumbers) {
    std::string text;
    std::vector<float> cmd(12, 0.0f);
    cmd[0] = 10.0f;
    cmd[11] = -1.0f;
    ASSERT_TRUE(codec::position_request(cmd, text));
    EXPECT_EQ(text, R"({"method":"SET","cmd":"/pos","position":[10.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,-1.0]})");

    cmd = {12.3f, 0.1f, 1e-7f, -0.0f, 30.0f, 1.5f, 0, 0, 0, 0, 0, 0};
    ASSERT_TRUE(codec::position_request(cmd, text));
    EXPECT_EQ(text, R"({"method":"SET","cmd":"/pos","position":[12.300000190734863,0.10000000149011612,)"
                    R"(1.0000000116860974e-7,-0.0,30.0,1.5,0.0,0.0,0.0,0.0,0.0,0.0]})");

    ASSERT_TRUE(codec::position_request(twelve(-1.0f), text));
    EXPECT_EQ(text, R"({"method":"SET","cmd":"/pos","position":[-1.0,-1.0,-1.0,-1.0,-1.0,-1.0,-1.0,-1.0,-1.0,-1.0,)"
                    R"(-1.0,-1.0]})");
}

TEST(Qmhv2Requests, NonFiniteValuesAreRefusedAndLeaveTheTextAlone) {
    for (const float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity()}) {
        std::vector<float> cmd(12, 1.0f);
        cmd[5] = bad;
        std::string text = "untouched";
        EXPECT_FALSE(codec::position_request(cmd, text));
        EXPECT_EQ(text, "untouched");
    }
}

TEST(Qmhv2Replies, CommandCodeMustBeAnUnsignedInteger) {
    std::uint64_t code = 7;
    EXPECT_EQ(codec::read_command_code(R"({"errorcode":0})", code), Reply::Ok);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(codec::read_command_code(R"({"x":1,"errorcode":18446744073709551615})", code), Reply::Ok);
    EXPECT_EQ(code, 18446744073709551615u);
    for (const char* without : {R"({})", R"({"errorcode":-1})", R"({"errorcode":1.0})", R"({"errorcode":1e2})",
                                R"({"errorcode":"0"})", R"({"errorcode":[0]})", R"([0])", R"(0)", R"("errorcode")"}) {
        EXPECT_EQ(codec::read_command_code(without, code), Reply::WithoutKey) << without;
    }
    for (const char* broken : {R"({"errorcode":0)", R"({"errorcode":0} x)", R"({"errorcode":0,})", "", "nope"}) {
        EXPECT_EQ(codec::read_command_code(broken, code), Reply::NotJson) << broken;
    }
    EXPECT_EQ(codec::read_command_code(" {\"errorcode\":3}\n ", code), Reply::Ok);
    EXPECT_EQ(code, 3u);
}

TEST(Qmhv2Replies, PositionAckNeedsAnErrorcodeArrayOfAnyContent) {
    EXPECT_EQ(codec::read_position_ack(R"({"errorcode":[]})"), Reply::Ok);
    EXPECT_EQ(codec::read_position_ack(R"({"errorcode":[1,"x",null]})"), Reply::Ok);
    EXPECT_EQ(codec::read_position_ack(R"({"errorcode":0})"), Reply::WithoutKey);
    EXPECT_EQ(codec::read_position_ack(R"([{"errorcode":[]}])"), Reply::WithoutKey);
    EXPECT_EQ(codec::read_position_ack(R"({"errorcode":[)"), Reply::NotJson);
}

TEST(Qmhv2Replies, AnglesAreAppendedAsFloatsOnlyWhenAllAreNumbers) {
    std::vector<float> out = {9.0f};
    EXPECT_EQ(codec::read_angles(R"({"angle":[1,-2.5,0.1,12.300000190734863,1e300,-1e300],"v":0})", out), Reply::Ok);
    EXPECT_EQ(out, (std::vector<float>{9.0f, 1.0f, -2.5f, 0.1f, 12.3f, std::numeric_limits<float>::infinity(),
                                       -std::numeric_limits<float>::infinity()}));

    out = {9.0f};
    EXPECT_EQ(codec::read_angles(R"({"angle":[]})", out), Reply::Ok);
    // Just above the largest float but nearer to it than to the next power: rounds down.
    EXPECT_EQ(codec::read_angles(R"({"angle":[3.4028235e38]})", out), Reply::Ok);
    EXPECT_EQ(out, (std::vector<float>{9.0f, std::numeric_limits<float>::max()}));

    out = {9.0f};
    EXPECT_EQ(codec::read_angles(R"({"angle":[1,"2"]})", out), Reply::BadElement);
    EXPECT_EQ(codec::read_angles(R"({"angle":[1,null]})", out), Reply::BadElement);
    EXPECT_EQ(codec::read_angles(R"({"angle":[[1]]})", out), Reply::BadElement);
    EXPECT_EQ(codec::read_angles(R"({"angle":5})", out), Reply::WithoutKey);
    EXPECT_EQ(codec::read_angles(R"({"errorcode":[]})", out), Reply::WithoutKey);
    EXPECT_EQ(codec::read_angles(R"([1,2])", out), Reply::WithoutKey);
    EXPECT_EQ(codec::read_angles(R"({"angle":[1,2])", out), Reply::NotJson);
    EXPECT_EQ(out, std::vector<float>{9.0f});
}

TEST(Qmhv2Replies, ErrorCodesAreUnsigned32BitAndNeverSignExtended) {
    std::vector<long> out = {5};
    EXPECT_EQ(codec::read_error_codes(R"({"errorcode":[0,4294967295,1]})", out), Reply::Ok);
    EXPECT_EQ(out, (std::vector<long>{5, 0, 4294967295L, 1}));

    out = {5};
    EXPECT_EQ(codec::read_error_codes(R"({"errorcode":[]})", out), Reply::Ok);
    for (const char* bad : {R"({"errorcode":[0,-1]})", R"({"errorcode":[4294967296]})", R"({"errorcode":[1.5]})",
                            R"({"errorcode":[1.0]})", R"({"errorcode":["1"]})", R"({"errorcode":[true]})"}) {
        EXPECT_EQ(codec::read_error_codes(bad, out), Reply::BadElement) << bad;
    }
    EXPECT_EQ(codec::read_error_codes(R"({"errorcode":0})", out), Reply::WithoutKey);
    EXPECT_EQ(codec::read_error_codes(R"({"angle":[0]})", out), Reply::WithoutKey);
    EXPECT_EQ(codec::read_error_codes(R"("x")", out), Reply::WithoutKey);
    EXPECT_EQ(codec::read_error_codes(R"({"errorcode":[0],})", out), Reply::NotJson);
    EXPECT_EQ(out, std::vector<long>{5});
}

namespace {

std::string matrix_reply(const std::vector<unsigned long long>& elements) {
    std::string text = R"({"matrix":[)";
    for (std::size_t i = 0; i < elements.size(); ++i) {
        text += (i ? "," : "") + std::to_string(elements[i]);
    }
    return text + "]}";
}

}  // namespace

TEST(Qmhv2Replies, MatrixElementsGiveThreeBytesAndThirtyTwoMakeARow) {
    std::vector<unsigned long long> elements(64);
    for (std::size_t i = 0; i < elements.size(); ++i) {
        elements[i] = i;
    }
    elements[0] = 12 * 65536 + 34 * 256 + 56;
    elements[1] = (1ull << 24) + 1;
    elements[32] = 0xFFFFFFFFull;
    std::vector<std::vector<unsigned char>> out = {{7}};
    ASSERT_EQ(codec::read_matrix(matrix_reply(elements), out), Reply::Ok);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0], std::vector<unsigned char>{7});
    ASSERT_EQ(out[1].size(), 96u);
    ASSERT_EQ(out[2].size(), 96u);
    EXPECT_EQ(std::vector<unsigned char>(out[1].begin(), out[1].begin() + 9),
              (std::vector<unsigned char>{12, 34, 56, 0, 0, 1, 0, 0, 2}));
    EXPECT_EQ(std::vector<unsigned char>(out[1].end() - 3, out[1].end()), (std::vector<unsigned char>{0, 0, 31}));
    EXPECT_EQ(std::vector<unsigned char>(out[2].begin(), out[2].begin() + 3),
              (std::vector<unsigned char>{255, 255, 255}));

    out = {{7}};
    EXPECT_EQ(codec::read_matrix(R"({"matrix":[]})", out), Reply::Ok);
    EXPECT_EQ(codec::read_matrix(matrix_reply(std::vector<unsigned long long>(33, 1)), out), Reply::BadLength);
    EXPECT_EQ(codec::read_matrix(matrix_reply(std::vector<unsigned long long>(31, 1)), out), Reply::BadLength);
    std::vector<unsigned long long> too_big(32, 1);
    too_big[31] = 4294967296ull;
    EXPECT_EQ(codec::read_matrix(matrix_reply(too_big), out), Reply::BadElement);
    EXPECT_EQ(codec::read_matrix(R"({"matrix":[-1]})", out), Reply::BadElement);
    EXPECT_EQ(codec::read_matrix(R"({"matrix":[0.5]})", out), Reply::BadElement);
    EXPECT_EQ(codec::read_matrix(R"({"matrix":{}})", out), Reply::WithoutKey);
    EXPECT_EQ(codec::read_matrix(R"({"matrix":[1,2)", out), Reply::NotJson);
    EXPECT_EQ(out, (std::vector<std::vector<unsigned char>>{{7}}));
}

TEST(Qmhv2Replies, DeeplyNestedOrOddInputNeverEndsTheProcess) {
    std::vector<float> angles;
    std::vector<long> codes;
    std::vector<std::vector<unsigned char>> matrix;
    std::uint64_t code = 0;
    const std::string nested = std::string(1000, '[') + std::string(1000, ']');
    for (const std::string& text : {nested, std::string("\0\0", 2), std::string("{\"angle\":[1]}\0x", 15),
                                    std::string("\xff\xfe"), std::string("{\"angle\":[1],\"angle\":\"x\"}")}) {
        codec::read_angles(text, angles);
        codec::read_error_codes(text, codes);
        codec::read_matrix(text, matrix);
        codec::read_command_code(text, code);
        codec::read_position_ack(text);
        codec::parses(text);
    }
    EXPECT_TRUE(codec::parses(nested));
}
