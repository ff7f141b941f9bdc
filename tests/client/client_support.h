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

// Simulated hands on the subnet and a client that discovers them.
struct Subnet {
    sim::Simulator simulator;
    std::vector<std::shared_ptr<sim::Hand>> hands;
    QmHand::DexHand client;
    Printed<int> init{};

    // A hand at ip answering discovery with text, 60 ms after the hand added
    // before it (so hands register in the order added).
    template <class H = sim::Hand>
    std::shared_ptr<H> add(const std::string& ip, const std::string& text) {
        auto hand = simulator.add<H>(ip);
        hand->set_discovery(sim::DiscoveryAnswer().with_text(text).with_delay_ms(60 * static_cast<int>(hands.size())));
        hands.push_back(hand);
        return hand;
    }
    void run_init() {
        init = printed([this] { return client.init(0); });
    }
    // Datagrams that reached the hands on any port so far.
    std::size_t datagrams() const {
        std::size_t count = 0;
        for (const auto& hand : hands) {
            for (unsigned short port : {sim::kCtrlPort, sim::kCommPort, sim::kAuxPort}) {
                count += hand->received_count(port);
            }
        }
        return count;
    }
    void clear_received() {
        for (const auto& hand : hands) {
            hand->clear_received();
        }
    }
};

}  // namespace client_test
