// End-to-end: the real server binary in a temporary working directory with a
// config.txt of its own, spoken to over loopback TCP, its log read from its
// standard output.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "e2e/server_process.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace peerdir {
namespace e2e {
namespace {

using testing_support::connectClient;
using testing_support::connectMessage;
using testing_support::countOf;
using testing_support::header;
using testing_support::join;
using testing_support::kWelcome;
using testing_support::nameMessage;
using testing_support::peerCloses;
using testing_support::receiveBytes;
using testing_support::sendAll;
using testing_support::startConnect;
using testing_support::staysQuiet;
using Bytes = std::vector<std::uint8_t>;

const std::string kVersionLines = "Using Winsock version 2.2\n(Newest version is 2.2)\n\n";
const std::string kPrompt = "Could not read config file.\nTry again? (y/n)\n:";
// A port nobody listens on right now.
std::uint16_t freePort() {
    Socket probe = socketCreateTcp();
    socketBind(probe, ipv4FromText("127.0.0.1"), 0);
    std::uint16_t port = socketLocalPort(probe);
    socketClose(probe);
    return port;
}

std::string configFor(std::uint16_t port) {
    return "peerdir " + std::to_string(port) + " 0 first second\n";
}

class ServerE2ETest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = makeTempDirectory();
        ASSERT_FALSE(dir_.empty());
    }

    void TearDown() override {
        stopServer(server_);
        for (Socket client : clients_) socketClose(client);
        removeDirectory(dir_);
    }

    void writeConfig(const std::string& content) { writeFile(dir_ + "/config.txt", content); }

    // Starts the server on a free port and waits until it has announced it.
    void startServing() {
        port_ = freePort();
        writeConfig(configFor(port_));
        ASSERT_TRUE(startServer(server_, dir_));
        ASSERT_TRUE(waitForLog(server_, "Port: " + std::to_string(port_) + "\n")) << server_.log;
        announcedAddressMustBeLoopback();
    }

    void announcedAddressMustBeLoopback() {
        const std::string label = "Server IP Address: ";
        auto at = server_.log.find(label);
        ASSERT_NE(at, std::string::npos) << server_.log;
        ASSERT_EQ(server_.log.compare(at + label.size(), 4, "127."), 0)
            << "the server must announce a loopback address; run the tests in a network "
               "namespace of their own\n"
            << server_.log;
    }

    std::string startUpLines() const {
        return kVersionLines + "Server IP Address: 127.0.0.1\nPort: " + std::to_string(port_) +
               "\n";
    }

    // Connects a client and takes its Welcome; the first poll makes the
    // server listen, so connecting is retried for a while.
    Socket connectAndGreet() {
        Socket client = kNoSocket;
        for (int attempt = 0; attempt < 200 && client == kNoSocket; ++attempt) {
            client = connectClient(port_);
            if (client == kNoSocket) sleepMillis(25);
        }
        EXPECT_NE(client, kNoSocket);
        if (client == kNoSocket) return kNoSocket;
        clients_.push_back(client);
        EXPECT_EQ(receiveBytes(client, 4), kWelcome);
        return client;
    }

    // Starts the server where config.txt cannot be read, answers the prompt
    // and expects it to end at once.
    void answerNoOnce(const std::string& answer) {
        ASSERT_TRUE(startServer(server_, dir_));
        ASSERT_TRUE(waitForLog(server_, kPrompt)) << server_.log;
        writeInput(server_, answer);
        ASSERT_TRUE(waitForExit(server_)) << server_.log;
        EXPECT_EQ(server_.exitStatus, 0);
        EXPECT_EQ(server_.log, kVersionLines + kPrompt);
    }

    // Waits for the whole log line that begins with label and returns the
    // rest of it; empty when it does not come.
    std::string lineAfter(const std::string& label) {
        if (!waitForLog(server_, label)) return "";
        std::size_t from = server_.log.find(label) + label.size();
        for (int i = 0; i < 2000 && server_.log.find('\n', from) == std::string::npos; ++i) {
            drainLog(server_);
            sleepMillis(5);
        }
        std::size_t end = server_.log.find('\n', from);
        return end == std::string::npos ? "" : server_.log.substr(from, end - from);
    }

    void disconnect(Socket client) {
        for (auto& c : clients_) {
            if (c == client) c = kNoSocket;
        }
        socketClose(client);
    }

