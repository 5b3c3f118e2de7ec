// Network start-up, the listening socket and the connection poll, against the
// real sockets library: the exact log lines, and what a client sees.
#include "net/network.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"

namespace peerdir {
namespace {

using testing_support::connectClient;
using testing_support::kWaitMillis;
using testing_support::LogCapture;

const char kGotConnection[] = "listenForConnections: Got a connection!\n";

// The port a bind to 127.0.0.1:wanted got, or 0 when the bind failed. The
// socket is closed again at once.
std::uint16_t bindAndRelease(std::uint16_t wanted) {
    Socket probe = socketCreateTcp();
    if (probe == kNoSocket) return 0;
    std::uint16_t got = 0;
    if (socketBind(probe, ipv4FromText("127.0.0.1"), hostToNet16(wanted)) == 0) {
        got = socketLocalPort(probe);
    }
    socketClose(probe);
    return got;
}

// A port nothing listens on at the moment, found by letting the system pick
// one for 127.0.0.1. Ports above 32767 are preferred: they show that the port
// is printed unsigned. The system's ephemeral range usually gives one; if it
// did not, a few fixed high ports are tried.
std::uint16_t freeHighPort() {
    std::uint16_t picked = bindAndRelease(0);
    if (picked > 32767) return picked;
    for (std::uint16_t candidate = 65000; candidate < 65100; ++candidate) {
        if (bindAndRelease(candidate) == candidate) return candidate;
    }
    return picked;
}

struct BoundedCall {
    std::function<void()> call;
    std::atomic<bool> returned{false};
};

void runBoundedCall(void* raw) {
    auto* bounded = static_cast<BoundedCall*>(raw);
    bounded->call();
    bounded->returned.store(true);
}

// Runs call on a thread of its own and waits a bounded time for it to return.
// A socket that should not block but does would otherwise hang the suite; in
// that case release is run to free the blocked call (by connecting, or by
// closing the peer), and the result is false.
bool returnsInTime(std::function<void()> call, const std::function<void()>& release) {
    BoundedCall bounded;
    bounded.call = std::move(call);
    ThreadHandle thread = threadStart(runBoundedCall, &bounded);
    if (thread == nullptr) return false;
    bool inTime = testing_support::waitUntil([&bounded] { return bounded.returned.load(); });
    if (!inTime) release();
    threadWaitAll(&thread, 1);
    threadRelease(thread);
    return inTime;
}

class NetworkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(localHostFirstAddress(&host_));
        ipv4ToText(host_, hostText_);
        port_ = freeHighPort();
        ASSERT_NE(port_, 0);
    }

    void TearDown() override {
        for (Socket s : sockets_) socketClose(s);
    }

    // The tests that connect only ever connect to loopback; on a host whose
    // first address is anything else they are skipped.
    bool hostIsLoopback() const { return (netToHost32(host_) >> 24) == 127; }

    // Keeps s to be closed at the end of the test; returns it.
    Socket keep(Socket s) {
        if (s != kNoSocket) sockets_.push_back(s);
        return s;
    }

    std::string addressLines() const {
        return std::string("Server IP Address: ") + hostText_ + "\nPort: " + std::to_string(port_) +
               "\n";
    }

    // One poll while no client is connecting. A listener left in blocking
    // mode would wait in accept here; a client connected from the test
    // thread then releases it and the test fails instead of hanging.
    Socket pollWithNothingPending(Socket listener) {
        Socket result = listener;
        bool inTime = returnsInTime([&] { result = listenForConnections(listener); },
                                    [&] { keep(connectClient(port_)); });
        EXPECT_TRUE(inTime) << "a poll with nothing pending blocked";
        if (result != kNoSocket && result != listener) keep(result);
        return result;
    }

    // Polls until a connection is accepted, a bounded number of times.
    // kNoSocket when none came.
    Socket pollUntilAccepted(Socket listener) {
        for (unsigned attempt = 0; attempt < kWaitMillis; ++attempt) {
            Socket s = listenForConnections(listener);
            if (s != kNoSocket) return s == listener ? kNoSocket : keep(s);
            sleepMillis(1);
        }
        return kNoSocket;
    }

    std::uint32_t host_ = 0;
    char hostText_[16] = {};
    std::uint16_t port_ = 0;
    std::vector<Socket> sockets_;
};

