// ClientManager on a real thread serving a real loopback connection: the
// greeting, every outcome of a read, and the clean-up, each for a thread that
// polls and for one that sleeps until there is something to do.
#include "clients/client_manager.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "clients/clients_support.h"
#include "platform/testing.h"
#include "protocol/message.h"
#include "support/test_support.h"

namespace peerdir {
namespace {

using namespace testing_support;
using Bytes = std::vector<std::uint8_t>;

// What the accept loop's thread does in wait mode before it starts a client
// manager: it makes a waker of its own, which blocks the ring signal in it
// and so in every thread it starts.
struct Starter {
    ClientManagerContext context;
    ThreadHandle started = nullptr;
};

void startAsTheAcceptLoopDoes(void* raw) {
    auto* starter = static_cast<Starter*>(raw);
    Socket listening = socketCreateTcp();
    WakerHandle waker = starter->context.waitWhenIdle ? wakerCreate(listening) : nullptr;
    starter->started = startClientManager(starter->context);
    if (waker != nullptr) wakerClose(waker);
    socketClose(listening);
}

class ClientManagerTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        exit_ = eventCreateManualReset();
        pair_ = makeLoopbackPair();
        ASSERT_NE(pair_.server, kNoSocket);
        Starter starter{ClientManagerContext{&held_.registry, held_.lock, exit_, pair_.server,
                                             GetParam(), restRetryMillis()}};
        ThreadHandle starting = threadStart(startAsTheAcceptLoopDoes, &starter);
        ASSERT_NE(starting, nullptr);
        joinOrAbort(starting, "the thread starting the client manager");
        thread_ = starter.started;
        ASSERT_NE(thread_, nullptr);
    }

    virtual unsigned restRetryMillis() const { return kRestRetryMillis; }

    void TearDown() override {
        // Whatever the test did, the thread must end: globalExit ends it.
        eventSet(exit_);
        joinThread();
        pair_.server = kNoSocket;  // the client manager closed it
        closePair(pair_);
        eventClose(exit_);
    }

    // Bounded: a client manager that never ends stops the run here instead
    // of hanging it.
    void joinThread() {
        if (thread_ == nullptr) return;
        joinOrAbort(thread_, "the client manager");
        thread_ = nullptr;
    }

    // True once the thread has closed the server end; then joins it.
    bool threadEnds() {
        bool closed = peerCloses(pair_.client);
        if (closed) joinThread();
        return closed;
    }

    std::size_t outboxes() {
        std::size_t count = 0;
        underLock(held_, [&count](ClientRegistry& registry) { count = outboxCount(registry); });
        return count;
    }

    TestRegistry held_;
    EventHandle exit_ = nullptr;
    LoopbackPair pair_;
    ThreadHandle thread_ = nullptr;
};

TEST_P(ClientManagerTest, WelcomeComesFirstAndAnIdleClientHearsNothingMore) {
    EXPECT_EQ(receiveBytes(pair_.client, 4), kWelcome);
    EXPECT_TRUE(staysQuiet(pair_.client, 50));
}

TEST_P(ClientManagerTest, MessagesCutInTheHeaderOrThePayloadAreHandledWhole) {
    LogCapture log;
    ASSERT_EQ(receiveBytes(pair_.client, 4), kWelcome);
    Bytes first = nameMessage(2, "first");
    Bytes second = nameMessage(2, "second");
    for (auto cut : {std::make_pair(&first, 2), std::make_pair(&second, 10)}) {
        SplitSend send = startSplitSend(pair_.client, pair_.server, *cut.first, cut.second);
        ASSERT_NE(send.thread, nullptr);
        finishSplitSend(send);
    }
    sendAll(pair_.client, header(4));
    EXPECT_EQ(receiveBytes(pair_.client, 48), join(first, second));
    EXPECT_TRUE(staysQuiet(pair_.client, 50));
    EXPECT_EQ(log.text(), "");
}