    void stopAndExpectCleanExit(void (*stop)(ServerProcess&) = interrupt) {
        stop(server_);
        if (std::getenv("PEERDIR_E2E_REPEAT_STOP") != nullptr && !waitForExit(server_, 5000)) {
            // ThreadSanitizer queues a signal that arrives outside a blocking
            // call and runs the handler when the thread next passes one of its
            // interceptors; on rare runs of that leg the first request was
            // never acted on. That leg alone asks a second time.
            stop(server_);
        }
        ASSERT_TRUE(waitForExit(server_)) << server_.log;
        EXPECT_EQ(server_.exitStatus, 0) << server_.log;
    }

    std::string dir_;
    ServerProcess server_;
    std::uint16_t port_ = 0;
    std::vector<Socket> clients_;
};

TEST_F(ServerE2ETest, AnnouncesItselfAndStopsCleanlyOnInterrupt) {
    startServing();
    stopAndExpectCleanExit();
    EXPECT_EQ(server_.log, startUpLines());
}

TEST_F(ServerE2ETest, MissingConfigAnsweredNoPromptsOnceAndEnds) { answerNoOnce("Nope\n"); }

TEST_F(ServerE2ETest, MissingConfigAnsweredYesReadsTheFileAgain) {
    ASSERT_TRUE(startServer(server_, dir_));
    ASSERT_TRUE(waitForLog(server_, kPrompt)) << server_.log;
    port_ = freePort();
    writeConfig(configFor(port_));
    writeInput(server_, "yes\n");
    ASSERT_TRUE(waitForLog(server_, "Port: " + std::to_string(port_) + "\n")) << server_.log;
    connectAndGreet();
    stopAndExpectCleanExit();
    EXPECT_EQ(server_.log.rfind(kVersionLines + kPrompt + "Server IP Address: ", 0), 0u)
        << server_.log;
}

TEST_F(ServerE2ETest, YesAndNoOnOneLineAnswerTwoPrompts) {
    ASSERT_TRUE(startServer(server_, dir_));
    ASSERT_TRUE(waitForLog(server_, kPrompt)) << server_.log;
    writeInput(server_, "y n\n");
    ASSERT_TRUE(waitForExit(server_)) << server_.log;
    EXPECT_EQ(server_.exitStatus, 0);
    EXPECT_EQ(server_.log, kVersionLines + kPrompt + kPrompt);
}

TEST_F(ServerE2ETest, EndOfInputAtThePromptEndsTheServer) {
    ASSERT_TRUE(startServer(server_, dir_));
    ASSERT_TRUE(waitForLog(server_, kPrompt)) << server_.log;
    closeInput(server_);
    ASSERT_TRUE(waitForExit(server_)) << server_.log;
    EXPECT_EQ(server_.exitStatus, 1) << "a start that failed";
    EXPECT_EQ(countOf(server_.log, "Try again? (y/n)"), 1u) << server_.log;
    EXPECT_EQ(server_.log, kVersionLines + kPrompt +
                               "\nrunServer: No answer could be read from standard input. "
                               "Exiting.\n");
}

TEST_F(ServerE2ETest, PortInUseIsReportedAndEndsTheServer) {
    port_ = freePort();
    Socket holder = socketCreateTcp();
    ASSERT_EQ(socketBind(holder, ipv4FromText("127.0.0.1"), hostToNet16(port_)), 0);
    ASSERT_EQ(socketListen(holder, 1), 0);
    writeConfig(configFor(port_));
    ASSERT_TRUE(startServer(server_, dir_));
    ASSERT_TRUE(waitForExit(server_)) << server_.log;
    socketClose(holder);
    EXPECT_EQ(server_.exitStatus, 1) << "a start that failed";
    const std::string bindLine =
        "createListenSocket: Error in bind! Could not bind the listener socket. Error code was: ";
    ASSERT_EQ(server_.log.rfind(startUpLines() + bindLine, 0), 0u) << server_.log;
    std::string code = server_.log.substr(startUpLines().size() + bindLine.size());
    EXPECT_EQ(code.find('\n'), code.size() - 1) << "one line, then nothing more";
}

TEST_F(ServerE2ETest, MalformedPortIsReportedAndThePortTheSystemChoseIsAnnounced) {
    writeConfig("peerdir 99999 0 a b\n");
    ASSERT_TRUE(startServer(server_, dir_));
    std::string chosen = lineAfter("Port: 0\ncreateListenSocket: Listening on port ");
    ASSERT_FALSE(chosen.empty()) << server_.log;
    port_ = static_cast<std::uint16_t>(std::stoul(chosen));
    EXPECT_NE(port_, 0);
    EXPECT_NE(connectAndGreet(), kNoSocket);
    stopAndExpectCleanExit();
    EXPECT_EQ(server_.log.rfind(kVersionLines +
                                    "loadConfig: The port in config.txt is missing or is not a "
                                    "number from 0 to 65535; using port 0.\n",
                                0),
              0u)
        << server_.log;
}

