// First-generation error-code fields: any datagram on port 2334 as get_errorcode
// hands it to ParseErrorCodes. The codes must equal the record rule worked
// out here, be appended after what the list held, number at most eight per
// two bytes, and be printed on exactly one line when there are any.

#include <cstdint>
#include <cstdio>

#include "fuzz_check.h"
#include "protocols/handprotocol.h"

namespace {

std::vector<long> expected(std::string_view bytes) {
    std::vector<long> codes;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const long group = static_cast<unsigned char>(bytes[i]);
        const unsigned flags = static_cast<unsigned char>(bytes[i + 1]);
        if (group == 1) {
            if ((flags & 3u) != 0) {
                codes.push_back(256 + static_cast<long>(flags & 3u));
            }
            continue;
        }
        for (unsigned flag = 1; flag <= 0x80; flag <<= 1) {
            if ((flags & flag) != 0) {
                codes.push_back(group * 256 + static_cast<long>(flag));
            }
        }
    }
    return codes;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::keep_lines();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes = fuzz::datagram_bytes(data, size);
    const std::vector<long> wanted = expected(bytes);

    fuzz::clear_lines();
    std::vector<long> codes;
    FUZZ_CHECK(HandProtocol::ParseErrorCodes(bytes.data(), static_cast<int>(bytes.size()), codes) == 0);
    FUZZ_CHECK(codes == wanted);
    FUZZ_CHECK(codes.size() <= 8 * (bytes.size() / 2));
    if (codes.empty()) {
        FUZZ_CHECK(fuzz::lines().empty());
    } else {
        std::string line = "errorcde: ";
        for (const long code : codes) {
            char hex[24];
            std::snprintf(hex, sizeof(hex), "0x%lx ", code);
            line += hex;
        }
        FUZZ_CHECK(fuzz::lines().size() == 1 && fuzz::lines()[0] == line);
    }

    // Appended, never cleared.
    std::vector<long> appended = {-5, 7};
    HandProtocol::ParseErrorCodes(bytes.data(), static_cast<int>(bytes.size()), appended);
    FUZZ_CHECK(appended.size() == 2 + wanted.size() && appended[0] == -5 && appended[1] == 7);
    return 0;
}
