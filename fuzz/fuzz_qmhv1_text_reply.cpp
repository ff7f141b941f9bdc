// First-generation text replies: any datagram on port 2334, decoded as
// floats, integers and status bytes. One value per space-separated token and
// never more values than bytes; every float finite; plain decimal tokens read
// as the C library reads them.

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>

#include "fuzz_check.h"
#include "protocols/qmhv1_codec.h"

namespace codec = BaseHandProtocol::qmhv1_codec;

namespace {

std::size_t expected_tokens(std::string_view text) {
    if (text.empty()) {
        return 0;
    }
    std::size_t spaces = 0;
    for (const char c : text) {
        spaces += c == ' ' ? 1 : 0;
    }
    return spaces + 1 - (text.back() == ' ' ? 1 : 0);
}

// [+-]digits[.digits]: a token whose reading does not depend on the quirks of
// the stream's number grammar.
bool plain_decimal(std::string_view token, bool fraction_allowed) {
    std::size_t i = 0;
    if (i < token.size() && (token[i] == '+' || token[i] == '-')) {
        ++i;
    }
    const std::size_t digits_at = i;
    while (i < token.size() && token[i] >= '0' && token[i] <= '9') {
        ++i;
    }
    if (i == digits_at) {
        return false;
    }
    if (fraction_allowed && i < token.size() && token[i] == '.') {
        const std::size_t fraction_at = ++i;
        while (i < token.size() && token[i] >= '0' && token[i] <= '9') {
            ++i;
        }
        if (i == fraction_at) {
            return false;
        }
    }
    return i == token.size();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::keep_lines();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::datagram_text(data, size);

    const std::vector<std::string_view> tokens = codec::split_tokens(text);
    FUZZ_CHECK(tokens.size() == expected_tokens(text));
    FUZZ_CHECK(tokens.size() <= text.size());
    std::string joined;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        FUZZ_CHECK(tokens[i].find(' ') == std::string_view::npos);
        joined += tokens[i];
        if (i + 1 < tokens.size() || (!text.empty() && text.back() == ' ')) {
            joined += ' ';
        }
    }
    FUZZ_CHECK(joined == text);

    const std::vector<float> floats = codec::decode_floats(text);
    const std::vector<long> integers = codec::decode_integers(text);
    const std::vector<unsigned char> status = codec::decode_status(text);
    FUZZ_CHECK(floats.size() == tokens.size());
    FUZZ_CHECK(integers.size() == tokens.size());
    FUZZ_CHECK(status.size() == tokens.size());

    for (std::size_t i = 0; i < tokens.size(); ++i) {
        FUZZ_CHECK(std::isfinite(floats[i]));
        const std::string token(tokens[i]);
        if (plain_decimal(token, false)) {
            errno = 0;
            const long value = std::strtol(token.c_str(), nullptr, 10);
            FUZZ_CHECK(integers[i] == value);
            const long as_int = std::min<long>(std::max<long>(value, std::numeric_limits<int>::min()),
                                               std::numeric_limits<int>::max());
            FUZZ_CHECK(status[i] == static_cast<unsigned char>(static_cast<unsigned long>(as_int) & 0xFFu));
        }
        if (plain_decimal(token, true)) {
            const float value = std::strtof(token.c_str(), nullptr);
            const float wanted = std::isinf(value) ? std::copysign(std::numeric_limits<float>::max(), value) : value;
            FUZZ_CHECK(floats[i] == wanted);
        }
        // A token that cannot start a number reads as 0.
        const char first = token.empty() ? ' ' : token[0];
        const bool may_start = (first >= '0' && first <= '9') || first == '+' || first == '-' || first == '.' ||
                               first == '\t' || first == '\n' || first == '\v' || first == '\f' || first == '\r';
        if (!may_start) {
            FUZZ_CHECK(floats[i] == 0.0f && integers[i] == 0 && status[i] == 0);
        }
    }
    return 0;
}
