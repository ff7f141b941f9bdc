// The typed API's view of the library's diagnostics: the same lines, levels
// and default streams, without the integer API's header.
#include "tessaro_dexhand/log.h"

#include "transport/diagnostics.h"

namespace tessaro_dexhand {

namespace {

// Both enumerations list the levels in the same order.
LogLevel typed(Diagnostics::Level level) { return static_cast<LogLevel>(static_cast<int>(level)); }
Diagnostics::Level untyped(LogLevel level) { return static_cast<Diagnostics::Level>(static_cast<int>(level)); }

}  // namespace

const char* to_text(LogLevel level) { return Diagnostics::level_name(untyped(level)); }

void set_log_handler(LogHandler handler) {
    if (!handler) {
        Diagnostics::set_handler({});
        return;
    }
    Diagnostics::set_handler([handler = std::move(handler)](Diagnostics::Level level, Diagnostics::Stream,
                                                            std::string_view text) { handler(typed(level), text); });
}

void set_min_log_level(LogLevel level) { Diagnostics::set_min_level(untyped(level)); }

LogLevel min_log_level() { return typed(Diagnostics::min_level()); }

}  // namespace tessaro_dexhand
