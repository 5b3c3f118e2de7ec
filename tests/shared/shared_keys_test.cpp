// The shared registry's keys: any name fits whole, no name reaches into
// another's keys, and a forwarded request round-trips byte for byte.
#include "shared/shared_keys.h"

#include <gtest/gtest.h>

#include <string>

namespace peerdir {
namespace {

TEST(SharedKeys, AnyNameRoundTripsAndStaysUnderItsOwnPrefix) {
    for (const std::string name : {"", "alice", "a/b", "names/x", "\xff\x01 tab\there"}) {
        const std::string key = registrationKey("p", name, "00aa", 7);
        EXPECT_EQ(key.rfind(namePrefix("p", name), 0), 0u) << key;
        std::string back;
        ASSERT_TRUE(nameOfRegistration("p", key, &back)) << key;
        EXPECT_EQ(back, name);
    }
    // "a" is a prefix of "ab", yet neither name's keys fall under the other's.
    EXPECT_NE(registrationKey("p", "ab", "s", 1).rfind(namePrefix("p", "a"), 0), 0u);
    std::string name;
    EXPECT_FALSE(nameOfRegistration("p", mailboxKey("p", 5, "s", 1), &name));
}

TEST(SharedKeys, AForwardedRequestKeepsItsConnectionAndEveryPayloadByte) {
    std::uint8_t payload[kConnectPayloadSize];
    for (std::size_t i = 0; i < sizeof payload; ++i)
        payload[i] = static_cast<std::uint8_t>(255 - i);
    ConnectionId connection = 0;
    std::uint8_t back[kConnectPayloadSize] = {};
    ASSERT_TRUE(
        decodeMailboxValue(encodeMailboxValue(0x0102030405060708u, payload), &connection, back));
    EXPECT_EQ(connection, 0x0102030405060708u);
    EXPECT_EQ(std::string(back, back + sizeof back),
              std::string(payload, payload + sizeof payload));
    EXPECT_FALSE(decodeMailboxValue("short", &connection, back));
    EXPECT_EQ(leaseText(0x694da2574e9ab007), "694da2574e9ab007");
    EXPECT_EQ(leaseText(0x1f), "1f");
}

}  // namespace
}  // namespace peerdir
