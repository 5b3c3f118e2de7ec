// The accept loop and shutdown, run on a thread of the test against a
// listening socket on 127.0.0.1, with the platform's failures injected where
// a healthy system would not show them on demand.
#include <gtest/gtest.h>

#include <chrono>
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

struct LoopRun {
    Socket listenSocket;
    EventHandle globalExit;
};

void runAcceptLoop(void* raw) {
    auto* run = static_cast<LoopRun*>(raw);
    acceptAndServe(run->listenSocket, run->globalExit);
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
        for (int attempt = 0; attempt < 200 && client == kNoSocket; ++attempt) {
            client = connectClient(port_);
            if (client == kNoSocket) sleepMillis(10);
        }
        return client;
    }

    LoopRun run_{kNoSocket, nullptr};
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
    Socket served = connect();
    EXPECT_EQ(receiveBytes(served, 4), kWelcome);
    stop();
    const std::string text = log.text();
    EXPECT_EQ(countOf(text,
                      "runServer: Could not start a ClientManager thread; connection "
                      "closed. Error code was: 12345\n"),
              1u)
        << text;
    EXPECT_EQ(countOf(text, "WSAGetLastError returned: "), 2u) << text;
}

TEST_F(AcceptLoopTest, ListenAndAcceptErrorsBackOffAndTheListeningSocketIsNeverServed) {
    LogCapture log;
    injectFault(FaultPoint::Listen, 1, 111);
    injectFault(FaultPoint::Accept, 6, 222);
    auto started = std::chrono::steady_clock::now();
    start();
    for (int i = 0; i < 5000 && countOf(log.text(), "Returning listenSocket.\n") < 6; ++i) {
        sleepMillis(1);
    }
    // Seven errors in a row: the pauses after the first six add up to more
    // than 120 ms, where polling every 1 ms would take about 7.
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(120));
    Socket client = connect();
    EXPECT_EQ(receiveBytes(client, 4), kWelcome);
    stop();
    const std::string text = log.text();
    EXPECT_EQ(countOf(text,
                      "listenForConnections: listen had an error. Error code was: 111\n"
                      "listenForConnections: Returning listenSocket\n"),
              1u)
        << text;
    EXPECT_EQ(countOf(text, "listenForConnections: Returning listenSocket.\n"), 6u) << text;
    // Only the one client was served; a client manager started on the
    // listening socket would have logged its failed read.
    EXPECT_EQ(countOf(text, "ClientManager: "), 1u) << text;
    EXPECT_EQ(countOf(text, "WSAGetLastError returned: "), 1u) << text;
}

TEST_F(AcceptLoopTest, TheReportComesOnlyAfterEveryClientManagerHasEnded) {
    LogCapture log;
    start();
    Socket client = connect();
    ASSERT_EQ(receiveBytes(client, 4), kWelcome);
    // The client manager is held right after it reports that it quits,
    // still short of closing its connection.
    EventHandle gate = eventCreateManualReset();
    log.onLine("Quitting...", [gate] {
        for (int waited = 0; waited < 30000 && !eventTestNow(gate); ++waited) sleepMillis(1);
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

}  // namespace
}  // namespace peerdir
