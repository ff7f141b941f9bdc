// dexhand serve's start-up: checks the options, resolves and judges the
// listening address, discovers, starts one worker per hand and the HTTP
// server, prints the URLs that reach it, and stops on a signal.
#include "serve.h"

#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <thread>

#include <httplib.h>

#include "commands.h"
#include "serve_checks.h"
#include "serve_http.h"
#include "serve_worker.h"
#include "signals.h"

namespace dexhand_cli {

namespace {

namespace td = tessaro_dexhand;
using namespace serve;

// Enough for every browser tab, the event streams and a crowd of slow
// clients, each on a thread of its own.
constexpr std::size_t kConnectionThreads = 512;
constexpr auto kReadTimeout = std::chrono::seconds(1);

std::string random_token() {
    std::random_device device;
    static const char kHex[] = "0123456789abcdef";
    std::string token;
    for (int i = 0; i < 8; ++i) {
        const auto word = static_cast<std::uint32_t>(device());
        for (int shift = 0; shift < 32; shift += 8) {
            const unsigned byte = (word >> shift) & 0xffu;
            token += kHex[byte >> 4];
            token += kHex[byte & 0xfu];
        }
    }
    return token;  // 256 bits
}

std::string program_directory() {
    char path[4096];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0) {
        return ".";
    }
    std::string text(path, static_cast<std::size_t>(length));
    const auto slash = text.rfind('/');
    return slash == std::string::npos ? "." : text.substr(0, slash);
}

std::string numeric(const sockaddr* address) {
    char text[NI_MAXHOST];
    const socklen_t length = address->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (::getnameinfo(address, length, text, sizeof(text), nullptr, 0, NI_NUMERICHOST) != 0) {
        return "";
    }
    return text;
}

// The numeric address a host name or address text stands for (the first the
// resolver gives), or empty.
std::string resolve(const std::string& name) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        return "";
    }
    std::string first = numeric(found->ai_addr);
    ::freeaddrinfo(found);
    return first;
}

// The names a browser may use for this server: the loopback ones first, then
// the machine's addresses when it listens on all of them.
std::vector<std::string> served_hosts(const std::string& given, const std::string& bound) {
    std::vector<std::string> hosts;
    const bool any4 = bound == "0.0.0.0";
    const bool any6 = bound == "::";
    if (loopback_address(bound) || any4 || any6) {
        hosts = {any6 ? "[::1]" : "127.0.0.1", "localhost"};
    }
    if (!any4 && !any6) {
        hosts.push_back(url_host(bound));
        hosts.push_back(url_host(given));
        return hosts;
    }
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) == 0) {
        for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
            if (entry->ifa_addr == nullptr) {
                continue;
            }
            const int family = entry->ifa_addr->sa_family;
            if (family == AF_INET || (any6 && family == AF_INET6)) {
                const std::string address = numeric(entry->ifa_addr);
                if (!address.empty() && address.find('%') == std::string::npos) {
                    hosts.push_back(url_host(address));
                }
            }
        }
        ::freeifaddrs(list);
    }
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof(name) - 1) == 0 && name[0] != '\0') {
        hosts.emplace_back(name);
    }
    return hosts;
}

// The library's time-out warnings would repeat at the poll rate while a hand
// is silent; the dashboard says once that it went silent and once that it is
// back. Errors still reach the console, and --verbose shows everything.
class QuietTimeouts {
public:
    QuietTimeouts() : before_(td::min_log_level()) {
        if (before_ == td::LogLevel::warning) {
            td::set_min_log_level(td::LogLevel::error);
        }
    }
    ~QuietTimeouts() { td::set_min_log_level(before_); }
    QuietTimeouts(const QuietTimeouts&) = delete;
    QuietTimeouts& operator=(const QuietTimeouts&) = delete;

private:
    const td::LogLevel before_;
};

}  // namespace

