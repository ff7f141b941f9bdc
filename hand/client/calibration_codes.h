#pragma once

// How a calibration shows in a second-generation hand's error codes, shared by
// the client's calibration worker and the typed client.

namespace QmHand {
namespace calibration_codes {

constexpr int kPolls = 6000;                // error-code reads before giving up
constexpr long kRunning = 4294967295L;      // first error code while the routine runs
constexpr long kFailed = 1;                 // first error code after a failed routine
constexpr int kSettleMs = 500;              // wait after the command before the first read

}  // namespace calibration_codes
}  // namespace QmHand
