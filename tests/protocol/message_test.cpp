// Wire format: exact bytes of every message the server writes, and the text
// field rules.
#include "protocol/message.h"

#include <gtest/gtest.h>

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

class SendMessageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        pair_ = makeLoopbackPair();
        ASSERT_NE(pair_.server, kNoSocket);
        ASSERT_NE(pair_.client, kNoSocket);
    }
    void TearDown() override { closePair(pair_); }
    LoopbackPair pair_;
};

TEST_F(SendMessageTest, WelcomeAndNameNotFoundAreFourBytes) {
    EXPECT_TRUE(sendMessage(pair_.server, MessageType::Welcome));
    EXPECT_TRUE(sendMessage(pair_.server, MessageType::NameNotFound));
    EXPECT_EQ(receiveBytes(pair_.client, 8), (Bytes{0, 0, 0, 0, 0, 0, 0, 3}));
    EXPECT_TRUE(staysQuiet(pair_.client, 20));
}

TEST_F(SendMessageTest, ClientNameIsTwentyFourBytes) {
    NamePayload payload;
    writeTextField("abc", payload.name, kNameFieldSize);
    std::uint8_t wire[kNamePayloadSize];
    encodeNamePayload(payload, wire);
    EXPECT_TRUE(sendMessage(pair_.server, MessageType::ClientName, wire));
    Bytes got = receiveBytes(pair_.client, 24);
    ASSERT_EQ(got.size(), 24u);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 8), (Bytes{0, 0, 0, 2, 'a', 'b', 'c', 0}));
    EXPECT_TRUE(staysQuiet(pair_.client, 20));
}

TEST_F(SendMessageTest, PeerRequestIsFortyTwoBytesEndingInThePortBytes) {
    ConnectPayload payload;
    writeTextField("bob", payload.name, kNameFieldSize);
    writeTextField("10.1.2.3", payload.address, kAddressFieldSize);
    payload.port[0] = 0xAB;
    payload.port[1] = 0x01;
    std::uint8_t wire[kConnectPayloadSize];
    encodeConnectPayload(payload, wire);
    EXPECT_TRUE(sendMessage(pair_.server, MessageType::PeerRequest, wire));
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
    // A closed handle fails at once on every platform; the line carries
    // whatever code the platform reported.
    std::uint8_t wire[kConnectPayloadSize] = {};
    EXPECT_FALSE(sendMessage(pair_.server, MessageType::PeerRequest, wire));
    pair_.server = kNoSocket;
    std::string text = log.text();
    EXPECT_EQ(text.rfind("MessageHandler: Send failed. Last error was: ", 0), 0u) << text;
    EXPECT_EQ(testing_support::countOf(text, "\n"), 1u) << text;
    EXPECT_EQ(text.back(), '\n');
}

}  // namespace
}  // namespace peerdir
