// Inspire register replies: any datagram on port 2333 under the acceptance
// rule of every register operation, and through every decoder. Acceptance
// must equal the header rule worked out here; a decoder either leaves its
// output alone (too little data) or yields exactly the values the bytes
// hold.

#include <cstdint>

#include "fuzz_check.h"
#include "protocols/inspire_codec.h"

namespace codec = BaseHandProtocol::inspire_codec;
namespace ops = BaseHandProtocol::inspire_operations;

namespace {

constexpr unsigned char kHandId = 1;

bool expected_accept(std::string_view reply, unsigned char command, std::uint16_t address) {
    const auto byte = [&reply](std::size_t i) { return static_cast<unsigned char>(reply[i]); };
    if (command == codec::kFastPositions) {
        return reply.size() >= 5 && byte(0) == 0x90 && byte(1) == 0xEB && byte(2) == kHandId &&
               byte(4) == command;
    }
    return reply.size() >= 7 && byte(0) == 0x90 && byte(1) == 0xEB && byte(2) == kHandId && byte(4) == command &&
           byte(5) == (address & 0xFF) && byte(6) == (address >> 8);
}

// The 16-bit little-endian value at offset i, as a magnitude.
unsigned magnitude_at(std::string_view reply, std::size_t i) {
    const unsigned pattern = static_cast<unsigned char>(reply[i]) | static_cast<unsigned char>(reply[i + 1]) << 8;
    return pattern > 0x8000 ? 0x10000 - pattern : pattern;
}

// Data bytes: from offset 7 up to the checksum, the last byte.
std::size_t data_bytes(std::string_view reply) { return reply.size() > 8 ? reply.size() - 8 : 0; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::keep_lines();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view reply = fuzz::datagram_bytes(data, size);

    for (const ops::RegisterOperation* op :
         {&ops::kGetPos, &ops::kGetErrorcode, &ops::kGetStatus, &ops::kGetCurrent, &ops::kGetVelocity,
          &ops::kGetCurrentLimited, &ops::kSetPos, &ops::kFastSetPositions, &ops::kClearErrorcode,
          &ops::kSetVelocity}) {
        const bool accepted = op->command == codec::kFastPositions
                                  ? codec::accepts_fast(reply, kHandId)
                                  : codec::accepts(reply, kHandId, op->command, op->address);
        FUZZ_CHECK(accepted == expected_accept(reply, op->command, op->address));
    }

    const std::size_t words = data_bytes(reply) / 2;
    {
        std::vector<float> out = {9.0f};
        if (codec::decode_positions(reply, out)) {
            FUZZ_CHECK(words >= 6 && out.size() == 6);
            // Register slot s holds library joint kJointOfSlot[s].
            constexpr std::size_t kSlotOfJoint[6] = {3, 2, 1, 0, 4, 5};
            for (std::size_t joint = 0; joint < 6; ++joint) {
                const unsigned magnitude = magnitude_at(reply, 7 + 2 * kSlotOfJoint[joint]);
                const float raw = magnitude == 0x8000 ? -32768.0f : static_cast<float>(magnitude);
                FUZZ_CHECK(out[joint] == raw / 1000.0f);
            }
        } else {
            FUZZ_CHECK(words < 6 && out == std::vector<float>{9.0f});
        }
    }
    {
        std::vector<float> out = {9.0f};
        if (codec::decode_words(reply, out)) {
            FUZZ_CHECK(words >= 6 && out.size() == words);
            for (std::size_t k = 0; k < words; ++k) {
                FUZZ_CHECK(out[k] == static_cast<float>(magnitude_at(reply, 7 + 2 * k)));
            }
        } else {
            FUZZ_CHECK(words < 6 && out == std::vector<float>{9.0f});
        }
    }
    {
        std::vector<long> out = {9};
        if (codec::decode_error_bytes(reply, out)) {
            FUZZ_CHECK(data_bytes(reply) >= 6 && out.size() == data_bytes(reply));
            for (std::size_t k = 0; k < out.size(); ++k) {
                const int byte = static_cast<unsigned char>(reply[7 + k]);
                FUZZ_CHECK(out[k] == (byte < 128 ? byte : byte - 256));
            }
        } else {
            FUZZ_CHECK(data_bytes(reply) < 6 && out == std::vector<long>{9});
        }
    }
    {
        std::vector<unsigned char> out = {9};
        if (codec::decode_status_bytes(reply, out)) {
            FUZZ_CHECK(data_bytes(reply) >= 6 && out.size() == data_bytes(reply));
            FUZZ_CHECK(std::equal(out.begin(), out.end(), reply.begin() + 7,
                                  [](unsigned char a, char b) { return a == static_cast<unsigned char>(b); }));
        } else {
            FUZZ_CHECK(data_bytes(reply) < 6 && out == std::vector<unsigned char>{9});
        }
    }
    return 0;
}
