#pragma once

namespace dexhand_test {

// True when this process runs in a private network namespace made by
// tests/netns/run-in-netns: loopback is the only interface and 192.168.137.1
// is one of its addresses. Otherwise prints why and returns false.
bool inside_private_network();

}  // namespace dexhand_test
