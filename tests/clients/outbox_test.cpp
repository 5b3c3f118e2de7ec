// The send path over a real loopback connection: whole messages, the rest
// kept for later, and what is logged when messages are dropped.
#include "clients/outbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "clients/clients_support.h"
#include "support/test_support.h"

namespace peerdir {
namespace {

using namespace testing_support;
using Bytes = std::vector<std::uint8_t>;

Bytes peerRequest() {
    ConnectPayload payload;
    writeTextField("target", payload.name, kNameFieldSize);
    writeTextField("192.168.100.200", payload.address, kAddressFieldSize);
    payload.port[0] = 0x12;
    payload.port[1] = 0x34;
    Bytes wire(kConnectPayloadSize);
    encodeConnectPayload(payload, wire.data());
    return wire;
}

class OutboxTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(pair_.client, kNoSocket);
        out_.connection.socket = pair_.server;
    }
    void TearDown() override { closePair(pair_); }

    // Sends PeerRequests while the client reads nothing, until the socket
    // is full and then refused more; returns how many were taken.
    std::size_t fillUntilRefused(std::size_t refusals) {
        const Bytes wire = peerRequest();
        std::size_t kept = 0;
        std::size_t refused = 0;
        for (std::size_t i = 0; i < 2000000 && refused < refusals; ++i) {
            if (sendMessage(out_, MessageType::PeerRequest, wire.data())) {
                ++kept;
            } else {
                ++refused;
            }
        }
        EXPECT_EQ(refused, refusals) << "the connection never filled";
        return kept;
    }

    Bytes drainAll() {
        return drainWhileFlushing(pair_.client,
                                  [this] { return flushOutbox(out_) == FlushResult::Done; });
    }

    LoopbackPair pair_ = makeLoopbackPair();
    Outbox out_;
};

TEST_F(OutboxTest, MessagesArriveWholeAndInOrder) {
    EXPECT_TRUE(sendMessage(out_, MessageType::Welcome));
    EXPECT_TRUE(sendMessage(out_, MessageType::PeerRequest, peerRequest().data()));
    EXPECT_TRUE(sendMessage(out_, MessageType::NameNotFound));
    Bytes expected{0, 0, 0, 0, 0, 0, 0, 1};
    const Bytes payload = peerRequest();
    expected.insert(expected.end(), payload.begin(), payload.end());
    expected.insert(expected.end(), {0, 0, 0, 3});
    EXPECT_EQ(receiveBytes(pair_.client, expected.size()), expected);
    EXPECT_TRUE(staysQuiet(pair_.client, 20));
}

TEST_F(OutboxTest, AFailedSendLogsOneLineAndMarksTheConnectionBroken) {
    LogCapture log;
    // A socket shut for sending fails every send at once on every platform;
    // the line carries whatever code the platform reported.
    socketShutdownSend(pair_.server);
    EXPECT_FALSE(sendMessage(out_, MessageType::NameNotFound));
    EXPECT_TRUE(out_.broken.load());
    EXPECT_FALSE(sendMessage(out_, MessageType::NameNotFound));
    std::string text = log.text();
    EXPECT_EQ(text.rfind(kSendFailed, 0), 0u) << text;
    EXPECT_EQ(countOf(text, "\n"), 1u) << text;
    endDropEpisode(out_);
    EXPECT_EQ(log.text(), text + droppedLine(1));
}

