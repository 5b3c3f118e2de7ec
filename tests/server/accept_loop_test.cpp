// The accept loop and shutdown, run on a thread of the test against a
// listening socket on 127.0.0.1, with the platform's failures injected where
// a healthy system would not show them on demand.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "platform/testing.h"
#include "server/server.h"
#include "support/test_support.h"

namespace peerdir {
namespace {

using testing_support::connectClient;
using testing_support::countOf;
using testing_support::kWelcome;
using testing_support::LogCapture;
using testing_support::peerCloses;
using testing_support::receiveBytes;
using Bytes = std::vector<std::uint8_t>;

void expectTimes(const LogCapture& log, const std::string& needle, std::size_t times) {
    const std::string text = log.text();
    EXPECT_EQ(countOf(text, needle), times) << needle << " in:\n" << text;
}

struct LoopRun {
    Socket listenSocket;
    EventHandle globalExit;
    ServerLimits limits;
};

void runAcceptLoop(void* raw) {
    auto* run = static_cast<LoopRun*>(raw);
    acceptAndServe(run->listenSocket, run->globalExit, run->limits);
}

class AcceptLoopTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // The loop ends by cleaning up the sockets library; this start-up
        // balances it, so the suite's own start-up outlives the test.
        NetVersion version{};
        ASSERT_EQ(netStartup(&version), 0);
        run_.listenSocket = socketCreateTcp();
        ASSERT_NE(run_.listenSocket, kNoSocket);
        ASSERT_EQ(socketBind(run_.listenSocket, ipv4FromText("127.0.0.1"), 0), 0);
        socketSetNonBlocking(run_.listenSocket);
        port_ = socketLocalPort(run_.listenSocket);
        run_.globalExit = eventCreateManualReset();
        ASSERT_NE(run_.globalExit, nullptr);
    }

    void TearDown() override { stop(); }

    void start() {
        thread_ = threadStart(runAcceptLoop, &run_);
        ASSERT_NE(thread_, nullptr);
    }

    // Sets globalExit, once: the loop releases the event when it ends.
    void requestExit() {
        if (exitRequested_) return;
        exitRequested_ = true;
        eventSet(run_.globalExit);
    }

    // Sets globalExit and waits for the loop's shutdown to finish. The loop
    // releases the event and every socket still open, the test's included.
    void stop() {
        if (thread_ == nullptr) return;
        requestExit();
        testing_support::joinOrAbort(thread_, "the accept loop");
        thread_ = nullptr;
    }

    // The loop listens from its first poll on; until then a connection is
    // refused, so it is tried again for a bounded time.
    Socket connect() {
        Socket client = kNoSocket;
        testing_support::waitUntil([&] { return (client = connectClient(port_)) != kNoSocket; });
        return client;
    }

    // A client that the loop has welcomed.
    Socket connectAndGreet() {
        Socket client = connect();
        EXPECT_EQ(receiveBytes(client, 4), kWelcome);
        return client;
    }

    LoopRun run_{kNoSocket, nullptr, ServerLimits{}};
    std::uint16_t port_ = 0;
    ThreadHandle thread_ = nullptr;
    bool exitRequested_ = false;
};

TEST_F(AcceptLoopTest, AThreadThatCannotStartClosesItsConnectionAndTheNextIsServed) {
    LogCapture log;
    start();
    // Armed once the loop runs, so that only the loop's start of a client
    // manager meets it.
    injectFault(FaultPoint::ThreadStart, 1, 12345);
    Socket refused = connect();
    ASSERT_NE(refused, kNoSocket);
    EXPECT_TRUE(peerCloses(refused)) << "the client must see the end, not wait for ever";
    connectAndGreet();
    stop();
    expectTimes(log,
                "runServer: Could not start a ClientManager thread; connection closed. Error "
                "code was: 12345\n",
                1);
    expectTimes(log, "WSAGetLastError returned: ", 2);
}

// Out of descriptors, the loop pauses longer after each error in a row
// rather than spin and flood the log, whether its idle thread polls or
// sleeps in the kernel.
class AcceptBackOffTest : public AcceptLoopTest, public ::testing::WithParamInterface<bool> {};

TEST_P(AcceptBackOffTest, ListenAndAcceptErrorsBackOffAndTheListeningSocketIsNeverServed) {
    run_.limits.waitWhenIdle = GetParam();
    LogCapture log;
    injectFault(FaultPoint::Listen, 1, 111);
    injectFault(FaultPoint::Accept, 6, 222);
    auto started = std::chrono::steady_clock::now();
    start();
    testing_support::waitUntil(
        [&log] { return countOf(log.text(), "Returning listenSocket.\n") == 6; });
    // Seven errors in a row: the pauses after the first six add up to more
    // than 120 ms, where polling every 1 ms would take about 7.
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(120));
    connectAndGreet();
    stop();
    expectTimes(log,
                "listenForConnections: listen had an error. Error code was: 111\n"
                "listenForConnections: Returning listenSocket\n",
                1);
    expectTimes(log, "listenForConnections: Returning listenSocket.\n", 6);
    // Only the one client was served; a client manager started on the
    // listening socket would have logged its failed read.
    expectTimes(log, "ClientManager: ", 1);
    expectTimes(log, "WSAGetLastError returned: ", 1);
}

INSTANTIATE_TEST_SUITE_P(IdleModes, AcceptBackOffTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& mode) {
                             return mode.param ? "Wait" : "Poll";
                         });

