// Wire format: headers, payload layouts, whole messages and the text field
// rules, without a socket.
#include "protocol/message.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace peerdir {
namespace {

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

TEST(WholeMessages, WelcomeNameNotFoundClientNameAndPeerRequestOnTheWire) {
    std::uint8_t out[kMaxMessageSize];
    ASSERT_EQ(encodeMessage(MessageType::Welcome, nullptr, out), 4u);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{0, 0, 0, 0}));
    ASSERT_EQ(encodeMessage(MessageType::NameNotFound, nullptr, out), 4u);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{0, 0, 0, 3}));

    NamePayload name;
    writeTextField("abc", name.name, kNameFieldSize);
    std::uint8_t namePayload[kNamePayloadSize];
    encodeNamePayload(name, namePayload);
    ASSERT_EQ(encodeMessage(MessageType::ClientName, namePayload, out), 24u);
    Bytes expected{0, 0, 0, 2, 'a', 'b', 'c'};
    expected.resize(24, 0);
    EXPECT_EQ(Bytes(out, out + 24), expected);

    std::uint8_t request[kConnectPayloadSize] = {};
    request[36] = 0xAB;
    request[37] = 0x01;
    ASSERT_EQ(encodeMessage(MessageType::PeerRequest, request, out), 42u);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{0, 0, 0, 1}));
    EXPECT_EQ(out[40], 0xAB);
    EXPECT_EQ(out[41], 0x01);
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

}  // namespace
}  // namespace peerdir
