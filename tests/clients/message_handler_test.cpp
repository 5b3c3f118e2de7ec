// handleMessage driven over real loopback connections: what each request
// puts on the wire, and to whom.
#include "clients/message_handler.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "clients/clients_support.h"
#include "support/test_support.h"

namespace peerdir {
namespace {

using namespace testing_support;
using Bytes = std::vector<std::uint8_t>;

constexpr unsigned kQuietMillis = 30;

class MessageHandlerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        exit_ = eventCreateManualReset();
        for (auto& pair : pairs_) {
            pair = makeLoopbackPair();
            ASSERT_NE(pair.server, kNoSocket);
        }
    }
    void TearDown() override {
        for (auto& pair : pairs_) closePair(pair);
        eventClose(exit_);
    }

    ClientManagerContext contextOf(int client) {
        return ClientManagerContext{&held_.registry, held_.lock, exit_, pairs_[client].server};
    }
    Socket clientEnd(int client) { return pairs_[client].client; }

    void registerName(int client, const char* field, std::size_t size = 0) {
        std::uint8_t payload[kNamePayloadSize] = {};
        std::memcpy(payload, field, size == 0 ? std::strlen(field) : size);
        handleMessage(payload, contextOf(client), MessageType::ClientName);
    }

    void connect(int client, const std::string& name, const std::string& address,
                 std::uint8_t port0, std::uint8_t port1) {
        ConnectPayload request;
        writeTextField(name, request.name, kNameFieldSize);
        writeTextField(address, request.address, kAddressFieldSize);
        request.port[0] = port0;
        request.port[1] = port1;
        std::uint8_t wire[kConnectPayloadSize];
        encodeConnectPayload(request, wire);
        handleMessage(wire, contextOf(client), MessageType::ConnectRequest);
    }

    // The names in a run of ClientName replies, checked for their headers.
    std::vector<std::string> receiveNames(int client, std::size_t count) {
        Bytes got = receiveBytes(clientEnd(client), count * 24);
        EXPECT_EQ(got.size(), count * 24);
        std::vector<std::string> names;
        for (std::size_t at = 0; at + 24 <= got.size(); at += 24) {
            EXPECT_EQ(Bytes(got.begin() + at, got.begin() + at + 4), (Bytes{0, 0, 0, 2}));
            std::string name;
            EXPECT_TRUE(readTextField(reinterpret_cast<const char*>(&got[at + 4]), 20, &name));
            names.push_back(name);
        }
        return names;
    }

    // The client manager's part: write out the client's outbox; true once
    // it is empty.
    bool flushOf(int client) {
        bool empty = false;
        underLock(held_, [&](ClientRegistry& registry) {
            empty = flushOutbox(outboxFor(registry, pairs_[client].server)) == FlushResult::Done;
        });
        return empty;
    }

    // What the client manager does as the connection ends.
    void endEpisodeOf(int client) {
        underLock(held_, [&](ClientRegistry& registry) {
            endDropEpisode(outboxFor(registry, pairs_[client].server));
        });
    }

    TestRegistry held_;
    EventHandle exit_ = nullptr;
    LoopbackPair pairs_[3];
};

TEST_F(MessageHandlerTest, RegistrationSendsNothingAndListRepliesInOrderWithDuplicates) {
    registerName(0, "alice");
    registerName(1, "bob");
    registerName(0, "alice");
    EXPECT_TRUE(staysQuiet(clientEnd(0), kQuietMillis));
    EXPECT_TRUE(staysQuiet(clientEnd(1), kQuietMillis));

    handleMessage(nullptr, contextOf(0), MessageType::ListRequest);
    EXPECT_EQ(receiveNames(0, 3), (std::vector<std::string>{"alice", "bob", "alice"}));
    EXPECT_TRUE(staysQuiet(clientEnd(0), kQuietMillis));
    EXPECT_TRUE(staysQuiet(clientEnd(1), kQuietMillis));
}

TEST_F(MessageHandlerTest, ListOnEmptyRegistrySendsNothing) {
    handleMessage(nullptr, contextOf(0), MessageType::ListRequest);
    EXPECT_TRUE(staysQuiet(clientEnd(0), kQuietMillis));
}

TEST_F(MessageHandlerTest, NineteenCharacterAndEmptyNamesRoundTrip) {
    registerName(0, "abcdefghijklmnopqrs");
    registerName(1, "");
    handleMessage(nullptr, contextOf(2), MessageType::ListRequest);
    EXPECT_EQ(receiveNames(2, 2), (std::vector<std::string>{"abcdefghijklmnopqrs", ""}));

    connect(2, "", "1.2.3.4", 0, 1);
    Bytes got = receiveBytes(clientEnd(1), 42);
    ASSERT_EQ(got.size(), 42u);
    EXPECT_EQ(got[3], 1);
    EXPECT_EQ(got[4], 0);
}