TEST_F(AcceptLoopTest, TheReportComesOnlyAfterEveryClientManagerHasEnded) {
    LogCapture log;
    start();
    Socket client = connect();
    ASSERT_EQ(receiveBytes(client, 4), kWelcome);
    // The client manager is held right after it reports that it quits,
    // still short of closing its connection.
    EventHandle gate = eventCreateManualReset();
    log.onLine("Quitting...", [gate] {
        testing_support::waitUntil([gate] { return eventTestNow(gate); }, 30000);
    });
    requestExit();
    ASSERT_TRUE(log.waitFor("Quitting...\n"));
    EXPECT_FALSE(log.waitFor("WSAGetLastError returned: ", 200))
        << "the report must wait for the client manager";
    eventSet(gate);
    stop();
    eventClose(gate);
    const std::string text = log.text();
    EXPECT_LT(text.find("Quitting..."), text.find("WSAGetLastError returned: ")) << text;
}

TEST(AcceptPacing, ErrorsInARowPauseLongerUntilAPollWithoutAnError) {
    AcceptPacing pacing;
    std::vector<unsigned> pauses;
    for (PollOutcome outcome :
         {PollOutcome::Error, PollOutcome::Error, PollOutcome::Error, PollOutcome::Accepted,
          PollOutcome::Error, PollOutcome::Nothing, PollOutcome::Error}) {
        pauses.push_back(pauseAfterPoll(pacing, outcome));
    }
    EXPECT_EQ(pauses, (std::vector<unsigned>{2, 4, 8, 0, 2, 1, 2}));
    for (int i = 0; i < 20; ++i) pauseAfterPoll(pacing, PollOutcome::Error);
    EXPECT_EQ(pauseAfterPoll(pacing, PollOutcome::Error), 100u);
}

TEST_F(AcceptLoopTest, EndedClientThreadsAreReapedAndTheirHandlesReleased) {
    start();
    const std::size_t held = threadHandlesHeld();
    // More than the least count that makes the loop reap at once.
    for (int i = 0; i < 100; ++i) {
        socketClose(connectAndGreet());
    }
    EXPECT_TRUE(testing_support::waitUntil([held] { return threadHandlesHeld() == held; }))
        << threadHandlesHeld() - held << " handles of ended client threads are still held";
}

TEST_F(AcceptLoopTest, ClientThreadsReserveASmallStack) {
    LogCapture log;
    std::atomic<std::size_t> stack{0};
    // Runs on the client manager's own thread, as it logs its end.
    log.onLine("Client disconnected", [&stack] { stack = currentThreadStackBytes(); });
    start();
    socketShutdownSend(connectAndGreet());
    ASSERT_TRUE(log.waitFor("Client disconnected"));
    ASSERT_TRUE(testing_support::waitUntil([&stack] { return stack.load() > 0; }));
    // 64 KiB, eight times that under the sanitizers; a platform's default
    // is megabytes.
    EXPECT_LE(stack.load(), 1024u * 1024u);
}

// Whatever the bound, a dead peer is found within about it, and clients that
// connected together do not all send their first probe together.
TEST(Keepalive, SettingsComeToTheBoundAndSpreadTheFirstProbe) {
    for (std::uint32_t seconds : {3u, 4u, 60u, 32767u}) {
        std::vector<bool> idleSeen(seconds + 1, false);
        std::size_t distinct = 0;
        for (std::size_t connection = 0; connection < 100; ++connection) {
            KeepaliveSettings k = keepaliveFor(seconds, connection);
            EXPECT_GE(k.idleSeconds, std::max(1u, seconds / 3)) << seconds;
            EXPECT_LE(k.idleSeconds, 2 * seconds / 3 + 1) << seconds;
            EXPECT_EQ(k.intervalSeconds, std::max(1u, seconds / 9)) << seconds;
            const unsigned whole = k.idleSeconds + k.intervalSeconds * k.probes;
            EXPECT_LE(whole, seconds + k.intervalSeconds) << seconds;
            EXPECT_GE(whole + k.intervalSeconds, seconds) << seconds;
            EXPECT_EQ(k.userTimeoutMillis, seconds * 1000u);
            if (!idleSeen[k.idleSeconds]) ++distinct;
            idleSeen[k.idleSeconds] = true;
        }
        EXPECT_GE(distinct, std::min<std::size_t>(seconds / 3, 20)) << seconds;
    }
}

// Clients that connect together are given first probes spread over the
// range, as the accept loop sets them on the sockets it accepts.
TEST_F(AcceptLoopTest, ConnectionsAcceptedTogetherHaveTheirFirstProbesSpread) {
    constexpr std::uint32_t kSeconds = 60;
    constexpr std::size_t kClients = 30;
    run_.limits.keepaliveSeconds = kSeconds;
    takeAcceptedSockets();
    start();
    for (std::size_t i = 0; i < kClients; ++i) connectAndGreet();
    std::vector<Socket> accepted;
    for (Socket s : takeAcceptedSockets()) {
        if (socketLocalPort(s) == port_) accepted.push_back(s);
    }
    ASSERT_EQ(accepted.size(), kClients);
    std::set<unsigned> idle;
    for (Socket s : accepted) {
        KeepaliveSettings read;
        ASSERT_TRUE(socketReadKeepalive(s, &read));
        if (read.idleSeconds == 0) GTEST_SKIP() << "the system does not report keepalive times";
        EXPECT_GE(read.idleSeconds, kSeconds / 3);
        EXPECT_LE(read.idleSeconds, 2 * kSeconds / 3 + 1);
        EXPECT_EQ(read.intervalSeconds, kSeconds / 9);
        idle.insert(read.idleSeconds);
    }
    EXPECT_GE(idle.size(), kClients / 3);
}

}  // namespace
}  // namespace peerdir
