// Wire format: exact bytes of every message the server writes, and the text
// field rules.
#include "protocol/message.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace peerdir {
namespace {

using testing_support::closePair;
using testing_support::LogCapture;
using testing_support::LoopbackPair;
using testing_support::makeLoopbackPair;
using testing_support::receiveBytes;
using testing_support::staysQuiet;
using Bytes = std::vector<std::uint8_t>;

TEST(PayloadSizes, FollowTheTypeAlone) {
    EXPECT_EQ(payloadSizeFor(0), 0u);
    EXPECT_EQ(payloadSizeFor(1), 38u);
    EXPECT_EQ(payloadSizeFor(2), 20u);
    EXPECT_EQ(payloadSizeFor(3), 0u);
    EXPECT_EQ(payloadSizeFor(4), 0u);
    EXPECT_EQ(payloadSizeFor(5), 38u);
    EXPECT_EQ(payloadSizeFor(6), 0u);
    EXPECT_EQ(payloadSizeFor(0xFFFFFFFFu), 0u);
}

TEST(Header, IsBigEndianBothWays) {
    std::uint8_t out[kHeaderSize];
    encodeHeader(0x01020304u, out);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{1, 2, 3, 4}));
    const std::uint8_t in[kHeaderSize] = {0x80, 0, 0, 7};
    EXPECT_EQ(decodeHeader(in), 0x80000007u);
}

TEST(ConnectPayloadLayout, IsPackedThirtyEightBytesAtFixedOffsets) {
    Bytes wire(38);
    for (std::size_t i = 0; i < wire.size(); ++i) wire[i] = static_cast<std::uint8_t>(i + 1);
    ConnectPayload decoded = decodeConnectPayload(wire.data());
    EXPECT_EQ(decoded.name[0], 1);
    EXPECT_EQ(decoded.address[0], 21);
    EXPECT_EQ(decoded.port[0], 37);
    EXPECT_EQ(decoded.port[1], 38);
    Bytes again(38);
    encodeConnectPayload(decoded, again.data());
    EXPECT_EQ(again, wire);
}

TEST(TextFields, ReadUpToTheFirstNul) {
    const char field[20] = {'a', 'b', 'c', '\0', 'x', 'y'};
    std::string text;
    ASSERT_TRUE(readTextField(field, sizeof field, &text));
    EXPECT_EQ(text, "abc");

    const char empty[20] = {'\0', 'z'};
    ASSERT_TRUE(readTextField(empty, sizeof empty, &text));
    EXPECT_EQ(text, "");
}

TEST(TextFields, FieldWithoutNulIsRejectedWithoutReadingPastIt) {
    // The field sits inside a larger buffer whose next byte is a NUL: a
    // reader that ran past the width would wrongly accept it.
    char buffer[21];
    std::memset(buffer, 'q', 20);
    buffer[20] = '\0';
    std::string text = "unchanged";
    EXPECT_FALSE(readTextField(buffer, 20, &text));
    EXPECT_EQ(text, "unchanged");
}

TEST(TextFields, WriteNineteenCharactersWithNulInTheLastByte) {
    char field[20];
    std::memset(field, 'x', sizeof field);
    ASSERT_TRUE(writeTextField("abcdefghijklmnopqrs", field, sizeof field));
    EXPECT_EQ(std::string(field, 19), "abcdefghijklmnopqrs");
    EXPECT_EQ(field[19], '\0');

    EXPECT_FALSE(writeTextField("abcdefghijklmnopqrst", field, sizeof field));
    EXPECT_EQ(field[0], '\0');
}

// A ConnectPayload as it goes on the wire.
std::vector<std::uint8_t> connectWire(const char* name, const char* address, std::uint8_t port0,
                                      std::uint8_t port1) {
    ConnectPayload payload;
    writeTextField(name, payload.name, kNameFieldSize);
    writeTextField(address, payload.address, kAddressFieldSize);
    payload.port[0] = port0;
    payload.port[1] = port1;
    std::vector<std::uint8_t> wire(kConnectPayloadSize);
    encodeConnectPayload(payload, wire.data());
    return wire;
}

class SendMessageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        pair_ = makeLoopbackPair();
        ASSERT_NE(pair_.server, kNoSocket);
        ASSERT_NE(pair_.client, kNoSocket);
        out_.socket = pair_.server;
    }
    void TearDown() override { closePair(pair_); }

    // Reads what the client end gets while the outbox is written out, until
    // the outbox is empty and nothing more comes, or a bounded time is over.
    Bytes drainWhileFlushing() {
        Bytes got;
        std::uint8_t chunk[65536];
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            bool empty = flushOutbox(out_) == FlushResult::Done;
            int n = socketRecv(pair_.client, chunk, sizeof chunk);
            if (n > 0) {
                got.insert(got.end(), chunk, chunk + n);
            } else if (empty) {
                break;
            } else {
                sleepMillis(1);
            }
        }
        return got;
    }

    LoopbackPair pair_;
    Outbox out_;
};

TEST_F(SendMessageTest, WelcomeAndNameNotFoundAreFourBytes) {
    EXPECT_TRUE(sendMessage(out_, MessageType::Welcome));
    EXPECT_TRUE(sendMessage(out_, MessageType::NameNotFound));
    EXPECT_EQ(receiveBytes(pair_.client, 8), (Bytes{0, 0, 0, 0, 0, 0, 0, 3}));
    EXPECT_TRUE(staysQuiet(pair_.client, 20));
}

TEST_F(SendMessageTest, ClientNameIsTwentyFourBytes) {
    NamePayload payload;
    writeTextField("abc", payload.name, kNameFieldSize);
    std::uint8_t wire[kNamePayloadSize];
    encodeNamePayload(payload, wire);
    EXPECT_TRUE(sendMessage(out_, MessageType::ClientName, wire));
    Bytes got = receiveBytes(pair_.client, 24);
    ASSERT_EQ(got.size(), 24u);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 8), (Bytes{0, 0, 0, 2, 'a', 'b', 'c', 0}));
    EXPECT_TRUE(staysQuiet(pair_.client, 20));
}

TEST_F(SendMessageTest, PeerRequestIsFortyTwoBytesEndingInThePortBytes) {
    EXPECT_TRUE(sendMessage(out_, MessageType::PeerRequest,
                            connectWire("bob", "10.1.2.3", 0xAB, 1).data()));
    Bytes got = receiveBytes(pair_.client, 42);
    ASSERT_EQ(got.size(), 42u);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 4), (Bytes{0, 0, 0, 1}));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&got[4])), "bob");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&got[24])), "10.1.2.3");
    EXPECT_EQ(got[40], 0xAB);
    EXPECT_EQ(got[41], 0x01);
}

TEST_F(SendMessageTest, FailedSendLogsOneLineAndReportsFailure) {
    LogCapture log;
    socketClose(pair_.server);
    pair_.server = kNoSocket;
    // A closed handle fails at once on every platform; the line carries
    // whatever code the platform reported.
    std::uint8_t wire[kConnectPayloadSize] = {};
    EXPECT_FALSE(sendMessage(out_, MessageType::PeerRequest, wire));
    std::string text = log.text();
    EXPECT_EQ(text.rfind("MessageHandler: Send failed. Last error was: ", 0), 0u) << text;
    EXPECT_EQ(testing_support::countOf(text, "\n"), 1u) << text;
    EXPECT_EQ(text.back(), '\n');
}

TEST_F(SendMessageTest, AClientThatStopsReadingStillGetsOnlyWholeMessages) {
    LogCapture log;
    const Bytes wire = connectWire("target", "192.168.100.200", 0x12, 0x34);
    // Fill the connection while the client reads nothing, then send a few
    // more: those are refused whole while the rest of the last write waits.
    constexpr std::size_t kLimit = 2000000;
    std::size_t kept = 0;
    std::size_t refused = 0;
    for (std::size_t i = 0; i < kLimit && refused < 3; ++i) {
        if (sendMessage(out_, MessageType::PeerRequest, wire.data())) {
            ++kept;
        } else {
            ++refused;
        }
    }
    ASSERT_EQ(refused, 3u) << "the connection never filled";

    Bytes got = drainWhileFlushing();
    ASSERT_EQ(got.size(), kept * 42);
    Bytes expected{0, 0, 0, 1};
    expected.insert(expected.end(), wire.begin(), wire.end());
    for (std::size_t at = 0; at < got.size(); at += 42) {
        ASSERT_TRUE(std::equal(expected.begin(), expected.end(), got.begin() + at))
            << "message " << at / 42 << " is cut";
    }
    const std::string line =
        "MessageHandler: Send failed. Last error was: " + std::to_string(wouldBlockErrorCode()) +
        "\n";
    EXPECT_EQ(log.text(), line + line + line);
}

}  // namespace
}  // namespace peerdir
