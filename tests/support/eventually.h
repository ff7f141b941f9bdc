#pragma once

// Waits for something another thread or process brings about.

#include <chrono>
#include <thread>

namespace dexhand_test {

// True as soon as predicate() holds; false once timeout has passed without it.
template <class Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace dexhand_test
