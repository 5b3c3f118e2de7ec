// End-to-end: peerdir-client against the real server, as the README walks a
// new user through it, and its answers to bad command lines.
//
// The client is PEERDIR_CLIENT from the environment, or the one this build
// made; PEERDIR_CLIENT_LAUNCHER, when set, starts it (wine, for the .exe).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "kit/openssl_tools.h"
#include "kit/process.h"
#include "kit/server.h"
#include "platform/platform.h"

#ifndef PEERDIR_DEFAULT_SERVER
#error "PEERDIR_DEFAULT_SERVER must name the server binary"
#endif
#ifndef PEERDIR_DEFAULT_CLIENT
#error "PEERDIR_DEFAULT_CLIENT must name the client binary"
#endif
#ifndef PEERDIR_CLIENT_TLS
#error "PEERDIR_CLIENT_TLS must say whether the native client has TLS"
#endif

namespace peerdir {
namespace e2e {
namespace {

using namespace kit;
using Args = std::vector<std::string>;

// Generous: under Wine the server may take a while to answer, and the
// answers the tests wait for all come well before this.
const std::string kQuiet = "3000";

class ClientCliE2ETest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(dir_.empty()); }

    void TearDown() override {
        stopProgram(registered_);
        stopProgram(server_);
        removeScratchDirectory(dir_);
    }

    // Starts the server and takes the address it announces as the host, the
    // way the README tells a user to.
    void startServing() {
        writeServerConfig(dir_);
        ASSERT_TRUE(startProgram(server_, dir_,
                                 commandFromEnvironment("PEERDIR_SERVER", "PEERDIR_SERVER_LAUNCHER",
                                                        PEERDIR_DEFAULT_SERVER),
                                 OutputTo::Pipe));
        std::uint16_t port = listeningPort(server_);
        ASSERT_NE(port, 0) << server_.log;
        port_ = std::to_string(port);
        host_ = announcedAddress(server_, 0);
        ASSERT_EQ(host_.rfind("127.", 0), 0u) << "run the tests in a network namespace";
        // A client started before the server listens would be refused.
        ASSERT_TRUE(awaitWelcome(server_, host_, port)) << server_.log;
    }

    void stopServing() { ASSERT_TRUE(stopAndWait(server_, interrupt)) << server_.log; }

    // The command, aimed at the server the way the README shows.
    Args toServer(const Args& command) const {
        Args args{"--quiet", kQuiet, host_, port_};
        args.insert(args.end(), command.begin(), command.end());
        return args;
    }

    void startClient(ChildProcess& client, const Args& args) {
        Args command = commandFromEnvironment("PEERDIR_CLIENT", "PEERDIR_CLIENT_LAUNCHER",
                                              PEERDIR_DEFAULT_CLIENT);
        command.insert(command.end(), args.begin(), args.end());
        ASSERT_TRUE(startProgram(client, dir_, command, OutputTo::PipeWithErrors));
    }

    // Runs the client to its end; its log holds standard error as well.
    ChildProcess runClient(const Args& args) {
        ChildProcess client;
        startClient(client, args);
        EXPECT_TRUE(waitForExit(client)) << client.log;
        stopProgram(client);
        return client;
    }

