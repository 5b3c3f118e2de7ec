// Several servers sharing one registry on etcd: real etcd members and real
// server processes on loopback, spoken to through the client library.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "clientlib/client.h"
#include "etcd/etcd.h"
#include "kit/etcd_cluster.h"
#include "kit/http_get.h"
#include "kit/openssl_tools.h"
#include "kit/process.h"
#include "kit/server.h"
#include "support/test_support.h"

namespace peerdir {
namespace {

using kit::EtcdCluster;
using Names = std::vector<std::string>;

constexpr unsigned kWaitMillis = testing_support::kWaitMillis;
constexpr int kCutUser = 65534;  // nobody
const char* const kLostLine =
    "registry: Lost the shared registry; serving this server's clients only.\n";

bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

// Marks every connection kCutUser's processes open to an etcd member, so
// that cutOffFromEtcd can drop that server's packets and no one else's.
// Only inside a network namespace the tests made, which the tables die with.
bool markCutUsersTraffic() {
    return run(
        "nft add table inet peerdir_mark && "
        "nft 'add chain inet peerdir_mark out { type filter hook output priority -10 ; }' "
        "&& nft add rule inet peerdir_mark out meta skuid " +
        std::to_string(kCutUser) + " tcp dport " + std::to_string(kit::kEtcdTestClientPort) + "-" +
        std::to_string(kit::kEtcdTestClientPort + 5) + " ct mark set 1");
}

// Drops the marked traffic's answers from etcd, and with bothWays its
// requests too. On loopback every packet passes the input hook once, on its
// way in at either end.
bool cutOffFromEtcd(bool bothWays) {
    std::string command =
        "nft add table inet peerdir_cut && "
        "nft 'add chain inet peerdir_cut in { type filter hook input priority 0 ; }' && "
        "nft add rule inet peerdir_cut in ct mark 1 ";
    if (!bothWays) {
        command += "tcp sport " + std::to_string(kit::kEtcdTestClientPort) + "-" +
                   std::to_string(kit::kEtcdTestClientPort + 5) + " ";
    }
    return run(command + "drop");
}

bool letThroughAgain() { return run("nft delete table inet peerdir_cut"); }

bool inOwnNetns() { return std::getenv("PEERDIR_OWN_NETNS") != nullptr; }

struct SharedServer {
    kit::ChildProcess process;
    std::string dir;
    std::string host;
    std::uint16_t port = 0;
    std::string lease;  // as the start-up line gives it
    bool killed = false;
};

std::string endpointsOf(const EtcdCluster& cluster) {
    std::string text;
    for (const EtcdEndpoint& endpoint : kit::clusterEndpoints(cluster)) {
        const char* scheme = endpoint.tls ? "https://" : "etcd://";
        text += (text.empty() ? scheme : ",") + endpointText(endpoint);
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
            // Every server the test did not kill must stop cleanly: in the
            // sanitizer legs a report, a leak found at exit included, ends
            // it with another status.
            if (!server->killed) {
                EXPECT_TRUE(kit::stopAndWait(server->process, kit::interrupt))
                    << server->process.log;
                EXPECT_EQ(server->process.exitStatus, 0) << server->process.log;
            }
            kit::stopProgram(server->process);
            kit::removeScratchDirectory(server->dir);
        }
        kit::stopCluster(cluster_);
        if (!certDir_.empty()) kit::removeScratchDirectory(certDir_);
    }

    void startEtcd(std::size_t members) {
        ASSERT_TRUE(kit::startCluster(cluster_, members)) << cluster_.problem;
    }

