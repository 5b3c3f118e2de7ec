// receiveMessage over real loopback connections: statuses, payload assembly
// and message boundaries.
#include "protocol/message_reader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/testing.h"
#include "protocol/message.h"
#include "support/test_support.h"

namespace peerdir {
namespace {

using testing_support::closePair;
using testing_support::connectMessage;
using testing_support::finishSplitSend;
using testing_support::header;
using testing_support::join;
using testing_support::LogCapture;
using testing_support::LoopbackPair;
using testing_support::makeLoopbackPair;
using testing_support::nameMessage;
using testing_support::sendAll;
using testing_support::SplitSend;
using testing_support::startSplitSend;
using Bytes = std::vector<std::uint8_t>;

class MessageReaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        pair_ = makeLoopbackPair();
        ASSERT_NE(pair_.server, kNoSocket);
    }
    void TearDown() override { closePair(pair_); }

    // Reads until something other than NoData comes, within a bounded time.
    ReceiveResult next(const PayloadWait& wait = PayloadWait{}) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        ReceiveResult r = receiveMessage(pair_.server, wait);
        while (r.status == ReceiveStatus::NoData && std::chrono::steady_clock::now() < deadline) {
            sleepMillis(1);
            r = receiveMessage(pair_.server, wait);
        }
        return r;
    }

    LoopbackPair pair_;
};

TEST_F(MessageReaderTest, NothingPendingIsNoDataAndConsumesNothing) {
    EXPECT_EQ(receiveMessage(pair_.server).status, ReceiveStatus::NoData);
    sendAll(pair_.client, header(4));
    ReceiveResult r = next();
    EXPECT_EQ(r.status, ReceiveStatus::Message);
    EXPECT_EQ(r.value, 4);
    EXPECT_TRUE(r.payload.empty());
}

TEST_F(MessageReaderTest, UnknownTypeIsLoggedAndItsFollowingBytesStartTheNextMessage) {
    LogCapture log;
    sendAll(pair_.client, join(header(7), header(4)));
    ReceiveResult r = next();
    EXPECT_EQ(r.status, ReceiveStatus::Message);
    EXPECT_EQ(r.value, 7);
    EXPECT_TRUE(r.payload.empty());
    EXPECT_EQ(log.text(), "MessageHandler: Got unknown message from recv.\n");
    EXPECT_EQ(next().value, 4);
}

TEST_F(MessageReaderTest, TypeAboveSignedRangeIsUnknownToo) {
    LogCapture log;
    sendAll(pair_.client, header(0xFFFFFFFFu));
    ReceiveResult r = next();
    EXPECT_EQ(r.status, ReceiveStatus::Message);
    EXPECT_TRUE(r.payload.empty());
    EXPECT_EQ(log.text(), "MessageHandler: Got unknown message from recv.\n");
}

TEST_F(MessageReaderTest, MessageCutInTheHeaderOrThePayloadIsReadWhole) {
    Bytes request = connectMessage("alice", "10.0.0.1", 0x12, 0x34);
    for (std::size_t cut : {std::size_t{2}, std::size_t{24}}) {
        SCOPED_TRACE(cut);
        SplitSend send = startSplitSend(pair_.client, pair_.server, request, cut);
        ASSERT_NE(send.thread, nullptr);
        ReceiveResult r = next();
        finishSplitSend(send);
        EXPECT_EQ(r.status, ReceiveStatus::Message);
        EXPECT_EQ(r.value, 5);
        EXPECT_EQ(r.payload, Bytes(request.begin() + 4, request.end()));
    }
}

TEST_F(MessageReaderTest, TwoMessagesInOneWriteAreReadOneAtATime) {
    Bytes first = nameMessage(2, "bob");
    sendAll(pair_.client, join(first, header(4)));
    ReceiveResult r = next();
    EXPECT_EQ(r.value, 2);
    EXPECT_EQ(r.payload, Bytes(first.begin() + 4, first.end()));
    r = next();
    EXPECT_EQ(r.value, 4);
    EXPECT_TRUE(r.payload.empty());
}

TEST_F(MessageReaderTest, HeaderThatNeverCompletesIsAShortHeaderOnceTheWaitEnds) {
    sendAll(pair_.client, Bytes{0, 0});
    EXPECT_EQ(next(PayloadWait{nullptr, 50}).status, ReceiveStatus::ShortHeader);
    EXPECT_EQ(receiveMessage(pair_.server).status, ReceiveStatus::NoData);
}

TEST_F(MessageReaderTest, PeerClosingMidPayloadIsDisconnected) {
    sendAll(pair_.client, join(header(2), Bytes(7, 'x')));
    socketClose(pair_.client);
    pair_.client = kNoSocket;
    EXPECT_EQ(next().status, ReceiveStatus::Disconnected);
    EXPECT_EQ(next().status, ReceiveStatus::Disconnected);
}

TEST_F(MessageReaderTest, PeerClosingMidHeaderIsDisconnected) {
    sendAll(pair_.client, Bytes{0, 0, 0});
    socketClose(pair_.client);
    pair_.client = kNoSocket;
    EXPECT_EQ(next().status, ReceiveStatus::Disconnected);
}

TEST_F(MessageReaderTest, StalledPayloadIsGivenUpWithTheTimedOutCodeNearItsBound) {
    sendAll(pair_.client, join(header(2), Bytes(5, 'x')));
    auto started = std::chrono::steady_clock::now();
    ReceiveResult r = next(PayloadWait{nullptr, 100});
    auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(r.status, ReceiveStatus::SocketError);
    EXPECT_EQ(r.value, timedOutErrorCode());
    EXPECT_TRUE(r.payload.empty());
    // Loosely, as an order of magnitude: a wait measured in the wrong unit
    // would be a thousand times off.
    EXPECT_GE(waited, std::chrono::milliseconds(100));
    EXPECT_LT(waited, std::chrono::seconds(10));
}

TEST_F(MessageReaderTest, StalledPayloadIsGivenUpAtOnceWhenAsked) {
    EventHandle stop = eventCreateManualReset();
    eventSet(stop);
    sendAll(pair_.client, join(header(5), Bytes(5, 'x')));
    auto started = std::chrono::steady_clock::now();
    ReceiveResult r = next(PayloadWait{stop, 60000});
    EXPECT_EQ(r.status, ReceiveStatus::SocketError);
    EXPECT_EQ(r.value, timedOutErrorCode());
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
    eventClose(stop);
}

TEST_F(MessageReaderTest, ResetByPeerIsASocketErrorWithThePlatformCode) {
    // Closing with unread data in the receive buffer makes the peer send a
    // reset instead of an orderly close.
    sendAll(pair_.server, Bytes{1, 2, 3});
    ASSERT_TRUE(
        testing_support::waitUntil([this] { return socketBytesPending(pair_.client) == 3; }));
    socketClose(pair_.client);
    pair_.client = kNoSocket;
    ReceiveResult r = next();
    EXPECT_EQ(r.status, ReceiveStatus::SocketError);
    EXPECT_NE(r.value, 0);
    EXPECT_FALSE(isWouldBlock(r.value));
}

}  // namespace
}  // namespace peerdir