TEST_P(ClientManagerTest, RequestsInOneWriteAreHandledInOrder) {
    ASSERT_EQ(receiveBytes(pair_.client, 4), kWelcome);
    sendAll(pair_.client, join(join(header(4), nameMessage(2, "me")),
                               join(header(4), connectMessage("nobody", "", 0, 0))));
    // The first list is empty; the second lists the name; then NameNotFound.
    Bytes expected = join(nameMessage(2, "me"), header(3));
    EXPECT_EQ(receiveBytes(pair_.client, expected.size()), expected);
    EXPECT_TRUE(staysQuiet(pair_.client, 50));
}

TEST_P(ClientManagerTest, EachTurnTakesAboutAMillisecond) {
    ASSERT_EQ(receiveBytes(pair_.client, 4), kWelcome);
    Bytes requests;
    for (int i = 0; i < 50; ++i) requests = join(requests, connectMessage("nobody", "", 0, 0));
    auto started = std::chrono::steady_clock::now();
    sendAll(pair_.client, requests);
    Bytes replies = receiveBytes(pair_.client, 50 * 4);
    auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(replies.size(), 50u * 4u);
    // One message a turn, each turn after a 1 ms pause: checked loosely, as
    // an order of magnitude, so that neither spinning (microseconds) nor a
    // pause in the wrong unit (seconds) passes.
    EXPECT_GE(took, std::chrono::milliseconds(40));
    EXPECT_LT(took, std::chrono::seconds(30));
}

TEST_P(ClientManagerTest, TheTurnThatSeesGlobalExitStillHandlesOneMessage) {
    LogCapture log;
    ASSERT_EQ(receiveBytes(pair_.client, 4), kWelcome);
    // The request lands while the client manager reports that it quits,
    // that is within the very turn that saw globalExit.
    Socket client = pair_.client;
    log.onLine("Quitting...", [client] { sendAll(client, connectMessage("nobody", "", 0, 0)); });
    eventSet(exit_);
    EXPECT_EQ(receiveBytes(pair_.client, 4), header(3));
    EXPECT_TRUE(threadEnds());
}

TEST_P(ClientManagerTest, HeaderThatNeverCompletesIsLoggedAndEndsTheClient) {
    LogCapture log;
    ASSERT_EQ(receiveBytes(pair_.client, 4), kWelcome);
    sendAll(pair_.client, nameMessage(2, "kept"));
    sendAll(pair_.client, Bytes{0, 0});
    ASSERT_TRUE(threadEnds()) << "a stalled header must not hold the client manager";
    EXPECT_EQ(log.text(), "ClientManager: Got an incorrect amount of data from recv.\n");
    EXPECT_EQ(registeredIn(held_), 0u);
}

TEST_P(ClientManagerTest, UnknownTypeIsLoggedAndTheConnectionKeepsWorking) {
    LogCapture log;
    ASSERT_EQ(receiveBytes(pair_.client, 4), kWelcome);
    sendAll(pair_.client, join(header(9), connectMessage("x", "", 0, 0)));
    EXPECT_EQ(receiveBytes(pair_.client, 4), header(3));
    EXPECT_EQ(log.text(), "MessageHandler: Got unknown message from recv.\n");
}

TEST_P(ClientManagerTest, DisconnectIsLoggedAndRemovesTheClientsNames) {
    LogCapture log;
    ASSERT_EQ(receiveBytes(pair_.client, 4), kWelcome);
    sendAll(pair_.client, join(nameMessage(2, "a"), nameMessage(2, "b")));
    sendAll(pair_.client, header(4));
    ASSERT_EQ(receiveBytes(pair_.client, 48).size(), 48u);
    EXPECT_EQ(registeredIn(held_), 2u);
    socketClose(pair_.client);
    pair_.client = kNoSocket;
    ASSERT_TRUE(log.waitFor("\n"));
    EXPECT_EQ(log.text(), "ClientManager: Client disconnected. Thread terminating...\n");
    joinThread();
    EXPECT_EQ(registeredIn(held_), 0u);
    EXPECT_EQ(outboxes(), 0u);
}