TEST_F(MessageHandlerTest, ConnectForwardsToTheFirstRegistrantOnly) {
    registerName(0, "carol");
    registerName(1, "carol");
    connect(2, "carol", "192.168.100.200", 0x1F, 0x90);

    Bytes got = receiveBytes(clientEnd(0), 42);
    ASSERT_EQ(got.size(), 42u);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 4), (Bytes{0, 0, 0, 1}));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&got[4])), "carol");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&got[24])), "192.168.100.200");
    EXPECT_EQ(got[40], 0x1F);
    EXPECT_EQ(got[41], 0x90);
    EXPECT_TRUE(staysQuiet(clientEnd(1), kQuietMillis));
    EXPECT_TRUE(staysQuiet(clientEnd(2), kQuietMillis));
}

TEST_F(MessageHandlerTest, ConnectToOwnNameComesBackToTheSender) {
    registerName(0, "me");
    connect(0, "me", "", 0, 0);
    EXPECT_EQ(receiveBytes(clientEnd(0), 42).size(), 42u);
}

TEST_F(MessageHandlerTest, UnknownOrDifferentlyCasedNameGetsNameNotFound) {
    registerName(0, "Dave");
    connect(1, "dave", "1.1.1.1", 0, 80);
    EXPECT_EQ(receiveBytes(clientEnd(1), 4), (Bytes{0, 0, 0, 3}));
    EXPECT_TRUE(staysQuiet(clientEnd(1), kQuietMillis));
    EXPECT_TRUE(staysQuiet(clientEnd(0), kQuietMillis));
}

TEST_F(MessageHandlerTest, OtherTypesDoNothing) {
    registerName(0, "x");
    std::uint8_t payload[kConnectPayloadSize] = {};
    for (std::uint32_t type : {0u, 1u, 3u, 6u, 1000u}) {
        handleMessage(payload, contextOf(0), static_cast<MessageType>(type));
    }
    EXPECT_TRUE(staysQuiet(clientEnd(0), kQuietMillis));
    EXPECT_EQ(registeredIn(held_), 1u);
}

TEST_F(MessageHandlerTest, FieldsWithoutNulAreDropped) {
    registerName(0, "abcdefghijklmnopqrst", 20);
    EXPECT_EQ(registeredIn(held_), 0u);

    registerName(0, "target");
    std::uint8_t wire[kConnectPayloadSize];
    std::memset(wire, 'a', sizeof wire);
    std::memcpy(wire, "target", 7);  // valid name, address without a NUL
    handleMessage(wire, contextOf(1), MessageType::ConnectRequest);
    EXPECT_TRUE(staysQuiet(clientEnd(0), kQuietMillis));
    EXPECT_TRUE(staysQuiet(clientEnd(1), kQuietMillis));
}

TEST_F(MessageHandlerTest, FieldsTheServerWritesHoldZerosAfterTheirNul) {
    std::uint8_t name[kNamePayloadSize];
    std::memset(name, 'z', sizeof name);
    std::memcpy(name, "ab", 3);
    handleMessage(name, contextOf(0), MessageType::ClientName);
    handleMessage(nullptr, contextOf(0), MessageType::ListRequest);
    Bytes listed{0, 0, 0, 2, 'a', 'b'};
    listed.resize(24, 0);
    EXPECT_EQ(receiveBytes(clientEnd(0), 24), listed);

    std::uint8_t request[kConnectPayloadSize];
    std::memset(request, 'q', sizeof request);
    std::memcpy(request, "ab", 3);
    std::memcpy(request + 20, "1.2.3.4", 8);
    request[36] = 7;
    request[37] = 9;
    handleMessage(request, contextOf(1), MessageType::ConnectRequest);
    Bytes forwarded{0, 0, 0, 1, 'a', 'b'};
    forwarded.resize(24, 0);
    forwarded.insert(forwarded.end(), {'1', '.', '2', '.', '3', '.', '4'});
    forwarded.resize(40, 0);
    forwarded.insert(forwarded.end(), {7, 9});
    EXPECT_EQ(receiveBytes(clientEnd(0), 42), forwarded);
}

TEST_F(MessageHandlerTest, ForwardsRacingTheirTargetsEndHappenUnderTheLock) {
    // The target has a client manager of its own and leaves while requests
    // for it keep coming. Each forward must be written under the registry
    // lock, which the target's client manager takes to remove its entries
    // before it closes the socket: debug builds assert the lock on every
    // write, so a forward written outside it fails here at once.
    LogCapture log;
    for (int round = 0; round < 10; ++round) {
        LoopbackPair target = makeLoopbackPair();
        ASSERT_NE(target.server, kNoSocket);
        ThreadHandle manager = startClientManager(
            ClientManagerContext{&held_.registry, held_.lock, exit_, target.server});
        ASSERT_NE(manager, nullptr);
        ASSERT_EQ(receiveBytes(target.client, 4), (Bytes{0, 0, 0, 0}));
        sendAll(target.client, nameMessage(2, "target"));
        ASSERT_TRUE(waitUntil([this] { return registeredIn(held_) == 1; }));
        socketClose(target.client);
        // Forwards go on until the target has gone; the wait is bounded by
        // time, not by a count of forwards.
        EXPECT_TRUE(waitUntil([this] {
            connect(1, "target", "1.2.3.4", 0, 1);
            std::uint8_t reply[4];
            return socketRecv(clientEnd(1), reply, 4) == 4 && reply[3] == 3;
        }));
        joinOrAbort(manager, "the target's client manager");
    }
}

