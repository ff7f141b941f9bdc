// main() of every test program that touches a socket: it refuses to start
// unless the private network namespace is in place, so running such a program
// by hand can never put a datagram on a real network.
#include <gtest/gtest.h>

#include "netns_guard.h"

int main(int argc, char** argv) {
    if (!dexhand_test::inside_private_network()) {
        return 2;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
