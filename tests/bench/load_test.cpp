// The benchmark talks only to loopback: a server that announces any other
// address is refused before a single connection is tried. Replies are
// followed message by message however the bytes are cut, or every count
// after the first cut would be wrong.
#include "bench/load.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/message.h"

namespace peerdir {
namespace bench {
namespace {

TEST(BenchLoad, AServerAnnouncingANonLoopbackAddressIsRefusedUntouched) {
    // A stand-in server that only announces an address from a range
    // reserved for documentation, then waits.
    ServerCommand how;
    how.command = {"sh", "-c",
                   "echo 'Server IP Address: 192.0.2.1'; echo 'Port: 1'; exec sleep 20"};
    how.startMillis = 5000;
    ServerUnderTest server;
    std::string why;
    bool started = startServer(how, &server, &why);
    if (!started && why.rfind("cannot start", 0) == 0) GTEST_SKIP() << "no sh here: " << why;
    EXPECT_FALSE(started);
    EXPECT_NE(why.find("192.0.2.1, not a loopback address"), std::string::npos) << why;
    EXPECT_FALSE(kit::isRunning(server.process)) << "the stand-in was left running";
}

std::vector<std::uint8_t> nameMessage(const std::string& text) {
    NamePayload name;
    writeTextField(text, name.name, kNameFieldSize);
    std::uint8_t payload[kNamePayloadSize];
    encodeNamePayload(name, payload);
    std::vector<std::uint8_t> wire;
    appendMessage(wire, MessageType::ClientName, payload);
    return wire;
}

TEST(BenchLoad, RepliesAreTalliedWholeHoweverTheBytesAreCut) {
    std::vector<std::uint8_t> wire;
    for (const char* name : {"m1-0", "target", "m1-1", "m", ""}) {
        std::vector<std::uint8_t> one = nameMessage(name);
        wire.insert(wire.end(), one.begin(), one.end());
    }
    appendMessage(wire, MessageType::NameNotFound);
    for (std::size_t cut = 1; cut <= wire.size(); ++cut) {
        ReplyTally tally;
        tally.stem = "m1-";
        for (std::size_t at = 0; at < wire.size(); at += cut) {
            tallyReplies(tally, wire.data() + at, std::min(cut, wire.size() - at));
        }
        EXPECT_EQ(tally.names, 5u) << "pieces of " << cut;
        EXPECT_EQ(tally.matching, 2u) << "pieces of " << cut;
        EXPECT_EQ(tally.notFound, 1u) << "pieces of " << cut;
        EXPECT_FALSE(tally.lost);
        EXPECT_TRUE(tally.pending.empty());
    }
}

TEST(BenchLoad, AReplyTheTallyCannotFollowStopsItWhereItCame) {
    std::vector<std::uint8_t> wire = nameMessage("m1-0");
    appendMessage(wire, MessageType::Welcome);
    std::vector<std::uint8_t> after = nameMessage("m1-1");
    wire.insert(wire.end(), after.begin(), after.end());
    ReplyTally tally;
    tally.stem = "m1-";
    tallyReplies(tally, wire.data(), wire.size());
    EXPECT_TRUE(tally.lost);
    EXPECT_EQ(tally.names, 1u);
}

}  // namespace
}  // namespace bench
}  // namespace peerdir