TEST_F(MessageHandlerTest, ForwardsToAPeerThatHasGoneLogOneLineAndAreCountedAfter) {
    LogCapture log;
    registerName(0, "gone");
    socketClose(pairs_[0].client);
    pairs_[0].client = kNoSocket;
    // The first write after the peer closed may still be accepted locally;
    // the peer's reset makes a later one fail.
    ASSERT_TRUE(waitUntil([&] {
        connect(1, "gone", "1.2.3.4", 0, 1);
        return !log.text().empty();
    }));
    const std::string first = log.text();
    EXPECT_EQ(first.rfind(kSendFailed, 0), 0u) << first;
    EXPECT_EQ(countOf(first, "\n"), 1u) << first;
    for (int i = 0; i < 3; ++i) connect(1, "gone", "1.2.3.4", 0, 1);
    EXPECT_EQ(log.text(), first) << "drops after the first are counted, not logged";
    endEpisodeOf(0);
    EXPECT_EQ(log.text(), first + droppedLine(3));
    EXPECT_TRUE(staysQuiet(clientEnd(1), kQuietMillis));
}

TEST_F(MessageHandlerTest, AListToAClientStillTakingThePreviousOneIsCountedNameByName) {
    LogCapture log;
    constexpr std::size_t kNames = 250000;
    addNames(held_, kNames);
    handleMessage(nullptr, contextOf(0), MessageType::ListRequest);
    ASSERT_TRUE(restPendingFor(held_, pairs_[0].server))
        << "the list went out in one write; make it longer";
    handleMessage(nullptr, contextOf(0), MessageType::ListRequest);
    const std::string first = kSendFailed + std::to_string(wouldBlockErrorCode()) + "\n";
    EXPECT_EQ(log.text(), first);
    // The client gets the first list whole, and the second one's names are
    // all accounted for: one logged, the rest counted.
    EXPECT_EQ(drainWhileFlushing(clientEnd(0), [this] { return flushOf(0); }).size(), kNames * 24);
    EXPECT_EQ(log.text(), first + "MessageHandler: " + std::to_string(kNames - 1) +
                              " more messages to this client were dropped.\n");
}

// Clients that never read hold at most their own bound each, and all rests
// together the total: the replies that waited longest give way, cut at a
// message boundary and counted, so a client that reads still gets a whole
// list. Every name is received or counted as dropped.
TEST_F(MessageHandlerTest, UnreadRepliesStopAtTheirBoundsAndGiveWayToAClientThatReads) {
    LogCapture log;
    constexpr std::size_t kNames = 50000;  // a list of 1.2 MB
    constexpr std::size_t kKiB = 1024;
    addNames(held_, kNames);
    for (auto& pair : pairs_) ASSERT_EQ(socketSetSendBuffer(pair.server, 64 * kKiB), 0);
    auto restOf = [this](int client) {
        std::size_t size = 0;
        underLock(held_, [&](ClientRegistry& registry) {
            size = outboxFor(registry, pairs_[client].server).rest.size();
        });
        return size;
    };
    auto bound = [this](std::size_t perClient, std::size_t total) {
        underLock(held_, [&](ClientRegistry& registry) {
            registry.output.perClient = perClient;
            registry.output.total = total;
        });
    };
    bound(256 * kKiB, 1536 * kKiB);
    handleMessage(nullptr, contextOf(0), MessageType::ListRequest);
    EXPECT_LE(restOf(0), 256 * kKiB);
    EXPECT_GT(droppedIn(log.text()), 0u) << "the first list should have passed its client's bound";
    bound(2048 * kKiB, 1536 * kKiB);
    handleMessage(nullptr, contextOf(1), MessageType::ListRequest);
    EXPECT_GT(restOf(1), 512 * kKiB) << "the second list should have been kept";
    // The reader's list needs what both others hold.
    handleMessage(nullptr, contextOf(2), MessageType::ListRequest);
    const std::vector<std::uint8_t> read =
        drainWhileFlushing(clientEnd(2), [this] { return flushOf(2); });
    EXPECT_EQ(read.size(), kNames * 24);
    std::size_t received = 0;
    for (int client : {0, 1}) {
        const std::size_t got =
            drainWhileFlushing(clientEnd(client), [&] { return flushOf(client); }).size();
        EXPECT_EQ(got % 24, 0u) << "client " << client << " got part of a message";
        received += got / 24;
        endEpisodeOf(client);
    }
    EXPECT_LT(received, 2 * kNames);
    EXPECT_EQ(droppedIn(log.text()), 2 * kNames - received);
}

}  // namespace
}  // namespace peerdir
