// Platform layer: the guarantees the server leans on, on whichever backend
// was built.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/testing.h"
#include "support/test_support.h"

namespace peerdir {
namespace {

using testing_support::closePair;
using testing_support::connectClient;
using testing_support::kWaitMillis;
using testing_support::LoopbackPair;
using testing_support::makeLoopbackPair;

TEST(NetLibrary, StartupGrantsVersionTwoPointTwoAndReportsItAsTheHighest) {
    NetVersion version{};
    ASSERT_EQ(netStartup(&version), 0);
    EXPECT_EQ(version.granted, 0x0202);
    EXPECT_EQ(version.highest, 0x0202);
    // Undoes this start only; the one the suite made in main stays in force.
    netCleanup();
}

TEST(NetLibrary, LocalHostHasAnIPv4Address) {
    std::uint32_t address = 0;
    EXPECT_TRUE(localHostFirstAddress(&address));
}

TEST(NetLibrary, CleanupClosesAListeningSocketLeftOpen) {
    Socket listener = socketCreateTcp();
    ASSERT_NE(listener, kNoSocket);
    ASSERT_EQ(socketBind(listener, ipv4FromText("127.0.0.1"), 0), 0);
    ASSERT_EQ(socketListen(listener, 10), 0);
    std::uint16_t port = socketLocalPort(listener);
    Socket before = connectClient(port);
    ASSERT_NE(before, kNoSocket) << "the listener must take connections before the clean-up";
    socketClose(before);

    // Winsock releases the sockets only when the clean-up matches the last
    // start-up, and main started the library once for the whole suite; so
    // this clean-up is the last one, and the start-up after it gives the
    // tests that follow a started library again.
    netCleanup();
    NetVersion version{};
    ASSERT_EQ(netStartup(&version), 0);

    Socket after = connectClient(port);
    EXPECT_EQ(after, kNoSocket) << "the listener is still open after the clean-up";
    if (after != kNoSocket) {
        socketClose(after);
        socketClose(listener);
    }
    // Otherwise the listener's handle is gone and must not be closed again: the
    // value may already name another socket.
}

TEST(Sockets, EmptyNonBlockingReadWouldBlock) {
    LoopbackPair pair = makeLoopbackPair();
    ASSERT_NE(pair.server, kNoSocket);
    std::uint8_t byte;
    EXPECT_EQ(socketRecv(pair.server, &byte, 1), -1);
    EXPECT_TRUE(isWouldBlock(lastSocketError()));
    closePair(pair);
}

TEST(Sockets, ZeroLengthReceiveIsZeroOnAnOpenConnectionAndFailsOnAClosedHandle) {
    LoopbackPair pair = makeLoopbackPair();
    ASSERT_NE(pair.server, kNoSocket);
    char none = 0;
    EXPECT_EQ(socketRecv(pair.server, &none, 0), 0) << "nothing queued";
    socketSend(pair.client, "x", 1);
    testing_support::waitUntil([&pair] { return socketBytesPending(pair.server) == 1; });
    EXPECT_EQ(socketRecv(pair.server, &none, 0), 0) << "a byte queued";
    Socket closed = pair.server;
    closePair(pair);
    EXPECT_EQ(socketRecv(closed, &none, 0), -1);
}

TEST(Sockets, AcceptWithNothingPendingWouldBlock) {
    Socket listener = socketCreateTcp();
    ASSERT_NE(listener, kNoSocket);
    ASSERT_EQ(socketBind(listener, ipv4FromText("127.0.0.1"), 0), 0);
    ASSERT_EQ(socketSetNonBlocking(listener), 0);
    ASSERT_EQ(socketListen(listener, 10), 0);
    EXPECT_EQ(socketListen(listener, 10), 0) << "listen repeated on a listening socket";
    EXPECT_EQ(socketAccept(listener), kNoSocket);
    EXPECT_TRUE(isWouldBlock(lastSocketError()));
    socketClose(listener);
}

TEST(Sockets, BindingAPortHeldByALiveListenerFails) {
    Socket first = socketCreateTcp();
    ASSERT_EQ(socketBind(first, ipv4FromText("127.0.0.1"), 0), 0);
    ASSERT_EQ(socketListen(first, 10), 0);
    Socket second = socketCreateTcp();
    EXPECT_EQ(socketBind(second, ipv4FromText("127.0.0.1"), hostToNet16(socketLocalPort(first))),
              -1);
    socketClose(second);
    socketClose(first);
}

TEST(Sockets, SendToAPeerThatClosedFailsInsteadOfEndingTheProcess) {
    LoopbackPair pair = makeLoopbackPair();
    ASSERT_NE(pair.server, kNoSocket);
    socketClose(pair.client);
    pair.client = kNoSocket;
    const char data[8] = "payload";
    // The first send may still be taken; the peer's reset fails a later one.
    EXPECT_TRUE(testing_support::waitUntil(
        [&] { return socketSend(pair.server, data, sizeof data) == -1; }));
    closePair(pair);
}

// One wait over many sockets marks exactly those with something to read:
// data, or the peer's close.
TEST(Sockets, WaitAnyReadableMarksOnlyTheSocketsWithDataOrAClose) {
    LoopbackPair pairs[3] = {makeLoopbackPair(), makeLoopbackPair(), makeLoopbackPair()};
    Socket watched[3];
    for (int i = 0; i < 3; ++i) {
        ASSERT_NE(pairs[i].server, kNoSocket);
        watched[i] = pairs[i].server;
    }
    bool readable[3] = {true, true, true};
    EXPECT_EQ(socketWaitAnyReadable(watched, 3, 0, readable), 0);
    EXPECT_FALSE(readable[0] || readable[1] || readable[2]);

    const char byte = 'x';
    ASSERT_EQ(socketSend(pairs[1].client, &byte, 1), 1);
    socketClose(pairs[2].client);
    pairs[2].client = kNoSocket;
    // The close may arrive after the byte, so wait until both are seen.
    for (int attempt = 0; attempt < 100 && !(readable[1] && readable[2]); ++attempt) {
        ASSERT_GE(socketWaitAnyReadable(watched, 3, kWaitMillis / 100, readable), 0);
    }
    EXPECT_FALSE(readable[0]);
    EXPECT_TRUE(readable[1]);
    EXPECT_TRUE(readable[2]);
    for (LoopbackPair& pair : pairs) closePair(pair);
}

TEST(Text, AddressesConvertBothWays) {
    std::uint32_t address = ipv4FromText("127.0.0.1");
    EXPECT_EQ(netToHost32(address), 0x7F000001u);
    char text[16];
    ipv4ToText(address, text);
    EXPECT_STREQ(text, "127.0.0.1");
    EXPECT_EQ(hostToNet16(0x1234) & 0xFF, 0x12);
}

TEST(Kernel, ManualResetEventStaysSet) {
    EventHandle event = eventCreateManualReset();
    ASSERT_NE(event, nullptr);
    EXPECT_FALSE(eventTestNow(event));
    eventSet(event);
    EXPECT_TRUE(eventTestNow(event));
    EXPECT_TRUE(eventTestNow(event));
    eventClose(event);
}

std::atomic<bool> g_waitReturned{false};

void waitForNoThreads(void*) {
    ThreadHandle none[1] = {nullptr};
    threadWaitAll(none, 0);
    g_waitReturned.store(true);
}

TEST(Kernel, WaitAllForNoThreadsReturnsAtOnce) {
    // The wait runs on a thread of its own so that a wait that never returns
    // fails this test instead of stopping the suite.
    g_waitReturned = false;
    ThreadHandle waiter = threadStart(waitForNoThreads, nullptr);
    ASSERT_NE(waiter, nullptr);
    testing_support::waitUntil([] { return g_waitReturned.load(); });
    ASSERT_TRUE(g_waitReturned.load()) << "threadWaitAll with a count of 0 did not return";
    threadWaitAll(&waiter, 1);
    threadRelease(waiter);
}

// Runs kib KiB deeper, each KiB in a frame of its own that writes a
// pattern and checks it on the way back: 0 when every frame held.
int runDeep(int kib) {
    volatile unsigned char block[1024];
    for (auto& b : block) b = static_cast<unsigned char>(kib);
    int wrong = kib > 1 ? runDeep(kib - 1) : 0;
    for (auto& b : block) wrong += b != static_cast<unsigned char>(kib) ? 1 : 0;
    return wrong;
}

struct StackRelease {
    int wrongBefore = -1;
    int wrongAfter = -1;
    bool callerKept = false;
};

// What lies below this frame is given back; this frame and those above it
// must keep every byte, and the stack must serve as deep as before.
void releaseAfterRunningDeep(void* raw) {
    auto* outcome = static_cast<StackRelease*>(raw);
    volatile unsigned char kept[2048];
    for (std::size_t i = 0; i < sizeof kept; ++i) kept[i] = static_cast<unsigned char>(i * 7);
    outcome->wrongBefore = runDeep(24);
    threadReleaseUnusedStack();
    bool same = true;
    for (std::size_t i = 0; i < sizeof kept; ++i)
        same = same && kept[i] == static_cast<unsigned char>(i * 7);
    outcome->callerKept = same;
    outcome->wrongAfter = runDeep(24);
}

TEST(Kernel, GivingBackUnusedStackKeepsTheCallersFramesAndTheStackServesAgain) {
    StackRelease outcome;
    ThreadHandle thread = threadStart(releaseAfterRunningDeep, &outcome, 64 * 1024);
    ASSERT_NE(thread, nullptr);
    testing_support::joinOrAbort(thread, "the thread that gave back its stack");
    EXPECT_EQ(outcome.wrongBefore, 0);
    EXPECT_TRUE(outcome.callerKept);
    EXPECT_EQ(outcome.wrongAfter, 0);
}

std::atomic<int> g_ran{0};
EventHandle g_gate = nullptr;

// Holds until the gate opens (or a bounded time passes), then ends.
void waitAtTheGate(void*) {
    testing_support::waitUntil([] { return eventTestNow(g_gate); }, 4 * kWaitMillis);
    g_ran.fetch_add(1);
}

void endAtOnce(void*) { g_ran.fetch_add(1); }

void waitForGatedThreads(void* raw) {
    auto* threads = static_cast<std::vector<ThreadHandle>*>(raw);
    threadWaitAll(threads->data(), threads->size());
    g_waitReturned.store(true);
}

TEST(Kernel, WaitAllCoversMoreThreadsThanOneWindowsWaitCan) {
    // 70 threads: more than the 64 handles one Windows wait takes. The first
    // 64 end at once; the last six are held at a gate, so a wait that stops
    // after one batch of handles returns while they still run.
    g_gate = eventCreateManualReset();
    g_ran = 0;
    g_waitReturned = false;
    std::vector<ThreadHandle> threads;
    for (int i = 0; i < 70; ++i) {
        ThreadHandle t = threadStart(i < 64 ? endAtOnce : waitAtTheGate, nullptr);
        ASSERT_NE(t, nullptr);
        threads.push_back(t);
    }
    ThreadHandle waiter = threadStart(waitForGatedThreads, &threads);
    ASSERT_NE(waiter, nullptr);
    testing_support::waitUntil([] { return g_ran.load() >= 64; });
    sleepMillis(50);
    EXPECT_FALSE(g_waitReturned.load()) << "the wait returned while six threads still ran";
    eventSet(g_gate);
    threadWaitAll(&waiter, 1);
    threadRelease(waiter);
    EXPECT_TRUE(g_waitReturned.load());
    EXPECT_EQ(g_ran.load(), 70);
    for (ThreadHandle t : threads) threadRelease(t);
    eventClose(g_gate);
}

void logNumberedLines(void* raw) {
    const long long id = *static_cast<int*>(raw);
    // All start together, so that their lines meet.
    testing_support::waitUntil([] { return eventTestNow(g_gate); });
    for (int i = 0; i < 2000; ++i) {
        logText("thread ");
        logSigned(id);
        logText(" line ");
        logUnsigned(static_cast<unsigned>(i));
        logEnd();
    }
}

TEST(Console, LinesFromManyThreadsAtOnceEachArriveWhole) {
    testing_support::LogCapture log;
    g_gate = eventCreateManualReset();
    int ids[8] = {0, 1, 2, 3, 4, 5, 6, 7};
    std::vector<ThreadHandle> threads;
    for (int& id : ids) {
        ThreadHandle t = threadStart(logNumberedLines, &id);
        ASSERT_NE(t, nullptr);
        threads.push_back(t);
    }
    eventSet(g_gate);
    threadWaitAll(threads.data(), threads.size());
    eventClose(g_gate);
    for (ThreadHandle t : threads) threadRelease(t);
    const std::string text = log.text();
    std::size_t lines = 0;
    for (std::size_t at = 0; at < text.size(); ++lines) {
        std::size_t end = text.find('\n', at);
        ASSERT_NE(end, std::string::npos);
        std::string line = text.substr(at, end - at);
        ASSERT_EQ(line.rfind("thread ", 0), 0u) << line;
        ASSERT_EQ(line.find(" line "), 8u) << line;
        ASSERT_EQ(line.find("thread ", 1), std::string::npos) << line;
        at = end + 1;
    }
    EXPECT_EQ(lines, 8u * 2000u);
}

struct ReloadSleeper {
    Socket socket = kNoSocket;
    std::atomic<bool> tied{false};
    int found = -1;
};

// Sleeps on a waker tied to reload requests until something wakes it, at
// most a long wait.
void sleepUntilWoken(void* raw) {
    auto* sleeper = static_cast<ReloadSleeper*>(raw);
    WakerHandle waker = wakerCreate(sleeper->socket);
    reloadRequestsRing(waker);
    sleeper->tied.store(true);
    sleeper->found = socketWait(sleeper->socket, false, nullptr, waker, kWaitMillis);
    reloadRequestsRing(nullptr);
    wakerClose(waker);
}

// The request is made on this thread, not the sleeper's, as a signal may
// land on any thread of the process.
TEST(ReloadRequest, IsTakenOnceHoweverOftenMadeAndWakesTheThreadAsleepOnTheTiedWaker) {
    installReloadTrigger();
    takeReloadRequest();
    if (!makeReloadRequest()) {
        EXPECT_FALSE(takeReloadRequest());
        GTEST_SKIP() << "this platform has no reload request";
    }
    ASSERT_TRUE(makeReloadRequest());
    EXPECT_TRUE(takeReloadRequest());
    EXPECT_FALSE(takeReloadRequest());

    LoopbackPair pair = makeLoopbackPair();
    ReloadSleeper sleeper;
    sleeper.socket = pair.server;
    ThreadHandle thread = threadStart(sleepUntilWoken, &sleeper);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(testing_support::waitUntil([&] { return sleeper.tied.load(); }));
    ASSERT_TRUE(makeReloadRequest());
    testing_support::joinOrAbort(thread, "the thread asleep on the tied waker");
    EXPECT_EQ(sleeper.found, kWaitRung);
    EXPECT_TRUE(takeReloadRequest());
    closePair(pair);
}

}  // namespace
}  // namespace peerdir
