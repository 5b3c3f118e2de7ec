// The metrics endpoint and systemd's notifications, end to end: the real
// server over loopback, read with an HTTP client, checked by promtool and
// scraped by a real Prometheus server; the notifications read from a
// datagram socket the test owns.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "clientlib/client.h"
#include "kit/http_get.h"
#include "kit/process.h"
#include "kit/server.h"
#include "support/test_support.h"

namespace peerdir {
namespace {

constexpr unsigned kWaitMillis = testing_support::kWaitMillis;
// Below the ephemeral range and apart from the etcd tests' ports; the test
// runs in a network namespace of its own.
constexpr std::uint16_t kPrometheusPort = 23780;

bool haveProgram(const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

// A tool the test needs is part of the environment the run promises; only
// outside CI is its absence a skip.
#define REQUIRE_PROGRAM(name)                                                        \
    do {                                                                             \
        if (!haveProgram(name)) {                                                    \
            if (std::getenv("CI") != nullptr) FAIL() << name << " is not installed"; \
            GTEST_SKIP() << name                                                     \
                         << " is not installed (tools/ensure-packages.sh "           \
                            "shared-registry)";                                      \
        }                                                                            \
    } while (0)

class MetricsTest : public ::testing::Test {
  protected:
    void TearDown() override {
        for (ClientConnection& c : clients_) closeConnection(c);
        if (server_.pid > 0 && isRunning(server_)) {
            EXPECT_TRUE(kit::stopAndWait(server_, kit::interrupt)) << server_.log;
            EXPECT_EQ(server_.exitStatus, 0) << server_.log;
        }
        kit::stopProgram(server_);
        kit::stopProgram(prometheus_);
        if (!dir_.empty()) kit::removeScratchDirectory(dir_);
    }

    // Starts the server with --metrics on a port the system picks and
    // waits until both ports answer.
    void startServer(std::vector<std::string> options) {
        dir_ = kit::makeScratchDirectory("peerdir-metrics");
        ASSERT_TRUE(kit::writeServerConfig(dir_));
        std::vector<std::string> command = kit::commandFromEnvironment(
            "PEERDIR_SERVER", "PEERDIR_SERVER_LAUNCHER", PEERDIR_DEFAULT_SERVER);
        command.insert(command.end(), {"--listen", "127.0.0.1"});
        command.insert(command.end(), options.begin(), options.end());
        ASSERT_TRUE(kit::startProgram(server_, dir_, command, kit::OutputTo::Pipe));
        port_ = kit::listeningPort(server_);
        ASSERT_NE(port_, 0) << server_.log;
        ASSERT_TRUE(kit::awaitWelcome(server_, "127.0.0.1", port_)) << server_.log;
    }

    void startWithMetrics(std::vector<std::string> options = {}) {
        options.insert(options.end(), {"--metrics", "127.0.0.1:0"});
        startServer(options);
        metricsPort_ = kit::metricsPort(server_);
        ASSERT_NE(metricsPort_, 0) << server_.log;
    }

    kit::HttpAnswer get(const std::string& path) {
        return kit::httpGet("127.0.0.1", metricsPort_, path);
    }

    std::string scrape() {
        kit::HttpAnswer answer = get("/metrics");
        EXPECT_EQ(answer.status, 200) << answer.problem;
        return answer.body;
    }

    ClientConnection& connect() {
        clients_.push_back(connectToServer("127.0.0.1", port_));
        EXPECT_EQ(clients_.back().error, ClientError::None) << clients_.back().message;
        return clients_.back();
    }

    std::string dir_;
    kit::ChildProcess server_;
    kit::ChildProcess prometheus_;
    std::uint16_t port_ = 0;
    std::uint16_t metricsPort_ = 0;
    std::deque<ClientConnection> clients_;
};

// What the test does below, series by series.
const std::map<std::string, double> kExpectedMoves = {
    {"peerdir_connections_accepted_total", 2},
    {"peerdir_requests_total{kind=\"registration\"}", 2},
    {"peerdir_requests_total{kind=\"connection\"}", 3},
    {"peerdir_connection_requests_total{outcome=\"forwarded\"}", 1},
    {"peerdir_connection_requests_total{outcome=\"not_found\"}", 1},
    {"peerdir_connection_requests_total{outcome=\"dropped\"}", 1},
    {"peerdir_names_ignored_total", 1},
    {"peerdir_clients_ended_total{cause=\"left\"}", 1},
    {"peerdir_clients_ended_total{cause=\"error\"}", 0},
    {"peerdir_clients_ended_total{cause=\"stalled\"}", 0},
    {"peerdir_connections_refused_total{cause=\"client_limit\"}", 0},
};

// Lists until alice alone is listed: on a loaded machine a reply may come
// later than the quiet time, and alice's registration is handled on her
// own thread. Counts every list asked for.
bool listsAliceAlone(ClientConnection& c, int* lists) {
    return testing_support::waitUntil([&] {
        std::vector<std::string> names;
        ++*lists;
        return listNames(c, 200, &names) && names == std::vector<std::string>{"alice"};
    });
}

TEST_F(MetricsTest, EachSeriesMovesByWhatClientsDidAndPromtoolFindsNothingToFix) {
    REQUIRE_PROGRAM("promtool");
    startWithMetrics({"--max-names", "1"});
    const std::string before = scrape();

    ClientConnection& alice = connect();
    ASSERT_TRUE(registerName(alice, "alice"));
    ASSERT_TRUE(registerName(alice, "alice2"));  // beyond her limit of one
    ClientConnection& bob = connect();
    int lists = 0;
    ASSERT_TRUE(listsAliceAlone(bob, &lists));
    ASSERT_TRUE(requestConnect(bob, "alice", "10.0.0.1", 7000));
    ServerMessage heard;
    ASSERT_TRUE(readServerMessage(alice, kWaitMillis, &heard)) << alice.message;
    ASSERT_EQ(heard.type, MessageType::PeerRequest);
    ASSERT_TRUE(requestConnect(bob, "nobody", "10.0.0.1", 7000));
    ASSERT_TRUE(readServerMessage(bob, kWaitMillis, &heard)) << bob.message;
    ASSERT_EQ(heard.type, MessageType::NameNotFound);
    // A name field without its NUL: the request is dropped unanswered.
    testing_support::sendAll(
        bob.socket, testing_support::connectMessage(std::string(20, 'x'), "1.2.3.4", 0, 1));
    // One client's requests are handled in order: once this list is back,
    // so is the request before it.
    ASSERT_TRUE(listsAliceAlone(bob, &lists));

    const std::string during = scrape();
    EXPECT_EQ(kit::sampleValue(during, "peerdir_clients"), 2) << during;
    EXPECT_EQ(kit::sampleValue(during, "peerdir_names"), 1) << during;
    closeConnection(alice);
    ASSERT_TRUE(testing_support::waitUntil([&] {
        return kit::sampleValue(scrape(), "peerdir_clients_ended_total{cause=\"left\"}") ==
               kit::sampleValue(before, "peerdir_clients_ended_total{cause=\"left\"}") + 1;
    }));
    const std::string after = scrape();
    const std::string listed = "peerdir_requests_total{kind=\"list\"}";
    EXPECT_EQ(kit::sampleValue(after, listed) - kit::sampleValue(before, listed), lists);
    for (const auto& [series, move] : kExpectedMoves) {
        EXPECT_EQ(kit::sampleValue(after, series) - kit::sampleValue(before, series), move)
            << series << "\n"
            << after;
    }
    EXPECT_EQ(kit::sampleValue(after, "peerdir_clients"), 1) << after;
    EXPECT_EQ(kit::sampleValue(after, "peerdir_names"), 0) << after;
    EXPECT_EQ(kit::sampleValue(after, "peerdir_build_info{version=\"" PEERDIR_VERSION "\"}"), 1);
    EXPECT_GT(kit::sampleValue(after, "process_open_fds"), 3) << after;
    EXPECT_GT(kit::sampleValue(after, "process_start_time_seconds"), 1.6e9) << after;

    const std::string file = dir_ + "/scrape.txt";
    ASSERT_TRUE(kit::writeFile(file, after));
    const std::string lint = dir_ + "/promtool.txt";
    EXPECT_EQ(std::system(("promtool check metrics < " + file + " > " + lint + " 2>&1").c_str()),
              0);
    std::ifstream complaints(lint);
    std::string said((std::istreambuf_iterator<char>(complaints)), {});
    EXPECT_EQ(said, "") << "promtool:\n" << said;
}

// The address is one no other connection of the test comes from, so the
// start's own connection cannot hold its place.
TEST_F(MetricsTest, AConnectionRefusedAtTheAddressLimitIsCountedByItsCause) {
    startWithMetrics({"--max-clients-per-address", "1"});
    const std::string series = "peerdir_connections_refused_total{cause=\"address_limit\"}";
    EXPECT_EQ(kit::sampleValue(scrape(), series), 0);
    using namespace testing_support;
    Socket held = connectClientFrom("127.0.0.3", port_);
    EXPECT_EQ(receiveBytes(held, 4), kWelcome);
    Socket refused = connectClientFrom("127.0.0.3", port_);
    EXPECT_TRUE(peerCloses(refused));
    const std::string after = scrape();
    EXPECT_EQ(kit::sampleValue(after, series), 1) << after;
    EXPECT_EQ(kit::sampleValue(after, "peerdir_connections_refused_total{cause=\"client_limit\"}"),
              0)
        << after;
    socketClose(refused);
    socketClose(held);
}

TEST_F(MetricsTest, OnlyTheThreePathsAnswerAndAnOversizedRequestIsRefused) {
    startWithMetrics();
    kit::HttpAnswer live = get("/livez");
    EXPECT_EQ(live.status, 200);
    EXPECT_EQ(live.body, "alive\n");
    kit::HttpAnswer ready = get("/readyz");
    EXPECT_EQ(ready.status, 200);
    EXPECT_EQ(ready.body, "ready\n");
    EXPECT_EQ(get("/").status, 404);
    EXPECT_EQ(get("/metrics/more").status, 404);
    kit::HttpAnswer huge = get("/metrics?" + std::string(20000, 'a'));
    EXPECT_TRUE(huge.status == 414 || huge.status == 400 || huge.status == 0) << huge.status;
    // The endpoint still serves after it.
    EXPECT_EQ(get("/livez").status, 200);
}

// A port held by another program ends the start with one line and status
// 1, before the clients' port is served. The holder allows port sharing
// itself, so a server that did too would bind beside it and start.
TEST_F(MetricsTest, AMetricsPortInUseEndsTheStartWithOneLine) {
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(holder, 0);
    int on = 1;
    ASSERT_EQ(setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)), 0);
    ASSERT_EQ(setsockopt(holder, SOL_SOCKET, SO_REUSEPORT, &on, sizeof(on)), 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(holder, 4), 0);
    socklen_t size = sizeof(address);
    ASSERT_EQ(getsockname(holder, reinterpret_cast<sockaddr*>(&address), &size), 0);
    const std::string taken = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));

    dir_ = kit::makeScratchDirectory("peerdir-metrics");
    ASSERT_TRUE(kit::writeServerConfig(dir_));
    std::vector<std::string> command = kit::commandFromEnvironment(
        "PEERDIR_SERVER", "PEERDIR_SERVER_LAUNCHER", PEERDIR_DEFAULT_SERVER);
    command.insert(command.end(), {"--listen", "127.0.0.1", "--metrics", taken});
    ASSERT_TRUE(kit::startProgram(server_, dir_, command, kit::OutputTo::Pipe));
    ASSERT_TRUE(kit::waitForExit(server_)) << server_.log;
    close(holder);
    EXPECT_EQ(server_.exitStatus, 1) << server_.log;
    EXPECT_EQ(testing_support::countOf(server_.log, "metrics: "), 1u) << server_.log;
    EXPECT_NE(server_.log.find("metrics: Could not bind the metrics listener to " + taken +
                               ". Error code was: 98\n"),
              std::string::npos)
        << server_.log;
    EXPECT_EQ(server_.log.find("Got a connection"), std::string::npos);
}

