// Several servers sharing one registry on etcd: real etcd members and real
// server processes on loopback, spoken to through the client library.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "clientlib/client.h"
#include "etcd/etcd.h"
#include "kit/etcd_cluster.h"
#include "kit/process.h"
#include "kit/server.h"
#include "support/test_support.h"

namespace peerdir {
namespace {

using kit::EtcdCluster;
using Names = std::vector<std::string>;

constexpr unsigned kWaitMillis = testing_support::kWaitMillis;

struct SharedServer {
    kit::ChildProcess process;
    std::string dir;
    std::string host;
    std::uint16_t port = 0;
    std::string lease;  // as the start-up line gives it
};

std::string endpointsOf(const EtcdCluster& cluster) {
    std::string text;
    for (const EtcdEndpoint& endpoint : kit::clusterEndpoints(cluster)) {
        text += (text.empty() ? "etcd://" : ",") + endpointText(endpoint);
    }
    return text;
}

std::size_t countOf(const Names& names, const std::string& name) {
    return static_cast<std::size_t>(std::count(names.begin(), names.end(), name));
}

class SharedRegistryTest : public ::testing::Test {
  protected:
    void TearDown() override {
        for (ClientConnection& c : clients_) closeConnection(c);
        for (auto& server : servers_) {
            kit::stopGently(server->process, 5000);
            kit::removeScratchDirectory(server->dir);
        }
        kit::stopCluster(cluster_);
    }

    void startEtcd(std::size_t members) {
        ASSERT_TRUE(kit::startCluster(cluster_, members)) << cluster_.problem;
    }

    // A server sharing the cluster's registry, once it has said how it
    // joined (the registry line follows its port).
    SharedServer& startServer(unsigned ttlSeconds = 10) {
        servers_.push_back(std::make_unique<SharedServer>());
        SharedServer& server = *servers_.back();
        server.dir = kit::makeScratchDirectory("peerdir-shared");
        EXPECT_TRUE(kit::writeServerConfig(server.dir));
        std::vector<std::string> command = kit::commandFromEnvironment(
            "PEERDIR_SERVER", "PEERDIR_SERVER_LAUNCHER", PEERDIR_DEFAULT_SERVER);
        command.insert(command.end(), {"--registry", endpoints_, "--registry-prefix", prefix_,
                                       "--lease-ttl", std::to_string(ttlSeconds)});
        EXPECT_TRUE(kit::startProgram(server.process, server.dir, command, kit::OutputTo::Pipe));
        server.host = kit::announcedAddress(server.process);
        server.port = kit::listeningPort(server.process);
        EXPECT_TRUE(kit::waitForLog(server.process, "registry: ")) << server.process.log;
        EXPECT_TRUE(kit::awaitWelcome(server.process, server.host, server.port));
        const std::string label = ", lease ";
        std::string line = kit::lineAfter(server.process, "registry: Shared registry on etcd", 0);
        if (line.find(label) != std::string::npos) {
            line = line.substr(line.find(label) + label.size());
            server.lease = line.substr(0, line.find(','));
        }
        return server;
    }

    ClientConnection& connect(SharedServer& server) {
        clients_.push_back(connectToServer(server.host, server.port));
        EXPECT_EQ(clients_.back().error, ClientError::None) << clients_.back().message;
        return clients_.back();
    }

    Names listOf(ClientConnection& c) {
        Names names;
        EXPECT_TRUE(listNames(c, 100, &names)) << c.message;
        return names;
    }

    // Registrations reach the other servers through etcd a moment later.
    bool waitForList(ClientConnection& c, const std::string& name, std::size_t times) {
        return testing_support::waitUntil([&] { return countOf(listOf(c), name) == times; });
    }

    // The PeerRequest a client receives, with its address.
    std::string requestAddressAt(ClientConnection& c) {
        ServerMessage message;
        if (!readServerMessage(c, kWaitMillis, &message)) return "(none: " + c.message + ")";
        return message.type == MessageType::PeerRequest ? message.address : "(another message)";
    }

    bool hearsNothing(ClientConnection& c) {
        ServerMessage message;
        return !readServerMessage(c, 200, &message) && c.error == ClientError::TimedOut;
    }

