#pragma once

/// @file
/// The outcome of every call of the typed API.

#include "tessaro_dexhand/visibility.h"

namespace tessaro_dexhand {

/// What a call did. Every call returns the true outcome: a hand that did not
/// answer is `timeout`, never `ok`.
enum class Status {
    ok,                ///< Done: the hand answered as expected, or the command was sent where none is answered.
    failed,            ///< The hand refused the request, its reply was unusable, or the send failed.
    timeout,           ///< The hand did not answer within the operation's time budget.
    not_served,        ///< The hand's kind has no such operation; nothing was sent.
    unknown_hand,      ///< No registered hand has this address; nothing was sent.
    invalid_argument,  ///< The address text or a value was refused before anything was sent.
};

/// A short text for a status: "ok", "failed", "timed out", "not served by this hand kind",
/// "no such hand" or "invalid argument".
TESSARO_DEXHAND_API const char* to_text(Status status);

}  // namespace tessaro_dexhand
