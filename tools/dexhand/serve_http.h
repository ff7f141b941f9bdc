#pragma once

// dexhand serve's HTTP side: the routes, the checks every request passes
// before its body is read (path, Host, token, Origin, Content-Type, size),
// the page's files, the event stream and the commands handed to the workers.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <httplib.h>

#include "serve_checks.h"
#include "serve_worker.h"

namespace dexhand_cli::serve {

struct DashboardSettings {
    std::string token;
    std::string web_root;  // its real path: nothing outside it is served
    double poll_hz = 10.0;
    double requests_per_second = 10.0;
    std::vector<tessaro_dexhand::SkippedDevice> skipped;
};

// A thread per connection, at most `limit` at once: a slow client holds its
// own thread, not one of a few that everybody shares.
class ConnectionThreads : public httplib::TaskQueue {
public:
    explicit ConnectionThreads(std::size_t limit) : limit_(limit) {}
    ~ConnectionThreads() override { shutdown(); }
    void enqueue(std::function<void()> fn) override;
    void shutdown() override;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    const std::size_t limit_;
    std::size_t running_ = 0;
};

class Dashboard {
public:
    Dashboard(DashboardSettings settings, Site site, const std::atomic<bool>& stop);

    void add(std::unique_ptr<HandWorker> worker) { workers_.push_back(std::move(worker)); }
    void route(httplib::Server& server);

    Board board;

private:
    using Handled = httplib::Server::HandlerResponse;

    Handled screen(const httplib::Request& request, httplib::Response& response);
    bool authorised(const httplib::Request& request) const;
    void page(const httplib::Request& request, httplib::Response& response);
    void file(const std::string& name, httplib::Response& response);
    HandWorker* find(const std::string& address);
    Reply read_config(const std::string& address);
    Reply command(const std::string& address, const std::string& action, const std::string& body);
    Reply stop_all();
    std::string hands_json() const;
    std::string state_json() const;
    void events(httplib::Response& response);

    const DashboardSettings settings_;
    const Site site_;
    const std::atomic<bool>& stop_;
    std::vector<std::unique_ptr<HandWorker>> workers_;
    std::atomic<int> streams_{0};
};

}  // namespace dexhand_cli::serve