TEST_F(ServerE2ETest, TwoClientsAreIntroducedToEachOther) {
    startServing();
    Socket alice = connectAndGreet();
    Socket bob = connectAndGreet();
    // Alice's own list reply shows her name is in before Bob registers.
    sendAll(alice, join(nameMessage(2, "alice"), header(4)));
    ASSERT_EQ(receiveBytes(alice, 24), nameMessage(2, "alice"));
    sendAll(bob, join(nameMessage(2, "bob"), header(4)));
    Bytes names = join(nameMessage(2, "alice"), nameMessage(2, "bob"));
    EXPECT_EQ(receiveBytes(bob, 48), names);

    sendAll(bob, connectMessage("alice", "127.0.0.1", 0x1F, 0x90));
    Bytes forwarded = connectMessage("alice", "127.0.0.1", 0x1F, 0x90);
    forwarded[3] = 1;  // arrives as PeerRequest
    EXPECT_EQ(receiveBytes(alice, 42), forwarded);

    sendAll(alice, connectMessage("carol", "127.0.0.2", 0, 1));
    EXPECT_EQ(receiveBytes(alice, 4), header(3));
    EXPECT_TRUE(staysQuiet(bob, 50));
    stopAndExpectCleanExit();
}

TEST_F(ServerE2ETest, NamesVanishWhenTheirClientDisconnects) {
    startServing();
    Socket alice = connectAndGreet();
    Socket bob = connectAndGreet();
    sendAll(alice, join(nameMessage(2, "alice"), header(4)));
    ASSERT_EQ(receiveBytes(alice, 24), nameMessage(2, "alice"));
    disconnect(alice);
    ASSERT_TRUE(waitForLog(server_, "ClientManager: Client disconnected. Thread terminating...\n"))
        << server_.log;
    sendAll(bob, join(header(4), connectMessage("alice", "127.0.0.1", 0, 1)));
    EXPECT_EQ(receiveBytes(bob, 4), header(3)) << "an empty list, then NameNotFound";
    stopAndExpectCleanExit();
}

TEST_F(ServerE2ETest, InterruptWithSeveralClientsEndsEachAndProbesEveryConnection) {
    startServing();
    Socket first = connectAndGreet();
    Socket second = connectAndGreet();
    Socket third = connectAndGreet();
    disconnect(third);
    ASSERT_TRUE(waitForLog(server_, "ClientManager: Client disconnected. Thread terminating...\n"))
        << server_.log;
    stopAndExpectCleanExit();
    EXPECT_TRUE(peerCloses(first));
    EXPECT_TRUE(peerCloses(second));
    const std::string& log = server_.log;
    EXPECT_EQ(countOf(log, "listenForConnections: Got a connection!\n"), 3u) << log;
    EXPECT_EQ(
        countOf(log,
                "ClientManager: globalExit event was signalled or had an error. Quitting...\n"),
        2u)
        << log;
    EXPECT_EQ(countOf(log, "WSAGetLastError returned: "), 3u) << log;
    EXPECT_EQ(countOf(log, "WARNING: Socket number "), 0u) << log;
    // The probes come last, one line each.
    auto probes = log.find("WSAGetLastError returned: ");
    ASSERT_NE(probes, std::string::npos);
    EXPECT_EQ(countOf(log.substr(probes), "\n"), 3u) << log;
}

TEST_F(ServerE2ETest, AStopRequestRightAtThePortAnnouncementIsNeverLost) {
    if (std::getenv("PEERDIR_SERVER_LAUNCHER") != nullptr) {
        GTEST_SKIP() << "the output pipe's room is counted in the native server's bytes";
    }
    port_ = freePort();
    writeConfig(configFor(port_));
    // The pipe has room for the start-up lines up to the address only: the
    // server is held in its write of the port line when the request comes.
    server_.outputRoom = (kVersionLines + "Server IP Address: 127.0.0.1\n").size();
    ASSERT_TRUE(startServer(server_, dir_));
    ASSERT_TRUE(waitUntilOutputFull(server_));
    interrupt(server_);
    ASSERT_TRUE(waitForExit(server_)) << server_.log;
    EXPECT_EQ(server_.exitStatus, 0) << server_.log;
    EXPECT_EQ(server_.log, startUpLines());
}

