#include "transport/readiness.h"

#include <cerrno>
#include <ctime>

namespace CommSocket {
namespace Transmit {

int wait_readable(pollfd* fds, std::size_t count, std::chrono::nanoseconds timeout) {
    using Clock = std::chrono::steady_clock;
    const auto until = Clock::now() + timeout;
    for (std::size_t i = 0; i < count; ++i) {
        fds[i].events = POLLIN;
        fds[i].revents = 0;
    }
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(until - Clock::now());
        timespec wait{};
        if (left.count() > 0) {
            wait.tv_sec = static_cast<time_t>(left.count() / 1000000000);
            wait.tv_nsec = static_cast<long>(left.count() % 1000000000);
        }
        const int ready = ::ppoll(fds, static_cast<nfds_t>(count), &wait, nullptr);
        if (ready >= 0 || errno != EINTR) {
            return ready < 0 ? 0 : ready;
        }
    }
}

bool wait_readable(int fd, std::chrono::nanoseconds timeout) {
    pollfd entry{};
    entry.fd = fd;
    return wait_readable(&entry, 1, timeout) > 0;
}

}  // namespace Transmit
}  // namespace CommSocket