TEST(InitializeWinsock, ReportsVersionTwoPointTwoFollowedByAnEmptyLine) {
    LogCapture log;
    EXPECT_TRUE(initializeWinsock());
    EXPECT_EQ(log.text(), "Using Winsock version 2.2\n(Newest version is 2.2)\n\n");
    // The suite's own start-up stays in force: this undoes only the one above.
    netCleanup();
}

TEST_F(NetworkTest, CreateListenSocketLogsTheHostAddressAndTheUnsignedPort) {
    ASSERT_GT(port_, 32767) << "no free port above 32767 to show the port is printed unsigned";
    LogCapture log;
    Socket listener = keep(createListenSocket(port_));
    EXPECT_NE(listener, kNoSocket);
    EXPECT_EQ(log.text(), addressLines());
    EXPECT_EQ(socketLocalPort(listener), port_);
}

TEST_F(NetworkTest, ListenSocketRefusesConnectionsUntilTheFirstPoll) {
    if (!hostIsLoopback()) GTEST_SKIP() << "the host's first address is not on loopback";
    LogCapture log;
    Socket listener = keep(createListenSocket(port_));
    ASSERT_NE(listener, kNoSocket);

    EXPECT_EQ(keep(connectClient(port_)), kNoSocket) << "bound but not listening yet";
    EXPECT_EQ(pollWithNothingPending(listener), kNoSocket);
    EXPECT_NE(keep(connectClient(port_)), kNoSocket) << "the poll put the socket into listening";
    EXPECT_NE(pollUntilAccepted(listener), kNoSocket);
}

TEST_F(NetworkTest, PortHeldByALiveListenerLogsTheBindErrorAndReturnsNoSocket) {
    Socket holder = keep(socketCreateTcp());
    ASSERT_EQ(socketBind(holder, host_, hostToNet16(port_)), 0);
    ASSERT_EQ(socketListen(holder, 10), 0);
    // The code the platform gives for this very bind, to compare the line with.
    Socket probe = keep(socketCreateTcp());
    ASSERT_EQ(socketBind(probe, host_, hostToNet16(port_)), -1);
    int code = lastSocketError();
    ASSERT_NE(code, 0);

    LogCapture log;
    EXPECT_EQ(keep(createListenSocket(port_)), kNoSocket);
    EXPECT_EQ(log.text(), addressLines() +
                              "createListenSocket: Error in bind! Could not bind the listener "
                              "socket. Error code was: " +
                              std::to_string(code) + "\n");
}

TEST_F(NetworkTest, PollWithNothingPendingReturnsNoSocketAndWritesNothing) {
    LogCapture log;
    Socket listener = keep(createListenSocket(port_));
    ASSERT_NE(listener, kNoSocket);
    const std::string afterCreate = log.text();
    for (int poll = 0; poll < 5; ++poll) {
        EXPECT_EQ(pollWithNothingPending(listener), kNoSocket) << "poll " << poll;
    }
    EXPECT_EQ(log.text(), afterCreate);
}

TEST_F(NetworkTest, EachAcceptedConnectionLogsOneLineAndIsNonBlocking) {
    if (!hostIsLoopback()) GTEST_SKIP() << "the host's first address is not on loopback";
    LogCapture log;
    Socket listener = keep(createListenSocket(port_));
    ASSERT_NE(listener, kNoSocket);
    EXPECT_EQ(pollWithNothingPending(listener), kNoSocket);
    const std::string afterCreate = log.text();

    Socket clients[2] = {kNoSocket, kNoSocket};
    Socket accepted[2] = {kNoSocket, kNoSocket};
    for (int i = 0; i < 2; ++i) {
        clients[i] = keep(connectClient(port_));
        ASSERT_NE(clients[i], kNoSocket);
        accepted[i] = pollUntilAccepted(listener);
        ASSERT_NE(accepted[i], kNoSocket);
    }
    EXPECT_NE(accepted[0], accepted[1]);
    EXPECT_EQ(log.text(), afterCreate + kGotConnection + kGotConnection);

    for (int i = 0; i < 2; ++i) {
        int result = 0;
        int code = 0;
        auto readOnce = [&] {
            std::uint8_t byte;
            result = socketRecv(accepted[i], &byte, 1);
            code = lastSocketError();
        };
        auto closePeer = [&] { socketShutdownBoth(clients[i]); };
        EXPECT_TRUE(returnsInTime(readOnce, closePeer)) << "an accepted socket blocked";
        EXPECT_EQ(result, -1);
        EXPECT_TRUE(isWouldBlock(code)) << "error code " << code;
    }
}

}  // namespace
}  // namespace peerdir
