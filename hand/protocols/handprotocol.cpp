#include "protocols/handprotocol.h"

#include <cstdio>
#include <string>

#include "transport/diagnostics.h"
#include "transport/status.h"

namespace HandProtocol {

using Diagnostics::emit;
using Diagnostics::Level;

int ParseErrorCodes(const char* data, int len, std::vector<long>& codes) {
    if (data == nullptr) {
        len = 0;
    }
    for (int i = 0; i + 1 < len; i += 2) {
        const unsigned group = static_cast<unsigned char>(data[i]);
        const unsigned flags = static_cast<unsigned char>(data[i + 1]);
        // Group 1 carries a two-bit value, not a set of flags.
        if (group == 1) {
            if ((flags & 0x03u) != 0) {
                codes.push_back(static_cast<long>(group * 256 + (flags & 0x03u)));
            }
            continue;
        }
        for (unsigned bit = 0; bit < 8; ++bit) {
            if ((flags & (1u << bit)) != 0) {
                codes.push_back(static_cast<long>(group * 256 + (1u << bit)));
            }
        }
    }

    if (!codes.empty()) {
        std::string line = "errorcde: ";
        for (const long code : codes) {
            char hex[32];
            std::snprintf(hex, sizeof(hex), "0x%lx ", static_cast<unsigned long>(code));
            line += hex;
        }
        emit(Level::info, line);
    }
    return BaseHandProtocol::kSuccess;
}

}  // namespace HandProtocol