    // A server sharing the cluster's registry, once it has said how it
    // joined (the registry line follows its port). One run as kCutUser has
    // its traffic to etcd marked, so that cutOffFromEtcd can drop it alone.
    SharedServer& startServer(unsigned ttlSeconds = 10, bool asCutUser = false) {
        SharedServer& server = launchServer(ttlSeconds, asCutUser);
        server.host = kit::announcedAddress(server.process);
        server.port = kit::listeningPort(server.process);
        EXPECT_NE(server.port, 0) << "exit status " << server.process.exitStatus << ", log:\n"
                                  << server.process.log;
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

    // The server process alone, started on endpoints_ with moreOptions_.
    SharedServer& launchServer(unsigned ttlSeconds = 10, bool asCutUser = false) {
        servers_.push_back(std::make_unique<SharedServer>());
        SharedServer& server = *servers_.back();
        server.dir = kit::makeScratchDirectory("peerdir-shared");
        EXPECT_TRUE(kit::writeServerConfig(server.dir));
        std::vector<std::string> command = kit::commandFromEnvironment(
            "PEERDIR_SERVER", "PEERDIR_SERVER_LAUNCHER", PEERDIR_DEFAULT_SERVER);
        if (asCutUser) {
            EXPECT_EQ(std::system(("chmod -R a+rX " + server.dir).c_str()), 0);
            command.insert(command.begin(),
                           {"setpriv", "--reuid=" + std::to_string(kCutUser),
                            "--regid=" + std::to_string(kCutUser), "--clear-groups"});
        }
        command.insert(command.end(), {"--registry", endpoints_, "--registry-prefix", prefix_,
                                       "--lease-ttl", std::to_string(ttlSeconds)});
        command.insert(command.end(), moreOptions_.begin(), moreOptions_.end());
        EXPECT_TRUE(kit::startProgram(server.process, server.dir, command, kit::OutputTo::Pipe));
        return server;
    }

    // A CA, an etcd member that serves clients over TLS only (on 127.0.0.1,
    // which its certificate names, and on 127.0.0.2, which it does not) and
    // takes only clients with a certificate from that CA, and the
    // certificates the servers may present: the CA's, and a stranger's from
    // another CA.
    void startTlsEtcd() {
        certDir_ = kit::makeScratchDirectory("peerdir-certs");
        ca_ = certificate("etcd-ca", "");
        otherCa_ = certificate("other-ca", "");
        // etcd's gateway dials etcd itself with this certificate, so it is
        // a client's as well as a server's.
        const kit::CertificateFiles etcd =
            certificate("etcd", "etcd-ca", "IP:127.0.0.1,DNS:localhost",
                        {"extendedKeyUsage=serverAuth,clientAuth"});
        client_ = certificate("peerdir", "etcd-ca", "", {"extendedKeyUsage=clientAuth"});
        stranger_ = certificate("stranger", "other-ca", "", {"extendedKeyUsage=clientAuth"});
        for (const std::string& file : {otherCa_.cert, etcd.cert, client_.cert, stranger_.cert}) {
            ASSERT_FALSE(file.empty()) << "openssl could not make the test certificates";
        }
        cluster_.tls = {etcd.cert, etcd.key, ca_.cert};
        cluster_.moreClientHosts = {"127.0.0.2"};
        startEtcd(1);
        endpoints_ = endpointsOf(cluster_);
    }

    // The certificate called name in certDir_, signed by the CA called ca
    // (empty: a CA of its own); empty files when openssl fails.
    kit::CertificateFiles certificate(const std::string& name, const std::string& ca,
                                      const std::string& altNames = "",
                                      const std::vector<std::string>& extensions = {}) {
        std::string why;
        const kit::CertificateRequest request{name, ca, altNames, kit::KeyKind::EcdsaP256,
                                              extensions};
        if (kit::makeCertificate(certDir_, request, &why)) {
            return kit::certificateFiles(certDir_, name);
        }
        ADD_FAILURE() << why;
        return {};
    }

    std::vector<std::string> tlsOptions(const kit::CertificateFiles& trusted,
                                        const kit::CertificateFiles& own) {
        std::vector<std::string> options = {"--registry-ca", trusted.cert};
        if (own.cert.empty()) return options;
        options.insert(options.end(), {"--registry-cert", own.cert, "--registry-key", own.key});
        return options;
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

    // Two servers sharing an etcd of `members` members, with a client of
    // each: the second server's has registered name, and the first server
    // lists it.
    void startPair(std::size_t members, const std::string& name, unsigned ttlSeconds = 10) {
        startEtcd(members);
        endpoints_ = endpointsOf(cluster_);
        first_ = &startServer(ttlSeconds);
        second_ = &startServer(ttlSeconds);
        near_ = &connect(*first_);
        far_ = &connect(*second_);
        ASSERT_TRUE(registerName(*far_, name));
        ASSERT_TRUE(waitForList(*near_, name, 1));
    }

    // near_ asks for name; holder gets the request.
    void expectIntroduced(ClientConnection& holder, const std::string& name,
                          const std::string& address) {
        ASSERT_TRUE(requestConnect(*near_, name, address, 1));
        EXPECT_EQ(requestAddressAt(holder), address)
            << "the asker heard: " << firstHeard(*near_) << "\nthe servers' logs:\n"
            << logsOfServers();
    }

    // As expectIntroduced, asking again while the registry recovers: an
    // answer NameNotFound (etcd not yet answering) is taken and dropped.
    bool introducedSoon(ClientConnection& holder, const std::string& name,
                        const std::string& address) {
        return testing_support::waitUntil([&] {
            ServerMessage message;
            while (readServerMessage(*near_, 0, &message)) {
            }
            if (!requestConnect(*near_, name, address, 1)) return false;
            return readServerMessage(holder, 1000, &message) &&
                   message.type == MessageType::PeerRequest && message.address == address;
        });
    }

    std::string firstHeard(ClientConnection& c) {
        ServerMessage message;
        if (!readServerMessage(c, 0, &message)) return "nothing";
        return "message type " + std::to_string(static_cast<int>(message.type));
    }

    std::string logsOfServers() {
        std::string logs;
        for (auto& server : servers_) {
            kit::drainLog(server->process);
            logs += server->process.log + "--\n";
        }
        return logs;
    }

    bool hearsNothing(ClientConnection& c) {
        ServerMessage message;
        return !readServerMessage(c, 200, &message) && c.error == ClientError::TimedOut;
    }

    std::string certDir_;
    kit::CertificateFiles ca_;
    kit::CertificateFiles otherCa_;
    kit::CertificateFiles client_;    // from ca_
    kit::CertificateFiles stranger_;  // from otherCa_
    EtcdCluster cluster_;
    std::string endpoints_ = "etcd://127.0.0.1:" + std::to_string(kit::kEtcdTestClientPort);
    std::string prefix_ =
        "test" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    std::vector<std::string> moreOptions_;  // for every server started next
    std::vector<std::unique_ptr<SharedServer>> servers_;
    std::deque<ClientConnection> clients_;  // references to it stay valid as it grows
    SharedServer* first_ = nullptr;
    SharedServer* second_ = nullptr;
    ClientConnection* near_ = nullptr;  // on the first server
    ClientConnection* far_ = nullptr;   // on the second
};

TEST_F(SharedRegistryTest, ANameRegisteredOnOneServerIsListedAndReachedFromAnother) {
    startPair(1, "alice");
    expectIntroduced(*far_, "alice", "10.0.0.1");
    // The request handed over leaves the mailbox, so neither the keyspace
    // nor a mailbox read grows with the traffic.
    std::int64_t mail = -1;
    EXPECT_TRUE(testing_support::waitUntil([&] {
        return kit::countKeys(cluster_, prefix_ + "/mbox/", &mail) && mail == 0;
    })) << mail
        << " requests left in the mailbox";
    ASSERT_TRUE(requestConnect(*near_, "nobody", "10.0.0.1", 7000));
    ServerMessage answer;
    ASSERT_TRUE(readServerMessage(*near_, kWaitMillis, &answer)) << near_->message;
    EXPECT_EQ(answer.type, MessageType::NameNotFound);
}

TEST_F(SharedRegistryTest, TheEarliestRegistrationWinsAcrossServersAgainAfterItsClientLeaves) {
    startPair(1, "carol");
    ClientConnection& late = connect(*first_);
    ASSERT_TRUE(registerName(late, "carol"));
    ASSERT_TRUE(waitForList(*near_, "carol", 2));
    expectIntroduced(*far_, "carol", "10.0.0.1");
    EXPECT_TRUE(hearsNothing(late));

    // The client that leaves takes its names with it at once.
    closeConnection(*far_);
    ASSERT_TRUE(waitForList(*near_, "carol", 1));
    expectIntroduced(late, "carol", "10.0.0.2");
}

TEST_F(SharedRegistryTest, AKilledServersNamesVanishWithinItsLease) {
    startPair(1, "dave", 2);
    second_->killed = true;
    kit::stopProgram(second_->process);
    EXPECT_TRUE(waitForList(*near_, "dave", 0)) << "the names outlived their server's lease";
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

// A leader change with a quorum left is no outage: registrations and lists
// never wait on etcd, no server gives up on it, and forwards go through.
TEST_F(SharedRegistryTest, KillingTheLeaderKeepsRegistrationsListsAndForwardsWorking) {
    startPair(3, "frank", 3);
    int leader = kit::waitForLeader(cluster_);
    ASSERT_GE(leader, 0);
    kit::killMember(cluster_, static_cast<std::size_t>(leader));
    ASSERT_TRUE(registerName(*near_, "grace"));
    // At once on its own server, whatever etcd is doing.
    EXPECT_EQ(countOf(listOf(*near_), "grace"), 1u);
    EXPECT_TRUE(waitForList(*far_, "grace", 1));
    EXPECT_TRUE(introducedSoon(*far_, "frank", "10.0.0.5")) << logsOfServers();
    const std::string logs = logsOfServers();
    EXPECT_EQ(testing_support::countOf(logs, kLostLine), 0u) << logs;
}

// A put whose answer never came may have landed: when its client leaves
// meanwhile, its key is deleted all the same, and no ghost holds the name.
// The client leaves once the server has given etcd up, long after the put's
// own time-out, with its lease still alive: the key stays unless the
// unanswered put counted as landed.
TEST_F(SharedRegistryTest, APutWhoseAnswerWasLostLeavesNoGhostOnceItsClientLeaves) {
    if (!inOwnNetns()) GTEST_SKIP() << "needs a network namespace of the tests' own";
    startEtcd(1);
    endpoints_ = endpointsOf(cluster_);
    ASSERT_TRUE(markCutUsersTraffic());
    SharedServer& cut = startServer(60, true);
    ClientConnection& ghost = connect(cut);
    ASSERT_TRUE(cutOffFromEtcd(false));
    ASSERT_TRUE(registerName(ghost, "ghost"));
    EtcdConnection etcd;
    std::string problem;
    ASSERT_TRUE(parseEtcdEndpoints(endpoints_, &etcd.endpoints, &problem)) << problem;
    auto keysOfGhost = [&] {
        EtcdRangeQuery query;
        query.prefix = prefix_ + "/names/";
        EtcdRange range;
        EXPECT_EQ(rangeByKey(etcd, query, &range).status, EtcdStatus::Ok);
        return range.kvs.size();
    };
    ASSERT_TRUE(testing_support::waitUntil([&] { return keysOfGhost() == 1; }))
        << "the put never landed\n"
        << logsOfServers();
    ASSERT_TRUE(kit::waitForLog(cut.process, kLostLine)) << cut.process.log;
    closeConnection(ghost);
    // Lists on this server are its own at once, with or without etcd.
    ClientConnection& asker = connect(cut);
    EXPECT_EQ(countOf(listOf(asker), "ghost"), 0u);
    ASSERT_TRUE(letThroughAgain());
    ASSERT_TRUE(kit::waitForLog(cut.process, "registry: Shared registry is back.\n"));
    EXPECT_TRUE(testing_support::waitUntil([&] { return keysOfGhost() == 0; }))
        << "a ghost holds the name\n"
        << logsOfServers();
}

// A server cut off from etcd both ways loses its names elsewhere within its
// lease, serves its own meanwhile, and once let through again writes every
// one of them back under a new lease, saying so once.
TEST_F(SharedRegistryTest, AServerCutOffFromEtcdGivesUpItsNamesAndWritesThemAllBack) {
    if (!inOwnNetns()) GTEST_SKIP() << "needs a network namespace of the tests' own";
    startEtcd(1);
    endpoints_ = endpointsOf(cluster_);
    ASSERT_TRUE(markCutUsersTraffic());
    SharedServer& stays = startServer(3);
    SharedServer& cut = startServer(3, true);
    ClientConnection& lister = connect(stays);
    constexpr std::size_t kHolders = 4;
    constexpr std::size_t kEach = 500;
    std::vector<ClientConnection*> holders;
    for (std::size_t h = 0; h < kHolders; ++h) {
        holders.push_back(&connect(cut));
        for (std::size_t i = 0; i < kEach; ++i) {
            ASSERT_TRUE(registerName(*holders.back(), "n" + std::to_string(h * kEach + i)));
        }
    }
    auto listed = [&] {
        Names names;
        return listNames(lister, 100, &names) ? names.size() : 0u;
    };
    ASSERT_TRUE(testing_support::waitUntil([&] { return listed() == kHolders * kEach; }))
        << listed();

    ASSERT_TRUE(cutOffFromEtcd(true));
    EXPECT_TRUE(testing_support::waitUntil([&] { return listed() == 0; }))
        << "the names outlived their server's lease";
    ASSERT_TRUE(kit::waitForLog(cut.process, kLostLine)) << cut.process.log;
    ClientConnection& local = connect(cut);
    EXPECT_TRUE(waitForList(local, "n0", 1));

    ASSERT_TRUE(letThroughAgain());
    ASSERT_TRUE(kit::waitForLog(cut.process, "registry: Shared registry is back.\n"));
    EXPECT_TRUE(testing_support::waitUntil([&] { return listed() == kHolders * kEach; }))
        << listed();
    kit::drainLog(cut.process);
    EXPECT_EQ(testing_support::countOf(cut.process.log, "registry: Shared registry is back.\n"),
              1u);
    EXPECT_EQ(testing_support::countOf(cut.process.log, kLostLine), 1u);
}

TEST_F(SharedRegistryTest, WithEveryMemberStoppedServersServeTheirOwnUntilEtcdIsBack) {
    startPair(3, "ivan", 3);
    for (std::size_t member = 0; member < 3; ++member) kit::stopMember(cluster_, member);
    const std::string lost =
        "registry: Lost the shared registry; serving this server's clients only.\n";
    ASSERT_TRUE(kit::waitForLog(first_->process, lost)) << first_->process.log;
    // Local service: this server's names only, those registered now included.
    ClientConnection& heidi = connect(*first_);
    ASSERT_TRUE(registerName(heidi, "heidi"));
    ASSERT_TRUE(waitForList(*near_, "heidi", 1));
    EXPECT_EQ(countOf(listOf(*near_), "ivan"), 0u);
    expectIntroduced(heidi, "heidi", "10.0.0.6");

    ASSERT_TRUE(kit::restartStoppedMembers(cluster_)) << cluster_.problem;
    ASSERT_TRUE(kit::waitForLog(first_->process, "registry: Shared registry is back.\n"));
    EXPECT_TRUE(waitForList(*far_, "heidi", 1));
    EXPECT_EQ(testing_support::countOf(first_->process.log, lost), 1u)
        << "never a line per request";
}

// An orchestrator's question: /readyz says 503, with the reason, while the
// server counts etcd as lost, and 200 once it is back; /livez answers all
// along, and the metrics show etcd's state and its requests.
TEST_F(SharedRegistryTest, ReadyzIsUnreadyWhileEtcdIsLostAndReadyOnceItIsBack) {
    startEtcd(1);
    endpoints_ = endpointsOf(cluster_);
    moreOptions_ = {"--metrics", "127.0.0.1:0"};
    SharedServer& server = startServer(3);
    const std::uint16_t port = kit::metricsPort(server.process);
    ASSERT_NE(port, 0) << server.process.log;
    auto ready = [&] { return kit::httpGet("127.0.0.1", port, "/readyz"); };
    EXPECT_EQ(ready().body, "ready\n");
    const std::string joined = kit::httpGet("127.0.0.1", port, "/metrics").body;
    EXPECT_EQ(kit::sampleValue(joined, "peerdir_etcd_up"), 1) << joined;
    EXPECT_GT(kit::sampleValue(joined, "peerdir_etcd_request_duration_seconds_count"), 0) << joined;

    kit::stopMember(cluster_, 0);
    ASSERT_TRUE(kit::waitForLog(server.process, kLostLine)) << server.process.log;
    kit::HttpAnswer lost = ready();
    EXPECT_EQ(lost.status, 503);
    EXPECT_EQ(lost.body, "etcd is lost; serving this server's clients only\n");
    EXPECT_EQ(kit::httpGet("127.0.0.1", port, "/livez").status, 200);
    EXPECT_EQ(kit::sampleValue(kit::httpGet("127.0.0.1", port, "/metrics").body, "peerdir_etcd_up"),
              0);

    ASSERT_TRUE(kit::restartMember(cluster_, 0)) << cluster_.problem;
    ASSERT_TRUE(kit::waitForLog(server.process, "registry: Shared registry is back.\n"));
    EXPECT_TRUE(testing_support::waitUntil([&] { return ready().status == 200; }));
}

// An etcd whose space quota is used up refuses every put until an operator
// frees space and clears the alarm. Names registered meanwhile are served
// here at once and reach the other server once etcd takes puts again.
TEST_F(SharedRegistryTest, NamesRegisteredWhileEtcdIsFullReachTheOtherServerOnceItIsCleared) {
    cluster_.memberOptions = {"--quota-backend-bytes=1000000"};
    startPair(1, "kate");
    EtcdConnection etcd;
    etcd.endpoints = kit::clusterEndpoints(cluster_);
    const std::string filler(200000, 'f');
    int filled = 0;
    EtcdResult full;
    while (filled < 50) {
        full = putKey(etcd, "fill/" + std::to_string(filled), filler, 0, nullptr);
        if (full.status != EtcdStatus::Ok) break;
        ++filled;
    }
    ASSERT_EQ(full.status, EtcdStatus::Busy) << full.detail;

    constexpr int kWhileFull = 20;
    for (int i = 0; i < kWhileFull; ++i)
        ASSERT_TRUE(registerName(*far_, "full" + std::to_string(i)));
    // Served on its own server while etcd refuses it; the list is asked
    // again until its reply comes, as a slow (sanitized) server may take
    // longer than one list's quiet time.
    ASSERT_TRUE(waitForList(*far_, "full0", 1)) << "served on its own server";

    // What an operator does: free space, compact, defragment, disarm.
    std::size_t deleted = 0;
    std::vector<std::string> fills;
    for (int i = 0; i < filled; ++i) fills.push_back("fill/" + std::to_string(i));
    ASSERT_EQ(deleteKeys(etcd, fills, &deleted).status, EtcdStatus::Ok);
    EtcdRangeQuery any;
    any.prefix = "fill/";
    EtcdRange range;
    ASSERT_EQ(rangeByKey(etcd, any, &range).status, EtcdStatus::Ok);
    ASSERT_TRUE(kit::compactCluster(cluster_, range.revision)) << cluster_.problem;
    const std::string etcdctl =
        "ETCDCTL_API=3 etcdctl --endpoints=127.0.0.1:" + std::to_string(kit::kEtcdTestClientPort) +
        " ";
    ASSERT_TRUE(run(etcdctl + "defrag >/dev/null"));
    ASSERT_TRUE(run(etcdctl + "alarm disarm >/dev/null"));
    // The reconciler tries a refused write again a quarter of a second
    // later; the wait's bound is the machine's, not the promise's.
    auto missing = [&] {
        const Names listed = listOf(*near_);
        int count = 0;
        for (int i = 0; i < kWhileFull; ++i) {
            count += countOf(listed, "full" + std::to_string(i)) == 1 ? 0 : 1;
        }
        return count;
    };
    EXPECT_TRUE(testing_support::waitUntil([&] { return missing() == 0; }))
        << missing() << " names never reached the other server\n"
        << logsOfServers();
}

TEST_F(SharedRegistryTest, ALeaseThatExpiresIsGrantedAgainAndTheNamesComeBack) {
    startPair(1, "judy");
    // As a stall longer than the lease's TTL would: etcd ends the lease.
    EtcdConnection etcd;
    std::string problem;
    ASSERT_TRUE(parseEtcdEndpoints(endpoints_, &etcd.endpoints, &problem)) << problem;
    ASSERT_EQ(revokeLease(etcd, std::stoll(second_->lease, nullptr, 16)).status, EtcdStatus::Ok);
    ASSERT_TRUE(kit::waitForLog(
        second_->process, "registry: Lease expired; registrations written again under lease "))
        << second_->process.log;
    EXPECT_TRUE(waitForList(*near_, "judy", 1));
    expectIntroduced(*far_, "judy", "10.0.0.7");
}

// ---- etcd over TLS ---------------------------------------------------------

// Two servers share the registry through an etcd that speaks only TLS and
// takes only clients with a certificate from its CA, one server naming it by
// its address, the other by its host name: a name registered on one is
// listed and reached from the other.
TEST_F(SharedRegistryTest, ServersShareTheRegistryThroughEtcdOverTlsWithClientCertificates) {
    startTlsEtcd();
    moreOptions_ = tlsOptions(ca_, client_);
    first_ = &startServer();
    endpoints_ = "https://localhost:" + std::to_string(kit::kEtcdTestClientPort);
    second_ = &startServer();
    EXPECT_FALSE(first_->lease.empty() || second_->lease.empty()) << logsOfServers();
    near_ = &connect(*first_);
    far_ = &connect(*second_);
    ASSERT_TRUE(registerName(*far_, "alice"));
    ASSERT_TRUE(waitForList(*near_, "alice", 1)) << logsOfServers();
    expectIntroduced(*far_, "alice", "10.0.0.8");
}

// etcd refuses a server without a client certificate, or with one from
// another CA; a server refuses an etcd whose certificate its CA did not
// sign, or that does not name the address it was asked for. Each says so in
// one line with OpenSSL's reason, however often it tries again meanwhile,
// and serves its own clients.
TEST_F(SharedRegistryTest, EachTlsRefusalIsLoggedOnceWithOpenSslsReason) {
    startTlsEtcd();
    const std::string elsewhere = "https://127.0.0.2:" + std::to_string(kit::kEtcdTestClientPort);
    struct Refusal {
        std::vector<std::string> options;
        std::string endpoints;
        std::string line;  // the start of the line that says why
    };
    const std::string failed = "registry: TLS with etcd failed: ";
    const std::string here = failed + "127.0.0.1:" + std::to_string(kit::kEtcdTestClientPort);
    const std::vector<Refusal> refusals = {
        {tlsOptions(ca_, {}), endpoints_, here + ": sslv3 alert bad certificate"},
        {tlsOptions(ca_, stranger_), endpoints_, here + ": sslv3 alert bad certificate"},
        {tlsOptions(otherCa_, client_), endpoints_,
         here + ": certificate verify failed: unable to get local issuer certificate."},
        {tlsOptions(ca_, client_), elsewhere,
         failed + "127.0.0.2:" + std::to_string(kit::kEtcdTestClientPort) +
             ": certificate verify failed: IP address mismatch."},
    };
    for (const Refusal& refusal : refusals) {
        moreOptions_ = refusal.options;
        endpoints_ = refusal.endpoints;
        launchServer();
    }
    // The start gives etcd up after its wait, having tried many times.
    const std::string alone = "registry: No etcd endpoint answered (";
    for (std::size_t i = 0; i < refusals.size(); ++i) {
        kit::ChildProcess& process = servers_[i]->process;
        ASSERT_TRUE(kit::waitForLog(process, alone)) << process.log;
        EXPECT_NE(process.log.find(refusals[i].line), std::string::npos) << process.log;
        EXPECT_EQ(testing_support::countOf(process.log, failed), 1u) << process.log;
        EXPECT_EQ(process.log.find("registry: Shared registry on etcd"), std::string::npos)
            << process.log;
    }
}

// Files that cannot be used end the start with status 1 and one line naming
// the file and the reason, before the port is opened.
TEST_F(SharedRegistryTest, TlsFilesThatCannotBeUsedEndTheStartWithOneLine) {
    certDir_ = kit::makeScratchDirectory("peerdir-certs");
    ca_ = certificate("etcd-ca", "");
    client_ = certificate("peerdir", "etcd-ca", "", {"extendedKeyUsage=clientAuth"});
    ASSERT_FALSE(client_.cert.empty()) << "openssl could not make the test certificates";
    endpoints_ = "https://127.0.0.1:" + std::to_string(kit::kNothingListensPort);
    const std::string missing = certDir_ + "/missing.pem";
    const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
        {{"--registry-ca", missing}, "cannot read " + missing + ": No such file or directory."},
        {{"--registry-ca", ca_.cert, "--registry-cert", client_.cert, "--registry-key", ca_.key},
         "the key in " + ca_.key + " does not belong to the certificate in " + client_.cert + "."},
        {{"--registry-ca", client_.key}, client_.key + " holds no PEM certificate."},
    };
    for (const auto& files : bad) {
        moreOptions_ = files.first;
        SharedServer& server = launchServer();
        server.killed = true;
        ASSERT_TRUE(kit::waitForExit(server.process)) << server.process.log;
        EXPECT_EQ(server.process.exitStatus, 1) << server.process.log;
        EXPECT_EQ(testing_support::countOf(
                      server.process.log,
                      "registry: Could not set up TLS for etcd: " + files.second + "\n"),
                  1u)
            << server.process.log;
        EXPECT_EQ(server.process.log.find("Port:"), std::string::npos) << server.process.log;
    }
}

}  // namespace
}  // namespace peerdir
