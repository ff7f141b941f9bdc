#include "protocols/qmhv2_codec.h"

#include <rapidjson/document.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <charconv>
#include <cmath>
#include <limits>

namespace BaseHandProtocol {

namespace qmhv2_codec {

namespace {

// The writer's own double conversion gets the last digit of some values wrong,
// so numbers go through format_number and are written raw.
class PositionWriter : public rapidjson::Writer<rapidjson::StringBuffer> {
public:
    using rapidjson::Writer<rapidjson::StringBuffer>::Writer;

    bool Double(double d) {
        const std::string text = format_number(d);
        return RawValue(text.data(), text.size(), rapidjson::kNumberType);
    }
};

bool parse(std::string_view text, rapidjson::Document& document) {
    // The bytes as they came: Parse(text, length) would skip any of the three
    // byte-order-mark bytes before the text, which discovery does not.
    rapidjson::MemoryStream stream(text.data(), text.size());
    document.ParseStream(stream);
    return !document.HasParseError();
}

// The array member key of an object root, or null.
const rapidjson::Value* array_member(const rapidjson::Document& document, const char* key) {
    if (!document.IsObject()) {
        return nullptr;
    }
    const auto member = document.FindMember(key);
    if (member == document.MemberEnd() || !member->value.IsArray()) {
        return nullptr;
    }
    return &member->value;
}

// The double narrowed to float as IEEE arithmetic does it, without relying on
// an out-of-range conversion.
float narrow(double value) {
    constexpr double kMax = std::numeric_limits<float>::max();
    if (std::isnan(value)) {
        return std::numeric_limits<float>::quiet_NaN();
    }
    if (std::fabs(value) <= kMax) {
        return static_cast<float>(value);
    }
    // Values up to half a unit above the largest float still round down to it.
    const double halfway = kMax + std::ldexp(1.0, std::numeric_limits<float>::max_exponent - 25);
    const float magnitude = std::fabs(value) < halfway ? std::numeric_limits<float>::max()
                                                       : std::numeric_limits<float>::infinity();
    return value < 0 ? -magnitude : magnitude;
}

}  // namespace

std::string format_number(double value) {
    // Shortest round-trip digits in the form d.ddde[+-]xx.
    char scientific[64];
    const auto result = std::to_chars(scientific, scientific + sizeof(scientific), value,
                                      std::chars_format::scientific);
    if (result.ec != std::errc()) {
        return "0.0";
    }
    const std::string_view text(scientific, static_cast<std::size_t>(result.ptr - scientific));

    std::string out;
    std::size_t at = 0;
    if (text[at] == '-') {
        out += '-';
        ++at;
    }
    const std::size_t e = text.find('e', at);
    if (e == std::string_view::npos) {
        return "0.0";
    }
    std::string digits;
    for (std::size_t i = at; i < e; ++i) {
        if (text[i] != '.') {
            digits += text[i];
        }
    }
    std::size_t exponent_at = e + 1;
    if (exponent_at < text.size() && text[exponent_at] == '+') {
        ++exponent_at;
    }
    int exponent = 0;
    std::from_chars(text.data() + exponent_at, text.data() + text.size(), exponent);

    // value = 0.digits * 10^point
    const int length = static_cast<int>(digits.size());
    const int point = exponent + 1;
    if (point >= length && point <= 21) {
        out += digits;
        out.append(static_cast<std::size_t>(point - length), '0');
        out += ".0";
    } else if (point > 0 && point <= 21) {
        out += digits.substr(0, static_cast<std::size_t>(point));
        out += '.';
        out += digits.substr(static_cast<std::size_t>(point));
    } else if (point > -6 && point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else {
        out += digits[0];
        if (length > 1) {
            out += '.';
            out += digits.substr(1);
        }
        out += 'e';
        out += std::to_string(point - 1);
    }
    return out;
}

bool position_request(const std::vector<float>& cmd, std::string& text) {
    for (const float value : cmd) {
        if (!std::isfinite(value)) {
            return false;
        }
    }
    rapidjson::Document document;
    document.Parse(kPosRequest);
    if (!document.IsObject()) {
        return false;
    }
    auto& allocator = document.GetAllocator();
    rapidjson::Value position(rapidjson::kArrayType);
    for (const float value : cmd) {
        position.PushBack(rapidjson::Value(static_cast<double>(value)), allocator);
    }
    document.AddMember("position", position, allocator);

    rapidjson::StringBuffer buffer;
    PositionWriter writer(buffer);
    if (!document.Accept(writer)) {
        return false;
    }
    text.assign(buffer.GetString(), buffer.GetSize());
    return true;
}

bool parses(std::string_view text) {
    rapidjson::Document document;
    return parse(text, document);
}

Reply read_command_code(std::string_view text, std::uint64_t& code) {
    rapidjson::Document document;
    if (!parse(text, document)) {
        return Reply::NotJson;
    }
    if (!document.IsObject()) {
        return Reply::WithoutKey;
    }
    const auto member = document.FindMember("errorcode");
    if (member == document.MemberEnd() || !member->value.IsUint64()) {
        return Reply::WithoutKey;
    }
    code = member->value.GetUint64();
    return Reply::Ok;
}

Reply read_position_ack(std::string_view text) {
    rapidjson::Document document;
    if (!parse(text, document)) {
        return Reply::NotJson;
    }
    return array_member(document, "errorcode") != nullptr ? Reply::Ok : Reply::WithoutKey;
}

namespace {

// Reads the array under key, converting every element; a single element that
// does not convert makes the whole reply unusable.
template <class T, class Convert>
Reply read_array(std::string_view text, const char* key, std::vector<T>& values, Convert convert) {
    rapidjson::Document document;
    if (!parse(text, document)) {
        return Reply::NotJson;
    }
    const rapidjson::Value* array = array_member(document, key);
    if (array == nullptr) {
        return Reply::WithoutKey;
    }
    values.reserve(array->Size());
    for (const auto& element : array->GetArray()) {
        T value{};
        if (!convert(element, value)) {
            return Reply::BadElement;
        }
        values.push_back(value);
    }
    return Reply::Ok;
}

bool to_uint32(const rapidjson::Value& element, unsigned& value) {
    if (!element.IsUint()) {
        return false;
    }
    value = element.GetUint();
    return true;
}

}  // namespace

// The readers append to out only when the whole reply is usable.

Reply read_angles(std::string_view text, std::vector<float>& out) {
    std::vector<float> values;
    const Reply reply = read_array(text, "angle", values, [](const rapidjson::Value& element, float& value) {
        if (!element.IsNumber()) {
            return false;
        }
        value = narrow(element.GetDouble());
        return true;
    });
    if (reply == Reply::Ok) {
        out.insert(out.end(), values.begin(), values.end());
    }
    return reply;
}

Reply read_error_codes(std::string_view text, std::vector<long>& out) {
    std::vector<unsigned> values;
    const Reply reply = read_array(text, "errorcode", values, to_uint32);
    if (reply == Reply::Ok) {
        // Widened without sign extension: 4294967295 stays 4294967295.
        out.insert(out.end(), values.begin(), values.end());
    }
    return reply;
}

Reply read_matrix(std::string_view text, std::vector<std::vector<unsigned char>>& out) {
    constexpr std::size_t kRowBytes = 96;
    std::vector<unsigned> values;
    const Reply reply = read_array(text, "matrix", values, to_uint32);
    if (reply != Reply::Ok) {
        return reply;
    }
    // Each element carries three bytes, most significant first.
    std::vector<unsigned char> bytes;
    bytes.reserve(values.size() * 3);
    for (const unsigned value : values) {
        bytes.push_back(static_cast<unsigned char>(value >> 16));
        bytes.push_back(static_cast<unsigned char>(value >> 8));
        bytes.push_back(static_cast<unsigned char>(value));
    }
    if (bytes.size() % kRowBytes != 0) {
        return Reply::BadLength;
    }
    for (std::size_t row = 0; row < bytes.size(); row += kRowBytes) {
        out.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(row),
                         bytes.begin() + static_cast<std::ptrdiff_t>(row + kRowBytes));
    }
    return Reply::Ok;
}

}  // namespace qmhv2_codec

}  // namespace BaseHandProtocol