    const std::string dir_ = makeScratchDirectory("peerdir-cli-e2e");
    std::string host_ = "127.0.0.1";
    std::string port_ = "6420";
    ChildProcess server_;
    ChildProcess registered_;
};

TEST_F(ClientCliE2ETest, TheReadmeWalkThrough) {
    startServing();
    startClient(registered_, toServer({"register", "alice"}));
    ASSERT_TRUE(waitForLog(registered_, "registered: alice\n")) << registered_.log;

    ChildProcess list = runClient(toServer({"list"}));
    EXPECT_EQ(list.exitStatus, 0);
    EXPECT_EQ(list.log, "alice\n");

    ChildProcess forwarded = runClient(toServer({"connect", "alice", "127.0.0.1", "7000"}));
    EXPECT_EQ(forwarded.exitStatus, 0);
    EXPECT_EQ(forwarded.log, "request forwarded to alice\n");
    const std::string request = "request: alice wants you at 127.0.0.1:7000\n";
    EXPECT_TRUE(waitForLog(registered_, request)) << registered_.log;

    ChildProcess unknown = runClient(toServer({"connect", "bob", "127.0.0.1", "7000"}));
    EXPECT_EQ(unknown.exitStatus, 1);
    EXPECT_EQ(unknown.log, "no client is registered as bob\n");

    ASSERT_TRUE(stopAndWait(registered_, interrupt)) << registered_.log;
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

    ChildProcess refused = runClient(toServer({"list"}));
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
        ChildProcess client = runClient(c.args);
        EXPECT_EQ(client.exitStatus, 2) << c.line;
        EXPECT_EQ(client.log, "peerdir-client: " + c.line + "\n");
    }
    ChildProcess version = runClient({"--version"});
    EXPECT_EQ(version.exitStatus, 0);
    EXPECT_EQ(version.log, "peerdir-client " PEERDIR_VERSION "\n");
}

// The Windows client, under a launcher, has no TLS this round; nor has a
// native one built without OpenSSL.
bool clientHasTls() {
    return PEERDIR_CLIENT_TLS && std::getenv("PEERDIR_CLIENT_LAUNCHER") == nullptr;
}

TEST_F(ClientCliE2ETest, MisplacedOrUnusableTlsOptionsAreABadCommandLine) {
    if (clientHasTls()) {
        ChildProcess loose = runClient({"--ca", "ca.pem", "localhost", "6420", "list"});
        EXPECT_EQ(loose.exitStatus, 2);
        EXPECT_EQ(loose.log,
                  "peerdir-client: --ca, --cert, --key and --no-host-check go with --tls\n");
        ChildProcess missing =
            runClient({"--tls", "--ca", "missing.pem", "localhost", "1", "list"});
        EXPECT_EQ(missing.exitStatus, 2);
        EXPECT_EQ(missing.log,
                  "peerdir-client: cannot load the CA file \"missing.pem\": No such "
                  "file or directory\n");
        return;
    }
    for (const Args& args : {Args{"--tls", "localhost", "6420", "list"},
                             Args{"localhost", "6420", "--no-host-check", "list"}}) {
        ChildProcess client = runClient(args);
        EXPECT_EQ(client.exitStatus, 2);
        EXPECT_EQ(client.log, "peerdir-client: this build has no TLS.\n");
    }
}

// Against openssl s_server with a certificate from the test's own CA: the
// system's trust store, the default, refuses it, and --ca accepts it.
TEST_F(ClientCliE2ETest, TlsTrustsTheSystemStoreUnlessGivenACa) {
    if (!clientHasTls()) GTEST_SKIP() << "this client has no TLS";
    std::string why;
    ASSERT_TRUE(makeCertificate(dir_, CertificateRequest{"ca", "", ""}, &why)) << why;
    ASSERT_TRUE(makeCertificate(dir_, CertificateRequest{"server", "ca", "IP:127.0.0.1"}, &why))
        << why;
    std::string port = std::to_string(startOpensslServer(server_, dir_, "server", {}));
    ChildProcess refused = runClient({"--tls", "--quiet", "300", "127.0.0.1", port, "list"});
    EXPECT_EQ(refused.exitStatus, 3);
    EXPECT_EQ(refused.log, "peerdir-client: TLS handshake with 127.0.0.1:" + port +
                               " failed: certificate verify failed (unable to get local issuer "
                               "certificate)\n");

    stopProgram(server_);
    server_ = ChildProcess{};
    port = std::to_string(startOpensslServer(server_, dir_, "server", {}));
    ChildProcess trusted =
        runClient({"--tls", "--ca", "ca.pem", "--quiet", "300", "127.0.0.1", port, "list"});
    EXPECT_EQ(trusted.exitStatus, 0);
    EXPECT_EQ(trusted.log, "");
}

}  // namespace
}  // namespace e2e
}  // namespace peerdir
