// The diagnostics unit: the default handler's bytes and streams, installed
// handlers, the minimum level, and handlers replaced while lines are emitted.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "transport/diagnostics.h"
#include "transport/status.h"

using Diagnostics::Level;
using Diagnostics::Stream;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

using Line = std::tuple<Level, Stream, std::string>;

// Every test leaves the process-wide settings as it found them.
class DiagnosticsTest : public testing::Test {
protected:
    void TearDown() override {
        Diagnostics::set_handler(nullptr);
        Diagnostics::set_min_level(Level::trace);
    }

    std::vector<Line> lines;
    void collect() {
        Diagnostics::set_handler([this](Level level, Stream stream, std::string_view text) {
            lines.emplace_back(level, stream, std::string(text));
        });
    }
};

}  // namespace

// An installed handler takes every line until an empty one restores the
// default, which writes each line to its own stream.
TEST_F(DiagnosticsTest, InstalledHandlerTakesEveryLineUntilTheDefaultReturns) {
    collect();
    CaptureStdout();
    CaptureStderr();
    Diagnostics::emit(Level::info, "[INFO] init_ms: 1000");
    Diagnostics::emit(Level::error, Stream::err, "[ERROR] x");
    Diagnostics::set_handler(Diagnostics::Handler{});
    Diagnostics::emit(Level::error, "[Error] on stdout");
    Diagnostics::emit(Level::warning, Stream::err, "on stderr");
    Diagnostics::emit(Level::trace, "");
    EXPECT_EQ(GetCapturedStderr(), "on stderr\n");
    EXPECT_EQ(GetCapturedStdout(), "[Error] on stdout\n\n");
    EXPECT_EQ(lines, (std::vector<Line>{{Level::info, Stream::out, "[INFO] init_ms: 1000"},
                                        {Level::error, Stream::err, "[ERROR] x"}}));
}

TEST_F(DiagnosticsTest, MinimumLevelDropsLowerLinesIncludingTraces) {
    collect();
    Diagnostics::set_min_level(Level::warning);
    Diagnostics::trace_line("hand/a.cpp", "f", 1);
    Diagnostics::emit(Level::info, "info");
    Diagnostics::emit(Level::warning, "warning");
    Diagnostics::emit(Level::error, "error");
    EXPECT_EQ(Diagnostics::min_level(), Level::warning);
    EXPECT_EQ(lines, (std::vector<Line>{{Level::warning, Stream::out, "warning"},
                                        {Level::error, Stream::out, "error"}}));
}

TEST_F(DiagnosticsTest, HandlerMayReplaceItselfWhileRunning) {
    int first = 0, second = 0;
    Diagnostics::set_handler([&](Level, Stream, std::string_view) {
        ++first;
        Diagnostics::set_handler([&](Level, Stream, std::string_view) { ++second; });
    });
    Diagnostics::emit(Level::info, "a");
    Diagnostics::emit(Level::info, "b");
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 1);
}

// Run under the thread sanitizer build: emitting threads race with a thread
// that keeps replacing the handler and the level; every line reaches exactly
// one handler while the level lets it through.
TEST_F(DiagnosticsTest, HandlersAndLevelsChangeSafelyWhileOtherThreadsEmit) {
    std::atomic<long> seen{0};
    const auto counting = [&seen](Level, Stream, std::string_view) { seen.fetch_add(1, std::memory_order_relaxed); };
    Diagnostics::set_handler(counting);
    constexpr int kThreads = 4, kLines = 5000;
    std::atomic<bool> stop{false};
    std::thread changer([&] {
        while (!stop.load()) {
            Diagnostics::set_handler(counting);
            Diagnostics::set_min_level(Level::trace);
        }
    });
    std::vector<std::thread> emitters;
    for (int t = 0; t < kThreads; ++t) {
        emitters.emplace_back([] {
            for (int i = 0; i < kLines; ++i) {
                Diagnostics::emit(Level::error, "line");
            }
        });
    }
    for (auto& t : emitters) {
        t.join();
    }
    stop = true;
    changer.join();
    EXPECT_EQ(seen.load(), long{kThreads} * kLines);
}

TEST(StatusText, NamesEachStatusAndAnyOtherValue) {
    EXPECT_STREQ(BaseHandProtocol::status_text(BaseHandProtocol::kSuccess), "success");
    EXPECT_STREQ(BaseHandProtocol::status_text(-1), "failure");
    EXPECT_STREQ(BaseHandProtocol::status_text(-2), "timeout");
    EXPECT_STREQ(BaseHandProtocol::status_text(7), "unknown status");
}