TEST_P(ClientManagerTest, ResetInTheMiddleOfAPayloadEndsTheClient) {
    LogCapture log;
    // The unread Welcome makes the close a reset.
    ASSERT_TRUE(waitUntil([this] { return socketBytesPending(pair_.client) == 4; }));
    sendAll(pair_.client, join(header(5), Bytes(10, 'x')));
    // Closed once the reader has started on the message and waits for the
    // rest of its payload.
    ASSERT_TRUE(waitUntilTaken(pair_.server));
    socketClose(pair_.client);
    pair_.client = kNoSocket;
    ASSERT_TRUE(log.waitFor("\n"));
    std::string text = log.text();
    bool ended = text.rfind("ClientManager: Socket returned an error from recv: ", 0) == 0 ||
                 text == "ClientManager: Client disconnected. Thread terminating...\n";
    EXPECT_TRUE(ended) << text;
    joinThread();
    EXPECT_EQ(countOf(log.text(), "\n"), 1u) << log.text();
}

TEST_P(ClientManagerTest, StalledPayloadEndsTheClientWithTheTimedOutCode) {
    LogCapture log;
    ASSERT_EQ(receiveBytes(pair_.client, 4), kWelcome);
    sendAll(pair_.client, nameMessage(2, "kept"));
    sendAll(pair_.client, join(header(5), Bytes(10, 'x')));
    ASSERT_TRUE(threadEnds()) << "a stalled payload must not hold the client manager";
    EXPECT_EQ(log.text(), "ClientManager: Socket returned an error from recv: " +
                              std::to_string(timedOutErrorCode()) + "\n");
    EXPECT_EQ(registeredIn(held_), 0u);
}

TEST_P(ClientManagerTest, GlobalExitIsLoggedOnceAndTheClientIsCleanedUp) {
    LogCapture log;
    ASSERT_EQ(receiveBytes(pair_.client, 4), kWelcome);
    sendAll(pair_.client, join(nameMessage(2, "leaving"), header(4)));
    EXPECT_EQ(receiveBytes(pair_.client, 24), nameMessage(2, "leaving"));
    EXPECT_EQ(registeredIn(held_), 1u);
    eventSet(exit_);
    ASSERT_TRUE(threadEnds());
    EXPECT_EQ(log.text(),
              "ClientManager: globalExit event was signalled or had an error. Quitting...\n");
    EXPECT_EQ(registeredIn(held_), 0u);
}

constexpr std::size_t kManyNames = 250000;

TEST_P(ClientManagerTest, ALongListReachesAClientThatReadsItWithNothingElseSent) {
    LogCapture log;
    addNames(held_, kManyNames);
    ASSERT_EQ(receiveBytes(pair_.client, 4), kWelcome);
    sendAll(pair_.client, header(4));
    ASSERT_TRUE(waitUntil([this] { return restPendingFor(held_, pair_.server); }))
        << "the list went out in one write; make it longer";
    // Only the client manager's own turns can write the rest now.
    Bytes got = receiveBytes(pair_.client, kManyNames * 24);
    EXPECT_EQ(got.size(), kManyNames * 24);
    EXPECT_EQ(Bytes(got.end() - 24, got.end() - 18), (Bytes{0, 0, 0, 2, 'n', '2'}));
    EXPECT_TRUE(staysQuiet(pair_.client, 50));
    EXPECT_EQ(log.text(), "");
}

TEST_P(ClientManagerTest, AClientLeavingWithARestPendingTakesItsOutboxAndGetsItsDropCount) {
    LogCapture log;
    addNames(held_, kManyNames);
    ASSERT_EQ(receiveBytes(pair_.client, 4), kWelcome);
    // The second list finds the first one's rest pending and is dropped.
    sendAll(pair_.client, join(header(4), header(4)));
    ASSERT_TRUE(log.waitFor(kSendFailed));
    socketClose(pair_.client);
    pair_.client = kNoSocket;
    joinThread();
    EXPECT_EQ(outboxes(), 0u) << "an outbox outlived its connection";
    const std::string text = log.text();
    const std::string counted = droppedLine(kManyNames - 1);
    auto at = text.find(counted);
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_EQ(text.rfind(kSendFailed, 0), 0u) << text;
    std::string ending = text.substr(at + counted.size());
    EXPECT_TRUE(ending == "ClientManager: Client disconnected. Thread terminating...\n" ||
                ending.rfind("ClientManager: Socket returned an error from recv: ", 0) == 0)
        << text;
}

