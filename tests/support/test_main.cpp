// test_main.cpp -- starts the sockets library once for the whole suite.
#include <gtest/gtest.h>

#include "platform/platform.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    peerdir::NetVersion version{};
    if (peerdir::netStartup(&version) != 0) return 1;
    return RUN_ALL_TESTS();
}
