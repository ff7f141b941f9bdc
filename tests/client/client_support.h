#pragma once

// What the client suites share: simulated hands that answer discovery, and
// calls whose printed lines are kept apart from their results.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "client/dexhand.h"
#include "simulator.h"

namespace client_test {

using Strings = std::vector<std::string>;

// A discovery reply with a name, a type and an address.
inline std::string reply(const std::string& name, const std::string& type, const std::string& ip) {
    return sim::JsonObject().str("name", name).str("type", type).str("IP", ip).text();
}

// Adds a hand at ip that answers discovery with text, delay_ms after the
// request (the delays fix the registration order).
template <class H = sim::Hand>
std::shared_ptr<H> add_hand(sim::Simulator& simulator, const std::string& ip, const std::string& text,
                            int delay_ms = 0) {
    auto hand = simulator.add<H>(ip);
    hand->set_discovery(sim::DiscoveryAnswer().with_text(text).with_delay_ms(delay_ms));
    return hand;
}

// A result and what its call printed on standard output.
template <class T>
struct Printed {
    T result;
    std::string output;
};

template <class Call>
auto printed(Call call) {
    testing::internal::CaptureStdout();
    auto result = call();
    return Printed<decltype(result)>{std::move(result), testing::internal::GetCapturedStdout()};
}

}  // namespace client_test