TEST_F(OutboxTest, AClientThatStopsReadingGetsWholeMessagesAndEveryDropIsAccountedFor) {
    LogCapture log;
    // Fill the connection while the client reads nothing, until part of a
    // message is left over; three more are then dropped.
    const Bytes wire = peerRequest();
    std::size_t sent = 0;
    std::size_t kept = 0;
    std::size_t refusedInARow = 0;
    Bytes got;
    while (sent < 2000000 && out_.rest.empty()) {
        ++sent;
        if (sendMessage(out_, MessageType::PeerRequest, wire.data())) {
            ++kept;
            refusedInARow = 0;
            continue;
        }
        // A connection filled exactly to a message's end refuses every later
        // message whole and never leaves part of one over; the client then
        // takes some, so that the next fill ends partway through a message.
        if (++refusedInARow < 100) continue;
        refusedInARow = 0;
        const std::size_t unread = kept * 42 - got.size();
        Bytes some = receiveBytes(pair_.client, std::min<std::size_t>(unread, 1u << 20));
        got.insert(got.end(), some.begin(), some.end());
    }
    ASSERT_FALSE(out_.rest.empty()) << "the connection never filled";
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(sendMessage(out_, MessageType::PeerRequest, wire.data()));
    sent += 3;

    // The client takes all the socket took. A new message then finds room
    // (as soon as the system has freed the socket's buffer), yet the rest of
    // the last one must go first.
    Bytes taken = receiveBytes(pair_.client, kept * 42 - out_.rest.size() - got.size());
    got.insert(got.end(), taken.begin(), taken.end());
    EXPECT_TRUE(waitUntil([&] {
        ++sent;
        return sendMessage(out_, MessageType::NameNotFound);
    }));
    ++kept;
    Bytes more = drainAll();
    got.insert(got.end(), more.begin(), more.end());

    ASSERT_EQ(got.size(), (kept - 1) * 42 + 4);
    Bytes expected{0, 0, 0, 1};
    expected.insert(expected.end(), wire.begin(), wire.end());
    for (std::size_t at = 0; at + 4 < got.size(); at += 42) {
        ASSERT_TRUE(std::equal(expected.begin(), expected.end(), got.begin() + at))
            << "message " << at / 42 << " is cut";
    }
    EXPECT_EQ(Bytes(got.end() - 4, got.end()), (Bytes{0, 0, 0, 3}));
    // What the client read, and the drops logged and counted, are every
    // message; a client that reads in bursts costs at most two lines.
    EXPECT_EQ(kept + droppedIn(log.text()), sent) << log.text();
    EXPECT_LE(countOf(log.text(), kSendFailed), 2u) << log.text();
}

// A flush that writes only part of a rest leaves the rest pending, so its
// owner goes on waiting for room rather than forget the end of a long list.
TEST_F(OutboxTest, AFlushThatWritesPartOfTheRestLeavesItPending) {
    const Bytes list(8u << 20, 0x5a);
    for (int i = 0; i < 8 && out_.rest.empty(); ++i) {
        sendMessages(out_, list.data(), list.size(), 1);
    }
    ASSERT_GT(out_.rest.size(), 1u << 20) << "the socket took the whole list";
    const std::size_t before = out_.rest.size();
    EXPECT_TRUE(waitUntil([&] {
        receiveBytes(pair_.client, 65536);
        return flushOutbox(out_) == FlushResult::Blocked && out_.rest.size() < before;
    }));
    ASSERT_FALSE(out_.rest.empty());
    EXPECT_TRUE(out_.hasRest.load());
}

TEST_F(OutboxTest, ADropWithinASecondOfTheLastLoggedOneIsCountedToo) {
    LogCapture log;
    auto started = std::chrono::steady_clock::now();
    fillUntilRefused(1);
    drainAll();
    ASSERT_EQ(countOf(log.text(), "\n"), 1u) << log.text();
    // A second episode: its first drop is logged only if a second has
    // passed since the last logged one.
    fillUntilRefused(1);
    bool withinASecond = std::chrono::steady_clock::now() - started < std::chrono::seconds(1);
    drainAll();
    endDropEpisode(out_);
    if (withinASecond) {
        EXPECT_EQ(countOf(log.text(), kSendFailed), 1u) << log.text();
        EXPECT_EQ(countOf(log.text(), droppedLine(1)), 1u) << log.text();
    }
}

}  // namespace
}  // namespace peerdir
