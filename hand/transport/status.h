#pragma once

#include "export.h"

namespace BaseHandProtocol {

// The outcome of every hand operation, of registration and of the client's
// calls. The values are part of the interface: callers compare results with
// 0, -1 and -2, so the functions keep returning int and these convert to it.
enum Status : int {
    kSuccess = 0,   // done
    kFailure = -1,  // unknown hand, invalid address, unsupported operation,
                    // refused argument, or a reply that reports failure
    kTimeout = -2,  // the hand (or discovery) did not answer in time
};

// "success", "failure", "timeout", or "unknown status" for any other value.
DEXHAND_EXPORT const char* status_text(int status);

}  // namespace BaseHandProtocol