int serve_command(td::Client& client, Console& console, const ServeOptions& options) {
    const std::string bound = resolve(options.address);
    if (bound.empty()) {
        throw Failure(kExitUsage, "cannot resolve --address " + options.address);
    }
    const std::string refusal = remote_refusal(options.address, bound, options.allow_remote);
    if (!refusal.empty()) {
        throw Failure(kExitUsage, refusal);
    }
    if (!(options.poll_hz > 0) || !(options.commands_per_second >= 1)) {
        throw Failure(kExitUsage, "--poll-rate must be above 0 and --command-rate at least 1");
    }
    const std::string web_root =
        options.web_root.empty() ? program_directory() + "/../share/tessaro_dexhand/web" : options.web_root;
    char real_root[PATH_MAX];
    if (::realpath(web_root.c_str(), real_root) == nullptr || !std::ifstream(web_root + "/index.html").good()) {
        throw Failure(kExitUsage, "the dashboard's page files are not in " + web_root + " (give --web-root)");
    }

    const td::Status discovered = client.discover();
    for (const auto& device : client.skipped()) {
        console.note(device.address + ": a " + device.kind + " device of type " + device.type +
                     " is not served (" + device.reason + "); left out");
    }
    const auto hands = client.hands();
    if (hands.empty()) {
        throw Failure(kExitNotFound, client.skipped().empty()
                                         ? "no hand answered discovery on 192.168.137.0/24 (is this host on that subnet?)"
                                         : "no device that answered discovery can be served");
    }
    if (discovered != td::Status::ok) {
        console.note(std::string("discovery: ") + td::to_text(discovered) + "; serving the hands registered");
    }

    StopSignals signals;
    QuietTimeouts quiet;
    DashboardSettings settings;
    settings.token = random_token();
    settings.web_root = real_root;
    settings.poll_hz = options.poll_hz;
    settings.requests_per_second = options.commands_per_second;
    settings.skipped = client.skipped();

    httplib::Server server;
    server.new_task_queue = [] { return new ConnectionThreads(kConnectionThreads); };
    server.set_payload_max_length(kBodyLimit);
    // A browser sends its headers at once; a client that trickles them is
    // dropped after a second of silence.
    server.set_read_timeout(kReadTimeout);
    server.set_write_timeout(std::chrono::seconds(5));
    // One request per connection: a refused request's unread body is never
    // taken for the next request.
    server.set_keep_alive_max_count(1);

    int port = options.port;
    if (port == 0) {
        port = server.bind_to_any_port(bound);
        if (port < 0) {
            throw Failure(kExitFailed, "cannot listen on " + options.address);
        }
    } else if (!server.bind_to_port(bound, port)) {
        throw Failure(kExitFailed, "cannot listen on " + options.address + ":" + std::to_string(port) +
                                       " (in use? give another --port)");
    }
    const Site site(served_hosts(options.address, bound), port);
    Dashboard dashboard(settings, site, StopSignals::flag());
    for (const auto& hand : hands) {
        dashboard.add(std::make_unique<HandWorker>(client, hand, options.poll_hz, options.commands_per_second,
                                                   dashboard.board,
                                                   [&console](const std::string& line) { console.note(line); }));
    }
    dashboard.route(server);
    if (!std::ifstream("/usr/share/javascript/chart.js/chart.min.js").good()) {
        console.note("no /usr/share/javascript/chart.js/chart.min.js (libjs-chart.js): the page shows no joint chart");
    }
    if (!loopback_address(bound)) {
        console.error("warning: listening on " + options.address +
                      ": anyone who can reach this machine and has the token can command the hands");
    }
    const auto urls = site.urls();
    std::cout << "dexhand serve: " << hands.size() << " hands; open " << urls.front() << "/?token=" << settings.token
              << std::endl;
    for (std::size_t i = 1; i < urls.size(); ++i) {
        std::cout << "  or " << urls[i] << "/?token=" << settings.token << std::endl;
    }

    std::thread listener([&server] { server.listen_after_bind(); });
    while (!StopSignals::stop_requested()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    dashboard.board.wake_all();
    server.stop();
    listener.join();
    console.note("dexhand serve: stopped");
    return kExitOk;
}

}  // namespace dexhand_cli
