#pragma once

// Small helpers of the protocol suites: byte strings, the time a call takes,
// and the lines each thread prints.

#include <chrono>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "simulator.h"
#include "transport/diagnostics.h"

namespace dexhand_test {

// "EB 90 01" -> the three bytes.
inline std::string hex(const std::string& text) {
    std::istringstream in(text);
    std::string out;
    for (unsigned int value = 0; in >> std::hex >> value;) out += static_cast<char>(value);
    return out;
}

// The frame at the start of a zero-padded 247-byte datagram.
inline std::string padded(const std::string& frame) { return frame + std::string(247 - frame.size(), '\0'); }

template <class F>
long long elapsed_ms(F&& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

// While one lives, every line goes to the list of the thread that printed
// it, as lines_of() sets up; lines of other threads are dropped.
class ThreadLines {
public:
    ThreadLines() {
        Diagnostics::set_handler([](Diagnostics::Level, Diagnostics::Stream, std::string_view text) {
            if (sink() != nullptr) sink()->emplace_back(text);
        });
    }
    ~ThreadLines() { Diagnostics::set_handler({}); }
    ThreadLines(const ThreadLines&) = delete;
    ThreadLines& operator=(const ThreadLines&) = delete;

    // The lines that call prints on this thread, each without its line end.
    static std::vector<std::string> lines_of(const std::function<void()>& call) {
        std::vector<std::string> lines;
        sink() = &lines;
        call();
        sink() = nullptr;
        return lines;
    }

private:
    static std::vector<std::string>*& sink() {
        static thread_local std::vector<std::string>* lines = nullptr;
        return lines;
    }
};

}  // namespace dexhand_test