    EtcdCluster cluster_;
    std::string endpoints_ = "etcd://127.0.0.1:" + std::to_string(kit::kEtcdTestClientPort);
    std::string prefix_ =
        "test" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    std::vector<std::unique_ptr<SharedServer>> servers_;
    std::deque<ClientConnection> clients_;  // references to it stay valid as it grows
};

TEST_F(SharedRegistryTest, ANameRegisteredOnOneServerIsListedAndReachedFromAnother) {
    startEtcd(1);
    SharedServer& first = startServer();
    SharedServer& second = startServer();
    ClientConnection& alice = connect(first);
    ClientConnection& bob = connect(second);
    ASSERT_TRUE(registerName(alice, "alice"));
    ASSERT_TRUE(waitForList(bob, "alice", 1));

    ASSERT_TRUE(requestConnect(bob, "alice", "10.0.0.1", 7000));
    EXPECT_EQ(requestAddressAt(alice), "10.0.0.1");
    ASSERT_TRUE(requestConnect(bob, "nobody", "10.0.0.1", 7000));
    ServerMessage answer;
    ASSERT_TRUE(readServerMessage(bob, kWaitMillis, &answer)) << bob.message;
    EXPECT_EQ(answer.type, MessageType::NameNotFound);
}

TEST_F(SharedRegistryTest, TheEarliestRegistrationWinsAcrossServersAgainAfterItsClientLeaves) {
    startEtcd(1);
    SharedServer& first = startServer();
    SharedServer& second = startServer();
    ClientConnection& early = connect(first);
    ClientConnection& late = connect(second);
    ClientConnection& asker = connect(first);
    ASSERT_TRUE(registerName(early, "carol"));
    ASSERT_TRUE(waitForList(asker, "carol", 1));
    ASSERT_TRUE(registerName(late, "carol"));
    ASSERT_TRUE(waitForList(asker, "carol", 2));

    ASSERT_TRUE(requestConnect(asker, "carol", "10.0.0.1", 1));
    EXPECT_EQ(requestAddressAt(early), "10.0.0.1");
    EXPECT_TRUE(hearsNothing(late));

    // The client that leaves takes its names with it at once.
    closeConnection(early);
    ASSERT_TRUE(waitForList(asker, "carol", 1));
    ASSERT_TRUE(requestConnect(asker, "carol", "10.0.0.2", 2));
    EXPECT_EQ(requestAddressAt(late), "10.0.0.2");
}

TEST_F(SharedRegistryTest, AKilledServersNamesVanishWithinItsLease) {
    startEtcd(1);
    SharedServer& doomed = startServer(2);
    SharedServer& survivor = startServer();
    ClientConnection& dave = connect(doomed);
    ClientConnection& watcher = connect(survivor);
    ASSERT_TRUE(registerName(dave, "dave"));
    ASSERT_TRUE(waitForList(watcher, "dave", 1));
    kit::stopProgram(doomed.process);
    EXPECT_TRUE(waitForList(watcher, "dave", 0)) << "the names outlived their server's lease";
}

TEST_F(SharedRegistryTest, AServerStartedWithoutEtcdServesItsOwnClientsThenJoins) {
    SharedServer& alone = startServer();
    EXPECT_NE(alone.process.log.find("registry: No etcd endpoint answered (" + endpoints_ +
                                     "); serving this server's clients only.\n"),
              std::string::npos)
        << alone.process.log;
    ClientConnection& erin = connect(alone);
    ClientConnection& asker = connect(alone);
    ASSERT_TRUE(registerName(erin, "erin"));
    ASSERT_TRUE(waitForList(asker, "erin", 1));
    ASSERT_TRUE(requestConnect(asker, "erin", "10.0.0.3", 3));
    EXPECT_EQ(requestAddressAt(erin), "10.0.0.3");

    startEtcd(1);
    ASSERT_TRUE(kit::waitForLog(alone.process, "registry: Shared registry is back.\n"));
    SharedServer& other = startServer();
    ClientConnection& far = connect(other);
    ASSERT_TRUE(waitForList(far, "erin", 1));
    ASSERT_TRUE(requestConnect(far, "erin", "10.0.0.4", 4));
    EXPECT_EQ(requestAddressAt(erin), "10.0.0.4");
}

// ---- Trouble with etcd --------------------------------------------------

TEST_F(SharedRegistryTest, KillingTheLeaderKeepsRegistrationsListsAndForwardsWorking) {
    startEtcd(3);
    endpoints_ = endpointsOf(cluster_);
    SharedServer& first = startServer(3);
    SharedServer& second = startServer(3);
    ClientConnection& frank = connect(first);
    ClientConnection& grace = connect(second);
    ASSERT_TRUE(registerName(frank, "frank"));
    ASSERT_TRUE(waitForList(grace, "frank", 1));

    int leader = kit::waitForLeader(cluster_);
    ASSERT_GE(leader, 0);
    kit::killMember(cluster_, static_cast<std::size_t>(leader));
    ASSERT_TRUE(registerName(grace, "grace"));
    EXPECT_TRUE(waitForList(frank, "grace", 1));
    ASSERT_TRUE(requestConnect(grace, "frank", "10.0.0.5", 5));
    EXPECT_EQ(requestAddressAt(frank), "10.0.0.5");
}

TEST_F(SharedRegistryTest, WithEveryMemberStoppedServersServeTheirOwnUntilEtcdIsBack) {
    startEtcd(3);
    endpoints_ = endpointsOf(cluster_);
    SharedServer& first = startServer(3);
    SharedServer& second = startServer(3);
    ClientConnection& heidi = connect(first);
    ClientConnection& ivan = connect(second);
    ClientConnection& asker = connect(first);
    ASSERT_TRUE(registerName(ivan, "ivan"));
    ASSERT_TRUE(waitForList(asker, "ivan", 1));

    for (std::size_t member = 0; member < 3; ++member) kit::stopMember(cluster_, member);
    const std::string lost =
        "registry: Lost the shared registry; serving this server's clients only.\n";
    ASSERT_TRUE(kit::waitForLog(first.process, lost)) << first.process.log;
    // Local service: this server's names only, those registered now included.
    ASSERT_TRUE(registerName(heidi, "heidi"));
    ASSERT_TRUE(waitForList(asker, "heidi", 1));
    EXPECT_EQ(countOf(listOf(asker), "ivan"), 0u);
    ASSERT_TRUE(requestConnect(asker, "heidi", "10.0.0.6", 6));
    EXPECT_EQ(requestAddressAt(heidi), "10.0.0.6");

    ASSERT_TRUE(kit::restartStoppedMembers(cluster_)) << cluster_.problem;
    ASSERT_TRUE(kit::waitForLog(first.process, "registry: Shared registry is back.\n"));
    EXPECT_TRUE(waitForList(ivan, "heidi", 1));
    EXPECT_EQ(testing_support::countOf(first.process.log, lost), 1u) << "never a line per request";
}

TEST_F(SharedRegistryTest, ALeaseThatExpiresIsGrantedAgainAndTheNamesComeBack) {
    startEtcd(1);
    SharedServer& first = startServer();
    SharedServer& second = startServer();
    ClientConnection& judy = connect(first);
    ClientConnection& asker = connect(second);
    ASSERT_TRUE(registerName(judy, "judy"));
    ASSERT_TRUE(waitForList(asker, "judy", 1));

    // As a stall longer than the lease's TTL would: etcd ends the lease.
    EtcdConnection etcd;
    std::string problem;
    ASSERT_TRUE(parseEtcdEndpoints(endpoints_, &etcd.endpoints, &problem)) << problem;
    ASSERT_EQ(revokeLease(etcd, std::stoll(first.lease, nullptr, 16)).status, EtcdStatus::Ok);
    ASSERT_TRUE(kit::waitForLog(first.process,
                                "registry: Lease expired; registrations written "
                                "again under lease "))
        << first.process.log;
    EXPECT_TRUE(waitForList(asker, "judy", 1));
    ASSERT_TRUE(requestConnect(asker, "judy", "10.0.0.7", 7));
    EXPECT_EQ(requestAddressAt(judy), "10.0.0.7");
}

}  // namespace
}  // namespace peerdir
