#pragma once

// Diagnostics: every line the library prints goes through emit(), with a level
// and the stream it has always gone to. An application may install its own
// handler (to silence the library, route its lines into a logger, or keep its
// own standard output clean) and a minimum level.
//
// Thread safety: every function here may be called from any thread at any
// time, also while other threads run hand operations. A handler may be called
// from several threads at once (one call per line, the line whole); it must
// not throw. It may call set_handler() or set_min_level(), and it may print,
// but it should not call hand operations: a handler runs on the thread of the
// operation that printed, in the middle of that operation.

#include <functional>
#include <string>
#include <string_view>

#include "export.h"

namespace Diagnostics {

enum class Level {
    trace,    // entry traces of device operations
    info,     // measurements and progress
    warning,  // time-outs and replies the library skipped or refused
    error,    // refused arguments, unknown hands, failures reported by hands
};

// The stream a line goes to by default.
enum class Stream {
    out,  // standard output
    err,  // standard error
};

// The text is one line without its line end.
using Handler = std::function<void(Level level, Stream stream, std::string_view text)>;

// Replaces the handler; an empty function restores the default, which writes
// each line with a line end to its stream and flushes it.
DEXHAND_EXPORT void set_handler(Handler handler);

// Lines below this level reach no handler. The default is Level::trace: every
// line is printed.
DEXHAND_EXPORT void set_min_level(Level level);
DEXHAND_EXPORT Level min_level();

// "trace", "info", "warning", "error".
DEXHAND_EXPORT const char* level_name(Level level);

// Hands one line to the handler when its level is at least the minimum.
DEXHAND_EXPORT void emit(Level level, Stream stream, std::string_view text);

// The common case: a line for standard output.
inline void emit(Level level, std::string_view text) { emit(level, Stream::out, text); }

// The entry trace of a device operation:
// "file = <source>    function = <function>    line = <line>" at Level::trace.
DEXHAND_EXPORT void trace_line(const char* file, const char* function, int line);

// Bytes a peer sent, fit for a terminal: control bytes (0x00-0x1F, 0x7F) and
// the two-byte forms of the C1 controls (C2 80 to C2 9F) are written as \xHH,
// everything else as it came.
DEXHAND_EXPORT std::string printable(std::string_view bytes);

// Lines about refused datagrams are capped per operation: while a
// RefusalScope lives on a thread, the first kRefusalLines lines given to
// refuse() on that thread are printed, the rest only counted, and the scope
// prints one line "further refused datagrams not printed: N" at its end when
// N > 0. Scopes nest: only the outermost one counts and summarises. Outside
// any scope refuse() is emit().
constexpr int kRefusalLines = 64;

class DEXHAND_EXPORT RefusalScope {
public:
    RefusalScope();
    ~RefusalScope();
    RefusalScope(const RefusalScope&) = delete;
    RefusalScope& operator=(const RefusalScope&) = delete;

private:
    bool outermost_;
};

DEXHAND_EXPORT void refuse(Level level, Stream stream, std::string_view text);
inline void refuse(Level level, std::string_view text) { refuse(level, Stream::out, text); }

}  // namespace Diagnostics

#define DEXHAND_TRACE() ::Diagnostics::trace_line(__FILE__, __func__, __LINE__)
