// End-to-end: peerdir-client against the real server, as the README walks a
// new user through it, and its answers to bad command lines.
//
// The client is PEERDIR_CLIENT from the environment, or the one this build
// made; PEERDIR_CLIENT_LAUNCHER, when set, starts it (wine, for the .exe).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "clientlib/client.h"
#include "e2e/server_process.h"
#include "platform/platform.h"

#ifndef PEERDIR_DEFAULT_CLIENT
#error "PEERDIR_DEFAULT_CLIENT must name the client binary"
#endif

namespace peerdir {
namespace e2e {
namespace {

using Args = std::vector<std::string>;

// Generous: under Wine the server may take a while to answer, and the
// answers the tests wait for all come well before this.
const std::string kQuiet = "3000";

std::string envOr(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0' ? value : fallback;
}

// A port nobody listens on right now.
std::uint16_t freePort() {
    Socket probe = socketCreateTcp();
    socketBind(probe, ipv4FromText("127.0.0.1"), 0);
    std::uint16_t port = socketLocalPort(probe);
    socketClose(probe);
    return port;
}

class ClientCliE2ETest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = makeTempDirectory();
        ASSERT_FALSE(dir_.empty());
    }

    void TearDown() override {
        stopServer(registered_);
        stopServer(server_);
        removeDirectory(dir_);
    }

    // Starts the server and takes the address it announces as the host, the
    // way the README tells a user to.
    void startServing() {
        std::uint16_t port = freePort();
        port_ = std::to_string(port);
        writeFile(dir_ + "/config.txt", "peerdir " + port_ + " 0 a b\n");
        ASSERT_TRUE(startServer(server_, dir_));
        ASSERT_TRUE(waitForLog(server_, "Port: " + port_ + "\n")) << server_.log;
        const std::string label = "Server IP Address: ";
        auto at = server_.log.find(label) + label.size();
        host_ = server_.log.substr(at, server_.log.find('\n', at) - at);
        ASSERT_EQ(host_.rfind("127.", 0), 0u) << "run the tests in a network namespace";
        // The server listens from its first poll on, just after the
        // announcement; a client started before that would be refused.
        ClientConnection probe;
        for (int attempt = 0; attempt < 200 && probe.socket == kNoSocket; ++attempt) {
            probe = connectToServer(host_, port);
            if (probe.socket == kNoSocket) sleepMillis(25);
        }
        ASSERT_NE(probe.socket, kNoSocket) << probe.message;
        closeConnection(probe);
    }

    void stopServing() {
        interrupt(server_);
        if (std::getenv("PEERDIR_E2E_REPEAT_STOP") != nullptr && !waitForExit(server_, 5000)) {
            interrupt(server_);  // see ServerE2ETest::stopAndExpectCleanExit
        }
        ASSERT_TRUE(waitForExit(server_)) << server_.log;
    }

    // The command, aimed at the server the way the README shows.
    Args toServer(const Args& command) const {
        Args args{"--quiet", kQuiet, host_, port_};
        args.insert(args.end(), command.begin(), command.end());
        return args;
    }

    void startClient(ServerProcess& client, const Args& args) {
        ASSERT_TRUE(startProgram(client, dir_, envOr("PEERDIR_CLIENT", PEERDIR_DEFAULT_CLIENT),
                                 envOr("PEERDIR_CLIENT_LAUNCHER", ""), args, true));
    }

    // Runs the client to its end; its log holds standard error as well.
    ServerProcess runClient(const Args& args) {
        ServerProcess client;
        startClient(client, args);
        EXPECT_TRUE(waitForExit(client)) << client.log;
        stopServer(client);
        return client;
    }

