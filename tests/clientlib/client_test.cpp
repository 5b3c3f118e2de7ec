// Client library: the bytes it writes and reads against a scripted server on
// loopback, and how it reports each way a server can let it down.
#include "clientlib/client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/test_support.h"

namespace peerdir {
namespace {

using testing_support::connectMessage;
using testing_support::header;
using testing_support::join;
using testing_support::kWaitMillis;
using testing_support::kWelcome;
using testing_support::nameMessage;
using testing_support::receiveBytes;
using testing_support::sendAll;
using Bytes = std::vector<std::uint8_t>;

Bytes peerRequest(const std::string& name, const std::string& address, std::uint8_t port0,
                  std::uint8_t port1) {
    Bytes bytes = connectMessage(name, address, port0, port1);
    bytes[3] = 1;
    return bytes;
}

// A listening socket on 127.0.0.1 stands in for the server; peer_ is its end
// of the one connection.
class ScriptedServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        listener_ = socketCreateTcp();
        ASSERT_EQ(socketBind(listener_, ipv4FromText("127.0.0.1"), 0), 0);
        ASSERT_EQ(socketListen(listener_, 1), 0);
        ASSERT_EQ(socketSetNonBlocking(listener_), 0);
        port_ = socketLocalPort(listener_);
    }

    void TearDown() override {
        if (client_.socket != kNoSocket) socketClose(client_.socket);
        if (peer_ != kNoSocket) socketClose(peer_);
        socketClose(listener_);
    }

    // Connects the library while the scripted server accepts and sends the
    // opening bytes; each case gets a fresh connection.
    void connectWith(const Bytes& opening, unsigned timeoutMillis = kWaitMillis) {
        if (client_.socket != kNoSocket) socketClose(client_.socket);
        if (peer_ != kNoSocket) socketClose(peer_);
        peer_ = kNoSocket;
        std::thread server([this, &opening] {
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (peer_ == kNoSocket && std::chrono::steady_clock::now() < deadline) {
                peer_ = socketAccept(listener_);
                if (peer_ == kNoSocket) sleepMillis(1);
            }
            if (peer_ == kNoSocket) return;
            socketSetNonBlocking(peer_);
            sendAll(peer_, opening);
        });
        client_ = connectToServer("127.0.0.1", port_, timeoutMillis);
        server.join();
    }

    Socket listener_ = kNoSocket;
    std::uint16_t port_ = 0;
    Socket peer_ = kNoSocket;
    ClientConnection client_;
};

TEST_F(ScriptedServerTest, WritesRequestsAndReadsMessagesWholeAcrossATimeOut) {
    connectWith(kWelcome);
    ASSERT_EQ(client_.error, ClientError::None) << client_.message;
    ASSERT_TRUE(registerName(client_, "alice"));
    ASSERT_TRUE(requestList(client_));
    ASSERT_TRUE(requestConnect(client_, "bob", "10.0.0.7", 8080));
    EXPECT_EQ(receiveBytes(peer_, 24 + 4 + 42),
              join(join(nameMessage(2, "alice"), header(4)),
                   connectMessage("bob", "10.0.0.7", 0x1F, 0x90)));

    // The rest of a message that has begun may come after a time-out.
    Bytes request = peerRequest("alice", "10.0.0.9", 0x1F, 0x91);
    sendAll(peer_, Bytes(request.begin(), request.begin() + 10));
    ServerMessage message;
    EXPECT_FALSE(readServerMessage(client_, 20, &message));
    EXPECT_EQ(client_.error, ClientError::TimedOut);
    sendAll(peer_, join(join(Bytes(request.begin() + 10, request.end()), nameMessage(2, "carol")),
                        header(3)));
    ASSERT_TRUE(readServerMessage(client_, kWaitMillis, &message)) << client_.message;
    EXPECT_EQ(message.type, MessageType::PeerRequest);
    EXPECT_EQ(message.name, "alice");
    EXPECT_EQ(message.address, "10.0.0.9");
    EXPECT_EQ(message.port, 8081);
    ASSERT_TRUE(readServerMessage(client_, kWaitMillis, &message)) << client_.message;
    EXPECT_EQ(message.type, MessageType::ClientName);
    EXPECT_EQ(message.name, "carol");
    ASSERT_TRUE(readServerMessage(client_, kWaitMillis, &message)) << client_.message;
    EXPECT_EQ(message.type, MessageType::NameNotFound);
}