TEST_P(ClientManagerTest, ASendThatFailsEndsTheConnectionWithoutReadingWhatWasQueued) {
    LogCapture log;
    ASSERT_EQ(receiveBytes(pair_.client, 4), kWelcome);
    // A thousand requests, each answered with NameNotFound, one per turn.
    // The client leaves at once, with answers unread, which resets the
    // connection: the next answer fails, and the rest are never read.
    Bytes requests;
    for (int i = 0; i < 1000; ++i) requests = join(requests, connectMessage("nobody", "", 0, 0));
    sendAll(pair_.client, requests);
    socketClose(pair_.client);
    pair_.client = kNoSocket;
    joinThread();
    const std::string text = log.text();
    EXPECT_EQ(text.rfind(kSendFailed, 0), 0u) << text;
    EXPECT_EQ(text.substr(text.find('\n') + 1),
              "ClientManager: Client disconnected. Thread terminating...\n");
}

// The client manager sleeps, with nothing to read and nothing to write, when
// another thread's send leaves a rest in its outbox, as a forward does: it
// must wake to write the rest once the client reads. The retry is long here,
// so that only the ring and the report of room can deliver the rest.
class RestWakeTest : public ClientManagerTest {
  protected:
    unsigned restRetryMillis() const override { return 600000; }
};

TEST_P(RestWakeTest, ARestAnotherThreadLeftReachesAClientThatReadsLater) {
    ASSERT_EQ(receiveBytes(pair_.client, 4), kWelcome);
    Bytes wire;
    for (std::size_t i = 0; i < kManyNames; ++i) {
        wire.insert(wire.end(), {0, 0, 0, 1});
        wire.resize(wire.size() + 38, static_cast<std::uint8_t>('a' + i % 26));
    }
    underLock(held_, [&wire, this](ClientRegistry& registry) {
        sendMessages(outboxFor(registry, pair_.server), wire.data(), wire.size(), kManyNames);
    });
    ASSERT_TRUE(restPendingFor(held_, pair_.server)) << "the write went out whole; make it longer";
    EXPECT_EQ(receiveBytes(pair_.client, wire.size()), wire);
}

// In wait mode an idle client's thread sleeps in the kernel, with no time
// limit, rather than take turns.
using WaitModeTest = ClientManagerTest;

TEST_P(WaitModeTest, AnIdleClientsThreadSleepsUntilThereIsSomethingToDo) {
    ASSERT_EQ(receiveBytes(pair_.client, 4), kWelcome);
    ASSERT_TRUE(waitUntil([] { return threadsWaitingForever() == 1; }));
    sendAll(pair_.client, connectMessage("nobody", "", 0, 0));
    EXPECT_EQ(receiveBytes(pair_.client, 4), (Bytes{0, 0, 0, 3}));
    EXPECT_TRUE(waitUntil([] { return threadsWaitingForever() == 1; }));
}

INSTANTIATE_TEST_SUITE_P(IdleModes, ClientManagerTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& mode) {
                             return mode.param ? "Wait" : "Poll";
                         });
INSTANTIATE_TEST_SUITE_P(IdleModes, RestWakeTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& mode) {
                             return mode.param ? "Wait" : "Poll";
                         });

INSTANTIATE_TEST_SUITE_P(IdleModes, WaitModeTest, ::testing::Values(true),
                         [](const ::testing::TestParamInfo<bool>&) { return "Wait"; });

}  // namespace
}  // namespace peerdir