    std::string dir_;
    std::string host_ = "127.0.0.1";
    std::string port_ = "6420";
    ServerProcess server_;
    ServerProcess registered_;
};

TEST_F(ClientCliE2ETest, TheReadmeWalkThrough) {
    startServing();
    startClient(registered_, toServer({"register", "alice"}));
    ASSERT_TRUE(waitForLog(registered_, "registered: alice\n")) << registered_.log;

    ServerProcess list = runClient(toServer({"list"}));
    EXPECT_EQ(list.exitStatus, 0);
    EXPECT_EQ(list.log, "alice\n");

    ServerProcess forwarded = runClient(toServer({"connect", "alice", "127.0.0.1", "7000"}));
    EXPECT_EQ(forwarded.exitStatus, 0);
    EXPECT_EQ(forwarded.log, "request forwarded to alice\n");
    const std::string request = "request: alice wants you at 127.0.0.1:7000\n";
    EXPECT_TRUE(waitForLog(registered_, request)) << registered_.log;

    ServerProcess unknown = runClient(toServer({"connect", "bob", "127.0.0.1", "7000"}));
    EXPECT_EQ(unknown.exitStatus, 1);
    EXPECT_EQ(unknown.log, "no client is registered as bob\n");

    interrupt(registered_);
    ASSERT_TRUE(waitForExit(registered_)) << registered_.log;
    EXPECT_EQ(registered_.exitStatus, 0);
    EXPECT_EQ(registered_.log, "registered: alice\n" + request);

    // Every client said goodbye the way the server expects: no resets.
    const std::string got = "listenForConnections: Got a connection!\n";
    const std::string left = "ClientManager: Client disconnected. Thread terminating...\n";
    EXPECT_TRUE(waitForLog(server_, got + got + left + got + left + got + left + left))
        << server_.log;
}

// Names come from other clients too, so control bytes are shown escaped:
// they could otherwise rewrite the terminal or forge a line.
TEST_F(ClientCliE2ETest, ARegistrationShowsNamesSafelyAndEndsWhenTheServerGoes) {
    startServing();
    startClient(registered_, toServer({"register", "alice", "eve\x1b[2J\\"}));
    const std::string confirmed = "registered: alice\nregistered: eve\\x1b[2J\\\\\n";
    ASSERT_TRUE(waitForLog(registered_, confirmed)) << registered_.log;
    stopServing();
    ASSERT_TRUE(waitForExit(registered_)) << registered_.log;
    EXPECT_EQ(registered_.exitStatus, 3);
    EXPECT_EQ(registered_.log, confirmed + "peerdir-client: the server closed the connection\n");

    ServerProcess refused = runClient(toServer({"list"}));
    EXPECT_EQ(refused.exitStatus, 3);
    EXPECT_EQ(refused.log, "peerdir-client: connection refused by " + host_ + ":" + port_ +
                               " (is the server running?)\n");
}

TEST_F(ClientCliE2ETest, EachBadArgumentIsOneLineAndStatusTwo) {
    struct Case {
        Args args;
        std::string line;
    };
    const Case cases[] = {
        {{"localhost", "70000", "list"},
         "bad server port \"70000\": give a number from 1 to 65535"},
        {{"localhost", "6420", "register", "bob", "a-name-of-twenty-chr"},
         "name \"a-name-of-twenty-chr\" is 20 characters long; at most 19 fit"},
        {{"localhost", "6420", "connect", "alice", "192.168.100.1001", "7000"},
         "address \"192.168.100.1001\" is 16 characters long; at most 15 fit"},
        {{"localhost", "6420", "connect", "alice", "127.0.0.1", "http"},
         "bad port to pass on \"http\": give a number from 1 to 65535"},
        {{"localhost", "6420", "dance"}, "unknown command \"dance\"; try --help"},
        {{"localhost", "6420", "list", "--quiet", "soon"},
         "bad value \"soon\" for --quiet: give milliseconds from 1 to 600000"},
    };
    for (const Case& c : cases) {
        ServerProcess client = runClient(c.args);
        EXPECT_EQ(client.exitStatus, 2) << c.line;
        EXPECT_EQ(client.log, "peerdir-client: " + c.line + "\n");
    }
    ServerProcess version = runClient({"--version"});
    EXPECT_EQ(version.exitStatus, 0);
    EXPECT_EQ(version.log, "peerdir-client " PEERDIR_VERSION "\n");
}

}  // namespace
}  // namespace e2e
}  // namespace peerdir
