// Second-generation JSON replies: any datagram under every rule of the
// second-generation exchanges (command codes, position acknowledgements,
// angles, error codes, the tactile matrix, the set_comm_config answer). Each
// verdict must equal the rule worked out here, outputs change only on Ok and
// then by exactly the reply's values, never more of them than bytes.

#include <cmath>
#include <cstdint>
#include <limits>

#include "fuzz_check.h"
#include "protocols/qmhv2_codec.h"

namespace codec = BaseHandProtocol::qmhv2_codec;
using codec::Reply;

namespace {

// What the keyed rules read: the array member key of an object root.
Reply keyed_array(const rapidjson::Document& document, bool parsed, const char* key, const rapidjson::Value*& array) {
    array = nullptr;
    if (!parsed) {
        return Reply::NotJson;
    }
    if (!document.IsObject()) {
        return Reply::WithoutKey;
    }
    array = fuzz::first_member(document, key);
    if (array == nullptr || !array->IsArray()) {
        array = nullptr;
        return Reply::WithoutKey;
    }
    return Reply::Ok;
}

// A double as the nearest float: beyond the largest float, its own value up to
// half a unit in the last place above it, infinity from there on.
float as_float(double value) {
    const double largest = std::numeric_limits<float>::max();
    const double magnitude = std::fabs(value);
    float nearest = std::numeric_limits<float>::infinity();
    if (magnitude <= largest) {
        nearest = static_cast<float>(magnitude);
    } else if (magnitude < largest + std::ldexp(1.0, 103)) {
        nearest = std::numeric_limits<float>::max();
    }
    return value < 0 ? -nearest : nearest;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::keep_lines();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::datagram_text(data, size);
    rapidjson::Document document;
    const bool parsed = fuzz::parse_json(text, document);
    FUZZ_CHECK(codec::parses(text) == parsed);
    // Elements take a digit and a separator each, brackets aside.
    const std::size_t most = text.size() / 2;

    // calibration, enable, disable: an unsigned "errorcode".
    {
        std::uint64_t code = 12345;
        const Reply got = codec::read_command_code(text, code);
        const rapidjson::Value* member = parsed && document.IsObject() ? fuzz::first_member(document, "errorcode")
                                                                        : nullptr;
        const Reply wanted = !parsed ? Reply::NotJson
                             : (member != nullptr && member->IsUint64()) ? Reply::Ok
                                                                         : Reply::WithoutKey;
        FUZZ_CHECK(got == wanted);
        FUZZ_CHECK(code == (got == Reply::Ok ? member->GetUint64() : 12345u));
    }
    // set_pos: an "errorcode" array, its elements unread.
    {
        const rapidjson::Value* array = nullptr;
        FUZZ_CHECK(codec::read_position_ack(text) == keyed_array(document, parsed, "errorcode", array));
    }
    // get_pos: "angle" numbers.
    {
        std::vector<float> out = {42.0f};
        const Reply got = codec::read_angles(text, out);
        const rapidjson::Value* array = nullptr;
        Reply wanted = keyed_array(document, parsed, "angle", array);
        std::vector<float> values = {42.0f};
        if (wanted == Reply::Ok) {
            for (const auto& element : array->GetArray()) {
                if (!element.IsNumber()) {
                    wanted = Reply::BadElement;
                    break;
                }
                values.push_back(as_float(element.GetDouble()));
            }
        }
        FUZZ_CHECK(got == wanted);
        if (got != Reply::Ok) {
            values = {42.0f};
        }
        FUZZ_CHECK(out.size() == values.size() && out.size() - 1 <= most);
        for (std::size_t i = 0; i < out.size(); ++i) {
            FUZZ_CHECK(out[i] == values[i] || (std::isnan(out[i]) && std::isnan(values[i])));
        }
    }
    // get_errorcode: unsigned 32-bit "errorcode" elements.
    {
        std::vector<long> out = {-7};
        const Reply got = codec::read_error_codes(text, out);
        const rapidjson::Value* array = nullptr;
        Reply wanted = keyed_array(document, parsed, "errorcode", array);
        std::vector<long> values = {-7};
        if (wanted == Reply::Ok) {
            for (const auto& element : array->GetArray()) {
                if (!element.IsUint()) {
                    wanted = Reply::BadElement;
                    break;
                }
                values.push_back(static_cast<long>(element.GetUint()));
            }
        }
        FUZZ_CHECK(got == wanted);
        FUZZ_CHECK(out == (got == Reply::Ok ? values : std::vector<long>{-7}));
        FUZZ_CHECK(out.size() - 1 <= most);
        for (std::size_t i = 1; i < out.size(); ++i) {
            FUZZ_CHECK(out[i] >= 0 && out[i] <= 0xFFFFFFFFL);
        }
    }
    // get_ts_matrix: three bytes per element, 96-byte rows.
    {
        const std::vector<std::vector<unsigned char>> untouched = {{1, 2, 3}};
        std::vector<std::vector<unsigned char>> out = untouched;
        const Reply got = codec::read_matrix(text, out);
        const rapidjson::Value* array = nullptr;
        Reply wanted = keyed_array(document, parsed, "matrix", array);
        std::vector<unsigned char> bytes;
        if (wanted == Reply::Ok) {
            for (const auto& element : array->GetArray()) {
                if (!element.IsUint()) {
                    wanted = Reply::BadElement;
                    break;
                }
                const unsigned value = element.GetUint();
                bytes.push_back(static_cast<unsigned char>((value >> 16) & 0xFF));
                bytes.push_back(static_cast<unsigned char>((value >> 8) & 0xFF));
                bytes.push_back(static_cast<unsigned char>(value & 0xFF));
            }
            if (wanted == Reply::Ok && bytes.size() % 96 != 0) {
                wanted = Reply::BadLength;
            }
        }
        FUZZ_CHECK(got == wanted);
        if (got != Reply::Ok) {
            FUZZ_CHECK(out == untouched);
        } else {
            FUZZ_CHECK(out.size() == 1 + bytes.size() / 96 && out[0] == untouched[0]);
            for (std::size_t row = 1; row < out.size(); ++row) {
                FUZZ_CHECK(out[row].size() == 96);
                FUZZ_CHECK(std::equal(out[row].begin(), out[row].end(), bytes.begin() + 96 * (row - 1)));
            }
            FUZZ_CHECK(bytes.size() / 3 <= most);
        }
    }
    return 0;
}