// The one test with the real consumer: Prometheus scrapes the server on
// loopback, and its query API returns the clients connected.
TEST_F(MetricsTest, PrometheusScrapesTheServerAndItsQueryGivesTheClientsConnected) {
    REQUIRE_PROGRAM("prometheus");
    startWithMetrics();
    for (int i = 0; i < 3; ++i) connect();
    const std::string config = dir_ + "/prometheus.yml";
    ASSERT_TRUE(kit::writeFile(config,
                               "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                               "scrape_configs:\n  - job_name: peerdir\n"
                               "    static_configs:\n      - targets: ['127.0.0.1:" +
                                   std::to_string(metricsPort_) + "']\n"));
    const std::string web = "127.0.0.1:" + std::to_string(kPrometheusPort);
    prometheus_.outputFile = dir_ + "/prometheus.log";
    ASSERT_TRUE(
        kit::startProgram(prometheus_, dir_,
                          {"prometheus", "--config.file=" + config,
                           "--storage.tsdb.path=" + dir_ + "/data", "--web.listen-address=" + web},
                          kit::OutputTo::File));
    std::string answer;
    const bool found = testing_support::waitUntil(
        [&] {
            if (!kit::isRunning(prometheus_)) return true;
            kit::HttpAnswer reply = kit::httpGet("127.0.0.1", kPrometheusPort,
                                                 "/api/v1/query?query=peerdir_clients", 1000);
            answer = reply.body;
            return reply.status == 200 && answer.find("\"3\"]") != std::string::npos;
        },
        60000);
    EXPECT_TRUE(found && kit::isRunning(prometheus_)) << "last answer: " << answer;
    EXPECT_NE(answer.find("\"job\":\"peerdir\""), std::string::npos) << answer;
}

