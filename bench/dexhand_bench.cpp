// Latency, CPU and allocations per call of the hand operations, directly on
// the protocol objects and through the client, against a raw-UDP round trip
// with the same bytes measured in the same run; plus the cost of waiting for
// a hand that never answers, of discovery, and of a 1 kHz loop over 5 hands.
// Runs inside the private network namespace only (scripts/bench).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/dexhand.h"
#include "netns_guard.h"
#include "protocols/inspire.h"
#include "protocols/inspire_codec.h"
#include "protocols/qmhv1.h"
#include "protocols/qmhv1_codec.h"
#include "protocols/qmhv2.h"
#include "protocols/qmhv2_codec.h"
#include "responder.h"
#include "transport/diagnostics.h"

// --- allocations of the calling thread ----------------------------------------

namespace {
thread_local long long t_allocations = 0;
}

void* operator new(std::size_t size) {
    ++t_allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using Clock = std::chrono::steady_clock;

const std::string kQmhv1 = "192.168.137.10";
const std::string kSilent = "192.168.137.11";
const std::string kInspire = "192.168.137.19";
const std::string kQmhv2 = "192.168.137.40";
const std::vector<std::string> kMoreQmhv2 = {"192.168.137.41", "192.168.137.42"};
constexpr int kCalls = 5000;

// The CPU time this thread has used, from the scheduler's own count.
double thread_cpu_us() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

struct Figures {
    double median_us = 0, p99_us = 0, cpu_us = 0, allocations = 0;
};
std::map<std::string, Figures> g_figures;

// What reading the thread's CPU clock twice costs in CPU (it is a system
// call): taken off every call's CPU time. Set in main().
double g_cpu_clock_cost_us = 0;

// Latency, CPU and allocations of one call, call after call.
class Samples {
public:
    Samples() { latencies_.reserve(kCalls); }
    void time(const std::function<void()>& call) {
        const double cpu = thread_cpu_us();
        const long long allocations = t_allocations;
        const auto start = Clock::now();
        call();
        const auto end = Clock::now();
        allocations_ += t_allocations - allocations;
        cpu_us_ += thread_cpu_us() - cpu;
        latencies_.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    Figures figures() {
        Figures f;
        const double n = double(latencies_.size());
        f.allocations = double(allocations_) / n;
        f.cpu_us = std::max(0.0, cpu_us_ / n - g_cpu_clock_cost_us);
        std::sort(latencies_.begin(), latencies_.end());
        f.median_us = latencies_[latencies_.size() / 2];
        f.p99_us = latencies_[latencies_.size() * 99 / 100];
        return f;
    }

private:
    std::vector<double> latencies_;
    double cpu_us_ = 0;
    long long allocations_ = 0;
};

void report(benchmark::State& state, const std::string& name, const Figures& f, const std::string& prefix = "") {
    state.counters[prefix + "median_us"] = f.median_us;
    state.counters[prefix + "p99_us"] = f.p99_us;
    state.counters[prefix + "cpu_us"] = f.cpu_us;
    state.counters[prefix + "allocs"] = f.allocations;
    g_figures[name] = f;
}

// Times every call of the benchmark loop; the figures go to the table.
void measure(benchmark::State& state, const std::string& name, const std::function<void()>& call) {
    call();  // the first call fills what is kept for later calls
    Samples samples;
    for (auto _ : state) {
        samples.time(call);
    }
    report(state, name, samples.figures());
}

// One operation three ways, the three calls taking turns within each
// iteration, so that whatever the machine does to one batch of calls it does
// to the others as well and the ratios compare like with like.
void compare(benchmark::State& state, const std::string& operation, const std::function<void()>& raw,
             const std::function<void()>& direct, const std::function<void()>& client) {
    raw();
    direct();
    client();
    Samples samples[3];
    for (auto _ : state) {
        samples[0].time(raw);
        samples[1].time(direct);
        samples[2].time(client);
    }
    report(state, "raw " + operation, samples[0].figures(), "raw_");
    report(state, "direct " + operation, samples[1].figures(), "direct_");
    report(state, "client " + operation, samples[2].figures(), "client_");
}

// --- the raw baseline: one unconnected socket, busy polling -------------------

class RawUdp {
public:
    RawUdp() : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {}
    ~RawUdp() { ::close(fd_); }
    void send(const std::string& ip, unsigned short port, const std::string& bytes) {
        const sockaddr_in to = dexhand_test::ipv4(ip, port);
        ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    }
    void round_trip(const std::string& ip, unsigned short port, const std::string& bytes) {
        send(ip, port, bytes);
        char buffer[1024];
        while (::recv(fd_, buffer, sizeof(buffer), MSG_DONTWAIT) < 0) {
        }
    }

private:
    int fd_;
};

std::string bytes(const std::vector<unsigned char>& frame) { return std::string(frame.begin(), frame.end()); }

// --- the hands -----------------------------------------------------------------

std::string qmhv2_angles() {
    std::string text = R"({"angle":[)";
    for (int i = 0; i < 12; ++i) {
        text += (i ? "," : "") + std::to_string(10 * i) + ".5";
    }
    return text + "]}";
}

std::string qmhv2_matrix() {
    std::string text = R"({"matrix":[)";
    for (int i = 0; i < 32 * 2; ++i) {  // two rows: the reply fits one 1024-byte receive
        text += (i ? "," : "") + std::to_string(i * 1021 % 16777216);
    }
    return text + "]}";
}

std::string inspire_positions() {
    std::vector<unsigned char> frame = {0x90, 0xEB, 0x01, 0x0F, 0x11, 0x0A, 0x06};
    for (int i = 0; i < 6; ++i) {
        frame.push_back(static_cast<unsigned char>((100 * i) & 0xFF));
        frame.push_back(static_cast<unsigned char>((100 * i) >> 8));
    }
    frame.push_back(BaseHandProtocol::inspire_codec::checksum(frame.data(), frame.size()));
    return bytes(frame);
}

std::string discovery_reply(const std::string& name, const std::string& type, const std::string& ip) {
    return R"({"name":")" + name + R"(","type":")" + type + R"(","IP":")" + ip + R"("})";
}

void set_up_hands(bench::Responder& r) {
    using namespace BaseHandProtocol;
    r.rule(kQmhv1, kCommPort, bytes(qmhv1_codec::pos_request()), "1000 1100 1200 1300 1400 1500");
    r.rule(kQmhv1, kCommPort, bytes(qmhv1_codec::pos_limit_request()),
           "0 2000 0 2000 0 2000 0 2000 0 2000 0 2000");
    r.rule(kQmhv1, kCtrlPort, std::string(1, '\x01'), "");
    for (const auto& ip : [] {
             std::vector<std::string> all = kMoreQmhv2;
             all.push_back(kQmhv2);
             return all;
         }()) {
        r.rule(ip, kCommPort, qmhv2_codec::kPvaRequest, qmhv2_angles());
        r.rule(ip, kCommPort, qmhv2_codec::kMatrixRequest, qmhv2_matrix());
        r.rule(ip, kCtrlPort, std::string(R"({"method":"SET","cmd":"/pos")"),
               R"({"errorcode":[0]})");
    }
    r.rule(kInspire, kCtrlPort, bytes(inspire_codec::read_request(1, inspire_codec::kPositionRegister, 12)),
           inspire_positions());
    const std::string everyone(15, '1');
    r.rule("192.168.137.255", kCommPort, everyone, discovery_reply("qmhv1", "QMH-6L", kQmhv1));
    r.rule("192.168.137.255", kCommPort, everyone, discovery_reply("QSH", "QSH-6", kInspire));
    r.rule("192.168.137.255", kCommPort, everyone, discovery_reply("qmhv2", "QMH-12R", kQmhv2));
    for (const auto& ip : kMoreQmhv2) {
        r.rule("192.168.137.255", kCommPort, everyone, discovery_reply("qmhv2", "QMH-12L", ip));
    }
}

// Shared by the benchmarks, made once in main().
std::unique_ptr<BaseHandProtocol::Qmhv1> g_qmhv1;
std::unique_ptr<BaseHandProtocol::Qmhv2> g_qmhv2;
std::unique_ptr<BaseHandProtocol::Inspire> g_inspire;
std::unique_ptr<QmHand::DexHand> g_client;
std::unique_ptr<RawUdp> g_raw;

const std::vector<float> kSix = {0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f};
const std::vector<float> kTwelve = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

std::string qmhv2_position_text() {
    std::string text;
    BaseHandProtocol::qmhv2_codec::position_request(kTwelve, text);
    return text;
}

std::string qmhv1_position_frame() {
    std::array<float, 6> targets{};
    BaseHandProtocol::qmhv1_codec::position_targets(kSix, g_qmhv1->pos_limits, targets);
    return bytes(BaseHandProtocol::qmhv1_codec::positions_frame(targets));
}

// --- benchmarks ----------------------------------------------------------------

using BaseHandProtocol::kCommPort;
using BaseHandProtocol::kCtrlPort;

void qmhv1_get_pos(benchmark::State& s) {
    const std::string request = bytes(BaseHandProtocol::qmhv1_codec::pos_request());
    std::vector<float> pos;
    compare(
        s, "qmhv1 get_pos", [&] { g_raw->round_trip(kQmhv1, kCommPort, request); }, [&] { g_qmhv1->get_pos(pos); },
        [&] { benchmark::DoNotOptimize(g_client->get_pos(kQmhv1)); });
}

void qmhv1_fast_set_positions(benchmark::State& s) {
    const std::string frame = qmhv1_position_frame();
    compare(
        s, "qmhv1 fast_set_positions", [&] { g_raw->send(kQmhv1, kCtrlPort, frame); },
        [&] { g_qmhv1->fast_set_positions(kSix); }, [&] { g_client->fast_set_pos(kQmhv1, kSix); });
}

void qmhv2_get_pos(benchmark::State& s) {
    std::vector<float> pos;
    compare(
        s, "qmhv2 get_pos",
        [&] { g_raw->round_trip(kQmhv2, kCommPort, BaseHandProtocol::qmhv2_codec::kPvaRequest); },
        [&] {
            pos.clear();
            g_qmhv2->get_pos(pos);
        },
        [&] { benchmark::DoNotOptimize(g_client->get_pos(kQmhv2)); });
}

void qmhv2_set_pos(benchmark::State& s) {
    const std::string text = qmhv2_position_text();
    compare(
        s, "qmhv2 set_pos", [&] { g_raw->round_trip(kQmhv2, kCtrlPort, text); }, [&] { g_qmhv2->set_pos(kTwelve); },
        [&] { g_client->set_pos(kQmhv2, kTwelve); });
}

void qmhv2_get_ts_matrix(benchmark::State& s) {
    std::vector<std::vector<unsigned char>> matrix;
    compare(
        s, "qmhv2 get_ts_matrix",
        [&] { g_raw->round_trip(kQmhv2, kCommPort, BaseHandProtocol::qmhv2_codec::kMatrixRequest); },
        [&] {
            matrix.clear();
            g_qmhv2->get_ts_matrix(matrix);
        },
        [&] { benchmark::DoNotOptimize(g_client->get_ts_matrix(kQmhv2)); });
}

void inspire_get_pos(benchmark::State& s) {
    const std::string request =
        bytes(BaseHandProtocol::inspire_codec::read_request(1, BaseHandProtocol::inspire_codec::kPositionRegister, 12));
    std::vector<float> pos;
    compare(
        s, "Inspire get_pos", [&] { g_raw->round_trip(kInspire, kCtrlPort, request); },
        [&] { g_inspire->get_pos(pos); }, [&] { benchmark::DoNotOptimize(g_client->get_pos(kInspire)); });
}

// Costs of a few nanoseconds are timed over batches of kBatch: a batch's
// median in µs is the cost of one in ns.
constexpr int kBatch = 1000;

void address_check(benchmark::State& s) {
    measure(s, "address check", [&] {
        for (int i = 0; i < kBatch; ++i) {
            benchmark::DoNotOptimize(g_client->isValidIP(kQmhv2));
        }
    });
}
// The lock the client takes around every call on a hand, when no other
// thread holds it.
void hand_lock_uncontended(benchmark::State& s) {
    std::mutex& lock = g_qmhv1->operation_mutex();
    measure(s, "hand lock", [&] {
        for (int i = 0; i < kBatch; ++i) {
            const std::lock_guard<std::mutex> held(lock);
            benchmark::ClobberMemory();
        }
    });
}
// What the drain before every request costs when nothing is queued (the usual
// case): one non-blocking receive that finds nothing, on a hand's endpoint.
void drain_empty_endpoint(benchmark::State& s) {
    const int fd = g_qmhv1->comm_udp_socket->sockfd;
    measure(s, "drain", [&] {
        for (int i = 0; i < kBatch; ++i) {
            char byte;
            benchmark::DoNotOptimize(::recv(fd, &byte, 1, MSG_DONTWAIT));
        }
    });
}

// One empty pass of a wait that never sleeps: a non-blocking receive that
// finds nothing, a clock read and one step of the empty-poll counter. How
// many of these fit in a millisecond is the pace at which a sleeping wait
// weighs its sleeps for the qmhv1 reads that resend after empty polls.
void busy_wait_pass(benchmark::State& s) {
    CommSocket::Transmit::UDPSocket& endpoint = *g_qmhv1->comm_udp_socket;
    std::atomic<int> counter{0};
    char bytes[CommSocket::Transmit::UDPSocket::kBufferLength];
    measure(s, "busy pass", [&] {
        for (int i = 0; i < kBatch; ++i) {
            int length = 0;
            benchmark::DoNotOptimize(endpoint.ReceiveData(bytes, length));
            benchmark::DoNotOptimize(Clock::now());
            benchmark::DoNotOptimize(BaseHandProtocol::qmhv1_codec::count_empty_poll(counter, 1 << 30));
        }
    });
}

void client_five_one_by_one(benchmark::State& s) {
    const std::vector<std::string> five = g_client->get_ip_list();
    measure(s, "client 5 hands one by one", [&] {
        for (const auto& ip : five) {
            benchmark::DoNotOptimize(g_client->get_pos(ip));
        }
    });
}
void client_five_together(benchmark::State& s) {
    measure(s, "client 5 hands get_pos_all", [&] { benchmark::DoNotOptimize(g_client->get_pos_all()); });
}

#define DEXHAND_BENCH(fn) BENCHMARK(fn)->Iterations(kCalls)->Unit(benchmark::kMicrosecond)
DEXHAND_BENCH(qmhv1_get_pos);
DEXHAND_BENCH(qmhv1_fast_set_positions);
DEXHAND_BENCH(qmhv2_get_pos);
DEXHAND_BENCH(qmhv2_set_pos);
DEXHAND_BENCH(qmhv2_get_ts_matrix);
DEXHAND_BENCH(inspire_get_pos);
DEXHAND_BENCH(address_check);
DEXHAND_BENCH(hand_lock_uncontended);
DEXHAND_BENCH(drain_empty_endpoint);
DEXHAND_BENCH(busy_wait_pass);
DEXHAND_BENCH(client_five_one_by_one);
DEXHAND_BENCH(client_five_together);

// --- waits, discovery and the 5-hand loop (timed by hand) -----------------------

struct Cost {
    double wall_ms = 0, cpu_ms = 0;
};

template <class Call>
Cost cost_of(Call call) {
    const double cpu = thread_cpu_us();
    const auto start = Clock::now();
    call();
    return {std::chrono::duration<double, std::milli>(Clock::now() - start).count(), (thread_cpu_us() - cpu) / 1e3};
}

struct Sweep {
    int misses = 0;
    double cpu_percent = 0, median_us = 0, p99_us = 0;
};

// 1000 ticks of 1 ms, each reading every hand with sweep().
Sweep loop_at_1khz(const std::function<void()>& sweep) {
    constexpr int kTicks = 1000;
    std::vector<double> took;
    took.reserve(kTicks);
    Sweep result;
    const double cpu = thread_cpu_us();
    const auto start = Clock::now();
    for (int tick = 0; tick < kTicks; ++tick) {
        const auto due = start + std::chrono::milliseconds(tick);
        std::this_thread::sleep_until(due);
        const auto begin = Clock::now();
        sweep();
        const auto end = Clock::now();
        took.push_back(std::chrono::duration<double, std::micro>(end - begin).count());
        if (end > due + std::chrono::milliseconds(1)) {
            ++result.misses;
        }
    }
    const double wall_us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    result.cpu_percent = 100.0 * (thread_cpu_us() - cpu) / wall_us;
    std::sort(took.begin(), took.end());
    result.median_us = took[took.size() / 2];
    result.p99_us = took[took.size() * 99 / 100];
    return result;
}

std::string fixed(double value, int digits = 2) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", digits, value);
    return text;
}

std::string table(const std::vector<Cost>& silent, const std::vector<Cost>& silent_current,
                  const std::vector<Cost>& inits, const Sweep& one_by_one, const Sweep& together) {
    std::ostringstream out;
    out << "| operation | raw median µs | direct median µs | direct p99 µs | direct CPU µs/call | direct allocs/call "
           "| ratio direct/raw | client median µs | client − direct µs | client allocs/call |\n"
        << "|---|---|---|---|---|---|---|---|---|---|\n";
    for (const char* op : {"qmhv1 get_pos", "qmhv1 fast_set_positions", "qmhv2 get_pos", "qmhv2 set_pos",
                           "qmhv2 get_ts_matrix", "Inspire get_pos"}) {
        const Figures raw = g_figures["raw " + std::string(op)];
        const Figures direct = g_figures["direct " + std::string(op)];
        const Figures client = g_figures["client " + std::string(op)];
        out << "| " << op << " | " << fixed(raw.median_us) << " | " << fixed(direct.median_us) << " | "
            << fixed(direct.p99_us) << " | " << fixed(direct.cpu_us) << " | " << fixed(direct.allocations, 1) << " | "
            << fixed(direct.median_us / raw.median_us) << " | " << fixed(client.median_us) << " | "
            << fixed(client.median_us - direct.median_us) << " | " << fixed(client.allocations, 1) << " |\n";
    }
    out << "\n| measure | value |\n|---|---|\n";
    for (const auto& [name, what] : {std::pair<const char*, const char*>{"address check", "address check"},
                                     {"hand lock", "per-hand lock, uncontended: lock and unlock"},
                                     {"drain", "drain before a request, nothing queued"},
                                     {"busy pass", "one empty pass of a wait that never sleeps"}}) {
        out << "| " << what << ", median ns (batches of " << kBatch << ") | " << fixed(g_figures[name].median_us, 1)
            << " |\n";
    }
    out << "| empty passes of a wait that never sleeps, per ms (from its median) | "
        << fixed(1e6 / g_figures["busy pass"].median_us, 0) << " |\n";
    for (const char* name : {"client 5 hands one by one", "client 5 hands get_pos_all"}) {
        const Figures f = g_figures[name];
        out << "| " << name << ", back to back: median µs / p99 µs / CPU µs / allocs | " << fixed(f.median_us) << " / "
            << fixed(f.p99_us) << " / " << fixed(f.cpu_us) << " / " << fixed(f.allocations, 1) << " |\n";
    }
    for (std::size_t i = 0; i < silent.size(); ++i) {
        out << "| never-answered qmhv1 get_pos (100 ms budget), run " << i + 1 << ": wall ms / CPU ms / CPU per ms of budget | "
            << fixed(silent[i].wall_ms) << " / " << fixed(silent[i].cpu_ms, 3) << " / "
            << fixed(silent[i].cpu_ms / 100.0, 4) << " |\n";
    }
    for (std::size_t i = 0; i < silent_current.size(); ++i) {
        out << "| never-answered qmhv1 get_current (100 ms budget, resends), run " << i + 1
            << ": wall ms / CPU ms / CPU per ms of budget | " << fixed(silent_current[i].wall_ms) << " / "
            << fixed(silent_current[i].cpu_ms, 3) << " / " << fixed(silent_current[i].cpu_ms / 100.0, 4) << " |\n";
    }
    for (std::size_t i = 0; i < inits.size(); ++i) {
        out << "| init(), run " << i + 1 << ": wall ms / CPU ms | " << fixed(inits[i].wall_ms) << " / "
            << fixed(inits[i].cpu_ms) << " |\n";
    }
    for (const auto& [name, sweep] : {std::pair<const char*, Sweep>{"one by one (get_pos each)", one_by_one},
                                      {"together (get_pos_all)", together}}) {
        out << "| 5 hands at 1 kHz, " << name << ": sweep median µs / p99 µs / misses of 1000 / CPU % of a core | "
            << fixed(sweep.median_us) << " / " << fixed(sweep.p99_us) << " / " << sweep.misses << " / "
            << fixed(sweep.cpu_percent, 1) << " |\n";
    }
    return out.str();
}

}  // namespace

