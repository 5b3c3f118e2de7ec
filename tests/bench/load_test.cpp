// The benchmark talks only to loopback: a server that announces any other
// address is refused before a single connection is tried.
#include "bench/load.h"

#include <gtest/gtest.h>

#include <string>

namespace peerdir {
namespace bench {
namespace {

TEST(BenchLoad, AServerAnnouncingANonLoopbackAddressIsRefusedUntouched) {
    // A stand-in server that only announces an address from a range
    // reserved for documentation, then waits.
    ServerCommand how;
    how.command = {"sh", "-c",
                   "echo 'Server IP Address: 192.0.2.1'; echo 'Port: 1'; exec sleep 20"};
    how.startMillis = 5000;
    ServerUnderTest server;
    std::string why;
    bool started = startServer(how, &server, &why);
    if (!started && why.rfind("cannot start", 0) == 0) GTEST_SKIP() << "no sh here: " << why;
    EXPECT_FALSE(started);
    EXPECT_NE(why.find("192.0.2.1, not a loopback address"), std::string::npos) << why;
    EXPECT_FALSE(kit::isRunning(server.process)) << "the stand-in was left running";
}

}  // namespace
}  // namespace bench
}  // namespace peerdir