TEST_F(ServerE2ETest, TerminateStopsTheServerExactlyLikeInterrupt) {
    if (std::getenv("PEERDIR_SERVER_LAUNCHER") != nullptr) {
        GTEST_SKIP() << "Windows has no SIGTERM";
    }
    startServing();
    Socket client = connectAndGreet();
    stopAndExpectCleanExit(terminate);
    EXPECT_TRUE(peerCloses(client));
    EXPECT_EQ(server_.log, startUpLines() +
                               "listenForConnections: Got a connection!\n"
                               "ClientManager: globalExit event was signalled or had an error. "
                               "Quitting...\n"
                               "WSAGetLastError returned: " +
                               std::to_string(EBADF) + "\n");
}

TEST_F(ServerE2ETest, RestartsAtOnceOnAPortWhoseConnectionsAreInTimeWait) {
    startServing();
    Socket client = connectAndGreet();
    stopAndExpectCleanExit();
    // The server closed first, so its side of the connection waits out
    // TIME_WAIT on the port.
    EXPECT_TRUE(peerCloses(client));
    disconnect(client);
    stopServer(server_);
    server_ = ServerProcess{};
    ASSERT_TRUE(startServer(server_, dir_));
    ASSERT_TRUE(waitForLog(server_, "Port: " + std::to_string(port_) + "\n")) << server_.log;
    EXPECT_NE(connectAndGreet(), kNoSocket);
    stopAndExpectCleanExit();
    EXPECT_EQ(countOf(server_.log, "Error in bind"), 0u) << server_.log;
}

TEST_F(ServerE2ETest, FifoInPlaceOfTheConfigFileIsAnsweredByThePrompt) {
    ASSERT_EQ(mkfifo((dir_ + "/config.txt").c_str(), 0600), 0);
    answerNoOnce("n\n");
}

TEST_F(ServerE2ETest, ABurstOfSimultaneousConnectionsIsWelcomedWhole) {
    startServing();
    connectAndGreet();  // the server listens from now on
    // Wine starts threads slowly, so fewer there: still ten times a backlog
    // of 10.
    const std::size_t kBurst = std::getenv("PEERDIR_SERVER_LAUNCHER") != nullptr ? 100 : 300;
    std::vector<Socket> burst;
    for (std::size_t i = 0; i < kBurst; ++i) {
        Socket client = startConnect(port_);
        ASSERT_NE(client, kNoSocket);
        clients_.push_back(client);
        burst.push_back(client);
    }
    std::vector<std::size_t> got(kBurst, 0);
    std::size_t welcomed = 0;
    // A full backlog drops handshakes, and their retries take many seconds.
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(testing_support::kWaitMillis);
    while (welcomed < kBurst && std::chrono::steady_clock::now() < deadline) {
        for (std::size_t i = 0; i < kBurst; ++i) {
            std::uint8_t bytes[4];
            if (got[i] == 4) continue;
            int n = socketRecv(burst[i], bytes, 4 - got[i]);
            if (n > 0) got[i] += static_cast<std::size_t>(n);
            if (got[i] == 4) ++welcomed;
        }
        drainLog(server_);
        sleepMillis(1);
    }
    EXPECT_EQ(welcomed, kBurst);
    stopAndExpectCleanExit();
}

TEST_F(ServerE2ETest, ServesFarMoreConnectionsInItsLifeThanItHasRoomForThreadsOf) {
    // The address space is capped where keeping every ended client's thread
    // stack runs it out after about a hundred connections. Sanitizers need
    // huge reservations of their own, and Wine's loader too, so the cap is
    // set for the plain native server only.
    bool underLauncher = std::getenv("PEERDIR_SERVER_LAUNCHER") != nullptr;
    if (!underLauncher && !PEERDIR_E2E_SANITIZED) server_.addressSpaceLimitMiB = 1024;
    const int cycles = 400;
    startServing();
    for (int i = 0; i < cycles && !HasFailure(); ++i) {
        disconnect(connectAndGreet());
        if (i % 50 == 0) drainLog(server_);
    }
    stopAndExpectCleanExit();
    EXPECT_EQ(countOf(server_.log, "WSAGetLastError returned: "), static_cast<std::size_t>(cycles));
}

}  // namespace
}  // namespace e2e
}  // namespace peerdir