int main(int argc, char** argv) {
    if (!dexhand_test::inside_private_network()) {
        return 1;
    }
    std::string table_file;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--table=", 0) == 0) {
            table_file = arg.substr(8);
        }
    }
    Diagnostics::set_handler([](Diagnostics::Level, Diagnostics::Stream, std::string_view) {});

    bench::Responder responder;
    set_up_hands(responder);
    responder.start();

    g_raw = std::make_unique<RawUdp>();
    g_qmhv1 = std::make_unique<BaseHandProtocol::Qmhv1>(kQmhv1);
    g_qmhv2 = std::make_unique<BaseHandProtocol::Qmhv2>(kQmhv2);
    g_inspire = std::make_unique<BaseHandProtocol::Inspire>(kInspire);
    g_client = std::make_unique<QmHand::DexHand>();

    std::vector<Cost> inits;
    for (int run = 0; run < 2; ++run) {
        int status = -1;
        inits.push_back(cost_of([&] { status = g_client->init(0); }));
        if (status != 0 || g_client->get_ip_list().size() != 5) {
            std::cerr << "discovery of the responder's hands failed\n";
            return 1;
        }
    }

    {
        Samples empty;
        for (int i = 0; i < kCalls; ++i) {
            empty.time([] {});
        }
        g_cpu_clock_cost_us = empty.figures().cpu_us;
    }

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();

    std::vector<Cost> silent;
    BaseHandProtocol::Qmhv1 never(kSilent);
    never.pos_limits.assign(12, 2000.0f);
    for (int run = 0; run < 5; ++run) {
        std::vector<float> pos;
        silent.push_back(cost_of([&] { never.get_pos(pos); }));
    }
    std::vector<Cost> silent_current;
    for (int run = 0; run < 3; ++run) {
        std::vector<float> current;
        silent_current.push_back(cost_of([&] { never.get_current(current); }));
    }

    const std::vector<std::string> five = g_client->get_ip_list();
    const Sweep one_by_one = loop_at_1khz([&] {
        for (const auto& ip : five) {
            benchmark::DoNotOptimize(g_client->get_pos(ip));
        }
    });
    const Sweep together = loop_at_1khz([&] { benchmark::DoNotOptimize(g_client->get_pos_all()); });

    const std::string text = table(silent, silent_current, inits, one_by_one, together);
    std::cout << "\n" << text;
    if (!table_file.empty()) {
        std::ofstream(table_file) << text;
    }
    benchmark::Shutdown();
    return 0;
}
