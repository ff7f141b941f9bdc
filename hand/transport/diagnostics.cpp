#include "transport/diagnostics.h"

#include <atomic>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>

namespace Diagnostics {

namespace {

// The default handler writes one whole line under a lock, so that lines of
// different threads never mix inside a line.
void write_default(Level, Stream stream, std::string_view text) {
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    std::ostream& out = stream == Stream::err ? std::cerr : std::cout;
    out << text << std::endl;
}

// The installed handler is held by a shared pointer: emit() copies it under
// the lock and calls it outside, so a handler may be replaced (even by
// itself) while other threads are inside the old one.
struct State {
    std::mutex mutex;
    std::shared_ptr<const Handler> handler;
    std::atomic<int> min_level{static_cast<int>(Level::trace)};
};

State& state() {
    static State s;
    return s;
}

// The trace names the source from the library's own root ("hand/...") rather
// than with the build machine's absolute path.
std::string_view source_name(std::string_view path) {
    const auto root = path.rfind("hand/");
    if (root != std::string_view::npos && (root == 0 || path[root - 1] == '/')) {
        return path.substr(root);
    }
    return path;
}

}  // namespace

void set_handler(Handler handler) {
    auto installed = handler ? std::make_shared<const Handler>(std::move(handler)) : nullptr;
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.handler = std::move(installed);
}

void set_min_level(Level level) { state().min_level.store(static_cast<int>(level), std::memory_order_relaxed); }

Level min_level() { return static_cast<Level>(state().min_level.load(std::memory_order_relaxed)); }

const char* level_name(Level level) {
    switch (level) {
    case Level::trace:
        return "trace";
    case Level::info:
        return "info";
    case Level::warning:
        return "warning";
    case Level::error:
        return "error";
    }
    return "unknown";
}

void emit(Level level, Stream stream, std::string_view text) {
    State& s = state();
    if (static_cast<int>(level) < s.min_level.load(std::memory_order_relaxed)) {
        return;
    }
    std::shared_ptr<const Handler> handler;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        handler = s.handler;
    }
    if (handler) {
        (*handler)(level, stream, text);
    } else {
        write_default(level, stream, text);
    }
}

void trace_line(const char* file, const char* function, int line) {
    if (static_cast<int>(Level::trace) < state().min_level.load(std::memory_order_relaxed)) {
        return;
    }
    std::string text = "file = ";
    text += source_name(file);
    text += "    function = ";
    text += function;
    text += "    line = ";
    text += std::to_string(line);
    emit(Level::trace, text);
}

// ---------------------------------------------------------------------------

std::string printable(std::string_view bytes) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size());
    const auto escape = [&out](unsigned char c) {
        out += "\\x";
        out += kHex[c >> 4];
        out += kHex[c & 0x0F];
    };
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x20 || c == 0x7F) {
            escape(c);
        } else if (c == 0xC2 && i + 1 < bytes.size() && static_cast<unsigned char>(bytes[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(bytes[i + 1]) <= 0x9F) {
            // A C1 control in UTF-8: some terminals act on it like ESC [.
            escape(c);
            escape(static_cast<unsigned char>(bytes[++i]));
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

namespace {

struct Refusals {
    bool active = false;
    int printed = 0;
    long long withheld = 0;
};

Refusals& refusals() {
    static thread_local Refusals r;
    return r;
}

}  // namespace

RefusalScope::RefusalScope() : outermost_(!refusals().active) {
    if (outermost_) {
        refusals() = Refusals{true, 0, 0};
    }
}

RefusalScope::~RefusalScope() {
    if (!outermost_) {
        return;
    }
    const long long withheld = refusals().withheld;
    refusals() = Refusals{};
    if (withheld > 0) {
        emit(Level::warning, "further refused datagrams not printed: " + std::to_string(withheld));
    }
}

void refuse(Level level, Stream stream, std::string_view text) {
    Refusals& r = refusals();
    if (r.active) {
        if (r.printed >= kRefusalLines) {
            ++r.withheld;
            return;
        }
        ++r.printed;
    }
    emit(level, stream, text);
}

}  // namespace Diagnostics
