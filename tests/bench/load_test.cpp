// The benchmark talks only to loopback: a server that announces any other
// address is refused before a single connection is tried. Replies are
// followed message by message however the bytes are cut, or every count
// after the first cut would be wrong.
#include "bench/load.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/message.h"
#include "support/test_support.h"

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

// A stand-in server for one list: it welcomes one client, takes its
// ListRequest, sends first, waits gapMillis and sends rest, then closes
// once the client has.
struct ListStandIn {
    Socket listener = kNoSocket;
    std::vector<std::uint8_t> first;
    std::vector<std::uint8_t> rest;
    unsigned gapMillis = 0;
    bool served = false;
};

void serveOneList(void* raw) {
    auto& standIn = *static_cast<ListStandIn*>(raw);
    if (socketWaitReadable(standIn.listener, testing_support::kWaitMillis) <= 0) return;
    Socket client = socketAccept(standIn.listener);
    if (client == kNoSocket) return;
    socketSetNonBlocking(client);
    testing_support::sendAll(client, testing_support::kWelcome);
    if (testing_support::receiveBytes(client, kHeaderSize).size() == kHeaderSize) {
        testing_support::sendAll(client, standIn.first);
        sleepMillis(standIn.gapMillis);
        testing_support::sendAll(client, standIn.rest);
        standIn.served = testing_support::peerCloses(client);
    }
    socketClose(client);
}

std::vector<std::uint8_t> namesMessages(const std::vector<std::string>& names) {
    std::vector<std::uint8_t> wire;
    for (const std::string& name : names) {
        std::vector<std::uint8_t> one = nameMessage(name);
        wire.insert(wire.end(), one.begin(), one.end());
    }
    return wire;
}

ListReply listFromStandIn(unsigned gapMillis, std::size_t expected, unsigned quietMillis) {
    ListStandIn standIn;
    standIn.first = namesMessages({"m0-0", "x", "m0-1"});
    standIn.rest = namesMessages({"m0-2", "y"});
    standIn.gapMillis = gapMillis;
    standIn.listener = socketCreateTcp();
    ServerUnderTest server;
    server.addressText = "127.0.0.1";
    EXPECT_EQ(socketBind(standIn.listener, ipv4FromText("127.0.0.1"), 0), 0);
    EXPECT_EQ(socketListen(standIn.listener, 1), 0);
    server.port = socketLocalPort(standIn.listener);
    ThreadHandle thread = threadStart(serveOneList, &standIn);
    ListReply reply = listOnce(server, "m0-", expected, quietMillis);
    testing_support::joinOrAbort(thread, "the stand-in server");
    socketClose(standIn.listener);
    EXPECT_TRUE(standIn.served) << "the list's connection was not closed";
    return reply;
}

TEST(BenchLoad, AListEndsAtTheNamesExpectedOrOnceItsReplyIsQuiet) {
    // A pause in the reply shorter than the quiet time: every name counts.
    ListReply whole = listFromStandIn(20, 100, 2000);
    EXPECT_TRUE(whole.asked);
    EXPECT_EQ(whole.names, 5u);
    EXPECT_EQ(whole.matching, 3u);
    EXPECT_GT(whole.millis, 0);

    // Enough names with the stem have come: the rest is not waited for.
    ListReply enough = listFromStandIn(1000, 2, 5000);
    EXPECT_EQ(enough.names, 3u);
    EXPECT_EQ(enough.matching, 2u);

    // Quiet for longer than the quiet time: the reply counts as ended.
    ListReply cut = listFromStandIn(1000, 100, 100);
    EXPECT_EQ(cut.names, 3u);
    EXPECT_EQ(cut.matching, 2u);
}

}  // namespace
}  // namespace bench
}  // namespace peerdir
