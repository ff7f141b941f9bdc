#pragma once

// Sleeping until a socket has something to read, for the loops that wait on
// hands: a wait costs no CPU, and a datagram wakes it at once.

#include <poll.h>

#include <chrono>
#include <cstddef>

namespace CommSocket {
namespace Transmit {

// How long a waiting loop keeps polling without sleeping after a request goes
// out. A fast hand answers within it, and waking a sleeping thread costs tens
// of microseconds more than the whole round trip on an idle core.
constexpr std::chrono::microseconds kSpinWindow{100};

// Sleeps until one of fds has input (or an error) or timeout has passed.
// Returns how many descriptors are ready (0 after the timeout); revents tells
// which. Interrupted sleeps resume with the time left. Negative descriptors
// are skipped, as poll() does.
int wait_readable(pollfd* fds, std::size_t count, std::chrono::nanoseconds timeout);

// The same for one descriptor: true when it has input.
bool wait_readable(int fd, std::chrono::nanoseconds timeout);

}  // namespace Transmit
}  // namespace CommSocket
