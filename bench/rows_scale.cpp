// rows_scale.cpp -- what the registry's size costs a request: a forward to
// the last-registered name among many names, the forwards while clients of
// a thousand names each leave at once, and what clients that ask for a long
// list and never read hold, in the kernel and in the server.
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/rows.h"
#include "bench/stats.h"
#include "protocol/message.h"

namespace peerdir {
namespace bench {

namespace {

constexpr std::size_t kNamesEach = 1000;
constexpr unsigned kLeaveMillis = 20000;
constexpr unsigned kSettleMillis = 30000;

// Connects names / kNamesEach clients and has each register kNamesEach
// names; *perSecond is the rate at which the server took them.
bool fill(const ServerUnderTest& server, std::size_t names, std::vector<ClientConnection>* clients,
          double* perSecond) {
    if (!connectClients(server, names / kNamesEach, clients)) return false;
    const double started = nowMillis();
    if (!registerAndConfirm(*clients, kNamesEach)) return false;
    *perSecond = static_cast<double>(names) / ((nowMillis() - started) / 1000);
    return true;
}

// Connects an asker and a target that registers its name last. A list
// cannot confirm the registration here: with a million names it passes a
// client's bound on unread replies. So the target follows its name with a
// request for a name nobody has, whose answer says the name was taken.
bool makeLastPair(const ServerUnderTest& server, IntroPair* pair) {
    pair->asker = connectToServer(server.addressText, server.port);
    pair->target = connectToServer(server.addressText, server.port);
    if (pair->asker.error != ClientError::None || pair->target.error != ClientError::None) {
        return false;
    }
    std::vector<std::uint8_t> wire;
    appendClientName(wire, pair->name);
    const std::uint8_t nobody[kConnectPayloadSize] = {};
    appendMessage(wire, MessageType::ConnectRequest, nobody);
    ServerMessage answer;
    return socketSend(pair->target.socket, wire.data(), wire.size()) ==
               static_cast<int>(wire.size()) &&
           readServerMessage(pair->target, kReplyMillis, &answer) &&
           answer.type == MessageType::NameNotFound &&
           !std::isnan(introduceOnce(*pair, false, kReplyMillis));
}

// Connections the server has ended, each with one line.
std::size_t disconnectLines(const std::string& path) {
    std::ifstream file(path);
    std::size_t count = 0;
    for (std::string line; std::getline(file, line);) {
        if (line.rfind("ClientManager: Client disconnected", 0) == 0 ||
            line.rfind("ClientManager: Socket returned an error", 0) == 0) {
            ++count;
        }
    }
    return count;
}

// Closes leavers at once and introduces pair's clients until the server
// has let every leaver go: the longest introduction meanwhile, NaN when
// the leavers were not all gone in time or no introduction came through.
// The closes do not wait for the server's, so the introductions run while
// the server is still letting the leavers go.
double longestWhileLeaving(const ServerUnderTest& server, IntroPair& pair,
                           std::vector<ClientConnection>& leavers, std::size_t* samples) {
    const std::string& log = server.process.outputFile;
    const std::size_t before = disconnectLines(log);
    for (ClientConnection& c : leavers) {
        socketClose(c.socket);
        c.socket = kNoSocket;
    }
    double longest = kMissing;
    const double started = nowMillis();
    while (nowMillis() - started < kLeaveMillis) {
        const double took = introduceOnce(pair, false, kReplyMillis);
        if (!std::isnan(took)) {
            longest = std::isnan(longest) ? took : std::max(longest, took);
            ++*samples;
        }
        if (disconnectLines(log) >= before + leavers.size()) return longest;
    }
    return kMissing;
}

void addForwards(const std::string& setting, const std::vector<double>& samples,
                 std::size_t failures, std::vector<Figure>& figures) {
    const std::string area = "forward to the last-registered name";
    Spread spread = spreadOf(samples);
    Figure p50 = noted(figure(area, setting, "p50", spread.p50, "ms"),
                       std::to_string(spread.count) + " samples");
    if (failures > 0) p50 = noted(p50, std::to_string(failures) + " timed out");
    figures.push_back(p50);
    figures.push_back(figure(area, setting, "p99", spread.p99, "ms"));
}

}  // namespace

void measureRegistryScale(const BenchContext& context, std::size_t names, double baselineP50,
                          double* p50, std::vector<Figure>& figures) {
    const std::string setting = inMode(context, std::to_string(names) + " names");
    announce(context, "registry at scale, " + setting);
    ServerUnderTest server;
    std::string why;
    std::vector<ClientConnection> clients;
    IntroPair pair;
    double perSecond = 0;
    if (!startServer(context.server, &server, &why)) {
        return addMissing("forward to the last-registered name", setting, why, figures);
    }
    if (!fill(server, names, &clients, &perSecond) || !makeLastPair(server, &pair)) {
        addMissing("forward to the last-registered name", setting,
                   why.empty() ? "the names could not be registered" : why, figures);
    } else {
        figures.push_back(figure("registration", setting, "names per second", perSecond, "/s"));
        std::minstd_rand random(31);
        std::size_t failures = 0;
        std::vector<double> samples =
            sampleIntroductions(pair, false, 300, kReplyMillis, random, &failures);
        addForwards(setting, samples, failures, figures);
        *p50 = spreadOf(samples).p50;
        if (!std::isnan(baselineP50)) {
            figures.push_back(
                withGoal(figure("forward to the last-registered name", setting,
                                "p50 over the 10000-name p50", *p50 - baselineP50, "ms"),
                         Goal::AtMost, 0.02));
        }
        // The first clients leave: the registry's oldest entries.
        const std::size_t leaving = std::min<std::size_t>(100, clients.size());
        std::vector<ClientConnection> leavers(clients.begin(), clients.begin() + leaving);
        clients.erase(clients.begin(), clients.begin() + leaving);
        std::size_t during = 0;
        const double longest = longestWhileLeaving(server, pair, leavers, &during);
        Figure f = noted(figure("clients of 1000 names leaving at once", setting,
                                std::to_string(leaving) + " leave: longest forward", longest, "ms"),
                         std::to_string(during) + " forwards meanwhile");
        figures.push_back(names >= 1000000 ? withGoal(f, Goal::AtMost, 5) : f);
    }
    stopServer(server);
    closeIntroPair(pair);
    for (ClientConnection& c : clients) closeConnection(c);
}

namespace {

// The kernel's TCP memory, all sockets of the host, in bytes; NaN when it
// cannot be read.
double kernelTcpBytes() {
    std::ifstream file("/proc/net/sockstat");
    for (std::string line; std::getline(file, line);) {
        if (line.rfind("TCP:", 0) != 0) continue;
        std::istringstream words(line.substr(4));
        for (std::string key, value; words >> key >> value;) {
            if (key == "mem") return std::stod(value) * 4096;
        }
    }
    return kMissing;
}

struct Pinned {
    double kernel = kMissing;
    double process = kMissing;
};

// What the host's TCP memory and the server's resident size have grown by
// since base, once both have stopped growing for a second (or the time is
// up).
Pinned settledGrowth(const ServerUnderTest& server, const Pinned& base) {
    Pinned last;
    const double started = nowMillis();
    for (int steady = 0; steady < 4 && nowMillis() - started < kSettleMillis;) {
        sleepMillis(250);
        kit::MemoryUse use;
        if (!kit::readMemoryUse(server.process, &use)) return Pinned{};
        Pinned now{kernelTcpBytes() - base.kernel, use.residentBytes - base.process};
        const bool same = std::fabs(now.kernel - last.kernel) < (1 << 20) &&
                          std::fabs(now.process - last.process) < (1 << 20);
        steady = same ? steady + 1 : 0;
        last = now;
    }
    return last;
}

}  // namespace

void measureUnreadLists(const BenchContext& context, std::size_t names, std::size_t nonReaders,
                        std::vector<Figure>& figures) {
    const std::string area = "clients that ask for a list and never read";
    const std::string setting = inMode(
        context, std::to_string(nonReaders) + " clients, " + std::to_string(names) + " names");
    announce(context, area + ", " + setting);
    ServerUnderTest server;
    std::string why;
    if (!startServer(context.server, &server, &why)) return addMissing(area, setting, why, figures);
    std::vector<ClientConnection> clients;
    std::vector<ClientConnection> idlers;
    double perSecond = 0;
    kit::MemoryUse use;
    if (!fill(server, names, &clients, &perSecond) ||
        !connectClients(server, nonReaders, &idlers) || !kit::readMemoryUse(server.process, &use)) {
        addMissing(area, setting, "the clients could not be set up", figures);
    } else {
        const Pinned base{kernelTcpBytes(), use.residentBytes};
        std::vector<std::uint8_t> request;
        appendMessage(request, MessageType::ListRequest);
        for (ClientConnection& c : idlers) socketSend(c.socket, request.data(), request.size());
        const Pinned pinned = settledGrowth(server, base);
        const double mib = 1024 * 1024;
        figures.push_back(figure(area, setting, "kernel TCP memory", pinned.kernel / mib, "MiB"));
        figures.push_back(figure(area, setting, "server resident", pinned.process / mib, "MiB"));
        figures.push_back(withGoal(
            figure(area, setting, "pinned together", (pinned.kernel + pinned.process) / mib, "MiB"),
            Goal::AtMost, 100));
        const ListReply reply = listOnce(server, "c", names, 2000);
        figures.push_back(noted(withGoal(figure(area, setting, "names another client reads",
                                                static_cast<double>(reply.names), ""),
                                         Goal::AtLeast, static_cast<double>(names)),
                                std::to_string(reply.millis) + " ms"));
    }
    stopServer(server);
    for (ClientConnection& c : idlers) closeConnection(c);
    for (ClientConnection& c : clients) closeConnection(c);
}

}  // namespace bench
}  // namespace peerdir
