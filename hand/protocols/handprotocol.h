#pragma once

#include <vector>

#include "export.h"

namespace HandProtocol {

// Decodes the error bit field of a first-generation hand: 2-byte records of
// group and flags (a last odd byte is ignored). Group 1 gives one code, group
// * 256 + (flags & 0x03); every other group one code per set flag bit, group *
// 256 + (1 << bit). Appends the codes to codes without clearing it and, when
// codes is then not empty, prints all of them on one "errorcde: " line.
// Always returns 0.
DEXHAND_EXPORT int ParseErrorCodes(const char* data, int len, std::vector<long>& codes);

}  // namespace HandProtocol
