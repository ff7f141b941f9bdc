#pragma once

// What the three protocol suites share: rows of a kind's operation table run
// side by side, each on a protocol object of its own, and what a silent hand
// or failing sends make a row do, as its row says.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <string>
#include <vector>

#include "support/protocol_rig.h"
#include "transport/exchange.h"

namespace protocol_rows {

using BaseHandProtocol::Operation;

// Past a budget: generous, since busy loops share two cores.
constexpr long long kSlackMs = 500;

// What one row's call did, its trace lines left out.
struct Run {
    const Operation* row = nullptr;
    int status = 0;
    long long took_ms = 0;
    std::vector<std::string> lines;
};

// call(row) for every row at once, each on a thread of its own.
template <class Rows, class Call>
std::vector<Run> side_by_side(const Rows& rows, const Call& call) {
    dexhand_test::ThreadLines capture;
    std::vector<std::future<Run>> running;
    for (const Operation* row : rows) {
        running.push_back(std::async(std::launch::async, [row, &call] {
            Run run;
            run.row = row;
            run.lines = dexhand_test::ThreadLines::lines_of([&] {
                run.took_ms = dexhand_test::elapsed_ms([&] { run.status = call(*row); });
            });
            const auto trace = [](const std::string& line) { return line.rfind("file = ", 0) == 0; };
            run.lines.erase(std::remove_if(run.lines.begin(), run.lines.end(), trace), run.lines.end());
            return run;
        }));
    }
    std::vector<Run> runs;
    for (auto& one : running) runs.push_back(one.get());
    return runs;
}

// side_by_side over every row, each on an object of its own, made of ip
// and readied by ready(object), and with outputs of its own.
template <class Protocol, class Outputs, class Rows, class Calls, class Ready>
std::vector<Run> each_alone(const Rows& rows, const Calls& calls, const std::string& ip, const Ready& ready) {
    return side_by_side(rows, [&](const Operation& row) {
        Protocol own(ip);
        ready(own);
        Outputs mine;
        return calls.at(row.name).run(own, mine);
    });
}

// The datagrams that reached hand on port, in order.
inline std::vector<std::string> received(const sim::Hand& hand, unsigned short port) {
    std::vector<std::string> all;
    for (const auto& r : hand.received(port)) all.push_back(r.bytes);
    return all;
}

// Every row run once by run(name) succeeds, and the hand receives each row's
// calls.at(name).sent on the row's port, in the rows' order, nothing else.
template <class Rows, class Calls, class RunByName>
void expect_every_row_sent(const Rows& rows, const Calls& calls, const RunByName& run, const sim::Hand& hand) {
    std::vector<std::string> expected[2];
    for (const Operation* row : rows) {
        EXPECT_EQ(run(row->name), 0) << row->name;
        expected[row->port == BaseHandProtocol::Port::Comm].push_back(calls.at(row->name).sent);
    }
    EXPECT_TRUE(hand.wait_received(sim::kCtrlPort, expected[0].size(), std::chrono::seconds(1)));
    EXPECT_TRUE(hand.wait_received(sim::kCommPort, expected[1].size(), std::chrono::seconds(1)));
    EXPECT_EQ(received(hand, sim::kCtrlPort), expected[0]);
    EXPECT_EQ(received(hand, sim::kCommPort), expected[1]);
    EXPECT_EQ(hand.received_count(sim::kAuxPort), 0u);
}

// How a row ends against a silent hand (state "RECVFROM") or with every send
// failing ("SENDTO"): a row that awaits nothing succeeds without a line, one
// whose failed send ends it prints its failure line after head; any other
// ends once its budget is spent with its time-out line, after its
// elapsed-time line where it has one and, if its row says so, a line for
// every failed send.
inline void expect_ending(const Run& run, const std::string& state, const std::string& ip,
                          const std::string& head = "") {
    const Operation& row = *run.row;
    SCOPED_TRACE(row.name);
    const bool sends_fail = state == "SENDTO";
    if (!sends_fail && row.awaits == BaseHandProtocol::Awaits::Nothing) {
        EXPECT_EQ(run.status, 0);
        EXPECT_THAT(run.lines, testing::ElementsAre());
        return;
    }
    if (sends_fail && row.on_send_failure == BaseHandProtocol::SendFailure::Fail) {
        EXPECT_EQ(run.status, -1);
        EXPECT_LT(run.took_ms, 100);
        EXPECT_EQ(run.lines, std::vector<std::string>{head + row.prefix + std::string(row.failure_line)});
        return;
    }
    EXPECT_EQ(run.status, -2);
    EXPECT_GE(run.took_ms, row.budget_ms);
    EXPECT_LT(run.took_ms, (sends_fail ? 2 * row.budget_ms : row.budget_ms) + kSlackMs);
    std::vector<std::string> lines = run.lines;
    if (sends_fail && row.on_send_failure == BaseHandProtocol::SendFailure::RetryAndSay) {
        const auto said = std::count(lines.begin(), lines.end(), std::string(row.failure_line));
        EXPECT_GT(said, 1);
        lines.erase(lines.begin(), lines.begin() + said);
    }
    if (*row.elapsed_line != '\0') {
        ASSERT_EQ(lines.size(), 2u);
        ASSERT_EQ(lines[0].rfind(row.elapsed_line, 0), 0u) << lines[0];
        EXPECT_GT(std::stol(lines[0].substr(std::string(row.elapsed_line).size())), row.budget_ms);
        lines.erase(lines.begin());
    }
    EXPECT_EQ(lines, std::vector<std::string>{std::string(row.prefix) + "DEVICE " + state + ": " + ip + ", TIMEOUT"});
}

}  // namespace protocol_rows