TEST_F(ScriptedServerTest, ListNamesKeepsARequestThatArrivesAmongTheNames) {
    connectWith(join(join(kWelcome, nameMessage(2, "alice")),
                     join(peerRequest("alice", "10.0.0.9", 0, 80), nameMessage(2, ""))));
    std::vector<std::string> names;
    ASSERT_TRUE(listNames(client_, 200, &names)) << client_.message;
    EXPECT_EQ(names, (std::vector<std::string>{"alice", ""}));
    EXPECT_EQ(receiveBytes(peer_, 4), header(4));
    ServerMessage message;
    ASSERT_TRUE(readServerMessage(client_, 0, &message));
    EXPECT_EQ(message.type, MessageType::PeerRequest);
    EXPECT_EQ(message.port, 80);
}

TEST_F(ScriptedServerTest, NamesAndAddressesThatDoNotFitAreRefusedNotCut) {
    connectWith(kWelcome);
    EXPECT_FALSE(registerName(client_, std::string(20, 'n')));
    EXPECT_EQ(client_.error, ClientError::BadField);
    EXPECT_EQ(client_.message,
              "name \"nnnnnnnnnnnnnnnnnnnn\" is 20 characters long; at most 19 fit");
    EXPECT_FALSE(requestConnect(client_, "bob", std::string(16, '1'), 1));
    EXPECT_EQ(client_.error, ClientError::BadField);
    EXPECT_FALSE(registerName(client_, std::string("a\0b", 3)));
    EXPECT_EQ(client_.error, ClientError::BadField);
    // What fits goes out whole, and is the first thing the server sees.
    ASSERT_TRUE(registerName(client_, std::string(19, 'n')));
    EXPECT_EQ(receiveBytes(peer_, 24), nameMessage(2, std::string(19, 'n')));
}

TEST_F(ScriptedServerTest, ABrokenServerMessageIsReportedAsSuch) {
    struct Case {
        Bytes bytes;
        bool thenClose;
        ClientError error;
        std::string message;
    };
    Bytes nameWithoutEnd = header(2);
    nameWithoutEnd.insert(nameWithoutEnd.end(), 20, 'x');
    const Case cases[] = {
        {header(9), false, ClientError::Malformed,
         "the server sent a message of type 9, which a server never sends"},
        {nameWithoutEnd, false, ClientError::Malformed,
         "the server sent a text field with no end inside its width"},
        {join(header(2), {'a', 'b', 'c'}), true, ClientError::Closed,
         "the server closed the connection in the middle of a message"},
        {{}, true, ClientError::Closed, "the server closed the connection"},
    };
    for (const Case& c : cases) {
        connectWith(join(kWelcome, c.bytes));
        ASSERT_EQ(client_.error, ClientError::None) << client_.message;
        if (c.thenClose) {
            socketClose(peer_);
            peer_ = kNoSocket;
        }
        ServerMessage message;
        EXPECT_FALSE(readServerMessage(client_, kWaitMillis, &message));
        EXPECT_EQ(client_.error, c.error) << c.message;
        EXPECT_EQ(client_.message, c.message);
    }
}

TEST_F(ScriptedServerTest, AServerThatDoesNotGreetIsNoPeerdirServer) {
    connectWith(header(3));
    EXPECT_EQ(client_.error, ClientError::NoWelcome);
    EXPECT_EQ(client_.socket, kNoSocket);
    connectWith({}, 20);
    EXPECT_EQ(client_.error, ClientError::NoWelcome);
    EXPECT_EQ(client_.message, "no Welcome from 127.0.0.1:" + std::to_string(port_) +
                                   " (no whole message from the server within 20 ms); is it a "
                                   "peerdir server?");
}

}  // namespace
}  // namespace peerdir
