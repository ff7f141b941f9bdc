#pragma once

/// @file
/// Where the library's diagnostic lines go.

#include <functional>
#include <string_view>

#include "tessaro_dexhand/visibility.h"

namespace tessaro_dexhand {

/// How much a diagnostic line matters.
enum class LogLevel {
    trace,    ///< Entry traces of device operations.
    info,     ///< Measurements and progress.
    warning,  ///< Time-outs, and replies the library skipped or refused.
    error,    ///< Refused arguments, unknown hands, failures reported by hands.
};

/// "trace", "info", "warning" or "error".
TESSARO_DEXHAND_API const char* to_text(LogLevel level);

/// Takes one line (without its line end). Called on the thread of the call
/// that printed, possibly on several threads at once; it must not throw and
/// must not call the client.
using LogHandler = std::function<void(LogLevel level, std::string_view line)>;

/// Sends every line at or above the minimum level to the handler; an empty
/// handler restores the default, which prints each line to standard output
/// (a few to standard error) as the library always has.
TESSARO_DEXHAND_API void set_log_handler(LogHandler handler);

/// Lines below this level reach no handler (the default prints them all).
TESSARO_DEXHAND_API void set_min_log_level(LogLevel level);

/// The minimum level in force.
TESSARO_DEXHAND_API LogLevel min_log_level();

}  // namespace tessaro_dexhand
