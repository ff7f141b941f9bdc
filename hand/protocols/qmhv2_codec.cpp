#include "protocols/qmhv2_codec.h"

#include "protocols/peer_json.h"

#include <rapidjson/document.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace BaseHandProtocol {

namespace qmhv2_codec {

namespace {

// The root of text parsed in reuse, or in a document of its own when reuse
// is null; null when the text does not parse. f(root) gives the result.
template <class F>
auto with_root(std::string_view text, JsonDocument* reuse, F f) {
    if (reuse != nullptr) {
        return f(reuse->parse(text));
    }
    rapidjson::Document document;
    return f(peer_json::parse(text, document) ? static_cast<const rapidjson::Value*>(&document) : nullptr);
}

// The array member key of an object root, or null.
const rapidjson::Value* array_member(const rapidjson::Value& root, const char* key) {
    if (!root.IsObject()) {
        return nullptr;
    }
    const auto member = root.FindMember(key);
    if (member == root.MemberEnd() || !member->value.IsArray()) {
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

std::size_t write_number(double value, char (&out)[kNumberRoom]) {
    // Shortest round-trip digits in the form d.ddde[+-]xx.
    char scientific[64];
    const auto result = std::to_chars(scientific, scientific + sizeof(scientific), value,
                                      std::chars_format::scientific);
    const std::string_view text(scientific, static_cast<std::size_t>(result.ptr - scientific));
    const std::size_t e = text.find('e');
    if (result.ec != std::errc() || e == std::string_view::npos) {
        std::memcpy(out, "0.0", 3);
        return 3;
    }

    std::size_t n = 0;
    std::size_t at = 0;
    if (text[at] == '-') {
        out[n++] = '-';
        ++at;
    }
    char digits[32];
    int length = 0;
    for (std::size_t i = at; i < e; ++i) {
        if (text[i] != '.') {
            digits[length++] = text[i];
        }
    }
    std::size_t exponent_at = e + 1;
    if (exponent_at < text.size() && text[exponent_at] == '+') {
        ++exponent_at;
    }
    int exponent = 0;
    std::from_chars(text.data() + exponent_at, text.data() + text.size(), exponent);

    const auto put = [&out, &n](const char* from, int count) {
        std::memcpy(out + n, from, static_cast<std::size_t>(count));
        n += static_cast<std::size_t>(count);
    };
    const auto zeros = [&out, &n](int count) {
        std::memset(out + n, '0', static_cast<std::size_t>(count));
        n += static_cast<std::size_t>(count);
    };
    // value = 0.digits * 10^point
    const int point = exponent + 1;
    if (point >= length && point <= 21) {
        put(digits, length);
        zeros(point - length);
        put(".0", 2);
    } else if (point > 0 && point <= 21) {
        put(digits, point);
        out[n++] = '.';
        put(digits + point, length - point);
    } else if (point > -6 && point <= 0) {
        put("0.", 2);
        zeros(-point);
        put(digits, length);
    } else {
        out[n++] = digits[0];
        if (length > 1) {
            out[n++] = '.';
            put(digits + 1, length - 1);
        }
        out[n++] = 'e';
        n = static_cast<std::size_t>(std::to_chars(out + n, out + kNumberRoom, point - 1).ptr - out);
    }
    return n;
}

std::string format_number(double value) {
    char text[kNumberRoom];
    return std::string(text, write_number(value, text));
}

bool position_request(const std::vector<float>& cmd, std::string& text) {
    for (const float value : cmd) {
        if (!std::isfinite(value)) {
            return false;
        }
    }
    // What the JSON writer gives for the /pos request with a "position"
    // array added, written straight into text (its storage reused).
    text.assign(kPosRequest, std::strlen(kPosRequest) - 1);
    text += R"(,"position":[)";
    char number[kNumberRoom];
    for (std::size_t i = 0; i < cmd.size(); ++i) {
        if (i > 0) {
            text += ',';
        }
        text.append(number, write_number(static_cast<double>(cmd[i]), number));
    }
    text += "]}";
    return true;
}

JsonDocument::JsonDocument()
    : values_(value_room_, sizeof(value_room_)),
      stack_(stack_room_, sizeof(stack_room_)),
      document_(&values_, sizeof(stack_room_) / 2, &stack_) {}

const rapidjson::Value* JsonDocument::parse(std::string_view text) {
    // The last reply's values are dropped with the pools' contents; the
    // pools keep their own buffers and give back any overflow chunk.
    values_.Clear();
    stack_.Clear();
    return peer_json::parse(text, document_) ? &document_ : nullptr;
}

bool parses(std::string_view text, JsonDocument* reuse) {
    return with_root(text, reuse, [](const rapidjson::Value* root) { return root != nullptr; });
}

Reply read_command_code(std::string_view text, std::uint64_t& code, JsonDocument* reuse) {
    return with_root(text, reuse, [&code](const rapidjson::Value* root) {
        if (root == nullptr) {
            return Reply::NotJson;
        }
        if (!root->IsObject()) {
            return Reply::WithoutKey;
        }
        const auto member = root->FindMember("errorcode");
        if (member == root->MemberEnd() || !member->value.IsUint64()) {
            return Reply::WithoutKey;
        }
        code = member->value.GetUint64();
        return Reply::Ok;
    });
}

Reply read_position_ack(std::string_view text, JsonDocument* reuse) {
    return with_root(text, reuse, [](const rapidjson::Value* root) {
        if (root == nullptr) {
            return Reply::NotJson;
        }
        return array_member(*root, "errorcode") != nullptr ? Reply::Ok : Reply::WithoutKey;
    });
}

namespace {

// Reads the array under key: every element must convert (a single one that
// does not makes the whole reply unusable), then each value goes to take, in
// order, after room(count) was told how many come.
template <class T, class Convert, class Take, class Room>
Reply read_array(std::string_view text, JsonDocument* reuse, const char* key, Convert convert, Take take,
                 Room room) {
    return with_root(text, reuse, [&](const rapidjson::Value* root) {
        if (root == nullptr) {
            return Reply::NotJson;
        }
        const rapidjson::Value* array = array_member(*root, key);
        if (array == nullptr) {
            return Reply::WithoutKey;
        }
        T value{};
        for (const auto& element : array->GetArray()) {
            if (!convert(element, value)) {
                return Reply::BadElement;
            }
        }
        room(array->Size());
        for (const auto& element : array->GetArray()) {
            convert(element, value);
            take(value);
        }
        return Reply::Ok;
    });
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

Reply read_angles(std::string_view text, std::vector<float>& out, JsonDocument* reuse) {
    return read_array<float>(
        text, reuse, "angle",
        [](const rapidjson::Value& element, float& value) {
            if (!element.IsNumber()) {
                return false;
            }
            value = narrow(element.GetDouble());
            return true;
        },
        [&out](float value) { out.push_back(value); }, [&out](std::size_t count) { out.reserve(out.size() + count); });
}

Reply read_error_codes(std::string_view text, std::vector<long>& out, JsonDocument* reuse) {
    // Widened without sign extension: 4294967295 stays 4294967295.
    return read_array<unsigned>(
        text, reuse, "errorcode", to_uint32, [&out](unsigned value) { out.push_back(value); },
        [&out](std::size_t count) { out.reserve(out.size() + count); });
}

Reply read_matrix(std::string_view text, std::vector<std::vector<unsigned char>>& out, JsonDocument* reuse) {
    constexpr std::size_t kRowBytes = 96;
    std::vector<unsigned> values;
    const Reply reply =
        read_array<unsigned>(
            text, reuse, "matrix", to_uint32, [&values](unsigned value) { values.push_back(value); },
            [&values](std::size_t count) { values.reserve(count); });
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
