#include "signals.h"

namespace dexhand_cli {

namespace {

std::atomic<bool> g_stop{false};

extern "C" void on_stop_signal(int) { g_stop.store(true); }

}  // namespace

StopSignals::StopSignals() {
    g_stop.store(false);
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &old_int_);
    sigaction(SIGTERM, &action, &old_term_);
}

StopSignals::~StopSignals() {
    sigaction(SIGINT, &old_int_, nullptr);
    sigaction(SIGTERM, &old_term_, nullptr);
}

bool StopSignals::stop_requested() { return g_stop.load(); }

const std::atomic<bool>& StopSignals::flag() { return g_stop; }

}  // namespace dexhand_cli
