#include "transport/status.h"

namespace BaseHandProtocol {

const char* status_text(int status) {
    switch (status) {
    case kSuccess:
        return "success";
    case kFailure:
        return "failure";
    case kTimeout:
        return "timeout";
    default:
        return "unknown status";
    }
}

}  // namespace BaseHandProtocol
