// etcd_cluster.h -- real etcd members as child processes, for the tests and
// the benchmark of the shared registry (Linux only).
//
// One or three members on fixed loopback ports (member i serves clients on
// kEtcdTestClientPort + 2i and its peers on the port after), each with a
// fresh data directory under the system's temporary directory and its log in
// a file there. The tests run in a network namespace of their own, which
// keeps the fixed ports free. Every wait is bounded by a deadline. A member
// is killed when the thread that started it ends (start members from the
// test's main thread), so a test process that dies takes them along, and
// stopCluster (or the cluster's destructor) kills what is left and removes
// the directories, so a failing test leaves nothing running.
#ifndef PEERDIR_TESTS_KIT_ETCD_CLUSTER_H
#define PEERDIR_TESTS_KIT_ETCD_CLUSTER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "etcd/etcd_codec.h"

namespace peerdir {
namespace kit {

// Below the ephemeral range (32768 and up on Linux), so no outgoing
// connection can be holding one of them when a member starts again.
constexpr std::uint16_t kEtcdTestClientPort = 23790;
// A loopback port where nothing listens.
constexpr std::uint16_t kNothingListensPort = 23799;
// Members serving clients over TLS tell their health in clear text on a
// port of their own: member i on kEtcdTestHealthPort + i.
constexpr std::uint16_t kEtcdTestHealthPort = 23780;
// Long enough for a start on a loaded machine; waits end as soon as they can.
constexpr unsigned kClusterWaitMillis = 30000;

// The files of etcd's TLS on the clients' port: its certificate and key
// (--cert-file, --key-file) and the CA its clients' certificates must chain
// to (--trusted-ca-file, with --client-cert-auth).
struct EtcdServerTls {
    std::string cert;
    std::string key;
    std::string clientCa;
};

struct EtcdMember {
    std::string name;  // m0, m1, m2
    std::uint16_t clientPort = 0;
    std::uint16_t peerPort = 0;
    std::uint16_t healthPort = 0;  // where /health answers in clear text
    std::string dataDir;
    std::string logPath;
    int pid = -1;        // -1: not running
    int exitStatus = 0;  // once reaped: the exit code, or 128 + the signal
    bool paused = false;
};

struct EtcdCluster {
    std::string baseDir;
    std::vector<EtcdMember> members;
    // More etcd flags for every member ("--quota-backend-bytes=..."), set
    // before startCluster; restarts keep them.
    std::vector<std::string> memberOptions;
    // Set before startCluster: members then serve clients over TLS only, on
    // 127.0.0.1 and on each of moreClientHosts, and require client
    // certificates. Only health, startCluster and restarts serve such a
    // cluster; the other calls here speak clear text.
    EtcdServerTls tls;
    std::vector<std::string> moreClientHosts;
    std::string problem;  // why the last call that failed did

    EtcdCluster() = default;
    EtcdCluster(const EtcdCluster&) = delete;
    EtcdCluster& operator=(const EtcdCluster&) = delete;
    ~EtcdCluster();
};

// Starts size members (1 or 3) as a new cluster and waits until each
// answers healthy (it has a leader). False, with problem set and everything
// torn down, when that does not happen within kClusterWaitMillis.
bool startCluster(EtcdCluster& cluster, std::size_t size);

// Every member, running or not, in member order.
std::vector<EtcdEndpoint> clusterEndpoints(const EtcdCluster& cluster);
EtcdEndpoint memberEndpoint(const EtcdCluster& cluster, std::size_t member);

// SIGKILL, then reaps it.
void killMember(EtcdCluster& cluster, std::size_t member);
// SIGTERM, reaped within the wait or killed after it.
void stopMember(EtcdCluster& cluster, std::size_t member);
// Starts a stopped or killed member again on its data and waits for health.
bool restartMember(EtcdCluster& cluster, std::size_t member);
// Starts every member that is not running, all at once (a member alone has
// no quorum to be healthy with), and waits until each answers healthy.
bool restartStoppedMembers(EtcdCluster& cluster);
// SIGSTOP / SIGCONT: the member keeps its sockets but answers nothing.
void pauseMember(EtcdCluster& cluster, std::size_t member);
void resumeMember(EtcdCluster& cluster, std::size_t member);

// The member the running members agree leads, or -1 when none does within
// kClusterWaitMillis.
int waitForLeader(EtcdCluster& cluster);

// Compacts the store up to revision, asking the first running member.
bool compactCluster(EtcdCluster& cluster, std::int64_t revision);

// How many keys begin with prefix, as the first running member that
// answers counts them; false when none does.
bool countKeys(EtcdCluster& cluster, const std::string& prefix, std::int64_t* count);

// Kills every member and removes the directories.
void stopCluster(EtcdCluster& cluster);

// The last lines of a member's log, for a failure message.
std::string memberLogTail(const EtcdCluster& cluster, std::size_t member);

}  // namespace kit
}  // namespace peerdir

#endif