// A datagram socket the test owns, as systemd's notification socket.
struct NotifySocket {
    int fd = -1;
    std::string path;
};

NotifySocket makeNotifySocket(const std::string& dir) {
    NotifySocket notify;
    notify.path = dir + "/notify";
    notify.fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", notify.path.c_str());
    if (bind(notify.fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        close(notify.fd);
        notify.fd = -1;
    }
    return notify;
}

// The next datagram, or "" when none comes within millis.
std::string nextNotification(const NotifySocket& notify, unsigned millis) {
    pollfd waiting{notify.fd, POLLIN, 0};
    if (poll(&waiting, 1, static_cast<int>(millis)) != 1) return "";
    char buffer[4096];
    ssize_t size = recv(notify.fd, buffer, sizeof(buffer), 0);
    return size > 0 ? std::string(buffer, static_cast<std::size_t>(size)) : "";
}

// Reads datagrams until expected comes (true) or the wait runs out; every
// one read is kept in seen.
bool awaitNotification(const NotifySocket& notify, const std::string& expected,
                       std::vector<std::string>* seen) {
    const Deadline deadline = deadlineAfter(kWaitMillis);
    while (millisUntil(deadline) > 0) {
        std::string message = nextNotification(notify, millisUntil(deadline));
        if (message.empty()) continue;
        seen->push_back(message);
        if (message == expected) return true;
    }
    return false;
}

std::string joined(const std::vector<std::string>& seen) {
    std::string text;
    for (const std::string& message : seen) text += message + "\n";
    return text;
}

TEST_F(MetricsTest, SystemdHearsReadyOnceThePortAcceptsThenWatchdogStatusAndStopping) {
    const std::string scratch = kit::makeScratchDirectory("peerdir-notify");
    NotifySocket notify = makeNotifySocket(scratch);
    ASSERT_GE(notify.fd, 0);
    setenv("NOTIFY_SOCKET", notify.path.c_str(), 1);
    setenv("WATCHDOG_USEC", "400000", 1);
    dir_ = kit::makeScratchDirectory("peerdir-metrics");
    ASSERT_TRUE(kit::writeServerConfig(dir_));
    std::vector<std::string> command = kit::commandFromEnvironment(
        "PEERDIR_SERVER", "PEERDIR_SERVER_LAUNCHER", PEERDIR_DEFAULT_SERVER);
    command.insert(command.end(), {"--listen", "127.0.0.1", "--idle", "wait"});
    const bool started = kit::startProgram(server_, dir_, command, kit::OutputTo::Pipe);
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");
    ASSERT_TRUE(started);

    std::vector<std::string> seen;
    ASSERT_TRUE(awaitNotification(notify, "READY=1", &seen)) << joined(seen);
    ASSERT_EQ(seen.size(), 1u) << "READY=1 comes first: " << joined(seen);
    // Ready means the port takes connections now, with no retry.
    port_ = kit::listeningPort(server_);  // logged before READY=1
    ASSERT_NE(port_, 0) << server_.log;
    ClientConnection& first = connect();
    EXPECT_EQ(first.error, ClientError::None);
    EXPECT_TRUE(awaitNotification(
        notify, "STATUS=1 clients, 0 names, 1 connections since start, 0 messages dropped.", &seen))
        << joined(seen);
    EXPECT_TRUE(awaitNotification(notify, "WATCHDOG=1", &seen)) << joined(seen);
    EXPECT_TRUE(awaitNotification(notify, "WATCHDOG=1", &seen)) << "again and again";

    kit::terminate(server_);
    EXPECT_TRUE(awaitNotification(notify, "STOPPING=1", &seen)) << joined(seen);
    ASSERT_TRUE(kit::waitForExit(server_)) << server_.log;
    EXPECT_EQ(server_.exitStatus, 0) << server_.log;
    close(notify.fd);
    kit::removeScratchDirectory(scratch);
}

}  // namespace
}  // namespace peerdir
