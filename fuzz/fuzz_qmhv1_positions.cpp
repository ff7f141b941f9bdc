// First-generation positions: a limit reply and a position reply (the input
// split at its first NUL), as get_pos and fast_set_positions use them. The
// limit list counts only when every full-scale value is finite and above 0;
// a position reply is taken only with six values and usable limits; a target
// never leaves its joint's range.

#include <cmath>
#include <cstdint>

#include "fuzz_check.h"
#include "protocols/qmhv1_codec.h"

namespace codec = BaseHandProtocol::qmhv1_codec;

namespace {

bool expected_usable(const std::vector<float>& limits) {
    if (limits.size() < 12) {
        return false;
    }
    for (std::size_t joint = 0; joint < 6; ++joint) {
        const float full_scale = limits[2 * joint + 1];
        if (std::isnan(full_scale) || std::isinf(full_scale) || full_scale <= 0.0f) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::keep_lines();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view limit_text = fuzz::datagram_text(data, size);
    const std::size_t rest = limit_text.size() < size ? limit_text.size() + 1 : size;
    const std::string_view position_text = fuzz::datagram_text(data + rest, size - rest);

    const std::vector<float> limits = codec::decode_floats(limit_text);
    const bool usable = codec::usable_pos_limits(limits);
    FUZZ_CHECK(usable == expected_usable(limits));

    const std::vector<float> raw = codec::decode_floats(position_text);
    const std::vector<float> positions = codec::normalise_positions(raw, limits);
    if (raw.size() != 6 || !usable) {
        FUZZ_CHECK(positions.empty());
    } else {
        FUZZ_CHECK(positions.size() == 6);
        for (std::size_t i = 0; i < 6; ++i) {
            const float wanted = 1.0f - raw[i] / limits[2 * i + 1];
            FUZZ_CHECK(positions[i] == wanted || (std::isnan(positions[i]) && std::isnan(wanted)));
        }
    }

    // The position reply's values as a command.
    std::array<float, 6> untouched;
    untouched.fill(123.0f);
    std::array<float, 6> targets = untouched;
    const codec::PositionCheck check = codec::position_targets(raw, limits, targets);
    if (!usable) {
        FUZZ_CHECK(check == codec::PositionCheck::NoLimits);
    }
    if (check != codec::PositionCheck::Ok) {
        FUZZ_CHECK(targets == untouched);
        return 0;
    }
    for (std::size_t i = 0; i < 6; ++i) {
        const float full_scale = limits[2 * i + 1];
        FUZZ_CHECK(targets[i] == codec::kHold || (targets[i] >= 0.0f && targets[i] <= full_scale));
    }
    return 0;
}
