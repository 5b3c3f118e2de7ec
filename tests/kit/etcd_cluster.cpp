// etcd_cluster.cpp -- etcd members as child processes on POSIX, spoken to
// over their own HTTP gateway for health, leadership and compaction.
#include "kit/etcd_cluster.h"

#include <fcntl.h>
#include <httplib.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

namespace peerdir {
namespace kit {

namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

std::string url(std::uint16_t port) { return "http://127.0.0.1:" + std::to_string(port); }

std::string initialCluster(const EtcdCluster& cluster) {
    std::string text;
    for (const EtcdMember& member : cluster.members) {
        text += (text.empty() ? "" : ",") + member.name + "=" + url(member.peerPort);
    }
    return text;
}

bool servesTls(const EtcdCluster& cluster) { return !cluster.tls.cert.empty(); }

// Where the member serves clients, and the TLS flags that go with it.
std::vector<std::string> clientArguments(const EtcdCluster& cluster, const EtcdMember& member) {
    if (!servesTls(cluster)) {
        return {"--listen-client-urls=" + url(member.clientPort),
                "--advertise-client-urls=" + url(member.clientPort)};
    }
    const std::string port = ":" + std::to_string(member.clientPort);
    std::string urls = "https://127.0.0.1" + port;
    for (const std::string& host : cluster.moreClientHosts) urls += ",https://" + host + port;
    return {"--listen-client-urls=" + urls,
            "--advertise-client-urls=https://127.0.0.1" + port,
            "--listen-metrics-urls=" + url(member.healthPort),
            "--cert-file=" + cluster.tls.cert,
            "--key-file=" + cluster.tls.key,
            "--client-cert-auth",
            "--trusted-ca-file=" + cluster.tls.clientCa};
}

// etcd's own heartbeat and election time-out, written out: the lease
// minimum (2 s) and the time an election takes follow from them, and should
// be what a real cluster has.
std::vector<std::string> memberArguments(const EtcdCluster& cluster, const EtcdMember& member) {
    std::vector<std::string> clients = clientArguments(cluster, member);
    std::vector<std::string> args = {"etcd", "--name=" + member.name,
                                     "--data-dir=" + member.dataDir};
    args.insert(args.end(), clients.begin(), clients.end());
    std::vector<std::string> rest = {"--listen-peer-urls=" + url(member.peerPort),
                                     "--initial-advertise-peer-urls=" + url(member.peerPort),
                                     "--initial-cluster=" + initialCluster(cluster),
                                     "--initial-cluster-state=new",
                                     "--initial-cluster-token=peerdir-test",
                                     "--heartbeat-interval=100",
                                     "--election-timeout=1000",
                                     "--logger=zap",
                                     "--log-outputs=stderr",
                                     "--log-level=warn"};
    args.insert(args.end(), rest.begin(), rest.end());
    return args;
}

bool spawnMember(EtcdCluster& cluster, EtcdMember& member) {
    std::vector<std::string> args = memberArguments(cluster, member);
    args.insert(args.end(), cluster.memberOptions.begin(), cluster.memberOptions.end());
    // Built before fork: the child may only make async-signal-safe calls.
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    int log = open(member.logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log < 0) return false;
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        // Dies with the test process, whatever ends it.
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(126);
        int input = open("/dev/null", O_RDONLY);
        if (input < 0 || dup2(input, 0) < 0 || dup2(log, 1) < 0 || dup2(log, 2) < 0) _exit(126);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(log);
    if (pid < 0) return false;
    member.pid = pid;
    member.paused = false;
    return true;
}

// True once the member has exited (reaped).
bool reapIfExited(EtcdMember& member) {
    if (member.pid < 0) return true;
    int status = 0;
    if (waitpid(member.pid, &status, WNOHANG) != member.pid) return false;
    member.pid = -1;
    member.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
}

bool answersHealthy(const EtcdMember& member) {
    httplib::Client http("127.0.0.1", member.healthPort);
    http.set_connection_timeout(0, 500000);
    http.set_read_timeout(0, 500000);
    httplib::Result result = http.Get("/health");
    if (!result || result->status != 200) return false;
    Json health = Json::parse(result->body, nullptr, false);
    return health.is_object() && health.value("health", "") == "true";
}

bool waitHealthy(EtcdCluster& cluster, std::size_t index) {
    EtcdMember& member = cluster.members[index];
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kClusterWaitMillis);
    while (Clock::now() < deadline) {
        if (reapIfExited(member)) {
            cluster.problem = member.name + " exited with status " +
                              std::to_string(member.exitStatus) + ":\n" +
                              memberLogTail(cluster, index);
            return false;
        }
        if (answersHealthy(member)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    cluster.problem =
        member.name + " not healthy within the wait:\n" + memberLogTail(cluster, index);
    return false;
}

bool postJson(std::uint16_t port, const char* path, const Json& body, Json* reply) {
    httplib::Client http("127.0.0.1", port);
    http.set_connection_timeout(1, 0);
    http.set_read_timeout(5, 0);
    httplib::Result result = http.Post(path, body.dump(), "application/json");
    if (!result || result->status != 200) return false;
    *reply = Json::parse(result->body, nullptr, false);
    return reply->is_object();
}

bool signalMember(EtcdMember& member, int signal) {
    return member.pid > 0 && kill(member.pid, signal) == 0;
}

std::string makeBaseDirectory() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/peerdir-etcd-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    return mkdtemp(buffer.data()) == nullptr ? "" : buffer.data();
}

EtcdMember planMember(const EtcdCluster& cluster, std::size_t index) {
    EtcdMember member;
    member.name = "m" + std::to_string(index);
    member.clientPort = static_cast<std::uint16_t>(kEtcdTestClientPort + 2 * index);
    member.peerPort = static_cast<std::uint16_t>(member.clientPort + 1);
    member.healthPort = servesTls(cluster) ? static_cast<std::uint16_t>(kEtcdTestHealthPort + index)
                                           : member.clientPort;
    member.dataDir = cluster.baseDir + "/" + member.name + ".etcd";
    member.logPath = cluster.baseDir + "/" + member.name + ".log";
    return member;
}

}  // namespace

EtcdCluster::~EtcdCluster() { stopCluster(*this); }

bool startCluster(EtcdCluster& cluster, std::size_t size) {
    stopCluster(cluster);
    cluster.baseDir = makeBaseDirectory();
    if (cluster.baseDir.empty()) {
        cluster.problem = "cannot make a directory under the temporary directory";
        return false;
    }
    for (std::size_t i = 0; i < size; ++i) cluster.members.push_back(planMember(cluster, i));
    bool started = true;
    for (EtcdMember& member : cluster.members) {
        if (started && !spawnMember(cluster, member)) {
            cluster.problem = "cannot start etcd for " + member.name;
            started = false;
        }
    }
    for (std::size_t i = 0; started && i < size; ++i) started = waitHealthy(cluster, i);
    if (!started) {
        std::string problem = cluster.problem;
        stopCluster(cluster);
        cluster.problem = problem;
    }
    return started;
}

std::vector<EtcdEndpoint> clusterEndpoints(const EtcdCluster& cluster) {
    std::vector<EtcdEndpoint> endpoints;
    for (std::size_t i = 0; i < cluster.members.size(); ++i) {
        endpoints.push_back(memberEndpoint(cluster, i));
    }
    return endpoints;
}

EtcdEndpoint memberEndpoint(const EtcdCluster& cluster, std::size_t member) {
    return {"127.0.0.1", cluster.members[member].clientPort, servesTls(cluster)};
}

void killMember(EtcdCluster& cluster, std::size_t index) {
    EtcdMember& member = cluster.members[index];
    if (member.pid < 0) return;
    kill(member.pid, SIGKILL);
    waitpid(member.pid, nullptr, 0);
    member.pid = -1;
    member.paused = false;
}

void stopMember(EtcdCluster& cluster, std::size_t index) {
    EtcdMember& member = cluster.members[index];
    if (member.paused) resumeMember(cluster, index);
    signalMember(member, SIGTERM);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kClusterWaitMillis);
    while (!reapIfExited(member) && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    killMember(cluster, index);
}

bool restartMember(EtcdCluster& cluster, std::size_t index) {
    EtcdMember& member = cluster.members[index];
    if (member.pid > 0) stopMember(cluster, index);
    if (!spawnMember(cluster, member)) {
        cluster.problem = "cannot start etcd for " + member.name;
        return false;
    }
    return waitHealthy(cluster, index);
}

bool restartStoppedMembers(EtcdCluster& cluster) {
    for (EtcdMember& member : cluster.members) {
        if (member.pid <= 0 && !spawnMember(cluster, member)) {
            cluster.problem = "cannot start etcd for " + member.name;
            return false;
        }
    }
    for (std::size_t i = 0; i < cluster.members.size(); ++i) {
        if (!waitHealthy(cluster, i)) return false;
    }
    return true;
}

void pauseMember(EtcdCluster& cluster, std::size_t index) {
    EtcdMember& member = cluster.members[index];
    if (signalMember(member, SIGSTOP)) member.paused = true;
}

void resumeMember(EtcdCluster& cluster, std::size_t index) {
    EtcdMember& member = cluster.members[index];
    if (signalMember(member, SIGCONT)) member.paused = false;
}

int waitForLeader(EtcdCluster& cluster) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kClusterWaitMillis);
    while (Clock::now() < deadline) {
        for (std::size_t i = 0; i < cluster.members.size(); ++i) {
            const EtcdMember& member = cluster.members[i];
            Json status;
            if (member.pid < 0 || member.paused ||
                !postJson(member.clientPort, "/v3/maintenance/status", Json::object(), &status)) {
                continue;
            }
            // The member that names itself as leader.
            std::string self = status.value("header", Json::object()).value("member_id", "");
            if (!self.empty() && self == status.value("leader", "")) return static_cast<int>(i);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    cluster.problem = "no member leads within the wait";
    return -1;
}

bool compactCluster(EtcdCluster& cluster, std::int64_t revision) {
    for (const EtcdMember& member : cluster.members) {
        if (member.pid < 0 || member.paused) continue;
        Json reply;
        Json request = {{"revision", std::to_string(revision)}, {"physical", true}};
        if (postJson(member.clientPort, "/v3/kv/compaction", request, &reply)) return true;
        cluster.problem = "compaction to " + std::to_string(revision) + " failed on " + member.name;
        return false;
    }
    cluster.problem = "no member runs";
    return false;
}

bool countKeys(EtcdCluster& cluster, const std::string& prefix, std::int64_t* count) {
    const Json request = {{"key", base64Encode(prefix)},
                          {"range_end", base64Encode(prefixRangeEnd(prefix))},
                          {"count_only", true}};
    for (const EtcdMember& member : cluster.members) {
        Json reply;
        if (member.pid < 0 || member.paused ||
            !postJson(member.clientPort, "/v3/kv/range", request, &reply)) {
            continue;
        }
        // The gateway writes 64-bit numbers as text, and leaves out a zero.
        const Json counted = reply.value("count", Json("0"));
        if (counted.is_number_integer()) {
            *count = counted.get<std::int64_t>();
            return true;
        }
        if (!counted.is_string()) continue;
        const std::string text = counted.get<std::string>();
        char* end = nullptr;
        *count = std::strtoll(text.c_str(), &end, 10);
        if (!text.empty() && *end == '\0') return true;
    }
    cluster.problem = "no member counted the keys under " + prefix;
    return false;
}

void stopCluster(EtcdCluster& cluster) {
    for (std::size_t i = 0; i < cluster.members.size(); ++i) killMember(cluster, i);
    cluster.members.clear();
    if (!cluster.baseDir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(cluster.baseDir, ignored);
        cluster.baseDir.clear();
    }
}

std::string memberLogTail(const EtcdCluster& cluster, std::size_t member) {
    std::ifstream log(cluster.members[member].logPath);
    std::vector<std::string> lines;
    for (std::string line; std::getline(log, line);) lines.push_back(line);
    std::ostringstream tail;
    for (std::size_t i = lines.size() > 20 ? lines.size() - 20 : 0; i < lines.size(); ++i) {
        tail << lines[i] << '\n';
    }
    return tail.str();
}

}  // namespace kit
}  // namespace peerdir
